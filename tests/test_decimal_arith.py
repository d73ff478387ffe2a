"""Decimal addition, subtraction, multiplication, comparison and conversion
from binary64, against exact rational arithmetic."""

import math
from fractions import Fraction

import pytest
from hypothesis import example, given
from hypothesis import strategies as st

from numeric_oracles import (
    LIMIT96,
    SIGN_BIT,
    decimal_fraction,
    decimal_pairs,
    decimal_parts,
    decimal_raw,
    expected_from_exact,
)

D = decimal_raw
ZERO = D(0, 0)


def expected_sum(x, y, subtract):
    """The zero-operand rules, then the exact sum at the larger scale."""
    mx, sx, _ = decimal_parts(x)
    my, sy, _ = decimal_parts(y)
    if mx == 0:
        if subtract and my != 0:
            return (y[0] ^ SIGN_BIT,) + tuple(y[1:])
        return y
    if my == 0:
        return x
    exact = decimal_fraction(x) - decimal_fraction(y) if subtract else decimal_fraction(x) + decimal_fraction(y)
    return expected_from_exact(exact, max(sx, sy))


def expected_product(x, y):
    mx, sx, _ = decimal_parts(x)
    my, sy, _ = decimal_parts(y)
    if mx == 0 or my == 0:
        return ZERO
    return expected_from_exact(decimal_fraction(x) * decimal_fraction(y), sx + sy, max(0, sx + sy - 28))


# --- addition and subtraction ------------------------------------------------

SUM_CASES = [
    ("add", D(15, 1), D(225, 2), D(375, 2)),
    ("add", D(10, 1), D(2, 0), D(30, 1)),  # no trailing zeros removed
    ("sub", D(10, 1), D(10, 1), D(0, 1)),  # zero keeps the scale, sign clear
    ("add", D(15, 1, True), D(15, 1), D(0, 1)),
    ("add", D(0, 3), D(15, 1), D(15, 1)),  # the zero's scale is not used
    ("sub", D(0, 0), D(15, 1), D(15, 1, True)),
    ("sub", D(0, 0, True), D(15, 1), D(15, 1, True)),
    ("sub", D(250, 2), D(0, 0), D(250, 2)),
    ("add", D(250, 2), D(0, 5, True), D(250, 2)),  # x unchanged, not rescaled
    ("sub", D(0, 0), D(0, 2, True), D(0, 2, True)),  # a zero y comes back as it is
    ("sub", D(0, 4), D(0, 2), D(0, 2)),
    ("add", D(0, 0, True), D(0, 3), D(0, 3)),
    ("add", D(LIMIT96 - 1, 0), D(1, 0), None),
    ("sub", D(LIMIT96 - 1, 0, True), D(1, 0), None),
    # 2**96 at scale 1 = 7922816251426433759354395033.6, rounded up.
    ("add", D(LIMIT96 - 1, 1), D(1, 1), D(7922816251426433759354395034, 0)),
    # Exact ties: ...034.5 stays even, ...035.5 goes up to even.
    ("add", D(LIMIT96 - 1, 1), D(10, 1), D(7922816251426433759354395034, 0)),
    ("add", D(LIMIT96 - 1, 1), D(20, 1), D(7922816251426433759354395036, 0)),
    # Rescaling the other operand by 10**28 needs the wide intermediate.
    ("add", D(1, 28), D(LIMIT96 - 1, 0), D(LIMIT96 - 1, 0)),
    ("add", D(1, 28), D(7, 0), D(70000000000000000000000000001, 28)),
    ("sub", D(LIMIT96 - 1, 0), D(LIMIT96 - 1, 28), D(LIMIT96 - 1 - 8, 0)),  # ...327.077 rounds down
]


@pytest.mark.parametrize("op, x, y, expected", SUM_CASES)
def test_sum_worked_cases(native, op, x, y, expected):
    assert getattr(native, f"decimal_{op}")(x, y) == expected


# Ten places apart, 5 * 10**28 raised by 10**10 leaves 128 bits: the sum needs the wide path.
WIDE_RAISE = (D(5 * 10**28, 0), D(1, 10, True))


