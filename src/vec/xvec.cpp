#include "vec/xvec.hpp"

#include <algorithm>

#include "support/capacity.hpp"
#include "vec/kind_ops.hpp"

namespace kavell {

namespace {

template <class K>
using ElementOf = Element<K::value>;

struct Addition {
    static constexpr const char* overflow = "Addition overflowed";
    template <class T>
    static bool apply(T& x, const T& y) {
        return KindOps<T>::add(x, y);
    }
};

struct Subtraction {
    static constexpr const char* overflow = "Subtraction overflowed";
    template <class T>
    static bool apply(T& x, const T& y) {
        return KindOps<T>::sub(x, y);
    }
};

// x[i] = x[i] op y[i] for the first n elements. For the kinds that cannot
// fail, apply() is constant true, the check folds away and the loop stays a
// plain vectorisable loop.
template <class Op, class T>
void combine_prefix(std::vector<T>& x, const std::vector<T>& y, std::size_t n) {
    T* xs = x.data();
    const T* ys = y.data();
    for (std::size_t i = 0; i < n; ++i) {
        if (!Op::apply(xs[i], ys[i])) {
            panic(Op::overflow);
        }
    }
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
        combine_prefix<Op>(x, y, n);
        std::vector<ElementOf<decltype(k)>>().swap(y);
    });
    return a;
}

}  // namespace

XVec XVec::clone(const XVec& v) {
    XVec copy;
    for_each_kind([&](auto k) {
        const auto& source = v.get<decltype(k)::value>();
        auto& target = copy.get<decltype(k)::value>();
        reserve_checked(target, source.size());
        target.assign(source.begin(), source.end());
    });
    return copy;
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
        for (T& x : v.get<decltype(k)::value>()) {
            KindOps<T>::negate(x);
        }
    });
    return v;
}

XVec XVec::add(XVec a, XVec b) { return combine<Addition>(std::move(a), std::move(b)); }

XVec XVec::sub(XVec a, XVec b) { return combine<Subtraction>(std::move(a), std::move(b)); }

void XVec::add_assign(XVec& a, XVec b) {
    for_each_kind([&](auto k) {
        auto& x = a.get<decltype(k)::value>();
        const auto& y = b.get<decltype(k)::value>();
        combine_prefix<Addition>(x, y, std::min(x.size(), y.size()));
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
        const std::size_t n = values.size();
        for (std::size_t i = 0; i < n; ++i) {
            KindOps<T>::scale(xs[i], prepared);
        }
    });
}

}  // namespace kavell
