"""Runs hostile calls of kavell in a process of its own, so that a crash ends
this process and not the test run that drives it (tests/test_hostile_runs.py).

Protocol: the driver writes pickled scenarios, each preceded by its length as
8 little-endian bytes, on standard input; for each the worker writes back, in
the same framing, the list of broken rules it found (empty when all held).

A scenario is plain data (dicts, lists, numbers, strings, decimals) that this
module turns into hostile objects: values whose special methods act normally
until their n-th call and then raise, raise KeyboardInterrupt or SystemExit,
return the wrong thing or call back into the module; sequences whose length
lies or fails; objectives that re-enter the module, change or keep the lists
they are given, or raise; values whose __del__ re-enters the module or
raises. The rules checked after each call:
- an error is of a type the call may raise: the argument errors TypeError,
  OverflowError and ValueError, MemoryError, PanicException, or what the
  hostile objects raised themselves;
- a KeyboardInterrupt or SystemExit raised by hostile code ends the call with
  itself or with PanicException, never with a normal return or an Exception;
- a normal return is a pair of an objective value (for min, one that f
  returned) and a point of the expected shape and types, whose lists are new;
- the PSO object's properties can be written again afterwards;
- on a debug interpreter, repeating the call leaves the total reference
  count flat.
"""
import faulthandler
import gc
import os
import pickle
import struct
import sys
from decimal import Decimal

import kavell

KINDS = ("i8", "i16", "i32", "i64", "i128", "i", "f32", "f64", "c64", "c128", "d")
PY_TYPES = {**dict.fromkeys(KINDS[:6], int), "f32": float, "f64": float, "c64": complex, "c128": complex,
            "d": Decimal}


class HostileError(Exception):
    """Raised by hostile code where its plan says 'raise'."""


class Call:
    """What one call of the module met: set by the hostile objects it built."""

    def __init__(self, pso):
        self.pso = pso
        self.base_raised = False
        self.produced = []  # every object f and the hostile __neg__ returned
        self.given = []  # every list f received (kept alive to compare identities)
        self.calls = 0
        self.depth = 0


CALL = None
KEPT = []  # the arguments of an objective call that an objective kept, across calls and scenarios


def misbehave(action, name, normal):
    if action == "raise":
        raise HostileError(name)
    if action in ("kbi", "exit"):
        CALL.base_raised = True
        raise KeyboardInterrupt(name) if action == "kbi" else SystemExit(name)
    if action == "reenter":
        kavell.PSO(1, 0).min(lambda **kw: 0, f64_min=[0.0], f64_max=[1.0])
        return normal()
    if action == "lie":
        return LIES[name]
    if action == "flip":
        return Truth(CALL.calls % 2 == 0, None)
    return normal()


# What a lying method returns instead of the right thing. A length beyond
# memory is a MemoryError, except under AddressSanitizer, which stops the
# process on such an allocation instead of failing it.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
LIES = {"__index__": 2**200, "__float__": "1.5", "__complex__": 1, "__str__": 5, "__eq__": NotImplemented,
        "__lt__": NotImplemented, "__gt__": NotImplemented, "__bool__": 2, "__neg__": None,
        "__len__": 10**7 if UNDER_ASAN else sys.maxsize, "__getitem__": "junk"}


class Planned:
    """Each planned special method behaves normally for its first `after`
    calls, then does what its action says."""

    def __init__(self, plan):
        self.plan = plan  # {name: (action, after)}
        self.counts = {}

    def act(self, name, normal):
        action, after = self.plan.get(name, ("ok", 0))
        seen = self.counts.get(name, 0)
        self.counts[name] = seen + 1
        return normal() if seen < after else misbehave(action, name, normal)


class Truth:
    """The result of a comparison: its truth test follows the plan of the
    value compared (no plan: an honest answer)."""

    def __init__(self, value, owner):
        self.value = value
        self.owner = owner

    def __bool__(self):
        if self.owner is None:
            return self.value
        return self.owner.act("__bool__", lambda: self.value)


def unwrap(other):
    return other.base if isinstance(other, Hostile) else other


