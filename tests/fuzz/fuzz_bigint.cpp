// BigInt byte conversions, add, sub, compare and the binary64 conversions,
// against exact GMP integers.
#include <cmath>
#include <vector>

#include "oracle.hpp"

namespace {

using kavell::BigInt;

// Little-endian two's complement of any length.
mpz_class from_twos_complement(const std::uint8_t* bytes, std::size_t length) {
    if (length == 0) {
        return 0;
    }
    mpz_class v;
    mpz_import(v.get_mpz_t(), length, -1, 1, 0, 0, bytes);
    if ((bytes[length - 1] & 0x80u) != 0) {
        v -= fuzz::power(2, 8 * length);
    }
    return v;
}

// The fewest bytes n >= 1 with -2^(8n-1) <= v < 2^(8n-1), then v mod 2^(8n).
std::vector<std::uint8_t> shortest_twos_complement(const mpz_class& v) {
    std::size_t n = 1;
    while (!(v >= -fuzz::power(2, 8 * n - 1) && v < fuzz::power(2, 8 * n - 1))) {
        ++n;
    }
    mpz_class bits = v;
    if (bits < 0) {
        bits += fuzz::power(2, 8 * n);
    }
    std::vector<std::uint8_t> bytes(n, 0);
    std::size_t written = 0;
    mpz_export(bytes.data(), &written, -1, 1, 0, 0, bits.get_mpz_t());
    return bytes;
}

// The top 64 bits of the magnitude (the rest dropped), rounded to binary64,
// times 2^e; beyond e = 1024 infinity.
double expected_to_double(const mpz_class& v) {
    if (v == 0) {
        return 0.0;
    }
    const mpz_class magnitude = abs(v);
    const std::size_t bits = mpz_sizeinbase(magnitude.get_mpz_t(), 2);
    const std::size_t e = bits > 64 ? bits - 64 : 0;
    double result = HUGE_VAL;
    if (e <= 1024) {
        const mpz_class top = magnitude >> e;
        const std::uint64_t word = (static_cast<std::uint64_t>(mpz_class(top >> 32).get_ui()) << 32) |
                                   static_cast<std::uint64_t>(mpz_class(top & 0xffffffffu).get_ui());
        result = std::ldexp(static_cast<double>(word), static_cast<int>(e));
    }
    return v < 0 ? -result : result;
}

void check_normalised(const BigInt& b, const char* what) {
    FUZZ_CHECK(fuzz::normalised(b), what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    const std::size_t split = size == 0 ? 0 : in.take<std::uint8_t>() % size;
    const double f = in.take<double>();
    const std::uint8_t* bytes = in.rest();
    const std::size_t left = std::min(split, in.remaining());
    const std::size_t right = in.remaining() - left;

    const BigInt a = BigInt::from_signed_le_bytes(bytes, left);
    const BigInt b = BigInt::from_signed_le_bytes(bytes + left, right);
    const mpz_class va = from_twos_complement(bytes, left);
    const mpz_class vb = from_twos_complement(bytes + left, right);
    check_normalised(a, "from bytes");
    check_normalised(b, "from bytes");
    FUZZ_CHECK(fuzz::value_of(a) == va, fuzz::text(va));
    FUZZ_CHECK(fuzz::value_of(b) == vb, fuzz::text(vb));

    FUZZ_CHECK(a.to_signed_le_bytes() == shortest_twos_complement(va), "shortest bytes of " + fuzz::text(va));
    FUZZ_CHECK(a.bit_length() == (va == 0 ? 0 : mpz_sizeinbase(va.get_mpz_t(), 2)), fuzz::text(va));

    const BigInt sum = BigInt::add(a, b);
    const BigInt difference = BigInt::sub(a, b);
    check_normalised(sum, "add");
    check_normalised(difference, "sub");
    FUZZ_CHECK(fuzz::value_of(sum) == va + vb, fuzz::text(va) + " + " + fuzz::text(vb));
    FUZZ_CHECK(fuzz::value_of(difference) == va - vb, fuzz::text(va) + " - " + fuzz::text(vb));

    const int order = cmp(va, vb);
    const auto got = BigInt::compare(a, b);
    FUZZ_CHECK((order < 0) == (got < 0) && (order > 0) == (got > 0), "compare");

    BigInt negated = a;
    negated.negate();
    check_normalised(negated, "negate");
    FUZZ_CHECK(fuzz::value_of(negated) == -va, "negate");

    const double converted = BigInt::to_double(a);
    const double expected = expected_to_double(va);
    FUZZ_CHECK(converted == expected, fuzz::text(va));

    // Scaling goes through binary64 and back: any finite product converts
    // exactly (after truncation), the rest fails.
    const auto back = BigInt::from_double(f);
    FUZZ_CHECK(back.has_value() == std::isfinite(f), "finiteness");
    if (back) {
        check_normalised(*back, "from_double");
        mpz_class truncated;
        mpz_set_d(truncated.get_mpz_t(), f);  // truncates toward zero, exactly
        FUZZ_CHECK(fuzz::value_of(*back) == truncated, std::to_string(f));
    }
    const auto product = BigInt::from_double(converted * f);
    FUZZ_CHECK(product.has_value() == std::isfinite(converted * f), "product finiteness");
    return 0;
}
