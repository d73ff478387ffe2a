"""What a stop costs, and what the tracker adds to each call of f.

A run the tracker stops winds down: the module makes its remaining calls, the
tracker answers them without calling f, and the run ends on its own, quietly.
This prints, as medians of repetitions interleaved in one process:

1. the wind-down's cost per remaining call, for points of 3, 30 and 300
   reals (min and max), 10 decimals and 10 big integers: a run of 10
   particles stopped after its first evaluation, with 1,000 iterations
   against none, the difference divided by the 10,000 calls between them;
   beside it the module's own cost per call of a plain run (f returns 0.0
   at once, no tracker), the wind-down's units per call
   (kavell_tools._tracking.WIND_DOWN_CALL plus the weighted elements) and
   ns per unit, and what ending the run by raising from the objective
   instead costs once (the module reports it on descriptor 2, which this
   script points at the null device);
2. the tracker's cost per call of f: a plain run against runs under a
   Tracker (with nan=None, "worst" and "raise"), 10,100 calls each, 3 reals.

With --instructions, it counts instead, under callgrind, the instructions per
call of those runs and of a wind-down (a Tracker run of 100 particles and 99
iterations stopped after its first evaluation): a count that the machine's
load does not change. Each is the count of a process that makes one warm-up
run and one measured run, less that of the same process without the measured
run, over the run's 10,000 calls.

    python bench/quiet_stop.py [repetitions]
    python bench/quiet_stop.py --instructions
"""
import os
import statistics
import sys
import time
from decimal import Decimal

import kavell
from per_evaluation import callgrind_count

import kavell_tools
from kavell_tools import _tracking


def zero(**point):
    return 0.0


def box(n, kind="f64"):
    low, high = {"f64": (-5.0, 5.0), "d": (Decimal("-5.00"), Decimal("5.00")), "i": (-(2**100), 2**100)}[kind]
    return {f"{kind}_min": [low] * n, f"{kind}_max": [high] * n}


POINTS = [(3, "f64"), (30, "f64"), (300, "f64"), (10, "d"), (10, "i")]


def timed(work):
    started = time.perf_counter()
    work()
    return time.perf_counter() - started


def stopped(iterations, bounds, maximize, raised=False):
    limit = _tracking.WIND_DOWN_LIMIT

    def work():
        tracker = kavell_tools.Tracker(zero, maximize=maximize, max_evaluations=1)
        _tracking.WIND_DOWN_LIMIT = 0 if raised else limit
        try:
            assert not tracker.run(kavell.PSO(10, iterations), bounds)
        finally:
            _tracking.WIND_DOWN_LIMIT = limit
    return work


def plain(iterations, bounds, maximize):
    def work():
        pso = kavell.PSO(10, iterations)
        (pso.max if maximize else pso.min)(zero, **bounds)
    return work


def medians(cases, repetitions):
    samples = {name: [] for name in cases}
    for _ in range(repetitions):
        for name, work in cases.items():
            samples[name].append(timed(work))
    return {name: statistics.median(times) for name, times in samples.items()}


def wind_down(repetitions):
    iterations = 1_000
    calls = 10 * iterations
    print(f"wind-down per remaining call ({calls} calls), medians of {repetitions}, in ns")
    print(f"{'point':>10} {'method':>6} {'wind-down':>10} {'plain run':>10} {'units':>6} {'ns/unit':>8}"
          f" {'raised stop, once':>18}")
    for n, kind in POINTS:
        bounds = box(n, kind)
        units = _tracking.WIND_DOWN_CALL + n * _tracking._ELEMENT_COST.get(kind, 1)
        for maximize in (False, True) if kind == "f64" else (False,):
            cases = {
                "long": stopped(iterations, bounds, maximize),
                "short": stopped(0, bounds, maximize),
                "plain long": plain(iterations, bounds, maximize),
                "plain short": plain(0, bounds, maximize),
                "raised": stopped(iterations, bounds, maximize, raised=True),
            }
            m = medians(cases, repetitions)
            per_call = (m["long"] - m["short"]) / calls * 1e9
            module = (m["plain long"] - m["plain short"]) / calls * 1e9
            raised = (m["raised"] - m["short"]) * 1e9
            print(f"{n:>6} {kind:>3} {'max' if maximize else 'min':>6} {per_call:>10.0f} {module:>10.0f}"
                  f" {units:>6} {per_call / units:>8.1f} {raised:>18.0f}")


def per_call(repetitions):
    iterations, n = 100, 3
    calls = 100 * (iterations + 1)
    pso = kavell.PSO(100, iterations)
    bounds = box(n)
    cases = {
        "plain run": lambda: pso.min(zero, **bounds),
        "Tracker": lambda: kavell_tools.Tracker(zero).run(pso, bounds),
        'Tracker(nan="worst")': lambda: kavell_tools.Tracker(zero, nan="worst").run(pso, bounds),
        'Tracker(nan="raise")': lambda: kavell_tools.Tracker(zero, nan="raise").run(pso, bounds),
    }
    m = medians(cases, repetitions)
    print(f"\ncost per call of f ({calls} calls, {n} reals), medians of {repetitions}, in ns")
    for name, seconds in m.items():
        added = (seconds - m["plain run"]) / calls * 1e9
        print(f"{name:>22} {seconds / calls * 1e9:8.0f}   added by the tracker {added:6.0f}")


COUNTED = {
    "plain run": lambda pso, bounds: pso.min(zero, **bounds),
    "Tracker": lambda pso, bounds: kavell_tools.Tracker(zero).run(pso, bounds),
    'Tracker(nan="worst")': lambda pso, bounds: kavell_tools.Tracker(zero, nan="worst").run(pso, bounds),
    'Tracker(nan="raise")': lambda pso, bounds: kavell_tools.Tracker(zero, nan="raise").run(pso, bounds),
    "wind-down": lambda pso, bounds: kavell_tools.Tracker(zero, max_evaluations=1).run(pso, bounds),
}


def child(name, runs):
    pso, bounds = kavell.PSO(100, 99), box(3)
    for _ in range(1 + int(runs)):
        COUNTED[name](pso, bounds)


def instructions():
    calls = 100 * 100
    print(f"instructions per call ({calls} calls, 3 reals)")
    counts = {name: (callgrind_count(["--child", name, "1"], __file__) - callgrind_count(["--child", name, "0"], __file__))
                    / calls for name in COUNTED}
    for name, count in counts.items():
        print(f"{name:>22} {count:8.0f}   beside the plain run {count - counts['plain run']:8.0f}")


def main(arguments):
    if arguments[:1] == ["--child"]:
        child(*arguments[1:])
    elif arguments[:1] == ["--instructions"]:
        instructions()
    else:
        repetitions = int(arguments[0]) if arguments else 200
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 2)  # the raised stops' reports
        wind_down(repetitions)
        per_call(repetitions)


if __name__ == "__main__":
    main(sys.argv[1:])
