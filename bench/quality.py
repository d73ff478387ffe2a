"""Solution quality at equal evaluation budgets, against peers.

Runs every contender on the project's nine problems (sphere, Rosenbrock,
Rastrigin and Ackley in 10 and 30 dimensions, and a mixed-integer problem)
and on a held-out set of eight that no kavell setting was tuned on
(problems.held_out_problems: shifted and rotated functions with optima away
from the centre of the box, and a mixed problem with more integers than
reals), at each budget, several times. Every run is cached as soon as it ends
(one JSON file per contender under OUT/runs/), so an interrupted benchmark
resumes where it stopped; the tables and the chart are made from the cache.

    pip install pyswarms scipy nevergrad matplotlib
    python bench/quality.py run --contenders "pyswarms defaults" ... --budgets 10000 50000 --repeats 10
    python bench/quality.py report        # tables (Markdown) and the PNG from the cache
    python bench/quality.py speed --contenders "kavell optimize" "pyswarms defaults" --repeats 5

Every contender scores one point per objective call with the same plain
Python functions (kavell_tools.problems); nothing is vectorised for anyone.
Each call goes through a counter: a run's value is the best value among its
first `budget` calls, and any calls beyond the budget are reported as
overspend (scipy's polish, for one, is not bounded by maxiter).
"""
from __future__ import annotations

import argparse
import json
import math
import os
import pathlib
import statistics
import sys
import time
from collections.abc import Callable
from typing import Any

import kavell_tools
from kavell_tools import problems

Problem = problems.Problem
SOLVED = 1e-8


class Counted:
    """Counts calls of a problem's function and keeps the best value within the budget."""

    def __init__(self, problem: Problem, budget: int) -> None:
        self.problem = problem
        self.budget = budget
        self.calls = 0
        self.best = math.inf
        self.objective_seconds = 0.0
        self.integers = len(problem.bounds.get("i64_min", []))

    def _score(self, point: dict[str, Any]) -> float:
        started = time.perf_counter()
        value = float(self.problem.function(**point))
        self.objective_seconds += time.perf_counter() - started
        self.calls += 1
        if self.calls <= self.budget and value < self.best:
            self.best = value
        return value

    def flat(self, values: list[float]) -> float:
        """Integers first (rounded), then reals, in one flat list."""
        n = self.integers
        if n:
            return self._score({"i64": [round(v) for v in values[:n]], "f64": list(values[n:])})
        return self._score({"f64": list(values)})

    def keywords(self, **point: Any) -> float:
        return self._score(point)

    def box(self) -> tuple[list[float], list[float]]:
        bounds = self.problem.bounds
        low = [float(v) for v in bounds.get("i64_min", []) + bounds["f64_min"]]
        high = [float(v) for v in bounds.get("i64_max", []) + bounds["f64_max"]]
        return low, high


def kavell_optimize(counted: Counted, budget: int) -> float:
    return float(kavell_tools.optimize(counted.keywords, budget, **counted.problem.bounds).value)


def kavell_optimize_native_integers(counted: Counted, budget: int) -> float:
    """optimize with the integers searched with the module's own kinds (the other choice)."""
    from kavell_tools._optimize import Tuning

    tuning = Tuning(real_integers=False)
    return float(kavell_tools.optimize(counted.keywords, budget, tuning=tuning, **counted.problem.bounds).value)


def kavell_restarts(counted: Counted, budget: int) -> float:
    return float(kavell_tools.restarts(counted.keywords, budget, **counted.problem.bounds).value)


