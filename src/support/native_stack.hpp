// How much of the calling thread's native stack is left.
//
// The interpreter's recursion limit counts calls, not bytes: with nested
// runs (an objective that starts a run, whose objective starts one, ...)
// the native stack can run out first, on 3.12 and later whose C recursion
// limit is high. Entries that may nest check this as well.
#pragma once

#include <cstddef>

namespace kavell {

// Bytes between the caller's frame and the end of its thread's stack, or
// SIZE_MAX where the platform does not say.
std::size_t native_stack_remaining() noexcept;

// The smallest room an entry that may nest wants left below it: enough for
// one more level of nesting and for reporting the failure that ends it.
std::size_t native_stack_reserve() noexcept;

}  // namespace kavell
