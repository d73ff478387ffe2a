"""Particle swarm optimisation over mixed integer, real, complex and decimal variables."""

from collections.abc import Callable, Sequence
from decimal import Decimal
from typing import Any, Protocol, SupportsComplex, SupportsFloat, SupportsIndex, TypeVar, final, type_check_only

__all__ = ["PSO"]

# What a value must offer to be ranked: every comparison of two objective
# values tries ==, then <, then >, so a value needs < or > (== is always there).
@type_check_only
class _SupportsLessThan(Protocol):
    def __lt__(self, other: Any, /) -> Any: ...

@type_check_only
class _SupportsGreaterThan(Protocol):
    def __gt__(self, other: Any, /) -> Any: ...

_Comparable = _SupportsLessThan | _SupportsGreaterThan

_Value = TypeVar("_Value", bound=_Comparable)
_Result = TypeVar("_Result")
_Result_co = TypeVar("_Result_co", covariant=True)

@type_check_only
class _Negatable(Protocol[_Result_co]):
    def __neg__(self) -> _Result_co: ...

@type_check_only
class _ComparableNegatable(Protocol[_Result_co]):
    # A negated value: compared during the run, negated once more at the end.
    def __lt__(self, other: Any, /) -> Any: ...
    def __neg__(self) -> _Result_co: ...

# Bound lists: any sequence (list, tuple, range, bytes, ...) but not str; sets,
# dicts, iterators and generators are refused.
_IntBounds = Sequence[SupportsIndex]
_FloatBounds = Sequence[SupportsFloat | SupportsIndex]
_ComplexBounds = Sequence[complex | SupportsComplex | SupportsFloat | SupportsIndex]
# An int within 64 bits is taken as it is; anything else by its str(), which
# must be plain decimal text: Decimal("1.50"), 0.25, "3.125", 10**20 (not
# 1e-07, Decimal("1E+2"), nan or inf).
_DecimalBounds = Sequence[Decimal | SupportsIndex | float | str]

# A point: kind key -> list of that kind's values ("i8" ... "i" give int,
# "f32"/"f64" float, "c64"/"c128" complex, "d" decimal.Decimal); only the
# kinds that take part appear.
_Point = dict[str, list[Any]]

