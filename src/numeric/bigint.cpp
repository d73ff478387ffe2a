#include "numeric/bigint.hpp"

#include <algorithm>

#include <bit>
#include <cmath>

#include "numeric/int128.hpp"

namespace kavell {

namespace {

using Limbs = std::vector<std::uint64_t>;

// Orders two normalised magnitudes.
std::strong_ordering compare_magnitudes(const Limbs& a, const Limbs& b) noexcept {
    if (a.size() != b.size()) {
        return a.size() <=> b.size();
    }
    for (std::size_t i = a.size(); i-- > 0;) {
        if (a[i] != b[i]) {
            return a[i] <=> b[i];
        }
    }
    return std::strong_ordering::equal;
}

Limbs add_magnitudes(const Limbs& a, const Limbs& b) {
    const Limbs& longer = a.size() >= b.size() ? a : b;
    const Limbs& shorter = a.size() >= b.size() ? b : a;
    Limbs sum;
    // One spare word for the carry, so the result never reallocates.
    sum.reserve(longer.size() + 1);
    unsigned carry = 0;
    for (std::size_t i = 0; i < longer.size(); ++i) {
        const UInt128 word = static_cast<UInt128>(longer[i]) + (i < shorter.size() ? shorter[i] : 0) + carry;
        sum.push_back(static_cast<std::uint64_t>(word));
        carry = static_cast<unsigned>(word >> 64);
    }
    if (carry != 0) {
        sum.push_back(carry);
    }
    return sum;
}

// `larger` - `smaller`, where larger >= smaller; the result may carry high
// zero words, which from_magnitude drops.
Limbs subtract_magnitudes(const Limbs& larger, const Limbs& smaller) {
    Limbs difference;
    difference.reserve(larger.size());
    unsigned borrow = 0;
    for (std::size_t i = 0; i < larger.size(); ++i) {
        const std::uint64_t y = i < smaller.size() ? smaller[i] : 0;
        const UInt128 word = static_cast<UInt128>(larger[i]) - y - borrow;
        difference.push_back(static_cast<std::uint64_t>(word));
        borrow = static_cast<unsigned>(word >> 127);
    }
    return difference;
}

// a + b, where b's sign is given separately so that subtraction is the same
// operation with the sign of b flipped.
BigInt signed_sum(const BigInt& a, const BigInt& b, bool b_negative) {
    if (b.is_zero()) {
        return a;
    }
    if (a.is_zero()) {
        return BigInt::from_magnitude(b_negative, b.limbs);
    }
    const bool a_negative = a.is_negative();
    if (a_negative == b_negative) {
        return BigInt::from_magnitude(a_negative, add_magnitudes(a.limbs, b.limbs));
    }
    const auto order = compare_magnitudes(a.limbs, b.limbs);
    if (order == 0) {
        return BigInt();
    }
    if (order > 0) {
        return BigInt::from_magnitude(a_negative, subtract_magnitudes(a.limbs, b.limbs));
    }
    return BigInt::from_magnitude(b_negative, subtract_magnitudes(b.limbs, a.limbs));
}

// 2^e for 0 <= e <= 1024 as a binary64 power of two; 2^1024 is beyond the
// format and becomes infinity.
double power_of_two(std::size_t e) noexcept {
    if (e >= 1024) {
        return HUGE_VAL;
    }
    return std::bit_cast<double>(static_cast<std::uint64_t>(e + 1023) << 52);
}

// Adds y (ny words) into x (n >= ny words) with the carry running through
// the longer part; returns the carry out of the top word.
std::uint64_t add_words(std::uint64_t* x, std::size_t n, const std::uint64_t* y, std::size_t ny) noexcept {
    unsigned char carry = 0;
    std::size_t i = 0;
    for (; i < ny; ++i) {
        unsigned long long sum;
        carry = static_cast<unsigned char>(__builtin_uaddll_overflow(x[i], y[i], &sum) |
                                           __builtin_uaddll_overflow(sum, carry, &sum));
        x[i] = sum;
    }
    for (; carry != 0 && i < n; ++i) {
        x[i] += 1;
        carry = x[i] == 0 ? 1 : 0;
    }
    return carry;
}

// x = x - y over n words (y has ny <= n, and x >= y as a whole).
void subtract_words(std::uint64_t* x, std::size_t n, const std::uint64_t* y, std::size_t ny) noexcept {
    unsigned char borrow = 0;
    std::size_t i = 0;
    for (; i < ny; ++i) {
        unsigned long long difference;
        borrow = static_cast<unsigned char>(__builtin_usubll_overflow(x[i], y[i], &difference) |
                                            __builtin_usubll_overflow(difference, borrow, &difference));
        x[i] = difference;
    }
    for (; borrow != 0 && i < n; ++i) {
        borrow = x[i] == 0 ? 1 : 0;
        x[i] -= 1;
    }
}

// x = y - x over n = y's words (x has at most n words, and y >= x as a
// whole): each step reads x[i] before writing it.
void subtract_from_words(std::uint64_t* x, std::size_t nx, const std::uint64_t* y, std::size_t n) noexcept {
    unsigned char borrow = 0;
    for (std::size_t i = 0; i < n; ++i) {
        unsigned long long difference;
        borrow = static_cast<unsigned char>(__builtin_usubll_overflow(y[i], i < nx ? x[i] : 0, &difference) |
                                            __builtin_usubll_overflow(difference, borrow, &difference));
        x[i] = difference;
    }
}

// a = a + b with b's sign given separately, in a's own words: the same
// value and normalisation as signed_sum, without a new vector once a's
// storage has grown to the operands' size.
void signed_sum_in_place(BigInt& a, const BigInt& b, bool b_negative) {
    if (&a == &b) {
        a = signed_sum(a, b, b_negative);
        return;
    }
    if (b.is_zero()) {
        return;
    }
    Limbs& x = a.limbs;
    const Limbs& y = b.limbs;
    if (a.is_zero()) {
        x.assign(y.begin(), y.end());
        a.sign = b_negative ? BigInt::NEGATIVE : BigInt::POSITIVE;
        return;
    }
    const std::size_t nx = x.size();
    const std::size_t ny = y.size();
    if (a.is_negative() == b_negative) {
        if (nx < ny) {
            x.resize(ny, 0);
        }
        if (add_words(x.data(), x.size(), y.data(), ny) != 0) {
            x.push_back(1);
        }
        return;
    }
    const auto order = compare_magnitudes(x, y);
    if (order == 0) {
        x.clear();
        a.sign = BigInt::ZERO;
        return;
    }
    // The smaller magnitude is subtracted from the larger one.
    if (order > 0) {
        subtract_words(x.data(), nx, y.data(), ny);
    } else {
        x.resize(ny, 0);
        subtract_from_words(x.data(), nx, y.data(), ny);
        a.sign = b_negative ? BigInt::NEGATIVE : BigInt::POSITIVE;
    }
    while (!x.empty() && x.back() == 0) {
        x.pop_back();
    }
}

}  // namespace

void BigInt::add_assign(BigInt& a, const BigInt& b) { signed_sum_in_place(a, b, b.is_negative()); }

void BigInt::sub_assign(BigInt& a, const BigInt& b) { signed_sum_in_place(a, b, b.sign == POSITIVE); }

BigInt BigInt::add(const BigInt& a, const BigInt& b) { return signed_sum(a, b, b.is_negative()); }

BigInt BigInt::sub(const BigInt& a, const BigInt& b) { return signed_sum(a, b, b.sign == POSITIVE); }

std::strong_ordering BigInt::compare(const BigInt& a, const BigInt& b) noexcept {
    if (a.sign != b.sign) {
        return a.sign <=> b.sign;
    }
    const auto order = compare_magnitudes(a.limbs, b.limbs);
    return a.is_negative() ? 0 <=> order : order;
}

double BigInt::to_double(const BigInt& value) noexcept {
    if (value.is_zero()) {
        return 0.0;
    }
    // The bits below the top 64 are dropped before the one rounding to
    // binary64, so a long value can land one binary64 step below its
    // correctly rounded conversion. That two-step rule is deliberate.
    std::uint64_t top = value.limbs.back();
    std::size_t e = 0;
    if (value.limbs.size() > 1) {
        const std::size_t n = value.bit_length();
        e = n - 64;
        const unsigned shift = static_cast<unsigned>(e % 64);
        const std::size_t low_word = e / 64;
        top = value.limbs[low_word] >> shift;
        if (shift != 0) {
            top |= value.limbs[low_word + 1] << (64 - shift);
        }
    }
    double magnitude = HUGE_VAL;
    if (e <= 1024) {
        magnitude = static_cast<double>(top) * power_of_two(e);
    }
    return value.is_negative() ? -magnitude : magnitude;
}

std::optional<BigInt> BigInt::from_double(double value) {
    BigInt result;
    if (!assign_double(result, value)) {
        return std::nullopt;
    }
    return result;
}

bool BigInt::assign_double(BigInt& target, double value) {
    if (!std::isfinite(value)) {
        return false;
    }
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(std::trunc(value));
    const bool negative = (bits >> 63) != 0;
    const int biased_exponent = static_cast<int>((bits >> 52) & 0x7ff);
    // A truncated non-zero value is at least 1, hence normal: the hidden bit
    // is always present here.
    Limbs& magnitude = target.limbs;
    if (biased_exponent == 0) {
        magnitude.clear();
        target.sign = ZERO;
        return true;
    }
    const std::uint64_t significand = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
    const int exponent = biased_exponent - 1075;
    if (exponent <= 0) {
        magnitude.assign(1, significand >> -exponent);
    } else {
        const std::size_t word = static_cast<std::size_t>(exponent) / 64;
        const unsigned shift = static_cast<unsigned>(exponent % 64);
        magnitude.assign(word + 2, 0);
        magnitude[word] = significand << shift;
        magnitude[word + 1] = shift == 0 ? 0 : significand >> (64 - shift);
    }
    while (!magnitude.empty() && magnitude.back() == 0) {
        magnitude.pop_back();
    }
    target.sign = magnitude.empty() ? ZERO : (negative ? NEGATIVE : POSITIVE);
    return true;
}

}  // namespace kavell
