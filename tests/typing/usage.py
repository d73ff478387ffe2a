"""Typical use of kavell; mypy --strict must accept it and infer these types."""
from __future__ import annotations

from concurrent.futures import ThreadPoolExecutor
from decimal import Decimal
from typing import Any, NamedTuple

from typing_extensions import assert_type

import kavell
import kavell_tools
from kavell_tools import Result

pso = kavell.PSO(10, iteration_count=True, cognitive_coefficient=2, inertia_coefficient=0.7)
assert_type(pso.particle_count, int)
assert_type(pso.iteration_count, int)
assert_type(pso.cognitive_coefficient, float)
assert_type(pso.social_coefficient, float)
assert_type(pso.max_velocity_ratio, float)
assert_type(pso.inertia_coefficient, float)
# Setters take what the constructor takes.
pso.particle_count = True
pso.inertia_coefficient = 1


def cost(i32: list[int], f64: list[float], d: list[Decimal]) -> float:
    return (i32[0] - 7) ** 2 + (f64[0] - 2.5) ** 2 + float(d[0])


value, point = pso.min(
    cost,
    i32_min=range(3), i32_max=b"\x05\x06",
    f64_min=(0, 0.5), f64_max=[1.0, 2],
    d_min=[Decimal("1.50"), 2, "3.125", 0.25], d_max=[10**20],
)
assert_type(value, float)
assert_type(point, dict[str, list[Any]])

def anything(**point: list[Any]) -> int:
    return len(point)


# Every kind, by keyword and by position.
pso.min(anything, [0], [1], [0], [1], [0], [1], [0], [1], [0], [1], [0], [10**30])
pso.min(anything, f32_min=[0.0], f32_max=[1.0], c64_min=[0j, 1], c64_max=[1 + 1j, 2.5],
        c128_min=[0j], c128_max=[1 + 1j], i128_min=[-(2**100)], i128_max=[2**100])


def lexicographic(i32: list[int]) -> tuple[int, float]:
    return (i32[0] % 2, float(i32[0]))


assert_type(pso.min(lexicographic, i32_min=[0], i32_max=[9])[0], tuple[int, float])


class Score(NamedTuple):
    feasibility: int
    gain: float

    def __neg__(self) -> Score:
        return Score(-self.feasibility, -self.gain)


def score(f64: list[float]) -> Score:
    return Score(0, f64[0])


def flag(f64: list[float]) -> bool:
    return f64[0] > 0.5


assert_type(pso.max(score, f64_min=[0], f64_max=[1])[0], Score)
assert_type(pso.max(cost)[0], float)
# -True is an int, and max negates twice: a bool objective maximises to an int.
assert_type(pso.max(flag)[0], int)

# The toolkit takes the same bounds and keeps the objective's value type.
assert_type(kavell_tools.minimize(pso, cost, i32_min=[0], i32_max=[9], d_min=["0.5"], d_max=[2]), Result[float])
assert_type(kavell_tools.maximize(pso, score, f64_min=[0], f64_max=[1], target=Score(0, 0.9)), Result[Score])
assert_type(kavell_tools.restarts(lexicographic, 1_000, i32_min=range(3), i32_max=[5, 6, 7]).history,
            list[tuple[int, tuple[int, float]]])
# One dict of bounds for the module and the toolkit alike.
box: kavell_tools.Bounds = {"f64_min": [0.0], "f64_max": [1.0], "i32_min": range(3), "i32_max": [5, 6, 7]}
assert_type(pso.min(anything, **box)[0], int)
assert_type(kavell_tools.multistart(anything, 2, **box).runs, list[kavell_tools.RunSummary])
# optimize on several workers: any concurrent.futures executor (or a Dask client), or a pool of its own.
assert_type(kavell_tools.optimize(anything, 100, executor=ThreadPoolExecutor(2), distribute="evaluations", **box),
            Result[int])
assert_type(kavell_tools.optimize(anything, 100, workers=2, **box), Result[int])
