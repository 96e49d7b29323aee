#include "masking.hpp"

#include "../simd.hpp"
#include "masking_internal.hpp"
#include "pixel_test.hpp"

namespace kestrune {
namespace masking {

void run_scalar(const std::uint8_t* in, std::int64_t col_stride, std::uint8_t* out, std::int64_t n,
                const LchBounds& bounds, Op op) {
    // A local copy: the byte stores below could alias a record reached by reference,
    // which would make the compiler reload it for every pixel.
    const LchBounds b = bounds;
    if (op == Op::mask) {
        for (std::int64_t x = 0; x < n; ++x) out[x] = static_cast<std::uint8_t>(color_mask(in + x * col_stride, &b));
    } else {
        for (std::int64_t x = 0; x < n; ++x)
            out[x] = static_cast<std::uint8_t>(color_selective(in + x * col_stride, &b));
    }
}

namespace {

void image_scalar(const ImageView& image, const PlaneView& output, const LchBounds& b, Op op) {
    // The rows in order, each pixel by pixel: the one result an output that
    // overlaps the image can have.
    for (std::int64_t y = 0; y < image.rows; ++y)
        run_scalar(image.data + y * image.row_stride, image.col_stride, output.data + y * output.row_stride,
                   image.cols, b, op);
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

std::uint32_t run_at(SimdLevel level, const ImageView& image, const PlaneView& output, const LchBounds& bounds,
                     Op op) {
    // One copy of the record on our stack: the loops read only this.
    const LchBounds b = bounds;
    if (image.rows > 0 && image.cols > 0) {
        level = usable_simd_level(level);
        if (level != SimdLevel::scalar && output_overlaps_image(image, output)) level = SimdLevel::scalar;
        switch (level) {
#if defined(KESTRUNE_SIMD_X86)
            case SimdLevel::avx512: image_avx512(image, output, b, op); break;
            case SimdLevel::avx2: image_avx2(image, output, b, op); break;
            case SimdLevel::sse41: image_sse41(image, output, b, op); break;
#elif defined(KESTRUNE_SIMD_NEON)
            case SimdLevel::neon: image_neon(image, output, b, op); break;
#endif
            default: image_scalar(image, output, b, op); break;
        }
    }
    const std::uint64_t rows = image.rows > 0 ? static_cast<std::uint64_t>(image.rows) : 0;
    const std::uint64_t cols = image.cols > 0 ? static_cast<std::uint64_t>(image.cols) : 0;
    return static_cast<std::uint32_t>(rows * cols);
}

}  // namespace
}  // namespace masking

std::uint32_t mask_image_at(SimdLevel level, const ImageView& image, const PlaneView& output,
                            const LchBounds& bounds) {
    return masking::run_at(level, image, output, bounds, masking::Op::mask);
}

std::uint32_t selective_grayscale_at(SimdLevel level, const ImageView& image, const PlaneView& output,
                                     const LchBounds& bounds) {
    return masking::run_at(level, image, output, bounds, masking::Op::selective);
}

std::uint32_t mask_image(const ImageView& image, const PlaneView& output, const LchBounds& bounds) {
    return mask_image_at(active_simd_level(), image, output, bounds);
}

std::uint32_t selective_grayscale(const ImageView& image, const PlaneView& output, const LchBounds& bounds) {
    return selective_grayscale_at(active_simd_level(), image, output, bounds);
}

}  // namespace kestrune
