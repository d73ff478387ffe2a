"""Independent runs with one set of settings: in this process, on an executor, or on Dask."""
from __future__ import annotations

import functools
import os
import queue
import shutil
import tempfile
import time
import warnings
from collections.abc import Callable, Mapping
from concurrent.futures import CancelledError, ProcessPoolExecutor
from concurrent.futures import wait as wait_for_futures
from multiprocessing.connection import wait as wait_for_ends
from dataclasses import asdict, dataclass, field
from typing import TYPE_CHECKING, Any, Protocol

from ._bounds import Bounds, check_bounds, count
from ._checkpoint import Job, plain, restored
from ._errors import KavellError, ordinary
from ._settings import Settings
from ._tracking import TOLERANCE, Objective, Point, Result, RunFailed, RunInterrupted, Tracker, _better, stop_options

if TYPE_CHECKING:
    from typing_extensions import Unpack


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

    ``stop`` holds :class:`Tracker` options (stop conditions, ``tolerance``,
    ``record``, ``cancelled``). Never lets the module's ``PanicException``
    out: a failure of the objective comes back as the summary's ``error`` (a
    :class:`RunFailed` chaining what the objective raised), with the best
    point seen before it. A ``KeyboardInterrupt`` is raised as
    :class:`RunInterrupted`.
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
    finally:
        tracker.close()
    if summary.error is None:
        summary.error = tracker.recording_failure()
    result = tracker.result()
    if summary.error is None and result is None:
        summary.error = KavellError("the run made no evaluation")  # max_evaluations=0, or cancelled at once
    if result is not None:
        summary.value, summary.point = result.value, result.point
        summary.evaluations, summary.elapsed = result.evaluations, result.elapsed
        summary.stop_reason, summary.history = result.stop_reason, result.history
    return summary


class _Future(Protocol):
    def result(self, timeout: float | None = None) -> Any: ...

    def add_done_callback(self, fn: Callable[[Any], object], /) -> None: ...

    def cancel(self) -> Any: ...

    def done(self) -> bool: ...


class Ended:
    """Tells the runs of one multi-start, in threads or processes of this machine, that it has ended.

    A file exists while the multi-start waits for its runs; :meth:`end`
    removes it, and each run's tracker, which asks every
    :data:`~kavell_tools._tracking.CANCEL_EVERY` evaluations, stops at its
    next look. Picklable, so process pools carry it.
    """

    def __init__(self) -> None:
        self.directory = tempfile.mkdtemp(prefix="kavell-multistart-")
        self.path = os.path.join(self.directory, "running")
        open(self.path, "w").close()

    def __call__(self) -> bool:
        return not os.path.exists(self.path)

    def end(self) -> None:
        shutil.rmtree(self.directory, ignore_errors=True)


def _is_dask_client(executor: object) -> bool:
    return type(executor).__module__.split(".")[0] == "distributed" and hasattr(executor, "gather")


def _submit_all(executor: Any, indices: list[int], args: tuple[Any, ...], record: str | None) -> list[_Future]:
    # A Dask client would merge identical tasks into one unless told they are impure.
    extra = {"pure": False} if _is_dask_client(executor) else {}
    return [executor.submit(run_once, index, *_for_run(args, index, record), **extra) for index in indices]


def _for_run(args: tuple[Any, ...], index: int, record: str | None) -> tuple[Any, ...]:
    """The arguments of run ``index``: its own recording file in the ``record`` directory."""
    if record is None:
        return args
    *head, stop = args
    return (*head, {**stop, "record": os.path.join(record, f"run-{index}.jsonl")})


def _put(done: queue.Queue[int], index: int, future: object) -> None:
    done.put(index)


#: Seconds the runs of a multi-start that ended early get to stop at their next look at the flag
#: (see Ended) before ``terminate=True`` ends the processes of a pool.
GRACE = 2.0
#: Seconds ``terminate=True`` waits for Dask workers to restart; one that does not is left to the cluster.
RESTART_WAIT = 10.0


