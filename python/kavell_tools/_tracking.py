"""The objective wrapper: evaluation count, best so far, history, progress, early stop, recording."""
from __future__ import annotations

import atexit
import math
import os
import signal
import sys
import threading
import time
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Generic, NoReturn, Protocol, TypeVar

from ._bounds import Bounds, check_bounds
from ._errors import Chained, KavellError, is_panic, ordinary
from ._record import Point, RecordTarget, Recording

if TYPE_CHECKING:
    from typing_extensions import Unpack

__all__ = ["Bounds", "Point"]  # re-exported for the strategies

V = TypeVar("V")
Objective = Callable[..., Any]

#: The default ``tolerance`` of patience: an improvement resets patience only
#: when it exceeds ``TOLERANCE * max(1, |value at the last reset|)``.
TOLERANCE = 1e-9

#: Evaluations between two looks at a ``cancelled`` callback.
CANCEL_EVERY = 64


class Swarm(Protocol):
    """What the toolkit uses of ``kavell.PSO``."""

    @property
    def particle_count(self) -> int: ...

    @property
    def iteration_count(self) -> int: ...

    # Read-only attributes rather than methods: kavell.PSO names every bound
    # keyword, which a method taking **bounds would not match.
    @property
    def min(self) -> Callable[..., tuple[Any, Point]]: ...

    @property
    def max(self) -> Callable[..., tuple[Any, Point]]: ...


class ProgressBar(Protocol):
    """The part of a tqdm bar the tracker drives."""

    def update(self, n: float = 1) -> bool | None: ...

    def set_postfix_str(self, s: str = "", refresh: bool = True) -> None: ...

    def close(self) -> None: ...


def evaluation_count(pso: Swarm) -> int:
    """The number of objective calls a run of ``pso`` makes."""
    return int(pso.particle_count) * (int(pso.iteration_count) + 1)


@dataclass
class Result(Generic[V]):
    """The outcome of a tracked run (or of several runs sharing one tracker).

    ``stop_reason`` is ``None`` when every run went to its end, otherwise one
    of ``"target"``, ``"evaluations"``, ``"time"``, ``"patience"`` and
    ``"cancelled"`` (and ``"recording"`` in the result a :class:`SaveFailed`
    carries). ``history`` lists ``(evaluations, best value)`` at each
    improvement.
    """

    value: V
    point: Point
    evaluations: int
    elapsed: float
    stop_reason: str | None = None
    history: list[tuple[int, V]] = field(default_factory=list)
    runs: int = 1


class _Partial(BaseException):
    """What a failed or interrupted run leaves: the best point so far and where it ended."""

    def __init__(
        self,
        message: str,
        result: Result[Any] | None = None,
        point: Point | None = None,
        evaluation: int | None = None,
    ) -> None:
        super().__init__(message)
        self.result = result
        self.point = point
        self.evaluation = evaluation


class RunFailed(_Partial, KavellError):
    """The objective failed (``__cause__`` is what it raised).

    ``result`` holds the best point seen before the failure, or ``None`` when
    no evaluation had finished. ``point`` is the point the objective failed
    at, as ``min`` returns points, and ``evaluation`` its number (counting
    from 1): ``f(**error.point)`` fails again. Both are ``None`` when the run
    failed outside the objective.
    """


class SaveFailed(RunFailed):
    """What the job saves, its recording or its checkpoint, could not be written (``__cause__`` says why).

    ``result`` holds the best point so far, as for :class:`RunFailed`;
    ``point`` and ``evaluation`` are ``None``. A recording ends the run after
    the evaluation whose line it could not write (``result.stop_reason`` is
    ``"recording"``), a checkpoint after the run it could not save. Every
    line and state written before is whole on disk, so a job with a
    checkpoint resumes once the cause (a full disk, say) is gone.
    """


