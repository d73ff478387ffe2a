"""kavell_tools: tracking, early stop, failures, panic conversion, multi-start, restarts."""
import concurrent.futures
import contextlib
import errno
import gc
import inspect
import json
import math
import os
import pathlib
import pickle
import re
import signal
import subprocess
import sys
import threading
import time
import types
import unittest.mock
from decimal import Decimal
from fractions import Fraction

import kavell
import pytest
from hypothesis import assume, given, settings as hypothesis_settings, strategies as st

import kavell_tools
from kavell_tools import RECOMMENDED, Settings
from kavell_tools._bounds import narrowed
from kavell_tools import _record, _tracking
from kavell_tools._record import decode, dumps, encode, read_recording
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
        ({"patience": 30, "tolerance": 0.0}, lambda r, values: r.evaluations - r.history[-1][0] == 30),
        ({"max_time": 0.0}, lambda r, values: r.evaluations == 1),
    ],
)
@pytest.mark.parametrize("iterations", [2_000, 10**9], ids=["winds down", "too long to wind down"])
def test_early_stop_returns_the_best_point_seen_promptly_and_quietly(condition, expected, iterations, capfd):
    recorder = Recorder()
    calls = []
    tracker = kavell_tools.Tracker(recorder, decode=lambda point: calls.append(1) or point, **condition)
    assert not tracker.run(kavell.PSO(20, iterations), BOX)
    result = tracker.final_result()
    assert result.stop_reason == next(iter(condition)).replace("max_", "")
    assert result.evaluations == len(recorder.values) == len(calls)  # f is not called after the stop
    assert result.value == min(recorder.values) == sphere(**result.point)
    assert expected(result, recorder.values)
    err = capfd.readouterr().err
    # A run with more calls left than it may take to wind down is ended by raising from the objective,
    # which the module reports.
    assert err == "" if iterations == 2_000 else "EarlyStop" in err


class Ranked:
    """An objective value whose comparisons know their own type only, as many a user's class does."""

    def __init__(self, value):
        self.value = value

    def __lt__(self, other):
        return self.value < other.value

    def __gt__(self, other):
        return self.value > other.value

    def __le__(self, other):
        return self.value <= other.value

    def __ge__(self, other):
        return self.value >= other.value

    def __eq__(self, other):
        return self.value == other.value

    def __neg__(self):
        return type(self)(-self.value)

    __hash__ = None


VALUES = {"float": float, "Fraction": Fraction, "Decimal": Decimal, "tuple": lambda x: (round(x), x),
          "Ranked": Ranked}


def stopped_beside_another_thread(tracker, f, stopped_at):
    """Runs in two threads on ``tracker``: the second one's first call lasts until the first run has stopped."""
    second_started, first_done, outcomes, first_calls = threading.Event(), threading.Event(), {}, []

    def objective(f64):
        if threading.current_thread().name == "second":
            second_started.set()
            assert first_done.wait(60)  # a hang guard
            return f(f64, best=False)
        first_calls.append(f64)
        return f(f64, best=len(first_calls) == stopped_at)

    def run(name):
        try:
            outcomes[name] = tracker.run(kavell.PSO(20, 500), BOX)
        except BaseException as error:
            outcomes[name] = error
        if name == "first":
            first_done.set()

    tracker.objective = objective
    second = threading.Thread(target=run, args=("second",), name="second")
    second.start()
    assert second_started.wait(60)
    run("first")
    second.join()
    return outcomes


@pytest.mark.parametrize("beside", [None, "another thread's run"])
@pytest.mark.parametrize("stopped_at", [3, 150], ids=["among the first particles", "in the iterations"])
@pytest.mark.parametrize("maximize", [False, True], ids=["min", "max"])
@pytest.mark.parametrize("kind", ["float", "float32", "Fraction", "Decimal", "tuple", "Ranked"])
def test_a_stopped_run_winds_down_quietly_whatever_its_values(kind, maximize, stopped_at, beside, capfd):
    if kind == "tuple" and maximize:
        pytest.skip("PSO.max needs __neg__, which tuples lack")
    make = pytest.importorskip("numpy").float32 if kind == "float32" else VALUES[kind]
    values = []

    def f(f64, best=False):
        # Beside another thread, the first thread's call number stopped_at meets the target; no other does.
        values.append(make(0.0) if best else make(10.0 + sphere(f64)) if beside else make(sphere(f64)))
        return -values[-1] if maximize and beside else values[-1]

    if beside is None:
        tracker = kavell_tools.Tracker(f, maximize=maximize, max_evaluations=stopped_at)
        assert not tracker.run(kavell.PSO(20, 500), BOX)
    else:
        # Each run winds its own down: the second one's is under way when the first one meets the target.
        tracker = kavell_tools.Tracker(f, maximize=maximize, target=make(0.0))
        assert stopped_beside_another_thread(tracker, f, stopped_at) == {"first": False, "second": False}
        values = [-value for value in values] if maximize else values
    result = tracker.final_result()
    assert len(values) == result.evaluations == stopped_at + (beside is not None)
    assert result.value == (max(values) if maximize else min(values))
    assert capfd.readouterr().err == ""


