// Element values as text, for the notes that say where a fault happened
// ("d[2] = 1.5"). Plain C++, so the vector and random layers can name the
// values they fail on without Python. Integers and decimals are exact,
// floats and complex numbers are written as Python's repr() writes
// them (for f32 and c64, the shortest text of the binary32 value).
#pragma once

#include "vec/kinds.hpp"

#include <string>
#include <string_view>
#include <tuple>

namespace kavell {

std::string element_text(std::int8_t value);
std::string element_text(std::int16_t value);
std::string element_text(std::int32_t value);
std::string element_text(std::int64_t value);
std::string element_text(Int128 value);
std::string element_text(const BigInt& value);
std::string element_text(float value);
std::string element_text(double value);
std::string element_text(const Complex64& value);
std::string element_text(const Complex128& value);
std::string element_text(const Decimal& value);

// The kind key ("i8" ... "d") of an element type.
template <class T>
constexpr std::string_view kind_key() {
    return []<std::size_t... K>(std::index_sequence<K...>) {
        std::size_t index = 0;
        ((std::is_same_v<T, Element<K>> ? (index = K, true) : false) || ...);
        return KIND_KEYS[index];
    }(std::make_index_sequence<KIND_COUNT>{});
}

// "d[2] = 1.5": an element of a vector and its value.
template <class T>
std::string element_note(std::string_view vector_name, std::size_t index, const T& value) {
    return std::string(vector_name) + "[" + std::to_string(index) + "] = " + element_text(value);
}

}  // namespace kavell
