// XVecSampler: one element sampler per bound pair, for drawing the initial
// positions of a run.
#pragma once

#include <cstddef>
#include <vector>

#include "random/thread_rng.hpp"
#include "random/uniform.hpp"
#include "vec/kinds.hpp"
#include "vec/xvec.hpp"

namespace kavell {

class XVecSampler {
public:
    // Takes over both bound vectors. Per kind, in kind order, builds one
    // sampler for each position below the shorter of the two lengths (the
    // longer sequence's extra elements are ignored), positions in ascending
    // order. The first pair its kind rejects ends construction with that
    // kind's panic; nothing later is examined. Draws nothing.
    static XVecSampler create(XVec lower, XVec upper);

    // A new vector whose kind k holds one draw from each sampler of kind k:
    // kinds in kind order, positions ascending. Each array is allocated once,
    // at its final length.
    XVec sample(ThreadRng& rng) const;

    // Number of samplers of kind K: the length of kind K in every draw.
    template <std::size_t K>
    std::size_t size() const noexcept {
        return std::get<K>(samplers_).size();
    }

private:
    template <class T>
    using Samplers = std::vector<Uniform<T>>;

    XVecSampler() = default;

    PerKind<Samplers>::type samplers_;
};

}  // namespace kavell
