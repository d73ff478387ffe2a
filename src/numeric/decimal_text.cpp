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

std::string Decimal::to_text() const {
    std::string digits;
    for (UInt128 rest = magnitude(); rest != 0; rest /= 10) {
        digits.push_back(static_cast<char>('0' + static_cast<unsigned>(rest % 10)));
    }
    const std::size_t places = scale();
    if (digits.size() < places) {
        digits.append(places - digits.size(), '0');
    }
    if (digits.size() == places) {
        digits.push_back('0');
    }
    std::reverse(digits.begin(), digits.end());

    std::string text;
    text.reserve(digits.size() + 2);
    if (negative()) {
        text.push_back('-');
    }
    const std::size_t integer_digits = digits.size() - places;
    text.append(digits, 0, integer_digits);
    if (places > 0) {
        text.push_back('.');
        text.append(digits, integer_digits, places);
    }
    return text;
}

}  // namespace kavell
