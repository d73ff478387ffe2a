"""kavell_tools.optimize: the budget, the kinds f receives, x0, NaN, maximisation, checkpoints.

Quality is measured in bench/quality.py, never asserted here.
"""
import dataclasses
import itertools
import json
import math
import os
import random
import re
import struct
import subprocess
import sys
import time
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import example, given, settings as hypothesis_settings, strategies as st

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


@pytest.mark.parametrize("budget, global_particles, local_particles, local_evaluations, block", [
    (50_000, 100, 40, 1_000, (8, 10)), (10_000, 100, 40, 200, (8, 10)), (2_500, 50, 20, 100, (4, 5)),
    (1_000, 32, 13, 63, (3, 3)), (40, 6, 3, 13, (2, 1))])
def test_runs_shrink_below_a_budget_of_ten_thousand(budget, global_particles, local_particles, local_evaluations,
                                                     block):
    from kavell_tools._optimize import _Space, _Strategy

    # x0 makes the first task a local run; the global runs follow it.
    strategy = _Strategy(kavell_tools.Tracker(sphere), _Space(BOX, True), budget, Tuning(), polish=False)
    strategy.state.around_x0 = True
    strategy.tracker(f64=[0.5] * len(BOX["f64_min"]))
    local, first = strategy.propose(), strategy.propose()
    assert local.kind == "first local" and first.kind == "global"
    assert first.settings.particle_count == min(global_particles, first.evaluations)
    assert local.settings.particle_count == local_particles
    assert local.evaluations == local_evaluations // local_particles * local_particles
    # The other global runs (none: walks cover the space), then the first block run (particles, iterations).
    block_run = next(task for task in iter(strategy.propose, None) if task.kind != "global")
    assert block_run.kind == "block"
    assert (block_run.settings.particle_count, block_run.settings.iteration_count) == block


# i64 over [0, 3], [0, 9], [-2**40, 2**40], and a real: the first sweep frees each coordinate in a box the
# range wide around the best point [1, 4, 0, 0.5], where the narrow ones take their whole ranges.
@pytest.mark.parametrize("tuning, kinds", [
    (Tuning(), ["scan", "scan", "block", "block"]),  # every other value of the narrow ones, once each
    (Tuning(scan=0.0), ["block"] * 4),
    # A block run of 2 particles over 2 iterations: 9 values are more than its evaluations, 3 are not.
    (Tuning(block_particles=2, block_iterations=1, scan=1.0), ["scan", "block", "block", "block"]),
])
def test_few_valued_integers_are_scanned_and_keep_their_neighbours_in_local_boxes(tuning, kinds):
    from kavell_tools._optimize import _Space, _Strategy, carry_out

    # (With a decimal and an integer too wide for a double, which local boxes narrow as the typical coordinate.)
    bounds = {"i64_min": [0, 0, -(2**40)], "i64_max": [3, 9, 2**40], "f64_min": [0.0], "f64_max": [1.0],
              "i128_min": [0], "i128_max": [2**100], "d_min": ["-100"], "d_max": ["100"]}
    centre = [1, 4, 0, 0.5]
    calls = Calls(lambda i64, f64, i128, d: sum(i64) + f64[0])
    space = _Space(bounds, True)
    strategy = _Strategy(kavell_tools.Tracker(calls, decode=space.decode), space, 10_000, tuning, polish=False)
    strategy.tracker(f64=[float(x) for x in centre], i=[2**99], d=[Decimal("1.2")])

    def freed(task):
        if task.kind == "scan":
            return next(k for k, x in enumerate(task.vectors[0]) if x != centre[k])
        return next(k for k, (a, b) in enumerate(zip(task.bounds["f64_min"], task.bounds["f64_max"])) if b - a > 1e-6)

    # The opening global runs, then the sweep's blocks in an order of its own.
    tasks = sorted(itertools.islice((task for task in iter(strategy.propose, None) if task.kind != "global"), 4),
                   key=freed)
    assert [task.kind for task in tasks] == kinds
    expected = {0: {0, 2, 3}, 1: {0, 1, 2, 3, 5, 6, 7, 8, 9}}
    for task in tasks:
        if task.kind != "scan":
            continue
        k = freed(task)
        assert task.settings is None and task.evaluations == len(task.vectors) == len(expected[k])
        calls.points.clear()
        carry_out(strategy.tracker, strategy.space, task)
        seen = [point["i64"][k] for point in calls.points]
        assert set(seen) == expected[k] and len(seen) == len(expected[k])
        distances = [abs(n - centre[k]) for n in seen]
        assert distances == sorted(distances)
        assert all(type(n) is int for point in calls.points for n in point["i64"])
        assert all(point["i64"][:k] + point["i64"][k + 1:] + point["f64"] == centre[:k] + centre[k + 1:]
                   for point in calls.points)
    # However narrow local boxes have become, an integer's neighbours stay within them; the real's, the
    # decimal's and the wide integer's boxes narrow all the same.
    strategy.state.widths = [1e-9] * 4
    local = strategy.propose()
    assert local.kind == "local"
    best = strategy.space.vector(strategy.tracker.best_point)
    lows, highs = local.bounds["f64_min"], local.bounds["f64_max"]
    assert lows[2] <= best[2] - 1 and best[2] + 1 <= highs[2] and highs[3] - lows[3] < 1e-6
    assert local.bounds["i_min"][0] <= 2**99 < local.bounds["i_max"][0] <= local.bounds["i_min"][0] + 2**70
    assert Decimal(local.bounds["d_min"][0]) <= Decimal("1.2") <= Decimal(local.bounds["d_max"][0]) <= \
        Decimal(local.bounds["d_min"][0]) + Decimal("1e-6")


def test_scans_from_the_same_best_point_try_no_point_twice():
    from kavell_tools._optimize import _Space, _Strategy, carry_out

    # f is constant, so the first point stays the best: sweeps free the two integers one at a time (their
    # whole ranges) and together (a box of their neighbours), each pair in either order by its shuffle.
    space = _Space({"i64_min": [0, 0], "i64_max": [3, 3]}, True)
    calls = Calls(lambda i64: 1.0)
    strategy = _Strategy(kavell_tools.Tracker(calls, decode=space.decode), space, 10**9, Tuning(), polish=False)
    strategy.tracker(f64=[0.0, 0.0])
    best = strategy.tracker.best_point
    for _ in range(400):
        task = strategy.propose()
        if task.kind == "scan":
            carry_out(strategy.tracker, space, task)
        strategy.complete(task)
    assert strategy.tracker.best_point is best and strategy.state.sweeps >= 36
    scanned = [tuple(point["i64"]) for point in calls.points[1:]]
    # Once each: one coordinate over a box the range wide around (0, 0), both over their neighbours.
    assert sorted(scanned) == [(0, 1), (0, 2), (1, 0), (1, 1), (2, 0)]


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


