// The few C-API calls that differ between the supported CPython versions.
#pragma once

#include "python/ref.hpp"

#if PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>
#endif

#include <cstddef>
#include <cstdint>

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

namespace detail {

// The value's magnitude in the interpreter's digits; returns their count.
inline Py_ssize_t long_digits(long long value, digit (&digits)[(64 + PyLong_SHIFT - 1) / PyLong_SHIFT]) noexcept {
    unsigned long long magnitude = value < 0 ? 0ull - static_cast<unsigned long long>(value)
                                             : static_cast<unsigned long long>(value);
    Py_ssize_t count = 0;
    for (; magnitude != 0; magnitude >>= PyLong_SHIFT) {
        digits[count++] = static_cast<digit>(magnitude & PyLong_MASK);
    }
    return count;
}

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
// 3.12 and 3.13 keep the digit count and the sign in one tag: the count
// above _PyLong_NON_SIZE_BITS, the sign in the lowest two bits (0 positive,
// 1 zero, 2 negative), the bit between them reserved and clear.
constexpr std::uintptr_t LONG_NEGATIVE = 2;

inline std::uintptr_t long_tag(Py_ssize_t count, bool negative) noexcept {
    return (static_cast<std::uintptr_t>(count) << _PyLong_NON_SIZE_BITS) | (negative ? LONG_NEGATIVE : 0);
}

inline bool long_write(PyObject* object, long long value) noexcept {
    digit digits[(64 + PyLong_SHIFT - 1) / PyLong_SHIFT];
    const Py_ssize_t count = long_digits(value, digits);
    auto& number = reinterpret_cast<PyLongObject*>(object)->long_value;
    // Only the tag of an object with exactly this many digits, of either
    // sign, qualifies: its allocation holds them, and a reserved bit set
    // (a layout this code does not know) fails the test.
    if ((number.lv_tag | LONG_NEGATIVE) != long_tag(count, true)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        number.ob_digit[i] = digits[i];
    }
    number.lv_tag = long_tag(count, value < 0);
    return true;
}

// Whether the layout above is the interpreter's: ints it makes carry the
// tag and digits written here, and an int written here reads back, compares
// and hashes as the interpreter's own of that value. Asked once per process
// (under the interpreter lock); any difference turns writing off.
inline bool long_layout_is_known() noexcept {
    static const bool known = [] {
        constexpr long long samples[][2] = {
            {1234567, 7654321}, {-1234567, -7654321}, {(1ll << 40) + 12345, -((1ll << 41) + 99)},
            {(1ll << 62) + 3, -(1ll << 62) - 5}, {-(1ll << 62) - 5, (1ll << 62) + 3}};
        bool ok = true;
        for (const auto& pair : samples) {
            Ref made = Ref::steal(PyLong_FromLongLong(pair[0]));
            Ref expected = Ref::steal(PyLong_FromLongLong(pair[1]));
            if (!made || !expected) {
                PyErr_Clear();
                return false;
            }
            digit digits[(64 + PyLong_SHIFT - 1) / PyLong_SHIFT];
            const Py_ssize_t count = long_digits(pair[0], digits);
            const auto& number = reinterpret_cast<PyLongObject*>(made.get())->long_value;
            ok = ok && Py_REFCNT(made.get()) == 1 && number.lv_tag == long_tag(count, pair[0] < 0);
            for (Py_ssize_t i = 0; ok && i < count; ++i) {
                ok = number.ob_digit[i] == digits[i];
            }
            ok = ok && long_write(made.get(), pair[1]) && PyLong_AsLongLong(made.get()) == pair[1] &&
                 PyObject_RichCompareBool(made.get(), expected.get(), Py_EQ) == 1 &&
                 PyObject_Hash(made.get()) == PyObject_Hash(expected.get());
            if (PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
        }
        return ok;
    }();
    return known;
}
#endif

}  // namespace detail

// Writes `value` into an exact int that nobody but the caller references,
// when the object already has the number of digits the value needs; returns
// false, writing nothing, otherwise. Values of the small-int cache are never
// written, since the interpreter hands those out as shared objects, and
// neither are immortal objects. Before 3.12 the digit count is the object's
// size; 3.12 and 3.13 keep it in a tag, whose layout is checked against the
// interpreter once per process. Other versions always say false.
inline bool long_overwrite(PyObject* object, long long value) noexcept {
#if PY_VERSION_HEX < 0x030C0000 && !defined(Py_GIL_DISABLED)
    if (value >= -5 && value <= 256) {
        return false;
    }
    digit digits[(64 + PyLong_SHIFT - 1) / PyLong_SHIFT];
    const Py_ssize_t count = detail::long_digits(value, digits);
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
#elif PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
    if ((value >= -5 && value <= 256) || Py_REFCNT(object) != 1 || _Py_IsImmortal(object)) {
        return false;
    }
    return detail::long_layout_is_known() && detail::long_write(object, value);
#else
    (void)object;
    (void)value;
    return false;
#endif
}

// Bits of the magnitude of an int; (size_t)-1 with an exception set on failure.
inline std::size_t long_num_bits(PyObject* v) noexcept { return _PyLong_NumBits(v); }

}  // namespace kavell::compat
