// Test-only entry points for the random area of the core.
//
// Keyed generators: a generator is built from a given 32-byte key and a
// scripted entropy source, and handed to Python as a capsule. The script is
// a list whose entries answer the successive entropy reads: a 32-byte
// bytes object is a successful read of those bytes, an int a failure with
// that error code; reads past the end fail with code 9999. Scripts count
// their reads, and a process-wide counter records scripts released, which
// is how tests see a generator (and the script it owns) released at thread
// exit.
//
// Values of every kind pass through the module's own conversions
// (from_py / to_py), so big integers are Python ints and decimals
// decimal.Decimal objects with their scale kept.
#include "python/compat.hpp"
#include "python/convert.hpp"
#include "python/dict_view.hpp"
#include "python/guard.hpp"
#include "random/chacha.hpp"
#include "random/thread_rng.hpp"
#include "random/uniform.hpp"
#include "random/xvec_sampler.hpp"
#include "xvec_dict.hpp"

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <variant>
#include <vector>

namespace kavell::testing {

namespace {

constexpr int SCRIPT_EXHAUSTED = 9999;
constexpr const char* RNG_CAPSULE = "kavell.testing.rng";

std::atomic<long> scripts_released{0};

struct EntropyScript {
    std::vector<std::variant<ThreadRng::Seed, int>> answers;
    std::size_t reads = 0;

    EntropyScript() = default;
    EntropyScript(const EntropyScript&) = delete;
    EntropyScript& operator=(const EntropyScript&) = delete;
    ~EntropyScript() { scripts_released.fetch_add(1); }

    int read(std::uint8_t* bytes, std::size_t length) {
        const std::size_t i = reads++;
        if (i >= answers.size()) {
            return SCRIPT_EXHAUSTED;
        }
        if (const int* code = std::get_if<int>(&answers[i])) {
            return *code;
        }
        const ThreadRng::Seed& seed = std::get<ThreadRng::Seed>(answers[i]);
        std::memcpy(bytes, seed.data(), length < seed.size() ? length : seed.size());
        return 0;
    }
};

// The source owns its script, so releasing the generator releases it.
EntropySource source_of(std::shared_ptr<EntropyScript> script) {
    return [script = std::move(script)](std::uint8_t* bytes, std::size_t length) noexcept {
        return script->read(bytes, length);
    };
}

long long_of(PyObject* object) {
    const long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred()) {
        throw_fetched();
    }
    return value;
}

std::size_t count_of(PyObject* object) {
    const long value = long_of(object);
    if (value < 0) {
        throw PyErr(PyExc_ValueError, "negative count");
    }
    return static_cast<std::size_t>(value);
}

ThreadRng::Seed seed_of(PyObject* object) {
    if (!PyBytes_Check(object) || PyBytes_GET_SIZE(object) != ThreadRng::SEED_BYTES) {
        throw PyErr(PyExc_ValueError, "a key is 32 bytes");
    }
    ThreadRng::Seed seed;
    std::memcpy(seed.data(), PyBytes_AS_STRING(object), seed.size());
    return seed;
}

std::shared_ptr<EntropyScript> script_of(PyObject* list) {
    auto script = std::make_shared<EntropyScript>();
    if (list == nullptr || list == Py_None) {
        return script;
    }
    Ref items = Ref::check(PySequence_Fast(list, "an entropy script is a sequence"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        if (PyBytes_Check(item)) {
            script->answers.emplace_back(seed_of(item));
        } else {
            script->answers.emplace_back(static_cast<int>(long_of(item)));
        }
    }
    return script;
}

struct TestRng {
    TestRng(const ThreadRng::Seed& seed, std::shared_ptr<EntropyScript> entropy)
        : script(entropy), rng(seed, source_of(std::move(entropy))) {}

    std::shared_ptr<EntropyScript> script;
    ThreadRng rng;
};

ThreadRng& rng_of(PyObject* capsule) {
    auto* test_rng = static_cast<TestRng*>(PyCapsule_GetPointer(capsule, RNG_CAPSULE));
    if (test_rng == nullptr) {
        throw_fetched();
    }
    return test_rng->rng;
}

Ref py_u64(std::uint64_t value) { return Ref::check(PyLong_FromUnsignedLongLong(value)); }

Ref py_u128(UInt128 value) {
    // One zero byte on top keeps the signed conversion non-negative.
    unsigned char bytes[17] = {};
    for (int i = 0; i < 16; ++i) {
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    }
    return Ref::check(compat::long_from_byte_array(bytes, sizeof bytes));
}

Ref tuple_of(std::initializer_list<Ref*> items) {
    Ref tuple = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (Ref* item : items) {
        PyTuple_SET_ITEM(tuple.get(), i++, item->release());
    }
    return tuple;
}

template <class Draw>
Ref list_of_draws(std::size_t count, Draw&& draw) {
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(count)));
    for (std::size_t i = 0; i < count; ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), draw().release());
    }
    return list;
}

