"""The source distribution round trip: build an sdist, install it into a
fresh virtual environment, and use it as a user would (the example runs, the
stub package and the metadata are in place).

It compiles the module once more, which takes about a minute, so it runs on
the reference interpreter only.
"""
import json
import os
import subprocess
import sys
import tarfile
import venv

import pytest

from test_examples import EXAMPLES

ROOT = EXAMPLES.parent

pytestmark = pytest.mark.skipif(sys.version_info[:2] != (3, 10),
                                reason="slow: the round trip runs on CPython 3.10 only")


def run(*command, cwd):
    result = subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=900)
    assert result.returncode == 0, f"{command}\n{result.stdout}\n{result.stderr}"
    return result.stdout


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    """(python of a fresh environment holding kavell installed from the sdist, unpacked sdist)."""
    pytest.importorskip("build", reason="the build front end is not installed")
    work = tmp_path_factory.mktemp("sdist")
    run(sys.executable, "-m", "build", "--sdist", "--outdir", str(work / "dist"), str(ROOT), cwd=work)
    sdist, = (work / "dist").glob("kavell-*.tar.gz")
    with tarfile.open(sdist) as archive:
        archive.extractall(work / "unpacked", filter="data")
    unpacked, = (work / "unpacked").iterdir()
    venv.create(work / "venv", with_pip=True)
    python = str(work / "venv" / "bin" / "python")
    env_pip = [python, "-m", "pip", "install", "--disable-pip-version-check", "--quiet"]
    run(*env_pip, str(sdist), cwd=work)
    return python, unpacked


def test_the_sdist_holds_sources_stubs_examples_and_licence(installed):
    _, unpacked = installed
    for name in ("pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md", "src/module.cpp",
                 "stubs/kavell-stubs/__init__.pyi", "examples/mixed_integer.py", "examples/production_plan.py"):
        assert (unpacked / name).is_file(), name
    assert not (unpacked / ".venv").exists() and not (unpacked / "build").exists()


def test_the_example_runs_from_the_installed_sdist(installed):
    python, unpacked = installed
    printed = run(python, str(unpacked / "examples" / "mixed_integer.py"), cwd=unpacked.parent)
    assert "machines:  7" in printed.splitlines()


def test_the_installed_distribution_carries_the_stubs_and_the_metadata(installed):
    python, _ = installed
    probe = """
import importlib.metadata, json, pathlib, kavell
site = pathlib.Path(kavell.__file__).parent
distribution = importlib.metadata.distribution("kavell")
print(json.dumps({
    "stub": (site / "kavell-stubs" / "__init__.pyi").is_file(),
    "files": sorted(str(f) for f in distribution.files if not str(f).startswith("kavell-")),
    "license": distribution.metadata["License-Expression"],
    "classifiers": distribution.metadata.get_all("Classifier"),
    "requires_python": distribution.metadata["Requires-Python"],
}))
"""
    found = json.loads(run(python, "-c", probe, cwd=os.path.dirname(python)))
    assert found["stub"]
    assert [name for name in found["files"] if name.startswith("kavell.")][0].endswith(".so")
    assert found["license"] == "MIT"
    assert found["requires_python"] == ">=3.10"
    for minor in (10, 11, 12, 13):
        assert f"Programming Language :: Python :: 3.{minor}" in found["classifiers"]
