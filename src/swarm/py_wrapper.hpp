// Objective values: arbitrary Python objects, never converted to numbers,
// ordered through rich comparison and negated through "__neg__".
#pragma once

#include "python/ref.hpp"
#include "vec/xvec.hpp"

#include <optional>

namespace kavell {

enum class Ordering { Less, Equal, Greater };

class PyWrapper {
public:
    explicit PyWrapper(Ref object) noexcept : object_(std::move(object)) {}
    PyWrapper(PyWrapper&&) noexcept = default;
    PyWrapper& operator=(PyWrapper&&) noexcept = default;
    // Copying adds a reference: a particle's best and the swarm's best may
    // hold the same object.
    PyWrapper(const PyWrapper& other) noexcept : object_(other.object_.clone()) {}
    PyWrapper& operator=(const PyWrapper& other) noexcept {
        object_ = other.object_.clone();
        return *this;
    }

    PyObject* get() const noexcept { return object_.get(); }
    Ref release() && noexcept { return std::move(object_); }

    // Calls the object's own "__neg__" method (by name, not the unary-minus
    // operator); faults with "There is no __neg__ method: ..." when there is
    // none or it raises.
    static PyWrapper neg(PyWrapper value);

    // a == b, then a < b, then a > b, each followed by its truth test; an
    // error in one step moves on to the next and is discarded. Empty when
    // no step answered. Never leaves a Python error set.
    static std::optional<Ordering> compare(const PyWrapper& a, const PyWrapper& b);

private:
    Ref object_;
};

class PointCall;

// f(**view): the dict view of `position` as keyword arguments, through the
// run's PointCall. Faults with "failed to call f: ..." when f raises.
PyWrapper evaluate(PointCall& call, const XVec& position);
// evaluate, then PyWrapper::neg of the result (maximisation).
PyWrapper evaluate_negated(PointCall& call, const XVec& position);

}  // namespace kavell