// Calls f(std::integral_constant<std::size_t, K>{}) for the kind whose key
// is `key`.
template <class F>
Ref for_kind_named(PyObject* key, F&& f) {
    const char* name = PyUnicode_AsUTF8(key);
    if (name == nullptr) {
        throw_fetched();
    }
    Ref result;
    for_each_kind([&](auto kind) {
        if (!result && KIND_KEYS[decltype(kind)::value] == std::string_view(name)) {
            result = f(kind);
        }
    });
    if (!result) {
        throw PyErr(PyExc_KeyError, "unknown kind key");
    }
    return result;
}

// --- ChaCha -----------------------------------------------------------------

// chacha_words(key: bytes, rounds: int, first_counter: int, count: int)
//   -> the first `count` keystream words from block `first_counter` on.
PyObject* chacha_words(PyObject*, PyObject* args) {
    return guard<PyObject*>(nullptr, [&] {
        PyObject *key, *rounds, *counter, *count;
        if (!PyArg_UnpackTuple(args, "chacha_words", 4, 4, &key, &rounds, &counter, &count)) {
            throw_fetched();
        }
        const ThreadRng::Seed seed = seed_of(key);
        std::uint8_t bytes[32];
        std::memcpy(bytes, seed.data(), sizeof bytes);
        const std::uint64_t first = PyLong_AsUnsignedLongLong(counter);
        if (PyErr_Occurred()) {
            throw_fetched();
        }
        const std::size_t n = count_of(count);
        std::vector<std::uint32_t> words((n + CHACHA_BLOCK_WORDS - 1) / CHACHA_BLOCK_WORDS * CHACHA_BLOCK_WORDS);
        chacha_blocks(chacha_key_from_bytes(bytes), first, static_cast<int>(long_of(rounds)), words.data(),
                      words.size() / CHACHA_BLOCK_WORDS);
        std::size_t i = 0;
        return list_of_draws(n, [&] { return py_u64(words[i++]); }).release();
    });
}

// --- Keyed generators -------------------------------------------------------

// rng_new(key: bytes, script=None) -> capsule
PyObject* rng_new(PyObject*, PyObject* args) {
    return guard<PyObject*>(nullptr, [&] {
        PyObject* key = nullptr;
        PyObject* script = nullptr;
        if (!PyArg_UnpackTuple(args, "rng_new", 1, 2, &key, &script)) {
            throw_fetched();
        }
        auto test_rng = std::make_unique<TestRng>(seed_of(key), script_of(script));
        Ref capsule = Ref::check(PyCapsule_New(test_rng.get(), RNG_CAPSULE, [](PyObject* self) {
            delete static_cast<TestRng*>(PyCapsule_GetPointer(self, RNG_CAPSULE));
        }));
        test_rng.release();
        return capsule.release();
    });
}

// rng_u32(rng, count) / rng_u64(rng, count) -> list of words
template <bool Wide>
PyObject* rng_words(PyObject*, PyObject* args) {
    return guard<PyObject*>(nullptr, [&] {
        PyObject *capsule, *count;
        if (!PyArg_UnpackTuple(args, "rng_words", 2, 2, &capsule, &count)) {
            throw_fetched();
        }
        ThreadRng& rng = rng_of(capsule);
        return list_of_draws(count_of(count), [&] { return py_u64(Wide ? rng.next_u64() : rng.next_u32()); })
            .release();
    });
}

// rng_bytes(rng, length) -> bytes
PyObject* rng_bytes(PyObject*, PyObject* args) {
    return guard<PyObject*>(nullptr, [&] {
        PyObject *capsule, *length;
        if (!PyArg_UnpackTuple(args, "rng_bytes", 2, 2, &capsule, &length)) {
            throw_fetched();
        }
        ThreadRng& rng = rng_of(capsule);
        std::vector<std::uint8_t> bytes(count_of(length));
        rng.fill_bytes(bytes.data(), bytes.size());
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<Py_ssize_t>(bytes.size()));
    });
}

// rng_state(rng) -> (words drawn so far, entropy reads made)
PyObject* rng_state(PyObject*, PyObject* capsule) {
    return guard<PyObject*>(nullptr, [&] {
        ThreadRng& rng = rng_of(capsule);
        const auto* test_rng = static_cast<TestRng*>(PyCapsule_GetPointer(capsule, RNG_CAPSULE));
        Ref words = py_u64(rng.words_drawn());
        Ref reads = py_u64(test_rng->script->reads);
        return tuple_of({&words, &reads}).release();
    });
}

// --- The thread's generator -------------------------------------------------