@pytest.fixture
def sigint_raises():
    """SIGINT raises KeyboardInterrupt, also when the suite was started with it ignored."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


def test_ctrl_c_while_a_stopped_run_winds_down_is_raised(sigint_raises):
    class Interrupting(Ranked):
        def __lt__(self, other):
            if tracker.stop_reason is not None:  # Ctrl-C after the stop, sent to this very thread
                signal.pthread_kill(threading.get_ident(), signal.SIGINT)
            return super().__lt__(other)

    tracker = kavell_tools.Tracker(lambda f64: Interrupting(sphere(f64)), max_evaluations=3)
    with pytest.raises(kavell_tools.RunInterrupted) as caught:
        tracker.run(kavell.PSO(20, 500), BOX)  # the module compares the first values once all 20 are made
    assert caught.value.result.evaluations == 3 and tracker.stop_reason == "evaluations"



@pytest.mark.parametrize("threads", [False, True])
def test_ctrl_c_during_a_multistart_keeps_the_best_of_its_runs(threads, sigint_raises):
    main = threading.get_ident()

    def interrupting(f64):
        if len(calls.values) == 249:  # in the third run of 100 evaluations
            signal.pthread_kill(main, signal.SIGINT)
        time.sleep(0.0005)  # lets the waiting thread take each finished run
        return sphere(f64)

    calls = Recorder(interrupting)
    with concurrent.futures.ThreadPoolExecutor(1) if threads else contextlib.nullcontext() as executor:
        with pytest.raises(kavell_tools.RunInterrupted) as caught:
            kavell_tools.multistart(calls, 5, executor=executor, settings=Settings(10, 9), **BOX)
    result = caught.value.result
    if threads:  # the runs finished when Ctrl-C reached the waiting thread
        assert 1 <= result.runs <= 2 and result.evaluations == 100 * result.runs
    else:  # and here the run it stopped, with its point
        assert result.runs == 3 and result.evaluations == len(calls.values) == 249
        assert caught.value.point is not None and caught.value.evaluation == 50
    assert result.value == min(calls.values[:result.evaluations])

def descriptor_2():
    status = os.fstat(2)
    return status.st_dev, status.st_ino


def open_descriptors():
    return sorted(int(name) for name in os.listdir("/proc/self/fd"))


def stopped_runs(until):
    """Runs that stop early (after 5 of 110 evaluations, or by patience), until ``until()`` is true."""
    while not until():
        kavell_tools.minimize(kavell.PSO(10, 10), sphere, max_evaluations=5, **BOX)
        kavell_tools.minimize(kavell.PSO(10, 10), sphere, maximize=True, patience=3, **BOX)


def writer_thread(written):
    def write():
        for n in range(500):
            os.write(2, b"%d\n" % n)
            written.append(n)
            time.sleep(0.0002)
    return write


def wait_for_child(pid):
    deadline = time.monotonic() + 60  # a hang guard: each child's work takes milliseconds
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            return "hung"
        time.sleep(0.01)


def forks_beside_stopping_thread(before):
    ended = threading.Event()
    thread = threading.Thread(target=stopped_runs, args=(ended.is_set,))
    thread.start()
    statuses = []
    try:
        for _ in range(30):
            pid = os.fork()
            if pid == 0:  # the child: descriptor 2 as the parent had it, and runs of its own stop
                status = 3
                try:
                    status = 2 if descriptor_2() != before else 0
                    result = kavell_tools.minimize(kavell.PSO(10, 10), sphere, max_evaluations=5, **BOX)
                    status = status or (0 if result.evaluations == 5 else 4)
                finally:
                    os._exit(status)
            statuses.append(wait_for_child(pid))
            if statuses[-1] != 0:
                break
    finally:
        ended.set()
        thread.join()
    return statuses


def interrupted_stops(count):
    """``count`` stopped runs, with Ctrl-C sent to them from another thread (at most one per run)."""
    main, armed, ended = threading.get_ident(), [False], threading.Event()

    def ctrl_c(signum, frame):
        if armed[0]:
            armed[0] = False
            raise KeyboardInterrupt

    def sender():
        while not ended.is_set():
            if armed[0]:
                signal.pthread_kill(main, signal.SIGINT)
            time.sleep(0.0003)

    previous = signal.signal(signal.SIGINT, ctrl_c)
    thread = threading.Thread(target=sender)
    thread.start()
    interrupted = 0
    try:
        for _ in range(count):
            try:
                armed[0] = True
                kavell_tools.minimize(kavell.PSO(10, 10), sphere, max_evaluations=5, **BOX)
                armed[0] = False
            except KeyboardInterrupt:
                interrupted += 1
    finally:
        armed[0] = False
        ended.set()
        thread.join()
        signal.signal(signal.SIGINT, previous)
    return interrupted


@pytest.mark.parametrize("beside", ["threads stopping", "a thread writing", "forks", "Ctrl-C"])
# Forking beside live threads is the point of the "forks" case.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded, use of fork:DeprecationWarning")
def test_stops_leave_process_wide_state_alone(beside, capfd):
    before = (descriptor_2(), open_descriptors(), sys.stderr, sys.excepthook, signal.getsignal(signal.SIGINT))
    written = []
    if beside == "threads stopping":
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            result = kavell_tools.multistart(sphere, 16, settings=Settings(10, 1000), executor=pool, patience=20,
                                             tolerance=0.0, **BOX)
        assert all(run.stop_reason == "patience" for run in result.runs)
    elif beside == "a thread writing":
        thread = threading.Thread(target=writer_thread(written))
        thread.start()
        stopped_runs(lambda: not thread.is_alive())
        thread.join()
        assert len(written) == 500
    elif beside == "forks":
        # A child forked while another thread stops a run starts with descriptor 2 as it was, and its own
        # stopped runs end.
        statuses = forks_beside_stopping_thread(before[0])
        assert statuses == [0] * 30
    else:
        assert interrupted_stops(300) > 0
    after = (descriptor_2(), open_descriptors(), sys.stderr, sys.excepthook, signal.getsignal(signal.SIGINT))
    assert after == before
    err = capfd.readouterr().err
    if beside != "Ctrl-C":  # a genuine interrupt is reported as the module reports every fault
        assert err == "".join(f"{n}\n" for n in written)  # what the other thread wrote, and nothing else


@pytest.mark.parametrize("entry", ["minimize", "optimize"])
@pytest.mark.parametrize("tolerance, stopped_at", [(None, 51), (0.0, None), (1e-13, None), (1e-10, 51)])
def test_patience_counts_only_improvements_beyond_the_tolerance(tolerance, stopped_at, entry):
    # A collapsed swarm: after the first value, each one better by 1e-12 only.
    values = iter(1.0 - n * 1e-12 for n in range(10**6))
    options = {} if tolerance is None else {"tolerance": tolerance}
    if entry == "minimize":
        result = kavell_tools.minimize(kavell.PSO(10, 10**5), lambda f64: next(values), patience=50,
                                       max_evaluations=500, **options, **BOX)
    else:
        result = kavell_tools.optimize(lambda f64: next(values), 500, patience=50, polish=False,
                                       **options, **BOX)
    assert result.evaluations == (stopped_at or 500)
    # optimize spends its budget as planned; minimize's run is cut by max_evaluations.
    assert result.stop_reason == ("patience" if stopped_at else "evaluations" if entry == "minimize" else None)
    assert len(result.history) == result.evaluations  # every value was still a strict improvement


@pytest.mark.parametrize(
    "error, kind, base",
    [(ValueError("bad point"), kavell_tools.RunFailed, RuntimeError),
     (KeyboardInterrupt(), kavell_tools.RunInterrupted, KeyboardInterrupt)],
)
def test_failure_keeps_the_best_point_and_chains_the_cause(error, kind, base, capfd):
    recorder = Recorder(fail_at=25, error=error)
    hook = sys.excepthook
    with pytest.raises(kind) as caught:
        kavell_tools.minimize(kavell.PSO(10, 10), recorder, **BOX)
    failure = caught.value
    assert sys.excepthook is hook  # a host that reports handled errors through it goes on running
    assert isinstance(failure, base) and isinstance(failure, Exception) == (base is RuntimeError)
    assert not kavell_tools.is_panic(failure)
    assert failure.__cause__ is error
    assert failure.__context__ is None  # the module's fault cannot be pickled, so it is not kept
    assert failure.result.evaluations == 24 and failure.evaluation == 25
    assert failure.result.value == min(recorder.values)
    assert set(failure.point) == {"f64"} and len(failure.point["f64"]) == 3
    assert "failed to call f" in capfd.readouterr().err  # a genuine failure is still reported
    copy = pickle.loads(pickle.dumps(failure))
    assert (type(copy), copy.point, copy.evaluation, type(copy.__cause__)) == (kind, failure.point, 25, type(error))


def fails_right_of_centre(f64):
    if f64[0] > 0.5:
        raise ValueError(f"cannot score {f64[0]!r}")
    return sphere(f64)


def test_decoded_points_are_what_f_sees_and_what_is_kept(tmp_path):
    def cost(i, calls=[]):
        calls.append(i)
        if i[0] == 3 and len(calls) > 1:  # after one evaluation, so that there is a best point
            raise ValueError("three")
        return abs(i[0] + 2)

    path = tmp_path / "run.jsonl"
    tracker = kavell_tools.Tracker(cost, decode=lambda point: {"i": [round(x) for x in point["f64"]]}, record=path)
    with pytest.raises(kavell_tools.RunFailed) as caught:
        tracker.run(kavell.PSO(200, 5), {"f64_min": [-3.4], "f64_max": [3.4]})  # some start rounds to 3
    tracker.close()
    failure = caught.value
    assert failure.point == {"i": [3]} and type(failure.point["i"][0]) is int
    assert all(set(point) == {"i"} for _, point, _, _ in read_recording(path))
    # The value of the kept point, computed apart from cost (which fails at 3 after its first call).
    assert set(failure.result.point) == {"i"} and abs(failure.result.point["i"][0] + 2) == failure.result.value


@pytest.mark.parametrize("entry", ["minimize", "optimize"])
def test_points_kept_are_those_f_was_given_even_when_it_writes_into_them(entry):
    given = []

    def overwriting(**point):
        given.append({key: list(values) for key, values in point.items()})
        value = mixed(**point)
        for values in point.values():
            values[:] = [99] * len(values)  # far outside the box
        if len(given) == 300:
            raise ValueError("the last call")
        return value

    bounds = {"i64_min": [-10] * 2, "i64_max": [10] * 2, "f64_min": [-5.0] * 2, "f64_max": [5.0] * 2}
    with pytest.raises(kavell_tools.RunFailed) as caught:
        if entry == "minimize":
            kavell_tools.minimize(kavell.PSO(20, 100), overwriting, **bounds)
        else:  # points decoded for f (integers searched as reals)
            kavell_tools.optimize(overwriting, 1_000, polish=False, **bounds)
    failure = caught.value
    assert failure.point == given[-1]
    assert failure.result.point in given and mixed(**failure.result.point) == failure.result.value


@pytest.mark.parametrize("nested", [False, True], ids=["one after the other", "the second inside f"])
@pytest.mark.parametrize("budget", [0, 1, 15, 25, 40])
def test_max_evaluations_is_never_exceeded_across_runs(budget, nested, capfd):
    recorder = Recorder()

    def f(**point):
        if nested and tracker.runs == 1 and len(recorder.values) == 1:
            tracker.run(kavell.PSO(10, 1), BOX)  # within the budget left beside this very call
        return recorder(**point)

    tracker = kavell_tools.Tracker(f, max_evaluations=budget)
    for _ in range(1 if nested else 2):
        tracker.run(kavell.PSO(10, 1), BOX)  # 20 evaluations each
    assert len(recorder.values) == tracker.evaluations == budget
    # A run after the stop does not start at all.
    assert tracker.stop_reason == "evaluations" and tracker.runs == min(2, budget if nested else -(-budget // 20))
    assert capfd.readouterr().err == ""


def test_a_failure_is_reproduced_from_its_point_and_its_recording(tmp_path):
    path = tmp_path / "run.jsonl"
    with pytest.raises(kavell_tools.RunFailed) as caught:
        kavell_tools.minimize(kavell.PSO(50, 10), fails_right_of_centre, record=path, **BOX)
    failure = caught.value
    with pytest.raises(ValueError, match=repr(failure.point["f64"][0])):
        fails_right_of_centre(**failure.point)
    lines = list(read_recording(path))
    assert [line[0] for line in lines] == list(range(1, failure.evaluation + 1))
    assert lines[-1][1:] == (failure.point, "error", repr(failure.__cause__))
    assert all(outcome == "value" and value == sphere(**point) for _, point, outcome, value in lines[:-1])
    assert kavell_tools.replay(path, fails_right_of_centre) is None
    difference = kavell_tools.replay(path, sphere)  # succeeds where the recording failed
    assert (difference.evaluation, difference.recorded_error, difference.replayed_error) == (failure.evaluation, True, False)


def test_failure_before_any_evaluation_and_argument_errors():
    with pytest.raises(kavell_tools.RunFailed, match="particle_count is 0!") as caught:
        kavell_tools.minimize(kavell.PSO(0, 5), sphere, **BOX)
    assert caught.value.result is None and caught.value.__cause__ is None
    with pytest.raises(TypeError, match="f65_min"):
        kavell_tools.minimize(kavell.PSO(), sphere, f65_min=[0.0])
    # A target that cannot be compared with the values would never be reached: the first value says so.
    with pytest.raises(kavell_tools.RunFailed, match="the target 'low' cannot be compared with the value") as caught:
        kavell_tools.minimize(kavell.PSO(5, 5), sphere, target="low", **BOX)
    assert caught.value.result.evaluations == 1


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


def test_progress_bar_counts_every_evaluation(capsys):
    pytest.importorskip("tqdm")
    pso = kavell.PSO(7, 5)
    result = kavell_tools.minimize(pso, sphere, progress=True, **BOX)
    assert result.evaluations == 42
    assert "42/42" in capsys.readouterr().err


def test_a_bar_of_the_callers_own_gets_the_total_and_stays_open():
    bar = unittest.mock.Mock(total=None)  # as tqdm(unit="eval") makes one
    result = kavell_tools.minimize(kavell.PSO(7, 5), sphere, progress=bar, max_evaluations=30, **BOX)
    assert (bar.total, bar.update.call_count, bar.close.called, result.evaluations) == (30, 30, False, 30)


def flaky(f64):
    """Fails in the first run of a sequential multi-start only (see the test below)."""
    flaky.calls += 1
    if flaky.calls == 3:
        raise ValueError("third call")
    return sphere(f64)


@pytest.mark.parametrize("executor", [None, "threads"])
def test_multistart_returns_the_best_run_and_records_each(executor, tmp_path):
    pool = concurrent.futures.ThreadPoolExecutor(2) if executor else None
    try:
        result = kavell_tools.multistart(sphere, 4, settings=Settings(10, 5), executor=pool, record=tmp_path, **BOX)
    finally:
        if pool:
            pool.shutdown()
    assert [run.index for run in result.runs] == [0, 1, 2, 3]
    assert all(run.ok and run.evaluations == 60 for run in result.runs)
    assert result.value == min(run.value for run in result.runs) == sphere(**result.point)
    for run in result.runs:
        lines = list(read_recording(tmp_path / f"run-{run.index}.jsonl"))
        assert len(lines) == 60 and min(value for _, _, _, value in lines) == run.value


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
    with pytest.raises(kavell_tools.MultiStartFailed, match="run 0 of 2 failed: the run made no evaluation"):
        kavell_tools.multistart(flaky, 2, settings=Settings(5, 5), max_evaluations=0, **BOX)


def test_multistart_timeout_says_so_and_cancels_the_runs_not_started():
    # The objective blocks until the multi-start has given up, so the runs
    # can only end by timing out, however fast or loaded the machine is; the
    # wait's own limit only keeps a multi-start that waits from hanging.
    released, calls = threading.Event(), []

    def blocked(f64):
        calls.append(1)
        released.wait(60)
        return f64[0]

    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        with pytest.raises(kavell_tools.MultiStartFailed, match=r"timed out after 0\.1 s") as caught:
            kavell_tools.multistart(blocked, 3, settings=Settings(2, 2), executor=pool, timeout=0.1,
                                    f64_min=[0.0], f64_max=[1.0])
        released.set()
    # The pool's one thread ran one run: the other two were cancelled before they started.
    assert len(calls) <= 6 and [type(run.error) for run in caught.value.runs] == [TimeoutError] * 3


def test_a_failed_run_stops_the_runs_under_way():
    first, other, after, given_up = [], [], [], threading.Event()

    def objective(f64):
        me = threading.get_ident()
        first[:] = first or [me]
        if me != first[0]:
            other.append(1)
            if after:
                given_up.wait(600)  # until the caller has its MultiStartFailed, then count
                after[0] += 1
        elif objective.calls == 2:
            while not other:  # the other run is under way
                time.sleep(0.001)
            after.append(0)
            raise ValueError("the first run fails")
        objective.calls += me == first[0]
        return sphere(f64)

    objective.calls = 0
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        with pytest.raises(kavell_tools.MultiStartFailed, match="the first run fails"):
            kavell_tools.multistart(objective, 2, settings=Settings(10, 100_000), executor=pool, **BOX)
        given_up.set()
    # The other run stops at its next look at the flag instead of making its million evaluations.
    assert after[0] <= kavell_tools._tracking.CANCEL_EVERY and len(other) < 10 * 100_001


HUNG = """
import concurrent.futures, os, signal, sys, time, kavell_tools
from kavell_tools import Settings
LOST = os.path.abspath("lost")
def hang(f64):
    if sys.argv[1] == "processes":
        signal.signal(signal.SIGTERM, signal.SIG_IGN)  # as some libraries do: a polite end does not end it
    if sys.argv[1] == "dask-lost":
        open(LOST, "w").close()  # the worker, once ended, cannot start again (see lost.py)
    time.sleep(3600)
