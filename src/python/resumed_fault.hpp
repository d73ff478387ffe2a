// A fault of this module coming back through Python code.
//
// An objective that starts a nested run and lets its PanicException
// propagate hands the fault back to the enclosing run, which prints what
// Python saw of it and continues it as its own fault (see PyErr::take).
#pragma once

#include "python/ref.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace kavell {

// Prints the fetched PanicException (type, value, traceback) to standard
// error and throws the Panic that continues it, without a second report.
[[noreturn]] void resume_from_python(Ref type, Ref value, Ref traceback);

// The parts of a resumed message, apart for the test module.
namespace resumed {

// Before 3.12 a fault crosses each enclosing run as its argument tuple, so
// its message is wrapped once per level as "('...',)" and repr's escaping
// about doubles it. A message longer than `limit` bytes keeps its first and
// last limit / 2 bytes, and between them a marker and the innermost fault's
// own message (cut after ROOT_LIMIT bytes), which the wrapping would
// otherwise push out of sight:
//   head[... N bytes cut ...][innermost fault (L bytes): root]tail
// Shorter messages are returned as they are.
constexpr std::size_t MESSAGE_LIMIT = 8192;
constexpr std::size_t PRINTED_LIMIT = 1024;
constexpr std::size_t ROOT_LIMIT = 1024;
std::string bounded(const std::string& text, std::size_t limit, std::string_view root);

// The innermost message of `message` (a resumed message as Python holds it):
// the root of a marker it carries, else the text inside any number of
// one-element-tuple wrappings; the message itself when it has neither.
std::string innermost(std::string message);

// "('...',)" or ("...",) as str() writes a one-element tuple of a str, read
// back into that str; nothing when `text` is not of that form.
std::optional<std::string> unwrapped(std::string_view text);

}  // namespace resumed

}  // namespace kavell
