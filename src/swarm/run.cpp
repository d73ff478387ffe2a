#include "swarm/run.hpp"

#include "python/dict_view.hpp"
#include "python/error.hpp"
#include "python/point_call.hpp"
#include "random/thread_rng.hpp"
#include "random/xvec_sampler.hpp"
#include "support/panic.hpp"
#include "swarm/particle.hpp"
#include "vec/kind_ops.hpp"
#include "vec/kind_text.hpp"

#include <algorithm>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace kavell {
namespace {

using Evaluation = PyWrapper (*)(PointCall&, const XVec&);

// XVec::scale (or another scaling) by one of the configuration's
// coefficients; a fault (a factor that is not finite, a decimal product too
// large) names it.
void scale_by(XVec& v, const char* coefficient, double factor, void (*scale)(XVec&, double) = XVec::scale) {
    with_panic_note([&] { scale(v, factor); },
                    [&] { return std::string("while scaling by ") + coefficient + " = " + element_text(factor); });
}

// Particles are created one at a time: each position is drawn, then
// evaluated, before the next is drawn.
std::vector<Particle> create_particles(const XVecSampler& sampler, ThreadRng& rng, std::uint64_t particle_count,
                                       PointCall& f, Evaluation evaluation) {
    std::vector<Particle> particles;
    // Room for the whole swarm up front: a count far beyond memory fails
    // here, as MemoryError, before f is ever called.
    if (particle_count > particles.max_size()) {
        throw std::bad_alloc();
    }
    particles.reserve(static_cast<std::size_t>(particle_count));
    for (std::uint64_t i = 0; i < particle_count; ++i) {
        XVec position = sampler.sample(rng);
        XVec velocity = XVec::zeros_like(position);
        XVec best_position = XVec::clone(position);
        PyWrapper value = evaluation(f, position);
        particles.push_back(Particle{std::move(position), std::move(velocity), std::move(best_position),
                                     std::move(value)});
    }
    return particles;
}

// The first particle holding the smallest value.
const Particle& initial_best(const std::vector<Particle>& particles) {
    if (particles.empty()) {
        panic("particle_count is 0!");
    }
    const Particle* best = &particles.front();
    for (std::size_t i = 1; i < particles.size(); ++i) {
        const std::optional<Ordering> order = PyWrapper::compare(best->best_value, particles[i].best_value);
        if (!order) {
            const auto index = static_cast<std::size_t>(best - particles.data());
            panic("failed to compare", {"while choosing the initial best: particle " + std::to_string(index) +
                                            " has " + short_repr(best->best_value.get()) + ", particle " +
                                            std::to_string(i) + " has " + short_repr(particles[i].best_value.get())});
        }
        if (*order == Ordering::Greater) {
            best = &particles[i];
        }
    }
    return *best;
}

RunResult run(const PsoConfig& config, Ref f, XVec lower, XVec upper, bool maximise) {
    const Evaluation evaluation = maximise ? evaluate_negated : evaluate;
    ThreadRngHandle rng = ThreadRng::current();

    // Invalid bounds fail here, before any particle exists or f is called.
    std::optional<XVecSampler> sampler = XVecSampler::create(XVec::clone(lower), XVec::clone(upper));
    XVec max_velocity = XVec::difference(upper, lower);
    scale_by(max_velocity, "max_velocity_ratio", config.max_velocity_ratio);
    XVec min_velocity = XVec::neg(XVec::clone(max_velocity));

    PointCall call(f.get());
    std::vector<Particle> particles = create_particles(*sampler, *rng, config.particle_count, call, evaluation);
    sampler.reset();

    const Particle& first_best = initial_best(particles);
    XVec swarm_best_position = XVec::clone(first_best.best_position);
    PyWrapper swarm_best_value = first_best.best_value;

    const XVec::Limits limits{lower, upper, min_velocity, max_velocity};
    // The two pulls of the kinds that can fail are rebuilt for every
    // particle in storage kept across the whole run; both have the
    // particle's shape, so summing the second into the first gives exactly
    // their sum.
    XVec to_swarm;
    XVec to_own;
    const bool inertia_can_fail = XVec::has_failing(lower);
    for (std::uint64_t iteration = 0; iteration < config.iteration_count; ++iteration) {
        // The cognitive coefficient weights the pull toward the swarm's best,
        // the social coefficient the pull toward the particle's own. The
        // inertia of the previous iteration reaches the kinds whose
        // arithmetic cannot fail in this step, which changes no value: it
        // has no effect beyond its result, and nothing reads a velocity in
        // between (the last iteration's is never read at all).
        const XVec::Coefficients coefficients{config.cognitive_coefficient, config.social_coefficient,
                                              config.inertia_coefficient, iteration != 0};
        for (Particle& p : particles) {
            XVec::step(p.position, p.velocity, swarm_best_position, p.best_position, coefficients, limits, to_swarm,
                       to_own);

            PyWrapper value = evaluation(call, p.position);
            // Only strict improvements count; an unorderable value is simply
            // not one. A new swarm best is seen at once by later particles.
            if (PyWrapper::compare(value, p.best_value) != Ordering::Less) {
                continue;
            }
            if (PyWrapper::compare(value, swarm_best_value) == Ordering::Less) {
                swarm_best_value = value;
                XVec::assign_clone(swarm_best_position, p.position);
            }
            p.best_value = std::move(value);
            XVec::assign_clone(p.best_position, p.position);
        }
        // The kinds that can fail take the inertia here, where a fault of it
        // belongs.
        if (inertia_can_fail) {
            for (Particle& p : particles) {
                scale_by(p.velocity, "inertia_coefficient", config.inertia_coefficient, XVec::scale_failing);
            }
        }
    }

    particles.clear();
    call.release_lists();
    max_velocity = XVec();
    min_velocity = XVec();
    rng = ThreadRngHandle();
    lower = XVec();
    upper = XVec();
    f = Ref();
    if (maximise) {
        swarm_best_value = PyWrapper::neg(std::move(swarm_best_value));
    }
    Ref point = to_dict(swarm_best_position);
    return RunResult{std::move(swarm_best_value), std::move(point)};
}

}  // namespace

RunResult minimize(const PsoConfig& config, Ref f, XVec lower, XVec upper) {
    return run(config, std::move(f), std::move(lower), std::move(upper), false);
}

RunResult maximize(const PsoConfig& config, Ref f, XVec lower, XVec upper) {
    return run(config, std::move(f), std::move(lower), std::move(upper), true);
}

}  // namespace kavell

