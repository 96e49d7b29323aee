#include "masking.hpp"

#include "../simd/kernels.hpp"

namespace kestrune {

std::uint32_t mask_image_at(SimdLevel level, const ImageView& image, const PlaneView& output,
                            const LchBounds& bounds) {
    return mask_image_with(kernel_table(level).masking, image, output, bounds);
}

std::uint32_t selective_grayscale_at(SimdLevel level, const ImageView& image, const PlaneView& output,
                                     const LchBounds& bounds) {
    return selective_grayscale_with(kernel_table(level).masking, image, output, bounds);
}

std::uint32_t mask_image(const ImageView& image, const PlaneView& output, const LchBounds& bounds) {
    return mask_image_with(active_kernels().masking, image, output, bounds);
}

std::uint32_t selective_grayscale(const ImageView& image, const PlaneView& output, const LchBounds& bounds) {
    return selective_grayscale_with(active_kernels().masking, image, output, bounds);
}

}  // namespace kestrune
