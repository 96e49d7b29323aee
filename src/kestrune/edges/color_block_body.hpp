// The colour test on 64 pixels of a line at once, as a bit mask, written once
// over an instruction set's vocabulary (S), for the colour edge scan.
// Everything here has internal linkage.
#pragma once

#include <cstdint>

#include "../color/colour_test.hpp"

namespace kestrune {
namespace {

// The 64 packed pixels (192 bytes) from px: bit j is set when pixel j passes.
template <class S, bool words>
std::uint64_t packed_bits(const std::uint8_t* px, const LchBounds& bounds) {
    const ColourTest<S, words> test(bounds);
    constexpr int block = S::lanes * S::groups;
    std::uint64_t bits = 0;
    for (int k = 0; k < 64; k += block) {
        const typename S::Pixels p = S::load_pixels(px + 3 * k);
        for (int g = 0; g < S::groups; ++g) {
            typename S::I32 v2;
            bits |= static_cast<std::uint64_t>(S::bits(test.template group<false>(p, g, v2))) << (k + S::lanes * g);
        }
    }
    return bits;
}

template <class S>
std::uint64_t colour_block64(const std::uint8_t* px, const LchBounds& bounds) {
    return fits_words(bounds) ? packed_bits<S, true>(px, bounds) : packed_bits<S, false>(px, bounds);
}

// The same for the 64 pixels px + j * step (a column); `lead` (0 or 1) names
// the neighbouring byte inside the image that a set may read with each pixel.
// Precondition: 15 * |step| < 2^31.
template <class S>
std::uint64_t colour_column64(const std::uint8_t* px, std::int64_t step, int lead, const LchBounds& bounds) {
    const ColourTest<S, false> test(bounds);
    const typename S::Column column(step, lead);
    std::uint64_t bits = 0;
    for (int k = 0; k < 64; k += S::lanes) {
        typename S::I32 v2;
        const auto ok = test.template inside<false>(S::load_column(column, px + k * step), v2);
        bits |= static_cast<std::uint64_t>(S::bits(ok)) << k;
    }
    return bits;
}

}  // namespace
}  // namespace kestrune
