#include "python/point_call.hpp"

#include "python/compat.hpp"
#include "python/convert.hpp"

namespace kavell {
namespace {

// A reference count of one proves that nobody else holds the object only
// where reference counts are exact and the lock is held.
#ifdef Py_GIL_DISABLED
constexpr bool REUSE = false;
#else
constexpr bool REUSE = true;
#endif

// Kinds whose elements the list keeps: the builtin number types, whose
// release runs no Python code, so keeping them for a while changes nothing
// anyone can see. Decimal elements are never refilled, so keeping their list
// would save little.
template <class T>
constexpr bool keeps_list = REUSE && !std::is_same_v<T, Decimal>;

// Interpreters that trace every live object (Py_TRACE_REFS) list even
// untracked ones to Python code, so there a kept list is checked once more
// before it is refilled.
#ifdef Py_TRACE_REFS
constexpr bool KEPT_OUT_OF_REACH = false;
#else
constexpr bool KEPT_OUT_OF_REACH = true;
#endif

template <class T>
bool is_own_element(PyObject* item) noexcept {
    if constexpr (std::is_floating_point_v<T>) {
        return PyFloat_CheckExact(item);
    } else if constexpr (is_complex_v<T>) {
        return PyComplex_CheckExact(item);
    } else {
        return PyLong_CheckExact(item);
    }
}

// Whether the list of kind T may be kept after the call: nobody else holds
// it and it holds only objects of the kind's exact type (a length changed by
// the objective is caught when the list is refilled); and whether, besides,
// nobody else holds any of its elements. One pass, no early exit.
struct Keep {
    bool list;
    bool elements_unshared;
};

template <class T>
Keep may_keep(PyObject* list) noexcept {
    if (Py_REFCNT(list) != 1) {
        return {false, false};
    }
    PyObject** items = reinterpret_cast<PyListObject*>(list)->ob_item;
    const Py_ssize_t n = PyList_GET_SIZE(list);
    bool own = true;
    bool unshared = true;
    for (Py_ssize_t i = 0; i < n; ++i) {
        own &= is_own_element<T>(items[i]);
        unshared &= Py_REFCNT(items[i]) == 1;
    }
    return {own, own && unshared};
}

// Writes the value into a slot of a kept list: an element float, complex or
// (where the layout allows) int that only the list holds is written in
// place, anything else is replaced. UNSHARED: the caller knows that only
// the list holds the element.
template <class T, bool UNSHARED = false>
void store(PyObject** slot, const T& value) {
    if constexpr (REUSE && std::is_floating_point_v<T>) {
        if (UNSHARED || Py_REFCNT(*slot) == 1) {
            reinterpret_cast<PyFloatObject*>(*slot)->ob_fval = static_cast<double>(value);
            return;
        }
    } else if constexpr (REUSE && is_complex_v<T>) {
        if (UNSHARED || Py_REFCNT(*slot) == 1) {
            reinterpret_cast<PyComplexObject*>(*slot)->cval = Py_complex{value.re, value.im};
            return;
        }
    } else if constexpr (REUSE && std::is_integral_v<T> && sizeof(T) <= 8) {
        if (Py_REFCNT(*slot) == 1 && compat::long_overwrite(*slot, value)) {
            return;
        }
    }
    PyObject* old = *slot;
    *slot = to_py(value).release();
    Py_DECREF(old);
}

template <class T, bool UNSHARED>
void refill(PyObject* list, const std::vector<T>& array) {
    PyObject** items = reinterpret_cast<PyListObject*>(list)->ob_item;
    // Held in locals: the writes through the elements could, as far as the
    // compiler knows, change the vector, whose bounds it would then reload.
    const T* values = array.data();
    const std::size_t n = array.size();
    for (std::size_t i = 0; i < n; ++i) {
        store<T, UNSHARED>(&items[i], values[i]);
    }
}

std::array<PyObject*, KIND_COUNT> interned_keys{};

}  // namespace

PyObject* kind_key(std::size_t kind) {
    PyObject*& key = interned_keys[kind];
    if (key == nullptr) {
        const std::string_view text = KIND_KEYS[kind];
        PyObject* made = expect_object(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))).release();
        PyUnicode_InternInPlace(&made);
        key = made;
    }
    return key;
}

void PointCall::fill_lists(const XVec& position, PyObject** stack) {
    std::uint32_t present = 0;
    std::size_t count = 0;
    for_each_kind([&](auto kind) {
        constexpr std::size_t K = decltype(kind)::value;
        const auto& array = position.get<K>();
        Ref& list = lists_[K];
        if (array.empty()) {
            list = Ref();
            return;
        }
        present |= 1u << K;
        bool refilled = false;
        if constexpr (keeps_list<Element<K>>) {
            // A kept list was checked, elements included, when the call
            // that had it returned, and has been out of reach since (see
            // keep_or_release_lists); only its length is asked again. Its
            // elements were unshared then and still are: nothing could
            // reach them to take a reference.
            if (list && PyList_GET_SIZE(list.get()) == static_cast<Py_ssize_t>(array.size()) &&
                (KEPT_OUT_OF_REACH || may_keep<Element<K>>(list.get()).list)) {
                if (KEPT_OUT_OF_REACH && ((unshared_ >> K) & 1u)) {
                    refill<Element<K>, true>(list.get(), array);
                } else {
                    refill<Element<K>, false>(list.get(), array);
                }
                PyObject_GC_Track(list.get());
                refilled = true;
            }
        }
        if (!refilled) {
            list = list_to_py(array);
        }
        stack[count++] = list.get();
    });
    if (present != present_ || !kwnames_) {
        Ref names = expect_object(PyTuple_New(static_cast<Py_ssize_t>(count)));
        Py_ssize_t index = 0;
        for (std::size_t k = 0; k < KIND_COUNT; ++k) {
            if ((present >> k) & 1u) {
                PyTuple_SET_ITEM(names.get(), index++, Py_NewRef(kind_key(k)));
            }
        }
        kwnames_ = std::move(names);
        present_ = present;
    }
}

void PointCall::release_lists() noexcept {
    for (Ref& list : lists_) {
        list = Ref();
    }
}

void PointCall::keep_or_release_lists() {
    for_each_kind([&](auto kind) {
        constexpr std::size_t K = decltype(kind)::value;
        using T = Element<K>;
        Ref& list = lists_[K];
        if (!list) {
            return;
        }
        if constexpr (keeps_list<T>) {
            const Keep keep = may_keep<T>(list.get());
            unshared_ = (unshared_ & ~(1u << K)) | (keep.elements_unshared ? 1u << K : 0u);
            if (keep.list) {
                // Code run before the next call (a __del__, a comparison, a
                // gc callback) could otherwise reach the list through gc
                // without holding it and put other objects in. Untracked, with
                // nobody but this object referencing it and only numbers in
                // it, nothing can reach it until fill_lists tracks it again.
                PyObject_GC_UnTrack(list.get());
                return;
            }
        }
        list = Ref();
    });
}

PyObject* PointCall::call(const XVec& position) {
    // One slot in front of the arguments lets a bound method put its self
    // there instead of copying the arguments.
    PyObject* stack[1 + KIND_COUNT];
    fill_lists(position, stack + 1);
    PyObject* result = PyObject_Vectorcall(f_, stack + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames_.get());
    if (result != nullptr) {
        keep_or_release_lists();
    }
    return result;
}

}  // namespace kavell
