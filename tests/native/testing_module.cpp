// _kavell_testing: test-only access to the native core. Each area of the
// core contributes one method table; this file only gathers them.
#include "python/ref.hpp"

#include <vector>

namespace kavell::testing {
const PyMethodDef* numeric_methods();
const PyMethodDef* vec_methods();
const PyMethodDef* random_methods();
const PyMethodDef* convert_methods();
const PyMethodDef* binding_methods();
}  // namespace kavell::testing

namespace {

std::vector<PyMethodDef>& all_methods() {
    static std::vector<PyMethodDef> methods = [] {
        std::vector<PyMethodDef> out;
        for (const PyMethodDef* table :
             {kavell::testing::numeric_methods(), kavell::testing::vec_methods(),
              kavell::testing::random_methods(), kavell::testing::convert_methods(),
              kavell::testing::binding_methods()}) {
            for (const PyMethodDef* m = table; m != nullptr && m->ml_name != nullptr; ++m) {
                out.push_back(*m);
            }
        }
        out.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
        return out;
    }();
    return methods;
}

PyModuleDef testing_module = {
    PyModuleDef_HEAD_INIT, "_kavell_testing", "Test-only access to kavell's native core.", 0, nullptr,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__kavell_testing() {
    testing_module.m_methods = all_methods().data();
    return PyModule_Create(&testing_module);
}
