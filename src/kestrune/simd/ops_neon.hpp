// The vocabulary on NEON: four 32-bit lanes, blocks of 16 pixels split into R,
// G and B by one de-interleaving load, in four groups.
#pragma once

#include <arm_neon.h>

#include <cstdint>

namespace kestrune {
namespace {

struct Neon {
    static constexpr int lanes = 4, groups = 4;
    static constexpr bool accumulates = true;  // whether dot_from costs no more than dot
    using I32 = int32x4_t;
    using Mask = uint32x4_t;  // all ones or zero per lane

    static I32 splat(std::int32_t v) { return vdupq_n_s32(v); }
    static I32 add(I32 a, I32 b) { return vaddq_s32(a, b); }
    static I32 sub(I32 a, I32 b) { return vsubq_s32(a, b); }
    static I32 mul(I32 a, I32 b) { return vmulq_s32(a, b); }
    static I32 madd(I32 a, I32 b) {
        const int16x8_t x = vreinterpretq_s16_s32(a), y = vreinterpretq_s16_s32(b);
        return vpaddq_s32(vmull_s16(vget_low_s16(x), vget_low_s16(y)), vmull_high_s16(x, y));
    }
    static I32 min(I32 a, I32 b) { return vminq_s32(a, b); }
    static I32 abs(I32 a) { return vabsq_s32(a); }
    static Mask gt(I32 a, I32 b) { return vcgtq_s32(a, b); }
    static Mask both(Mask a, Mask b) { return vandq_u32(a, b); }
    static Mask either(Mask a, Mask b) { return vorrq_u32(a, b); }
    static Mask differ(Mask a, Mask b) { return veorq_u32(a, b); }
    static Mask and_le(Mask m, I32 a, I32 b) { return vandq_u32(m, vcleq_s32(a, b)); }
    static constexpr bool side_is_inside = false;
    static Mask side(I32 lo, I32 x, I32 hi) { return vorrq_u32(vcgtq_s32(lo, x), vcgtq_s32(x, hi)); }
    static I32 count(I32 acc, Mask m) { return vsubq_s32(acc, vreinterpretq_s32_u32(m)); }
    static std::uint32_t total(I32 acc) { return vaddvq_u32(vreinterpretq_u32_s32(acc)); }
    static std::uint32_t bits(Mask m) {
        const uint32x4_t weight = {1, 2, 4, 8};
        return vaddvq_u32(vandq_u32(m, weight));
    }

    // The three channels of the block widened to words: [channel][half].
    struct Pixels {
        uint16x8_t c[3][2];
    };
    static Pixels load_pixels(const std::uint8_t* p) {
        const uint8x16x3_t rgb = vld3q_u8(p);
        Pixels px;
        for (int ch = 0; ch < 3; ++ch) {
            px.c[ch][0] = vmovl_u8(vget_low_u8(rgb.val[ch]));
            px.c[ch][1] = vmovl_high_u8(rgb.val[ch]);
        }
        return px;
    }
    static uint16x4_t quarter(const Pixels& px, int ch, int g) {
        return g % 2 == 0 ? vget_low_u16(px.c[ch][g / 2]) : vget_high_u16(px.c[ch][g / 2]);
    }

    struct Wide {
        I32 r, g, b;
    };
    static Wide wide(const Pixels& px, int g) {
        return {vreinterpretq_s32_u32(vmovl_u16(quarter(px, 0, g))), vreinterpretq_s32_u32(vmovl_u16(quarter(px, 1, g))),
                vreinterpretq_s32_u32(vmovl_u16(quarter(px, 2, g)))};
    }
    // Words here are the channels themselves: the eight of a half block, of
    // which the group takes the low or the high four (the widening
    // multiply-adds read either in place). Exact since channels are 0..255 and
    // the entries words.
    struct Words {
        int16x8_t r, g, b;
        bool high;
    };
    struct WordRow {
        int16x8_t m0, m1, m2;
    };
    static Words words(const Pixels& px, int g) {
        const int h = g / 2;
        return {vreinterpretq_s16_u16(px.c[0][h]), vreinterpretq_s16_u16(px.c[1][h]), vreinterpretq_s16_u16(px.c[2][h]),
                g % 2 == 1};
    }
    static WordRow word_row(std::int32_t m0, std::int32_t m1, std::int32_t m2) {
        return {vdupq_n_s16(static_cast<std::int16_t>(m0)), vdupq_n_s16(static_cast<std::int16_t>(m1)),
                vdupq_n_s16(static_cast<std::int16_t>(m2))};
    }
    static I32 mul_add(I32 acc, int16x8_t a, int16x8_t m, bool high) {
        return high ? vmlal_high_s16(acc, a, m) : vmlal_s16(acc, vget_low_s16(a), vget_low_s16(m));
    }
    static I32 dot_from(I32 acc, const Words& w, const WordRow& m) {
        return mul_add(mul_add(mul_add(acc, w.r, m.m0, w.high), w.g, m.m1, w.high), w.b, m.m2, w.high);
    }
    static I32 dot(const Words& w, const WordRow& m) {
        const I32 first = w.high ? vmull_high_s16(w.r, m.m0) : vmull_s16(vget_low_s16(w.r), vget_low_s16(m.m0));
        return mul_add(mul_add(first, w.g, m.m1, w.high), w.b, m.m2, w.high);
    }

