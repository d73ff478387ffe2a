"""Bound keywords (``f64_min=[...]``, ...): their types, their checks, and boxes narrowed around a point."""
from __future__ import annotations

import math
import numbers
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
FLOAT_KINDS = ("f32", "f64", "c64", "c128")
SINGLE_KINDS = ("f32", "c64")  # whose floats are binary32


def _shown(value: Any) -> str:
    """``repr(value)`` for a message; an int too long for that (``sys.set_int_max_str_digits``) by its size."""
    try:
        return repr(value)
    except ValueError:
        size = f"{value.bit_length()} bits" if isinstance(value, int) else "too long to show"
        return f"<{type(value).__name__} of {size}>"


def kinds(bounds: Mapping[str, Any]) -> list[str]:
    """The kind keys that have both a lower and an upper bound list."""
    return [key[:-4] for key in bounds if key.endswith("_min") and key[:-4] + "_max" in bounds]


def _narrow_integer(low: int, high: int, centre: int, fraction: float) -> tuple[int, int]:
    # At least one unit either side, so the pair stays a valid (strict) bound.
    half = max(1, int((high - low) * fraction) // 2)
    return max(low, centre - half), min(high, centre + half)


def _narrow_real(low: float, high: float, centre: float, fraction: float, single: bool) -> tuple[float, float]:
    half = (high - low) * fraction / 2.0
    new_low, new_high = max(low, centre - half), min(high, centre + half)
    # Compared as the module stores the kind: a box narrower than one binary32 step is empty in f32.
    valid = _f32(new_low) < _f32(new_high) if single else new_low < new_high
    return (new_low, new_high) if valid else (low, high)


def narrowed(bounds: Mapping[str, Any], centre: Point, fraction: float) -> dict[str, Any]:
    """Bounds shrunk to ``fraction`` of their width around ``centre``, clipped to the originals.

    Integer and real kinds are narrowed, in Python ints and floats whatever
    the bounds are given as (a numpy integer's width would wrap, a
    ``Decimal`` does not mix with floats); a box narrower than one value of
    its kind is the whole box. Decimal and complex kinds keep their bounds,
    as do kinds missing from ``centre``.
    """
    result = dict(bounds)
    for kind in kinds(bounds):
        if kind not in centre or not (kind in INTEGER_KINDS or kind in REAL_KINDS):
            continue
        lows, highs = bounds[kind + "_min"], bounds[kind + "_max"]
        pairs: list[tuple[Any, Any]]
        if kind in INTEGER_KINDS:
            pairs = [_narrow_integer(operator.index(low), operator.index(high), operator.index(value), fraction)
                     for low, high, value in zip(lows, highs, centre[kind])]
        else:
            pairs = [_narrow_real(float(low), float(high), float(value), fraction, kind == "f32")
                     for low, high, value in zip(lows, highs, centre[kind])]
        result[kind + "_min"] = [low for low, _ in pairs]
        result[kind + "_max"] = [high for _, high in pairs]
    return result


def _f32(value: float) -> float:
    """The value as the module stores an f32 (rounded to binary32); ``OverflowError`` beyond the largest one."""
    try:
        result: float = struct.unpack("f", struct.pack("f", value))[0]
    except OverflowError:
        result = math.inf
    if math.isinf(result) and math.isfinite(value):
        # Some Python versions pack such a value as infinity, others refuse it.
        raise OverflowError(f"{_shown(value)} is beyond the largest binary32 value")
    return result


def _float_parts(kind: str, value: Any) -> list[float]:
    """The floats of a value of a float or complex kind, as the module stores them (binary32 for f32 and c64)."""
    if kind in REAL_KINDS:
        parts = [float(value)]
    else:
        z = complex(value)
        parts = [z.real, z.imag]
    return [_f32(x) for x in parts] if kind in SINGLE_KINDS else parts


def _width_error(kind: str, index: int, low: Any, high: Any) -> str | None:
    """Why the module could not draw from a float or complex pair: an end or the width not finite in the kind."""
    if kind not in FLOAT_KINDS:
        return None
    for side, value in ((kind + "_min", low), (kind + "_max", high)):
        try:
            finite = all(math.isfinite(x) for x in _float_parts(kind, value))
        except OverflowError:
            return f"{side}[{index}] = {_shown(value)} is beyond the largest {kind} value"
        except (TypeError, ValueError):
            return None  # the module refuses it by name
        if not finite:
            return f"{side}[{index}] = {_shown(value)} is not finite: the box must have finite bounds"
    for a, b in zip(_float_parts(kind, low), _float_parts(kind, high)):
        try:
            width = _f32(b - a) if kind in SINGLE_KINDS else b - a
        except OverflowError:
            width = math.inf
        if not math.isfinite(width):
            return (f"{kind}_max[{index}] - {kind}_min[{index}] = {_shown(high)} - {_shown(low)} overflows {kind}: "
                    "the width of the box must be finite")
    return None


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


#: The range of each fixed-width integer kind, as the module converts its bounds.
INTEGER_RANGES = {kind: (-(2 ** (bits - 1)), 2 ** (bits - 1) - 1)
                  for kind, bits in (("i8", 8), ("i16", 16), ("i32", 32), ("i64", 64), ("i128", 128))}


def as_list(side: Any) -> list[Any] | None:
    """A bound list as the module reads it, or ``None`` for what it refuses by name (a str, a set, a generator).

    The module takes anything Python treats as a sequence, numpy arrays
    included, which are not ``collections.abc.Sequence`` instances.
    """
    if isinstance(side, (str, dict)) or not hasattr(type(side), "__getitem__"):
        return None
    try:
        return list(side)
    except Exception:
        return None


def _element_error(kind: str, name: str, value: Any) -> Exception | None:
    """Why the module would refuse a bound of an integer or real kind (as a ``TypeError`` or ``OverflowError``).

    ``optimize`` searches these kinds itself and hands them to the module as
    other kinds, so the module never sees the bounds as given.
    """
    if kind in INTEGER_KINDS:
        try:
            number = operator.index(value)
        except TypeError:
            return TypeError(f"{name} = {_shown(value)} is not an integer: {kind} bounds are ints (or have __index__)")
        low, high = INTEGER_RANGES.get(kind, (number, number))
        if not low <= number <= high:
            return OverflowError(f"{name} = {_shown(value)} is outside the range of {kind}, [{low}, {high}]")
    elif kind in REAL_KINDS:
        if isinstance(value, (str, bytes, bytearray)):
            return TypeError(f"{name} = {_shown(value)} is not a real number")
        try:
            float(value)
        except (TypeError, ValueError):
            return TypeError(f"{name} = {_shown(value)} is not a real number")
        except OverflowError:
            pass  # beyond every float: said below, with the width
    elif kind == "d" and isinstance(value, (Decimal, float)):
        # The module reads a decimal's str() and takes no exponent, NaN or infinity in it.
        text = str(value)
        if any(letter in text for letter in "eEnN"):
            return ValueError(f"{name} = {_shown(value)} is written {text!r}, which the module refuses "
                              "(no exponent, NaN or infinity): give it as a Decimal in positional form")
    return None


def check_bounds(bounds: Mapping[str, Any], *, allow_equal: bool = False) -> None:
    """Refuse what ``PSO.min`` would drop silently or fail on in the middle of a call, or refuse by no name.

    Raises ``ValueError`` naming the argument (and the index) for a kind given
    only one bound list, two lists of unequal length, a lower bound not below
    its upper bound (equal bounds pass with ``allow_equal``), a float or
    complex bound that is not finite in its kind or a pair whose width is not
    (``f64_min=[-1e308], f64_max=[1e308]``), and a box with no element at
    all; ``TypeError`` for a keyword that is not a bound, an integer bound
    that is not an int (``i64_min=[0.5]``) and a real bound that is not a
    number (``f64_min=["0"]``); ``OverflowError`` for an integer bound
    outside its kind (``i8_max=[200]``). Bound lists may be any sequence the
    module takes, numpy arrays included; one it refuses (a str, a generator)
    is left to the module, which names it.
    """
    size = 0
    for key in bounds:
        if key[:-4] not in KINDS or key[-4:] not in ("_min", "_max"):
            raise TypeError(f"unexpected keyword argument {key!r}: neither a bound (i8_min ... d_max) nor an option")
    for kind in KINDS:
        given_low, given_high = bounds.get(kind + "_min"), bounds.get(kind + "_max")
        if given_low is None and given_high is None:
            continue
        if given_low is None or given_high is None:
            given, missing = (kind + "_max", kind + "_min") if given_low is None else (kind + "_min", kind + "_max")
            raise ValueError(f"{given} is given without {missing}: a kind takes part only with both bound lists")
        low, high = as_list(given_low), as_list(given_high)
        if low is None or high is None:
            size += 1  # the module refuses the list by name
            continue
        if len(low) != len(high):
            shorter, longer = (kind + "_min", kind + "_max") if len(low) < len(high) else (kind + "_max", kind + "_min")
            index = min(len(low), len(high))
            raise ValueError(f"{kind}_min has {len(low)} values but {kind}_max has {len(high)}: "
                             f"{longer}[{index}] has no counterpart in {shorter}")
        for index, (a, b) in enumerate(zip(low, high)):
            for side, value in (("_min", a), ("_max", b)):
                refused = _element_error(kind, f"{kind}{side}[{index}]", value)
                if refused is not None:
                    raise refused
            if _below(kind, a, b) is False and not (allow_equal and _below(kind, b, a) is False):
                relation = "above" if _below(kind, b, a) else "not below"
                raise ValueError(f"{kind}_min[{index}] = {_shown(a)} is {relation} {kind}_max[{index}] = {_shown(b)}")
            error = _width_error(kind, index, a, b)
            if error is not None:
                raise ValueError(error)
        size += len(low)
    if size == 0:
        raise ValueError("the box is empty: give at least one kind both bound lists, e.g. f64_min=[0.0], f64_max=[1.0]")


def count(value: Any, name: str) -> int:
    """A count such as a budget: an int, a numpy integer or an integral float; ``TypeError`` naming it otherwise."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, not {_shown(value)}")
    if isinstance(value, numbers.Real) and not isinstance(value, numbers.Integral) and hasattr(value, "is_integer"):
        number = float(value)
        if not number.is_integer():
            raise TypeError(f"{name} must be a whole number, not {_shown(value)}")
        return int(number)
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__} {_shown(value)}") from None


def _convert(kind: str, value: Any) -> Any:
    """``value`` as the module hands values of ``kind`` to the objective."""
    if kind in INTEGER_KINDS:
        return operator.index(value)
    if kind in FLOAT_KINDS and isinstance(value, (str, bytes, bytearray)):
        raise TypeError("a text is not a number")  # as the module refuses it for bounds
    if kind in REAL_KINDS:
        return _float_parts(kind, value)[0]
    if kind in FLOAT_KINDS:
        return complex(*_float_parts(kind, value))
    if isinstance(value, (Decimal, str, float)) or hasattr(value, "__index__"):
        return _decimal(value)
    raise TypeError(f"cannot be a decimal: {type(value).__name__}")


def _within(kind: str, value: Any, low: Any, high: Any) -> bool:
    if kind in FLOAT_KINDS:
        parts = zip(_float_parts(kind, value), _float_parts(kind, low), _float_parts(kind, high))
        return all(a <= x <= b for x, a, b in parts)
    if kind == "d":
        return bool(_decimal(low) <= value <= _decimal(high))
    return bool(operator.index(low) <= value <= operator.index(high))


def check_point(point: Any, bounds: Mapping[str, Any], name: str = "x0", *, complex_within: bool = True) -> Point:
    """``point`` checked against (checked) ``bounds`` and converted to their kinds, both ends of each included.

    Every kind of the box needs a list of as many values (a kind with no
    element may be left out, as the module leaves it out of its points);
    each value must convert to its kind (``TypeError`` otherwise: a float
    for an integer kind, say) and lie within its bounds (``ValueError``),
    complex ones only with ``complex_within`` (the module does not clamp
    them, so its own points may leave their box). Values come back as the
    module would hand them to the objective: ints, floats rounded to
    binary32 for ``f32``, complex numbers, ``Decimal``.
    """
    if not isinstance(point, Mapping):
        raise TypeError(f"{name} must be a dict of lists, as PSO.min returns points, not {type(point).__name__}")
    box = kinds(bounds)
    for kind in point:
        if kind not in box:
            raise ValueError(f"{name}[{kind!r}] is given, but the bounds have no {kind!r} values")
    converted: Point = {}
    for kind in sorted(box, key=KINDS.index):
        lows, highs = list(bounds[kind + "_min"]), list(bounds[kind + "_max"])
        if kind not in point and not lows:
            continue
        if kind not in point:
            raise ValueError(f"{name} has no {kind!r} values: the bounds have {len(lows)}")
        values = None if isinstance(point[kind], bytes) else as_list(point[kind])
        if values is None or len(values) != len(lows):
            size = type(point[kind]).__name__ if values is None else len(values)
            raise ValueError(f"{name}[{kind!r}] must be a list of {len(lows)} values, not {size}")
        if not lows:
            continue  # the module leaves the kind out of its points
        converted[kind] = []
        for index, (value, low, high) in enumerate(zip(values, lows, highs)):
            where = f"{name}[{kind!r}][{index}] = {_shown(value)}"
            try:
                x = _convert(kind, value)
            except OverflowError:
                raise ValueError(f"{where} is outside [{_shown(low)}, {_shown(high)}]") from None
            except (TypeError, ValueError, ArithmeticError) as error:
                raise TypeError(f"{where} is not a value of kind {kind}: {error}") from None
            outside = not _within(kind, x, low, high) and (complex_within or kind not in ("c64", "c128"))
            if isinstance(x, Decimal) and not x.is_finite() or outside:
                raise ValueError(f"{where} is outside [{_shown(low)}, {_shown(high)}]")
            converted[kind].append(x)
    return converted
