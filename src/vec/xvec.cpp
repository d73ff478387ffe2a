#include "vec/xvec.hpp"

#include <algorithm>

#include "support/capacity.hpp"
#include "vec/kind_ops.hpp"
#include "vec/kind_text.hpp"

#include <string>

namespace kavell {

namespace {

template <class K>
using ElementOf = Element<K::value>;

struct Addition {
    static constexpr const char* overflow = "Addition overflowed";
    static constexpr const char* symbol = "+";
    template <class T>
    static bool apply(T& x, const T& y) {
        return KindOps<T>::add(x, y);
    }
};

struct Subtraction {
    static constexpr const char* overflow = "Subtraction overflowed";
    static constexpr const char* symbol = "-";
    template <class T>
    static bool apply(T& x, const T& y) {
        return KindOps<T>::sub(x, y);
    }
};

// Calls body(i) for every i below n: whole blocks of 64 bytes first, whose
// fixed trip count lets the compiler use vector instructions even under the
// cheapest cost model of -O2, then blocks of 16 bytes, then the remainder
// one at a time. BigInt
// elements own memory and take the plain loop; Decimal takes the blocks
// but its checked arithmetic stays scalar either way.
template <class T, class Body>
inline void for_each_index(std::size_t n, Body&& body) {
    std::size_t i = 0;
    if constexpr (std::is_trivially_copyable_v<T> && sizeof(T) < 64) {
        constexpr std::size_t block = 64 / sizeof(T);
        for (; i + block <= n; i += block) {
            // body(i) touches index i only, of arrays that never overlap.
#pragma GCC ivdep
            for (std::size_t j = 0; j < block; ++j) {
                body(i + j);
            }
        }
    }
    // Then blocks of 16 bytes, the width of the baseline vector registers,
    // so that a short array (ten binary64 values) runs no scalar tail.
    if constexpr (std::is_trivially_copyable_v<T> && sizeof(T) < 16) {
        constexpr std::size_t block = 16 / sizeof(T);
        for (; i + block <= n; i += block) {
#pragma GCC ivdep
            for (std::size_t j = 0; j < block; ++j) {
                body(i + j);
            }
        }
    }
    for (; i < n; ++i) {
        body(i);
    }
}

// xs[i] = xs[i] op ys[i]. For the kinds that cannot fail, apply() is
// constant true and the check folds away. The operands come from distinct
// vectors and never overlap; saying so spares the vectoriser a runtime
// overlap check.
template <class Op, class T>
[[noreturn]] [[gnu::cold, gnu::noinline]] void overflow_fault(std::size_t i, const T& x, const T& y) {
    const std::string key(kind_key<T>());
    panic(Op::overflow, {"at element " + key + "[" + std::to_string(i) + "]: " + element_text(x) + " " +
                         Op::symbol + " " + element_text(y)});
}

template <class Op, class T>
void combine_elements(T* __restrict xs, const T* __restrict ys, std::size_t n) {
    for_each_index<T>(n, [=](std::size_t i) {
        if (!Op::apply(xs[i], ys[i])) {
            overflow_fault<Op>(i, xs[i], ys[i]);
        }
    });
}

// a = a op b kind by kind, each kind cut to the shorter length; b's arrays
// are released as soon as their kind is done.
template <class Op>
XVec combine(XVec a, XVec b) {
    for_each_kind([&](auto k) {
        auto& x = a.get<decltype(k)::value>();
        auto& y = b.get<decltype(k)::value>();
        const std::size_t n = std::min(x.size(), y.size());
        x.erase(x.begin() + static_cast<std::ptrdiff_t>(n), x.end());
        combine_elements<Op>(x.data(), y.data(), n);
        std::vector<ElementOf<decltype(k)>>().swap(y);
    });
    return a;
}

}  // namespace

XVec XVec::clone(const XVec& v) {
    XVec copy;
    assign_clone(copy, v);
    return copy;
}

void XVec::assign_clone(XVec& target, const XVec& source) {
    for_each_kind([&](auto k) {
        const auto& from = source.get<decltype(k)::value>();
        auto& to = target.get<decltype(k)::value>();
        reserve_checked(to, from.size());
        to.assign(from.begin(), from.end());
    });
}

XVec XVec::zeros_like(const XVec& v) {
    XVec zeros;
    for_each_kind([&](auto k) {
        using T = ElementOf<decltype(k)>;
        const std::size_t n = v.get<decltype(k)::value>().size();
        auto& target = zeros.get<decltype(k)::value>();
        reserve_checked(target, n);
        if constexpr (std::is_trivially_copyable_v<T>) {
            // Value-initialised storage: one block fill, not n constructions.
            target.resize(n);
        } else {
            target.assign(n, KindOps<T>::zero());
        }
    });
    return zeros;
}

XVec XVec::neg(XVec v) {
    for_each_kind([&](auto k) {
        using T = ElementOf<decltype(k)>;
        auto& values = v.get<decltype(k)::value>();
        T* xs = values.data();
        for_each_index<T>(values.size(), [=](std::size_t i) { KindOps<T>::negate(xs[i]); });
    });
    return v;
}

XVec XVec::add(XVec a, XVec b) { return combine<Addition>(std::move(a), std::move(b)); }

XVec XVec::sub(XVec a, XVec b) { return combine<Subtraction>(std::move(a), std::move(b)); }

XVec XVec::difference(const XVec& a, const XVec& b) {
    XVec result;
    assign_difference(result, a, b);
    return result;
}

namespace {

// BigInt scaling and Decimal arithmetic can fail; every other kind's
// arithmetic is total and has no effect beyond its result.
template <class T>
constexpr bool can_fail = std::is_same_v<T, BigInt> || std::is_same_v<T, Decimal>;

// The per-kind bodies of the in-place operations; XVec's operations run them
// for every kind, XVec::step for some.
template <std::size_t K>
void assign_difference_kind(XVec& target, const XVec& a, const XVec& b) {
    const auto& x = a.get<K>();
    const auto& y = b.get<K>();
    const std::size_t n = std::min(x.size(), y.size());
    auto& out = target.get<K>();
    reserve_checked(out, n);
    out.assign(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(n));
    combine_elements<Subtraction>(out.data(), y.data(), n);
}

template <std::size_t K>
void add_assign_kind(XVec& a, const XVec& b) {
    auto& x = a.get<K>();
    const auto& y = b.get<K>();
    combine_elements<Addition>(x.data(), y.data(), std::min(x.size(), y.size()));
}

template <std::size_t K>
void scale_kind(XVec& v, double factor) {
    using T = Element<K>;
    auto& values = v.get<K>();
    // An empty kind never prepares its factor, so an unconvertible
    // factor only fails where there is an element to scale.
    if (values.empty()) {
        return;
    }
    const typename KindOps<T>::Factor prepared = KindOps<T>::scale_factor(factor);
    T* xs = values.data();
    if constexpr (!can_fail<T>) {
        for_each_index<T>(values.size(), [=](std::size_t i) { KindOps<T>::scale(xs[i], prepared); });
    } else {
        // A failing element is named in the fault's notes.
        for (std::size_t i = 0; i < values.size(); ++i) {
            with_panic_note([&] { KindOps<T>::scale(xs[i], prepared); },
                            [&] { return "at element " + element_note(kind_key<T>(), i, xs[i]); });
        }
    }
}

// Calls f(integral_constant<K>) for the kinds whose arithmetic can fail, in kind order.
template <class F>
void for_each_failing_kind(F&& f) {
    for_each_kind([&](auto k) {
        if constexpr (can_fail<ElementOf<decltype(k)>>) {
            f(k);
        }
    });
}

// The element rule of one element, written as selects so that the loops of
// the machine-number kinds vectorise; the same outcome as the chain
//   if (x < lo) { x = lo; v = 0; } else if (hi < x) { x = hi; v = 0; }
//   else if (v < vmin) { v = vmin; } else if (vmax < v) { v = vmax; }
// (a NaN fails every test and stays as it is).
template <class T>
inline void bound_element(T& x, T& v, const T& lo, const T& hi, const T& vmin, const T& vmax) {
    using Ops = KindOps<T>;
    if constexpr (std::is_trivially_copyable_v<T>) {
        // Read once, each result a chain of plain selects: the form the
        // vectoriser if-converts.
        const T x0 = x;
        const T v0 = v;
        const bool below = Ops::less(x0, lo);
        const bool above = Ops::less(hi, x0);
        T limited = Ops::less(vmax, v0) ? vmax : v0;
        limited = Ops::less(v0, vmin) ? vmin : limited;
        limited = above ? Ops::zero() : limited;
        T placed = above ? hi : x0;
        x = below ? lo : placed;
        v = below ? Ops::zero() : limited;
    } else if (Ops::less(x, lo)) {
        x = lo;
        v = Ops::zero();
    } else if (Ops::less(hi, x)) {
        x = hi;
        v = Ops::zero();
    } else if (Ops::less(v, vmin)) {
        v = vmin;
    } else if (Ops::less(vmax, v)) {
        v = vmax;
    }
}

template <std::size_t K>
void bound_kind(XVec& position, XVec& velocity, const XVec::Limits& limits) {
    using T = Element<K>;
    if constexpr (KindOps<T>::ordered) {
        auto& xs = position.get<K>();
        auto& vs = velocity.get<K>();
        const auto& lo = limits.lower.get<K>();
        const auto& hi = limits.upper.get<K>();
        const auto& vmin = limits.min_velocity.get<K>();
        const auto& vmax = limits.max_velocity.get<K>();
        const std::size_t n = std::min({xs.size(), vs.size(), lo.size(), hi.size(), vmin.size(), vmax.size()});
        for (std::size_t i = 0; i < n; ++i) {
            bound_element(xs[i], vs[i], lo[i], hi[i], vmin[i], vmax[i]);
        }
    }
}

// One pass per element of a kind whose arithmetic cannot fail: the same
// operations on each element as the separate passes, in the same order
// (the due inertia first, the element rule last), with the two pulls kept
// in registers.
template <std::size_t K, bool INERTIA_DUE>
void step_kind(XVec& position, XVec& velocity, const XVec& swarm_best, const XVec& own_best,
               const XVec::Coefficients& c, const XVec::Limits& limits) {
    using T = Element<K>;
    using Ops = KindOps<T>;
    auto& xs = position.get<K>();
    auto& vs = velocity.get<K>();
    const auto& sbs = swarm_best.get<K>();
    const auto& pbs = own_best.get<K>();
    std::size_t n = std::min({xs.size(), vs.size(), sbs.size(), pbs.size()});
    const typename Ops::Factor inertia = Ops::scale_factor(c.inertia);
    const typename Ops::Factor to_swarm_factor = Ops::scale_factor(c.cognitive);
    const typename Ops::Factor to_own_factor = Ops::scale_factor(c.social);
    T* __restrict x = xs.data();
    T* __restrict v = vs.data();
    const T* __restrict sb = sbs.data();
    const T* __restrict pb = pbs.data();
    // Each element is read once and written once: the pointers' restrict
    // does not survive into the lambdas, so working in place would store
    // and reload between the steps.
    const auto pull = [=](T& xi, T& vi, std::size_t i) {
        if constexpr (INERTIA_DUE) {
            Ops::scale(vi, inertia);
        }
        T to_swarm = sb[i];
        Ops::sub(to_swarm, xi);
        Ops::scale(to_swarm, to_swarm_factor);
        T to_own = pb[i];
        Ops::sub(to_own, xi);
        Ops::scale(to_own, to_own_factor);
        Ops::add(to_swarm, to_own);
        Ops::add(vi, to_swarm);
        Ops::add(xi, vi);
    };
    if constexpr (Ops::ordered) {
        const auto& los = limits.lower.get<K>();
        const auto& his = limits.upper.get<K>();
        const auto& vmins = limits.min_velocity.get<K>();
        const auto& vmaxs = limits.max_velocity.get<K>();
        n = std::min({n, los.size(), his.size(), vmins.size(), vmaxs.size()});
        const T* __restrict lo = los.data();
        const T* __restrict hi = his.data();
        const T* __restrict vmin = vmins.data();
        const T* __restrict vmax = vmaxs.data();
        for_each_index<T>(n, [=](std::size_t i) {
            T xi = x[i];
            T vi = v[i];
            pull(xi, vi, i);
            bound_element(xi, vi, lo[i], hi[i], vmin[i], vmax[i]);
            x[i] = xi;
            v[i] = vi;
        });
    } else {
        for_each_index<T>(n, [=](std::size_t i) {
            T xi = x[i];
            T vi = v[i];
            pull(xi, vi, i);
            x[i] = xi;
            v[i] = vi;
        });
    }
}

}  // namespace

void XVec::assign_difference(XVec& target, const XVec& a, const XVec& b) {
    for_each_kind([&](auto k) { assign_difference_kind<decltype(k)::value>(target, a, b); });
}

void XVec::add_assign(XVec& a, const XVec& b) {
    for_each_kind([&](auto k) { add_assign_kind<decltype(k)::value>(a, b); });
}

void XVec::scale(XVec& v, double factor) {
    for_each_kind([&](auto k) { scale_kind<decltype(k)::value>(v, factor); });
}

void XVec::scale_failing(XVec& v, double factor) {
    for_each_failing_kind([&](auto k) { scale_kind<decltype(k)::value>(v, factor); });
}

bool XVec::has_failing(const XVec& v) noexcept {
    bool any = false;
    for_each_failing_kind([&](auto k) { any = any || !v.get<decltype(k)::value>().empty(); });
    return any;
}

void XVec::step(XVec& position, XVec& velocity, const XVec& swarm_best, const XVec& own_best,
                const Coefficients& coefficients, const Limits& limits, XVec& to_swarm, XVec& to_own) {
    const double cognitive = coefficients.cognitive;
    const double social = coefficients.social;
    for_each_kind([&](auto k) {
        constexpr std::size_t K = decltype(k)::value;
        if constexpr (!can_fail<Element<K>>) {
            if (position.get<K>().empty()) {
                return;
            }
            if (coefficients.inertia_due) {
                step_kind<K, true>(position, velocity, swarm_best, own_best, coefficients, limits);
            } else {
                step_kind<K, false>(position, velocity, swarm_best, own_best, coefficients, limits);
            }
        }
    });
    if (!has_failing(position)) {
        return;
    }
    // The kinds that can fail go pass by pass, each pass over all of them in
    // kind order, so that the first failure is the one the separate
    // operations meet first.
    for_each_failing_kind([&](auto k) { assign_difference_kind<decltype(k)::value>(to_swarm, swarm_best, position); });
    with_panic_note([&] { for_each_failing_kind([&](auto k) { scale_kind<decltype(k)::value>(to_swarm, cognitive); }); },
                    [&] { return "while scaling by cognitive_coefficient = " + element_text(cognitive); });
    for_each_failing_kind([&](auto k) { assign_difference_kind<decltype(k)::value>(to_own, own_best, position); });
    with_panic_note([&] { for_each_failing_kind([&](auto k) { scale_kind<decltype(k)::value>(to_own, social); }); },
                    [&] { return "while scaling by social_coefficient = " + element_text(social); });
    for_each_failing_kind([&](auto k) { add_assign_kind<decltype(k)::value>(to_swarm, to_own); });
    for_each_failing_kind([&](auto k) { add_assign_kind<decltype(k)::value>(velocity, to_swarm); });
    for_each_failing_kind([&](auto k) { add_assign_kind<decltype(k)::value>(position, velocity); });
    for_each_failing_kind([&](auto k) { bound_kind<decltype(k)::value>(position, velocity, limits); });
}

}  // namespace kavell
