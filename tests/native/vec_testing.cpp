// Test-only entry points for the vec area of the core.
#include "python/ref.hpp"

namespace kavell::testing {

namespace {
PyMethodDef methods[] = {
    {nullptr, nullptr, 0, nullptr},
};
}  // namespace

const PyMethodDef* vec_methods() { return methods; }

}  // namespace kavell::testing
