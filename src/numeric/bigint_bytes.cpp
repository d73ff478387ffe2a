// BigInt <-> little-endian two's-complement byte strings: the form in which
// integers of any size cross into and out of the interpreter.
#include "numeric/bigint.hpp"

namespace kavell {
namespace {

// Two's-complement negation in place over the whole length.
void negate_bytes(std::vector<std::uint8_t>& bytes) noexcept {
    unsigned carry = 1;
    for (std::uint8_t& byte : bytes) {
        const unsigned sum = static_cast<std::uint8_t>(~byte) + carry;
        byte = static_cast<std::uint8_t>(sum);
        carry = sum >> 8;
    }
}

}  // namespace

BigInt BigInt::from_signed_le_bytes(const std::uint8_t* bytes, std::size_t length) {
    if (length == 0) {
        return BigInt();
    }
    const bool negative = (bytes[length - 1] & 0x80u) != 0;
    // A negative number's magnitude is its two's complement: invert every
    // byte and add one, carrying up through the words as they are built.
    const std::uint8_t flip = negative ? 0xffu : 0x00u;
    std::vector<std::uint64_t> magnitude((length + 7) / 8, 0);
    unsigned carry = negative ? 1u : 0u;
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned sum = static_cast<std::uint8_t>(bytes[i] ^ flip) + carry;
        carry = sum >> 8;
        magnitude[i / 8] |= static_cast<std::uint64_t>(sum & 0xffu) << (8 * (i % 8));
    }
    // A carry out of the top byte only happens for an all-zero string, whose
    // value is zero either way.
    return from_magnitude(negative, std::move(magnitude));
}

std::vector<std::uint8_t> BigInt::to_signed_le_bytes() const {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(limbs.size() * 8 + 1);
    for (const std::uint64_t limb : limbs) {
        for (unsigned shift = 0; shift < 64; shift += 8) {
            bytes.push_back(static_cast<std::uint8_t>(limb >> shift));
        }
    }
    while (!bytes.empty() && bytes.back() == 0) {
        bytes.pop_back();
    }
    if (bytes.empty()) {
        return {0};
    }
    if ((bytes.back() & 0x80u) != 0) {
        // The top bit would read as a sign. The one value that needs no extra
        // byte is -2^(8n-1), whose two's complement is its own magnitude.
        bool is_lowest = is_negative() && bytes.back() == 0x80u;
        for (std::size_t i = 0; is_lowest && i + 1 < bytes.size(); ++i) {
            is_lowest = bytes[i] == 0;
        }
        if (!is_lowest) {
            bytes.push_back(0);
        }
    }
    if (is_negative()) {
        negate_bytes(bytes);
    }
    return bytes;
}

}  // namespace kavell
