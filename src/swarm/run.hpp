// The optimisation run behind PSO.min and PSO.max.
#pragma once

#include "python/ref.hpp"
#include "swarm/config.hpp"
#include "swarm/py_wrapper.hpp"
#include "vec/xvec.hpp"

#include <utility>

namespace kavell {

struct RunResult {
    PyWrapper best_value;
    Ref best_point;  // the dict view of the best position
};

// Minimises f over [lower, upper): takes over f and the bounds; `config` is
// only read. Every failure is a fault (Panic) after which nothing of the run
// is left.
RunResult minimize(const PsoConfig& config, Ref f, XVec lower, XVec upper);
// The same run on values negated through "__neg__"; the best value is
// negated once more before it is returned.
RunResult maximize(const PsoConfig& config, Ref f, XVec lower, XVec upper);

}  // namespace kavell
