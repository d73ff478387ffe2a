"""``optimize`` on several workers: the scheduler under the strategy.

The policy (``_optimize._Strategy``) hands out tasks, a module run over a box,
a polish or a walk of the evolution strategy, and adapts as they complete; this module carries several out at
once, in one of two ways:

- ``"evaluations"``: each task runs in a thread of this process, and its
  objective sends each evaluation to the executor and waits for the value.
  Waiting releases the interpreter lock, so the runs interleave, each with
  one evaluation under way. Workers need ``f`` only; every evaluation is
  counted, recorded and checked against the stop conditions here as it
  comes back, so a stop reaches every run at its next call.
- ``"runs"``: each task goes to a worker whole, which builds its own ``PSO``,
  calls ``f`` there and sends back the best point, the history and the count
  (``multistart``'s model). No round trip per evaluation, for objectives far
  cheaper than one. Workers need kavell (and scipy for the polish); a stop
  reaches them through a flag they look at after each evaluation, at most
  every :data:`LOCAL_LOOK` (:data:`DASK_LOOK` on Dask) seconds.

``"auto"`` first measures: one evaluation in each of ``workers`` probe runs of
two random points, sent one at a time. When ``f`` takes at least
:data:`AUTO_RATIO` times what the round trip adds to it, evaluations are
sent; otherwise whole runs. The probe's evaluations count in the budget like
any other.
"""
from __future__ import annotations

import os
import pickle
import queue
import threading
import time
from collections.abc import Callable
from concurrent.futures import BrokenExecutor, CancelledError, ProcessPoolExecutor
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Literal, Protocol, overload

from ._errors import KavellError
from ._multistart import Ended, _end_processes, _is_dask_client
from ._record import Point, is_nan
from ._settings import Settings
from ._tracking import _WORST, EarlyStop, RunFailed, RunInterrupted, Tracker, _better

if TYPE_CHECKING:
    from ._optimize import _Space, _Strategy, _Task

Distribute = Literal["auto", "evaluations", "runs"]

#: ``distribute="auto"`` sends evaluations when one costs at least this many
#: times the time a round trip to a worker adds to it (bench/parallel.py).
AUTO_RATIO = 10.0
#: Seconds between two looks of the scheduler at ``max_time`` while it waits.
POLL = 0.25
#: Seconds between two looks of a task sent whole at the flag that ends it: on this machine (a file), and on
#: a Dask worker (a round trip to the scheduler).
LOCAL_LOOK = 0.05
DASK_LOOK = 0.2
#: Seconds the tasks under way get to end and come back after Ctrl-C, before the processes of a pool of
#: optimize's own are ended.
GRACE = 2.0


class Submitter(Protocol):
    """What ``optimize`` uses of an executor: ``concurrent.futures.Executor`` and Dask's ``Client`` both have it."""

    def submit(self, fn: Callable[..., Any], /, *args: Any, **kwargs: Any) -> Any: ...


def _timed_call(f: Callable[..., Any], point: Point) -> tuple[Any, float]:
    """``f(**point)`` on a worker, with the seconds it took there."""
    started = time.perf_counter()
    value = f(**point)
    return value, time.perf_counter() - started


def _end_with(parent: int) -> None:
    """In each process of a pool of optimize's own: end once the process that made it has gone (killed, say).

    Its processes would otherwise wait on their queue for ever.
    """
    started_by = os.getppid()  # the job itself, or a fork server

    def watch() -> None:
        while os.getppid() == started_by and _exists(parent):
            time.sleep(0.5)
        os._exit(1)

    threading.Thread(target=watch, name="kavell-optimize-parent", daemon=True).start()


