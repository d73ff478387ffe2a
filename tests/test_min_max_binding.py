"""Binding of PSO.min / PSO.max: parameters, bound conversion and its errors."""
import array
import cmath
import operator
from decimal import Decimal

import pytest

import kavell

PARAMETERS = ["f"] + [f"{kind}_{end}" for kind in
                      ["i8", "i16", "i32", "i64", "i128", "i", "f32", "f64", "c64", "c128", "d"]
                      for end in ("min", "max")]


def record(calls):
    def f(**kwargs):
        calls.append(kwargs)
        return 0
    return f


@pytest.fixture
def pso():
    return kavell.PSO(particle_count=2, iteration_count=1)


@pytest.mark.parametrize("method", ["min", "max"])
def test_text_signature_and_doc(method):
    function = getattr(kavell.PSO, method)
    assert function.__doc__ is None
    assert function.__text_signature__ == "($self, " + ", ".join(
        [PARAMETERS[0]] + [f"{name}=..." for name in PARAMETERS[1:]]) + ")"


@pytest.mark.parametrize("method", ["min", "max"])
@pytest.mark.parametrize("call, message", [
    (lambda m: m(), "PSO.{}() missing 1 required positional argument: 'f'"),
    (lambda m: m(*range(24)), "PSO.{}() takes from 1 to 23 positional arguments but 24 were given"),
    (lambda m: m(abs, x_min=[1]), "PSO.{}() got an unexpected keyword argument 'x_min'"),
    (lambda m: m(abs, f=abs), "PSO.{}() got multiple values for argument 'f'"),
    (lambda m: m(abs, [0], i8_min=[1]), "PSO.{}() got multiple values for argument 'i8_min'"),
    (lambda m: m(abs, i8_min="abc"), "argument 'i8_min': Can't extract `str` to `Vec`"),
    (lambda m: m(abs, d_max="1.5"), "argument 'd_max': Can't extract `str` to `Vec`"),
    (lambda m: m(abs, i8_min=None), "argument 'i8_min': 'NoneType' object cannot be converted to 'Sequence'"),
    (lambda m: m(abs, f64_max={1.0}), "argument 'f64_max': 'set' object cannot be converted to 'Sequence'"),
    (lambda m: m(abs, i_min=(x for x in [1])),
     "argument 'i_min': 'generator' object cannot be converted to 'Sequence'"),
    (lambda m: m(abs, i8_min="x", d_max=None), "argument 'i8_min': Can't extract `str` to `Vec`"),
])
def test_binding_errors(pso, method, call, message):
    with pytest.raises(TypeError) as info:
        call(getattr(pso, method))
    assert str(info.value) == message.format(method)


def test_element_errors(pso):
    import operator

    with pytest.raises(OverflowError) as info:
        pso.min(abs, i8_min=[300])
    assert str(info.value) == "out of range integral type conversion attempted"
    with pytest.raises(TypeError) as info:
        pso.min(abs, i16_min=[1.5])
    with pytest.raises(TypeError) as reference:
        operator.index(1.5)
    assert str(info.value) == f"argument 'i16_min': {reference.value}"
    with pytest.raises(ValueError) as info:
        pso.min(abs, d_min=[1e-7])
    assert str(info.value) == "Invalid decimal: unknown character"


def test_no_bounds_calls_f_without_arguments(pso):
    calls = []
    value, point = pso.min(record(calls))
    assert calls == [{}] * 4 and (value, point) == (0, {})


def test_positional_bounds(pso):
    calls = []
    pso.min(record(calls), [0], [10])
    assert all(set(c) == {"i8"} and 0 <= c["i8"][0] < 10 for c in calls)


@pytest.mark.parametrize("kwargs", [
    dict(f64_min=[0.0], f64_max=[1.0]),
    dict(f64_min=(0.0,), f64_max=(1.0,)),
    dict(f64_min=range(0, 1), f64_max=range(1, 2)),
])
def test_sequences_and_keyword_f(pso, kwargs):
    calls = []
    pso.min(f=record(calls), **kwargs)
    assert len(calls) == 4 and all(0.0 <= c["f64"][0] <= 1.0 for c in calls)


