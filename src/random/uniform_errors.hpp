// The fault messages of sampler construction. A pair that cannot be sampled
// ends the run with one of these; the texts are part of the module's
// interface.
#pragma once

namespace kavell {

// A fixed-width integer, float or complex-part pair without low < high.
inline constexpr const char* UNIFORM_LOW_NOT_BELOW_HIGH = "Uniform::new called with `low >= high`";
// A float or complex-part pair whose difference is not finite.
inline constexpr const char* UNIFORM_RANGE_OVERFLOW = "Uniform::new: range overflow";
// A big-integer pair without low < high.
inline constexpr const char* UNIFORM_BIGINT_LOW_NOT_BELOW_HIGH = "assertion failed: low < high";
// A decimal pair whose mantissas at the common scale have low >= high.
inline constexpr const char* UNIFORM_DECIMAL_LOW_ABOVE_HIGH = "Uniform::new_inclusive called with `low > high`";
// A decimal upper bound that is the smallest value of its scale.
inline constexpr const char* UNIFORM_DECIMAL_BELOW_MINIMUM = "Number less than minimum value that can be represented.";

}  // namespace kavell