@given(decimal_pairs)
@example(WIDE_RAISE)
def test_add_matches_exact_sum(native, pair):
    x, y = pair
    assert native.decimal_add(x, y) == expected_sum(x, y, subtract=False)


@given(decimal_pairs)
@example(WIDE_RAISE)
def test_sub_matches_exact_difference(native, pair):
    x, y = pair
    assert native.decimal_sub(x, y) == expected_sum(x, y, subtract=True)


@given(decimal_pairs)
def test_rounded_sum_is_within_half_a_unit(native, pair):
    x, y = pair
    result = native.decimal_add(x, y)
    if result is not None:
        _, scale, _ = decimal_parts(result)
        error = abs(decimal_fraction(result) - (decimal_fraction(x) + decimal_fraction(y)))
        assert error <= Fraction(1, 2 * 10**scale)


# --- multiplication ----------------------------------------------------------

PRODUCT_CASES = [
    (D(3, 0), D(5, 1), D(15, 1)),
    (D(250, 2), D(1, 0), D(250, 2)),
    (D(2, 0, True), D(5, 1), D(10, 1, True)),
    (D(1, 0, True), D(0, 3), ZERO),  # any zero operand: scale 0, sign clear
    (D(0, 5, True), D(7, 2, True), ZERO),
    (D(LIMIT96 - 1, 0), D(10, 0), None),
    (D(LIMIT96 - 1, 0), D(10, 1), D(LIMIT96 - 1, 0)),
    (D(25, 28), D(1, 1), D(2, 28)),  # 2.5 at scale 28: tie to even
    (D(35, 28), D(1, 1), D(4, 28)),
    (D(1, 28, True), D(1, 28), D(0, 28)),  # rounds to zero: sign clear
    (D(5, 28), D(1, 28), D(0, 28)),
    (D(LIMIT96 - 1, 28), D(LIMIT96 - 1, 28), expected_product(D(LIMIT96 - 1, 28), D(LIMIT96 - 1, 28))),
    # 10 * (2**96 - 1) + 8 at scale 29: the one digit the scale forces off
    # leaves 2**96 - 1 and a remainder above half, whose carry reaches 2**96,
    # so a second digit goes.
    (D(72025602285694852357767227578, 28), D(11, 1), D(7922816251426433759354395034, 27)),
    # Seventeen digits forced off at once, the remainder exactly half: even stays.
    (D(25, 28), D(10**16, 17), D(2, 28)),
    (D(35, 28), D(10**16, 17), D(4, 28)),
    # Twenty digits off: the upper nineteen are exactly half, the lowest is not zero.
    (D(5 * 10**19 + 1, 28), D(1, 20), D(1, 28)),
    (D(5 * 10**19, 28), D(1, 20), D(0, 28)),
]


@pytest.mark.parametrize("x, y, expected", PRODUCT_CASES)
def test_product_worked_cases(native, x, y, expected):
    assert native.decimal_mul(x, y) == expected


def test_largest_square_rounds_once_over_the_whole_discarded_part(native):
    # 62.77...e0 at scale 27: digit-by-digit rounding would differ only by
    # luck, so check the value directly.
    result = native.decimal_mul(D(LIMIT96 - 1, 28), D(LIMIT96 - 1, 28))
    magnitude, scale, negative = decimal_parts(result)
    assert (scale, negative) == (27, False)
    assert magnitude == round(Fraction((LIMIT96 - 1) ** 2, 10**29))


@given(decimal_pairs)
def test_mul_matches_exact_product(native, pair):
    x, y = pair
    assert native.decimal_mul(x, y) == expected_product(x, y)


# --- comparison --------------------------------------------------------------


@pytest.mark.parametrize(
    "x, y, expected",
    [
        (D(10, 1), D(1, 0), 0),
        (D(0, 0, True), D(0, 28), 0),
        (D(1, 28), D(0, 0), 1),
        (D(1, 28, True), D(0, 0, True), -1),
        (D(LIMIT96 - 1, 28), D(8, 0), -1),
        (D(LIMIT96 - 1, 0, True), D(LIMIT96 - 1, 28, True), -1),
    ],
    ids=["scale ignored", "signed zeros equal", "tiny above zero", "tiny negative below zero", "scale weighs", "negatives"],
)
def test_compare_worked_cases(native, x, y, expected):
    assert native.decimal_compare(x, y) == expected
    assert native.decimal_compare(y, x) == -expected


