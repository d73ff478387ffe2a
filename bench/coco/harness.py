"""optimize and its peers on COCO's bbob and bbob-mixint suites.

    python bench/coco/harness.py run --methods cma de --suites bbob --dims 5 10 20 --instances 1-5 --budget 2000
    python bench/coco/harness.py report            # docs/benchmarks.md (and its figures) from the cache
    python bench/coco/harness.py figures           # the ECDF figures alone, with cocopp
    python bench/coco/harness.py compare --checkout ../mine --dims 10   # optimize of a checkout against the cached peers

``--budget`` is the multiplier of the dimension: 2000 means 2000 * D
evaluations. Every method calls the problem through the same counter
(:class:`Counted`): only the first ``budget`` calls are made, the next one
raises and ends the method. Each run is one record, appended to
results/runs/METHOD/SUITE-MULTx-dD.jsonl as soon as the run ends; a re-run
skips what is there. With the observer on (the default for ``run``) the run
also leaves ordinary COCO data under results/data/, for cocopp.

kavell_tools and kavell are imported from where Python finds them: to
measure the toolkit of another checkout without reinstalling, pass
``--checkout PATH`` (its python/ goes first on the path of every run), or set
PYTHONPATH=PATH/python. The records of kavell's methods hold the commit.
"""
from __future__ import annotations

import argparse
import concurrent.futures
import contextlib
import fcntl
import hashlib
import json
import multiprocessing
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Iterable, Iterator
from typing import Any

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent.parent
sys.path.insert(0, str(HERE))

import measures  # noqa: E402

RESULTS = HERE / "results"


# The counter -----------------------------------------------------------------

class BudgetSpent(Exception):
    """Raised by the counter for every call past the budget."""


class Runaway(BaseException):
    """A method that keeps calling after many refusals is stopped for good."""


class Counted:
    """The objective every method calls: counts, refuses calls past the budget, keeps the trace.

    ``x`` holds the integer coordinates first (bbob-mixint's order), then the
    reals. The time inside the problem (with the conversion to an array) is
    summed, so that a method's own time is its wall time less this.
    """

    def __init__(self, problem: Any, budget: int, f_opt: float) -> None:
        import numpy as np

        self.asarray = np.asarray
        self.problem = problem
        self.budget = budget
        self.f_opt = f_opt
        self.calls = 0
        self.refused = 0
        self.trace = measures.Trace()
        self.f_seconds = 0.0

    def __call__(self, x: Any) -> float:
        if self.calls >= self.budget:
            self.refused += 1
            if self.refused > 1000:
                raise Runaway
            raise BudgetSpent
        self.calls += 1
        started = time.perf_counter()
        value = float(self.problem(self.asarray(x, dtype=float)))
        self.f_seconds += time.perf_counter() - started
        self.trace.add(self.calls, value - self.f_opt)
        return value


# The methods -------------------------------------------------------------------

def bounds_of(problem: Any) -> tuple[list[float], list[float], int]:
    return list(map(float, problem.lower_bounds)), list(map(float, problem.upper_bounds)), int(
        problem.number_of_integer_variables)


def kavell_bounds(low: list[float], high: list[float], integers: int, past_end: int = 0) -> dict[str, Any]:
    bounds: dict[str, Any] = {}
    if integers:
        bounds["i64_min"] = [int(v) for v in low[:integers]]
        bounds["i64_max"] = [int(v) + past_end for v in high[:integers]]
    if integers < len(low):
        bounds["f64_min"], bounds["f64_max"] = low[integers:], high[integers:]
    return bounds


def run_optimize(counted: Counted, problem: Any, budget: int) -> None:
    import kavell_tools

    low, high, integers = bounds_of(problem)

    def f(i64: list[int] = [], f64: list[float] = []) -> float:  # noqa: B006 - never mutated
        return counted(i64 + f64)

    kavell_tools.optimize(f, budget, **kavell_bounds(low, high, integers))


def run_kavell(counted: Counted, problem: Any, budget: int) -> None:
    import kavell_tools

    low, high, integers = bounds_of(problem)
    top = [int(v) for v in high[:integers]]

    def f(i64: list[int] = [], f64: list[float] = []) -> float:  # noqa: B006 - never mutated
        # The module draws integers below their upper bound, so the box goes one
        # past it and the call clamps back.
        return counted([min(n, t) for n, t in zip(i64, top)] + f64)

    kavell_tools.RECOMMENDED.for_budget(budget).build().min(f, **kavell_bounds(low, high, integers, past_end=1))


