// A swarm member.
#pragma once

#include "swarm/py_wrapper.hpp"
#include "vec/xvec.hpp"

namespace kavell {

// The three vectors always have the same per-kind lengths (the shape of
// the sampler set); best_value is the (for maximisation: negated) objective
// value at best_position.
struct Particle {
    XVec position;
    XVec velocity;
    XVec best_position;
    PyWrapper best_value;
};

}  // namespace kavell
