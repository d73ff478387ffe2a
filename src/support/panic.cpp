#include "support/panic.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if __has_include(<execinfo.h>)
#include <execinfo.h>
#define KAVELL_HAVE_BACKTRACE 1
#endif

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

// Read at every report: it only changes what a fault prints, never a run.
bool backtrace_requested() noexcept {
    const char* value = std::getenv("KAVELL_BACKTRACE");
    return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

void print_backtrace() noexcept {
#ifdef KAVELL_HAVE_BACKTRACE
    void* frames[64];
    const int count = backtrace(frames, 64);
    std::fputs("native backtrace:\n", stderr);
    std::fflush(stderr);
    backtrace_symbols_fd(frames, count, fileno(stderr));
#else
    std::fputs("native backtrace: not available on this platform\n", stderr);
#endif
}

}  // namespace

void report_fault(std::string_view message, std::source_location where) noexcept {
    // Threads are never started by this module, so they have no name of ours.
    std::fprintf(stderr, "thread '<unnamed>' panicked at '%.*s', %s:%u:%u\n",
                 static_cast<int>(message.size()), message.data(), short_path(where.file_name()),
                 static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()));
    if (backtrace_requested()) {
        print_backtrace();
    } else if (!first_report_done.exchange(true)) {
        std::fputs("note: set the environment variable KAVELL_BACKTRACE=1 to print a native backtrace with each "
                   "fault report\n",
                   stderr);
    }
    std::fflush(stderr);
}

void panic(std::string message, std::source_location where) {
    report_fault(message, where);
    throw Panic(std::move(message));
}

void panic(std::string message, std::vector<std::string> notes, std::source_location where) {
    report_fault(message, where);
    throw Panic(std::move(message), std::move(notes));
}

void resume_panic(std::string message, std::vector<std::string> notes) {
    throw Panic(std::move(message), std::move(notes));
}

}  // namespace kavell