def run_cma(counted: Counted, problem: Any, budget: int) -> None:
    import cma
    import numpy as np

    low, high, integers = bounds_of(problem)
    lows, widths = np.array(low), np.array(high) - np.array(low)
    options = {
        "bounds": [low, high],
        "maxfevals": budget,
        # sigma0 is a quarter of the box in every coordinate (cma's advice),
        # through per-coordinate scales since bbob-mixint's ranges differ.
        "CMA_stds": list(widths),
        "verbose": -9,
        "verb_log": 0,
        "verb_disp": 0,
    }
    if integers:
        options["integer_variables"] = list(range(integers))
    # x0 a callable: each restart starts at a new uniform point of the box.
    cma.fmin2(counted, lambda: lows + widths * np.random.rand(len(low)), 0.25, options,
              restarts=9, bipop=True)


def run_de(counted: Counted, problem: Any, budget: int) -> None:
    import numpy as np
    from scipy.optimize import differential_evolution

    low, high, integers = bounds_of(problem)
    integrality = np.array([True] * integers + [False] * (len(low) - integers)) if integers else None
    differential_evolution(counted, list(zip(low, high)), integrality=integrality)


def run_pyswarms(counted: Counted, problem: Any, budget: int) -> None:
    import logging

    import numpy as np
    import pyswarms

    logging.getLogger("pyswarms").setLevel(logging.WARNING)
    low, high, _ = bounds_of(problem)
    particles = 100
    optimizer = pyswarms.single.GlobalBestPSO(
        n_particles=particles, dimensions=len(low), options={"c1": 1.49618, "c2": 1.49618, "w": 0.7298},
        bounds=(np.array(low), np.array(high)))
    optimizer.optimize(lambda swarm: np.array([counted(row) for row in swarm]), iters=budget // particles,
                       verbose=False)


def run_optuna(counted: Counted, problem: Any, budget: int) -> None:
    import optuna

    optuna.logging.set_verbosity(optuna.logging.WARNING)
    low, high, integers = bounds_of(problem)

    def objective(trial: Any) -> float:
        x = [trial.suggest_int(f"x{k}", int(low[k]), int(high[k])) for k in range(integers)]
        x += [trial.suggest_float(f"x{k}", low[k], high[k]) for k in range(integers, len(low))]
        return counted(x)

    optuna.create_study().optimize(objective, n_trials=budget)


METHODS: dict[str, Callable[[Counted, Any, int], None]] = {
    "optimize": run_optimize,
    "cma": run_cma,
    "de": run_de,
    "pyswarms": run_pyswarms,
    "kavell": run_kavell,
    "optuna": run_optuna,
}
OURS = ("optimize", "kavell")
IMPORTS = {"optimize": ["kavell_tools", "scipy.optimize"], "kavell": ["kavell_tools"], "cma": ["cma"],
           "de": ["scipy.optimize"], "pyswarms": ["pyswarms"], "optuna": ["optuna"]}
PACKAGES = {"cma": "cma", "de": "scipy", "pyswarms": "pyswarms", "optuna": "optuna", "optimize": "kavell",
            "kavell": "kavell"}


# One run ---------------------------------------------------------------------

def problem_of(suite: str, dimension: int, function: int, instance: int) -> Any:
    import cocoex

    chosen = cocoex.Suite(suite, f"instances: {instance}",
                          f"dimensions: {dimension} function_indices: {function}")
    problem = chosen.get_problem(0)
    assert (problem.id_function, problem.id_instance, problem.dimension) == (function, instance, dimension), problem.id
    return chosen, problem


def f_opt(suite: str, dimension: int, function: int, instance: int) -> float:
    """f_opt as COCO's own logger takes it: the header of the data file it writes (cocoex has no accessor)."""
    import cocoex

    with tempfile.TemporaryDirectory() as scratch, working_directory(scratch):
        chosen, problem = problem_of(suite, dimension, function, instance)
        observer = cocoex.Observer("bbob", "result_folder: fopt")
        problem.observe_with(observer)
        problem(problem.initial_solution)
        problem.free()
        del observer
        (data,) = pathlib.Path(scratch).glob("exdata/fopt/data_f*/*.dat")
        header = data.read_text().splitlines()[0]
        return float(header.split("Fopt (", 1)[1].split(")", 1)[0])


