"""The stub package kavell-stubs: it matches the built module, and mypy --strict
and pyright's strict mode use it, with no configuration, to type the examples
and typical use and to reject misuse."""
import json
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
TYPING = ROOT / "tests" / "typing"
ALLOWLIST = ROOT / "stubs" / "stubtest-allowlist.txt"


def run_module(module, *args, cwd):
    # Run outside the source tree so that only the installed module and the
    # installed stub package can be found.
    return subprocess.run([sys.executable, "-m", module, *args], cwd=cwd, capture_output=True, text=True,
                          timeout=300)


# The examples that use kavell alone; they are written to pass strict checks.
TYPED_EXAMPLES = ["mixed_integer.py", "production_plan.py"]


def checked_files():
    """The typed examples and the two typing scripts."""
    return [*(str(ROOT / "examples" / name) for name in TYPED_EXAMPLES),
            str(TYPING / "usage.py"), str(TYPING / "misuse.py")]


def expected_misuse():
    """(line, mypy error code) for every line of misuse.py marked "# E: code"."""
    return {(number, match[1])
            for number, line in enumerate((TYPING / "misuse.py").read_text().splitlines(), start=1)
            if (match := re.search(r"# E: ([a-z-]+)$", line))}


@pytest.fixture(scope="module")
def mypy_strict(tmp_path_factory):
    """mypy --strict over the examples and the two typing scripts, run once."""
    pytest.importorskip("mypy", reason="mypy is not installed")
    directory = tmp_path_factory.mktemp("mypy")
    result = run_module("mypy", "--strict", "--no-color-output", "--no-error-summary",
                        "--cache-dir", str(directory / "cache"), *checked_files(), cwd=directory)
    assert result.returncode in (0, 1), result.stderr
    errors = {}
    for line in result.stdout.splitlines():
        match = re.match(r"(.+?):(\d+): error: (.*)  \[([a-z-]+)\]$", line)
        if match:
            errors.setdefault(pathlib.Path(match[1]).name, []).append((int(match[2]), match[4], match[3]))
        else:
            assert ": note: " in line, line
    return errors


def test_stubtest_finds_the_stub_consistent_with_the_module(tmp_path):
    pytest.importorskip("mypy", reason="mypy is not installed")
    result = run_module("mypy.stubtest", "kavell", "--allowlist", str(ALLOWLIST), "--strict-type-check-only",
                        cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_examples_pass_mypy_strict(mypy_strict):
    assert not set(TYPED_EXAMPLES) & set(mypy_strict), mypy_strict


def test_typical_use_is_accepted_with_the_inferred_types(mypy_strict):
    assert "usage.py" not in mypy_strict, mypy_strict["usage.py"]


def test_misuse_is_rejected_on_exactly_the_marked_lines(mypy_strict):
    found = {(number, code) for number, code, _ in mypy_strict.get("misuse.py", [])}
    assert found == expected_misuse(), mypy_strict.get("misuse.py")


@pytest.mark.parametrize("fragment", [
    'Unexpected keyword argument "i32_maxx" for "min" of "PSO"',
    'Incompatible types in assignment (expression has type "str", variable has type "SupportsIndex")',
    '"PSO" has no attribute "speed"',
    'Module has no attribute "PanicException"',
])
def test_misuse_messages_name_the_mistake(mypy_strict, fragment):
    assert any(fragment in message for _, _, message in mypy_strict["misuse.py"]), mypy_strict["misuse.py"]


def marked_lines():
    return {number for number, _ in expected_misuse()}


@pytest.fixture(scope="module")
def pyright_strict(tmp_path_factory):
    """pyright in strict mode over the same files, run once; skipped without pyright or node."""
    pytest.importorskip("pyright", reason="pyright is not installed")
    if shutil.which("node") is None:
        pytest.skip("pyright needs node, which is not on PATH")
    directory = tmp_path_factory.mktemp("pyright")
    config = directory / "pyrightconfig.json"
    config.write_text(json.dumps({"typeCheckingMode": "strict"}))
    result = run_module("pyright", "--outputjson", "--pythonpath", sys.executable, "--project", str(config),
                        *checked_files(), cwd=directory)
    assert result.returncode in (0, 1), result.stdout + result.stderr
    errors = {}
    for diagnostic in json.loads(result.stdout)["generalDiagnostics"]:
        if diagnostic["severity"] == "error":
            errors.setdefault(pathlib.Path(diagnostic["file"]).name, []).append(
                (diagnostic["range"]["start"]["line"] + 1, diagnostic["message"]))
    return errors


def test_pyright_strict_accepts_the_examples_and_typical_use(pyright_strict):
    accepted = {*TYPED_EXAMPLES, "usage.py"}
    assert not accepted & set(pyright_strict), pyright_strict


def test_pyright_strict_rejects_misuse_on_exactly_the_marked_lines(pyright_strict):
    assert {number for number, _ in pyright_strict.get("misuse.py", [])} == marked_lines()
