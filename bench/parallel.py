"""optimize on several workers: wall time against the sequential run, both designs, the peers, quality on BBOB.

    python bench/parallel.py speed              # 20 ms waits (workers=8, Dask) and 2 ms of work (2 processes)
    python bench/parallel.py designs            # evaluations against whole runs, by the cost of f (AUTO_RATIO)
    python bench/parallel.py peers              # scipy DE, nevergrad, pyswarms on the 20 ms objective (their venv)
    python bench/parallel.py quality            # BBOB D=10 fraction of targets, 8 workers against 1 (coco's venv)
    python bench/parallel.py report             # bench/results/parallel.md from the saved numbers

Each command adds its numbers to bench/results/parallel.json, with the
machine's load average before and after each measurement: the machine has
2 cores, shared with other work, so the load is part of every number.
Measurements of one comparison are interleaved (sequential, parallel,
sequential, ...) and the median is kept.
"""
from __future__ import annotations

import argparse
import concurrent.futures
import json
import math
import os
import pathlib
import statistics
import sys
import time
from typing import Any, Callable

HERE = pathlib.Path(__file__).resolve().parent
RESULTS = HERE / "results" / "parallel.json"
sys.path.insert(0, str(HERE.parent / "python"))

D = 10
BUDGET = 2_000
BOUNDS = {"f64_min": [-5.12] * D, "f64_max": [5.12] * D}
WAIT = 0.020


def rastrigin(x: list[float]) -> float:
    return 10.0 * len(x) + sum(v * v - 10.0 * math.cos(2.0 * math.pi * v) for v in x)


def waits(f64: list[float]) -> float:
    """A stand-in for a simulator or a service: 20 ms of waiting, then Rastrigin."""
    time.sleep(WAIT)
    return rastrigin(f64)


WORK = 5_000  # loop turns of about 2 ms on an idle core of the bench machine


def works(f64: list[float]) -> float:
    """About 2 ms of pure-Python work per call (holds the interpreter lock throughout), then Rastrigin."""
    total = 0.0
    for k in range(WORK):
        total += math.sin(k * f64[k % D])
    return rastrigin(f64) + 0.0 * total


def _cost(seconds: float, f64: list[float]) -> float:
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        pass
    return rastrigin(f64)


def spins(f64: list[float], seconds: float = 0.0) -> float:
    return _cost(seconds, f64)


def load() -> float:
    return os.getloadavg()[0]


def timed(call: Callable[[], Any]) -> dict[str, Any]:
    before = load()
    started = time.perf_counter()
    result = call()
    wall = time.perf_counter() - started
    value = result.value if hasattr(result, "value") else result
    return {"wall": wall, "value": float(value), "load_before": before, "load_after": load()}


def save(section: str, key: str, entry: Any) -> None:
    data = json.loads(RESULTS.read_text()) if RESULTS.exists() else {}
    data.setdefault(section, {})[key] = entry
    RESULTS.write_text(json.dumps(data, indent=1, sort_keys=True) + "\n")


def summary(runs: list[dict[str, Any]]) -> dict[str, Any]:
    return {"wall": statistics.median(r["wall"] for r in runs), "value": statistics.median(r["value"] for r in runs),
            "load": statistics.median((r["load_before"] + r["load_after"]) / 2 for r in runs), "runs": runs}


# Speed ---------------------------------------------------------------------------------------------

