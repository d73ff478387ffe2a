"""Uniform element samplers of every kind: construction, ranges and grids.

Float draws are predicted exactly from the keystream oracle; integer draws
are checked for range, coverage, words used and uniformity (the mapping of a
word onto the range is the implementation's own choice)."""

import math
import struct
from collections import Counter
from decimal import Decimal

import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

from random_oracles import (
    chi_square,
    f32,
    f32_bits,
    f32_from_bits,
    key_of,
    keystream,
    panics,
    u64_from,
)

LOW_NOT_BELOW_HIGH = "Uniform::new called with `low >= high`"
RANGE_OVERFLOW = "Uniform::new: range overflow"
BIG_LOW_NOT_BELOW_HIGH = "assertion failed: low < high"
DECIMAL_LOW_ABOVE_HIGH = "Uniform::new_inclusive called with `low > high`"
DECIMAL_BELOW_MINIMUM = "Number less than minimum value that can be represented."

BITS = {"i8": 8, "i16": 16, "i32": 32, "i64": 64, "i128": 128}
WORDS_PER_ATTEMPT = {"i8": 1, "i16": 1, "i32": 1, "i64": 2, "i128": 4}
DECIMAL_MAX = 2**96 - 1


def chi_bound(bins):
    """A generous bound for a chi-square statistic over `bins` bins: far
    beyond any plausible value for a correct sampler (and the keys are
    fixed), yet far below what a biased one gives."""
    return 3 * (bins - 1) + 30


def draws(native, kind, low, high, n, key=0):
    rng = native.rng_new(key_of(100 + key))
    return native.uniform_draws(kind, low, high, n, rng), rng


# --- construction failures ------------------------------------------------------


@pytest.mark.parametrize(
    "kind, low, high, message",
    [
        ("i16", 5, 5, LOW_NOT_BELOW_HIGH),
        ("i16", 7, 3, LOW_NOT_BELOW_HIGH),
        ("i8", 127, -128, LOW_NOT_BELOW_HIGH),
        ("i128", 2**127 - 1, 2**127 - 1, LOW_NOT_BELOW_HIGH),
        ("i", 10**30, 10**30, BIG_LOW_NOT_BELOW_HIGH),
        ("i", 0, -(2**70), BIG_LOW_NOT_BELOW_HIGH),
        ("f32", math.nan, 1.0, LOW_NOT_BELOW_HIGH),
        ("f64", 0.0, math.nan, LOW_NOT_BELOW_HIGH),
        ("f64", 2.0, 2.0, LOW_NOT_BELOW_HIGH),
        ("f64", math.inf, math.inf, LOW_NOT_BELOW_HIGH),
        ("f64", 0.0, math.inf, RANGE_OVERFLOW),
        ("f64", -math.inf, 0.0, RANGE_OVERFLOW),
        ("f64", -1e308, 1e308, RANGE_OVERFLOW),
        ("f32", -3e38, 3e38, RANGE_OVERFLOW),
        ("c64", 0 + 1j, 1 + 1j, LOW_NOT_BELOW_HIGH),  # re fine, im equal
        ("c128", 1 + 0j, 1 + 1e308j, LOW_NOT_BELOW_HIGH),  # re reported first
        ("c128", -1e308 + 0j, 1e308 + 0j, RANGE_OVERFLOW),
        ("c128", 0 - 1e308j, 1 + 1e308j, RANGE_OVERFLOW),
        ("d", Decimal("1.5"), Decimal("1.5"), DECIMAL_LOW_ABOVE_HIGH),
        ("d", Decimal("1"), Decimal("1.0"), DECIMAL_LOW_ABOVE_HIGH),
        ("d", Decimal("2"), Decimal("1.99"), DECIMAL_LOW_ABOVE_HIGH),
        ("d", -DECIMAL_MAX, -DECIMAL_MAX, DECIMAL_BELOW_MINIMUM),  # checked before low > high
        ("d", Decimal(0), Decimal("-7.9228162514264337593543950335"), DECIMAL_BELOW_MINIMUM),
    ],
)
def test_construction_failures(native, kind, low, high, message):
    with panics(message):
        native.uniform_fields(kind, low, high)


# --- fixed-width integers -------------------------------------------------------


