"""Conversions of single values and sequences between Python and the kinds.

Interpreter-produced messages are never written down here: each one is taken
from a standard-library call that goes through the same C conversion.
"""

import array
import cmath
import decimal
import math
import operator
import os
import struct
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given
from hypothesis import strategies as st

from numeric_oracles import decimals, py_decimal

OUT_OF_RANGE = "out of range integral type conversion attempted"

FIXED_INT_RANGES = {
    "i8": (-(2**7), 2**7 - 1),
    "i16": (-(2**15), 2**15 - 1),
    "i32": (-(2**31), 2**31 - 1),
    "i64": (-(2**63), 2**63 - 1),
    "i128": (-(2**127), 2**127 - 1),
}
INT_KINDS = [*FIXED_INT_RANGES, "i"]


def raised(call):
    """(type, message) of the exception `call` raises."""
    try:
        call()
    except BaseException as e:  # noqa: BLE001 - the oracle may raise anything
        return type(e), str(e)
    raise AssertionError("the oracle did not raise")


def c_long_error(value):
    return raised(lambda: array.array("l", [value]))


def c_long_long_error(value):
    return raised(lambda: array.array("q", [value]))


def byte_array_error(value, size):
    return raised(lambda: value.to_bytes(size, "little", signed=True))


def index_error(obj):
    return raised(lambda: operator.index(obj))


def float_error(obj):
    return raised(lambda: array.array("d", [obj]))


def complex_error(obj):
    return raised(lambda: cmath.sqrt(obj))


def expect(call, expected):
    """`expected` is a value, or (exception type, message)."""
    if isinstance(expected, tuple) and len(expected) == 2 and isinstance(expected[0], type):
        kind, message = expected
        with pytest.raises(kind) as info:
            call()
        assert type(info.value) is kind
        assert str(info.value) == message
    else:
        result = call()
        assert type(result) is type(expected)
        assert result == expected


