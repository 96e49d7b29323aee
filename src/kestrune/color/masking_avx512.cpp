// AVX-512 masking: 16 pixels per 512-bit register, the test's result in a mask register.
// GCC 12 reports the headers' deliberately undefined pass-through operands.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include "masking_body.hpp"

namespace kestrune::masking {
namespace {

struct Avx512 {
    static constexpr int lanes = 16, groups = 1;
    using Lanes = __m128i;  // the block's output bytes

    struct Consts {
        __m512i rg[3], bz[3];
        __m512i m[9];
        __m512i i0, i1, c0, c1;
        __m512i spread, shuf_rg, shuf_c[3];

        explicit Consts(const LchBounds& b) {
            for (int r = 0; r < 3; ++r) {
                rg[r] = _mm512_set1_epi32(static_cast<int>(word_pair(b.M[3 * r], b.M[3 * r + 1])));
                bz[r] = _mm512_set1_epi32(static_cast<int>(word_pair(b.M[3 * r + 2], 0)));
            }
            for (int j = 0; j < 9; ++j) m[j] = _mm512_set1_epi32(b.M[j]);
            i0 = _mm512_set1_epi32(b.i[0]);
            i1 = _mm512_set1_epi32(b.i[1]);
            c0 = _mm512_set1_epi32(b.c[0]);
            c1 = _mm512_set1_epi32(b.c[1]);
            // 128-bit lane j receives the 12 bytes of pixels 4j..4j+3.
            spread = _mm512_setr_epi32(0, 1, 2, 2, 3, 4, 5, 5, 6, 7, 8, 8, 9, 10, 11, 11);
            shuf_rg = _mm512_broadcast_i32x4(_mm_setr_epi8(0, -1, 1, -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1));
            for (int ch = 0; ch < 3; ++ch)
                shuf_c[ch] = _mm512_broadcast_i32x4(
                    _mm_setr_epi8(ch, -1, -1, -1, ch + 3, -1, -1, -1, ch + 6, -1, -1, -1, ch + 9, -1, -1, -1));
        }
    };

    using Pixels = __m512i;  // the 48 bytes, not yet spread
    static __m512i load(const std::uint8_t* p) {
        return _mm512_inserti32x4(_mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))),
                                  _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)), 2);
    }

    struct Channels {
        __m512i a, b, c;  // (R,G) and (B,0) word pairs, or R, G, B
    };
    template <bool words>
    static Channels spread(const Consts& k, __m512i raw, int) {
        const __m512i px = _mm512_permutexvar_epi32(k.spread, raw);
        if constexpr (words) {
            return {_mm512_shuffle_epi8(px, k.shuf_rg), _mm512_shuffle_epi8(px, k.shuf_c[2]), _mm512_setzero_si512()};
        } else {
            return {_mm512_shuffle_epi8(px, k.shuf_c[0]), _mm512_shuffle_epi8(px, k.shuf_c[1]),
                    _mm512_shuffle_epi8(px, k.shuf_c[2])};
        }
    }

    template <bool words>
    static __m512i dot(const Consts& k, const Channels& ch, int r) {
        if constexpr (words) {
            return _mm512_add_epi32(_mm512_madd_epi16(ch.a, k.rg[r]), _mm512_madd_epi16(ch.b, k.bz[r]));
        } else {
            return _mm512_add_epi32(
                _mm512_add_epi32(_mm512_mullo_epi32(ch.a, k.m[3 * r]), _mm512_mullo_epi32(ch.b, k.m[3 * r + 1])),
                _mm512_mullo_epi32(ch.c, k.m[3 * r + 2]));
        }
    }

    // The test in a mask register; grey bytes are taken under it in select.
    struct Inside {
        __mmask16 ok;
    };
    static Inside inside(const Consts& k, __m512i v0, __m512i v1, __m512i v2) {
        const __m512i tmp = _mm512_add_epi32(v0, v1);
        __mmask16 ok = _mm512_cmpgt_epi32_mask(_mm512_min_epi32(v0, v1), _mm512_setzero_si512());
        ok = _mm512_mask_cmpgt_epi32_mask(ok, v2, k.i0);
        ok = _mm512_mask_cmpgt_epi32_mask(ok, k.i1, v2);
        ok = _mm512_mask_cmpgt_epi32_mask(ok, tmp, k.c0);
        ok = _mm512_mask_cmpgt_epi32_mask(ok, k.c1, tmp);
        return {ok};
    }

    template <Op op>
    static __m128i select(Inside in, __m512i v2) {
        if constexpr (op == Op::mask) {
            return _mm_maskz_mov_epi8(in.ok, _mm_set1_epi8(1));
        } else {
            return _mm512_maskz_cvtepi32_epi8(in.ok, _mm512_srli_epi32(v2, 8));  // keeps the low byte
        }
    }

    template <Op>
    static void store(const __m128i (&bytes)[groups], std::uint8_t* o) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), bytes[0]);
    }
};

}  // namespace

void image_avx512(const ImageView& image, const PlaneView& output, const LchBounds& b, Op op) {
    run_image<Avx512>(image, output, b, op);
}

}  // namespace kestrune::masking
