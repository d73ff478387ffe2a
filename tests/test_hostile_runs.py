"""Whole runs with hypothesis-made hostile input: bounds of every kind, right
and wrong, hostile bound elements, sequences and configuration values, and
objectives whose values lie, raise or interrupt, and that re-enter the module
or change and keep their arguments. Each call runs in a worker process
(tests/hostile_worker.py, which states the rules checked), so a crash is a
failing example, not a dead test run. KAVELL_HOSTILE_EXAMPLES sets the number
of examples (the CI fuzz step runs many more)."""
import os
import pickle
import select
import struct
import subprocess
import sys
from decimal import Decimal
from pathlib import Path

import pytest
from hypothesis import HealthCheck, Phase, given, settings
from hypothesis import strategies as st

WORKER = Path(__file__).with_name("hostile_worker.py")
KINDS = ("i8", "i16", "i32", "i64", "i128", "i", "f32", "f64", "c64", "c128", "d")
WIDTH = {"i8": 8, "i16": 16, "i32": 32, "i64": 64, "i128": 128, "i": 300}
# One call, however hostile, ends well within this (even under AddressSanitizer).
TIMEOUT = 60

ACTIONS = ("ok", "raise", "kbi", "exit", "lie", "reenter")
ELEMENT_METHODS = ("__index__", "__float__", "__complex__", "__str__")
VALUE_METHODS = ("__eq__", "__lt__", "__gt__", "__bool__", "__neg__", "__del__")


def plan(methods, actions=ACTIONS):
    """Which special methods misbehave, how, and after how many normal calls."""
    after = st.one_of(st.just(0), st.integers(0, 6))
    return st.dictionaries(st.sampled_from(methods), st.tuples(st.sampled_from(actions), after), max_size=3)


def number(kind):
    """Any number the kind's conversion may meet, in range or not."""
    if kind in WIDTH:
        edge = 2 ** (WIDTH[kind] - 1)
        return st.one_of(st.integers(-9, 9), st.integers(-edge - 2, edge + 1))
    if kind in ("f32", "f64"):
        return st.one_of(st.floats(-10, 10), st.floats(), st.integers(-10, 10))
    if kind in ("c64", "c128"):
        return st.one_of(st.complex_numbers(max_magnitude=10), st.complex_numbers(), st.floats(-10, 10))
    return st.one_of(st.decimals(-10**6, 10**6, places=3), st.decimals(), st.integers(-10**30, 10**30),
                     st.floats(-1e6, 1e6))


def hostile(base, methods):
    return st.builds(lambda b, p: {"hostile": p, "base": b}, base, plan(methods))


def element(kind):
    wrong = st.sampled_from([None, "1", "x", b"", 1.5, 2**200, [1]])
    return st.one_of(number(kind), number(kind), hostile(number(kind), ELEMENT_METHODS), wrong)


@st.composite
def valid_pair(draw, kind):
    """Two in-range values of the kind with lower < upper (part by part for
    complex numbers), so that a run gets going."""
    if kind in WIDTH:
        edge = 2 ** (WIDTH[kind] - 1)
        values = st.integers(-edge, edge - 1) if kind != "i" else st.integers(-(2**200), 2**200)
    elif kind == "d":
        values = st.decimals(-10**6, 10**6, places=draw(st.integers(0, 6)))
    else:
        values = st.floats(-1e3, 1e3)
    if kind in ("c64", "c128"):
        re, im = (sorted(draw(st.lists(values, min_size=2, max_size=2, unique=True))) for _ in range(2))
        return complex(re[0], im[0]), complex(re[1], im[1])
    return tuple(sorted(draw(st.lists(values, min_size=2, max_size=2, unique=True))))


@st.composite
def sequence(draw, items, clean):
    container = draw(st.sampled_from(["list", "tuple"] if clean else ["list", "tuple", "hostile"]))
    desc = {"sequence": items, "container": container}
    if container == "hostile":
        desc["plan"] = draw(plan(("__len__", "__getitem__"), ("ok", "raise", "kbi", "exit", "lie")))
    return desc


@st.composite
def bounds(draw, clean):
    out = {}
    for kind in draw(st.lists(st.sampled_from(KINDS), max_size=4, unique=True)):
        if clean:
            pairs = draw(st.lists(valid_pair(kind), max_size=3))
            lower, upper = [pair[0] for pair in pairs], [pair[1] for pair in pairs]
        else:
            lower = draw(st.lists(element(kind), max_size=3))
            upper = draw(st.lists(element(kind), min_size=max(0, len(lower) - 1), max_size=len(lower) + 1))
        out[kind + "_min"] = draw(sequence(lower, clean))
        out[kind + "_max"] = draw(sequence(upper, clean))
    if not clean and draw(st.booleans()):
        out[draw(st.sampled_from(KINDS)) + draw(st.sampled_from(["_min", "_max"]))] = \
            draw(st.sampled_from([None, "abc", {1, 2}, 5]))
    return out