class RunInterrupted(_Partial, Chained, KeyboardInterrupt):
    """The run was interrupted (``__cause__`` is the ``KeyboardInterrupt``).

    A ``KeyboardInterrupt``: ``except Exception`` lets it through, and a
    script that does not catch it ends as on any Ctrl-C. ``result``,
    ``point`` and ``evaluation`` as for :class:`RunFailed`.
    """


def _exit_as_on_ctrl_c(previous: Callable[..., Any]) -> Callable[..., Any]:
    def hook(kind: type[BaseException], error: BaseException, traceback: Any) -> None:
        previous(kind, error, traceback)
        if not isinstance(error, RunInterrupted) or hasattr(sys, "ps1") or sys.flags.interactive:
            return
        # Python ends a script stopped by an uncaught KeyboardInterrupt with SIGINT itself, so that
        # the shell sees an interrupted program, but only for that exact type. Do as it does, after
        # the exit functions that a normal exit would run.
        atexit._run_exitfuncs()
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except (AttributeError, OSError, ValueError):
                pass
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGINT)

    hook.kavell_tools = True  # type: ignore[attr-defined]
    return hook


def _install_exit_hook() -> None:
    """Make an uncaught :class:`RunInterrupted` end the script as Ctrl-C does; installed on first need."""
    if not getattr(sys.excepthook, "kavell_tools", False):
        sys.excepthook = _exit_as_on_ctrl_c(sys.excepthook)


class EarlyStop(Exception):
    """Raised from inside the objective to end a run; never leaves the toolkit."""


def _is_nan(value: Any) -> bool:
    return isinstance(value, float) and math.isnan(value)


def _better(value: Any, best: Any, maximize: bool) -> bool:
    """Strict improvement, as the optimiser orders values; unorderable values never improve."""
    if type(value) is float and type(best) is float:
        # The common case, without the calls below: NaN compares false both ways.
        if value != value:
            return False
        return best != best or (value > best if maximize else value < best)
    if _is_nan(value):
        return False
    if _is_nan(best):
        return True
    try:
        return bool(value > best) if maximize else bool(value < best)
    except Exception:
        return False


def _reaches(value: Any, target: Any, maximize: bool) -> bool:
    try:
        return bool(value >= target) if maximize else bool(value <= target)
    except Exception:
        return False


def _beyond_tolerance(value: Any, base: Any, tolerance: float) -> bool:
    """Whether an improvement on ``base`` is large enough to count; values without a size always count."""
    try:
        new, old = float(value), float(base)
    except (TypeError, ValueError, OverflowError):
        return True
    if not math.isfinite(old) or not math.isfinite(new):
        return True
    return abs(new - old) > tolerance * max(1.0, abs(old))


def _count(state: Mapping[str, Any], key: str) -> int:
    value = state[key]
    if type(value) is not int or value < 0:
        raise ValueError(f"{key} = {value!r} is not a count")
    return value


def _short(value: Any) -> str:
    return f"{value:.6g}" if isinstance(value, float) else str(value)


class _Borrowed:
    """A bar the caller passed in: driven like the toolkit's own, but left open."""

    def __init__(self, bar: ProgressBar) -> None:
        self.bar = bar

    def update(self, n: float = 1) -> bool | None:
        return self.bar.update(n)

    def set_postfix_str(self, s: str = "", refresh: bool = True) -> None:
        self.bar.set_postfix_str(s, refresh=refresh)

    def close(self) -> None:
        refresh = getattr(self.bar, "refresh", None)
        if callable(refresh):
            refresh()


def open_progress(total: int, progress: bool | ProgressBar) -> ProgressBar | None:
    """A tqdm bar of ``total`` evaluations, the given bar (left open, given ``total`` if it has none), or ``None``."""
    if progress is False:
        return None
    if progress is not True:
        if getattr(progress, "total", 0) is None:
            setattr(progress, "total", total)
        return _Borrowed(progress)
    try:
        from tqdm.auto import tqdm  # type: ignore[import-untyped, unused-ignore]
    except ImportError as error:
        raise ModuleNotFoundError(
            "progress=True needs tqdm: pip install tqdm (or kavell[progress])"
        ) from error
    bar: ProgressBar = tqdm(total=total, unit="eval", dynamic_ncols=True)
    return bar


