// 96-bit scaled decimals.
//
// Four 32-bit words in this order: `flags` (bits 16..23 the scale 0..28,
// bit 31 the sign, everything else zero), then `hi`, `lo`, `mid`: bits
// 64..95, 0..31 and 32..63 of the magnitude. The value is
// (-1)^sign * magnitude / 10^scale. Values are not normalised: 1.0
// (magnitude 10, scale 1) and 1 (magnitude 1, scale 0) are distinct
// representations of one number, and a zero may carry the sign bit.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "numeric/int128.hpp"

namespace kavell {

struct Decimal {
    static constexpr std::uint32_t SIGN_BIT = 0x8000'0000u;
    static constexpr std::uint32_t MAX_SCALE = 28;
    static constexpr UInt128 MAGNITUDE_LIMIT = static_cast<UInt128>(1) << 96;  // exclusive

    std::uint32_t flags = 0;
    std::uint32_t hi = 0;
    std::uint32_t lo = 0;
    std::uint32_t mid = 0;

    std::uint32_t scale() const noexcept { return (flags >> 16) & 0xffu; }
    bool negative() const noexcept { return (flags & SIGN_BIT) != 0; }
    UInt128 magnitude() const noexcept {
        return (static_cast<UInt128>(hi) << 64) | (static_cast<UInt128>(mid) << 32) | lo;
    }
    bool is_zero() const noexcept { return (hi | mid | lo) == 0; }

    // `magnitude` must be below 2^96 and `scale` at most 28.
    static Decimal from_parts(UInt128 magnitude, std::uint32_t scale, bool negative) noexcept {
        Decimal d;
        d.flags = (scale << 16) | (negative ? SIGN_BIT : 0u);
        d.hi = static_cast<std::uint32_t>(magnitude >> 64);
        d.mid = static_cast<std::uint32_t>(magnitude >> 32);
        d.lo = static_cast<std::uint32_t>(magnitude);
        return d;
    }
    // An integer at scale 0, the sign bit set for negative values.
    static Decimal from_i64(std::int64_t value) noexcept {
        const std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
        return from_parts(magnitude, 0, value < 0);
    }

    // Flips the sign bit; magnitude and scale stay.
    void negate() noexcept { flags ^= SIGN_BIT; }

    // Checked arithmetic: empty when the result does not fit even at scale 0.
    static std::optional<Decimal> add(const Decimal& x, const Decimal& y) noexcept;
    static std::optional<Decimal> sub(const Decimal& x, const Decimal& y) noexcept;
    static std::optional<Decimal> mul(const Decimal& x, const Decimal& y) noexcept;
    // Empty for NaN, infinities and values too large for 96 bits.
    static std::optional<Decimal> from_double(double value) noexcept;

    // Numeric order regardless of scale (a signed zero equals zero).
    static std::strong_ordering compare(const Decimal& a, const Decimal& b) noexcept;
    // Representation equality: the four words.
    friend bool operator==(const Decimal&, const Decimal&) = default;

    // Rescales to `scale` (0..28): scaling down divides and rounds on the last
    // removed digit only; scaling up stops before the magnitude would leave
    // 96 bits, so the result's scale may fall short of `scale`.
    Decimal rescale(std::uint32_t scale) const noexcept;

    // Text forms. `parse` returns the value or the fixed error text.
    static std::variant<Decimal, const char*> parse(std::string_view text) noexcept;
    std::string to_text() const;
    // The same text written into `out` without allocating; returns its length.
    static constexpr std::size_t TEXT_CAPACITY = 32;  // "-0." and 28 digits, or "-" and 29 digits
    std::size_t write_text(char (&out)[TEXT_CAPACITY]) const noexcept;
};

}  // namespace kavell
