// Test-only entry points for the random area of the core.
#include "python/ref.hpp"

namespace kavell::testing {

namespace {
PyMethodDef methods[] = {
    {nullptr, nullptr, 0, nullptr},
};
}  // namespace

const PyMethodDef* random_methods() { return methods; }

}  // namespace kavell::testing
