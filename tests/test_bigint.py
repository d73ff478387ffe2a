"""BigInt arithmetic and conversions against Python's int."""

import math
import struct

import pytest
from hypothesis import example, given
from hypothesis import strategies as st

from numeric_oracles import big_integers, bigint_raw, bigint_value, truncated_to_double


@pytest.mark.parametrize("form", ["new", "in place"])
@given(a=big_integers, b=big_integers)
@example(a=2**64 - 1, b=1)  # carry into a new word
@example(a=2**192 - 1, b=1)  # carry through every word of the longer operand
@example(a=1, b=2**192 - 1)  # ... of the longer second operand
@example(a=2**128, b=-1)  # borrow through whole words, top word disappears
@example(a=5, b=-(2**128))  # the shorter target takes the longer operand's words
@example(a=-(2**64), b=2**64)  # exact cancellation gives the normalised zero
@example(a=0, b=-5)
def test_add_and_sub_are_exact_and_normalised(native, form, a, b):
    suffix = "_assign" if form == "in place" else ""
    assert bigint_value(getattr(native, "bigint_add" + suffix)(bigint_raw(a), bigint_raw(b))) == a + b
    assert bigint_value(getattr(native, "bigint_sub" + suffix)(bigint_raw(a), bigint_raw(b))) == a - b


@given(big_integers, big_integers)
@example(-(2**64), -(2**64) + 1)
@example(-1, 0)
def test_compare_is_numeric_order(native, a, b):
    assert native.bigint_compare(bigint_raw(a), bigint_raw(b)) == (a > b) - (a < b)


@pytest.mark.parametrize(
    "value, expected",
    [(0, (1, [])), (5, (0, [5])), (-5, (2, [5])), (-(2**64), (2, [0, 1]))],
    ids=["zero stays zero", "positive", "negative", "words kept"],
)
def test_negation_flips_sign_only(native, value, expected):
    assert native.bigint_neg(bigint_raw(value)) == expected


@given(big_integers)
def test_to_double_truncates_then_rounds(native, n):
    expected = truncated_to_double(n)
    got = native.bigint_to_double(bigint_raw(n))
    assert got == expected and math.copysign(1, got) == math.copysign(1, expected)


@given(st.integers(-(2**64) + 1, 2**64 - 1))
def test_to_double_of_one_word_is_correctly_rounded(native, n):
    assert native.bigint_to_double(bigint_raw(n)) == float(n)


@pytest.mark.parametrize(
    "n, expected",
    [
        # The dropped lowest bit would have broken the tie upward.
        (2**64 + 2**11 + 1, 2.0**64),
        (-(2**64 + 2**11 + 1), -(2.0**64)),
        (2**1023, 2.0**1023),
        ((2**53 - 1) << 971, (2**53 - 1) * 2.0**971),  # the largest finite double
        # 64 top bits that round up to 2**64 at e = 960 reach 2**1024.
        (2**1024 - 1, math.inf),
        (2**1088 - 1, math.inf),  # e = 1024
        (2**1088, math.inf),  # e = 1025
        (-(2**5000), -math.inf),
    ],
    ids=[
        "truncation beats correct rounding",
        "negative mirror",
        "power of two",
        "largest finite",
        "rounds up into infinity",
        "e is 1024",
        "e beyond 1024",
        "negative infinity",
    ],
)
def test_to_double_worked_cases(native, n, expected):
    assert native.bigint_to_double(bigint_raw(n)) == expected


def test_truncation_differs_from_correct_rounding_where_claimed(native):
    n = 2**64 + 2**11 + 1
    assert float(n) == 2.0**64 + 2**12
    assert native.bigint_to_double(bigint_raw(n)) != float(n)


@given(st.floats(allow_nan=True, allow_infinity=True))
@example(-0.0)
@example(0.999999)
@example(-0.5)
@example(2.0**1023 * 1.5)
@example(-(2.0**64))
@example(5e-324)
def test_from_double_truncates_toward_zero(native, f):
    got = native.bigint_from_double(f)
    if math.isnan(f) or math.isinf(f):
        assert got is None
    else:
        assert bigint_value(got) == int(f)


@given(st.integers(1, 2**53 - 1), st.integers(0, 971), st.booleans())
def test_from_double_is_exact_on_multi_word_values(native, significand, exponent, negative):
    n = (-1 if negative else 1) * significand * 2**exponent
    assert bigint_value(native.bigint_from_double(float(n))) == n


def test_from_double_round_trips_through_to_double(native):
    largest = struct.unpack("<d", struct.pack("<Q", 0x7FEF_FFFF_FFFF_FFFF))[0]
    raw = native.bigint_from_double(largest)
    assert len(raw[1]) == 16
    assert native.bigint_to_double(raw) == largest
