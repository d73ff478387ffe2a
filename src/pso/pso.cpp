#include "pso/pso.hpp"

#include "pso/docstring.hpp"
#include "python/args.hpp"
#include "python/guard.hpp"
#include "python/scalars.hpp"

#include <array>
#include <cstddef>
#include <string>

namespace kavell {
namespace {

// One configuration field as a property: its name, where it lives in the
// record, and whether it is a count or a coefficient.
struct Field {
    const char* name;
    std::uint64_t PsoConfig::*count;
    double PsoConfig::*coefficient;
};

constexpr std::array<Field, 6> FIELDS = {{
    {"particle_count", &PsoConfig::particle_count, nullptr},
    {"iteration_count", &PsoConfig::iteration_count, nullptr},
    {"cognitive_coefficient", nullptr, &PsoConfig::cognitive_coefficient},
    {"social_coefficient", nullptr, &PsoConfig::social_coefficient},
    {"max_velocity_ratio", nullptr, &PsoConfig::max_velocity_ratio},
    {"inertia_coefficient", nullptr, &PsoConfig::inertia_coefficient},
}};

// The converted value of a field, before it is stored.
struct FieldValue {
    std::uint64_t count = 0;
    double coefficient = 0.0;
};

// A failure gains the note "{action} {field} = {repr}": the interpreter's
// OverflowError for a negative count, say, does not name the field.
FieldValue convert_field(const Field& field, PyObject* object, const char* action) {
    FieldValue value;
    try {
        if (field.count != nullptr) {
            value.count = u64_from_py(object);
        } else {
            value.coefficient = double_from_py(object);
        }
    } catch (PyErr& err) {
        if (err.takes_notes()) {
            err.add_note(std::string(action) + " " + field.name + " = " + short_repr(object));
        }
        throw;
    }
    return value;
}

void store_field(PsoConfig& config, const Field& field, const FieldValue& value) {
    if (field.count != nullptr) {
        config.*field.count = value.count;
    } else {
        config.*field.coefficient = value.coefficient;
    }
}

constexpr std::array<const char*, 6> CONSTRUCTOR_PARAMETERS = {
    "particle_count",        "iteration_count",    "cognitive_coefficient",
    "social_coefficient",    "max_velocity_ratio", "inertia_coefficient",
};

constexpr ArgumentSpec CONSTRUCTOR_SPEC = {
    .class_name = "PSO",
    .function_name = "__new__",
    .positional = CONSTRUCTOR_PARAMETERS,
    .positional_only = 0,
    .required_positional = 0,
    .keyword_only = {},
};

PyObject* pso_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        std::array<PyObject*, 6> slots{};
        bind_tuple_dict(CONSTRUCTOR_SPEC, args, kwargs, slots);
        PsoConfig config;
        for (std::size_t i = 0; i < FIELDS.size(); ++i) {
            if (slots[i] == nullptr) {
                continue;
            }
            try {
                store_field(config, FIELDS[i], convert_field(FIELDS[i], slots[i], "while converting"));
            } catch (PyErr& err) {
                throw argument_error(FIELDS[i].name, std::move(err));
            }
        }
        allocfunc alloc = subtype->tp_alloc != nullptr ? subtype->tp_alloc : PyType_GenericAlloc;
        PyObject* self = alloc(subtype, 0);
        if (self == nullptr) {
            throw_fetched();
        }
        auto* pso = reinterpret_cast<PsoObject*>(self);
        pso->config = config;
        pso->borrow = 0;
        return self;
    });
}

void pso_dealloc(PyObject* self) noexcept {
    guard_void([&] {
        PyTypeObject* type = Py_TYPE(self);
        auto free_instance = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_instance(self);
        Py_DECREF(type);  // instances of heap types own a reference to their type
    });
}

PyObject* field_get(PyObject* self, void* closure) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        const Field& field = *static_cast<const Field*>(closure);
        PsoObject& pso = pso_receiver(self);
        SharedBorrow use(pso);
        if (field.count != nullptr) {
            return expect_object(PyLong_FromUnsignedLongLong(pso.config.*field.count)).release();
        }
        return expect_object(PyFloat_FromDouble(pso.config.*field.coefficient)).release();
    });
}

int field_set(PyObject* self, PyObject* value, void* closure) noexcept {
    return guard<int>(-1, [&]() -> int {
        const Field& field = *static_cast<const Field*>(closure);
        if (value == nullptr) {
            throw PyErr(PyExc_AttributeError, "can't delete attribute");
        }
        // The value is converted before the receiver is checked and before
        // the write starts, so a bad value is reported even when the write
        // would also be refused.
        const FieldValue converted = convert_field(field, value, "while setting");
        PsoObject& pso = pso_receiver(self);
        if (pso.borrow != 0) {
            throw PyErr(PyExc_RuntimeError, "Already borrowed");
        }
        pso.borrow = -1;
        store_field(pso.config, field, converted);
        pso.borrow = 0;
        return 0;
    });
}

PyGetSetDef pso_getset[] = {
    {FIELDS[0].name, field_get, field_set, "", const_cast<Field*>(&FIELDS[0])},
    {FIELDS[1].name, field_get, field_set, "", const_cast<Field*>(&FIELDS[1])},
    {FIELDS[2].name, field_get, field_set, "", const_cast<Field*>(&FIELDS[2])},
    {FIELDS[3].name, field_get, field_set, "", const_cast<Field*>(&FIELDS[3])},
    {FIELDS[4].name, field_get, field_set, "", const_cast<Field*>(&FIELDS[4])},
    {FIELDS[5].name, field_get, field_set, "", const_cast<Field*>(&FIELDS[5])},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot pso_slots[] = {
    {Py_tp_doc, const_cast<char*>(PSO_CLASS_DOC)},
    {Py_tp_new, reinterpret_cast<void*>(pso_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(pso_dealloc)},
    {Py_tp_getset, pso_getset},
    {Py_tp_methods, pso_methods},
    {0, nullptr},
};

PyType_Spec pso_spec = {
    .name = "builtins.PSO",
    .basicsize = static_cast<int>(sizeof(PsoObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = pso_slots,
};

// Created once per process and kept until it ends.
PyTypeObject* cached_type = nullptr;

}  // namespace

PyTypeObject* pso_type() {
    if (cached_type == nullptr) {
        PyObject* type = PyType_FromSpec(&pso_spec);
        if (type == nullptr) {
            PyErr cause = PyErr::fetch();
            Ref error = Ref::check(
                PyObject_CallFunction(PyExc_RuntimeError, "s", "An error occurred while initializing class PSO"));
            PyException_SetCause(error.get(), Py_NewRef(cause.value()));
            throw PyErr(Ref::borrow(PyExc_RuntimeError), std::move(error), Ref());
        }
        cached_type = reinterpret_cast<PyTypeObject*>(type);
    }
    return cached_type;
}

PsoObject& pso_receiver(PyObject* self) {
    if (!PyObject_TypeCheck(self, pso_type())) {
        throw conversion_error(self, "PSO");
    }
    return *reinterpret_cast<PsoObject*>(self);
}

SharedBorrow::SharedBorrow(PsoObject& pso) : pso_(pso) {
    if (pso_.borrow == -1) {
        throw PyErr(PyExc_RuntimeError, "Already mutably borrowed");
    }
    ++pso_.borrow;
}

}  // namespace kavell
