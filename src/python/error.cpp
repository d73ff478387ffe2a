#include "python/error.hpp"

#include "python/compat.hpp"
#include "python/panic_exception.hpp"
#include "support/panic.hpp"

#include <cstdio>

namespace kavell {
namespace {

Ref unicode_from(std::string_view text) {
    return expect_object(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

// repr() as text; a repr that raises is shown by a placeholder rather than
// hiding the error being described.
std::string repr_text(PyObject* object) {
    Ref repr = Ref::steal(PyObject_Repr(object));
    if (!repr) {
        PyErr_Clear();
        return "<unprintable object>";
    }
    return utf8_lossy(repr.get());
}

// A PanicException fetched from Python is one of our faults (raised by a
// nested call into this module) passing back through Python code: print
// what Python saw of it and continue the fault here.
[[noreturn]] void resume_from_python(Ref type, Ref value, Ref traceback) {
    std::string message = "Unwrapped panic from Python code";
    if (value) {
        if (Ref text = Ref::steal(PyObject_Str(value.get()))) {
            message = utf8_lossy(text.get());
        } else {
            PyErr_Clear();
        }
    }
    std::fputs("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n", stderr);
    std::fputs("Python stack trace below:\n", stderr);
    std::fflush(stderr);
    PyErr_Restore(type.release(), value.release(), traceback.release());
    PyErr_PrintEx(0);
    resume_panic(std::move(message));
}

}  // namespace

PyErr::PyErr(PyObject* type, std::string_view message)
    : type_(Ref::borrow(type)), value_(unicode_from(message)) {}

std::optional<PyErr> PyErr::take() {
    PyObject* t = nullptr;
    PyObject* v = nullptr;
    PyObject* tb = nullptr;
    compat::fetch_error(&t, &v, &tb);
    Ref type = Ref::steal(t);
    Ref value = Ref::steal(v);
    Ref traceback = Ref::steal(tb);
    if (!type) {
        return std::nullopt;
    }
    if (type.get() == existing_panic_exception_type()) {
        resume_from_python(std::move(type), std::move(value), std::move(traceback));
    }
    return PyErr(std::move(type), std::move(value), std::move(traceback));
}

PyErr PyErr::fetch() {
    if (std::optional<PyErr> err = take()) {
        return std::move(*err);
    }
    return PyErr(PyExc_SystemError, "attempted to fetch exception but none was set");
}

void PyErr::restore() && noexcept { PyErr_Restore(type_.release(), value_.release(), traceback_.release()); }

void PyErr::normalize() {
    if (!PyExceptionClass_Check(type_.get())) {
        return;
    }
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(type_.get());
    if (value_ && PyExceptionInstance_Check(value_.get()) && PyType_IsSubtype(Py_TYPE(value_.get()), type)) {
        // C code may raise an instance of a subclass under its base's name
        // (PyErr_SetObject does not normalise before 3.12): the instance is
        // what was raised, so its class is the exception's type.
        if (Py_TYPE(value_.get()) != type) {
            type_ = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value_.get())));
        }
        return;
    }
    // Build the instance as the interpreter would: no argument, the
    // argument tuple spread out, or the single argument.
    Ref instance;
    if (!value_ || value_.get() == Py_None) {
        instance = Ref::steal(PyObject_CallNoArgs(type_.get()));
    } else if (PyTuple_Check(value_.get())) {
        instance = Ref::steal(PyObject_Call(type_.get(), value_.get(), nullptr));
    } else {
        instance = Ref::steal(PyObject_CallOneArg(type_.get(), value_.get()));
    }
    if (!instance) {
        // Creating the exception raised instead: that error is the one to
        // describe, keeping the original traceback if it brings none.
        Ref initial_traceback = std::move(traceback_);
        *this = fetch();
        if (!traceback_) {
            traceback_ = std::move(initial_traceback);
        }
        normalize();
        return;
    }
    if (traceback_) {
        PyException_SetTraceback(instance.get(), traceback_.get());
    }
    value_ = std::move(instance);
}

PyObject* PyErr::value() {
    normalize();
    return value_.get();
}

std::string PyErr::debug_text() {
    // Balanced on every exit, also when describing the error raises.
    struct GilState {
        PyGILState_STATE state = PyGILState_Ensure();
        ~GilState() { PyGILState_Release(state); }
    } gil;
    normalize();
    std::string text = "PyErr { type: " + repr_text(type_.get()) + ", value: " + repr_text(value_.get()) +
                       ", traceback: ";
    text += traceback_ ? "Some(" + repr_text(traceback_.get()) + ")" : std::string("None");
    text += " }";
    return text;
}

void throw_fetched() { throw PyErr::fetch(); }

Ref expect_object(PyObject* p, std::source_location where) {
    if (p == nullptr) {
        PyErr_Print();
        panic("Python API call failed", where);
    }
    return Ref::steal(p);
}

void panic_with_error(std::string_view context, PyErr err, std::source_location where) {
    std::string message(context);
    message += ": ";
    message += err.debug_text();
    panic(std::move(message), where);
}

std::string type_qualname(PyObject* object) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    Ref name = Ref::steal(PyObject_GetAttrString(type, "__qualname__"));
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        return Py_TYPE(object)->tp_name;
    }
    return utf8_lossy(name.get());
}

PyErr conversion_error(PyObject* object, std::string_view target) {
    std::string message = "'" + type_qualname(object) + "' object cannot be converted to '";
    message += target;
    message += "'";
    return PyErr(PyExc_TypeError, message);
}

std::string utf8_lossy(PyObject* str) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(str, &size)) {
        return std::string(data, static_cast<std::size_t>(size));
    }
    // Lone surrogates: encode them as they are, then decode with every
    // invalid sequence replaced by U+FFFD.
    PyErr_Clear();
    Ref raw = Ref::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!raw) {
        PyErr_Clear();
        return "<undecodable text>";
    }
    Ref cleaned = Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()), "replace"));
    const char* data = cleaned ? PyUnicode_AsUTF8AndSize(cleaned.get(), &size) : nullptr;
    if (data == nullptr) {
        PyErr_Clear();
        return "<undecodable text>";
    }
    return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace kavell
