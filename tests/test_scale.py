"""XVec::scale: each kind in its own arithmetic, saturation for the
fixed-width integers, and the three faults in kind order."""

import math
from decimal import Decimal

import pytest
from hypothesis import example, given
from hypothesis import strategies as st

from numeric_oracles import (
    LIMIT96,
    big_integers,
    decimal_fraction,
    decimal_raw,
    decimals,
    expect_panic,
    expected_from_exact,
    f32,
    py_decimal,
    raw_of_py_decimal,
    same_float,
    truncated_to_double,
)

WIDTHS = {"i8": 8, "i16": 16, "i32": 32, "i64": 64, "i128": 128}
INF, NAN = math.inf, math.nan


def saturate(p, width):
    """Exact reference: Python compares floats with ints exactly."""
    low, high = -(2 ** (width - 1)), 2 ** (width - 1) - 1
    if math.isnan(p):
        return 0
    if p < low:
        return low
    if p > high:
        return high
    return int(p)


def expected_integer(key, x, factor):
    if key in ("i8", "i16"):
        return saturate(f32(f32(x) * f32(factor)), WIDTHS[key])
    return saturate(float(x) * factor, WIDTHS[key])


factors = st.one_of(
    st.floats(),
    st.floats(-4, 4),
    st.sampled_from([0.0, -0.0, 0.5, 0.29, 2.0, 1e-300, 1e300, INF, -INF, NAN]),
)


def fixed_ints(width):
    return st.one_of(
        st.integers(-(2 ** (width - 1)), 2 ** (width - 1) - 1),
        st.sampled_from([-(2 ** (width - 1)), 2 ** (width - 1) - 1, 0, 1, -1]),
    )


@pytest.mark.parametrize(
    "key, x, factor, expected",
    [
        ("i8", 5, 0.5, 2),
        ("i8", -5, 0.5, -2),
        # 100 * 0.28999999165534973 rounds to 29.0 in binary32; in binary64 it
        # is 28.999999999999996.
        ("i8", 100, 0.29, 29),
        ("i16", 100, 0.29, 29),
        ("i32", 100, 0.29, 28),
        ("i8", 100, 2.0, 127),
        ("i8", -100, 2.0, -128),
        ("i32", 2**31 - 1, 2.0, 2**31 - 1),
        ("i64", 2**62, 2.0, 2**63 - 1),
        ("i16", 7, NAN, 0),
        ("i32", 3, INF, 2**31 - 1),
        ("i32", 0, INF, 0),  # 0 * inf is NaN
        ("i32", -3, INF, -(2**31)),
        # The largest binary64 below 2**63 still converts; anything above saturates.
        ("i64", 2**63 - 1024, 1.0, 2**63 - 1024),
        ("i64", 2**62 - 512, 2.0, 2**63 - 1024),
        ("i64", 2**62 - 256, 2.0, 2**63 - 1),  # the element rounds up to 2**62 first
        ("i64", -(2**63), 1.0, -(2**63)),
        ("i64", -(2**62), 2.0000000000000004, -(2**63)),
        ("i128", 2**127 - 2**74, 1.0, 2**127 - 2**74),
        ("i128", 2**127 - 1, 1.0, 2**127 - 1),  # rounds to 2**127 first
        ("i128", -(2**127), 1.5, -(2**127)),
        ("i128", 3, -0.5, -1),
    ],
)
def test_integer_worked_cases(native, key, x, factor, expected):
    assert native.xvec_scale({key: [x]}, factor) == {key: [expected]}


@pytest.mark.parametrize("key", WIDTHS)
@given(data=st.data())
def test_fixed_width_integers_saturate(native, key, data):
    xs = data.draw(st.lists(fixed_ints(WIDTHS[key]), min_size=1, max_size=20))
    factor = data.draw(factors)
    assert native.xvec_scale({key: xs}, factor)[key] == [expected_integer(key, x, factor) for x in xs]


@given(st.lists(st.tuples(st.floats(width=32), st.floats(width=32), st.floats(), st.floats()), min_size=1, max_size=10), factors)
@example([(1.0, 2.0, 1.0, 2.0)], 0.3)
@example([(0.0, -0.0, 0.0, 1.0)], NAN)
def test_float_and_complex_kinds(native, rows, factor):
    v = {
        "f32": [r[0] for r in rows],
        "f64": [r[2] for r in rows],
        "c64": [complex(r[0], r[1]) for r in rows],
        "c128": [complex(r[2], r[3]) for r in rows],
    }
    result = native.xvec_scale(v, factor)
    ff = f32(factor)
    for got, x in zip(result["f32"], v["f32"]):
        assert same_float(got, f32(x * ff))
    for got, x in zip(result["f64"], v["f64"]):
        assert same_float(got, x * factor)
    for got, x in zip(result["c64"], v["c64"]):
        assert same_float(got.real, f32(x.real * ff)) and same_float(got.imag, f32(x.imag * ff))
    for got, x in zip(result["c128"], v["c128"]):
        assert same_float(got.real, x.real * factor) and same_float(got.imag, x.imag * factor)


