"""The sampler set: shapes, validation order and the order of draws."""

import math
from decimal import Decimal

import pytest

from random_oracles import f32, key_of, keystream, panics, u64_from

LOW_NOT_BELOW_HIGH = "Uniform::new called with `low >= high`"
RANGE_OVERFLOW = "Uniform::new: range overflow"
BIG_LOW_NOT_BELOW_HIGH = "assertion failed: low < high"
DECIMAL_LOW_ABOVE_HIGH = "Uniform::new_inclusive called with `low > high`"

KINDS = ["i8", "i16", "i32", "i64", "i128", "i", "f32", "f64", "c64", "c128", "d"]

# One valid pair per kind.
GOOD = {
    "i8": (-3, 4),
    "i16": (-300, 400),
    "i32": (10, 20),
    "i64": (-(2**40), 2**40),
    "i128": (-(2**100), 2**100),
    "i": (-(2**80), 2**90),
    "f32": (-1.5, 2.5),
    "f64": (0.25, 0.75),
    "c64": (complex(-1, -2), complex(1, 2)),
    "c128": (complex(0, 10), complex(5, 20)),
    "d": (Decimal("-1.25"), Decimal("3.5")),
}

EQUAL = {
    "i8": 5,
    "i16": 5,
    "i32": 5,
    "i64": 5,
    "i128": 5,
    "i": 2**70,
    "f32": 1.5,
    "f64": 1.5,
    "c64": complex(1, 1),
    "c128": complex(1, 1),
    "d": Decimal("1.5"),
}
EQUAL_MESSAGE = {k: LOW_NOT_BELOW_HIGH for k in KINDS} | {"i": BIG_LOW_NOT_BELOW_HIGH, "d": DECIMAL_LOW_ABOVE_HIGH}


def draw(native, lower, upper, n, key=0):
    rng = native.rng_new(key_of(200 + key))
    return native.xvec_draws(lower, upper, n, rng), rng


def in_range(kind, value, low, high):
    if kind in ("c64", "c128"):
        return low.real <= value.real < high.real and low.imag <= value.imag < high.imag
    return low <= value < high


def test_lengths_follow_the_shorter_bound(native):
    points, _ = draw(native, {"i32": [1, 5]}, {"i32": [3]}, 200)
    assert all(list(p) == ["i32"] and len(p["i32"]) == 1 for p in points)
    assert {p["i32"][0] for p in points} == {1, 2}


def test_i8_full_range_never_draws_high(native):
    points, _ = draw(native, {"i8": [-128]}, {"i8": [127]}, 20000)
    assert {p["i8"][0] for p in points} == set(range(-128, 127))


def test_every_kind_at_once(native):
    lower = {k: [GOOD[k][0]] * (1 + i % 3) for i, k in enumerate(KINDS)}
    upper = {k: [GOOD[k][1]] * (1 + i % 3) + [GOOD[k][1]] for i, k in enumerate(KINDS)}
    points, _ = draw(native, lower, upper, 300)
    for p in points:
        assert list(p) == KINDS
        for k in KINDS:
            assert len(p[k]) == len(lower[k])
            assert all(in_range(k, v, *GOOD[k]) for v in p[k])
    assert len({p["f64"][0] for p in points}) > 250


def test_empty_bounds_give_empty_points(native):
    points, rng = draw(native, {}, {}, 5)
    assert points == [{}] * 5
    assert native.rng_state(rng)[0] == 0
    # Kinds present on one side only have no elements either.
    points, _ = draw(native, {"f64": [0.0], "i8": []}, {"i8": [1]}, 3)
    assert points == [{}] * 3


