// Conversions of single Python numbers shared by the PSO properties and the
// value kinds.
#pragma once

#include "python/error.hpp"

#include <cstdint>

namespace kavell {

// PyNumber_Index: int, bool and anything with __index__; float and str fail
// with the interpreter's TypeError.
Ref index_of(PyObject* object);

// Index, then PyLong_AsUnsignedLongLong (the interpreter's OverflowError
// for negative or too large values).
std::uint64_t u64_from_py(PyObject* object);

// An exact float is read directly; anything else goes through
// PyFloat_AsDouble (int, __float__, __index__). -1.0 is a failure only with
// an exception set.
double double_from_py(PyObject* object);

}  // namespace kavell
