"""Exact JSON for points, values and saved state; recordings of every evaluation and their replay.

One encoding serves recordings, their replay and checkpoints. JSON has no
decimals, complex numbers, tuples, NaN or infinities, so those become a
one-key object naming the type:

==================  ==========================================
Python              JSON
==================  ==========================================
``int``             a number, every digit kept (``10**40`` too);
                    beyond 2000 bits ``{"int": "-0x1f..."}``, in hex,
                    which no digit limit applies to
finite ``float``    a number (its shortest repr, which reads back exactly)
``nan``, ``inf``    ``{"float": "nan"}``, ``{"float": "-inf"}``
``Decimal``         ``{"decimal": "1.2500"}`` (scale and sign kept)
``complex``         ``{"complex": [real, imag]}``
``tuple``           ``{"tuple": [...]}``
``dict``            ``{"dict": {...}}`` (string keys)
``list``, ``str``,  as themselves
``bool``, ``None``
==================  ==========================================

Anything with ``__index__`` is saved as the int it stands for, and numpy's
boolean, integer, float and complex scalars (up to 64-bit floats) as the
Python value of their ``item()``: they read back as ``bool``, ``int``,
``float`` and ``complex``, equal to what was saved.

A recorded objective value of any other type is kept as
``{"repr": "..."}`` and compared by its ``repr()`` on replay.
"""
from __future__ import annotations

import json
import math
import operator
import os
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from decimal import Decimal
from typing import IO, Any, Union

Point = dict[str, list[Any]]
#: Where a recording goes: a path, or a text file object open for writing.
RecordTarget = Union[str, "os.PathLike[str]", IO[str]]

#: Integers longer than this are written in hex. ``int`` reads and writes at
#: least 640 decimal digits whatever ``sys.set_int_max_str_digits`` says;
#: 2000 bits are 603 digits.
DECIMAL_BITS = 2000

#: What a malformed saved value raises while it is decoded.
DECODING_ERRORS = (ValueError, TypeError, KeyError, IndexError, AttributeError, ArithmeticError, RecursionError)


class Repr(str):
    """A recorded value of a type the encoding does not know: its ``repr()``."""


def _plain(value: Any) -> Any:
    """A numpy scalar as the Python value it holds; anything else as it is."""
    if type(value).__module__ == "numpy" and callable(getattr(value, "item", None)):
        item = value.item()
        if type(item) in (bool, int, float, complex):
            return item
    return value


def encode(value: Any, lenient: bool = False) -> Any:
    """``value`` as JSON data that :func:`decode` turns back into an equal value of the same type.

    An unknown type raises ``TypeError``, or is kept as its ``repr()`` when ``lenient``.
    """
    value = _plain(value)
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, int) or hasattr(type(value), "__index__"):
        try:
            number = operator.index(value)
        except Exception:
            if not lenient:
                raise
            return {"repr": repr(value)}
        return number if number.bit_length() <= DECIMAL_BITS else {"int": hex(number)}
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


def _text(data: Any) -> str:
    if not isinstance(data, str):
        raise TypeError(f"not a string: {data!r}")
    return data


def _list(data: Any) -> list[Any]:
    if not isinstance(data, list):
        raise TypeError(f"not a list: {data!r}")
    return data


def _dict(data: Any) -> dict[str, Any]:
    if not isinstance(data, dict):
        raise TypeError(f"not an object: {data!r}")
    return data


def _real(value: Any) -> float:
    if type(value) not in (int, float):
        raise TypeError(f"not a real number: {value!r}")
    return float(value)


_SCALARS: dict[str, Callable[[Any], Any]] = {
    "int": lambda text: int(_text(text), 16),
    "float": lambda text: float(_text(text)),
    "decimal": lambda text: Decimal(_text(text)),
    "repr": lambda text: Repr(_text(text)),
}
#: Every tag :func:`decode` knows.
TAGS = frozenset(_SCALARS) | {"complex", "tuple", "dict"}


def decode(data: Any, tags: frozenset[str] = TAGS) -> Any:
    """The value that :func:`encode` wrote as ``data``, taking only the tagged types in ``tags``.

    Only the fixed constructors of the table above are ever called: decoding
    never runs code named by the data. A malformed value raises one of
    :data:`DECODING_ERRORS`.
    """
    if isinstance(data, list):
        return [decode(item, tags) for item in data]
    if not isinstance(data, dict):
        return data
    tag = next(iter(data), "")
    if len(data) != 1 or tag not in tags:
        raise ValueError(f"not an encoded value: {data!r}")
    content = data[tag]
    if tag == "tuple":
        return tuple(decode(item, tags) for item in _list(content))
    if tag == "dict":
        return {_text(key): decode(item, tags) for key, item in _dict(content).items()}
    if tag == "complex":
        if len(_list(content)) != 2:
            raise ValueError(f"not a complex number's parts: {content!r}")
        return complex(_real(decode(content[0], tags)), _real(decode(content[1], tags)))
    return _SCALARS[tag](content)


def encode_point(point: Point) -> dict[str, Any]:
    return {kind: encode(values) for kind, values in point.items()}


def decode_point(data: Any) -> Point:
    return {_text(kind): _list(decode(values)) for kind, values in _dict(data).items()}


def dumps(data: Any) -> str:
    """One line of JSON; ``allow_nan`` is off, so nothing non-standard is ever written."""
    return json.dumps(data, allow_nan=False, separators=(",", ":"))


def _whole_lines(path: str) -> int:
    """The size of a file up to the end of its last complete line."""
    with open(path, "rb") as file:
        end = file.seek(0, os.SEEK_END)
        while end > 0:
            start = max(0, end - 4096)
            file.seek(start)
            newline = file.read(end - start).rfind(b"\n")
            if newline >= 0:
                return start + newline + 1
            end = start
    return 0


