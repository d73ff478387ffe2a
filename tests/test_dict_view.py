"""The dict view of a point: one fresh list per non-empty kind, in kind order."""

import decimal
import sys

import pytest

KINDS = ["i8", "i16", "i32", "i64", "i128", "i", "f32", "f64", "c64", "c128", "d"]

ONE_OF_EACH = {
    "i8": [-128, 127],
    "i16": [300],
    "i32": [-(2**31)],
    "i64": [2**63 - 1],
    "i128": [-(2**127)],
    "i": [10**50, 0],
    "f32": [0.5],
    "f64": [1.5, -2.0],
    "c64": [1 - 2j],
    "c128": [0.1 + 0.2j],
    "d": [decimal.Decimal("1.50"), decimal.Decimal("-3")],
}


def test_only_the_present_kind_is_a_key(native):
    view = native.to_dict({"f64": [1.5, -2.0]})
    assert view == {"f64": [1.5, -2.0]}
    assert list(view) == ["f64"]

    def objective(**kwargs):
        return kwargs

    assert objective(**view) == {"f64": [1.5, -2.0]}


def test_all_kinds_in_kind_order(native):
    # Built from a dict in reverse order: the order comes from the kinds.
    view = native.to_dict(dict(reversed(ONE_OF_EACH.items())))
    assert list(view) == KINDS
    assert view == ONE_OF_EACH
    assert [type(view[k][0]) for k in KINDS] == [int] * 6 + [float] * 2 + [complex] * 2 + [decimal.Decimal]
    assert str(view["d"][0]) == "1.50"


@pytest.mark.parametrize("present", [["i8", "d"], ["i", "c64"], ["i16", "i32", "f32"], ["c128"]])
def test_empty_kinds_have_no_entry(native, present):
    given = {k: (ONE_OF_EACH[k] if k in present else []) for k in KINDS}
    view = native.to_dict(given)
    assert list(view) == present
    assert all(type(key) is str for key in view)


def test_all_empty_is_an_empty_dict(native):
    assert native.to_dict({}) == {}
    assert native.to_dict({k: [] for k in KINDS}) == {}


def test_every_call_gives_new_dict_and_lists(native):
    first = native.to_dict(ONE_OF_EACH)
    second = native.to_dict(ONE_OF_EACH)
    assert first is not second
    for key in KINDS:
        assert type(first[key]) is list
        assert first[key] is not second[key]
    first["f64"].append(99.0)
    first["i"][0] = None
    assert second == ONE_OF_EACH
    assert native.to_dict(ONE_OF_EACH) == ONE_OF_EACH


def test_the_dict_holds_the_only_references(native):
    view = native.to_dict(ONE_OF_EACH)
    # The dict's reference and getrefcount's argument (counted outside the
    # assert, whose rewriting keeps references of its own).
    counts = [sys.getrefcount(view[key]) for key in KINDS]
    own = sys.getrefcount(view)
    assert counts == [2] * len(KINDS)
    assert own == 2


def test_conversion_failure_while_reading_leaves_nothing_behind(native):
    bad = dict(ONE_OF_EACH, c128=[1j, "x"])
    with pytest.raises(TypeError):
        native.to_dict(bad)


def test_building_views_leaks_nothing(native):
    for _ in range(1000):
        native.to_dict(ONE_OF_EACH)
    counts = [sys.getrefcount(v) for v in ONE_OF_EACH.values()]
    blocks = sys.getallocatedblocks()
    for _ in range(20_000):
        native.to_dict(ONE_OF_EACH)
    assert [sys.getrefcount(v) for v in ONE_OF_EACH.values()] == counts
    assert sys.getallocatedblocks() - blocks < 1000
