"""The state of a long job: saved before each run, locked while the job runs, checked when loaded."""
from __future__ import annotations

import contextlib
import dataclasses
import errno
import json
import math
import os
import tempfile
import threading
import types
import typing
from collections.abc import Callable, Iterator, Mapping
from typing import Any, TypeVar, Union

from ._bounds import check_point
from ._record import DECODING_ERRORS, TAGS, Point, decode, dumps, encode
from ._tracking import SaveFailed, Tracker

try:
    import fcntl
except ImportError:  # not a POSIX system: no lock between processes
    fcntl = None  # type: ignore[assignment]

T = TypeVar("T")

_VERSION = 1

#: Checkpoints held by jobs of this process (by real path, with the process's
#: id), which locks on files cannot tell apart: POSIX record locks belong to
#: the whole process. A forked child inherits the table but not the locks:
#: entries of another process's id are its parent's, not held here.
_HELD: dict[str, int] = {}
_HELD_LOCK = threading.Lock()


class Checkpoint:
    """A state dict in a JSON file, written exactly (see :mod:`kavell_tools._record`).

    :meth:`save` writes a temporary file beside ``path`` (``.NAME.checkpoint-*``),
    flushes it to disk and renames it over ``path``, so the file always holds
    a whole state, the last one saved or the one before it, whenever the
    process is killed. :meth:`load` never runs code: JSON and the fixed
    constructors of the encoding. A file that is not a whole checkpoint
    raises ``ValueError`` naming it.

    :meth:`lock` takes the checkpoint for one job at a time: another process
    or another job of this process gets ``BlockingIOError``. It also removes
    the temporary files a kill in the middle of a save left behind.
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        # The file a symbolic link points to: saves replace it (not the link), and its lock is one whatever
        # the name a job reaches it by.
        self.directory, self.name = os.path.split(os.path.realpath(self.path))
        self._lock: int | None = None
        self._held: str | None = None

    def _sibling(self, suffix: str) -> str:
        return os.path.join(self.directory, f".{self.name}{suffix}")

    def damaged(self, reason: object) -> ValueError:
        """The error for a file that is a checkpoint of this job, but not a sound one."""
        return ValueError(f"{self.path} is damaged: {reason}")

    def load(self) -> dict[str, Any] | None:
        """The saved state, or ``None`` when there is none yet."""
        try:
            with open(self.path, "rb") as file:
                text = file.read()
        except FileNotFoundError:
            return None
        try:
            saved = json.loads(text)
        except DECODING_ERRORS as error:
            raise self.damaged(error) from None
        if not isinstance(saved, dict) or saved.get("version") != _VERSION or "state" not in saved:
            raise ValueError(f"{self.path} is not a kavell_tools checkpoint")
        try:
            state = decode(saved["state"], TAGS - {"repr"})
        except DECODING_ERRORS as error:
            raise self.damaged(error) from None
        if not isinstance(state, dict):
            raise self.damaged(f"its state is {state!r}")
        return state

    def save(self, state: dict[str, Any]) -> None:
        text = dumps({"version": _VERSION, "state": encode(state)})
        handle, temporary = tempfile.mkstemp(prefix=f".{self.name}.checkpoint-", dir=self.directory)
        try:
            with os.fdopen(handle, "w", encoding="utf-8") as file:
                file.write(text)
                file.flush()
                os.fsync(file.fileno())
            os.replace(temporary, os.path.join(self.directory, self.name))
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(temporary)  # gone already when Ctrl-C lands just after the rename
            raise

    def lock(self) -> None:
        """Take the checkpoint for a job of this process until :meth:`unlock`; ``BlockingIOError`` if it is taken."""
        held = os.path.join(self.directory, self.name)
        with _HELD_LOCK:
            if _HELD.get(held) == os.getpid():
                raise BlockingIOError(errno.EAGAIN, "in use by this process: another job holds it", self.path)
            # Named before it is marked: a Ctrl-C landing between the two steps (or at any later one) leaves
            # nothing that unlock() does not release.
            self._held = held
            _HELD[held] = os.getpid()
        try:
            self._lock = self._lock_file()
            # Whatever a kill left behind: no other job writes here while the lock is held.
            prefix = f".{self.name}.checkpoint-"
            for name in os.listdir(self.directory):
                if name.startswith(prefix):
                    with contextlib.suppress(OSError):
                        os.unlink(os.path.join(self.directory, name))
        except BaseException:  # Ctrl-C too: the process must not keep a checkpoint no job holds
            self.unlock()
            raise

    def _lock_file(self) -> int | None:
        if fcntl is None:
            return None
        path = self._sibling(".lock")
        while True:
            handle = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
            try:
                if self._lock_handle(handle, path):
                    return handle
            except BaseException:
                # Closed on any way out, Ctrl-C too: a descriptor left open would keep the lock it holds.
                os.close(handle)
                raise
            os.close(handle)  # removed by the job that held it, meanwhile: take the one there now

    def _lock_handle(self, handle: int, path: str) -> bool:
        """Lock the open lock file; ``False`` if ``path`` names another file by now, ``BlockingIOError`` if taken."""
        assert fcntl is not None
        try:
            # A record lock is the process's own: a forked child does not inherit it, and a
            # killed process loses it, so a job resumed after a kill takes it again.
            fcntl.lockf(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as error:
            if error.errno not in (errno.EAGAIN, errno.EACCES):
                raise
            holder = os.pread(handle, 32, 0).decode("ascii", "replace").strip() or "unknown"
            raise BlockingIOError(
                errno.EAGAIN, f"in use by process {holder}: one job at a time per checkpoint", self.path
            ) from None
        try:
            if not os.path.samestat(os.fstat(handle), os.stat(path)):
                return False
        except FileNotFoundError:
            return False
        os.ftruncate(handle, 0)
        os.write(handle, f"{os.getpid()}\n".encode())
        return True

    def unlock(self) -> None:
        """Give the checkpoint up; its lock file goes (it stays after a kill, and is reused)."""
        try:
            if self._lock is not None:
                handle, self._lock = self._lock, None
                try:
                    with contextlib.suppress(OSError):
                        os.unlink(self._sibling(".lock"))
                finally:
                    os.close(handle)
        finally:
            # Also when Ctrl-C lands above: a checkpoint left marked held here would refuse every later job.
            if self._held is not None:
                with _HELD_LOCK:
                    if _HELD.get(self._held) == os.getpid():
                        del _HELD[self._held]
                self._held = None


class Job:
    """A long job's checkpoint, from the first call of ``f`` to the result.

    ``description`` names the strategy and the arguments a resumed job must
    share with the one that saved (budget, bounds, settings...); a mismatch
    raises ``ValueError`` rather than mixing two jobs. Stop options are not
    part of it: a resumed job applies those it is given now. The checkpoint
    is locked while the job runs (:meth:`held`).

    With a tracker (:meth:`running`), the state is saved before each run with
    the evaluations that run may make counted as spent, so a job killed in
    the middle of a run loses at most that run's results, never the count:
    resumed, it still stays within its budget. It is saved exactly at the
    end, and when the job ends with an exception (Ctrl-C, a failure of ``f``).
    """

    def __init__(self, path: str | os.PathLike[str] | None, description: dict[str, Any],
                 budget: int | None = None) -> None:
        self.description = description
        self.budget = budget
        self.checkpoint = None if path is None else Checkpoint(path)
        self.tracker: Tracker[Any] | None = None
        self.extra: Callable[[], dict[str, Any]] = dict
        if self.checkpoint is not None:
            dumps(encode(description))  # arguments a checkpoint cannot keep fail now, before any call of f

    @contextlib.contextmanager
    def held(self) -> Iterator[dict[str, Any] | None]:
        """The checkpoint locked for the block; yields this job's saved state, or ``None``."""
        if self.checkpoint is None:
            yield None
            return
        try:
            # Taken inside the try: a Ctrl-C just after it returns is released below too (unlock() gives up
            # only what lock() took, nothing when it refused).
            self.checkpoint.lock()
            state = self.checkpoint.load()
            if state is not None and state.get("job") != self.description:
                raise ValueError(f"{self.checkpoint.path} holds the state of another job: {self._other(state)}")
            yield state
        finally:
            self.checkpoint.unlock()

    def release(self) -> None:
        """Give the checkpoint up if this job still holds it: for the caller's ``finally`` around :meth:`held` or
        :meth:`running`, since a Ctrl-C landing inside the ``with`` machinery itself (between a generator's
        yield and the block) skips their own clean-up, and a reference cycle may then keep it held for good."""
        if self.checkpoint is not None:
            self.checkpoint.unlock()

    def _other(self, state: dict[str, Any]) -> str:
        """What differs between this job and the one a state was saved by, named rather than shown.

        Bounds may hold thousands of values, or ints too long for ``repr()``.
        """
        saved = state.get("job")
        if not isinstance(saved, dict):
            return "it names no job"
        if saved.get("strategy") != self.description.get("strategy"):
            return f"one of {saved.get('strategy')!r}, not {self.description.get('strategy')!r}"
        keys = [key for key in {**self.description, **saved} if saved.get(key) != self.description.get(key)]
        shown = [f"budget ({saved.get(key)!r} there, {self.description.get(key)!r} here)" if key == "budget" else key
                 for key in keys]
        return ", ".join(shown) + (" differ" if len(keys) > 1 else " differs")

    def check(self, state: dict[str, Any] | None, restore: Callable[[dict[str, Any]], T]) -> T | None:
        """``restore(state)``, or ``None`` without a state; what it raises means a damaged file."""
        if state is None or self.checkpoint is None:
            return None
        try:
            return restore(state)
        except DECODING_ERRORS as error:
            raise self.checkpoint.damaged(error) from None

    @contextlib.contextmanager
    def running(self, tracker: Tracker[Any], extra: Callable[[], dict[str, Any]] = dict,
                restore: Callable[[dict[str, Any]], None] | None = None) -> Iterator[bool]:
        """The job's runs on ``tracker``, restored first (and, through ``restore``, the strategy's part).

        Yields whether the job resumed. From then on the tracker's
        reservations save the state, the tracker's and the strategy's that
        ``extra`` returns; it is saved exactly once the block ends, with an
        exception too. The tracker is closed at the end.
        """
        try:
            with self.held() as state:
                resumed = self._resume(tracker, state, extra, restore)
                try:
                    yield resumed
                    self.save()
                except BaseException:
                    self.save_after_failure()
                    raise
        finally:
            tracker.close()

    def _resume(self, tracker: Tracker[Any], state: dict[str, Any] | None, extra: Callable[[], dict[str, Any]],
                restore: Callable[[dict[str, Any]], None] | None) -> bool:
        self.tracker, self.extra = tracker, extra
        if self.checkpoint is None:
            return False
        tracker.reservation = lambda evaluations: self.save(reserve=evaluations)

        def load(state: dict[str, Any]) -> bool:
            tracker.restore(state["tracker"])
            if self.budget is not None and tracker.evaluations > self.budget:
                raise ValueError(f"{tracker.evaluations} evaluations spent, over the budget of {self.budget}")
            if tracker.best_point is not None:
                self.check_point(tracker.best_point, "best_point")
            if restore is not None:
                restore(state)
            return True

        return bool(self.check(state, load))

    def check_point(self, point: Point, name: str) -> None:
        """Refuse a saved point that is not one of the job's box (``ValueError`` or ``TypeError``)."""
        check_point(point, self.description["bounds"], name, complex_within=False)

    def save(self, reserve: int = 0) -> None:
        """Save the tracker's state, ``reserve`` more evaluations counted as spent; :class:`SaveFailed` if it cannot be."""
        if self.checkpoint is None or self.tracker is None:
            return
        tracker = self.tracker
        state = tracker.state()
        if reserve > 0:
            spent = state["evaluations"] + reserve
            state["evaluations"] = spent if self.budget is None else min(spent, self.budget)
        try:
            self.checkpoint.save({"job": self.description, "tracker": state, **self.extra()})
        except Exception as error:
            raise SaveFailed(f"cannot save the checkpoint {self.checkpoint.path}: {error}",
                             tracker.result()) from error

    def save_after_failure(self) -> None:
        """Save the exact state while an exception ends the job; a failure (another Ctrl-C) keeps the last one saved."""
        try:
            self.save()
        except BaseException:
            pass

    def save_state(self, state: dict[str, Any]) -> None:
        """Save a state of the strategy's own making (with the job's description)."""
        if self.checkpoint is not None:
            self.checkpoint.save({"job": self.description, **state})


