"""Cost per evaluation of a whole PSO.min run beside the least work of one call.

For every point of the table this times, interleaved in one process and
reported as medians of the repetitions:

- kavell: PSO(particle_count=100, iteration_count=N).min(f, **bounds), whose
  time is divided by its 100 * (N + 1) objective calls;
- the floor: the least work one call f(**point) with freshly built objects
  takes. For f64 and i64 points it is the C extension bench/floor/_kavell_floor.c
  (built here into a temporary directory, never installed): per evaluation a
  new list of new floats or ints, a new dict {kind: list},
  PyObject_Call(f, (), dict) and one `<` comparison. For the mixed and heavy
  points it is Python code building the same objects with the cheapest
  constructors (int and float arithmetic, decimal.Decimal(str));
- the bare call (f64 and i64 points): the least work of one call at all, in
  the same C extension: one list made once, its floats (or ints, where the
  interpreter's int layout is known) rewritten in place, one vectorcall with
  a keyword-names tuple made once and the same `<` comparison;
- a pure-Python loop with the same update as the run (f64 points), after
  checking that it makes exactly the calls kavell makes from the same start;
- pyswarms' GlobalBestPSO with a per-point objective, where it is installed.

    python bench/per_evaluation.py [--repeats 7] [--json out.json] [--chart out.png] [--quick]
    python bench/per_evaluation.py --instructions [--only TEXT] [--json out.json]   (under callgrind)
    python bench/per_evaluation.py --memory [--memory-iterations 999] [--json out.json]
    python bench/per_evaluation.py --chart-from run.json [--chart out.png]   (the Markdown table)
"""
import argparse
import gc
import importlib.util
import json
import math
import operator
import os
import platform
import random
import resource
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from decimal import Decimal
from pathlib import Path

import kavell

HERE = Path(__file__).resolve().parent
PARTICLES = 100


# Objectives -----------------------------------------------------------------

def zero(**point):
    return 0.0


def sum_of_squares(f64):
    total = 0.0
    for x in f64:
        total += x * x
    return total


# The points of the table ----------------------------------------------------

def f64_bounds(n):
    return dict(f64_min=[-5.0] * n, f64_max=[5.0] * n)


def i64_bounds(n):
    return dict(i64_min=[-(10**12)] * n, i64_max=[10**12] * n)


MIXED = dict(i32_min=[-(10**6)] * 10, i32_max=[10**6] * 10, f64_min=[-5.0] * 10, f64_max=[5.0] * 10,
             d_min=[Decimal("-1000.00")] * 10, d_max=[Decimal("1000.00")] * 10)
HEAVY = dict(i_min=[-(2**200)] * 100, i_max=[2**200] * 100,
             d_min=[Decimal("-1000.00")] * 100, d_max=[Decimal("1000.00")] * 100)


def table():
    points = []
    for n, iterations in ((1, 100), (10, 100), (100, 100), (1000, 30)):
        for objective, label in ((zero, "return 0.0"), (sum_of_squares, "sum of squares")):
            points.append(dict(name=f"f64 x {n}", objective=objective, label=label, bounds=f64_bounds(n),
                               iterations=iterations, floor="c", kind="f64", dims=n))
    for n in (10, 100):
        points.append(dict(name=f"i64 x {n}", objective=zero, label="return 0.0", bounds=i64_bounds(n),
                           iterations=100, floor="c", kind="i64", dims=n))
    points.append(dict(name="i32, f64, d x 10 each", objective=zero, label="return 0.0", bounds=MIXED,
                       iterations=100, floor="python"))
    points.append(dict(name="i x 100 (~200 bits), d x 100", objective=zero, label="return 0.0", bounds=HEAVY,
                       iterations=100, floor="python"))
    return points


# The C floor ----------------------------------------------------------------

