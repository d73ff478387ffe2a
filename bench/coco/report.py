"""docs/benchmarks.md and its ECDF figures, from the run records of bench/coco/harness.py."""
from __future__ import annotations

import datetime
import json
import os
import pathlib
import platform
import shutil
import statistics
import subprocess
import sys
from collections.abc import Callable, Iterable, Sequence
from typing import TYPE_CHECKING, Any

import measures

if TYPE_CHECKING:
    from harness import Key, Store

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent.parent
PAGE = ROOT / "docs" / "benchmarks.md"
FIGURES = ROOT / "docs" / "benchmarks"

ORDER = ["optimize", "cma", "de", "pyswarms", "kavell", "optuna"]
NAMES = {"optimize": "optimize", "cma": "CMA-ES", "de": "scipy DE", "pyswarms": "pyswarms", "kavell": "one kavell run",
         "optuna": "Optuna"}
TUNING, HELD_OUT, SMALL = (1, 2, 3, 4, 5), (11, 12, 13, 14, 15), (1, 2, 3)
# cocopp's names of the function groups, in measures.GROUPS' order.
COCOPP_GROUPS = ["separ", "lcond", "hcond", "multi", "mult2", "noiselessall"]
Record = dict[str, Any]


def select(records: Iterable[Record], suite: str, multiplier: int, dimension: int, instances: Sequence[int],
           methods: Sequence[str]) -> dict[str, list[Record]]:
    """Runs per method of one cell of the tables, in the order of ``methods``."""
    chosen: dict[str, list[Record]] = {}
    for r in records:
        if (r["suite"], r["multiplier"], r["dimension"]) == (suite, multiplier, dimension) and r["instance"] in instances:
            chosen.setdefault(r["method"], []).append(r)
    return {m: chosen[m] for m in methods if m in chosen}


def common(runs: dict[str, list[Record]]) -> dict[str, list[Record]]:
    """The runs of the (function, instance) pairs that every method has, so that all count the same problems."""
    if not runs:
        return runs
    pairs = set.intersection(*({(r["function"], r["instance"]) for r in rs} for rs in runs.values()))
    return {m: [r for r in rs if (r["function"], r["instance"]) in pairs] for m, rs in runs.items()}


def bold_best(values: dict[str, float], fmt: Callable[[float], str], lowest: bool = False) -> dict[str, str]:
    finite = [v for v in values.values() if v == v]
    if not finite:
        return {m: "-" for m in values}
    best = min(finite) if lowest else max(finite)
    return {m: ("-" if v != v else f"**{fmt(v)}**" if round(v, 3) == round(best, 3) and len(values) > 1 else fmt(v))
            for m, v in values.items()}


def table(header: Sequence[str], rows: Iterable[Sequence[str]]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines) + "\n"


def f3(value: float) -> str:
    return f"{value:.3f}"


def f2(value: float) -> str:
    return f"{value:.2f}"


