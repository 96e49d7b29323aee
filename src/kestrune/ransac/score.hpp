// What the inlier-counting kernels of the shape fits test, and the kernels a
// fit counts with (one set's; simd/kernels.hpp has a table per set).
#pragma once

#include <cstdint>

namespace kestrune {

// Points with e + k_hi >= 0 and e + k_lo <= 0, where e = c0*x + c1*y; all
// in wrapping 32-bit arithmetic (k_hi, k_lo are c[2] shifted by +-delta).
struct Band {
    std::int32_t c0, c1, k_hi, k_lo;
};

// Points with lo <= (x-cx)^2 + (y-cy)^2 <= hi, 0 <= lo, hi <= INT32_MAX, for
// callers that know |x-cx| and |y-cy| never exceed 32767 (so 32 bits, and
// even 16-bit differences, are exact).
struct Ring32 {
    std::int32_t cx, cy, lo, hi;
};

// Points with conic b1 >= 0 and conic b2 <= 0 (between two ellipses).
struct Shell {
    double b1[6], b2[6];
};

// Inlier counts over n packed rows of two int32 from `data` (any alignment).
struct ScoreKernels {
    std::int64_t (*band)(const std::uint8_t* data, std::int64_t n, const Band& b);
    // Points in exactly one of the two bands.
    std::int64_t (*band_xor)(const std::uint8_t* data, std::int64_t n, const Band& b1, const Band& b2);
    std::int64_t (*ring)(const std::uint8_t* data, std::int64_t n, const Ring32& r);
    std::int64_t (*shell)(const std::uint8_t* data, std::int64_t n, const Shell& s);
};

}  // namespace kestrune
