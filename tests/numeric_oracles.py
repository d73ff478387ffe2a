"""Raw encodings of the native numbers and exact reference arithmetic for them.

BigInt crosses as (sign, [limbs]) with sign 0/1/2 and 64-bit limbs least
significant first; Decimal as the four words (flags, hi, lo, mid). The
references here use only Python ints, Fraction and struct.
"""

import decimal
import math
import struct
from fractions import Fraction

from hypothesis import strategies as st

MASK64 = 2**64 - 1
LIMIT96 = 2**96
SIGN_BIT = 0x8000_0000


# --- BigInt ------------------------------------------------------------------


def bigint_raw(n):
    sign = 1 if n == 0 else (2 if n > 0 else 0)
    magnitude, limbs = abs(n), []
    while magnitude:
        limbs.append(magnitude & MASK64)
        magnitude >>= 64
    return (sign, limbs)


def bigint_value(raw):
    """The int a raw BigInt stands for, after checking it is normalised."""
    sign, limbs = raw
    assert sign in (0, 1, 2)
    assert (sign == 1) == (len(limbs) == 0), raw
    assert not limbs or limbs[-1] != 0, raw
    assert all(0 <= limb <= MASK64 for limb in limbs)
    magnitude = sum(limb << (64 * i) for i, limb in enumerate(limbs))
    return -magnitude if sign == 0 else magnitude


def truncated_to_double(n):
    """The binary64 of n by the two-step rule: keep the top 64 bits of the
    magnitude (dropping, not rounding, the rest), round those to nearest even,
    then scale by 2**e."""
    if n == 0:
        return 0.0
    magnitude = abs(n)
    e = max(magnitude.bit_length() - 64, 0)
    if e > 1024:
        result = math.inf
    else:
        try:
            result = math.ldexp(float(magnitude >> e), e)
        except OverflowError:
            result = math.inf
    return -result if n < 0 else result


# Integers across the whole range that matters: small, word boundaries,
# near powers of two (where rounding and carries happen) and beyond 2**1024.
def near_power_of_two(max_bits):
    return st.builds(
        lambda bits, offset, negative: (-1 if negative else 1) * max(2**bits + offset, 0),
        st.integers(0, max_bits),
        st.integers(-3, 3),
        st.booleans(),
    )


big_integers = st.one_of(
    st.integers(-(2**130), 2**130),
    st.integers(-(2**1200), 2**1200),
    near_power_of_two(1100),
    st.sampled_from([0, 1, -1, MASK64, -MASK64, 2**64, -(2**64), 2**128 - 1]),
)


# --- Decimal -----------------------------------------------------------------


def decimal_raw(magnitude, scale, negative=False):
    assert 0 <= magnitude < LIMIT96 and 0 <= scale <= 28
    flags = (scale << 16) | (SIGN_BIT if negative else 0)
    return (flags, magnitude >> 64, magnitude & 0xFFFF_FFFF, (magnitude >> 32) & 0xFFFF_FFFF)


def decimal_parts(raw):
    """(magnitude, scale, negative) of a raw Decimal, after checking its words."""
    flags, hi, lo, mid = raw
    assert flags & ~(SIGN_BIT | 0x00FF_0000) == 0, hex(flags)
    scale = (flags >> 16) & 0xFF
    assert scale <= 28
    assert all(0 <= word <= 0xFFFF_FFFF for word in (hi, lo, mid))
    return ((hi << 64) | (mid << 32) | lo, scale, bool(flags & SIGN_BIT))


def decimal_fraction(raw):
    magnitude, scale, negative = decimal_parts(raw)
    value = Fraction(magnitude, 10**scale)
    return -value if negative else value


def round_to_fit(exact_magnitude, scale, min_drop=0):
    """Drops the fewest decimal digits (at least min_drop, at most scale) that
    bring exact_magnitude, rounded half to even as a whole, below 2**96.
    Returns (magnitude, scale) or None."""
    for dropped in range(min_drop, scale + 1):
        rounded = round(Fraction(exact_magnitude, 10**dropped))
        if rounded < LIMIT96:
            return rounded, scale - dropped
    return None


