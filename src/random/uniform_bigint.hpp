// UniformBigInt: exactly uniform draws of an arbitrary-precision integer in
// [low, high).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "numeric/bigint.hpp"
#include "random/thread_rng.hpp"

namespace kavell {

class UniformBigInt {
public:
    // Panics with "assertion failed: low < high" unless low < high.
    static UniformBigInt create(const BigInt& low, const BigInt& high);

    // base + n for the first candidate n below span. A candidate has exactly
    // bitlength(span) random bits, filled from 32-bit generator words, least
    // significant first (so a full 64-bit limb takes the two words of one
    // next_u64). As span >= 2^(bits - 1), each candidate is accepted with
    // probability above one half.
    BigInt sample(ThreadRng& rng) const;

    const BigInt& base() const noexcept { return base_; }
    const std::vector<std::uint64_t>& span() const noexcept { return span_; }

private:
    UniformBigInt(BigInt base, std::vector<std::uint64_t> span) noexcept;

    BigInt base_;
    std::vector<std::uint64_t> span_;  // high - low: normalised, non-zero
    std::size_t span_words32_;  // 32-bit words per candidate
    std::uint32_t top_mask_;  // the bits kept of the last of them
};

}  // namespace kavell
