#include "numeric/decimal.hpp"

#include <array>
#include <bit>
#include <cmath>

namespace kavell {

namespace {

// A 192-bit unsigned intermediate: wide enough for a 96-bit magnitude
// raised by 10^28 plus another, and for the product of two magnitudes.
// Words are least significant first.
struct Wide {
    std::array<std::uint64_t, 3> w{};

    static Wide from(UInt128 v) noexcept { return Wide{{static_cast<std::uint64_t>(v), static_cast<std::uint64_t>(v >> 64), 0}}; }

    bool fits_96() const noexcept { return w[2] == 0 && (w[1] >> 32) == 0; }
    bool is_zero() const noexcept { return (w[0] | w[1] | w[2]) == 0; }
    bool is_odd() const noexcept { return (w[0] & 1) != 0; }
    UInt128 low_128() const noexcept { return (static_cast<UInt128>(w[1]) << 64) | w[0]; }

    // The caller guarantees the product stays below 2^192.
    void multiply(std::uint64_t factor) noexcept {
        UInt128 carry = 0;
        for (auto& word : w) {
            const UInt128 t = static_cast<UInt128>(word) * factor + carry;
            word = static_cast<std::uint64_t>(t);
            carry = t >> 64;
        }
    }

    std::size_t bit_length() const noexcept {
        for (std::size_t i = w.size(); i-- > 0;) {
            if (w[i] != 0) {
                return 64 * i + 64 - static_cast<std::size_t>(std::countl_zero(w[i]));
            }
        }
        return 0;
    }

    // Divides in place by a non-zero divisor and returns the remainder;
    // leading zero words are skipped.
    std::uint64_t divide(std::uint64_t divisor) noexcept {
        std::size_t top = w.size();
        while (top > 0 && w[top - 1] == 0) {
            --top;
        }
        std::uint64_t remainder = 0;
        for (std::size_t i = top; i-- > 0;) {
            const UInt128 current = (static_cast<UInt128>(remainder) << 64) | w[i];
            const std::uint64_t quotient = static_cast<std::uint64_t>(current / divisor);
            remainder = static_cast<std::uint64_t>(current) - quotient * divisor;
            w[i] = quotient;
        }
        return remainder;
    }

    // Three words spelled out: the compiler keeps the carries in flags.
    void add(const Wide& other) noexcept {
        unsigned long long sum0, sum1, sum2;
        const bool carry0 = __builtin_uaddll_overflow(w[0], other.w[0], &sum0);
        const bool carry1 = __builtin_uaddll_overflow(w[1], other.w[1], &sum1) |
                            __builtin_uaddll_overflow(sum1, carry0, &sum1);
        sum2 = w[2] + other.w[2] + carry1;
        w = {sum0, sum1, sum2};
    }

    // Requires *this >= other.
    void subtract(const Wide& other) noexcept {
        unsigned long long difference0, difference1;
        const bool borrow0 = __builtin_usubll_overflow(w[0], other.w[0], &difference0);
        const bool borrow1 = __builtin_usubll_overflow(w[1], other.w[1], &difference1) |
                             __builtin_usubll_overflow(difference1, borrow0, &difference1);
        w = {difference0, difference1, w[2] - other.w[2] - borrow1};
    }

