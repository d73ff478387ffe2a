"""Solution quality at equal evaluation budgets.

Runs every contender on sphere, Rosenbrock, Rastrigin and Ackley in 10 and 30
dimensions and on a mixed-integer problem, at each budget, several times, and
writes the raw values (JSON), a Markdown table of medians and bests, and a PNG
chart. pyswarms and scipy take part when they are installed:

    pip install pyswarms scipy matplotlib
    python bench/quality.py --budgets 10000 50000 --repeats 10 --out bench/results

Every contender scores one point per objective call with the same plain
Python functions (kavell_tools.problems); nothing is vectorised for anyone.
A run's evaluation count is recorded and checked against the budget.
"""
from __future__ import annotations

import argparse
import dataclasses
import json
import pathlib
import statistics
import sys
import time
from collections.abc import Callable
from typing import Any


import kavell_tools
from kavell_tools import RECOMMENDED, Settings, problems

Problem = problems.Problem


class Counted:
    """Counts calls of a problem's function taking (integers, reals) in one flat list."""

    def __init__(self, problem: Problem) -> None:
        self.problem = problem
        self.calls = 0
        self.integers = len(problem.bounds.get("i64_min", []))

    def flat(self, values: list[float]) -> float:
        self.calls += 1
        if self.integers:
            n = self.integers
            return self.problem.function(i64=[round(v) for v in values[:n]], f64=values[n:])
        return self.problem.function(f64=values)

    def keywords(self, **point: Any) -> float:
        self.calls += 1
        return self.problem.function(**point)

    def box(self) -> tuple[list[float], list[float]]:
        bounds = self.problem.bounds
        low = [float(v) for v in bounds.get("i64_min", []) + bounds["f64_min"]]
        high = [float(v) for v in bounds.get("i64_max", []) + bounds["f64_max"]]
        return low, high


def kavell_run(settings: Settings) -> Callable[[Counted, int], float]:
    def run(counted: Counted, budget: int) -> float:
        value, _ = settings.for_budget(budget).build().min(counted.keywords, **counted.problem.bounds)
        return float(value)

    return run


def toolkit_restarts(counted: Counted, budget: int) -> float:
    return float(kavell_tools.restarts(counted.keywords, budget, **counted.problem.bounds).value)