def speed(args: argparse.Namespace) -> None:
    import kavell_tools
    import scipy.optimize  # noqa: F401  (imported once, before the first measurement, by every optimize alike)
    from dask.distributed import Client, LocalCluster

    def sequential(f: Callable[..., float]) -> Callable[[], Any]:
        return lambda: kavell_tools.optimize(f, BUDGET, **BOUNDS)

    def pool(f: Callable[..., float], workers: int, distribute: str = "auto") -> Callable[[], Any]:
        return lambda: kavell_tools.optimize(f, BUDGET, workers=workers, distribute=distribute, **BOUNDS)

    def dask(client: Any, f: Callable[..., float], distribute: str = "auto") -> Callable[[], Any]:
        return lambda: kavell_tools.optimize(f, BUDGET, executor=client, distribute=distribute, **BOUNDS)

    with LocalCluster(n_workers=4, threads_per_worker=1, dashboard_address=":0") as cluster4, \
            Client(cluster4) as client4, \
            LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=":0") as cluster2, \
            Client(cluster2) as client2:
        cases = {
            "waits 20 ms": (sequential(waits), {
                "workers=8": pool(waits, 8),
                "workers=8, evaluations": pool(waits, 8, "evaluations"),
                "workers=8, runs": pool(waits, 8, "runs"),
                "Dask, 4 processes": dask(client4, waits),
                "Dask, 4 processes, evaluations": dask(client4, waits, "evaluations"),
                "Dask, 4 processes, runs": dask(client4, waits, "runs"),
            }),
            "works 2 ms": (sequential(works), {
                "workers=2": pool(works, 2),
                "workers=2, evaluations": pool(works, 2, "evaluations"),
                "workers=2, runs": pool(works, 2, "runs"),
                "Dask, 2 processes": dask(client2, works),
            }),
        }
        for name, (baseline, variants) in cases.items():
            if args.only and args.only not in name:
                continue
            measured: dict[str, list[dict[str, Any]]] = {"sequential": []}
            for repeat in range(args.repeats):
                measured["sequential"].append(timed(baseline))
                print(name, "sequential", measured["sequential"][-1], flush=True)
                for variant, call in variants.items():
                    measured.setdefault(variant, []).append(timed(call))
                    print(name, variant, measured[variant][-1], flush=True)
            entry = {variant: summary(runs) for variant, runs in measured.items()}
            base = entry["sequential"]["wall"]
            for variant in entry:
                entry[variant]["ratio"] = entry[variant]["wall"] / base
            save("speed", name, entry)


# Designs -----------------------------------------------------------------------------------------

def designs(args: argparse.Namespace) -> None:
    """Wall time of each design by the cost of f, on a process pool of 2 and on Dask (2 processes)."""
    import functools

    import kavell_tools
    from dask.distributed import Client, LocalCluster
    from kavell_tools import _parallel

    measured_ratios: dict[str, Any] = {}
    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=":0") as cluster, Client(cluster) as client:
        with concurrent.futures.ProcessPoolExecutor(2) as pool:
            for where, executor in (("process pool", pool), ("Dask", client)):
                for seconds in (0.00001, 0.0001, 0.001, 0.005, 0.02):
                    f = functools.partial(spins, seconds=seconds)
                    budget = max(200, min(4_000, int(4.0 / max(seconds, 0.001))))
                    row: dict[str, Any] = {"budget": budget}
                    for distribute in ("evaluations", "runs"):
                        runs = [timed(lambda: kavell_tools.optimize(f, budget, executor=executor, polish=False,
                                                                     distribute=distribute, **BOUNDS))
                                for _ in range(args.repeats)]
                        row[distribute] = summary(runs)
                    # What "auto" measures: the probe's f time and overhead.
                    choice: list[str] = []
                    original = _parallel._Scheduler._measure

                    def spy(self: Any) -> Any:
                        choice.append(original(self))
                        return choice[-1]

                    _parallel._Scheduler._measure = spy  # type: ignore[method-assign]
                    try:
                        row["auto"] = timed(lambda: kavell_tools.optimize(f, budget, executor=executor, polish=False,
                                                                          **BOUNDS))
                    finally:
                        _parallel._Scheduler._measure = original  # type: ignore[method-assign]
                    row["auto"]["chose"] = choice[0] if choice else None
                    print(where, seconds, {k: (v["wall"] if isinstance(v, dict) else v) for k, v in row.items()},
                          row["auto"]["chose"], flush=True)
                    measured_ratios[f"{where}, f {seconds * 1000:g} ms"] = row
    save("designs", "by cost", measured_ratios)


# Peers --------------------------------------------------------------------------------------------

