"""The objective wrapper: evaluation count, best so far, history, progress, early stop, recording."""
from __future__ import annotations

import contextlib
import functools
import math
import operator
import threading
import time
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Generic, Literal, Protocol, TypeVar

from ._bounds import Bounds, check_bounds, count
from ._errors import Chained, KavellError, is_panic, ordinary
from ._record import Point, RecordTarget, Recording, is_nan

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

    A ``KeyboardInterrupt``: ``except Exception`` lets it through. ``result``,
    ``point`` and ``evaluation`` as for :class:`RunFailed`. A script that does
    not catch it ends as on any uncaught exception, with status 1: CPython
    ends a script by SIGINT (status 130 in a shell) only for the exact
    ``KeyboardInterrupt`` type. ``raise KeyboardInterrupt from error`` in an
    ``except RunInterrupted as error`` gives that ending.
    """


class EarlyStop(Exception):
    """Raised from the objective to end a run that has too many calls left to wind down; never leaves the toolkit.

    Also raised by a call of a stopped tracker outside any run. Only the
    tracker's own ends a run quietly: raised by ``f`` itself, it is a
    failure of ``f`` like any other (:class:`RunFailed`); stop a run from
    ``f`` with a tracker's ``cancelled`` instead.
    """


class _Worst:
    """What the calls of a stopped run get: a value every comparison ranks last.

    ``w < x`` is false and ``w > x`` true for any other ``x``; ``w == x`` only
    for ``w`` itself. With ``w`` on the right, the other value's comparison
    gives way (``NotImplemented``, as those of numbers, tuples and most
    classes do) and the reflected one answers the same. ``PSO.max`` negates
    values through ``__neg__``: that of ``w`` is ``w``. Every method is a C
    callable (``functools.partial`` of an identity test), so a comparison
    runs no Python code, costs little, and touches nothing of the other
    value. Each is held as a ``staticmethod``: a bare ``partial`` in a class
    is bound like a function from Python 3.14 on, with a warning in 3.13.
    """

    __slots__ = ()

    def __repr__(self) -> str:
        return "<the worst value, given by a stopped run>"


_WORST: Any = _Worst()
_NOTHING = object()  # never compared with: the identity tests below with it are constants
_WORST_METHODS: dict[str, Callable[..., Any]] = {
    "__eq__": functools.partial(operator.is_, _WORST),
    "__ne__": functools.partial(operator.is_not, _WORST),
    "__lt__": functools.partial(operator.is_, _NOTHING),  # false
    "__le__": functools.partial(operator.is_, _WORST),
    "__gt__": functools.partial(operator.is_not, _WORST),
    "__ge__": functools.partial(operator.is_not, _NOTHING),  # true
    "__neg__": functools.partial(operator.getitem, (_WORST,), 0),
}
for _name, _method in _WORST_METHODS.items():
    setattr(_Worst, _name, staticmethod(_method))

#: A stopped run winds down while the calls it has left cost at most this
#: many units, of about 4 ns each on the machine of bench/quiet_stop.py (so
#: half a second: a million calls over ten reals); a longer run is ended by
#: :class:`EarlyStop` raised from the objective instead, which the module
#: reports on standard error. A call left costs :data:`WIND_DOWN_CALL`
#: units, plus one per element of its point, and more for the kinds whose
#: values cost more to make.
WIND_DOWN_LIMIT = 125_000_000
WIND_DOWN_CALL = 100
_ELEMENT_COST = {"d": 150, "i": 60}


class _Runs(threading.local):
    """One thread's runs on a tracker; threads that share a tracker each wind their own run down.

    ``run`` is the innermost run's size, its first particle count, the
    evaluations before it and the count of runs started on the tracker when
    it started (``-1`` if another thread's run was under way then).
    ``first_left`` is how many of its first particles' calls are still to
    come once it winds down (``None`` before), ``raised`` whether an
    :class:`EarlyStop` of the tracker ended it.
    """

    def __init__(self) -> None:
        self.depth = 0
        self.run: tuple[int, int, int, int] = (0, 0, 0, 0)
        self.first_left: int | None = None
        self.raised = False


def _better(value: Any, best: Any, maximize: bool) -> bool:
    """Strict improvement, as the optimiser orders values; unorderable values never improve."""
    if isinstance(value, float) and isinstance(best, float):
        # The common case (numpy's float64 among them), without the calls below: NaN compares false both ways.
        if value != value:
            return False
        return best != best or (value > best if maximize else value < best)
    if is_nan(value):
        return False
    if is_nan(best):
        return True
    try:
        return bool(value > best) if maximize else bool(value < best)
    except Exception:
        return False


def _reaches(value: Any, target: Any, maximize: bool) -> bool:
    try:
        return bool(value >= target) if maximize else bool(value <= target)
    except Exception as error:
        # A target that never compares would silently never be reached: the run fails instead.
        raise TypeError(f"the target {target!r} cannot be compared with the value {value!r}: {error}") from None


def _beyond_tolerance(value: Any, base: Any, tolerance: float) -> bool:
    """Whether an improvement on ``base`` is large enough to count; values without a size always count."""
    try:
        new, old = float(value), float(base)
    except (TypeError, ValueError, OverflowError):
        return True
    if not math.isfinite(old) or not math.isfinite(new):
        return True
    return abs(new - old) > tolerance * max(1.0, abs(old))


def stop_options(max_evaluations: Any = None, max_time: Any = None, patience: Any = None,
                 tolerance: Any = TOLERANCE) -> tuple[int | None, float | None, int | None, float]:
    """The stop options checked, as the tracker compares them: ``TypeError`` naming one that is not a number.

    Counts are whole numbers (``max_evaluations=2.5`` would allow three
    calls); a time or a tolerance that is not a number would fail only
    inside the run, as if ``f`` had.
    """
    def real(value: Any, name: str) -> float:
        if isinstance(value, (str, bytes, bytearray)):
            raise TypeError(f"{name} must be a number, not {value!r}")
        try:
            return float(value)
        except (TypeError, ValueError):
            raise TypeError(f"{name} must be a number, not {type(value).__name__} {value!r}") from None

    return (None if max_evaluations is None else count(max_evaluations, "max_evaluations"),
            None if max_time is None else real(max_time, "max_time"),
            None if patience is None else count(patience, "patience"),
            real(tolerance, "tolerance"))


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
    bar: ProgressBar = _tqdm()(total=total, unit="eval", dynamic_ncols=True)
    return bar


def _tqdm() -> Any:
    try:
        from tqdm.auto import tqdm  # type: ignore[import-untyped, unused-ignore]
    except ImportError as error:
        raise ModuleNotFoundError(
            "progress=True needs tqdm: pip install tqdm (or kavell[progress])"
        ) from error
    return tqdm


class Tracker(Generic[V]):
    """Wraps an objective ``f(**point)`` for ``PSO.min`` / ``PSO.max``.

    Each call counts one evaluation, keeps the best value and a copy of the
    point ``f`` was given (made before the call, so an ``f`` that writes into
    its lists changes nothing kept), records the best-so-far history and
    advances the progress bar.

    Stop conditions (all optional): ``target`` (a value at least as good),
    ``max_evaluations`` (never exceeded: a run is cut at the budget),
    ``max_time`` in seconds, ``patience`` (evaluations without an improvement
    larger than ``tolerance * max(1, |value|)``; see :data:`TOLERANCE`), and
    ``cancelled``, a callable asked before each run and every
    :data:`CANCEL_EVERY` evaluations (``cancel_every``). Once one holds, ``f`` is not called
    again: the run's remaining calls get a value ranked below every other
    (or, among its first ``particle_count`` calls, the last value ``f``
    gave), so the module's run winds down on its own, at the module's own
    cost per call, and :meth:`run` returns the best point seen. Nothing is
    written on standard error and no process-wide state is touched. A run
    with more calls left than :data:`WIND_DOWN_LIMIT` allows is ended by
    :class:`EarlyStop` raised from the objective instead, which the module
    reports on standard error. A run after a stop does not start.

    Runs in several threads, and runs started from ``f``, may share a
    tracker: a call counts in ``evaluations`` from its start (a call that
    fails is then taken back), so calls under way together never exceed
    ``max_evaluations``, and once a stop holds, every run under way winds
    down.

    ``nan`` says what a NaN value (any real one: ``float``, numpy floats,
    ``Decimal``, quiet or signalling) does: ``None`` passes it on as it is,
    ``"worst"`` hands the module the worst value in its place (it is never
    the best point unless nothing else was seen), ``"raise"`` fails the run
    with a ``ValueError``.

    ``decode`` maps each point the module passes to the point ``f`` gets;
    the best point, the history, the recording and a failure's point are all
    in its terms. ``record`` (a path or a text file) receives every evaluation
    as a JSON line (see :func:`kavell_tools.replay`); a path is opened at
    once, and a line that cannot be written stops the run, then
    :meth:`final_result` raises :class:`SaveFailed` with the result.
    """

    #: Evaluations between two looks at ``cancelled``: every one for a callback that is cheap to ask.
    cancel_every = CANCEL_EVERY

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
        nan: Literal["worst", "raise"] | None = None,
    ) -> None:
        if nan not in (None, "worst", "raise"):
            raise ValueError(f'nan must be None, "worst" or "raise", not {nan!r}')
        max_evaluations, max_time, patience, tolerance = stop_options(max_evaluations, max_time, patience, tolerance)
        self.objective = objective
        self.maximize = maximize
        self.target = target
        self.max_evaluations = max_evaluations
        self.max_time = max_time
        self.patience = patience
        self.tolerance = tolerance
        self.progress = progress
        self.keep_history = history
        self._recording_broken = False  # a line of the recording could not be written
        # Opened now: a path that cannot be opened fails before any evaluation.
        self.recording = None if record is None else Recording(record, on_error=self._recording_failed)
        #: Called with the evaluations a run may make, before it starts (see reserve()).
        self.reservation: Callable[[int], None] | None = None
        self.decode = decode
        self.cancelled = cancelled
        self.nan = nan
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
        self._runs = _Runs()  # this thread's
        self._running = 0  # runs under way, in every thread
        self._starts = 0  # runs started
        self._last: Any = _WORST  # a value of f's, for the first particles of a run winding down

    def __call__(self, **point: Any) -> V:
        if self.stop_reason is not None:
            runs = self._runs
            left = runs.first_left
            if left is None:
                if not runs.depth or runs.raised:
                    raise EarlyStop(f"{self.stop_reason} after {self.evaluations} evaluations")
                # Stopped by another thread's run, or by a run nested in f: this run winds down too.
                self._halt(self.stop_reason, self._last, point)
                left = runs.first_left
            # The run winds down without f. The module orders its first particles' values among
            # themselves, any of them on either side: they get a value of f, which any of f's values
            # compares with. Later values are compared with the new one on the left.
            if left:
                runs.first_left = left - 1
                return self._last  # type: ignore[no-any-return]
            return _WORST  # type: ignore[no-any-return]
        if self.max_evaluations is not None and self.evaluations >= self.max_evaluations:
            # A call beyond the budget: outside a run (run() does not start at the budget, and a run stops on
            # reaching it), or beside calls under way in other threads, which count from their start.
            self._halt("evaluations", self._last, point)
            return self(**point)
        # Counted from its start, so that calls under way together (in threads, or an outer run's call
        # around a run nested in f) never exceed the budget; a call that fails is not an evaluation.
        self.evaluations += 1
        try:
            given = point if self.decode is None else self.decode(point)
            # What f is given, copied before the call: f may write into its lists.
            kept: Point = {}
            for key, values in given.items():
                kept[key] = list(values)
        except BaseException:
            self.evaluations -= 1
            raise
        try:
            value: Any = self.objective(**given)
        except BaseException as error:
            self.evaluations -= 1
            self._fail(error, kept)
            raise
        answer = value
        if self.nan is not None and (value != value if isinstance(value, float) else is_nan(value)):
            if self.nan == "raise":
                self.evaluations -= 1
                nan = ValueError("the objective returned NaN")
                self._fail(nan, kept)
                raise nan
            answer = -math.inf if self.maximize else math.inf  # a NaN would poison the module's comparisons
        reason = self.note(value, kept)
        if reason is None and self.cancelled is not None and self.evaluations % self.cancel_every == 0 and \
                self.cancelled():
            reason = "cancelled"
        if reason is not None:
            self._halt(reason, answer, point)
        return answer  # type: ignore[no-any-return]

    def note(self, value: Any, kept: Point | None = None) -> str | None:
        """The stop condition that holds once ``value`` has been seen, if any (``cancelled`` aside).

        With ``kept``, first accounts for the evaluation of ``f`` at ``kept``
        that gave ``value``, counted in ``evaluations`` already: the account
        every run of the tracker shares (recording, best, history, progress),
        apart from the run under way. The runs of ``optimize`` on several
        workers call it under one lock. One call per evaluation does both,
        since a call costs about as much as the accounting itself.
        """
        if kept is not None:
            if self.recording is not None:
                self.recording.write(self.evaluations, kept, "value", value)
            best = self.best_value
            if isinstance(value, float) and isinstance(best, float):
                # The common case (numpy's float64 among them) without a call: NaN compares false both ways.
                improved = value == value and (best != best or (value > best if self.maximize else value < best))
            else:
                improved = self.best_point is None or _better(value, best, self.maximize)
            if improved:
                self.best_value = value
                self.best_point = kept
                if self.keep_history:
                    self.history.append((self.evaluations, value))
                if self.progress is not None:
                    self.progress.set_postfix_str(f"best={_short(value)}", refresh=False)
                if self.best_at == 0 or _beyond_tolerance(value, self.patience_value, self.tolerance):
                    self.best_at, self.patience_value = self.evaluations, value
            if self.progress is not None:
                self.progress.update(1)
        if self._recording_broken:
            return "recording"
        if self.target is not None and _reaches(value, self.target, self.maximize):
            return "target"
        if self.max_evaluations is not None and self.evaluations >= self.max_evaluations:
            return "evaluations"
        if self.patience is not None and self.evaluations - self.best_at >= self.patience:
            return "patience"
        if self.max_time is not None and time.monotonic() - self.started >= self.max_time:
            return "time"
        return None

    def _fail(self, error: BaseException, point: Point) -> None:
        self.error = error
        self.failed_evaluation = self.evaluations + 1
        self.failed_point = point
        if self.recording is not None:
            self.recording.write(self.failed_evaluation, point, "error", repr(error))

    def _halt(self, reason: str, last: Any, point: Point) -> None:
        """Stop: this thread's run winds down, or ends by :class:`EarlyStop` when too long for that.

        ``last`` is a value of f's for the module (this call's, if f was
        called), ``point`` what the module passed.
        """
        self.stop_reason = reason
        if last is not _WORST:
            self._last = last
        elif self._last is _WORST and self.best_point is not None:
            self._last = self.best_value
        runs = self._runs
        if not runs.depth:
            raise EarlyStop(f"{reason} after {self.evaluations} evaluations")
        size, particles, before, starts = runs.run
        # The calls this run made are known only while no other run (another thread's, or one nested in
        # f) made any since it started; otherwise it may still be among its first particles.
        made = self.evaluations - before if starts == self._starts and self._running == runs.depth else 0
        cost = WIND_DOWN_CALL + sum(len(values) * _ELEMENT_COST.get(key, 1) for key, values in point.items())
        if (size - made) * cost > WIND_DOWN_LIMIT:
            runs.raised = True
            raise EarlyStop(f"{reason} after {self.evaluations} evaluations")
        runs.first_left = max(0, particles - made)

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
        self.stop_reason = self.note(self.best_value)
        if self.recording is not None:
            self.recording.append = True

    def expect_progress(self, progress: bool | ProgressBar) -> None:
        """For a job that draws its bar later (:meth:`show_progress`): ``progress=True`` without tqdm fails now."""
        try:
            if progress is True:
                _tqdm()
        except BaseException:
            self.close()
            raise

    def show_progress(self, total: int, progress: bool | ProgressBar) -> None:
        """Drive a bar of ``total`` evaluations (:func:`open_progress`), or none; if that fails, close the recording.

        Called once the tracker stands, so that a bad option or a recording
        that cannot be opened draws no bar.
        """
        try:
            self.progress = open_progress(total, progress)
        except BaseException:
            self.close()
            raise
        if self.progress is not None and self.evaluations:
            self.progress.update(self.evaluations)  # those of a job resumed

    def reserve(self, evaluations: int) -> None:
        """Say that a run which may make ``evaluations`` starts: a job's checkpoint saves them as spent first."""
        if self.reservation is not None:
            self.reservation(evaluations)

    def _recording_failed(self) -> None:
        # Stop after this evaluation, as any stop condition does. On the line of a failure of f, that
        # failure ends the run and is what is raised: a stop would hide it.
        if self.error is None:
            self._recording_broken = True

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

        A run after a stop, at the budget, or when ``cancelled`` says so does
        not start. A failure of the objective raises :class:`RunFailed`, an
        interruption :class:`RunInterrupted` (also one during a stopped run's
        wind-down), both carrying :meth:`result`; the module's fault is never
        let through.
        """
        if self.stop_reason is None and self.max_evaluations is not None and self.evaluations >= self.max_evaluations:
            self.stop_reason = "evaluations"
        if self.stop_reason is None and self.cancelled is not None and self.cancelled():
            self.stop_reason = "cancelled"
        if self.stop_reason is not None:
            return False
        self.error = None
        self.runs += 1
        method = pso.max if self.maximize else pso.min
        failure: BaseException | None = None
        runs = self._runs
        outer = (runs.run, runs.first_left, runs.raised)  # a nested run's
        self._starts += 1
        alone = self._running == runs.depth  # no other thread's run under way
        runs.run = (evaluation_count(pso), int(pso.particle_count), self.evaluations, self._starts if alone else -1)
        runs.first_left, runs.raised = None, False
        runs.depth += 1
        self._running += 1
        try:
            # The bound method rather than the tracker itself, whose call through the type's __call__
            # slot costs about 1,000 instructions more per call (counted under callgrind).
            method(self.__call__, **bounds)
        except BaseException as error:
            if runs.raised and is_panic(error):
                return False  # the stop of a run too long to wind down
            failure = self._failure(error)
            if failure is error:
                raise
        finally:
            self._running -= 1
            runs.depth -= 1
            runs.run, runs.first_left, runs.raised = outer
        if failure is not None:
            # Raised outside the handler so that the module's fault, which
            # only repeats the cause's description and cannot be pickled,
            # is not kept as the context.
            raise failure
        return self.stop_reason is None

    @contextlib.contextmanager
    def interruptible(self) -> Iterator[None]:
        """Raise a Ctrl-C that lands outside every call of ``f`` as :class:`RunInterrupted`, carrying :meth:`result`.

        Around a strategy: between its runs, and in a polish's own code,
        which take as long as the calls of a cheap ``f`` or longer.
        """
        try:
            yield
        except KeyboardInterrupt as error:
            if isinstance(error, RunInterrupted):
                raise
            interrupted = RunInterrupted(f"run interrupted after {self.evaluations} evaluations", self.result())
            raise interrupted from error

    def _failure(self, error: BaseException) -> BaseException:
        cause = self.error
        where = (self.failed_point, self.failed_evaluation) if cause is not None else (None, None)
        if isinstance(error, KeyboardInterrupt) or isinstance(cause, KeyboardInterrupt) or (
            cause is None and is_panic(error) and "KeyboardInterrupt" in str(error)
        ):
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
    max_evaluations, max_time, patience, tolerance = stop_options(max_evaluations, max_time, patience, tolerance)
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
        record=record,
    )
    tracker.show_progress(total, progress)
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
