// The PSO class: instance record, borrow counter and the class object.
#pragma once

#include "python/error.hpp"
#include "swarm/config.hpp"

namespace kavell {

struct PsoObject {
    PyObject_HEAD
    PsoConfig config;
    // 0: unused; n > 0: n shared uses (property reads, running min/max);
    // -1: a property write in progress. A plain word: it guards re-entry on
    // one thread (the objective calling back), not concurrent threads.
    Py_ssize_t borrow;
};

// The cached class object (borrowed), created on first use. Failure to
// create it raises RuntimeError "An error occurred while initializing class PSO".
PyTypeObject* pso_type();

// The receiver of a getter, setter or method, checked to be a PSO instance.
PsoObject& pso_receiver(PyObject* self);

// A shared use of the record for as long as the guard lives.
class SharedBorrow {
public:
    explicit SharedBorrow(PsoObject& pso);
    ~SharedBorrow() { --pso_.borrow; }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    PsoObject& pso_;
};

// The methods min and max (defined with the optimiser's binding).
extern PyMethodDef pso_methods[];

}  // namespace kavell