class Cells:
    """The cells of one kind of table: per dimension, the common runs of each method."""

    def __init__(self, records: list[Record], suite: str, multiplier: int, dims: Sequence[int],
                 instances: Sequence[int], methods: Sequence[str], functions: int = 24) -> None:
        self.suite, self.multiplier, self.instances, self.functions = suite, multiplier, instances, functions
        # The methods that ran this suite and budget at all; a dimension shows once each of them ran it.
        self.methods = [m for m in methods if any(
            (r["method"], r["suite"], r["multiplier"]) == (m, suite, multiplier) and r["instance"] in instances
            for r in records)]
        self.by_dim = {}
        for d in dims if len(self.methods) > 1 else ():
            runs = common(select(records, suite, multiplier, d, instances, self.methods))
            if self.methods and len(runs) == len(self.methods) and all(runs.values()):
                self.by_dim[d] = runs

    def coverage(self) -> str:
        """How many of the suite's runs the cells hold, when not all."""
        notes = []
        for d, runs in self.by_dim.items():
            n = len(next(iter(runs.values())))
            whole = self.functions * len(self.instances)
            if n < whole:
                notes.append(f"D = {d}: {n} of {whole} (function, instance) pairs so far")
        return (f"Partial ({self.suite}): " + "; ".join(notes) + ".\n") if notes else ""

    def fractions(self, share: float) -> str:
        rows = []
        for d, runs in self.by_dim.items():
            cells = bold_best({m: measures.fraction(runs[m], share) if m in runs else float("nan")
                               for m in self.methods}, f3)
            rows.append([str(d)] + [cells[m] for m in self.methods])
        return table(["D"] + [NAMES.get(m, m) for m in self.methods], rows)

    def both_fractions(self) -> str:
        rows = []
        for d, runs in self.by_dim.items():
            at_budget = bold_best({m: measures.fraction(runs[m]) if m in runs else float("nan")
                                   for m in self.methods}, f3)
            at_tenth = bold_best({m: measures.fraction(runs[m], 0.1) if m in runs else float("nan")
                                  for m in self.methods}, f3)
            rows.append([str(d)] + [f"{at_budget[m]} / {at_tenth[m]}" for m in self.methods])
        return table(["D"] + [NAMES.get(m, m) for m in self.methods], rows)

    def groups(self, dimension: int) -> str:
        runs = self.by_dim[dimension]
        rows = []
        for group, functions in measures.GROUPS.items():
            if not any(r["function"] in functions for r in runs[self.methods[0]]):
                continue
            cells = bold_best({m: measures.fraction([r for r in runs[m] if r["function"] in functions])
                               if m in runs else float("nan") for m in self.methods}, f2)
            rows.append([group] + [cells[m] for m in self.methods])
        return table(["group"] + [NAMES.get(m, m) for m in self.methods], rows)

    def best_medians(self) -> str:
        rows = []
        for d, runs in self.by_dim.items():
            counts = measures.best_counts({m: measures.medians(rs) for m, rs in runs.items()})
            functions = len({r["function"] for rs in runs.values() for r in rs})
            cells = bold_best({m: float(counts.get(m, float("nan"))) for m in self.methods}, lambda v: f"{v:.0f}")
            rows.append([str(d), str(functions)] + [cells[m] for m in self.methods])
        return table(["D", "functions"] + [NAMES.get(m, m) for m in self.methods], rows)

    def ranks(self) -> str:
        rows = []
        for d, runs in self.by_dim.items():
            mean = measures.mean_ranks({m: measures.medians(rs) for m, rs in runs.items()})
            cells = bold_best({m: mean.get(m, float("nan")) for m in self.methods}, f2, lowest=True)
            rows.append([str(d)] + [cells[m] for m in self.methods])
        return table(["D"] + [NAMES.get(m, m) for m in self.methods], rows)


def own_times(records: list[Record]) -> str:
    """Median own time per run (wall time less the time in f), and the wall time of all runs."""
    cells: dict[tuple[str, int, int], dict[str, list[Record]]] = {}
    for r in records:
        cells.setdefault((r["suite"], r["multiplier"], r["dimension"]), {}).setdefault(r["method"], []).append(r)
    methods = [m for m in ORDER if any(m in c for c in cells.values())]
    rows = []
    for (suite, multiplier, d), runs in sorted(cells.items(), key=lambda item: (-item[0][1], item[0])):
        row = [suite, f"{multiplier} × D", str(d)]
        for m in methods:
            rs = runs.get(m, [])
            own = [r["seconds"] - r["f_seconds"] for r in rs]
            row.append(f"{statistics.median(own):.2f} s ({len(rs)})" if rs else "-")
        rows.append(row)
    total = ["all", "", "total wall time"] + [
        f"{sum(r['seconds'] for r in records if r['method'] == m) / 3600:.2f} h" for m in methods]
    return table(["suite", "budget", "D"] + [NAMES[m] for m in methods], rows + [total])


