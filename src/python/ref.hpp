// Ref: the one owning reference type for Python objects.
//
// Rules of use:
//   * Ref::steal(p) takes over a new reference (the result of a C-API call
//     documented as "Return value: New reference");
//   * Ref::borrow(p) adds a reference to a borrowed pointer;
//   * Ref::check(p) steals, but throws the fetched PyErr when p is null, so
//     every fallible call is checked where it is made;
//   * move-only; clone() adds a reference explicitly; release() hands the
//     reference to CPython (for example as a slot's return value).
// Logic code never calls Py_INCREF/Py_DECREF itself. All of this requires
// the interpreter lock. The destructor may run arbitrary Python code (a
// __del__); CPython reports exceptions from there as unraisable.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace kavell {

class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    // Defined in error.hpp (needs PyErr).
    static Ref check(PyObject* p);

    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    Ref clone() const noexcept { return borrow(p_); }
    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace kavell
