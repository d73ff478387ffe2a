"""The evolution strategy of ``optimize``'s local phase over real coordinates (numpy only).

Each generation draws ``population(n)`` points ``u = m + sigma * B D z`` (``z``
standard normal, ``C = B D^2 B^T``) in fractions of the coordinates' ranges;
the better half, weighted by rank, move the mean ``m``, shape ``C`` (rank-one
update from the path of the mean's steps, rank-mu update from the steps
themselves; the worse half take their directions out of it) and, by the
length of the path of those steps measured in ``C``'s own units, grow or
shrink ``sigma`` (cumulative step-size adaptation). The constants are the
textbook defaults for ``n`` coordinates and the population (twice the
textbook one). Unlike a module run's swarm, the mean follows the better
half even when no point beats the best so far, so ``C`` learns the shape of
a narrow valley that boxes along any fixed axes cannot follow.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any


#: The least spread of a walk's points, in fractions of the ranges (see Generations.tell).
SMALLEST_STEP = 1e-12


def population(n: int) -> int:
    """Points per generation in ``n`` coordinates: twice the textbook number, which halves the algebra per
    evaluation and, measured on COCO's bbob (instances 1-5, D = 5, 10, 20), reached at least as many targets."""
    return 2 * (4 + int(3 * math.log(n)))


@dataclass
class Walk:
    """Where the strategy stands between generations; lists, so that a checkpoint holds it."""

    mean: list[float]  # in fractions of the ranges
    sigma: float
    covariance: list[list[float]]
    path: list[float]  # of the mean's steps, for the rank-one update
    sigma_path: list[float]  # the same in C's own units, for sigma
    size: int = 0  # points per generation (0: population(n))


def fresh(mean: list[float], spread: list[list[float]]) -> Walk:
    """A walk from ``mean`` whose points spread as ``spread`` (a matrix in fractions of the ranges) says."""
    import numpy as np

    n = len(mean)
    a = np.asarray(spread, dtype=float)
    sigma = abs(float(np.linalg.det(a))) ** (1 / n)
    if sigma > 0 and math.isfinite(sigma):
        covariance = a @ a.T / sigma**2
    else:  # a frame without a usable size: round, a hundredth of the ranges
        sigma, covariance = 0.01, np.eye(n)
    return Walk(list(mean), sigma, covariance.tolist(), [0.0] * n, [0.0] * n)


