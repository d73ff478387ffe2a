"""The interpreter's total reference count over many runs, successful and
failing, of every kind: flat on a debug interpreter (sys.gettotalrefcount
exists only there). A reference kept per run would grow the total by at least
the number of repetitions."""
import gc
import sys
from decimal import Decimal

import pytest

import kavell

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter")

REPEAT = 60
# The few references a measurement itself makes (frames, the loop variable).
SLACK = 10

BOUNDS = {
    "i8": ([-5], [5]), "i16": ([-50], [50]), "i32": ([0, -3], [9, 3]), "i64": ([-(2**40)], [2**40]),
    "i128": ([-(2**100)], [2**100]), "i": ([-(10**40), 0], [10**40, 2**200]), "f32": ([0.0], [1.0]),
    "f64": ([-1.0], [1.0]), "c64": ([0j], [1 + 1j]), "c128": ([-1 - 1j], [1 + 1j]),
    "d": ([Decimal("-1.5"), 0], [Decimal("2.25"), 7]),
}


def bounds_of(*keys):
    out = {}
    for key in keys:
        out[key + "_min"], out[key + "_max"] = BOUNDS[key]
    return out


ALL = bounds_of(*BOUNDS)
PSO = kavell.PSO(4, 3)


def score(**kw):
    return len(kw)


def expect_panic(call):
    try:
        call()
    except BaseException as e:  # noqa: BLE001 - only PanicException is expected
        assert type(e).__name__ == "PanicException", e
    else:
        raise AssertionError("no PanicException")


def expect(error, call):
    with pytest.raises(error):
        call()


class NoNeg:
    def __lt__(self, other):
        return True


class NegGivesNoNeg:
    def __neg__(self):
        return NoNeg()

    def __lt__(self, other):
        return False


class Unorderable:
    def __eq__(self, other):
        raise ValueError

    __lt__ = __gt__ = __eq__


def raising(**kw):
    raise ZeroDivisionError("bad")


def nested_panic(**kw):
    return PSO.min(score, f64_min=[1.0], f64_max=[0.0])


def nested_run(**kw):
    return PSO.min(score, i8_min=[0], i8_max=[3])[0]


def assigning(**kw):
    PSO.particle_count = 3


def properties():
    p = kavell.PSO()
    for name in ("particle_count", "iteration_count", "cognitive_coefficient", "social_coefficient",
                 "max_velocity_ratio", "inertia_coefficient"):
        setattr(p, name, getattr(p, name))
        expect(TypeError, lambda: setattr(p, name, "x"))
        expect(AttributeError, lambda: delattr(p, name))
    expect(OverflowError, lambda: setattr(p, "particle_count", -1))


SCENARIOS = {
    "min over all kinds": lambda: PSO.min(score, **ALL),
    "max over all kinds": lambda: PSO.max(score, **ALL),
    "each kind alone": lambda: [PSO.max(score, **bounds_of(key)) for key in BOUNDS],
    "no bounds": lambda: PSO.min(lambda: None),
    "nested run": lambda: PSO.min(nested_run, f64_min=[0.0], f64_max=[1.0]),
    "bad bounds": lambda: [expect_panic(lambda k=key: PSO.min(score, **{k + "_min": BOUNDS[k][1],
                                                                           k + "_max": BOUNDS[k][0]}))
                           for key in BOUNDS],
    "raising f": lambda: expect_panic(lambda: PSO.min(raising, **ALL)),
    "f not callable": lambda: expect_panic(lambda: PSO.min(5, **ALL)),
    "no __neg__": lambda: expect_panic(lambda: PSO.max(lambda **kw: NoNeg(), **ALL)),
    "final __neg__ fails": lambda: expect_panic(lambda: PSO.max(lambda **kw: NegGivesNoNeg(), **ALL)),
    "failed compare": lambda: expect_panic(lambda: PSO.min(lambda **kw: Unorderable(), **ALL)),
    "nested panic": lambda: expect_panic(lambda: PSO.min(nested_panic, **ALL)),
    "assignment inside f": lambda: expect_panic(lambda: PSO.min(assigning, **ALL)),
    "no particles": lambda: expect_panic(lambda: kavell.PSO(0).min(score, **ALL)),
    "decimal overflow": lambda: expect_panic(lambda: kavell.PSO(3, 3, max_velocity_ratio=10.0).min(
        score, d_min=[Decimal("-79228162514264337593543950334")], d_max=[Decimal("79228162514264337593543950334")])),
    "bad bound elements": lambda: [expect(OverflowError, lambda: PSO.min(score, i8_min=[300])),
                                   expect(TypeError, lambda: PSO.min(score, i16_min=[1, 1.5])),
                                   expect(ValueError, lambda: PSO.min(score, d_min=[1e-7])),
                                   expect(TypeError, lambda: PSO.min(score, f64_max=None))],
    "binding errors": lambda: [expect(TypeError, lambda: PSO.min()),
                               expect(TypeError, lambda: PSO.min(score, f=score)),
                               expect(TypeError, lambda: PSO.min(score, x_min=[1]))],
    "properties": properties,
    "constructor errors": lambda: [expect(TypeError, lambda: kavell.PSO(1, 2, 3, 4, 5, 6, 7)),
                                   expect(TypeError, lambda: kavell.PSO(particle_count=1.5)),
                                   expect(OverflowError, lambda: kavell.PSO(particle_count=-1))],
}


@pytest.mark.parametrize("scenario", list(SCENARIOS))
def test_total_reference_count_stays_flat(scenario):
    body = SCENARIOS[scenario]
    for _ in range(5):  # fills the caches: decimal.Decimal, interned names, type caches
        body()
    gc.collect()
    before = sys.gettotalrefcount()
    for _ in range(REPEAT):
        body()
    gc.collect()
    assert sys.gettotalrefcount() - before < SLACK