def quick(f64):
    return f64[0]
def once(executor, f, runs=2, settings=Settings(), timeout=1):
    try:
        print(len(kavell_tools.multistart(f, runs, settings=settings, executor=executor, timeout=timeout,
                                          terminate=True, f64_min=[0.0], f64_max=[1.0]).runs))
    except kavell_tools.MultiStartFailed as error:
        print(error)
if __name__ == "__main__":
    if sys.argv[1] == "processes":
        with concurrent.futures.ProcessPoolExecutor(2) as pool:
            # Runs that stop at their next look at the flag: the pool is left as it was.
            once(pool, quick, settings=Settings(10, 10**8))
            print(pool.submit(abs, -2).result())
            workers = list(pool._processes)
            once(pool, hang)
            # Ended and reaped: no worker left running, none left a zombie.
            print("workers left:", [pid for pid in workers if os.path.exists(f"/proc/{pid}")])
    else:
        from dask.distributed import Client, LocalCluster
        if sys.argv[1] == "dask-lost":
            with open("lost.py", "w") as preload:
                preload.write(f"import os\\nif os.path.exists({LOST!r}):\\n    os._exit(3)\\n")
        with LocalCluster(n_workers=1 if sys.argv[1] == "dask-lost" else 2, threads_per_worker=1,
                          dashboard_address=None, preload=["lost.py"] if sys.argv[1] == "dask-lost" else []
                          ) as cluster, Client(cluster) as client:
            once(client, hang, runs=len(client.nthreads()))
            if sys.argv[1] == "dask":  # a second multi-start runs on the restarted workers
                once(client, quick, timeout=120)
    print("the block exited")