class Generations:
    """The generations of one walk: :meth:`ask` for the points, :meth:`tell` their values (lower is better)."""

    def __init__(self, np: Any, walk: Walk, rng: Any) -> None:
        self.np, self.rng = np, rng
        n = self.n = len(walk.mean)
        self.size = walk.size or population(n)
        mu = self.mu = self.size // 2
        w = np.log(mu + 0.5) - np.log(np.arange(1, mu + 1))
        self.weights = w / w.sum()
        mueff = self.mueff = 1 / float((self.weights**2).sum())
        self.cs = (mueff + 2) / (n + mueff + 5)
        self.ds = 1 + 2 * max(0.0, math.sqrt((mueff - 1) / (n + 1)) - 1) + self.cs
        self.cc = (4 + mueff / n) / (n + 4 + 2 * mueff / n)
        self.c1 = 2 / ((n + 1.3) ** 2 + mueff)
        self.cmu = min(1 - self.c1, 2 * (mueff - 2 + 1 / mueff) / ((n + 2) ** 2 + mueff))
        self.chi = math.sqrt(n) * (1 - 1 / (4 * n) + 1 / (21 * n * n))
        # The worse half's weights, the worst first, each to be divided by its step's squared length in C's
        # own units. In all they take at most half of what C keeps of itself out of any one direction (C stays
        # positive definite, even measured by a decomposition some generations old), and no more than the
        # better half and the rank-one update put in; C keeps that much more of itself, so that its size does
        # not drift (sigma's job).
        against = min(1 + self.c1 / self.cmu, (1 - self.c1 - self.cmu) / (2 * n * self.cmu))
        self.positive = self.cmu * self.weights
        self.negative = -self.cmu * n * against * self.weights[::-1]  # the worse half in order, the worst last
        self.keep = 1 - self.c1 - self.cmu * (1 - against)
        # The updates' factors, the rank-one's and the better half's first: the worse half's are filled in
        # each generation.
        self.factors = np.concatenate(((self.c1,), self.positive, self.negative))
        self.mean = np.asarray(walk.mean, dtype=float)
        self.sigma = walk.sigma
        self.covariance = np.asarray(walk.covariance, dtype=float)
        self.path = np.asarray(walk.path, dtype=float)
        self.sigma_path = np.asarray(walk.sigma_path, dtype=float)
        self.generation = 0
        self.floored = False  # whether sigma is held at the least spread
        # The decomposition of C is renewed every few generations, while C has moved by a few per cent (from
        # every second generation at 2 to 10 coordinates, every third at 20: it is most of the algebra's cost).
        self.lag = max(1, int(2 / (n * (self.c1 + self.cmu))))
        self._decompose()

    def _decompose(self) -> None:
        np = self.np
        values, self.vectors = np.linalg.eigh(self.covariance)
        self.scales = np.sqrt(np.maximum(values, 1e-300))

    def ask(self) -> tuple[Any, Any]:
        """The steps ``y`` (in units of ``sigma``) of the next generation, and their points ``m + sigma y``."""
        z = self.z = self.rng.standard_normal((self.size, self.n))  # the steps in C's own units
        steps = (z * self.scales) @ self.vectors.T
        return steps, self.mean + self.sigma * steps

    def tell(self, steps: Any, values: list[float], against: bool = True) -> bool:
        """Adapt to the generation's values; ``False`` once the walk has degenerated (C or the mean not finite).

        ``steps`` are those :meth:`ask` drew, or (without ``against``) others in their place. Without
        ``against`` the worse half take nothing out of C: where points were moved onto a bound,
        the steps to them say little of where not to go, and taking those directions out (the step into the
        bounds from a face the best point lies on) would leave C flat across the face, and sigma, measuring
        the mean's steps in C's units, would grow without end.
        """
        np = self.np
        order = sorted(range(self.size), key=values.__getitem__)
        ranked = steps[order]
        chosen = ranked[:self.mu]
        step = self.weights @ chosen
        self.mean += self.sigma * step
        cs, cc = self.cs, self.cc
        # C^-1/2 step, through the decomposition: two products rather than forming the matrix.
        self.sigma_path *= 1 - cs
        self.sigma_path += math.sqrt(cs * (2 - cs) * self.mueff) * (self.vectors @ ((step @ self.vectors) / self.scales))
        self.generation += 1
        length = math.sqrt(float(self.sigma_path @ self.sigma_path))
        steady = length / math.sqrt(1 - (1 - cs) ** (2 * self.generation)) < (1.4 + 2 / (self.n + 1)) * self.chi
        self.path *= 1 - cc
        if steady:
            self.path += math.sqrt(cc * (2 - cc) * self.mueff) * step
        c1, cmu = self.c1, self.cmu
        if against:
            # The rank-one, rank-mu and negative updates in one product: [path, ranked]^T diag(c1, cmu w,
            # -cmu w' / |z|^2) [path, ranked], the worse half's |z| their lengths in C's own units.
            worse = self.z[order[self.mu:]]
            lengths = np.maximum(np.einsum("ij,ij->i", worse, worse), 1e-300)
            rows = np.concatenate((self.path[None], ranked))
            factors = self.factors
            np.divide(self.negative, lengths, out=factors[1 + self.mu:])
            decay = self.keep
        else:
            rows = np.concatenate((self.path[None], chosen))
            factors = self.factors[:1 + self.mu]
            decay = 1 - c1 - cmu
        decay += 0.0 if steady else c1 * cc * (2 - cc)
        self.covariance *= decay
        self.covariance += (rows.T * factors) @ rows
        self.sigma *= math.exp(min(1.0, (cs / self.ds) * (length / self.chi - 1)))
        if values[order[0]] == values[order[self.mu]]:
            self.sigma *= math.exp(0.2 + cs / self.ds)  # a plateau: look further
        # (A sum is finite only when every term is: one reduction checks C and the mean.)
        if not math.isfinite(float(self.covariance.sum()) + float(self.mean.sum()) + self.sigma):
            return False
        if self.generation % self.lag == 0:
            self._decompose()
        # Sigma stops at the least spread while C goes on learning: on a sharp ridge C needs far more
        # generations to find the ridge's direction than sigma takes to shrink, and then sigma grows again.
        # (At 1e-12 of the ranges, not at the doubles' spacing: a walk converged there ends sooner, and the
        # restarts that buys were worth more on COCO's bbob than the last digits of smooth problems.)
        # C is then rescaled to a largest scale of 1: the shrinking that sigma is spared would otherwise go on
        # in C until it underflowed.
        top = float(self.scales.max())
        self.floored = self.sigma * top <= SMALLEST_STEP
        if self.floored:
            self.covariance /= top * top
            self.scales = self.scales / top
            self.path /= top
            self.sigma = SMALLEST_STEP
        return True

    def walk(self) -> Walk:
        return Walk(self.mean.tolist(), self.sigma, self.covariance.tolist(), self.path.tolist(),
                    self.sigma_path.tolist(), 0 if self.size == population(self.n) else self.size)