// thread_rng_words(count, script=None) -> (words, reads of the script)
// Takes this thread's handle (created from the script if the thread has
// none yet; from the operating system when no script is given), draws
// `count` words and releases the handle.
PyObject* thread_rng_words(PyObject*, PyObject* args) {
    return guard<PyObject*>(nullptr, [&] {
        PyObject* count = nullptr;
        PyObject* script = nullptr;
        if (!PyArg_UnpackTuple(args, "thread_rng_words", 1, 2, &count, &script)) {
            throw_fetched();
        }
        const std::size_t n = count_of(count);
        std::shared_ptr<EntropyScript> entropy = script_of(script);
        ThreadRngHandle rng = script == nullptr || script == Py_None ? ThreadRng::current()
                                                                    : ThreadRng::current_from(source_of(entropy));
        Ref words = list_of_draws(n, [&] { return py_u64(rng->next_u32()); });
        Ref reads = py_u64(entropy->reads);
        return tuple_of({&words, &reads}).release();
    });
}

// thread_rng_released() -> number of entropy scripts released so far
PyObject* thread_rng_released(PyObject*, PyObject*) {
    return guard<PyObject*>(nullptr, [&] { return py_u64(static_cast<std::uint64_t>(scripts_released.load())).release(); });
}

struct ExitReport {
    std::uint32_t word = 0;
    long released_while_held = -1;
    long released_after_drop = -1;
    std::string message;
};

// Constructed before the thread's generator, so destroyed after its slot.
struct ExitProbe {
    ExitReport* out = nullptr;
    ThreadRngHandle held;
    std::shared_ptr<EntropyScript> later_script;

    ~ExitProbe() {
        if (out == nullptr) {
            return;
        }
        const long before = scripts_released.load();
        out->word = held->next_u32();
        out->released_while_held = scripts_released.load() - before;
        held = ThreadRngHandle();
        out->released_after_drop = scripts_released.load() - before;
        try {
            ThreadRng::current_from(source_of(std::move(later_script)));
        } catch (const Panic& p) {
            out->message = p.message();
        }
    }
};

// thread_rng_exit_probe(key) -> (word, released while held, released after
// drop, message), from a native thread with an exit routine that runs after
// its generator slot has been released. That routine still holds a handle
// (the generator must stay usable until the handle is dropped, and go with
// it), then asks for the thread's generator again.
PyObject* thread_rng_exit_probe(PyObject*, PyObject* key) {
    return guard<PyObject*>(nullptr, [&] {
        const ThreadRng::Seed seed = seed_of(key);
        ExitReport report;
        std::thread thread([&] {
            thread_local ExitProbe probe;
            probe.out = &report;
            probe.later_script = std::make_shared<EntropyScript>();
            probe.later_script->answers.emplace_back(seed);
            auto script = std::make_shared<EntropyScript>();
            script->answers.emplace_back(seed);
            probe.held = ThreadRng::current_from(source_of(std::move(script)));
        });
        thread.join();
        Ref word = py_u64(report.word);
        Ref while_held = Ref::check(PyLong_FromLong(report.released_while_held));
        Ref after_drop = Ref::check(PyLong_FromLong(report.released_after_drop));
        Ref message = Ref::check(PyUnicode_FromStringAndSize(report.message.data(),
                                                             static_cast<Py_ssize_t>(report.message.size())));
        return tuple_of({&word, &while_held, &after_drop, &message}).release();
    });
}

// --- Element samplers ------------------------------------------------------

// uniform_draws(kind, low, high, count, rng) -> list of `count` draws
PyObject* uniform_draws(PyObject*, PyObject* args) {
    return guard<PyObject*>(nullptr, [&] {
        PyObject *key, *low, *high, *count, *capsule;
        if (!PyArg_UnpackTuple(args, "uniform_draws", 5, 5, &key, &low, &high, &count, &capsule)) {
            throw_fetched();
        }
        ThreadRng& rng = rng_of(capsule);
        const std::size_t n = count_of(count);
        return for_kind_named(key, [&](auto kind) {
                   using T = Element<decltype(kind)::value>;
                   const Uniform<T> sampler = Uniform<T>::create(from_py<T>(low), from_py<T>(high));
                   return list_of_draws(n, [&] { return to_py<T>(sampler.sample(rng)); });
               })
            .release();
    });
}

template <class F>
Ref float_fields(const UniformFloat<F>& sampler) {
    Ref low = to_py<F>(sampler.low());
    Ref width = to_py<F>(sampler.width());
    return tuple_of({&low, &width});
}

