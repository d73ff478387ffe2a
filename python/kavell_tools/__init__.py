"""Companion tools for ``kavell``: progress, history, early stop, restarts, multi-start, recordings, checkpoints.

The tools use ``kavell.PSO`` as it is. tqdm, matplotlib and Dask are imported
only by the features that need them.
"""
from __future__ import annotations

from ._bounds import Bounds, check_bounds
from ._checkpoint import Checkpoint
from ._errors import KavellError, is_panic, ordinary, ordinary_errors
from ._multistart import MultiStartFailed, MultiStartResult, RunSummary, multistart, run_once
from ._optimize import optimize
from ._record import Difference, replay
from ._restart import restarts
from ._settings import RECOMMENDED, Settings
from ._tracking import (
    TOLERANCE,
    EarlyStop,
    Result,
    RunFailed,
    RunInterrupted,
    SaveFailed,
    Tracker,
    evaluation_count,
    maximize,
    minimize,
)

__all__ = [
    "Bounds",
    "Checkpoint",
    "Difference",
    "EarlyStop",
    "KavellError",
    "MultiStartFailed",
    "MultiStartResult",
    "RECOMMENDED",
    "Result",
    "RunFailed",
    "RunInterrupted",
    "RunSummary",
    "SaveFailed",
    "Settings",
    "TOLERANCE",
    "Tracker",
    "check_bounds",
    "evaluation_count",
    "is_panic",
    "maximize",
    "minimize",
    "multistart",
    "optimize",
    "ordinary",
    "ordinary_errors",
    "replay",
    "restarts",
    "run_once",
]
