// UniformDecimal: decimals on the grid of one scale, in [low, high).
#pragma once

#include <cstdint>

#include "numeric/decimal.hpp"
#include "numeric/int128.hpp"
#include "random/thread_rng.hpp"
#include "random/uniform_int.hpp"

namespace kavell {

class UniformDecimal {
public:
    // Brings both bounds to a common scale, then samples the signed
    // mantissas from low's up to one below high's. Panics with "Number less
    // than minimum value that can be represented." when high is the
    // smallest value of that scale, else with "Uniform::new_inclusive called
    // with `low > high`" unless low's mantissa is below high's.
    static UniformDecimal create(const Decimal& low, const Decimal& high);

    // A mantissa m from the grid, as a Decimal of the common scale; a zero m
    // is a positive zero.
    Decimal sample(ThreadRng& rng) const noexcept {
        const Int128 m = mantissa_.sample(rng);
        const UInt128 magnitude = m < 0 ? static_cast<UInt128>(0) - static_cast<UInt128>(m) : static_cast<UInt128>(m);
        return Decimal::from_parts(magnitude, scale_, m < 0);
    }

    const UniformInt<Int128>& mantissa() const noexcept { return mantissa_; }
    std::uint32_t scale() const noexcept { return scale_; }

private:
    UniformDecimal(UniformInt<Int128> mantissa, std::uint32_t scale) noexcept : mantissa_(mantissa), scale_(scale) {}

    UniformInt<Int128> mantissa_;
    std::uint32_t scale_;
};

// Brings a and b to one scale: both up to the larger scale where the
// magnitudes allow it, else both down to the smaller of the scales reached.
void to_common_scale(Decimal& a, Decimal& b) noexcept;

}  // namespace kavell
