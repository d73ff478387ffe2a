// Raw encodings of BigInt and Decimal for the test-only module:
//   BigInt   (sign, [limb, ...])      sign 0/1/2, limbs least significant first
//   Decimal  (flags, hi, lo, mid)     the four words
// Raw values are taken as given (not normalised), so a test can hand in
// exactly the representation it means.
#pragma once

#include "numeric/bigint.hpp"
#include "numeric/decimal.hpp"
#include "python/error.hpp"
#include "python/scalars.hpp"

#include <cstdint>

namespace kavell::testing {

inline std::uint64_t u64_item(PyObject* sequence, Py_ssize_t i) {
    Ref item = Ref::check(PySequence_GetItem(sequence, i));
    return u64_from_py(item.get());
}

inline void expect_length(PyObject* object, Py_ssize_t n, const char* what) {
    if (!PySequence_Check(object) || PySequence_Size(object) != n) {
        PyErr_Clear();
        throw PyErr(PyExc_TypeError, what);
    }
}

inline BigInt bigint_from_raw(PyObject* raw) {
    expect_length(raw, 2, "expected (sign, [limbs])");
    BigInt value;
    value.sign = static_cast<std::uint8_t>(u64_item(raw, 0));
    Ref limbs = Ref::check(PySequence_GetItem(raw, 1));
    const Py_ssize_t n = PySequence_Size(limbs.get());
    if (n < 0) {
        throw_fetched();
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        value.limbs.push_back(u64_item(limbs.get(), i));
    }
    return value;
}

inline Ref to_raw(const BigInt& value) {
    Ref limbs = Ref::check(PyList_New(static_cast<Py_ssize_t>(value.limbs.size())));
    for (std::size_t i = 0; i < value.limbs.size(); ++i) {
        PyList_SET_ITEM(limbs.get(), static_cast<Py_ssize_t>(i), Ref::check(PyLong_FromUnsignedLongLong(value.limbs[i])).release());
    }
    return Ref::check(Py_BuildValue("(iN)", static_cast<int>(value.sign), limbs.release()));
}

inline Decimal decimal_from_raw(PyObject* raw) {
    expect_length(raw, 4, "expected (flags, hi, lo, mid)");
    Decimal value;
    value.flags = static_cast<std::uint32_t>(u64_item(raw, 0));
    value.hi = static_cast<std::uint32_t>(u64_item(raw, 1));
    value.lo = static_cast<std::uint32_t>(u64_item(raw, 2));
    value.mid = static_cast<std::uint32_t>(u64_item(raw, 3));
    return value;
}

inline Ref to_raw(const Decimal& value) {
    return Ref::check(Py_BuildValue("(kkkk)", static_cast<unsigned long>(value.flags), static_cast<unsigned long>(value.hi),
                                    static_cast<unsigned long>(value.lo), static_cast<unsigned long>(value.mid)));
}

}  // namespace kavell::testing
