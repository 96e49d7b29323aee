// NEON operations for the colour test on blocks: eight pixels per step, as two
// registers of four 32-bit lanes.
#include <arm_neon.h>

#include "color_block_body.hpp"

namespace kestrune {

namespace {

struct Neon {
    static constexpr int lanes = 8;
    struct V {
        int32x4_t lo, hi;  // pixels 0-3, 4-7
    };
    static V splat(std::int32_t v) { return {vdupq_n_s32(v), vdupq_n_s32(v)}; }
    static V add(V a, V b) { return {vaddq_s32(a.lo, b.lo), vaddq_s32(a.hi, b.hi)}; }
    static V mul(V a, V b) { return {vmulq_s32(a.lo, b.lo), vmulq_s32(a.hi, b.hi)}; }
    static V gt(V a, V b) {
        return {vreinterpretq_s32_u32(vcgtq_s32(a.lo, b.lo)), vreinterpretq_s32_u32(vcgtq_s32(a.hi, b.hi))};
    }
    static V both(V a, V b) { return {vandq_s32(a.lo, b.lo), vandq_s32(a.hi, b.hi)}; }
    static std::uint32_t bits(V mask) {
        const uint16x8_t lanes16 = vcombine_u16(vmovn_u32(vreinterpretq_u32_s32(mask.lo)),
                                                vmovn_u32(vreinterpretq_u32_s32(mask.hi)));
        const uint16x8_t weight = {1, 2, 4, 8, 16, 32, 64, 128};
        return vaddvq_u16(vandq_u16(lanes16, weight));
    }

    struct Channels {
        V r, g, b;
    };
    static V widen(uint8x8_t bytes) {
        const uint16x8_t words = vmovl_u8(bytes);
        return {vreinterpretq_s32_u32(vmovl_u16(vget_low_u16(words))), vreinterpretq_s32_u32(vmovl_high_u16(words))};
    }
    static Channels load_packed(const std::uint8_t* q) {
        const uint8x8x3_t rgb = vld3_u8(q);  // exactly the 24 bytes of the eight pixels
        return {widen(rgb.val[0]), widen(rgb.val[1]), widen(rgb.val[2])};
    }

    // No gather: each pixel's three bytes into lane j. The neighbouring byte
    // that the x86 gather reads along is not needed here.
    struct Column {
        std::int64_t step;
        Column(std::int64_t s, int) : step(s) {}
    };
    static Channels load_column(const Column& column, const std::uint8_t* p) {
        uint8x8x3_t rgb = {{vdup_n_u8(0), vdup_n_u8(0), vdup_n_u8(0)}};
        rgb = vld3_lane_u8(p, rgb, 0);
        rgb = vld3_lane_u8(p + column.step, rgb, 1);
        rgb = vld3_lane_u8(p + 2 * column.step, rgb, 2);
        rgb = vld3_lane_u8(p + 3 * column.step, rgb, 3);
        rgb = vld3_lane_u8(p + 4 * column.step, rgb, 4);
        rgb = vld3_lane_u8(p + 5 * column.step, rgb, 5);
        rgb = vld3_lane_u8(p + 6 * column.step, rgb, 6);
        rgb = vld3_lane_u8(p + 7 * column.step, rgb, 7);
        return {widen(rgb.val[0]), widen(rgb.val[1]), widen(rgb.val[2])};
    }
};

}  // namespace

std::uint64_t color_block64_neon(const std::uint8_t* px, const LchBounds& bounds) {
    return packed_block64<Neon>(px, bounds);
}

std::uint64_t color_strided_block64_neon(const std::uint8_t* px, std::int64_t step, int lead,
                                         const LchBounds& bounds) {
    return strided_block64<Neon>(px, step, lead, bounds);
}

}  // namespace kestrune
