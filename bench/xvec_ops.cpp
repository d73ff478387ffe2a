// Times XVec::add, XVec::add_assign and XVec::scale per kind.
//
// Each measurement works on fresh clones (cloning is not timed) and reports
// the best of several repetitions as ns/element and as GB/s of element data
// moved: add reads two arrays and writes one, scale reads and writes one.
//
//   bench_xvec_ops [elements]      default 1000000
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string_view>
#include <type_traits>

#include "vec/xvec.hpp"

namespace {

using kavell::XVec;
using Clock = std::chrono::steady_clock;

constexpr int REPETITIONS = 15;

// Keeps results observable so the timed work cannot be dropped.
volatile std::size_t sink = 0;

template <std::size_t K>
XVec filled(std::size_t n, std::uint64_t seed) {
    using T = kavell::Element<K>;
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> real(-1000.0, 1000.0);
    std::vector<T> values;
    values.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double r = real(rng);
        if constexpr (std::is_same_v<T, kavell::Decimal>) {
            values.push_back(*kavell::Decimal::from_double(r));
        } else if constexpr (std::is_same_v<T, kavell::BigInt>) {
            values.push_back(kavell::BigInt::from_i64(static_cast<std::int64_t>(r * 1e15)));
        } else if constexpr (kavell::is_complex_v<T>) {
            using F = decltype(T{}.re);
            values.push_back(T{static_cast<F>(r), static_cast<F>(-r)});
        } else if constexpr (std::is_floating_point_v<T>) {
            values.push_back(static_cast<T>(r));
        } else {
            // Through a wide integer: narrowing an integer wraps, narrowing
            // an out-of-range double would be undefined.
            values.push_back(static_cast<T>(static_cast<std::int64_t>(r * 1e6)));
        }
    }
    XVec v;
    v.get<K>() = std::move(values);
    return v;
}

template <class Body>
double best_seconds(Body&& body) {
    double best = 1e30;
    for (int r = 0; r < REPETITIONS; ++r) {
        best = std::min(best, body());
    }
    return best;
}

template <class Prepare, class Timed>
double time_once(Prepare&& prepare, Timed&& timed) {
    auto operands = prepare();
    const auto start = Clock::now();
    timed(operands);
    const auto stop = Clock::now();
    return std::chrono::duration<double>(stop - start).count();
}

void report(std::string_view kind, std::string_view op, std::size_t n, std::size_t bytes_per_element, double seconds) {
    const double ns = seconds * 1e9 / static_cast<double>(n);
    const double gbps = static_cast<double>(bytes_per_element * n) / seconds / 1e9;
    std::printf("%-5s %-11s %10.3f ns/element %8.2f GB/s\n", kind.data(), op.data(), ns, gbps);
}

template <std::size_t K>
void bench_kind(std::size_t n) {
    using T = kavell::Element<K>;
    const std::string_view key = kavell::KIND_KEYS[K];
    const XVec a = filled<K>(n, 1);
    const XVec b = filled<K>(n, 2);

    struct Pair {
        XVec a, b;
    };
    auto pair = [&] { return Pair{XVec::clone(a), XVec::clone(b)}; };

    const double add = best_seconds([&] {
        return time_once(pair, [&](Pair& p) {
            XVec sum = XVec::add(std::move(p.a), std::move(p.b));
            sink = sink + sum.template get<K>().size();
        });
    });
    report(key, "add", n, 3 * sizeof(T), add);

    const double add_assign = best_seconds([&] {
        return time_once(pair, [&](Pair& p) {
            XVec::add_assign(p.a, std::move(p.b));
            sink = sink + p.a.template get<K>().size();
        });
    });
    report(key, "add_assign", n, 3 * sizeof(T), add_assign);

    const double scale = best_seconds([&] {
        return time_once([&] { return XVec::clone(a); },
                         [&](XVec& v) {
                             XVec::scale(v, 0.729);
                             sink = sink + v.template get<K>().size();
                         });
    });
    report(key, "scale", n, 2 * sizeof(T), scale);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000;
    std::printf("%zu elements, best of %d\n", n, REPETITIONS);
    bench_kind<7>(n);   // f64
    bench_kind<6>(n);   // f32
    bench_kind<0>(n);   // i8
    bench_kind<2>(n);   // i32
    bench_kind<3>(n);   // i64
    bench_kind<4>(n);   // i128
    bench_kind<9>(n);   // c128
    bench_kind<10>(n);  // d
    bench_kind<5>(n);   // i
    return 0;
}
