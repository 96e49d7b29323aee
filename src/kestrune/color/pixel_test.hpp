// The per-pixel colour test, inlined into every pixel loop.
#pragma once

#include <cstdint>

#include "../types.hpp"

namespace kestrune {

// The three rows of M applied to one pixel, in 32-bit arithmetic that wraps
// like the signed products it stands for (done unsigned: no overflow UB).
struct PixelSums {
    std::int32_t v0, v1, v2, tmp;
};

inline PixelSums pixel_sums(const std::uint8_t* px, const LchBounds* b) {
    const std::uint32_t R = px[0], G = px[1], B = px[2];
    const auto* M = b->M;
    const std::uint32_t v0 = static_cast<std::uint32_t>(M[0]) * R + static_cast<std::uint32_t>(M[1]) * G +
                             static_cast<std::uint32_t>(M[2]) * B;
    const std::uint32_t v1 = static_cast<std::uint32_t>(M[3]) * R + static_cast<std::uint32_t>(M[4]) * G +
                             static_cast<std::uint32_t>(M[5]) * B;
    const std::uint32_t v2 = static_cast<std::uint32_t>(M[6]) * R + static_cast<std::uint32_t>(M[7]) * G +
                             static_cast<std::uint32_t>(M[8]) * B;
    return {static_cast<std::int32_t>(v0), static_cast<std::int32_t>(v1), static_cast<std::int32_t>(v2),
            static_cast<std::int32_t>(v0 + v1)};
}

inline bool pixel_inside(const PixelSums& s, const LchBounds* b) {
    // `&` rather than `&&`: no branches, which random-looking pixels would mispredict.
    return (s.v0 > 0) & (s.v1 > 0) & (b->i[0] < s.v2) & (s.v2 < b->i[1]) & (b->c[0] < s.tmp) & (s.tmp < b->c[1]);
}

// 1 when the pixel lies inside the bounds, else 0.
inline int color_mask(const std::uint8_t* px, const LchBounds* b) {
    return pixel_inside(pixel_sums(px, b), b) ? 1 : 0;
}

// The pixel's grey value (v2 >> 8, arithmetic) when inside, else 0; the caller
// keeps the low 8 bits.
inline int color_selective(const std::uint8_t* px, const LchBounds* b) {
    const PixelSums s = pixel_sums(px, b);
    return pixel_inside(s, b) ? (s.v2 >> 8) : 0;
}

}  // namespace kestrune
