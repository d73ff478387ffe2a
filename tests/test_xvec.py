"""XVec construction, copying and element-wise arithmetic, through dict vectors
(a missing key is an empty kind; results come back as the dict view)."""

import math
import struct
from decimal import Decimal

import pytest
from hypothesis import given
from hypothesis import strategies as st

from numeric_oracles import LIMIT96, big_integers, expect_panic, f32, py_decimal, decimal_raw, same_float

KEYS = ["i8", "i16", "i32", "i64", "i128", "i", "f32", "f64", "c64", "c128", "d"]
WIDTHS = {"i8": 8, "i16": 16, "i32": 32, "i64": 64, "i128": 128}


def wrap(n, width):
    n &= (1 << width) - 1
    return n - (1 << width) if n >> (width - 1) else n


def fixed_ints(width):
    return st.integers(-(2 ** (width - 1)), 2 ** (width - 1) - 1)


# One plain value per kind, for tests about shape rather than arithmetic.
SAMPLE = {
    "i8": 1, "i16": 2, "i32": 3, "i64": 4, "i128": 5, "i": 2**70, "f32": 0.5, "f64": 0.25,
    "c64": 1 + 2j, "c128": 3 - 4j, "d": Decimal("1.5"),
}  # fmt: skip


def filled(lengths):
    return {key: [SAMPLE[key]] * n for key, n in zip(KEYS, lengths) if n}


# --- negation ----------------------------------------------------------------


@pytest.mark.parametrize(
    "key, values, expected",
    [
        ("i8", [-128, 127, 0], [-128, -127, 0]),
        ("i16", [-(2**15), 5], [-(2**15), -5]),
        ("i128", [-(2**127), 2**127 - 1], [-(2**127), -(2**127) + 1]),
        ("i", [0, 5, -(2**200)], [0, -5, 2**200]),
        ("d", [Decimal("2.50"), Decimal("-1")], [Decimal("-2.50"), Decimal("1")]),
    ],
    ids=["i8 minimum maps to itself", "i16", "i128 minimum maps to itself", "BigInt", "Decimal keeps scale"],
)
def test_neg_exact_kinds(native, key, values, expected):
    result = native.xvec_neg({key: values})[key]
    assert result == expected
    assert [str(x) for x in result] == [str(x) for x in expected]


def test_neg_flips_sign_bits_of_zeros_and_nans(native):
    nan_with_payload = struct.unpack("<d", struct.pack("<Q", 0x7FF8_0000_0000_1234))[0]
    result = native.xvec_neg(
        {"f64": [0.0, nan_with_payload], "f32": [-0.0], "c128": [complex(1, -0.0)], "d": [Decimal("0"), Decimal("0.00")]}
    )
    assert math.copysign(1, result["f64"][0]) == -1
    assert struct.unpack("<Q", struct.pack("<d", result["f64"][1]))[0] == 0xFFF8_0000_0000_1234
    assert math.copysign(1, result["f32"][0]) == 1
    (c,) = result["c128"]
    assert (c.real, math.copysign(1, c.imag)) == (-1.0, 1.0)
    assert [str(x) for x in result["d"]] == ["-0", "-0.00"]


# --- addition and subtraction, element rules ------------------------------------


@pytest.mark.parametrize("key", WIDTHS)
@given(data=st.data())
def test_fixed_width_integers_wrap(native, key, data):
    width = WIDTHS[key]
    n = data.draw(st.integers(0, 40))
    a = data.draw(st.lists(fixed_ints(width), min_size=n, max_size=n))
    b = data.draw(st.lists(fixed_ints(width), min_size=n, max_size=n))
    assert native.xvec_add({key: a}, {key: b}).get(key, []) == [wrap(x + y, width) for x, y in zip(a, b)]
    assert native.xvec_sub({key: a}, {key: b}).get(key, []) == [wrap(x - y, width) for x, y in zip(a, b)]
    assert native.xvec_neg({key: a}).get(key, []) == [wrap(-x, width) for x in a]


@pytest.mark.parametrize(
    "op, key, x, y, expected",
    [
        ("add", "i16", 32767, 1, -32768),
        ("sub", "i64", -(2**63), 1, 2**63 - 1),
        ("add", "i128", 2**127 - 1, 2**127 - 1, -2),
        ("sub", "i8", -128, 127, 1),
    ],
)
def test_wrapping_worked_cases(native, op, key, x, y, expected):
    assert getattr(native, f"xvec_{op}")({key: [x]}, {key: [y]}) == {key: [expected]}


@given(st.lists(st.tuples(big_integers, big_integers), max_size=8))
def test_bigint_sums_are_exact(native, pairs):
    a, b = [x for x, _ in pairs], [y for _, y in pairs]
    assert native.xvec_add({"i": a}, {"i": b}).get("i", []) == [x + y for x, y in pairs]
    assert native.xvec_sub({"i": a}, {"i": b}).get("i", []) == [x - y for x, y in pairs]


