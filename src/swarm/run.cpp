#include "swarm/run.hpp"

#include "python/dict_view.hpp"
#include "python/error.hpp"
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

using Evaluation = PyWrapper (*)(PyObject*, const XVec&);

// The element rule after a move: a position outside its bounds is put on
// the bound and stops in that element; otherwise the velocity carried into
// the next iteration is limited. Complex kinds have no order and are left
// alone; a NaN float fails every test and stays as it is.
struct Limits {
    const XVec& lower;
    const XVec& upper;
    const XVec& min_velocity;
    const XVec& max_velocity;
};

void bound_elements(XVec& position, XVec& velocity, const Limits& limits) {
    for_each_kind([&](auto kind) {
        constexpr std::size_t K = decltype(kind)::value;
        using T = Element<K>;
        if constexpr (KindOps<T>::ordered) {
            auto& x = position.get<K>();
            auto& v = velocity.get<K>();
            const auto& lo = limits.lower.get<K>();
            const auto& hi = limits.upper.get<K>();
            const auto& vmin = limits.min_velocity.get<K>();
            const auto& vmax = limits.max_velocity.get<K>();
            const std::size_t n = std::min({x.size(), v.size(), lo.size(), hi.size(), vmin.size(), vmax.size()});
            for (std::size_t k = 0; k < n; ++k) {
                if (KindOps<T>::less(x[k], lo[k])) {
                    x[k] = lo[k];
                    v[k] = KindOps<T>::zero();
                } else if (KindOps<T>::less(hi[k], x[k])) {
                    x[k] = hi[k];
                    v[k] = KindOps<T>::zero();
                } else if (KindOps<T>::less(v[k], vmin[k])) {
                    v[k] = vmin[k];
                } else if (KindOps<T>::less(vmax[k], v[k])) {
                    v[k] = vmax[k];
                }
            }
        }
    });
}

// XVec::scale by one of the configuration's coefficients; a fault (a
// factor that is not finite, a decimal product too large) names it.
void scale_by(XVec& v, const char* coefficient, double factor) {
    with_panic_note([&] { XVec::scale(v, factor); },
                    [&] { return std::string("while scaling by ") + coefficient + " = " + element_text(factor); });
}

// Particles are created one at a time: each position is drawn, then
// evaluated, before the next is drawn.
std::vector<Particle> create_particles(const XVecSampler& sampler, ThreadRng& rng, std::uint64_t particle_count,
                                       PyObject* f, Evaluation evaluation) {
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

    std::vector<Particle> particles = create_particles(*sampler, *rng, config.particle_count, f.get(), evaluation);
    sampler.reset();

    const Particle& first_best = initial_best(particles);
    XVec swarm_best_position = XVec::clone(first_best.best_position);
    PyWrapper swarm_best_value = first_best.best_value;

    const Limits limits{lower, upper, min_velocity, max_velocity};
    // The two pulls are rebuilt for every particle in storage kept across
    // the whole run; both have the particle's shape, so summing the second
    // into the first gives exactly their sum.
    XVec to_swarm;
    XVec to_own;
    for (std::uint64_t iteration = 0; iteration < config.iteration_count; ++iteration) {
        for (Particle& p : particles) {
            // The cognitive coefficient weights the pull toward the swarm's
            // best, the social coefficient the pull toward the particle's own.
            XVec::assign_difference(to_swarm, swarm_best_position, p.position);
            scale_by(to_swarm, "cognitive_coefficient", config.cognitive_coefficient);
            XVec::assign_difference(to_own, p.best_position, p.position);
            scale_by(to_own, "social_coefficient", config.social_coefficient);
            XVec::add_assign(to_swarm, to_own);
            XVec::add_assign(p.velocity, to_swarm);
            XVec::add_assign(p.position, p.velocity);
            bound_elements(p.position, p.velocity, limits);

            PyWrapper value = evaluation(f.get(), p.position);
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
        for (Particle& p : particles) {
            scale_by(p.velocity, "inertia_coefficient", config.inertia_coefficient);
        }
    }

    particles.clear();
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

