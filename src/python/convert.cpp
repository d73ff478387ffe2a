#include "python/convert.hpp"

#include "python/compat.hpp"
#include "python/scalars.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>
#include <variant>

namespace kavell {
namespace {

constexpr std::string_view OUT_OF_RANGE = "out of range integral type conversion attempted";

// i8, i16 and i32 are read through a C `long`. Where `long` is wider than
// the kind, the range check below gives every value that fits the `long`
// but not the kind the same OverflowError; beyond the `long` the
// interpreter's own OverflowError stands.
template <class T>
T narrow_from_py(PyObject* object) {
    Ref index = index_of(object);
    const long value = PyLong_AsLong(index.get());
    if (value == -1 && PyErr_Occurred()) {
        throw_fetched();
    }
    if (value < std::numeric_limits<T>::min() || value > std::numeric_limits<T>::max()) {
        throw PyErr(PyExc_OverflowError, OUT_OF_RANGE);
    }
    return static_cast<T>(value);
}

// Round to nearest binary32, overflowing to infinity as the hardware does.
// Values from 2^128 - 2^103 (halfway between FLT_MAX and 2^128) upwards lie
// outside float's range, where a plain conversion is undefined in C++.
float to_f32(double value) noexcept {
    constexpr double INFINITY_THRESHOLD = 0x1.ffffffp127;
    if (std::fabs(value) >= INFINITY_THRESHOLD) {
        constexpr float inf = std::numeric_limits<float>::infinity();
        return std::signbit(value) ? -inf : inf;
    }
    return static_cast<float>(value);
}

Py_complex complex_from_py(PyObject* object) {
    const Py_complex value = PyComplex_AsCComplex(object);
    if (value.real == -1.0 && PyErr_Occurred()) {
        throw_fetched();
    }
    return value;
}

Ref int_from_le_bytes(const std::uint8_t* bytes, std::size_t length) {
    return expect_object(compat::long_from_byte_array(bytes, length));
}

// Where the interpreter's int digits are known (before 3.12, with the GIL),
// an int beyond 64 bits is written digit by digit straight from the words,
// instead of going through bytes that the interpreter then reads one at a
// time. The headers give the layout; the running interpreter must confirm
// its digit width once, or the byte route is taken for good.
#if PY_VERSION_HEX < 0x030C0000 && !defined(Py_GIL_DISABLED)
bool digits_as_compiled() {
    static const bool confirmed = [] {
        Ref info = Ref::steal(PyLong_GetInfo());
        if (!info) {
            PyErr_Clear();
            return false;
        }
        const long bits = PyLong_AsLong(PyStructSequence_GetItem(info.get(), 0));
        const long size = PyLong_AsLong(PyStructSequence_GetItem(info.get(), 1));
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        return bits == PyLong_SHIFT && size == static_cast<long>(sizeof(digit));
    }();
    return confirmed;
}

// `words` is a normalised magnitude: its top word is not zero.
Ref int_from_digits(const std::uint64_t* words, std::size_t count, bool negative) {
    const std::size_t bits = 64 * count - static_cast<std::size_t>(__builtin_clzll(words[count - 1]));
    const std::size_t digit_count = (bits + PyLong_SHIFT - 1) / PyLong_SHIFT;
    auto* number = reinterpret_cast<PyLongObject*>(expect_object(reinterpret_cast<PyObject*>(
        _PyLong_New(static_cast<Py_ssize_t>(digit_count)))).release());
    digit* out = number->ob_digit;
    // At most PyLong_SHIFT - 1 + 64 bits wait in the accumulator.
    UInt128 pending = 0;
    unsigned pending_bits = 0;
    std::size_t d = 0;
    for (std::size_t i = 0; i < count; ++i) {
        pending |= static_cast<UInt128>(words[i]) << pending_bits;
        pending_bits += 64;
        for (; pending_bits >= PyLong_SHIFT && d < digit_count; pending_bits -= PyLong_SHIFT) {
            out[d++] = static_cast<digit>(pending & PyLong_MASK);
            pending >>= PyLong_SHIFT;
        }
    }
    // What is left fills the top digit, which is not zero since digit_count
    // came from the bit length; the zeros above it are never written.
    if (d < digit_count) {
        out[d++] = static_cast<digit>(pending);
    }
    const auto size = static_cast<Py_ssize_t>(digit_count);
    Py_SET_SIZE(number, negative ? -size : size);
    return Ref::steal(reinterpret_cast<PyObject*>(number));
}
#endif

// The decimal.Decimal class, loaded on first use and never released: it
// lives as long as the process, like the class objects it is cached beside.
PyObject* cached_decimal_class = nullptr;

PyObject* decimal_class() {
    if (cached_decimal_class != nullptr) {
        return cached_decimal_class;
    }
    constexpr std::string_view CONTEXT = "failed to load decimal.Decimal";
    Ref name = expect_object(PyUnicode_FromString("decimal"));
    Ref module = Ref::steal(PyImport_Import(name.get()));
    if (!module) {
        panic_with_error(CONTEXT, PyErr::fetch());
    }
    Ref cls = Ref::steal(PyObject_GetAttrString(module.get(), "Decimal"));
    if (!cls) {
        panic_with_error(CONTEXT, PyErr::fetch());
    }
    if (!PyType_Check(cls.get())) {
        panic_with_error(CONTEXT, conversion_error(cls.get(), "type"));
    }
    // The import may have let another thread in, which may have filled the
    // cache meanwhile; either class object serves, the first one stays.
    if (cached_decimal_class == nullptr) {
        cached_decimal_class = cls.release();
    }
    return cached_decimal_class;
}

// What turns a decimal text into a decimal.Decimal: the bound create_decimal
// of a private Context(prec=29) where that is the interpreter's own C
// implementation, else the class itself. Every text of a 96-bit decimal has
// at most 29 digits and an exponent between -28 and 0, so that context
// neither rounds nor signals and the result is exactly the object the class
// call makes (same sign, digits and exponent, negative zero included); it
// only skips the class call's keyword parsing. Anything unexpected (no
// Context, a method written in Python, an object of another type) keeps the
// class. Cached beside the class for the life of the process.
PyObject* cached_decimal_maker = nullptr;

Ref exact_create_decimal(PyObject* cls) {
    Ref name = expect_object(PyUnicode_FromString("decimal"));
    Ref module = Ref::steal(PyImport_Import(name.get()));
    Ref context_class = module ? Ref::steal(PyObject_GetAttrString(module.get(), "Context")) : Ref();
    Ref keywords = context_class ? Ref::steal(Py_BuildValue("{s:i}", "prec", 29)) : Ref();
    Ref empty = keywords ? Ref::steal(PyTuple_New(0)) : Ref();
    Ref context = empty ? Ref::steal(PyObject_Call(context_class.get(), empty.get(), keywords.get())) : Ref();
    Ref method = context ? Ref::steal(PyObject_GetAttrString(context.get(), "create_decimal")) : Ref();
    if (method && PyCFunction_Check(method.get())) {
        Ref probe_text = expect_object(PyUnicode_FromString("-0.00"));
        Ref probe = Ref::steal(PyObject_CallOneArg(method.get(), probe_text.get()));
        if (probe && Py_IS_TYPE(probe.get(), reinterpret_cast<PyTypeObject*>(cls))) {
            return method;
        }
    }
    PyErr_Clear();
    return Ref::borrow(cls);
}

PyObject* decimal_maker() {
    if (cached_decimal_maker != nullptr) {
        return cached_decimal_maker;
    }
    PyObject* cls = decimal_class();
    Ref maker = exact_create_decimal(cls);
    if (cached_decimal_maker == nullptr) {
        cached_decimal_maker = maker.release();
    }
    return cached_decimal_maker;
}

}  // namespace

Decimal decimal_from_text(std::string_view text) {
    auto parsed = Decimal::parse(text);
    if (const char* const* error = std::get_if<const char*>(&parsed)) {
        throw PyErr(PyExc_ValueError, *error);
    }
    return std::get<Decimal>(parsed);
}

std::int8_t PyKind<std::int8_t>::from_py(PyObject* object) { return narrow_from_py<std::int8_t>(object); }
std::int16_t PyKind<std::int16_t>::from_py(PyObject* object) { return narrow_from_py<std::int16_t>(object); }
std::int32_t PyKind<std::int32_t>::from_py(PyObject* object) { return narrow_from_py<std::int32_t>(object); }

std::int64_t PyKind<std::int64_t>::from_py(PyObject* object) {
    Ref index = index_of(object);
    const long long value = PyLong_AsLongLong(index.get());
    if (value == -1 && PyErr_Occurred()) {
        throw_fetched();
    }
    return value;
}

Int128 PyKind<Int128>::from_py(PyObject* object) {
    Ref index = index_of(object);
    std::uint8_t bytes[16];
    check_status(compat::long_as_byte_array(index.get(), bytes, sizeof bytes));
    UInt128 bits = 0;
    for (std::size_t i = sizeof bytes; i-- > 0;) {
        bits = (bits << 8) | bytes[i];
    }
    return static_cast<Int128>(bits);
}

BigInt PyKind<BigInt>::from_py(PyObject* object) {
    Ref index = index_of(object);
    const std::size_t bits = compat::long_num_bits(index.get());
    if (bits == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
        throw_fetched();
    }
    if (bits == 0) {
        return BigInt();
    }
    // floor(b / 8) + 1 bytes always leave room for the sign bit. Up to 1023
    // bits that fits the stack buffer; only larger integers allocate.
    const std::size_t length = bits / 8 + 1;
    std::uint8_t small[128];
    std::unique_ptr<std::uint8_t[]> large;
    std::uint8_t* bytes = small;
    if (length > sizeof small) {
        large = std::make_unique_for_overwrite<std::uint8_t[]>(length);
        bytes = large.get();
    }
    check_status(compat::long_as_byte_array(index.get(), bytes, length));
    return BigInt::from_signed_le_bytes(bytes, length);
}

float PyKind<float>::from_py(PyObject* object) { return to_f32(double_from_py(object)); }
double PyKind<double>::from_py(PyObject* object) { return double_from_py(object); }

Complex64 PyKind<Complex64>::from_py(PyObject* object) {
    const Py_complex value = complex_from_py(object);
    return {to_f32(value.real), to_f32(value.imag)};
}

Complex128 PyKind<Complex128>::from_py(PyObject* object) {
    const Py_complex value = complex_from_py(object);
    return {value.real, value.imag};
}

Decimal PyKind<Decimal>::from_py(PyObject* object) {
    // Integers within 64 bits take the direct route; for anything else the
    // ordinary failure of that route is of no interest, the text route
    // decides. An interrupt in __index__ ends the conversion as it is.
    if (Ref index = Ref::steal(PyNumber_Index(object))) {
        const long long value = PyLong_AsLongLong(index.get());
        if (!(value == -1 && PyErr_Occurred())) {
            return Decimal::from_i64(value);
        }
    }
    if (std::optional<PyErr> interrupt = drop_ordinary_error()) {
        throw std::move(*interrupt);
    }
    Ref text = Ref::check(PyObject_Str(object));
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (data == nullptr) {
        throw_fetched();
    }
    return decimal_from_text(std::string_view(data, static_cast<std::size_t>(size)));
}

Ref PyKind<std::int8_t>::to_py(const std::int8_t& value) { return expect_object(PyLong_FromLong(value)); }
Ref PyKind<std::int16_t>::to_py(const std::int16_t& value) { return expect_object(PyLong_FromLong(value)); }
Ref PyKind<std::int32_t>::to_py(const std::int32_t& value) { return expect_object(PyLong_FromLong(value)); }
Ref PyKind<std::int64_t>::to_py(const std::int64_t& value) { return expect_object(PyLong_FromLongLong(value)); }

Ref PyKind<Int128>::to_py(const Int128& value) {
    std::uint8_t bytes[16];
    auto bits = static_cast<UInt128>(value);
    for (std::uint8_t& byte : bytes) {
        byte = static_cast<std::uint8_t>(bits);
        bits >>= 8;
    }
    return int_from_le_bytes(bytes, sizeof bytes);
}

Ref PyKind<BigInt>::to_py(const BigInt& value) {
    const std::size_t words = value.limbs.size();
    if (words == 0) {
        return expect_object(PyLong_FromLong(0));
    }
    const std::uint64_t low = value.limbs[0];
    if (words == 1 && !value.is_negative()) {
        return expect_object(PyLong_FromUnsignedLongLong(low));
    }
    if (words == 1 && low <= static_cast<std::uint64_t>(1) << 63) {
        // The two's complement of the magnitude is the value.
        return expect_object(PyLong_FromLongLong(static_cast<long long>(0 - low)));
    }
#if PY_VERSION_HEX < 0x030C0000 && !defined(Py_GIL_DISABLED)
    if (digits_as_compiled()) {
        return int_from_digits(value.limbs.data(), words, value.is_negative());
    }
#endif
    // The words and one more, which leaves room for the sign, negated in
    // two's complement for a negative value; read as little-endian bytes up
    // to the first byte of the extra word. Up to 1023 bits the stack holds them.
    std::uint64_t small[17];
    std::unique_ptr<std::uint64_t[]> large;
    std::uint64_t* buffer = small;
    if (words + 1 > std::size(small)) {
        large = std::make_unique_for_overwrite<std::uint64_t[]>(words + 1);
        buffer = large.get();
    }
    std::memcpy(buffer, value.limbs.data(), words * sizeof(std::uint64_t));
    buffer[words] = 0;
    if (value.is_negative()) {
        unsigned char carry = 1;
        for (std::size_t i = 0; i <= words; ++i) {
            buffer[i] = ~buffer[i] + carry;
            carry = static_cast<unsigned char>(carry != 0 && buffer[i] == 0);
        }
    }
    if constexpr (std::endian::native != std::endian::little) {
        for (std::size_t i = 0; i <= words; ++i) {
            buffer[i] = __builtin_bswap64(buffer[i]);
        }
    }
    const std::size_t length = words * 8 + 1;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(buffer);
    return int_from_le_bytes(bytes, length);
}

Ref PyKind<float>::to_py(const float& value) { return expect_object(PyFloat_FromDouble(value)); }
Ref PyKind<double>::to_py(const double& value) { return expect_object(PyFloat_FromDouble(value)); }

Ref PyKind<Complex64>::to_py(const Complex64& value) {
    return expect_object(PyComplex_FromDoubles(value.re, value.im));
}
Ref PyKind<Complex128>::to_py(const Complex128& value) {
    return expect_object(PyComplex_FromDoubles(value.re, value.im));
}

Ref PyKind<Decimal>::to_py(const Decimal& value) {
    PyObject* maker = decimal_maker();
    // The text is ASCII: copied straight into a one-byte str.
    char text[Decimal::TEXT_CAPACITY];
    const std::size_t length = value.write_text(text);
    Ref argument = expect_object(PyUnicode_New(static_cast<Py_ssize_t>(length), 127));
    std::memcpy(PyUnicode_1BYTE_DATA(argument.get()), text, length);
    Ref result = Ref::steal(PyObject_CallOneArg(maker, argument.get()));
    if (!result) {
        panic_with_error("failed to call decimal.Decimal(value)", PyErr::fetch());
    }
    return result;
}

}  // namespace kavell