    friend Wide operator+(Wide a, const Wide& b) noexcept {
        a.add(b);
        return a;
    }
    friend Wide operator-(Wide a, const Wide& b) noexcept {
        a.subtract(b);
        return a;
    }
    friend bool operator==(const Wide&, const Wide&) = default;
    friend std::strong_ordering operator<=>(const Wide& a, const Wide& b) noexcept {
        for (std::size_t i = a.w.size(); i-- > 0;) {
            if (a.w[i] != b.w[i]) {
                return a.w[i] <=> b.w[i];
            }
        }
        return std::strong_ordering::equal;
    }
};

// 10^0 .. 10^19, every power of ten below 2^64.
constexpr std::array<std::uint64_t, 20> POWERS_OF_TEN = [] {
    std::array<std::uint64_t, 20> powers{};
    std::uint64_t p = 1;
    for (auto& power : powers) {
        power = p;
        p *= 10;
    }
    return powers;
}();

// magnitude * 10^n; n <= 28 keeps a 96-bit magnitude below 2^190.
Wide raise(UInt128 magnitude, unsigned n) noexcept {
    Wide v = Wide::from(magnitude);
    while (n > 0) {
        const unsigned step = n < 19 ? n : 19;
        v.multiply(POWERS_OF_TEN[step]);
        n -= step;
    }
    return v;
}

// The exact product of two magnitudes below 2^96.
Wide multiply(UInt128 a, UInt128 b) noexcept {
    const std::uint64_t a0 = static_cast<std::uint64_t>(a);
    const std::uint64_t a1 = static_cast<std::uint64_t>(a >> 64);
    const std::uint64_t b0 = static_cast<std::uint64_t>(b);
    const std::uint64_t b1 = static_cast<std::uint64_t>(b >> 64);
    const UInt128 low = static_cast<UInt128>(a0) * b0;
    // a1 and b1 are below 2^32, so each cross term stays below 2^96, their
    // sum below 2^97, and the top term below 2^64.
    const UInt128 cross = static_cast<UInt128>(a0) * b1 + static_cast<UInt128>(a1) * b0;
    const UInt128 middle = (low >> 64) + static_cast<std::uint64_t>(cross);
    const UInt128 top = (middle >> 64) + (cross >> 64) + static_cast<UInt128>(a1) * b1;
    return Wide{{static_cast<std::uint64_t>(low), static_cast<std::uint64_t>(middle), static_cast<std::uint64_t>(top)}};
}

struct Reduced {
    UInt128 magnitude;
    std::uint32_t scale;
};

// 2^96 * 10^d for d = 0..28, the least magnitude that still leaves 96 bits
// after dropping d digits; from d = 29 on every magnitude below 2^192 fits.
constexpr std::size_t LIMIT_COUNT = 29;
constexpr std::array<Wide, LIMIT_COUNT> DROP_LIMITS = [] {
    std::array<Wide, LIMIT_COUNT> limits{};
    Wide v{{0, std::uint64_t{1} << 32, 0}};
    for (auto& limit : limits) {
        limit = v;
        UInt128 carry = 0;
        for (auto& word : v.w) {
            const UInt128 t = static_cast<UInt128>(word) * 10 + carry;
            word = static_cast<std::uint64_t>(t);
            carry = t >> 64;
        }
    }
    return limits;
}();

// Where a discarded part lies against half a unit of the last kept digit.
enum class Tail { BELOW_HALF, HALF, ABOVE_HALF };

Tail tail_against(std::uint64_t remainder, std::uint64_t half) noexcept {
    if (remainder == half) {
        return Tail::HALF;
    }
    return remainder < half ? Tail::BELOW_HALF : Tail::ABOVE_HALF;
}

// Divides by 10^digits (1..38) and tells where the remainder lies against
// half of 10^digits; beyond 19 digits it takes two divisions, the second of
// which decides unless its remainder is exactly half.
Tail drop_digits(Wide& magnitude, std::uint32_t digits) noexcept {
    if (digits <= 19) {
        return tail_against(magnitude.divide(POWERS_OF_TEN[digits]), 5 * POWERS_OF_TEN[digits - 1]);
    }
    const bool low_non_zero = magnitude.divide(POWERS_OF_TEN[digits - 19]) != 0;
    const Tail high = tail_against(magnitude.divide(POWERS_OF_TEN[19]), 5 * POWERS_OF_TEN[18]);
    return high == Tail::HALF && low_non_zero ? Tail::ABOVE_HALF : high;
}

// Drops the fewest decimal digits (at least `min_drop`, never below scale 0)
// that bring the magnitude, rounded half to even on the whole discarded
// part, under 2^96. Rounding only ever raises the kept digits by one, so the
// fewest digits are those whose truncation fits, or one more where the
// rounding carries into bit 96. The search for the truncation starts from a
// count the bit length proves necessary.
std::optional<Reduced> reduce(const Wide& magnitude, std::uint32_t scale, std::uint32_t min_drop) noexcept {
    if (min_drop == 0 && magnitude.fits_96()) {
        return Reduced{magnitude.low_128(), scale};
    }
    // A magnitude of n > 96 bits is at least 2^(n - 1), so the truncation
    // fits only once 10^drop > 2^(n - 97), that is drop > (n - 97) log10(2);
    // 1233 / 4096 lies just below log10(2).
    const std::size_t bits = magnitude.bit_length();
    std::uint32_t drop = bits > 96 ? static_cast<std::uint32_t>(((bits - 97) * 1233) >> 12) + 1 : 0;
    drop = drop > min_drop ? drop : min_drop;
    while (drop < LIMIT_COUNT && !(magnitude < DROP_LIMITS[drop])) {
        ++drop;
    }
    for (;; ++drop) {
        if (drop > scale) {
            return std::nullopt;
        }
        if (drop == 0) {
            return Reduced{magnitude.low_128(), scale};
        }
        Wide kept = magnitude;
        const Tail tail = drop_digits(kept, drop);
        if (tail == Tail::ABOVE_HALF || (tail == Tail::HALF && kept.is_odd())) {
            kept.add(Wide::from(1));
        }
        if (kept.fits_96()) {
            return Reduced{kept.low_128(), scale - drop};
        }
    }
}

Decimal make(const Reduced& r, bool negative) noexcept {
    return Decimal::from_parts(r.magnitude, r.scale, negative && r.magnitude != 0);
}

template <class M>
struct SignedMagnitude {
    M magnitude;
    bool negative;
};

// The exact signed sum of two signed magnitudes; an exact cancellation
// leaves a zero magnitude whose sign the caller clears.
template <class M>
SignedMagnitude<M> signed_sum(const M& a, bool a_negative, const M& b, bool b_negative) noexcept {
    if (a_negative == b_negative) {
        return {a + b, a_negative};
    }
    if (a >= b) {
        return {a - b, a_negative};
    }
    return {b - a, b_negative};
}

// 10^0 .. 10^28 and, per power, the largest magnitude that raised by it
// stays below 2^127, so that two such raised magnitudes add up within 128 bits.
constexpr std::size_t WIDE_POWER_COUNT = Decimal::MAX_SCALE + 1;
constexpr std::array<UInt128, WIDE_POWER_COUNT> WIDE_POWERS_OF_TEN = [] {
    std::array<UInt128, WIDE_POWER_COUNT> powers{};
    UInt128 p = 1;
    for (auto& power : powers) {
        power = p;
        p *= 10;
    }
    return powers;
}();
constexpr std::array<UInt128, WIDE_POWER_COUNT> RAISE_LIMITS = [] {
    std::array<UInt128, WIDE_POWER_COUNT> limits{};
    for (std::size_t i = 0; i < WIDE_POWER_COUNT; ++i) {
        limits[i] = ((static_cast<UInt128>(1) << 127) - 1) / WIDE_POWERS_OF_TEN[i];
    }
    return limits;
}();

// Whether magnitude * 10^raise (raise at most 28) stays below 2^127. Always
// true for a raise of at most nine (2^96 * 10^9 < 2^126), and for longer
// raises of short magnitudes, such as bounds of a few digits beside values
// of many places.
bool raises_narrow(UInt128 magnitude, std::uint32_t raise) noexcept { return magnitude <= RAISE_LIMITS[raise]; }

// x + y with y's sign flipped when `flip_y`: subtraction is addition of the
// negated operand, except in the zero-operand rules.
std::optional<Decimal> signed_add(const Decimal& x, const Decimal& y, bool flip_y) noexcept {
    if (x.is_zero()) {
        Decimal result = y;
        // A zero y is returned exactly as it is, sign bit included.
        if (flip_y && !y.is_zero()) {
            result.negate();
        }
        return result;
    }
    if (y.is_zero()) {
        return x;
    }
    const bool x_negative = x.negative();
    const bool y_negative = y.negative() != flip_y;
    const std::uint32_t scale = x.scale() > y.scale() ? x.scale() : y.scale();
    const std::uint32_t x_raise = scale - x.scale();
    const std::uint32_t y_raise = scale - y.scale();
    // Where both aligned magnitudes stay below 2^127 (equal scales, the
    // usual case in a run, always do), 128 bits hold the exact sum; only a
    // sum that leaves 96 bits needs rounding.
    SignedMagnitude<Wide> sum;
    const UInt128 x_magnitude = x.magnitude();
    const UInt128 y_magnitude = y.magnitude();
    if (raises_narrow(x_magnitude, x_raise) && raises_narrow(y_magnitude, y_raise)) {
        // One of the two raises is zero.
        const auto narrow =
            signed_sum<UInt128>(x_raise == 0 ? x_magnitude : x_magnitude * WIDE_POWERS_OF_TEN[x_raise], x_negative,
                                y_raise == 0 ? y_magnitude : y_magnitude * WIDE_POWERS_OF_TEN[y_raise], y_negative);
        if (narrow.magnitude < Decimal::MAGNITUDE_LIMIT) {
            return make(Reduced{narrow.magnitude, scale}, narrow.negative);
        }
        sum = {Wide::from(narrow.magnitude), narrow.negative};
    } else {
        sum = signed_sum(raise(x_magnitude, x_raise), x_negative, raise(y_magnitude, y_raise), y_negative);
    }
    const auto reduced = reduce(sum.magnitude, scale, 0);
    if (!reduced) {
        return std::nullopt;
    }
    return make(*reduced, sum.negative);
}

}  // namespace

std::optional<Decimal> Decimal::add(const Decimal& x, const Decimal& y) noexcept { return signed_add(x, y, false); }

std::optional<Decimal> Decimal::sub(const Decimal& x, const Decimal& y) noexcept { return signed_add(x, y, true); }

std::optional<Decimal> Decimal::mul(const Decimal& x, const Decimal& y) noexcept {
    if (x.is_zero() || y.is_zero()) {
        return Decimal();
    }
    const std::uint32_t scale = x.scale() + y.scale();
    const bool negative = x.negative() != y.negative();
    // Two magnitudes within 64 bits, or any magnitude and one within 32
    // bits (a coefficient such as 0.5), multiply exactly in 128 bits; when
    // that product already fits there is nothing to round.
    const std::uint32_t min_drop = scale > MAX_SCALE ? scale - MAX_SCALE : 0;
    const bool short_x = (x.hi | x.mid) == 0;
    const bool short_y = (y.hi | y.mid) == 0;
    if ((x.hi | y.hi) == 0 || short_x || short_y) {
        const UInt128 product = short_y ? x.magnitude() * y.lo
                                : short_x ? y.magnitude() * x.lo
                                          : static_cast<UInt128>(static_cast<std::uint64_t>(x.magnitude())) *
                                                static_cast<std::uint64_t>(y.magnitude());
        if (product < MAGNITUDE_LIMIT && min_drop == 0) {
            return from_parts(product, scale, negative);
        }
        const auto reduced = reduce(Wide::from(product), scale, min_drop);
        if (!reduced) {
            return std::nullopt;
        }
        return make(*reduced, negative);
    }
    const auto reduced = reduce(multiply(x.magnitude(), y.magnitude()), scale, min_drop);
    if (!reduced) {
        return std::nullopt;
    }
    return make(*reduced, negative);
}

std::strong_ordering Decimal::compare(const Decimal& a, const Decimal& b) noexcept {
    const bool a_negative = a.negative() && !a.is_zero();
    const bool b_negative = b.negative() && !b.is_zero();
    if (a_negative != b_negative) {
        return a_negative ? std::strong_ordering::less : std::strong_ordering::greater;
    }
    const std::uint32_t scale = a.scale() > b.scale() ? a.scale() : b.scale();
    const std::uint32_t a_raise = scale - a.scale();
    const std::uint32_t b_raise = scale - b.scale();
    const auto order = raises_narrow(a.magnitude(), a_raise) && raises_narrow(b.magnitude(), b_raise)
                           ? a.magnitude() * WIDE_POWERS_OF_TEN[a_raise] <=> b.magnitude() * WIDE_POWERS_OF_TEN[b_raise]
                           : raise(a.magnitude(), a_raise) <=> raise(b.magnitude(), b_raise);
    return a_negative ? 0 <=> order : order;
}

// The conversion keeps |value| = M * 10^k * 5^j with a 96-bit working
// magnitude M, trading powers of two for powers of ten one step at a time.
// Where M would leave 96 bits a low bit is dropped (or M divided by five,
// rounding down), so very long expansions lose their last digits before the
// final rounding to the precision of a binary64.
std::optional<Decimal> Decimal::from_double(double value) noexcept {
    if (!std::isfinite(value)) {
        return std::nullopt;
    }
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
    const bool negative = (bits >> 63) != 0;
    const std::uint32_t biased = static_cast<std::uint32_t>((bits >> 52) & 0x7ff);
    const std::uint64_t stored = bits & ((std::uint64_t{1} << 52) - 1);
    if (biased == 0 && stored == 0) {
        return from_parts(0, 0, negative);
    }
    constexpr UInt128 BIT_95 = static_cast<UInt128>(1) << 95;

    UInt128 m = biased == 0 ? stored : (stored | (std::uint64_t{1} << 52));
    int k = biased == 0 ? -1074 : static_cast<int>(biased) - 1075;
    int j = -k;

    for (; j > 0; --j) {
        // An odd M that five times would overflow loses its lowest bit.
        if ((m & 1) != 0 && m * 5 < MAGNITUDE_LIMIT) {
            m *= 5;
        } else {
            m >>= 1;
            ++k;
        }
    }
    for (; j < 0; ++j) {
        if ((m & BIT_95) == 0) {
            m <<= 1;
            --k;
        } else {
            m /= 5;
        }
    }
    for (; k > 0; --k) {
        m *= 10;
        if (m >= MAGNITUDE_LIMIT) {
            return std::nullopt;
        }
    }
    for (; k < -static_cast<int>(MAX_SCALE); ++k) {
        const UInt128 quotient = m / 10;
        // Too small for scale 28: the plain zero, not rounded up.
        if (quotient == 0) {
            return Decimal();
        }
        m = quotient + (m % 10 >= 5 ? 1 : 0);
    }
    constexpr UInt128 TWO_TO_52 = static_cast<UInt128>(1) << 52;
    for (; k < 0 && m >= TWO_TO_52; ++k) {
        m = m / 10 + (m % 10 >= 5 ? 1 : 0);
    }
    for (; k < 0 && m % 10 == 0; ++k) {
        m /= 10;
    }
    return from_parts(m, static_cast<std::uint32_t>(-k), negative);
}

}  // namespace kavell
