// The few C-API calls that differ between the supported CPython versions.
#pragma once

#include "python/ref.hpp"

#if PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>
#endif

#include <cstddef>

// A module built against a debug interpreter must see its pyconfig.h: object
// layouts and reference counting differ from the release headers.
#if defined(KAVELL_PYTHON_DEBUG) && !defined(Py_DEBUG)
#error "the interpreter is a debug build but the headers read are not: check the include folders"
#endif

namespace kavell::compat {

// Takes the pending exception as (type, value, traceback); all null when
// none is pending. 3.12 keeps only the exception object.
inline void fetch_error(PyObject** type, PyObject** value, PyObject** traceback) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) {
        *type = *value = *traceback = nullptr;
        return;
    }
    *type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
    *traceback = PyException_GetTraceback(exc);
    *value = exc;
#else
    PyErr_Fetch(type, value, traceback);
#endif
}

// The interpreter's normalisation of a fetched (type, value, traceback),
// with its recursion headroom. Deprecated, not removed, from 3.12 on, where
// errors are normalised when raised and this only finishes the odd case.
inline void normalize_error(PyObject** type, PyObject** value, PyObject** traceback) noexcept {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    PyErr_NormalizeException(type, value, traceback);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}

// Adds `calls` to the calling thread's budget of nested C calls, which 3.12
// and 3.13 keep apart from the Python recursion limit (and which
// Py_SetRecursionLimit does not touch); a later call takes it back.
inline void add_c_recursion_headroom(int calls) noexcept {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000
    PyThreadState_Get()->c_recursion_remaining += calls;
#else
    (void)calls;
#endif
}

// Signed little-endian conversion of an int into `n` bytes; -1 with
// OverflowError when the value does not fit.
inline int long_as_byte_array(PyObject* v, unsigned char* bytes, std::size_t n) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return _PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(v), bytes, n, 1, 1, 1);
#else
    return _PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(v), bytes, n, 1, 1);
#endif
}

inline PyObject* long_from_byte_array(const unsigned char* bytes, std::size_t n) noexcept {
    return _PyLong_FromByteArray(bytes, n, 1, 1);
}

// Writes `value` into an exact int that nobody but the caller references,
// when the object already has the number of digits the value needs; returns
// false, writing nothing, otherwise. Values of the small-int cache are never
// written, since the interpreter hands those out as shared objects. Only the
// digit layout before 3.12 is known here: later versions always say false.
inline bool long_overwrite(PyObject* object, long long value) noexcept {
#if PY_VERSION_HEX < 0x030C0000 && !defined(Py_GIL_DISABLED)
    if (value >= -5 && value <= 256) {
        return false;
    }
    unsigned long long magnitude = value < 0 ? 0ull - static_cast<unsigned long long>(value)
                                             : static_cast<unsigned long long>(value);
    digit digits[(64 + PyLong_SHIFT - 1) / PyLong_SHIFT];
    Py_ssize_t count = 0;
    for (; magnitude != 0; magnitude >>= PyLong_SHIFT) {
        digits[count++] = static_cast<digit>(magnitude & PyLong_MASK);
    }
    const Py_ssize_t size = Py_SIZE(object);
    if ((size < 0 ? -size : size) != count) {
        return false;
    }
    auto* number = reinterpret_cast<PyLongObject*>(object);
    for (Py_ssize_t i = 0; i < count; ++i) {
        number->ob_digit[i] = digits[i];
    }
    Py_SET_SIZE(object, value < 0 ? -count : count);
    return true;
#else
    (void)object;
    (void)value;
    return false;
#endif
}

// Bits of the magnitude of an int; (size_t)-1 with an exception set on failure.
inline std::size_t long_num_bits(PyObject* v) noexcept { return _PyLong_NumBits(v); }

}  // namespace kavell::compat
