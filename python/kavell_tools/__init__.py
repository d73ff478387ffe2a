"""Companion tools for ``kavell``: progress, history, early stop, restarts, multi-start.

The tools use ``kavell.PSO`` as it is. tqdm, matplotlib and Dask are imported
only by the features that need them.
"""
from __future__ import annotations

from ._errors import KavellError, is_panic, ordinary, ordinary_errors
from ._multistart import MultiStartFailed, MultiStartResult, RunSummary, multistart, run_once
from ._restart import restarts
from ._settings import RECOMMENDED, Settings
from ._tracking import (
    EarlyStop,
    Result,
    RunFailed,
    RunInterrupted,
    Tracker,
    evaluation_count,
    maximize,
    minimize,
)

__all__ = [
    "EarlyStop",
    "KavellError",
    "MultiStartFailed",
    "MultiStartResult",
    "RECOMMENDED",
    "Result",
    "RunFailed",
    "RunInterrupted",
    "RunSummary",
    "Settings",
    "Tracker",
    "evaluation_count",
    "is_panic",
    "maximize",
    "minimize",
    "multistart",
    "ordinary",
    "ordinary_errors",
    "restarts",
    "run_once",
]
