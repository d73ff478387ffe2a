"""The objective wrapper: evaluation count, best so far, history, progress, early stop."""
from __future__ import annotations

import math
import time
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import Any, Protocol

from ._errors import KavellError, is_panic, ordinary

Point = dict[str, list[Any]]
Objective = Callable[..., Any]


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
class Result:
    """The outcome of a tracked run (or of several runs sharing one tracker).

    ``stop_reason`` is ``None`` when every run went to its end, otherwise one
    of ``"target"``, ``"evaluations"``, ``"time"`` and ``"patience"``.
    ``history`` lists ``(evaluations, best value)`` at each improvement.
    """

    value: Any
    point: Point
    evaluations: int
    elapsed: float
    stop_reason: str | None = None
    history: list[tuple[int, Any]] = field(default_factory=list)
    runs: int = 1


class RunFailed(KavellError):
    """The objective failed (``__cause__`` is what it raised).

    ``result`` holds the best point seen before the failure, or ``None`` when
    no evaluation had finished.
    """

    def __init__(self, message: str, result: Result | None = None) -> None:
        super().__init__(message)
        self.result = result


class RunInterrupted(RunFailed):
    """The run was interrupted (``__cause__`` is the ``KeyboardInterrupt``)."""


class EarlyStop(Exception):
    """Raised from inside the objective to end a run; never leaves the toolkit."""


def _is_nan(value: Any) -> bool:
    return isinstance(value, float) and math.isnan(value)


def _better(value: Any, best: Any, maximize: bool) -> bool:
    """Strict improvement, as the optimiser orders values; unorderable values never improve."""
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


def _short(value: Any) -> str:
    return f"{value:.6g}" if isinstance(value, float) else str(value)


def open_progress(total: int, progress: bool | ProgressBar) -> ProgressBar | None:
    """A tqdm bar of ``total`` evaluations, the given bar, or ``None``."""
    if progress is False:
        return None
    if progress is not True:
        return progress
    try:
        from tqdm.auto import tqdm  # type: ignore[import-untyped, unused-ignore]
    except ImportError as error:
        raise ModuleNotFoundError(
            "progress=True needs tqdm: pip install tqdm (or kavell[progress])"
        ) from error
    bar: ProgressBar = tqdm(total=total, unit="eval", dynamic_ncols=True)
    return bar


class Tracker:
    """Wraps an objective ``f(**point)`` for ``PSO.min`` / ``PSO.max``.

    Each call counts one evaluation, keeps the best value and a copy of its
    point, records the best-so-far history and advances the progress bar. When
    a stop condition holds after an evaluation, the tracker raises
    :class:`EarlyStop` out of the objective, which ends the run; :meth:`run`
    then returns the best point seen.

    Stop conditions (all optional): ``target`` (a value at least as good),
    ``max_evaluations``, ``max_time`` in seconds, ``patience`` (evaluations
    without a strict improvement).
    """

    def __init__(
        self,
        objective: Objective,
        *,
        maximize: bool = False,
        target: Any = None,
        max_evaluations: int | None = None,
        max_time: float | None = None,
        patience: int | None = None,
        progress: ProgressBar | None = None,
        history: bool = True,
    ) -> None:
        self.objective = objective
        self.maximize = maximize
        self.target = target
        self.max_evaluations = max_evaluations
        self.max_time = max_time
        self.patience = patience
        self.progress = progress
        self.keep_history = history
        self.evaluations = 0
        self.best_value: Any = None
        self.best_point: Point | None = None
        self.best_at = 0
        self.history: list[tuple[int, Any]] = []
        self.stop_reason: str | None = None
        self.error: BaseException | None = None
        self.runs = 0
        self.started = time.monotonic()

    def __call__(self, **point: Any) -> Any:
        if self.stop_reason is not None:
            # A nested or continued run after a stop ends at once.
            raise EarlyStop(self.stop_reason)
        try:
            value = self.objective(**point)
        except BaseException as error:
            self.error = error
            raise
        self.evaluations += 1
        if self.best_point is None or _better(value, self.best_value, self.maximize):
            self.best_value = value
            self.best_point = {key: list(values) for key, values in point.items()}
            self.best_at = self.evaluations
            if self.keep_history:
                self.history.append((self.evaluations, value))
            if self.progress is not None:
                self.progress.set_postfix_str(f"best={_short(value)}", refresh=False)
        if self.progress is not None:
            self.progress.update(1)
        reason = self._stop_reason(value)
        if reason is not None:
            self.stop_reason = reason
            raise EarlyStop(f"{reason} after {self.evaluations} evaluations")
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

    def result(self) -> Result | None:
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
        try:
            method(self, **bounds)
        except BaseException as error:
            if self.stop_reason is not None and is_panic(error):
                return False
            failure = self._failure(error)
            if failure is error:
                raise
        if failure is not None:
            # Raised outside the handler so that the module's fault, which
            # only repeats the cause's description and cannot be pickled,
            # is not kept as the context.
            raise failure
        return self.stop_reason is None

    def _failure(self, error: BaseException) -> BaseException:
        cause = self.error
        if isinstance(error, KeyboardInterrupt) or isinstance(cause, KeyboardInterrupt) or (
            cause is None and is_panic(error) and "KeyboardInterrupt" in str(error)
        ):
            failure: RunFailed = RunInterrupted(
                f"run interrupted after {self.evaluations} evaluations", self.result()
            )
            # The interrupt itself, never the module's fault (which cannot be pickled).
            failure.__cause__ = cause if cause is not None else (
                error if isinstance(error, KeyboardInterrupt) else KeyboardInterrupt()
            )
            return failure
        if not is_panic(error):
            # Argument errors of the binding are raised before any call of f.
            return error
        failure = RunFailed(str(error), self.result())
        if cause is not None:
            failure.__cause__ = ordinary(cause)
        return failure

    def close(self) -> None:
        if self.progress is not None:
            self.progress.close()

    def final_result(self) -> Result:
        """The result once every run is over; a run with no evaluation is an error."""
        result = self.result()
        if result is None:
            raise KavellError("the run made no evaluation")
        return result


def minimize(
    pso: Swarm,
    f: Objective,
    *,
    maximize: bool = False,
    target: Any = None,
    max_evaluations: int | None = None,
    max_time: float | None = None,
    patience: int | None = None,
    progress: bool | ProgressBar = False,
    **bounds: Any,
) -> Result:
    """Run ``pso.min(f, **bounds)`` (``pso.max`` with ``maximize=True``) under a :class:`Tracker`.

    Returns a :class:`Result` with the best point, the evaluation count and the
    best-so-far history, also when a stop condition ended the run early.
    ``progress=True`` shows a tqdm bar over the run's
    ``particle_count * (iteration_count + 1)`` evaluations.
    """
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
        progress=open_progress(total, progress),
    )
    try:
        tracker.run(pso, bounds)
    finally:
        tracker.close()
    return tracker.final_result()


def maximize(pso: Swarm, f: Objective, **options: Any) -> Result:
    """:func:`minimize` with ``maximize=True``."""
    return minimize(pso, f, maximize=True, **options)