binary32 = st.floats(width=32)
binary64 = st.floats()


@given(st.lists(st.tuples(binary32, binary32, binary64, binary64), min_size=1, max_size=10))
def test_float_and_complex_kinds_round_in_their_own_precision(native, rows):
    a = {"f32": [r[0] for r in rows], "f64": [r[2] for r in rows],
         "c64": [complex(r[0], r[1]) for r in rows], "c128": [complex(r[2], r[3]) for r in rows]}  # fmt: skip
    b = {"f32": [r[1] for r in rows], "f64": [r[3] for r in rows],
         "c64": [complex(r[1], r[0]) for r in rows], "c128": [complex(r[3], r[2]) for r in rows]}  # fmt: skip
    for op, apply in (("add", lambda x, y: x + y), ("sub", lambda x, y: x - y)):
        result = getattr(native, f"xvec_{op}")(a, b)
        for key, rounding in (("f32", f32), ("f64", float)):
            for got, x, y in zip(result[key], a[key], b[key]):
                assert same_float(got, rounding(apply(x, y)))
        for key, rounding in (("c64", f32), ("c128", float)):
            for got, x, y in zip(result[key], a[key], b[key]):
                assert same_float(got.real, rounding(apply(x.real, y.real)))
                assert same_float(got.imag, rounding(apply(x.imag, y.imag)))


@pytest.mark.parametrize(
    "op, x, y, expected",
    [
        ("add", "1.5", "2.25", "3.75"),
        ("sub", "1.0", "1.0", "0.0"),
        ("add", "0.000", "1.5", "1.5"),
        ("sub", "0", "1.5", "-1.5"),
        ("sub", "2.50", "0", "2.50"),
        ("add", "1.0", "2", "3.0"),
    ],
)
def test_decimal_elements(native, op, x, y, expected):
    (result,) = getattr(native, f"xvec_{op}")({"d": [Decimal(x)]}, {"d": [Decimal(y)]})["d"]
    assert str(result) == expected


MAX96 = Decimal(LIMIT96 - 1)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda n: n.xvec_add({"d": [Decimal(1), MAX96]}, {"d": [Decimal(1), Decimal(1)]}), "Addition overflowed"),
        (lambda n: n.xvec_add_assign({"d": [MAX96]}, {"d": [Decimal(1)]}), "Addition overflowed"),
        (lambda n: n.xvec_sub({"d": [Decimal(-(LIMIT96 - 1))]}, {"d": [Decimal(1)]}), "Subtraction overflowed"),
        (lambda n: n.xvec_difference({"d": [Decimal(-(LIMIT96 - 1))]}, {"d": [Decimal(1)]}),
         "Subtraction overflowed"),
    ],
    ids=["add", "add_assign", "sub", "difference"],
)
def test_decimal_overflow_panics(native, call, message):
    expect_panic(lambda: call(native), message)


def test_decimal_overflow_at_scale_one_rounds_instead(native):
    big = py_decimal(decimal_raw(LIMIT96 - 1, 1))
    (result,) = native.xvec_add({"d": [big]}, {"d": [Decimal("0.1")]})["d"]
    assert str(result) == "7922816251426433759354395034"


# --- lengths and ownership ---------------------------------------------------

lengths = st.lists(st.integers(0, 4), min_size=11, max_size=11)


@given(lengths, lengths)
def test_add_and_sub_keep_the_shorter_length_per_kind(native, la, lb):
    expected = {key: min(x, y) for key, x, y in zip(KEYS, la, lb) if min(x, y)}
    for op in (native.xvec_add, native.xvec_sub, native.xvec_difference):
        result = op(filled(la), filled(lb))
        assert {key: len(values) for key, values in result.items()} == expected


@given(lengths, lengths)
def test_add_assign_keeps_the_target_length_and_tail(native, la, lb):
    target = filled(la)
    result = native.xvec_add_assign(target, filled(lb))
    assert list(result) == list(target)
    for key, nb in zip(KEYS, lb):
        n = len(target.get(key, []))
        summed = min(n, nb)
        assert result.get(key, []) == [SAMPLE[key] * 2] * summed + [SAMPLE[key]] * (n - summed)


@given(lengths, lengths, st.integers(-3, 3))
def test_difference_equals_sub_of_copies(native, la, lb, shift):
    a = filled(la)
    b = {key: [x + shift if key != "d" else x for x in values] for key, values in filled(lb).items()}
    assert native.xvec_difference(a, b) == native.xvec_sub(a, b)


