// SSE4.1 masking: 16 pixels per block, four groups of 4 pixels in 32-bit lanes.
#include <smmintrin.h>

#include "masking_body.hpp"

namespace kestrune::masking {
namespace {

// Bytes of 4 pixels (at offset `o` of a register) spread to 16-bit words:
// (R, G) pairs for one multiply-add, (B, 0) for the other; and to 32-bit lanes.
inline __m128i spread_rg(int o) {
    return _mm_setr_epi8(o + 0, -1, o + 1, -1, o + 3, -1, o + 4, -1, o + 6, -1, o + 7, -1, o + 9, -1, o + 10, -1);
}
inline __m128i spread_channel(int o) {
    return _mm_setr_epi8(o, -1, -1, -1, o + 3, -1, -1, -1, o + 6, -1, -1, -1, o + 9, -1, -1, -1);
}

struct Sse41 {
    static constexpr int lanes = 16, groups = 4;
    using Lanes = __m128i;

    struct Consts {
        __m128i rg[3], bz[3];  // word pairs (M[3r], M[3r+1]) and (M[3r+2], 0)
        __m128i m[9];          // the entries in every 32-bit lane, for the wrapping path
        __m128i i_bias, i_limit, c_bias, c_limit;
        __m128i shuf_rg[2], shuf_b[2], shuf_c[2][3];

        explicit Consts(const LchBounds& b) {
            for (int r = 0; r < 3; ++r) {
                rg[r] = _mm_set1_epi32(static_cast<int>(word_pair(b.M[3 * r], b.M[3 * r + 1])));
                bz[r] = _mm_set1_epi32(static_cast<int>(word_pair(b.M[3 * r + 2], 0)));
            }
            for (int j = 0; j < 9; ++j) m[j] = _mm_set1_epi32(b.M[j]);
            const OpenRange i = open_range(b.i[0], b.i[1]), c = open_range(b.c[0], b.c[1]);
            i_bias = _mm_set1_epi32(i.bias);
            i_limit = _mm_set1_epi32(i.limit);
            c_bias = _mm_set1_epi32(c.bias);
            c_limit = _mm_set1_epi32(c.limit);
            for (int h = 0; h < 2; ++h) {
                shuf_rg[h] = spread_rg(4 * h);
                shuf_b[h] = spread_channel(4 * h + 2);
                for (int ch = 0; ch < 3; ++ch) shuf_c[h][ch] = spread_channel(4 * h + ch);
            }
        }
    };

    // Pixels 0-3, 4-7, 8-11 start at bytes 0, 12, 24; pixels 12-15 are bytes
    // 4..15 of the load at 32, so nothing past the block is read.
    struct Pixels {
        __m128i at[4];
    };
    static Pixels load(const std::uint8_t* p) {
        return {{_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                 _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12)),
                 _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 24)),
                 _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32))}};
    }

    struct Channels {
        __m128i a, b, c;  // (R,G) and (B,0) word pairs, or R, G, B
    };
    template <bool words>
    static Channels spread(const Consts& k, const Pixels& px, int g) {
        const int h = g == 3 ? 1 : 0;
        const __m128i v = px.at[g];
        if constexpr (words) {
            return {_mm_shuffle_epi8(v, k.shuf_rg[h]), _mm_shuffle_epi8(v, k.shuf_b[h]), _mm_setzero_si128()};
        } else {
            return {_mm_shuffle_epi8(v, k.shuf_c[h][0]), _mm_shuffle_epi8(v, k.shuf_c[h][1]),
                    _mm_shuffle_epi8(v, k.shuf_c[h][2])};
        }
    }

    template <bool words>
    static __m128i dot(const Consts& k, const Channels& ch, int r) {
        if constexpr (words) {
            return _mm_add_epi32(_mm_madd_epi16(ch.a, k.rg[r]), _mm_madd_epi16(ch.b, k.bz[r]));
        } else {
            return _mm_add_epi32(_mm_add_epi32(_mm_mullo_epi32(ch.a, k.m[3 * r]), _mm_mullo_epi32(ch.b, k.m[3 * r + 1])),
                                 _mm_mullo_epi32(ch.c, k.m[3 * r + 2]));
        }
    }

    static __m128i inside(const Consts& k, __m128i v0, __m128i v1, __m128i v2) {
        const __m128i tmp = _mm_add_epi32(v0, v1);
        return _mm_and_si128(_mm_cmpgt_epi32(_mm_min_epi32(v0, v1), _mm_setzero_si128()),
                             _mm_and_si128(_mm_cmpgt_epi32(k.i_limit, _mm_sub_epi32(v2, k.i_bias)),
                                           _mm_cmpgt_epi32(k.c_limit, _mm_sub_epi32(tmp, k.c_bias))));
    }

    template <Op op>
    static __m128i select(__m128i ok, __m128i v2) {
        if constexpr (op == Op::mask) {
            return ok;  // all ones or zero; the packs keep that and one AND makes it 1
        } else {
            return _mm_and_si128(ok, _mm_and_si128(_mm_srli_epi32(v2, 8), _mm_set1_epi32(0xFF)));
        }
    }

    template <Op op>
    static void store(const __m128i (&g)[groups], std::uint8_t* o) {
        __m128i bytes;
        if constexpr (op == Op::mask) {
            bytes = _mm_and_si128(_mm_packs_epi16(_mm_packs_epi32(g[0], g[1]), _mm_packs_epi32(g[2], g[3])),
                                  _mm_set1_epi8(1));
        } else {
            bytes = _mm_packus_epi16(_mm_packus_epi32(g[0], g[1]), _mm_packus_epi32(g[2], g[3]));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), bytes);
    }
};

}  // namespace

void image_sse41(const ImageView& image, const PlaneView& output, const LchBounds& b, Op op) {
    run_image<Sse41>(image, output, b, op);
}

}  // namespace kestrune::masking
