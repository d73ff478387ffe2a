#include "support/native_stack.hpp"

#include <cstdint>
#include <limits>

#if defined(__linux__) && defined(__GLIBC__)
#include <pthread.h>
#define KAVELL_HAVE_STACK_BOUNDS 1
#endif

namespace kavell {
namespace {

struct StackBounds {
    std::uintptr_t low = 0;  // lowest usable address; 0 when unknown
    std::size_t size = 0;
};

// Read once per thread: a thread's stack does not move.
const StackBounds& thread_stack() noexcept {
    thread_local const StackBounds bounds = [] {
        StackBounds found;
#ifdef KAVELL_HAVE_STACK_BOUNDS
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* address = nullptr;
            std::size_t size = 0;
            if (pthread_attr_getstack(&attr, &address, &size) == 0) {
                std::size_t guard = 0;
                pthread_attr_getguardsize(&attr, &guard);
                found.low = reinterpret_cast<std::uintptr_t>(address) + guard;
                found.size = size;
            }
            pthread_attr_destroy(&attr);
        }
#endif
        return found;
    }();
    return bounds;
}

}  // namespace

std::size_t native_stack_remaining() noexcept {
    const StackBounds& bounds = thread_stack();
    if (bounds.low == 0) {
        return std::numeric_limits<std::size_t>::max();
    }
    // The stack grows down on every platform this reads bounds on.
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    return here > bounds.low ? here - bounds.low : 0;
}

std::size_t native_stack_reserve() noexcept {
    // A nesting level takes about 10 KiB with its Python frames; failing and
    // describing the failure one level up (repr, tracebacks) takes a few
    // more. 256 KiB leaves a wide margin on the usual 8 MiB stacks; a small
    // thread stack keeps three quarters of itself usable.
    constexpr std::size_t RESERVE = 256 * 1024;
    const std::size_t size = thread_stack().size;
    return size != 0 && size / 4 < RESERVE ? size / 4 : RESERVE;
}

}  // namespace kavell