def stops(records: list[Record]) -> str:
    lines = []
    for m in ORDER:
        rs = [r for r in records if r["method"] == m]
        if not rs:
            continue
        refused = sum(r["refused"] > 0 for r in rs)
        short = sum(r["evaluations"] < r["budget"] for r in rs)
        errors = [r for r in rs if r["error"]]
        text = (f"- {NAMES[m]}: {len(rs)} runs; stopped by the counter in {refused}; ended on its own before the "
                f"budget in {short}")
        if short:
            spent = sorted(r["evaluations"] / r["budget"] for r in rs if r["evaluations"] < r["budget"])
            text += f" (having spent {spent[0]:.0%} to {spent[-1]:.0%} of it, median {statistics.median(spent):.0%})"
        if errors:
            text += f"; {len(errors)} ended on an error (first: {errors[0]['error'][:120]})"
        lines.append(text + ".")
    return "\n".join(lines) + "\n"


def figure_sources(records: list[Record]) -> str:
    """Which builds of optimize the figures show (``figures`` records them), against the tables' builds."""
    path = FIGURES / "sources.json"
    shown = json.loads(path.read_text()) if path.exists() else None
    tables = sorted({r["code"] for r in records if r["method"] == "optimize"})
    if shown is None:
        return ("Which build of optimize the figures show was not recorded when they were made: they may "
                f"predate the tables, which show {', '.join(tables)}.\n")
    drawn = sorted({code for codes in shown.values() for code in codes})
    if drawn == tables:
        return f"The figures show the same build of optimize as the tables ({', '.join(drawn)}).\n"
    return (f"The figures show optimize of {', '.join(drawn)}, the tables {', '.join(tables)}: remade with "
            "`harness.py figures`, which needs every method's COCO data.\n")


def versions(records: list[Record]) -> str:
    found: dict[str, set[str]] = {}
    for r in records:
        found.setdefault(r["method"], set()).add(r["code"])
    return "; ".join(f"{NAMES[m]}: {', '.join(sorted(found[m]))}" for m in ORDER if m in found)


def machine() -> str:
    cpu = "unknown processor"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"{cpu}, {os.cpu_count()} cores, {platform.system()} {platform.release()}, CPython {platform.python_version()}"


def figure_links(suite: str, multiplier: int, dims: Iterable[int]) -> str:
    names = list(measures.GROUPS) + ["all functions"]
    rows = []
    for d in dims:
        cells = []
        for group, short in zip(names, COCOPP_GROUPS):
            path = FIGURES / f"{suite}-{multiplier}x-d{d:02d}-{short}.png"
            cells.append(f"[{group.split(' f')[0]}](benchmarks/{path.name})" if path.exists() else "-")
        if any(c != "-" for c in cells):
            rows.append([str(d)] + cells)
    return table(["D"] + names, rows) if rows else "(not made yet: `python bench/coco/harness.py figures`)\n"


