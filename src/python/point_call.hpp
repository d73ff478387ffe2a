// PointCall: f(**view) for one point after another, without the dict.
//
// The callee sees exactly the call f(**to_dict(position)): one keyword per
// non-empty kind, in kind order, each bound to a list of exactly that
// kind's elements. What differs is only the work around it:
//
//   * the key strings are interned once per process and the keyword-names
//     tuple is made once per set of present kinds, so the call goes through
//     vectorcall (the keys and lists on a stack) instead of a dict that the
//     interpreter unpacks again;
//   * a list that nobody but this object references after the call, still
//     of its length and holding only objects of the kind's own exact type, is
//     kept and refilled for the next call; so is an element float or complex
//     that nobody else references. Anything the objective kept (a list, an
//     element) keeps its value: it is replaced, never written. A list holding
//     anything else is released right after the call, when the dict that
//     used to hold it was released, so destructors of the objective's own
//     objects run when they always did. The elements of a list are checked
//     once per call, when it returns; from then until the next call the
//     kept list is untracked by the garbage collector, so no code run in
//     between can reach it. Free-threaded builds, where a reference count
//     of one proves nothing, never reuse.
//
// Requires the interpreter lock; every failure is a fault, as for to_dict.
#pragma once

#include "python/ref.hpp"
#include "vec/kinds.hpp"
#include "vec/xvec.hpp"

#include <array>
#include <cstdint>

namespace kavell {

// The interned key string of kind K (borrowed; lives as long as the process).
PyObject* kind_key(std::size_t kind);

class PointCall {
public:
    // `f` is borrowed and must outlive this object.
    explicit PointCall(PyObject* f) noexcept : f_(f) {}
    PointCall(const PointCall&) = delete;
    PointCall& operator=(const PointCall&) = delete;

    // f(**view of position): a new reference, or null with the error
    // pending and the lists still held; the caller fetches the error first
    // and then calls release_lists, as the dict of the call used to be
    // released after the error was taken.
    PyObject* call(const XVec& position);
    void release_lists() noexcept;

private:
    void fill_lists(const XVec& position, PyObject** stack);
    void keep_or_release_lists();

    PyObject* f_;
    std::uint32_t present_ = ~0u;  // bit K set when kind K is passed
    std::uint32_t unshared_ = 0;   // bit K set when no element of kept list K was shared
    Ref kwnames_;
    std::array<Ref, KIND_COUNT> lists_;
};

}  // namespace kavell