def f32(x):
    """The binary32 nearest to x, as the hardware rounds it (overflow to infinity)."""
    try:
        return struct.unpack("f", struct.pack("f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


class Converts:
    """An object that converts only through its dunder methods, each returning a fixed value."""

    def __init__(self, **returns):
        self.returns = returns

    def __repr__(self):
        return f"Converts({self.returns})"


def converts(method, value):
    cls = type(f"Only{method.strip('_').title()}", (Converts,), {method: lambda self: self.returns[method]})
    return cls(**{method: value})


def Index(value):
    return converts("__index__", value)


def Float(value):
    return converts("__float__", value)


def ComplexLike(value):
    return converts("__complex__", value)


def Text(value):
    """An object known to Python only by its str()."""
    return converts("__str__", value)


# --- integer kinds --------------------------------------------------------

INTEGER_LIMITS = [
    ("i8", 127, 127),
    ("i8", -128, -128),
    ("i8", 128, (OverflowError, OUT_OF_RANGE)),
    ("i8", -129, (OverflowError, OUT_OF_RANGE)),
    ("i8", 2**63 - 1, (OverflowError, OUT_OF_RANGE)),
    ("i8", 2**63, c_long_error(2**63)),
    ("i8", -(2**63) - 1, c_long_error(-(2**63) - 1)),
    ("i16", 32767, 32767),
    ("i16", -32768, -32768),
    ("i16", 32768, (OverflowError, OUT_OF_RANGE)),
    ("i16", -32769, (OverflowError, OUT_OF_RANGE)),
    ("i16", 2**64, c_long_error(2**64)),
    ("i32", 2**31 - 1, 2**31 - 1),
    ("i32", -(2**31), -(2**31)),
    # The C long is 64 bits here: within it the kind's own range check speaks.
    ("i32", 2**31, (OverflowError, OUT_OF_RANGE)),
    ("i32", -(2**31) - 1, (OverflowError, OUT_OF_RANGE)),
    ("i32", -(2**63), (OverflowError, OUT_OF_RANGE)),
    ("i32", 2**63, c_long_error(2**63)),
    ("i32", -(2**100), c_long_error(-(2**100))),
    ("i64", 2**63 - 1, 2**63 - 1),
    ("i64", -(2**63), -(2**63)),
    ("i64", 2**63, c_long_long_error(2**63)),
    ("i64", -(2**63) - 1, c_long_long_error(-(2**63) - 1)),
    ("i64", 2**64, c_long_long_error(2**64)),
    ("i128", 2**127 - 1, 2**127 - 1),
    ("i128", -(2**127), -(2**127)),
    ("i128", 2**64, 2**64),
    ("i128", -(2**64), -(2**64)),
    ("i128", 2**127, byte_array_error(2**127, 16)),
    ("i128", -(2**127) - 1, byte_array_error(-(2**127) - 1, 16)),
    ("i", 10**100, 10**100),
    ("i", -(10**100), -(10**100)),
    ("i", -(2**4000) + 12345, -(2**4000) + 12345),
    ("i", -(7**5000), -(7**5000)),
    ("i", 0, 0),
    ("i", -1, -1),
]


@pytest.mark.parametrize("kind, value, expected", INTEGER_LIMITS)
def test_integer_limits(native, kind, value, expected):
    expect(lambda: native.roundtrip(kind, value), expected)


@pytest.mark.parametrize("kind", INT_KINDS)
@pytest.mark.parametrize(
    "obj, expected",
    [
        (True, 1),
        (False, 0),
        (Index(-5), -5),
        (1.0, index_error(1.0)),
        ("3", index_error("3")),
        (None, index_error(None)),
        (Float(2.0), index_error(Float(2.0))),
        (Index("x"), index_error(Index("x"))),
    ],
    ids=["True", "False", "__index__", "float", "str", "None", "__float__-only", "bad-__index__"],
)
def test_integer_kinds_go_through_index(native, kind, obj, expected):
    expect(lambda: native.roundtrip(kind, obj), expected)


def test_index_result_is_range_checked(native):
    expect(lambda: native.roundtrip("i8", Index(200)), (OverflowError, OUT_OF_RANGE))
    expect(lambda: native.roundtrip("i128", Index(2**127)), byte_array_error(2**127, 16))


@pytest.mark.parametrize("kind", list(FIXED_INT_RANGES))
@given(data=st.data())
def test_fixed_integers_round_trip(native, kind, data):
    low, high = FIXED_INT_RANGES[kind]
    value = data.draw(st.integers(low, high))
    assert native.roundtrip(kind, value) == value
    assert native.roundtrip(kind, Index(value)) == value


def bigint_repr(value):
    """(sign, limbs) of the native arbitrary-precision integer, from Python's int."""
    sign = 1 if value == 0 else (0 if value < 0 else 2)
    magnitude, limbs = abs(value), []
    while magnitude:
        limbs.append(magnitude & (2**64 - 1))
        magnitude >>= 64
    return sign, tuple(limbs)


big_integers = st.one_of(
    st.integers(),
    st.builds(lambda bits, negate: -bits if negate else bits, st.integers(0, 2**5000), st.booleans()),
    st.builds(lambda k, d, negate: (-1 if negate else 1) * (2**k + d), st.integers(0, 3000), st.integers(-2, 2), st.booleans()),
)


@given(big_integers)
def test_big_integers_round_trip_exactly(native, value):
    assert native.roundtrip("i", value) == value
    assert native.from_py_repr("i", value) == bigint_repr(value)


# The i kind reads through a stack buffer up to 1023 bits and allocates beyond.
@pytest.mark.parametrize("value", [2**1015, 2**1023 - 1, 2**1023, 2**1024 - 1, 2**1024, 2**1031, 2**1032])
@pytest.mark.parametrize("negate", [False, True], ids=["positive", "negative"])
def test_big_integers_at_the_buffer_boundary(native, value, negate):
    value = -value if negate else value
    assert native.from_py_repr("i", value) == bigint_repr(value)


def shortest_signed_bytes(value):
    length = 1
    while True:
        try:
            return value.to_bytes(length, "little", signed=True)
        except OverflowError:
            length += 1


BYTE_STRING_EDGES = sorted(
    {0, 1, -1, 127, 128, -128, -129, 255, 256, -255, -256, 2**63, -(2**63), 2**64, -(2**64), 2**64 - 1, -(2**64) + 1}
    | {s * (2 ** (8 * k - 1) + d) for k in range(1, 20) for d in (-1, 0, 1) for s in (1, -1)}
)


@pytest.mark.parametrize("value", BYTE_STRING_EDGES)
def test_shortest_byte_strings(native, value):
    encoded = native.bigint_signed_bytes(value)
    assert encoded == shortest_signed_bytes(value)
    assert native.bigint_from_signed_bytes(encoded) == bigint_repr(value)


@given(big_integers)
def test_shortest_byte_strings_for_any_integer(native, value):
    assert native.bigint_signed_bytes(value) == shortest_signed_bytes(value)


@pytest.mark.parametrize(
    "data",
    [b"", b"\x00", b"\x00" * 17, b"\xff", b"\xff" * 9, b"\x80", b"\x00\x80", b"\x00" * 8 + b"\x80", b"\x01" + b"\x00" * 15 + b"\x80", b"\x7f" * 33],
)
def test_byte_strings_of_any_length_are_read(native, data):
    assert native.bigint_from_signed_bytes(data) == bigint_repr(int.from_bytes(data, "little", signed=True))


@given(st.binary(max_size=80))
def test_any_byte_string_is_read(native, data):
    assert native.bigint_from_signed_bytes(data) == bigint_repr(int.from_bytes(data, "little", signed=True))


# --- float and complex kinds ---------------------------------------------

FLT_MAX = struct.unpack("f", b"\xff\xff\x7f\x7f")[0]
# Halfway between the largest binary32 and 2**128: rounds (to even) to infinity.
F32_HALFWAY = 2.0**128 - 2.0**103


@pytest.mark.parametrize(
    "kind, obj, expected",
    [
        ("f32", 0.1, 0.10000000149011612),
        ("f32", 1e300, math.inf),
        ("f32", -1e300, -math.inf),
        ("f32", F32_HALFWAY, math.inf),
        ("f32", math.nextafter(F32_HALFWAY, 0), FLT_MAX),
        ("f32", -math.nextafter(F32_HALFWAY, 0), -FLT_MAX),
        ("f32", 1e-50, 0.0),
        ("f32", 3, 3.0),
        ("f32", True, 1.0),
        ("f32", Float(0.1), 0.10000000149011612),
        ("f32", Index(2**24 + 1), 16777216.0),
        ("f64", 0.1, 0.1),
        ("f64", -1.0, -1.0),
        ("f64", 2**53 + 1, 9007199254740992.0),
        ("f64", Float(-1.0), -1.0),
        ("f64", Index(7), 7.0),
        ("f64", "1.0", float_error("1.0")),
        ("f64", None, float_error(None)),
        ("f64", 10**400, float_error(10**400)),
        ("f32", 1j, float_error(1j)),
        ("f64", Float("x"), float_error(Float("x"))),
    ],
)
def test_float_kinds(native, kind, obj, expected):
    expect(lambda: native.roundtrip(kind, obj), expected)


@pytest.mark.parametrize("kind", ["f32", "f64", "c64", "c128"])
def test_nan_passes_through(native, kind):
    result = native.roundtrip(kind, math.nan)
    assert math.isnan(result.real)


@given(st.floats(allow_nan=False))
def test_f32_rounds_like_the_hardware(native, x):
    assert native.roundtrip("f32", x) == f32(x)
    assert native.roundtrip("f64", x) == x


@pytest.mark.parametrize(
    "kind, obj, expected",
    [
        ("c128", 3, 3 + 0j),
        ("c128", 2.5, 2.5 + 0j),
        ("c128", True, 1 + 0j),
        ("c128", complex(1.5, -2.0), complex(1.5, -2.0)),
        ("c128", ComplexLike(1 - 1j), 1 - 1j),
        ("c128", Float(-1.0), -1 + 0j),
        ("c128", Index(4), 4 + 0j),
        ("c64", complex(0.1, 1e300), complex(0.10000000149011612, math.inf)),
        ("c64", complex(-1e300, 0.1), complex(-math.inf, 0.10000000149011612)),
        ("c64", 0.1, complex(0.10000000149011612, 0)),
        ("c128", "3", complex_error("3")),
        ("c64", None, complex_error(None)),
        ("c128", 10**400, complex_error(10**400)),
        ("c128", ComplexLike("x"), complex_error(ComplexLike("x"))),
    ],
)
def test_complex_kinds(native, kind, obj, expected):
    expect(lambda: native.roundtrip(kind, obj), expected)


@given(st.complex_numbers(allow_nan=False))
def test_c64_rounds_both_parts(native, z):
    assert native.from_py_repr("c64", z) == (f32(z.real), f32(z.imag))
    assert native.from_py_repr("c128", z) == (z.real, z.imag)


# --- the decimal kind -----------------------------------------------------

SIGN = 0x8000_0000


def decimal_repr(magnitude, scale=0, negative=False):
    return ((scale << 16) | (SIGN if negative else 0), magnitude >> 64, magnitude & 0xFFFF_FFFF, (magnitude >> 32) & 0xFFFF_FFFF)


class BadStr:
    def __str__(self):
        raise RuntimeError("no text")


@pytest.mark.parametrize(
    "obj, expected",
    [
        (7, decimal_repr(7)),
        (-7, decimal_repr(7, negative=True)),
        (0, decimal_repr(0)),
        (True, decimal_repr(1)),
        (Index(12), decimal_repr(12)),
        (2**63 - 1, decimal_repr(2**63 - 1)),
        (-(2**63), decimal_repr(2**63, negative=True)),
        (2**63, decimal_repr(2**63)),
        (-(2**63) - 1, decimal_repr(2**63 + 1, negative=True)),
        (2**70, decimal_repr(2**70)),
        (2**96 - 1, decimal_repr(2**96 - 1)),
        (0.1, decimal_repr(1, 1)),
        (-2.5, decimal_repr(25, 1, negative=True)),
        (1e15, decimal_repr(10**16, 1)),
        (decimal.Decimal("1.50"), decimal_repr(150, 2)),
        (decimal.Decimal("-0.00"), decimal_repr(0, 2)),
        ("12.5", decimal_repr(125, 1)),
        (Text("1_000.5"), decimal_repr(10005, 1)),
    ],
    ids=lambda v: repr(v) if not isinstance(v, tuple) else "",
)
def test_decimal_from_py(native, obj, expected):
    assert native.from_py_repr("d", obj) == expected


@pytest.mark.parametrize(
    "obj, message",
    [
        (1e-7, "Invalid decimal: unknown character"),
        (1e16, "Invalid decimal: unknown character"),
        (decimal.Decimal("1E+2"), "Invalid decimal: unknown character"),
        (math.nan, "Invalid decimal: unknown character"),
        (-math.inf, "Invalid decimal: unknown character"),
        (1j, "Invalid decimal: unknown character"),
        (None, "Invalid decimal: unknown character"),
        (10**30, "Invalid decimal: overflow from too many digits"),
        (2**96, "Invalid decimal: overflow from too many digits"),
        ("", "Invalid decimal: empty"),
        (Text("-"), "Invalid decimal: no digits found"),
    ],
    ids=repr,
)
def test_decimal_from_py_refuses_unparseable_text(native, obj, message):
    expect(lambda: native.from_py_repr("d", obj), (ValueError, message))


def test_decimal_text_failures_are_the_interpreters(native):
    expect(lambda: native.roundtrip("d", BadStr()), (RuntimeError, "no text"))
    lone_surrogate = Text("1\udc80")
    expect(lambda: native.roundtrip("d", lone_surrogate), raised(lambda: "1\udc80".encode()))


def test_decimal_index_failure_is_discarded(native):
    class Both(Converts):
        def __index__(self):
            return self.returns["__index__"]

        def __str__(self):
            return self.returns["__str__"]

    assert native.from_py_repr("d", Both(__index__="not an int", __str__="4.25")) == decimal_repr(425, 2)


@pytest.mark.parametrize(
    "obj",
    [7, -7, 2**70, 0.1, decimal.Decimal("1.50"), decimal.Decimal("-0.005"), decimal.Decimal("79228162514264337593543950335")],
    ids=repr,
)
def test_decimal_to_py_keeps_value_and_scale(native, obj):
    result = native.roundtrip("d", obj)
    assert type(result) is decimal.Decimal
    assert str(result) == str(decimal.Decimal(str(obj)))


@pytest.mark.parametrize(
    "raw, expected",
    [
        (decimal_repr(0, negative=True), "-0"),
        (decimal_repr(0, 3, negative=True), "-0.000"),
        (decimal_repr(1, 28), "1E-28"),
        (decimal_repr(2**96 - 1, 28), "7.9228162514264337593543950335"),
        (decimal_repr(2**96 - 1, 0, negative=True), "-79228162514264337593543950335"),
    ],
)
def test_decimal_to_py_of_raw_values(native, raw, expected):
    result = native.decimal_to_py(raw)
    assert type(result) is decimal.Decimal
    assert str(result) == expected


@given(decimals)
def test_decimal_to_py_has_the_exact_sign_digits_and_exponent(native, raw):
    # The reference is built from the digit tuple, a route the conversion does not take.
    result = native.decimal_to_py(raw)
    assert type(result) is decimal.Decimal
    assert result.as_tuple() == py_decimal(raw).as_tuple()


# --- sequences ------------------------------------------------------------


class Sequence:
    """A sequence known only through __len__ and __getitem__."""

    def __init__(self, items, length=None, fail_at=None):
        self.items, self.length, self.fail_at = items, length, fail_at

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise RuntimeError("iteration broke")
        return self.items[i]


class Outer:
    class NotASequence:
        pass


def generator():
    yield 1


@pytest.mark.parametrize(
    "kind, seq, expected",
    [
        ("i8", [1, -2, 3], [1, -2, 3]),
        ("i8", (1, 2), [1, 2]),
        ("i16", range(5), [0, 1, 2, 3, 4]),
        ("i32", range(10, 0, -3), [10, 7, 4, 1]),
        ("i8", b"\x00\x7f", [0, 127]),
        ("i8", b"\x80", (OverflowError, OUT_OF_RANGE)),
        ("i64", bytearray(b"ab"), [97, 98]),
        ("i", array.array("q", [-1, 2**62]), [-1, 2**62]),
        ("f64", memoryview(b"\x01"), [1.0]),
        ("i128", Sequence([5, 6], length=RuntimeError("no length")), [5, 6]),
        ("i", Sequence([5, 6], length=0), [5, 6]),
        ("i64", Sequence([1, 2, 3], fail_at=2), (RuntimeError, "iteration broke")),
        ("f32", [], []),
        ("d", [1, 0.5, "2.25"], [decimal.Decimal(1), decimal.Decimal("0.5"), decimal.Decimal("2.25")]),
        ("c64", (1, 2j), [1 + 0j, 2j]),
    ],
    ids=lambda v: type(v).__name__,
)
def test_accepted_sequences(native, kind, seq, expected):
    expect(lambda: native.list_roundtrip(kind, seq), expected)


@pytest.mark.parametrize("kind", ["i8", "i", "f64", "c128", "d"])
@pytest.mark.parametrize(
    "obj",
    [{1, 2}, frozenset(), generator(), iter([1]), None, {"a": 1}, {}.keys(), 5, Outer.NotASequence()],
    ids=lambda v: type(v).__qualname__,
)
def test_refused_sequences(native, kind, obj):
    message = f"'{type(obj).__qualname__}' object cannot be converted to 'Sequence'"
    expect(lambda: native.list_roundtrip(kind, obj), (TypeError, message))


def test_qualname_in_refusal_is_the_nested_name(native):
    with pytest.raises(TypeError, match=r"^'Outer\.NotASequence' object"):
        native.list_roundtrip("i8", Outer.NotASequence())


@pytest.mark.parametrize(
    "kind, third, expected",
    [
        ("i8", 128, (OverflowError, OUT_OF_RANGE)),
        ("i16", 1.5, index_error(1.5)),
        ("i64", 2**64, c_long_long_error(2**64)),
        ("f64", "x", float_error("x")),
        ("c128", "x", complex_error("x")),
        ("d", 1e-7, (ValueError, "Invalid decimal: unknown character")),
        ("i", Index(None), index_error(Index(None))),
    ],
)
def test_a_bad_third_element_fails_the_list(native, kind, third, expected):
    expect(lambda: native.list_roundtrip(kind, [1, 2, third, 4]), expected)


def test_first_bad_element_wins(native):
    expect(lambda: native.list_roundtrip("i8", [1, "x", 300]), index_error("x"))


def test_reported_length_beyond_memory_is_a_capacity_fault(native):
    for kind in ["i64", "i"]:
        with pytest.raises(BaseException) as info:
            native.list_roundtrip(kind, Sequence([], length=sys.maxsize))
        assert type(info.value).__name__ == "PanicException"
        assert str(info.value) == "capacity overflow"


@pytest.mark.parametrize(
    "kind, elements",
    [
        ("i8", st.integers(-128, 127)),
        ("i128", st.integers(-(2**127), 2**127 - 1)),
        ("i", big_integers),
        ("f64", st.floats(allow_nan=False)),
        ("c128", st.complex_numbers(allow_nan=False)),
    ],
)
@given(data=st.data())
def test_lists_round_trip(native, kind, elements, data):
    values = data.draw(st.lists(elements, max_size=20))
    result = native.list_roundtrip(kind, values)
    assert type(result) is list
    assert result == values
    assert native.list_roundtrip(kind, tuple(values)) == values


# --- references -----------------------------------------------------------

LEAK_ROUNDS = 100_000


def leak_inputs():
    """(kind, object) pairs that cover every route, failures included."""
    return [
        ("i8", 100),
        ("i8", 1000),
        ("i16", Index(5)),
        ("i32", 2**40),
        ("i64", 2**70),
        ("i128", 2**100),
        ("i128", Index(-(2**120))),
        ("i", 10**400),
        ("i", -(2**1100)),
        ("i", 1.5),
        ("f32", 0.1),
        ("f64", Float(2.0)),
        ("c64", ComplexLike(1j)),
        ("c128", "x"),
        ("d", 7),
        ("d", 2**70),
        ("d", decimal.Decimal("1.50")),
        ("d", 1e-7),
        ("d", BadStr()),
    ]


def test_conversions_leak_nothing(native):
    cases = leak_inputs()
    sequences = [("i8", [1, 2, "x"]), ("d", (1, 2.5)), ("i", range(3)), ("i16", {1})]

    def run():
        for _ in range(LEAK_ROUNDS // len(cases)):
            for kind, obj in cases:
                try:
                    native.roundtrip(kind, obj)
                except (TypeError, ValueError, OverflowError, RuntimeError):
                    pass
            for kind, seq in sequences:
                try:
                    native.list_roundtrip(kind, seq)
                except TypeError:
                    pass

    run()  # warm caches, including the decimal class
    objects = [obj for _, obj in cases] + [seq for _, seq in sequences] + [decimal.Decimal]
    counts = [sys.getrefcount(obj) for obj in objects]
    blocks = sys.getallocatedblocks()
    total = getattr(sys, "gettotalrefcount", lambda: 0)()
    run()
    assert [sys.getrefcount(obj) for obj in objects] == counts
    # One leaked object per conversion would be tens of thousands of blocks.
    assert sys.getallocatedblocks() - blocks < 1000
    # Debug interpreters count every reference taken and dropped: one missing
    # release per conversion shows here even when no object stays alive.
    assert abs(getattr(sys, "gettotalrefcount", lambda: 0)() - total) < 1000


# --- the cached decimal class ----------------------------------------------


def run_isolated(code):
    """Runs `code` in a fresh interpreter, where the decimal class is not cached yet."""
    env = dict(os.environ)
    testing_dir = os.environ.get("KAVELL_TESTING_DIR")
    if testing_dir:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [os.path.abspath(testing_dir), env.get("PYTHONPATH")]))
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True, timeout=120
    )


