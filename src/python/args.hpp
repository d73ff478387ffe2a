// Argument binding for every callable that takes arguments.
//
// A static ArgumentSpec describes the parameters; binding fills one slot
// per parameter (positional parameters first, then keyword-only ones) with
// a borrowed reference, or leaves it null. Errors are TypeErrors thrown as
// PyErr with the interpreter-style texts.
#pragma once

#include "python/error.hpp"

#include <cstddef>
#include <span>
#include <string>

namespace kavell {

struct KeywordOnlyParameter {
    const char* name;
    bool required;
};

struct ArgumentSpec {
    const char* class_name;  // may be null
    const char* function_name;
    std::span<const char* const> positional;
    std::size_t positional_only;
    std::size_t required_positional;
    std::span<const KeywordOnlyParameter> keyword_only;

    std::size_t slot_count() const noexcept { return positional.size() + keyword_only.size(); }
    // "{class}.{function}()" or "{function}()".
    std::string full_name() const;
};

// Fast-call form: `args[0..nargs)` positional, then one value per name in `kwnames`.
void bind_fastcall(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   std::span<PyObject*> slots);
// Tuple-and-dict form (a constructor's `tp_new`); `kwargs` may be null.
void bind_tuple_dict(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots);

// Wraps a conversion error of parameter `name`: an exception of exactly
// TypeError becomes TypeError "argument '{name}': {str(err)}" whose
// __cause__ is the original's __cause__; anything else passes unchanged.
PyErr argument_error(const char* name, PyErr err);

}  // namespace kavell