@needs_scipy
def test_the_first_polish_follows_the_first_global_run_and_one_still_improving_goes_on_at_once():
    def rosenbrock(f64):
        return sum(100 * (b - a * a) ** 2 + (1 - a) ** 2 for a, b in zip(f64, f64[1:]))

    calls = Calls(rosenbrock)
    # The polish starts at call 1500 with a share of 30 calls: six gradients of five calls each, far
    # from converged on Rosenbrock's valley. (Where walks cover the space they follow a polish instead.)
    tuning = Tuning(global_runs=1, polish_at=(0.5,), polish_cap=0.01, evolution=False)
    kavell_tools.optimize(calls, 3_000, polish=True, tuning=tuning, f64_min=[-2.0] * 4, f64_max=[2.0] * 4)
    points = [point["f64"] for point in calls.points]

    def gradient(k):  # a base point and one tiny step along each coordinate
        return all(sum(a != b for a, b in zip(points[k], points[k + j])) == 1 and
                   max(abs(a - b) for a, b in zip(points[k], points[k + j])) < 1e-6 for j in range(1, 5))

    assert not gradient(1495)
    # Its successor takes over where its share ran out, at call 1530.
    assert all(gradient(k) for k in range(1500, 1560, 5))

    # By default the first polish follows the first global run, half as long as the others: 300 calls
    # of a budget of 10,000 (three iterations of 100 particles), here on one worker; after all of them
    # on several.
    calls = Calls(rosenbrock)
    kavell_tools.optimize(calls, 10_000, polish=True, f64_min=[-2.0] * 4, f64_max=[2.0] * 4)
    points = [point["f64"] for point in calls.points]
    assert not gradient(295) and gradient(300)


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
    # A budget whose first local run is 200 calls (smaller budgets shorten it).
    result = kavell_tools.optimize(calls, 10_000, x0=x0, polish=False, tuning=Tuning(global_runs=0), **bounds)
    assert calls.points[0] == x0
    assert result.value <= calls.values[0]
    # With no global run, every point lies in the first local box around x0 or in a later one around a better point.
    centre = x0["f64"][0]
    assert all(abs(point["f64"][0] - centre) <= 1.0 for point in calls.points[1:100])


@pytest.mark.parametrize("number", ["float", "float64", "float32", "Decimal", "signalling Decimal"])
def test_nan_counts_as_the_worst_value_or_raises(number):
    make = {"float": float, "Decimal": Decimal, "signalling Decimal": Decimal}.get(number) or \
        getattr(pytest.importorskip("numpy"), number)
    nan = "snan" if number == "signalling Decimal" else "nan"  # which no comparison takes: it raises
    isnan = Decimal.is_nan if make is Decimal else math.isnan

    def f(f64):
        f.calls += 1
        # NaN first, then right of 0.
        return make(nan) if f.calls == 1 or f64[0] > 0 else make((f64[0] + 2.0) ** 2)

    f.calls = 0
    calls = Calls(f)
    result = kavell_tools.optimize(calls, 2_000, **{"f64_min": [-5.0], "f64_max": [5.0]})
    assert isnan(calls.values[0]) and sum(map(isnan, calls.values)) > 1
    assert result.value == min(v for v in calls.values if not isnan(v)) and result.point["f64"][0] <= 0
    assert all(not isnan(v) for _, v in result.history[1:])

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
    # Calls that each failed at their first evaluation (a service f needs was down) leave no best point:
    # resumed, the job runs over the whole box rather than around a point it does not have.
    down = tmp_path / "down.json"
    for _ in range(5):
        with pytest.raises(kavell_tools.RunFailed):
            kavell_tools.optimize(FailAt(mixed, 1, ConnectionError("down")), 3_000, checkpoint=down, **MIXED)
    calls = Calls(mixed)
    assert kavell_tools.optimize(calls, 3_000, checkpoint=down, **MIXED).evaluations == len(calls.values) == 3_000


@pytest.mark.parametrize("edit", ["none", "another size", "singular", "learned from the last calls",
                                  "saved by an earlier version"])
def test_the_learned_frame_is_saved_and_a_resumed_job_goes_on_in_it(edit, tmp_path, monkeypatch):
    pytest.importorskip("numpy")
    # No polish: the frame learns from local runs that still improve, and a polish solves the sphere.
    checkpoint, turned = tmp_path / "job.json", Tuning(aligned_below=0.0, polish_at=(), evolution=False)
    if edit == "learned from the last calls":  # of a local run longer than what its frame learns from
        monkeypatch.setattr(kavell_tools._optimize, "ARCHIVE_LIMIT", 30)
    with pytest.raises(kavell_tools.RunInterrupted):
        kavell_tools.optimize(FailAt(sphere, 1_450, KeyboardInterrupt()), 3_000, checkpoint=checkpoint,
                              tuning=turned, **BOX)
    saved = json.loads(checkpoint.read_text())
    state = saved["state"]["dict"]["strategy"]["dict"]
    # Learned from the first local run (after the global runs and a sweep): no longer the first box, along the axes.
    matrix = state["matrix"]
    assert len(matrix) == 3 and all(len(row) == 3 for row in matrix)
    assert any(matrix[j][k] != 0.0 for j in range(3) for k in range(3) if j != k)
    if edit == "another size":  # as saved without numpy, where the frame is a box: it starts over
        state["matrix"], state["path"] = [], []
    if edit == "singular":
        state["matrix"] = [[0.0] * 3] * 3
    if edit == "saved by an earlier version":  # without the frame and the polish that goes on
        for name in ("matrix", "path", "polish_again"):
            del state[name]
    checkpoint.write_text(json.dumps(saved))
    calls = Calls(sphere)
    if edit == "singular":
        with pytest.raises(ValueError, match=re.escape(str(checkpoint)) + ".*(not a|damaged)"):
            kavell_tools.optimize(calls, 3_000, checkpoint=checkpoint, tuning=turned, **BOX)
        assert calls.values == []
        return
    result = kavell_tools.optimize(calls, 3_000, checkpoint=checkpoint, tuning=turned, **BOX)
    done = saved["state"]["dict"]["tracker"]["dict"]["evaluations"]
    assert len(calls.values) == 3_000 - done and result.evaluations == 3_000
    assert all(-5.0 <= x <= 5.0 and type(x) is float for point in calls.points for x in point["f64"])


@pytest.mark.parametrize("edit", ["none", "saved without numpy", "damaged", "population too small", "population odd",
                                  "saved by an earlier version", "saved before wide walks"])
