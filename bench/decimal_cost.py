"""Instructions per evaluation of whole runs with decimal and big-int points.

    python bench/decimal_cost.py runs [--iterations 100]   # kavell and the Python-built floor, mixed and heavy
    python bench/decimal_cost.py routes                    # the public ways to build a decimal.Decimal
    python bench/decimal_cost.py wall [--repeats 9]        # wall time of the same runs, paired ratios

`runs` counts instructions with valgrind --tool=callgrind as the difference of
two processes that do one and three whole runs (PSO.min with 100 particles and
the given iterations, or the floor making as many calls), so start-up, imports
and the first-call costs cancel out; the difference is divided by the calls of
two runs. `routes` does the same for one million calls of each route to a
Decimal of a given coefficient and scale, less an empty call, after checking
that every route gives the same sign, digits and exponent.
"""
import argparse
import random
import statistics
import subprocess
import sys
import time
from decimal import Decimal
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from per_evaluation import HEAVY, MIXED, PARTICLES, python_floor, sample_point, zero  # noqa: E402

POINTS = {"mixed": MIXED, "heavy": HEAVY}


def _context():
    import decimal

    return decimal.Context(prec=29, Emin=-100, Emax=100)


# (coefficient, scale, negative): a full 96-bit coefficient at the largest scale,
# a short one, a negative zero, and one with trailing zeros.
ROUTE_VALUES = [(2**96 - 1, 28, True), (98765, 2, False), (0, 5, True), (123400, 4, False)]


def text_of(magnitude, scale, negative):
    digits = str(magnitude).rjust(scale + 1, "0")
    body = digits[:-scale] + "." + digits[-scale:] if scale else digits
    return ("-" if negative else "") + body


def route_makers(magnitude, scale, negative):
    text = text_of(magnitude, scale, negative)
    signed = -magnitude if negative else magnitude
    digits = (int(negative), tuple(map(int, str(magnitude))), -scale)
    context = _context()
    create = context.create_decimal
    unit = Decimal((0, (1,), -scale))
    return {
        "Decimal(str)": lambda: Decimal(text),
        "Context.create_decimal(str)": lambda: create(text),
        "Decimal(tuple)": lambda: Decimal(digits),
        "Decimal(int).scaleb(-scale)": lambda: Decimal(signed).scaleb(-scale, context),
        "Decimal(int) * 1E-scale": lambda: context.multiply(Decimal(signed), unit),
        "empty": lambda: None,
    }


def check_routes():
    for value in ROUTE_VALUES:
        makers = route_makers(*value)
        reference = makers.pop("Decimal(str)")().as_tuple()
        makers.pop("empty")
        for name, make in makers.items():
            got = make().as_tuple()
            # int routes cannot carry the sign of a zero: such a zero takes copy_negate on top
            if got != reference and not (value[0] == 0 and got._replace(sign=1) == reference):
                print(f"{name} differs for {value}: {got} against {reference}")


def child(argv):
    mode, name, count = argv[0], argv[1], int(argv[2])
    if mode == "route":
        make = route_makers(*ROUTE_VALUES[int(argv[3])])[name]
        for _ in range(count):
            make()
        return
    import kavell

    bounds = POINTS[name]
    iterations = int(argv[3])
    if mode == "kavell":
        pso = kavell.PSO(particle_count=PARTICLES, iteration_count=iterations)
        for _ in range(count):
            pso.min(zero, **bounds)
    else:
        run = python_floor(sample_point(bounds, random.Random(2026)), zero)
        for _ in range(count):
            run(PARTICLES * (iterations + 1))


def instructions(*args):
    command = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable, __file__,
               "child", *map(str, args)]
    output = subprocess.run(command, capture_output=True, text=True, check=True).stderr
    return int(output.split("Collected : ")[1].split()[0])


def per_call(mode, name, small, large, calls, *rest):
    return (instructions(mode, name, large, *rest) - instructions(mode, name, small, *rest)) / calls


def runs(iterations):
    evaluations = PARTICLES * (iterations + 1)
    for name in POINTS:
        kavell = per_call("kavell", name, 1, 2, evaluations, iterations)
        floor = per_call("floor", name, 1, 2, evaluations, iterations)
        print(f"{name:<6} kavell {kavell:10.0f}  floor {floor:10.0f}  kavell / floor {kavell / floor:5.2f}",
              flush=True)


def routes():
    check_routes()
    for index, value in enumerate(ROUTE_VALUES):
        costs = {name: per_call("route", name, 10**4, 11 * 10**4, 10**5, index) for name in route_makers(*value)}
        empty = costs.pop("empty")
        print(f"coefficient {value[0]}, scale {value[1]}, negative {value[2]}:")
        for name, cost in costs.items():
            print(f"    {name:<34}{cost - empty:8.0f}")


def wall(repeats, iterations):
    import kavell

    for name, bounds in POINTS.items():
        pso = kavell.PSO(particle_count=PARTICLES, iteration_count=iterations)
        floor = python_floor(sample_point(bounds, random.Random(2026)), zero)
        ratios = []
        for _ in range(repeats + 1):
            start = time.perf_counter()
            pso.min(zero, **bounds)
            middle = time.perf_counter()
            floor(PARTICLES * (iterations + 1))
            ratios.append((middle - start) / (time.perf_counter() - middle))
        print(f"{name:<6} kavell / floor {statistics.median(ratios[1:]):5.2f} (wall time, median of {repeats})")


def main():
    if sys.argv[1:2] == ["child"]:
        child(sys.argv[2:])
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("what", choices=["runs", "routes", "wall"])
    parser.add_argument("--iterations", type=int, default=100)
    parser.add_argument("--repeats", type=int, default=9)
    options = parser.parse_args()
    if options.what == "runs":
        runs(options.iterations)
    elif options.what == "routes":
        routes()
    else:
        wall(options.repeats, options.iterations)


if __name__ == "__main__":
    main()