def config(clean):
    # Small swarms: an objective may nest two runs of the same size.
    count = st.integers(1, 3)
    coefficient = st.floats(-2, 2)
    if not clean:
        count = st.one_of(count, st.sampled_from([0, -1, 2**64, 1.5]), hostile(st.integers(0, 3), ("__index__",)))
        coefficient = st.one_of(coefficient, st.sampled_from([float("nan"), float("inf"), -1e308, "x"]),
                                hostile(st.floats(-2, 2), ("__float__", "__index__")))
    names = ("cognitive_coefficient", "social_coefficient", "max_velocity_ratio", "inertia_coefficient")
    return st.fixed_dictionaries({"particle_count": count, "iteration_count": st.integers(0, 2) | count},
                                 optional={name: coefficient for name in names})


objective = st.fixed_dictionaries({
    "value": st.sampled_from(["count", "float", "none", "nan", "hostile", "hostile", "hostile"]),
    "plan": plan(VALUE_METHODS, ACTIONS + ("flip",)),
    "actions": st.lists(st.tuples(st.integers(0, 5),
                                  st.sampled_from(["raise", "kbi", "exit", "nested", "nested_bad", "recurse",
                                                   "set_property", "other_pso", "keep", "mutate", "clear"])),
                        max_size=2),
})


@st.composite
def scenarios(draw):
    """Mostly clean arguments and a hostile objective; otherwise hostile
    arguments (one bad element is enough to end the call before any run)."""
    clean = draw(st.integers(0, 9)) < 7
    f = objective if clean else st.one_of(objective, st.sampled_from([5, None, len]))
    return {"config": draw(config(clean)), "method": draw(st.sampled_from(["min", "max"])),
            "bounds": draw(bounds(clean)), "f": draw(f)}


class Worker:
    """One worker process, restarted after it dies."""

    def __init__(self):
        self.process = None

    def start(self):
        self.process = subprocess.Popen([sys.executable, str(WORKER)], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def run(self, scenario):
        if self.process is None or self.process.poll() is not None:
            self.start()
        data = pickle.dumps(scenario)
        try:
            self.process.stdin.write(struct.pack("<Q", len(data)) + data)
            self.process.stdin.flush()
            reply = self._read_reply()
        except (BrokenPipeError, EOFError, TimeoutError) as error:
            return self._died(error)
        return pickle.loads(reply)

    def _read_exactly(self, n):
        out = b""
        while len(out) < n:
            ready, _, _ = select.select([self.process.stdout, self.process.stderr], [], [], TIMEOUT)
            if not ready:
                raise TimeoutError(f"no answer within {TIMEOUT}s")
            if self.process.stderr in ready:
                # Fault reports go to standard error: drain them so the worker never blocks.
                self.log = (self.log + os.read(self.process.stderr.fileno(), 65536))[-20000:]
            if self.process.stdout in ready:
                chunk = os.read(self.process.stdout.fileno(), n - len(out))
                if not chunk:
                    raise EOFError("the worker closed its output")
                out += chunk
        return out

    def _read_reply(self):
        self.log = b""
        (size,) = struct.unpack("<Q", self._read_exactly(8))
        return self._read_exactly(size)

    def _died(self, error):
        self.process.kill()
        code = self.process.wait()
        tail = (self.log + self.process.stderr.read())[-3000:].decode(errors="replace")
        self._close_pipes()
        return [f"the worker died ({error}; exit status {code}); its last output:\n{tail}"]

    def _close_pipes(self):
        for pipe in (self.process.stdin, self.process.stdout, self.process.stderr):
            try:
                pipe.close()
            except BrokenPipeError:
                pass
        self.process = None

    def close(self):
        if self.process is not None:
            process = self.process
            self._close_pipes()
            process.wait(timeout=TIMEOUT)


@pytest.fixture(scope="module")
def worker():
    w = Worker()
    yield w
    w.close()


@settings(max_examples=int(os.environ.get("KAVELL_HOSTILE_EXAMPLES", "60")), deadline=None, database=None,
          phases=[Phase.explicit, Phase.generate, Phase.shrink],
          suppress_health_check=list(HealthCheck))
@given(scenario=scenarios())
def test_hostile_call_survives_and_fails_as_specified(worker, scenario):
    problems = worker.run(scenario)
    assert not problems, "\n".join(problems)
