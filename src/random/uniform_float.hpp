// UniformFloat and UniformComplex: floats in [low, high).
//
// A draw is fl(low + fl(width * u)), u = t * 2^-M for t the top M bits of
// one generator word (M = 23 for float, 52 for double), so u runs over the
// grid [0, 1 - 2^-M]. `width` is high - low, reduced where needed so that
// even the largest u cannot round up to high.
//
// The two roundings are part of the result: a fused multiply-add would
// round once and give different values (and could reach high). Everything
// here is therefore compiled without contraction, whatever the target
// offers; hot loops that call these functions include strict_float.hpp so
// that GCC still inlines them.
#pragma once

#include <cstdint>
#include <type_traits>

#include "random/thread_rng.hpp"
#include "vec/kinds.hpp"

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC push_options
#pragma GCC optimize("fp-contract=off")
#endif

namespace kavell {

// F is float or double.
template <class F>
class UniformFloat {
    static_assert(std::is_same_v<F, float> || std::is_same_v<F, double>);

public:
    static constexpr int FRACTION_BITS = std::is_same_v<F, float> ? 23 : 52;
    // 2^-M, the step of the u grid, and 1 - 2^-M, its largest point.
    static constexpr F STEP = std::is_same_v<F, float> ? F(0x1p-23) : F(0x1p-52);
    static constexpr F MAX_U = F(1) - STEP;

    // Panics with "Uniform::new called with `low >= high`" unless low < high
    // (so also for a NaN bound), and with "Uniform::new: range overflow"
    // when high - low is not finite.
    static UniformFloat create(F low, F high);

    F sample(ThreadRng& rng) const noexcept {
#if defined(__clang__)
#pragma clang fp contract(off)
#endif
        F u;
        if constexpr (std::is_same_v<F, float>) {
            u = static_cast<F>(rng.next_u32() >> (32 - FRACTION_BITS)) * STEP;
        } else {
            u = static_cast<F>(rng.next_u64() >> (64 - FRACTION_BITS)) * STEP;
        }
        const F scaled = width_ * u;
        return low_ + scaled;
    }

    F low() const noexcept { return low_; }
    F width() const noexcept { return width_; }

private:
    UniformFloat(F low, F width) noexcept : low_(low), width_(width) {}

    F low_;
    F width_;
};

extern template class UniformFloat<float>;
extern template class UniformFloat<double>;

// Two independent parts; the real part is built, and drawn, first.
template <class F>
class UniformComplex {
public:
    static UniformComplex create(const Complex<F>& low, const Complex<F>& high) {
        UniformFloat<F> re = UniformFloat<F>::create(low.re, high.re);
        UniformFloat<F> im = UniformFloat<F>::create(low.im, high.im);
        return UniformComplex(re, im);
    }

    Complex<F> sample(ThreadRng& rng) const noexcept {
        const F re = re_.sample(rng);
        const F im = im_.sample(rng);
        return Complex<F>{re, im};
    }

    const UniformFloat<F>& re() const noexcept { return re_; }
    const UniformFloat<F>& im() const noexcept { return im_; }

private:
    UniformComplex(UniformFloat<F> re, UniformFloat<F> im) noexcept : re_(re), im_(im) {}

    UniformFloat<F> re_;
    UniformFloat<F> im_;
};

}  // namespace kavell

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC pop_options
#endif
