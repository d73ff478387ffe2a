#include "random/strict_float.hpp"  // first: every operation here rounds on its own

#include "random/uniform_float.hpp"

#include <bit>
#include <cmath>

#include "random/uniform_errors.hpp"
#include "support/panic.hpp"

namespace kavell {
namespace {

template <class F>
using Bits = std::conditional_t<std::is_same_v<F, float>, std::uint32_t, std::uint64_t>;

// Whether the largest draw with width w stays below high.
template <class F>
bool stays_below(F w, F low, F high) noexcept {
    const F scaled = w * UniformFloat<F>::MAX_U;
    const F top = scaled + low;
    return top < high;
}

// The largest w <= width for which stays_below holds. The test is monotone
// in w (both roundings are), and for non-negative floats the order of the
// values is the order of their bit patterns, so a binary search over the
// patterns finds it in at most 64 steps, however many representable values
// lie between width and the answer ([1, 1 + 2^-52) needs about 2^52 of
// them). w = 0 always passes: low < high.
template <class F>
F adjusted_width(F width, F low, F high) noexcept {
    if (stays_below(width, low, high)) {
        return width;
    }
    Bits<F> passes = 0;
    Bits<F> fails = std::bit_cast<Bits<F>>(width);
    while (fails - passes > 1) {
        const Bits<F> middle = passes + (fails - passes) / 2;
        if (stays_below(std::bit_cast<F>(middle), low, high)) {
            passes = middle;
        } else {
            fails = middle;
        }
    }
    return std::bit_cast<F>(passes);
}

}  // namespace

template <class F>
UniformFloat<F> UniformFloat<F>::create(F low, F high) {
    if (!(low < high)) {
        panic(UNIFORM_LOW_NOT_BELOW_HIGH);
    }
    const F width = high - low;
    if (!std::isfinite(width)) {
        panic(UNIFORM_RANGE_OVERFLOW);
    }
    return UniformFloat(low, adjusted_width(width, low, high));
}

template class UniformFloat<float>;
template class UniformFloat<double>;

}  // namespace kavell