@pytest.mark.parametrize(
    "kind, low, high",
    [
        ("i8", -128, 127),
        ("i16", -3, 4),
        ("i32", 2**31 - 6, 2**31 - 1),
        ("i64", -(2**63), -(2**63) + 9),
        ("i128", 2**127 - 12, 2**127 - 1),
    ],
)
def test_small_ranges_are_covered_and_high_is_never_drawn(native, kind, low, high):
    values, _ = draws(native, kind, low, high, 40 * (high - low) + 200)
    assert set(values) == set(range(low, high))


def test_single_value_range_always_draws_low_with_one_word(native):
    values, rng = draws(native, "i32", 0, 1, 500)
    assert values == [0] * 500
    assert native.rng_state(rng)[0] == 500


@pytest.mark.parametrize("kind", list(BITS))
def test_words_per_attempt(native, kind):
    # A power-of-two range never rejects, so the words used are exact.
    low, high = -8, 8
    values, rng = draws(native, kind, low, high, 300)
    assert native.rng_state(rng)[0] == 300 * WORDS_PER_ATTEMPT[kind]
    # A range that does reject still uses whole attempts.
    low = -(2 ** (BITS[kind] - 1))
    values, rng = draws(native, kind, low, low + 3 * 2 ** (BITS[kind] - 2), 300)
    assert native.rng_state(rng)[0] % WORDS_PER_ATTEMPT[kind] == 0


@pytest.mark.parametrize("kind", list(BITS))
def test_full_width_ranges(native, kind):
    low, high = -(2 ** (BITS[kind] - 1)), 2 ** (BITS[kind] - 1) - 1
    assert native.uniform_fields(kind, low, high) == (low, 2 ** BITS[kind] - 1)
    values, _ = draws(native, kind, low, high, 400)
    assert all(low <= v < high for v in values)
    assert any(v < 0 for v in values) and any(v >= 0 for v in values)


