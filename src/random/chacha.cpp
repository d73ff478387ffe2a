#include "random/chacha.hpp"

namespace kavell {
namespace {

// "expand 32-byte k" as four little-endian words.
constexpr std::uint32_t SIGMA[4] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};

// Several blocks are computed side by side, word by word: state word i of
// block l lives in x[i][l]. Every step is then the same operation across a
// short array, which the compiler maps onto vector registers without any
// processor-specific code; the results are those of the plain block
// function, one block per lane.
constexpr std::size_t LANES = 4;

using Lanes = std::uint32_t[LANES];

inline void add(Lanes& a, const Lanes& b) noexcept {
    for (std::size_t l = 0; l < LANES; ++l) {
        a[l] += b[l];
    }
}

inline void xor_rotate(Lanes& a, const Lanes& b, int bits) noexcept {
    for (std::size_t l = 0; l < LANES; ++l) {
        const std::uint32_t v = a[l] ^ b[l];
        a[l] = (v << bits) | (v >> (32 - bits));
    }
}

inline void quarter_round(Lanes (&x)[16], int a, int b, int c, int d) noexcept {
    add(x[a], x[b]);
    xor_rotate(x[d], x[a], 16);
    add(x[c], x[d]);
    xor_rotate(x[b], x[c], 12);
    add(x[a], x[b]);
    xor_rotate(x[d], x[a], 8);
    add(x[c], x[d]);
    xor_rotate(x[b], x[c], 7);
}

inline void column_round(Lanes (&x)[16]) noexcept {
    quarter_round(x, 0, 4, 8, 12);
    quarter_round(x, 1, 5, 9, 13);
    quarter_round(x, 2, 6, 10, 14);
    quarter_round(x, 3, 7, 11, 15);
}

inline void diagonal_round(Lanes (&x)[16]) noexcept {
    quarter_round(x, 0, 5, 10, 15);
    quarter_round(x, 1, 6, 11, 12);
    quarter_round(x, 2, 7, 8, 13);
    quarter_round(x, 3, 4, 9, 14);
}

// Computes LANES blocks from `counter` on and writes the first `blocks` of
// them (1..LANES).
void lane_blocks(const ChaChaKey& key, std::uint64_t counter, int rounds, std::uint32_t* out,
                 std::size_t blocks) noexcept {
    Lanes input[16];
    for (std::size_t l = 0; l < LANES; ++l) {
        const std::uint64_t block_counter = counter + l;
        for (int i = 0; i < 4; ++i) {
            input[i][l] = SIGMA[i];
        }
        for (int i = 0; i < 8; ++i) {
            input[4 + i][l] = key[static_cast<std::size_t>(i)];
        }
        input[12][l] = static_cast<std::uint32_t>(block_counter);
        input[13][l] = static_cast<std::uint32_t>(block_counter >> 32);
        input[14][l] = 0;
        input[15][l] = 0;
    }

    Lanes x[16];
    for (int i = 0; i < 16; ++i) {
        for (std::size_t l = 0; l < LANES; ++l) {
            x[i][l] = input[i][l];
        }
    }
    // Rounds alternate, columns first, then diagonals; an odd count ends
    // with a column round.
    for (int r = 0; r + 1 < rounds; r += 2) {
        column_round(x);
        diagonal_round(x);
    }
    if (rounds % 2 != 0) {
        column_round(x);
    }
    for (int i = 0; i < 16; ++i) {
        add(x[i], input[i]);
    }

    for (std::size_t l = 0; l < blocks; ++l) {
        for (std::size_t i = 0; i < CHACHA_BLOCK_WORDS; ++i) {
            out[l * CHACHA_BLOCK_WORDS + i] = x[i][l];
        }
    }
}

}  // namespace

ChaChaKey chacha_key_from_bytes(const std::uint8_t (&bytes)[32]) noexcept {
    ChaChaKey key{};
    for (std::size_t i = 0; i < key.size(); ++i) {
        key[i] = static_cast<std::uint32_t>(bytes[4 * i]) | static_cast<std::uint32_t>(bytes[4 * i + 1]) << 8 |
                 static_cast<std::uint32_t>(bytes[4 * i + 2]) << 16 |
                 static_cast<std::uint32_t>(bytes[4 * i + 3]) << 24;
    }
    return key;
}

void chacha_blocks(const ChaChaKey& key, std::uint64_t counter, int rounds, std::uint32_t* out,
                   std::size_t blocks) noexcept {
    while (blocks > 0) {
        const std::size_t n = blocks < LANES ? blocks : LANES;
        lane_blocks(key, counter, rounds, out, n);
        counter += n;
        out += n * CHACHA_BLOCK_WORDS;
        blocks -= n;
    }
}

}  // namespace kavell