"""
HUNG_PRINTS = {
    "processes": ["run 0 of 2 failed: timed out after 1 s", "2", "run 0 of 2 failed: timed out after 1 s",
                  "workers left: []"],
    "dask": ["run 0 of 2 failed: timed out after 1 s", "2"],
    "dask-lost": ["run 0 of 1 failed: timed out after 1 s"],
}


@pytest.mark.parametrize("executor", sorted(HUNG_PRINTS))
def test_terminate_ends_a_hung_objective_so_the_block_exits(executor, tmp_path):
    if executor.startswith("dask"):
        pytest.importorskip("distributed")
    script = tmp_path / "hung.py"
    script.write_text(HUNG)
    run = subprocess.run([sys.executable, str(script), executor], capture_output=True, text=True, timeout=300,
                         cwd=tmp_path)
    assert run.stdout.splitlines() == HUNG_PRINTS[executor] + ["the block exited"], run.stderr[-3000:]
    if executor == "dask-lost":  # a worker that does not come back is said, never raised, and not waited for
        assert "hung.py:" in run.stderr and "RuntimeWarning: terminate=True: Dask workers did not come back" in run.stderr


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
    st.floats(1e-12, 1.0),  # restarts narrows down to 1e-12
)
def test_narrowed_boxes_stay_valid_and_hold_the_centre(spans, fraction):
    from kavell_tools._bounds import _f32

    lows = [low for low, _, _ in spans]
    highs = [low + width for low, width, _ in spans]
    centre = [low + round(width * at) for low, width, at in spans]
    reals = [float(v) for v in centre]
    assume(all(float(low) < float(high) for low, high in zip(lows, highs)))
    singles = [_f32(min(max(v, -1e38), 1e38)) for v in reals]
    assume(all(_f32(float(low)) < _f32(float(high)) for low, high in zip(lows, highs)))
    # Bounds of every type the module takes: f32 ones as decimals, which do not mix with floats.
    bounds = {"i_min": lows, "i_max": highs, "f64_min": [float(v) for v in lows], "f64_max": [float(v) for v in highs],
              "f32_min": [Decimal(v) for v in lows], "f32_max": [Decimal(v) for v in highs],
              "d_min": ["kept"], "d_max": ["kept"]}
    centres = {"i": centre, "f64": reals, "f32": [min(max(x, float(a)), float(b)) for x, a, b in zip(singles, lows, highs)]}
    try:
        import numpy
    except ImportError:
        numpy = None
    if numpy is not None:  # the whole range of i64, whose width wraps in numpy's own arithmetic
        bounds["i64_min"], bounds["i64_max"] = numpy.array([-(2**63)]), numpy.array([2**63 - 1])
        centres["i64"] = [min(max(centre[0], -(2**63)), 2**63 - 1)]
    box = narrowed(bounds, {**centres, "d": [0]}, fraction)
    assert box["d_min"] == ["kept"]
    for kind, point in centres.items():
        for low, new_low, value, new_high, high in zip(bounds[kind + "_min"], box[kind + "_min"], point,
                                                       box[kind + "_max"], bounds[kind + "_max"]):
            assert low <= new_low <= value <= new_high <= high and new_low < new_high
            if kind == "f32":  # as the module stores the box
                assert _f32(new_low) < _f32(new_high)
            if kind in ("i", "i64"):
                width, half = int(high) - int(low), max(1, int((int(high) - int(low)) * fraction) // 2)
                assert min(half, width) <= new_high - new_low <= max(2, width * fraction + 1)


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
    several = kavell_tools.multistart(sphere, 3, settings=Settings(5, 5), **BOX)
    axes = plotting.plot_history(several, str(path))  # a line per run
    assert [line.get_xdata()[-1] for line in axes.lines] == [run.evaluations for run in several.runs]


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


class Row:
    """A bound list that is a sequence to Python and the module (as a numpy array is), not a registered Sequence."""

    def __init__(self, *values):
        self.values = values

    def __len__(self):
        return len(self.values)

    def __getitem__(self, index):
        return self.values[index]


@pytest.mark.parametrize("bounds, message, error", [(*case, ValueError) if len(case) == 2 else case for case in [
    ({"f64_min": [0.0]}, "f64_min is given without f64_max"),
    ({"i32_max": [3]}, "i32_max is given without i32_min"),
    ({"f64_min": [0.0, 0.0], "f64_max": [1.0]}, r"f64_min\[1\] has no counterpart in f64_max"),
    ({"i_min": [0, 0], "i_max": [1, 10**30, 2]}, r"i_max\[2\] has no counterpart in i_min"),
    ({"i8_min": [0, 5], "i8_max": [1, 4]}, r"i8_min\[1\] = 5 is above i8_max\[1\] = 4"),
    ({"f64_min": [0.0, 1.0], "f64_max": [1.0, 1.0]}, r"f64_min\[1\] = 1.0 is not below f64_max\[1\]"),
    ({"f32_min": [1.0], "f32_max": [1.00000001]}, r"f32_min\[0\] = 1.0 is not below"),  # equal as f32
    ({"f64_min": [float("nan")], "f64_max": [1.0]}, r"f64_min\[0\] = nan is not below"),
    ({"c128_min": [0j, 0j], "c128_max": [1 + 1j, 1 + 0j]}, r"c128_min\[1\] = 0j is not below"),
    ({"d_min": ["0.5", Decimal("2.50")], "d_max": [1, "2.5"]}, r"d_min\[1\] = Decimal\('2.50'\) is not below"),
    ({}, "the box is empty"),
    ({"f64_min": [], "f64_max": []}, "the box is empty"),
    # What the module would only refuse inside the run ("range overflow"):
    ({"f64_min": [0.0, -math.inf], "f64_max": [1.0, 0.0]}, r"f64_min\[1\] = -inf is not finite"),
    ({"f64_min": [-1e308], "f64_max": [1e308]}, r"f64_max\[0\] - f64_min\[0\] = 1e\+308 - -1e\+308 overflows f64"),
    ({"f32_min": [0.0], "f32_max": [1e39]}, r"f32_max\[0\] = 1e\+39 is beyond the largest f32 value"),
    # What the module would refuse only at a run (optimize: after x0's evaluation):
    ({"d_min": [Decimal("0")], "d_max": [Decimal("1E+2")]}, r"d_max\[0\] = Decimal\('1E\+2'\) is written '1E\+2'"),
    ({"d_min": [1e-7], "d_max": [1.0]}, r"d_min\[0\] = 1e-07 is written '1e-07'"),
    ({"f32_min": [-3e38], "f32_max": [3e38]}, r"f32_max\[0\] - f32_min\[0\] = 3e\+38 - -3e\+38 overflows f32"),
    ({"c128_min": [complex(0, -1e308)], "c128_max": [complex(1, 1e308)]}, r"c128_max\[0\] - c128_min\[0\] = .* overflows"),
    # Sequences the module takes that are no registered Sequence (numpy arrays) get the same checks.
    ({"f64_min": Row(1.0), "f64_max": Row(0.0)}, r"f64_min\[0\] = 1.0 is above f64_max\[0\] = 0.0"),
    ({"f64_min": Row(0.0, 0.0), "f64_max": Row(1.0)}, r"f64_min\[1\] has no counterpart in f64_max"),
    ({"f64_min": Row(-math.inf), "f64_max": Row(0.0)}, r"f64_min\[0\] = -inf is not finite"),
    # Integer and real kinds, which optimize searches as other kinds: what the module would refuse, by name.
    ({"i8_min": [0], "i8_max": [1000]}, r"i8_max\[0\] = 1000 is outside the range of i8, \[-128, 127\]", OverflowError),
    ({"i64_min": [0], "i64_max": [2**63]}, r"i64_max\[0\] = 9223372036854775808 is outside the range of i64", OverflowError),
    ({"i64_min": [0.5], "i64_max": [3]}, r"i64_min\[0\] = 0.5 is not an integer", TypeError),
    ({"i_min": [0], "i_max": ["3"]}, r"i_max\[0\] = '3' is not an integer", TypeError),
    ({"f64_min": ["0"], "f64_max": [1.0]}, r"f64_min\[0\] = '0' is not a real number", TypeError),
    ({"f32_min": [0.0], "f32_max": [None]}, r"f32_max\[0\] = None is not a real number", TypeError),
]])
@pytest.mark.parametrize("entry", ["minimize", "restarts", "multistart", "optimize"])
def test_bounds_are_checked_before_any_run(bounds, message, error, entry):
    recorder = Recorder()
    run = {"minimize": lambda: kavell_tools.minimize(kavell.PSO(5, 5), recorder, **bounds),
           "optimize": lambda: kavell_tools.optimize(recorder, 100, **bounds),
           "restarts": lambda: kavell_tools.restarts(recorder, 100, **bounds),
           "multistart": lambda: kavell_tools.multistart(recorder, 2, settings=Settings(5, 5), **bounds)}[entry]
    with pytest.raises(error, match=message):
        run()
    assert recorder.values == []


def test_bounds_the_module_takes_pass_the_check():
    bounds = {"f32_min": [1.0], "f32_max": [1.0000001], "c64_min": [-1j], "c64_max": [1 + 1j], "i_min": [-(10**30)],
              "i_max": [10**30], "d_min": [Decimal("1.25")], "d_max": ["1.26"], "i16_min": range(2), "i16_max": b"\x05\x06",
              "i8_min": [-128, True], "i8_max": [127, 2], "f64_min": Row(Decimal(0), Fraction(1, 3)), "f64_max": Row(1, 1.0)}
    kavell_tools.check_bounds(bounds)
    point = kavell.PSO(3, 1).min(lambda **point: 0, **bounds)[1]
    assert {key: len(values) for key, values in point.items()} == {"f32": 1, "c64": 1, "i": 1, "d": 1, "i16": 2, "i8": 2,
                                                                    "f64": 2}


EXACT = st.recursive(
    st.none() | st.booleans() | st.text(max_size=5) | st.integers() | st.floats()
    | st.decimals(allow_nan=True) | st.complex_numbers(),
    lambda inner: st.lists(inner, max_size=3) | st.tuples(inner, inner) | st.dictionaries(st.text(max_size=3), inner, max_size=3),
    max_leaves=8,
)


def shape(value):
    """An independent picture of a value: its type, with floats, decimals and complex numbers by their exact text."""
    if isinstance(value, (list, tuple)):
        return type(value), [shape(item) for item in value]
    if isinstance(value, dict):
        return dict, {key: shape(item) for key, item in value.items()}
    if isinstance(value, (float, complex)):
        return type(value), repr(value)
    if isinstance(value, Decimal):
        return Decimal, str(value), value.is_signed()
    return type(value), value


@hypothesis_settings(max_examples=300, deadline=None)
@given(EXACT)
def test_saved_values_read_back_exactly(value):
    text = _record.dumps(_record.encode(value))

    def refuse(constant):
        raise AssertionError(f"{constant} is not standard JSON")

    assert shape(_record.decode(json.loads(text, parse_constant=refuse))) == shape(value)


def test_a_recording_holds_every_kind_exactly_and_replays(tmp_path):
    def cost(i, d, c128, f32):
        return (i[0] % 7, float(d[0]) + abs(c128[0]) + f32[0])

    bounds = {"i_min": [-(10**40)], "i_max": [10**40], "d_min": ["0.000000001"], "d_max": ["5"],
              "c128_min": [-1 - 1j], "c128_max": [1 + 1j], "f32_min": [0.0], "f32_max": [1.0]}
    recorded = []
    path = tmp_path / "run.jsonl"
    result = kavell_tools.minimize(kavell.PSO(5, 3), lambda **p: recorded.append(p) or cost(**p), record=path, **bounds)
    lines = list(read_recording(path))
    assert [shape(point) for _, point, _, _ in lines] == [shape(point) for point in recorded]
    assert [value for _, _, _, value in lines] == [cost(**point) for point in recorded]
    assert len(lines) == result.evaluations == 20
    assert kavell_tools.replay(path, cost) is None
    changed = lines[6][1]
    difference = kavell_tools.replay(path, lambda **p: "changed" if p == changed else cost(**p))
    first = next(line for line in lines if line[1] == changed)
    assert (difference.evaluation, difference.point, difference.replayed) == (first[0], first[1], "changed")


INTERRUPTED = """
import signal, sys, threading, time, kavell, kavell_tools
signal.signal(signal.SIGINT, signal.default_int_handler)  # as if started in the foreground
results = open(sys.argv[1], "w")  # buffered: written out as the interpreter shuts down
results.write("written before the run\\n")


