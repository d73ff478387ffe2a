"""The examples run and find their known optimum."""
import pathlib
import runpy
from decimal import Decimal

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def test_mixed_integer_example_finds_the_optimum(capsys):
    example = runpy.run_path(str(EXAMPLES / "mixed_integer.py"))
    value, point = example["main"]()
    printed = capsys.readouterr().out
    assert set(point) == {"i32", "f64", "d"}
    assert point["i32"] == [7]
    assert abs(point["f64"][0] - 2.5) < 1e-3
    assert abs(point["d"][0] - Decimal("1.25")) < Decimal("0.001")
    assert 0 <= value < 1e-6
    assert "machines:  7" in printed


def load_example(name):
    return runpy.run_path(str(EXAMPLES / name))


def test_production_plan_finds_the_best_feasible_plan_by_min_and_by_max(capsys):
    example = load_example("production_plan.py")
    (by_min, min_point), (by_max, max_point) = example["main"]()
    printed = capsys.readouterr().out.splitlines()
    assert min_point == max_point == {"i32": [20, 30]}
    assert by_min == (0, -1100)
    # max negates the negated best once more: the result is a Plan again.
    assert type(by_max) is example["Plan"]
    assert by_max == (0, 1100)
    assert printed == ["min: plan [20, 30], violation 0, profit 1100",
                       "max: plan [20, 30], Plan(feasibility=0, profit=1100)"]


def test_production_plan_ranks_feasibility_before_profit():
    example = load_example("production_plan.py")
    cost, plan = example["cost"], example["plan"]
    # 40 A and 40 B earn far more but break both limits.
    assert cost([40, 40]) > cost([0, 0]) > cost([20, 30])
    assert plan([40, 40]) < plan([0, 0]) < plan([20, 30])
    assert -plan([20, 30]) == (0, -1100)