class Hostile(Planned):
    """A number with planned special methods: a bound element or an objective value."""

    def __init__(self, base, plan):
        super().__init__(plan)
        self.base = base

    def __index__(self):
        return self.act("__index__", lambda: int(self.base))

    def __float__(self):
        return self.act("__float__", lambda: float(self.base))

    def __complex__(self):
        return self.act("__complex__", lambda: complex(self.base))

    def __str__(self):
        return self.act("__str__", lambda: str(self.base))

    def __eq__(self, other):
        return self.act("__eq__", lambda: Truth(self.base == unwrap(other), self))

    def __lt__(self, other):
        return self.act("__lt__", lambda: Truth(self.base < unwrap(other), self))

    def __gt__(self, other):
        return self.act("__gt__", lambda: Truth(self.base > unwrap(other), self))

    __hash__ = object.__hash__

    def __del__(self):
        # Runs wherever the module drops its last reference; Python reports
        # and ignores what it raises.
        action, _ = self.plan.get("__del__", ("ok", 0))
        if action == "reenter":
            kavell.PSO(1, 1).max(lambda **kw: 1, i_min=[0], i_max=[9])
        elif action == "raise":
            raise HostileError("__del__")

    def __neg__(self):
        def normal():
            negated = Hostile(-self.base, self.plan)
            negated.counts = self.counts  # one budget for a value and its negations
            return negated
        result = self.act("__neg__", normal)
        CALL.produced.append(result)
        return result


class HostileSequence(Planned):
    """A sequence read through __len__ and __getitem__, either of which may misbehave."""

    def __init__(self, items, plan):
        super().__init__(plan)
        self.items = items

    def __len__(self):
        return self.act("__len__", lambda: len(self.items))

    def __getitem__(self, index):
        return self.act("__getitem__", lambda: self.items[index])


def build(desc):
    """The object a description stands for: plain data is itself."""
    if isinstance(desc, dict) and "hostile" in desc:
        return Hostile(desc["base"], desc["hostile"])
    if isinstance(desc, dict) and "sequence" in desc:
        items = [build(item) for item in desc["sequence"]]
        container = desc["container"]
        if container == "tuple":
            return tuple(items)
        if container == "hostile":
            return HostileSequence(items, desc["plan"])
        return items
    return desc


def objective_value(desc, kw):
    count = sum(len(v) for v in kw.values() if isinstance(v, list))
    if desc["value"] == "count":
        return count
    if desc["value"] == "float":
        return float(sum(abs(complex(x)) for x in kw.get("f64", []) + kw.get("c128", [])))
    if desc["value"] == "none":
        return None
    if desc["value"] == "nan":
        return float("nan")
    return Hostile(count + CALL.calls, desc["plan"])


def act_in_objective(action, kw, scenario):
    pso = CALL.pso
    if action == "raise":
        raise HostileError("f")
    if action in ("kbi", "exit"):
        CALL.base_raised = True
        raise KeyboardInterrupt("f") if action == "kbi" else SystemExit("f")
    if action == "nested":
        pso.min(lambda **k: len(k), f64_min=[0.0], f64_max=[1.0], i_min=[0], i_max=[2**70])
    elif action == "nested_bad":
        pso.max(lambda **k: 0, f64_min=[1.0], f64_max=[0.0])
    elif action == "recurse" and CALL.depth < 2:
        CALL.depth += 1
        try:
            run_call(scenario, pso)
        finally:
            CALL.depth -= 1
    elif action == "set_property":
        pso.particle_count = pso.particle_count
    elif action == "other_pso":
        kavell.PSO(2, 1).max(lambda **k: 1, i8_min=[0], i8_max=[3])
    elif action == "keep":
        KEPT[:] = [kw]
    elif action == "mutate":
        for values in list(kw.values()) + [v for kept in KEPT for v in kept.values()]:
            values.append(Hostile(0, {"__index__": ("raise", 0), "__float__": ("raise", 0)}))
            values.reverse()
            del values[1:]
    elif action == "clear":
        for values in kw.values():
            values.clear()
        kw.clear()


def make_objective(desc, scenario):
    def f(**kw):
        CALL.calls += 1
        CALL.given.extend(kw.values())
        for when, action in desc["actions"]:
            if when == 0 or when == CALL.calls:
                act_in_objective(action, kw, scenario)
        value = objective_value(desc, kw)
        CALL.produced.append(value)
        return value
    return f


