// Test-only entry points for the numeric area of the core.
//
// Values cross in raw form so that the Python oracles see the representation
// itself, not a conversion of it:
//   BigInt   (sign, [limb, ...])      sign 0/1/2, limbs least significant first
//   Decimal  (flags, hi, lo, mid)     the four words
// A failed conversion or overflow comes back as None.
#include "numeric_raw.hpp"

#include "test_entry.hpp"

#include <cmath>

namespace kavell::testing {

namespace {

Ref py_ordering(std::strong_ordering order) {
    return expect_object(PyLong_FromLong(order < 0 ? -1 : (order > 0 ? 1 : 0)));
}

template <class T>
Ref optional_to_raw(const std::optional<T>& value) {
    if (!value) {
        return Ref::borrow(Py_None);
    }
    return to_raw(*value);
}

PyObject* bigint_add(PyObject*, PyObject* args) noexcept {
    return call_with_arguments<2>(args, [](PyObject* a, PyObject* b) { return to_raw(BigInt::add(bigint_from_raw(a), bigint_from_raw(b))); });
}

PyObject* bigint_sub(PyObject*, PyObject* args) noexcept {
    return call_with_arguments<2>(args, [](PyObject* a, PyObject* b) { return to_raw(BigInt::sub(bigint_from_raw(a), bigint_from_raw(b))); });
}

// The in-place forms, on a target whose words are the first operand's.
template <void (*Assign)(BigInt&, const BigInt&)>
PyObject* bigint_assign(PyObject*, PyObject* args) noexcept {
    return call_with_arguments<2>(args, [](PyObject* a, PyObject* b) {
        BigInt target = bigint_from_raw(a);
        Assign(target, bigint_from_raw(b));
        return to_raw(target);
    });
}

PyObject* bigint_neg(PyObject*, PyObject* args) noexcept {
    return call_with_arguments<1>(args, [](PyObject* a) {
        BigInt value = bigint_from_raw(a);
        value.negate();
        return to_raw(value);
    });
}

PyObject* bigint_compare(PyObject*, PyObject* args) noexcept {
    return call_with_arguments<2>(args, [](PyObject* a, PyObject* b) { return py_ordering(BigInt::compare(bigint_from_raw(a), bigint_from_raw(b))); });
}

PyObject* bigint_to_double(PyObject*, PyObject* args) noexcept {
    return call_with_arguments<1>(args, [](PyObject* a) { return Ref::check(PyFloat_FromDouble(BigInt::to_double(bigint_from_raw(a)))); });
}

PyObject* bigint_from_double(PyObject*, PyObject* args) noexcept {
    return call_with_arguments<1>(args, [](PyObject* f) { return optional_to_raw(BigInt::from_double(double_from_py(f))); });
}

PyObject* decimal_add(PyObject*, PyObject* args) noexcept {
    return call_with_arguments<2>(args, [](PyObject* x, PyObject* y) { return optional_to_raw(Decimal::add(decimal_from_raw(x), decimal_from_raw(y))); });
}

PyObject* decimal_sub(PyObject*, PyObject* args) noexcept {
    return call_with_arguments<2>(args, [](PyObject* x, PyObject* y) { return optional_to_raw(Decimal::sub(decimal_from_raw(x), decimal_from_raw(y))); });
}

PyObject* decimal_mul(PyObject*, PyObject* args) noexcept {
    return call_with_arguments<2>(args, [](PyObject* x, PyObject* y) { return optional_to_raw(Decimal::mul(decimal_from_raw(x), decimal_from_raw(y))); });
}

PyObject* decimal_compare(PyObject*, PyObject* args) noexcept {
    return call_with_arguments<2>(args, [](PyObject* x, PyObject* y) { return py_ordering(Decimal::compare(decimal_from_raw(x), decimal_from_raw(y))); });
}

PyObject* decimal_from_double(PyObject*, PyObject* args) noexcept {
    return call_with_arguments<1>(args, [](PyObject* f) { return optional_to_raw(Decimal::from_double(double_from_py(f))); });
}

PyMethodDef methods[] = {
    {"bigint_add", bigint_add, METH_VARARGS, "BigInt::add on raw values."},
    {"bigint_sub", bigint_sub, METH_VARARGS, "BigInt::sub on raw values."},
    {"bigint_add_assign", bigint_assign<BigInt::add_assign>, METH_VARARGS, "BigInt::add_assign on raw values."},
    {"bigint_sub_assign", bigint_assign<BigInt::sub_assign>, METH_VARARGS, "BigInt::sub_assign on raw values."},
    {"bigint_neg", bigint_neg, METH_VARARGS, "BigInt::negate on a raw value."},
    {"bigint_compare", bigint_compare, METH_VARARGS, "BigInt::compare as -1, 0 or 1."},
    {"bigint_to_double", bigint_to_double, METH_VARARGS, "BigInt::to_double."},
    {"bigint_from_double", bigint_from_double, METH_VARARGS, "BigInt::from_double, None on failure."},
    {"decimal_add", decimal_add, METH_VARARGS, "Decimal::add, None on overflow."},
    {"decimal_sub", decimal_sub, METH_VARARGS, "Decimal::sub, None on overflow."},
    {"decimal_mul", decimal_mul, METH_VARARGS, "Decimal::mul, None on overflow."},
    {"decimal_compare", decimal_compare, METH_VARARGS, "Decimal::compare as -1, 0 or 1."},
    {"decimal_from_double", decimal_from_double, METH_VARARGS, "Decimal::from_double, None on failure."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const PyMethodDef* numeric_methods() { return methods; }

}  // namespace kavell::testing