def test_a_walk_is_saved_and_a_resumed_job_goes_on_with_it(edit, tmp_path):
    pytest.importorskip("numpy")
    # No polish, so that walks do all the local work: the job is interrupted early in the second walk
    # (the first spends its whole share, improving all along), whose reservation saved the first one's state.
    checkpoint, walking = tmp_path / "job.json", Tuning(polish_at=())
    with pytest.raises(kavell_tools.RunInterrupted):
        kavell_tools.optimize(FailAt(sphere, 1_200, KeyboardInterrupt()), 3_000, checkpoint=checkpoint,
                              tuning=walking, **BOX)
    saved = json.loads(checkpoint.read_text())
    state = saved["state"]["dict"]["strategy"]["dict"]
    walk = state["walk"]["dict"]
    mean, sigma, covariance = walk["mean"], walk["sigma"], walk["covariance"]
    assert len(mean) == 3 and len(covariance) == 3 and 0 < sigma < 0.01
    if edit == "saved without numpy":  # where there are no walks: the next one starts afresh
        state["walk"] = {"dict": {}}
    if edit == "damaged":
        covariance[0] = [1.0]
    if edit.startswith("population"):
        walk["size"] = 3 if edit == "population too small" else 25
    if edit == "saved by an earlier version":
        del state["walk"]
    if edit in ("saved by an earlier version", "saved before wide walks"):
        del walk["size"], state["wide_walks"], state["wide_spent"], state["wide_due"]
    checkpoint.write_text(json.dumps(saved))
    calls = Calls(sphere)
    if edit == "damaged" or edit.startswith("population"):
        with pytest.raises(ValueError, match=re.escape(str(checkpoint)) + ".*(not one of|damaged|too small|is odd)"):
            kavell_tools.optimize(calls, 3_000, checkpoint=checkpoint, tuning=walking, **BOX)
        assert calls.values == []
        return
    shared = random.getstate()
    result = kavell_tools.optimize(calls, 3_000, checkpoint=checkpoint, tuning=walking, **BOX)
    assert random.getstate() == shared  # walks draw from a generator of their own
    done = saved["state"]["dict"]["tracker"]["dict"]["evaluations"]
    assert len(calls.values) == 3_000 - done and result.evaluations == 3_000
    assert all(-5.0 <= x <= 5.0 and type(x) is float for point in calls.points for x in point["f64"])
    # The resumed walk's first generation spreads as the saved one did (a walk afresh spreads as the first
    # local box, a tenth of the range): around the saved best, within a few of its steps.
    best = saved["state"]["dict"]["tracker"]["dict"]["best_point"]["dict"]["f64"]
    reach = max(abs(x - b) for point in calls.points[:7] for x, b in zip(point["f64"], best))
    step = 30.0 * sigma * max(math.sqrt(row[k]) for k, row in enumerate(covariance)) * 10.0  # the range
    assert (reach < step) == (edit in ("none", "saved before wide walks")), (reach, step)



@pytest.mark.parametrize("n", [2, 5, 12])
def test_walks_rest_at_the_least_spread_and_keep_their_shape_across_a_global_run(n):
    np = pytest.importorskip("numpy")
    from kavell_tools._evolution import SMALLEST_STEP, Generations, Walk, fresh, population
    from kavell_tools._optimize import _Space, _Strategy, carry_out

    # Converging on an ellipsoid conditioned 1e6, C stays positive definite though the worse half take their
    # directions out of it, and sigma stops at the least spread (in fractions of the ranges) rather than
    # dwindling into steps the doubles round away, with the mean at the minimum.
    scales = np.logspace(0, 6, n)
    generations = Generations(np, fresh([0.5] * n, (np.eye(n) * 0.1).tolist()), np.random.default_rng())
    for _ in range(4_000):
        steps, points = generations.ask()
        assert generations.tell(steps, [float((scales * (p - 0.3141592653) ** 2).sum()) for p in points])
        assert np.linalg.eigvalsh(generations.covariance)[0] > 0
    assert SMALLEST_STEP * (1 - 1e-9) <= generations.sigma * generations.scales.max() < 1e-9
    assert np.allclose(generations.mean, 0.3141592653, atol=1e-9)

    def strategy(f, tuning=Tuning()):
        calls = Calls(f)
        made = _Strategy(kavell_tools.Tracker(calls), _Space(BOX, True), 10**6, tuning, polish=False)
        made.tracker(f64=[0.25, -1.5, 3.0])
        return made, calls

    # A walk from next to the minimum, below the least spread: it stalls there, long before its share is spent,
    # and comes back empty (the next starts afresh). Better though its point is, its basin is spent: a wide
    # walk is due.
    converged, _ = strategy(lambda f64: sum((x - c) ** 2 for x, c in zip(f64, [0.25 + 1e-10, -1.5, 3.0])))
    converged.state.walk = {**dataclasses.asdict(Walk([0.0] * 3, 1e-15, np.eye(3).tolist(), [0.0] * 3, [0.0] * 3)),
                            "seen": []}
    task = converged._walk(100_000)
    carry_out(converged.tracker, converged.space, task)
    assert task.walk == {} and task.improved and converged.tracker.evaluations < 2_000
    converged.complete(task)
    assert converged.state.wide_due and converged.state.failures == 0 and converged.state.walk == {}

    def walk(made, task):
        carry_out(made.tracker, made.space, task)
        made.complete(task)
        return task

    # Walks that fail (a constant, where sigma grows) call a global run after the fourth (without wide walks),
    # and the next walk goes on with the state the last one ended in.
    flat, _ = strategy(lambda f64: 1.0, Tuning(wide_share=0.0))
    for failures in range(1, 5):
        task = walk(flat, flat._walk(100_000))
        assert task.walk and flat.state.walk == task.walk and flat.state.global_due == (failures == 4)
    assert flat.propose().kind == "global" and flat._walk(100_000).walk == task.walk
    # With them, a failure calls a wide walk while wide walks have spent at most half the others' evaluations:
    # from a point drawn within the bounds, wide, twice the population; one that finds nothing better leaves
    # the walk's state as it was, and failures beyond their share count towards a global run again.
    flat, calls = strategy(lambda f64: 1.0)
    flat.state.global_runs = 1  # (the first is over)
    task = walk(flat, flat._walk(100_000))
    assert flat.state.wide_due and not flat.state.global_due and flat.state.failures == 0
    wide = flat.propose()
    spent = flat.tracker.evaluations
    assert wide.kind == "walk" and wide.wide_from == spent and wide.evaluations == 10**6 - spent
    assert wide.walk["size"] == 2 * population(n=3) and wide.walk["sigma"] == 0.2
    assert wide.walk["seen"] == [0.25, -1.5, 3.0]  # (the best point: the walk starts where it was drawn)
    assert all(-0.5 <= m <= 0.5 for m in wide.walk["mean"]) and wide.walk["mean"] != task.walk["mean"]
    walk(flat, wide)
    assert flat.state.wide_spent == flat.tracker.evaluations - spent > spent and flat.state.walk == task.walk
    assert all(-5.0 <= x <= 5.0 for point in calls.points for x in point["f64"])
    walk(flat, flat._walk(100_000))
    assert not flat.state.wide_due and flat.state.failures == 1
    assert flat._wide_walk().walk["size"] == 4 * population(n=3)
    flat.state.wide_walks = 10**9  # (as after very many): the population stops growing, its points fit in memory
    assert flat._wide_walk().walk["size"] == 2**10 * population(n=3)


