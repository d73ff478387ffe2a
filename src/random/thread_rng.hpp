// ThreadRng: the random generator of one thread.
//
// ChaCha with 12 rounds, keyed from the operating system's entropy source,
// nonce 0, block counter from 0; its output is the keystream read as
// little-endian 32-bit words. After 65536 output bytes on one key it takes
// 32 fresh entropy bytes and rekeys (counter back to 0); if that read fails
// it carries on with the old key and counter and a fresh budget, silently.
//
// Each thread that asks for one gets its own generator, created on the first
// ThreadRng::current() and released when the thread exits. current() hands
// out a ThreadRngHandle, one more reference that the caller drops when done.
// Handles never leave their thread, so the count is a plain integer.
//
// A fork() copies the forking thread's generator into the child, key,
// counter and buffered words alike. The first use in the child after a fork
// (a handle taken, or a refill) drops the buffered words and rekeys from the
// generator's own source, so parent and child never hand out the same
// stream; if that read fails the child carries on, as after any failed
// reseed.
//
// For tests and benchmarks a generator can also be built from a given key
// and entropy source; nothing of that is reachable from the Python module.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "random/chacha.hpp"

namespace kavell {

// Fills `length` bytes with unpredictable data. Returns 0 on success, or a
// non-zero platform error code (the bytes are then unspecified). Must not
// throw.
using EntropySource = std::function<int(std::uint8_t* bytes, std::size_t length)>;

// The operating system's service: getrandom(2), retried when interrupted; on
// a kernel without that call, /dev/urandom. Returns the errno value on
// failure.
int os_entropy(std::uint8_t* bytes, std::size_t length) noexcept;

class ThreadRngHandle;

class ThreadRng {
public:
    static constexpr std::size_t SEED_BYTES = 32;
    static constexpr std::size_t RESEED_BUDGET = 65536;  // output bytes per key
    using Seed = std::array<std::uint8_t, SEED_BYTES>;

    // A generator keyed with `seed` (block counter 0, full budget) that
    // takes its reseeds from `reseed_source`.
    ThreadRng(const Seed& seed, EntropySource reseed_source);
    ThreadRng(const ThreadRng&) = delete;
    ThreadRng& operator=(const ThreadRng&) = delete;

    // This thread's generator, created from the operating system's entropy
    // source if the thread has none yet. A failed creation panics with
    // "could not initialize thread_rng: OS Error: <code>" and leaves the
    // thread without a generator, so the next call tries again. After the
    // thread's generator has been released at thread exit (reachable only
    // from another thread-exit routine) it panics with "cannot access a
    // Thread Local Storage value during or after destruction".
    static ThreadRngHandle current();
    // As current(), but a generator created by this call is seeded from, and
    // later reseeds from, `source`. An existing generator is returned as it
    // is. For tests of creation and thread exit.
    static ThreadRngHandle current_from(const EntropySource& source);

    std::uint32_t next_u32() noexcept {
        if (index_ == BUFFER_WORDS) {
            refill();
        }
        return buffer_[index_++];
    }
    // Two consecutive words, the first the low half.
    std::uint64_t next_u64() noexcept {
        if (index_ + 2 <= BUFFER_WORDS) {
            const std::uint64_t low = buffer_[index_];
            const std::uint64_t high = buffer_[index_ + 1];
            index_ += 2;
            return high << 32 | low;
        }
        const std::uint64_t low = next_u32();
        return static_cast<std::uint64_t>(next_u32()) << 32 | low;
    }
    // Output words written out as little-endian bytes, in order. A length
    // that is not a multiple of four takes a whole word for the last bytes
    // and drops the rest of it.
    void fill_bytes(std::uint8_t* bytes, std::size_t length) noexcept;

    // Words handed out so far, over all keys. For tests and benchmarks; it
    // costs nothing on the drawing path.
    std::uint64_t words_drawn() const noexcept { return words_generated_ - (BUFFER_WORDS - index_); }

private:
    friend class ThreadRngHandle;

    // Several blocks per refill let the block function work on them side by
    // side; the reseed budget stays a whole number of refills, so the reseed
    // falls exactly on the 65536th byte.
    static constexpr std::size_t BUFFER_BLOCKS = 4;
    static constexpr std::size_t BUFFER_WORDS = BUFFER_BLOCKS * CHACHA_BLOCK_WORDS;
    static_assert(RESEED_BUDGET % (BUFFER_WORDS * 4) == 0);

    void refill() noexcept;
    void rekey(const Seed& seed) noexcept;
    // Rekeys from the source (and drops the buffered words) when the process
    // has forked since this generator last took a key.
    void reseed_if_forked() noexcept;

    std::uint32_t buffer_[BUFFER_WORDS];
    std::size_t index_ = BUFFER_WORDS;  // next unread word; BUFFER_WORDS when used up
    ChaChaKey key_{};
    std::uint64_t counter_ = 0;  // block counter of the next refill
    std::size_t budget_ = RESEED_BUDGET;  // bytes still to produce on this key
    std::uint64_t words_generated_ = 0;
    EntropySource reseed_source_;
    std::uint64_t forks_seen_;  // the process's fork count at the last key
    std::size_t references_ = 0;  // the thread slot's and the handles'
};

// One reference to a thread's generator; dropping it releases the reference.
// Move-only, and only ever used on the thread that obtained it.
class ThreadRngHandle {
public:
    ThreadRngHandle() noexcept = default;
    ThreadRngHandle(ThreadRngHandle&& other) noexcept : rng_(other.rng_) { other.rng_ = nullptr; }
    ThreadRngHandle& operator=(ThreadRngHandle&& other) noexcept {
        if (this != &other) {
            release(rng_);
            rng_ = other.rng_;
            other.rng_ = nullptr;
        }
        return *this;
    }
    ThreadRngHandle(const ThreadRngHandle&) = delete;
    ThreadRngHandle& operator=(const ThreadRngHandle&) = delete;
    ~ThreadRngHandle() { release(rng_); }

    ThreadRng& operator*() const noexcept { return *rng_; }
    ThreadRng* operator->() const noexcept { return rng_; }
    explicit operator bool() const noexcept { return rng_ != nullptr; }

private:
    friend class ThreadRng;
    // Adds a reference to `rng`.
    explicit ThreadRngHandle(ThreadRng* rng) noexcept : rng_(rng) { ++rng_->references_; }
    // Drops one reference to `rng` (if any) and deletes it with the last.
    static void release(ThreadRng* rng) noexcept;

    ThreadRng* rng_ = nullptr;
};

}  // namespace kavell
