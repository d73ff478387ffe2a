"""Restarts that spend one evaluation budget."""
from __future__ import annotations

from typing import Any

from ._bounds import narrowed
from ._errors import KavellError
from ._settings import RECOMMENDED, Settings
from ._tracking import Objective, ProgressBar, Result, Tracker, open_progress


def restarts(
    f: Objective,
    budget: int,
    *,
    maximize: bool = False,
    settings: Settings = RECOMMENDED,
    run_evaluations: int = 5_000,
    shrink: float = 0.5,
    global_every: int = 3,
    target: Any = None,
    max_time: float | None = None,
    progress: bool | ProgressBar = False,
    **bounds: Any,
) -> Result:
    """Minimise (or maximise) ``f`` with exactly ``budget`` evaluations spread over restarts.

    The optimiser's update has no random factors, so a swarm collapses onto
    one point and stays there; only a fresh start draws new points. Each run
    here gets ``run_evaluations`` evaluations with ``settings``. The first run
    searches the whole box; later runs search a box around the best point so
    far, ``shrink`` times as wide as the whole box at first, ``shrink`` times
    narrower again after each run that improved on the best and back to the
    first width after one that did not, and every ``global_every``-th run
    searches the whole box again. The last run is cut to the budget.
    """
    if budget < 1:
        raise ValueError("budget must be at least 1")
    tracker = Tracker(
        f,
        maximize=maximize,
        target=target,
        max_time=max_time,
        progress=open_progress(budget, progress),
    )
    fraction = shrink
    try:
        while tracker.evaluations < budget:
            remaining = budget - tracker.evaluations
            run = settings.for_budget(min(run_evaluations, remaining))
            best_before = tracker.best_value
            centre = tracker.best_point
            local = centre is not None and global_every > 0 and (tracker.runs + 1) % global_every != 0
            box = narrowed(bounds, centre, fraction) if local and centre is not None else bounds
            if not tracker.run(run.build(), box):
                break
            if local:
                improved = tracker.best_value is not best_before
                fraction = max(fraction * shrink, 1e-12) if improved else shrink
    finally:
        tracker.close()
    result = tracker.result()
    if result is None:
        raise KavellError("the run made no evaluation")
    return result