def test_a_walk_stays_within_the_bounds_where_the_best_lies_on_them(tmp_path):
    pytest.importorskip("numpy")
    # The least sum lies in the lower corner. A point drawn beyond it has the corner's value, and a walk that
    # learnt from the points drawn rather than those evaluated drew its mean out of the bounds (to -1e15 in
    # fractions of the range, its steps as large), every later point clipped onto the corner.
    checkpoint = tmp_path / "job.json"
    result = kavell_tools.optimize(lambda f64: sum(f64), 2_000, checkpoint=checkpoint,
                                   tuning=Tuning(polish_at=(), wide_share=0.0), **BOX)
    assert result.value == -15.0
    walk = kavell_tools.Checkpoint(checkpoint).load()["strategy"]["walk"]
    assert all(-0.5 - 1e-12 <= m <= 0.5 for m in walk["mean"]) and walk["sigma"] < 0.5, walk

# The learned frame: its algebra against numpy's own, and where a turned run's points land.

@hypothesis_settings(max_examples=60)
@given(d=st.integers(2, 6), seed=st.integers(0, 2**32 - 1))
def test_the_frame_stretches_along_where_the_best_points_lie_within_its_clip(d, seed):
    np = pytest.importorskip("numpy")
    from kavell_tools._frame import matrix_update, selected, turns

    learning = Tuning().learning
    rng = np.random.default_rng(seed)
    direction = rng.normal(size=d)
    direction /= np.linalg.norm(direction)
    # A run's points over a valley along `direction`: the best are those nearest its floor.
    rows = rng.uniform(-1, 1, size=(400, d))
    across = np.linalg.norm(rows - np.outer(rows @ direction, direction), axis=1)
    best_first, weights = selected(d, sorted(range(400), key=lambda k: across[k]), learning)
    chosen = rows[best_first]
    for path in ([0.0] * d, rng.normal(size=d).tolist()):
        before = list(path)
        factor = matrix_update(np, chosen, [0.0] * d, weights, path, learning)
        values, vectors = np.linalg.eigh(factor)
        assert np.allclose(factor, factor.T)
        assert 1 / learning.clip - 1e-12 <= values.min() and values.max() <= learning.clip + 1e-12
        assert np.allclose(factor @ np.asarray(path), before)  # the path, in the new frame's units
        if not any(before):  # the longest axis of the new frame is the valley's
            assert abs(vectors[:, -1] @ direction) > 0.9 and values[-1] > 1.1
    # A frame along the axes, however stretched, stands for a box; one that correlates two axes turns.
    assert not turns(np, np.diag(rng.uniform(0.1, 2.0, size=d)).tolist(), 0.0)
    turn = np.eye(d)
    turn[:2, :2] = [[0.6, -0.8], [0.8, 0.6]]
    assert turns(np, (turn @ np.diag([1.0, 5.0] + [1.0] * (d - 2))).tolist(), 0.3)
    assert not turns(np, (turn @ np.diag([2.0, 2.0] + [1.0] * (d - 2))).tolist(), 1e-9)  # a turned circle


@pytest.mark.parametrize("reach", [0.1, 3.0], ids=["inside the bounds", "clipped to them"])
def test_a_turned_run_maps_frame_units_to_points_within_the_bounds(reach):
    np = pytest.importorskip("numpy")
    from kavell_tools._optimize import _Rotation

    centre, ranges = [1.0, -2.0, 0.5], [10.0, 4.0, 1e300]
    lows, highs = [-4.0, -4.0, -5e299], [6.0, 0.0, 5e299]
    matrix = (reach * np.array([[0.6, -0.8, 0.0], [0.8, 0.6, 0.0], [0.0, 0.0, 1.0]])).tolist()
    values = _Rotation([0, 1, 2], centre, matrix, ranges, lows, highs, None).values(np)
    for y in [[0.0, 0.0, 0.0], [1.0, -1.0, 1.0], [-1.0, -1.0, -1.0], [0.3, 0.9, -0.2]]:
        x = values(y)
        # The oracle in plain floats: c + R M y, clipped.
        expected = [min(max(c + r * sum(m * v for m, v in zip(row, y)), low), high)
                    for c, r, row, low, high in zip(centre, ranges, matrix, lows, highs)]
        assert all(type(v) is float for v in x) and x == pytest.approx(expected, rel=1e-12)
        assert all(low <= v <= high for v, low, high in zip(x, lows, highs))


# Every box optimize builds must be one the module accepts in the kind it is
# searched in, and f must only ever see values of its kinds within its bounds.

def _f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def _ulps(x, n):
    for _ in range(n):
        x = math.nextafter(x, math.inf)
    return x


def _inside(kind, value, low, high):
    """An independent picture of what f may receive: exact types, binary32 for f32, both ends included."""
    if kind in ("i8", "i16", "i32", "i64", "i128", "i"):
        return type(value) is int and low <= value <= high
    if kind == "f32":
        return type(value) is float and _f32(value) == value and _f32(low) <= value <= _f32(high)
    if kind == "f64":
        return type(value) is float and low <= value <= high
    if kind == "d":
        return isinstance(value, Decimal) and Decimal(str(low)) <= value <= Decimal(str(high))
    return type(value) is complex  # the module never clamps complex values


FAST = Tuning(global_runs=1, global_share=0.1, particles=10, local_particles=10, block_particles=4,
              block_iterations=2, polish_at=(0.3, 0.6), polish_cap=0.1)
# Local boxes along the axes (as without numpy), or turned as soon as the frame has learned anything.
FRAMES = {"off": dataclasses.replace(FAST, frame=False), "learned": FAST,
          "turned": dataclasses.replace(FAST, aligned_below=0.0)}
KIND_RANGES = {"i8": (-128, 127), "i16": (-(2**15), 2**15 - 1), "i32": (-(2**31), 2**31 - 1),
               "i64": (-(2**63), 2**63 - 1), "i128": (-(2**127), 2**127 - 1), "i": (-(2**200), 2**200)}


