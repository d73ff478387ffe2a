"""A constrained production plan solved with lexicographic objectives.

A workshop makes two products, A and B, in whole units. A earns 25 and B 20
per unit. A takes 3 machine hours and 1 kg of material, B 2 hours and 2 kg;
there are 120 hours and 80 kg. The best plan is 20 A and 30 B, earning 1100.

kavell orders objective values only by comparison, so a tuple works as a
lexicographic objective: the first item (how far the plan breaks the limits)
decides, and the second (the cost) only breaks ties. A feasible plan
therefore beats every infeasible one, however cheap. The same problem is
solved twice:

- `min` over plain tuples ``(violation, -profit)``;
- `max` over a small tuple type ``Plan(feasibility, profit)`` that supplies
  the ``__neg__`` which `max` calls on every value.

A swarm is a stochastic search that can settle next to the optimum on an
integer grid, so each solve keeps the best of a few independent runs. The
inertia is raised from its default 0.5 to 0.8 because integer velocities are
truncated toward zero when scaled: at 0.5 a step of 1 dies out at once.
Run it after installing kavell:

    python examples/production_plan.py
"""
from __future__ import annotations

from typing import Any, NamedTuple

import kavell

HOURS, MATERIAL = 120, 80


def violation(a: int, b: int) -> int:
    """How far a plan exceeds the hours and the material (0 when feasible)."""
    return max(0, 3 * a + 2 * b - HOURS) + max(0, a + 2 * b - MATERIAL)


def profit(a: int, b: int) -> int:
    return 25 * a + 20 * b


def cost(i32: list[int]) -> tuple[int, int]:
    """Objective for `min`: feasibility first, then the negated profit."""
    a, b = i32
    return violation(a, b), -profit(a, b)


class Plan(NamedTuple):
    """Objective value for `max`: larger is better, item by item."""

    feasibility: int  # 0 when feasible, minus the violation otherwise
    profit: int

    def __neg__(self) -> Plan:
        return Plan(-self.feasibility, -self.profit)


def plan(i32: list[int]) -> Plan:
    """Objective for `max`."""
    a, b = i32
    return Plan(-violation(a, b), profit(a, b))


# Units of A and of B: 0 to 40 each (no more fit the hours or the material).
LOWER, UPPER = [0, 0], [41, 41]


def solve_min(pso: kavell.PSO, runs: int) -> tuple[tuple[int, int], dict[str, list[Any]]]:
    return min((pso.min(cost, i32_min=LOWER, i32_max=UPPER) for _ in range(runs)), key=lambda result: result[0])


def solve_max(pso: kavell.PSO, runs: int) -> tuple[Plan, dict[str, list[Any]]]:
    return max((pso.max(plan, i32_min=LOWER, i32_max=UPPER) for _ in range(runs)), key=lambda result: result[0])


def main(runs: int = 8) -> tuple[tuple[tuple[int, int], dict[str, list[Any]]], tuple[Plan, dict[str, list[Any]]]]:
    pso = kavell.PSO(particle_count=60, iteration_count=100, inertia_coefficient=0.8)
    by_min = solve_min(pso, runs)
    by_max = solve_max(pso, runs)
    (broken, negated_profit), point = by_min
    print(f"min: plan {point['i32']}, violation {broken}, profit {-negated_profit}")
    best, point = by_max
    print(f"max: plan {point['i32']}, {best}")
    return by_min, by_max


if __name__ == "__main__":
    main()