def test_decimal_class_load_failure_is_retried(native):
    result = run_isolated(
        """
        import sys, types
        import _kavell_testing as native

        def failure(raw):
            try:
                native.decimal_to_py(raw)
            except BaseException as e:
                return f"{type(e).__name__}: {e}"

        real = sys.modules.pop("decimal", None)
        sys.modules["decimal"] = None
        print(failure((0, 0, 7, 0)))
        sys.modules["decimal"] = types.SimpleNamespace(Decimal=lambda text: text)
        print(failure((0, 0, 7, 0)))
        del sys.modules["decimal"]
        if real is not None:
            sys.modules["decimal"] = real
        print(repr(native.decimal_to_py((0, 0, 7, 0))))
        """
    )
    lines = result.stdout.splitlines()
    assert len(lines) == 3, result.stderr
    prefix = "PanicException: failed to load decimal.Decimal: PyErr { type: "
    assert lines[0].startswith(prefix + "<class 'ModuleNotFoundError'>")
    assert lines[1].startswith(prefix + "<class 'TypeError'>")
    assert "cannot be converted to 'type'" in lines[1]
    assert lines[2] == "Decimal('7')"
    assert "panicked at 'failed to load decimal.Decimal" in result.stderr


def test_decimal_to_py_with_the_pure_python_decimal_module(native):
    # Its objects come back, of its own class, with the same sign, digits and exponent.
    result = run_isolated(
        """
        import sys, _pydecimal
        sys.modules["decimal"] = _pydecimal
        import _kavell_testing as native
        value = native.decimal_to_py((0x80000000 | (2 << 16), 0, 150, 0))
        print(type(value) is _pydecimal.Decimal, value)
        """
    )
    assert result.stdout.splitlines() == ["True -1.50"], result.stderr