def plain(bounds: Mapping[str, Any]) -> dict[str, list[Any]]:
    """Bounds as lists, as a checkpoint keeps them (a range or bytes becomes its list of ints)."""
    return {key: list(values) for key, values in bounds.items()}


def restored(data: Any, cls: type[T], skip: tuple[str, ...] = ()) -> T:
    """The dataclass ``cls`` made of saved fields, each checked against its annotation (``skip``: left at their default)."""
    names = {field.name for field in dataclasses.fields(cls) if field.name not in skip}  # type: ignore[arg-type]
    if not isinstance(data, dict) or set(data) != names:
        raise ValueError(f"{data!r} does not hold the fields {sorted(names)}")
    hints = typing.get_type_hints(cls)
    for name, value in data.items():
        if not _matches(value, hints[name]):
            raise TypeError(f"{name} = {value!r} is not a {hints[name]}")
    return cls(**data)


def _matches(value: Any, hint: Any) -> bool:
    """Whether a decoded value has the type of an annotation (the types a checkpoint holds)."""
    origin, args = typing.get_origin(hint), typing.get_args(hint)
    if hint is Any:
        return True
    if origin in (Union, types.UnionType):
        return any(_matches(value, arg) for arg in args)
    if hint is type(None):
        return value is None
    if hint is float:
        return type(value) in (int, float) and not math.isnan(value)
    if hint in (int, bool, str):
        return type(value) is hint
    if origin is list:
        return isinstance(value, list) and all(_matches(item, args[0]) for item in value)
    if origin is tuple:
        return isinstance(value, (tuple, list)) and len(value) == len(args) and all(map(_matches, value, args))
    if origin is dict:
        return isinstance(value, dict) and all(_matches(key, args[0]) and _matches(item, args[1])
                                               for key, item in value.items())
    raise TypeError(f"no check for {hint}")