def test_draws_go_in_kind_order_then_position_order(native):
    # Integer kinds over a single value use a known number of words; the
    # float kinds show which words they received.
    lower = {
        "i8": [0], "i16": [0], "i32": [0], "i64": [0], "i128": [0], "i": [0],
        "f32": [0.0, 10.0], "f64": [0.0, -4.0], "c64": [0j], "c128": [2j], "d": [Decimal(0)],
    }  # fmt: skip
    upper = {
        "i8": [1], "i16": [1], "i32": [1], "i64": [1], "i128": [1], "i": [1],
        "f32": [1.0, 12.0], "f64": [1.0, 4.0], "c64": [1 + 1j], "c128": [1 + 3j], "d": [Decimal(1)],
    }  # fmt: skip
    # Widths as the element samplers adjust them (checked in test_samplers).
    w_f32 = native.uniform_fields("f32", 10.0, 12.0)[1]
    w_f64 = native.uniform_fields("f64", -4.0, 4.0)[1]
    w_c128 = native.uniform_fields("f64", 2.0, 3.0)[1]
    assert (w_f32, w_f64, w_c128) == (2.0 - 3 * 2**-23, 8.0, 1.0 - 2**-53)
    key = key_of(200)
    words = keystream(key, 400)
    expected = []
    p = 0
    for _ in range(4):
        p += 1 + 1 + 1 + 2 + 4  # i8, i16, i32, i64, i128
        while words[p] & 1:  # "i": one-bit candidates until a 0
            p += 1
        p += 1

        def u32():
            nonlocal p
            p += 1
            return (words[p - 1] >> 9) * 2**-23

        def u64():
            nonlocal p
            p += 2
            return (u64_from(words, p - 2) >> 12) * 2**-52

        f32s = [u32(), f32(10.0 + f32(w_f32 * u32()))]
        f64s = [u64(), -4.0 + w_f64 * u64()]
        c64 = complex(u32(), u32())
        c128 = complex(u64(), 2.0 + w_c128 * u64())
        p += 4  # "d": one 128-bit attempt
        expected.append(
            {"i8": [0], "i16": [0], "i32": [0], "i64": [0], "i128": [0], "i": [0],
             "f32": f32s, "f64": f64s, "c64": [c64], "c128": [c128], "d": [Decimal(0)]}
        )  # fmt: skip
    points, rng = draw(native, lower, upper, 4)
    assert points == expected
    assert native.rng_state(rng)[0] == p


@pytest.mark.parametrize("kind", KINDS)
def test_equal_bounds_are_rejected_for_every_kind(native, kind):
    with panics(EQUAL_MESSAGE[kind]):
        draw(native, {kind: [EQUAL[kind]]}, {kind: [EQUAL[kind]]}, 1)


@pytest.mark.parametrize(
    "lower, upper, message",
    [
        # Kind order decides: "i8" comes before "f64".
        ({"i8": [3], "f64": [0.0]}, {"i8": [3], "f64": [math.inf]}, LOW_NOT_BELOW_HIGH),
        ({"f64": [0.0], "i": [5]}, {"f64": [math.inf], "i": [5]}, BIG_LOW_NOT_BELOW_HIGH),
        ({"f32": [0.0], "d": [Decimal(2)]}, {"f32": [math.inf], "d": [Decimal(1)]}, RANGE_OVERFLOW),
        # Position order decides: position 3 fails before position 4 is seen.
        (
            {"f32": [0.0, 0.0, 0.0, -3e38, 1.0]},
            {"f32": [1.0, 1.0, 1.0, 3e38, 0.0]},
            RANGE_OVERFLOW,
        ),
        (
            {"f32": [0.0, 0.0, 0.0, 1.0, -3e38]},
            {"f32": [1.0, 1.0, 1.0, 0.0, 3e38]},
            LOW_NOT_BELOW_HIGH,
        ),
        # A complex pair reports its real part first.
        ({"c64": [complex(1, -3e38)]}, {"c64": [complex(1, 3e38)]}, LOW_NOT_BELOW_HIGH),
        ({"c64": [complex(-3e38, 1)]}, {"c64": [complex(3e38, 1)]}, RANGE_OVERFLOW),
    ],
)
def test_first_rejected_pair_decides_the_message(native, lower, upper, message):
    with panics(message):
        draw(native, lower, upper, 1)


def test_bad_pair_after_a_good_one_fails_before_any_draw(native):
    rng = native.rng_new(key_of(201))
    with panics(LOW_NOT_BELOW_HIGH):
        native.xvec_draws({"f32": [0.0, 0.0, 0.0, 2.0]}, {"f32": [1.0, 1.0, 1.0, 2.0]}, 3, rng)
    assert native.rng_state(rng)[0] == 0


def test_elements_beyond_the_shorter_bound_are_not_checked(native):
    points, _ = draw(native, {"i16": [0, -1, 9], "d": [Decimal(0)]}, {"i16": [2, 1], "d": [Decimal(1), Decimal(-5)]}, 3)
    assert [p["i16"][0] for p in points] and all(len(p["i16"]) == 2 for p in points)
    assert all(p["d"] == [Decimal(0)] for p in points)