def test_decimal_class_call_failure_is_a_fault(native):
    result = run_isolated(
        """
        import sys, types
        import _kavell_testing as native

        class Refusing:
            def __new__(cls, text):
                raise ArithmeticError("refused " + text)

        sys.modules["decimal"] = types.SimpleNamespace(Decimal=Refusing)
        try:
            native.decimal_to_py((0x80000000 | (2 << 16), 0, 150, 0))
        except BaseException as e:
            print(type(e).__name__)
            print(str(e))
        """
    )
    lines = result.stdout.splitlines()
    assert lines[0] == "PanicException", result.stderr
    assert lines[1].startswith(
        "failed to call decimal.Decimal(value): PyErr { type: <class 'ArithmeticError'>, "
        "value: ArithmeticError('refused -1.50'), traceback: Some(<traceback object at "
    )


# --- the text of a fault resumed through nested runs -------------------------------

# Text as a fault carries it: UTF-8, so no lone surrogates.
FAULT_TEXT = st.text(st.characters(blacklist_categories=("Cs",)))


@given(FAULT_TEXT)
def test_a_one_element_tuple_text_reads_back_to_its_element(native, text):
    # str() of the lazy argument tuple is the wrapping; Python's own repr is the oracle.
    assert native.unwrap_resumed(str((text,))) == text
    assert native.unwrap_resumed(str((str((text,)),))) == str((text,))


@pytest.mark.parametrize("text", [
    "", "plain", "('a', 'b')", "('a')", "['a',]", "(1,)", "('a,)", "('a\",)", "('it's',)", "('a\\',)",
    "('\\q',)", "('\\x4',)", "('\\U00110000',)", "('a'),)",
])
def test_other_texts_are_not_read_as_a_wrapping(native, text):
    assert native.unwrap_resumed(text) is None