    // No gather: each pixel's three bytes into its lane.
    struct Column {
        std::int64_t step;
        Column(std::int64_t s, int) : step(s) {}
    };
    static Wide load_column(const Column& c, const std::uint8_t* p) {
        std::int32_t ch[3][4];
        for (int j = 0; j < 4; ++j)
            for (int k = 0; k < 3; ++k) ch[k][j] = p[j * c.step + k];
        return {vld1q_s32(ch[0]), vld1q_s32(ch[1]), vld1q_s32(ch[2])};
    }

    // The low byte of each lane of the four groups, in order.
    static uint8x16_t narrow(const uint32x4_t (&g)[groups]) {
        const uint16x8_t lo = vcombine_u16(vmovn_u32(g[0]), vmovn_u32(g[1]));
        const uint16x8_t hi = vcombine_u16(vmovn_u32(g[2]), vmovn_u32(g[3]));
        return vcombine_u8(vmovn_u16(lo), vmovn_u16(hi));
    }
    static void store_mask(std::uint8_t* o, const Mask (&m)[groups]) {
        vst1q_u8(o, vandq_u8(narrow(m), vdupq_n_u8(1)));  // 0xFF or 0 to 1 or 0
    }
    static void store_grey(std::uint8_t* o, const Mask (&m)[groups], const I32 (&v2)[groups]) {
        uint32x4_t g[groups];
        for (int k = 0; k < groups; ++k) g[k] = vandq_u32(m[k], vshrq_n_u32(vreinterpretq_u32_s32(v2[k]), 8));
        vst1q_u8(o, narrow(g));
    }

    struct XY {
        I32 x, y;
    };
    static XY load_xy(const std::uint8_t* p) {
        const int32x4x2_t xy = vld2q_s32(reinterpret_cast<const std::int32_t*>(p));
        return {xy.val[0], xy.val[1]};
    }
    using Centre = I32;
    static Centre centre(std::int32_t cx, std::int32_t cy) {
        const std::int32_t c[4] = {cx, cy, cx, cy};
        return vld1q_s32(c);
    }
    static I32 offsets(const std::uint8_t* p, const Centre& c) {
        const int32x4_t a = vsubq_s32(vld1q_s32(reinterpret_cast<const std::int32_t*>(p)), c);
        const int32x4_t b = vsubq_s32(vld1q_s32(reinterpret_cast<const std::int32_t*>(p + 16)), c);
        return vreinterpretq_s32_s16(vcombine_s16(vqmovn_s32(a), vqmovn_s32(b)));
    }

    // Each byte's nonzero flag ANDed with its bit weight (1..128 within each
    // 8 bytes), then the eight bytes of each weight group summed pairwise.
    static std::uint64_t nonzero64(const std::uint8_t* p) {
        const uint8x16_t weight = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
        uint8x16_t w[4];
        for (int q = 0; q < 4; ++q) w[q] = vandq_u8(vtstq_u8(vld1q_u8(p + 16 * q), vld1q_u8(p + 16 * q)), weight);
        // Three pairwise adds fold each run of 8 weighted bytes into one byte.
        const uint8x16_t s = vpaddq_u8(vpaddq_u8(w[0], w[1]), vpaddq_u8(w[2], w[3]));
        const uint8x16_t t = vpaddq_u8(s, s);
        return vgetq_lane_u64(vreinterpretq_u64_u8(t), 0);
    }
};

}  // namespace
}  // namespace kestrune