@st.composite
def boxes(draw):
    """Bounds of several kinds at once, from one unit or one ulp wide to the whole range of the kind."""
    bounds = {}
    for kind in draw(st.lists(st.sampled_from(["i8", "i16", "i32", "i64", "i128", "i", "f32", "f64", "c128", "d"]),
                              min_size=1, max_size=4, unique=True)):
        lows, highs = [], []
        for _ in range(draw(st.integers(1, 3))):
            if kind in KIND_RANGES:
                bottom, top = KIND_RANGES[kind]
                low = draw(st.integers(bottom, top - 1))
                high = low + draw(st.sampled_from([1, 2, 3, 1000, top - low]))
                low, high = low, min(high, top)
            elif kind in ("f32", "f64"):
                low = draw(st.sampled_from([0.0, 1.0, -3.5, 1e6, -1e-3, 2.0**100]))
                if kind == "f32":
                    low = _f32(low)
                wide = draw(st.booleans())
                n = draw(st.integers(1, 4))
                high = low + abs(low) + 1.0 if wide else (
                    _f32_up(low, n) if kind == "f32" else _ulps(low, n))
            elif kind == "c128":
                low, high = complex(-1, -1), complex(1, 1)
            else:
                scale = draw(st.integers(0, 28))
                low = Decimal(draw(st.integers(-(10**27), 10**27))).scaleb(-scale)
                high = low + Decimal(draw(st.sampled_from([1, 2, 7, 10**6]))).scaleb(-scale)
                low, high = format(low, "f"), format(high, "f")  # the module reads decimals without exponents
            lows.append(low)
            highs.append(high)
        bounds[kind + "_min"], bounds[kind + "_max"] = lows, highs
    return bounds


def _f32_up(x, n):
    for _ in range(n):
        bits = struct.unpack("<I", struct.pack("<f", x))[0]
        x = struct.unpack("<f", struct.pack("<I", (bits + 1) if x > 0 else (bits - 1) if x < 0 else 1))[0]
    return x


@hypothesis_settings(max_examples=int(os.environ.get("KAVELL_OPTIMIZE_EXAMPLES", 40)))
@given(bounds=boxes(), maximize=st.booleans(), polish=st.sampled_from([False, None]), frame=st.sampled_from(sorted(FRAMES)))
@example(bounds={"f32_min": [-5.0] * 2, "f32_max": [5.0] * 2}, maximize=False, polish=None, frame="turned")
@example(bounds={"f64_min": [1.0], "f64_max": [_ulps(1.0, 1)]}, maximize=False, polish=None, frame="turned")
@example(bounds={"f64_min": [1.0, 0.0], "f64_max": [_ulps(1.0, 4), 1.0]}, maximize=True, polish=None,
         frame="turned")
@example(bounds={"f64_min": [-1e300, 0.0, 2.0], "f64_max": [1e300, 1e-300, _ulps(2.0, 1)], "i64_min": [0], "i64_max": [3]},
         maximize=False, polish=None, frame="turned")
@example(bounds={"i64_min": [2**60] * 2, "i64_max": [2**61] * 2, "i128_min": [2**100] * 3,
                 "i128_max": [2**101] * 3}, maximize=False, polish=False, frame="off")
@example(bounds={"i64_min": [2**60] * 2, "i64_max": [2**61] * 2, "i_min": [-(2**70)], "i_max": [2**70]},
         maximize=False, polish=False, frame="off")
def test_every_box_is_valid_in_its_kind_and_f_sees_only_its_own_values(bounds, maximize, polish, frame):
    seen = []

    def f(**point):
        seen.append(point)
        return sum(float(abs(x)) if isinstance(x, complex) else float(x) for values in point.values() for x in values)

    result = kavell_tools.optimize(f, 400, maximize=maximize, polish=polish, tuning=FRAMES[frame], **bounds)
    assert result.evaluations == len(seen) == 400
    for point in seen + [result.point]:
        assert point.keys() == {key[:-4] for key in bounds if key.endswith("_min")}
        for kind, values in point.items():
            lows, highs = bounds[kind + "_min"], bounds[kind + "_max"]
            assert len(values) == len(lows)
            assert all(_inside(kind, v, a, b) for v, a, b in zip(values, lows, highs)), (kind, values, lows, highs)


class FailAt(Calls):
    """Fails (or is interrupted) at a chosen call."""

    def __init__(self, function, at, error):
        super().__init__(function)
        self.at, self.error = at, error

    def __call__(self, **point):
        if len(self.values) + 1 == self.at:
            self.points.append(point)
            raise self.error
        return super().__call__(**point)


FAILURE = (ValueError("no score"), kavell_tools.RunFailed)
CTRL_C = (KeyboardInterrupt(), kavell_tools.RunInterrupted)


class Interrupting(float):
    """A value whose conversion to a float, which the polish makes outside f, is where Ctrl-C lands."""

    def __float__(self):
        raise KeyboardInterrupt


# f's own EarlyStop is a failure of f like any other: only the tracker's ends a search quietly.
EARLY_STOP = (kavell_tools.EarlyStop("raised by f"), kavell_tools.RunFailed)


@pytest.mark.parametrize("where, error, expected", [
    ("x0", *FAILURE), ("x0", *CTRL_C), ("x0", *EARLY_STOP),
    ("polish", *FAILURE), ("polish", *CTRL_C), ("polish", *EARLY_STOP),
    ("nan in the polish", None, kavell_tools.RunFailed),
    ("the polish's own code", None, kavell_tools.RunInterrupted),
])
def test_a_failure_anywhere_carries_the_best_result_so_far(where, error, expected):
    # The first polish starts at call 1001 of 2000 and spends at most 200 calls.
    tuning = Tuning(polish_at=(0.5,), polish_cap=0.1)
    at = 1 if where == "x0" else 1003
    function = sphere
    if where == "nan in the polish":
        function, at = (lambda **p: math.nan if len(calls.values) == 1002 else sphere(**p)), None
    if where == "the polish's own code":  # f returns at call 1003, a value no better than the best
        function, at = (lambda **p: Interrupting(1e9) if len(calls.values) == 1002 else sphere(**p)), None
    calls = FailAt(function, at, error)
    x0 = {"f64": [1.0, 2.0, 3.0]} if where == "x0" else None
    polish = where != "x0"
    if polish and not _scipy():
        pytest.skip("the polish needs scipy")
    with pytest.raises(expected) as raised:
        kavell_tools.optimize(calls, 2_000, x0=x0, polish=polish, tuning=tuning, nan="raise", **BOX)
    failure = raised.value
    if where == "x0":
        assert failure.result is None and failure.evaluation == 1
    elif where == "the polish's own code":  # after call 1003, outside it
        assert failure.result.evaluations == 1003 and failure.point is failure.evaluation is None
        assert failure.result.value == min(calls.values) and type(failure.__cause__) is KeyboardInterrupt
        return
    else:
        assert failure.evaluation == 1003 and failure.result.evaluations == 1002
        assert failure.result.value == min(calls.values[:1002])
    assert failure.point == {"f64": calls.points[-1]["f64"]}
    assert isinstance(failure.__cause__, ValueError if where == "nan in the polish" else type(error))


