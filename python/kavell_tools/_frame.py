"""The learned frame of ``optimize``'s local runs: where the best points of a run lie tells the shape of the next box.

A frame maps frame units ``y`` (each within [-1, 1] in a local run) to the
real coordinates searched as doubles, ``x = c + R M y`` clipped to their
bounds (``R`` their ranges, so ``M`` is in fractions of them). After each
local run the best points it evaluated, in frame units, give a covariance;
the frame takes on its shape (a blend of the old shape, that covariance and
the path of the last steps), with every axis changed by at most a bounded
factor per run, and its size follows the step the run made.

numpy does the algebra; without it the local boxes stay along the axes.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any


def numpy_module() -> Any:
    """numpy, or ``None`` when it is not installed."""
    try:
        import numpy
    except ImportError:
        return None
    return numpy


@dataclass(frozen=True)
class Learning:
    """The constants of the update (fractions unless said otherwise)."""

    selection: float  # share of a run's points taken as its best
    rate: float  # weight of a run's covariance, per effective point and squared dimension
    rate_cap: float  # and its largest value
    path_rate: float  # weight of the path of steps
    path_decay: float  # how fast the path forgets
    clip: float  # largest factor by which one update stretches or shrinks an axis
    step_factor: float  # the next size, in steps of the run
    growth: float  # largest growth of the size per run
    contract: float  # the size divides by this after a run that found nothing better


def _weights(mu: int) -> list[float]:
    raw = [math.log(mu + 0.5) - math.log(k + 1) for k in range(mu)]
    total = sum(raw)
    return [w / total for w in raw]


def scale_factor(step: list[float], improved: bool, learning: Learning) -> float:
    """The factor of the frame's size after a run whose best point moved by ``step`` (frame units)."""
    if not improved:
        return 1.0 / learning.contract
    rms = math.sqrt(sum(v * v for v in step) / max(1, len(step)))
    return min(learning.growth, max(learning.step_factor * rms, 1e-12))


def selected(d: int, order: list[int], learning: Learning) -> tuple[list[int], list[float]]:
    """The best points of a run in ``d`` dimensions (``order`` best first), and their weights."""
    mu = min(len(order), max(d + 1, int(len(order) * learning.selection)))
    return order[:mu], _weights(mu)


def _rate(weights: list[float], d: int, learning: Learning) -> float:
    effective = 1.0 / sum(w * w for w in weights)
    return min(learning.rate_cap, learning.rate * effective / (d * d))


def matrix_update(np: Any, rows: Any, best: list[float], weights: list[float], path: list[float],
                  learning: Learning) -> Any:
    """The factor ``S`` (symmetric, determinant about 1) of the shape: the new matrix is ``M S``.

    From the weighted covariance of ``rows`` around ``best`` and the path,
    blended with the identity; each eigenvalue of ``S`` is kept within
    ``[1/clip, clip]``. ``path`` is mapped to the new frame in place.
    Returns ``None`` when the covariance is not usable (not finite, or zero).
    """
    d = len(best)
    deviations = np.asarray(rows, dtype=float) - np.asarray(best, dtype=float)
    w = np.asarray(weights, dtype=float)
    covariance = (deviations * w[:, None]).T @ deviations
    if not np.all(np.isfinite(covariance)) or not np.any(covariance):
        return None
    values, vectors = np.linalg.eigh((covariance + covariance.T) / 2)
    values = np.maximum(values, values.max() * 1e-20)
    covariance = (vectors * (values / math.exp(float(np.mean(np.log(values)))))) @ vectors.T
    rate = _rate(weights, d, learning)
    p = np.asarray(path, dtype=float)
    blend = (1 - rate - learning.path_rate) * np.eye(d) + rate * covariance + learning.path_rate * d * np.outer(p, p)
    try:
        values, vectors = np.linalg.eigh((blend + blend.T) / 2)
    except np.linalg.LinAlgError:
        return None
    values = np.maximum(values, 1e-300)
    values = np.sqrt(values / math.exp(float(np.mean(np.log(values)))))
    factor = (vectors * np.clip(values, 1 / learning.clip, learning.clip)) @ vectors.T
    path[:] = np.linalg.solve(factor, p).tolist()
    return factor


def turns(np: Any, matrix: list[list[float]], tolerance: float) -> bool:
    """Whether the frame correlates two axes by more than ``tolerance`` (the correlation of its points
    ``M y``, ``y`` uniform in [-1, 1]); a frame that does not stands for a box along the axes."""
    m = np.asarray(matrix, dtype=float)
    covariance = m @ m.T
    spread = np.sqrt(np.diag(covariance))
    if not np.all(spread > 0):
        return True
    correlation = covariance / np.outer(spread, spread)
    return bool(np.abs(correlation - np.eye(len(spread))).max() > tolerance)


def usable(np: Any, matrix: Any) -> bool:
    """Whether a frame's matrix is finite and far enough from singular to map frame units back."""
    m = np.asarray(matrix, dtype=float)
    return bool(np.all(np.isfinite(m)) and np.linalg.cond(m) < 1e14)
