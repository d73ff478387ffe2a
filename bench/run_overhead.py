"""Cost of a run beside the objective calls it makes.

Per evaluation a run must build the dict of lists and call f; everything
else (vector arithmetic, clamping, comparisons) should cost little beside
that. This prints the time per evaluation of a whole run and of a plain
Python loop that only builds an equal dict and calls the same f.

    python bench/run_overhead.py
"""
import time
from decimal import Decimal

import kavell


def objective(**kw):
    return 0.0


CASES = {
    "f64 x 2": dict(f64_min=[0.0, 0.0], f64_max=[1.0, 1.0]),
    "f64 x 50": dict(f64_min=[0.0] * 50, f64_max=[1.0] * 50),
    "mixed i32/f64/d": dict(i32_min=[0], i32_max=[100], f64_min=[0.0], f64_max=[1.0], d_min=[Decimal("0.00")],
                            d_max=[Decimal("5.00")]),
    "i (big) x 4": dict(i_min=[-(2**100)] * 4, i_max=[2**100] * 4),
}


def baseline(point, evaluations):
    start = time.perf_counter()
    for _ in range(evaluations):
        objective(**{key: list(values) for key, values in point.items()})
    return time.perf_counter() - start


def main():
    pso = kavell.PSO(particle_count=100, iteration_count=100)
    evaluations = 100 * 101
    print(f"{'case':<18}{'run ns/eval':>14}{'dict+call ns/eval':>20}{'ratio':>8}")
    for name, bounds in CASES.items():
        start = time.perf_counter()
        _, point = pso.min(objective, **bounds)
        run = time.perf_counter() - start
        base = baseline(point, evaluations)
        print(f"{name:<18}{run / evaluations * 1e9:>14.0f}{base / evaluations * 1e9:>20.0f}{run / base:>8.2f}")


if __name__ == "__main__":
    main()