@contextlib.contextmanager
def working_directory(path: str | os.PathLike[str]) -> Iterator[None]:
    # Only in the bench's worker processes: cocoex writes under ./exdata/ and
    # some peers write their logs into the working directory.
    before = os.getcwd()
    os.chdir(path)
    try:
        yield
    finally:
        os.chdir(before)


Key = tuple[str, str, int, int, int, int]  # method, suite, multiplier, dimension, function, instance


def key_of(record: dict[str, Any]) -> Key:
    return (record["method"], record["suite"], record["multiplier"], record["dimension"], record["function"],
            record["instance"])


def run_name(key: Key) -> str:
    method, suite, multiplier, dimension, function, instance = key
    return f"f{function:02d}-d{dimension:02d}-i{instance:02d}"


def execute(key: Key, stage: str | None, code: str) -> dict[str, Any]:
    """One run, in a worker process; with ``stage``, COCO's observer writes under it."""
    import cocoex

    method, suite, multiplier, dimension, function, instance = key
    budget = multiplier * dimension
    optimum = f_opt(suite, dimension, function, instance)
    with contextlib.ExitStack() as stack:
        if stage is not None:
            stack.enter_context(working_directory(stage))
        chosen, problem = problem_of(suite, dimension, function, instance)
        observer = None
        if stage is not None:
            observer = cocoex.Observer("bbob", f"result_folder: run algorithm_name: {method}")
            problem.observe_with(observer)
        counted = Counted(problem, budget, optimum)
        error = None
        started = time.perf_counter()
        try:
            METHODS[method](counted, problem, budget)
        except BudgetSpent:
            pass
        except Runaway:
            error = "kept calling after 1000 refused calls"
        except Exception as failure:  # noqa: BLE001 - kept in the record and reported
            error = f"{type(failure).__name__}: {failure}"
        seconds = time.perf_counter() - started
        problem.free()
        del observer
    if counted.calls == 0 and error:
        raise RuntimeError(f"{key}: {error}")
    return {
        "method": method, "suite": suite, "multiplier": multiplier, "dimension": dimension,
        "function": function, "instance": instance, "budget": budget, "evaluations": counted.calls,
        "refused": counted.refused, "best": counted.trace.best, "trace": counted.trace.points, "f_opt": optimum,
        "seconds": round(seconds, 4), "f_seconds": round(counted.f_seconds, 4), "error": error,
        "code": code if method in OURS else package_version(PACKAGES[method]),
        "observed": stage is not None,
    }


def package_version(name: str) -> str:
    from importlib import metadata

    try:
        return f"{name} {metadata.version(name)}"
    except metadata.PackageNotFoundError:
        return name


# The cache ----------------------------------------------------------------------