@pytest.mark.parametrize("kind", list(BITS))
def test_uniform_over_a_range_where_shortcuts_are_biased(native, kind):
    # With range 3 * 2^(W-2), reducing a word modulo the range makes the
    # lowest third twice as likely, and a multiply without rejection favours
    # every third value; a sampler that is exactly uniform shows neither.
    low = -(2 ** (BITS[kind] - 1))
    span = 3 * 2 ** (BITS[kind] - 2)
    values, _ = draws(native, kind, low, low + span, 30000, key=len(kind))
    offsets = [v - low for v in values]
    assert all(0 <= o < span for o in offsets)
    for binning in (lambda o: 3 * o // span, lambda o: o % 3):
        counts = Counter(map(binning, offsets))
        assert chi_square([counts[b] for b in range(3)], [10000] * 3) < chi_bound(3)


@pytest.mark.parametrize(
    "kind, low, high",
    [
        ("i8", -100, 27),
        ("i32", -(2**31), 2**31 - 1),
        ("i64", -5, 2**62 + 3),
        ("i64", -(2**63), 2**63 - 1),
        ("i128", -(2**127), 2**127 - 1),
        ("i128", -(2**90), 3 * 2**125 + 12345),
        ("i128", 0, 3),
    ],
)
def test_attempts_agree_with_exact_integer_arithmetic(native, kind, low, high):
    # Pins this implementation's mapping of a word v onto the range (the
    # high half of v * range, rejecting where the low half falls below
    # 2^B mod range) to check its double-width products against Python's
    # exact integers: a lost carry would leave values in range and nearly
    # uniform, but wrong.
    bits = 32 if BITS[kind] <= 32 else BITS[kind]
    per_word = bits // 32
    span = high - low
    threshold = 2**bits % span
    key = key_of(106)
    words = keystream(key, 4000)
    expected, p = [], 0
    while len(expected) < 500:
        v = sum(words[p + i] << (32 * i) for i in range(per_word))
        p += per_word
        product = v * span
        if product % 2**bits >= threshold:
            expected.append(low + (product >> bits))
    rng = native.rng_new(key)
    assert native.uniform_draws(kind, low, high, 500, rng) == expected


def test_small_range_chi_square(native):
    values, _ = draws(native, "i16", -7, 13, 40000, key=7)
    counts = Counter(values)
    assert chi_square([counts[v] for v in range(-7, 13)], [2000] * 20) < chi_bound(20)


# --- floats ------------------------------------------------------------------------


def stays_below(kind, w, low, high):
    """fl(fl(w * max_u) + low) < high, each step rounded on its own."""
    if kind == "f64":
        return w * (1 - 2**-52) + low < high
    # Two binary32 operands: the double product is exact and the double sum
    # rounds at 53 bits; rounding that again to 24 bits equals a single
    # rounding, as 53 >= 2 * 24 + 2.
    return f32(f32(w * f32(1 - 2**-23)) + low) < high


def next_up(kind, w):
    return math.nextafter(w, math.inf) if kind == "f64" else f32_from_bits(f32_bits(w) + 1)


def assert_is_adjusted_width(kind, width, low, high):
    """width is the largest w <= fl(high - low) whose largest draw stays
    below high; since the test is monotone, it is enough that width passes
    and the next float up either fails or exceeds fl(high - low)."""
    unadjusted = high - low if kind == "f64" else f32(high - low)
    assert 0 <= width <= unadjusted
    assert stays_below(kind, width, low, high)
    if width < unadjusted:
        assert not stays_below(kind, next_up(kind, width), low, high)


def expected_float_draws(kind, low, width, words):
    """The draws fl(low + fl(width * u)) predicted from the keystream."""
    if kind == "f64":
        return [low + width * ((u64_from(words, 2 * i) >> 12) * 2**-52) for i in range(len(words) // 2)]
    return [f32(low + f32(width * ((w >> 9) * 2**-23))) for w in words]


def check_float_interval(native, kind, low, high, n, key):
    """The sampler keeps low, adjusts the width as defined, and its first n
    draws are the ones predicted from the keystream, all in [low, high)."""
    got_low, width = native.uniform_fields(kind, low, high)
    assert got_low == low
    assert_is_adjusted_width(kind, width, low, high)
    values = native.uniform_draws(kind, low, high, n, native.rng_new(key))
    assert values == expected_float_draws(kind, low, width, keystream(key, 2 * n if kind == "f64" else n))
    assert all(low <= v < high for v in values)


def test_unit_interval_keeps_its_width_and_draws_the_2_52_grid(native):
    key = key_of(101)
    rng = native.rng_new(key)
    assert native.uniform_fields("f64", 0.0, 1.0) == (0.0, 1.0)
    values = native.uniform_draws("f64", 0.0, 1.0, 2000, rng)
    words = keystream(key, 4000)
    assert values == [(u64_from(words, 2 * i) >> 12) / 2**52 for i in range(2000)]
    assert all((v * 2**52).is_integer() and 0 <= v < 1 for v in values)


def test_width_of_one_to_one_and_a_half_steps_down_once(native):
    # Independent oracle: step down from fl(high - low) one float at a time.
    w = 1.5 - 1.0
    assert 1.0 + w * (1 - 2**-52) == 1.5  # the tie rounds to even
    while not stays_below("f64", w, 1.0, 1.5):
        w = math.nextafter(w, 0.0)
    assert w == 0.5 - 2**-54
    assert native.uniform_fields("f64", 1.0, 1.5) == (1.0, w)


@pytest.mark.parametrize(
    "kind, low, high",
    [
        ("f64", 1.0, 1.0 + 2**-52),  # about 2^52 floats between width and the answer
        ("f64", -1.0, math.nextafter(-1.0, 0.0)),
        ("f64", 5e-324, 1e-323),
        ("f32", 1.0, 1.0 + 2**-23),
        ("f32", 3.0, 3.0000002384185791),
        ("f64", -1.0, 1.0),
        ("f64", 1e308, 1.7e308),
        ("f32", -(2**-149), 2**-149),
        ("f32", 0.0, 2**-149),  # no positive width passes: every draw is low
    ],
)
def test_narrow_and_extreme_intervals(native, kind, low, high):
    assert low == (low if kind == "f64" else f32(low)) and high == (high if kind == "f64" else f32(high))
    check_float_interval(native, kind, low, high, 64, key_of(102))


finite_f64 = st.floats(allow_nan=False, allow_infinity=False)
finite_f32 = st.floats(allow_nan=False, allow_infinity=False, width=32)


@settings(max_examples=300, deadline=None)
@given(kind=st.sampled_from(["f32", "f64"]), data=st.data())
def test_adjusted_width_and_draws_for_any_interval(native, kind, data):
    floats = finite_f64 if kind == "f64" else finite_f32
    low, high = sorted([data.draw(floats), data.draw(floats)])
    assume(low < high)
    unadjusted = high - low if kind == "f64" else f32(high - low)
    assume(math.isfinite(unadjusted))
    check_float_interval(native, kind, low, high, 16, key_of(103))


@pytest.mark.parametrize("kind, words_per_draw", [("f32", 1), ("f64", 2)])
def test_float_draws_use_one_word_of_their_width(native, kind, words_per_draw):
    _, rng = draws(native, kind, -2.0, 3.0, 500)
    assert native.rng_state(rng)[0] == 500 * words_per_draw


@pytest.mark.parametrize("kind", ["f32", "f64"])
def test_float_chi_square(native, kind):
    values, _ = draws(native, kind, -3.0, 7.0, 20000, key=11)
    counts = Counter(int(v + 3.0) for v in values)
    assert chi_square([counts[b] for b in range(10)], [2000] * 10) < chi_bound(10)


# --- complex ------------------------------------------------------------------------


@pytest.mark.parametrize("kind", ["c64", "c128"])
def test_complex_draws_real_then_imaginary(native, kind):
    part = "f32" if kind == "c64" else "f64"
    low, high = complex(-1.0, 1.0), complex(0.5, 1.5)
    re, im = native.uniform_fields(kind, low, high)
    assert re == native.uniform_fields(part, -1.0, 0.5)
    assert im == native.uniform_fields(part, 1.0, 1.5)
    key = key_of(104)
    rng = native.rng_new(key)
    values = native.uniform_draws(kind, low, high, 100, rng)
    per = 1 if kind == "c64" else 2
    words = keystream(key, 200 * per)
    parts = expected_float_draws(part, 0.0, 1.0, words)  # u values first
    expected = []
    for i in range(100):
        u_re, u_im = parts[2 * i], parts[2 * i + 1]
        if part == "f64":
            expected.append(complex(re[0] + re[1] * u_re, im[0] + im[1] * u_im))
        else:
            expected.append(complex(f32(re[0] + f32(re[1] * u_re)), f32(im[0] + f32(im[1] * u_im))))
    assert values == expected


# --- big integers ---------------------------------------------------------------


def test_bigint_small_range_covers_every_value(native):
    values, _ = draws(native, "i", -5, 5, 400)
    assert set(values) == set(range(-5, 5))


def test_bigint_single_value_beyond_64_bits(native):
    values, rng = draws(native, "i", 2**64, 2**64 + 1, 200)
    assert values == [2**64] * 200
    # One-bit candidates, one word each, half of them rejected.
    assert 200 < native.rng_state(rng)[0] < 600


@pytest.mark.parametrize(
    "span, words_per_candidate",
    [(2, 1), (2**32 - 1, 1), (2**32, 2), (2**64 - 1, 2), (2**64, 3), (2**64 + 2**63, 3), (2**200 + 1, 7)],
)
def test_bigint_candidates_have_exactly_bitlength_bits(native, span, words_per_candidate):
    low = -(2**70) + 3
    assert native.uniform_fields("i", low, low + span) == (low, span)
    values, rng = draws(native, "i", low, low + span, 300)
    assert all(low <= v < low + span for v in values)
    used = native.rng_state(rng)[0]
    assert used % words_per_candidate == 0 and used >= 300 * words_per_candidate


def test_bigint_candidate_is_filled_least_significant_word_first(native):
    # span 2^96: 97-bit candidates from four words, the last keeping one
    # bit. With this key the first candidate is below the span, so the
    # first draw uses exactly those four words.
    key = key_of(105)
    rng = native.rng_new(key)
    w = keystream(key, 4)
    candidate = w[0] | w[1] << 32 | w[2] << 64 | (w[3] & 1) << 96
    assert candidate < 2**96
    assert native.uniform_draws("i", 7, 7 + 2**96, 1, rng) == [7 + candidate]
    assert native.rng_state(rng)[0] == 4


def test_bigint_chi_square(native):
    low, span = -(2**100), 5 * 2**99
    values, _ = draws(native, "i", low, low + span, 20000, key=13)
    counts = Counter(5 * (v - low) // span for v in values)
    assert chi_square([counts[b] for b in range(5)], [4000] * 5) < chi_bound(5)


@settings(max_examples=100, deadline=None)
@given(st.integers(-(2**200), 2**200), st.integers(1, 2**200))
def test_bigint_draws_stay_in_range(native, low, span):
    values, _ = draws(native, "i", low, low + span, 20)
    assert all(low <= v < low + span for v in values)


# --- decimals -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "low, high, grid",
    [
        ("1", "1.5", ["1.0", "1.1", "1.2", "1.3", "1.4"]),
        ("0.5", "1", ["0.5", "0.6", "0.7", "0.8", "0.9"]),
        ("-0.02", "0.03", ["-0.02", "-0.01", "0.00", "0.01", "0.02"]),
        ("-1", "0", ["-1"]),
        ("7", "10", ["7", "8", "9"]),
    ],
)
def test_decimal_grid(native, low, high, grid):
    values, _ = draws(native, "d", Decimal(low), Decimal(high), 300)
    assert sorted({str(v) for v in values}, key=Decimal) == grid


def test_decimal_zero_draws_are_positive(native):
    values, _ = draws(native, "d", Decimal("-0.1"), Decimal("0.1"), 200)
    zeros = [v for v in values if v == 0]
    assert zeros and all(not z.is_signed() for z in zeros)


def test_decimal_draws_use_whole_128_bit_attempts(native):
    values, rng = draws(native, "d", Decimal("-8"), Decimal("8"), 100)
    assert native.rng_state(rng)[0] == 400
    assert all(-8 <= v < 8 for v in values)


@pytest.mark.parametrize(
    "low, high, fields",
    [
        # Both scaled up to the larger scale.
        ("1", "1.5", (1, 10, 5)),
        ("-2.25", "3", (2, -225, 525)),
        # The whole signed mantissa range at scale 0.
        (str(-DECIMAL_MAX), str(DECIMAL_MAX), (0, -DECIMAL_MAX, 2 * DECIMAL_MAX)),
        # high cannot reach scale 2, so low comes down to scale 1: 0.25 -> 0.3.
        ("0.25", "7922816251426433759354395033.5", (1, 3, DECIMAL_MAX - 3)),
        # Rounded on the last removed digit only: 0.24 -> 0.2, below low, so
        # the first value drawn is the next step up, 0.3.
        ("0.24", "7922816251426433759354395033.5", (1, 3, DECIMAL_MAX - 3)),
        ("-0.26", "7922816251426433759354395033.5", (1, -2, DECIMAL_MAX + 2)),
        # low cannot reach scale 28, so high comes down to 27 (rounded up on
        # its last digit) and is no longer the smallest value of its scale.
        ("-9", "-7.9228162514264337593543950335", (27, -9 * 10**27, 9 * 10**27 - 7922816251426433759354395034)),
        # high is the smallest value of scale 0 plus one step.
        (str(-DECIMAL_MAX), str(-DECIMAL_MAX + 1), (0, -DECIMAL_MAX, 1)),
    ],
)
def test_decimal_common_scale_and_mantissa_range(native, low, high, fields):
    assert native.uniform_fields("d", Decimal(low), Decimal(high)) == fields


@pytest.mark.parametrize(
    "value, scale, expected",
    [
        ("1.5", 3, "1.500"),
        ("1", 28, "1.0000000000000000000000000000"),
        ("10", 28, "10.000000000000000000000000000"),  # stops before leaving 96 bits
        (str(DECIMAL_MAX), 5, str(DECIMAL_MAX)),
        ("0", 5, "0.00000"),
        ("0.25", 1, "0.3"),  # half rounds up
        ("-0.25", 1, "-0.3"),
        ("0.35", 1, "0.4"),
        ("1.249", 1, "1.2"),
        ("0.05", 1, "0.1"),  # zero after the last division: still rounded
        ("0.5", 0, "1"),
        ("0.005", 0, "0"),  # zero with divisions left: zero
        ("-0.004", 0, "-0"),  # the sign stays
        ("123.456", 3, "123.456"),
    ],
)
def test_decimal_rescale(native, value, scale, expected):
    assert str(native.decimal_rescale(Decimal(value), scale)) == expected


@pytest.mark.parametrize(
    "a, b, expected",
    [
        ("1", "1.50", ("1.00", "1.50")),
        ("1.50", "1", ("1.50", "1.00")),
        ("0.25", "7922816251426433759354395033.5", ("0.3", "7922816251426433759354395033.5")),
        ("7922816251426433759354395033.5", "0.25", ("7922816251426433759354395033.5", "0.3")),
        ("79228162514264337593543950335", "0.5", ("79228162514264337593543950335", "1")),
    ],
)
def test_decimal_common_scale(native, a, b, expected):
    got = native.decimal_common_scale(Decimal(a), Decimal(b))
    assert tuple(map(str, got)) == expected


def test_decimal_chi_square(native):
    values, _ = draws(native, "d", Decimal("-0.7"), Decimal("0.5"), 24000, key=17)
    counts = Counter(values)
    grid = [Decimal(k) / 10 for k in range(-7, 5)]
    assert chi_square([counts[g] for g in grid], [2000] * 12) < chi_bound(12)
