// KindOps<T>: the element arithmetic of each kind.
//
// One specialisation per kind holds everything the vector operations need
// from it, so XVec's operations are each written once over for_each_kind:
//
//   zero()              the kind's zero (also the velocity reset of clamping)
//   ordered             false for the complex kinds, which are never clamped
//   less(a, b)          the clamping order (ordered kinds only)
//   negate(x)           in place
//   add(x, y), sub(x, y)  x = x + y / x - y in place; false on overflow,
//                       after which x is unspecified (only Decimal fails)
//   scale_factor(f)     the factor prepared once per kind and call
//   scale(x, factor)    x = x * factor in place; may panic
//
// The element functions are inline and branch-light so that the loops over
// the fixed-width kinds vectorise.
#pragma once

#include <cstdint>
#include <limits>
#include <type_traits>

#include "numeric/bigint.hpp"
#include "numeric/decimal.hpp"
#include "numeric/int128.hpp"
#include "support/panic.hpp"
#include "vec/kinds.hpp"

namespace kavell {

template <class T>
struct KindOps;

namespace detail {

// Bounds of a signed width; spelled out because std::numeric_limits knows
// nothing of the 128-bit type in strict mode.
template <class T, class U>
struct SignedLimits {
    static constexpr int WIDTH = 8 * static_cast<int>(sizeof(T));
    static constexpr T MAX = static_cast<T>((static_cast<U>(1) << (WIDTH - 1)) - 1);
    static constexpr T MIN = static_cast<T>(-MAX - 1);
};

template <class T>
using Widened = std::conditional_t<(sizeof(T) < 4), std::int32_t, T>;

// Float product p to a signed integer of T's width: NaN gives 0, values
// outside the range give its nearest end, everything else truncates toward
// zero. The upper test uses the largest P not above T's maximum, so for
// "i64" (P = binary64) any p > 2^63 - 1024 saturates. Written as selects
// rather than early returns so that the loops vectorise.
template <class T, class U, class P>
inline T saturate(P p) noexcept {
    using L = SignedLimits<T, U>;
    constexpr int digits = std::numeric_limits<P>::digits;
    constexpr bool max_is_exact = L::WIDTH - 1 <= digits;
    constexpr P low = static_cast<P>(L::MIN);
    constexpr P high = max_is_exact
                           ? static_cast<P>(L::MAX)
                           : static_cast<P>((static_cast<U>(1) << (L::WIDTH - 1)) - (static_cast<U>(1) << (L::WIDTH - 1 - digits)));
    P clamped = p < low ? low : p;
    clamped = clamped > high ? high : clamped;
    clamped = p == p ? clamped : P(0);
    // Narrow kinds convert through 32 bits: the same value (it is in range
    // by now), but a conversion the vectoriser knows.
    T result = static_cast<T>(static_cast<Widened<T>>(clamped));
    if constexpr (!max_is_exact) {
        result = p > high ? L::MAX : result;
    }
    return result;
}

// The fixed-width integers wrap modulo 2^width on negation, addition and
// subtraction; the work is done in the unsigned type U because signed
// overflow is undefined. Scaling happens in P ("i8" and "i16" in binary32
// with the factor rounded to binary32, the wider ones in binary64) and
// saturates.
template <class T, class U, class P>
struct WrappingInteger {
    static constexpr bool ordered = true;
    static T zero() noexcept { return 0; }
    static bool less(T a, T b) noexcept { return a < b; }

    static void negate(T& x) noexcept { x = static_cast<T>(static_cast<U>(0) - static_cast<U>(x)); }
    static bool add(T& x, T y) noexcept {
        x = static_cast<T>(static_cast<U>(x) + static_cast<U>(y));
        return true;
    }
    static bool sub(T& x, T y) noexcept {
        x = static_cast<T>(static_cast<U>(x) - static_cast<U>(y));
        return true;
    }

    using Factor = P;
    static P scale_factor(double factor) noexcept { return static_cast<P>(factor); }
    // The element is rounded to the nearest P first ("i64" and "i128" values
    // beyond 2^53 lose their low bits before the product).
    static void scale(T& x, P factor) noexcept {
        x = saturate<T, U, P>(static_cast<P>(static_cast<Widened<T>>(x)) * factor);
    }
};

// IEEE 754 in the element's own precision, no checks.
template <class F>
struct Float {
    static constexpr bool ordered = true;
    static F zero() noexcept { return F(0); }
    // Every comparison involving NaN is false.
    static bool less(F a, F b) noexcept { return a < b; }