def test_bytes_bounds_for_integer_kinds(pso):
    calls = []
    pso.min(record(calls), i16_min=b"\x00\x05", i16_max=b"\x03\x09")
    for call in calls:
        assert 0 <= call["i16"][0] <= 3 and 5 <= call["i16"][1] <= 9


def test_unpaired_and_unequal_bound_lengths(pso):
    calls = []
    pso.min(record(calls), i8_min=[0], i32_min=[0, 0, 0], i32_max=[5, 5])
    assert all(set(c) == {"i32"} and len(c["i32"]) == 2 for c in calls)


def test_non_callable_f_passes_binding(pso):
    with pytest.raises(BaseException) as info:
        pso.min(5, f64_min=[0.0], f64_max=[1.0])
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value).startswith("failed to call f: PyErr { type: <class 'TypeError'>")


def test_properties_writable_after_failed_calls(pso):
    for bad in (lambda: pso.min(abs, i8_min="x"), lambda: pso.min(lambda **k: 1 / 0)):
        with pytest.raises(BaseException):
            bad()
        pso.particle_count = 3
        assert pso.particle_count == 3


@pytest.mark.parametrize("method", ["min", "max"])
def test_wrong_receiver_is_refused_by_the_method_descriptor(method):
    # The interpreter checks the receiver of a method descriptor before the
    # call reaches the binding; its own wording, taken from a built-in type.
    with pytest.raises(TypeError) as reference:
        list.append(5, abs)
    with pytest.raises(TypeError) as info:
        getattr(kavell.PSO, method)(5, abs)
    assert str(info.value) == str(reference.value).replace("'append'", f"'{method}'").replace("'list'", "'builtins.PSO'")


# --- where a bound conversion failed: exception notes --------------------------

def conversion_error(call):
    """The exception a call raises, and what it would be without notes."""
    with pytest.raises(BaseException) as info:
        call()
    error = info.value
    return error, type(error), str(error), error.args, getattr(error, "__notes__", None)


class FailingIter(list):
    def __iter__(self):
        raise LookupError("no iteration today")


class Noted:
    def __repr__(self):
        return "Noted()"

    def __index__(self):
        error = ArithmeticError("own")
        error.__notes__ = ["its own note"]
        raise error


def interpreter_text(action):
    try:
        action()
    except BaseException as error:
        return str(error)
    raise AssertionError("expected a failure")


@pytest.mark.parametrize("method", ["min", "max"])
@pytest.mark.parametrize("bounds, kind, text, notes", [
    (dict(i8_min=[0, 1.5]), TypeError,
     "argument 'i8_min': " + interpreter_text(lambda: operator.index(1.5)), ["while converting i8_min[1] = 1.5"]),
    (dict(i16_max=[0, 1, 40000]), OverflowError, "out of range integral type conversion attempted",
     ["while converting i16_max[2] = 40000"]),
    (dict(f64_min=[0.0], c128_max=["3"]), TypeError,
     "argument 'c128_max': " + interpreter_text(lambda: cmath.sqrt("3")),
     ["while converting c128_max[0] = '3'"]),
    (dict(d_min=[1e-7]), ValueError, "Invalid decimal: unknown character", ["while converting d_min[0] = 1e-07"]),
    (dict(d_max=[Decimal("1E+2")]), ValueError, "Invalid decimal: unknown character",
     ["while converting d_max[0] = Decimal('1E+2')"]),
    (dict(d_max=[10**30]), ValueError, "Invalid decimal: overflow from too many digits",
     [f"while converting d_max[0] = {10**30}"]),
    (dict(i32_min=None), TypeError, "argument 'i32_min': 'NoneType' object cannot be converted to 'Sequence'",
     ["while converting i32_min = None"]),
    (dict(i_max="abc"), TypeError, "argument 'i_max': Can't extract `str` to `Vec`",
     ["while converting i_max = 'abc'"]),
    (dict(f32_min=FailingIter([1.0])), LookupError, "no iteration today", ["while iterating f32_min"]),
    (dict(i64_min=[Noted()]), ArithmeticError, "own", ["its own note", "while converting i64_min[0] = Noted()"]),
])
def test_bound_errors_carry_a_note_naming_the_element(pso, method, bounds, kind, text, notes):
    error, error_type, message, args, got = conversion_error(lambda: getattr(pso, method)(abs, **bounds))
    assert error_type is kind
    assert message == text and args == (text,)
    assert got == notes


