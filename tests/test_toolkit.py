"""kavell_tools: tracking, early stop, failures, panic conversion, multi-start, restarts."""
import concurrent.futures
import math
import pathlib
import pickle
import subprocess
import sys
import threading

import kavell
import pytest
from hypothesis import assume, given, settings as hypothesis_settings, strategies as st

import kavell_tools
from kavell_tools import RECOMMENDED, Settings
from kavell_tools._bounds import narrowed
from kavell_tools.problems import mixed, sphere, standard_problems

ROOT = pathlib.Path(__file__).resolve().parent.parent
BOX = {"f64_min": [-5.0] * 3, "f64_max": [5.0] * 3}


class Recorder:
    """An objective that remembers every value it returned, as an independent oracle."""

    def __init__(self, function=sphere, fail_at=None, error=None):
        self.function, self.fail_at, self.error = function, fail_at, error
        self.values = []

    def __call__(self, **point):
        if self.fail_at is not None and len(self.values) + 1 == self.fail_at:
            raise self.error
        value = self.function(**point)
        self.values.append(value)
        return value


def panic_of(f):
    try:
        kavell.PSO(2, 0).min(f, f64_min=[0.0], f64_max=[1.0])
    except BaseException as error:  # the module's fault type derives from BaseException only
        return error
    raise AssertionError("the run did not fail")


@pytest.mark.parametrize("maximize", [False, True])
def test_tracker_keeps_the_best_of_every_evaluation(maximize):
    recorder = Recorder()
    pso = kavell.PSO(10, 7)
    result = kavell_tools.minimize(pso, recorder, maximize=maximize, **BOX)
    best = max(recorder.values) if maximize else min(recorder.values)
    assert result.evaluations == len(recorder.values) == kavell_tools.evaluation_count(pso) == 80
    assert result.value == best and result.stop_reason is None
    assert sphere(**result.point) == best
    # The history is the running best: each entry an improvement, the last one the result.
    counts = [count for count, _ in result.history]
    assert counts == sorted(set(counts)) and result.history[0][0] == 1
    assert result.history[-1][1] == best
    for count, value in result.history:
        seen = recorder.values[:count]
        assert value == (max(seen) if maximize else min(seen))


@pytest.mark.parametrize(
    "condition, expected",
    [
        ({"max_evaluations": 17}, lambda r, values: r.evaluations == 17),
        ({"target": 2.0}, lambda r, values: r.value <= 2.0 and all(v > 2.0 for v in values[:-1])),
        ({"patience": 30}, lambda r, values: r.evaluations - r.history[-1][0] == 30),
        ({"max_time": 0.0}, lambda r, values: r.evaluations == 1),
    ],
)
def test_early_stop_returns_the_best_point_seen(condition, expected, capfd):
    recorder = Recorder()
    result = kavell_tools.minimize(kavell.PSO(20, 1_000_000), recorder, **condition, **BOX)
    assert result.stop_reason == next(iter(condition)).replace("max_", "")
    assert result.evaluations == len(recorder.values)
    assert result.value == min(recorder.values) == sphere(**result.point)
    assert expected(result, recorder.values)
    assert "EarlyStop" in capfd.readouterr().err  # the module's own fault report


@pytest.mark.parametrize(
    "error, kind",
    [(ValueError("bad point"), kavell_tools.RunFailed), (KeyboardInterrupt(), kavell_tools.RunInterrupted)],
)
def test_failure_keeps_the_best_point_and_chains_the_cause(error, kind):
    recorder = Recorder(fail_at=25, error=error)
    with pytest.raises(kind) as caught:
        kavell_tools.minimize(kavell.PSO(10, 10), recorder, **BOX)
    failure = caught.value
    assert isinstance(failure, RuntimeError) and not kavell_tools.is_panic(failure)
    assert failure.__cause__ is error
    assert failure.__context__ is None  # the module's fault cannot be pickled, so it is not kept
    assert failure.result.evaluations == 24
    assert failure.result.value == min(recorder.values)


def test_failure_before_any_evaluation_and_argument_errors():
    with pytest.raises(kavell_tools.RunFailed, match="particle_count is 0!") as caught:
        kavell_tools.minimize(kavell.PSO(0, 5), sphere, **BOX)
    assert caught.value.result is None and caught.value.__cause__ is None
    with pytest.raises(TypeError, match="f65_min"):
        kavell_tools.minimize(kavell.PSO(), sphere, f65_min=[0.0])