@needs_scipy
@pytest.mark.parametrize("values", ["tuples", "nan", "-inf", "numpy nan"])
def test_the_polish_never_hands_f_a_nan_and_is_silent(values, capfd):
    import numpy as np

    def f(f64):
        x = sphere(f64)
        if values == "tuples":
            return (round(x, 1), x)
        if values == "-inf":
            return -math.inf if f64[0] > 4.0 else x
        if f64[0] > 0.0:
            return np.float32("nan") if values == "numpy nan" else math.nan
        return x

    calls = Calls(f)
    result = kavell_tools.optimize(calls, 2_000, polish=True, **BOX)
    assert result.evaluations == 2_000
    assert all(math.isfinite(x) for point in calls.points for x in point["f64"])
    assert capfd.readouterr().err == ""  # no warnings of scipy's about NaN arithmetic


@pytest.mark.parametrize("x0, error, message", [
    ({"f64": [0.0, 0.0, 6.0]}, ValueError, r"x0\['f64'\]\[2\] = 6.0 is outside \[-5.0, 5.0\]"),
    ({"f64": [0.0, 0.0, math.nan]}, ValueError, r"x0\['f64'\]\[2\] = nan is outside"),
    ({"f64": [0.0, 0.0]}, ValueError, r"x0\['f64'\] must be a list of 3 values, not 2"),
    ({}, ValueError, r"x0 has no 'f64' values"),
    ({"f64": [0.0] * 3, "i": [1]}, ValueError, r"x0\['i'\] is given, but the bounds have no 'i' values"),
    ({"f64": ["a", 0.0, 0.0]}, TypeError, r"x0\['f64'\]\[0\] = 'a' is not a value of kind f64"),
    ({"f64": ["1.5", 0.0, 0.0]}, TypeError, r"x0\['f64'\]\[0\] = '1.5' is not a value of kind f64"),
    ([0.0, 0.0, 0.0], TypeError, r"x0 must be a dict of lists"),
])
def test_x0_is_checked_like_the_bounds_before_any_call(x0, error, message):
    calls = Calls(sphere)
    with pytest.raises(error, match=message):
        kavell_tools.optimize(calls, 100, x0=x0, **BOX)
    assert calls.values == []


@pytest.mark.parametrize("kind, low, high, given, error", [
    ("i", -(2**62), 2**62, 0.5, TypeError),
    ("i", -(2**62), 2**62, math.inf, TypeError),
    ("i64", 0, 10, 11, ValueError),
    ("i8", 0, 10, 10, None),  # both ends of an integer box are allowed
    ("d", Decimal("0"), Decimal("1"), 0.5, None),
    ("f32", -1.0, 1.0, 0.1, None),
    ("i64", 0, 10, "numpy", None),
])
def test_x0_reaches_f_in_the_kinds_of_its_bounds(kind, low, high, given, error):
    if given == "numpy":
        np = pytest.importorskip("numpy")
        given = np.int64(3)
    calls = Calls(lambda **point: float(point[kind][0]) + point["f64"][0] ** 2)
    run = lambda: kavell_tools.optimize(calls, 50, x0={kind: [given], "f64": [0.5]}, polish=False,
                                        **{kind + "_min": [low], kind + "_max": [high]}, f64_min=[-1.0], f64_max=[1.0])
    if error is not None:
        with pytest.raises(error, match=rf"x0\['{kind}'\]\[0\]"):
            run()
        assert calls.values == []
        return
    run()
    first = calls.points[0][kind][0]
    expected = {"d": Decimal("0.5"), "f32": _f32(0.1)}.get(kind, int(given))
    assert first == expected and type(first) is type(expected)


@pytest.mark.parametrize("budget, calls_made", [(20, 20), (20.0, 20), ("numpy", 30), (2.5, TypeError),
                                                ("20", TypeError), (True, TypeError), (math.inf, TypeError)])
@pytest.mark.parametrize("entry, name", [("optimize", "budget"), ("restarts", "budget"),
                                         ("minimize", "max_evaluations"), ("multistart", "max_evaluations"),
                                         ("patience", "patience"), ("multistart runs", "runs")])
def test_budgets_are_whole_numbers(budget, calls_made, entry, name):
    if budget == "numpy":
        budget = pytest.importorskip("numpy").int64(30)
    calls = Calls(sphere)
    pso = kavell_tools.Settings(10, 9)  # 100 calls
    run = {
        "optimize": lambda: kavell_tools.optimize(calls, budget, **BOX),
        "restarts": lambda: kavell_tools.restarts(calls, budget, **BOX),
        "minimize": lambda: kavell_tools.minimize(pso.build(), calls, max_evaluations=budget, **BOX),
        "multistart": lambda: kavell_tools.multistart(calls, 1, settings=pso, max_evaluations=budget, **BOX).best,
        # Patience counts from the last improvement: a function that never improves stops after it.
        "patience": lambda: kavell_tools.minimize(pso.build(), lambda f64: calls(f64=f64) * 0 + 1, patience=budget,
                                                  **BOX),
        # As many runs of one evaluation each.
        "multistart runs": lambda: kavell_tools.Result(0, {}, sum(run.evaluations for run in kavell_tools.multistart(
            calls, budget, settings=kavell_tools.Settings(1, 0), **BOX).runs), 0.0),
    }[entry]
    if calls_made is TypeError:
        with pytest.raises(TypeError, match=name):
            run()
        assert calls.values == []
    else:
        assert run().evaluations == len(calls.values) == calls_made + (entry == "patience")



@pytest.mark.parametrize("entry", ["optimize", "restarts"])
def test_a_budget_beyond_any_one_run_is_spent_run_after_run(entry):
    # Far more evaluations than a run's 64-bit iteration count holds; the target ends the job.
    calls = Calls(sphere)
    result = getattr(kavell_tools, entry)(calls, 10**30, target=math.inf, **BOX)
    assert result.evaluations == len(calls.values) == 1 and result.stop_reason == "target"

# On several workers: real process pools and a real Dask LocalCluster. Every call of f is logged by f itself
# (one line appended per call, from whichever process runs it), the oracle for what was spent.

KINDS = {"i64_min": [-5, 0], "i64_max": [5, 9], "f64_min": [-5.0, -5.0], "f64_max": [5.0, 5.0],
         "d_min": [Decimal("-1.00")], "d_max": [Decimal("1.00")]}
TYPES = {"i64": int, "f64": float, "d": Decimal}
SPANS = {kind: (min(KINDS[kind + "_min"]), max(KINDS[kind + "_max"])) for kind in TYPES}  # BOX's fit too