def pyswarms_run(options: dict[str, float], particles: int = 100) -> Callable[[Counted, int], float]:
    def run(counted: Counted, budget: int) -> float:
        import numpy as np
        import pyswarms

        low, high = counted.box()

        def swarm_cost(positions: Any) -> Any:
            return np.array([counted.flat(row) for row in positions.tolist()])

        optimizer = pyswarms.single.GlobalBestPSO(
            n_particles=particles, dimensions=len(low), options=options, bounds=(np.array(low), np.array(high))
        )
        cost, _ = optimizer.optimize(swarm_cost, iters=budget // particles, verbose=False)
        return float(cost)

    return run


def scipy_de_run(polish: bool) -> Callable[[Counted, int], float]:
    def run(counted: Counted, budget: int) -> float:
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
            polish=polish,
            integrality=np.array(integrality) if counted.integers else None,
            updating="deferred",
        )
        return float(result.fun)

    return run


def nevergrad_run(name: str) -> Callable[[Counted, int], float]:
    def run(counted: Counted, budget: int) -> float:
        import nevergrad as ng
        import numpy as np

        bounds = counted.problem.bounds
        n = counted.integers
        reals = ng.p.Array(shape=(len(bounds["f64_min"]),)).set_bounds(
            np.array(bounds["f64_min"], dtype=float), np.array(bounds["f64_max"], dtype=float)
        )
        if n:
            integers = ng.p.Array(shape=(n,)).set_bounds(
                np.array(bounds["i64_min"], dtype=float), np.array(bounds["i64_max"], dtype=float)
            ).set_integer_casting()
            parametrization: Any = ng.p.Instrumentation(i64=integers, f64=reals)

            def objective(i64: Any, f64: Any) -> float:
                return counted.keywords(i64=[int(v) for v in i64], f64=f64.tolist())
        else:
            parametrization = ng.p.Instrumentation(reals)

            def objective(f64: Any) -> float:  # type: ignore[misc]
                return counted.keywords(f64=f64.tolist())

        optimizer = ng.optimizers.registry[name](parametrization=parametrization, budget=budget, num_workers=1)
        recommendation = optimizer.minimize(objective)
        return math.nan if recommendation.loss is None else float(recommendation.loss)

    return run


CONTENDERS: dict[str, Callable[[Counted, int], float]] = {
    "kavell optimize": kavell_optimize,
    "kavell restarts": kavell_restarts,
    "kavell optimize, native integers": kavell_optimize_native_integers,
    "pyswarms defaults": pyswarms_run({"c1": 0.5, "c2": 0.3, "w": 0.9}),
    "pyswarms constriction": pyswarms_run({"c1": 1.49445, "c2": 1.49445, "w": 0.729}),
    "scipy DE": scipy_de_run(polish=True),
    "scipy DE no polish": scipy_de_run(polish=False),
    "nevergrad PSO": nevergrad_run("PSO"),
    "nevergrad NGOpt": nevergrad_run("NGOpt"),
}
PEERS = [name for name in CONTENDERS if not name.startswith("kavell")]
MODULES = {"pyswarms": "pyswarms", "scipy": "scipy", "nevergrad": "nevergrad"}


def available(name: str) -> bool:
    module = MODULES.get(name.split()[0])
    if module is None:
        return True
    try:
        __import__(module)
    except ImportError:
        return False
    return True


def problem_sets() -> dict[str, list[Problem]]:
    return {"named": problems.standard_problems(), "held-out": problems.held_out_problems()}


def slug(name: str) -> str:
    return name.replace(" ", "-")


class Cache:
    """Run records of one contender: cache[budget][problem] = [record, ...], saved after every run."""

    def __init__(self, directory: pathlib.Path, contender: str) -> None:
        self.path = directory / f"{slug(contender)}.json"
        self.runs: dict[str, dict[str, list[dict[str, Any]]]] = (
            json.loads(self.path.read_text()) if self.path.exists() else {}
        )

    def cell(self, budget: int, problem: str) -> list[dict[str, Any]]:
        return self.runs.setdefault(str(budget), {}).setdefault(problem, [])

    def save(self) -> None:
        temporary = self.path.with_suffix(".tmp")
        temporary.write_text(json.dumps(self.runs, indent=0))
        os.replace(temporary, self.path)


