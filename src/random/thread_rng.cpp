#include "random/thread_rng.hpp"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <sys/random.h>
#include <unistd.h>
#include <utility>

#include "support/panic.hpp"

namespace kavell {
namespace {

// Only for kernels that predate getrandom(2) (or sandboxes that hide it):
// the device gives the same pool's output. Failing outright there would
// leave the module unusable for no gain in safety.
int urandom_entropy(std::uint8_t* bytes, std::size_t length) noexcept {
    int fd;
    do {
        fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return errno;
    }
    int status = 0;
    while (length > 0) {
        const ssize_t n = ::read(fd, bytes, length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            status = n < 0 ? errno : EIO;
            break;
        }
        bytes += n;
        length -= static_cast<std::size_t>(n);
    }
    ::close(fd);
    return status;
}

// The thread's slot. The state and the pointer are trivially destructible
// thread-locals, which stay readable throughout thread exit; the reference
// itself lives in a SlotOwner, whose destructor is registered with the
// thread's exit routines when the generator is created.
enum class SlotState : unsigned char { Unregistered, Alive, Destroyed };
thread_local SlotState slot_state = SlotState::Unregistered;
thread_local ThreadRng* slot_rng = nullptr;

struct SlotOwner {
    ThreadRngHandle reference;
    ~SlotOwner() {
        // Marked first: the release below may be what another exit routine
        // runs into afterwards.
        slot_state = SlotState::Destroyed;
        slot_rng = nullptr;
    }
};

// Forks of this process, counted in the child. The counting starts with the
// first generator, which is before any generator can be copied by a fork.
std::atomic<std::uint64_t> fork_count{0};

void count_fork_in_child() noexcept { fork_count.fetch_add(1, std::memory_order_relaxed); }

std::uint64_t start_counting_forks() noexcept {
    static const bool watching = pthread_atfork(nullptr, nullptr, count_fork_in_child) == 0;
    (void)watching;
    return fork_count.load(std::memory_order_relaxed);
}

}  // namespace

int os_entropy(std::uint8_t* bytes, std::size_t length) noexcept {
    while (length > 0) {
        const ssize_t n = ::getrandom(bytes, length, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == ENOSYS) {
                return urandom_entropy(bytes, length);
            }
            return errno;
        }
        // Requests above 256 bytes may come back short; ours are 32.
        bytes += n;
        length -= static_cast<std::size_t>(n);
    }
    return 0;
}

ThreadRng::ThreadRng(const Seed& seed, EntropySource reseed_source)
    : reseed_source_(std::move(reseed_source)), forks_seen_(start_counting_forks()) {
    rekey(seed);
}

void ThreadRng::rekey(const Seed& seed) noexcept {
    std::uint8_t bytes[SEED_BYTES];
    for (std::size_t i = 0; i < SEED_BYTES; ++i) {
        bytes[i] = seed[i];
    }
    key_ = chacha_key_from_bytes(bytes);
    counter_ = 0;
    budget_ = RESEED_BUDGET;
}

void ThreadRng::reseed_if_forked() noexcept {
    const std::uint64_t forks = fork_count.load(std::memory_order_relaxed);
    if (forks == forks_seen_) [[likely]] {
        return;
    }
    forks_seen_ = forks;
    // The parent may hand out the buffered words too: they are dropped, and
    // never counted as drawn.
    words_generated_ -= BUFFER_WORDS - index_;
    index_ = BUFFER_WORDS;
    Seed seed;
    if (reseed_source_ && reseed_source_(seed.data(), seed.size()) == 0) {
        rekey(seed);
    }
}

void ThreadRng::refill() noexcept {
    reseed_if_forked();
    if (budget_ == 0) {
        Seed seed;
        if (reseed_source_ && reseed_source_(seed.data(), seed.size()) == 0) {
            rekey(seed);
        } else {
            // A failed reseed is not worth ending a run for: the old key is
            // still unpredictable to anyone who has not broken ChaCha.
            budget_ = RESEED_BUDGET;
        }
    }
    chacha_blocks(key_, counter_, CHACHA_PRODUCTION_ROUNDS, buffer_, BUFFER_BLOCKS);
    counter_ += BUFFER_BLOCKS;
    budget_ -= BUFFER_WORDS * 4;
    words_generated_ += BUFFER_WORDS;
    index_ = 0;
}

void ThreadRng::fill_bytes(std::uint8_t* bytes, std::size_t length) noexcept {
    while (length > 0) {
        const std::uint32_t word = next_u32();
        const std::size_t n = length < 4 ? length : 4;
        for (std::size_t i = 0; i < n; ++i) {
            bytes[i] = static_cast<std::uint8_t>(word >> (8 * i));
        }
        bytes += n;
        length -= n;
    }
}

ThreadRngHandle ThreadRng::current() { return current_from(os_entropy); }

ThreadRngHandle ThreadRng::current_from(const EntropySource& source) {
    if (slot_state == SlotState::Alive) {
        slot_rng->reseed_if_forked();
        return ThreadRngHandle(slot_rng);
    }
    if (slot_state == SlotState::Destroyed) {
        panic("cannot access a Thread Local Storage value during or after destruction");
    }
    Seed seed;
    if (const int code = source(seed.data(), seed.size()); code != 0) {
        panic("could not initialize thread_rng: OS Error: " + std::to_string(code));
    }
    ThreadRngHandle created(new ThreadRng(seed, source));
    ThreadRng* const rng = created.rng_;
    // The first pass here on this thread is the only one that gets this
    // far, so this initialisation runs now and registers the release.
    thread_local SlotOwner owner{std::move(created)};
    slot_rng = rng;
    slot_state = SlotState::Alive;
    return ThreadRngHandle(rng);
}

void ThreadRngHandle::release(ThreadRng* rng) noexcept {
    if (rng != nullptr && --rng->references_ == 0) {
        delete rng;
    }
}

}  // namespace kavell
