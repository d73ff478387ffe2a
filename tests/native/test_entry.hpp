// Test-only: the shape of every entry point of the numeric and vec tables.
#pragma once

#include "python/guard.hpp"

#include <cstddef>
#include <utility>

namespace kavell::testing {

// Calls body(arg0, ..., argN-1) with exactly N positional arguments inside
// the boundary guard; body returns the result as a Ref.
template <std::size_t N, class Body>
PyObject* call_with_arguments(PyObject* args, Body&& body) noexcept {
    return guard<PyObject*>(nullptr, [&] {
        if (PyTuple_GET_SIZE(args) != static_cast<Py_ssize_t>(N)) {
            throw PyErr(PyExc_TypeError, "wrong number of arguments");
        }
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            return body(PyTuple_GET_ITEM(args, I)...);
        }(std::make_index_sequence<N>{}).release();
    });
}

}  // namespace kavell::testing