@final
class PSO:
    """Particle swarm optimisation over a mixed vector of typed variables.

    The six settings are read-write properties. `min` and `max` call the
    objective as ``f(**point)``: one keyword argument per kind that takes
    part (``i8``, ``i16``, ``i32``, ``i64``, ``i128``, ``i``, ``f32``,
    ``f64``, ``c64``, ``c128``, ``d``), each a fresh list of that kind's values.

    Velocity update, per element and iteration (no random factors)::

        v = inertia_coefficient * v
            + cognitive_coefficient * (swarm_best - x)
            + social_coefficient * (own_best - x)

    Note: ``cognitive_coefficient`` pulls toward the swarm's best and
    ``social_coefficient`` toward the particle's own best (the runtime class
    docstring words it the other way round). A run calls the objective
    ``particle_count * (iteration_count + 1)`` times. Failures inside a run
    raise ``PanicException``, a ``BaseException``, not an ``Exception``.
    """

    def __new__(
        cls,
        particle_count: SupportsIndex = 100,
        iteration_count: SupportsIndex = 100,
        cognitive_coefficient: SupportsFloat | SupportsIndex = 1.0,
        social_coefficient: SupportsFloat | SupportsIndex = 1.0,
        max_velocity_ratio: SupportsFloat | SupportsIndex = 0.5,
        inertia_coefficient: SupportsFloat | SupportsIndex = 0.5,
    ) -> PSO:
        """Build a configuration; nothing is validated (0, negative, NaN are stored as given).

        The counts take any integer from 0 to 2**64 - 1 (bool too, not float);
        the coefficients take anything float() accepts.
        """

    @property
    def particle_count(self) -> int:
        """Number of particles (default 100). Each is evaluated once at start-up and once per iteration; 0 makes `min`/`max` fail."""
    @particle_count.setter
    def particle_count(self, value: SupportsIndex) -> None: ...
    @property
    def iteration_count(self) -> int:
        """Number of iterations after start-up (default 100); 0 returns the best random starting point."""
    @iteration_count.setter
    def iteration_count(self, value: SupportsIndex) -> None: ...
    @property
    def cognitive_coefficient(self) -> float:
        """Weight of the pull toward the SWARM's best position (default 1.0).

        Despite the class docstring's wording, this is the swarm term:
        ``cognitive_coefficient * (swarm_best - x)`` is added to the velocity.
        """
    @cognitive_coefficient.setter
    def cognitive_coefficient(self, value: SupportsFloat | SupportsIndex) -> None: ...
    @property
    def social_coefficient(self) -> float:
        """Weight of the pull toward the PARTICLE's own best position (default 1.0).

        Despite the class docstring's wording, this is the own-best term:
        ``social_coefficient * (own_best - x)`` is added to the velocity.
        """
    @social_coefficient.setter
    def social_coefficient(self, value: SupportsFloat | SupportsIndex) -> None: ...
    @property
    def max_velocity_ratio(self) -> float:
        """Velocity limit as a fraction of each element's bound span (default 0.5).

        Limits the velocity carried into the next iteration, element by
        element, to ``±max_velocity_ratio * (max - min)``; complex elements
        are never limited.
        """
    @max_velocity_ratio.setter
    def max_velocity_ratio(self, value: SupportsFloat | SupportsIndex) -> None: ...
    @property
    def inertia_coefficient(self) -> float:
        """Factor applied to every velocity after each iteration (default 0.5): the weight of the old velocity in the next update."""
    @inertia_coefficient.setter
    def inertia_coefficient(self, value: SupportsFloat | SupportsIndex) -> None: ...

    def min(
        self,
        f: Callable[..., _Value],
        i8_min: _IntBounds = ...,
        i8_max: _IntBounds = ...,
        i16_min: _IntBounds = ...,
        i16_max: _IntBounds = ...,
        i32_min: _IntBounds = ...,
        i32_max: _IntBounds = ...,
        i64_min: _IntBounds = ...,
        i64_max: _IntBounds = ...,
        i128_min: _IntBounds = ...,
        i128_max: _IntBounds = ...,
        i_min: _IntBounds = ...,
        i_max: _IntBounds = ...,
        f32_min: _FloatBounds = ...,
        f32_max: _FloatBounds = ...,
        f64_min: _FloatBounds = ...,
        f64_max: _FloatBounds = ...,
        c64_min: _ComplexBounds = ...,
        c64_max: _ComplexBounds = ...,
        c128_min: _ComplexBounds = ...,
        c128_max: _ComplexBounds = ...,
        d_min: _DecimalBounds = ...,
        d_max: _DecimalBounds = ...,
    ) -> tuple[_Value, _Point]:
        """Minimise ``f(**point)``; return ``(best_value, best_point)``.

        ``f`` receives one keyword per kind that takes part, each a fresh
        list: ``i8`` ... ``i128`` and ``i`` as int, ``f32``/``f64`` as float,
        ``c64``/``c128`` as complex, ``d`` as decimal.Decimal. It may return
        anything ordered by < or > (tuples make lexicographic goals) and is
        called ``particle_count * (iteration_count + 1)`` times.

        Each kind takes part with as many elements as the shorter of its two
        bound lists; a kind given only one list takes no part. Every pair must
        satisfy ``min < max`` (complex: both parts). Starting points are drawn
        from ``[min, max)`` (not seeded, not reproducible); later moves are
        clamped to ``[min, max]``, so ``max`` itself can be reached; complex
        values are never clamped. Fixed-width integers wrap on addition and
        saturate on scaling. The interpreter lock is held for the whole run.

        Raises TypeError, OverflowError or ValueError for bad arguments, and
        PanicException (a BaseException, not importable) for failures during
        the run, such as invalid bounds or ``f`` raising.
        """

    def max(
        self,
        f: Callable[..., _Negatable[_ComparableNegatable[_Result]]],
        i8_min: _IntBounds = ...,
        i8_max: _IntBounds = ...,
        i16_min: _IntBounds = ...,
        i16_max: _IntBounds = ...,
        i32_min: _IntBounds = ...,
        i32_max: _IntBounds = ...,
        i64_min: _IntBounds = ...,
        i64_max: _IntBounds = ...,
        i128_min: _IntBounds = ...,
        i128_max: _IntBounds = ...,
        i_min: _IntBounds = ...,
        i_max: _IntBounds = ...,
        f32_min: _FloatBounds = ...,
        f32_max: _FloatBounds = ...,
        f64_min: _FloatBounds = ...,
        f64_max: _FloatBounds = ...,
        c64_min: _ComplexBounds = ...,
        c64_max: _ComplexBounds = ...,
        c128_min: _ComplexBounds = ...,
        c128_max: _ComplexBounds = ...,
        d_min: _DecimalBounds = ...,
        d_max: _DecimalBounds = ...,
    ) -> tuple[_Result, _Point]:
        """Maximise ``f(**point)``; return ``(best_value, best_point)``.

        Every value is negated through its ``__neg__`` and minimised; the
        best is negated back, so the result is ``-(-value)`` (a bool result
        comes back as int). Bounds as for `min`.
        """
