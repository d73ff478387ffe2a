// Decimal::parse on arbitrary bytes, against a reference parser written
// over exact integers; parse(to_text(x)) == x for whatever parses, and for
// any valid Decimal built from raw words.
#include <string_view>
#include <variant>

#include "oracle.hpp"

namespace {

using kavell::Decimal;

constexpr unsigned MAX_SCALE = 28;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The parse rules, read byte by byte, on an unbounded magnitude.
std::variant<Decimal, const char*> reference_parse(std::string_view text) {
    if (text.empty()) {
        return "Invalid decimal: empty";
    }
    std::size_t i = 0;
    const bool minus = text[0] == '-';
    if (text[0] == '-' || text[0] == '+') {
        i = 1;
    }
    mpz_class magnitude = 0;
    unsigned scale = 0;
    bool point = false;
    bool digits = false;
    // Rounding on the one byte `c` that no longer fits; nothing after it is read.
    auto round_on = [&](char c) -> const char* {
        if (is_digit(c)) {
            if (c >= '5') {
                magnitude += 1;
                if (magnitude == fuzz::limit96()) {
                    if (scale == 0) {
                        return "Invalid decimal: overflow from mantissa after rounding";
                    }
                    magnitude = (fuzz::limit96() + 4) / 10;
                    --scale;
                }
            }
            return nullptr;
        }
        if (c == '_' || c == '.') {
            return nullptr;
        }
        return "Invalid decimal: unknown character";
    };
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (point && scale == MAX_SCALE) {
            if (const char* error = round_on(c)) {
                return error;
            }
            break;
        }
        if (is_digit(c)) {
            const mpz_class next = magnitude * 10 + (c - '0');
            if (next < fuzz::limit96()) {
                magnitude = next;
                digits = true;
                scale += point ? 1 : 0;
                continue;
            }
            if (!point) {
                return "Invalid decimal: overflow from too many digits";
            }
            if (const char* error = round_on(c)) {
                return error;
            }
            break;
        }
        if (c == '_') {
            if (!digits) {
                return "Invalid decimal: must start lead with a number";
            }
        } else if (c == '.') {
            if (point) {
                return "Invalid decimal: two decimal points";
            }
            point = true;
        } else {
            return "Invalid decimal: unknown character";
        }
    }
    if (!digits) {
        return "Invalid decimal: no digits found";
    }
    return fuzz::make_decimal(magnitude, scale, minus && magnitude != 0);
}

// The text of magnitude / 10^scale with its sign, from the exact digits.
std::string reference_text(const Decimal& d) {
    std::string digits = fuzz::magnitude_of(d).get_str();
    if (digits == "0") {
        digits.clear();
    }
    const std::size_t places = d.scale();
    if (digits.size() < places + 1) {
        digits.insert(0, places + 1 - digits.size(), '0');
    }
    std::string out = d.negative() ? "-" : "";
    out += digits.substr(0, digits.size() - places);
    if (places > 0) {
        out += "." + digits.substr(digits.size() - places);
    }
    return out;
}

void check_round_trip(const Decimal& d) {
    const std::string text = d.to_text();
    FUZZ_CHECK(text == reference_text(d), fuzz::words(d) + " gave " + text);
    const auto again = Decimal::parse(text);
    FUZZ_CHECK(std::holds_alternative<Decimal>(again), text);
    // A zero comes back positive: the sign of "-0.00" is not kept.
    Decimal expected = d;
    if (d.is_zero()) {
        expected.flags &= ~Decimal::SIGN_BIT;
    }
    FUZZ_CHECK(std::get<Decimal>(again) == expected, text + " came back as " + fuzz::words(std::get<Decimal>(again)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Raw words first: every valid Decimal must survive the text round trip.
    if (size >= 16) {
        fuzz::Reader in(data, size);
        check_round_trip(fuzz::decimal_from(in));
    }

    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto parsed = Decimal::parse(text);
    const auto expected = reference_parse(text);
    if (const char* const* error = std::get_if<const char*>(&expected)) {
        FUZZ_CHECK(std::holds_alternative<const char*>(parsed), std::string(text) + " should fail with " + *error);
        FUZZ_CHECK(std::string_view(std::get<const char*>(parsed)) == *error,
                   std::string(text) + ": " + std::get<const char*>(parsed) + " instead of " + *error);
        return 0;
    }
    FUZZ_CHECK(std::holds_alternative<Decimal>(parsed), std::string(text) + " failed: " + std::get<const char*>(parsed));
    const Decimal value = std::get<Decimal>(parsed);
    FUZZ_CHECK(fuzz::valid(value), fuzz::words(value));
    FUZZ_CHECK(value == std::get<Decimal>(expected),
               std::string(text) + " gave " + fuzz::words(value) + " expected " + fuzz::words(std::get<Decimal>(expected)));
    check_round_trip(value);
    return 0;
}