def test_panic_conversion_and_pickling():
    def bad(f64):
        raise ZeroDivisionError("nope")

    panic = panic_of(bad)
    assert kavell_tools.is_panic(panic) and not isinstance(panic, Exception)
    cause = ZeroDivisionError("nope")
    converted = kavell_tools.ordinary(panic, cause)
    assert isinstance(converted, kavell_tools.KavellError) and isinstance(converted, RuntimeError)
    assert str(converted) == str(panic) and converted.__cause__ is cause
    copy = pickle.loads(pickle.dumps(converted))
    assert type(copy) is kavell_tools.KavellError and str(copy) == str(panic)
    assert type(copy.__cause__) is ZeroDivisionError and copy.__cause__.args == ("nope",)
    plain = ValueError("x")
    assert kavell_tools.ordinary(plain) is plain and not kavell_tools.is_panic(plain)
    with pytest.raises(kavell_tools.KavellError, match="failed to call f") as caught:
        with kavell_tools.ordinary_errors():
            kavell.PSO(2, 0).min(bad, f64_min=[0.0], f64_max=[1.0])
    assert caught.value.__context__ is None
    with pytest.raises(ValueError):
        with kavell_tools.ordinary_errors():
            raise ValueError("passes unchanged")


def test_run_failed_pickles_with_its_result():
    recorder = Recorder(fail_at=5, error=ValueError("bad"))
    with pytest.raises(kavell_tools.RunFailed) as caught:
        kavell_tools.minimize(kavell.PSO(10, 1), recorder, **BOX)
    copy = pickle.loads(pickle.dumps(caught.value))
    assert copy.result.value == min(recorder.values) and repr(copy.__cause__) == "ValueError('bad')"


def test_progress_bar_counts_every_evaluation(capsys):
    pytest.importorskip("tqdm")
    pso = kavell.PSO(7, 5)
    result = kavell_tools.minimize(pso, sphere, progress=True, **BOX)
    assert result.evaluations == 42
    assert "42/42" in capsys.readouterr().err


def flaky(f64):
    """Fails in the first run of a sequential multi-start only (see the test below)."""
    flaky.calls += 1
    if flaky.calls == 3:
        raise ValueError("third call")
    return sphere(f64)


@pytest.mark.parametrize("executor", [None, "threads"])
def test_multistart_returns_the_best_run(executor):
    pool = concurrent.futures.ThreadPoolExecutor(2) if executor else None
    try:
        result = kavell_tools.multistart(sphere, 4, settings=Settings(10, 5), executor=pool, **BOX)
    finally:
        if pool:
            pool.shutdown()
    assert [run.index for run in result.runs] == [0, 1, 2, 3]
    assert all(run.ok and run.evaluations == 60 for run in result.runs)
    assert result.value == min(run.value for run in result.runs) == sphere(**result.point)


def test_multistart_failures_are_raised_or_reported():
    flaky.calls = 0
    with pytest.raises(kavell_tools.MultiStartFailed, match="run 0 of 3 failed") as caught:
        kavell_tools.multistart(flaky, 3, settings=Settings(5, 5), **BOX)
    assert isinstance(caught.value.__cause__, kavell_tools.RunFailed)
    assert repr(caught.value.__cause__.__cause__) == "ValueError('third call')"
    flaky.calls = 0
    result = kavell_tools.multistart(flaky, 3, settings=Settings(5, 5), errors="report", **BOX)
    assert [run.ok for run in result.runs] == [False, True, True]
    assert result.failures[0].evaluations == 2 and result.best.index in (1, 2)


def test_multistart_timeout_cancels_instead_of_waiting():
    # The objective blocks until the multi-start has returned, so the runs
    # can only end by timing out, however fast or loaded the machine is;
    # the wait's own limit only keeps a multi-start that waits from hanging.
    released = threading.Event()

    def blocked(f64):
        released.wait(60)
        return f64[0]

    pool = concurrent.futures.ThreadPoolExecutor(1)
    with pytest.raises(kavell_tools.MultiStartFailed) as caught:
        kavell_tools.multistart(blocked, 3, settings=Settings(2, 2), executor=pool, timeout=0.1,
                                f64_min=[0.0], f64_max=[1.0])
    released.set()
    pool.shutdown(cancel_futures=True)
    assert all(isinstance(run.error, TimeoutError) for run in caught.value.runs)