class _Redirection:
    """Descriptor 2, pointed at the null device while any run of this process is being stopped.

    Shared by every tracker: runs in several threads may stop at once, and
    only the first to silence saves the real descriptor, only the last to be
    done puts it back.
    """

    lock = threading.Lock()
    depth = 0
    saved: int | None = None

    @classmethod
    def enter(cls) -> bool:
        with cls.lock:
            if cls.depth == 0:
                try:
                    sys.stderr.flush()
                except (AttributeError, OSError, ValueError):
                    pass
                try:
                    null = os.open(os.devnull, os.O_WRONLY)
                except OSError:
                    return False
                try:
                    cls.saved = os.dup(2)
                    os.dup2(null, 2)
                except OSError:
                    if cls.saved is not None:
                        os.close(cls.saved)
                    cls.saved = None
                    return False
                finally:
                    os.close(null)
            cls.depth += 1
            return True

    @classmethod
    def leave(cls) -> None:
        with cls.lock:
            cls.depth -= 1
            if cls.depth == 0 and cls.saved is not None:
                saved, cls.saved = cls.saved, None
                os.dup2(saved, 2)
                os.close(saved)


class _QuietStderr:
    """Keeps the module's fault report of a stop the toolkit made off descriptor 2.

    The module writes a fault report to descriptor 2 for every objective call
    that raises, the toolkit's own stops included, with C stdio: nothing at
    the Python level can catch it. The redirection starts just before the
    stop is raised inside the objective and ends as soon as the module's call
    has returned; the module holds the interpreter lock throughout.
    """

    def __init__(self) -> None:
        self.active = False

    def silence(self) -> None:
        if not self.active:
            self.active = _Redirection.enter()

    def restore(self) -> None:
        if self.active:
            self.active = False
            _Redirection.leave()


