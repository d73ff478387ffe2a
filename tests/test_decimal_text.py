"""The two text forms of the 96-bit decimal: parsing and writing.

Python's `decimal` module, with ample precision, is the oracle for what a
parse must give; raw results are (flags, hi, lo, mid).
"""

import decimal

import pytest
from hypothesis import example, given
from hypothesis import strategies as st

LIMIT = 2**96
MAX_SCALE = 28
SIGN = 0x8000_0000

EMPTY = "Invalid decimal: empty"
UNKNOWN = "Invalid decimal: unknown character"
LEADING = "Invalid decimal: must start lead with a number"
TWO_POINTS = "Invalid decimal: two decimal points"
NO_DIGITS = "Invalid decimal: no digits found"
TOO_MANY = "Invalid decimal: overflow from too many digits"
ROUNDING_OVERFLOW = "Invalid decimal: overflow from mantissa after rounding"

WIDE = decimal.Context(prec=400, rounding=decimal.ROUND_HALF_UP)


def raw(magnitude, scale=0, negative=False):
    assert 0 <= magnitude < LIMIT and 0 <= scale <= MAX_SCALE
    return ((scale << 16) | (SIGN if negative else 0), magnitude >> 64, magnitude & 0xFFFF_FFFF, (magnitude >> 32) & 0xFFFF_FFFF)


def parse(native, text):
    """The raw result, or the error text."""
    try:
        return native.parse_decimal(text)
    except ValueError as e:
        return str(e)


def oracle(text):
    """What parsing a text of an optional sign, digits and at most one point gives.

    Digits are kept while the magnitude stays below 2**96 and the places at
    most 28; the value is then rounded half up to the places kept (looking at
    the first dropped digit only is the same as rounding half up).
    """
    negative = text.startswith("-")
    body = text.lstrip("+-")
    integer, point, fraction = body.partition(".")
    if not (integer + fraction):
        return NO_DIGITS
    if int(integer or "0") >= LIMIT:
        return TOO_MANY
    exact = WIDE.create_decimal(body)
    places = 0
    while places < min(len(fraction), MAX_SCALE) and int(exact.scaleb(places + 1, WIDE)) < LIMIT:
        places += 1
    rounded = exact.quantize(decimal.Decimal(1).scaleb(-places), context=WIDE)
    magnitude = int(rounded.scaleb(places, WIDE))
    if magnitude == LIMIT:
        if places == 0:
            return ROUNDING_OVERFLOW
        places -= 1
        magnitude = int(rounded.quantize(decimal.Decimal(1).scaleb(-places), context=WIDE).scaleb(places, WIDE))
    return raw(magnitude, places, negative and magnitude != 0)


@pytest.mark.parametrize(
    "text, message",
    [
        ("", EMPTY),
        (b"", EMPTY),
        ("1.2.3", TWO_POINTS),
        ("..", TWO_POINTS),
        (".5.", TWO_POINTS),
        ("1.2.x", TWO_POINTS),
        ("_1", LEADING),
        ("_", LEADING),
        ("-_1", LEADING),
        ("+_1", LEADING),
        ("._5", LEADING),
        ("_1.2.3", LEADING),
        ("1 ", UNKNOWN),
        (" 1", UNKNOWN),
        ("1\n", UNKNOWN),
        ("1e5", UNKNOWN),
        ("1E+2", UNKNOWN),
        ("0x10", UNKNOWN),
        ("NaN", UNKNOWN),
        ("inf", UNKNOWN),
        ("1.x.2", UNKNOWN),
        ("1-", UNKNOWN),
        ("1+", UNKNOWN),
        ("+-1", UNKNOWN),
        ("--1", UNKNOWN),
        ("١", UNKNOWN),
        (b"1\xff", UNKNOWN),
        ("-", NO_DIGITS),
        ("+", NO_DIGITS),
        (".", NO_DIGITS),
        ("-.", NO_DIGITS),
        ("79228162514264337593543950336", TOO_MANY),
        ("-79228162514264337593543950336.0", TOO_MANY),
        ("792281625142643375935439503350", TOO_MANY),
        ("79228162514264337593543950335.5", ROUNDING_OVERFLOW),
        ("-79228162514264337593543950335.9", ROUNDING_OVERFLOW),
    ],
)
def test_parse_errors(native, text, message):
    with pytest.raises(ValueError) as info:
        native.parse_decimal(text)
    assert str(info.value) == message


ZEROS_28 = "0" * 28
DIGITS_28 = "1234567890" * 2 + "12345678"
MAX_AT_28 = "7.9228162514264337593543950335"  # 2**96 - 1 at scale 28


