#include "python/dict_view.hpp"

#include "python/convert.hpp"
#include "python/point_call.hpp"

namespace kavell {

Ref to_dict(const XVec& v) {
    Ref dict = expect_object(PyDict_New());
    for_each_kind([&](auto kind) {
        constexpr std::size_t K = decltype(kind)::value;
        const auto& sequence = v.get<K>();
        if (sequence.empty()) {
            return;
        }
        // The dict ends up holding the only reference to the list.
        Ref list = list_to_py(sequence);
        if (PyDict_SetItem(dict.get(), kind_key(K), list.get()) < 0) {
            panic_with_error("called `Result::unwrap()` on an `Err` value", PyErr::fetch());
        }
    });
    return dict;
}

}  // namespace kavell