class Store:
    """Run records (JSON lines, one file per method, suite, budget and dimension) and COCO data.

    Only the parent process writes. A run's COCO data is written under stage/
    by the worker and moved into data/ before its record is appended, so that
    data without a record is a run cut short: :meth:`tidy` removes it, and the
    run is made again.
    """

    def __init__(self, root: pathlib.Path) -> None:
        self.root = root
        self.runs = root / "runs"
        self.data = root / "data"
        self.stage = root / "stage"

    def file(self, key: Key) -> pathlib.Path:
        method, suite, multiplier, dimension, _, _ = key
        return self.runs / method / f"{suite}-{multiplier}x-d{dimension:02d}.jsonl"

    def data_folder(self, key: Key) -> pathlib.Path:
        method, suite, multiplier, _, _, _ = key
        return self.data / suite / f"{multiplier}x" / method / run_name(key)

    def records(self) -> dict[Key, dict[str, Any]]:
        found: dict[Key, dict[str, Any]] = {}
        for path in sorted(self.runs.glob("*/*.jsonl")):
            for line in path.read_text().splitlines():
                try:
                    record = json.loads(line)
                except json.JSONDecodeError:
                    continue  # a line cut short by a kill; tidy() drops it
                found.setdefault(key_of(record), record)
        return found

    def add(self, record: dict[str, Any], staged: pathlib.Path | None) -> None:
        key = key_of(record)
        if staged is not None:
            target = self.data_folder(key)
            shutil.rmtree(target, ignore_errors=True)
            target.parent.mkdir(parents=True, exist_ok=True)
            os.replace(staged, target)
            shutil.rmtree(staged.parent.parent)  # the stage: what remains is the peers' own logs
        path = self.file(key)
        path.parent.mkdir(parents=True, exist_ok=True)
        with open(path, "a") as out:
            out.write(json.dumps(record, separators=(",", ":")) + "\n")
            out.flush()
            os.fsync(out.fileno())

    def tidy(self, method: str) -> None:
        """Drop the method's partial lines, staged runs and data whose record is missing."""
        for path in self.runs.glob(f"{method}/*.jsonl"):
            text = path.read_text()
            lines = text.splitlines()
            good = [line for line in lines if _parses(line)]
            if len(good) != len(lines) or (text and not text.endswith("\n")):
                path.write_text("".join(line + "\n" for line in good))
        shutil.rmtree(self.stage / method, ignore_errors=True)
        keys = set(self.records())
        for folder in self.data.glob(f"*/*x/{method}/*"):
            suite, multiplier, method = folder.parts[-4], int(folder.parts[-3][:-1]), folder.parts[-2]
            function, dimension, instance = (int(part[1:]) for part in folder.name.split("-"))
            if (method, suite, multiplier, dimension, function, instance) not in keys:
                shutil.rmtree(folder)

    @contextlib.contextmanager
    def lock(self, methods: Iterable[str]) -> Iterator[None]:
        """Each method's records are written by one process at a time; other methods may run beside it."""
        with contextlib.ExitStack() as stack:
            for method in sorted(set(methods)):
                (self.runs / method).mkdir(parents=True, exist_ok=True)
                handle = stack.enter_context(open(self.runs / method / ".lock", "w"))
                try:
                    fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
                except BlockingIOError:
                    print(f"waiting for another run of {method} on {self.root} to end", file=sys.stderr, flush=True)
                    fcntl.flock(handle, fcntl.LOCK_EX)
            yield


def _parses(line: str) -> bool:
    try:
        json.loads(line)
    except json.JSONDecodeError:
        return False
    return True


def _work(key: Key, stage: str | None, code: str) -> tuple[dict[str, Any], str | None]:
    import cocoex

    cocoex.log_level("warning")
    # Imported before the clock starts: a first import is no part of a run's time.
    for module in IMPORTS[key[0]]:
        __import__(module)
    if stage is not None:
        os.makedirs(stage, exist_ok=True)
    record = execute(key, stage, code)
    return record, None if stage is None else os.path.join(stage, "exdata", "run")


def measure(store: Store, keys: list[Key], jobs: int, observe: bool, code: str) -> None:
    methods = {key[0] for key in keys}
    with store.lock(methods):
        for method in methods:
            store.tidy(method)
        done = store.records()
        todo = [k for k in keys if k not in done]
        print(f"{len(keys) - len(todo)} of {len(keys)} runs cached, {len(todo)} to go", file=sys.stderr, flush=True)
        if not todo:
            return
        started = time.time()
        context = multiprocessing.get_context("fork")
        with concurrent.futures.ProcessPoolExecutor(jobs, mp_context=context) as pool:
            pending = {}
            queue = iter(todo)

            def submit() -> None:
                for key in queue:
                    stage = str(store.stage / key[0] / "-".join(map(str, key[1:]))) if observe else None
                    pending[pool.submit(_work, key, stage, code)] = key
                    return

            for _ in range(2 * jobs):
                submit()
            finished = 0
            while pending:
                done_now, _ = concurrent.futures.wait(pending, return_when=concurrent.futures.FIRST_COMPLETED)
                for future in done_now:
                    key = pending.pop(future)
                    finished += 1
                    try:
                        record, staged = future.result()
                    except Exception as failure:  # noqa: BLE001 - one failed run does not end the others
                        print(f"FAILED {key}: {failure}", file=sys.stderr, flush=True)
                    else:
                        store.add(record, None if staged is None else pathlib.Path(staged))
                        rate = (time.time() - started) / finished
                        print(f"{'/'.join(map(str, key))}: {record['best']:.3g} in {record['evaluations']} calls, "
                              f"{record['seconds']:.1f} s{' ' + record['error'] if record['error'] else ''} "
                              f"[{finished}/{len(todo)}, ~{rate * (len(todo) - finished) / 60:.0f} min left]",
                              file=sys.stderr, flush=True)
                    submit()