def test_add_of_f32_three_and_two(native):
    a, b = {"f32": [1.0, 2.0, 3.0]}, {"f32": [10.0, 20.0]}
    assert native.xvec_add(a, b) == {"f32": [11.0, 22.0]}
    assert native.xvec_add_assign(a, b) == {"f32": [11.0, 22.0, 3.0]}


def test_kinds_missing_from_one_operand_never_fail(native):
    # A "d" sum that would overflow is never formed when b has no "d".
    a = {"i8": [1], "d": [MAX96], "i": [2**100]}
    assert native.xvec_add(a, {"i8": [2]}) == {"i8": [3]}
    assert native.xvec_sub(a, {"i8": [2]}) == {"i8": [-1]}
    assert native.xvec_add({"f64": [1.0]}, {"f64": [2.0]}) == {"f64": [3.0]}
    assert native.xvec_add_assign(a, {"i8": [2]})["d"] == [MAX96]


# --- clone and zeros_like --------------------------------------------------------


@given(lengths)
def test_clone_is_exact_and_tight(native, la):
    source = filled(la)
    source["d"] = [Decimal("1.0"), Decimal("1"), Decimal("0.00")][: la[10]]
    source = {key: values for key, values in source.items() if values}
    copy, sizes, source_after = native.xvec_clone(source)
    assert sizes == [(n, n) for n in (len(source.get(key, [])) for key in KEYS)]
    assert copy == source == source_after
    # Equal numbers, distinct representations, each kept.
    assert [str(x) for x in copy.get("d", [])] == [str(x) for x in source.get("d", [])]


def test_clone_and_zeros_like_of_empty_vector(native):
    assert native.xvec_clone({}) == ({}, [(0, 0)] * 11, {})
    assert native.xvec_zeros_like({}) == ({}, [0] * 11, [], [])


def test_zeros_like_ignores_values(native):
    source = {"i8": [-5, 7], "i": [2**90, -1, 3], "c64": [1 + 1j], "d": [Decimal("-2.50"), Decimal("7")]}
    view, sizes, raw_i, raw_d = native.xvec_zeros_like(source)
    assert sizes == [2, 0, 0, 0, 0, 3, 0, 0, 1, 0, 2]
    assert view == {"i8": [0, 0], "i": [0, 0, 0], "c64": [0j], "d": [Decimal(0), Decimal(0)]}
    assert raw_i == [(1, [])] * 3
    assert raw_d == [(0, 0, 0, 0)] * 2


def test_zeros_like_of_every_kind(native):
    view, sizes, _, _ = native.xvec_zeros_like(filled([3] * 11))
    assert sizes == [3] * 11
    for key in KEYS:
        assert all(x == 0 for x in view[key])
    assert all(math.copysign(1, x) == 1 for x in view["f32"] + view["f64"])


# --- the clamping order ---------------------------------------------------------


def test_kind_traits(native):
    traits = native.kind_traits()
    assert [key for key, _, _ in traits] == KEYS
    assert [key for key, ordered, _ in traits if not ordered] == ["c64", "c128"]
    zeros = {key: zero for key, _, zero in traits}
    assert all(zeros[key] == 0 for key in KEYS)
    assert math.copysign(1, zeros["f64"]) == 1 and math.copysign(1, zeros["f32"]) == 1
    assert str(zeros["d"]) == "0"


ordered_values = {
    "i8": fixed_ints(8), "i16": fixed_ints(16), "i32": fixed_ints(32), "i64": fixed_ints(64),
    "i128": fixed_ints(128), "i": big_integers, "f32": binary32, "f64": binary64,
}  # fmt: skip


@pytest.mark.parametrize("key", ordered_values)
@given(data=st.data())
def test_less_is_the_natural_order(native, key, data):
    pairs = data.draw(st.lists(st.tuples(ordered_values[key], ordered_values[key]), min_size=1, max_size=10))
    a, b = [x for x, _ in pairs], [y for _, y in pairs]
    if key == "f32":
        a, b = [f32(x) for x in a], [f32(y) for y in b]
    flags = native.kind_less({key: a}, {key: b})
    assert flags[key] == [x < y for x, y in zip(a, b)]
    assert "c64" not in flags and "c128" not in flags


def test_less_on_decimals_is_numeric(native):
    a = [Decimal("1.0"), Decimal("-0.00"), Decimal("0.1"), Decimal("-2"), Decimal("0.000001")]
    b = [Decimal("1"), Decimal("0"), Decimal("0.10000"), Decimal("-1.5"), Decimal("0")]
    assert native.kind_less({"d": a}, {"d": b})["d"] == [False, False, False, True, False]
    assert native.kind_less({"d": b}, {"d": a})["d"] == [False, False, False, False, True]


def test_less_with_nan_is_false(native):
    nan = math.nan
    assert native.kind_less({"f64": [nan, 1.0, nan]}, {"f64": [1.0, nan, nan]})["f64"] == [False] * 3
