"""kavell_tools.optimize, plain kavell runs and restarts against pyswarms and scipy, at one budget.

Each optimiser scores one point per call with the same plain Python function
and gets the same number of evaluations. Peers that are not installed are
left out (pip install pyswarms scipy). bench/quality.py is the full version.

    python examples/compare_peers.py
"""
import kavell_tools
from kavell_tools import RECOMMENDED, Settings
from kavell_tools.problems import ackley

DIMENSION = 10
LOW, HIGH = -32.768, 32.768


def kavell_run(settings, budget):
    value, _ = settings.for_budget(budget).build().min(ackley, f64_min=[LOW] * DIMENSION, f64_max=[HIGH] * DIMENSION)
    return value


def pyswarms_run(budget, particles=50):
    import numpy as np
    import pyswarms

    optimizer = pyswarms.single.GlobalBestPSO(
        n_particles=particles,
        dimensions=DIMENSION,
        options={"c1": 0.5, "c2": 0.3, "w": 0.9},
        bounds=(np.full(DIMENSION, LOW), np.full(DIMENSION, HIGH)),
    )
    cost, _ = optimizer.optimize(
        lambda xs: np.array([ackley(row) for row in xs.tolist()]), iters=budget // particles, verbose=False
    )
    return cost


def scipy_run(budget, popsize=15):
    from scipy.optimize import differential_evolution

    generations = max(0, budget // (popsize * DIMENSION) - 1)
    result = differential_evolution(
        lambda x: ackley(x.tolist()), [(LOW, HIGH)] * DIMENSION,
        popsize=popsize, maxiter=generations, tol=0.0, polish=False,
    )
    return result.fun


def main(budget=20_000):
    scores = {
        "kavell_tools.optimize": kavell_tools.optimize(
            ackley, budget, f64_min=[LOW] * DIMENSION, f64_max=[HIGH] * DIMENSION
        ).value,
        "kavell defaults": kavell_run(Settings(), budget),
        "kavell recommended": kavell_run(RECOMMENDED, budget),
        "toolkit restarts": kavell_tools.restarts(
            ackley, budget, f64_min=[LOW] * DIMENSION, f64_max=[HIGH] * DIMENSION
        ).value,
    }
    for name, run in (("pyswarms", pyswarms_run), ("scipy DE", scipy_run)):
        try:
            scores[name] = float(run(budget))
        except ImportError:
            print(f"{name}: not installed, left out")
    for name, value in sorted(scores.items(), key=lambda item: item[1]):
        print(f"{name:20} {value:.4g}")
    return scores


if __name__ == "__main__":
    main()
