// PanicException: how a fault of this module reaches Python.
#pragma once

#include "python/ref.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace kavell {

// The process-wide PanicException type (borrowed; it is never released).
// Created on first need; faults when the interpreter cannot create it.
PyObject* panic_exception_type();

// The type if it has been created already, else null. For the fetch rule,
// which must not create it.
PyObject* existing_panic_exception_type() noexcept;

// Sets PanicException(message) as the pending exception. Without notes the
// value is the argument tuple, normalised only when someone inspects it;
// with notes it is the instance, its __notes__ holding them.
void raise_panic_exception(std::string_view message, const std::vector<std::string>& notes = {});

}  // namespace kavell