def measure(contenders: list[str], chosen: list[Problem], budgets: list[int], repeats: int,
            directory: pathlib.Path) -> None:
    """Run until every (contender, problem, budget) cell holds ``repeats`` records.

    Repeats are the outer loop, so that a benchmark cut short leaves every
    cell with about as many runs as its neighbours.
    """
    directory.mkdir(parents=True, exist_ok=True)
    caches = {name: Cache(directory, name) for name in contenders}
    for repeat in range(repeats):
        for budget in budgets:
            for problem in chosen:
                for name in contenders:
                    cell = caches[name].cell(budget, problem.name)
                    if len(cell) > repeat:
                        continue
                    counted = Counted(problem, budget)
                    started = time.perf_counter()
                    returned = CONTENDERS[name](counted, budget)
                    elapsed = time.perf_counter() - started
                    cell.append({
                        "value": counted.best, "returned": returned, "evaluations": counted.calls,
                        "seconds": elapsed, "objective_seconds": counted.objective_seconds,
                    })
                    caches[name].save()
                    print(f"{name} {problem.name} {budget} #{len(cell)}: {counted.best:.3g} "
                          f"({counted.calls} calls, {elapsed:.1f} s)", file=sys.stderr, flush=True)


def solved_equal(a: float, b: float) -> bool:
    return a <= b or (a < SOLVED and b < SOLVED)


def fmt(value: float) -> str:
    return f"{value:.3g}"


def load(directory: pathlib.Path, contenders: list[str]) -> dict[str, dict[str, dict[str, list[dict[str, Any]]]]]:
    """runs[budget][problem][contender], for the contenders that have a cache."""
    runs: dict[str, dict[str, dict[str, list[dict[str, Any]]]]] = {}
    for name in contenders:
        for budget, by_problem in Cache(directory, name).runs.items():
            for problem, cell in by_problem.items():
                if cell:
                    runs.setdefault(budget, {}).setdefault(problem, {})[name] = cell
    return runs


def median(cell: list[dict[str, Any]]) -> float:
    return statistics.median(run["value"] for run in cell)


def winners(cells: dict[str, list[dict[str, Any]]]) -> set[str]:
    """Contenders whose median is the best of the row (solved ties with solved)."""
    medians = {name: median(cell) for name, cell in cells.items()}
    best = min(medians.values())
    return {name for name, value in medians.items() if value <= best or (value < SOLVED and best < SOLVED)}


def table(runs: dict[str, Any], contenders: list[str], names: list[str], budget: str) -> str:
    present = [name for name in contenders if any(name in runs.get(budget, {}).get(p, {}) for p in names)]
    lines = ["| problem | " + " | ".join(present) + " |", "|---" * (len(present) + 1) + "|"]
    for problem in names:
        cells = runs.get(budget, {}).get(problem, {})
        if not cells:
            continue
        best = winners({name: cell for name, cell in cells.items() if name in present})  # of this table's columns
        row = [problem]
        for name in present:
            cell = cells.get(name)
            if not cell:
                row.append("-")
                continue
            values = [run["value"] for run in cell]
            text = f"{fmt(statistics.median(values))} ({fmt(min(values))}–{fmt(max(values))}) n={len(values)}"
            row.append(f"**{text}**" if name in best else text)
        lines.append("| " + " | ".join(row) + " |")
    return "\n".join(lines) + "\n"


def scores(runs: dict[str, Any], names: list[str], budget: str, who: str, peers: list[str]) -> dict[str, Any]:
    """Counts against the targets for contender ``who`` on the problems ``names``."""
    best = not_worse_than_defaults = compared = 0
    for problem in names:
        cells = {k: v for k, v in runs.get(budget, {}).get(problem, {}).items() if k == who or k in peers}
        if who not in cells or len(cells) < 2:
            continue
        compared += 1
        best += who in winners(cells)
        defaults = cells.get("pyswarms defaults")
        if defaults is None or solved_equal(median(cells[who]), median(defaults)):
            not_worse_than_defaults += 1
    return {"problems": compared, "best": best, "not worse than pyswarms defaults": not_worse_than_defaults}