def last_words():
    # Ends only after the main thread has: shutdown must wait for it.
    while threading.main_thread().is_alive():
        time.sleep(0.01)
    with open(sys.argv[1] + ".thread", "w") as done:
        done.write("finished")


threading.Thread(target=last_words).start()
calls = []


def f(f64):
    calls.append(1)
    if len(calls) == 30:
        signal.pthread_kill(threading.get_ident(), signal.SIGINT)
    return f64[0]


try:
    kavell_tools.minimize(kavell.PSO(10, 10), f, f64_min=[0.0], f64_max=[1.0])
except Exception:
    print("caught by except Exception")
except kavell_tools.RunInterrupted as interrupted:
    if sys.argv[2] == "raised as KeyboardInterrupt":
        raise KeyboardInterrupt from interrupted
    raise
"""


@pytest.mark.parametrize("ending, status", [("uncaught", 1), ("raised as KeyboardInterrupt", -signal.SIGINT)])
def test_an_uncaught_ctrl_c_under_the_toolkit_loses_nothing(ending, status, tmp_path):
    script, results = tmp_path / "interrupted.py", tmp_path / "results.txt"
    script.write_text(INTERRUPTED)
    run = subprocess.run([sys.executable, str(script), str(results), ending], capture_output=True, text=True,
                         timeout=300)
    # CPython ends a script by SIGINT only for the exact KeyboardInterrupt type; a RunInterrupted that
    # is not caught ends it with status 1, as any other uncaught exception.
    assert (run.returncode, run.stdout) == (status, ""), run.stderr[-3000:]
    assert "RunInterrupted: run interrupted after 29 evaluations" in run.stderr
    assert results.read_text() == "written before the run\n"  # a buffered file is flushed
    assert (tmp_path / "results.txt.thread").read_text() == "finished"  # and a non-daemon thread finishes


KILLED_JOB = """
import os, signal, sys, kavell_tools
from kavell_tools import Settings
checkpoint, strategy, moment = sys.argv[1:4]
calls = open(checkpoint + ".calls", "ab", buffering=0)
def f(f64):
    calls.write(b".")
    # Killed in the middle of a run, once a state is saved.
    f.seen = f.seen + 1 if os.path.exists(checkpoint) else 0
    if moment == "run" and f.seen == 7:
        os.kill(os.getpid(), signal.SIGKILL)
    return sum(x * x for x in f64)
f.seen = 0
if moment == "save":
    # Killed while the second state is being written to disk.
    flush = os.fsync
    os.fsync = lambda fd: os.kill(os.getpid(), signal.SIGKILL) if os.path.exists(checkpoint) else flush(fd)
bounds = {"f64_min": [-5.0] * 3, "f64_max": [5.0] * 3}
if strategy == "restarts":
    kavell_tools.restarts(f, 9_000, global_evaluations=2_000, checkpoint=checkpoint, **bounds)
elif strategy == "optimize":
    kavell_tools.optimize(f, 4_000, checkpoint=checkpoint, **bounds)
else:
    kavell_tools.multistart(f, 5, settings=Settings(10, 29), checkpoint=checkpoint, **bounds)
