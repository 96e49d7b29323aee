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
    walk_rows(image, output, b, op, [&](const std::uint8_t* in, std::uint8_t* out, std::int64_t n) {
        run_scalar(in, 3, out, n, b, op);
    });
}

std::uint32_t run_at(SimdLevel level, const ImageView& image, const PlaneView& output, const LchBounds& bounds,
                     Op op) {
    // One copy of the record on our stack: the loops read only this.
    const LchBounds b = bounds;
    static const SimdLevel cpu = cpu_simd_level();
    if (level > cpu) level = cpu;
    switch (level) {
        case SimdLevel::avx512: image_avx512(image, output, b, op); break;
        case SimdLevel::avx2: image_avx2(image, output, b, op); break;
        case SimdLevel::sse41: image_sse41(image, output, b, op); break;
        case SimdLevel::scalar: image_scalar(image, output, b, op); break;
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
