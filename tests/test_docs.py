"""The tutorial runs as written and prints what it says it prints."""
import contextlib
import io
import pathlib
import re

DOCS = pathlib.Path(__file__).resolve().parent.parent / "docs"
BLOCK = re.compile(r"^```(\w+)\n(.*?)^```$", re.S | re.M)


def test_tutorial_blocks_run_in_order_and_print_what_the_text_shows():
    path = DOCS / "tutorial.md"
    text = path.read_text()
    namespace = {}
    printed = ""
    checked = 0
    source = ""

    def run_block():
        output = io.StringIO()
        with contextlib.redirect_stdout(output):
            exec(compile(source, str(path), "exec"), namespace)
        return output.getvalue()

    for match in BLOCK.finditer(text):
        language, body = match.groups()
        if language == "python":
            source = body
            printed = run_block()
        elif language == "text":
            if text[:match.start()].rstrip().endswith("something like"):
                # A run cannot be seeded: only the shape of the output is fixed.
                assert re.fullmatch(r"\S+ \{'f64': \[\S+, \S+\]\}\n", printed), printed
            else:
                # About one run in a few hundred settles before the printed
                # optimum; runs cannot be seeded, so two more runs get a say.
                for _ in range(2):
                    if printed == body:
                        break
                    printed = run_block()
                assert printed == body
            checked += 1
    assert checked == 6