def _terminate(executor: Any, futures: list[_Future]) -> None:
    """End the worker processes still running one of ``futures``; never blocks for long, never raises."""
    if _is_dask_client(executor):
        _restart_dask_workers(executor, futures)
        return
    for future in futures:
        future.cancel()  # those not started
    wait_for_futures(futures, timeout=GRACE)  # type: ignore[arg-type]
    if all(future.done() for future in futures):
        return  # every run stopped at the flag: the pool is left as it was
    # A ProcessPoolExecutor cannot lose a worker and go on, nor tell which worker runs which task:
    # every worker is ended, and the pool is broken for everyone using it.
    _end_processes(list((getattr(executor, "_processes", None) or {}).values()), GRACE)


def _end_processes(processes: list[Any], grace: float) -> None:
    """End ``processes``: SIGTERM, then SIGKILL after ``grace`` seconds for those still running; reaped."""
    for process in processes:
        process.terminate()
    # SIGTERM may be ignored (by the objective, or a library it uses): then SIGKILL.
    left = _still_running(processes, grace)
    for process in left:
        process.kill()
    _still_running(left, 60.0)
    for process in processes:
        process.join(0.1)  # reaped here, so no zombie is left whoever else waits for it


def _still_running(processes: list[Any], timeout: float) -> list[Any]:
    """The processes that have not ended within ``timeout`` seconds."""
    deadline = time.monotonic() + timeout
    running = {process.sentinel: process for process in processes}
    while running:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            break
        for sentinel in wait_for_ends(list(running), remaining):
            del running[sentinel]
    return list(running.values())


def _restart_dask_workers(client: Any, futures: list[_Future]) -> None:
    # Where they run, asked before cancelling (the scheduler then forgets it), and cancelled
    # before the restart (which would otherwise run them again elsewhere).
    keys = {getattr(future, "key", None) for future in futures}
    try:
        busy = [worker for worker, running in client.processing().items() if keys & set(running)]
    except Exception:
        busy = []
    for future in futures:
        future.cancel()
    if not busy:
        return
    try:
        status = client.restart_workers(busy, timeout=RESTART_WAIT, raise_for_error=False)
        lost = {worker: state for worker, state in status.items() if state != "OK"}
    except Exception as error:  # a lost scheduler, a closed client, asyncio's TimeoutError on older versions...
        lost = {worker: repr(error) for worker in busy}
    if lost:
        warnings.warn(f"terminate=True: Dask workers did not come back within {RESTART_WAIT:g} s of their restart "
                      f"({lost}); the cluster goes on without them until it restarts them", RuntimeWarning,
                      stacklevel=4)


def _collect(
    futures: list[_Future],
    indices: list[int],
    timeout: float | None,
    fail_fast: bool,
    on_finish: Callable[[RunSummary], None],
) -> tuple[list[RunSummary], list[_Future]]:
    """Summaries as the runs finish, never waiting past ``timeout``; and the futures left unfinished (to cancel)."""
    done: queue.Queue[int] = queue.Queue()
    for position, future in enumerate(futures):
        future.add_done_callback(functools.partial(_put, done, position))
    deadline = None if timeout is None else time.monotonic() + timeout
    summaries: dict[int, RunSummary] = {}
    ended: BaseException | None = None
    while len(summaries) < len(futures):
        remaining = None if deadline is None else max(0.0, deadline - time.monotonic())
        try:
            position = done.get(timeout=remaining)
        except queue.Empty:
            ended = TimeoutError(f"timed out after {timeout:g} s")
            break
        try:
            summary = futures[position].result()
        except BaseException as error:  # the task itself failed: worker lost, unpicklable objective, ...
            summary = RunSummary(indices[position], error=ordinary(error))
        summaries[position] = summary
        on_finish(summary)
        if fail_fast and not summary.ok:
            ended = CancelledError(f"cancelled: run {summary.index} failed first")
            break
    left = [future for position, future in enumerate(futures) if position not in summaries]
    for position in range(len(futures)):
        if position not in summaries:
            summaries[position] = RunSummary(indices[position], error=ended)
    return [summaries[position] for position in range(len(futures))], left


