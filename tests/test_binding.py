"""Binding of positional and keyword arguments and its error texts."""
import ctypes

import pytest

import kavell


@pytest.mark.parametrize("args, kwargs, message", [
    ((1, 2, 3, 4, 5, 6, 7), {}, "PSO.__new__() takes from 0 to 6 positional arguments but 7 were given"),
    ((1,), {"particle_count": 2}, "PSO.__new__() got multiple values for argument 'particle_count'"),
    ((), {"speed": 2}, "PSO.__new__() got an unexpected keyword argument 'speed'"),
    ((1, 2, 3, 4, 5, 6), {"speed": 2}, "PSO.__new__() got an unexpected keyword argument 'speed'"),
    ((1, 2, 3, 4, 5, 6, 7, 8), {"speed": 2},
     "PSO.__new__() takes from 0 to 6 positional arguments but 8 were given"),
])
def test_constructor_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        kavell.PSO(*args, **kwargs)
    assert str(info.value) == message


def test_keyword_checks_follow_call_order():
    # The first offending keyword in call order decides the message.
    with pytest.raises(TypeError, match="unexpected keyword argument 'zzz'"):
        kavell.PSO(1, zzz=1, particle_count=3)
    with pytest.raises(TypeError, match="multiple values for argument 'particle_count'"):
        kavell.PSO(1, particle_count=3, zzz=1)


def test_binding_errors_come_before_conversion():
    with pytest.raises(TypeError, match="unexpected keyword"):
        kavell.PSO(particle_count="bad", speed=1)


def test_keyword_name_that_cannot_be_encoded_matches_nothing():
    name = "particle_count\ud800"
    with pytest.raises(TypeError) as info:
        kavell.PSO(**{name: 1})
    assert str(info.value) == f"PSO.__new__() got an unexpected keyword argument '{name}'"


# The binder is generic; a probe ArgumentSpec in the test-only module exercises the
# parts the PSO callables do not use (positional-only and keyword-only
# parameters). Its parameters: a (positional-only), b, c, d; a, b and c are
# required; keyword-only k (required) and m.
def probe_forms(native):
    return [native.bind_probe_tuple_dict, native.bind_probe_fastcall]