def overspend(runs: dict[str, Any]) -> list[str]:
    found: dict[tuple[str, str], list[int]] = {}
    for budget, by_problem in runs.items():
        for cells in by_problem.values():
            for name, cell in cells.items():
                extra = [run["evaluations"] - int(budget) for run in cell if run["evaluations"] > int(budget)]
                if extra:
                    found.setdefault((name, budget), []).extend(extra)
    return [
        f"- {name} at {int(budget):,}: {len(extra)} runs over budget, by {min(extra)} to {max(extra)} calls "
        "(only the first `budget` calls count towards its value)"
        for (name, budget), extra in sorted(found.items())
    ]


def own_seconds(runs: dict[str, Any], name: str, budget: str) -> float | None:
    """Median wall time per run less the time spent inside the objective."""
    times = [run["seconds"] - run["objective_seconds"]
             for cells in runs.get(budget, {}).values() for run in cells.get(name, [])]
    return statistics.median(times) if times else None


def report(directory: pathlib.Path, contenders: list[str], out: pathlib.Path) -> str:
    runs = load(directory, contenders)
    sets = problem_sets()
    parts = []
    main = [name for name in contenders if name != "kavell optimize, native integers"]
    for budget in sorted(runs, key=int):
        for label, chosen in sets.items():
            names = [p.name for p in chosen]
            parts.append(f"\n#### {label} problems, {int(budget):,} evaluations\n")
            parts.append("Median best value (min–max over the runs), n runs; bold: best median of the row "
                         f"(medians below {SOLVED:g} count as solved and tie).\n")
            parts.append(table(runs, main, names, budget))
            counts = scores(runs, names, budget, "kavell optimize", PEERS)
            if counts["problems"]:
                parts.append(f"\nkavell optimize against the peers: best on {counts['best']} of "
                             f"{counts['problems']}, not worse than pyswarms defaults on "
                             f"{counts['not worse than pyswarms defaults']} of {counts['problems']}.\n")
    variant = "kavell optimize, native integers"
    if variant in contenders:
        mixed_names = [p.name for chosen in sets.values() for p in chosen if "i64_min" in p.bounds]
        parts.append("\n#### Integers: reals rounded at the call (optimize's default) against the module's own kinds\n")
        for budget in sorted(runs, key=int):
            parts.append(f"\n{int(budget):,} evaluations:\n\n")
            parts.append(table(runs, ["kavell optimize", variant], mixed_names, budget))
    spent = overspend(runs)
    parts.append("\n#### Calls beyond the budget\n")
    parts.append("\n".join(spent) + "\n" if spent else "None: every run stayed within its budget.\n")
    parts.append("\n#### Own time per run (wall time less the objective's), median over all problems\n")
    parts.append("| budget | " + " | ".join(main) + " |\n" + "|---" * (len(main) + 1) + "|\n")
    for budget in sorted(runs, key=int):
        cells = [own_seconds(runs, name, budget) for name in main]
        parts.append(f"| {int(budget):,} | " + " | ".join("-" if c is None else f"{c:.3g} s" for c in cells) + " |\n")
    text = "".join(parts)
    (out / "quality.md").write_text(text)
    into_docs(text)
    chart(runs, main, [p.name for chosen in sets.values() for p in chosen], out / "quality.png")
    return text


DOCS = pathlib.Path(__file__).resolve().parent.parent / "docs" / "choosing-settings.md"
BEGIN, END = "<!-- quality tables: generated by bench/quality.py report -->", "<!-- end of quality tables -->"