def logged(log, target_kinds=True, fail_after=None, **point):
    """Sum of squares of every value; refuses values not of their kinds or outside the bounds; logs each call it answers."""
    if target_kinds and any(type(v) is not TYPES[kind] for kind, values in point.items() for v in values):
        raise TypeError(f"not the user's kinds: {point!r}")
    if any(not SPANS[kind][0] <= v <= SPANS[kind][1] for kind, values in point.items() for v in values):
        raise ValueError(f"outside the bounds: {point!r}")
    if fail_after is not None and point["f64"][0] > 3.0 and os.path.exists(log) and os.path.getsize(log) > fail_after:
        with open(f"{log}.failed", "a") as failed:
            failed.write(repr(point) + "\n")
        raise ValueError("no score")
    value = sum(float(v) ** 2 for values in point.values() for v in values)
    handle = os.open(log, os.O_WRONLY | os.O_APPEND | os.O_CREAT)
    os.write(handle, f"{value!r}\n".encode())  # one write: lines of concurrent calls never mix
    os.close(handle)
    return value


def logged_values(log):
    return [float(line) for line in log.read_text().splitlines()] if log.exists() else []


class Bar:
    def __init__(self):
        self.total, self.counted = None, 0

    def update(self, n=1):
        self.counted += n

    def set_postfix_str(self, s="", refresh=True):
        pass

    def close(self):
        pass


@pytest.fixture(scope="module")
def cluster():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=":0") as local, \
            distributed.Client(local) as client:
        yield client


@pytest.fixture(params=["processes", "dask"])
def workers(request):
    """optimize's keywords for two workers: a process pool of its own, or a Dask client."""
    if request.param == "dask":
        return {"executor": request.getfixturevalue("cluster")}
    return {"workers": 2}


# "turned": every local run after the first in a turned frame (numpy), each sent whole with its rotation
# and its archive brought back.
@pytest.mark.parametrize("distribute", ["evaluations", "runs", "runs, turned"])
def test_several_workers_spend_the_budget_exactly_in_the_users_kinds(workers, distribute, tmp_path):
    import functools

    if distribute == "runs, turned":
        pytest.importorskip("numpy")
    tuning = Tuning(aligned_below=0.0) if distribute == "runs, turned" else Tuning()
    log, record, bar = tmp_path / "calls", tmp_path / "record.jsonl", Bar()
    result = kavell_tools.optimize(functools.partial(logged, str(log)), 700, distribute=distribute.split(",")[0],
                                   record=record, progress=bar, tuning=tuning, **workers, **KINDS)
    values = logged_values(log)
    assert len(values) == result.evaluations == bar.counted == bar.total == 700 and result.stop_reason is None
    assert result.value == min(values) and logged(str(tmp_path / "again"), **result.point) == result.value
    assert {kind: [type(v) for v in values] for kind, values in result.point.items()} == \
        {kind: [TYPES[kind]] * len(KINDS[kind + "_min"]) for kind in TYPES}
    # The recording numbers every evaluation once; the history improves at each entry and ends at the result.
    lines = [json.loads(line) for line in record.read_text().splitlines()]
    assert [line["evaluation"] for line in lines] == list(range(1, 701))
    assert sorted(line["value"] for line in lines) == sorted(values)
    counts = [count for count, _ in result.history]
    assert counts == sorted(set(counts)) and result.history[-1][1] == result.value
    assert all(later < earlier for (_, earlier), (_, later) in zip(result.history, result.history[1:]))


@pytest.mark.parametrize("distribute", ["evaluations", "runs"])
def test_small_budgets_on_several_workers_are_spent_exactly(distribute):
    # Tasks end in any order on three threads; near the end, with what is left set aside for a polish that
    # waits for the tasks under way, no other task may start (one did, of one evaluation, in 1 run of 60).
    import concurrent.futures

    calls = []

    def f(f64):
        calls.append(f64)
        return sum(x * x for x in f64)

    with concurrent.futures.ThreadPoolExecutor(3) as threads:
        for budget in list(range(2, 40)) * 4:
            calls.clear()
            result = kavell_tools.optimize(f, budget, executor=threads, distribute=distribute, **BOX)
            assert len(calls) == result.evaluations == budget, budget


def sphere_writing_into_its_list(f64):
    value = sphere(f64)
    f64[0] = 1  # f may write into its lists (an int, once its value is computed)
    return value


# "runs": a walk sent whole calls f in its own process, with the very lists it keeps.
@pytest.mark.parametrize("distribute, f", [("evaluations", sphere), ("runs", sphere),
                                           ("runs", sphere_writing_into_its_list)])
def test_walks_on_several_workers_go_on_from_the_last(distribute, f, tmp_path):
    pytest.importorskip("numpy")
    # One walk at a time beside the other tasks: sent whole to a process, a walk comes back pickled with
    # the state it ended in, which the next walk and the checkpoint go on from (a walk afresh spreads as
    # the first local box, sigma near 0.03; one that went on converging on the sphere is far narrower).
    # (A budget the walks are still converging at when it runs out: by 3,000 the last may have given out.)
    checkpoint = tmp_path / "job.json"
    options = dict(workers=2, distribute=distribute, checkpoint=checkpoint, tuning=Tuning(polish_at=()), **BOX)
    result = kavell_tools.optimize(f, 1_500, **options)
    assert result.evaluations == 1_500
    walk = kavell_tools.Checkpoint(checkpoint).load()["strategy"]["walk"]
    assert len(walk["mean"]) == 3 and 0 < walk["sigma"] < 0.01, walk
    # The walk's best is its own copy, within the bounds, floats: the job done, called again, gives its result.
    assert all(type(v) is float and -5.0 <= v <= 5.0 for v in walk["seen"]), walk["seen"]
    assert kavell_tools.optimize(f, 1_500, **options).value == result.value


@pytest.mark.parametrize("distribute", ["evaluations", "runs"])
@pytest.mark.parametrize("stop, reason", [({"target": 0.5}, "target"), ({"max_time": 0.0}, "time")])
def test_a_stop_reaches_every_worker(workers, distribute, stop, reason, tmp_path):
    import functools

    log = tmp_path / "calls"
    result = kavell_tools.optimize(functools.partial(logged, str(log), False), 200_000, distribute=distribute,
                                   polish=False, **stop, **workers, **BOX)
    # Four first global runs of 15,000 evaluations: a worker that missed the stop would finish its own.
    # Every call made, those under way at the stop included, is counted.
    values = logged_values(log)
    assert result.stop_reason == reason and len(values) == result.evaluations < 15_000
    assert result.value == min(values)


@pytest.mark.parametrize("distribute", ["evaluations", "runs"])
def test_a_failure_on_a_worker_carries_the_best_result_of_every_worker(workers, distribute, tmp_path):
    import functools

    log = tmp_path / "calls"
    with pytest.raises(kavell_tools.RunFailed) as raised:
        kavell_tools.optimize(functools.partial(logged, str(log), False, 200), 5_000, distribute=distribute,
                              **workers, **BOX)
    failure, values = raised.value, logged_values(log)
    assert isinstance(failure.__cause__, ValueError) and str(failure.__cause__) == "no score"
    assert failure.result.evaluations == len(values) and failure.result.value == min(values)
    # Each worker may fail before it sees that another did: the failure raised is one of theirs.
    assert repr(failure.point) in (tmp_path / "calls.failed").read_text().splitlines()
    # Numbered as it came back: calls under way at the failure, counted after it, may come after it.
    assert 0 < len(values) and 0 < failure.evaluation <= len(values) + 1


