// Test-only entry points for the kind conversions, the decimal text forms,
// the BigInt byte strings and the dict view.
//
// Raw representations let the tests see exactly what a conversion produced:
// a BigInt is (sign, (limbs...)), a Decimal (flags, hi, lo, mid), a complex
// value (re, im); the other kinds are their plain Python numbers.
#include "python/convert.hpp"
#include "python/dict_view.hpp"
#include "python/guard.hpp"
#include "python/resumed_fault.hpp"

#include <string_view>
#include <type_traits>

namespace kavell::testing {

namespace {

std::string_view text_of(PyObject* object) {
    Py_ssize_t size = 0;
    const char* data = nullptr;
    if (PyBytes_Check(object)) {
        data = PyBytes_AS_STRING(object);
        size = PyBytes_GET_SIZE(object);
    } else {
        data = PyUnicode_AsUTF8AndSize(object, &size);
        if (data == nullptr) {
            throw_fetched();
        }
    }
    return {data, static_cast<std::size_t>(size)};
}

// Calls f(std::type_identity<T>{}) for the element type T of the kind named
// by `key`.
template <class F>
Ref with_kind(PyObject* key, F&& f) {
    const std::string_view name = text_of(key);
    Ref result;
    bool found = false;
    for_each_kind([&](auto kind) {
        constexpr std::size_t K = decltype(kind)::value;
        if (!found && KIND_KEYS[K] == name) {
            found = true;
            result = f(std::type_identity<Element<K>>{});
        }
    });
    if (!found) {
        throw PyErr(PyExc_KeyError, "unknown kind key");
    }
    return result;
}

std::uint32_t u32_of(PyObject* object) {
    const unsigned long value = PyLong_AsUnsignedLong(object);
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
        throw_fetched();
    }
    if (value > 0xffff'ffffu) {
        throw PyErr(PyExc_OverflowError, "not a 32-bit word");
    }
    return static_cast<std::uint32_t>(value);
}

Ref tuple_of(std::initializer_list<Ref> items) {
    Ref tuple = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (const Ref& item : items) {
        PyTuple_SET_ITEM(tuple.get(), i++, item.clone().release());
    }
    return tuple;
}

Ref raw_of(const Decimal& d) {
    return tuple_of({to_py<std::int64_t>(d.flags), to_py<std::int64_t>(d.hi), to_py<std::int64_t>(d.lo),
                     to_py<std::int64_t>(d.mid)});
}

Decimal decimal_of_raw(PyObject* raw) {
    if (!PyTuple_Check(raw) || PyTuple_GET_SIZE(raw) != 4) {
        throw PyErr(PyExc_TypeError, "expected (flags, hi, lo, mid)");
    }
    Decimal d;
    d.flags = u32_of(PyTuple_GET_ITEM(raw, 0));
    d.hi = u32_of(PyTuple_GET_ITEM(raw, 1));
    d.lo = u32_of(PyTuple_GET_ITEM(raw, 2));
    d.mid = u32_of(PyTuple_GET_ITEM(raw, 3));
    return d;
}

template <class T>
Ref raw_of(const T& value) {
    if constexpr (std::is_same_v<T, BigInt>) {
        Ref limbs = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(value.limbs.size())));
        for (std::size_t i = 0; i < value.limbs.size(); ++i) {
            PyTuple_SET_ITEM(limbs.get(), i, Ref::check(PyLong_FromUnsignedLongLong(value.limbs[i])).release());
        }
        return tuple_of({to_py<std::int64_t>(value.sign), std::move(limbs)});
    } else if constexpr (is_complex_v<T>) {
        return tuple_of({to_py<double>(value.re), to_py<double>(value.im)});
    } else if constexpr (std::is_same_v<T, Decimal>) {
        return raw_of(value);
    } else {
        return to_py(value);
    }
}

// --- entries ---------------------------------------------------------------

// The entries taking (kind_key, obj): `op` is called with the kind's type
// tag and obj.
template <class Op>
PyObject* kind_entry(PyObject* args, Op op) noexcept {
    return guard<PyObject*>(nullptr, [&] {
        PyObject *key, *object;
        if (!PyArg_ParseTuple(args, "OO", &key, &object)) {
            throw_fetched();
        }
        return with_kind(key, [&](auto type) { return op(type, object); }).release();
    });
}

// roundtrip(key, obj): to_py(from_py(obj)).
PyObject* roundtrip(PyObject*, PyObject* args) noexcept {
    return kind_entry(args, []<class T>(std::type_identity<T>, PyObject* o) { return to_py(from_py<T>(o)); });
}

