"""How each PSO setting shapes a run: one value changed at a time around the recommended settings.

Every row changes one of the six settings of kavell_tools.RECOMMENDED and
keeps the budget fixed (the iteration count follows the particle count). The
cells are medians of --repeats runs.

    python bench/settings_sweep.py --budget 10000 --repeats 5 --out bench/results/settings_sweep.md
"""
from __future__ import annotations

import argparse
import dataclasses
import pathlib
import statistics

from kavell_tools import RECOMMENDED, Settings, problems

VARIATIONS: dict[str, list[float]] = {
    "particle_count": [50, 100, 400],
    "cognitive_coefficient": [0.3, 0.5, 1.2],
    "social_coefficient": [0.3, 0.6, 1.6],
    "max_velocity_ratio": [0.1, 0.6, 1.0],
    "inertia_coefficient": [0.5, 0.7, 0.95],
}
PROBLEMS = ("sphere-30", "rosenbrock-30", "rastrigin-30", "ackley-10", "mixed-10")


def rows() -> list[tuple[str, Settings]]:
    result = [("recommended", RECOMMENDED), ("kavell defaults", Settings())]
    for name, values in VARIATIONS.items():
        for value in values:
            changed = dataclasses.replace(RECOMMENDED, **{name: type(getattr(RECOMMENDED, name))(value)})
            result.append((f"{name} = {value}", changed))
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--budget", type=int, default=10_000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--out", type=pathlib.Path)
    args = parser.parse_args()
    chosen = [p for p in problems.standard_problems() if p.name in PROBLEMS]
    lines = [
        f"Medians of {args.repeats} runs of {args.budget:,} evaluations; one setting changed at a time "
        f"from the recommended ones (cognitive = pull toward the swarm's best, social = pull toward the "
        f"particle's own best).\n",
        "| settings | " + " | ".join(p.name for p in chosen) + " |",
        "|---" * (len(chosen) + 1) + "|",
    ]
    for label, settings in rows():
        run = settings.for_budget(args.budget)
        cells = []
        for problem in chosen:
            values = [run.build().min(problem.function, **problem.bounds)[0] for _ in range(args.repeats)]
            cells.append(f"{statistics.median(values):.3g}")
        lines.append(f"| {label} | " + " | ".join(cells) + " |")
        print(lines[-1], flush=True)
    if args.out:
        args.out.write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
