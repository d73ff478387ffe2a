#include "swarm/py_wrapper.hpp"

#include "python/error.hpp"
#include "python/point_call.hpp"

namespace kavell {
namespace {

// One rich comparison and its truth value: 1, 0, or -1 with an error pending.
int compare_step(PyObject* a, PyObject* b, int op) {
    Ref result = Ref::steal(PyObject_RichCompare(a, b, op));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

// Drops the pending error of a failed comparison step. Only an ordinary
// Exception is dropped: an interrupt (KeyboardInterrupt, SystemExit, ...)
// ends the run as a failing f does, and a PanicException coming back from
// Python is resumed as our fault.
void discard_error() {
    if (std::optional<PyErr> interrupt = drop_ordinary_error()) {
        panic_with_error("failed to compare", std::move(*interrupt));
    }
}

}  // namespace

PyWrapper PyWrapper::neg(PyWrapper value) {
    static PyObject* const name = PyUnicode_InternFromString("__neg__");
    if (name == nullptr) {
        panic_with_error("There is no __neg__ method", PyErr::fetch());
    }
    PyObject* result = PyObject_CallMethodNoArgs(value.get(), name);
    if (result == nullptr) {
        panic_with_error("There is no __neg__ method", PyErr::fetch());
    }
    return PyWrapper(Ref::steal(result));
}

namespace {

// The three steps on two exact floats or two exact ints within 64 bits,
// which answer without raising and without running Python code: equal, then
// less, else greater. A NaN is unequal to everything and not less than
// anything, so it orders Greater on either side, as the generic steps give.
std::optional<Ordering> compare_numbers(PyObject* a, PyObject* b) noexcept {
    if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) {
        const double x = PyFloat_AS_DOUBLE(a);
        const double y = PyFloat_AS_DOUBLE(b);
        return x == y ? Ordering::Equal : (x < y ? Ordering::Less : Ordering::Greater);
    }
    if (PyLong_CheckExact(a) && PyLong_CheckExact(b)) {
        int overflow_a = 0;
        int overflow_b = 0;
        const long long x = PyLong_AsLongLongAndOverflow(a, &overflow_a);
        const long long y = PyLong_AsLongLongAndOverflow(b, &overflow_b);
        if (overflow_a == 0 && overflow_b == 0) {
            return x == y ? Ordering::Equal : (x < y ? Ordering::Less : Ordering::Greater);
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<Ordering> PyWrapper::compare(const PyWrapper& a, const PyWrapper& b) {
    if (const std::optional<Ordering> order = compare_numbers(a.get(), b.get())) {
        return order;
    }
    const int equal = compare_step(a.get(), b.get(), Py_EQ);
    if (equal == 1) {
        return Ordering::Equal;
    }
    if (equal < 0) {
        discard_error();
    }
    const int less = compare_step(a.get(), b.get(), Py_LT);
    if (less >= 0) {
        return less ? Ordering::Less : Ordering::Greater;
    }
    discard_error();
    const int greater = compare_step(a.get(), b.get(), Py_GT);
    if (greater >= 0) {
        return greater ? Ordering::Greater : Ordering::Less;
    }
    discard_error();
    return std::nullopt;
}

PyWrapper evaluate(PointCall& call, const XVec& position) {
    PyObject* result = call.call(position);
    if (result == nullptr) {
        // The lists of the failed call go after the error is taken and
        // described, while the fault unwinds.
        struct ReleaseLists {
            PointCall& call;
            ~ReleaseLists() { call.release_lists(); }
        } release{call};
        panic_with_error("failed to call f", PyErr::fetch());
    }
    return PyWrapper(Ref::steal(result));
}

PyWrapper evaluate_negated(PointCall& call, const XVec& position) { return PyWrapper::neg(evaluate(call, position)); }

}  // namespace kavell
