// The ChaCha block function, as the keystream of the per-thread generator.
//
// State layout: words 0..3 the constant "expand 32-byte k", 4..11 the key
// (little-endian words of the 32 key bytes), 12..13 a 64-bit block counter
// (low word first, so the counter carries from word 12 into word 13), 14..15
// a 64-bit nonce, always 0 here. Each block is the sixteen words of the
// permuted state added to the input state; the keystream is those words in
// order, blocks in counter order. Pure C++, no Python.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kavell {

using ChaChaKey = std::array<std::uint32_t, 8>;

inline constexpr std::size_t CHACHA_BLOCK_WORDS = 16;
inline constexpr int CHACHA_PRODUCTION_ROUNDS = 12;

// The key words of 32 key bytes, read little-endian.
ChaChaKey chacha_key_from_bytes(const std::uint8_t (&bytes)[32]) noexcept;

// Writes `blocks` consecutive keystream blocks, counters `counter`,
// `counter` + 1, ... (wrapping at 2^64), to `out` (16 words per block).
// `rounds` counts single rounds, column and diagonal rounds alternating
// (12 for the generator, 20 for the full-strength cipher).
void chacha_blocks(const ChaChaKey& key, std::uint64_t counter, int rounds, std::uint32_t* out,
                   std::size_t blocks) noexcept;

}  // namespace kavell
