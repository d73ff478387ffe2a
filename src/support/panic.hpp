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
#include <vector>

namespace kavell {

class Panic : public std::exception {
public:
    explicit Panic(std::string message) noexcept : message_(std::move(message)) {}
    Panic(std::string message, std::vector<std::string> notes) noexcept
        : message_(std::move(message)), notes_(std::move(notes)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

    // Context that the message cannot hold (its text is fixed): which
    // argument, element or coefficient was involved. Layers that know the
    // context catch a passing Panic, add a note and rethrow it; the guard
    // attaches the notes to the PanicException (see add_note in Python).
    void add_note(std::string note) { notes_.push_back(std::move(note)); }
    const std::vector<std::string>& notes() const noexcept { return notes_; }

private:
    std::string message_;
    std::vector<std::string> notes_;
};

// Runs body(); a Panic passing through gets note() added on its way out.
// note is called only on failure, so formatting costs nothing on success.
template <class Body, class Note>
decltype(auto) with_panic_note(Body&& body, Note&& note) {
    try {
        return body();
    } catch (Panic& p) {
        p.add_note(note());
        throw;
    }
}

// Writes the fault report for `message` to standard error:
//   thread '<unnamed>' panicked at '<message>', <file>:<line>:<column>
// followed, on the first report of the process, by a one-line note.
void report_fault(std::string_view message, std::source_location where) noexcept;

// Reports the fault, then throws Panic(message).
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

// Reports the fault, then throws Panic(message) carrying `notes`.
[[noreturn]] void panic(std::string message, std::vector<std::string> notes,
                        std::source_location where = std::source_location::current());

// Throws Panic(message) without a report: for a fault already reported
// elsewhere (one that comes back to us through Python code).
[[noreturn]] void resume_panic(std::string message, std::vector<std::string> notes = {});

}  // namespace kavell
