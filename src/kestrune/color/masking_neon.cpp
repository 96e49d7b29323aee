// NEON masking: 16 pixels per block, split into R, G, B by one de-interleaving
// load, four groups of 4 pixels in 32-bit lanes.
#include <arm_neon.h>

#include "masking_body.hpp"

namespace kestrune::masking {
namespace {

struct Neon {
    static constexpr int lanes = 16, groups = 4;
    using Lanes = uint32x4_t;

    struct Consts {
        int16x4_t w[9];  // the entries as words, for the exact 16-bit path
        uint32x4_t m[9];  // and in 32-bit lanes, for the wrapping path
        int32x4_t i_bias, i_limit, c_bias, c_limit;

        explicit Consts(const LchBounds& b) {
            for (int j = 0; j < 9; ++j) {
                w[j] = vdup_n_s16(static_cast<std::int16_t>(b.M[j]));  // used only when fits_words
                m[j] = vdupq_n_u32(static_cast<std::uint32_t>(b.M[j]));
            }
            const OpenRange i = open_range(b.i[0], b.i[1]), c = open_range(b.c[0], b.c[1]);
            i_bias = vdupq_n_s32(i.bias);
            i_limit = vdupq_n_s32(i.limit);
            c_bias = vdupq_n_s32(c.bias);
            c_limit = vdupq_n_s32(c.limit);
        }
    };

    // The three channels of the block widened to words: [channel][half].
    struct Pixels {
        uint16x8_t c[3][2];
    };
    static Pixels load(const std::uint8_t* p) {
        const uint8x16x3_t rgb = vld3q_u8(p);
        Pixels px;
        for (int ch = 0; ch < 3; ++ch) {
            px.c[ch][0] = vmovl_u8(vget_low_u8(rgb.val[ch]));
            px.c[ch][1] = vmovl_high_u8(rgb.val[ch]);
        }
        return px;
    }

    // Group g's channels: 16-bit words for the exact path, else 32-bit lanes.
    template <bool words>
    static auto spread(const Consts&, const Pixels& px, int g) {
        uint16x4_t c[3];
        for (int ch = 0; ch < 3; ++ch)
            c[ch] = g % 2 == 0 ? vget_low_u16(px.c[ch][g / 2]) : vget_high_u16(px.c[ch][g / 2]);
        if constexpr (words) {
            struct Words {
                int16x4_t r, g, b;
            };
            return Words{vreinterpret_s16_u16(c[0]), vreinterpret_s16_u16(c[1]), vreinterpret_s16_u16(c[2])};
        } else {
            struct Wide {
                uint32x4_t r, g, b;
            };
            return Wide{vmovl_u16(c[0]), vmovl_u16(c[1]), vmovl_u16(c[2])};
        }
    }

    // Channels are 0..255 and the entries words: each product and the sum of
    // three fit 32 bits, so the widening multiply-adds are exact; otherwise
    // plain 32-bit multiply-adds, which wrap like the portable code.
    template <bool words, class Channels>
    static int32x4_t dot(const Consts& k, const Channels& ch, int r) {
        if constexpr (words) {
            return vmlal_s16(vmlal_s16(vmull_s16(ch.r, k.w[3 * r]), ch.g, k.w[3 * r + 1]), ch.b, k.w[3 * r + 2]);
        } else {
            return vreinterpretq_s32_u32(
                vmlaq_u32(vmlaq_u32(vmulq_u32(ch.r, k.m[3 * r]), ch.g, k.m[3 * r + 1]), ch.b, k.m[3 * r + 2]));
        }
    }

    static uint32x4_t inside(const Consts& k, int32x4_t v0, int32x4_t v1, int32x4_t v2) {
        const int32x4_t tmp = vaddq_s32(v0, v1);
        return vandq_u32(vcgtzq_s32(vminq_s32(v0, v1)),
                         vandq_u32(vcgtq_s32(k.i_limit, vsubq_s32(v2, k.i_bias)),
                                   vcgtq_s32(k.c_limit, vsubq_s32(tmp, k.c_bias))));
    }

    template <Op op>
    static uint32x4_t select(uint32x4_t ok, int32x4_t v2) {
        if constexpr (op == Op::mask) {
            return ok;  // all ones or zero; the narrowing keeps 0xFF, one AND makes it 1
        } else {
            return vandq_u32(ok, vshrq_n_u32(vreinterpretq_u32_s32(v2), 8));  // narrowing keeps the low byte
        }
    }

    template <Op op>
    static void store(const uint32x4_t (&g)[groups], std::uint8_t* o) {
        const uint16x8_t lo = vcombine_u16(vmovn_u32(g[0]), vmovn_u32(g[1]));
        const uint16x8_t hi = vcombine_u16(vmovn_u32(g[2]), vmovn_u32(g[3]));
        uint8x16_t bytes = vcombine_u8(vmovn_u16(lo), vmovn_u16(hi));
        if constexpr (op == Op::mask) bytes = vandq_u8(bytes, vdupq_n_u8(1));
        vst1q_u8(o, bytes);
    }
};

}  // namespace

void image_neon(const ImageView& image, const PlaneView& output, const LchBounds& b, Op op) {
    run_image<Neon>(image, output, b, op);
}

}  // namespace kestrune::masking
