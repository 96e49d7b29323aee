#include "masking.hpp"

#include "../simd/ops_scalar.hpp"
#include "colour_test.hpp"

namespace kestrune {
namespace {

enum class Op { mask, grey };

// One row of n pixels, col_stride bytes apart, pixel by pixel in order: the
// one result an output that overlaps the image can have.
void run_in_order(const std::uint8_t* in, std::int64_t col_stride, std::uint8_t* out, std::int64_t n,
                  const ColourTest<Scalar, false>& test, Op op) {
    for (std::int64_t x = 0; x < n; ++x) {
        const Scalar::Pixels px = Scalar::load_pixels(in + x * col_stride);
        Scalar::I32 v2;
        const bool inside = test.group(px, 0, v2);
        out[x] = op == Op::mask ? (inside ? 1 : 0) : (inside ? static_cast<std::uint8_t>(v2.v >> 8) : 0);
    }
}

// Addresses lo up to (not including) hi.
struct Span {
    std::uintptr_t lo, hi;
};

// The span of `count` copies of s, `stride` bytes apart (count >= 1).
Span widen(Span s, std::int64_t count, std::int64_t stride) {
    const auto reach = static_cast<std::uintptr_t>((count - 1) * stride);
    return stride < 0 ? Span{s.lo + reach, s.hi} : Span{s.lo, s.hi + reach};
}

// Whether any output byte is also an image byte the kernel reads. The vector
// paths read whole blocks before they store and redo the last partial block,
// so over such an output they would differ from the in-order loop (and from
// one another).
bool output_overlaps_image(const ImageView& image, const PlaneView& output) {
    const auto in = reinterpret_cast<std::uintptr_t>(image.data);
    const auto out = reinterpret_cast<std::uintptr_t>(output.data);
    const Span read = widen(widen({in, in + 3}, image.rows, image.row_stride), image.cols, image.col_stride);
    const Span written = widen({out, out + static_cast<std::uintptr_t>(image.cols)}, image.rows, output.row_stride);
    return read.lo < written.hi && written.lo < read.hi;
}

std::uint32_t run_with(const MaskingKernels& kernels, const ImageView& image, const PlaneView& output, const LchBounds& bounds,
                     Op op) {
    // One copy of the record on our stack: the loops read only this.
    const LchBounds b = bounds;
    const std::int64_t rows = image.rows, cols = image.cols;
    if (rows > 0 && cols > 0) {
        if (image.col_stride != 3 || output_overlaps_image(image, output)) {
            const ColourTest<Scalar, false> test(b);
            for (std::int64_t y = 0; y < rows; ++y)
                run_in_order(image.data + y * image.row_stride, image.col_stride, output.data + y * output.row_stride,
                             cols, test, op);
        } else {
            const auto run = op == Op::mask ? kernels.mask_run : kernels.grey_run;
            // Rows back to back are one run.
            if (rows == 1 || (image.row_stride == 3 * cols && output.row_stride == cols))
                run(image.data, output.data, rows * cols, b);
            else
                for (std::int64_t y = 0; y < rows; ++y)
                    run(image.data + y * image.row_stride, output.data + y * output.row_stride, cols, b);
        }
    }
    const std::uint64_t n_rows = rows > 0 ? static_cast<std::uint64_t>(rows) : 0;
    const std::uint64_t n_cols = cols > 0 ? static_cast<std::uint64_t>(cols) : 0;
    return static_cast<std::uint32_t>(n_rows * n_cols);
}

}  // namespace

std::uint32_t mask_image_with(const MaskingKernels& kernels, const ImageView& image, const PlaneView& output,
                              const LchBounds& bounds) {
    return run_with(kernels, image, output, bounds, Op::mask);
}

std::uint32_t selective_grayscale_with(const MaskingKernels& kernels, const ImageView& image,
                                       const PlaneView& output, const LchBounds& bounds) {
    return run_with(kernels, image, output, bounds, Op::grey);
}

}  // namespace kestrune
