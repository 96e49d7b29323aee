// Whole-image colour masking and selective grayscale over a set's packed-run
// kernels; the entry points that pick the set are in dispatch/masking.hpp.
#pragma once

#include <cstdint>

#include "../types.hpp"

namespace kestrune {

// n packed pixels (3 bytes each) from `in` to n bytes at `out`, which must
// not overlap them.
using PackedRun = void (*)(const std::uint8_t* in, std::uint8_t* out, std::int64_t n, const LchBounds& b);

struct MaskingKernels {
    PackedRun mask_run;  // 1 or 0 by the colour test
    PackedRun grey_run;  // the grey value or 0
};

// Both write output (y, x) from pixel (y, x) for the image's rows x cols
// pixels, walking rows with their strides, and return rows * cols modulo 2^32.
// The caller guarantees 3 channels and an output of at least rows x cols.
// Packed rows go to the kernels; other strides, and an output that shares
// bytes with the image, get the in-order result (pixel (y, x) tested after the
// outputs of all earlier pixels were stored) without them.
std::uint32_t mask_image_with(const MaskingKernels& kernels, const ImageView& image, const PlaneView& output,
                              const LchBounds& bounds);
std::uint32_t selective_grayscale_with(const MaskingKernels& kernels, const ImageView& image,
                                       const PlaneView& output, const LchBounds& bounds);

}  // namespace kestrune
