// Cost of drawing from the thread generator.
//
// Draws a million f64 values in [0, 1) (and, for comparison, raw 64-bit
// words, i32 values and one sampler-set position of eight f64 elements)
// and reports nanoseconds per draw and generator words (32-bit) per draw.
// An f64 draw should cost one 64-bit generator word, two 32-bit words, and
// little beside it.
#include "random/strict_float.hpp"  // first: lets the float samplers inline here

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <type_traits>

#include "random/thread_rng.hpp"
#include "random/uniform.hpp"
#include "random/xvec_sampler.hpp"

namespace {

using kavell::ThreadRng;

constexpr long DRAWS = 1'000'000;
constexpr int REPEATS = 5;

// Keeps results alive without a store per draw.
volatile double double_sink;
volatile std::uint64_t word_sink;

struct Figures {
    double ns_per_draw;
    double words_per_draw;
};

// The fastest of REPEATS runs of `draws` calls of body(rng).
template <class Body>
Figures measure(ThreadRng& rng, long draws, Body&& body) {
    double best = 1e300;
    double words = 0;
    for (int r = 0; r < REPEATS; ++r) {
        const std::uint64_t words_before = rng.words_drawn();
        const auto start = std::chrono::steady_clock::now();
        body(rng, draws);
        const auto stop = std::chrono::steady_clock::now();
        const double ns = std::chrono::duration<double, std::nano>(stop - start).count();
        if (ns < best) {
            best = ns;
        }
        words = static_cast<double>(rng.words_drawn() - words_before) / static_cast<double>(draws);
    }
    return {best / static_cast<double>(draws), words};
}

// DRAWS draws from one element sampler.
template <class Sampler>
Figures measure_sampler(ThreadRng& rng, const Sampler& sampler) {
    return measure(rng, DRAWS, [&](ThreadRng& g, long n) {
        // Integers are summed as integers: a conversion per draw would cost
        // more than the draw itself.
        using Value = decltype(sampler.sample(g));
        using Sum = std::conditional_t<std::is_integral_v<Value>, std::uint64_t, double>;
        Sum acc = 0;
        for (long i = 0; i < n; ++i) {
            acc += static_cast<Sum>(sampler.sample(g));
        }
        double_sink = static_cast<double>(acc);
    });
}

void report(const char* what, Figures f) {
    std::printf("%-34s %7.2f ns/draw  %5.2f words/draw\n", what, f.ns_per_draw, f.words_per_draw);
}

}  // namespace

int main() {
    kavell::ThreadRngHandle rng = ThreadRng::current();

    report("next_u64", measure(*rng, DRAWS, [](ThreadRng& g, long n) {
               std::uint64_t acc = 0;
               for (long i = 0; i < n; ++i) {
                   acc ^= g.next_u64();
               }
               word_sink = acc;
           }));

    report("f64 [0, 1)", measure_sampler(*rng, kavell::UniformFloat<double>::create(0.0, 1.0)));
    report("f64 [1, 1.5) (adjusted width)", measure_sampler(*rng, kavell::UniformFloat<double>::create(1.0, 1.5)));
    report("i32 [-1000, 1000)", measure_sampler(*rng, kavell::UniformInt<std::int32_t>::create(-1000, 1000)));

    // One position of eight f64 elements per draw, as the optimiser draws
    // them: the allocation of the result array is part of the cost.
    kavell::Arrays low_arrays, high_arrays;
    std::get<7>(low_arrays).assign(8, 0.0);
    std::get<7>(high_arrays).assign(8, 1.0);
    const auto positions = kavell::XVecSampler::create(kavell::XVec(std::move(low_arrays)), kavell::XVec(std::move(high_arrays)));
    const Figures per_position = measure(*rng, DRAWS / 8, [&](ThreadRng& g, long n) {
        double acc = 0;
        for (long i = 0; i < n; ++i) {
            acc += positions.sample(g).get<7>()[0];
        }
        double_sink = acc;
    });
    report("XVecSampler, 8 x f64 (per element)", {per_position.ns_per_draw / 8, per_position.words_per_draw / 8});
    return 0;
}