def _exists(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        pass
    return True


def _nothing() -> None:
    """Sent once, so that a pool starts its processes before any thread of ours exists."""


class WorkerLost(KavellError):
    """A task sent whole was started again by Dask after its worker ended: the calls it had made are lost."""


def _is_lost(error: BaseException) -> bool:
    """Whether ``error`` says that a worker ended (a broken pool, Dask's KilledWorker), not that ``f`` failed."""
    return isinstance(error, (BrokenExecutor, WorkerLost)) or type(error).__name__ == "KilledWorker"


class _Pool:
    """The executor, its futures under way, and how to end them."""

    def __init__(self, executor: Submitter | None, workers: int | None, f: Callable[..., Any]) -> None:
        self.own = executor is None
        if executor is None:
            assert workers is not None
            try:
                pickle.dumps(f)
            except Exception as error:
                raise TypeError(
                    f"workers={workers} evaluates f in processes of its own, so f must be picklable (a function "
                    f"defined at module level): {error}; for an f that cannot be, pass "
                    f"executor=concurrent.futures.ThreadPoolExecutor({workers})") from None
            executor = ProcessPoolExecutor(workers, initializer=_end_with, initargs=(os.getpid(),))
        self.executor: Any = executor
        self.dask = _is_dask_client(executor)
        self.size = workers if workers is not None else _size(executor)
        self._futures: set[Any] = set()
        self._lock = threading.Lock()
        self._started: list[Any] = []
        self._manager: threading.Thread | None = None

    def start(self) -> None:
        # A process pool of the fork kind starts all its processes at its first task: sent from here,
        # before any thread of ours runs, so that no process is forked from a process with threads.
        if isinstance(self.executor, ProcessPoolExecutor):
            self.executor.submit(_nothing).result()
            self._processes()

    def submit(self, fn: Callable[..., Any], *args: Any) -> Any:
        # A Dask client would merge identical tasks into one unless told they are impure.
        future = self.executor.submit(fn, *args, pure=False) if self.dask else self.executor.submit(fn, *args)
        with self._lock:
            self._futures.add(future)
        future.add_done_callback(self._forget)
        return future

    def _forget(self, future: Any) -> None:
        with self._lock:
            self._futures.discard(future)

    def under_way(self) -> list[Any]:
        with self._lock:
            return list(self._futures)

    def cancel(self) -> None:
        """Cancel what has not started (on Dask, which cannot tell, nothing: what runs finishes)."""
        if not self.dask:
            for future in self.under_way():
                future.cancel()

    def _processes(self) -> list[Any]:
        """Every process a pool of our own has started (it forgets those it ended itself once broken)."""
        for process in list((getattr(self.executor, "_processes", None) or {}).values()):
            if all(process is not known for known in self._started):
                self._started.append(process)
        return self._started

    def end(self) -> None:
        """End the processes of a pool of our own at once (the futures under way fail)."""
        if self.own:
            _end_processes(self._processes(), grace=0.5)
            # Nothing reads the pool's queue of calls any more: what its feeding thread still holds must not
            # keep the pool's shutdown (or the interpreter's exit, which waits for it) waiting on a full pipe.
            queue_of_calls = getattr(self.executor, "_call_queue", None)
            if queue_of_calls is not None:
                queue_of_calls.cancel_join_thread()
            # shutdown(wait=False) forgets the pool's thread, which may still be reaping processes: close() waits.
            self._manager = getattr(self.executor, "_executor_manager_thread", None) or self._manager
            self.executor.shutdown(wait=False, cancel_futures=True)

    def close(self) -> None:
        """Shut a pool of our own down, every process of it reaped."""
        if self.own:
            processes = self._processes()
            self.executor.shutdown(wait=True, cancel_futures=True)
            if self._manager is not None:
                # Until it has, a process it reaped looks alive to multiprocessing.active_children().
                self._manager.join(60.0)
            for process in processes:
                process.join(60.0)  # over by now, or ended by end(): reaped, whoever else waits for it


def _size(executor: Any) -> int:
    if _is_dask_client(executor):
        return max(1, int(sum(executor.nthreads().values())))
    size = getattr(executor, "_max_workers", None)
    if type(size) is not int or size < 1:
        raise ValueError(f"cannot tell how many workers {executor!r} has: give workers=N as well")
    return size


#: What ends a search other than a stop condition: no evaluation starts any more.
ENDED = ("failed", "interrupted")


def _is_cancelled(error: BaseException) -> bool:
    # Dask raises a CancelledError of its own (asyncio's on some versions).
    return isinstance(error, CancelledError) or type(error).__name__ == "CancelledError"


class _Dropped(Exception):
    """An evaluation the scheduler cancelled or lost while ending the search: it never counts."""


class _Front(Tracker[Any]):
    """The tracker of one task under way in a thread here (``"evaluations"``).

    Its calls go to the executor, and each value comes back to the search's
    tracker (the account, under the scheduler's lock), which counts, records
    and keeps the best for every run. What belongs to the run is its own: the
    wind-down after a stop, its failure, and its best value, which starts at
    the one the task was proposed with (so ``best_value is not task.before``
    says whether the task improved on it).
    """

    def __init__(self, scheduler: _Scheduler, task: _Task) -> None:
        account = scheduler.account
        super().__init__(account.objective, maximize=account.maximize, history=False, decode=account.decode,
                         nan=account.nan)
        self.scheduler = scheduler
        self.best_value, self.best_point = task.before, task.point
        self._answer: Any = _WORST  # the last value the module got from f in this run
        self.timings: list[tuple[float, float]] = []  # (seconds here, seconds on the worker) of each call

    def __call__(self, **point: Any) -> Any:
        if self.stop_reason is None and self.scheduler.halted is not None:
            self._halt(self.scheduler.halted, self._answer, point)  # may raise EarlyStop
        if self.stop_reason is not None:
            return super().__call__(**point)  # the run winds down without f
        return self._receive(*self._send(point))

    def batch(self, points: list[Point]) -> list[Any]:
        """``f`` at each of ``points`` (search points), all sent before any is waited for.

        Outside a module run (the polish's gradients): every value sent is
        counted before what ended one (a failure, a stop) is raised.
        """
        if self.stop_reason is None and self.scheduler.halted is not None:
            self._halt(self.scheduler.halted, self._answer, points[0])  # raises EarlyStop
        sent = [self._send(point) for point in points]
        values: list[Any] = []
        ended: BaseException | None = None
        for future, kept, point in sent:
            try:
                values.append(self._receive(future, kept, point))
            except BaseException as error:
                ended = ended or error
        if ended is not None:
            raise ended
        return values

    def _send(self, point: Point) -> tuple[Any, Point, Point]:
        """The future of ``f`` at the search point ``point`` (``None`` once the search has ended), with what f got."""
        given = point if self.decode is None else self.decode(point)
        kept: Point = {key: list(values) for key, values in given.items()}
        return self.scheduler.send(given), kept, point

    def _receive(self, future: Any, kept: Point, point: Point) -> Any:
        """The value of an evaluation sent, counted, for the module: as :meth:`Tracker.__call__` gives it."""
        scheduler = self.scheduler
        try:
            value = scheduler.receive(self, future)
        except _Dropped:
            self._halt(scheduler.halted or "cancelled", self._answer, point)
            return super().__call__(**point)
        except BaseException as error:
            self._fail(error, kept)
            raise
        answer = value
        if self.nan is not None and is_nan(value):
            if self.nan == "raise":
                nan = ValueError("the objective returned NaN")
                self._fail(nan, kept)
                raise nan
            answer = -float("inf") if self.maximize else float("inf")
        with scheduler.lock:
            scheduler.account.evaluations += 1
            reason = scheduler.account.note(value, kept)
            if reason is not None:
                scheduler.stop(reason)
            self.evaluations += 1
            if self.best_point is None or _better(value, self.best_value, self.maximize):
                self.best_value, self.best_point = value, kept
        self._answer = answer
        if scheduler.halted is not None:
            self._halt(scheduler.halted, answer, point)
        return answer

    def _fail(self, error: BaseException, point: Point) -> None:
        account = self.scheduler.account
        with self.scheduler.lock:
            account._fail(error, point)  # numbered and recorded in the search's terms
            self.error, self.failed_point, self.failed_evaluation = error, point, account.failed_evaluation

    def result(self) -> Any:
        with self.scheduler.lock:
            return self.scheduler.account.result()

    def reserve(self, evaluations: int) -> None:
        pass  # the scheduler reserved the task's evaluations when it started it


class _Lines:
    """A task's recording on a worker, sent back to be written in the search's numbering."""

    name = "<the task's lines>"
    error: Exception | None = None

    def __init__(self) -> None:
        self.lines: list[tuple[int, Point, str, Any]] = []

    def write(self, evaluation: int, point: Point, kind: str, value: Any) -> None:
        self.lines.append((evaluation, point, kind, value))

    def close(self) -> None:
        pass


@dataclass
class _Options:
    """What a task sent whole needs besides ``f``, the space and the task (picklable)."""

    maximize: bool
    nan: Literal["worst", "raise"] | None
    target: Any
    max_time: float | None
    record: bool
    ended: _Flag
    number: int  # of the task, in this search


@dataclass
class _Outcome:
    """What a task sent whole brings back: its count, its best if better, its history, its lines, its failure."""

    evaluations: int = 0
    improved: bool = False
    value: Any = None
    point: Point | None = None
    history: list[tuple[int, Any]] = field(default_factory=list)
    lines: list[tuple[int, Point, str, Any]] | None = None
    error: BaseException | None = None
    archive: list[tuple[Any, Any]] = field(default_factory=list)  # a local run's, to learn its frame from
    exhausted: bool = False  # a polish's (see _Task)
    walk: dict[str, Any] = field(default_factory=dict)  # a walk's state after it


def run_task(f: Callable[..., Any], space: _Space, task: _Task, options: _Options) -> _Outcome:
    """Carry out ``task`` on this worker with a tracker of its own; never raises for a failure of ``f``."""
    from ._optimize import carry_out

    if not options.ended.first_start(options.number):
        # Dask runs a task again when its worker ended under it: the calls of f it made are lost, and
        # making them again could go past the budget.
        return _Outcome(error=WorkerLost(f"a worker ended while it carried out task {options.number} "
                                         "(Dask started it again)"))
    tracker: Tracker[Any] = Tracker(f, maximize=options.maximize, target=options.target, max_time=options.max_time,
                                    decode=None if space.identity else space.decode, cancelled=options.ended,
                                    nan=options.nan)
    lines = _Lines() if options.record else None
    tracker.recording = lines  # type: ignore[assignment]
    tracker.best_value, tracker.best_point = task.before, task.point
    tracker.cancel_every = 1  # the flag keeps its own pace
    outcome = _Outcome(lines=None if lines is None else lines.lines)
    try:
        carry_out(tracker, space, task)
    except EarlyStop:
        pass
    except (RunFailed, RunInterrupted) as error:
        outcome.error = error
    outcome.evaluations = tracker.evaluations
    outcome.history = tracker.history
    outcome.improved = tracker.best_value is not task.before
    if outcome.improved:
        outcome.value, outcome.point = tracker.best_value, tracker.best_point
    outcome.archive, outcome.exhausted, outcome.walk = task.archive, task.exhausted, task.walk
    return outcome


def _event(name: str, client: Any) -> Any:
    from distributed import Event

    event: Any = Event
    return event(name, client=client)


class _Flag:
    """The end of a search, seen by its tasks sent whole: asked after each evaluation, looked at every ``look`` seconds."""

    look = LOCAL_LOOK

    def __init__(self) -> None:
        self.next_look = 0.0

    def __call__(self) -> bool:
        now = time.monotonic()
        if now < self.next_look:
            return False
        self.next_look = now + self.look
        return self.ended()

    def ended(self) -> bool:
        raise NotImplementedError

    def end(self) -> None:
        raise NotImplementedError

    def close(self) -> None:
        self.end()

    def first_start(self, number: int) -> bool:
        """Whether task ``number`` starts for the first time (tasks on this machine are never started again)."""
        return True


class _LocalFlag(_Flag):
    """For tasks in threads or processes of this machine: a file that exists while the search runs (see ``Ended``)."""

    def __init__(self) -> None:
        super().__init__()
        self.file = Ended()

    def ended(self) -> bool:
        return self.file()

    def end(self) -> None:
        self.file.end()


class _DaskFlag(_Flag):
    """For tasks on Dask workers anywhere: a ``distributed.Event``, each look a round trip to the scheduler."""

    look = DASK_LOOK

    def __init__(self, client: Any) -> None:
        import uuid

        super().__init__()
        self.name = f"kavell-optimize-{uuid.uuid4().hex}"
        self.event: Any = _event(self.name, client)
        self.tasks = 0  # sent so far, each marked as started by its first start

    def __getstate__(self) -> dict[str, Any]:
        return {"name": self.name}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.name, self.event, self.next_look, self.tasks = state["name"], None, 0.0, 0

    def ended(self) -> bool:
        if self.event is None:
            self.event = _event(self.name, None)  # through the worker's client
        return bool(self.event.is_set())

    def end(self) -> None:
        self.event.set()

    def close(self) -> None:
        try:
            self.event.clear()  # with nobody waiting, the scheduler forgets it
            for number in range(self.tasks):
                _event(f"{self.name}-{number}", self.event.client).clear()
        except Exception:
            pass

    def first_start(self, number: int) -> bool:
        started = _event(f"{self.name}-{number}", None)  # through the worker's client
        if started.is_set():
            return False
        started.set()
        return True


@dataclass
class _Carried:
    """A task under way: its front (a thread here) or its future (a worker), and how it ended."""

    task: _Task
    front: _Front | None = None
    future: Any = None
    error: BaseException | None = None


class _Scheduler:
    """Hands the strategy's tasks to the workers, several at once, and its results back."""

    def __init__(self, strategy: _Strategy, space: _Space, f: Callable[..., Any], pool: _Pool,
                 distribute: Distribute) -> None:
        self.strategy = strategy
        self.account: Tracker[Any] = strategy.tracker
        self.space = space
        self.f = f
        self.pool = pool
        self.distribute = distribute
        self.lock = threading.RLock()
        #: Why the runs under way stop: the search's stop condition, or an end ("failed", "interrupted").
        self.halted: str | None = None
        self.done: queue.Queue[_Carried] = queue.Queue()
        self.in_flight: list[_Carried] = []
        self.failure: BaseException | None = None
        self.flag: _Flag | None = None
        # With whole runs sent, whether a polish and a walk are carried out here all the same, sending their
        # points together.
        self.batches_here = False
        strategy.workers = pool.size

    # Evaluations sent one at a time ----------------------------------------------------------------

    def send(self, point: Point) -> Any:
        """Send ``f(**point)`` to a worker: its future, or ``None`` once the search has ended."""
        if self.halted in ENDED:
            return None
        started = time.perf_counter()
        try:
            return self.pool.submit(_timed_call, self.f, point), started
        except BaseException as error:  # a pool already broken, an f Dask cannot pickle...
            return error, started

    def receive(self, front: _Front, sent: Any) -> Any:
        """The value of an evaluation sent, waited for; :class:`_Dropped` when the search ended meanwhile."""
        if sent is None:
            raise _Dropped
        future, started = sent
        try:
            if isinstance(future, BaseException):
                raise future
            value, seconds = future.result()
        except BaseException as error:
            # Cancelled since a stop (not started), or lost as the search ends (our own processes ended).
            if self.halted is not None and _is_cancelled(error) or self.halted in ENDED and _is_lost(error):
                raise _Dropped from None
            raise
        front.timings.append((time.perf_counter() - started, seconds))
        return value

    def _carry(self, carried: _Carried) -> None:
        """The thread of one task carried out here."""
        from ._optimize import carry_out

        assert carried.front is not None
        try:
            if self.halted is not None:
                return  # ended before it started
            carry_out(carried.front, self.space, carried.task, carried.front.batch)
        except EarlyStop:
            pass
        except BaseException as error:
            carried.error = error
        finally:
            self.done.put(carried)

    # Whole tasks --------------------------------------------------------------------------------

    def _options(self) -> _Options:
        account = self.account
        max_time = None if account.max_time is None else max(0.0, account.max_time -
                                                             (time.monotonic() - account.started))
        flag = self.flag
        assert flag is not None
        number = flag.tasks if isinstance(flag, _DaskFlag) else 0
        if isinstance(flag, _DaskFlag):
            flag.tasks += 1
        return _Options(account.maximize, account.nan, account.target, max_time, account.recording is not None,
                        flag, number)

    def _absorb(self, carried: _Carried) -> None:
        """The outcome of a task sent whole, into the search's account (under the lock)."""
        try:
            outcome: _Outcome = carried.future.result()
        except BaseException as error:
            if not (_is_cancelled(error) and self.halted is not None):  # otherwise it never started
                carried.error = error
            return
        account, task = self.account, carried.task
        base = account.evaluations
        if outcome.lines is not None:
            for number, point, kind, value in outcome.lines:
                if kind == "value":
                    self._note(base + number, value, point)
                elif account.recording is not None:
                    account.recording.write(base + number, point, kind, value)
        else:
            for number, value in outcome.history:
                self._note(base + number, value, outcome.point)
        self._advance(base + outcome.evaluations)
        reason = account.note(account.best_value)
        if reason is not None:
            self.stop(reason)
        task.improved, task.found, task.archive = outcome.improved, outcome.point, outcome.archive
        task.walk = outcome.walk
        task.exhausted = outcome.exhausted
        failure = outcome.error
        if isinstance(failure, (RunFailed, RunInterrupted)) and failure.evaluation is not None:
            failure.evaluation += base
        carried.error = failure

    def _advance(self, evaluations: int) -> None:
        account = self.account
        if evaluations > account.evaluations:
            if account.progress is not None:
                account.progress.update(evaluations - account.evaluations)
            account.evaluations = evaluations

    def _note(self, evaluation: int, value: Any, point: Point | None) -> None:
        """Evaluation number ``evaluation`` of the search (the others before it counted), into the account."""
        assert point is not None
        self._advance(evaluation - 1)
        self.account.evaluations += 1
        reason = self.account.note(value, point)
        if reason is not None:
            self.stop(reason)

    # The search ---------------------------------------------------------------------------------

    def stop(self, reason: str) -> None:
        """A stop condition holds: no task starts, and those under way wind down (under the lock)."""
        if self.account.stop_reason is None:
            self.account.stop_reason = reason
        if self.halted is None:
            self.halted = reason
            if self.flag is not None:
                self.flag.end()
            self.pool.cancel()

    def run(self, x0: Point | None) -> None:
        """The whole search; raises as the sequential one does, once nothing of it runs any more."""
        from ._optimize import _Task, evaluate

        try:
            self.pool.start()
            if x0 is not None:
                front = _Front(self, _Task("x0", 1, None, {}))
                try:
                    evaluate(front, self.space.search_point(x0))
                except EarlyStop:
                    return
                self.strategy.state.around_x0 = bool(self.space.coordinates)
            if self.distribute == "auto":
                self.distribute = self._measure()
            self.strategy.batched = self.distribute == "evaluations" or self.batches_here
            if self.distribute == "runs":
                self.flag = _DaskFlag(self.pool.executor) if self.pool.dask else _LocalFlag()
            self._loop()
        except BaseException as error:
            self._end(error)
            if self.failure is None or isinstance(error, KeyboardInterrupt):
                self.failure = error
        finally:
            if self.flag is not None:
                self.flag.close()
            self.pool.close()
        if self.failure is not None:
            # Raised here rather than in the handler, so that what ended the search is not its context.
            raise self._failure(self.failure)

    def _measure(self) -> Distribute:
        """Two random points in each of ``workers`` probe runs, sent one at a time: evaluations, or whole runs."""
        from ._optimize import _Task

        self.distribute = "evaluations"
        probes = min(self.pool.size, self.strategy.left // 2)
        for _ in range(probes):
            with self.lock:
                self._start(_Task("probe", 2, Settings(2, 0), self.space.bounds(), self.account.best_value,
                                  self.account.best_point))
        fronts = [carried.front for carried in self.in_flight]
        while self.in_flight:
            self._finish(self._next())
        if self.failure is not None or self.halted is not None:
            return "evaluations"
        # The second call of each run: the first may include the start of a process, the import of f...
        timings = [front.timings[1] for front in fronts if front is not None and len(front.timings) > 1]
        if not timings:
            return "evaluations"
        import statistics

        seconds = statistics.median(on_worker for _, on_worker in timings)
        overhead = statistics.median(max(0.0, here - on_worker) for here, on_worker in timings)
        # A polish sent whole makes its gradients' evaluations one after the other; carried out here, it
        # sends each gradient's together (as many as coordinates, and one) to the workers the tasks sent
        # whole beside it leave free. (A walk's generations are larger still: it goes where the polish goes.)
        sent = 1 + sum(not c.integer for c in self.space.coordinates)
        free = max(1, self.pool.size - 1)
        self.batches_here = -(-sent // free) * (seconds + overhead) < sent * seconds
        return "evaluations" if seconds >= AUTO_RATIO * overhead else "runs"

    def _loop(self) -> None:
        strategy = self.strategy
        while True:
            with self.lock:
                while self.halted is None and self.failure is None and len(self.in_flight) < self.pool.size:
                    strategy.reserved = self._outstanding()
                    if not strategy.ready([carried.task for carried in self.in_flight]):
                        break
                    task = strategy.propose()
                    if task is None:
                        break
                    self._start(task)
            if not self.in_flight:
                return
            self._finish(self._next())

    def _outstanding(self) -> int:
        """Evaluations promised to the tasks under way and not yet counted (under the lock)."""
        return sum(carried.task.evaluations - (0 if carried.front is None else carried.front.evaluations)
                   for carried in self.in_flight)

    def _start(self, task: _Task) -> None:
        """Start ``task`` (under the lock), once a checkpoint holds its evaluations as spent with all those under way."""
        self.account.reserve(self._outstanding() + task.evaluations)
        if task.settings is not None:
            self.account.runs += 1
        carried = _Carried(task)
        self.in_flight.append(carried)
        if self.distribute == "runs" and not (task.settings is None and self.batches_here):
            carried.future = self.pool.submit(run_task, self.f, self.space, task, self._options())
            carried.future.add_done_callback(lambda _: self.done.put(carried))
        else:
            carried.front = _Front(self, task)
            threading.Thread(target=self._carry, args=(carried,), name=f"kavell-optimize-{task.kind}",
                             daemon=True).start()

    @overload
    def _next(self) -> _Carried: ...

    @overload
    def _next(self, deadline: float | None) -> _Carried | None: ...

    def _next(self, deadline: float | None = None) -> _Carried | None:
        """The next task to end (``None`` at the ``deadline``, on ``time.monotonic()``), looking at ``max_time`` meanwhile."""
        while True:
            wait = POLL if deadline is None else min(POLL, deadline - time.monotonic())
            if wait <= 0:
                return None
            try:
                return self.done.get(timeout=wait)
            except queue.Empty:
                with self.lock:
                    reason = self.account.note(self.account.best_value) if self.account.max_time is not None else None
                    if reason == "time":
                        self.stop(reason)

    def _finish(self, carried: _Carried) -> None:
        """A task has ended: its outcome into the account, then the policy adapts, or the search ends."""
        with self.lock:
            self.in_flight.remove(carried)
            if carried.future is not None:
                self._absorb(carried)
            error = carried.error
            if error is None:
                if carried.task.kind not in ("probe", "x0"):
                    self.strategy.complete(carried.task)
                return
            if self.failure is None:
                self.failure = error
            if self.halted not in ENDED or isinstance(error, KeyboardInterrupt):
                self.halted = "interrupted" if isinstance(error, KeyboardInterrupt) else "failed"
            if self.flag is not None:
                self.flag.end()
        self.pool.cancel()
        if isinstance(error, KeyboardInterrupt) or _is_lost(_cause(error)):
            self.pool.end()

    def _end(self, error: BaseException) -> None:
        """End the search on ``error`` (Ctrl-C here, a checkpoint that cannot be saved...): nothing of it left running.

        The tasks under way stop at their next evaluation and come back with
        what they found; after Ctrl-C, those of a pool of our own that have not
        within :data:`GRACE` seconds are ended with its processes.
        """
        interrupted = isinstance(error, KeyboardInterrupt)
        with self.lock:
            self.halted = "interrupted" if interrupted else "failed"
            if self.flag is not None:
                self.flag.end()
        self.pool.cancel()
        deadline = time.monotonic() + GRACE if interrupted and self.pool.own else None
        try:
            while self.in_flight:
                carried = self._next(deadline)
                if carried is None:
                    self.pool.end()
                    deadline = None
                else:
                    self._finish(carried)
        except KeyboardInterrupt:
            # Another Ctrl-C: what runs in our own processes ends now; a caller's executor is left to finish.
            self.pool.end()

    def _failure(self, error: BaseException) -> BaseException:
        """What the search raises for ``error``: with the best result of the whole search, numbered in its terms."""
        account = self.account
        with self.lock:
            result = account.result()
        if isinstance(error, (RunFailed, RunInterrupted)):
            cause = error.__cause__
            if cause is not None and _is_lost(cause):
                lost = RunFailed(f"a worker ended while it evaluated f: {cause!r}", result, error.point,
                                 error.evaluation)
                lost.__cause__ = cause
                return lost
            error.result = result
            return error
        if isinstance(error, KeyboardInterrupt):
            interrupted = RunInterrupted(f"run interrupted after {account.evaluations} evaluations", result)
            interrupted.__cause__ = error
            return interrupted
        if _is_lost(error):
            lost = RunFailed(f"a worker ended while it carried out a task: {error!r}", result)
            lost.__cause__ = error
            return lost
        return error


def _cause(error: BaseException) -> BaseException:
    return error.__cause__ if isinstance(error, (RunFailed, RunInterrupted)) and error.__cause__ is not None \
        else error


def run_parallel(strategy: _Strategy, space: _Space, f: Callable[..., Any], x0: Point | None,
                 executor: Submitter | None, workers: int | None, distribute: Distribute) -> None:
    """The search of :func:`~kavell_tools.optimize` on ``workers`` workers of ``executor`` (a pool of our own when ``None``)."""
    pool = _Pool(executor, workers, f)
    _Scheduler(strategy, space, f, pool, distribute).run(x0)


def check_options(workers: int | None, executor: Submitter | None, distribute: str) -> bool:
    """Whether the search runs on several workers; ``ValueError``/``TypeError`` for options that cannot be."""
    if distribute not in ("auto", "evaluations", "runs"):
        raise ValueError(f'distribute must be "auto", "evaluations" or "runs", not {distribute!r}')
    if workers is not None and (type(workers) is not int or workers < 1):
        raise ValueError(f"workers must be a positive int, not {workers!r}")
    if executor is not None and not callable(getattr(executor, "submit", None)):
        raise TypeError(f"executor must be a concurrent.futures.Executor or a Dask Client, not {executor!r}")
    if workers is None and executor is None:
        if distribute != "auto":
            raise ValueError(f"distribute={distribute!r} needs workers= or executor=")
        return False
    return True

