// The boundary guard: the one place that catches.
//
// Every function CPython calls is a noexcept wrapper around guard(): the body
// returns its result or throws; a PyErr is restored unchanged, a Panic is
// raised as PanicException, an allocation failure as MemoryError. Nothing
// thrown ever reaches interpreter frames.
#pragma once

#include "python/error.hpp"
#include "python/panic_exception.hpp"
#include "support/panic.hpp"

#include <new>
#include <string_view>
#include <string>
#include <type_traits>
#include <vector>

namespace kavell {

// A fault while converting a caught fault: nothing sane is left to do.
[[noreturn]] void abort_at_boundary() noexcept;

// Raises PanicException(message), with the panic's notes if it has any; a
// fault while doing so aborts. Takes views so that nothing is allocated
// before its own try block.
void raise_caught_panic(std::string_view message, const std::vector<std::string>& notes = {}) noexcept;

// One level of the interpreter's recursion guard, held by an entry whose
// body may call back into Python and so into the module again (min and max
// call f, which may start a nested run). Deep nesting then ends with the
// interpreter's RecursionError instead of overflowing the native stack.
// Throws the RecursionError (as PyErr) when the limit is reached.
class RecursionLevel {
public:
    explicit RecursionLevel(const char* where);
    ~RecursionLevel();
    RecursionLevel(const RecursionLevel&) = delete;
    RecursionLevel& operator=(const RecursionLevel&) = delete;

    // How many such levels the calling thread holds.
    static int depth() noexcept;
};

// Runs the body; on any failure sets the matching Python exception and
// returns false.
template <class Body>
bool run_guarded(Body&& body) noexcept {
    try {
        body();
        return true;
    } catch (PyErr& err) {
        std::move(err).restore();
    } catch (const Panic& p) {
        raise_caught_panic(p.message(), p.notes());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        // Not one of our faults, but a fault all the same: report and raise it.
        report_fault(e.what(), std::source_location::current());
        raise_caught_panic(e.what());
    } catch (...) {
        report_fault("unknown C++ exception", std::source_location::current());
        raise_caught_panic("unknown C++ exception");
    }
    return false;
}

// The body's result, or `failure` with a Python exception set.
template <class R, class Body>
R guard(R failure, Body&& body) noexcept {
    R result = failure;
    run_guarded([&] { result = body(); });
    return result;
}

// For slots without a failure value (deallocation): the exception goes to
// the interpreter's unraisable hook.
template <class Body>
void guard_void(Body&& body) noexcept {
    if (!run_guarded(body)) {
        PyErr_WriteUnraisable(nullptr);
    }
}

}  // namespace kavell