def code_label(checkout: pathlib.Path) -> str:
    """The toolkit's code: git's hash of the checkout's python/ tree (the same for every commit that
    leaves it alone), with a digest of its uncommitted changes when there are any."""
    def git(*args: str) -> str:
        return subprocess.run(["git", "-C", str(checkout), *args], capture_output=True, text=True).stdout

    tree = git("rev-parse", "--short", "HEAD:python").strip()
    if not tree:
        from importlib import metadata

        return f"installed-kavell-{metadata.version('kavell')}"
    diff = git("diff", "HEAD", "--", "python")
    return "python-" + tree + (f"+{hashlib.sha1(diff.encode()).hexdigest()[:8]}" if diff else "")


def use_checkout(checkout: pathlib.Path | None) -> pathlib.Path:
    """Put the checkout's python/ first on the path (the workers are forked, so they inherit it)."""
    if checkout is None:
        import kavell_tools

        return pathlib.Path(kavell_tools.__file__).resolve().parent.parent.parent
    sys.path.insert(0, str(checkout.resolve() / "python"))
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [str(checkout.resolve() / "python"),
                                                               os.environ.get("PYTHONPATH")]))
    return checkout


def numbers(text: str) -> list[int]:
    """'1-5,11' -> [1, 2, 3, 4, 5, 11]."""
    found: list[int] = []
    for part in text.split(","):
        first, _, last = part.partition("-")
        found += range(int(first), int(last or first) + 1)
    return found


def keys_for(methods: Iterable[str], suites: Iterable[str], multiplier: int, dims: Iterable[int],
             functions: list[int], instances: list[int]) -> list[Key]:
    # Dimensions outermost, then instances: a set cut short is whole in its
    # smaller dimensions and first instances.
    return [(m, s, multiplier, d, f, i) for d in dims for i in instances for f in functions for s in suites
            for m in methods]


# The report -------------------------------------------------------------------

SUITES = ("bbob", "bbob-mixint")


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("action", choices=["run", "report", "figures", "compare"])
    parser.add_argument("--methods", nargs="+", default=["optimize", "cma", "de", "pyswarms", "kavell"],
                        choices=list(METHODS))
    parser.add_argument("--suites", nargs="+", default=list(SUITES), choices=SUITES)
    parser.add_argument("--dims", type=int, nargs="+", default=[5, 10, 20])
    parser.add_argument("--functions", type=numbers, default=list(range(1, 25)), help="e.g. 1-24 or 15-19,24")
    parser.add_argument("--instances", type=numbers, default=numbers("1-5"), help="e.g. 1-5 or 11-15")
    parser.add_argument("--budget", type=int, default=2000, help="evaluations per dimension (default 2000)")
    parser.add_argument("--jobs", type=int, default=1)
    parser.add_argument("--no-observe", dest="observe", action="store_false",
                        help="skip COCO's observer (no data for cocopp)")
    parser.add_argument("--checkout", type=pathlib.Path,
                        help="measure the kavell_tools of this checkout (its python/ goes first on the path)")
    parser.add_argument("--results", type=pathlib.Path, default=RESULTS)
    args = parser.parse_args(argv)

    if args.action == "report":
        import report

        report.write(Store(args.results))
        return
    if args.action == "figures":
        import report

        report.figures(Store(args.results))
        return
    checkout = use_checkout(args.checkout)
    code = code_label(checkout)
    if args.action == "compare":
        import report

        store = Store(args.results / "compare" / code)
        keys = keys_for(["optimize"], args.suites, args.budget, args.dims, args.functions, args.instances)
        measure(store, keys, args.jobs, False, code)
        print(report.compare(Store(args.results), store, keys, code))
        return
    keys = keys_for(args.methods, args.suites, args.budget, args.dims, args.functions, args.instances)
    import kavell_tools

    print(f"kavell_tools from {kavell_tools.__file__} ({code})", file=sys.stderr)
    measure(Store(args.results), keys, args.jobs, args.observe, code)


if __name__ == "__main__":
    main()
