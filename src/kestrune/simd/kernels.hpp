// The dispatch table: every kernel that has a version per instruction set.
// Each set's file (kernels_<set>.cpp, the sets listed in sets.txt) fills one
// table from the bodies written once over its vocabulary; the level is chosen
// once per process. Adding a kernel: a field here, its line in table_of
// (kernels_body.hpp), and its body.
#pragma once

#include <cstdint>

#include "../ransac/score.hpp"
#include "../types.hpp"
#include "level.hpp"

namespace kestrune {

struct KernelTable {
    // n packed pixels (3 bytes each) from `in` to n bytes at `out`, which must
    // not overlap them: 1 or 0 by the colour test, or the grey value or 0.
    void (*mask_run)(const std::uint8_t* in, std::uint8_t* out, std::int64_t n, const LchBounds& b);
    void (*grey_run)(const std::uint8_t* in, std::uint8_t* out, std::int64_t n, const LchBounds& b);
    // The colour test on the 64 packed pixels from px as bits (bit j: pixel j).
    std::uint64_t (*colour_block64)(const std::uint8_t* px, const LchBounds& b);
    // The same for the 64 pixels px + j * step, reading with each the four
    // bytes from px + j * step - lead (lead 0 or 1, a byte inside the image).
    // Precondition: 15 * |step| < 2^31.
    std::uint64_t (*colour_column64)(const std::uint8_t* px, std::int64_t step, int lead, const LchBounds& b);
    // Inlier counts over n packed rows of two int32 from `data` (any alignment).
    std::int64_t (*band)(const std::uint8_t* data, std::int64_t n, const Band& b);
    // Points in exactly one of the two bands.
    std::int64_t (*band_xor)(const std::uint8_t* data, std::int64_t n, const Band& b1, const Band& b2);
    std::int64_t (*ring)(const std::uint8_t* data, std::int64_t n, const Ring32& r);
    std::int64_t (*shell)(const std::uint8_t* data, std::int64_t n, const Shell& s);
};

// The table for `level`, lowered to what the CPU has.
const KernelTable& kernel_table(SimdLevel level);

// The table of active_simd_level().
const KernelTable& active_kernels();

// Entry points of the kernels_<set>.cpp files.
const KernelTable& kernel_table_scalar();
const KernelTable& kernel_table_sse41();
const KernelTable& kernel_table_avx2();
const KernelTable& kernel_table_avx512bw();
const KernelTable& kernel_table_avx512();
const KernelTable& kernel_table_neon();

}  // namespace kestrune
