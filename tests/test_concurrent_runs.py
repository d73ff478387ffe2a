"""Optimisations in progress on two threads at once.

A run holds the interpreter lock except where its objective gives it up; the
objectives here give it up on every call (time.sleep(0) and a wait for their
turn), and the two runs take strictly alternate calls, so each run's state,
generator and borrow of the PSO object must survive the other run working in
between. Each run is then checked call by call against the independent model.
"""
import copy
import threading
import time
from decimal import Decimal

import pytest

import kavell
from swarm_model import SwarmModel, to_model

CONFIG = dict(particle_count=4, iteration_count=5, cognitive_coefficient=1.0, social_coefficient=1.0,
              max_velocity_ratio=0.5, inertia_coefficient=0.5)

RUNS = {
    "f64 and i8": (dict(f64_min=[-5.0, 0.0], f64_max=[5.0, 2.0], i8_min=[-100], i8_max=[100]),
                   lambda f64, i8: (f64[0] - 1.25) ** 2 + (f64[1] - 0.5) ** 2 + abs(i8[0] - 17)),
    "d and i": (dict(d_min=[Decimal("-10.00")], d_max=[Decimal("10.0")], i_min=[-(2**90)], i_max=[2**90]),
                lambda d, i: abs(d[0] - Decimal("1.25")) + abs(i[0] - 2**70) // 2**60),
    "i128 and c128": (dict(i128_min=[-(2**120)], i128_max=[2**120], c128_min=[-1 - 2j], c128_max=[3 + 1j]),
                      lambda i128, c128: abs(i128[0] - 2**100) / 2**100 + abs(c128[0] - (0.5 + 0.5j))),
}


class Alternation:
    """Hands the turn back and forth between two runs' objective calls; a run
    that has ended no longer takes turns."""

    def __init__(self):
        self.condition = threading.Condition()
        self.turn = 0
        self.ended = [False, False]
        self.log = []

    def take_turn(self, me):
        with self.condition:
            # A guard against a hang, not a measurement.
            assert self.condition.wait_for(lambda: self.turn == me or self.ended[1 - me], timeout=60)
            self.log.append(me)
            self.turn = 1 - me
            self.condition.notify_all()
        time.sleep(0)

    def end(self, me):
        with self.condition:
            self.ended[me] = True
            self.condition.notify_all()


class Objective:
    def __init__(self, me, alternation, score, sign=1, fail_at=None):
        self.me, self.alternation, self.score, self.sign, self.fail_at = me, alternation, score, sign, fail_at
        self.calls = []

    def __call__(self, **kwargs):
        self.calls.append(copy.deepcopy(kwargs))
        self.alternation.take_turn(self.me)
        if len(self.calls) == self.fail_at:
            raise LookupError("stop here")
        return self.sign * self.score(**kwargs)


def run_both(jobs):
    """Runs the two (pso, method, objective, bounds) jobs on two threads;
    returns each one's result or the exception it raised."""
    alternation = jobs[0][2].alternation
    outcomes = [None, None]

    def work(me):
        pso, method, f, bounds = jobs[me]
        try:
            outcomes[me] = getattr(pso, method)(f, **bounds)
        except BaseException as e:  # noqa: BLE001 - handed back to the test
            outcomes[me] = e
        finally:
            alternation.end(me)

    threads = [threading.Thread(target=work, args=(me,)) for me in (0, 1)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return outcomes


def check_against_model(f, bounds, outcome, config=CONFIG):
    assert not isinstance(outcome, BaseException), outcome
    value, point = outcome
    lower = {key[:-4]: list(v) for key, v in bounds.items() if key.endswith("_min")}
    upper = {key[:-4]: list(v) for key, v in bounds.items() if key.endswith("_max")}
    n = config["particle_count"]
    model = SwarmModel(config, lower, upper, f.score)
    expected = list(model.run(f.calls[:n]))
    assert len(f.calls) == len(expected) == n * (config["iteration_count"] + 1)
    for index, (want, got) in enumerate(zip(expected, f.calls)):
        assert to_model(got) == want, f"call {index}"
    best_value, best_position = model.result
    assert value == f.sign * best_value
    assert to_model(point) == best_position


def alternated(log, calls):
    k = min(calls)
    return log[: 2 * k] == [0, 1] * k


@pytest.mark.parametrize("first, second", [("f64 and i8", "d and i"), ("i128 and c128", "f64 and i8"),
                                           ("d and i", "d and i")])
@pytest.mark.parametrize("methods", [("min", "min"), ("min", "max"), ("max", "max")])
@pytest.mark.parametrize("shared_instance", [False, True], ids=["own instances", "one instance"])
def test_two_runs_at_once_each_match_the_model(first, second, methods, shared_instance):
    alternation = Alternation()
    objectives = []
    for me, (case, method) in enumerate(zip((first, second), methods)):
        objectives.append(Objective(me, alternation, RUNS[case][1], sign=-1 if method == "max" else 1))
    shared = kavell.PSO(**CONFIG)
    jobs = [(shared if shared_instance else kavell.PSO(**CONFIG), method, f, RUNS[case][0])
            for case, method, f in zip((first, second), methods, objectives)]

    outcomes = run_both(jobs)

    for (_, _, f, bounds), outcome in zip(jobs, outcomes):
        check_against_model(f, bounds, outcome)
    assert alternated(alternation.log, [len(f.calls) for f in objectives])
    # Both shared uses ended: the instance can be written again.
    shared.particle_count = 7
    assert shared.particle_count == 7


def test_a_run_failing_midway_leaves_the_other_intact():
    alternation = Alternation()
    good = Objective(0, alternation, RUNS["d and i"][1])
    bad = Objective(1, alternation, RUNS["f64 and i8"][1], sign=-1, fail_at=7)
    pso = kavell.PSO(**CONFIG)

    outcomes = run_both([(pso, "min", good, RUNS["d and i"][0]), (pso, "max", bad, RUNS["f64 and i8"][0])])

    assert type(outcomes[1]).__name__ == "PanicException"
    assert str(outcomes[1]).startswith("failed to call f: PyErr { type: <class 'LookupError'>")
    assert len(bad.calls) == 7
    check_against_model(good, RUNS["d and i"][0], outcomes[0])
    assert alternated(alternation.log, [len(good.calls), len(bad.calls)])
    pso.iteration_count = 1


def test_a_run_can_read_the_instance_another_thread_is_running_on():
    # The other thread's run holds a shared use; reads from this thread's run
    # (and its own shared use) stack on it.
    alternation = Alternation()
    pso = kavell.PSO(**CONFIG)
    seen = []

    class Reader(Objective):
        def __call__(self, **kwargs):
            seen.append((pso.particle_count, pso.inertia_coefficient))
            with pytest.raises(RuntimeError, match="Already borrowed"):
                pso.particle_count = 1
            return super().__call__(**kwargs)

    a = Reader(0, alternation, RUNS["f64 and i8"][1])
    b = Reader(1, alternation, RUNS["i128 and c128"][1])

    outcomes = run_both([(pso, "min", a, RUNS["f64 and i8"][0]), (pso, "min", b, RUNS["i128 and c128"][0])])

    check_against_model(a, RUNS["f64 and i8"][0], outcomes[0])
    check_against_model(b, RUNS["i128 and c128"][0], outcomes[1])
    assert set(seen) == {(4, 0.5)}
    pso.particle_count = 2
    assert pso.particle_count == 2
