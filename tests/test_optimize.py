"""kavell_tools.optimize: the budget, the kinds f receives, x0, NaN, maximisation, checkpoints.

Quality is measured in bench/quality.py, never asserted here.
"""
import math
from decimal import Decimal
from fractions import Fraction

import pytest

import kavell_tools
from kavell_tools._optimize import Tuning
from kavell_tools.problems import mixed, sphere

BOX = {"f64_min": [-5.0] * 3, "f64_max": [5.0] * 3}
MIXED = {"i64_min": [-10] * 5, "i64_max": [10] * 5, "f64_min": [-5.12] * 5, "f64_max": [5.12] * 5}
REAL_INTEGERS = Tuning(real_integers=True)
NATIVE_INTEGERS = Tuning(real_integers=False)


def _scipy():
    try:
        import scipy.optimize  # noqa: F401
    except ImportError:
        return False
    return True


needs_scipy = pytest.mark.skipif(not _scipy(), reason="the polish needs scipy")


class Calls:
    """An objective that keeps every point and value, as an independent oracle."""

    def __init__(self, function):
        self.function = function
        self.points, self.values = [], []

    def __call__(self, **point):
        self.points.append({key: list(values) for key, values in point.items()})
        value = self.function(**point)
        self.values.append(value)
        return value


@pytest.mark.parametrize("budget", [1, 2, 57, 1_000, 4_321])
@pytest.mark.parametrize("bounds, function", [(BOX, sphere), (MIXED, mixed)], ids=["reals", "mixed"])
@pytest.mark.parametrize("polish", [False, pytest.param(True, marks=needs_scipy)])
def test_the_budget_is_never_exceeded_polish_included(budget, bounds, function, polish):
    calls = Calls(function)
    result = kavell_tools.optimize(calls, budget, polish=polish, **bounds)
    assert len(calls.values) == result.evaluations <= budget
    # The whole budget is spent, and the result is the best of every call.
    assert result.evaluations == budget and result.value == min(calls.values)
    assert function(**result.point) == result.value and result.stop_reason is None


@needs_scipy
def test_the_polish_spends_evaluations_and_keeps_the_integers():
    calls = Calls(mixed)
    kavell_tools.optimize(calls, 3_000, polish=True, tuning=Tuning(global_runs=1, polish_at=(0.5,)), **MIXED)
    # Its finite differences move one real at a time by a tiny step from a
    # base point evaluated just before: (x, x + h e_1, ..., x + h e_5).
    def tiny_step(a, b):
        moved = [abs(x - y) for x, y in zip(a["f64"], b["f64"]) if x != y]
        return a["i64"] == b["i64"] and len(moved) == 1 and moved[0] < 1e-6

    points = calls.points
    steps = [k for k in range(len(points)) if any(tiny_step(points[k - j], points[k]) for j in range(1, 6) if k >= j)]
    assert len(steps) >= 10


INTEGER_KINDS = [("i8", -128, 127), ("i16", -3, 9), ("i32", 0, 1), ("i64", -(2**40), 2**40),
                 ("i128", 2**100, 2**100 + 5), ("i", -(2**70), 2**70)]


@pytest.mark.parametrize("kind, low, high", INTEGER_KINDS, ids=[k for k, _, _ in INTEGER_KINDS])
@pytest.mark.parametrize("tuning", [REAL_INTEGERS, NATIVE_INTEGERS], ids=["as reals", "native"])
@pytest.mark.parametrize("maximize", [False, True])
def test_integers_reach_f_exactly_and_both_ends_are_reached(kind, low, high, tuning, maximize):
    seen = []

    def f(**point):
        seen.append(point[kind])
        # Exact: Fraction of an int or a float, so a float slipping through shows.
        return sum(Fraction(n) for n in point[kind]) + Fraction(point["f64"][0])

    result = kavell_tools.optimize(f, 600, maximize=maximize, tuning=tuning, polish=False,
                                   **{kind + "_min": [low] * 3, kind + "_max": [high] * 3},
                                   f64_min=[0.0], f64_max=[1.0])
    assert all(type(n) is int and low <= n <= high for values in seen for n in values)
    assert {n for values in seen for n in values} >= ({low, high} if high - low < 10 else set())
    if max(abs(low), abs(high)) <= 2**50:
        # The optimum is a corner of the box: every coordinate reaches the end
        # it lies at, the upper one included. How close the best point comes
        # to the corner is a matter of quality, which the bench measures.
        # (Larger integers are searched by the module alone, with no such promise.)
        end = high if maximize else low
        assert all(any(values[j] == end for values in seen) for j in range(3))
    assert f(**{kind: result.point[kind], "f64": result.point["f64"]}) == result.value