def write(store: Store) -> str:
    records = list(store.records().values())
    parts = [HEAD.format(date=datetime.date.today().isoformat(), machine=machine(), versions=versions(records))]

    big = Cells(records, "bbob", 2000, (5, 10, 20), TUNING, ["optimize", "cma", "de", "pyswarms", "kavell"])
    if big.by_dim:
        parts.append("\n## bbob, 2000 × D evaluations, instances 1–5\n\n" + big.coverage())
        parts.append("\nFraction of (function, instance, target) pairs reached within the budget:\n\n")
        parts.append(big.fractions(1.0))
        parts.append("\nWithin a tenth of the budget:\n\n" + big.fractions(0.1))
        for d in big.by_dim:
            parts.append(f"\nBy function group at D = {d}, within the budget:\n\n" + big.groups(d))
        parts.append("\nBest median per function (median over the instances of the final f − f_opt; "
                     "values at or below 1e-8 tie; ties count for each):\n\n" + big.best_medians())
    mixed = Cells(records, "bbob-mixint", 2000, (5, 10, 20), TUNING, ["optimize", "cma", "de", "pyswarms", "kavell"])
    if mixed.by_dim:
        parts.append("\n## bbob-mixint, 2000 × D evaluations, instances 1–5\n\n" + mixed.coverage())
        parts.append("\nMean rank (per function, the methods ranked by their median final f − f_opt, "
                     "ties sharing the mean rank; then the mean over the functions; 1 is best):\n\n")
        parts.append(mixed.ranks())
        parts.append("\nFraction of targets reached within the budget / within a tenth of it:\n\n")
        parts.append(mixed.both_fractions())
    small = Cells(records, "bbob", 100, (5, 10), SMALL, ["optimize", "cma", "optuna", "de"])
    small_mixed = Cells(records, "bbob-mixint", 100, (5, 10), SMALL, ["optimize", "cma", "optuna", "de"])
    if small.by_dim or small_mixed.by_dim:
        parts.append("\n## Small budgets: 100 × D evaluations, instances 1–3\n\n"
                     + small.coverage() + small_mixed.coverage())
        if small.by_dim:
            parts.append("\nbbob, fraction of targets reached within the budget / within a tenth of it:\n\n")
            parts.append(small.both_fractions())
        if small_mixed.by_dim:
            parts.append("\nbbob-mixint, mean rank:\n\n" + small_mixed.ranks())
    for suite in ("bbob", "bbob-mixint"):
        held = Cells(records, suite, 2000, (5, 10, 20), HELD_OUT, ["optimize", "cma"])
        if held.by_dim:
            parts.append(f"\n## Held-out instances 11–15, {suite}, 2000 × D evaluations\n\n" + held.coverage())
            parts.append("\nFraction of targets reached within the budget / within a tenth of it:\n\n")
            parts.append(held.both_fractions())
            parts.append("\nBest median per function:\n\n" + held.best_medians())
            if suite == "bbob-mixint":
                parts.append("\nMean rank of the two:\n\n" + held.ranks())
    parts.append("\n## Figures: ECDFs of runtime (cocopp)\n\n" + FIGURES_TEXT + "\n" + figure_sources(records))
    for suite, multiplier, dims in (("bbob", 2000, (5, 10, 20)), ("bbob-mixint", 2000, (5, 10, 20)),
                                    ("bbob", 100, (5, 10)), ("bbob-mixint", 100, (5, 10))):
        parts.append(f"\n{suite}, {multiplier} × D:\n\n" + figure_links(suite, multiplier, dims))
    parts.append("\n## Own time per run\n\nMedian over the runs of the wall time less the time spent in f "
                 "(in parentheses: the number of runs), and the total wall time of all runs, f included:\n\n")
    parts.append(own_times(records))
    parts.append("\n## How the runs ended\n\n" + stops(records))
    cost = store.root / "cost.txt"
    if cost.exists():
        parts.append("\n## Own cost per evaluation of optimize\n\n" + COST_TEXT + "\n```text\n"
                     + cost.read_text().replace(str(ROOT) + "/", "") + "```\n")
    text = "".join(parts)
    PAGE.write_text(text)
    print(f"wrote {PAGE}", file=sys.stderr)
    return text


