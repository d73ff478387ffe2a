"""Bound keywords (``f64_min=[...]``, ...) and boxes narrowed around a point."""
from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from ._tracking import Point

INTEGER_KINDS = ("i8", "i16", "i32", "i64", "i128", "i")
REAL_KINDS = ("f32", "f64")


def kinds(bounds: Mapping[str, Any]) -> list[str]:
    """The kind keys that have both a lower and an upper bound list."""
    return [key[:-4] for key in bounds if key.endswith("_min") and key[:-4] + "_max" in bounds]


def _narrow_integer(low: int, high: int, centre: int, fraction: float) -> tuple[int, int]:
    # At least one unit either side, so the pair stays a valid (strict) bound.
    half = max(1, int((high - low) * fraction) // 2)
    return max(low, centre - half), min(high, centre + half)


def _narrow_real(low: float, high: float, centre: float, fraction: float) -> tuple[float, float]:
    half = (high - low) * fraction / 2.0
    new_low, new_high = max(low, centre - half), min(high, centre + half)
    return (new_low, new_high) if new_low < new_high else (low, high)


def narrowed(bounds: Mapping[str, Any], centre: Point, fraction: float) -> dict[str, Any]:
    """Bounds shrunk to ``fraction`` of their width around ``centre``, clipped to the originals.

    Integer and real kinds are narrowed; decimal and complex kinds keep their
    bounds, as do kinds missing from ``centre``.
    """
    result = dict(bounds)
    for kind in kinds(bounds):
        if kind not in centre or not (kind in INTEGER_KINDS or kind in REAL_KINDS):
            continue
        narrow = _narrow_integer if kind in INTEGER_KINDS else _narrow_real
        pairs = [
            narrow(low, high, value, fraction)
            for low, high, value in zip(bounds[kind + "_min"], bounds[kind + "_max"], centre[kind])
        ]
        result[kind + "_min"] = [low for low, _ in pairs]
        result[kind + "_max"] = [high for _, high in pairs]
    return result
