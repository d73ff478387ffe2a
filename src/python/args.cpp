#include "python/args.hpp"

#include <cstring>
#include <optional>
#include <vector>

namespace kavell {
namespace {

std::string quoted_list(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) {
                out += ",";
            }
            out += (i + 1 == names.size()) ? " and " : " ";
        }
        out += "'" + names[i] + "'";
    }
    return out;
}

[[noreturn]] void type_error(const std::string& message) { throw PyErr(PyExc_TypeError, message); }

// Where a keyword name lands: the slot index, or nothing.
std::optional<std::size_t> find_slot(const ArgumentSpec& spec, std::string_view name) {
    for (std::size_t i = 0; i < spec.keyword_only.size(); ++i) {
        if (name == spec.keyword_only[i].name) {
            return spec.positional.size() + i;
        }
    }
    for (std::size_t i = 0; i < spec.positional.size(); ++i) {
        if (name == spec.positional[i]) {
            return i;
        }
    }
    return std::nullopt;
}

class Binder {
public:
    Binder(const ArgumentSpec& spec, std::span<PyObject*> slots) : spec_(spec), slots_(slots) {
        for (PyObject*& slot : slots_) {
            slot = nullptr;
        }
    }

    void positional(PyObject* const* args, std::size_t n) {
        const std::size_t p = spec_.positional.size();
        for (std::size_t i = 0; i < n && i < p; ++i) {
            slots_[i] = args[i];
        }
        if (n > p) {
            const std::size_t r = spec_.required_positional;
            std::string message = spec_.full_name() + " takes ";
            message += (r != p) ? "from " + std::to_string(r) + " to " + std::to_string(p) : std::to_string(p);
            message += " positional arguments but " + std::to_string(n) + (n == 1 ? " was" : " were") + " given";
            type_error(message);
        }
        given_ = n;
    }

    void keyword(PyObject* name, PyObject* value) {
        if (!PyUnicode_Check(name)) {
            throw conversion_error(name, "PyString");
        }
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
        std::optional<std::size_t> slot;
        if (utf8 == nullptr) {
            PyErr_Clear();  // unencodable: matches no parameter
        } else {
            slot = find_slot(spec_, std::string_view(utf8, static_cast<std::size_t>(size)));
        }
        if (!slot) {
            // Built as a Python str so that the name keeps characters UTF-8 cannot carry.
            const std::string full_name = spec_.full_name();
            throw PyErr(PyExc_TypeError,
                        Ref::check(PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'",
                                                        full_name.c_str(), name)));
        }
        if (*slot < spec_.positional_only) {
            positional_only_given_.emplace_back(utf8, static_cast<std::size_t>(size));
            return;
        }
        if (slots_[*slot] != nullptr) {
            type_error(spec_.full_name() + " got multiple values for argument '" +
                       std::string(utf8, static_cast<std::size_t>(size)) + "'");
        }
        slots_[*slot] = value;
    }

    void finish() const {
        if (!positional_only_given_.empty()) {
            type_error(spec_.full_name() + " got some positional-only arguments passed as keyword arguments: " +
                       quoted_list(positional_only_given_));
        }
        if (given_ < spec_.required_positional) {
            std::vector<std::string> missing;
            for (std::size_t i = given_; i < spec_.required_positional; ++i) {
                if (slots_[i] == nullptr) {
                    missing.emplace_back(spec_.positional[i]);
                }
            }
            // Every empty slot among the required ones is named.
            if (!missing.empty()) {
                missing.clear();
                for (std::size_t i = 0; i < spec_.required_positional; ++i) {
                    if (slots_[i] == nullptr) {
                        missing.emplace_back(spec_.positional[i]);
                    }
                }
                report_missing("positional", missing);
            }
        }
        std::vector<std::string> missing_keywords;
        for (std::size_t i = 0; i < spec_.keyword_only.size(); ++i) {
            if (spec_.keyword_only[i].required && slots_[spec_.positional.size() + i] == nullptr) {
                missing_keywords.emplace_back(spec_.keyword_only[i].name);
            }
        }
        if (!missing_keywords.empty()) {
            report_missing("keyword", missing_keywords);
        }
    }

private:
    [[noreturn]] void report_missing(const char* what, const std::vector<std::string>& names) const {
        type_error(spec_.full_name() + " missing " + std::to_string(names.size()) + " required " + what +
                   (names.size() == 1 ? " argument: " : " arguments: ") + quoted_list(names));
    }

    const ArgumentSpec& spec_;
    std::span<PyObject*> slots_;
    std::size_t given_ = 0;
    std::vector<std::string> positional_only_given_;
};

}  // namespace

std::string ArgumentSpec::full_name() const {
    std::string name = class_name != nullptr ? std::string(class_name) + "." : std::string();
    return name + function_name + "()";
}

void bind_fastcall(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   std::span<PyObject*> slots) {
    Binder binder(spec, slots);
    binder.positional(args, static_cast<std::size_t>(nargs));
    if (kwnames != nullptr) {
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < count; ++i) {
            binder.keyword(PyTuple_GET_ITEM(kwnames, i), args[nargs + i]);
        }
    }
    binder.finish();
}

void bind_tuple_dict(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots) {
    Binder binder(spec, slots);
    binder.positional(PySequence_Fast_ITEMS(args), static_cast<std::size_t>(PyTuple_GET_SIZE(args)));
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            binder.keyword(key, value);
        }
    }
    binder.finish();
}

PyErr argument_error(const char* name, PyErr err) {
    // Normalised first: an instance of a TypeError subclass raised under the
    // name TypeError is not a TypeError for this rule.
    PyObject* original = err.value();
    if (!err.is_exactly(PyExc_TypeError)) {
        return err;
    }
    Ref text = Ref::check(PyObject_Str(original));
    std::string message = std::string("argument '") + name + "': " + utf8_lossy(text.get());
    Ref replacement = Ref::check(PyObject_CallFunction(PyExc_TypeError, "s#", message.data(),
                                                       static_cast<Py_ssize_t>(message.size())));
    if (PyObject* cause = PyException_GetCause(original)) {
        PyException_SetCause(replacement.get(), cause);  // steals the new reference
    }
    // Notes say where the replaced error happened; the replacement keeps them.
    if (Ref notes = Ref::steal(PyObject_GetAttrString(original, "__notes__"))) {
        if (PyList_Check(notes.get())) {
            Ref copy = Ref::check(PyList_GetSlice(notes.get(), 0, PyList_GET_SIZE(notes.get())));
            check_status(PyObject_SetAttrString(replacement.get(), "__notes__", copy.get()));
        }
    } else if (std::optional<PyErr> interrupt = drop_ordinary_error()) {
        throw std::move(*interrupt);
    }
    Ref type = Ref::borrow(PyExc_TypeError);
    return PyErr(std::move(type), std::move(replacement), Ref());
}

}  // namespace kavell