def peers(args: argparse.Namespace) -> None:
    """scipy's DE (workers=8), nevergrad (num_workers=8 on a process pool), pyswarms (n_processes=8), budget 2,000."""
    import numpy as np

    low, high = np.array(BOUNDS["f64_min"]), np.array(BOUNDS["f64_max"])

    def scipy_de() -> float:
        from scipy.optimize import differential_evolution

        # popsize 10 x D = 100 per generation, no polish: 20 generations (the first counts too) in 2,000 calls.
        result = differential_evolution(array_waits, list(zip(low, high)), popsize=10, maxiter=19, tol=0.0,
                                        polish=False, workers=8, updating="deferred", init="random")
        return float(result.fun)

    def nevergrad_ngopt() -> float:
        import nevergrad as ng

        parametrization = ng.p.Array(shape=(D,)).set_bounds(low, high)
        optimizer = ng.optimizers.NGOpt(parametrization=parametrization, budget=BUDGET, num_workers=8)
        with concurrent.futures.ProcessPoolExecutor(8) as pool:
            recommendation = optimizer.minimize(array_waits, executor=pool, batch_mode=False)
        return float(array_rastrigin(recommendation.value))

    def pyswarms_gbest() -> float:
        import pyswarms

        optimizer = pyswarms.single.GlobalBestPSO(n_particles=40, dimensions=D,
                                                  options={"c1": 0.5, "c2": 0.3, "w": 0.9}, bounds=(low, high))
        cost, _ = optimizer.optimize(swarm_waits, iters=BUDGET // 40, n_processes=8, verbose=False)
        return float(cost)

    for name, call in (("scipy DE, workers=8", scipy_de), ("nevergrad NGOpt, num_workers=8", nevergrad_ngopt),
                       ("pyswarms GlobalBestPSO, n_processes=8", pyswarms_gbest)):
        runs = []
        for _ in range(args.repeats):
            runs.append(timed(call))
            print(name, runs[-1], flush=True)
        save("peers", name, summary(runs))


def array_rastrigin(x: Any) -> float:
    return rastrigin([float(v) for v in x])


def array_waits(x: Any) -> float:
    time.sleep(WAIT)
    return array_rastrigin(x)


def swarm_waits(x: Any) -> Any:
    """pyswarms hands each process one particle's row at a time through its pool (n_processes)."""
    import numpy as np

    return np.array([array_waits(row) for row in x])


# Quality -------------------------------------------------------------------------------------------

def quality(args: argparse.Namespace) -> None:
    """BBOB D=10, 2000 x D evaluations: fraction of COCO's 51 targets reached, workers=8 against sequential.

    The objective is cheap, so the workers are 8 threads: the tasks, their sizes and their order are those
    of 8 workers anywhere. ``--distribute runs`` (what "auto" picks for a cheap objective) merges each task's
    result when it ends; ``evaluations`` (what an expensive objective gets) as each value comes back, and
    costs a thread switch per evaluation here.
    """
    import kavell_tools

    targets = [10.0 ** (k / 5) for k in range(10, -41, -1)]
    first, last = (int(v) for v in args.instances.split("-"))
    budget = 2_000 * D
    key = f"bbob d{D} instances {args.instances}, {args.distribute}"
    saved = json.loads(RESULTS.read_text()).get("quality", {}).get(key, {}) if RESULTS.exists() else {}
    rows: dict[str, dict[str, float]] = dict(saved)
    for function in range(1, 25):
        for instance in range(first, last + 1):
            name = f"f{function}-i{instance}"
            if name in rows:
                continue  # measured before: a killed bench goes on where it was
            f_opt = optimum(function, instance)
            reached: dict[str, float] = {}
            for variant in ("sequential", "workers=8"):
                _, problem = bbob(function, instance)
                low, high = list(map(float, problem.lower_bounds)), list(map(float, problem.upper_bounds))

                def objective(f64: list[float], problem: Any = problem) -> float:
                    return float(problem(f64))

                with concurrent.futures.ThreadPoolExecutor(8) as threads:
                    options = {} if variant == "sequential" else {"executor": threads, "distribute": args.distribute}
                    result = kavell_tools.optimize(objective, budget, f64_min=low, f64_max=high, **options)
                problem.free()
                error = float(result.value) - f_opt
                reached[variant] = sum(error <= t for t in targets) / len(targets)
            rows[name] = reached
            print(name, reached, flush=True)
            save("quality", key, rows)
    for variant in ("sequential", "workers=8"):
        print(variant, statistics.mean(row[variant] for row in rows.values()))


def bbob(function: int, instance: int) -> Any:
    import cocoex

    suite = cocoex.Suite("bbob", f"instances: {instance}", f"dimensions: {D} function_indices: {function}")
    return suite, suite.get_problem(0)


def optimum(function: int, instance: int) -> float:
    """f_opt of a bbob problem: cocoex has no accessor, but its logger writes it in its data file's header."""
    import cocoex
    import tempfile

    before = os.getcwd()
    with tempfile.TemporaryDirectory() as scratch:
        os.chdir(scratch)
        try:
            suite, problem = bbob(function, instance)
            observer = cocoex.Observer("bbob", "result_folder: fopt")
            problem.observe_with(observer)
            problem(problem.initial_solution)
            problem.free()
            del observer, suite
            (data,) = pathlib.Path(scratch).glob("exdata/fopt*/data_f*/*.dat")
            header = data.read_text().splitlines()[0]
        finally:
            os.chdir(before)
    return float(header.split("Fopt (", 1)[1].split(")", 1)[0])


# Report ------------------------------------------------------------------------------------------

def tables() -> dict[str, str]:
    """The markdown tables of the saved numbers: speed, designs, peers, and the quality line."""
    data = json.loads(RESULTS.read_text())
    speed = ["| objective | run | wall time | × sequential | best value | load |", "|---|---|---|---|---|---|"]
    for name, entry in data.get("speed", {}).items():
        for variant, row in sorted(entry.items(), key=lambda item: (item[0] != "sequential", "Dask" in item[0],
                                                                      item[0])):
            speed.append(f"| {name} | {variant} | {row['wall']:.2f} s | {row['ratio']:.3f} | {row['value']:.3g} | "
                         f"{row['load']:.1f} |")
    designs = ["| where | cost of f | budget | evaluations | runs | auto (its choice) | load |",
               "|---|---|---|---|---|---|---|"]
    for name, row in data.get("designs", {}).get("by cost", {}).items():
        where, cost = name.split(", f ")
        designs.append(f"| {where} | {cost} | {row['budget']:,} | {row['evaluations']['wall']:.2f} s | "
                       f"{row['runs']['wall']:.2f} s | {row['auto']['wall']:.2f} s ({row['auto']['chose']}) | "
                       f"{row['runs']['load']:.1f} |")
    ours = data.get("speed", {}).get("waits 20 ms", {}).get("workers=8")
    peers = ["| method | wall time | best value | load |", "|---|---|---|---|"]
    if ours:
        peers.append(f"| kavell_tools.optimize, workers=8 | {ours['wall']:.2f} s | {ours['value']:.3g} | "
                     f"{ours['load']:.1f} |")
    for name, row in data.get("peers", {}).items():
        peers.append(f"| {name} | {row['wall']:.2f} s | {row['value']:.3g} | {row['load']:.1f} |")
    lines = []
    for name, rows in data.get("quality", {}).items():
        if rows:
            means = {v: statistics.mean(r[v] for r in rows.values()) for v in ("sequential", "workers=8")}
            lines.append(f"the fraction of targets reached was {means['workers=8']:.3f} with 8 workers against "
                         f"{means['sequential']:.3f} sequentially ({means['workers=8'] / means['sequential']:.2f}×; "
                         f"{name}, {len(rows)} problems).")
    quality = "\n\n".join(lines)
    return {"SPEED_TABLE": "\n".join(speed), "DESIGNS_TABLE": "\n".join(designs), "PEERS_TABLE": "\n".join(peers),
            "QUALITY_LINE": quality}


def report(args: argparse.Namespace) -> None:
    """bench/results/parallel.md from the saved numbers."""
    parts = tables()
    text = "\n\n".join([
        "# optimize on several workers", "From `bench/parallel.py` (see its docstring): medians, with the machine's "
        f"load average (2 cores, shared) during the runs. D = {D}, budget {BUDGET:,}.",
        "## Wall time", parts["SPEED_TABLE"], "## Designs by the cost of f", parts["DESIGNS_TABLE"],
        "## Peers, 20 ms objective, 8 workers", parts["PEERS_TABLE"], "## Quality on BBOB", parts["QUALITY_LINE"]])
    (HERE / "results" / "parallel.md").write_text(text + "\n")
    print(text)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("command", choices=["speed", "designs", "peers", "quality", "report"])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--only", default="")
    parser.add_argument("--instances", default="1-5")
    parser.add_argument("--distribute", default="runs", choices=["runs", "evaluations"])
    args = parser.parse_args()
    globals()[args.command](args)


if __name__ == "__main__":
    main()