ENDINGS = """
import concurrent.futures, faulthandler, functools, multiprocessing, os, signal, sys, threading, time, kavell_tools
faulthandler.dump_traceback_later(540, exit=True)  # a hang shows where, within the test's guard
signal.signal(signal.SIGINT, signal.default_int_handler)  # Ctrl-C raises, also when the suite runs in the background
scenario, where, distribute, folder = sys.argv[1:5]
CALLS = os.path.join(folder, "calls")
os.environ["KAVELL_TEST_MAIN"] = str(os.getpid())


def f(f64):
    with open(CALLS, "a") as calls:
        calls.write(f"start {os.getpid()}\\n")
    if scenario == "dies" and os.path.getsize(CALLS) > 1_000 * 12:
        os._exit(3)  # once a few hundred evaluations are done (wherever the search is by then)
    if scenario == "killed" and os.path.exists(os.path.join(folder, "job.json")) and \\
            os.path.getsize(CALLS) > 30 * 20:
        os.kill(int(os.environ["KAVELL_TEST_MAIN"]), signal.SIGKILL)  # the job, not this worker
    time.sleep(0.05 if scenario == "interrupted" else 0.005)
    with open(CALLS, "a") as calls:
        calls.write(f"end {os.getpid()}\\n")
    return sum(x * x for x in f64)


def interrupt_after(lines):
    # Ctrl-C in the job's main thread, once some evaluations are done.
    while not os.path.exists(CALLS) or open(CALLS).read().count("end") < lines:
        time.sleep(0.01)
    signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)


def job(**where):
    options = {"checkpoint": os.path.join(folder, "job.json")} if scenario == "killed" else {}
    return kavell_tools.optimize(f, 3_000, distribute=distribute, f64_min=[-5.0] * 3, f64_max=[5.0] * 3,
                                 **options, **where)


def main(**where):
    if scenario == "interrupted":
        threading.Thread(target=interrupt_after, args=(20,), daemon=True).start()
    try:
        job(**where)
    except kavell_tools.RunInterrupted as error:
        print("interrupted with a result:", error.result is not None and error.result.evaluations > 0)
    except kavell_tools.RunFailed as error:
        print(str(error).split(":")[0], type(error.__cause__).__name__, error.result is not None)
    lines = open(CALLS).read().splitlines()
    started = {line.split()[1] for line in lines}
    if "workers" in where:
        # Every process of the pool optimize made is over and reaped.
        print("processes left:", multiprocessing.active_children(),
              [pid for pid in started if os.path.exists(f"/proc/{pid}")])
    else:
        # Every call started on the caller's executor has ended (or its worker has).
        print("calls under way:", sum(lines.count(f"start {pid}") - lines.count(f"end {pid}")
                                      for pid in started if running(pid)))


def running(pid):
    # A worker that died in a call may not be reaped yet by the process that started it.
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X")
    except FileNotFoundError:
        return False


if __name__ == "__main__":
    if where == "processes":
        main(workers=2)
    else:
        from dask.distributed import Client, LocalCluster
        with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=":0") as cluster, \\
                Client(cluster) as client:
            main(executor=client)
            if scenario == "dies":
                # Dask's nannies start again the workers f ended: the cluster closes once they are back, since
                # closing a nanny while its worker starts fails inside Dask ("can only join a started process").
                client.wait_for_workers(2, timeout=300)
    print("the job ended")
"""
ENDED = {
    ("interrupted", "processes"): ["interrupted with a result: True", "processes left: [] []"],
    ("interrupted", "dask"): ["interrupted with a result: True", "calls under way: 0"],
    ("dies", "processes"): ["a worker ended while it {} BrokenProcessPool True", "processes left: [] []"],
    # Dask starts a task again when its worker ended (and gives up on one that ended four workers).
    ("dies", "dask"): ["a worker ended while it {} True", "calls under way: 0"],
}


@pytest.mark.parametrize("distribute", ["evaluations", "runs"])
@pytest.mark.parametrize("scenario, where", sorted(ENDED))
def test_ctrl_c_and_a_dying_worker_end_the_job_and_leave_nothing_running(scenario, where, distribute, tmp_path):
    if where == "dask":
        pytest.importorskip("distributed")
    script = tmp_path / "job.py"
    script.write_text(ENDINGS)
    # A guard only: each ending takes seconds, but a worker's restart by Dask takes long on a loaded machine.
    run = subprocess.run([sys.executable, str(script), scenario, where, distribute, str(tmp_path)],
                         capture_output=True, text=True, timeout=600, cwd=tmp_path)
    doing = "evaluated f" if distribute == "evaluations" else "carried out a task"
    if where == "dask":
        doing += " KilledWorker" if distribute == "evaluations" else " WorkerLost"
    expected = [line.format(doing) for line in ENDED[scenario, where]]
    assert run.stdout.splitlines() == expected + ["the job ended"], run.stderr[-3000:]


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


@pytest.mark.parametrize("distribute", ["evaluations", "runs"])
def test_a_job_on_several_workers_killed_resumes_within_its_budget(distribute, tmp_path):
    import functools
    import signal

    script = tmp_path / "job.py"
    script.write_text(ENDINGS)
    with open(tmp_path / "output", "w") as output:  # not a pipe, which the pool's processes would hold open
        returncode = subprocess.run([sys.executable, str(script), "killed", "processes", distribute, str(tmp_path)],
                                    stdout=output, stderr=output, timeout=300, cwd=tmp_path).returncode
    assert returncode == -signal.SIGKILL, (tmp_path / "output").read_text()[-3000:]
    lines = (tmp_path / "calls").read_text().splitlines()
    # The processes of the killed job's pool end on their own.
    workers = {line.split()[1] for line in lines}
    for _ in range(600):
        if not any(alive(pid) for pid in workers):
            break
        time.sleep(0.1)
    assert not any(alive(pid) for pid in workers)
    before = sum(line.startswith("start") for line in lines)
    saved = kavell_tools.Checkpoint(tmp_path / "job.json").load()
    done = saved["tracker"]["evaluations"]
    # Every call the killed job started was counted as spent: those of every task under way.
    assert 0 < before <= done < 3_000
    log = tmp_path / "resumed"
    result = kavell_tools.optimize(functools.partial(logged, str(log), False), 3_000, workers=2,
                                   distribute=distribute, checkpoint=tmp_path / "job.json", **BOX)
    values = logged_values(log)
    assert len(values) == 3_000 - done and result.evaluations == 3_000 and before + len(values) <= 3_000
    assert result.value == min(values + [v for v in [saved["tracker"]["best_value"]] if v is not None])