def test_note_shows_a_long_repr_cut_short(pso):
    value = 2**1000
    error, error_type, message, args, notes = conversion_error(lambda: pso.min(abs, i8_min=[value]))
    assert error_type is OverflowError and args == (message,)
    assert message == interpreter_text(lambda: array.array("l", [value]))
    prefix = "while converting i8_min[0] = "
    assert notes == [prefix + str(value)[:200] + "..."]


def test_replaced_type_error_keeps_its_cause_and_gains_the_note(pso):
    class Caused:
        def __index__(self):
            try:
                raise KeyError("root")
            except KeyError as root:
                raise TypeError("wrapped") from root

    error, _, message, _, notes = conversion_error(lambda: pso.min(abs, i_min=[Caused()]))
    assert message == "argument 'i_min': wrapped"
    assert isinstance(error.__cause__, KeyError)
    assert len(notes) == 1 and notes[0].startswith("while converting i_min[0] = <")


# --- interrupts during a conversion pass unchanged -------------------------------

class Interrupting:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error

    __float__ = __complex__ = __index__

    def __str__(self):
        return "1"


class InterruptingText(Interrupting):
    """A d element whose integer route fails ordinarily, so that its str() is read."""

    def __index__(self):
        raise TypeError("no index")

    def __str__(self):
        raise self.error


class InterruptingLength(list):
    def __init__(self, error):
        super().__init__([1])
        self.error = error

    def __len__(self):
        raise self.error


class InterruptingIter(InterruptingLength):
    __len__ = list.__len__

    def __iter__(self):
        raise self.error


class CustomBase(BaseException):
    pass


@pytest.mark.parametrize("error_type", [KeyboardInterrupt, SystemExit, GeneratorExit, CustomBase])
@pytest.mark.parametrize("where", [
    lambda error: dict(d_min=[Interrupting(error)]),
    lambda error: dict(d_max=[0, 0, Interrupting(error)]),
    lambda error: dict(i8_min=InterruptingLength(error)),
    lambda error: dict(d_min=InterruptingLength(error)),
    lambda error: dict(i8_min=[0, Interrupting(error)]),
    lambda error: dict(i_max=[Interrupting(error)]),
    lambda error: dict(f64_min=[Interrupting(error)]),
    lambda error: dict(c64_max=[Interrupting(error)]),
    lambda error: dict(d_min=[InterruptingText(error)]),
    lambda error: dict(f32_min=InterruptingIter(error)),
], ids=["d __index__", "d __index__ at 2", "__len__ i8", "__len__ d", "i8 __index__", "i __index__",
        "f64 __float__", "c64 __complex__", "d __str__", "__iter__"])
def test_interrupts_in_a_conversion_are_raised_unchanged(pso, error_type, where):
    raised = error_type("stop")
    f_calls = []
    for attempt in range(2):  # the same object raised again stays as it was
        with pytest.raises(error_type) as info:
            pso.min(record(f_calls), **where(raised))
        assert info.value is raised and f_calls == []
        assert not hasattr(raised, "__notes__") and raised.args == ("stop",)


@pytest.mark.parametrize("error_type", [ValueError, OverflowError, TypeError])
def test_a_shared_error_raised_again_gets_its_note_once(pso, error_type):
    shared = error_type("shared")
    bounds = dict(i16_min=[0, Interrupting(shared)], i16_max=[1, 2])
    for attempt in range(3):
        error, _, _, _, notes = conversion_error(lambda: pso.min(abs, **bounds))
        # A TypeError is replaced by a prefixed copy; the copy carries the note over.
        assert (error is shared) == (error_type is not TypeError)
        assert notes == ["while converting i16_min[1] = " + repr(bounds["i16_min"][1])]
    assert shared.__notes__ == notes


@pytest.mark.parametrize("error", [ValueError("x"), ArithmeticError("y"), TypeError("z")])
def test_ordinary_errors_of_decimal_index_still_fall_back_to_str(pso, error):
    calls = []
    pso.min(record(calls), d_min=[Interrupting(error)], d_max=[2])
    assert calls and all(str(c["d"][0]) == "1" for c in calls)