// list_roundtrip(key, seq): list_to_py(list_from_py(seq)).
PyObject* list_roundtrip(PyObject*, PyObject* args) noexcept {
    return kind_entry(args,
                      []<class T>(std::type_identity<T>, PyObject* o) { return list_to_py(list_from_py<T>(o)); });
}

// from_py_repr(key, obj): the raw representation of from_py(obj).
PyObject* from_py_repr(PyObject*, PyObject* args) noexcept {
    return kind_entry(args, []<class T>(std::type_identity<T>, PyObject* o) { return raw_of(from_py<T>(o)); });
}

// parse_decimal(text: str | bytes) -> (flags, hi, lo, mid); ValueError with
// the parse error text.
PyObject* parse_decimal(PyObject*, PyObject* text) noexcept {
    return guard<PyObject*>(nullptr, [&] {
        return raw_of(decimal_from_text(text_of(text))).release();
    });
}

// unwrap_resumed(text: str) -> str | None: a one-element-tuple text read back.
PyObject* unwrap_resumed(PyObject*, PyObject* text) noexcept {
    return guard<PyObject*>(nullptr, [&] {
        const std::optional<std::string> inner = resumed::unwrapped(text_of(text));
        if (!inner) {
            return Py_NewRef(Py_None);
        }
        return Ref::check(PyUnicode_FromStringAndSize(inner->data(), static_cast<Py_ssize_t>(inner->size()))).release();
    });
}

// decimal_to_text((flags, hi, lo, mid)) -> str.
PyObject* decimal_to_text(PyObject*, PyObject* raw) noexcept {
    return guard<PyObject*>(nullptr, [&] {
        const std::string text = decimal_of_raw(raw).to_text();
        return Ref::check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))).release();
    });
}

// decimal_to_py((flags, hi, lo, mid)) -> decimal.Decimal.
PyObject* decimal_to_py(PyObject*, PyObject* raw) noexcept {
    return guard<PyObject*>(nullptr, [&] { return to_py(decimal_of_raw(raw)).release(); });
}

// bigint_signed_bytes(int) -> the value's shortest two's-complement bytes.
PyObject* bigint_signed_bytes(PyObject*, PyObject* object) noexcept {
    return guard<PyObject*>(nullptr, [&] {
        const std::vector<std::uint8_t> bytes = from_py<BigInt>(object).to_signed_le_bytes();
        return Ref::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<Py_ssize_t>(bytes.size())))
            .release();
    });
}

// bigint_from_signed_bytes(bytes) -> (sign, limbs).
PyObject* bigint_from_signed_bytes(PyObject*, PyObject* object) noexcept {
    return guard<PyObject*>(nullptr, [&] {
        if (!PyBytes_Check(object)) {
            throw conversion_error(object, "bytes");
        }
        const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object));
        return raw_of(BigInt::from_signed_le_bytes(data, static_cast<std::size_t>(PyBytes_GET_SIZE(object))))
            .release();
    });
}

// to_dict({key: seq, ...}) -> to_dict of the XVec read kind by kind with
// list_from_py.
PyObject* to_dict_entry(PyObject*, PyObject* mapping) noexcept {
    return guard<PyObject*>(nullptr, [&] {
        if (!PyDict_Check(mapping)) {
            throw conversion_error(mapping, "dict");
        }
        XVec v;
        Py_ssize_t used = 0;
        for_each_kind([&](auto kind) {
            constexpr std::size_t K = decltype(kind)::value;
            if (PyObject* seq = PyDict_GetItemString(mapping, KIND_KEYS[K].data())) {
                v.get<K>() = list_from_py<Element<K>>(seq);
                ++used;
            }
        });
        if (used != PyDict_Size(mapping)) {
            throw PyErr(PyExc_KeyError, "unknown kind key");
        }
        return to_dict(std::move(v)).release();
    });
}

PyMethodDef methods[] = {
    {"roundtrip", roundtrip, METH_VARARGS, nullptr},
    {"list_roundtrip", list_roundtrip, METH_VARARGS, nullptr},
    {"from_py_repr", from_py_repr, METH_VARARGS, nullptr},
    {"parse_decimal", parse_decimal, METH_O, nullptr},
    {"unwrap_resumed", unwrap_resumed, METH_O, nullptr},
    {"decimal_to_text", decimal_to_text, METH_O, nullptr},
    {"decimal_to_py", decimal_to_py, METH_O, nullptr},
    {"bigint_signed_bytes", bigint_signed_bytes, METH_O, nullptr},
    {"bigint_from_signed_bytes", bigint_from_signed_bytes, METH_O, nullptr},
    {"to_dict", to_dict_entry, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const PyMethodDef* convert_methods() { return methods; }

}  // namespace kavell::testing
