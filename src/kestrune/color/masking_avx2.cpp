// AVX2 masking: 32 pixels per block, four groups of 8 pixels in 32-bit lanes.
#include <immintrin.h>

#include "masking_body.hpp"

namespace kestrune::masking {
namespace {

// Each 128-bit half holds 4 pixels: the low half at byte 0 of its load, the
// high half at byte 4 (it is loaded 8 bytes in, so the load ends with the group).
inline __m256i spread_rg() {
    return _mm256_setr_epi8(0, -1, 1, -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1,  //
                            4, -1, 5, -1, 7, -1, 8, -1, 10, -1, 11, -1, 13, -1, 14, -1);
}
inline __m256i spread_channel(int ch) {
    const int a = ch, b = ch + 4;
    return _mm256_setr_epi8(a, -1, -1, -1, a + 3, -1, -1, -1, a + 6, -1, -1, -1, a + 9, -1, -1, -1,  //
                            b, -1, -1, -1, b + 3, -1, -1, -1, b + 6, -1, -1, -1, b + 9, -1, -1, -1);
}

struct Avx2 {
    static constexpr int lanes = 32, groups = 4;
    using Lanes = __m256i;

    struct Consts {
        __m256i rg[3], bz[3];
        __m256i m[9];
        __m256i i_bias, i_limit, c_bias, c_limit;
        __m256i shuf_rg, shuf_c[3];

        explicit Consts(const LchBounds& b) {
            for (int r = 0; r < 3; ++r) {
                rg[r] = _mm256_set1_epi32(static_cast<int>(word_pair(b.M[3 * r], b.M[3 * r + 1])));
                bz[r] = _mm256_set1_epi32(static_cast<int>(word_pair(b.M[3 * r + 2], 0)));
            }
            for (int j = 0; j < 9; ++j) m[j] = _mm256_set1_epi32(b.M[j]);
            const OpenRange i = open_range(b.i[0], b.i[1]), c = open_range(b.c[0], b.c[1]);
            i_bias = _mm256_set1_epi32(i.bias);
            i_limit = _mm256_set1_epi32(i.limit);
            c_bias = _mm256_set1_epi32(c.bias);
            c_limit = _mm256_set1_epi32(c.limit);
            shuf_rg = spread_rg();
            for (int ch = 0; ch < 3; ++ch) shuf_c[ch] = spread_channel(ch);
        }
    };

    // Group g: the 8 pixels from byte 24 * g, as two overlapping 16-byte loads.
    struct Pixels {
        __m256i at[4];
    };
    static __m256i load_group(const std::uint8_t* p) {
        return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
                                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8)), 1);
    }
    static Pixels load(const std::uint8_t* p) {
        return {{load_group(p), load_group(p + 24), load_group(p + 48), load_group(p + 72)}};
    }

    struct Channels {
        __m256i a, b, c;  // (R,G) and (B,0) word pairs, or R, G, B
    };
    template <bool words>
    static Channels spread(const Consts& k, const Pixels& px, int g) {
        const __m256i v = px.at[g];
        if constexpr (words) {
            return {_mm256_shuffle_epi8(v, k.shuf_rg), _mm256_shuffle_epi8(v, k.shuf_c[2]), _mm256_setzero_si256()};
        } else {
            return {_mm256_shuffle_epi8(v, k.shuf_c[0]), _mm256_shuffle_epi8(v, k.shuf_c[1]),
                    _mm256_shuffle_epi8(v, k.shuf_c[2])};
        }
    }

    template <bool words>
    static __m256i dot(const Consts& k, const Channels& ch, int r) {
        if constexpr (words) {
            return _mm256_add_epi32(_mm256_madd_epi16(ch.a, k.rg[r]), _mm256_madd_epi16(ch.b, k.bz[r]));
        } else {
            return _mm256_add_epi32(
                _mm256_add_epi32(_mm256_mullo_epi32(ch.a, k.m[3 * r]), _mm256_mullo_epi32(ch.b, k.m[3 * r + 1])),
                _mm256_mullo_epi32(ch.c, k.m[3 * r + 2]));
        }
    }

    static __m256i inside(const Consts& k, __m256i v0, __m256i v1, __m256i v2) {
        const __m256i tmp = _mm256_add_epi32(v0, v1);
        return _mm256_and_si256(_mm256_cmpgt_epi32(_mm256_min_epi32(v0, v1), _mm256_setzero_si256()),
                                _mm256_and_si256(_mm256_cmpgt_epi32(k.i_limit, _mm256_sub_epi32(v2, k.i_bias)),
                                                 _mm256_cmpgt_epi32(k.c_limit, _mm256_sub_epi32(tmp, k.c_bias))));
    }

    template <Op op>
    static __m256i select(__m256i ok, __m256i v2) {
        if constexpr (op == Op::mask) {
            return ok;  // all ones or zero; the packs keep that and one AND makes it 1
        } else {
            return _mm256_and_si256(ok, _mm256_and_si256(_mm256_srli_epi32(v2, 8), _mm256_set1_epi32(0xFF)));
        }
    }

    template <Op op>
    static void store(const __m256i (&g)[groups], std::uint8_t* o) {
        __m256i bytes;
        if constexpr (op == Op::mask) {
            bytes = _mm256_and_si256(
                _mm256_packs_epi16(_mm256_packs_epi32(g[0], g[1]), _mm256_packs_epi32(g[2], g[3])), _mm256_set1_epi8(1));
        } else {
            bytes = _mm256_packus_epi16(_mm256_packus_epi32(g[0], g[1]), _mm256_packus_epi32(g[2], g[3]));
        }
        // The packs work within 128-bit halves; this puts the 4-byte pieces back in pixel order.
        const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), _mm256_permutevar8x32_epi32(bytes, order));
    }
};

}  // namespace

void image_avx2(const ImageView& image, const PlaneView& output, const LchBounds& b, Op op) {
    run_image<Avx2>(image, output, b, op);
}

}  // namespace kestrune::masking