def build_floor(directory):
    source = HERE / "floor" / "_kavell_floor.c"
    target = Path(directory) / ("_kavell_floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    compiler = os.environ.get("CC", "cc")
    command = [compiler, "-O2", "-shared", "-fPIC", "-I", sysconfig.get_paths()["include"], str(source), "-o",
               str(target)]
    subprocess.run(command, check=True)
    spec = importlib.util.spec_from_file_location("_kavell_floor", target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def sample_point(bounds, rng):
    """One point inside the bounds, in the kinds' Python types."""
    point = {}
    for key in [k[:-4] for k in bounds if k.endswith("_min")]:
        lows, highs = bounds[key + "_min"], bounds[key + "_max"]
        if key == "d":
            point[key] = [Decimal(rng.randrange(int(lo * 100), int(hi * 100))) / 100 for lo, hi in zip(lows, highs)]
        elif key.startswith("f"):
            point[key] = [rng.uniform(lo, hi) for lo, hi in zip(lows, highs)]
        else:
            point[key] = [rng.randrange(lo, hi) for lo, hi in zip(lows, highs)]
    return point


def python_floor(point, objective):
    """The same objects built by Python code with the cheapest constructors:
    int and float arithmetic (x + 0 makes a new object of every int beyond
    the small-int cache and of every float) and decimal.Decimal(str)."""
    makers = []
    for key, values in point.items():
        if key == "d":
            texts = [str(v) for v in values]
            makers.append((key, lambda texts=texts: list(map(Decimal, texts))))
        else:
            zeros = [type(values[0])(0)] * len(values)
            makers.append((key, lambda values=values, zeros=zeros: list(map(operator.add, values, zeros))))

    def run(evaluations):
        best = None
        for _ in range(evaluations):
            result = objective(**{key: make() for key, make in makers})
            if best is None or result < best:
                best = result
        return best

    return run


# The pure-Python loop -------------------------------------------------------

def python_pso(objective, lower, upper, initial, iterations, c1=1.0, c2=1.0, ratio=0.5, inertia=0.5):
    """The run's update on Python floats, from given initial positions: the
    same velocity rule, element rule and strict-improvement bests."""
    n = len(lower)
    max_v = [(hi - lo) * ratio for lo, hi in zip(lower, upper)]
    min_v = [-v for v in max_v]
    positions = [list(x) for x in initial]
    velocities = [[0.0] * n for _ in initial]
    bests = [list(x) for x in initial]
    values = [objective(f64=list(x)) for x in positions]
    swarm = 0
    for i in range(1, len(values)):
        if values[i] < values[swarm]:
            swarm = i
    swarm_best, swarm_value = list(bests[swarm]), values[swarm]
    for _ in range(iterations):
        for p, (x, v, b) in enumerate(zip(positions, velocities, bests)):
            for k in range(n):
                v[k] += (swarm_best[k] - x[k]) * c1 + (b[k] - x[k]) * c2
                x[k] += v[k]
                if x[k] < lower[k]:
                    x[k], v[k] = lower[k], 0.0
                elif upper[k] < x[k]:
                    x[k], v[k] = upper[k], 0.0
                elif v[k] < min_v[k]:
                    v[k] = min_v[k]
                elif max_v[k] < v[k]:
                    v[k] = max_v[k]
            value = objective(f64=list(x))
            if value < values[p]:
                if value < swarm_value:
                    swarm_value, swarm_best = value, list(x)
                values[p], bests[p] = value, list(x)
        for v in velocities:
            for k in range(n):
                v[k] *= inertia
    return swarm_value, {"f64": swarm_best}


def check_same_calls(n, particles=20, iterations=15):
    """kavell and the pure-Python loop make the same calls from the same start."""
    calls = []

    def recorded(f64):
        calls.append(list(f64))
        return sum_of_squares(f64)

    bounds = f64_bounds(n)
    value, point = kavell.PSO(particle_count=particles, iteration_count=iterations).min(recorded, **bounds)
    kavell_calls, calls[:] = list(calls), []
    model_value, model_point = python_pso(recorded, bounds["f64_min"], bounds["f64_max"], kavell_calls[:particles],
                                          iterations)
    if calls != kavell_calls or (value, point) != (model_value, model_point):
        raise SystemExit(f"f64 x {n}: the pure-Python loop does not make the calls kavell makes")
    return len(calls)


# pyswarms -------------------------------------------------------------------

def pyswarms_runner(objective, n, iterations):
    try:
        import logging

        import numpy as np
        from pyswarms.single import GlobalBestPSO
    except ImportError:
        return None
    logging.getLogger("pyswarms").setLevel(logging.ERROR)
    bounds = (np.full(n, -5.0), np.full(n, 5.0))

    def cost(swarm):
        return np.array([objective(f64=row.tolist()) for row in swarm])

    def run():
        optimizer = GlobalBestPSO(n_particles=PARTICLES, dimensions=n, options={"c1": 1.0, "c2": 1.0, "w": 0.5},
                                  bounds=bounds)
        start = time.perf_counter()
        optimizer.optimize(cost, iters=iterations, verbose=False)
        return time.perf_counter() - start, PARTICLES * iterations

    return run


# Timing ---------------------------------------------------------------------

def timed(run, evaluations):
    def measure():
        start = time.perf_counter()
        run()
        return time.perf_counter() - start, evaluations

    return measure


def contenders(point, floor_module, rng, with_peers):
    objective, bounds, iterations = point["objective"], point["bounds"], point["iterations"]
    evaluations = PARTICLES * (iterations + 1)
    pso = kavell.PSO(particle_count=PARTICLES, iteration_count=iterations)
    result = {"kavell": timed(lambda: pso.min(objective, **bounds), evaluations)}
    sample = sample_point(bounds, rng)
    if point["floor"] == "c":
        kind = point["kind"]
        result["floor"] = timed(lambda: floor_module.floor(objective, kind, sample[kind], evaluations), evaluations)
        result["bare"] = timed(lambda: floor_module.bare(objective, kind, sample[kind], evaluations), evaluations)
    else:
        result["floor"] = timed(lambda: python_floor(sample, objective)(evaluations), evaluations)
    if with_peers and point.get("kind") == "f64" and point["dims"] <= 100:
        n = point["dims"]
        initial = [sample_point(bounds, rng)["f64"] for _ in range(PARTICLES)]
        result["python"] = timed(
            lambda: python_pso(objective, bounds["f64_min"], bounds["f64_max"], initial, iterations), evaluations)
        swarm = pyswarms_runner(objective, n, iterations)
        if swarm is not None:
            result["pyswarms"] = swarm
    return result


def measure(points, repeats, floor_module, with_peers):
    rng = random.Random(2026)
    results = []
    for point in points:
        runners = contenders(point, floor_module, rng, with_peers)
        samples = {name: [] for name in runners}
        for name, run in runners.items():  # one warm-up round
            run()
        for _ in range(repeats):
            for name, run in runners.items():
                gc.collect()
                seconds, evaluations = run()
                samples[name].append(seconds / evaluations * 1e6)
        medians = {name: statistics.median(values) for name, values in samples.items()}
        # Each repetition times kavell and the floor back to back: the median
        # of these paired ratios is steadier than the ratio of the medians
        # on a machine whose load drifts.
        paired = [k / f for k, f in zip(samples["kavell"], samples["floor"])]
        row = {"point": point["name"], "objective": point["label"], "iterations": point["iterations"],
               "floor_kind": "C" if point["floor"] == "c" else "Python", "us_per_evaluation": medians,
               "samples": samples, "kavell_over_floor": statistics.median(paired),
               "ratio_of_medians": medians["kavell"] / medians["floor"]}
        if "bare" in samples:
            row["kavell_over_bare"] = statistics.median(k / b for k, b in zip(samples["kavell"], samples["bare"]))
        for peer in ("python", "pyswarms"):
            if peer in medians:
                row[f"{peer}_over_kavell"] = medians[peer] / medians["kavell"]
        results.append(row)
        peers = "".join(f"  {peer} {medians[peer]:8.3f} ({medians[peer] / medians['kavell']:.1f}x)"
                        for peer in ("python", "pyswarms") if peer in medians)
        bare = (f"  bare {medians['bare']:8.3f}  ratio {row['kavell_over_bare']:5.2f}" if "bare" in medians
                else "")
        print(f"{point['name']:<30}{point['label']:<16}kavell {medians['kavell']:8.3f}  "
              f"floor {medians['floor']:8.3f}  ratio {row['kavell_over_floor']:5.2f}{bare}{peers}", flush=True)
    return results


def chart(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    labels = [f"{r['point']}\n{r['objective']}" for r in results]
    ratios = [r["kavell_over_floor"] for r in results]
    fig, ax = plt.subplots(figsize=(11, 5.5))
    bars = ax.bar(range(len(results)), ratios, color="#3b75af")
    for bar, ratio in zip(bars, ratios):
        ax.text(bar.get_x() + bar.get_width() / 2, bar.get_height(), f"{ratio:.2f}", ha="center", va="bottom",
                fontsize=8)
    ax.axhline(1.0, color="black", linewidth=0.8)
    ax.set_xticks(range(len(results)))
    ax.set_xticklabels(labels, rotation=60, ha="right", fontsize=7)
    ax.set_ylabel("kavell time per evaluation / floor")
    ax.set_title("PSO.min per evaluation against the least work of one f(**point) call (CPython "
                 f"{platform.python_version()}, 100 particles)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


# Instructions ---------------------------------------------------------------

def run_of(point, contender, floor_module):
    """The whole run of one contender at one point, as a function of no arguments."""
    objective, bounds = point["objective"], point["bounds"]
    evaluations = PARTICLES * (point["iterations"] + 1)
    sample = sample_point(bounds, random.Random(2026))
    if contender == "kavell":
        pso = kavell.PSO(particle_count=PARTICLES, iteration_count=point["iterations"])
        return lambda: pso.min(objective, **bounds)
    if contender == "python":
        return lambda: python_floor(sample, objective)(evaluations)
    method = getattr(floor_module, contender)
    return lambda: method(objective, point["kind"], sample[point["kind"]], evaluations)


def child(spec):
    """Under callgrind: one warm-up run, then `runs` measured runs."""
    name, contender, runs, floor_path = json.loads(spec)
    point = next(p for p in table() if p["name"] == name and p["objective"] is zero)
    module_spec = importlib.util.spec_from_file_location("_kavell_floor", floor_path)
    floor_module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(floor_module)
    run_of(point, contender, floor_module)()
    run = run_of(point, contender, floor_module)
    for _ in range(runs):
        run()


def callgrind_count(arguments, script=__file__):
    """The instructions a Python process running ``script`` with ``arguments`` executes, under callgrind."""
    with tempfile.TemporaryDirectory() as directory:
        out = Path(directory) / "callgrind.out"
        completed = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                                    sys.executable, str(script), *arguments], capture_output=True, text=True)
        if completed.returncode != 0:
            raise SystemExit(completed.stderr[-2000:])
        for line in out.read_text().splitlines():
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise SystemExit("no instruction total in callgrind's output")


def instructions(points, floor_module, only_contenders=None):
    """Instructions per evaluation of whole runs: the count of a process that
    makes one warm-up run and then one measured run, less that of the same
    process without the measured run, over the run's evaluations."""
    results = []
    for point in points:
        evaluations = PARTICLES * (point["iterations"] + 1)
        contenders = ["kavell"] + (["floor", "bare"] if point["floor"] == "c" else ["python"])
        contenders = [c for c in contenders if only_contenders is None or c in only_contenders]
        per = {}
        for contender in contenders:
            counts = [callgrind_count(["--child", json.dumps([point["name"], contender, runs, floor_module.__file__])])
                      for runs in (0, 1)]
            per[contender] = (counts[1] - counts[0]) / evaluations
        row = {"point": point["name"], "iterations": point["iterations"], "instructions_per_evaluation": per}
        floor = per.get("floor", per.get("python"))
        if "kavell" in per and floor:
            row["kavell_over_floor"] = per["kavell"] / floor
        if "kavell" in per and "bare" in per:
            row["kavell_over_bare"] = per["kavell"] / per["bare"]
        results.append(row)
        ratios = "".join(f"  kavell/{name[12:]} {row[name]:.2f}" for name in ("kavell_over_floor", "kavell_over_bare")
                         if name in row)
        print(f"{point['name']:<30}" + "  ".join(f"{name} {value:9.0f}" for name, value in per.items()) + ratios,
              flush=True)
    return results


# Memory ---------------------------------------------------------------------

def resident_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def memory(particles, dims, iterations, every):
    """Peak RSS of a run beside the particles' own storage (three vectors of
    `dims` binary64 values each), and RSS sampled along the run."""
    bounds = f64_bounds(dims)
    pso = kavell.PSO(particle_count=particles, iteration_count=iterations)
    gc.collect()
    base = resident_kib()
    peak_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    if peak_before > base:
        raise SystemExit("run --memory in a fresh process: the peak is already above the current RSS")
    trace = []
    count = 0

    def objective(f64):
        nonlocal count
        count += 1
        if count % every == 0:
            trace.append((count, resident_kib() - base))
        return 0.0

    start = time.perf_counter()
    pso.min(objective, **bounds)
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base
    storage = particles * 3 * dims * 8 / 1024
    steady = [kib for n, kib in trace if n > particles]
    report = {"particles": particles, "dims": dims, "evaluations": count, "seconds": seconds,
              "storage_kib": storage, "peak_rss_growth_kib": peak, "peak_over_storage": peak / storage,
              "rss_trace_kib": trace, "steady_rss_spread_kib": (max(steady) - min(steady)) if steady else 0}
    print(f"{particles} particles x {dims} f64, {count} evaluations in {seconds:.1f} s: peak RSS growth "
          f"{peak / 1024:.1f} MiB over {storage / 1024:.1f} MiB of particle storage ({peak / storage:.3f}x); "
          f"RSS spread after start-up {report['steady_rss_spread_kib']} KiB", flush=True)
    return report


def markdown(results):
    """The table of docs/performance.md from the JSON of one run."""
    lines = ["| point | objective | kavell µs | floor µs | kavell / floor | bare call µs | kavell / bare "
             "| pure Python µs (x kavell) | pyswarms µs (x kavell) |", "|---|---|---|---|---|---|---|---|---|"]
    for r in results:
        m = r["us_per_evaluation"]
        peers = [f"{m[p]:.2f} ({m[p] / m['kavell']:.1f}x)" if p in m else "—" for p in ("python", "pyswarms")]
        floor = f"{m['floor']:.2f}" + (" (Python)" if r["floor_kind"] == "Python" else "")
        iterations = "" if r["iterations"] == 100 else f" ({r['iterations']} iterations)"
        bare = f"{m['bare']:.2f} | {r['kavell_over_bare']:.2f}" if "bare" in m else "— | —"
        lines.append(f"| {r['point']}{iterations} | {r['objective']} | {m['kavell']:.2f} | {floor} | "
                     f"{r['kavell_over_floor']:.2f} | {bare} | {peers[0]} | {peers[1]} |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=None, help="repetitions per point (default 7, --quick 3)")
    parser.add_argument("--quick", action="store_true",
                        help="a quick look: 3 repetitions, no peers, the `return 0.0` points only")
    parser.add_argument("--instructions", action="store_true",
                        help="instructions per evaluation over whole runs, under valgrind's callgrind")
    parser.add_argument("--json", type=Path)
    parser.add_argument("--chart", type=Path)
    parser.add_argument("--only", help="run only the points whose name contains this text")
    parser.add_argument("--no-peers", action="store_true", help="skip the pure-Python loop and pyswarms")
    parser.add_argument("--memory", action="store_true", help="the memory check instead of the timings")
    parser.add_argument("--memory-iterations", type=int, default=999)
    parser.add_argument("--chart-from", type=Path,
                        help="draw --chart and print the Markdown table from the JSON of an earlier run")
    parser.add_argument("--contenders", help="with --instructions: only these, comma-separated (kavell,floor,bare)")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.repeats is None:
        args.repeats = 3 if args.quick else 7

    if args.memory:
        report = memory(1000, 10000, args.memory_iterations, 10000)
        if args.json:
            args.json.write_text(json.dumps(report, indent=1) + "\n")
        return

    if args.chart_from:
        results = json.loads(args.chart_from.read_text())["results"]
        if args.chart:
            chart(results, args.chart)
        print(markdown(results))
        return

    if args.child:
        child(args.child)
        return
    checked = 0
    if not args.instructions:
        checked = sum(check_same_calls(n) for n in (1, 10, 100))
        print(f"pure-Python loop: the same {checked} calls as kavell from the same initial positions", flush=True)
    points = [p for p in table() if (args.only is None or args.only in p["name"]) and
              not ((args.quick or args.instructions) and p["objective"] is not zero)]
    with tempfile.TemporaryDirectory() as directory:
        floor_module = build_floor(directory)
        if args.instructions:
            results = instructions(points, floor_module, args.contenders and args.contenders.split(","))
        else:
            results = measure(points, args.repeats, floor_module, not (args.no_peers or args.quick))
    if args.json:
        meta = {"python": sys.version, "machine": platform.machine(), "processor": platform.processor(),
                "kavell": kavell.__file__, "particles": PARTICLES, "repeats": args.repeats,
                "date": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()), "checked_calls": checked}
        try:
            import pyswarms

            meta["pyswarms"] = pyswarms.__version__
        except ImportError:
            pass
        args.json.write_text(json.dumps({"meta": meta, "results": results}, indent=1) + "\n")
    if args.chart:
        chart(results, args.chart)


if __name__ == "__main__":
    main()