"""
BUDGETS = {"restarts": 9_000, "optimize": 4_000}


def resume_job(strategy, f, checkpoint, **options):
    if strategy == "restarts":
        return kavell_tools.restarts(f, 9_000, global_evaluations=2_000, checkpoint=checkpoint, **options, **BOX)
    if strategy == "optimize":
        return kavell_tools.optimize(f, 4_000, checkpoint=checkpoint, **options, **BOX)
    return kavell_tools.multistart(f, 5, settings=Settings(10, 29), checkpoint=checkpoint, **options, **BOX)


@pytest.mark.parametrize("moment", ["run", "save"])
@pytest.mark.parametrize("strategy", ["restarts", "optimize", "multistart"])
def test_a_killed_job_resumes_within_its_budget_and_leaves_no_file_behind(strategy, moment, tmp_path):
    checkpoint = tmp_path / "job.json"
    script = tmp_path / "job.py"
    script.write_text(KILLED_JOB)
    run = subprocess.run([sys.executable, str(script), str(checkpoint), strategy, moment], capture_output=True,
                         text=True, timeout=300)
    assert run.returncode == -signal.SIGKILL, run.stderr
    before = (tmp_path / "job.json.calls").stat().st_size
    saved = kavell_tools.Checkpoint(checkpoint).load()
    with pytest.raises(ValueError, match=rf"another job: (budget \(9000 there, 10 here\), global_evaluations differ|"
                                         rf"one of '{strategy}', not 'restarts')"):
        kavell_tools.restarts(sphere, 10, checkpoint=checkpoint, **BOX)
    if strategy == "restarts":  # its settings are part of the job too
        with pytest.raises(ValueError, match="another job: settings, local_evaluations differ"):
            resume_job(strategy, sphere, checkpoint, settings=Settings(10, 9), local_evaluations=100)
    recorder = Recorder()
    result = resume_job(strategy, recorder, checkpoint)
    assert sorted(path.name for path in tmp_path.iterdir()) == ["job.json", "job.json.calls", "job.py"]
    if strategy in BUDGETS:
        budget = BUDGETS[strategy]
        # Every call of f before and after the kill within the budget, the evaluations of the
        # killed run counted as spent (the saved state reserves them before the run starts).
        done = saved["tracker"]["evaluations"]
        assert 0 < done < budget and before <= done
        assert len(recorder.values) == budget - done and result.evaluations == budget
        assert before + len(recorder.values) <= budget
        assert result.value == min(recorder.values + [v for v in [saved["tracker"]["best_value"]] if v is not None])
    else:
        # A multi-start keeps its finished runs and runs the others again, whole.
        kept = saved["runs"]
        assert 1 <= len(kept) < 5
        assert len(recorder.values) == 300 * (5 - len(kept))
        assert [run.index for run in result.runs] == list(range(5))
        assert [(run.index, run.value, run.point) for run in result.runs[:len(kept)]] == \
            [(run["index"], run["value"], run["point"]) for run in kept]


def job(strategy, f, checkpoint, budget=1_000, **options):
    if strategy == "optimize":
        return kavell_tools.optimize(f, budget, polish=False, checkpoint=checkpoint, **options, **BOX)
    if strategy == "restarts":
        return kavell_tools.restarts(f, budget, global_evaluations=200, checkpoint=checkpoint, **options, **BOX)
    return kavell_tools.multistart(f, 3, settings=Settings(10, 9), checkpoint=checkpoint, **options, **BOX)


@pytest.mark.parametrize("strategy, stop, reason", [
    ("optimize", {"target": 2.0}, "target"), ("optimize", {"patience": 30, "tolerance": 0.0}, "patience"),
    ("optimize", {"max_time": 0.0}, "time"), ("restarts", {"target": 2.0}, "target"),
    ("restarts", {"max_time": 0.0}, "time"),
])
def test_a_stopped_job_goes_on_under_other_stop_options(strategy, stop, reason, tmp_path):
    checkpoint = tmp_path / "job.json"
    first = job(strategy, Recorder(), checkpoint, **stop)
    assert first.stop_reason == reason and first.evaluations < 1_000
    # The same options: the job is over, and f is not called.
    same = Recorder()
    again = job(strategy, same, checkpoint, **stop)
    assert same.values == [] and (again.value, again.evaluations, again.stop_reason) == \
        (first.value, first.evaluations, reason)
    # Without them, the job goes on to its budget.
    rest = Recorder()
    result = job(strategy, rest, checkpoint)
    assert len(rest.values) == 1_000 - first.evaluations and result.evaluations == 1_000
    assert result.stop_reason is None and result.value == min(rest.values + [first.value])


LOCKED_JOB = """
import os, sys, time, kavell_tools
checkpoint, ready = sys.argv[1:3]
def f(f64):
    open(ready, "w").close()
    time.sleep(3600)