class Recording:
    """Writes one JSON line per evaluation: ``{"evaluation", "point", "value"}`` or ``"error"``.

    A path is opened at once, so that one that cannot be opened fails before
    any evaluation. Its old content goes at the first line written, unless
    ``append`` is set by then: a resumed job appends to it, after dropping a
    last line that a kill cut short. A file object is written to and flushed,
    never closed. Each line is flushed, so a killed process leaves every
    evaluation it finished on disk.

    A line that cannot be written (a full disk, say) is not raised from
    :meth:`write`, which runs inside the objective: the first such error is
    kept as :attr:`error`, nothing more is written, and ``on_error`` is called
    so that the run can stop.
    """

    def __init__(self, target: RecordTarget, append: bool = False,
                 on_error: Callable[[], None] | None = None) -> None:
        self.target = target
        self.append = append
        self.on_error = on_error
        self.error: Exception | None = None
        self.owned = isinstance(target, (str, os.PathLike))
        self.file: IO[str] | None
        if isinstance(target, (str, os.PathLike)):
            self.file = open(target, "a", encoding="utf-8")
        else:
            self.file = target
        self.started = False

    @property
    def name(self) -> str:
        if isinstance(self.target, (str, os.PathLike)):
            return os.fspath(self.target)
        return str(getattr(self.target, "name", self.target))

    def _start(self, file: IO[str]) -> None:
        self.started = True
        if not self.owned or not os.path.isfile(self.name):
            return  # not ours to cut, or a pipe, a terminal, a device
        # Appending, a last line without its newline is one a kill cut short.
        file.truncate(_whole_lines(self.name) if self.append else 0)

    def write(self, evaluation: int, point: Point, outcome: str, value: Any) -> None:
        if self.file is None or self.error is not None:
            return
        try:
            if not self.started:
                self._start(self.file)
            line = {"evaluation": evaluation, "point": encode_point(point), outcome: encode(value, lenient=True)}
            self.file.write(dumps(line) + "\n")
            self.file.flush()
        except Exception as error:
            self._failed(error)

    def _failed(self, error: Exception) -> None:
        self.error = error
        file, self.file = self.file, None
        if file is not None and self.owned:
            try:
                file.close()
            except Exception:
                pass  # the same failure again, on the line still buffered
        if self.on_error is not None:
            self.on_error()

    def close(self) -> None:
        """Close a file this recording opened; a failure to write its end is kept as :attr:`error`."""
        if self.file is not None and self.owned:
            file, self.file = self.file, None
            try:
                file.close()
            except Exception as error:
                if self.error is None:
                    self.error = error


def read_recording(path: str | os.PathLike[str]) -> Iterator[tuple[int, Point, str, Any]]:
    """``(evaluation, point, "value" or "error", value or error text)`` for each line of a recording.

    A last line without its newline that does not parse is what a kill in
    the middle of a write leaves: it is skipped. Any other line that does not
    parse raises ``ValueError`` naming the file and the line.
    """
    with open(path, encoding="utf-8") as file:
        for number, line in enumerate(file, start=1):
            if not line.strip():
                continue
            try:
                entry = _dict(json.loads(line))
                outcome = "error" if "error" in entry else "value"
                evaluation = entry["evaluation"]
                if type(evaluation) is not int:
                    raise TypeError(f"evaluation {evaluation!r} is not an int")
                point, value = decode_point(entry["point"]), decode(entry[outcome])
            except DECODING_ERRORS as error:
                if not line.endswith("\n"):
                    return  # the last line, cut short by a kill
                raise ValueError(f"{os.fspath(path)}, line {number}: not a recorded evaluation ({error})") from None
            yield evaluation, point, outcome, value


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


def is_nan(value: Any) -> bool:
    """Whether ``value`` is a real NaN of any type: float, numpy float, decimal (quiet or signalling).

    A decimal's own test, since comparing a signalling NaN raises; for
    anything else unequal to itself, and a float NaN once converted.
    """
    if isinstance(value, Decimal):
        return value.is_nan()
    if isinstance(value, (complex, str, bytes)):
        return False
    try:
        if not value != value:
            return False
        number = float(value)
    except Exception:
        return False
    return number != number


def same(recorded: Any, value: Any) -> bool:
    """Whether a replayed value matches a recorded one (NaN matches NaN, of any kind, parts of complex numbers too)."""
    if isinstance(recorded, Repr):
        return recorded == repr(value)
    if is_nan(recorded) or is_nan(value):
        return is_nan(recorded) and is_nan(value)
    if isinstance(recorded, complex) and isinstance(_plain(value), complex):
        value = _plain(value)
        return same(recorded.real, value.real) and same(recorded.imag, value.imag)
    if isinstance(recorded, (tuple, list)) and isinstance(value, (tuple, list)):
        return len(recorded) == len(value) and all(same(a, b) for a, b in zip(recorded, value))
    try:
        return bool(recorded == value)
    except Exception:
        return False


def replay(path: str | os.PathLike[str], f: Callable[..., Any]) -> Difference | None:
    """Evaluate ``f`` again at every point of a recording, in order; the first difference, or ``None``.

    A recorded failure must fail again with an exception of the same
    ``repr()``; a recorded value must come back equal (NaN matching NaN).
    """
    for evaluation, point, outcome, recorded in read_recording(path):
        try:
            # Lists of its own: f may write into them, and the difference keeps the point recorded.
            value, failed = f(**{kind: list(values) for kind, values in point.items()}), False
        except Exception as error:
            value, failed = repr(error), True
        if failed != (outcome == "error") or not (recorded == value if failed else same(recorded, value)):
            return Difference(evaluation, point, recorded, value, outcome == "error", failed)
    return None