    // Negation flips the sign bit, also of zeros and NaNs.
    static void negate(F& x) noexcept { x = -x; }
    static bool add(F& x, F y) noexcept {
        x = x + y;
        return true;
    }
    static bool sub(F& x, F y) noexcept {
        x = x - y;
        return true;
    }

    using Factor = F;
    static F scale_factor(double factor) noexcept { return static_cast<F>(factor); }
    static void scale(F& x, F factor) noexcept { x = x * factor; }
};

// Both parts alike and independently, as the float kind of the parts.
template <class F>
struct ComplexOps {
    using C = Complex<F>;
    static constexpr bool ordered = false;
    static C zero() noexcept { return C{}; }

    static void negate(C& x) noexcept {
        x.re = -x.re;
        x.im = -x.im;
    }
    static bool add(C& x, const C& y) noexcept {
        x.re = x.re + y.re;
        x.im = x.im + y.im;
        return true;
    }
    static bool sub(C& x, const C& y) noexcept {
        x.re = x.re - y.re;
        x.im = x.im - y.im;
        return true;
    }

    using Factor = F;
    static F scale_factor(double factor) noexcept { return static_cast<F>(factor); }
    static void scale(C& x, F factor) noexcept {
        x.re = x.re * factor;
        x.im = x.im * factor;
    }
};

}  // namespace detail

template <>
struct KindOps<std::int8_t> : detail::WrappingInteger<std::int8_t, std::uint8_t, float> {};
template <>
struct KindOps<std::int16_t> : detail::WrappingInteger<std::int16_t, std::uint16_t, float> {};
template <>
struct KindOps<std::int32_t> : detail::WrappingInteger<std::int32_t, std::uint32_t, double> {};
template <>
struct KindOps<std::int64_t> : detail::WrappingInteger<std::int64_t, std::uint64_t, double> {};
template <>
struct KindOps<Int128> : detail::WrappingInteger<Int128, UInt128, double> {};
template <>
struct KindOps<float> : detail::Float<float> {};
template <>
struct KindOps<double> : detail::Float<double> {};
template <>
struct KindOps<Complex64> : detail::ComplexOps<float> {};
template <>
struct KindOps<Complex128> : detail::ComplexOps<double> {};

// Exact; results reuse the storage of the element they replace.
template <>
struct KindOps<BigInt> {
    static constexpr bool ordered = true;
    static BigInt zero() { return BigInt(); }
    static bool less(const BigInt& a, const BigInt& b) noexcept { return BigInt::compare(a, b) < 0; }

    static void negate(BigInt& x) noexcept { x.negate(); }
    static bool add(BigInt& x, const BigInt& y) {
        BigInt::add_assign(x, y);
        return true;
    }
    static bool sub(BigInt& x, const BigInt& y) {
        BigInt::sub_assign(x, y);
        return true;
    }

    // The product goes through binary64: to_double truncates long
    // magnitudes, and a product that is not finite cannot come back.
    using Factor = double;
    static double scale_factor(double factor) noexcept { return factor; }
    static void scale(BigInt& x, double factor) {
        if (!BigInt::assign_double(x, BigInt::to_double(x) * factor)) {
            panic("f64 can not to BigInt");
        }
    }
};

// Checked: addition and subtraction report overflow to the caller, which
// knows which message to raise.
template <>
struct KindOps<Decimal> {
    static constexpr bool ordered = true;
    static Decimal zero() noexcept { return Decimal::from_i64(0); }
    static bool less(const Decimal& a, const Decimal& b) noexcept { return Decimal::compare(a, b) < 0; }

    static void negate(Decimal& x) noexcept { x.negate(); }
    static bool add(Decimal& x, const Decimal& y) noexcept { return assign(x, Decimal::add(x, y)); }
    static bool sub(Decimal& x, const Decimal& y) noexcept { return assign(x, Decimal::sub(x, y)); }

    // The conversion depends on the factor alone, so one conversion per call
    // fails or succeeds exactly as converting before every element would.
    using Factor = Decimal;
    static Decimal scale_factor(double factor) {
        const auto converted = Decimal::from_double(factor);
        if (!converted) {
            panic("Failed to convert to Decimal");
        }
        return *converted;
    }
    static void scale(Decimal& x, const Decimal& factor) {
        const auto product = Decimal::mul(x, factor);
        if (!product) {
            panic("Multiplication overflowed");
        }
        x = *product;
    }

private:
    static bool assign(Decimal& x, const std::optional<Decimal>& result) noexcept {
        if (!result) {
            return false;
        }
        x = *result;
        return true;
    }
};

}  // namespace kavell
