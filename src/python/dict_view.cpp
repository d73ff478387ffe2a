#include "python/dict_view.hpp"

#include "python/convert.hpp"

namespace kavell {

Ref to_dict(const XVec& v) {
    Ref dict = expect_object(PyDict_New());
    for_each_kind([&](auto kind) {
        constexpr std::size_t K = decltype(kind)::value;
        const auto& sequence = v.get<K>();
        if (sequence.empty()) {
            return;
        }
        // The dict ends up holding the only references to key and list.
        Ref list = list_to_py(sequence);
        constexpr std::string_view key_text = KIND_KEYS[K];
        Ref key = expect_object(PyUnicode_FromStringAndSize(key_text.data(), static_cast<Py_ssize_t>(key_text.size())));
        if (PyDict_SetItem(dict.get(), key.get(), list.get()) < 0) {
            panic_with_error("called `Result::unwrap()` on an `Err` value", PyErr::fetch());
        }
    });
    return dict;
}

}  // namespace kavell