def pyswarms_run(counted: Counted, budget: int) -> float:
    import numpy as np
    import pyswarms

    low, high = counted.box()
    particles = 100
    options = {"c1": 0.5, "c2": 0.3, "w": 0.9}

    def swarm_cost(positions: Any) -> Any:
        return np.array([counted.flat(row) for row in positions.tolist()])

    optimizer = pyswarms.single.GlobalBestPSO(
        n_particles=particles, dimensions=len(low), options=options, bounds=(np.array(low), np.array(high))
    )
    cost, _ = optimizer.optimize(swarm_cost, iters=budget // particles, verbose=False)
    return float(cost)


def scipy_de_run(counted: Counted, budget: int) -> float:
    import numpy as np
    from scipy.optimize import differential_evolution

    low, high = counted.box()
    dimension = len(low)
    popsize = 15  # scipy's default: a population of 15 * dimension
    generations = max(0, budget // (popsize * dimension) - 1)
    integrality = [True] * counted.integers + [False] * (dimension - counted.integers)
    result = differential_evolution(
        lambda x: counted.flat(x.tolist()),
        list(zip(low, high)),
        popsize=popsize,
        maxiter=generations,
        tol=0.0,
        atol=0.0,
        polish=False,
        integrality=np.array(integrality) if counted.integers else None,
        updating="deferred",
    )
    return float(result.fun)


CONTENDERS: dict[str, Callable[[Counted, int], float]] = {
    "kavell defaults": kavell_run(Settings()),
    "kavell recommended": kavell_run(RECOMMENDED),
    # The best of a first sweep, with the conventional reading of the two coefficients.
    "kavell 100/.5/.3/.3/.9": kavell_run(Settings(100, 99, 0.5, 0.3, 0.3, 0.9)),
    "toolkit restarts": toolkit_restarts,
    "pyswarms defaults": pyswarms_run,
    "scipy DE": scipy_de_run,
}


def available(name: str) -> bool:
    module = {"pyswarms defaults": "pyswarms", "scipy DE": "scipy"}.get(name)
    if module is None:
        return True
    try:
        __import__(module)
    except ImportError:
        return False
    return True


def measure(contenders: list[str], chosen: list[Problem], budgets: list[int], repeats: int,
            results: dict[str, Any], save: Callable[[], None]) -> None:
    """Fill results[budget][problem][contender] with run records, repeat by repeat.

    Repeats are the outer loop so that an interrupted benchmark leaves every
    cell with about as many runs as its neighbours.
    """
    for budget in budgets:
        for repeat in range(repeats):
            for problem in chosen:
                for name in contenders:
                    cell = results.setdefault(str(budget), {}).setdefault(problem.name, {}).setdefault(name, [])
                    if len(cell) > repeat:
                        continue
                    counted = Counted(problem)
                    started = time.perf_counter()
                    value = CONTENDERS[name](counted, budget)
                    elapsed = time.perf_counter() - started
                    if counted.calls > budget:
                        raise AssertionError(f"{name} made {counted.calls} calls on a budget of {budget}")
                    cell.append({"value": value, "evaluations": counted.calls, "seconds": elapsed})
            save()
            print(f"budget {budget}: repeat {repeat + 1}/{repeats} done", file=sys.stderr, flush=True)


def fmt(value: float) -> str:
    return f"{value:.3g}"


def table(results: dict[str, Any], contenders: list[str]) -> str:
    lines = []
    for budget, by_problem in results.items():
        lines.append(f"\n### {int(budget):,} evaluations (median / best of the runs; runs per cell in brackets)\n")
        lines.append("| problem | " + " | ".join(contenders) + " |")
        lines.append("|---" * (len(contenders) + 1) + "|")
        for problem, cells in by_problem.items():
            row = [problem]
            for name in contenders:
                runs = [run["value"] for run in cells.get(name, [])]
                row.append(f"{fmt(statistics.median(runs))} / {fmt(min(runs))} ({len(runs)})" if runs else "-")
            lines.append("| " + " | ".join(row) + " |")
    return "\n".join(lines) + "\n"


def chart(results: dict[str, Any], contenders: list[str], path: pathlib.Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    budgets = list(results)
    figure, axes = plt.subplots(len(budgets), 1, figsize=(12, 4.5 * len(budgets)), squeeze=False)
    for axis, budget in zip(axes[:, 0], budgets):
        names = list(results[budget])
        width = 0.8 / len(contenders)
        for index, contender in enumerate(contenders):
            medians = []
            for problem in names:
                runs = [run["value"] for run in results[budget][problem].get(contender, [])]
                # A log axis cannot show 0; the floor keeps exact optima visible.
                medians.append(max(statistics.median(runs), 1e-30) if runs else float("nan"))
            positions = [k + (index - (len(contenders) - 1) / 2) * width for k in range(len(names))]
            axis.bar(positions, medians, width, label=contender)
        axis.set_yscale("log")
        axis.set_xticks(range(len(names)), names, rotation=20)
        axis.set_ylabel("median best value (lower is better)")
        axis.set_title(f"{int(budget):,} evaluations", loc="right")
        axis.legend(fontsize="small", ncol=3, loc="lower left", bbox_to_anchor=(0.0, 1.08))
    figure.tight_layout()
    figure.savefig(path, dpi=100)


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--budgets", type=int, nargs="+", default=[10_000, 50_000])
    parser.add_argument("--repeats", type=int, default=10)
    parser.add_argument("--contenders", nargs="+", default=list(CONTENDERS), choices=list(CONTENDERS))
    parser.add_argument("--problems", nargs="+", help="problem names, e.g. sphere-30 (default: all)")
    parser.add_argument("--out", type=pathlib.Path, default=pathlib.Path("bench/results"))
    parser.add_argument("--resume", action="store_true", help="keep the runs already in OUT/quality.json")
    args = parser.parse_args(argv)

    contenders = [name for name in args.contenders if available(name)]
    chosen = [p for p in problems.standard_problems() if not args.problems or p.name in args.problems]
    args.out.mkdir(parents=True, exist_ok=True)
    raw = args.out / "quality.json"
    results: dict[str, Any] = json.loads(raw.read_text())["results"] if args.resume and raw.exists() else {}

    def save() -> None:
        document = {
            "python": sys.version.split()[0],
            "kavell_settings": {"defaults": dataclasses.asdict(Settings()), "recommended": dataclasses.asdict(RECOMMENDED)},
            "results": results,
        }
        raw.write_text(json.dumps(document, indent=1))

    measure(contenders, chosen, args.budgets, args.repeats, results, save)
    (args.out / "quality.md").write_text(table(results, contenders))
    chart(results, contenders, args.out / "quality.png")
    print(table(results, contenders))


if __name__ == "__main__":
    main()
