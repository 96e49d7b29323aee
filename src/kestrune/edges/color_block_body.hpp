// The colour test on blocks of 64 pixels, compiled once per instruction set by
// color_block_<set>.cpp, in the same wrapping 32-bit arithmetic and strict
// comparisons as the per-pixel test. Everything here has internal linkage;
// nothing inline from the shared headers is used, since a copy built with wider
// instructions could be linked in for every caller.
//
// A set supplies (all static, all inline):
//   lanes                      pixels per step (a divisor of 64)
//   V, splat, add, mul, gt, both   32-bit lanes: wrapping add and multiply,
//                              signed a > b as all ones, and of two such masks
//   bits(mask)                 lane j's mask as bit j
//   load_packed(p)             R, G, B of the `lanes` pixels from p (3 * lanes bytes)
//   Column(step, lead), load_column(column, p)   the same for pixels p + j * step
#pragma once

#include <cstdint>

#include "color_block.hpp"

namespace {

template <class Set>
struct ColorTest {
    using V = typename Set::V;
    V m[9];
    V i_low, i_high, c_low, c_high;

    explicit ColorTest(const kestrune::LchBounds& b) {
        for (int k = 0; k < 9; ++k) m[k] = Set::splat(b.M[k]);
        i_low = Set::splat(b.i[0]);
        i_high = Set::splat(b.i[1]);
        c_low = Set::splat(b.c[0]);
        c_high = Set::splat(b.c[1]);
    }

    // Lanes of channel values in, one bit per lane out.
    std::uint32_t inside(V r, V g, V b) const {
        const auto row = [&](int k) {
            return Set::add(Set::add(Set::mul(m[k], r), Set::mul(m[k + 1], g)), Set::mul(m[k + 2], b));
        };
        const V v0 = row(0), v1 = row(3), v2 = row(6);
        const V tmp = Set::add(v0, v1);
        const V zero = Set::splat(0);
        auto in = Set::both(Set::gt(v0, zero), Set::gt(v1, zero));
        in = Set::both(in, Set::gt(v2, i_low));
        in = Set::both(in, Set::gt(i_high, v2));
        in = Set::both(in, Set::gt(tmp, c_low));
        in = Set::both(in, Set::gt(c_high, tmp));
        return Set::bits(in);
    }
};

template <class Set>
std::uint64_t packed_block64(const std::uint8_t* px, const kestrune::LchBounds& bounds) {
    const ColorTest<Set> test(bounds);
    std::uint64_t bits = 0;
    for (int g = 0; g < 64 / Set::lanes; ++g) {
        const auto ch = Set::load_packed(px + 3 * Set::lanes * g);
        bits |= static_cast<std::uint64_t>(test.inside(ch.r, ch.g, ch.b)) << (Set::lanes * g);
    }
    return bits;
}

template <class Set>
std::uint64_t strided_block64(const std::uint8_t* px, std::int64_t step, int lead,
                              const kestrune::LchBounds& bounds) {
    const ColorTest<Set> test(bounds);
    const typename Set::Column column(step, lead);
    std::uint64_t bits = 0;
    for (int g = 0; g < 64 / Set::lanes; ++g) {
        const auto ch = Set::load_column(column, px + Set::lanes * g * step);
        bits |= static_cast<std::uint64_t>(test.inside(ch.r, ch.g, ch.b)) << (Set::lanes * g);
    }
    return bits;
}

}  // namespace
