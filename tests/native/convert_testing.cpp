// Test-only entry points for the convert area of the core.
#include "python/ref.hpp"

namespace kavell::testing {

namespace {
PyMethodDef methods[] = {
    {nullptr, nullptr, 0, nullptr},
};
}  // namespace

const PyMethodDef* convert_methods() { return methods; }

}  // namespace kavell::testing