def into_docs(text: str) -> None:
    """Put the tables into docs/choosing-settings.md, between its two markers."""
    if not DOCS.exists():
        return
    page = DOCS.read_text()
    if BEGIN in page and END in page:
        before, rest = page.split(BEGIN, 1)
        DOCS.write_text(before + BEGIN + "\n" + text.strip("\n") + "\n" + END + rest.split(END, 1)[1])


def chart(runs: dict[str, Any], contenders: list[str], names: list[str], path: pathlib.Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    budgets = sorted(runs, key=int)
    figure, axes = plt.subplots(len(budgets), 1, figsize=(16, 4.8 * len(budgets)), squeeze=False)
    for axis, budget in zip(axes[:, 0], budgets):
        shown = [p for p in names if p in runs[budget]]
        present = [c for c in contenders if any(c in runs[budget][p] for p in shown)]
        width = 0.8 / max(1, len(present))
        for index, contender in enumerate(present):
            # A log axis cannot show 0; the floor keeps exact optima visible.
            medians = [max(median(runs[budget][p][contender]), 1e-30) if contender in runs[budget][p]
                       else float("nan") for p in shown]
            positions = [k + (index - (len(present) - 1) / 2) * width for k in range(len(shown))]
            axis.bar(positions, medians, width, label=contender)
        axis.set_yscale("log")
        axis.set_xticks(range(len(shown)), shown, rotation=25)
        axis.set_ylabel("median best value (lower is better)")
        axis.set_title(f"{int(budget):,} evaluations", loc="right")
        axis.legend(fontsize="small", ncol=4, loc="lower left", bbox_to_anchor=(0.0, 1.08))
    figure.tight_layout()
    figure.savefig(path, dpi=90)


def speed(budgets: list[int], repeats: int, names: list[str]) -> str:
    """Own time per run (wall time less the objective's), interleaved in this process, medians.

    The objective is sphere-10, the cheapest of the problems, so that the
    contenders' own costs dominate.
    """
    problem = next(p for p in problems.standard_problems() if p.name == "sphere-10")
    lines = ["| budget | " + " | ".join(names) + " | ratio to the first |", "|---" * (len(names) + 2) + "|"]
    for budget in budgets:
        own: dict[str, list[float]] = {name: [] for name in names}
        for _ in range(repeats):
            for name in names:
                counted = Counted(problem, budget)
                started = time.perf_counter()
                CONTENDERS[name](counted, budget)
                own[name].append(time.perf_counter() - started - counted.objective_seconds)
        medians = [statistics.median(own[name]) for name in names]
        ratios = ", ".join(f"{m / medians[0]:.1f}x" for m in medians[1:])
        lines.append(f"| {budget:,} | " + " | ".join(f"{m:.3f} s" for m in medians) + f" | {ratios} |")
    return "\n".join(lines) + "\n"


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("action", choices=["run", "report", "speed"])
    parser.add_argument("--budgets", type=int, nargs="+", default=[10_000, 50_000])
    parser.add_argument("--repeats", type=int, default=10)
    parser.add_argument("--contenders", nargs="+", default=list(CONTENDERS), choices=list(CONTENDERS))
    parser.add_argument("--set", choices=["named", "held-out", "both"], default="both")
    parser.add_argument("--problems", nargs="+", help="problem names, e.g. sphere-30 (default: all of the set)")
    parser.add_argument("--out", type=pathlib.Path, default=pathlib.Path("bench/results"))
    args = parser.parse_args(argv)

    contenders = [name for name in args.contenders if available(name)]
    if args.action == "speed":
        text = speed(args.budgets, args.repeats, contenders)
        (args.out / "speed.md").write_text(text)
        print(text)
        return
    if args.action == "report":
        print(report(args.out / "runs", contenders, args.out))
        return
    sets = problem_sets()
    chosen = [p for label, group in sets.items() if args.set in (label, "both") for p in group
              if not args.problems or p.name in args.problems]
    measure(contenders, chosen, args.budgets, args.repeats, args.out / "runs")


if __name__ == "__main__":
    main()
