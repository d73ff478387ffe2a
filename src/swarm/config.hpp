// The six tuning parameters of a run, as the PSO object stores them.
#pragma once

#include <cstdint>

namespace kavell {

struct PsoConfig {
    std::uint64_t particle_count = 100;
    std::uint64_t iteration_count = 100;
    // Weight of the pull toward the swarm's best position.
    double cognitive_coefficient = 1.0;
    // Weight of the pull toward the particle's own best position.
    double social_coefficient = 1.0;
    // Maximum velocity as a fraction of (upper - lower).
    double max_velocity_ratio = 0.5;
    // Factor applied to every velocity after each iteration.
    double inertia_coefficient = 0.5;
};

}  // namespace kavell
