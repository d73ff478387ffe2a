"""The six values of a ``kavell.PSO``, as a picklable record."""
from __future__ import annotations

import dataclasses
from dataclasses import dataclass

from ._tracking import Swarm


@dataclass(frozen=True)
class Settings:
    """The constructor arguments of ``kavell.PSO``, with the same defaults.

    A ``PSO`` cannot be pickled; a ``Settings`` can, so tasks sent to other
    processes or machines carry one and build their ``PSO`` there.
    Note that the optimiser applies ``cognitive_coefficient`` to the pull
    toward the swarm's best position and ``social_coefficient`` to the pull
    toward the particle's own best.
    """

    particle_count: int = 100
    iteration_count: int = 100
    cognitive_coefficient: float = 1.0
    social_coefficient: float = 1.0
    max_velocity_ratio: float = 0.5
    inertia_coefficient: float = 0.5

    @classmethod
    def of(cls, pso: Swarm) -> Settings:
        """The settings of an existing ``PSO``."""
        return cls(**{name: getattr(pso, name) for name in _FIELDS})

    def build(self) -> Swarm:
        """A new ``kavell.PSO`` with these settings."""
        import kavell  # type: ignore[import-not-found, import-untyped, unused-ignore]

        # Field by field: dataclasses.asdict deep-copies, which costs more than the PSO itself.
        pso: Swarm = kavell.PSO(
            particle_count=self.particle_count,
            iteration_count=self.iteration_count,
            cognitive_coefficient=self.cognitive_coefficient,
            social_coefficient=self.social_coefficient,
            max_velocity_ratio=self.max_velocity_ratio,
            inertia_coefficient=self.inertia_coefficient,
        )
        return pso

    @property
    def evaluations(self) -> int:
        """Objective calls of one run: ``particle_count * (iteration_count + 1)``."""
        return self.particle_count * (self.iteration_count + 1)

    def for_budget(self, evaluations: int) -> Settings:
        """The same settings with as many iterations as ``evaluations`` allow (at least none).

        A run makes one evaluation at least: below 1, one particle and no iteration.
        """
        particles = max(1, min(self.particle_count, evaluations))
        return dataclasses.replace(
            self, particle_count=particles, iteration_count=max(0, evaluations // particles - 1)
        )


_FIELDS = tuple(field.name for field in dataclasses.fields(Settings))

#: Settings found by measurement to do far better than the defaults on
#: continuous problems (see docs/choosing-settings.md).
RECOMMENDED = Settings(
    particle_count=200,
    iteration_count=49,
    cognitive_coefficient=0.8,
    social_coefficient=1.0,
    max_velocity_ratio=0.3,
    inertia_coefficient=0.9,
)
