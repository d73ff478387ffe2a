"""``optimize``: one call that spends a budget well, over kavell runs.

The optimiser's update has no random factors: a swarm collapses onto one
point, and only the draw of starting positions is random. So the strategy
decides where runs start, how large their boxes are and how many evaluations
each gets, and nothing else:

1. global runs over the whole box (on one worker the first is half as long
   as the others, so that the first polish starts early). Below a budget of
   10,000, every swarm is smaller, and block runs shorter, by the square root
   of the budget's share of 10,000: runs sized for a large budget would spend
   a small one in a few iterations each;
2. then, in turn:
   - sweeps of block runs: one coordinate at a time freed over its whole
     range, or two at a time over a smaller box, or (mixed problems) one
     integer with every real, while the other coordinates stay pinned at
     the best point (a box one float or one unit wide, so every particle
     holds them). A swarm too small for the whole space then settles each
     coordinate among all its basins, which a box around the best point
     never reaches. A block that frees integers alone, with few values in
     its box (up to three times a block run's evaluations), tries each of
     them once instead, the nearest first (a scan): a swarm over a handful
     of values draws the same ones again and again. Scans from the same
     best point try no point twice;
   - a local run around the best point, in a box whose size follows the
     step the last improvement made (a long step keeps it wide, a short one
     narrows it). A run that found nothing narrows it further, and once it
     has shrunk to nothing it starts over at the first width. The box so
     tracks the remaining error instead of collapsing far below it or
     staying far above it; integers keep c-1 ... c+1 within it. After
     repeated failures a new global run looks for another basin. With
     numpy, the box of the real coordinates takes its shape from where
     each local run's best points lay
     (kavell_tools._frame): it turns and stretches along a narrow valley
     that is not along the axes, and stays a box along them while no two
     coordinates are correlated;
   - with numpy, where every coordinate is an ``f64`` one (two or more),
     a walk of an evolution strategy (kavell_tools._evolution) takes the
     place of that local run (on several workers, one walk at a time):
     generations of points drawn around a mean, whose better half move
     the mean and teach a covariance the shape of the valley (the worse
     half take their directions out of it), each walk going on from where
     the last stopped, across the global runs too. A walk ends when its
     share (0.3 of the budget) is spent or when none of its generations
     has bettered its own best for a while (one that has converged, its
     spread down to 1e-12 of the ranges, leaves the next to start afresh
     around the best point); a walk that found nothing better counts as a
     failed local run. On one worker, a failure then calls a *wide walk*
     instead, and so does a walk that converged (its basin is spent, even
     where it found a better point), while wide walks have spent at most
     half the evaluations spent otherwise: a walk from a point drawn
     uniformly within the bounds, spread over a fifth of the ranges, with
     twice a walk's population and twice the last wide walk's, up to 1,024
     times a walk's (a wide walk that finds a better point goes on as the
     walk). Their large populations find the basins of multimodal problems
     with a global structure (Rastrigin's, Schaffers' functions on COCO's
     bbob) that global runs and walks from the best point missed. The
     global runs after the first then wait for the failures beyond that,
     and a polish does not go on when its tenth runs out (the walks follow
     it). The walks' points, unlike a module run's, do not collapse onto
     the best point: on COCO's
     ill-conditioned functions they reach the targets that boxes and the
     polish crawled towards. On mixed problems local runs, which move the
     integers too, did as well or better;
3. with scipy installed (``kavell[polish]``), L-BFGS-B polishes the real
   coordinates of the best point within the bounds, the integers held,
   after the first global run (one worker) or the opening ones (several),
   halfway through the budget and near its end, each with a tenth of it at
   most (one still improving when its tenth runs out goes on at once, unless
   there are walks); its
   evaluations, the finite differences of its gradients included, count in
   the budget like every other.

Integers are searched as reals and rounded at the call, so the objective
still receives exact ints within ``[min, max]``, both ends included.
Searched with the module's own kinds (``Tuning(real_integers=False)``: boxes
one past the upper bound, since the module draws starting positions below
it, clamped back at the call) they tied on the mixed problems except
mixed-10 at 10,000 evaluations, where they did worse (bench/quality.py,
docs/choosing-settings.md). Decimals and integers too large for a double are narrowed around the best point in
local runs and searched over their whole box otherwise; complex values are
always searched over their whole box (the module does not clamp them).
"""
from __future__ import annotations

import dataclasses
import decimal
import itertools
import math
import os
import random
import struct
from math import floor
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from decimal import Decimal
from typing import TYPE_CHECKING, Any, Literal, TypeVar

from ._bounds import INTEGER_KINDS, KINDS, Bounds, _decimal, _f32, check_bounds, check_point, count, kinds
from ._checkpoint import Job, plain, restored
from ._evolution import Generations, Walk, fresh, population
from ._frame import Learning, matrix_update, numpy_module, scale_factor, selected, turns, usable
from ._record import Point, RecordTarget
from ._settings import Settings
from ._tracking import (
    TOLERANCE,
    EarlyStop,
    ProgressBar,
    Result,
    RunFailed,
    RunInterrupted,
    Tracker,
)

if TYPE_CHECKING:
    from typing_extensions import Unpack

    from ._parallel import Distribute, Submitter

V = TypeVar("V")
T = TypeVar("T")

#: Integers up to this size get boxes computed in doubles (which hold every
#: integer up to 2**53 exactly, with room for the half unit either side).
#: Larger ones are boxed in exact integer arithmetic around the best point.
REAL_SEARCH_SPAN = 2**50
# The most evaluations one run is given (its iteration count is an unsigned 64-bit number).
LONGEST_RUN = 2**62


@dataclass(frozen=True)
class Tuning:
    """The strategy's constants, chosen by measurement on the nine named problems only (the frame's,
    the first global run's and polish's, the walks' and wide walks', and the swarms of small budgets on COCO's bbob
    and bbob-mixint, instances 1-5, and 1-10 at 100 x D).

    Shares are fractions of the budget; widths fractions of each coordinate's range.
    """

    global_share: float = 0.3
    global_runs: int = 4
    first_global: float = 0.5  # one worker: the first global run's evaluations, in those of one of the others
    particles: int = 100
    local_share: float = 0.02
    local_particles: int = 40
    first_width: float = 0.1
    step_factor: float = 3.0
    contract: float = 3.0
    failures_before_global: int = 4
    polish_at: tuple[float, ...] = (0.0, 0.5, 0.9)  # budget shares at which a polish starts (0: after a global run)
    polish_cap: float = 0.1  # share one polish may spend at most
    # (coordinates freed per block run, width of their box), sweep by sweep in turn.
    # A width of 0 frees each integer over c-1 ... c+1 with every real coordinate
    # in a box of ``follow_width`` around the best point (mixed problems only).
    blocks: tuple[tuple[int, float], ...] = ((1, 1.0), (2, 0.15), (1, 0.0))
    follow_width: float = 0.05
    block_particles: int = 8
    block_iterations: int = 10
    # A block freeing integers alone tries each of their values in its box once, the nearest first (a
    # scan), in place of a block run, where they number at most this many times the run's evaluations
    # (0: never); a swarm over a few values draws the same ones again and again.
    scan: float = 3.0
    # Smaller budgets shrink every swarm, the iterations of block runs and the least local run by
    # sqrt(budget / full_swarms_from) (chosen on COCO's budgets of 100 x D; at 0 never).
    full_swarms_from: int = 10_000
    least_local: int = 200  # evaluations of a local run, at least
    # (cognitive, social, max_velocity_ratio, inertia) of every run.
    coefficients: tuple[float, float, float, float] = (0.8, 1.0, 0.3, 0.9)
    real_integers: bool = True
    # The frame of local runs (see kavell_tools._frame.Learning); with numpy only.
    frame: bool = True
    selection: float = 0.25
    rate: float = 1.0
    rate_cap: float = 0.5
    path_rate: float = 0.2
    path_decay: float = 0.3
    clip: float = 3.0
    frame_step: float = 3.0  # half-width of the next box, in steps of the run's best point
    size_growth: float = 3.0
    aligned_below: float = 0.3  # a frame that correlates no two axes by more keeps local boxes along them
    # With numpy, where every coordinate is an f64 one, an evolution strategy (kavell_tools._evolution)
    # takes the place of local runs, each walk of it up to this share (one at a time on several workers);
    # a polish then does not go on (the walk follows it), and on one worker the global runs after the
    # first wait for repeated failures of the walks.
    evolution: bool = True
    walk_share: float = 0.3
    # One worker, where there are walks: after a walk or local run that found nothing better, or a walk that
    # converged, a wide walk (from a point drawn uniformly, spread over wide_spread of the ranges, its
    # population twice a walk's and doubling from one to the next) while wide walks have spent at most
    # wide_share times the evaluations spent otherwise (0: none); the global runs after the first wait for
    # failures beyond that.
    wide_share: float = 0.5
    wide_spread: float = 0.2

    @property
    def learning(self) -> Learning:
        return Learning(self.selection, self.rate, self.rate_cap, self.path_rate, self.path_decay, self.clip,
                        self.frame_step, self.size_growth, self.contract)


