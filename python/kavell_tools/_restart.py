"""Restarts that spend one evaluation budget."""
from __future__ import annotations

import dataclasses
import math
import os
from typing import TYPE_CHECKING, Any, TypeVar

from ._bounds import Bounds, check_bounds, count, narrowed
from ._checkpoint import Job, plain
from ._record import RecordTarget
from ._settings import RECOMMENDED, Settings
from ._tracking import ProgressBar, Result, Tracker

if TYPE_CHECKING:
    from collections.abc import Callable

    from typing_extensions import Unpack

V = TypeVar("V")


def restarts(
    f: Callable[..., V],
    budget: int,
    *,
    maximize: bool = False,
    settings: Settings = RECOMMENDED,
    global_share: float = 0.3,
    global_evaluations: int = 10_000,
    local_evaluations: int = 2_500,
    local_particles: int | None = 50,
    shrink: float = 0.1,
    target: Any = None,
    max_time: float | None = None,
    progress: bool | ProgressBar = False,
    record: RecordTarget | None = None,
    checkpoint: str | os.PathLike[str] | None = None,
    **bounds: Unpack[Bounds],
) -> Result[V]:
    """Minimise (or maximise) ``f`` with exactly ``budget`` evaluations spread over restarts.

    The optimiser's update has no random factors, so a swarm collapses onto
    one point and stays there; only a fresh start draws new points. The first
    ``global_share`` of the budget goes to independent runs over the whole box
    (``global_evaluations`` each, at least one run); the rest to runs of
    ``local_evaluations`` in a box around the best point so far, ``shrink``
    times the whole width at first, ``shrink`` times narrower after each run
    that improved on the best and back to the first width after one that did
    not. ``local_particles`` sets the swarm size of those runs (``None``:
    that of ``settings``). The last run is cut to the budget. The defaults
    were chosen by measurement (docs/choosing-settings.md).

    ``checkpoint`` (a path) saves the state before each run, with that run's
    evaluations counted as spent, and resumes from it: a job killed and
    called again with the same arguments (the stop options aside) goes on
    after its last run, and never exceeds the budget; ``target`` and
    ``max_time`` apply anew. ``record`` writes every evaluation as a JSON
    line (appended to on resume). See docs/toolkit.md, "Checkpoints".
    """
    budget = count(budget, "budget")
    if budget < 1:
        raise ValueError("budget must be at least 1")
    check_bounds(bounds)
    description = {"strategy": "restarts", "budget": budget, "maximize": maximize, "bounds": plain(bounds),
                   "settings": dataclasses.asdict(settings), "global_share": global_share,
                   "global_evaluations": global_evaluations, "local_evaluations": local_evaluations,
                   "local_particles": local_particles, "shrink": shrink}
    job = Job(checkpoint, description, budget)
    tracker = Tracker(
        f,
        maximize=maximize,
        target=target,
        max_time=max_time,
        record=record,
    )
    tracker.expect_progress(progress)  # the bar itself once the job holds its checkpoint
    local_settings = settings
    if local_particles is not None:
        local_settings = dataclasses.replace(settings, particle_count=local_particles)
    global_budget = max(1, int(budget * global_share))
    fraction = shrink

    def restore(state: dict[str, Any]) -> None:
        nonlocal fraction
        fraction = state["fraction"]
        if type(fraction) is not float or not 0 < fraction < math.inf:
            raise ValueError(f"fraction {fraction!r} is not a width")

    # Ctrl-C anywhere, up to the last save and the checkpoint's release, carries the result.
    try:
        with tracker.interruptible(), job.running(tracker, lambda: {"fraction": fraction}, restore):
            tracker.show_progress(budget, progress)
            while tracker.evaluations < budget and tracker.stop_reason is None:
                remaining = budget - tracker.evaluations
                centre = tracker.best_point
                if centre is None or tracker.evaluations < global_budget:
                    left = global_budget - tracker.evaluations
                    size = min(global_evaluations, left)
                    if left - size < global_evaluations // 2:
                        # No short run at the end of the global share.
                        size = left
                    run = settings.for_budget(min(max(size, 1), remaining))
                    tracker.reserve(run.evaluations)
                    tracker.run(run.build(), bounds)
                else:
                    best_before = tracker.best_value
                    run = local_settings.for_budget(min(local_evaluations, remaining))
                    tracker.reserve(run.evaluations)
                    tracker.run(run.build(), narrowed(bounds, centre, fraction))
                    improved = tracker.best_value is not best_before
                    fraction = max(fraction * shrink, 1e-12) if improved else shrink
    finally:
        job.release()
    return tracker.final_result()
