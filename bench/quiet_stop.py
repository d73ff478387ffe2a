"""What a quiet early stop costs: descriptor 2 redirected while the module unwinds.

Runs, interleaved in one process, a run stopped after 10 evaluations with the
redirection and without it (the module's fault report then goes to descriptor
2, which this script points at the null device for both), plus the
redirection alone. Prints medians in microseconds.

    python bench/quiet_stop.py [repetitions]
"""
import os
import statistics
import sys
import time

import kavell

import kavell_tools
from kavell_tools import _tracking
from kavell_tools.problems import sphere

BOUNDS = {"f64_min": [-5.0] * 3, "f64_max": [5.0] * 3}


def stopped_run():
    kavell_tools.minimize(kavell.PSO(10, 1_000_000), sphere, max_evaluations=10, **BOUNDS)


def redirection():
    quiet = _tracking._QuietStderr()
    quiet.silence()
    quiet.restore()


def main(repetitions=2_000):
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 2)  # both variants write nothing visible
    quiet_silence = _tracking._QuietStderr.silence
    times = {"stopped run, quiet": [], "stopped run, reported": [], "redirection alone": []}
    for _ in range(repetitions):
        for name in times:
            _tracking._QuietStderr.silence = quiet_silence if name != "stopped run, reported" else lambda self: None
            work = redirection if name == "redirection alone" else stopped_run
            started = time.perf_counter()
            work()
            times[name].append(time.perf_counter() - started)
    _tracking._QuietStderr.silence = quiet_silence
    for name, samples in times.items():
        print(f"{name:24} {statistics.median(samples) * 1e6:8.1f} us", file=sys.stdout)


if __name__ == "__main__":
    main(*(int(arg) for arg in sys.argv[1:]))
