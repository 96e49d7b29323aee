// Whole-image colour masking and selective grayscale at the process's
// instruction set, or at a given one.
#pragma once

#include <cstdint>

#include "../color/masking.hpp"
#include "../simd/level.hpp"
#include "../types.hpp"

namespace kestrune {

// Both kernels write output (y, x) from pixel (y, x) for the image's rows x cols
// pixels, walking rows with their strides, and return rows * cols modulo 2^32.
// The caller guarantees 3 channels and an output of at least rows x cols.
// An output that shares bytes with the image gets the in-order result (pixel
// (y, x) tested after the outputs of all earlier pixels were stored), at every
// level.

// 1 where the pixel passes the colour test, else 0.
std::uint32_t mask_image(const ImageView& image, const PlaneView& output, const LchBounds& bounds);
// The pixel's grey value (bits 8..15 of the intensity sum) where it passes, else 0.
std::uint32_t selective_grayscale(const ImageView& image, const PlaneView& output, const LchBounds& bounds);

// The same at a given instruction set, lowered to what the CPU supports
// (for tests and benchmarks; the plain forms use active_simd_level()).
std::uint32_t mask_image_at(SimdLevel level, const ImageView& image, const PlaneView& output,
                            const LchBounds& bounds);
std::uint32_t selective_grayscale_at(SimdLevel level, const ImageView& image, const PlaneView& output,
                                     const LchBounds& bounds);

}  // namespace kestrune
