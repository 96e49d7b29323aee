// The per-pixel colour test: one lane of the colour test every kernel uses.
#pragma once

#include <cstdint>

#include "../simd/ops_scalar.hpp"
#include "../types.hpp"
#include "colour_test.hpp"

namespace kestrune {

// 1 when the pixel lies inside the bounds, else 0.
inline int color_mask(const std::uint8_t* px, const LchBounds* b) {
    Scalar::I32 v2;
    return ColourTest<Scalar, false>(*b).group(Scalar::load_pixels(px), 0, v2) ? 1 : 0;
}

// The pixel's grey value (v2 >> 8, arithmetic) when inside, else 0; the caller
// keeps the low 8 bits.
inline int color_selective(const std::uint8_t* px, const LchBounds* b) {
    Scalar::I32 v2;
    const bool inside = ColourTest<Scalar, false>(*b).group(Scalar::load_pixels(px), 0, v2);
    return inside ? (static_cast<std::int32_t>(v2.v) >> 8) : 0;
}

}  // namespace kestrune