HEAD = """# Benchmarks: COCO's bbob and bbob-mixint

`kavell_tools.optimize` against the peers an expert would pick, on the standard
suites of the field, measured by `bench/coco/harness.py` (see
[bench/coco/README.md](../bench/coco/README.md) for running it) and written by its
`report` command from the run records in `bench/coco/results/runs/`. Generated
{date}.

## How it was measured

- Suites: COCO's `bbob` (24 noiseless functions) and `bbob-mixint` (the same
  functions with the first 80% of the coordinates integer, in equal groups of
  2, 4, 8 and 16 values), through
  `coco-experiment` (cocoex), with COCO's observer on, so each run also leaves
  ordinary COCO data for `cocopp`. Dimensions 5, 10 and 20.
- Budgets: 2000 × D evaluations on instances 1–5 (the instances tuned on), and
  100 × D on instances 1–3 (the regime of expensive objectives, with Optuna
  added). CMA-ES and optimize also ran instances 11–15 at 2000 × D, held out.
- Every method calls the problem through the same counter: only the first
  `budget` calls are made; the next raises from the objective and ends the
  method (counted below as "stopped by the counter"). A run records, within
  its budget, the evaluation count at which its best f − f_opt first fell below
  each level 10^(k/20), so that every target below is exact at any fraction of
  the budget. f_opt is the one COCO's logger uses (the header of its data
  file; cocoex has no accessor for it).
- Targets: COCO's 51, f − f_opt = 10^k for k = 2, 1.8, …, −8. "Fraction of
  targets" counts the (function, instance, target) triples reached. Only the
  (function, instance) pairs every method of a table ran are counted. Bold: the
  best of the row.
- The methods, each as a new user would set it up:
  - **optimize**: `kavell_tools.optimize(f, budget, **bounds)` with the box of
    the problem; on bbob-mixint the integer coordinates as `i64`, the rest
    `f64`; everything else default (the L-BFGS-B polish is on, scipy being
    installed).
  - **CMA-ES**: `cma.fmin2(f, x0, 0.25, options, restarts=9, bipop=True)`
    (BIPOP restarts, the number of restarts cma recommends): `x0` a callable
    drawing a uniform point of the box, so that each restart starts elsewhere
    (cma's advice for restarts); a step size of a quarter of the box in every
    coordinate (cma's advice for `sigma0`, given as `sigma0 = 0.25` with
    `CMA_stds` the widths, since bbob-mixint's ranges differ); `bounds` the
    box, `maxfevals` the budget, and on bbob-mixint `integer_variables` the
    integer coordinates. Other options default, output off.
  - **scipy DE**: `scipy.optimize.differential_evolution(f, bounds)` with all
    its defaults (population 15 × D, `maxiter=1000`, `tol=0.01`, the
    L-BFGS-B polish at the end), `integrality` on bbob-mixint. Its default
    `maxiter` goes past every budget here, so a run ends at the counter unless
    its tolerance stops it first.
  - **pyswarms**: `GlobalBestPSO` with 100 particles and the constriction
    coefficients w = 0.7298, c1 = c2 = 1.49618, for budget / 100 iterations,
    the swarm's points evaluated one by one.
  - **one kavell run**: `kavell_tools.RECOMMENDED.for_budget(budget).build().min(f, **bounds)`:
    200 particles, as many iterations as the budget allows. Integers as `i64`
    over [min, max + 1) (the module draws below the upper bound), clamped to
    max at the call.
  - **Optuna** (100 × D only): `optuna.create_study()` (its default sampler)
    with `n_trials` the budget, `suggest_int` for the integers and
    `suggest_float` for the reals.
- Machine: {machine}; shared with other jobs, the runs niced, two run
  commands side by side with one run each at a time, so the times below are
  indications.
- Code: {versions}. `python-HASH` is git's hash of the toolkit's `python/`
  tree (`git rev-parse HEAD:python`), the same for every commit that leaves it
  alone.
"""

COST_TEXT = """`bench/coco/cost.py`: a whole `optimize` run (D = 20, 40,000 evaluations of
the sphere in pure Python over `f64` in [-5, 5]) less the same number of
direct calls `f(f64=[...])`, per evaluation: in wall time (interleaved runs;
medians, and the least times, which the machine's other load disturbed least)
and in instructions counted by callgrind, which that load does not disturb.
"""

FIGURES_TEXT = """Made by `cocopp` from the COCO data of the runs (`python bench/coco/harness.py
figures`): the fraction of (function, target) pairs reached against the
evaluations spent per dimension, per function group; the budget here is 2000 × D
(or 100 × D), so the curves end there. The reference line "best 2009" is
cocopp's own (bbob only).
"""


# Figures -----------------------------------------------------------------------

FIGURE_SETS = (("bbob", 2000, TUNING, (5, 10, 20)), ("bbob-mixint", 2000, TUNING, (5, 10, 20)),
               ("bbob", 100, SMALL, (5, 10)), ("bbob-mixint", 100, SMALL, (5, 10)))


