#include "swarm/py_wrapper.hpp"

#include "python/dict_view.hpp"
#include "python/error.hpp"

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

std::optional<Ordering> PyWrapper::compare(const PyWrapper& a, const PyWrapper& b) {
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

PyWrapper evaluate(PyObject* f, const XVec& position) {
    Ref kwargs = to_dict(position);
    Ref args = expect_object(PyTuple_New(0));
    PyObject* result = PyObject_Call(f, args.get(), kwargs.get());
    if (result == nullptr) {
        panic_with_error("failed to call f", PyErr::fetch());
    }
    return PyWrapper(Ref::steal(result));
}

PyWrapper evaluate_negated(PyObject* f, const XVec& position) { return PyWrapper::neg(evaluate(f, position)); }

}  // namespace kavell
