#include "python/resumed_fault.hpp"

#include "python/error.hpp"
#include "support/panic.hpp"

#include <cstdio>
#include <vector>

namespace kavell {
namespace resumed {
namespace {

constexpr std::string_view ROOT_OPENING = "][innermost fault (";
constexpr std::string_view ROOT_LENGTH_END = " bytes): ";

std::size_t char_boundary(std::string_view text, std::size_t at) {
    while (at > 0 && at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) {
        --at;
    }
    return at;
}

void append_utf8(std::string& out, char32_t code) {
    if (code >= 0xD800 && code <= 0xDFFF) {
        code = 0xFFFD;  // a fault's text has no lone surrogates
    }
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// The value of `digits` hex digits at text[at], or nothing.
std::optional<char32_t> hex_at(std::string_view text, std::size_t at, std::size_t digits) {
    if (text.size() - at < digits) {
        return std::nullopt;
    }
    char32_t value = 0;
    for (std::size_t i = at; i < at + digits; ++i) {
        const char c = text[i];
        const int digit = c >= '0' && c <= '9' ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0) {
            return std::nullopt;
        }
        value = value * 16 + static_cast<char32_t>(digit);
    }
    return value <= 0x10FFFF ? std::optional<char32_t>(value) : std::nullopt;
}

// The root a bounded message carries: its first marker whose stated length
// is followed by the closing bracket.
std::optional<std::string> marked_root(std::string_view text) {
    for (std::size_t at = text.find(ROOT_OPENING); at != std::string_view::npos;
         at = text.find(ROOT_OPENING, at + 1)) {
        std::size_t p = at + ROOT_OPENING.size();
        std::size_t length = 0;
        const std::size_t digits_start = p;
        while (p < text.size() && p - digits_start < 9 && text[p] >= '0' && text[p] <= '9') {
            length = length * 10 + static_cast<std::size_t>(text[p++] - '0');
        }
        if (p == digits_start || text.substr(p, ROOT_LENGTH_END.size()) != ROOT_LENGTH_END) {
            continue;
        }
        p += ROOT_LENGTH_END.size();
        if (length < text.size() - p && text[p + length] == ']') {
            return std::string(text.substr(p, length));
        }
    }
    return std::nullopt;
}

}  // namespace

std::string bounded(const std::string& text, std::size_t limit, std::string_view root) {
    if (text.size() <= limit) {
        return text;
    }
    const std::size_t head = char_boundary(text, limit / 2);
    const std::size_t tail = char_boundary(text, text.size() - limit / 2);
    std::string kept(root);
    if (kept.size() > ROOT_LIMIT) {
        kept.resize(char_boundary(kept, ROOT_LIMIT));
        kept += "...";
    }
    std::string out = text.substr(0, head);
    out += "[... " + std::to_string(tail - head) + " bytes cut ...";
    out += ROOT_OPENING;
    out += std::to_string(kept.size());
    out += ROOT_LENGTH_END;
    out += kept;
    out += ']';
    out.append(text, tail);
    return out;
}

std::optional<std::string> unwrapped(std::string_view text) {
    if (text.size() < 5 || text.front() != '(' || !text.ends_with(",)")) {
        return std::nullopt;
    }
    const char quote = text[1];
    if ((quote != '\'' && quote != '"') || text[text.size() - 3] != quote) {
        return std::nullopt;
    }
    const std::string_view body = text.substr(2, text.size() - 5);
    std::string out;
    out.reserve(body.size());
    for (std::size_t i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (c == quote) {
            return std::nullopt;  // an unescaped quote ends the literal early
        }
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i == body.size()) {
            return std::nullopt;
        }
        std::size_t digits = 0;
        switch (body[i]) {
        case '\\': case '\'': case '"': out += body[i]; continue;
        case 'n': out += '\n'; continue;
        case 'r': out += '\r'; continue;
        case 't': out += '\t'; continue;
        case 'x': digits = 2; break;
        case 'u': digits = 4; break;
        case 'U': digits = 8; break;
        default: return std::nullopt;
        }
        const std::optional<char32_t> code = hex_at(body, i + 1, digits);
        if (!code) {
            return std::nullopt;
        }
        append_utf8(out, *code);
        i += digits;
    }
    return out;
}

std::string innermost(std::string message) {
    for (;;) {
        if (std::optional<std::string> root = marked_root(message)) {
            return std::move(*root);
        }
        std::optional<std::string> inner = unwrapped(message);
        if (!inner) {
            return message;
        }
        message = std::move(*inner);
    }
}

}  // namespace resumed

