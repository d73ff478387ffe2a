// Internal faults.
//
// A Panic is the one way a run ends early: it carries a fixed message,
// unwinds the native stack (RAII releases everything on the way) and is
// caught only by the boundary guard, which raises it in Python as
// PanicException. This header is plain C++ so that the numeric, vector and
// random layers can raise faults without seeing Python.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace kavell {

class Panic : public std::exception {
public:
    explicit Panic(std::string message) noexcept : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// Writes the fault report for `message` to standard error:
//   thread '<unnamed>' panicked at '<message>', <file>:<line>:<column>
// followed, on the first report of the process, by a one-line note.
void report_fault(std::string_view message, std::source_location where) noexcept;

// Reports the fault, then throws Panic(message).
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

// Throws Panic(message) without a report: for a fault already reported
// elsewhere (one that comes back to us through Python code).
[[noreturn]] void resume_panic(std::string message);

}  // namespace kavell
