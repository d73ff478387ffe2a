// Conversions between Python objects and the values of the eleven kinds.
//
// PyKind<T> holds what differs per kind: from_py reads one object (or throws
// the PyErr the interpreter or the conversion raised; no reference to the
// object is kept), to_py makes a new object of equal value. The sequence
// conversions below are written once on top of them.
//
// Integer kinds are read through __index__. i8, i16 and i32 go through a C
// `long`, which is 64 bits here: a value within 64 bits but outside the
// kind's range fails with OverflowError "out of range integral type
// conversion attempted", a value beyond 64 bits with the interpreter's own
// OverflowError. Float kinds accept what PyFloat_AsDouble accepts, complex
// kinds what PyComplex_AsCComplex accepts; f32 and c64 round to binary32
// without overflow errors. The decimal kind takes an integer within 64 bits
// directly and everything else through its str() text and Decimal::parse.
//
// All of this needs the interpreter lock, and any call may run Python code
// (__index__, __float__, __str__, decimal.Decimal).
#pragma once

#include "python/error.hpp"
#include "support/capacity.hpp"
#include "vec/kinds.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavell {

template <class T>
struct PyKind;

#define KAVELL_DECLARE_PY_KIND(T)              \
    template <>                                \
    struct PyKind<T> {                         \
        static T from_py(PyObject* object);    \
        static Ref to_py(const T& value);      \
    }

KAVELL_DECLARE_PY_KIND(std::int8_t);
KAVELL_DECLARE_PY_KIND(std::int16_t);
KAVELL_DECLARE_PY_KIND(std::int32_t);
KAVELL_DECLARE_PY_KIND(std::int64_t);
KAVELL_DECLARE_PY_KIND(Int128);
KAVELL_DECLARE_PY_KIND(BigInt);
KAVELL_DECLARE_PY_KIND(float);
KAVELL_DECLARE_PY_KIND(double);
KAVELL_DECLARE_PY_KIND(Complex64);
KAVELL_DECLARE_PY_KIND(Complex128);
// to_py calls the decimal.Decimal class, loaded on first use and cached for
// the life of the process. A failed load faults with "failed to load
// decimal.Decimal" and leaves the cache empty; a failing call faults with
// "failed to call decimal.Decimal(value)".
KAVELL_DECLARE_PY_KIND(Decimal);

#undef KAVELL_DECLARE_PY_KIND

// Decimal::parse, its failure raised as ValueError with the parse error text.
Decimal decimal_from_text(std::string_view text);

template <class T>
T from_py(PyObject* object) {
    return PyKind<T>::from_py(object);
}

// Returns a new reference.
template <class T>
Ref to_py(const T& value) {
    return PyKind<T>::to_py(value);
}

// Any object that passes PySequence_Check (list, tuple, range, bytes, ...),
// read by iteration. Anything else is TypeError "'{qualname}' object cannot
// be converted to 'Sequence'". The first element that fails ends the
// conversion with its own exception. Given the argument's `name`, failures
// carry a note saying where: "while converting i8_min[2] = 1.5" (the
// element's repr, cut short), "while converting i8_min = None", "while
// iterating i8_min". An interrupt gets no note (see PyErr::takes_notes):
// nothing, not even the element's repr, runs before it passes on.
template <class T>
std::vector<T> list_from_py(PyObject* object, std::string_view name = {}) {
    const auto noted = [&](PyErr err, auto&& note) {
        if (!name.empty() && err.takes_notes()) {
            err.add_note(note());
        }
        return err;
    };
    if (!PySequence_Check(object)) {
        throw noted(conversion_error(object, "Sequence"),
                    [&] { return "while converting " + std::string(name) + " = " + short_repr(object); });
    }
    std::vector<T> array;
    // The reported length is only a capacity hint: a sequence whose __len__
    // fails is still read by iteration (an interrupt is not a failing __len__).
    const Py_ssize_t size = PySequence_Size(object);
    if (size < 0) {
        if (std::optional<PyErr> interrupt = drop_ordinary_error()) {
            throw std::move(*interrupt);
        }
    } else {
        reserve_checked(array, static_cast<std::size_t>(size));
    }
    const auto iteration_failed = [&] {
        return noted(PyErr::fetch(), [&] { return "while iterating " + std::string(name); });
    };
    Ref iterator = Ref::steal(PyObject_GetIter(object));
    if (!iterator) {
        throw iteration_failed();
    }
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        try {
            array.push_back(PyKind<T>::from_py(item.get()));
        } catch (PyErr& err) {
            throw noted(std::move(err), [&] {
                return "while converting " + std::string(name) + "[" + std::to_string(array.size()) +
                       "] = " + short_repr(item.get());
            });
        }
    }
    // PyIter_Next returns null both at the end and on failure.
    if (PyErr_Occurred()) {
        throw iteration_failed();
    }
    return array;
}

// A new list of exactly the array's length. The array is only read, so a
// caller that still needs it passes it without copying.
template <class T>
Ref list_to_py(const std::vector<T>& array) {
    Ref list = expect_object(PyList_New(static_cast<Py_ssize_t>(array.size())));
    for (std::size_t i = 0; i < array.size(); ++i) {
        // PyList_SET_ITEM steals the element's reference. Slots not yet
        // filled are null, which the list's deallocation tolerates if a
        // later element faults.
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), PyKind<T>::to_py(array[i]).release());
    }
    return list;
}

}  // namespace kavell
