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
