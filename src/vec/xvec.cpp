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
// cheapest cost model of -O2, then the remainder one at a time. BigInt
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

void XVec::assign_difference(XVec& target, const XVec& a, const XVec& b) {
    for_each_kind([&](auto k) {
        const auto& x = a.get<decltype(k)::value>();
        const auto& y = b.get<decltype(k)::value>();
        const std::size_t n = std::min(x.size(), y.size());
        auto& out = target.get<decltype(k)::value>();
        reserve_checked(out, n);
        out.assign(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(n));
        combine_elements<Subtraction>(out.data(), y.data(), n);
    });
}

void XVec::add_assign(XVec& a, const XVec& b) {
    for_each_kind([&](auto k) {
        auto& x = a.get<decltype(k)::value>();
        const auto& y = b.get<decltype(k)::value>();
        combine_elements<Addition>(x.data(), y.data(), std::min(x.size(), y.size()));
    });
}

void XVec::scale(XVec& v, double factor) {
    for_each_kind([&](auto k) {
        using T = ElementOf<decltype(k)>;
        auto& values = v.get<decltype(k)::value>();
        // An empty kind never prepares its factor, so an unconvertible
        // factor only fails where there is an element to scale.
        if (values.empty()) {
            return;
        }
        const typename KindOps<T>::Factor prepared = KindOps<T>::scale_factor(factor);
        T* xs = values.data();
        if constexpr (std::is_trivially_copyable_v<T> && !std::is_same_v<T, Decimal>) {
            for_each_index<T>(values.size(), [=](std::size_t i) { KindOps<T>::scale(xs[i], prepared); });
        } else {
            // The kinds whose scaling can fail ("i" and "d") name the element.
            for (std::size_t i = 0; i < values.size(); ++i) {
                with_panic_note([&] { KindOps<T>::scale(xs[i], prepared); },
                                [&] { return "at element " + element_note(kind_key<T>(), i, xs[i]); });
            }
        }
    });
}

}  // namespace kavell
