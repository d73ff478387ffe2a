// The text forms of Decimal, used where decimals cross the Python boundary.
#include "numeric/decimal.hpp"

#include <algorithm>

namespace kavell {
namespace {

constexpr const char* EMPTY = "Invalid decimal: empty";
constexpr const char* UNKNOWN_CHARACTER = "Invalid decimal: unknown character";
constexpr const char* LEADING_SEPARATOR = "Invalid decimal: must start lead with a number";
constexpr const char* TWO_POINTS = "Invalid decimal: two decimal points";
constexpr const char* NO_DIGITS = "Invalid decimal: no digits found";
constexpr const char* TOO_MANY_DIGITS = "Invalid decimal: overflow from too many digits";
constexpr const char* ROUNDING_OVERFLOW = "Invalid decimal: overflow from mantissa after rounding";

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// (2^96 + 4) / 10: 2^96 with one digit fewer, rounded half up.
constexpr UInt128 ROUNDED_LIMIT = (Decimal::MAGNITUDE_LIMIT + 4) / 10;

}  // namespace

// Rounding looks at exactly one byte, the first that did not fit (a digit
// beyond 96 bits or beyond 28 places); whatever follows it is never read,
// not even to validate it.
std::variant<Decimal, const char*> Decimal::parse(std::string_view text) noexcept {
    if (text.empty()) {
        return EMPTY;
    }
    std::size_t i = 0;
    const bool minus = text[0] == '-';
    if (text[0] == '-' || text[0] == '+') {
        i = 1;
    }
    UInt128 magnitude = 0;
    std::uint32_t scale = 0;
    bool point = false;
    bool any_digit = false;

    for (; i < text.size(); ++i) {
        const char c = text[i];
        bool round_here = point && scale == MAX_SCALE;
        if (!round_here && is_digit(c)) {
            const UInt128 next = magnitude * 10 + static_cast<unsigned>(c - '0');
            if (next < MAGNITUDE_LIMIT) {
                magnitude = next;
                any_digit = true;
                scale += point ? 1 : 0;
                continue;
            }
            if (!point) {
                return TOO_MANY_DIGITS;
            }
            round_here = true;
        }
        if (round_here) {
            if (is_digit(c)) {
                if (c >= '5') {
                    ++magnitude;
                    if (magnitude == MAGNITUDE_LIMIT) {
                        if (scale == 0) {
                            return ROUNDING_OVERFLOW;
                        }
                        magnitude = ROUNDED_LIMIT;
                        --scale;
                    }
                }
            } else if (c != '_' && c != '.') {
                return UNKNOWN_CHARACTER;
            }
            break;
        }
        if (c == '_') {
            if (!any_digit) {
                return LEADING_SEPARATOR;
            }
        } else if (c == '.') {
            if (point) {
                return TWO_POINTS;
            }
            point = true;
        } else {
            return UNKNOWN_CHARACTER;
        }
    }
    if (!any_digit) {
        return NO_DIGITS;
    }
    // A zero never carries the sign: "-0" and "-0.00" are positive zeros.
    return from_parts(magnitude, scale, minus && magnitude != 0);
}

std::size_t Decimal::write_text(char (&out)[TEXT_CAPACITY]) const noexcept {
    // The magnitude (below 2^96, at most 29 digits) in two 64-bit halves of
    // 19 and at most 10 digits: one 128-bit division instead of one per digit.
    constexpr std::uint64_t TEN_19 = 10'000'000'000'000'000'000u;
    const UInt128 m = magnitude();
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    if (hi == 0) {
        const std::uint64_t m64 = static_cast<std::uint64_t>(m);
        high = m64 / TEN_19;
        low = m64 - high * TEN_19;
    } else {
        high = static_cast<std::uint64_t>(m / TEN_19);
        low = static_cast<std::uint64_t>(m - static_cast<UInt128>(high) * TEN_19);
    }
    char digits[TEXT_CAPACITY];  // least significant first
    std::size_t count = 0;
    if (high == 0) {
        for (; low != 0; low /= 10) {
            digits[count++] = static_cast<char>('0' + low % 10);
        }
    } else {
        for (int i = 0; i < 19; ++i, low /= 10) {
            digits[count++] = static_cast<char>('0' + low % 10);
        }
        for (std::uint64_t rest = high; rest != 0; rest /= 10) {
            digits[count++] = static_cast<char>('0' + rest % 10);
        }
    }
    const std::size_t places = scale();
    // At least one digit before the point: zeros up to places + 1.
    while (count <= places) {
        digits[count++] = '0';
    }
    std::size_t length = 0;
    if (negative()) {
        out[length++] = '-';
    }
    for (std::size_t i = count; i-- > places;) {
        out[length++] = digits[i];
    }
    if (places > 0) {
        out[length++] = '.';
        for (std::size_t i = places; i-- > 0;) {
            out[length++] = digits[i];
        }
    }
    return length;
}

std::string Decimal::to_text() const {
    char text[TEXT_CAPACITY];
    return std::string(text, write_text(text));
}

}  // namespace kavell