class Tracker(Generic[V]):
    """Wraps an objective ``f(**point)`` for ``PSO.min`` / ``PSO.max``.

    Each call counts one evaluation, keeps the best value and a copy of its
    point, records the best-so-far history and advances the progress bar. When
    a stop condition holds after an evaluation, the tracker raises
    :class:`EarlyStop` out of the objective, which ends the run; :meth:`run`
    then returns the best point seen, and the module's report of that stop is
    kept off standard error.

    Stop conditions (all optional): ``target`` (a value at least as good),
    ``max_evaluations`` (never exceeded: a run is cut at the budget),
    ``max_time`` in seconds, ``patience`` (evaluations without an improvement
    larger than ``tolerance * max(1, |value|)``; see :data:`TOLERANCE`), and
    ``cancelled``, a callable asked every :data:`CANCEL_EVERY` evaluations.

    ``decode`` maps each point the module passes to the point ``f`` gets;
    the best point, the history, the recording and a failure's point are all
    in its terms. ``record`` (a path or a text file) receives every evaluation
    as a JSON line (see :func:`kavell_tools.replay`); a path is opened at
    once, and a line that cannot be written stops the run, then
    :meth:`final_result` raises :class:`SaveFailed` with the result.
    """

    def __init__(
        self,
        objective: Callable[..., V],
        *,
        maximize: bool = False,
        target: Any = None,
        max_evaluations: int | None = None,
        max_time: float | None = None,
        patience: int | None = None,
        tolerance: float = TOLERANCE,
        progress: ProgressBar | None = None,
        history: bool = True,
        record: RecordTarget | None = None,
        decode: Callable[[Point], Point] | None = None,
        cancelled: Callable[[], bool] | None = None,
    ) -> None:
        self.objective = objective
        self.maximize = maximize
        self.target = target
        self.max_evaluations = max_evaluations
        self.max_time = max_time
        self.patience = patience
        self.tolerance = tolerance
        self.progress = progress
        self.keep_history = history
        # Opened now: a path that cannot be opened fails before any evaluation.
        self.recording = None if record is None else Recording(record, on_error=self._recording_failed)
        #: Called with the evaluations a run may make, before it starts (see reserve()).
        self.reservation: Callable[[int], None] | None = None
        self.decode = decode
        self.cancelled = cancelled
        self.evaluations = 0
        self.best_value: Any = None
        self.best_point: Point | None = None
        self.best_at = 0  # the last improvement that counted for patience
        self.patience_value: Any = None  # and its value
        self.history: list[tuple[int, V]] = []
        self.stop_reason: str | None = None
        self.error: BaseException | None = None
        self.failed_point: Point | None = None
        self.failed_evaluation: int | None = None
        self.runs = 0
        self.started = time.monotonic()
        self._running = 0
        self._quiet = _QuietStderr()

    def _stop(self, reason: str) -> NoReturn:
        self.stop_reason = reason
        if self._running:
            # Only inside run(), which restores descriptor 2 when the module returns.
            self._quiet.silence()
        raise EarlyStop(f"{reason} after {self.evaluations} evaluations")

    def __call__(self, **point: Any) -> V:
        if self.stop_reason is not None:
            # A nested or continued run after a stop ends at once.
            self._stop(self.stop_reason)
        if self.max_evaluations is not None and self.evaluations >= self.max_evaluations:
            self._stop("evaluations")
        if self.cancelled is not None and self.evaluations % CANCEL_EVERY == 0 and self.cancelled():
            self._stop("cancelled")
        if self.decode is not None:
            point = self.decode(point)
        # A copy before the call when recording: f may change the lists it is given.
        kept = None if self.recording is None else {key: list(values) for key, values in point.items()}
        try:
            value = self.objective(**point)
        except BaseException as error:
            self.error = error
            self.failed_evaluation = self.evaluations + 1
            self.failed_point = kept if kept is not None else {key: list(values) for key, values in point.items()}
            if self.recording is not None:
                self.recording.write(self.failed_evaluation, self.failed_point, "error", repr(error))
            raise
        self.evaluations += 1
        if self.recording is not None and kept is not None:
            self.recording.write(self.evaluations, kept, "value", value)
        if self.best_point is None or _better(value, self.best_value, self.maximize):
            self.best_value = value
            self.best_point = kept if kept is not None else {key: list(values) for key, values in point.items()}
            if self.keep_history:
                self.history.append((self.evaluations, value))
            if self.progress is not None:
                self.progress.set_postfix_str(f"best={_short(value)}", refresh=False)
            if self.best_at == 0 or _beyond_tolerance(value, self.patience_value, self.tolerance):
                self.best_at, self.patience_value = self.evaluations, value
        if self.progress is not None:
            self.progress.update(1)
        reason = self._stop_reason(value)
        if reason is not None:
            self._stop(reason)
        return value

    def _stop_reason(self, value: Any) -> str | None:
        if self.target is not None and _reaches(value, self.target, self.maximize):
            return "target"
        if self.max_evaluations is not None and self.evaluations >= self.max_evaluations:
            return "evaluations"
        if self.patience is not None and self.evaluations - self.best_at >= self.patience:
            return "patience"
        if self.max_time is not None and time.monotonic() - self.started >= self.max_time:
            return "time"
        return None

    def result(self) -> Result[V] | None:
        """The best point seen so far, or ``None`` before the first evaluation."""
        if self.best_point is None:
            return None
        return Result(
            value=self.best_value,
            point=self.best_point,
            evaluations=self.evaluations,
            elapsed=time.monotonic() - self.started,
            stop_reason=self.stop_reason,
            history=list(self.history),
            runs=self.runs,
        )

    def state(self) -> dict[str, Any]:
        """What :meth:`restore` needs to go on from here: best value and point, history, counts."""
        return {
            "evaluations": self.evaluations,
            "runs": self.runs,
            "best_value": self.best_value,
            "best_point": self.best_point,
            "best_at": self.best_at,
            "patience_value": self.patience_value,
            "history": list(self.history),
            "stop_reason": self.stop_reason,
            "elapsed": time.monotonic() - self.started,
        }

    def restore(self, state: Mapping[str, Any]) -> None:
        """Go on from a :meth:`state`; a recording is then appended to rather than started afresh.

        The stop conditions are this tracker's, not the saved ones: a job
        stopped by a target goes on under another, and stops at once when
        what it saved meets its own. A state that is not one raises
        ``ValueError`` or ``TypeError``.
        """
        evaluations, runs, best_at = (_count(state, key) for key in ("evaluations", "runs", "best_at"))
        best_point = state["best_point"]
        if best_point is not None and not (
            isinstance(best_point, dict)
            and all(isinstance(kind, str) and isinstance(values, list) for kind, values in best_point.items())
        ):
            raise TypeError(f"best_point {best_point!r} is not a point")
        history = state["history"]
        if not isinstance(history, list) or not all(isinstance(entry, (tuple, list)) and len(entry) == 2
                                                    for entry in history):
            raise TypeError(f"history {history!r} is not a list of (evaluations, value)")
        counts = [count for count, _ in history]
        if not all(type(count) is int for count in counts) or counts != sorted(set(counts)) or \
                (counts and (counts[0] < 1 or counts[-1] > evaluations)) or best_at > evaluations:
            raise ValueError(f"history {history!r} or best_at {best_at!r} is not within {evaluations} evaluations")
        elapsed = state["elapsed"]
        if type(elapsed) not in (int, float) or not 0 <= elapsed < math.inf:
            raise ValueError(f"elapsed {elapsed!r} is not a time")
        self.evaluations, self.runs, self.best_at = evaluations, runs, best_at
        self.best_value = state["best_value"]
        self.best_point = best_point
        self.patience_value = state["patience_value"]
        self.history = [(count, value) for count, value in history]
        self.started = time.monotonic() - elapsed
        self.stop_reason = self._stop_reason(self.best_value)
        if self.recording is not None:
            self.recording.append = True
        if self.progress is not None and self.evaluations:
            self.progress.update(self.evaluations)

    def reserve(self, evaluations: int) -> None:
        """Say that a run which may make ``evaluations`` starts: a job's checkpoint saves them as spent first."""
        if self.reservation is not None:
            self.reservation(evaluations)

    def _recording_failed(self) -> None:
        # Stop at the next evaluation. On the line of a failure of f, that failure ends the run and
        # is what is raised: a stop would hide it.
        if self.stop_reason is None and self.error is None:
            self.stop_reason = "recording"

    def recording_failure(self) -> SaveFailed | None:
        """The error to raise when the recording could not be written, carrying :meth:`result`."""
        if self.recording is None or self.recording.error is None:
            return None
        failure = SaveFailed(f"cannot write the recording {self.recording.name}: {self.recording.error}",
                             self.result())
        failure.__cause__ = self.recording.error
        return failure

    def run(self, pso: Swarm, bounds: Mapping[str, Any]) -> bool:
        """One run of ``pso`` on this tracker; ``False`` once a stop condition ended it.

        A failure of the objective raises :class:`RunFailed`, an interruption
        :class:`RunInterrupted`, both carrying :meth:`result`; the module's
        fault is never let through.
        """
        self.error = None
        self.runs += 1
        method = pso.max if self.maximize else pso.min
        failure: BaseException | None = None
        self._running += 1
        try:
            method(self, **bounds)
        except BaseException as error:
            self._quiet.restore()
            if self.stop_reason is not None and is_panic(error):
                return False
            failure = self._failure(error)
            if failure is error:
                raise
        finally:
            self._running -= 1
            self._quiet.restore()
        if failure is not None:
            # Raised outside the handler so that the module's fault, which
            # only repeats the cause's description and cannot be pickled,
            # is not kept as the context.
            raise failure
        return self.stop_reason is None

    def _failure(self, error: BaseException) -> BaseException:
        cause = self.error
        where = (self.failed_point, self.failed_evaluation) if cause is not None else (None, None)
        if isinstance(error, KeyboardInterrupt) or isinstance(cause, KeyboardInterrupt) or (
            cause is None and is_panic(error) and "KeyboardInterrupt" in str(error)
        ):
            _install_exit_hook()
            interrupted = RunInterrupted(
                f"run interrupted after {self.evaluations} evaluations", self.result(), *where
            )
            # The interrupt itself, never the module's fault (which cannot be pickled).
            interrupted.__cause__ = cause if cause is not None else (
                error if isinstance(error, KeyboardInterrupt) else KeyboardInterrupt()
            )
            return interrupted
        if not is_panic(error):
            # Argument errors of the binding are raised before any call of f.
            return error
        failure = RunFailed(str(error), self.result(), *where)
        if cause is not None:
            failure.__cause__ = ordinary(cause)
        return failure

    def close(self) -> None:
        """Close the progress bar (unless the caller owns it) and the recording; never raises.

        A recording that could not be written is raised by :meth:`final_result`.
        """
        if self.progress is not None:
            self.progress.close()
        if self.recording is not None:
            self.recording.close()

    def final_result(self) -> Result[V]:
        """The result once every run is over.

        A run with no evaluation is an error, and so is a recording that
        could not be written (:class:`SaveFailed`, carrying the result).
        """
        failure = self.recording_failure()
        if failure is not None:
            raise failure
        result = self.result()
        if result is None:
            raise KavellError("the run made no evaluation")
        return result


