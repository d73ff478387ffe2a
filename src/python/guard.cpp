#include "python/guard.hpp"

#include <cstdlib>

namespace kavell {

void abort_at_boundary() noexcept {
    report_fault("uncaught panic at ffi boundary", std::source_location::current());
    std::abort();
}

void raise_caught_panic(std::string_view message) noexcept {
    try {
        raise_panic_exception(message);
    } catch (...) {
        abort_at_boundary();
    }
}

}  // namespace kavell
