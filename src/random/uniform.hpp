// The element sampler of each kind.
//
// Every sampler has the same shape: `create(low, high)` validates the pair
// and does all per-pair work once, panicking with its kind's message on a
// pair that cannot be sampled; `sample(ThreadRng&) const` draws one value of
// [low, high) and never fails.
#pragma once

#include <cstdint>

#include "random/uniform_bigint.hpp"
#include "random/uniform_decimal.hpp"
#include "random/uniform_float.hpp"
#include "random/uniform_int.hpp"
#include "vec/kinds.hpp"

namespace kavell {

template <class T>
struct UniformFor;

template <> struct UniformFor<std::int8_t> { using type = UniformInt<std::int8_t>; };
template <> struct UniformFor<std::int16_t> { using type = UniformInt<std::int16_t>; };
template <> struct UniformFor<std::int32_t> { using type = UniformInt<std::int32_t>; };
template <> struct UniformFor<std::int64_t> { using type = UniformInt<std::int64_t>; };
template <> struct UniformFor<Int128> { using type = UniformInt<Int128>; };
template <> struct UniformFor<BigInt> { using type = UniformBigInt; };
template <> struct UniformFor<float> { using type = UniformFloat<float>; };
template <> struct UniformFor<double> { using type = UniformFloat<double>; };
template <> struct UniformFor<Complex64> { using type = UniformComplex<float>; };
template <> struct UniformFor<Complex128> { using type = UniformComplex<double>; };
template <> struct UniformFor<Decimal> { using type = UniformDecimal; };

template <class T>
using Uniform = typename UniformFor<T>::type;

}  // namespace kavell
