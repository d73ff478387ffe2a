#include "random/uniform_decimal.hpp"

#include <algorithm>

#include "random/uniform_errors.hpp"
#include "support/panic.hpp"

namespace kavell {
namespace {

// (-1)^sign * magnitude: within +-(2^96 - 1), so any difference of two of
// them, plus one, still fits in 128 bits.
Int128 signed_mantissa(const Decimal& d) noexcept {
    const Int128 magnitude = static_cast<Int128>(d.magnitude());
    return d.negative() ? -magnitude : magnitude;
}

constexpr Int128 SMALLEST_MANTISSA = -static_cast<Int128>(Decimal::MAGNITUDE_LIMIT - 1);

}  // namespace

void to_common_scale(Decimal& a, Decimal& b) noexcept {
    if (a.scale() == b.scale()) {
        return;
    }
    a = a.rescale(std::max(a.scale(), b.scale()));
    b = b.rescale(std::max(a.scale(), b.scale()));
    if (a.scale() == b.scale()) {
        return;
    }
    // A scale-up stopped short; scaling down always reaches its target.
    a = a.rescale(std::min(a.scale(), b.scale()));
    b = b.rescale(std::min(a.scale(), b.scale()));
}

UniformDecimal UniformDecimal::create(const Decimal& low, const Decimal& high) {
    Decimal common_low = low;
    Decimal common_high = high;
    to_common_scale(common_low, common_high);

    const Int128 last = signed_mantissa(common_high) - 1;
    if (last < SMALLEST_MANTISSA) {
        panic(UNIFORM_DECIMAL_BELOW_MINIMUM);
    }
    // Bringing low down to a coarser scale rounds to nearest, which may land
    // one grid step below low; the first value drawn is then the next step,
    // so that no draw ever lies below the lower bound.
    Int128 first = signed_mantissa(common_low);
    if (Decimal::compare(common_low, low) < 0) {
        first += 1;
    }
    if (first > last) {
        panic(UNIFORM_DECIMAL_LOW_ABOVE_HIGH);
    }
    return UniformDecimal(UniformInt<Int128>::create(first, last + 1), common_high.scale());
}

}  // namespace kavell