@pytest.mark.parametrize("budget", [1, 99, 1234, 12_001])
@pytest.mark.parametrize("problem", [p for p in standard_problems() if p.name in ("sphere-10", "mixed-10")],
                         ids=lambda p: p.name)
def test_restarts_spend_exactly_the_budget(budget, problem):
    recorder = Recorder(problem.function)
    result = kavell_tools.restarts(recorder, budget, **problem.bounds)
    assert len(recorder.values) == result.evaluations == budget
    assert result.value == min(recorder.values) == problem.function(**result.point)
    for kind, values in result.point.items():
        assert all(low <= v <= high for low, v, high in
                   zip(problem.bounds[kind + "_min"], values, problem.bounds[kind + "_max"]))


def test_restarts_maximise_and_stop_at_a_target():
    recorder = Recorder(lambda f64: -sphere(f64))
    result = kavell_tools.restarts(recorder, 3_000, maximize=True, **BOX)
    assert result.value == max(recorder.values) and result.evaluations == 3_000 and result.runs > 1
    recorder = Recorder()
    result = kavell_tools.restarts(recorder, 100_000, target=0.5, **BOX)
    assert result.stop_reason == "target" and result.value <= 0.5 < min(recorder.values[:-1])


@hypothesis_settings(max_examples=200, deadline=None)
@given(
    st.lists(st.tuples(st.integers(-10**20, 10**20), st.integers(1, 10**6), st.floats(0, 1)), min_size=1, max_size=4),
    st.floats(1e-9, 1.0),
)
def test_narrowed_boxes_stay_valid_and_hold_the_centre(spans, fraction):
    lows = [low for low, _, _ in spans]
    highs = [low + width for low, width, _ in spans]
    centre = [low + round(width * at) for low, width, at in spans]
    reals = [float(v) for v in centre]
    assume(all(float(low) < float(high) for low, high in zip(lows, highs)))
    bounds = {"i_min": lows, "i_max": highs, "f64_min": [float(v) for v in lows], "f64_max": [float(v) for v in highs],
              "d_min": ["kept"], "d_max": ["kept"]}
    box = narrowed(bounds, {"i": centre, "f64": reals, "d": [0]}, fraction)
    assert box["d_min"] == ["kept"]
    for kind, point in (("i", centre), ("f64", reals)):
        for low, new_low, value, new_high, high in zip(bounds[kind + "_min"], box[kind + "_min"], point,
                                                       box[kind + "_max"], bounds[kind + "_max"]):
            assert low <= new_low <= value <= new_high <= high and new_low < new_high
            if kind == "i":
                assert new_high - new_low <= max(2, (high - low) * fraction + 1)


def test_settings_round_trip_and_budget():
    pso = RECOMMENDED.build()
    assert Settings.of(pso) == RECOMMENDED and RECOMMENDED.evaluations == 10_000
    assert [Settings().for_budget(n).evaluations for n in (1, 150, 10_000)] == [1, 100, 10_000]
    assert pickle.loads(pickle.dumps(RECOMMENDED)) == RECOMMENDED


def test_plot_history_writes_a_log_scaled_png(tmp_path):
    plotting = pytest.importorskip("kavell_tools.plotting")
    pytest.importorskip("matplotlib")
    result = kavell_tools.minimize(kavell.PSO(10, 10), sphere, **BOX)
    path = tmp_path / "history.png"
    axes = plotting.plot_history([result, result.history], str(path), labels=["result", "history"])
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert axes.get_yscale() == "log" and axes.get_xlabel() == "objective evaluations"
    assert axes.lines[0].get_xdata()[-1] == result.evaluations


def test_mixed_problem_optimum():
    assert mixed(i64=[-3, -1, 0, 2, 4], f64=[-0.3, -0.1, 0.0, 0.2, 0.4]) == pytest.approx(0.0, abs=1e-12)
    assert math.isclose(mixed(i64=[-3, -1, 0, 2, 5], f64=[-0.3, -0.1, 0.0, 0.2, 0.5]), 1.0, abs_tol=1e-9)


def test_package_is_typed_and_passes_mypy_strict():
    pytest.importorskip("mypy")
    package = ROOT / "python" / "kavell_tools"
    assert (package / "py.typed").exists()
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(package)],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
