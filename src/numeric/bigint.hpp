// Arbitrary-precision signed integers.
//
// Sign and magnitude: `limbs` holds the magnitude in 64-bit words, least
// significant first, normalised (no high zero word, so zero has no words);
// `sign` is 0 for negative, 1 for zero, 2 for positive, and is 1 exactly
// when `limbs` is empty. Copying a BigInt copies its words.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace kavell {

struct BigInt {
    static constexpr std::uint8_t NEGATIVE = 0;
    static constexpr std::uint8_t ZERO = 1;
    static constexpr std::uint8_t POSITIVE = 2;

    std::vector<std::uint64_t> limbs;
    std::uint8_t sign = ZERO;

    BigInt() = default;

    // Normalises `magnitude` (drops high zero words); the sign of a zero
    // magnitude becomes ZERO whatever `negative` says.
    static BigInt from_magnitude(bool negative, std::vector<std::uint64_t> magnitude) {
        while (!magnitude.empty() && magnitude.back() == 0) {
            magnitude.pop_back();
        }
        BigInt value;
        value.sign = magnitude.empty() ? ZERO : (negative ? NEGATIVE : POSITIVE);
        value.limbs = std::move(magnitude);
        return value;
    }
    static BigInt from_i64(std::int64_t value) {
        if (value == 0) {
            return BigInt();
        }
        const std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
        return from_magnitude(value < 0, {magnitude});
    }

    // Little-endian two's-complement bytes (any length, 0 gives zero).
    static BigInt from_signed_le_bytes(const std::uint8_t* bytes, std::size_t length);
    // The shortest little-endian two's-complement byte string of the value,
    // at least one byte (zero is the single byte 0).
    std::vector<std::uint8_t> to_signed_le_bytes() const;

    bool is_zero() const noexcept { return sign == ZERO; }
    bool is_negative() const noexcept { return sign == NEGATIVE; }
    // Number of significant bits of the magnitude (0 for zero).
    std::size_t bit_length() const noexcept {
        return limbs.empty() ? 0 : 64 * limbs.size() - static_cast<std::size_t>(__builtin_clzll(limbs.back()));
    }

    // Exact sum and difference, normalised.
    static BigInt add(const BigInt& a, const BigInt& b);
    static BigInt sub(const BigInt& a, const BigInt& b);
    // a = add(a, b) and a = sub(a, b), reusing a's words.
    static void add_assign(BigInt& a, const BigInt& b);
    static void sub_assign(BigInt& a, const BigInt& b);
    // Flips the sign of a non-zero value; the words stay.
    void negate() noexcept { sign = static_cast<std::uint8_t>(2 - sign); }

    // Numeric order: sign first, then magnitude.
    static std::strong_ordering compare(const BigInt& a, const BigInt& b) noexcept;
    friend bool operator==(const BigInt& a, const BigInt& b) noexcept {
        return a.sign == b.sign && a.limbs == b.limbs;
    }

    // Truncates the magnitude to its top 64 bits, then rounds to binary64.
    static double to_double(const BigInt& value) noexcept;
    // Truncates toward zero; empty for NaN and infinities.
    static std::optional<BigInt> from_double(double value);
    // target = *from_double(value) in target's own words; false, leaving
    // target as it was, where from_double is empty.
    static bool assign_double(BigInt& target, double value);
};

}  // namespace kavell
