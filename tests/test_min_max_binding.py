"""Binding of PSO.min / PSO.max: parameters, bound conversion and its errors."""
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
    with pytest.raises(ValueError, match="^Invalid decimal: unknown character$"):
        pso.min(abs, d_min=[1e-7])


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
