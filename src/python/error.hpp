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

    // Whether add_note adds anything: only an Exception takes notes. An
    // interrupt (KeyboardInterrupt, SystemExit, any other BaseException)
    // passes on exactly as it was raised, so a caller skips making the note.
    bool takes_notes();

    // Appends `note` to the exception's __notes__, as BaseException.add_note
    // does on 3.11 and later (and the same way on 3.10, where tracebacks do
    // not show notes yet). str(), args and the type stay as they are. Not for
    // an error that takes no notes (above), nor when the exception already
    // carries the same note: one instance raised again gets it once. A note
    // that cannot be attached is dropped: it only adds context.
    void add_note(std::string_view note);

    // add_note without those rules: for a PanicException of our own making.
    void add_fault_note(std::string_view note);

    const char* what() const noexcept override { return "Python exception"; }

private:
    void normalize();
    void append_note(std::string_view note, bool once);

    Ref type_;
    Ref value_;
    Ref traceback_;
};

// Extra recursion depth while a failure is being reported. At the
// recursion limit, describing an error (repr() of its parts) or raising
// PanicException would itself fail with RecursionError, again and again;
// the interpreter gives its own error handling the same kind of headroom.
// The limit is raised by HEADROOM for the scope and put back unless Python
// code run meanwhile changed it; where C calls are counted apart (3.12 and
// 3.13), the thread's C budget gets the same headroom.
class RecursionHeadroom {
public:
    static constexpr int HEADROOM = 50;
    RecursionHeadroom() noexcept;
    ~RecursionHeadroom();
    RecursionHeadroom(const RecursionHeadroom&) = delete;
    RecursionHeadroom& operator=(const RecursionHeadroom&) = delete;

private:
    int raised_;
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

// repr() as text for notes, cut to about `limit` bytes (on a character
// boundary, "..." marking the cut); "<unprintable object>" when repr raises
// an ordinary exception.
std::string short_repr(PyObject* object, std::size_t limit = 200);

// Appends the str `note` to the __notes__ list of an exception instance,
// creating the list if there is none; with `once`, not when the list already
// holds an equal note. Returns false with the error pending when that fails;
// __notes__ that is not a list is left alone (true).
bool attach_note(PyObject* instance, PyObject* note, bool once = false);

// The one rule for errors that a step may drop (a failed comparison step,
// the failed integer route of a decimal conversion, a failing __len__): takes
// the pending error and drops it when it is an Exception. Anything else
// (KeyboardInterrupt, SystemExit, GeneratorExit and other BaseException
// subclasses) is returned for the caller to raise, so an interrupt is never
// swallowed. A PanicException is resumed as our fault, as every fetch does.
std::optional<PyErr> drop_ordinary_error();

}  // namespace kavell