def minimize(
    pso: Swarm,
    f: Callable[..., V],
    *,
    maximize: bool = False,
    target: Any = None,
    max_evaluations: int | None = None,
    max_time: float | None = None,
    patience: int | None = None,
    tolerance: float = TOLERANCE,
    progress: bool | ProgressBar = False,
    record: RecordTarget | None = None,
    **bounds: Unpack[Bounds],
) -> Result[V]:
    """Run ``pso.min(f, **bounds)`` (``pso.max`` with ``maximize=True``) under a :class:`Tracker`.

    Returns a :class:`Result` with the best point, the evaluation count and the
    best-so-far history, also when a stop condition ended the run early.
    ``progress=True`` shows a tqdm bar over the run's
    ``particle_count * (iteration_count + 1)`` evaluations (at most
    ``max_evaluations``); a bar of your own is driven and left open.
    ``record`` writes every evaluation to a JSON-lines file. The bounds are
    checked first (:func:`check_bounds`).
    """
    check_bounds(bounds)
    total = evaluation_count(pso)
    if max_evaluations is not None:
        total = min(total, max_evaluations)
    tracker = Tracker(
        f,
        maximize=maximize,
        target=target,
        max_evaluations=max_evaluations,
        max_time=max_time,
        patience=patience,
        tolerance=tolerance,
        progress=open_progress(total, progress),
        record=record,
    )
    try:
        tracker.run(pso, bounds)
    finally:
        tracker.close()
    return tracker.final_result()


class Options(Bounds, total=False):
    """The keywords :func:`maximize` passes on to :func:`minimize`: its options and the bounds."""

    target: Any
    max_evaluations: int | None
    max_time: float | None
    patience: int | None
    tolerance: float
    progress: bool | ProgressBar
    record: RecordTarget | None


def maximize(pso: Swarm, f: Callable[..., V], **options: Unpack[Options]) -> Result[V]:
    """:func:`minimize` with ``maximize=True``."""
    return minimize(pso, f, maximize=True, **options)
