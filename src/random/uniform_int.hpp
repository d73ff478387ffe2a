// UniformInt: exactly uniform draws of a fixed-width integer in [low, high).
#pragma once

#include <cstdint>
#include <type_traits>

#include "numeric/int128.hpp"
#include "random/thread_rng.hpp"
#include "random/uniform_errors.hpp"
#include "support/panic.hpp"

namespace kavell {

namespace uniform_detail {

// The word one attempt draws: one 32-bit word for the narrow kinds, one
// 64-bit word for i64, two 64-bit words (low half first) for i128.
template <class T>
using Word = std::conditional_t<sizeof(T) <= 4, std::uint32_t, std::conditional_t<sizeof(T) == 8, std::uint64_t, UInt128>>;

template <class W>
W draw(ThreadRng& rng) noexcept {
    if constexpr (std::is_same_v<W, std::uint32_t>) {
        return rng.next_u32();
    } else if constexpr (std::is_same_v<W, std::uint64_t>) {
        return rng.next_u64();
    } else {
        const UInt128 low = rng.next_u64();
        return static_cast<UInt128>(rng.next_u64()) << 64 | low;
    }
}

// The unsigned type of T's width (the standard trait does not cover the
// 128-bit type in strict mode).
template <class T>
struct UnsignedOf {
    using type = std::make_unsigned_t<T>;
};
template <>
struct UnsignedOf<Int128> {
    using type = UInt128;
};

// The full product a * b as (high word, low word), in the word's own width.
template <class W>
struct Product {
    W high;
    W low;
};

inline Product<std::uint32_t> multiply(std::uint32_t a, std::uint32_t b) noexcept {
    const std::uint64_t p = static_cast<std::uint64_t>(a) * b;
    return {static_cast<std::uint32_t>(p >> 32), static_cast<std::uint32_t>(p)};
}

inline Product<std::uint64_t> multiply(std::uint64_t a, std::uint64_t b) noexcept {
    const UInt128 p = static_cast<UInt128>(a) * b;
    return {static_cast<std::uint64_t>(p >> 64), static_cast<std::uint64_t>(p)};
}

inline Product<UInt128> multiply(UInt128 a, UInt128 b) noexcept {
    const std::uint64_t a0 = static_cast<std::uint64_t>(a), a1 = static_cast<std::uint64_t>(a >> 64);
    const std::uint64_t b0 = static_cast<std::uint64_t>(b), b1 = static_cast<std::uint64_t>(b >> 64);
    const UInt128 p00 = static_cast<UInt128>(a0) * b0;
    const UInt128 p01 = static_cast<UInt128>(a0) * b1;
    const UInt128 p10 = static_cast<UInt128>(a1) * b0;
    const UInt128 p11 = static_cast<UInt128>(a1) * b1;
    // Below 3 * 2^64: no overflow.
    const UInt128 middle = (p00 >> 64) + static_cast<std::uint64_t>(p01) + static_cast<std::uint64_t>(p10);
    return {p11 + (p01 >> 64) + (p10 >> 64) + (middle >> 64),
            middle << 64 | static_cast<std::uint64_t>(p00)};
}

}  // namespace uniform_detail

// T is one of int8_t, int16_t, int32_t, int64_t, Int128.
template <class T>
class UniformInt {
public:
    using Unsigned = typename uniform_detail::UnsignedOf<T>::type;
    using Word = uniform_detail::Word<T>;

    static UniformInt create(T low, T high) {
        if (!(low < high)) {
            panic(UNIFORM_LOW_NOT_BELOW_HIGH);
        }
        const Word range = static_cast<Unsigned>(static_cast<Unsigned>(high) - static_cast<Unsigned>(low));
        // An attempt draws a word v, uniform over [0, 2^B), and forms the
        // 2B-bit product v * range = hi * 2^B + lo; hi, in [0, range), is the
        // offset from low. The words giving hi = k are those whose product
        // lies in [k * 2^B, (k + 1) * 2^B); the product runs over the
        // multiples of range. Accepting only lo >= threshold, where
        // threshold = 2^B mod range, keeps the products in
        // [k * 2^B + threshold, (k + 1) * 2^B), an interval of length
        // 2^B - (2^B mod range) = q * range with q = floor(2^B / range). Any
        // half-open interval of length q * range holds exactly q multiples
        // of range, so every offset k comes from exactly q accepted words:
        // the result is exactly uniform. The 2^B mod range rejected words
        // are fewer than range and, as q >= 1, at most 2^B - range, so fewer
        // than half of all words: an attempt succeeds with probability above
        // one half.
        const Word threshold = static_cast<Word>(static_cast<Word>(0) - range) % range;
        return UniformInt(low, range, threshold);
    }

    T sample(ThreadRng& rng) const noexcept {
        for (;;) {
            const auto product = uniform_detail::multiply(uniform_detail::draw<Word>(rng), range_);
            if (product.low >= threshold_) {
                return static_cast<T>(static_cast<Unsigned>(static_cast<Unsigned>(low_) + static_cast<Unsigned>(product.high)));
            }
        }
    }

    T low() const noexcept { return low_; }
    // high - low, 1 to 2^W - 1.
    Unsigned range() const noexcept { return static_cast<Unsigned>(range_); }

private:
    UniformInt(T low, Word range, Word threshold) noexcept : low_(low), range_(range), threshold_(threshold) {}

    T low_;
    Word range_;
    Word threshold_;
};

}  // namespace kavell