@pytest.mark.parametrize(
    "text, expected",
    [
        ("0", raw(0)),
        ("-0", raw(0)),
        ("-0.00", raw(0, 2)),
        ("+7", raw(7)),
        ("-12", raw(12, 0, True)),
        ("5.", raw(5)),
        (".5", raw(5, 1)),
        ("-.5", raw(5, 1, True)),
        ("1_000.000_1", raw(10_000_001, 4)),
        ("1_", raw(1)),
        ("1__0", raw(10)),
        ("1._5", raw(15, 1)),
        ("1.50", raw(150, 2)),
        ("0079228162514264337593543950335", raw(LIMIT - 1)),
        ("79228162514264337593543950335.", raw(LIMIT - 1)),
        ("79228162514264337593543950335.4", raw(LIMIT - 1)),
        ("79228162514264337593543950335.49999", raw(LIMIT - 1)),
        ("-79228162514264337593543950335", raw(LIMIT - 1, 0, True)),
        # A digit beyond 96 bits after the point rounds; reaching 2**96 drops a place.
        ("7922816251426433759354395033.55", raw(7922816251426433759354395034, 0)),
        ("7922816251426433759354395033.59abc", raw(7922816251426433759354395034, 0)),
        (MAX_AT_28 + "5", raw(7922816251426433759354395034, 27)),
        (MAX_AT_28 + "4", raw(LIMIT - 1, 28)),
        (MAX_AT_28, raw(LIMIT - 1, 28)),
        # 28 places, then exactly one more byte is looked at.
        ("0." + ZEROS_28 + "9", raw(1, 28)),
        ("0." + ZEROS_28 + "5", raw(1, 28)),
        ("0." + ZEROS_28 + "4", raw(0, 28)),
        ("-0." + ZEROS_28 + "4", raw(0, 28)),
        ("-0." + ZEROS_28 + "5", raw(1, 28, True)),
        ("0." + DIGITS_28 + "1xyz", raw(int(DIGITS_28), 28)),
        ("0." + DIGITS_28 + "9.9.9", raw(int(DIGITS_28) + 1, 28)),
        ("0." + ZEROS_28 + "_9", raw(0, 28)),
        ("0." + ZEROS_28 + ".9", raw(0, 28)),
        ("0." + ZEROS_28 + "9 trailing text", raw(1, 28)),
        ("0." + "9" * 28 + "9", raw(10**28, 28)),
    ],
)
def test_parse_values(native, text, expected):
    assert native.parse_decimal(text) == expected


@pytest.mark.parametrize(
    "text, message",
    [
        ("0." + ZEROS_28 + "x", UNKNOWN),
        ("0." + ZEROS_28 + "-", UNKNOWN),
        ("0." + ZEROS_28[:-1] + "x", UNKNOWN),
        ("0." + ZEROS_28[:-1] + "..", TWO_POINTS),
    ],
)
def test_the_byte_after_28_places_is_still_checked(native, text, message):
    assert parse(native, text) == message


digit_strings = st.text(alphabet="0123456789", max_size=36)
plain_texts = st.builds(
    lambda sign, integer, point, fraction: sign + integer + point + fraction,
    st.sampled_from(["", "+", "-"]),
    digit_strings,
    st.sampled_from(["", "."]),
    digit_strings,
)


def near_limit(sign, offset, point_at, tail):
    digits = str(LIMIT + offset)
    return sign + digits[:point_at] + "." + digits[point_at:] + tail


near_limit_texts = st.builds(
    near_limit,
    st.sampled_from(["", "-"]),
    st.integers(-(10**3), 10**3),
    st.integers(0, 29),
    st.text(alphabet="0123456789", max_size=4),
)


@given(st.one_of(plain_texts, near_limit_texts).filter(bool))
@example("0." + ZEROS_28 + "9")
@example("7922816251426433759354395033.55")
@example("79228162514264337593543950335.5")
def test_parse_agrees_with_exact_rounding(native, text):
    assert parse(native, text) == oracle(text)


short_texts = plain_texts.filter(lambda text: len(text) <= MAX_SCALE and any(c.isdigit() for c in text))


@given(short_texts, st.data())
def test_separators_after_the_first_digit_change_nothing(native, text, data):
    """Short texts never reach a rounding point, so a "_" anywhere after the
    first digit is skipped without effect."""
    first_digit = next(i for i, c in enumerate(text) if c.isdigit())
    position = data.draw(st.integers(first_digit + 1, len(text)))
    assert parse(native, text[:position] + "_" + text[position:]) == parse(native, text)


# --- to_text ----------------------------------------------------------------


@pytest.mark.parametrize(
    "value, text",
    [
        (raw(150, 2), "1.50"),
        (raw(5, 3), "0.005"),
        (raw(0, 2), "0.00"),
        (raw(12, 0, True), "-12"),
        (raw(0), "0"),
        (raw(0, 0, True), "-0"),
        (raw(0, 3, True), "-0.000"),
        (raw(1, 28), "0.0000000000000000000000000001"),
        (raw(LIMIT - 1, 28, True), "-7.9228162514264337593543950335"),
        (raw(LIMIT - 1), "79228162514264337593543950335"),
        (raw(10**28, 28), "1.0000000000000000000000000000"),
    ],
)
def test_to_text(native, value, text):
    assert native.decimal_to_text(value) == text


decimals = st.builds(raw, st.integers(0, LIMIT - 1), st.integers(0, MAX_SCALE), st.booleans())


def python_decimal(value):
    flags, hi, lo, mid = value
    magnitude = (hi << 64) | (mid << 32) | lo
    return decimal.Decimal((flags >> 31, tuple(int(d) for d in str(magnitude)), -((flags >> 16) & 0xFF)))


@given(decimals)
def test_to_text_is_the_fixed_point_form(native, value):
    assert native.decimal_to_text(value) == format(python_decimal(value), "f")


@given(decimals)
def test_parse_inverts_to_text(native, value):
    flags, hi, lo, mid = value
    if hi == lo == mid == 0:
        flags &= ~SIGN  # a zero never comes back signed
    assert native.parse_decimal(native.decimal_to_text(value)) == (flags, hi, lo, mid)
