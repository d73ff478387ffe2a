// The text forms of Decimal, used where decimals cross the Python boundary.
#include "numeric/decimal.hpp"

#include <algorithm>
#include <array>
#include <cstring>

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

namespace {

// "00" to "99": two digits per division by a constant.
constexpr std::array<char, 200> DIGIT_PAIRS = [] {
    std::array<char, 200> pairs{};
    for (int i = 0; i < 100; ++i) {
        pairs[2 * i] = static_cast<char>('0' + i / 10);
        pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}();

// Writes the digits of `value` leftwards from `end`, at least `width` of them
// (zeros in front); a zero value with width 0 writes nothing. Returns the
// new start.
char* write_digits_before(char* end, std::uint64_t value, int width) noexcept {
    for (; value >= 100 || width > 2; width -= 2) {
        end -= 2;
        std::memcpy(end, &DIGIT_PAIRS[2 * (value % 100)], 2);
        value /= 100;
    }
    if (value >= 10 || width == 2) {
        end -= 2;
        std::memcpy(end, &DIGIT_PAIRS[2 * value], 2);
    } else if (value != 0 || width == 1) {
        *--end = static_cast<char>('0' + value);
    }
    return end;
}

}  // namespace

std::size_t Decimal::write_text(char (&out)[TEXT_CAPACITY]) const noexcept {
    // The magnitude (below 2^96, at most 29 digits) in two 64-bit halves of
    // 19 and at most 10 digits: one 128-bit division instead of one per digit.
    constexpr std::uint64_t TEN_19 = 10'000'000'000'000'000'000u;
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    if (hi == 0) {
        const std::uint64_t m64 = (static_cast<std::uint64_t>(mid) << 32) | lo;
        high = m64 / TEN_19;
        low = m64 - high * TEN_19;
    } else {
        const UInt128 m = magnitude();
        high = static_cast<std::uint64_t>(m / TEN_19);
        low = static_cast<std::uint64_t>(m - static_cast<UInt128>(high) * TEN_19);
    }
    const std::size_t places = scale();
    // The digits, right-aligned, with zeros in front up to places + 1 so that
    // at least one digit stands before the point.
    char digits[TEXT_CAPACITY];
    char* const end = digits + TEXT_CAPACITY;
    const int minimum = static_cast<int>(places) + 1;
    char* first = nullptr;
    if (high == 0) {
        first = write_digits_before(end, low, minimum);
    } else {
        first = write_digits_before(write_digits_before(end, low, 19), high, minimum > 19 ? minimum - 19 : 0);
    }
    const std::size_t count = static_cast<std::size_t>(end - first);
    std::size_t length = 0;
    if (negative()) {
        out[length++] = '-';
    }
    std::memcpy(out + length, first, count - places);
    length += count - places;
    if (places > 0) {
        out[length++] = '.';
        std::memcpy(out + length, end - places, places);
        length += places;
    }
    return length;
}

std::string Decimal::to_text() const {
    char text[TEXT_CAPACITY];
    return std::string(text, write_text(text));
}

}  // namespace kavell