TUNING = Tuning()
#: The width of a box around an integer that holds its neighbours: c-1 ... c+1 (searched as a real, rounded).
NEIGHBOURS = 3.0
#: Wide walks' populations double up to 2**WIDEST times a walk's (at 20 coordinates, 24,576 points).
WIDEST = 10


def _f32_step(x: float, up: bool) -> float:
    """The binary32 value next to the binary32 value ``x``, above it or below it."""
    if x == 0.0:
        tiny: float = struct.unpack("<f", struct.pack("<I", 1))[0]
        return tiny if up else -tiny
    bits: int = struct.unpack("<I", struct.pack("<f", x))[0]
    bits += 1 if (x > 0) == up else -1
    result: float = struct.unpack("<f", struct.pack("<I", bits))[0]
    return result


@dataclass(frozen=True)
class _Coordinate:
    """One element the strategy places boxes on: a real, or an integer searched as one.

    ``low`` and ``high`` are values of the search kind (binary32 for ``f32``).
    """

    kind: str  # the user's kind
    index: int
    low: float
    high: float
    integer: bool  # rounded at the call
    native: bool = False  # an integer searched with its own kind

    @property
    def search_kind(self) -> str:
        if self.native:
            return "i64" if -(2**63) <= self.low and self.high < 2**63 else "i"
        return "f32" if self.kind == "f32" else "f64"

    def _step(self, x: float, up: bool) -> float:
        if self.native:
            return x + 1 if up else x - 1
        if self.kind == "f32":
            return _f32_step(x, up)
        return math.nextafter(x, math.inf if up else -math.inf)

    def box(self, low: float, high: float) -> tuple[float, float]:
        """``[low, high]`` within the coordinate's range, its ends values of the search kind and ``low < high`` there.

        The module refuses a pair that is empty once stored in its kind, so a
        box narrower than one step of the kind (a pinned coordinate, a box
        contracted below the spacing of binary32 values) becomes one step
        wide, inside the range. Since the upper end is never drawn, a box
        ``[x, next(x)]`` holds every particle at ``x``.
        """
        low, high = max(self.low, low), min(self.high, high)
        if self.native:
            low, high = math.floor(low), math.ceil(high)
        elif self.kind == "f32":
            low, high = _f32(low), _f32(high)
        if not low < high:
            up = self._step(low, True)
            if up <= self.high:
                high = up
            else:
                low, high = self._step(self.high, False), self.high
        return low, high

    def settle(self, x: float) -> float:
        """A value computed in doubles (by the polish) as a value of the kind, within the range."""
        x = min(max(x, self.low), self.high)
        return _f32(x) if self.kind == "f32" else x


# Decimal arithmetic of the boxes, exact for every value the module holds.
_EXACT = decimal.Context(prec=80)
_MANTISSA_LIMIT = Decimal(2**96)


def _decimal_grid(low: Decimal, high: Decimal) -> tuple[Decimal, Decimal]:
    """``low`` rounded up and ``high`` down to one scale the module holds (at most 28, mantissa below 2**96)."""
    scale = 28
    largest = max(abs(low), abs(high))
    while scale > 0 and _EXACT.scaleb(largest, scale) >= _MANTISSA_LIMIT:
        scale -= 1
    grid = Decimal(1).scaleb(-scale)
    return (low.quantize(grid, decimal.ROUND_CEILING, _EXACT),
            high.quantize(grid, decimal.ROUND_FLOOR, _EXACT))


def _decimal_box(lows: list[Any], highs: list[Any], centre: list[Decimal], fraction: float
                 ) -> tuple[list[str], list[str]]:
    """Decimal bounds of ``fraction`` of each span around ``centre``, within the box.

    Both ends share one scale, so the module compares them as they are; a
    box too narrow for that scale is the whole span.
    """
    new_lows: list[str] = []
    new_highs: list[str] = []
    for given_low, given_high, d in zip(lows, highs, centre):
        low, high = _decimal(given_low), _decimal(given_high)
        half = _EXACT.multiply(_EXACT.subtract(high, low), Decimal(repr(fraction / 2)))
        box_low, box_high = _decimal_grid(max(low, _EXACT.subtract(d, half)), min(high, _EXACT.add(d, half)))
        if not (low <= box_low < box_high <= high):
            box_low, box_high = low, high
        # Positional text: the module reads no exponent, and str() of a Decimal may write one.
        new_lows.append(format(box_low, "f"))
        new_highs.append(format(box_high, "f"))
    return new_lows, new_highs


