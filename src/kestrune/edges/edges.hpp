// Edge points along spread lines, and the two point-list passes that follow.
#pragma once

#include <cstdint>

#include "../types.hpp"

namespace kestrune {

// Reverses the bit order inside each 16-bit half; the halves stay in place,
// so for n < 65536 this is the 16-bit reversal of n.
inline std::uint32_t reverse_bits(std::uint32_t n) {
    n = ((n >> 8) & 0x00FF00FFu) | ((n << 8) & 0xFF00FF00u);
    n = ((n >> 4) & 0x0F0F0F0Fu) | ((n << 4) & 0xF0F0F0F0u);
    n = ((n >> 2) & 0x33333333u) | ((n << 2) & 0xCCCCCCCCu);
    n = ((n >> 1) & 0x55555555u) | ((n << 1) & 0xAAAAAAAAu);
    return n;
}

// The i-th scanned line along an axis of `extent` lines. The product wraps at
// 32 bits on purpose; for i < 65536 the result is always below `extent`.
inline std::uint32_t line_position(std::uint32_t i, std::uint32_t extent) {
    return (reverse_bits(i) * extent) >> 16;
}

// Line counts above this would place lines outside the image.
inline constexpr std::int32_t kMaxLineCount = 65536;

// The kernels the scans run on, one set's: each gives 64 pixels of a line as
// bits (bit j: pixel j is set).
struct ScanKernels {
    // The 64 bytes from p: set when nonzero.
    std::uint64_t (*nonzero64)(const std::uint8_t* p);
    // The colour test on the 64 packed pixels from px.
    std::uint64_t (*colour_block64)(const std::uint8_t* px, const LchBounds& b);
    // The same for the 64 pixels px + j * step, reading with each the four
    // bytes from px + j * step - lead (lead 0 or 1, a byte inside the image).
    // Precondition: 15 * |step| < 2^31.
    std::uint64_t (*colour_column64)(const std::uint8_t* px, std::int64_t step, int lead, const LchBounds& b);
};

// Runs of set (nonzero) pixels on `row_count` spread rows, then `column_count`
// spread columns, stored as (start, end) point pairs into `ps` until it is
// full. Returns the number of points stored; the same whichever set's kernels.
// Preconditions: counts <= kMaxLineCount; rows * cols < 2^31; ps.rows < 2^31.
std::int32_t simple_edge_with(const ScanKernels& kernels, const PlaneView& image, const PointsView& ps,
                              std::int32_t row_count, std::int32_t column_count);

// The same scan with the colour test deciding which pixels are set.
// Extra precondition: image.channels == 3 when the image has pixels.
std::int32_t simple_edge_hsv_with(const ScanKernels& kernels, const ImageView& image, const PointsView& ps,
                                  const LchBounds& bounds, std::int32_t row_count, std::int32_t column_count);

// Joins (start, end) pairs across gaps narrower than `min_distance` and keeps
// segments at least that long, as pairs from output row 0 on; returns the
// number of rows written. The output may be the input itself.
// Preconditions: out.rows >= in.rows; in.rows < 2^31.
std::int32_t simple_denoise(const PointsView& in, const PointsView& out, std::int32_t min_distance);

// Number of the first `in.rows` mask entries that are zero.
// Precondition: ms.size >= in.rows.
std::int64_t count_kept(const PointsView& in, const MaskView& ms);

// Copies the rows whose mask entry is zero, in order; returns how many. The
// output may be the input itself.
// Preconditions: ms.size >= in.rows; out.rows >= count_kept(in, ms); in.rows < 2^31.
std::int32_t remove_inliers(const PointsView& in, const PointsView& out, const MaskView& ms);

}  // namespace kestrune
