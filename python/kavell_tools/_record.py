"""Exact JSON for points, values and saved state; recordings of every evaluation and their replay.

One encoding serves recordings, their replay and checkpoints. JSON has no
decimals, complex numbers, tuples, NaN or infinities, so those become a
one-key object naming the type:

==================  ==========================================
Python              JSON
==================  ==========================================
``int``             a number, every digit kept (``10**40`` too)
finite ``float``    a number (its shortest repr, which reads back exactly)
``nan``, ``inf``    ``{"float": "nan"}``, ``{"float": "-inf"}``
``Decimal``         ``{"decimal": "1.2500"}`` (scale and sign kept)
``complex``         ``{"complex": [real, imag]}``
``tuple``           ``{"tuple": [...]}``
``dict``            ``{"dict": {...}}`` (string keys)
``list``, ``str``,  as themselves
``bool``, ``None``
==================  ==========================================

A recorded objective value of any other type is kept as
``{"repr": "..."}`` and compared by its ``repr()`` on replay.
"""
from __future__ import annotations

import json
import math
import os
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from decimal import Decimal
from typing import IO, Any, Union

Point = dict[str, list[Any]]
#: Where a recording goes: a path, or a text file object open for writing.
RecordTarget = Union[str, "os.PathLike[str]", IO[str]]


class Repr(str):
    """A recorded value of a type the encoding does not know: its ``repr()``."""


def encode(value: Any, lenient: bool = False) -> Any:
    """``value`` as JSON data that :func:`decode` turns back into an equal value of the same type.

    An unknown type raises ``TypeError``, or is kept as its ``repr()`` when ``lenient``.
    """
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, int):
        return int(value)
    if isinstance(value, float):
        return float(value) if math.isfinite(value) else {"float": repr(float(value))}
    if isinstance(value, Decimal):
        return {"decimal": str(value)}
    if isinstance(value, complex):
        return {"complex": [encode(value.real), encode(value.imag)]}
    if isinstance(value, list):
        return [encode(item, lenient) for item in value]
    if isinstance(value, tuple):
        return {"tuple": [encode(item, lenient) for item in value]}
    if isinstance(value, dict) and all(isinstance(key, str) for key in value):
        return {"dict": {key: encode(item, lenient) for key, item in value.items()}}
    if lenient:
        return {"repr": repr(value)}
    raise TypeError(f"cannot save a value of type {type(value).__name__} exactly: {value!r}")


_TAGS: dict[str, Callable[[Any], Any]] = {
    "float": float,
    "decimal": Decimal,
    "complex": lambda parts: complex(decode(parts[0]), decode(parts[1])),
    "tuple": lambda items: tuple(decode(item) for item in items),
    "dict": lambda items: {key: decode(item) for key, item in items.items()},
    "repr": Repr,
}


def decode(data: Any) -> Any:
    """The value that :func:`encode` wrote as ``data``."""
    if isinstance(data, list):
        return [decode(item) for item in data]
    if isinstance(data, dict):
        if len(data) != 1 or next(iter(data)) not in _TAGS:
            raise ValueError(f"not an encoded value: {data!r}")
        ((tag, content),) = data.items()
        return _TAGS[tag](content)
    return data


def encode_point(point: Point) -> dict[str, Any]:
    return {kind: encode(values) for kind, values in point.items()}


def decode_point(data: dict[str, Any]) -> Point:
    return {kind: decode(values) for kind, values in data.items()}


def dumps(data: Any) -> str:
    """One line of JSON; ``allow_nan`` is off, so nothing non-standard is ever written."""
    return json.dumps(data, allow_nan=False, separators=(",", ":"))


class Recording:
    """Writes one JSON line per evaluation: ``{"evaluation", "point", "value"}`` or ``"error"``.

    A path is opened on the first line (appended to when ``append``) and
    closed by :meth:`close`; a file object is written to and flushed, never
    closed. Each line is flushed, so a killed process leaves every
    evaluation it finished on disk.
    """

    def __init__(self, target: RecordTarget, append: bool = False) -> None:
        self.target = target
        self.append = append
        self.file: IO[str] | None = None if isinstance(target, (str, os.PathLike)) else target

    def write(self, evaluation: int, point: Point, outcome: str, value: Any) -> None:
        if self.file is None:
            assert isinstance(self.target, (str, os.PathLike))
            self.file = open(self.target, "a" if self.append else "w", encoding="utf-8")
        line = {"evaluation": evaluation, "point": encode_point(point), outcome: encode(value, lenient=True)}
        self.file.write(dumps(line) + "\n")
        self.file.flush()

    def close(self) -> None:
        if self.file is not None and isinstance(self.target, (str, os.PathLike)):
            self.file.close()
            self.file = None


def read_recording(path: str | os.PathLike[str]) -> Iterator[tuple[int, Point, str, Any]]:
    """``(evaluation, point, "value" or "error", value or error text)`` for each line of a recording."""
    with open(path, encoding="utf-8") as file:
        for line in file:
            if not line.strip():
                continue
            entry = json.loads(line)
            outcome = "error" if "error" in entry else "value"
            yield entry["evaluation"], decode_point(entry["point"]), outcome, decode(entry[outcome])


@dataclass
class Difference:
    """The first recorded evaluation that did not give the same outcome again.

    ``recorded`` and ``replayed`` are objective values, or the ``repr()`` of
    the exception raised when ``recorded_error`` / ``replayed_error`` is set.
    ``f(**difference.point)`` evaluates the point again.
    """

    evaluation: int
    point: Point
    recorded: Any
    replayed: Any
    recorded_error: bool = False
    replayed_error: bool = False


def same(recorded: Any, value: Any) -> bool:
    """Whether a replayed value matches a recorded one (NaN matches NaN)."""
    if isinstance(recorded, Repr):
        return recorded == repr(value)
    if isinstance(recorded, float) and isinstance(value, float) and math.isnan(recorded):
        return math.isnan(value)
    if isinstance(recorded, (tuple, list)) and isinstance(value, (tuple, list)):
        return len(recorded) == len(value) and all(same(a, b) for a, b in zip(recorded, value))
    try:
        return bool(recorded == value)
    except Exception:
        return False


def replay(path: str | os.PathLike[str], f: Callable[..., Any]) -> Difference | None:
    """Evaluate ``f`` again at every point of a recording, in order; the first difference, or ``None``.

    A recorded failure must fail again with an exception of the same
    ``repr()``; a recorded value must come back equal.
    """
    for evaluation, point, outcome, recorded in read_recording(path):
        try:
            value, failed = f(**point), False
        except Exception as error:
            value, failed = repr(error), True
        if failed != (outcome == "error") or not (recorded == value if failed else same(recorded, value)):
            return Difference(evaluation, point, recorded, value, outcome == "error", failed)
    return None
