// The index sampler every shape fit draws its samples from.
#pragma once

#include <cstdint>

namespace kestrune {

// A 32-bit linear congruential sequence seeded with one rand() value per fit.
// Sample indices are state % n; a candidate already in the sample is thrown
// away, but the state advances after every draw, taken or not, so a given seed
// always yields the same samples.
struct IndexSampler {
    std::uint32_t state;
    std::uint32_t n;  // number of rows; the caller guarantees n >= K

    static constexpr std::uint32_t step(std::uint32_t s) { return s * 1664525u + 1013904223u; }

    // Fills idx[0..K-1] with K distinct row indices in the order taken.
    template <int K>
    void draw(std::int64_t (&idx)[K]) {
        int taken = 0;
        while (taken < K) {
            const std::uint32_t candidate = state % n;
            bool seen = false;
            for (int j = 0; j < taken; ++j) seen |= idx[j] == candidate;
            if (!seen) idx[taken++] = candidate;
            state = step(state);
        }
    }
};

}  // namespace kestrune
