"""What the COCO tables count, from run records alone (no third-party package).

A run's trace is a list of ``[evaluations, value]`` pairs, value being the
best f - f_opt seen so far, appended whenever the best value passes a new
level 10**(-k/20) (see :func:`level`). Every target on that grid, COCO's 51
targets 10**2 ... 10**-8 (steps of 10**0.2) among them, is so first reached
at exactly the evaluation count the trace holds, and at any fraction of the
budget.
"""
from __future__ import annotations

import math
import statistics
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

LEVELS_PER_DECADE = 20


def grid(m: int) -> float:
    """Level ``m`` of the grid, 10**(m/20); COCO's targets are every fourth."""
    return 10.0 ** (m / LEVELS_PER_DECADE)


#: COCO's targets for f - f_opt: 10**k for k = 2, 1.8, ..., -8.
TARGETS = [grid(m) for m in range(40, -161, -4)]
FINAL_TARGET = 1e-8

GROUPS = {
    "separable f1–f5": range(1, 6),
    "moderate conditioning f6–f9": range(6, 10),
    "ill-conditioned f10–f14": range(10, 15),
    "multimodal with global structure f15–f19": range(15, 20),
    "weak structure f20–f24": range(20, 25),
}


def level(value: float) -> float:
    """The lowest grid level ``m`` with value <= 10**(m/20): a value below a target has a lower level."""
    if value <= 0.0:
        return -math.inf
    m = math.ceil(LEVELS_PER_DECADE * math.log10(value))
    # The logarithm may miss by an ulp at a level itself: settle on the grid's own values.
    while value <= grid(m - 1):
        m -= 1
    while value > grid(m):
        m += 1
    return m


class Trace:
    """A run's best value so far, and the trace of its passes to lower levels."""

    def __init__(self) -> None:
        self.best = math.inf
        self.level = math.inf
        self.points: list[list[float]] = []

    def add(self, evaluations: int, value: float) -> None:
        if value < self.best:
            self.best = value
            below = level(value)
            if below < self.level:
                self.level = below
                self.points.append([evaluations, value])


def hit(trace: Sequence[Sequence[float]], target: float) -> int | None:
    """The evaluation at which the best value first reached ``target`` (value <= target), or None."""
    for evaluations, value in trace:
        if value <= target:
            return int(evaluations)
    return None


def reached(trace: Sequence[Sequence[float]], targets: Iterable[float], budget: float) -> int:
    """How many of ``targets`` the run reached within ``budget`` evaluations."""
    count = 0
    for target in targets:
        at = hit(trace, target)
        count += at is not None and at <= budget
    return count


def fraction(runs: Iterable[Mapping[str, Any]], share: float = 1.0, targets: Sequence[float] = TARGETS) -> float:
    """Fraction of (run, target) pairs reached within ``share`` of each run's budget."""
    hits = pairs = 0
    for run in runs:
        hits += reached(run["trace"], targets, run["budget"] * share)
        pairs += len(targets)
    return hits / pairs if pairs else math.nan


def solved(value: float) -> float:
    """Final values at or below the final target are all equally solved."""
    return max(value, FINAL_TARGET)


def medians(runs: Iterable[Mapping[str, Any]]) -> dict[int, float]:
    """Median over instances of the final f - f_opt, per function."""
    by_function: dict[int, list[float]] = {}
    for run in runs:
        by_function.setdefault(run["function"], []).append(solved(run["best"]))
    return {function: statistics.median(values) for function, values in by_function.items()}


def best_counts(per_method: Mapping[str, Mapping[int, float]]) -> dict[str, int]:
    """Functions on which each method has the best median (ties count for each), over common functions."""
    functions = set.intersection(*(set(m) for m in per_method.values())) if per_method else set()
    counts = dict.fromkeys(per_method, 0)
    for function in functions:
        best = min(m[function] for m in per_method.values())
        for name, m in per_method.items():
            counts[name] += m[function] <= best
    return counts


def ranks(values: Mapping[str, float]) -> dict[str, float]:
    """Rank 1 for the lowest value; tied values share the mean of their ranks."""
    ordered = sorted(values.values())
    return {name: ordered.index(v) + 1 + (ordered.count(v) - 1) / 2 for name, v in values.items()}


def mean_ranks(per_method: Mapping[str, Mapping[int, float]]) -> dict[str, float]:
    """Per function, rank the methods by median; the mean over the functions all of them ran."""
    functions = sorted(set.intersection(*(set(m) for m in per_method.values()))) if per_method else []
    if not functions:
        return {name: math.nan for name in per_method}
    total = dict.fromkeys(per_method, 0.0)
    for function in functions:
        for name, rank in ranks({name: m[function] for name, m in per_method.items()}).items():
            total[name] += rank
    return {name: value / len(functions) for name, value in total.items()}