@given(decimal_pairs)
@example(WIDE_RAISE)
@example((D(-(-(2**128) // 10**10), 0), D(10**20, 10)))  # raised past 2**128 by a hair
def test_compare_is_numeric_order(native, pair):
    x, y = pair
    a, b = decimal_fraction(x), decimal_fraction(y)
    assert native.decimal_compare(x, y) == (a > b) - (a < b)


# --- conversion from binary64 -------------------------------------------------

FROM_DOUBLE_CASES = [
    (0.5, D(5, 1)),
    (1.0, D(1, 0)),
    (0.1, D(1, 1)),
    (2 / 3, D(666666666666667, 15)),
    (-2.5, D(25, 1, True)),
    (0.0, D(0, 0)),
    (-0.0, D(0, 0, True)),
    (1.5e-30, ZERO),
    (5e-324, ZERO),
    # Below 10**-28 the quotient becomes zero before any rounding: a value
    # that would round to 1e-28 still gives zero.
    (9e-29, ZERO),
    # The zero of a value too small for scale 28 is the plain zero.
    (-1.5e-30, ZERO),
    (1e-28, D(1, 28)),
    (1e28, D(9999999999999999583119736832, 0)),
    (8e28, None),
    (-8e28, None),
    (1e30, None),
    (math.nan, None),
    (math.inf, None),
    (-math.inf, None),
]


@pytest.mark.parametrize("f, expected", FROM_DOUBLE_CASES, ids=[repr(f) for f, _ in FROM_DOUBLE_CASES])
def test_from_double_worked_cases(native, f, expected):
    assert native.decimal_from_double(f) == expected


@given(st.integers(-(2**95) + 1, 2**95 - 1))
@example(2**53 + 1)
@example(2**95 - 2**42)
def test_from_double_keeps_integers_exact(native, n):
    f = float(n)
    assert native.decimal_from_double(f) == D(abs(int(f)), 0, f < 0)


short_dyadic = st.integers(0, 22).flatmap(
    lambda b: st.tuples(st.just(b), st.integers(0, ((2**52 - 1) // 5**b - 1) // 2).map(lambda i: 2 * i + 1))
)


@given(short_dyadic, st.booleans())
@example((22, 1), False)
@example((0, 2**52 - 1), True)
def test_from_double_exact_on_short_dyadic_fractions(native, dyadic, negative):
    # a / 2**b with odd a has the exact expansion a * 5**b / 10**b; below
    # 2**52 digits nothing is rounded and no trailing zero remains.
    b, a = dyadic
    f = (-1 if negative else 1) * a / 2**b
    assert native.decimal_from_double(f) == D(a * 5**b, b, negative)


@given(st.floats(allow_nan=False, allow_infinity=False, max_value=2.0**96, min_value=-(2.0**96)))
@example(2.0**95)
@example(2.0**96)
@example(7.9e28)
@example(1.2345678901234567e-20)
@example(2.2250738585072014e-308)
def test_from_double_is_close_and_in_shape(native, f):
    result = native.decimal_from_double(f)
    if abs(f) < 2.0**95:
        assert result is not None
    if result is None:
        return
    magnitude, scale, negative = decimal_parts(result)
    exact = Fraction(f)
    error = abs(decimal_fraction(result) - exact)
    assert error <= abs(exact) / 2**49 + Fraction(1, 10**28)
    if scale > 0:
        # Rounded to the digits a binary64 carries, trailing zeros removed.
        assert magnitude < 2**52 and magnitude % 10 != 0
    if magnitude != 0:
        assert negative == (f < 0)
    else:
        # Only a signed zero keeps its sign; an underflow is the plain zero.
        assert (scale, negative) == (0, f == 0 and math.copysign(1, f) < 0)


@given(st.floats(min_value=8e28, allow_infinity=False), st.booleans())
def test_from_double_fails_beyond_96_bits(native, f, negative):
    assert native.decimal_from_double(-f if negative else f) is None
