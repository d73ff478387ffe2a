"""Turning the module's faults into ordinary exceptions.

A failure inside a run reaches Python as the module's ``PanicException``,
which derives from ``BaseException``: an ``except Exception`` clause, an
executor or a scheduler lets it through, and a Dask worker cannot report it.
The helpers here recognise it and raise a ``RuntimeError`` subclass instead.
"""
from __future__ import annotations

import contextlib
import pickle
from collections.abc import Iterator
from typing import Any


def is_panic(error: BaseException) -> bool:
    """Tell whether ``error`` is the module's ``PanicException`` (or derives from it).

    The type is not importable from ``kavell``; it is known by its qualified
    name, ``pyo3_runtime.PanicException``.
    """
    return any(
        cls.__module__ == "pyo3_runtime" and cls.__name__ == "PanicException"
        for cls in type(error).__mro__
    )


def _picklable(value: object) -> bool:
    try:
        pickle.dumps(value)
    except Exception:
        return False
    return True


_CONTEXT: Any = vars(BaseException)["__context__"]


class Chained:
    """Pickling and context of the toolkit's exceptions, mixed into each of them.

    The module's fault type cannot be pickled (its module is not importable),
    and picklers that keep the whole chain (Dask's, through tblib) would fail
    on it. Its message is repeated by the exception raised in its place, so
    Python code sees no context in its place; tracebacks still show it.
    """

    @property
    def __context__(self) -> BaseException | None:
        context: BaseException | None = _CONTEXT.__get__(self)
        return None if context is not None and is_panic(context) else context

    @__context__.setter
    def __context__(self, value: BaseException | None) -> None:
        _CONTEXT.__set__(self, value)

    def __reduce__(self) -> tuple[Any, ...]:
        # Exceptions pickle without their cause; a process pool or a Dask
        # worker would otherwise drop the one piece of information that says
        # what went wrong in the objective.
        assert isinstance(self, BaseException)
        cause = self.__cause__ if self.__cause__ is not None and _picklable(self.__cause__) else None
        return (_rebuild, (type(self), self.args, dict(self.__dict__), cause))


class KavellError(Chained, RuntimeError):
    """An ordinary exception standing for a fault of a run.

    ``__cause__`` holds what the objective raised when that is known (it
    survives pickling when it is picklable itself); ``str()`` keeps the
    module's message.
    """


def _rebuild(
    cls: type[BaseException], args: tuple[Any, ...], state: dict[str, Any], cause: BaseException | None
) -> BaseException:
    error = cls.__new__(cls)
    error.args = args
    error.__dict__.update(state)
    if cause is not None:
        error.__cause__ = cause
    return error


def ordinary(error: BaseException, cause: BaseException | None = None) -> BaseException:
    """Return the exception to raise in place of ``error``.

    A ``PanicException`` becomes a :class:`KavellError` with the same message,
    whose cause is ``cause`` (the exception the objective raised, when the
    caller knows it). Any other exception is returned unchanged.
    """
    if not is_panic(error):
        return error
    converted = KavellError(str(error))
    if cause is not None:
        converted.__cause__ = cause
    return converted


@contextlib.contextmanager
def ordinary_errors() -> Iterator[None]:
    """Raise a :class:`KavellError` for a ``PanicException`` leaving the block.

    Use it around a run inside a task sent to an executor or a scheduler, so
    that the failure is reported to the caller like any other error::

        with ordinary_errors():
            value, point = pso.min(f, f64_min=[0.0], f64_max=[1.0])
    """
    try:
        yield
    except BaseException as error:
        if not is_panic(error):
            raise
        raise ordinary(error)
