// Test-only: an XVec from a dict {kind key: sequence}, the form in which
// the tests pass vectors in. A missing key is an empty kind; a key that is
// not a kind key is a KeyError, so a misspelt kind cannot pass unnoticed.
#pragma once

#include "python/convert.hpp"
#include "vec/xvec.hpp"

#include <algorithm>
#include <string_view>

namespace kavell::testing {

inline XVec xvec_from_dict(PyObject* dict) {
    if (!PyDict_Check(dict)) {
        throw PyErr(PyExc_TypeError, "expected a dict of kind key to sequence");
    }
    PyObject* key = nullptr;
    PyObject* ignored = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(dict, &position, &key, &ignored)) {
        const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
        if (text == nullptr || std::find(KIND_KEYS.begin(), KIND_KEYS.end(), std::string_view(text)) == KIND_KEYS.end()) {
            PyErr_Clear();
            throw PyErr(PyExc_KeyError, "not a kind key");
        }
    }
    XVec v;
    for_each_kind([&](auto kind) {
        constexpr std::size_t K = decltype(kind)::value;
        // The keys are literals, so their views end in a NUL.
        if (PyObject* sequence = PyDict_GetItemString(dict, KIND_KEYS[K].data())) {
            v.get<K>() = list_from_py<Element<K>>(sequence);
        }
    });
    return v;
}

}  // namespace kavell::testing