def run_call(scenario, pso):
    f = scenario["f"]
    objective = make_objective(f, scenario) if isinstance(f, dict) else f
    bounds = {name: build(desc) for name, desc in scenario["bounds"].items()}
    return getattr(pso, scenario["method"])(objective, **bounds)


def expected_shape(bounds):
    shape = {}
    for kind in KINDS:
        lower, upper = bounds.get(kind + "_min"), bounds.get(kind + "_max")
        if isinstance(lower, dict) and isinstance(upper, dict):
            n = min(len(lower["sequence"]), len(upper["sequence"]))
            if n:
                shape[kind] = n
    return shape


def check_result(result, scenario, problems):
    if not (isinstance(result, tuple) and len(result) == 2 and isinstance(result[1], dict)):
        problems.append(f"returned {result!r}, not (value, point)")
        return
    value, point = result
    if scenario["method"] == "min" and isinstance(scenario["f"], dict) and \
            not any(value is produced for produced in CALL.produced):
        problems.append(f"the best value {value!r} is none of the values f returned")
    shape = {kind: len(values) for kind, values in point.items()}
    if shape != expected_shape(scenario["bounds"]):
        problems.append(f"point shape {shape}, expected {expected_shape(scenario['bounds'])}")
    for kind, values in point.items():
        if any(values is given for given in CALL.given):
            problems.append(f"the point's {kind} list is one that f received")
        if not all(type(v) is PY_TYPES[kind] for v in values):
            problems.append(f"the point's {kind} list holds {[type(v).__name__ for v in values]}")


def check_error(error, problems):
    allowed = (TypeError, OverflowError, ValueError, MemoryError, HostileError, KeyboardInterrupt, SystemExit)
    panic = type(error).__name__ == "PanicException" and type(error).__module__ == "pyo3_runtime"
    if not isinstance(error, allowed) and not panic:
        problems.append(f"raised {type(error).__qualname__}: {str(error)[:300]}")
    if CALL.base_raised and isinstance(error, Exception):
        problems.append(f"a KeyboardInterrupt or SystemExit became {type(error).__qualname__}: {str(error)[:300]}")


def run_once(scenario):
    """Builds the PSO object and makes the call; returns the broken rules."""
    global CALL
    problems = []
    CALL = Call(None)
    try:
        pso = kavell.PSO(**{name: build(desc) for name, desc in scenario["config"].items()})
    except BaseException as error:  # noqa: BLE001 - every outcome is checked
        check_error(error, problems)
        CALL = None
        return problems
    CALL.pso = pso
    try:
        result = run_call(scenario, pso)
    except BaseException as error:  # noqa: BLE001 - every outcome is checked
        check_error(error, problems)
        del error
    else:
        if CALL.base_raised:
            problems.append("a KeyboardInterrupt or SystemExit raised during the call was swallowed")
        check_result(result, scenario, problems)
        del result
    try:
        pso.particle_count = pso.particle_count
    except BaseException as error:  # noqa: BLE001
        problems.append(f"properties still borrowed after the call: {error!r}")
    CALL = None
    return problems


def refcount_growth(scenario, repeat):
    gc.collect()
    before = sys.gettotalrefcount()
    for _ in range(repeat):
        run_once(scenario)
    gc.collect()
    return sys.gettotalrefcount() - before


def run(scenario):
    problems = run_once(scenario)
    if hasattr(sys, "gettotalrefcount"):
        run_once(scenario)  # fills the caches its paths use
        repeat = 8
        # A reference kept per call grows the total by `repeat` or more, twice.
        growth = refcount_growth(scenario, repeat)
        if growth >= repeat:
            growth = refcount_growth(scenario, repeat)
            if growth >= repeat:
                problems.append(f"the total reference count grew by {growth} over {repeat} calls")
    return problems


def main():
    faulthandler.enable()
    read, write = sys.stdin.buffer, sys.stdout.buffer
    while header := read.read(8):
        scenario = pickle.loads(read.read(struct.unpack("<Q", header)[0]))
        reply = pickle.dumps(run(scenario))
        write.write(struct.pack("<Q", len(reply)) + reply)
        write.flush()


if __name__ == "__main__":
    main()