namespace {

// The notes of a PanicException instance (a nested run's fault that
// carried context), so that the resumed fault carries them on.
std::vector<std::string> notes_of(PyObject* value) {
    std::vector<std::string> notes;
    if (value == nullptr || !PyExceptionInstance_Check(value)) {
        return notes;
    }
    Ref list = Ref::steal(PyObject_GetAttrString(value, "__notes__"));
    if (!list || !PyList_Check(list.get())) {
        PyErr_Clear();
        return notes;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        PyObject* note = PyList_GET_ITEM(list.get(), i);
        if (PyUnicode_Check(note)) {
            notes.push_back(utf8_lossy(note));
        }
    }
    return notes;
}

// The message the fetched value holds: its one str argument (the element of
// the lazy argument tuple, or of an instance's args), else its str().
std::string inner_message(PyObject* value, const std::string& text) {
    Ref args = PyTuple_Check(value) ? Ref::borrow(value) : Ref::steal(PyObject_GetAttrString(value, "args"));
    if (!args) {
        PyErr_Clear();
    } else if (PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) == 1 &&
               PyUnicode_Check(PyTuple_GET_ITEM(args.get(), 0))) {
        return utf8_lossy(PyTuple_GET_ITEM(args.get(), 0));
    }
    return text;
}

// PyErr_PrintEx of the fetched exception. When its message had to be cut,
// the print shows it cut the same way to `shown`: the argument tuple is
// replaced, or an instance's args are swapped for the print and put back.
void print_resumed(Ref type, Ref value, Ref traceback, const std::optional<std::string>& shown) {
    Ref instance;
    Ref saved_args;
    if (shown) {
        Ref text = Ref::steal(PyUnicode_DecodeUTF8(shown->data(), static_cast<Py_ssize_t>(shown->size()), "replace"));
        Ref args = text ? Ref::steal(PyTuple_Pack(1, text.get())) : Ref();
        if (args && PyTuple_Check(value.get())) {
            value = std::move(args);
        } else if (args && PyExceptionInstance_Check(value.get())) {
            saved_args = Ref::steal(PyObject_GetAttrString(value.get(), "args"));
            if (saved_args && PyObject_SetAttrString(value.get(), "args", args.get()) == 0) {
                instance = Ref::borrow(value.get());
            }
        }
        PyErr_Clear();  // the print is then the plain one
    }
    PyErr_Restore(type.release(), value.release(), traceback.release());
    PyErr_PrintEx(0);
    if (instance && PyObject_SetAttrString(instance.get(), "args", saved_args.get()) < 0) {
        PyErr_Clear();
    }
}

}  // namespace

void resume_from_python(Ref type, Ref value, Ref traceback) {
    std::string message = "Unwrapped panic from Python code";
    std::optional<std::string> shown;
    if (value) {
        if (Ref text = Ref::steal(PyObject_Str(value.get()))) {
            message = utf8_lossy(text.get());
            if (message.size() > resumed::MESSAGE_LIMIT) {
                const std::string root = resumed::innermost(inner_message(value.get(), message));
                shown = resumed::bounded(message, resumed::PRINTED_LIMIT, root);
                message = resumed::bounded(message, resumed::MESSAGE_LIMIT, root);
            }
        } else {
            PyErr_Clear();
        }
    }
    std::vector<std::string> notes = notes_of(value.get());
    std::fputs("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n", stderr);
    std::fputs("Python stack trace below:\n", stderr);
    std::fflush(stderr);
    print_resumed(std::move(type), std::move(value), std::move(traceback), shown);
    resume_panic(std::move(message), std::move(notes));
}

}  // namespace kavell
