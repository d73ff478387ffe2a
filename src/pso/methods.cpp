#include "pso/pso.hpp"

namespace kavell {

PyMethodDef pso_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kavell
