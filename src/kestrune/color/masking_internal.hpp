// Shared between masking.cpp and the per-instruction-set masking files:
// declarations only, so no file built with wider instructions can emit a copy
// of a shared inline function that the linker might pick for another path.
#pragma once

#include <cstdint>

#include "../simd.hpp"
#include "../types.hpp"

namespace kestrune::masking {

enum class Op { mask, selective };

// One run of n pixels, col_stride bytes apart, tested with the portable code.
void run_scalar(const std::uint8_t* in, std::int64_t col_stride, std::uint8_t* out, std::int64_t n,
                const LchBounds& b, Op op);

// Entry points of the per-instruction-set files (masking_<set>.cpp). They
// assume an output that shares no byte with the image.
#if defined(KESTRUNE_SIMD_X86)
void image_sse41(const ImageView& image, const PlaneView& output, const LchBounds& b, Op op);
void image_avx2(const ImageView& image, const PlaneView& output, const LchBounds& b, Op op);
void image_avx512(const ImageView& image, const PlaneView& output, const LchBounds& b, Op op);
#elif defined(KESTRUNE_SIMD_NEON)
void image_neon(const ImageView& image, const PlaneView& output, const LchBounds& b, Op op);
#endif

}  // namespace kestrune::masking
