"""Independent runs with one set of settings: in this process, on an executor, or on Dask."""
from __future__ import annotations

import functools
import queue
import time
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import Any, Protocol

from ._errors import KavellError, ordinary
from ._settings import Settings
from ._tracking import Objective, Point, RunFailed, RunInterrupted, Tracker, _better


@dataclass
class RunSummary:
    """One run of a multi-start: its best point, or the error that ended it."""

    index: int
    value: Any = None
    point: Point | None = None
    evaluations: int = 0
    elapsed: float = 0.0
    stop_reason: str | None = None
    history: list[tuple[int, Any]] = field(default_factory=list)
    error: BaseException | None = None

    @property
    def ok(self) -> bool:
        return self.error is None and self.point is not None


@dataclass
class MultiStartResult:
    """The best run and the summary of every run, in submission order."""

    best: RunSummary
    runs: list[RunSummary]

    @property
    def value(self) -> Any:
        return self.best.value

    @property
    def point(self) -> Point | None:
        return self.best.point

    @property
    def failures(self) -> list[RunSummary]:
        return [run for run in self.runs if not run.ok]


class MultiStartFailed(KavellError):
    """Runs of a multi-start failed; ``runs`` holds every summary, ``__cause__`` the first error."""

    def __init__(self, message: str, runs: list[RunSummary] | None = None) -> None:
        super().__init__(message)
        self.runs = runs or []


def run_once(
    index: int,
    f: Objective,
    settings: Settings,
    bounds: Mapping[str, Any],
    maximize: bool = False,
    stop: Mapping[str, Any] | None = None,
) -> RunSummary:
    """Build a ``PSO`` from ``settings`` and run it once; meant to be sent to a worker.

    Never lets the module's ``PanicException`` out: a failure of the objective
    comes back as the summary's ``error`` (a :class:`RunFailed` chaining what
    the objective raised), with the best point seen before it.
    """
    tracker = Tracker(f, maximize=maximize, history=True, **(stop or {}))
    summary = RunSummary(index)
    try:
        tracker.run(settings.build(), bounds)
    except RunFailed as error:
        summary.error = error
    except BaseException as error:  # a binding error, or anything a worker must not swallow silently
        summary.error = ordinary(error)
        if not isinstance(summary.error, Exception):
            raise
    result = tracker.result()
    if result is not None:
        summary.value, summary.point = result.value, result.point
        summary.evaluations, summary.elapsed = result.evaluations, result.elapsed
        summary.stop_reason, summary.history = result.stop_reason, result.history
    return summary


class _Future(Protocol):
    def result(self, timeout: float | None = None) -> Any: ...

    def add_done_callback(self, fn: Callable[[Any], object], /) -> None: ...

    def cancel(self) -> Any: ...


def _is_dask_client(executor: object) -> bool:
    return type(executor).__module__.split(".")[0] == "distributed" and hasattr(executor, "gather")


def _submit_all(executor: Any, count: int, args: tuple[Any, ...]) -> list[_Future]:
    # A Dask client would merge identical tasks into one unless told they are impure.
    extra = {"pure": False} if _is_dask_client(executor) else {}
    return [executor.submit(run_once, index, *args, **extra) for index in range(count)]


def _put(done: queue.Queue[int], index: int, future: object) -> None:
    done.put(index)


def _collect(futures: list[_Future], timeout: float | None, fail_fast: bool) -> list[RunSummary]:
    """Summaries in submission order, as the runs finish; never waits past ``timeout``."""
    done: queue.Queue[int] = queue.Queue()
    for index, future in enumerate(futures):
        future.add_done_callback(functools.partial(_put, done, index))
    deadline = None if timeout is None else time.monotonic() + timeout
    summaries: dict[int, RunSummary] = {}
    while len(summaries) < len(futures):
        remaining = None if deadline is None else max(0.0, deadline - time.monotonic())
        try:
            index = done.get(timeout=remaining)
        except queue.Empty:
            break
        try:
            summaries[index] = futures[index].result()
        except BaseException as error:  # the task itself failed: worker lost, unpicklable objective, ...
            summaries[index] = RunSummary(index, error=ordinary(error))
        if fail_fast and not summaries[index].ok:
            break
    for index, future in enumerate(futures):
        if index not in summaries:
            future.cancel()
            summaries[index] = RunSummary(index, error=TimeoutError("cancelled: the multi-start ended first"))
    return [summaries[index] for index in range(len(futures))]


def multistart(
    f: Objective,
    runs: int,
    *,
    settings: Settings | None = None,
    executor: Any = None,
    maximize: bool = False,
    timeout: float | None = None,
    errors: str = "raise",
    target: Any = None,
    max_evaluations: int | None = None,
    max_time: float | None = None,
    patience: int | None = None,
    **bounds: Any,
) -> MultiStartResult:
    """``runs`` independent runs of ``f`` with the same ``settings``; the best wins.

    ``executor`` is ``None`` (one run after the other here), any
    ``concurrent.futures.Executor``, or a ``dask.distributed.Client`` (on a
    ``LocalCluster`` or a scheduler address alike). Each task gets the
    settings and builds its own ``PSO``, so ``f`` must be picklable for
    process pools and Dask: a module-level function.

    ``errors="raise"`` (the default) raises :class:`MultiStartFailed` as soon
    as one run fails, chaining that run's error; ``errors="report"`` keeps the
    failed runs' summaries and raises only when every run failed. A run not
    finished within ``timeout`` seconds is cancelled and reported as failed.
    """
    if runs < 1:
        raise ValueError("runs must be at least 1")
    if errors not in ("raise", "report"):
        raise ValueError("errors must be 'raise' or 'report'")
    stop = {
        key: value
        for key, value in (
            ("target", target),
            ("max_evaluations", max_evaluations),
            ("max_time", max_time),
            ("patience", patience),
        )
        if value is not None
    }
    args = (f, settings or Settings(), dict(bounds), maximize, stop)
    if executor is None:
        summaries = []
        for index in range(runs):
            summaries.append(run_once(index, *args))
            # Ctrl-C ends the whole multi-start, not just the current run.
            if (errors == "raise" and not summaries[-1].ok) or isinstance(summaries[-1].error, RunInterrupted):
                break
    else:
        summaries = _collect(_submit_all(executor, runs, args), timeout, errors == "raise")
    failed = [summary for summary in summaries if not summary.ok]
    succeeded = [summary for summary in summaries if summary.ok]
    if (failed and errors == "raise") or not succeeded:
        # The first real failure, not a run cancelled because of it.
        first = next((s for s in failed if not isinstance(s.error, TimeoutError)), failed[0])
        failure = MultiStartFailed(f"run {first.index} of {runs} failed: {first.error}", summaries)
        failure.__cause__ = first.error
        raise failure
    best = succeeded[0]
    for summary in succeeded[1:]:
        if _better(summary.value, best.value, maximize):
            best = summary
    return MultiStartResult(best, summaries)
