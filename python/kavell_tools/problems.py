"""Standard test functions, written as objectives for ``PSO.min``.

They are plain module-level functions of the keyword arguments the optimiser
passes (``f64`` and, for :func:`mixed`, ``i64``), so they can be pickled and
sent to worker processes. Every one has its minimum 0 at a known point.
"""
from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

MIXED_TARGETS = (-3, -1, 0, 2, 4)


def sphere(f64: Sequence[float]) -> float:
    """Sum of squares; minimum 0 at the origin."""
    return sum(x * x for x in f64)


def rosenbrock(f64: Sequence[float]) -> float:
    """Rosenbrock's valley; minimum 0 at (1, ..., 1)."""
    return sum(
        100.0 * (f64[k + 1] - f64[k] * f64[k]) ** 2 + (1.0 - f64[k]) ** 2 for k in range(len(f64) - 1)
    )


def rastrigin(f64: Sequence[float]) -> float:
    """Rastrigin's function; minimum 0 at the origin, a local minimum at every integer point."""
    return 10.0 * len(f64) + sum(x * x - 10.0 * math.cos(2.0 * math.pi * x) for x in f64)


def ackley(f64: Sequence[float]) -> float:
    """Ackley's function; minimum 0 at the origin."""
    n = len(f64)
    squares = sum(x * x for x in f64) / n
    cosines = sum(math.cos(2.0 * math.pi * x) for x in f64) / n
    return -20.0 * math.exp(-0.2 * math.sqrt(squares)) - math.exp(cosines) + 20.0 + math.e


def mixed(i64: Sequence[int], f64: Sequence[float]) -> float:
    """Five integers and five reals, coupled: minimum 0 at ``i64 = MIXED_TARGETS``, ``f64 = i64 / 10``.

    The integer part is a bowl around ``MIXED_TARGETS``; the real part is
    Rastrigin's function around a centre set by the integers.
    """
    integer_part = sum((n - t) ** 2 for n, t in zip(i64, MIXED_TARGETS))
    return integer_part + rastrigin([x - 0.1 * n for x, n in zip(f64, i64)])


@dataclass(frozen=True)
class Problem:
    """A test function with the bounds it is usually searched in."""

    name: str
    function: Callable[..., float]
    bounds: dict[str, list[Any]]

    @property
    def dimension(self) -> int:
        return sum(len(values) for key, values in self.bounds.items() if key.endswith("_min"))


def _box(low: float, high: float, n: int) -> dict[str, list[Any]]:
    return {"f64_min": [low] * n, "f64_max": [high] * n}


def standard_problems() -> list[Problem]:
    """Sphere, Rosenbrock, Rastrigin and Ackley in 10 and 30 dimensions, and :func:`mixed`."""
    problems = [
        Problem(f"{name}-{n}", function, _box(low, high, n))
        for name, function, low, high in (
            ("sphere", sphere, -5.12, 5.12),
            ("rosenbrock", rosenbrock, -5.0, 10.0),
            ("rastrigin", rastrigin, -5.12, 5.12),
            ("ackley", ackley, -32.768, 32.768),
        )
        for n in (10, 30)
    ]
    n = len(MIXED_TARGETS)
    problems.append(Problem("mixed-10", mixed, {"i64_min": [-10] * n, "i64_max": [10] * n, **_box(-5.12, 5.12, n)}))
    return problems
