// XVec: one point of the mixed search space.
//
// Eleven independent arrays, one per kind, in kind order; each has its own
// length and any may be empty. An XVec is a value that is never copied
// implicitly: XVec::clone makes the deep copy, and operations that take an
// XVec by value reuse its storage.
#pragma once

#include <cstddef>
#include <tuple>
#include <utility>
#include <vector>

#include "vec/kinds.hpp"

namespace kavell {

class XVec {
public:
    XVec() = default;
    explicit XVec(Arrays arrays) noexcept : arrays_(std::move(arrays)) {}

    XVec(XVec&&) noexcept = default;
    XVec& operator=(XVec&&) noexcept = default;
    XVec(const XVec&) = delete;
    XVec& operator=(const XVec&) = delete;

    template <std::size_t K>
    std::vector<Element<K>>& get() noexcept {
        return std::get<K>(arrays_);
    }
    template <std::size_t K>
    const std::vector<Element<K>>& get() const noexcept {
        return std::get<K>(arrays_);
    }
    template <class T>
    std::vector<T>& of() noexcept {
        return std::get<std::vector<T>>(arrays_);
    }
    template <class T>
    const std::vector<T>& of() const noexcept {
        return std::get<std::vector<T>>(arrays_);
    }
    Arrays& arrays() noexcept { return arrays_; }
    const Arrays& arrays() const noexcept { return arrays_; }

    // Deep copy; every array's capacity equals its length.
    static XVec clone(const XVec& v);
    // The same deep copy written into `target`, reusing its storage.
    static void assign_clone(XVec& target, const XVec& source);
    // Same eleven lengths, every element the zero of its kind.
    static XVec zeros_like(const XVec& v);

    // Element-wise arithmetic, kind by kind in kind order.
    static XVec neg(XVec v);
    static XVec add(XVec a, XVec b);  // lengths: the shorter of the two per kind
    static XVec sub(XVec a, XVec b);
    // a += b over the shorter length; a keeps its lengths, b is only read.
    static void add_assign(XVec& a, const XVec& b);
    // A new vector a - b (lengths: the shorter per kind), equal in values and
    // faults to sub(clone(a), clone(b)) but without the two copies.
    static XVec difference(const XVec& a, const XVec& b);
    // The same difference written into `target`, reusing its storage.
    static void assign_difference(XVec& target, const XVec& a, const XVec& b);

    // Multiplies every element by `factor` in its kind's own arithmetic.
    static void scale(XVec& v, double factor);

    // What the element rule after a move compares with, all of the
    // particles' shape.
    struct Limits {
        const XVec& lower;
        const XVec& upper;
        const XVec& min_velocity;
        const XVec& max_velocity;
    };

    // The coefficients of one particle's step. `inertia_due` says that the
    // previous iteration's inertia (`inertia`) still has to be applied to the
    // kinds whose arithmetic cannot fail; scale_failing applied it to the others.
    struct Coefficients {
        double cognitive;
        double social;
        double inertia;
        bool inertia_due;
    };

    // The step of one particle (all five vectors of one shape): the same
    // values, and the same first failure, as
    //   [when inertia_due: velocity's non-failing kinds scaled by inertia]
    //   assign_difference(to_swarm, swarm_best, position); scale(to_swarm, cognitive);
    //   assign_difference(to_own, own_best, position); scale(to_own, social);
    //   add_assign(to_swarm, to_own); add_assign(velocity, to_swarm);
    //   add_assign(position, velocity);
    //   then the element rule: a position outside [lower, upper] is put on
    //   the bound and its velocity set to zero, else the velocity is limited
    //   to [min_velocity, max_velocity] (kinds with an order only);
    // but in one pass per element for the kinds whose arithmetic cannot
    // fail, which leave to_swarm and to_own untouched. A fault while scaling
    // notes the coefficient as cognitive_coefficient or social_coefficient.
    static void step(XVec& position, XVec& velocity, const XVec& swarm_best, const XVec& own_best,
                     const Coefficients& coefficients, const Limits& limits, XVec& to_swarm, XVec& to_own);

    // scale() of the kinds whose arithmetic can fail (BigInt, Decimal) only,
    // and whether v has elements of those kinds at all.
    static void scale_failing(XVec& v, double factor);
    static bool has_failing(const XVec& v) noexcept;

private:
    Arrays arrays_;
};

}  // namespace kavell
