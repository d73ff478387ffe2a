#include "vec/kind_text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace kavell {
namespace {

std::string unsigned_text(UInt128 magnitude) {
    std::string digits;
    do {
        digits.push_back(static_cast<char>('0' + static_cast<int>(magnitude % 10)));
        magnitude /= 10;
    } while (magnitude != 0);
    std::reverse(digits.begin(), digits.end());
    return digits;
}

template <class F>
std::string chars(F value, std::chars_format format) {
    char buffer[400];  // the longest fixed form of a double is 327 characters
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, format);
    return std::string(buffer, result.ptr);
}

// Python's repr() of a float: the shortest digits that read back as the
// same value, positional for decimal exponents -4 to 15 and scientific
// otherwise ("1e-05", "1e+16").
template <class F>
std::string shortest(F value) {
    if (!std::isfinite(value)) {
        return std::isnan(value) ? "nan" : (value < 0 ? "-inf" : "inf");
    }
    std::string scientific = chars(value, std::chars_format::scientific);
    const int exponent = std::stoi(scientific.substr(scientific.find('e') + 1));
    return exponent >= -4 && exponent < 16 ? chars(value, std::chars_format::fixed) : scientific;
}

// A float on its own gets ".0" when integral, as Python writes it.
template <class F>
std::string float_text(F value) {
    std::string text = shortest(value);
    if (std::isfinite(value) && text.find_first_of(".e") == std::string::npos) {
        text += ".0";
    }
    return text;
}

// As Python writes complex numbers: "(1+2j)", and "2j" for a real part +0.
template <class F>
std::string complex_text(const Complex<F>& value) {
    const std::string im = shortest(value.im) + "j";
    if (value.re == 0 && !std::signbit(value.re)) {
        return im;
    }
    const bool signed_im = im.front() == '-' || im.front() == '+';
    return "(" + shortest(value.re) + (signed_im ? "" : "+") + im + ")";
}

}  // namespace

std::string element_text(std::int8_t value) { return std::to_string(value); }
std::string element_text(std::int16_t value) { return std::to_string(value); }
std::string element_text(std::int32_t value) { return std::to_string(value); }
std::string element_text(std::int64_t value) { return std::to_string(value); }

std::string element_text(Int128 value) {
    const UInt128 magnitude = value < 0 ? UInt128(0) - static_cast<UInt128>(value) : static_cast<UInt128>(value);
    return (value < 0 ? "-" : "") + unsigned_text(magnitude);
}

std::string element_text(const BigInt& value) {
    // Repeated division of the magnitude by 10^19, the largest power of ten
    // in a word: each remainder is 19 decimal digits, least significant first.
    constexpr std::uint64_t CHUNK = 10'000'000'000'000'000'000ULL;
    std::vector<std::uint64_t> words = value.limbs;
    std::vector<std::uint64_t> chunks;
    while (!words.empty()) {
        UInt128 remainder = 0;
        for (std::size_t i = words.size(); i-- > 0;) {
            const UInt128 current = (remainder << 64) | words[i];
            words[i] = static_cast<std::uint64_t>(current / CHUNK);
            remainder = current % CHUNK;
        }
        chunks.push_back(static_cast<std::uint64_t>(remainder));
        while (!words.empty() && words.back() == 0) {
            words.pop_back();
        }
    }
    if (chunks.empty()) {
        return "0";
    }
    std::string text = value.is_negative() ? "-" : "";
    text += std::to_string(chunks.back());
    for (std::size_t i = chunks.size() - 1; i-- > 0;) {
        const std::string part = std::to_string(chunks[i]);
        text += std::string(19 - part.size(), '0') + part;
    }
    return text;
}

std::string element_text(float value) { return float_text(value); }
std::string element_text(double value) { return float_text(value); }
std::string element_text(const Complex64& value) { return complex_text(value); }
std::string element_text(const Complex128& value) { return complex_text(value); }
std::string element_text(const Decimal& value) { return value.to_text(); }

}  // namespace kavell
