// The eleven value kinds.
//
// Every vector operation iterates this one type list, in this order; the
// order of processing, of dict keys and of failure reports follows from it.
// What differs per kind lives in trait specialisations of each layer
// (arithmetic here in vec/, conversions in python/, samplers in random/).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "numeric/bigint.hpp"
#include "numeric/decimal.hpp"
#include "numeric/int128.hpp"

namespace kavell {

template <class F>
struct Complex {
    F re{};
    F im{};
    friend bool operator==(const Complex&, const Complex&) = default;
};
using Complex64 = Complex<float>;
using Complex128 = Complex<double>;

using Elements = std::tuple<std::int8_t, std::int16_t, std::int32_t, std::int64_t, Int128, BigInt, float, double,
                            Complex64, Complex128, Decimal>;

inline constexpr std::size_t KIND_COUNT = std::tuple_size_v<Elements>;

template <std::size_t K>
using Element = std::tuple_element_t<K, Elements>;

inline constexpr std::array<std::string_view, KIND_COUNT> KIND_KEYS = {
    "i8", "i16", "i32", "i64", "i128", "i", "f32", "f64", "c64", "c128", "d",
};

template <class T>
inline constexpr bool is_complex_v = false;
template <class F>
inline constexpr bool is_complex_v<Complex<F>> = true;

// Calls f(std::integral_constant<std::size_t, K>{}) for K = 0 .. 10, in kind order.
template <class F>
constexpr void for_each_kind(F&& f) {
    [&]<std::size_t... K>(std::index_sequence<K...>) {
        (f(std::integral_constant<std::size_t, K>{}), ...);
    }(std::make_index_sequence<KIND_COUNT>{});
}

// A tuple holding one Container<T> per kind, in kind order.
template <template <class...> class Container, class Tuple = Elements>
struct PerKind;
template <template <class...> class Container, class... T>
struct PerKind<Container, std::tuple<T...>> {
    using type = std::tuple<Container<T>...>;
};

template <class T>
using Array = std::vector<T>;
using Arrays = PerKind<Array>::type;

}  // namespace kavell
