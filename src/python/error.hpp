// PyErr: a Python exception owned by C++.
//
// The pending exception is fetched into the PyErr when it is made, so that
// destructors running while it unwinds see no pending error. It travels as
// a C++ exception up to the boundary guard, which restores it unchanged.
#pragma once

#include "python/ref.hpp"

#include <exception>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>

namespace kavell {

class PyErr : public std::exception {
public:
    // An exception of `type` whose argument is `message`. Nothing is
    // normalised until the exception is raised or inspected.
    PyErr(PyObject* type, std::string_view message);
    // An exception of `type` whose argument is the str `message`.
    PyErr(PyObject* type, Ref message) noexcept : type_(Ref::borrow(type)), value_(std::move(message)) {}
    PyErr(Ref type, Ref value, Ref traceback) noexcept
        : type_(std::move(type)), value_(std::move(value)), traceback_(std::move(traceback)) {}

    PyErr(PyErr&&) noexcept = default;
    PyErr& operator=(PyErr&&) noexcept = default;

    // Takes the pending exception, if any. A PanicException coming back from
    // Python is not returned: its fault is resumed as a Panic (see error.cpp).
    static std::optional<PyErr> take();
    // take(), or SystemError "attempted to fetch exception but none was set".
    static PyErr fetch();

    // Makes this the interpreter's pending exception, unchanged.
    void restore() && noexcept;

    // Normalises in place and returns the exception instance (borrowed).
    PyObject* value();
    // The type as fetched or made; value() may replace it with the class of
    // the instance (see normalize()).
    PyObject* type() const noexcept { return type_.get(); }
    // True when the exception's type is exactly `type`; call value() first
    // when the error may not be normalised yet.
    bool is_exactly(PyObject* type) const noexcept { return type_.get() == type; }

    // "PyErr { type: T, value: V, traceback: Some(R) }" or "... traceback: None }".
    std::string debug_text();

    const char* what() const noexcept override { return "Python exception"; }

private:
    void normalize();

    Ref type_;
    Ref value_;
    Ref traceback_;
};

// Throws PyErr::fetch(). For a C-API call that reported failure.
[[noreturn]] void throw_fetched();

// Checks an int-returning C-API call (-1 on failure).
inline int check_status(int status) {
    if (status == -1) {
        throw_fetched();
    }
    return status;
}

inline Ref Ref::check(PyObject* p) {
    if (p == nullptr) {
        throw_fetched();
    }
    return Ref::steal(p);
}

// For calls that must not fail (creating a str, list or dict): when they do
// anyway, the pending error is printed and the run faults with
// "Python API call failed".
Ref expect_object(PyObject* p, std::source_location where = std::source_location::current());

// Fatal error result: a fault whose message is `context`, ": " and the
// error's debug text.
[[noreturn]] void panic_with_error(std::string_view context, PyErr err,
                                   std::source_location where = std::source_location::current());

// The __qualname__ of an object's type, for "'{}' object cannot be converted to '{}'".
std::string type_qualname(PyObject* object);
// TypeError "'{qualname}' object cannot be converted to '{target}'".
PyErr conversion_error(PyObject* object, std::string_view target);

// UTF-8 of a str object with invalid sequences replaced.
std::string utf8_lossy(PyObject* str);

}  // namespace kavell
