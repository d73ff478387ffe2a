#include "numeric/decimal.hpp"

namespace kavell {

Decimal Decimal::rescale(std::uint32_t target) const noexcept {
    const std::uint32_t current = scale();
    const bool is_negative = negative();
    UInt128 m = magnitude();
    if (target == current) {
        return *this;
    }
    if (m == 0) {
        return from_parts(0, target, is_negative);
    }
    if (target < current) {
        const std::uint32_t divisions = current - target;
        unsigned last_digit = 0;
        for (std::uint32_t i = 0; i < divisions; ++i) {
            last_digit = static_cast<unsigned>(m % 10);
            m /= 10;
            if (m == 0 && i + 1 < divisions) {
                return from_parts(0, target, is_negative);
            }
        }
        // Only the last removed digit decides; it cannot carry past 96 bits,
        // as m is now below 2^96 / 10.
        if (last_digit >= 5) {
            m += 1;
        }
        return from_parts(m, target, is_negative);
    }
    std::uint32_t reached = current;
    while (reached < target && m * 10 < MAGNITUDE_LIMIT) {
        m *= 10;
        ++reached;
    }
    return from_parts(m, reached, is_negative);
}

}  // namespace kavell