def _summary_state(summary: RunSummary) -> dict[str, Any]:
    state = asdict(summary)
    del state["error"]
    return state


def multistart(
    f: Objective,
    runs: int,
    *,
    settings: Settings | None = None,
    executor: Any = None,
    maximize: bool = False,
    timeout: float | None = None,
    terminate: bool = False,
    errors: str = "raise",
    target: Any = None,
    max_evaluations: int | None = None,
    max_time: float | None = None,
    patience: int | None = None,
    tolerance: float = TOLERANCE,
    record: str | os.PathLike[str] | None = None,
    checkpoint: str | os.PathLike[str] | None = None,
    **bounds: Unpack[Bounds],
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
    finished within ``timeout`` seconds is reported as failed ("timed out
    after N s"). When the multi-start ends early, runs not started are
    cancelled and runs under way on a ``concurrent.futures`` executor stop at
    their next look at a flag (every 64 evaluations). An objective that hangs
    never looks: ``terminate=True`` then ends the processes still busy. On a
    ``ProcessPoolExecutor``, when a run has not stopped within
    :data:`GRACE` seconds, every worker of the pool is ended (SIGTERM, then
    SIGKILL) and reaped, and the pool is broken: tasks of others on it fail
    with ``BrokenProcessPool``, so use a pool of the multi-start's own. The
    busy Dask workers are restarted, waited for :data:`RESTART_WAIT` seconds
    at most (a warning says which did not come back). Other executors refuse
    ``terminate=True`` with ``ValueError``, before any run.

    ``record`` names a directory that receives ``run-<index>.jsonl``, the
    recording of each run. ``checkpoint`` (a path) keeps the summaries of the
    runs that succeeded; called again after a kill, the multi-start runs only
    the others, whole (a run under way at the kill is made again). The
    checkpoint is locked while the multi-start runs; a summary that cannot be
    saved raises :class:`MultiStartFailed` once the runs are over, with all
    their summaries.
    """
    runs = count(runs, "runs")
    if runs < 1:
        raise ValueError("runs must be at least 1")
    if errors not in ("raise", "report"):
        raise ValueError("errors must be 'raise' or 'report'")
    if terminate and executor is not None and not _is_dask_client(executor) and \
            not isinstance(executor, ProcessPoolExecutor):
        raise ValueError("terminate=True needs a ProcessPoolExecutor or a Dask client: threads cannot be ended")
    check_bounds(bounds)
    # Checked here rather than in each run, where a worker would report the same error for every run.
    max_evaluations, max_time, patience, tolerance = stop_options(max_evaluations, max_time, patience, tolerance)
    settings = settings or Settings()
    job = Job(checkpoint, {"strategy": "multistart", "runs": runs, "settings": asdict(settings),
                           "maximize": maximize, "bounds": plain(bounds)})
    if record is not None:
        record = os.fspath(record)
        os.makedirs(record, exist_ok=True)
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
    stop["tolerance"] = tolerance
    unsaved: list[Exception] = []
    try:
        with job.held() as state:
            finished = job.check(state, lambda state: _finished(state, runs, job)) or {}

            def keep(summary: RunSummary) -> None:
                if job.checkpoint is not None and summary.ok and not unsaved:
                    finished[summary.index] = summary
                    try:
                        job.save_state({"runs": [_summary_state(finished[index]) for index in sorted(finished)]})
                    except Exception as error:  # a full disk, a value a checkpoint cannot keep: said once all is over
                        unsaved.append(error)

            todo = [index for index in range(runs) if index not in finished]
            summaries = [finished[index] for index in range(runs) if index in finished]
            if executor is None:
                for index in todo:
                    try:
                        summaries.append(run_once(index, *_for_run((f, settings, dict(bounds), maximize, stop), index,
                                                                   record)))
                    except RunInterrupted as error:
                        raise _interrupted(summaries, maximize, error) from error.__cause__
                    keep(summaries[-1])
                    if (errors == "raise" and not summaries[-1].ok) or unsaved:
                        break
            elif todo:
                ended = None if _is_dask_client(executor) else Ended()
                args = (f, settings, dict(bounds), maximize, stop if ended is None else {**stop, "cancelled": ended})
                finishing: list[RunSummary] = []

                def collect(summary: RunSummary) -> None:
                    finishing.append(summary)
                    keep(summary)

                futures: list[_Future] = []
                try:
                    futures = _submit_all(executor, todo, args, record)
                    collected, left = _collect(futures, todo, timeout, errors == "raise", collect)
                except KeyboardInterrupt as error:
                    for future in futures:
                        future.cancel()
                    raise _interrupted(summaries + finishing, maximize) from error
                finally:
                    if ended is not None:
                        ended.end()
                summaries.extend(collected)
                if left and terminate:
                    _terminate(executor, left)
                for future in left:
                    future.cancel()
    finally:
        job.release()  # (see Job.release)
    summaries.sort(key=lambda summary: summary.index)
    if unsaved and job.checkpoint is not None:
        failure = MultiStartFailed(f"cannot save the checkpoint {job.checkpoint.path}: {unsaved[0]}", summaries)
        failure.__cause__ = unsaved[0]
        raise failure
    failed = [summary for summary in summaries if not summary.ok]
    succeeded = [summary for summary in summaries if summary.ok]
    if (failed and errors == "raise") or not succeeded:
        # The first real failure, not a run cancelled because of it.
        first = next((s for s in failed if not isinstance(s.error, (TimeoutError, CancelledError))), failed[0])
        failure = MultiStartFailed(f"run {first.index} of {runs} failed: {first.error}", summaries)
        failure.__cause__ = first.error
        raise failure
    best = succeeded[0]
    for summary in succeeded[1:]:
        if _better(summary.value, best.value, maximize):
            best = summary
    return MultiStartResult(best, summaries)


def _interrupted(summaries: list[RunSummary], maximize: bool, error: RunInterrupted | None = None) -> RunInterrupted:
    """Ctrl-C during a multi-start: the best of the runs finished (and of the run it stopped, with its point)."""
    stopped = error.result if error is not None else None
    best = stopped
    for summary in summaries:
        if summary.ok and summary.point is not None and (best is None or _better(summary.value, best.value, maximize)):
            best = Result(summary.value, summary.point, summary.evaluations, summary.elapsed, summary.stop_reason,
                          list(summary.history))
    result = None
    if best is not None:
        runs: list[RunSummary | Result[Any]] = [*summaries, *([] if stopped is None else [stopped])]
        result = Result(best.value, best.point, sum(run.evaluations for run in runs),
                        sum(run.elapsed for run in runs), None, best.history, runs=len(runs))
    finished = sum(summary.ok for summary in summaries)
    return RunInterrupted(f"multi-start interrupted after {finished} of its runs finished", result,
                          None if error is None else error.point, None if error is None else error.evaluation)


def _finished(state: dict[str, Any], runs: int, job: Job) -> dict[int, RunSummary]:
    """The summaries of the finished runs a checkpoint holds, checked (their points within the job's box)."""
    saved = state["runs"]
    if not isinstance(saved, list):
        raise TypeError(f"runs {saved!r} is not a list")
    finished: dict[int, RunSummary] = {}
    for data in saved:
        summary = restored(data, RunSummary, skip=("error",))
        if not 0 <= summary.index < runs or summary.index in finished or summary.point is None or \
                summary.evaluations < 0:
            raise ValueError(f"{data!r} is not one of {runs} finished runs")
        job.check_point(summary.point, f"the point of run {summary.index}")
        finished[summary.index] = summary
    return finished
