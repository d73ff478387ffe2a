"""Plot how the best value falls with the evaluations spent, to a PNG file.

Compares kavell_tools.optimize with one run of kavell's defaults, one with the
recommended settings and the toolkit's restarts, all on the same budget
(pip install matplotlib).

    python examples/convergence_plot.py convergence.png
"""
import sys

import kavell_tools
from kavell_tools import RECOMMENDED, Settings
from kavell_tools.plotting import plot_history
from kavell_tools.problems import rosenbrock

BOUNDS = {"f64_min": [-5.0] * 10, "f64_max": [10.0] * 10}


def main(path="convergence.png", budget=20_000):
    runs = {
        "optimize": kavell_tools.optimize(rosenbrock, budget, **BOUNDS),
        "kavell defaults": kavell_tools.minimize(Settings().for_budget(budget).build(), rosenbrock, **BOUNDS),
        "recommended settings": kavell_tools.minimize(RECOMMENDED.for_budget(budget).build(), rosenbrock, **BOUNDS),
        "toolkit restarts": kavell_tools.restarts(rosenbrock, budget, **BOUNDS),
    }
    plot_history(list(runs.values()), path, labels=list(runs), title="Rosenbrock, 10 dimensions")
    for name, result in runs.items():
        print(f"{name:22} {result.value:.4g}")
    return runs


if __name__ == "__main__":
    main(*sys.argv[1:2])
