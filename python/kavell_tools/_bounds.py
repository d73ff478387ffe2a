"""Bound keywords (``f64_min=[...]``, ...): their types, their checks, and boxes narrowed around a point."""
from __future__ import annotations

import operator
import struct
from collections.abc import Mapping, Sequence
from decimal import Decimal
from typing import Any, SupportsComplex, SupportsFloat, SupportsIndex, TypedDict

from ._record import Point

# The types PSO.min takes for each kind's bound lists.
IntBounds = Sequence[SupportsIndex]
FloatBounds = Sequence[SupportsFloat | SupportsIndex]
ComplexBounds = Sequence[complex | SupportsComplex | SupportsFloat | SupportsIndex]
DecimalBounds = Sequence[Decimal | SupportsIndex | float | str]


class Bounds(TypedDict, total=False):
    """The bound keywords of ``PSO.min``, as the toolkit's functions take them (``**bounds``)."""

    i8_min: IntBounds
    i8_max: IntBounds
    i16_min: IntBounds
    i16_max: IntBounds
    i32_min: IntBounds
    i32_max: IntBounds
    i64_min: IntBounds
    i64_max: IntBounds
    i128_min: IntBounds
    i128_max: IntBounds
    i_min: IntBounds
    i_max: IntBounds
    f32_min: FloatBounds
    f32_max: FloatBounds
    f64_min: FloatBounds
    f64_max: FloatBounds
    c64_min: ComplexBounds
    c64_max: ComplexBounds
    c128_min: ComplexBounds
    c128_max: ComplexBounds
    d_min: DecimalBounds
    d_max: DecimalBounds


KINDS = ("i8", "i16", "i32", "i64", "i128", "i", "f32", "f64", "c64", "c128", "d")
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


def _f32(value: float) -> float:
    # The value as the module stores an f32 bound.
    result: float = struct.unpack("f", struct.pack("f", value))[0]
    return result


def _decimal(value: Any) -> Decimal:
    if isinstance(value, Decimal):
        return value
    return Decimal(str(value)) if isinstance(value, (str, float)) else Decimal(operator.index(value))


def _below(kind: str, low: Any, high: Any) -> bool | None:
    """Whether ``low < high`` as the module compares the kind's values; ``None`` if they do not convert.

    Values that do not convert are left to the module, which names the
    argument in its own error.
    """
    try:
        if kind in INTEGER_KINDS:
            return bool(operator.index(low) < operator.index(high))
        if kind in REAL_KINDS:
            a, b = float(low), float(high)
            return _f32(a) < _f32(b) if kind == "f32" else a < b
        if kind in ("c64", "c128"):
            x, y = complex(low), complex(high)
            parts = [(x.real, y.real), (x.imag, y.imag)]
            if kind == "c64":
                parts = [(_f32(a), _f32(b)) for a, b in parts]
            return all(a < b for a, b in parts)
        return bool(_decimal(low) < _decimal(high))
    except (TypeError, ValueError, OverflowError, ArithmeticError, struct.error):
        return None


def check_bounds(bounds: Mapping[str, Any], *, allow_equal: bool = False) -> None:
    """Refuse what ``PSO.min`` would drop silently or fail on in the middle of a call.

    Raises ``ValueError`` naming the argument (and the index) for a kind given
    only one bound list, two lists of unequal length, a lower bound not below
    its upper bound (equal bounds pass with ``allow_equal``), and a box with
    no element at all; ``TypeError`` for a keyword that is not a bound. Lists
    of the wrong type are left to the module, which rejects them by name.
    """
    size = 0
    for key in bounds:
        if key[:-4] not in KINDS or key[-4:] not in ("_min", "_max"):
            raise TypeError(f"unexpected keyword argument {key!r}: neither a bound (i8_min ... d_max) nor an option")
    for kind in KINDS:
        low, high = bounds.get(kind + "_min"), bounds.get(kind + "_max")
        if low is None and high is None:
            continue
        if low is None or high is None:
            given, missing = (kind + "_max", kind + "_min") if low is None else (kind + "_min", kind + "_max")
            raise ValueError(f"{given} is given without {missing}: a kind takes part only with both bound lists")
        if not all(isinstance(side, Sequence) and not isinstance(side, str) for side in (low, high)):
            size += 1  # the module refuses the list by name
            continue
        if len(low) != len(high):
            shorter, longer = (kind + "_min", kind + "_max") if len(low) < len(high) else (kind + "_max", kind + "_min")
            index = min(len(low), len(high))
            raise ValueError(f"{kind}_min has {len(low)} values but {kind}_max has {len(high)}: "
                             f"{longer}[{index}] has no counterpart in {shorter}")
        for index, (a, b) in enumerate(zip(low, high)):
            if _below(kind, a, b) is False and not (allow_equal and _below(kind, b, a) is False):
                relation = "above" if _below(kind, b, a) else "not below"
                raise ValueError(f"{kind}_min[{index}] = {a!r} is {relation} {kind}_max[{index}] = {b!r}")
        size += len(low)
    if size == 0:
        raise ValueError("the box is empty: give at least one kind both bound lists, e.g. f64_min=[0.0], f64_max=[1.0]")
