#include "random/uniform_bigint.hpp"

#include <utility>

#include "random/uniform_errors.hpp"
#include "support/panic.hpp"

namespace kavell {
namespace {

// a < b for magnitudes of equal word count (a may have high zero words).
bool below(const std::vector<std::uint64_t>& a, const std::vector<std::uint64_t>& b) noexcept {
    for (std::size_t i = a.size(); i-- > 0;) {
        if (a[i] != b[i]) {
            return a[i] < b[i];
        }
    }
    return false;
}

}  // namespace

UniformBigInt::UniformBigInt(BigInt base, std::vector<std::uint64_t> span) noexcept
    : base_(std::move(base)), span_(std::move(span)) {
    const std::size_t bits = 64 * span_.size() - static_cast<std::size_t>(__builtin_clzll(span_.back()));
    span_words32_ = (bits + 31) / 32;
    const unsigned top_bits = static_cast<unsigned>(bits - 32 * (span_words32_ - 1));
    top_mask_ = top_bits == 32 ? ~0u : (1u << top_bits) - 1;
}

UniformBigInt UniformBigInt::create(const BigInt& low, const BigInt& high) {
    if (BigInt::compare(low, high) >= 0) {
        panic(UNIFORM_BIGINT_LOW_NOT_BELOW_HIGH);
    }
    BigInt span = BigInt::sub(high, low);
    return UniformBigInt(low, std::move(span.limbs));
}

BigInt UniformBigInt::sample(ThreadRng& rng) const {
    std::vector<std::uint64_t> candidate(span_.size());
    do {
        for (std::size_t i = 0; i < span_words32_; ++i) {
            std::uint64_t word = rng.next_u32();
            if (i + 1 == span_words32_) {
                word &= top_mask_;
            }
            if (i % 2 == 0) {
                candidate[i / 2] = word;
            } else {
                candidate[i / 2] |= word << 32;
            }
        }
    } while (!below(candidate, span_));
    return BigInt::add(base_, BigInt::from_magnitude(false, std::move(candidate)));
}

}  // namespace kavell