// uniform_fields(kind, low, high) -> what construction computed:
//   integers (low, range); floats (low, width); complex
//   ((re.low, re.width), (im.low, im.width)); "i" (base, span);
//   "d" (scale, lowest mantissa, mantissa range).
PyObject* uniform_fields(PyObject*, PyObject* args) {
    return guard<PyObject*>(nullptr, [&] {
        PyObject *key, *low, *high;
        if (!PyArg_UnpackTuple(args, "uniform_fields", 3, 3, &key, &low, &high)) {
            throw_fetched();
        }
        return for_kind_named(key, [&](auto kind) {
                   using T = Element<decltype(kind)::value>;
                   const Uniform<T> sampler = Uniform<T>::create(from_py<T>(low), from_py<T>(high));
                   using S = Uniform<T>;
                   if constexpr (std::is_same_v<S, UniformBigInt>) {
                       Ref base = to_py<BigInt>(sampler.base());
                       Ref span = to_py<BigInt>(BigInt::from_magnitude(false, sampler.span()));
                       return tuple_of({&base, &span});
                   } else if constexpr (std::is_same_v<S, UniformDecimal>) {
                       Ref scale = py_u64(sampler.scale());
                       Ref first = to_py<Int128>(sampler.mantissa().low());
                       Ref range = py_u128(sampler.mantissa().range());
                       return tuple_of({&scale, &first, &range});
                   } else if constexpr (is_complex_v<T>) {
                       Ref re = float_fields(sampler.re());
                       Ref im = float_fields(sampler.im());
                       return tuple_of({&re, &im});
                   } else if constexpr (std::is_floating_point_v<T>) {
                       return float_fields(sampler);
                   } else {
                       Ref first = to_py<T>(sampler.low());
                       Ref range = py_u128(sampler.range());
                       return tuple_of({&first, &range});
                   }
               })
            .release();
    });
}

// decimal_rescale(d, scale) -> d rescaled
PyObject* decimal_rescale(PyObject*, PyObject* args) {
    return guard<PyObject*>(nullptr, [&] {
        PyObject *value, *scale;
        if (!PyArg_UnpackTuple(args, "decimal_rescale", 2, 2, &value, &scale)) {
            throw_fetched();
        }
        return to_py<Decimal>(from_py<Decimal>(value).rescale(static_cast<std::uint32_t>(count_of(scale)))).release();
    });
}

// decimal_common_scale(a, b) -> (a, b) at their common scale
PyObject* decimal_common_scale(PyObject*, PyObject* args) {
    return guard<PyObject*>(nullptr, [&] {
        PyObject *a, *b;
        if (!PyArg_UnpackTuple(args, "decimal_common_scale", 2, 2, &a, &b)) {
            throw_fetched();
        }
        Decimal x = from_py<Decimal>(a);
        Decimal y = from_py<Decimal>(b);
        to_common_scale(x, y);
        Ref first = to_py<Decimal>(x);
        Ref second = to_py<Decimal>(y);
        return tuple_of({&first, &second}).release();
    });
}

// --- Sampler sets -----------------------------------------------------------

// xvec_draws(lower: dict, upper: dict, count, rng) -> list of `count` dict views
PyObject* xvec_draws(PyObject*, PyObject* args) {
    return guard<PyObject*>(nullptr, [&] {
        PyObject *lower, *upper, *count, *capsule;
        if (!PyArg_UnpackTuple(args, "xvec_draws", 4, 4, &lower, &upper, &count, &capsule)) {
            throw_fetched();
        }
        ThreadRng& rng = rng_of(capsule);
        const std::size_t n = count_of(count);
        const XVecSampler sampler = XVecSampler::create(xvec_from_dict(lower), xvec_from_dict(upper));
        return list_of_draws(n, [&] { return to_dict(sampler.sample(rng)); }).release();
    });
}

PyMethodDef methods[] = {
    {"chacha_words", chacha_words, METH_VARARGS, nullptr},
    {"rng_new", rng_new, METH_VARARGS, nullptr},
    {"rng_u32", rng_words<false>, METH_VARARGS, nullptr},
    {"rng_u64", rng_words<true>, METH_VARARGS, nullptr},
    {"rng_bytes", rng_bytes, METH_VARARGS, nullptr},
    {"rng_state", rng_state, METH_O, nullptr},
    {"thread_rng_words", thread_rng_words, METH_VARARGS, nullptr},
    {"thread_rng_released", thread_rng_released, METH_NOARGS, nullptr},
    {"thread_rng_exit_probe", thread_rng_exit_probe, METH_O, nullptr},
    {"uniform_draws", uniform_draws, METH_VARARGS, nullptr},
    {"uniform_fields", uniform_fields, METH_VARARGS, nullptr},
    {"decimal_rescale", decimal_rescale, METH_VARARGS, nullptr},
    {"decimal_common_scale", decimal_common_scale, METH_VARARGS, nullptr},
    {"xvec_draws", xvec_draws, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const PyMethodDef* random_methods() { return methods; }

}  // namespace kavell::testing