@pytest.mark.parametrize("form", [0, 1])
@pytest.mark.parametrize("args, kwargs, message", [
    ((), {"k": 1}, "probe() missing 3 required positional arguments: 'a', 'b', and 'c'"),
    ((1,), {"k": 1}, "probe() missing 2 required positional arguments: 'b' and 'c'"),
    ((1, 2), {"k": 1}, "probe() missing 1 required positional argument: 'c'"),
    ((1, 2, 3), {}, "probe() missing 1 required keyword argument: 'k'"),
    ((1, 2, 3, 4, 5), {}, "probe() takes from 3 to 4 positional arguments but 5 were given"),
    ((1, 2, 3), {"a": 1, "k": 1}, "probe() got some positional-only arguments passed as keyword arguments: 'a'"),
    ((1, 2, 3), {"b": 1, "k": 1}, "probe() got multiple values for argument 'b'"),
    ((1, 2, 3), {"k": 1, "k2": 1}, "probe() got an unexpected keyword argument 'k2'"),
])
def test_generic_binding_errors(native, form, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        probe_forms(native)[form](*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("form", [0, 1])
def test_generic_binding_fills_slots(native, form):
    bind = probe_forms(native)[form]
    assert bind(1, 2, 3, k=4) == (1, 2, 3, None, 4, None)
    assert bind(1, c=3, b=2, m=6, k=5, d=4) == (1, 2, 3, 4, 5, 6)


def test_missing_positional_counts_every_empty_required_slot(native):
    # b is given by keyword, so only 'a' and 'c' are missing.
    with pytest.raises(TypeError) as info:
        native.bind_probe_tuple_dict(b=2, k=1)
    assert str(info.value) == "probe() missing 2 required positional arguments: 'a' and 'c'"


def test_non_str_keyword_names_are_refused(native):
    # The interpreter refuses such calls itself; the binder is reached directly.
    with pytest.raises(TypeError) as info:
        native.bind_probe_raw((1, 2, 3), {7: 1})
    assert str(info.value) == "'int' object cannot be converted to 'PyString'"


def test_positional_only_name_among_other_keywords(native):
    with pytest.raises(TypeError) as info:
        native.bind_probe_raw((1, 2, 3), {"a": 1, "k": 2, "m": 3})
    assert str(info.value) == ("probe() got some positional-only arguments passed as keyword arguments: 'a'")


# --- which conversion errors are wrapped -----------------------------------------

class TypeErrorSubclass(TypeError):
    pass


def raise_plain(error):
    raise error


def raise_under_base_name(error):
    # C code may set an instance of a subclass under its base's name without
    # normalising it; the pending type is then TypeError, the instance is not.
    ctypes.pythonapi.PyErr_SetObject(ctypes.py_object(TypeError), ctypes.py_object(error))


class FailingIndex:
    def __init__(self, make_error, how):
        self.make_error, self.how = make_error, how

    def __index__(self):
        self.how(self.make_error())


CONVERSION_SITES = {
    "constructor": ("particle_count", lambda bad: kavell.PSO(particle_count=bad)),
    "min bound": ("i16_min", lambda bad: kavell.PSO().min(abs, i16_min=[bad])),
    "max bound": ("i_max", lambda bad: kavell.PSO().max(abs, i_max=[bad])),
}


@pytest.mark.parametrize("site", list(CONVERSION_SITES))
@pytest.mark.parametrize("make_error, how, wrapped", [
    (lambda: TypeError("plain"), raise_plain, True),
    (lambda: TypeErrorSubclass("plain"), raise_plain, False),
    (lambda: TypeErrorSubclass("plain"), raise_under_base_name, False),
    (lambda: ValueError("plain"), raise_plain, False),
], ids=["TypeError", "subclass", "subclass under TypeError's name", "ValueError"])
def test_only_conversion_errors_of_exactly_type_error_are_wrapped(site, make_error, how, wrapped):
    name, call = CONVERSION_SITES[site]
    expected_type = type(make_error())
    with pytest.raises(BaseException) as info:
        call(FailingIndex(make_error, how))
    if wrapped:
        assert type(info.value) is TypeError
        assert str(info.value) == f"argument '{name}': plain"
    else:
        assert type(info.value) is expected_type
        assert str(info.value) == "plain"


def raise_in_handler(cause_mode):
    def make():
        try:
            raise KeyError("inner")
        except KeyError as inner:
            if cause_mode == "from inner":
                raise TypeError("outer") from inner
            if cause_mode == "from None":
                raise TypeError("outer") from None
            raise TypeError("outer")
    return make


@pytest.mark.parametrize("site", list(CONVERSION_SITES))
@pytest.mark.parametrize("cause_mode", ["context only", "from inner", "from None"])
def test_wrapped_error_carries_only_the_original_cause(site, cause_mode):
    name, call = CONVERSION_SITES[site]
    with pytest.raises(TypeError) as original:
        raise_in_handler(cause_mode)()

    class Bad:
        def __index__(self):
            raise_in_handler(cause_mode)()

    with pytest.raises(TypeError) as info:
        call(Bad())
    assert str(info.value) == f"argument '{name}': outer"
    assert repr(info.value.__cause__) == repr(original.value.__cause__)
    # The replaced exception is not chained, neither as cause nor as context.
    assert info.value.__context__ is None


@pytest.mark.parametrize("args, kwargs, message", [
    ((1,), {"k": 1}, "Probe.keywords() takes 0 positional arguments but 1 was given"),
    ((1, 2), {}, "Probe.keywords() takes 0 positional arguments but 2 were given"),
    ((), {}, "Probe.keywords() missing 1 required keyword argument: 'k'"),
])
def test_spec_without_positional_parameters(native, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        native.bind_keyword_only_probe(*args, **kwargs)
    assert str(info.value) == message
    assert native.bind_keyword_only_probe(k="v") == "v"
