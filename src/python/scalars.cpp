#include "python/scalars.hpp"

namespace kavell {

Ref index_of(PyObject* object) { return Ref::check(PyNumber_Index(object)); }

std::uint64_t u64_from_py(PyObject* object) {
    Ref index = index_of(object);
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        throw_fetched();
    }
    return value;
}

double double_from_py(PyObject* object) {
    if (PyFloat_CheckExact(object)) {
        return PyFloat_AS_DOUBLE(object);
    }
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        throw_fetched();
    }
    return value;
}

}  // namespace kavell
