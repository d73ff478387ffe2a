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
    for match in BLOCK.finditer(text):
        language, body = match.groups()
        if language == "python":
            output = io.StringIO()
            with contextlib.redirect_stdout(output):
                exec(compile(body, str(path), "exec"), namespace)
            printed = output.getvalue()
        elif language == "text":
            if text[:match.start()].rstrip().endswith("something like"):
                # A run cannot be seeded: only the shape of the output is fixed.
                assert re.fullmatch(r"\S+ \{'f64': \[\S+, \S+\]\}\n", printed), printed
            else:
                assert printed == body
            checked += 1
    assert checked == 6