def figures(store: Store) -> None:
    """ECDF figures per dimension and function group, from the COCO data of the chosen runs."""
    work = store.root / "cocopp"
    FIGURES.mkdir(parents=True, exist_ok=True)
    sources: dict[str, list[str]] = {}
    records = store.records()
    for suite, multiplier, instances, dims in FIGURE_SETS:
        source = store.data / suite / f"{multiplier}x"
        if not source.is_dir():
            continue
        inputs = work / "input" / f"{suite}-{multiplier}x"
        shutil.rmtree(inputs, ignore_errors=True)
        methods, drawn = [], []
        for method in ORDER:
            runs = [p for p in sorted((source / method).glob("f*-d*-i*"))
                    if int(p.name.split("-i")[1]) in instances and int(p.name.split("-d")[1][:2]) in dims]
            if not runs:
                continue
            if method == "optimize":
                drawn = sorted({
                    records[(method, suite, multiplier, int(run.name.split("-d")[1][:2]), int(run.name[1:3]),
                             int(run.name.split("-i")[1]))]["code"] for run in runs})
            for run in runs:
                # One folder per run: cocopp reads them all and merges the instances.
                shutil.copytree(run, inputs / NAMES[method].replace(" ", "_") / run.name, copy_function=os.link)
            methods.append(str(inputs / NAMES[method].replace(" ", "_")))
        if not methods:
            continue
        out = work / "out" / f"{suite}-{multiplier}x"
        shutil.rmtree(out, ignore_errors=True)
        script = ("import cocopp, sys\n"
                  "s = cocopp.genericsettings\n"
                  "s.figure_file_formats = ['png']\n"
                  "s.isTab = s.isScatter = s.isFig = s.isLogLoss = s.isRldOnSingleFcts = s.isConv = False\n"
                  "cocopp.main(['--no-interactive', '-o', sys.argv[1]] + sys.argv[2:])\n")
        print(f"cocopp on {suite}, {multiplier} x D: {', '.join(pathlib.Path(m).name for m in methods)}",
              file=sys.stderr, flush=True)
        with open(work / f"cocopp-{suite}-{multiplier}x.log", "w") as log:
            subprocess.run([sys.executable, "-c", script, str(out), *methods], cwd=work, stdout=log,
                           stderr=subprocess.STDOUT, check=True)
        copied = False
        for d in dims:
            for group in COCOPP_GROUPS:
                found = list(out.glob(f"*/pprldmany_{d:02d}D_{group}.png"))
                if found:
                    shutil.copyfile(found[0], FIGURES / f"{suite}-{multiplier}x-d{d:02d}-{group}.png")
                    copied = True
        # Only figures made here show this build: where cocopp drew none, the ones there are older.
        if copied and drawn:
            sources[f"{suite}-{multiplier}x"] = drawn
    if sources:
        (FIGURES / "sources.json").write_text(json.dumps(sources, indent=1, sort_keys=True) + "\n")


# Compare -------------------------------------------------------------------------

def compare(peers: Store, mine: Store, keys: list[Key], code: str) -> str:
    """The main measures of a checkout's optimize against the cached peers on the same runs."""
    new = [dict(r, method="new") for r in mine.records().values()]
    cached = list(peers.records().values())
    wanted = {(k[1], k[2], k[3]) for k in keys}
    instances = sorted({k[5] for k in keys})
    functions = {k[4] for k in keys}
    lines = [f"optimize of {code} ('new') against the cache; instances {instances}, {len(functions)} functions\n"]
    for suite, multiplier, d in sorted(wanted):
        peers_here = [r for r in cached if r["function"] in functions]
        cells = Cells(new + peers_here, suite, multiplier, (d,), instances,
                      ["new"] + [m for m in ORDER if m != "optuna" or multiplier == 100], len(functions))
        if not cells.by_dim:
            lines.append(f"{suite} {multiplier}x D={d}: no runs in common\n")
            continue
        lines.append(f"\n{suite}, {multiplier} × D, D = {d}\n" + cells.coverage())
        lines.append("fraction of targets within the budget / a tenth of it:\n" + cells.both_fractions())
        if suite == "bbob":
            lines.append("by group, within the budget:\n" + cells.groups(d) + "best medians:\n" + cells.best_medians())
        else:
            lines.append("mean rank:\n" + cells.ranks())
    return "".join(lines)