# --- "i" ---------------------------------------------------------------------


@given(st.lists(big_integers, min_size=1, max_size=6), factors)
@example([7, -7], 0.5)
@example([2**64 + 2**11 + 1], 1.0)  # truncation before rounding shows
def test_bigint_goes_through_binary64(native, xs, factor):
    products = [truncated_to_double(x) * factor for x in xs]
    if all(math.isfinite(p) for p in products):
        assert native.xvec_scale({"i": xs}, factor) == {"i": [int(p) for p in products]}
    else:
        expect_panic(lambda: native.xvec_scale({"i": xs}, factor), "f64 can not to BigInt")


@pytest.mark.parametrize(
    "xs, factor",
    [([7], NAN), ([0], INF), ([10**400], 0.0), ([2**1024 - 1], 1.0), ([1, 2**2000], 0.5)],
    ids=["NaN factor", "zero times infinity", "huge element times zero", "element converts to infinity", "second element"],
)
def test_bigint_non_finite_products_fail(native, xs, factor):
    expect_panic(lambda: native.xvec_scale({"i": xs}, factor), "f64 can not to BigInt")


# --- "d" ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "x, factor, expected",
    [
        ("3", 0.5, "1.5"),
        ("2.50", 1.0, "2.50"),
        ("-2.50", 0.5, "-1.250"),
        ("7", 0.0, "0"),  # a zero factor gives the plain zero
        ("-7", -0.0, "0"),
        ("1.5", 2 / 3, "1.0000000000000005"),
    ],
)
def test_decimal_worked_cases(native, x, factor, expected):
    (result,) = native.xvec_scale({"d": [Decimal(x)]}, factor)["d"]
    assert str(result) == expected


@given(st.lists(decimals, min_size=1, max_size=5), factors)
def test_decimal_is_product_with_converted_factor(native, xs, factor):
    converted = native.decimal_from_double(factor)
    call = lambda: native.xvec_scale({"d": [py_decimal(x) for x in xs]}, factor)  # noqa: E731
    if converted is None:
        expect_panic(call, "Failed to convert to Decimal")
        return
    expected = []
    for x in xs:
        if x[1:] == (0, 0, 0) or converted[1:] == (0, 0, 0):
            expected.append(decimal_raw(0, 0))
            continue
        scale = ((x[0] >> 16) & 0xFF) + ((converted[0] >> 16) & 0xFF)
        expected.append(expected_from_exact(decimal_fraction(x) * decimal_fraction(converted), scale, max(0, scale - 28)))
    if None in expected:
        expect_panic(call, "Multiplication overflowed")
    else:
        assert [raw_of_py_decimal(d) for d in call()["d"]] == expected


# --- faults and their order -----------------------------------------------------


@pytest.mark.parametrize(
    "v, factor, message",
    [
        ({"i": [1], "d": [Decimal(1)]}, NAN, "f64 can not to BigInt"),  # "i" comes first
        ({"i8": [1], "d": [Decimal(1)]}, NAN, "Failed to convert to Decimal"),
        ({"d": [Decimal(1)]}, 1e30, "Failed to convert to Decimal"),
        ({"d": [Decimal(1)]}, -INF, "Failed to convert to Decimal"),
        ({"d": [Decimal(LIMIT96 - 1)]}, 10.0, "Multiplication overflowed"),
        ({"d": [Decimal(1), Decimal(LIMIT96 - 1)]}, 2.0, "Multiplication overflowed"),
    ],
    ids=["BigInt before Decimal", "NaN factor", "factor too large", "infinite factor", "product too large", "second element"],
)
def test_faults(native, v, factor, message):
    expect_panic(lambda: native.xvec_scale(v, factor), message)


@pytest.mark.parametrize("factor", [NAN, INF, 1e30])
def test_empty_kinds_never_convert_the_factor(native, factor):
    v = {"i16": [7], "f64": [7.0]}
    result = native.xvec_scale(v, factor)
    assert result["i16"] == [expected_integer("i16", 7, factor)]
    assert same_float(result["f64"][0], 7.0 * factor)
    assert native.xvec_scale({}, factor) == {}