def expected_from_exact(exact, scale, min_drop=0):
    """The raw result of a sum or product whose exact value is `exact` at
    `scale` digits, or None on overflow; a zero never carries the sign."""
    magnitude = abs(exact * 10**scale)
    assert magnitude.denominator == 1
    fitted = round_to_fit(magnitude.numerator, scale, min_drop)
    if fitted is None:
        return None
    m, s = fitted
    return decimal_raw(m, s, exact < 0 and m != 0)


magnitudes = st.one_of(
    st.integers(0, LIMIT96 - 1),
    st.integers(LIMIT96 - 2**20, LIMIT96 - 1),
    st.integers(0, 10**6),
    st.sampled_from([0, 1, 5, 10, 2**32, 2**64 - 1, 2**64, 10**28, LIMIT96 - 1]),
)
scales = st.one_of(st.integers(0, 28), st.sampled_from([0, 28]))
decimals = st.builds(decimal_raw, magnitudes, scales, st.booleans())

# Pairs for the arithmetic, whose fast paths depend on how far apart the two
# scales are (equal, at most nine apart, further) and on the magnitudes'
# widths: within 64 bits (a converted coefficient has at most 53), at the
# word and 96-bit edges, just below the powers of ten that a result may
# have to round away.
edge_magnitudes = st.one_of(
    magnitudes,
    st.integers(0, 2**53),
    st.builds(lambda k, offset: min(max(10**k + offset, 0), LIMIT96 - 1), st.integers(0, 29), st.integers(-2, 2)),
    st.sampled_from([2**64 - 1, 2**64 + 1, 2**96 - 2, (2**96 - 1) // 10, (2**96 + 4) // 10]),
)
edge_decimals = st.builds(decimal_raw, edge_magnitudes, scales, st.booleans())


def _paired_at_scale_gap(x, gap):
    other = min(max(decimal_parts(x)[1] + gap, 0), 28)
    return st.tuples(st.just(x), st.builds(decimal_raw, edge_magnitudes, st.just(other), st.booleans()))


decimal_pairs = st.one_of(
    st.tuples(decimals, decimals),
    st.tuples(edge_decimals, edge_decimals),
    st.tuples(edge_decimals, st.sampled_from([0, 0, 1, -1, 9, -9, 10, -10])).flatmap(
        lambda drawn: _paired_at_scale_gap(*drawn)
    ),
)


# --- binary32 ----------------------------------------------------------------


def f32(x):
    """x rounded to the nearest binary32 (overflowing to an infinity)."""
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


class PlainDecimal(decimal.Decimal):
    """A decimal.Decimal whose str() never uses exponent notation, so that
    every representation (0E-7, 1E-28) crosses into the "d" kind by text."""

    def __str__(self):
        return format(self, "f")


def py_decimal(raw):
    """A decimal.Decimal with exactly the representation of a raw Decimal
    (same digits, same exponent, same sign, zeros included)."""
    magnitude, scale, negative = decimal_parts(raw)
    return PlainDecimal((int(negative), tuple(int(c) for c in str(magnitude)), -scale))


def raw_of_py_decimal(value):
    sign, digits, exponent = value.as_tuple()
    assert -28 <= exponent <= 0, value
    return decimal_raw(int("".join(map(str, digits))), -exponent, bool(sign))


def same_float(a, b):
    """Equal as values, NaN matching NaN and zeros matching by sign."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1, a) == math.copysign(1, b)


def expect_panic(call, message):
    """Runs call() and checks that it ends with the module's PanicException
    carrying exactly `message`."""
    try:
        call()
    except BaseException as error:  # PanicException derives from BaseException
        assert type(error).__name__ == "PanicException", repr(error)
        assert error.args == (message,)
    else:
        raise AssertionError(f"expected PanicException({message!r})")
