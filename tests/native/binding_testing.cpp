// Test-only entry points for the argument binder, with a probe spec that
// uses every feature of a spec (positional-only and keyword-only parameters).
#include "python/args.hpp"
#include "python/guard.hpp"

#include <array>

namespace kavell::testing {

namespace {

constexpr std::array<const char*, 4> PROBE_POSITIONAL = {"a", "b", "c", "d"};
constexpr std::array<KeywordOnlyParameter, 2> PROBE_KEYWORD_ONLY = {{{"k", true}, {"m", false}}};
constexpr ArgumentSpec PROBE_SPEC = {
    .class_name = nullptr,
    .function_name = "probe",
    .positional = PROBE_POSITIONAL,
    .positional_only = 1,
    .required_positional = 3,
    .keyword_only = PROBE_KEYWORD_ONLY,
};

// A callable with only a required keyword-only parameter: no positional
// parameter at all, so P = R = 0.
constexpr std::array<KeywordOnlyParameter, 1> KEYWORD_ONLY_PROBE_PARAMETERS = {{{"k", true}}};
constexpr ArgumentSpec KEYWORD_ONLY_PROBE_SPEC = {
    .class_name = "Probe",
    .function_name = "keywords",
    .positional = {},
    .positional_only = 0,
    .required_positional = 0,
    .keyword_only = KEYWORD_ONLY_PROBE_PARAMETERS,
};

PyObject* slots_tuple(const std::array<PyObject*, 6>& slots) {
    Ref out = Ref::check(PyTuple_New(6));
    for (std::size_t i = 0; i < slots.size(); ++i) {
        PyTuple_SET_ITEM(out.get(), i, Py_NewRef(slots[i] != nullptr ? slots[i] : Py_None));
    }
    return out.release();
}

PyObject* bind_tuple_dict_entry(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guard<PyObject*>(nullptr, [&] {
        std::array<PyObject*, 6> slots{};
        bind_tuple_dict(PROBE_SPEC, args, kwargs, slots);
        return slots_tuple(slots);
    });
}

PyObject* bind_fastcall_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&] {
        std::array<PyObject*, 6> slots{};
        bind_fastcall(PROBE_SPEC, args, PyVectorcall_NARGS(nargs), kwnames, slots);
        return slots_tuple(slots);
    });
}

// (args_tuple, kwargs_dict): reaches the binder with keyword names the
// interpreter itself would refuse.
PyObject* bind_raw_entry(PyObject*, PyObject* args) noexcept {
    return guard<PyObject*>(nullptr, [&] {
        PyObject* positional = nullptr;
        PyObject* keywords = nullptr;
        if (!PyArg_ParseTuple(args, "O!O!", &PyTuple_Type, &positional, &PyDict_Type, &keywords)) {
            throw_fetched();
        }
        std::array<PyObject*, 6> slots{};
        bind_tuple_dict(PROBE_SPEC, positional, keywords, slots);
        return slots_tuple(slots);
    });
}

PyObject* bind_keyword_only_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&] {
        std::array<PyObject*, 1> slots{};
        bind_fastcall(KEYWORD_ONLY_PROBE_SPEC, args, PyVectorcall_NARGS(nargs), kwnames, slots);
        return Py_NewRef(slots[0]);
    });
}

PyMethodDef methods[] = {
    {"bind_keyword_only_probe", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bind_keyword_only_entry)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"bind_probe_tuple_dict", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bind_tuple_dict_entry)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"bind_probe_fastcall", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bind_fastcall_entry)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"bind_probe_raw", bind_raw_entry, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const PyMethodDef* binding_methods() { return methods; }

}  // namespace kavell::testing
