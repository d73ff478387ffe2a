// The module entry: PyInit_kavell creates the module and registers PSO.
#include "pso/pso.hpp"
#include "python/guard.hpp"

#include <atomic>

namespace kavell {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "kavell",
    "Particle swarm optimisation over mixed integer, real, complex and decimal variables: a Python module "
    "implemented in native C++ code.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Set by the first initialisation in the process; never cleared.
std::atomic<bool> initialised{false};

// __all__ of the module, created as an empty list when missing.
Ref all_list(PyObject* module) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        PyErr err = PyErr::fetch();
        if (!PyErr_GivenExceptionMatches(err.type(), PyExc_AttributeError)) {
            throw std::move(err);
        }
        all = expect_object(PyList_New(0));
        check_status(PyObject_SetAttrString(module, "__all__", all.get()));
    }
    if (!PyList_Check(all.get())) {
        throw conversion_error(all.get(), "PyList");
    }
    return all;
}

void register_class(PyObject* module) {
    PyObject* type = reinterpret_cast<PyObject*>(pso_type());
    Ref all = all_list(module);
    Ref name = expect_object(PyUnicode_FromString("PSO"));
    if (PyList_Append(all.get(), name.get()) == -1) {
        panic_with_error("could not append __name__ to __all__", PyErr::fetch());
    }
    check_status(PyObject_SetAttrString(module, "PSO", type));
}

}  // namespace
}  // namespace kavell

PyMODINIT_FUNC PyInit_kavell() {
    using namespace kavell;
    return guard<PyObject*>(nullptr, []() -> PyObject* {
        Ref module = Ref::check(PyModule_Create2(&module_def, 1013));
        if (initialised.exchange(true)) {
            throw PyErr(PyExc_ImportError, "PyO3 modules may only be initialized once per interpreter process");
        }
        register_class(module.get());
        return module.release();
    });
}