kavell_tools.restarts(f, 1_000, global_evaluations=200, checkpoint=checkpoint, f64_min=[-5.0] * 3, f64_max=[5.0] * 3)
"""


@pytest.mark.parametrize("strategy", ["optimize", "restarts", "multistart"])
def test_a_checkpoint_serves_one_job_at_a_time(strategy, tmp_path):
    checkpoint, ready = tmp_path / "job.json", tmp_path / "ready"
    script = tmp_path / "job.py"
    script.write_text(LOCKED_JOB)
    other = subprocess.Popen([sys.executable, str(script), str(checkpoint), str(ready)], stderr=subprocess.PIPE)
    try:
        for _ in range(6000):  # up to 60 s for the other job to start
            if ready.exists() or other.poll() is not None:
                break
            time.sleep(0.01)
        assert ready.exists(), other.stderr.read()
        recorder = Recorder()
        link = tmp_path / "link.json"
        link.symlink_to(checkpoint)
        # A bar of the caller's: a job refused its checkpoint does not start it (its total stays unset).
        bar = types.SimpleNamespace(total=None, update=recorder, close=recorder)
        for path in (checkpoint, link):  # reached through a symbolic link, the checkpoint is the same
            with pytest.raises(BlockingIOError, match=f"in use by process {other.pid}.*{re.escape(str(path))}"):
                job(strategy, recorder, path, **({} if strategy == "multistart" else {"progress": bar}))
        assert recorder.values == [] and bar.total is None
    finally:
        other.kill()
        other.wait()
        other.stderr.close()
    # In one process too: a job whose objective starts another on the same checkpoint.
    inner = tmp_path / "nested.json"
    nested = Recorder(lambda f64: job(strategy, Recorder(), inner).value)
    with pytest.raises((kavell_tools.RunFailed, kavell_tools.MultiStartFailed)) as caught:
        job(strategy, nested, inner)
    cause = caught.value.__cause__
    cause = cause.__cause__ if isinstance(cause, kavell_tools.RunFailed) else cause
    assert isinstance(cause, BlockingIOError) and "in use by this process" in str(cause)
    # A child forked while this process holds the checkpoint is another process: it waits for the lock,
    # then takes it.
    held = kavell_tools.Checkpoint(checkpoint)
    held.lock()
    (tried_read, tried_write), (released_read, released_write) = os.pipe(), os.pipe()
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            other_job = kavell_tools.Checkpoint(checkpoint)
            try:
                other_job.lock()
            except BlockingIOError as error:
                status = 2 if f"in use by process {os.getppid()}" in str(error) else 3
            os.write(tried_write, b"x")
            if status == 2 and os.read(released_read, 1) == b"x":
                other_job.lock()
                status = 0
        finally:
            os._exit(status)
    os.close(tried_write)  # so that a child that ends early gives an end of file, not a hang
    os.close(released_read)
    tried = os.read(tried_read, 1)
    held.unlock()
    os.write(released_write, b"x")
    os.close(tried_read)
    os.close(released_write)
    assert tried == b"x" and wait_for_child(pid) == 0
    # The killed job's lock went with it: the job resumes here, and saves where the link points.
    if strategy == "restarts":
        assert job(strategy, Recorder(), link).evaluations == 1_000
        assert link.is_symlink() and job(strategy, Recorder(), checkpoint).evaluations == 1_000


@pytest.mark.parametrize("moment", ["as it is locked", "in the with machinery"])
@pytest.mark.parametrize("strategy", ["optimize", "restarts", "multistart"])
def test_ctrl_c_just_as_the_checkpoint_is_taken_gives_it_up(strategy, moment, tmp_path, monkeypatch):
    # The moments between taking the checkpoint and the code that gives it up on the way out: a Ctrl-C there
    # must not leave it marked as held by this process, or every later job on it is refused. In the with
    # machinery (a generator suspended at its yield, the block not entered), a reference cycle of the
    # traceback's (kept here) would keep the generator, and the checkpoint, for good.
    checkpoint, kept = tmp_path / "job.json", []
    lock, held = kavell_tools._checkpoint.Checkpoint.lock, kavell_tools._checkpoint.Job.held

    def taken_then_interrupted(self):
        lock(self)
        raise KeyboardInterrupt

    @contextlib.contextmanager
    def entered_then_interrupted(self):
        inner = held(self)
        inner.__enter__()
        kept.append(inner)
        raise KeyboardInterrupt
        yield  # pragma: no cover

    if moment == "as it is locked":
        monkeypatch.setattr(kavell_tools._checkpoint.Checkpoint, "lock", taken_then_interrupted)
    else:
        monkeypatch.setattr(kavell_tools._checkpoint.Job, "held", entered_then_interrupted)
    with pytest.raises((KeyboardInterrupt, kavell_tools.RunInterrupted)):
        job(strategy, Recorder(), checkpoint)
    monkeypatch.undo()
    recorder = Recorder()
    job(strategy, recorder, checkpoint)
    assert recorder.values
    # The suspended generator never gave it up: the job's own release did.
    assert all(inspect.getgeneratorstate(inner.gen) == "GEN_SUSPENDED" for inner in kept)


@pytest.mark.skipif(hasattr(sys, "gettotalrefcount") and sys.version_info < (3, 12),
                    reason="on CPython 3.11's debug build, Ctrl-C inside os.stat is a fatal error of the interpreter "
                           "(its stat result is built on with the KeyboardInterrupt still set)")
@pytest.mark.parametrize("strategy", ["optimize", "restarts"])
def test_ctrl_c_at_any_moment_of_a_checkpointed_job_keeps_its_result_and_the_job_resumes(strategy, tmp_path):
    # Ctrl-C at random moments, in f or in the job's own work (saves with their fsync, the lock, the strategy
    # between runs), one per call of the job, then a call that ends the job.
    checkpoint, calls = tmp_path / "job.json", Recorder()
    main, armed, ended = threading.get_ident(), [False], threading.Event()

    def ctrl_c(signum, frame):
        if armed[0]:
            armed[0] = False
            raise KeyboardInterrupt

    def sender():
        while not ended.is_set():
            time.sleep(0.002 + 0.02 * (len(calls.values) % 97) / 97)
            if armed[0]:
                signal.pthread_kill(main, signal.SIGINT)

    # The garbage of earlier tests is finalised now, not while armed: a Ctrl-C raised in a finaliser (a
    # Popen's __del__) is swallowed there, and the job it was meant for would run to its end. numpy (the
    # frame's and the walks') is imported now too: one interrupted in its first import stays unusable in the
    # process ("CPU dispatcher tracer already initlized", sic), numpy's own limit, whichever test imports it first.
    with contextlib.suppress(ImportError):
        import numpy  # noqa: F401
    gc.collect()
    gc.disable()
    previous = signal.signal(signal.SIGINT, ctrl_c)
    thread = threading.Thread(target=sender)
    thread.start()
    interrupted, result = 0, None
    try:
        for attempt in range(41):  # 40 interrupts, then a call that ends the job
            armed[0], before = attempt < 40, len(calls.values)
            try:
                result = job(strategy, calls, checkpoint, budget=3_000,
                             **({"local_evaluations": 50} if strategy == "restarts" else {}))
                break
            except kavell_tools.RunInterrupted as error:
                interrupted += 1
                assert error.result is None or error.result.evaluations <= len(calls.values)
            except KeyboardInterrupt:  # only before the job starts (in the check of its arguments), not after
                assert len(calls.values) == before
            finally:
                armed[0] = False
    finally:
        ended.set()
        thread.join()
        signal.signal(signal.SIGINT, previous)
        gc.enable()
    # Never a checkpoint left held by no job, nor a save that failed: the job resumed to its end.
    assert interrupted > 0 and result.evaluations == 3_000 and len(calls.values) <= 3_000
    assert sorted(path.name for path in tmp_path.iterdir()) == ["job.json"]


def edited(path, change):
    saved = json.loads(path.read_text())
    change(saved)
    path.write_text(json.dumps(saved))


def tracker_state(saved):
    return saved["state"]["dict"]["tracker"]["dict"]


EDITS = {
    "cut short": lambda path: path.write_text(path.read_text()[:-40]),
    "not json": lambda path: path.write_bytes(b"\x00\xff not json"),
    "a list": lambda path: path.write_text("[]"),
    "no tracker": lambda path: edited(path, lambda saved: saved["state"]["dict"].pop("tracker")),
    "negative count": lambda path: edited(path, lambda saved: tracker_state(saved).update(evaluations=-20_000)),
    "count over budget": lambda path: edited(path, lambda saved: tracker_state(saved).update(evaluations=1_001)),
    "count as text": lambda path: edited(path, lambda saved: tracker_state(saved).update(evaluations="12")),
    "history not a list": lambda path: edited(path, lambda saved: tracker_state(saved).update(history=7)),
    "unknown tag": lambda path: edited(path, lambda saved: tracker_state(saved).update(best_value={"code": "1"})),
    "huge literal": lambda path: path.write_text(path.read_text().replace('"runs":', '"runs":' + "9" * 5000 + ',"x":', 1)),
    "best point outside the box": lambda path: edited(
        path, lambda saved: tracker_state(saved).update(best_point=encode({"f64": [99.0, 0.0, 0.0]}))),
    "best point of another shape": lambda path: edited(
        path, lambda saved: tracker_state(saved).update(best_point=encode({"f64": [0.0], "i": [1]}))),
}


@pytest.mark.parametrize("edit", sorted(EDITS))
@pytest.mark.parametrize("strategy", ["optimize", "restarts"])
def test_a_damaged_checkpoint_is_refused_with_its_name(strategy, edit, tmp_path):
    checkpoint = tmp_path / "job.json"
    interrupted = Recorder(fail_at=300, error=KeyboardInterrupt())
    with pytest.raises(kavell_tools.RunInterrupted):
        job(strategy, interrupted, checkpoint)
    EDITS[edit](checkpoint)
    recorder = Recorder()
    with pytest.raises(ValueError, match=re.escape(str(checkpoint)) + ".*(not a|damaged)"):
        job(strategy, recorder, checkpoint)
    assert recorder.values == []


OUTSIDE = {"index": 0, "value": -1.0, "point": {"f64": [99.0, 0.0, 0.0]}, "evaluations": 1, "elapsed": 0.0,
           "stop_reason": None, "history": []}


@pytest.mark.parametrize("runs", [[{"index": 7}], "runs", [{"index": 0, "evaluations": "x"}], [OUTSIDE]])
def test_a_damaged_multistart_checkpoint_is_refused_with_its_name(runs, tmp_path):
    checkpoint = tmp_path / "job.json"
    job("multistart", Recorder(), checkpoint)
    edited(checkpoint, lambda saved: saved["state"]["dict"].update(runs=encode(runs)))
    recorder = Recorder()
    with pytest.raises(ValueError, match=re.escape(str(checkpoint)) + ".*(not a|damaged)"):
        job("multistart", recorder, checkpoint)
    assert recorder.values == []


HUGE = 10**5000  # beyond the 4300 digits int() and str() take by default


def test_values_the_module_takes_are_saved_exactly(tmp_path):
    np = pytest.importorskip("numpy")
    for value in [HUGE, -HUGE, [HUGE + 1, (2**64,)], np.int64(-7), np.uint8(200), np.float32(0.1),
                  np.float16(-2.5), np.complex64(1 - 2j), np.bool_(True), np.float64("nan")]:
        exact = value.item() if isinstance(value, np.generic) else value
        assert shape(decode(json.loads(dumps(encode(value))))) == shape(exact)

    def cost(i, i64):
        return np.float32((i[0] - HUGE) / 8 + abs(i64[0] - 2))

    bounds = {"i_min": [HUGE], "i_max": [HUGE + 100], "i64_min": [np.int64(-5)], "i64_max": [np.int64(5)]}
    checkpoint, record = tmp_path / "job.json", tmp_path / "run.jsonl"
    result = kavell_tools.optimize(cost, 300, x0={"i": [HUGE + 50], "i64": [0]}, checkpoint=checkpoint, record=record,
                                   **bounds)
    assert result.evaluations == 300 and kavell_tools.replay(record, cost) is None
    with pytest.raises(ValueError, match=r"i_min\[0\] = <int of 16610 bits> is above i_max\[0\] = <int of 16610 bits>"):
        kavell_tools.check_bounds({"i_min": [HUGE + 1], "i_max": [HUGE]})  # said, where repr() cannot
    calls = Recorder(cost)
    again = kavell_tools.optimize(calls, 300, checkpoint=checkpoint, **bounds)
    assert calls.values == [] and (again.value, again.point) == (result.value, result.point)
    with pytest.raises(ValueError, match=r"another job: budget \(300 there, 301 here\) differs$"):  # not shown whole
        kavell_tools.optimize(calls, 301, checkpoint=checkpoint, **bounds)
    # The module's own points resume too: a complex value it let out of its box (it does not clamp
    # them), and no value of a kind without elements.
    far = {"c128_min": [-1 - 1j], "c128_max": [1 + 1j], "f64_min": [], "f64_max": [], "i8_min": [0], "i8_max": [3]}

    def escape(c128, i8):
        return -abs(c128[0]) + i8[0]

    result = kavell_tools.restarts(escape, 300, checkpoint=tmp_path / "far.json", **far)
    assert abs(result.point["c128"][0]) > abs(1 + 1j) and "f64" not in result.point
    calls = Recorder(escape)
    again = kavell_tools.restarts(calls, 300, checkpoint=tmp_path / "far.json", **far)
    assert calls.values == [] and (again.value, again.point) == (result.value, result.point)


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs Linux's /dev/full")
@pytest.mark.parametrize("strategy", ["minimize", "optimize", "restarts", "multistart"])
def test_what_a_job_cannot_save_fails_first_or_keeps_the_result(strategy, tmp_path, capfd):
    (tmp_path / "file").write_text("")
    full = tmp_path / "full"
    full.mkdir()
    (full / "run-0.jsonl").symlink_to("/dev/full")
    record = {"missing": tmp_path / "file" / "run.jsonl", "full": full if strategy == "multistart" else "/dev/full"}

    def run(f, target, **options):
        if strategy == "minimize":
            return kavell_tools.minimize(kavell.PSO(10, 20), f, record=target, **options, **BOX)
        if strategy == "multistart":
            return kavell_tools.multistart(f, 1, settings=Settings(10, 20), record=target, **BOX)
        return job(strategy, f, None, record=target, **options)

    recorder = Recorder()
    with pytest.raises(OSError):  # a path that cannot be opened fails before any call of f, and draws no bar
        run(recorder, record["missing"], progress=True)
    assert recorder.values == [] and "eval" not in capfd.readouterr().err
    with pytest.raises((kavell_tools.SaveFailed, kavell_tools.MultiStartFailed), match="/dev/full|run-0") as caught:
        run(recorder, record["full"])
    failure = caught.value.__cause__ if strategy == "multistart" else caught.value
    assert isinstance(failure, kavell_tools.SaveFailed) and isinstance(failure, kavell_tools.RunFailed)
    assert isinstance(failure.__cause__, OSError) and failure.__cause__.errno == errno.ENOSPC
    # Stopped after the first evaluation, whose line could not be written, with its result.
    assert failure.result.evaluations == len(recorder.values) == 1 and failure.result.value == recorder.values[0]
    assert caught.value.__context__ is None
    if strategy == "minimize":
        return
    # A value a checkpoint cannot keep: the job ends at the next save, with its result.
    fractions = Recorder(lambda f64: Fraction(sphere(f64)))
    checkpoint = tmp_path / "job.json"
    with pytest.raises((kavell_tools.SaveFailed, kavell_tools.MultiStartFailed), match="cannot save") as caught:
        if strategy == "multistart":
            kavell_tools.multistart(fractions, 1, settings=Settings(10, 20), checkpoint=checkpoint, **BOX)
        else:
            job(strategy, fractions, checkpoint)
    assert isinstance(caught.value.__cause__, TypeError) and "Fraction" in str(caught.value.__cause__)
    if strategy == "multistart":
        assert [run.ok for run in caught.value.runs] == [True]
        return
    result = caught.value.result
    assert result.evaluations == len(fractions.values) < 1_000 and result.value == min(fractions.values)
    # Ctrl-C in the middle of a save, outside every call of f (here where the best value is written, at
    # the start of the second run), ends the job with its result too.
    first = Recorder(lambda f64: Interrupted(-1.0) if not first.values else sphere(f64))
    with pytest.raises(kavell_tools.RunInterrupted) as caught:
        job(strategy, first, tmp_path / "interrupted.json")
    assert caught.value.result.value == -1.0 and 1 < caught.value.result.evaluations == len(first.values) < 1_000
    assert type(caught.value.__cause__) is KeyboardInterrupt


class Interrupted(float):
    """A value whose conversion to a float, which a checkpoint makes, is where Ctrl-C lands."""

    def __float__(self):
        raise KeyboardInterrupt


def test_replay_matches_nan_of_every_kind_and_skips_a_line_cut_short(tmp_path):
    nan = float("nan")
    values = [nan, complex(nan, 1.0), complex(2.0, nan), Decimal("NaN"), Decimal("-sNaN"), (1, nan), 3.5]
    path = tmp_path / "run.jsonl"
    recording = _record.Recording(path)
    for evaluation, value in enumerate(values, start=1):
        recording.write(evaluation, {"f64": [float(evaluation)]}, "value", value)
    recording.close()

    def again(f64):
        return values[int(f64[0]) - 1]

    assert kavell_tools.replay(path, again) is None
    # A kill in the middle of a line leaves it cut short, at the end: replay skips it.
    whole = path.read_text()
    path.write_text(whole + whole.splitlines()[0][:25])
    assert kavell_tools.replay(path, again) is None
    difference = kavell_tools.replay(path, lambda f64: 0.0 if f64[0] == 2.0 else again(f64))
    assert (difference.evaluation, difference.replayed) == (2, 0.0)

    def writes_into_its_list(f64):
        value = 0.0 if f64[0] == 2.0 else again(f64)
        f64[0] = 99.0
        return value

    difference = kavell_tools.replay(path, writes_into_its_list)  # the point recorded, not what f made of it
    assert (difference.evaluation, difference.point) == (2, {"f64": [2.0]})
    # Anywhere else, a bad line is an error naming the file and the line.
    lines = whole.splitlines(keepends=True)
    path.write_text("".join(lines[:2]) + lines[2][:25] + "\n" + "".join(lines[3:]))
    with pytest.raises(ValueError, match=re.escape(f"{path}, line 3")):
        kavell_tools.replay(path, again)


def test_a_resumed_recording_drops_the_line_a_kill_cut_short(tmp_path):
    checkpoint, record = tmp_path / "job.json", tmp_path / "run.jsonl"
    with pytest.raises(kavell_tools.RunInterrupted):
        job("optimize", Recorder(fail_at=300, error=KeyboardInterrupt()), checkpoint, record=record)
    with open(record, "a") as file:
        file.write('{"evaluation":300,"point":{"f64":[0.5,')
    job("optimize", Recorder(), checkpoint, record=record)
    lines = list(read_recording(record))  # the cut line is gone, the next one whole
    assert [n for n, _, outcome, _ in lines if outcome == "value"] == list(range(1, 1_001))


@pytest.mark.parametrize("package, use, message", [
    ("matplotlib", "import kavell_tools.plotting",
     "kavell_tools.plotting needs matplotlib: pip install matplotlib (or kavell[plot])"),
    ("scipy", "kavell_tools.optimize(f, 2000, polish=True, f64_min=[0.0], f64_max=[1.0])",
     'polish=True needs scipy: pip install scipy (or "kavell[polish]")'),
    ("tqdm", "kavell_tools.optimize(f, 2000, progress=True, f64_min=[0.0], f64_max=[1.0])",
     "progress=True needs tqdm: pip install tqdm (or kavell[progress])"),
])
def test_an_optional_package_missing_is_said_before_any_run(package, use, message):
    source = (f"import sys; sys.modules[{package!r}] = None\nimport kavell_tools\n"
              "def f(f64):\n    print('f was called')\n    return f64[0]\n" + use)
    run = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True, timeout=300)
    assert f"ModuleNotFoundError: {message}" in run.stderr and "f was called" not in run.stdout


def test_the_readme_shows_what_its_commands_print():
    text = (ROOT / "README.md").read_text()
    blocks = re.findall(r"^```(\w+)\n(.*?)^```$", text, re.S | re.M)
    snippet, shown_snippet = blocks[0][1], blocks[1][1]
    command = next(body for language, body in blocks if language == "sh" and "examples/mixed_integer.py" in body)
    shown_example = blocks[[body for _, body in blocks].index(command) + 1][1]
    # Without the polish extra in the command, the example runs as if scipy were not installed.
    hide = "" if ".[polish]" in command or ".[all]" in command else "sys.modules['scipy'] = None\n"
    example = f"import runpy, sys\n{hide}runpy.run_path({str(ROOT / 'examples' / 'mixed_integer.py')!r}, run_name='__main__')"

    def value(out):  # the best value: the first number printed
        return float(out.split()[2] if out.startswith("best cost:") else out.split()[0])

    def typical(source):  # the median of three runs
        runs = [subprocess.run([sys.executable, "-c", source], capture_output=True, text=True, timeout=300,
                               check=True).stdout for _ in range(3)]
        return sorted(runs, key=value)[1]

    # A typical run prints a value within two orders of magnitude of the one shown. Below 1e-8 a cost
    # counts as solved, and its digits are noise (the median of three runs of the example fell to 3e-11
    # once, against 5e-9 shown): such values compare as 1e-8.
    example_out = typical(example)
    for shown, out in ((shown_snippet, typical(snippet)), (shown_example, example_out)):
        assert abs(math.log10(max(value(out), 1e-8)) - math.log10(max(value(shown), 1e-8))) <= 2, (shown, out)
    lines = dict(line.split(":", 1) for line in example_out.splitlines())
    expected = dict(line.split(":", 1) for line in shown_example.splitlines())
    assert lines.keys() == expected.keys() and lines["machines"] == expected["machines"]
    assert abs(float(lines["speed"]) - float(expected["speed"])) < 1e-3
