// Element samplers of every kind from arbitrary bound pairs: a pair is
// refused exactly when its kind's rule says so, and every draw lies in
// [low, high). The generator is keyed from the input, so failures replay.
#include "random/strict_float.hpp"  // first: the width test below must round like the sampler's

#include <cmath>

#include "oracle.hpp"
#include "random/uniform.hpp"
#include "random/uniform_errors.hpp"
#include "support/panic.hpp"

namespace {

using namespace kavell;

constexpr int DRAWS = 4;

// Runs create(); returns the panic message, or nullptr when it succeeded.
template <class Create>
const char* refusal(Create&& create) {
    try {
        create();
    } catch (const Panic& p) {
        static thread_local std::string message;
        message = p.message();
        return message.c_str();
    }
    return nullptr;
}

void expect_refusal(const char* got, const char* expected, const char* kind) {
    if (expected == nullptr) {
        FUZZ_CHECK(got == nullptr, std::string(kind) + " refused: " + got);
    } else {
        FUZZ_CHECK(got != nullptr && std::string_view(got) == expected, std::string(kind) + " should refuse: " + expected);
    }
}

// Invalid pairs make the sampler write a fault report; most inputs only
// test them when a flag bit says so, to keep the fuzzer's output readable.
bool try_invalid(fuzz::Reader& in) { return (in.take<std::uint8_t>() & 0x0f) == 0; }

template <class T>
void check_int(fuzz::Reader& in, ThreadRng& rng) {
    const T low = in.take<T>();
    const T high = in.take<T>();
    const bool valid = low < high;
    if (!valid && !try_invalid(in)) {
        return;
    }
    expect_refusal(refusal([&] { (void)UniformInt<T>::create(low, high); }), valid ? nullptr : UNIFORM_LOW_NOT_BELOW_HIGH,
                   "int");
    if (!valid) {
        return;
    }
    const auto sampler = UniformInt<T>::create(low, high);
    for (int i = 0; i < DRAWS; ++i) {
        const T v = sampler.sample(rng);
        FUZZ_CHECK(low <= v && v < high, "int draw out of range");
    }
}

template <class F>
bool stays_below(F w, F low, F high) {
    const F scaled = w * UniformFloat<F>::MAX_U;
    const F top = scaled + low;
    return top < high;
}

template <class F>
const char* float_rule(F low, F high) {
    if (!(low < high)) {
        return UNIFORM_LOW_NOT_BELOW_HIGH;
    }
    const F width = high - low;
    return std::isfinite(width) ? nullptr : UNIFORM_RANGE_OVERFLOW;
}

template <class F>
void check_float_sampler(const UniformFloat<F>& sampler, F low, F high, ThreadRng& rng) {
    // The width is the largest w <= high - low whose largest draw stays below high.
    const F w = sampler.width();
    const F full = high - low;
    FUZZ_CHECK(w <= full && stays_below(w, low, high), "width too large");
    FUZZ_CHECK(w == full || !stays_below(std::nextafter(w, full), low, high), "width not the largest");
    for (int i = 0; i < DRAWS; ++i) {
        const F v = sampler.sample(rng);
        FUZZ_CHECK(low <= v && v < high, "float draw out of range");
    }
}

template <class F>
void check_float(fuzz::Reader& in, ThreadRng& rng) {
    const F low = in.take<F>();
    const F high = in.take<F>();
    const char* rule = float_rule(low, high);
    if (rule != nullptr && !try_invalid(in)) {
        return;
    }
    expect_refusal(refusal([&] { (void)UniformFloat<F>::create(low, high); }), rule, "float");
    if (rule == nullptr) {
        check_float_sampler(UniformFloat<F>::create(low, high), low, high, rng);
    }
}

template <class F>
void check_complex(fuzz::Reader& in, ThreadRng& rng) {
    const Complex<F> low{in.take<F>(), in.take<F>()};
    const Complex<F> high{in.take<F>(), in.take<F>()};
    const char* rule = float_rule(low.re, high.re);
    if (rule == nullptr) {
        rule = float_rule(low.im, high.im);
    }
    if (rule != nullptr && !try_invalid(in)) {
        return;
    }
    expect_refusal(refusal([&] { (void)UniformComplex<F>::create(low, high); }), rule, "complex");
    if (rule == nullptr) {
        const auto sampler = UniformComplex<F>::create(low, high);
        check_float_sampler(sampler.re(), low.re, high.re, rng);
        check_float_sampler(sampler.im(), low.im, high.im, rng);
    }
}

BigInt bigint_from(fuzz::Reader& in) {
    const std::size_t length = in.take<std::uint8_t>() % 40u;
    std::uint8_t bytes[40] = {};
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = in.take<std::uint8_t>();
    }
    return BigInt::from_signed_le_bytes(bytes, length);
}

