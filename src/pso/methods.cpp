// PSO.min and PSO.max: bind f and the 22 bound lists, convert the bounds,
// run the optimiser under a shared borrow of the instance.
#include "pso/pso.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/guard.hpp"
#include "swarm/run.hpp"

#include <array>

namespace kavell {
namespace {

// f, then (kind_min, kind_max) for every kind in kind order.
constexpr std::array<const char*, 1 + 2 * KIND_COUNT> PARAMETERS = {
    "f",        "i8_min",  "i8_max",  "i16_min", "i16_max", "i32_min",  "i32_max",  "i64_min",
    "i64_max",  "i128_min", "i128_max", "i_min",   "i_max",   "f32_min",  "f32_max",  "f64_min",
    "f64_max",  "c64_min", "c64_max", "c128_min", "c128_max", "d_min",   "d_max",
};

constexpr ArgumentSpec spec_for(const char* function_name) {
    return ArgumentSpec{
        .class_name = "PSO",
        .function_name = function_name,
        .positional = PARAMETERS,
        .positional_only = 0,
        .required_positional = 1,
        .keyword_only = {},
    };
}

constexpr ArgumentSpec MIN_SPEC = spec_for("min");
constexpr ArgumentSpec MAX_SPEC = spec_for("max");

// One bound parameter as an array of its kind; an omitted bound is empty.
template <class T>
std::vector<T> bound_from_py(const char* name, PyObject* object) {
    if (object == nullptr) {
        return {};
    }
    try {
        if (PyUnicode_Check(object)) {
            PyErr err(PyExc_TypeError, "Can't extract `str` to `Vec`");
            err.add_note(std::string("while converting ") + name + " = " + short_repr(object));
            throw err;
        }
        return list_from_py<T>(object, name);
    } catch (PyErr& err) {
        throw argument_error(name, std::move(err));
    }
}

struct Bounds {
    XVec lower;
    XVec upper;
};

using Slots = std::array<PyObject*, PARAMETERS.size()>;

// The 22 bound parameters, converted in parameter order (i8_min, i8_max,
// i16_min, ... d_max). Kept out of optimise(): the conversions' temporaries
// would otherwise take about 2 KiB of optimise's frame, which stays on the
// native stack for the whole run and once more for every nested run.
[[gnu::noinline]] Bounds bounds_from_py(const Slots& slots) {
    Arrays lower;
    Arrays upper;
    for_each_kind([&](auto kind) {
        constexpr std::size_t K = decltype(kind)::value;
        using T = Element<K>;
        std::get<K>(lower) = bound_from_py<T>(PARAMETERS[1 + 2 * K], slots[1 + 2 * K]);
        std::get<K>(upper) = bound_from_py<T>(PARAMETERS[2 + 2 * K], slots[2 + 2 * K]);
    });
    return Bounds{XVec(std::move(lower)), XVec(std::move(upper))};
}

using Run = RunResult (*)(const PsoConfig&, Ref, XVec, XVec);

PyObject* optimise(const ArgumentSpec& spec, Run run, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) {
    // The objective may call min or max again, to any depth: each entry is
    // a level of the interpreter's recursion guard.
    RecursionLevel level(&spec == &MIN_SPEC ? " while calling PSO.min" : " while calling PSO.max");
    Slots slots{};
    bind_fastcall(spec, args, PyVectorcall_NARGS(nargs), kwnames, slots);
    PsoObject& pso = pso_receiver(self);
    // Held until the call ends, however it ends: the objective may read the
    // properties (and even start a nested run), but not assign them.
    SharedBorrow use(pso);
    Ref f = Ref::borrow(slots[0]);

    Bounds bounds = bounds_from_py(slots);
    RunResult result = run(pso.config, std::move(f), std::move(bounds.lower), std::move(bounds.upper));
    Ref value = std::move(result.best_value).release();
    return Ref::check(PyTuple_Pack(2, value.get(), result.best_point.get())).release();
}

PyObject* pso_min(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&] { return optimise(MIN_SPEC, minimize, self, args, nargs, kwnames); });
}

PyObject* pso_max(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&] { return optimise(MAX_SPEC, maximize, self, args, nargs, kwnames); });
}

template <class F>
PyCFunction as_cfunction(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

#define KAVELL_BOUND_SIGNATURE                                                                                  \
    "f, i8_min=..., i8_max=..., i16_min=..., i16_max=..., i32_min=..., i32_max=..., i64_min=..., i64_max=..., " \
    "i128_min=..., i128_max=..., i_min=..., i_max=..., f32_min=..., f32_max=..., f64_min=..., f64_max=..., "    \
    "c64_min=..., c64_max=..., c128_min=..., c128_max=..., d_min=..., d_max=..."

}  // namespace

PyMethodDef pso_methods[] = {
    {"min", as_cfunction(pso_min), METH_FASTCALL | METH_KEYWORDS,
     "min($self, " KAVELL_BOUND_SIGNATURE ")\n--\n\n"},
    {"max", as_cfunction(pso_max), METH_FASTCALL | METH_KEYWORDS,
     "max($self, " KAVELL_BOUND_SIGNATURE ")\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kavell
