// Vector versions of the colour test over one block of packed pixels.
#pragma once

#include <cstdint>

#include "../simd.hpp"
#include "../types.hpp"

namespace kestrune {

// The colour test on 64 packed RGB pixels (the 192 bytes from `px`), as a bit
// mask: bit j is set when pixel j is inside the bounds. Reads nothing else.
using ColorBlock64 = std::uint64_t (*)(const std::uint8_t* px, const LchBounds& bounds);

// The same for 64 pixels at px + j * step (a column), reading the four bytes
// from px + j * step - lead for each: `lead` (0 or 1) says which neighbouring
// byte inside the image may be read along with the pixel.
// Precondition: 7 * |step| < 2^31.
using ColorStridedBlock64 = std::uint64_t (*)(const std::uint8_t* px, std::int64_t step, int lead,
                                              const LchBounds& bounds);

struct ColorBlockKernels {
    ColorBlock64 packed;          // nullptr: the level has none, use plain code
    ColorStridedBlock64 strided;  // likewise
};

// Entry points of the per-instruction-set files (color_block_<set>.cpp).
#if defined(KESTRUNE_SIMD_X86)
std::uint64_t color_block64_avx2(const std::uint8_t* px, const LchBounds& bounds);
std::uint64_t color_strided_block64_avx2(const std::uint8_t* px, std::int64_t step, int lead,
                                         const LchBounds& bounds);
#elif defined(KESTRUNE_SIMD_NEON)
std::uint64_t color_block64_neon(const std::uint8_t* px, const LchBounds& bounds);
std::uint64_t color_strided_block64_neon(const std::uint8_t* px, std::int64_t step, int lead,
                                         const LchBounds& bounds);
#endif

// The versions for `level` (lowered to what the CPU has); AVX-512 uses the
// AVX2 ones, SSE4.1 has none.
ColorBlockKernels color_block_kernels(SimdLevel level);

}  // namespace kestrune