void check_bigint(fuzz::Reader& in, ThreadRng& rng) {
    const BigInt low = bigint_from(in);
    const BigInt high = bigint_from(in);
    const mpz_class lo = fuzz::value_of(low);
    const mpz_class hi = fuzz::value_of(high);
    const bool valid = lo < hi;
    if (!valid && !try_invalid(in)) {
        return;
    }
    expect_refusal(refusal([&] { (void)UniformBigInt::create(low, high); }),
                   valid ? nullptr : UNIFORM_BIGINT_LOW_NOT_BELOW_HIGH, "bigint");
    if (!valid) {
        return;
    }
    const auto sampler = UniformBigInt::create(low, high);
    for (int i = 0; i < DRAWS; ++i) {
        const BigInt v = sampler.sample(rng);
        FUZZ_CHECK(fuzz::normalised(v), "bigint draw not normalised");
        const mpz_class value = fuzz::value_of(v);
        FUZZ_CHECK(lo <= value && value < hi, "bigint draw out of range: " + fuzz::text(value));
    }
}

void check_decimal(fuzz::Reader& in, ThreadRng& rng) {
    const Decimal low = fuzz::decimal_from(in);
    const Decimal high = fuzz::decimal_from(in);
    Decimal common_low = low;
    Decimal common_high = high;
    to_common_scale(common_low, common_high);
    auto mantissa = [](const Decimal& d) {
        const mpz_class m = fuzz::magnitude_of(d);
        return d.negative() ? mpz_class(-m) : m;
    };
    const mpz_class last = mantissa(common_high) - 1;
    mpz_class first = mantissa(common_low);
    if (fuzz::value_of(common_low) < fuzz::value_of(low)) {
        first += 1;
    }
    const char* rule = nullptr;
    if (last < -(fuzz::limit96() - 1)) {
        rule = UNIFORM_DECIMAL_BELOW_MINIMUM;
    } else if (first > last) {
        rule = UNIFORM_DECIMAL_LOW_ABOVE_HIGH;
    }
    if (rule != nullptr && !try_invalid(in)) {
        return;
    }
    expect_refusal(refusal([&] { (void)UniformDecimal::create(low, high); }), rule, "decimal");
    if (rule != nullptr) {
        return;
    }
    const auto sampler = UniformDecimal::create(low, high);
    const mpq_class lo = fuzz::value_of(low);
    const mpq_class hi = fuzz::value_of(high);
    for (int i = 0; i < DRAWS; ++i) {
        const Decimal v = sampler.sample(rng);
        FUZZ_CHECK(fuzz::valid(v) && v.scale() == common_high.scale(), fuzz::words(v));
        const mpz_class m = mantissa(v);
        FUZZ_CHECK(first <= m && m <= last, "decimal draw off the grid range: " + fuzz::words(v));
        FUZZ_CHECK(!(v.is_zero() && v.negative()), "negative zero drawn");
        const mpq_class value = fuzz::value_of(v);
        FUZZ_CHECK(lo <= value && value < hi,
                   "decimal draw " + fuzz::words(v) + " outside " + fuzz::words(low) + " .. " + fuzz::words(high));
    }
}

// The full product of two 128-bit words, as the i128 and decimal samplers use it.
void check_wide_multiply(fuzz::Reader& in) {
    const UInt128 a = in.take<UInt128>();
    const UInt128 b = in.take<UInt128>();
    const auto product = uniform_detail::multiply(a, b);
    FUZZ_CHECK((fuzz::from_u128(product.high) << 128) + fuzz::from_u128(product.low) ==
                   fuzz::from_u128(a) * fuzz::from_u128(b),
               "128-bit product");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    ThreadRng::Seed seed{};
    for (auto& byte : seed) {
        byte = in.take<std::uint8_t>();
    }
    ThreadRng rng(seed, EntropySource());
    switch (in.take<std::uint8_t>() % 12u) {
        case 0: check_int<std::int8_t>(in, rng); break;
        case 1: check_int<std::int16_t>(in, rng); break;
        case 2: check_int<std::int32_t>(in, rng); break;
        case 3: check_int<std::int64_t>(in, rng); break;
        case 4: check_int<Int128>(in, rng); break;
        case 5: check_bigint(in, rng); break;
        case 6: check_float<float>(in, rng); break;
        case 7: check_float<double>(in, rng); break;
        case 8: check_complex<float>(in, rng); break;
        case 9: check_complex<double>(in, rng); break;
        case 10: check_decimal(in, rng); break;
        default: check_wide_multiply(in); break;
    }
    return 0;
}
