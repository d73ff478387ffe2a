"""optimize's own cost per evaluation, with the time in f excluded and no timer inside f.

    python bench/coco/cost.py [--checkout PATH] [--dimension 20] [--budget 40000] [--repeats 7]
    python bench/coco/cost.py --instructions [--checkout PATH]     (under valgrind's callgrind)

Times, interleaved in one process, (a) a whole ``optimize`` run of ``budget``
evaluations on a cheap objective (the sphere in pure Python) over
``f64`` in [-5, 5]^D, and (b) ``budget`` direct calls of the same objective
with a keyword list of D floats, as the run makes them. Own cost per
evaluation = (median a - median b) / budget. Reported with the polish as
optimize defaults to (on when scipy is importable) and with ``polish=False``.

With ``--instructions`` the same difference is counted in instructions,
which the machine's other load does not disturb: callgrind counts a process
that makes a warm-up run and then either the whole run or the direct calls.
"""
from __future__ import annotations

import argparse
import os
import pathlib
import statistics
import sys
import time


def sphere(f64: list[float]) -> float:
    total = 0.0
    for x in f64:
        total += x * x
    return total


LINES: list[str] = []


def say(line: str) -> None:
    print(line, flush=True)
    LINES.append(line)


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--checkout", type=pathlib.Path, help="measure the kavell_tools of this checkout")
    parser.add_argument("--dimension", type=int, default=20)
    parser.add_argument("--budget", type=int, default=40_000)
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--instructions", action="store_true", help="count instructions under callgrind")
    parser.add_argument("--save", action="store_true",
                        help="also append the lines to results/cost.txt, which the report shows")
    parser.add_argument("--child", choices=["whole", "whole-no-polish", "direct"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.instructions:
        instructions(args)
        save(args)
        return
    if args.checkout is not None:
        sys.path.insert(0, str(args.checkout.resolve() / "python"))
    import kavell_tools

    d, budget = args.dimension, args.budget
    bounds = {"f64_min": [-5.0] * d, "f64_max": [5.0] * d}
    point = [0.5 + k / d for k in range(d)]

    def direct() -> float:
        started = time.perf_counter()
        for _ in range(budget):
            sphere(f64=point)
        return time.perf_counter() - started

    def whole(polish: bool | None) -> float:
        started = time.perf_counter()
        result = kavell_tools.optimize(sphere, budget, polish=polish, **bounds)
        elapsed = time.perf_counter() - started
        assert result.evaluations == budget, result.evaluations
        return elapsed

    if args.child is not None:
        whole(None)  # the same warm-up in every child, scipy imported in each
        if args.child == "direct":
            direct()
        else:
            whole(None if args.child == "whole" else False)
        return
    kinds = {"default polish": None, "polish=False": False}
    times: dict[str, list[float]] = {"direct calls": [], **{k: [] for k in kinds}}
    whole(None)  # imports and first-call costs out of the way
    for _ in range(args.repeats):
        times["direct calls"].append(direct())
        for name, polish in kinds.items():
            times[name].append(whole(polish))
    base, least = statistics.median(times["direct calls"]), min(times["direct calls"])
    say(f"kavell_tools from {kavell_tools.__file__}; D = {d}, {budget} evaluations, {args.repeats} repeats")
    say(f"direct calls of f: {base / budget * 1e6:.2f} µs per call (median; least {least / budget * 1e6:.2f})")
    for name in kinds:
        run = statistics.median(times[name])
        # The least times are the ones the machine's other load disturbed least.
        say(f"optimize, {name}: {run:.3f} s per run (median); own cost {(run - base) / budget * 1e6:.2f} µs "
            f"per evaluation from the medians, {(min(times[name]) - least) / budget * 1e6:.2f} µs from the "
            f"least times (runs {min(times[name]):.3f}–{max(times[name]):.3f} s)")
    say(f"load average during the measurement: {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    save(args)


def instructions(args: argparse.Namespace) -> None:
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))
    from per_evaluation import callgrind_count

    def count(child: str) -> int:
        arguments = ["--child", child, "--dimension", str(args.dimension), "--budget", str(args.budget)]
        if args.checkout is not None:
            arguments += ["--checkout", str(args.checkout)]
        return int(callgrind_count(arguments, script=__file__))

    direct = count("direct")
    # valgrind runs one thread at a time, so the spinning of idle BLAS threads (numpy's, woken by the
    # strategy's small matrix products) would be counted as the strategy's own: hold them to one.
    threads = os.environ.get("OPENBLAS_NUM_THREADS")
    say(f"callgrind, D = {args.dimension}, {args.budget} evaluations; direct calls: {direct:,} instructions in the process"
        + (f"; OPENBLAS_NUM_THREADS={threads}" if threads else ""))
    for child in ("whole", "whole-no-polish"):
        whole = count(child)
        say(f"optimize ({child}): {(whole - direct) / args.budget:,.0f} instructions per evaluation of its own")


def save(args: argparse.Namespace) -> None:
    if args.save:
        import datetime

        with open(pathlib.Path(__file__).resolve().parent / "results" / "cost.txt", "a") as out:
            out.write(f"{datetime.date.today().isoformat()}:\n" + "".join(f"    {line}\n" for line in LINES))


if __name__ == "__main__":
    main()