def test_decimal_and_complex_kinds_work_end_to_end():
    def f(d, c128, f64, i32):
        assert all(isinstance(x, Decimal) for x in d) and all(isinstance(z, complex) for z in c128)
        return float(abs(d[0] - Decimal("0.25"))) + abs(c128[0] - (1 + 1j)) + (f64[0] - 1) ** 2 + abs(i32[0] - 3)

    bounds = {"d_min": [Decimal("0")], "d_max": [Decimal("1")], "c128_min": [0j], "c128_max": [2 + 2j],
              "f64_min": [-2.0], "f64_max": [2.0], "i32_min": [-5], "i32_max": [5]}
    calls = Calls(f)
    result = kavell_tools.optimize(calls, 3_000, **bounds)
    assert set(result.point) == {"d", "c128", "f64", "i32"} and type(result.point["i32"][0]) is int
    assert result.value == f(**result.point) == min(calls.values) and result.evaluations == 3_000
    assert result.point["i32"] == [3]


@pytest.mark.parametrize("bounds, function", [(BOX, sphere), (MIXED, mixed)], ids=["reals", "mixed"])
def test_x0_is_evaluated_first_and_searched_around(bounds, function):
    n = len(bounds["f64_min"])
    x0 = {"f64": [0.01 * (k + 1) for k in range(n)]}
    if "i64_min" in bounds:
        x0["i64"] = [-3, -1, 0, 2, 4]
    calls = Calls(function)
    result = kavell_tools.optimize(calls, 400, x0=x0, polish=False, tuning=Tuning(global_runs=0), **bounds)
    assert calls.points[0] == x0
    assert result.value <= calls.values[0]
    # With no global run, every point lies in the first local box around x0 or in a later one around a better point.
    centre = x0["f64"][0]
    assert all(abs(point["f64"][0] - centre) <= 1.0 for point in calls.points[1:100])


@pytest.mark.parametrize("number", ["float", "float32", "Decimal"])
def test_nan_counts_as_the_worst_value_or_raises(number):
    make = pytest.importorskip("numpy").float32 if number == "float32" else {"float": float, "Decimal": Decimal}[number]

    def f(f64):
        f.calls += 1
        # NaN first, then right of 0.
        return make("nan") if f.calls == 1 or f64[0] > 0 else make((f64[0] + 2.0) ** 2)

    f.calls = 0
    calls = Calls(f)
    result = kavell_tools.optimize(calls, 2_000, **{"f64_min": [-5.0], "f64_max": [5.0]})
    assert math.isnan(calls.values[0]) and sum(map(math.isnan, calls.values)) > 1
    assert result.value == min(v for v in calls.values if not math.isnan(v)) and result.point["f64"][0] <= 0
    assert all(not math.isnan(v) for _, v in result.history[1:])

    f.calls = 0
    with pytest.raises(kavell_tools.RunFailed) as failure:
        kavell_tools.optimize(f, 2_000, nan="raise", f64_min=[0.5], f64_max=[5.0])
    assert isinstance(failure.value.__cause__, ValueError) and failure.value.point["f64"][0] >= 0.5
    assert failure.value.evaluation == 1 and failure.value.result is None
    with pytest.raises(ValueError, match="nan must be"):
        kavell_tools.optimize(f, 10, nan="ignore", f64_min=[0.0], f64_max=[1.0])


def test_maximize_returns_the_largest_value_seen():
    calls = Calls(lambda f64: -sphere(f64))
    result = kavell_tools.optimize(calls, 1_500, maximize=True, **BOX)
    assert result.value == max(calls.values) and result.history[-1] == (result.history[-1][0], result.value)
    assert [v for _, v in result.history] == sorted(v for _, v in result.history)


def test_bounds_are_checked_before_any_call():
    calls = Calls(sphere)
    with pytest.raises(ValueError, match="is above"):
        kavell_tools.optimize(calls, 100, f64_min=[1.0], f64_max=[0.0])
    assert calls.values == []


def test_an_interrupted_job_resumes_from_its_checkpoint(tmp_path):
    checkpoint = tmp_path / "job.json"

    def f(**point):
        f.calls += 1
        if f.calls == 700:
            raise KeyboardInterrupt
        return mixed(**point)

    f.calls = 0
    with pytest.raises(kavell_tools.RunInterrupted):
        kavell_tools.optimize(f, 3_000, checkpoint=checkpoint, **MIXED)
    saved = kavell_tools.Checkpoint(checkpoint).load()
    done = saved["tracker"]["evaluations"]
    assert 0 < done < 700
    calls = Calls(mixed)
    result = kavell_tools.optimize(calls, 3_000, checkpoint=checkpoint, **MIXED)
    # Only what the saved runs had not made, the budget exactly, never worse than the saved best.
    assert len(calls.values) == 3_000 - done and result.evaluations == 3_000
    assert result.value <= saved["tracker"]["best_value"]
    with pytest.raises(ValueError, match="another job"):
        kavell_tools.optimize(calls, 4_000, checkpoint=checkpoint, **MIXED)
