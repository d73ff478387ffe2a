// Shared pieces of the fuzz targets: a reader over the fuzzer's bytes, a
// check that aborts with a message (so the fuzzer keeps the input), and
// exact GMP arithmetic as the reference for the native numbers. Nothing here
// reuses the core's own arithmetic.
#pragma once

#include <gmpxx.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "numeric/bigint.hpp"
#include "numeric/decimal.hpp"

namespace fuzz {

[[noreturn]] inline void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "check failed: %s\n%s\n", what, detail.c_str());
    std::abort();
}

#define FUZZ_CHECK(condition, detail)         \
    do {                                      \
        if (!(condition)) {                   \
            ::fuzz::fail(#condition, detail); \
        }                                     \
    } while (0)

// Takes fixed-size values off the front of the input; past the end it
// yields zeros, so every input is usable.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}

    template <class T>
    T take() noexcept {
        T value{};
        unsigned char bytes[sizeof(T)] = {};
        const std::size_t n = size_ < sizeof(T) ? size_ : sizeof(T);
        std::memcpy(bytes, data_, n);
        data_ += n;
        size_ -= n;
        std::memcpy(&value, bytes, sizeof(T));
        return value;
    }
    std::size_t remaining() const noexcept { return size_; }
    const std::uint8_t* rest() const noexcept { return data_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

inline mpz_class power(unsigned base, unsigned long exponent) {
    mpz_class p;
    mpz_ui_pow_ui(p.get_mpz_t(), base, exponent);
    return p;
}

inline const mpz_class& limit96() {
    static const mpz_class limit = power(2, 96);
    return limit;
}

inline mpz_class from_u128(kavell::UInt128 v) {
    mpz_class high = static_cast<unsigned long>(static_cast<std::uint64_t>(v >> 64));
    mpz_class low = static_cast<unsigned long>(static_cast<std::uint64_t>(v));
    return (high << 64) + low;
}

// --- Decimal -----------------------------------------------------------------

// A decimal given by its words; the scale byte is reduced to 0..28 and the
// reserved bits cleared, so any 16 bytes make a valid value.
inline kavell::Decimal decimal_from(Reader& in) {
    kavell::Decimal d;
    const std::uint32_t flags = in.take<std::uint32_t>();
    d.hi = in.take<std::uint32_t>();
    d.lo = in.take<std::uint32_t>();
    d.mid = in.take<std::uint32_t>();
    const std::uint32_t scale = ((flags >> 16) & 0xffu) % 29u;
    d.flags = (scale << 16) | (flags & kavell::Decimal::SIGN_BIT);
    return d;
}

inline mpz_class magnitude_of(const kavell::Decimal& d) {
    return (mpz_class(static_cast<unsigned long>(d.hi)) << 64) + (mpz_class(static_cast<unsigned long>(d.mid)) << 32) +
           mpz_class(static_cast<unsigned long>(d.lo));
}

// The exact value.
inline mpq_class value_of(const kavell::Decimal& d) {
    mpq_class q(magnitude_of(d), power(10, d.scale()));
    q.canonicalize();
    return d.negative() ? mpq_class(-q) : q;
}

inline std::string words(const kavell::Decimal& d) {
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "flags=%08x hi=%08x mid=%08x lo=%08x", d.flags, d.hi, d.mid, d.lo);
    return buffer;
}

inline bool valid(const kavell::Decimal& d) {
    return (d.flags & ~(kavell::Decimal::SIGN_BIT | 0x00ff0000u)) == 0 && d.scale() <= 28;
}

inline kavell::Decimal make_decimal(const mpz_class& magnitude, unsigned scale, bool negative) {
    kavell::Decimal d;
    const mpz_class mask = 0xffffffffu;
    d.lo = static_cast<std::uint32_t>(mpz_class(magnitude & mask).get_ui());
    d.mid = static_cast<std::uint32_t>(mpz_class((magnitude >> 32) & mask).get_ui());
    d.hi = static_cast<std::uint32_t>(mpz_class((magnitude >> 64) & mask).get_ui());
    d.flags = (scale << 16) | (negative ? kavell::Decimal::SIGN_BIT : 0u);
    return d;
}

// The exact signed integer `exact` at `scale`, brought under 2^96 by
// dropping the fewest digits (at least `min_drop`, at most `scale`), rounded
// half to even on the whole dropped part. Fails (false) when even scale 0
// does not fit. A zero result has its sign clear.
inline bool round_to_fit(const mpz_class& exact, unsigned scale, unsigned min_drop, kavell::Decimal& out) {
    const mpz_class magnitude = abs(exact);
    for (unsigned drop = min_drop; drop <= scale; ++drop) {
        const mpz_class unit = power(10, drop);
        mpz_class q = magnitude / unit;
        const mpz_class r = magnitude % unit;
        const int half = cmp(2 * r, unit);
        if (drop > 0 && (half > 0 || (half == 0 && mpz_odd_p(q.get_mpz_t())))) {
            q += 1;
        }
        if (q < limit96()) {
            out = make_decimal(q, scale - drop, exact < 0 && q != 0);
            return true;
        }
    }
    return false;
}

// --- BigInt ------------------------------------------------------------------

inline mpz_class value_of(const kavell::BigInt& b) {
    mpz_class m = 0;
    for (std::size_t i = b.limbs.size(); i-- > 0;) {
        m = (m << 64) + mpz_class(static_cast<unsigned long>(b.limbs[i]));
    }
    return b.is_negative() ? mpz_class(-m) : m;
}

inline bool normalised(const kavell::BigInt& b) {
    if (b.sign > 2) {
        return false;
    }
    if ((b.sign == kavell::BigInt::ZERO) != b.limbs.empty()) {
        return false;
    }
    return b.limbs.empty() || b.limbs.back() != 0;
}

inline kavell::BigInt make_bigint(const mpz_class& v) {
    std::vector<std::uint64_t> limbs;
    mpz_class m = abs(v);
    const mpz_class mask = mpz_class(1) << 64;
    while (m != 0) {
        const mpz_class word = m % mask;
        limbs.push_back((static_cast<std::uint64_t>(mpz_class(word >> 32).get_ui()) << 32) |
                        static_cast<std::uint64_t>(mpz_class(word & 0xffffffffu).get_ui()));
        m >>= 64;
    }
    return kavell::BigInt::from_magnitude(v < 0, std::move(limbs));
}

inline std::string text(const mpz_class& v) { return v.get_str(); }
inline std::string text(const mpq_class& v) { return v.get_str(); }

}  // namespace fuzz
