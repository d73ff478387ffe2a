"""The fault report written to standard error, and its backtrace switch."""
import os
import re
import subprocess
import sys
import textwrap

CODE = textwrap.dedent("""
    import kavell
    for _ in range(2):
        try:
            kavell.PSO(0).min(abs)
        except BaseException as error:
            print(error)
""")

REPORT = re.compile(r"thread '<unnamed>' panicked at 'particle_count is 0!', src/\S+:\d+:\d+")


def run(environment):
    env = {key: value for key, value in os.environ.items() if key != "KAVELL_BACKTRACE"}
    env.update(environment)
    result = subprocess.run([sys.executable, "-c", CODE], capture_output=True, text=True, timeout=60, env=env)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["particle_count is 0!"] * 2
    return result.stderr.splitlines()


def test_report_per_fault_and_one_note():
    lines = run({})
    reports = [line for line in lines if REPORT.fullmatch(line)]
    notes = [line for line in lines if line.startswith("note: ")]
    assert len(reports) == 2
    assert notes == ["note: set the environment variable KAVELL_BACKTRACE=1 to print a native backtrace with "
                     "each fault report"]
    assert lines.index(notes[0]) == lines.index(reports[0]) + 1


def test_backtrace_on_request():
    for value in ("0", ""):
        assert "native backtrace:" not in run({"KAVELL_BACKTRACE": value})
    lines = run({"KAVELL_BACKTRACE": "1"})
    assert sum(REPORT.fullmatch(line) is not None for line in lines) == 2
    starts = [i for i, line in enumerate(lines) if line == "native backtrace:"]
    assert len(starts) == 2
    # Frames follow each header, at least one of them inside the module.
    frames = lines[starts[0] + 1:starts[1]]
    assert any("kavell" in frame for frame in frames)
    assert not any(line.startswith("note: ") for line in lines)
