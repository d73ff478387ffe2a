#include "random/strict_float.hpp"  // first: lets the float samplers inline here

#include "random/xvec_sampler.hpp"

#include <algorithm>
#include <string>
#include "support/panic.hpp"
#include "vec/kind_text.hpp"
#include <utility>

namespace kavell {
namespace {

// "while checking the bounds f64_min[0] = 1.0 and f64_max[0] = 0.0"
template <class T>
std::string bound_pair_note(const T& low, const T& high, std::size_t index) {
    const std::string key(kind_key<T>());
    return "while checking the bounds " + element_note(key + "_min", index, low) + " and " +
           element_note(key + "_max", index, high);
}

}  // namespace

XVecSampler XVecSampler::create(XVec lower, XVec upper) {
    XVecSampler set;
    for_each_kind([&](auto kind) {
        constexpr std::size_t K = decltype(kind)::value;
        using T = Element<K>;
        const std::vector<T>& low = lower.get<K>();
        const std::vector<T>& high = upper.get<K>();
        auto& samplers = std::get<K>(set.samplers_);
        const std::size_t n = std::min(low.size(), high.size());
        samplers.reserve(n);
        for (std::size_t j = 0; j < n; ++j) {
            with_panic_note([&] { samplers.push_back(Uniform<T>::create(low[j], high[j])); },
                            [&] { return bound_pair_note(low[j], high[j], j); });
        }
    });
    // The bounds are not needed past this point.
    lower = XVec();
    upper = XVec();
    return set;
}

XVec XVecSampler::sample(ThreadRng& rng) const {
    Arrays arrays;
    for_each_kind([&](auto kind) {
        constexpr std::size_t K = decltype(kind)::value;
        const auto& samplers = std::get<K>(samplers_);
        auto& values = std::get<K>(arrays);
        values.reserve(samplers.size());
        for (const auto& sampler : samplers) {
            values.push_back(sampler.sample(rng));
        }
    });
    return XVec(std::move(arrays));
}

}  // namespace kavell
