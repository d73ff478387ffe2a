#include "python/panic_exception.hpp"

#include "python/error.hpp"

namespace kavell {
namespace {

// Created once, never released: exceptions of it may outlive anything we own.
PyObject* panic_type = nullptr;

constexpr const char* PANIC_DOC =
    "Raised when kavell's native code, called from Python, meets an internal fault (a panic).\n"
    "\n"
    "Like SystemExit, it derives from BaseException and not from Exception, so it typically "
    "propagates through the whole stack and makes the interpreter exit.";

}  // namespace

PyObject* existing_panic_exception_type() noexcept { return panic_type; }

PyObject* panic_exception_type() {
    if (panic_type == nullptr) {
        PyObject* type =
            PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", PANIC_DOC, PyExc_BaseException, nullptr);
        if (type == nullptr) {
            panic_with_error("failed to create the PanicException type", PyErr::fetch());
        }
        panic_type = type;
    }
    return panic_type;
}

void raise_panic_exception(std::string_view message, const std::vector<std::string>& notes) {
    PyObject* type = panic_exception_type();
    Ref text = expect_object(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (notes.empty()) {
        Ref args = expect_object(PyTuple_Pack(1, text.get()));
        // The argument tuple as the value: the interpreter normalises lazily.
        PyErr_Restore(Py_NewRef(type), args.release(), nullptr);
        return;
    }
    PyErr err(type, std::move(text));
    for (const std::string& note : notes) {
        err.add_fault_note(note);
    }
    std::move(err).restore();
}

}  // namespace kavell
