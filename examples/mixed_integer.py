"""A small mixed-integer design problem solved with kavell_tools.optimize.

Choose a number of machines (i32), a belt speed (f64) and a unit price (d,
an exact decimal) to minimise a cost with a known optimum at 7 machines,
speed 2.5 and price 1.25. Run it after installing kavell:

    python examples/mixed_integer.py
"""
from decimal import Decimal
from typing import Any

import kavell_tools


def cost(i32: list[int], f64: list[float], d: list[Decimal]) -> float:
    machines, = i32
    speed, = f64
    price, = d
    # Decimals stay exact; only the final score is a float.
    price_error = float((price - Decimal("1.25")) ** 2)
    return (machines - 7) ** 2 + (speed - 2.5) ** 2 + 10 * price_error


def main() -> tuple[float, dict[str, list[Any]]]:
    result = kavell_tools.optimize(
        cost, 5_000,
        i32_min=[0], i32_max=[20],
        f64_min=[0.0], f64_max=[10.0],
        d_min=[Decimal("0.00")], d_max=[Decimal("5.00")],
    )
    value, point = result.value, result.point
    print(f"best cost: {value:.6g}")
    print(f"machines:  {point['i32'][0]}")
    print(f"speed:     {point['f64'][0]:.6g}")
    print(f"price:     {point['d'][0]}")
    return value, point


if __name__ == "__main__":
    main()
