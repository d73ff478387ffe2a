// Array sizing with the "capacity overflow" fault.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "support/panic.hpp"

namespace kavell {

// Reserves room for `n` elements. A byte size beyond the signed size range
// is a fault; a plain allocation failure throws std::bad_alloc, which the
// boundary raises as MemoryError.
template <class T>
void reserve_checked(std::vector<T>& array, std::size_t n) {
    if (n > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T)) {
        panic("capacity overflow");
    }
    array.reserve(n);
}

}  // namespace kavell
