#include "python/error.hpp"

#include "python/compat.hpp"
#include "python/panic_exception.hpp"
#include "python/resumed_fault.hpp"
#include "support/panic.hpp"

#include <string>

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
    // The interpreter builds the instance. When building it fails, that
    // error is normalised in turn; at the recursion limit building a
    // RecursionError fails again and again, and only the interpreter's own
    // normalisation has the headroom that ends this.
    PyObject* t = type_.release();
    PyObject* v = value_.release();
    PyObject* tb = traceback_.release();
    compat::normalize_error(&t, &v, &tb);
    type_ = Ref::steal(t);
    value_ = Ref::steal(v);
    traceback_ = Ref::steal(tb);
    if (traceback_ && value_ && PyExceptionInstance_Check(value_.get())) {
        PyException_SetTraceback(value_.get(), traceback_.get());
    }
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
    RecursionHeadroom headroom;
    normalize();
    std::string text = "PyErr { type: " + repr_text(type_.get()) + ", value: " + repr_text(value_.get()) +
                       ", traceback: ";
    text += traceback_ ? "Some(" + repr_text(traceback_.get()) + ")" : std::string("None");
    text += " }";
    return text;
}

bool PyErr::takes_notes() {
    PyObject* instance = value();
    return instance != nullptr && PyObject_TypeCheck(instance, reinterpret_cast<PyTypeObject*>(PyExc_Exception));
}

void PyErr::add_note(std::string_view note) {
    if (takes_notes()) {
        append_note(note, true);
    }
}

void PyErr::add_fault_note(std::string_view note) { append_note(note, false); }

void PyErr::append_note(std::string_view note, bool once) {
    PyObject* instance = value();
    if (instance == nullptr || !PyExceptionInstance_Check(instance)) {
        return;
    }
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(note.data(), static_cast<Py_ssize_t>(note.size()), "replace"));
    if (!text || !attach_note(instance, text.get(), once)) {
        if (std::optional<PyErr> interrupt = drop_ordinary_error()) {
            throw std::move(*interrupt);
        }
    }
}

bool attach_note(PyObject* instance, PyObject* note, bool once) {
    Ref notes = Ref::steal(PyObject_GetAttrString(instance, "__notes__"));
    if (!notes) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return false;
        }
        PyErr_Clear();
        notes = Ref::steal(PyList_New(0));
        if (!notes || PyObject_SetAttrString(instance, "__notes__", notes.get()) < 0) {
            return false;
        }
    } else if (!PyList_Check(notes.get())) {
        // add_note refuses this case with a TypeError; a note is not worth
        // replacing the error it would describe.
        return true;
    } else if (once) {
        const int held = PySequence_Contains(notes.get(), note);
        if (held != 0) {
            return held > 0;
        }
    }
    return PyList_Append(notes.get(), note) == 0;
}

std::optional<PyErr> drop_ordinary_error() {
    std::optional<PyErr> err = PyErr::take();
    if (err && PyErr_GivenExceptionMatches(err->type(), PyExc_Exception)) {
        return std::nullopt;
    }
    return err;
}

std::string short_repr(PyObject* object, std::size_t limit) {
    Ref repr = Ref::steal(PyObject_Repr(object));
    if (!repr) {
        if (std::optional<PyErr> interrupt = drop_ordinary_error()) {
            throw std::move(*interrupt);
        }
        return "<unprintable object>";
    }
    std::string text = utf8_lossy(repr.get());
    if (text.size() > limit) {
        std::size_t cut = limit;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
            --cut;  // not inside a UTF-8 sequence
        }
        text.resize(cut);
        text += "...";
    }
    return text;
}

RecursionHeadroom::RecursionHeadroom() noexcept : raised_(Py_GetRecursionLimit() + HEADROOM) {
    Py_SetRecursionLimit(raised_);
    compat::add_c_recursion_headroom(HEADROOM);
}

RecursionHeadroom::~RecursionHeadroom() {
    compat::add_c_recursion_headroom(-HEADROOM);
    if (Py_GetRecursionLimit() == raised_) {
        Py_SetRecursionLimit(raised_ - HEADROOM);
    }
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