class _Space:
    """The search space: integers as reals (rounded at the call), everything else as given."""

    def __init__(self, bounds: Mapping[str, Any], real_integers: bool) -> None:
        self.coordinates: list[_Coordinate] = []
        self.fixed: dict[str, Any] = {}  # decimal, complex, very wide integers: whole box always
        self.integer_bounds: dict[tuple[str, int], tuple[int, int]] = {}
        self.wide: dict[str, list[tuple[int, int]]] = {}  # integers too large for a double, by kind
        for kind in sorted(kinds(bounds), key=KINDS.index):
            lows, highs = list(bounds[kind + "_min"]), list(bounds[kind + "_max"])
            n = min(len(lows), len(highs))
            lows, highs = lows[:n], highs[:n]
            if kind in ("f32", "f64"):
                # As the module stores the bounds: f32 ones rounded to binary32.
                as_kind = _f32 if kind == "f32" else float
                self.coordinates += [_Coordinate(kind, k, as_kind(a), as_kind(b), False)
                                     for k, (a, b) in enumerate(zip(lows, highs))]
            elif kind in INTEGER_KINDS and all(abs(int(x)) <= REAL_SEARCH_SPAN for x in lows + highs):
                for k, (a, b) in enumerate(zip(lows, highs)):
                    self.integer_bounds[kind, k] = (int(a), int(b))
                    if real_integers:
                        # Half a unit either side, so that every integer owns an equal share.
                        self.coordinates.append(_Coordinate(kind, k, int(a) - 0.5, int(b) + 0.5, True))
                    else:
                        # One past the end, since the module draws below the upper bound.
                        self.coordinates.append(_Coordinate(kind, k, int(a), int(b) + 1, True, native=True))
            elif kind in INTEGER_KINDS:
                # Searched as "i" over one past the end, clamped back at the call.
                self.wide[kind] = list(zip(map(int, lows), map(int, highs)))
                self.fixed.setdefault("i_min", []).extend(int(a) for a in lows)
                self.fixed.setdefault("i_max", []).extend(int(b) + 1 for b in highs)
            else:
                self.fixed[kind + "_min"], self.fixed[kind + "_max"] = lows, highs
        self.ranges = [c.high - c.low for c in self.coordinates]
        self.segments = self._segments()
        # Where each coordinate sits in a search point: its key and its position in that key's list.
        taken: dict[str, int] = {}
        self.slots: list[tuple[str, int]] = []
        for c in self.coordinates:
            self.slots.append((c.search_kind, taken.get(c.search_kind, 0)))
            taken[c.search_kind] = taken.get(c.search_kind, 0) + 1

    def bounds(self, lows: list[float] | None = None, highs: list[float] | None = None,
               around: Point | None = None, fraction: float = 0.0, turned: list[int] | None = None) -> dict[str, Any]:
        """Search bounds: the whole box, or the given per-coordinate box.

        With ``around`` (a user's point), decimals and integers too large for
        a double get a box of ``fraction`` of their span around it (0: held
        where they are). Under a rotation of the ``turned`` coordinates, their
        frame units, each within [-1, 1], lead the ``f64`` list in their place.
        """
        lows = [c.low for c in self.coordinates] if lows is None else lows
        highs = [c.high for c in self.coordinates] if highs is None else highs
        result = dict(self.fixed)
        skip = set(turned or ())
        if turned:
            result["f64_min"], result["f64_max"] = [-1.0] * len(turned), [1.0] * len(turned)
        if around is not None and "d" in around and "d_min" in self.fixed:
            result["d_min"], result["d_max"] = _decimal_box(
                self.fixed["d_min"], self.fixed["d_max"], around["d"], fraction or 1e-12)
        if around is not None and self.wide:
            pairs = [pair for kind in self.wide for pair in self.wide[kind]]
            centre = [n for kind in self.wide for n in around[kind]]
            halves = [int((high - low) * fraction) // 2 for low, high in pairs]
            result["i_min"] = [max(low, n - h) for n, h, (low, _) in zip(centre, halves, pairs)]
            result["i_max"] = [min(high + 1, n + h + 1) for n, h, (_, high) in zip(centre, halves, pairs)]
        for k, (c, low, high) in enumerate(zip(self.coordinates, lows, highs)):
            if k in skip:
                continue
            key = c.search_kind
            low, high = c.box(low, high)
            result.setdefault(key + "_min", []).append(low)
            result.setdefault(key + "_max", []).append(high)
        return result

    def _segments(self) -> list[tuple[str, str, int, int, str, list[int], list[int]]]:
        """Per user kind: its search key, the slice it takes there, and how it maps back."""
        segments: list[tuple[str, str, int, int, str, list[int], list[int]]] = []
        taken: dict[str, int] = {}
        for c in self.coordinates:
            key = c.search_kind
            position = taken.get(key, 0)
            taken[key] = position + 1
            how = "clamp" if c.native else "round" if c.integer else "copy"
            low, high = self.integer_bounds.get((c.kind, c.index), (0, 0))
            if segments and segments[-1][1] == c.kind:
                _, _, start, _, _, lows, highs = segments[-1]
                segments[-1] = (key, c.kind, start, position + 1, how, lows + [low], highs + [high])
            else:
                segments.append((key, c.kind, position, position + 1, how, [low], [high]))
        return segments

    @property
    def identity(self) -> bool:
        """Whether search points are the user's points as they are."""
        return not self.wide and all(
            how == "copy" and key == kind for key, kind, _, _, how, _, _ in self.segments)

    def decode(self, point: Point) -> Point:
        """The user's point for a point of the search space."""
        user: Point = {key: point[key] for key in point if key + "_min" in self.fixed and key != "i"}
        wide, start = point.get("i", []), 0
        for kind, pairs in self.wide.items():
            # Each kind its own slice of the shared "i" list, in the order the bounds were laid out.
            user[kind] = [min(max(n, low), high) for n, (low, high) in zip(wide[start:start + len(pairs)], pairs)]
            start += len(pairs)
        for key, kind, start, stop, how, lows, highs in self.segments:
            values = point[key][start:stop]
            if how == "clamp":
                values = [x if x <= high else high for x, high in zip(values, highs)]
            elif how == "round":
                # The module keeps positions within [low - 0.5, high + 0.5] (finite: no NaN reaches
                # floor), so only the very top rounds out of range.
                values = [n if (n := floor(x + 0.5)) <= high else high for x, high in zip(values, highs)]
            user[kind] = values
        return user

    def vector(self, point: Point) -> list[float]:
        """The coordinates of a user's point, in the order of :attr:`coordinates`."""
        return [float(point[c.kind][c.index]) for c in self.coordinates]

    def rest(self, point: Point) -> Point:
        """The part of a user's point the coordinates do not cover, as search keywords."""
        rest = {key: list(values) for key, values in point.items() if key + "_min" in self.fixed and key != "i"}
        for kind in self.wide:
            rest.setdefault("i", []).extend(point[kind])
        return rest

    def assemble(self, vector: list[float], rest: Point) -> Point:
        """A search-space point from coordinates and the rest."""
        point: Point = {key: list(values) for key, values in rest.items()}
        for c, x in zip(self.coordinates, vector):
            point.setdefault(c.search_kind, []).append(int(x) if c.native else x)
        return point

    def search_point(self, point: Point) -> Point:
        """The search-space point of a user's point (checked: within the bounds, of their kinds)."""
        return self.assemble(self.vector(point), self.rest(point))

    @property
    def doubles(self) -> list[int]:
        """The coordinates searched as doubles that are not integers (the user's f64 ones)."""
        return [k for k, c in enumerate(self.coordinates) if c.search_kind == "f64" and not c.integer]


class _PolishDone(Exception):
    """Ends a polish at its share of the budget."""


def _finite_real(value: Any) -> float | None:
    """``value`` as a finite float, or ``None`` when it is not a finite real number (a tuple, NaN, -inf...)."""
    if type(value) is not float:
        if isinstance(value, (str, bytes, complex)):
            return None
        try:
            value = float(value)
        except (TypeError, ValueError, OverflowError, ArithmeticError):
            return None
    return value if math.isfinite(value) else None


def _failure_outside_run(tracker: Tracker[Any], error: BaseException) -> BaseException:
    """What a failure of ``f`` called outside a module run (x0, the polish) raises: as a failed run would."""
    cause = tracker.error if tracker.error is not None else error
    where = (tracker.failed_point, tracker.failed_evaluation) if tracker.error is not None else (None, None)
    failure: BaseException
    if isinstance(cause, KeyboardInterrupt) or isinstance(error, KeyboardInterrupt):
        failure = RunInterrupted(f"run interrupted after {tracker.evaluations} evaluations", tracker.result(), *where)
    else:
        failure = RunFailed(f"the objective raised {cause!r}", tracker.result(), *where)
    failure.__cause__ = cause
    return failure


@dataclass
class _State:
    """Where the strategy stands between two runs; saved with checkpoints."""

    global_runs: int = 0
    widths: list[float] = field(default_factory=list)  # of the next local box along the axes, by coordinate
    matrix: list[list[float]] = field(default_factory=list)  # x = c + R M y, |y| <= 1, R their ranges (rotated coordinates)
    path: list[float] = field(default_factory=list)  # the recent steps of local runs, in frame units
    failures: int = 0
    blocks: list[list[int]] = field(default_factory=list)  # of the sweep under way
    swept: bool = False  # since the last local run
    sweeps: int = 0
    polishes: int = 0
    around_x0: bool = False
    global_due: bool = False  # a global run, after repeated local failures
    polish_again: bool = False  # the last polish was still improving when its share ran out
    walk: dict[str, Any] = field(default_factory=dict)  # the evolution strategy's Walk and "seen", or empty
    wide_walks: int = 0
    wide_spent: int = 0  # evaluations, by the wide walks
    wide_due: bool = False


@dataclass(frozen=True)
class _Rotation:
    """What a run under a rotation needs to turn frame units into search points; picklable.

    The module's ``f64`` list starts with the frame units of the rotated
    coordinates; the rest of it, and every other key, are search values.
    """

    rotated: list[int]  # coordinates, in order
    centre: list[float]  # their values at the centre
    matrix: list[list[float]]  # in fractions of their ranges
    ranges: list[float]
    lows: list[float]  # their bounds, for clipping
    highs: list[float]
    f64: list[int] | None  # the search f64 list, as indices into (rotated values + rest of the module's f64 list)

    def values(self, np: Any) -> Callable[[list[float]], list[float]]:
        """Frame units of the rotated coordinates -> their search values (numpy does the product)."""
        c, m = np.asarray(self.centre, dtype=float), np.asarray(self.matrix, dtype=float)
        r = np.asarray(self.ranges, dtype=float)
        low, high = np.asarray(self.lows, dtype=float), np.asarray(self.highs, dtype=float)
        dot, maximum, minimum = np.dot, np.maximum, np.minimum
        # Ranges up to the largest double: a product may overflow to an infinity (never a NaN), which
        # the bounds clip.
        with np.errstate(over="ignore"):
            reach = np.abs(m).sum(axis=1) * r
        if bool(np.all(c - reach >= low) and np.all(c + reach <= high)):
            # The box's image lies within the bounds, so no product overflows: the ranges go into the
            # matrix once, the centre as its last column (one product), and nothing is clipped.
            scaled = np.hstack([m * r[:, None], c[:, None]])

            def inside(y: list[float]) -> list[float]:
                values: list[float] = dot(scaled, y + [1.0]).tolist()
                return values
            return inside

        def clipped(y: list[float]) -> list[float]:
            x = dot(m, y)
            with np.errstate(over="ignore"):
                x *= r
            x += c
            maximum(x, low, out=x)
            minimum(x, high, out=x)
            values: list[float] = x.tolist()
            return values
        return clipped

    def decoder(self, np: Any) -> Callable[[Point], Point]:
        """Module point -> search point."""
        r, f64 = len(self.centre), self.f64
        values_of = self.values(np)

        def decode(point: Point) -> Point:
            ys = point["f64"]
            values = values_of(ys if len(ys) == r else ys[:r])
            search = dict(point)
            if f64 is None:
                search["f64"] = values if len(ys) == r else values + ys[r:]
            else:
                combined = values + ys[r:]
                search["f64"] = [combined[j] for j in f64]
            return search

        return decode


@dataclass
class _Task:
    """One piece of work the policy hands out: a module run over a box, or a polish of the best point.

    ``evaluations`` is exactly what it may spend (a run's particles times its
    iterations plus one); ``before`` and ``point`` are the best value and
    point when it was proposed, and whoever carries it out sets
    ``improved`` and ``found``, and for a local run ``archive``: each value
    with the module's point (its ``f64`` list alone under a rotation).
    """

    kind: str  # "global", "block", "local", "first local" (around x0), "polish", "combined" (see _keep_apart),
    # "walk" (generations of the evolution strategy), "scan" (a block's integers, value by value)
    evaluations: int
    settings: Settings | None  # of a module run
    bounds: dict[str, Any]
    before: Any = None
    point: Point | None = None
    improved: bool = False
    found: Point | None = None  # the best point it found, when it improved
    rotation: _Rotation | None = None  # a local run under a rotation
    centre: list[float] = field(default_factory=list)  # of a local run's box, in search values
    matrix: list[list[float]] = field(default_factory=list)  # the frame it was proposed in (local runs)
    archive: list[tuple[Any, Any]] = field(default_factory=list)
    exhausted: bool = False  # a polish that ended on its share of evaluations, not where it converged
    walk: dict[str, Any] = field(default_factory=dict)  # a walk's state, before it and after it
    resets: int = 0  # of the frame, when a walk was proposed
    vectors: list[list[float]] = field(default_factory=list)  # a scan's points (coordinates, the rest as point's)
    wide_from: int | None = None  # a wide walk: the evaluations spent when it was proposed


def optimize(
    f: Callable[..., V],
    budget: int,
    *,
    maximize: bool = False,
    x0: Point | None = None,
    nan: Literal["worst", "raise"] = "worst",
    polish: bool | None = None,
    target: Any = None,
    max_time: float | None = None,
    patience: int | None = None,
    tolerance: float = TOLERANCE,
    progress: bool | ProgressBar = False,
    record: RecordTarget | None = None,
    checkpoint: str | os.PathLike[str] | None = None,
    workers: int | None = None,
    executor: Submitter | None = None,
    distribute: Distribute = "auto",
    tuning: Tuning = TUNING,
    **bounds: Unpack[Bounds],
) -> Result[V]:
    """Minimise ``f(**point)`` (maximise with ``maximize=True``) in at most ``budget`` evaluations.

    ``bounds`` are ``PSO.min``'s keywords (``f64_min=[...]``, ``f64_max=[...]``,
    ``i64_min=...``, ...). Integers reach ``f`` as ints within ``[min, max]``,
    both ends included. No part of the strategy, the polish included, ever
    calls ``f`` more than ``budget`` times.

    - ``x0``: a point as ``PSO.min`` returns it; it is evaluated first and the
      first local run searches around it.
    - ``nan="worst"``: a NaN value counts as worse than any other (it is
      never the best unless nothing else was seen); ``nan="raise"`` ends the
      search with :class:`RunFailed` whose cause is a ``ValueError``.
    - ``polish``: L-BFGS-B from scipy on the real coordinates of the best
      point (default: when scipy is installed, ``pip install kavell[polish]``;
      ``True`` without scipy raises ``ModuleNotFoundError`` before any call).
    - ``target``, ``max_time``, ``patience``, ``tolerance``, ``progress`` and ``record`` are
      those of :func:`minimize`; ``checkpoint`` (a path) saves the state
      before each run with that run's evaluations counted as spent: a job
      killed and called again with the same budget, bounds and tuning goes
      on where it was, within its budget, under the stop options it is
      given then (docs/toolkit.md, "Checkpoints").
    - ``workers=N`` and/or ``executor``: evaluate on several workers
      (docs/scaling-out.md). ``executor`` is any
      ``concurrent.futures.Executor`` or a Dask ``distributed.Client``;
      ``workers`` alone makes a ``ProcessPoolExecutor(N)`` of optimize's own
      (``f`` must then be picklable), ended when optimize returns or raises.
      With an executor, ``workers`` is how many tasks run at once (by
      default its size). The policy then hands out up to that many tasks at
      once, and ``distribute`` says how they are carried out:
      ``"evaluations"``: each task is a run in a thread here whose calls of
      ``f`` go to the executor one at a time (workers need ``f`` only; a
      stop reaches every run at its next call); ``"runs"``: each task goes
      to a worker whole and comes back with its best point, history and
      count (workers need kavell, and scipy for the polish; no round trip
      per evaluation, a stop reaches them at their next evaluation, within
      0.05 s, 0.2 s on Dask).
      ``"auto"`` (the default) measures the time ``f`` takes on a worker
      and what a round trip adds to it, with two random points in each of
      ``workers`` probe runs (counted in the budget), and sends evaluations
      when ``f`` takes at least ten round trips, whole runs otherwise.
      Everything above holds on several workers: the budget, ``record``
      (numbered in the order values come back), ``checkpoint`` (each save
      counts every task under way as spent), stops, failures and Ctrl-C
      (which ends the processes of optimize's own pool; the tasks of a
      caller's executor are cancelled or, once started, waited for: one
      evaluation each). A worker that dies raises :class:`RunFailed`
      whose cause is the executor's error (``BrokenProcessPool``, Dask's
      ``KilledWorker``), or ``WorkerLost`` for a run sent whole that Dask
      started again after its worker ended.

    Returns a :class:`Result` in the user's kinds; ``stop_reason`` is
    ``None`` when the budget was spent as planned. A failure of ``f`` raises
    :class:`RunFailed` (Ctrl-C :class:`RunInterrupted`, also between calls
    of ``f``) carrying the best result so far, wherever in the strategy it
    happens.

    ``budget`` is an integer (a float with a whole value is taken too);
    ``x0`` must give every kind of the bounds as many values, each
    convertible to its kind and within its bounds (both ends included):
    ``TypeError`` or ``ValueError`` naming the kind and index otherwise,
    before any call of ``f``.
    """
    budget = count(budget, "budget")
    if budget < 1:
        raise ValueError("budget must be at least 1")
    if nan not in ("worst", "raise"):
        raise ValueError(f'nan must be "worst" or "raise", not {nan!r}')
    check_bounds(bounds)
    if x0 is not None:
        x0 = check_point(x0, bounds, "x0")
    parallel = workers is not None or executor is not None or distribute != "auto"
    if parallel:  # imported only then: the scheduler's modules cost a few tens of milliseconds
        from ._parallel import check_options, run_parallel

        parallel = check_options(workers, executor, distribute)
    space = _Space(bounds, tuning.real_integers)
    if polish is None:
        polish = _scipy_available()
    elif polish and not _scipy_available():
        # Said now, not when the polish is due halfway through the budget.
        raise ModuleNotFoundError('polish=True needs scipy: pip install scipy (or "kavell[polish]")')
    job = Job(checkpoint, {"strategy": "optimize", "budget": budget, "maximize": maximize,
                           "bounds": plain(bounds), "tuning": dataclasses.asdict(tuning)}, budget)
    tracker: Tracker[V] = Tracker(
        f,
        maximize=maximize,
        target=target,
        max_evaluations=budget,
        max_time=max_time,
        patience=patience,
        tolerance=tolerance,
        record=record,
        decode=None if space.identity else space.decode,
        nan=nan,
    )
    tracker.expect_progress(progress)  # the bar itself once the job holds its checkpoint
    strategy = _Strategy(tracker, space, budget, tuning, bool(polish))

    def restore(state: dict[str, Any]) -> None:
        saved = state["strategy"]
        if isinstance(saved, dict):
            # Saved by an earlier version, without the frame or the polish that goes on: they start afresh.
            saved = {"matrix": [], "path": [], "polish_again": False, "walk": {}, "wide_walks": 0, "wide_spent": 0,
                     "wide_due": False, **saved}
        s = strategy.state = restored(saved, _State)
        if len(s.widths) != len(space.coordinates):
            raise ValueError(f"{len(s.widths)} widths for {len(space.coordinates)} coordinates")
        r = len(strategy.rotated)
        if len(s.matrix) != r or any(len(row) != r for row in s.matrix) or len(s.path) != r:
            # Saved with numpy and resumed without it, or the other way: the frame starts again as a box.
            strategy._reset_frame()
        elif r and not usable(strategy.np, s.matrix):
            raise ValueError(f"the frame {s.matrix} is singular")
        if s.walk:
            walk = restored({"size": 0, **{key: value for key, value in s.walk.items() if key != "seen"}}, Walk)
            seen = s.walk.get("seen")
            if not isinstance(seen, list) or not all(type(v) is float for v in seen):
                raise ValueError(f"the walk's best {seen!r} is not a list of floats")
            if len(walk.mean) != r:
                s.walk = {}  # saved with numpy and resumed without it, or the other way
            elif any(len(v) != r for v in (walk.path, walk.sigma_path, *walk.covariance)) or \
                    len(walk.covariance) != r or len(seen) not in (0, r):
                raise ValueError(f"the walk {s.walk} is not one of {r} coordinates")
            elif walk.size != 0 and walk.size < 4:
                raise ValueError(f"the walk's population {walk.size} is too small")
            elif walk.size % 2:  # (its better and worse halves update C alike)
                raise ValueError(f"the walk's population {walk.size} is odd")

    # The state is saved before each run (the strategy's runs and polishes reserve their evaluations),
    # and at the end: not after each step.
    # Ctrl-C anywhere, up to the last save and the checkpoint's release, carries the result.
    try:
        with tracker.interruptible(), \
                job.running(tracker, lambda: {"strategy": dataclasses.asdict(strategy.state)}, restore) as resumed:
            tracker.show_progress(budget, progress)
            if x0 is not None and not resumed:
                tracker.reserve(1)
            if parallel:
                run_parallel(strategy, space, f, None if resumed else x0, executor, workers, distribute)
            else:
                strategy.run(None if resumed else x0)
    finally:
        job.release()
    result = tracker.final_result()
    if result.stop_reason == "evaluations":
        result.stop_reason = None  # the budget, spent as planned
    return result


def _scipy_available() -> bool:
    try:
        import scipy.optimize  # type: ignore[import-untyped, unused-ignore]  # noqa: F401
    except ImportError:
        return False
    return True


class _Strategy:
    """The policy: which run comes next, over which box, with how many evaluations."""

    def __init__(self, tracker: Tracker[Any], space: _Space, budget: int, tuning: Tuning, polish: bool) -> None:
        self.tracker = tracker
        self.space = space
        self.budget = budget
        self.tuning = tuning
        self.polish = polish and any(not c.integer for c in space.coordinates)
        self.random = random.Random()
        # The frame turns the real coordinates searched as doubles (binary32 ones keep the box: a
        # rotation would move them by less than their spacing), when numpy is there.
        self.np: Any = numpy_module() if tuning.frame else None
        rotated = space.doubles
        self.rotated = rotated if self.np is not None and len(rotated) >= 2 else []
        # Walks of the evolution strategy need the rotated coordinates to be the whole search space: on mixed
        # problems local runs, which move the integers too, did as well or better (COCO's bbob-mixint).
        self.whole = bool(self.rotated) and len(self.rotated) == len(space.coordinates) and not space.fixed
        self.learning = tuning.learning
        # Swarms sized for a large budget would spend a small one in a few iterations each.
        scale = min(1.0, math.sqrt(budget / tuning.full_swarms_from)) if tuning.full_swarms_from > 0 else 1.0
        self.particles, self.local_particles, self.block_particles = (
            max(2, round(n * scale)) for n in (tuning.particles, tuning.local_particles, tuning.block_particles))
        self.block_iterations = max(1, round(tuning.block_iterations * scale))
        self.least_local = max(1, round(tuning.least_local * scale))
        self.state = _State()
        self.resets = 0  # of the frame (see complete())
        self._reset_frame()
        self.reserved = 0  # evaluations promised to tasks under way elsewhere
        self.aside = 0  # several workers: evaluations kept for a polish due once those under way are spent
        self.workers = 1  # tasks that may be under way at once
        self.opening: list[_Task] = []  # the first global runs (not saved: they are over once a checkpoint holds them)
        # Several workers: what block runs of the sweep found apart, by coordinate, and whether it is untried.
        self.apart: dict[int, float] = {}
        self.untried = False
        # Several workers: whether a walk is under way (one at a time, each going on from the last), and
        # whether walks are carried out here, sending each generation's points together (see _parallel).
        self.walking = False
        self.batched = False
        # The points scans have tried from the best point they started from (not again while it is the best).
        self.scanned: set[tuple[float, ...]] = set()
        self.scanned_from: Point | None = None

    @property
    def left(self) -> int:
        """Evaluations not yet spent nor promised to a task under way (nor set aside for a polish about to start)."""
        return self.budget - self.tracker.evaluations - self.reserved - self.aside

    def _settings(self, evaluations: int, particles: int) -> Settings:
        cognitive, social, ratio, inertia = self.tuning.coefficients
        particles = max(1, min(particles, evaluations))
        return Settings(particles, max(0, evaluations // particles - 1), cognitive, social, ratio, inertia)

    def _task(self, kind: str, evaluations: int, particles: int, bounds: dict[str, Any]) -> _Task:
        # A run's iterations must fit the module's 64-bit count: a larger budget is spent over several runs.
        settings = self._settings(min(evaluations, self._most(until=self._polish_ahead()), LONGEST_RUN), particles)
        return _Task(kind, settings.evaluations, settings, bounds, self.tracker.best_value, self.tracker.best_point)

    def _best(self, point: Point | None = None) -> tuple[list[float], Point]:
        best = self.tracker.best_point if point is None else point
        assert best is not None
        return self.space.vector(best), self.space.rest(best)

    def run(self, x0: Point | None) -> None:
        """The whole search, one task after the other (a checkpoint saves before each: see reserve())."""
        if x0 is not None:
            try:
                evaluate(self.tracker, self.space.search_point(x0))
            except EarlyStop:
                return
            self.state.around_x0 = bool(self.space.coordinates)
        try:
            while (task := self.propose()) is not None:
                self.execute(task)
                self.complete(task)
        except EarlyStop:
            # Raised by the tracker outside a run (x0, polish) when a stop condition holds.
            pass

    def execute(self, task: _Task) -> None:
        """Carry out ``task`` here (see :func:`carry_out`)."""
        carry_out(self.tracker, self.space, task)

    def propose(self) -> _Task | None:
        """The next task, or ``None`` once the budget is spent (or promised) or a stop condition holds.

        The state moves on when a task is proposed (which runs are done, the
        sweep under way) and adapts when it completes (:meth:`complete`), so
        tasks may be proposed while others are still under way.
        """
        t, s = self.tuning, self.state
        while (self.left > 0 or self.aside > 0) and self.tracker.stop_reason is None:
            if self.left <= 0:
                # Several workers: what is left is set aside for a polish, and only it may start.
                return self._due_polish()[1]
            per_global = self._per_global()
            if s.around_x0:
                s.around_x0 = False
                return self._local("first local")
            if self.untried and (combined := self._combined()) is not None:
                return combined
            if self.workers == 1 and 0 < s.global_runs and self.tracker.best_point is not None:
                # A polish due goes before the global runs still to come: the first one polishes the
                # first global run's best, which is all a smooth problem needs.
                _, polish = self._due_polish()
                if polish is not None:
                    return polish
            # Every other run is placed around the best point, and there is none yet when the global
            # runs so far failed (in calls this job resumed from).
            if s.global_runs < self._first_globals() or not self.space.coordinates or s.global_due or \
                    self.tracker.best_point is None:
                if self.workers == 1 and s.global_runs == 0 and not s.global_due:
                    per_global = max(1, int(per_global * t.first_global))
                task = self._task("global", per_global, self.particles, self.space.bounds())
                if s.global_due:
                    s.global_due = False
                else:
                    s.global_runs += 1
                    self.opening.append(task)
                return task
            due, polish = self._due_polish()
            if polish is not None or due and self.left <= 0:
                return polish
            if s.wide_due:
                s.wide_due = False
                if (wide := self._wide_walk()) is not None:
                    return wide
            if s.blocks:
                if (block := self._block(s.blocks.pop())) is not None:
                    return block
                continue
            if not s.swept:
                s.swept = True
                order = list(range(len(self.space.coordinates)))
                self.random.shuffle(order)
                size, width = t.blocks[s.sweeps % len(t.blocks)]
                s.sweeps += 1
                if width == 0.0:
                    order = [k for k in order if self.space.coordinates[k].integer]
                    if len(order) == len(self.space.coordinates):
                        order = []
                s.blocks = [order[k:k + size] for k in range(0, len(order), size)]
                self.apart = {}
                continue
            s.swept = False
            return self._local("local")
        return None

    def _due_polish(self) -> tuple[bool, _Task | None]:
        """Whether the next polish is due, and the polish when it may start now.

        With several workers, the polish starts from the best the tasks under
        way find: until they have spent the evaluations before it, its share
        is set aside, and other tasks go on beside them without it.
        """
        due = self._next_polish()
        if due is None or due > self.tracker.evaluations + self.reserved + self.aside:
            return False, None
        cap = max(1, int(self.budget * self.tuning.polish_cap))
        self.aside = 0
        if self.tracker.evaluations < due and self.reserved:
            self.aside = min(cap, self.left)
            return True, None
        if self.left <= 0:
            return True, None  # what is left is promised to the tasks under way
        if self.state.polish_again:
            self.state.polish_again = False
        else:
            self.state.polishes += 1
        # It sends each gradient's points together: as many workers at once as coordinates, and one.
        sent = 1 + sum(not c.integer for c in self.space.coordinates)
        return True, _Task("polish", min(self._most(sent), cap), None, {}, self.tracker.best_value,
                           self.tracker.best_point)

    def complete(self, task: _Task) -> None:
        """Adapt to a finished task: the widths of local boxes, and a new global run after repeated failures."""
        t, s = self.tuning, self.state
        if task.kind in ("block", "scan"):
            self._keep_apart(task)
        if task.kind == "polish":
            self._follow(self._best(task.point)[0], frame=True)
            # One still going when its share ran out goes on at once: gradients pay on smooth problems.
            # (Not where there are walks: they follow the valley a polish crawls along.)
            s.polish_again = task.exhausted and task.improved and not self._walks()
        if task.kind == "walk":
            self.walking = False
            if task.wide_from is not None:
                s.wide_spent += self.tracker.evaluations - task.wide_from
                if task.improved:  # the walks go on from where it ended
                    s.walk, s.failures = task.walk, 0
                return
            if task.resets == self.resets:  # (after a reset, the walk's state is one forgotten)
                s.walk = task.walk
            if not task.improved:
                self._failed()
                return
            s.failures = 0
            if not task.walk:
                # It converged (came back empty): its basin is spent, however much better the point it found
                # there. A wide walk looks for another, within their share.
                self._widen()
            return
        if task.kind not in _LOCAL:
            return
        if self.rotated:
            self._learn(task)
        if task.improved:
            self._follow(self._best(task.point)[0], frame=False)
            if task.kind == "local":
                s.failures = 0
            return
        # Nothing better in this box: look closer next time, and start
        # over at the first width once the box has shrunk to nothing.
        s.widths = [w / t.contract for w in s.widths]
        ranges = self.space.ranges
        if all(w <= r * 1e-13 for w, r in zip(s.widths, ranges)) and \
                all(2 * math.sqrt(sum(v * v for v in row)) <= 1e-13 for row in s.matrix):
            self._reset_frame()
        if task.kind != "first local":
            self._failed()

    def _failed(self) -> None:
        """A local run or walk found nothing better: a wide walk while they are within their share, else after
        repeated failures a global run and local boxes afresh."""
        s = self.state
        if self._widen():
            return
        s.failures += 1
        per_global = self._per_global()
        if s.failures >= self.tuning.failures_before_global and self._spend(per_global) == per_global:
            s.failures = 0
            # The walk goes on from the best point after the global run, with the shape it has learned: an
            # ill-conditioned one takes many times the walks' patience to learn. (One that has converged
            # starts afresh anyway: see _evolve.)
            self._reset_frame(walk=False)
            s.global_due = True

    def _widen(self) -> bool:
        """Whether a wide walk is due now, as one is while wide walks are within their share (and marked so)."""
        s, t = self.state, self.tuning
        # Wide walks find the basins of multimodal problems with a global structure (f15-f19 on COCO's bbob)
        # that global runs missed; the rest of the budget goes on as it did, for the problems they do not suit.
        if self._walkable() and self.workers == 1 and t.wide_share > 0 and \
                s.wide_spent <= t.wide_share * (self.tracker.evaluations - s.wide_spent):
            s.wide_due = True
            return True
        return False

    def _walks(self) -> bool:
        """Whether walks of the evolution strategy take the place of local runs (over the whole space)."""
        return self.tuning.evolution and self.whole

    def _walkable(self) -> bool:
        """Whether a walk may start now: there are walks, and the best value is a finite real (their ranking)."""
        return self._walks() and _finite_real(self.tracker.best_value) is not None

    def ready(self, in_flight: list[_Task]) -> bool:
        """Whether :meth:`propose` may hand out a task while ``in_flight`` are under way (several workers).

        The first global runs go out together, as many as there are workers
        (and at least ``Tuning.global_runs``), sharing the global share of the
        budget. Every other task is placed around the best point, so it waits
        until none of them is under way. One worker: always (nothing is under way).
        """
        if self.state.global_runs < self._first_globals():
            return True
        self.opening = [task for task in self.opening if any(task is other for other in in_flight)]
        return not self.opening

    def _most(self, width: int = 1, until: int | None = None) -> int:
        """Evaluations one task may take: what is left, and with several workers no more than ``width`` workers' share.

        A task takes ``width`` workers from its start to its end, so one
        larger than their share of what remains (up to evaluation ``until``, a
        polish that waits for them, or the budget) would keep the search
        going alone after the others have finished theirs.
        """
        if self.workers == 1:
            return self.left
        share = -(-((self.budget if until is None else until) - self.tracker.evaluations) // self.workers)
        return min(self.left, max(1, share * min(width, self.workers)))

    def _polish_ahead(self) -> int | None:
        """Where the next polish starts, while the tasks under way have not reached it (several workers)."""
        due = self._next_polish()
        return due if due is not None and not self.aside and due > self.tracker.evaluations + self.reserved else None

    def _keep_apart(self, task: _Task) -> None:
        """The coordinates a block run improved, to be tried with the others' (several workers only).

        Block runs of a sweep under way side by side all start from the same
        point, each freeing its own coordinates, and the best point is one
        of theirs: one's improvement does not carry the others'. What each
        moved is kept for the sweep, and tried together on the best point
        (one evaluation) after each block run that improved.
        """
        if self.workers == 1 or not task.improved or task.found is None or task.point is None:
            return
        before, after = self.space.vector(task.point), self.space.vector(task.found)
        for k, (a, b) in enumerate(zip(before, after)):
            if a != b:
                self.apart[k] = b
        self.untried = True

    def _combined(self) -> _Task | None:
        """One evaluation at the best point with every coordinate block runs improved apart (see :meth:`_keep_apart`)."""
        self.untried = False
        centre, _ = self._best()
        vector = list(centre)
        for k, x in self.apart.items():
            vector[k] = x
        if vector == centre:
            return None
        return self._task("combined", 1, 1, self.space.bounds(vector, vector, self.tracker.best_point))

    def _first_globals(self) -> int:
        # Walks go on from the first global run's best: the other global runs wait for their failures.
        return max(1 if self._walks() and self.workers == 1 else self.tuning.global_runs, self.workers)

    def _per_global(self) -> int:
        t = self.tuning
        return max(1, int(self.budget * t.global_share) // max(1, t.global_runs, self.workers))

    def _next_polish(self) -> int | None:
        """The evaluation count at which the next polish starts, if one is still due."""
        if self.polish and self.state.polish_again:
            return 0
        due = self.tuning.polish_at[self.state.polishes:] if self.polish else ()
        return int(self.budget * due[0]) if due else None

    def _spend(self, evaluations: int) -> int:
        """Evaluations for a run: within the budget, and ending where the next polish starts."""
        point = self._next_polish()
        spare = self.left if point is None or self.aside else point - self.tracker.evaluations - self.reserved
        return min(evaluations, spare if spare > 0 else self.left)

    def _block(self, free: list[int]) -> _Task | None:
        """A block run of the ``free`` coordinates around the best point, or a scan of them (``None`` where
        scans from the same best point have tried every value of it)."""
        t = self.tuning
        _, width = t.blocks[(self.state.sweeps - 1) % len(t.blocks)]
        centre, _ = self._best()
        lows, highs = [], []
        for k, (x, c) in enumerate(zip(centre, self.space.coordinates)):
            if k in free or (width == 0.0 and not c.integer):
                half = max((c.high - c.low) * (width or t.follow_width), NEIGHBOURS if c.integer else 0.0) / 2
                lows.append(x - half)
                highs.append(x + half)
            else:
                # Pinned: a box one step of the kind wide, so every particle
                # starts at x and the pulls on it are zero.
                lows.append(x)
                highs.append(x)
        size = self._spend(self.block_particles * (self.block_iterations + 1))
        if width and (vectors := self._scan(centre, free, lows, highs, size)) is not None:
            if not vectors:
                return None
            return _Task("scan", len(vectors), None, {}, self.tracker.best_value, self.tracker.best_point,
                         vectors=vectors)
        return self._task("block", size, self.block_particles, self.space.bounds(lows, highs, self.tracker.best_point))

    def _scan(self, centre: list[float], free: list[int], lows: list[float], highs: list[float],
              size: int) -> list[list[float]] | None:
        """The points of a scan of the ``free`` coordinates over their box, the nearest first, leaving out those
        scans tried from the same best point; ``None`` where a block run is due instead (a real among them, or
        more values than the scan may take)."""
        coordinates = self.space.coordinates
        if not all(coordinates[k].integer and not coordinates[k].native for k in free):
            return None
        offsets = []
        for k in free:
            c, x = coordinates[k], centre[k]
            # The integers within the box and the bounds (a real-searched integer's bounds lie half a unit out).
            first, last = math.ceil(max(lows[k], c.low + 0.5)), math.floor(min(highs[k], c.high - 0.5))
            offsets.append(range(first - int(x), last - int(x) + 1))
        count = math.prod(map(len, offsets)) - 1
        if count > self.tuning.scan * size:
            return None
        if self.scanned_from is not self.tracker.best_point:
            self.scanned_from, self.scanned = self.tracker.best_point, set()
        steps = sorted((step for step in itertools.product(*offsets) if any(step)),
                       key=lambda step: (sum(map(abs, step)), self.random.random()))
        vectors = []
        for step in steps:
            vector = list(centre)
            for k, d in zip(free, step):
                vector[k] = centre[k] + d
            if tuple(vector) not in self.scanned:
                vectors.append(vector)
        # Within what is left (and a worker's share), as a run's evaluations are.
        vectors = vectors[:min(self._spend(count), self._most(until=self._polish_ahead()))]
        self.scanned.update(map(tuple, vectors))
        return vectors

    def _local(self, kind: str) -> _Task:
        """A run around the best point, in a box of the frame: turned when the frame is not near the axes.

        Or, with walks, a walk from the best point (its values must be finite reals), unless one is under way.
        """
        t, s = self.tuning, self.state
        if kind == "local" and not self.walking and self._walkable():
            # Several workers: a walk sent whole is one chain of evaluations on one worker, so no more than
            # one worker's share; one that sends each generation's points together, as many as that takes.
            width = population(len(self.rotated)) if self.batched else 1
            size = min(self._spend(max(self.least_local, int(self.budget * t.walk_share))), self._most(width))
            if size >= population(len(self.rotated)):
                return self._walk(size)
        centre, _ = self._best()
        # Integers keep at least c-1 ... c+1 within reach, however narrow the box of the reals has become
        # (pinned as well, a local run would evaluate a few points over and over).
        widths = [max(w, NEIGHBOURS) if c.integer else w for w, c in zip(s.widths, self.space.coordinates)]
        rotation = None
        if self.rotated and turns(self.np, s.matrix, t.aligned_below):
            rotation = self._rotation(centre)
        lows = [x - w / 2 for x, w in zip(centre, widths)]
        highs = [x + w / 2 for x, w in zip(centre, widths)]
        size = self._spend(max(self.least_local, int(self.budget * t.local_share)))
        # Decimals and very large integers narrow as the typical coordinate does.
        # (As recorded: the floor that keeps an integer's neighbours within reach is no narrowing.)
        relative = sorted(w / r for w, r in zip(s.widths, self.space.ranges) if r > 0)
        fraction = relative[len(relative) // 2] if relative else t.first_width
        best = self.tracker.best_point
        assert best is not None
        bounds = self.space.bounds(lows, highs, best, fraction, None if rotation is None else self.rotated)
        task = self._task(kind, size, self.local_particles, bounds)
        task.rotation, task.centre = rotation, centre
        task.matrix = [list(row) for row in s.matrix]
        return task

    def _walk(self, evaluations: int) -> _Task:
        """A walk of the evolution strategy, the last one's state going on (the first spreads as the frame)."""
        s = self.state
        if not s.walk:
            centre, _ = self._best()
            mean = [centre[k] / self.space.ranges[k] for k in self.rotated]
            spread = [[v / math.sqrt(3.0) for v in row] for row in s.matrix]  # the spread of a box's points
            s.walk = {**dataclasses.asdict(fresh(mean, spread)), "seen": []}
        task = _Task("walk", evaluations, None, {}, self.tracker.best_value, self.tracker.best_point)
        task.walk, task.resets = dict(s.walk), self.resets
        self.walking = True  # until it completes
        return task

    def _wide_walk(self) -> _Task | None:
        """A walk from a point drawn uniformly within the bounds, its population twice the last one's (none where
        what is left before the next polish holds fewer than three of its generations)."""
        s, n = self.state, len(self.rotated)
        # (A generation's points are held at once: the doubling stops at 2**WIDEST times a walk's population.)
        size = population(n) * 2 ** min(max(s.wide_walks, 0) + 1, WIDEST)
        evaluations = self._spend(self.left)
        if evaluations < 3 * size:
            return None
        s.wide_walks += 1
        coordinates, ranges = self.space.coordinates, self.space.ranges
        mean = [(coordinates[k].low + self.random.random() * ranges[k]) / ranges[k] for k in self.rotated]
        spread = [[1.0 if j == k else 0.0 for j in range(n)] for k in range(n)]
        walk = Walk(mean, self.tuning.wide_spread, spread, [0.0] * n, [0.0] * n, size)
        task = _Task("walk", evaluations, None, {}, self.tracker.best_value, self.tracker.best_point)
        # (Its "seen" is the best point, so that it starts where it was drawn.)
        task.walk, task.wide_from = {**dataclasses.asdict(walk), "seen": self._best()[0]}, self.tracker.evaluations
        self.walking = True
        return task

    def _rotation(self, centre: list[float]) -> _Rotation:
        space, rotated = self.space, self.rotated
        position = {k: j for j, k in enumerate(rotated)}
        # The module's f64 list is (rotated values..., the other f64 search coordinates in order).
        rest = [k for k, c in enumerate(space.coordinates) if k not in position and c.search_kind == "f64"]
        combined = {k: j for j, k in enumerate(rotated + rest)}
        f64 = [combined[k] for k, c in enumerate(space.coordinates) if c.search_kind == "f64"]
        return _Rotation(rotated, [centre[k] for k in rotated], self.state.matrix, [space.ranges[k] for k in rotated],
                         [space.coordinates[k].low for k in rotated], [space.coordinates[k].high for k in rotated],
                         None if f64 == list(range(len(f64))) else f64)

    def _reset_frame(self, walk: bool = True) -> None:
        """Local boxes start over at the first width, along the axes (and, with ``walk``, walks afresh)."""
        s, t, ranges = self.state, self.tuning, self.space.ranges
        s.widths = [r * t.first_width for r in ranges]
        s.matrix = [[t.first_width / 2 if j == k else 0.0 for j in self.rotated] for k in self.rotated]
        s.path = [0.0] * len(self.rotated)
        if walk:
            s.walk = {}
            self.resets += 1

    def _learn(self, task: _Task) -> None:
        """The frame after a local run: shape from where its best points lay, size from the step its best made."""
        s, t, np = self.state, self.tuning, self.np
        r = len(self.rotated)
        values = [value for value, _ in task.archive]
        try:
            order = sorted(range(len(values)), key=values.__getitem__, reverse=self.tracker.maximize)
        except TypeError:
            order = []  # values without an order among themselves: the size alone follows the run
        if not order:
            if not task.improved:
                s.matrix = [[v / t.contract for v in row] for row in s.matrix]
            return
        chosen, weights = selected(r, order, self.learning)
        rows = self._frame_units(task, chosen)
        best: list[float] = rows[0].tolist()
        improved = task.improved
        decay = self.learning.path_decay
        norm = math.sqrt(sum(v * v for v in best))
        s.path = [(1 - decay) * p + (math.sqrt(decay * (2 - decay)) * v / norm if improved and norm > 0 else 0.0)
                  for p, v in zip(s.path, best)]
        matrix = np.asarray(task.matrix, dtype=float)
        update = matrix_update(np, rows, best, weights, s.path, self.learning)
        if update is not None:
            matrix = matrix @ update
        matrix = matrix * scale_factor(best, improved, self.learning)
        if usable(np, matrix):
            s.matrix = matrix.tolist()
        else:
            s.matrix = [[v / t.contract for v in row] for row in task.matrix]
            s.path = [0.0] * r

    def _frame_units(self, task: _Task, chosen: list[int]) -> Any:
        """The rotated coordinates of the ``chosen`` calls of a local run (best first), in the units of its frame."""
        np, r = self.np, len(self.rotated)
        points = [task.archive[k][1] for k in chosen]
        if task.rotation is not None:
            return np.asarray([ys[:r] for ys in points], dtype=float)
        # A box: every rotated coordinate is in the f64 list, at its slot there.
        at = [self.space.slots[k][1] for k in self.rotated]
        x = np.asarray([point["f64"] for point in points], dtype=float)[:, at]
        x -= np.asarray(task.centre, dtype=float)[self.rotated]
        x /= np.asarray(self.space.ranges, dtype=float)[self.rotated]
        # Through the inverse: one product, where a solve with as many right-hand sides costs twice as much.
        return x @ np.linalg.inv(np.asarray(task.matrix, dtype=float)).T

    def _follow(self, centre: list[float], frame: bool) -> None:
        """Widths in proportion to the step from ``centre`` to the best point (and the frame's size, with ``frame``)."""
        t, s = self.tuning, self.state
        after, _ = self._best()
        step = [abs(a - b) for a, b in zip(after, centre)]
        longest = max(step, default=0.0)
        s.widths = [
            # Integers keep at least c-1 ... c+1 within reach.
            min(r, max(t.step_factor * max(d, 0.2 * longest), r * 1e-15, NEIGHBOURS if c.integer else 0.0))
            for d, r, c in zip(step, self.space.ranges, self.space.coordinates)
        ]
        if frame and self.rotated and longest > 0:
            np = self.np
            units = np.linalg.solve(np.asarray(s.matrix, dtype=float),
                                    np.asarray([(after[k] - centre[k]) / self.space.ranges[k] for k in self.rotated]))
            if np.all(np.isfinite(units)):
                s.matrix = (np.asarray(s.matrix) * scale_factor(units.tolist(), True, self.learning)).tolist()


Batch = Callable[[list[Point]], list[Any]]


def carry_out(tracker: Tracker[Any], space: _Space, task: _Task, batch: Batch | None = None) -> None:
    """Carry out ``task`` on ``tracker``, noting whether it improved on the best value it was proposed with.

    The tracker's best is the one the task was proposed with, or one found
    since: here the whole search's, on a worker the task's own (which starts
    from ``task.before``). ``batch`` evaluates several search points at once
    (on several workers): the polish then sends each gradient's points together, and a walk each generation's.
    """
    if task.kind == "walk":
        _evolve(tracker, space, task, batch)
    elif task.kind == "scan":
        assert task.point is not None
        rest = space.rest(task.point)
        tracker.reserve(task.evaluations)
        points = [space.assemble(vector, rest) for vector in task.vectors]
        _outside_run(tracker, lambda: _sender(tracker, batch)(points))
    elif task.settings is None:
        _polish(tracker, space, task, batch)  # which reserves its evaluations when it runs
    else:
        tracker.reserve(task.evaluations)
        pso = task.settings.build()
        # A local run keeps its calls for the frame to learn from (when there is one to learn).
        tracker.run(_Through(pso, task) if task.kind in _LOCAL and task.matrix else pso, task.bounds)
    task.improved = tracker.best_value is not task.before
    task.found = tracker.best_point if task.improved else None


def _sender(tracker: Tracker[Any], batch: Batch | None) -> Batch:
    """What evaluates a task's points: ``batch`` (several workers), or the tracker one after the other."""
    return batch or (lambda points: [tracker(**point) for point in points])


_LOCAL = ("local", "first local")
ARCHIVE_LIMIT = 5_000  # calls of a local run its frame learns from, at most


class _Through:
    """The PSO a local run hands :meth:`Tracker.run`: the module's run, whose calls keep each value with
    the module's point in ``task.archive`` and, under a rotation, turn frame units into search points.

    The tracker still counts, keeps the best and stops the run.
    """

    def __init__(self, pso: Any, task: _Task) -> None:
        self.pso = pso
        self.task = task

    @property
    def particle_count(self) -> int:
        return int(self.pso.particle_count)

    @property
    def iteration_count(self) -> int:
        return int(self.pso.iteration_count)

    @property
    def min(self) -> Callable[..., tuple[Any, Point]]:
        return lambda objective, **bounds: self.pso.min(self._wrap(objective), **bounds)

    @property
    def max(self) -> Callable[..., tuple[Any, Point]]:
        return lambda objective, **bounds: self.pso.max(self._wrap(objective), **bounds)

    def _wrap(self, objective: Callable[..., Any]) -> Callable[..., Any]:
        task, archive = self.task, self.task.archive
        rotation = task.rotation
        # A long run keeps only its last calls, where its best points lie.
        first = max(0, task.evaluations - ARCHIVE_LIMIT)

        def later(entry: tuple[Any, Any]) -> None:
            nonlocal first
            if first:
                first -= 1
            else:
                archive.append(entry)
        append: Callable[[tuple[Any, Any]], None] = later if first else archive.append
        if rotation is None:
            def call(**point: Any) -> Any:
                value = objective(**point)
                append((value, point))
                return value
            return call
        np = numpy_module()
        if rotation.f64 is None and set(task.bounds) == {"f64_min", "f64_max"} \
                and len(task.bounds["f64_min"]) == len(rotation.rotated):
            # The common case, a run over the rotated reals alone: one keyword, no dict to copy.
            values_of = rotation.values(np)

            def call_f64(f64: list[float]) -> Any:
                value = objective(f64=values_of(f64))
                append((value, f64))
                return value
            return call_f64
        decode = rotation.decoder(np)

        def call_decoded(**point: Any) -> Any:
            value = objective(**decode(point))
            append((value, point["f64"]))
            return value
        return call_decoded


def evaluate(tracker: Tracker[Any], point: Point) -> Any:
    """One call of ``f`` outside a module run (x0, the polish); it fails as a run does."""
    return _outside_run(tracker, lambda: tracker(**point))


def _outside_run(tracker: Tracker[Any], call: Callable[[], T]) -> T:
    """What ``call`` (of ``f`` through ``tracker``, outside a module run) returns; a failure as a run's."""
    tracker.error = None
    try:
        return call()
    except EarlyStop as error:
        if tracker.error is not error:
            raise  # the tracker's: a stop condition holds
        failure = _failure_outside_run(tracker, error)  # f's own
    except BaseException as error:
        failure = _failure_outside_run(tracker, error)
    raise failure


def _polish(tracker: Tracker[Any], space: _Space, task: _Task, batch: Batch | None = None) -> None:
    """L-BFGS-B from the task's point over the real coordinates, the rest held, in ``task.evaluations`` calls at most."""
    import numpy as np
    from scipy.optimize import minimize as local_minimize  # type: ignore[import-untyped, unused-ignore]

    if _finite_real(task.before) is None or task.point is None:
        # Gradients need finite real values: tuples, NaN and infinities are never polished.
        return
    evaluations = task.evaluations
    centre, rest = space.vector(task.point), space.rest(task.point)
    tracker.reserve(evaluations)
    coordinates = space.coordinates
    real = [k for k, c in enumerate(coordinates) if not c.integer]
    start = tracker.evaluations
    sign = -1.0 if tracker.maximize else 1.0

    def one_by_one(points: list[Point]) -> list[Any]:
        # Here, not on workers: the points one after the other, up to the first that ends the polish.
        values = []
        for point in points:
            values.append(value := tracker(**point))
            if _finite_real(value) is None or tracker.stop_reason is not None:
                break
        return values

    send = one_by_one if batch is None else batch
    # Finite differences of binary32 coordinates need steps that survive rounding to binary32.
    steps = [2.0**-11 * max(1.0, abs(centre[k])) if coordinates[k].kind == "f32" else 1e-8 for k in real]
    slots = [space.slots[k] for k in real]

    def with_gradient(x: Any) -> tuple[float, Any]:
        # The value and the forward differences at x, sent together: each step forward, or backward
        # at the upper bound, as scipy takes them.
        values = x.tolist()
        if tracker.evaluations - start + len(real) + 1 > evaluations:
            task.exhausted = True
            raise _PolishDone
        if tracker.stop_reason is not None or not all(math.isfinite(v) for v in values):
            raise _PolishDone
        vector = list(centre)
        for k, v in zip(real, values):
            vector[k] = coordinates[k].settle(v)
        base = space.assemble(vector, rest)
        points, moved = [base], []
        for k, step, (key, position) in zip(real, steps, slots):
            c, at = coordinates[k], vector[k]
            shifted = c.settle(at + step if at + step <= c.high else at - step)
            moved.append(shifted - at)
            point = {name: list(given) for name, given in base.items()}  # f may write into its lists
            point[key][position] = shifted
            points.append(point)
        numbers = [_finite_real(value) for value in _outside_run(tracker, lambda: send(points))]
        finite = [sign * number for number in numbers if number is not None]
        if len(finite) < len(points) or tracker.stop_reason is not None:
            raise _PolishDone
        gradient = [(number - finite[0]) / h if h else 0.0 for number, h in zip(finite[1:], moved)]
        return finite[0], np.array(gradient)

    options: dict[str, Any] = {"maxfun": evaluations, "maxiter": evaluations, "ftol": 0.0, "gtol": 0.0}
    try:
        local_minimize(
            with_gradient,
            np.array([centre[k] for k in real]),
            method="L-BFGS-B",
            jac=True,
            bounds=[(coordinates[k].low, coordinates[k].high) for k in real],
            options=options,
        )
    except _PolishDone:
        pass


def _evolve(tracker: Tracker[Any], space: _Space, task: _Task, batch: Batch | None = None) -> None:
    """A walk: generations of the evolution strategy over the whole space (the user's f64 coordinates), until
    its evaluations are spent or no generation has bettered the walk's own best for a while. ``task.walk``
    goes in and comes back (empty once the walk has degenerated or stalled at its least spread)."""
    import numpy as np

    assert task.point is not None
    before = _finite_real(task.before)
    assert before is not None
    coordinates = space.coordinates
    assert space.identity and len(space.doubles) == len(coordinates) and not space.fixed
    seen = space.vector(task.point)
    ranges = np.asarray(space.ranges)
    lows = np.asarray([c.low for c in coordinates])
    highs = np.asarray([c.high for c in coordinates])
    saved = dict(task.walk)
    walk = Walk(**{key: value for key, value in saved.items() if key != "seen"})
    if saved["seen"] != seen:
        # The best point moved since the last walk (a polish, a block or global run): go on from there.
        walk.mean = (np.asarray(seen) / ranges).tolist()
    send = _sender(tracker, batch)
    # Seeded from the operating system: neither from nor into the interpreter's shared generator.
    generations = Generations(np, walk, np.random.default_rng())
    tracker.reserve(task.evaluations)
    sign = -1.0 if tracker.maximize else 1.0
    best, own, since = sign * before, math.inf, 0
    patience = 10 + math.ceil(30 * generations.n / generations.size)
    start = tracker.evaluations
    while tracker.evaluations - start + generations.size <= task.evaluations:
        steps, points = generations.ask()
        # Clipped to the bounds in their own units: a point is always within them, and a double.
        drawn = points * ranges
        clipped = np.minimum(np.maximum(drawn, lows), highs)
        xs = clipped.tolist()
        inside = bool((clipped == drawn).all())
        if generations.sigma > 0 and not inside:
            # The walk learns from the points evaluated, not from those drawn: beyond a bound a drawn point
            # has the value of its clipped one whatever its distance, so the mean, drifting there unopposed,
            # would leave the bounds for good (every later point clipped, the walk stuck on their face).
            steps = (clipped / ranges - generations.mean) / generations.sigma
        # Values that are not finite reals rank last.
        values = [math.inf if (number := _finite_real(value)) is None else sign * number
                  for value in _outside_run(tracker, lambda: send([{"f64": x} for x in xs]))]
        first = min(range(len(values)), key=values.__getitem__)
        if values[first] < best:
            best, seen = values[first], clipped[first].tolist()  # not the list f got: f may write into it
        if values[first] < own:
            own, since = values[first], 0
        else:
            since += 1
        adapted = generations.tell(steps, values, against=inside)
        if not adapted or since >= patience and generations.floored:
            # Degenerate, or stalled at the least spread (converged there): the next walk starts afresh.
            task.walk = {}
            return
        if since >= patience:
            break
    task.walk = {**dataclasses.asdict(generations.walk()), "seen": seen}
