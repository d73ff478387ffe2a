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


# A second set, kept apart from the nine above: strategies are tuned on the
# nine and measured on these too. Every optimum lies away from the centre of
# its box (shifted, or off-centre by construction), two are rotated and one
# has more integer than real variables.

def _offset(n: int, half_width: float, phase: float) -> list[float]:
    """A fixed shift of up to 0.6 of the half-width per coordinate, never near zero."""
    return [half_width * (0.25 + 0.35 * abs(math.sin(1.7 * k + phase))) * (-1.0) ** k for k in range(n)]


def _rotation(n: int, seed: float) -> list[list[float]]:
    """A fixed orthogonal matrix: a product of plane rotations over every pair of axes."""
    matrix = [[1.0 if i == j else 0.0 for j in range(n)] for i in range(n)]
    for i in range(n):
        for j in range(i + 1, n):
            angle = math.pi * math.sin(seed + 3.1 * i + 1.3 * j)
            c, s = math.cos(angle), math.sin(angle)
            for row in matrix:
                a, b = row[i], row[j]
                row[i], row[j] = c * a - s * b, s * a + c * b
    return matrix


@dataclass(frozen=True)
class Transformed:
    """``base(rotation @ (f64 - offset))``: a shifted (and optionally rotated) function; picklable."""

    base: Callable[[Sequence[float]], float]
    offset: tuple[float, ...]
    rotation: tuple[tuple[float, ...], ...] | None = None

    def __call__(self, f64: Sequence[float]) -> float:
        y = [x - o for x, o in zip(f64, self.offset)]
        if self.rotation is not None:
            y = [sum(r * v for r, v in zip(row, y)) for row in self.rotation]
        return self.base(y)


def griewank(f64: Sequence[float]) -> float:
    """Griewank's function; minimum 0 at the origin."""
    product = 1.0
    for k, x in enumerate(f64):
        product *= math.cos(x / math.sqrt(k + 1))
    return sum(x * x for x in f64) / 4000.0 - product + 1.0


def levy(f64: Sequence[float]) -> float:
    """Levy's function; minimum 0 at (1, ..., 1)."""
    w = [1.0 + (x - 1.0) / 4.0 for x in f64]
    total = math.sin(math.pi * w[0]) ** 2 + (w[-1] - 1.0) ** 2 * (1.0 + math.sin(2.0 * math.pi * w[-1]) ** 2)
    return total + sum((v - 1.0) ** 2 * (1.0 + 10.0 * math.sin(math.pi * v + 1.0) ** 2) for v in w[:-1])


def zakharov(f64: Sequence[float]) -> float:
    """Zakharov's function; minimum 0 at the origin."""
    linear = sum(0.5 * (k + 1) * x for k, x in enumerate(f64))
    return sum(x * x for x in f64) + linear**2 + linear**4


def ellipsoid(f64: Sequence[float]) -> float:
    """An ellipsoid of condition 1e6; minimum 0 at the origin."""
    n = len(f64)
    return sum(float(10.0 ** (6.0 * k / max(1, n - 1))) * x * x for k, x in enumerate(f64))


def _bisect(derivative: Callable[[float], float], low: float, high: float) -> float:
    for _ in range(200):
        middle = (low + high) / 2.0
        if (derivative(low) < 0.0) == (derivative(middle) < 0.0):
            low = middle
        else:
            high = middle
    return (low + high) / 2.0


def _styblinski_term(x: float) -> float:
    return 0.5 * (x**4 - 16.0 * x * x + 5.0 * x)


def _schwefel_term(x: float) -> float:
    return -x * math.sin(math.sqrt(abs(x)))


_STYBLINSKI_MIN = _styblinski_term(_bisect(lambda x: 4.0 * x**3 - 32.0 * x + 5.0, -4.0, -2.0))
_SCHWEFEL_ARGMIN = _bisect(
    lambda x: -math.sin(math.sqrt(x)) - 0.5 * math.sqrt(x) * math.cos(math.sqrt(x)), 400.0, 440.0
)
_SCHWEFEL_MIN = _schwefel_term(_SCHWEFEL_ARGMIN)


def styblinski_tang(f64: Sequence[float]) -> float:
    """Styblinski and Tang's function, lifted to minimum 0 at about (-2.9035, ...)."""
    return sum(_styblinski_term(x) - _STYBLINSKI_MIN for x in f64)


def schwefel(f64: Sequence[float]) -> float:
    """Schwefel's function; minimum 0 at about (420.97, ...), near a corner of its box."""
    return sum(_schwefel_term(x) - _SCHWEFEL_MIN for x in f64)


MIXED_INT_TARGETS = (7, -13, 11, 3, 15, -6, 9, 12, -17, 4, 14, 8)


def mixed_int(i64: Sequence[int], f64: Sequence[float]) -> float:
    """Twelve integers in [-20, 20] and four reals, coupled; minimum 0 at ``i64 = MIXED_INT_TARGETS``.

    The integer part couples neighbours, so coordinates cannot be fixed one
    at a time; the reals form a Rastrigin landscape whose centre moves with
    the first four integers (1.5 + n / 20, away from the centre of [-5, 5]).
    """
    d = [n - t for n, t in zip(i64, MIXED_INT_TARGETS)]
    integer_part = sum(e * e for e in d) + sum(abs(a - b) for a, b in zip(d, d[1:]))
    return integer_part + rastrigin([x - 1.5 - n / 20.0 for x, n in zip(f64, i64)])


def held_out_problems() -> list[Problem]:
    """Eight problems not used for tuning: see the comment above."""
    def shifted(name: str, base: Callable[[Sequence[float]], float], low: float, high: float, n: int,
                phase: float, rotate: bool = False) -> Problem:
        offset = tuple(_offset(n, (high - low) / 2.0, phase))
        rotation = tuple(tuple(row) for row in _rotation(n, phase)) if rotate else None
        return Problem(name, Transformed(base, offset, rotation), _box(low, high, n))

    ints = len(MIXED_INT_TARGETS)
    return [
        shifted("griewank-10", griewank, -600.0, 600.0, 10, 0.4),
        shifted("levy-20", levy, -10.0, 10.0, 20, 1.1),
        shifted("zakharov-10", zakharov, -5.0, 10.0, 10, 2.3),
        Problem("styblinski-20", styblinski_tang, _box(-5.0, 5.0, 20)),
        Problem("schwefel-10", schwefel, _box(-500.0, 500.0, 10)),
        shifted("rot-rastrigin-10", rastrigin, -5.12, 5.12, 10, 0.7, rotate=True),
        shifted("rot-ellipsoid-20", ellipsoid, -5.0, 5.0, 20, 1.9, rotate=True),
        Problem("mixed-int-16", mixed_int, {"i64_min": [-20] * ints, "i64_max": [20] * ints, **_box(-5.0, 5.0, 4)}),
    ]
