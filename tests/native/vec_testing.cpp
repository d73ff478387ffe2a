// Test-only entry points for the vec area of the core.
//
// Vectors cross as dicts {kind key: sequence}; a missing key is an empty
// kind, and results come back through the dict view, so an empty kind is
// absent there too.
#include "numeric_raw.hpp"

#include "python/convert.hpp"
#include "python/dict_view.hpp"
#include "test_entry.hpp"
#include "vec/kind_ops.hpp"
#include "vec/xvec.hpp"
#include "xvec_dict.hpp"

#include <algorithm>
#include <string>

namespace kavell::testing {

namespace {

PyObject* xvec_neg(PyObject*, PyObject* args) noexcept {
    return call_with_arguments<1>(args, [](PyObject* v) { return to_dict(XVec::neg(xvec_from_dict(v))); });
}

PyObject* xvec_add(PyObject*, PyObject* args) noexcept {
    return call_with_arguments<2>(args, [](PyObject* a, PyObject* b) { return to_dict(XVec::add(xvec_from_dict(a), xvec_from_dict(b))); });
}

PyObject* xvec_sub(PyObject*, PyObject* args) noexcept {
    return call_with_arguments<2>(args, [](PyObject* a, PyObject* b) { return to_dict(XVec::sub(xvec_from_dict(a), xvec_from_dict(b))); });
}

PyObject* xvec_difference(PyObject*, PyObject* args) noexcept {
    return call_with_arguments<2>(args, [](PyObject* a, PyObject* b) {
        const XVec x = xvec_from_dict(a);
        const XVec y = xvec_from_dict(b);
        return to_dict(XVec::difference(x, y));
    });
}

PyObject* xvec_add_assign(PyObject*, PyObject* args) noexcept {
    return call_with_arguments<2>(args, [](PyObject* a, PyObject* b) {
        XVec target = xvec_from_dict(a);
        XVec::add_assign(target, xvec_from_dict(b));
        return to_dict(std::move(target));
    });
}

PyObject* xvec_scale(PyObject*, PyObject* args) noexcept {
    return call_with_arguments<2>(args, [](PyObject* v, PyObject* factor) {
        XVec target = xvec_from_dict(v);
        XVec::scale(target, double_from_py(factor));
        return to_dict(std::move(target));
    });
}

// (clone as a dict, [(length, capacity)] per kind, source as a dict after
// every element of the clone was changed in place).
PyObject* xvec_clone(PyObject*, PyObject* args) noexcept {
    return call_with_arguments<1>(args, [](PyObject* v) {
        XVec source = xvec_from_dict(v);
        XVec copy = XVec::clone(source);
        Ref sizes = Ref::check(PyList_New(0));
        for_each_kind([&](auto k) {
            const auto& array = copy.get<decltype(k)::value>();
            Ref pair = Ref::check(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(array.size()), static_cast<Py_ssize_t>(array.capacity())));
            check_status(PyList_Append(sizes.get(), pair.get()));
        });
        Ref copy_view = to_dict(XVec::clone(copy));
        // Writes straight into the clone's storage, a BigInt's words included.
        copy = XVec::neg(std::move(copy));
        for (BigInt& x : copy.of<BigInt>()) {
            if (!x.limbs.empty()) {
                x.limbs[0] ^= 1;
            }
        }
        XVec::scale(copy, 3.0);
        return Ref::check(Py_BuildValue("(NNN)", copy_view.release(), sizes.release(), to_dict(std::move(source)).release()));
    });
}

// (dict view, [length per kind], raw "i" elements, raw "d" elements).
PyObject* xvec_zeros_like(PyObject*, PyObject* args) noexcept {
    return call_with_arguments<1>(args, [](PyObject* v) {
        const XVec source = xvec_from_dict(v);
        XVec zeros = XVec::zeros_like(source);
        Ref lengths = Ref::check(PyList_New(0));
        for_each_kind([&](auto k) {
            Ref n = Ref::check(PyLong_FromSize_t(zeros.get<decltype(k)::value>().size()));
            check_status(PyList_Append(lengths.get(), n.get()));
        });
        Ref raw_i = Ref::check(PyList_New(0));
        for (const BigInt& x : zeros.of<BigInt>()) {
            check_status(PyList_Append(raw_i.get(), to_raw(x).get()));
        }
        Ref raw_d = Ref::check(PyList_New(0));
        for (const Decimal& x : zeros.of<Decimal>()) {
            check_status(PyList_Append(raw_d.get(), to_raw(x).get()));
        }
        return Ref::check(Py_BuildValue("(NNNN)", to_dict(std::move(zeros)).release(), lengths.release(), raw_i.release(), raw_d.release()));
    });
}

// {key: [less(a[i], b[i]) for i below the shorter length]} for the ordered
// kinds only.
PyObject* kind_less(PyObject*, PyObject* args) noexcept {
    return call_with_arguments<2>(args, [](PyObject* a_dict, PyObject* b_dict) {
        const XVec a = xvec_from_dict(a_dict);
        const XVec b = xvec_from_dict(b_dict);
        Ref result = Ref::check(PyDict_New());
        for_each_kind([&](auto k) {
            constexpr std::size_t K = decltype(k)::value;
            using Ops = KindOps<Element<K>>;
            if constexpr (Ops::ordered) {
                const auto& x = a.get<K>();
                const auto& y = b.get<K>();
                Ref flags = Ref::check(PyList_New(0));
                for (std::size_t i = 0; i < std::min(x.size(), y.size()); ++i) {
                    check_status(PyList_Append(flags.get(), Ops::less(x[i], y[i]) ? Py_True : Py_False));
                }
                const std::string name(KIND_KEYS[K]);
                check_status(PyDict_SetItemString(result.get(), name.c_str(), flags.get()));
            }
        });
        return result;
    });
}

// [(key, ordered, zero)] in kind order.
PyObject* kind_traits(PyObject*, PyObject* args) noexcept {
    return call_with_arguments<0>(args, [] {
        Ref result = Ref::check(PyList_New(0));
        for_each_kind([&](auto k) {
            constexpr std::size_t K = decltype(k)::value;
            using T = Element<K>;
            const std::string name(KIND_KEYS[K]);
            Ref entry = Ref::check(Py_BuildValue("(sON)", name.c_str(), KindOps<T>::ordered ? Py_True : Py_False,
                                                 to_py<T>(KindOps<T>::zero()).release()));
            check_status(PyList_Append(result.get(), entry.get()));
        });
        return result;
    });
}

PyMethodDef methods[] = {
    {"xvec_neg", xvec_neg, METH_VARARGS, "XVec::neg of a dict vector."},
    {"xvec_add", xvec_add, METH_VARARGS, "XVec::add of two dict vectors."},
    {"xvec_sub", xvec_sub, METH_VARARGS, "XVec::sub of two dict vectors."},
    {"xvec_difference", xvec_difference, METH_VARARGS, "XVec::difference (a - b without consuming either)."},
    {"xvec_add_assign", xvec_add_assign, METH_VARARGS, "XVec::add_assign; returns the target."},
    {"xvec_scale", xvec_scale, METH_VARARGS, "XVec::scale; returns the scaled vector."},
    {"xvec_clone", xvec_clone, METH_VARARGS, "XVec::clone with capacities and the source after the clone changed."},
    {"xvec_zeros_like", xvec_zeros_like, METH_VARARGS, "XVec::zeros_like with lengths and raw i and d elements."},
    {"kind_less", kind_less, METH_VARARGS, "KindOps::less element-wise for the ordered kinds."},
    {"kind_traits", kind_traits, METH_VARARGS, "(key, ordered, zero) per kind."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const PyMethodDef* vec_methods() { return methods; }

}  // namespace kavell::testing
