// Scaling of the fixed-width integer kinds by any factor: the product in the
// kind's float type, then NaN to 0, out-of-range to the nearest end, the
// rest truncated toward zero, checked with exact integers. Also runs every
// kind's element through XVec::scale so that the sanitizers see the whole
// loop, including the block path.
#include "random/strict_float.hpp"  // first: products round like the kernel's

#include <cmath>

#include "oracle.hpp"
#include "support/panic.hpp"
#include "vec/kind_ops.hpp"
#include "vec/xvec.hpp"

namespace {

using namespace kavell;

template <class T>
mpz_class to_mpz(T v) {
    if constexpr (sizeof(T) == 16) {
        const UInt128 bits = static_cast<UInt128>(v);
        mpz_class m = fuzz::from_u128(bits);
        return v < 0 ? mpz_class(m - (mpz_class(1) << 128)) : m;
    } else {
        return mpz_class(static_cast<long>(v));
    }
}

// The saturating truncation with exact comparisons against the kind's ends.
template <class T, class P>
mpz_class expected_saturation(P p) {
    constexpr unsigned width = 8 * sizeof(T);
    const mpz_class min = -(mpz_class(1) << (width - 1));
    const mpz_class max = (mpz_class(1) << (width - 1)) - 1;
    if (std::isnan(p)) {
        return 0;
    }
    if (std::isinf(p)) {
        return p < 0 ? min : max;
    }
    mpz_class truncated;
    mpz_set_d(truncated.get_mpz_t(), static_cast<double>(p));
    if (mpq_class(static_cast<double>(p)) < mpq_class(min)) {
        return min;
    }
    if (mpq_class(static_cast<double>(p)) > mpq_class(max)) {
        return max;
    }
    return truncated;
}

template <class T, class P>
void check_integer(fuzz::Reader& in, double factor) {
    const T x = in.take<T>();
    // "i8" and "i16" multiply in binary32 with the factor rounded to
    // binary32 (beyond its range it is an infinity), the rest in binary64.
    P p;
    if constexpr (std::is_same_v<P, float>) {
        const float f32 = std::fabs(factor) >= 0x1.ffffffp127 ? (factor > 0 ? INFINITY : -INFINITY) : static_cast<float>(factor);
        p = static_cast<float>(static_cast<std::int32_t>(x)) * f32;
    } else {
        p = static_cast<double>(x) * factor;
    }
    T scaled = x;
    KindOps<T>::scale(scaled, KindOps<T>::scale_factor(factor));
    FUZZ_CHECK(to_mpz(scaled) == (expected_saturation<T, P>(p)),
               fuzz::text(to_mpz(x)) + " * " + std::to_string(factor) + " gave " + fuzz::text(to_mpz(scaled)));
}

// Every kind in one vector, long enough for the block loops.
void scale_whole_vector(fuzz::Reader& in, double factor) {
    XVec v;
    const std::size_t n = in.take<std::uint8_t>() % 70u;
    for_each_kind([&](auto kind) {
        constexpr std::size_t K = decltype(kind)::value;
        using T = Element<K>;
        auto& values = v.get<K>();
        for (std::size_t i = 0; i < n; ++i) {
            if constexpr (std::is_same_v<T, BigInt>) {
                values.push_back(BigInt::from_i64(in.take<std::int64_t>()));
            } else if constexpr (std::is_same_v<T, Decimal>) {
                values.push_back(fuzz::decimal_from(in));
            } else {
                values.push_back(in.take<T>());
            }
        }
    });
    XVec copy = XVec::clone(v);
    try {
        XVec::scale(v, factor);
    } catch (const Panic&) {
        // A non-finite big-integer product or a decimal overflow: a fault, not a defect.
        return;
    }
    // The fixed-width kinds go through the block loops; their elements must
    // agree with scaling one element at a time.
    for_each_kind([&](auto kind) {
        constexpr std::size_t K = decltype(kind)::value;
        using T = Element<K>;
        if constexpr (std::is_trivially_copyable_v<T> && !std::is_same_v<T, Decimal>) {
            const auto& scaled = v.get<K>();
            const auto& original = copy.get<K>();
            for (std::size_t i = 0; i < n; ++i) {
                T one = original[i];
                KindOps<T>::scale(one, KindOps<T>::scale_factor(factor));
                FUZZ_CHECK(std::memcmp(&one, &scaled[i], sizeof(T)) == 0, "block loop differs from one element");
            }
        }
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    const double factor = in.take<double>();
    switch (in.take<std::uint8_t>() % 6u) {
        case 0: check_integer<std::int8_t, float>(in, factor); break;
        case 1: check_integer<std::int16_t, float>(in, factor); break;
        case 2: check_integer<std::int32_t, double>(in, factor); break;
        case 3: check_integer<std::int64_t, double>(in, factor); break;
        case 4: check_integer<Int128, double>(in, factor); break;
        default: scale_whole_vector(in, factor); break;
    }
    return 0;
}
