#include "support/panic.hpp"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace kavell {
namespace {

std::atomic<bool> first_report_done{false};

// Source paths are absolute in the build; the report shows them from src/ on.
const char* short_path(const char* path) noexcept {
    const char* best = path;
    for (const char* p = std::strstr(path, "src/"); p != nullptr; p = std::strstr(p + 1, "src/")) {
        best = p;
    }
    return best;
}

}  // namespace

void report_fault(std::string_view message, std::source_location where) noexcept {
    // Threads are never started by this module, so they have no name of ours.
    std::fprintf(stderr, "thread '<unnamed>' panicked at '%.*s', %s:%u:%u\n",
                 static_cast<int>(message.size()), message.data(), short_path(where.file_name()),
                 static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()));
    if (!first_report_done.exchange(true)) {
        std::fputs("note: the fault above was raised in kavell's native code and is re-raised in Python as "
                   "PanicException\n",
                   stderr);
    }
    std::fflush(stderr);
}

void panic(std::string message, std::source_location where) {
    report_fault(message, where);
    throw Panic(std::move(message));
}

void resume_panic(std::string message) { throw Panic(std::move(message)); }

}  // namespace kavell
