// Shared between the masking kernels of each instruction set. The vector files
// do not include pixel_test.hpp: its inline functions, emitted by a file built
// with wider instructions, could be picked by the linker for the portable code.
#pragma once

#include <climits>
#include <cstdint>

#include "../types.hpp"

namespace kestrune::masking {

enum class Op { mask, selective };

// One run of n pixels, col_stride bytes apart, tested with the portable code.
void run_scalar(const std::uint8_t* in, std::int64_t col_stride, std::uint8_t* out, std::int64_t n,
                const LchBounds& b, Op op);

void image_sse41(const ImageView& image, const PlaneView& output, const LchBounds& b, Op op);
void image_avx2(const ImageView& image, const PlaneView& output, const LchBounds& b, Op op);
void image_avx512(const ImageView& image, const PlaneView& output, const LchBounds& b, Op op);

// True when every M entry fits a signed 16-bit word: then sums of 16-bit
// products (multiply-add of words into 32 bits) are exact and cannot wrap.
inline bool fits_words(const LchBounds& b) {
    for (std::int32_t m : b.M)
        if (m < -32768 || m > 32767) return false;
    return true;
}

// A strict range test lo < x < hi as one signed compare, limit > x - bias, in
// wrapping 32-bit arithmetic: x - (lo + 1) taken unsigned must be at most
// (hi - 1) - (lo + 1); flipping the top bit turns that unsigned test signed.
struct OpenRange {
    std::int32_t bias, limit;
};

inline OpenRange open_range(std::int32_t lo, std::int32_t hi) {
    if (static_cast<std::int64_t>(lo) + 1 > static_cast<std::int64_t>(hi) - 1) return {0, INT32_MIN};  // empty
    const std::uint32_t first = static_cast<std::uint32_t>(lo) + 1u;
    const std::uint32_t count = static_cast<std::uint32_t>(hi) - 1u - first + 1u;  // at most 2^32 - 2
    return {static_cast<std::int32_t>(first ^ 0x80000000u), static_cast<std::int32_t>(count ^ 0x80000000u)};
}

namespace {  // internal linkage: each instruction-set file gets its own copy

// Calls run(in, out, n) on packed runs of pixels (the whole image at once when
// image and output rows are back to back), and the portable code on rows whose
// pixels are not 3 bytes apart.
template <class PackedRun>
inline void walk_rows(const ImageView& image, const PlaneView& output, const LchBounds& b, Op op,
                      PackedRun&& run) {
    const std::int64_t rows = image.rows, cols = image.cols;
    if (rows <= 0 || cols <= 0) return;
    if (image.col_stride == 3) {
        if ((rows == 1 || (image.row_stride == 3 * cols && output.row_stride == cols))) {
            run(image.data, output.data, rows * cols);
            return;
        }
        for (std::int64_t y = 0; y < rows; ++y)
            run(image.data + y * image.row_stride, output.data + y * output.row_stride, cols);
        return;
    }
    for (std::int64_t y = 0; y < rows; ++y)
        run_scalar(image.data + y * image.row_stride, image.col_stride, output.data + y * output.row_stride, cols,
                   b, op);
}

// Runs block(in, out) over n pixels in blocks of `lanes`; the last partial block
// is redone as the last full one (same bytes written twice), and runs shorter
// than one block go to the portable code. Never touches bytes past the run.
template <std::int64_t lanes, class Block>
inline void run_blocks(const std::uint8_t* in, std::uint8_t* out, std::int64_t n, const LchBounds& b, Op op,
                       Block&& block) {
    if (n < lanes) {
        run_scalar(in, 3, out, n, b, op);
        return;
    }
    std::int64_t x = 0;
    for (; x + lanes <= n; x += lanes) block(in + 3 * x, out + x);
    if (x < n) block(in + 3 * (n - lanes), out + (n - lanes));
}

}  // namespace
}  // namespace kestrune::masking
