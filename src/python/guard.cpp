#include "python/guard.hpp"

#include <cstdlib>

#include "support/native_stack.hpp"

namespace kavell {

void abort_at_boundary() noexcept {
    report_fault("uncaught panic at ffi boundary", std::source_location::current());
    std::abort();
}

namespace {
thread_local int recursion_levels = 0;
}  // namespace

void raise_caught_panic(std::string_view message, const std::vector<std::string>& notes) noexcept {
    try {
        RecursionHeadroom headroom;
        // Before 3.12 a fault raised inside an enclosing run keeps the lazy
        // argument-tuple form: the enclosing run resumes it with the
        // one-element-tuple text, which a normalised instance would change.
        // Its notes are dropped then; the outermost fault still has its own.
        const bool keep_lazy = PY_VERSION_HEX < 0x030C0000 && RecursionLevel::depth() > 0;
        raise_panic_exception(message, keep_lazy ? std::vector<std::string>{} : notes);
    } catch (...) {
        abort_at_boundary();
    }
}

RecursionLevel::RecursionLevel(const char* where) {
    // The native stack may run out before the interpreter's count does
    // (its C recursion limit is high from 3.12 on); that ends the nesting
    // with the same RecursionError.
    if (native_stack_remaining() < native_stack_reserve()) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        throw_fetched();
    }
    if (Py_EnterRecursiveCall(where) != 0) {
        throw_fetched();
    }
    ++recursion_levels;
}

RecursionLevel::~RecursionLevel() {
    --recursion_levels;
    Py_LeaveRecursiveCall();
}

int RecursionLevel::depth() noexcept { return recursion_levels; }

}  // namespace kavell
