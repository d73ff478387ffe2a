"""Convergence plots of best-so-far histories (needs matplotlib: ``pip install "kavell[plot]"``)."""
from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import Any

from ._multistart import MultiStartResult
from ._tracking import Result

try:
    # At import, so that a missing matplotlib shows before any run whose result is to be plotted.
    import matplotlib.figure
except ImportError as error:
    raise ModuleNotFoundError(
        "kavell_tools.plotting needs matplotlib: pip install matplotlib (or kavell[plot])"
    ) from error


def _history(run: Any) -> list[tuple[int, Any]]:
    """The run's improvements, extended to its last evaluation so the line ends where the run did."""
    if not hasattr(run, "history"):
        return list(run)
    history: list[tuple[int, Any]] = list(run.history)
    if history and getattr(run, "evaluations", 0) > history[-1][0]:
        history.append((run.evaluations, history[-1][1]))
    return history


def plot_history(
    runs: Result[Any] | MultiStartResult | Iterable[Any],
    path: str | None = None,
    *,
    labels: Sequence[str] | None = None,
    log: bool | None = None,
    title: str | None = None,
    ax: Any = None,
) -> Any:
    """Plot best value against evaluations for one or more runs; save to ``path`` if given.

    ``runs`` is a :class:`~kavell_tools.Result`, a
    :class:`~kavell_tools.MultiStartResult` (a line per run), or an
    iterable of results, run summaries or ``(evaluations, value)``
    histories. The value axis is
    logarithmic when ``log`` is true, or by default when every value is
    positive. Returns the matplotlib ``Axes``. Saving without an ``ax`` draws
    on a figure of its own, outside pyplot: no display is needed, and
    matplotlib's backend and pyplot's figures are left as they were.
    """
    if isinstance(runs, MultiStartResult):
        runs = runs.runs
    histories = [_history(runs)] if isinstance(runs, Result) else [_history(run) for run in runs]
    if ax is None and path is not None:
        ax = matplotlib.figure.Figure(figsize=(7, 4.5)).subplots()
    elif ax is None:
        import matplotlib.pyplot as plt

        _, ax = plt.subplots(figsize=(7, 4.5))
    positive = True
    for index, history in enumerate(histories):
        if not history:
            continue
        evaluations = [count for count, _ in history]
        values = [float(value) for _, value in history]
        positive = positive and all(value > 0 for value in values)
        label = labels[index] if labels is not None else (f"run {index}" if len(histories) > 1 else None)
        ax.step(evaluations, values, where="post", label=label)
    if log if log is not None else positive:
        ax.set_yscale("log")
    ax.set_xlabel("objective evaluations")
    ax.set_ylabel("best value so far")
    if title:
        ax.set_title(title)
    if labels is not None or len(histories) > 1:
        ax.legend(fontsize="small")
    ax.grid(True, which="major", alpha=0.3)
    if path is not None:
        ax.figure.savefig(path, dpi=100, bbox_inches="tight")
    return ax
