// AVX-512 masking: 16 pixels per 512-bit register, the test's result in a mask register.
// GCC 12 reports the headers' deliberately undefined pass-through operands.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "masking_internal.hpp"

namespace kestrune::masking {
namespace {

struct Consts {
    __m512i rg[3], bz[3];
    __m512i m[9];
    __m512i i0, i1, c0, c1;
    __m512i spread, shuf_rg, shuf_c[3];
};

inline std::uint32_t word_pair(std::int32_t lo, std::int32_t hi) {
    return (static_cast<std::uint32_t>(lo) & 0xFFFFu) | (static_cast<std::uint32_t>(hi) << 16);
}

Consts make_consts(const LchBounds& b) {
    Consts k;
    for (int r = 0; r < 3; ++r) {
        k.rg[r] = _mm512_set1_epi32(static_cast<int>(word_pair(b.M[3 * r], b.M[3 * r + 1])));
        k.bz[r] = _mm512_set1_epi32(static_cast<int>(word_pair(b.M[3 * r + 2], 0)));
    }
    for (int j = 0; j < 9; ++j) k.m[j] = _mm512_set1_epi32(b.M[j]);
    k.i0 = _mm512_set1_epi32(b.i[0]);
    k.i1 = _mm512_set1_epi32(b.i[1]);
    k.c0 = _mm512_set1_epi32(b.c[0]);
    k.c1 = _mm512_set1_epi32(b.c[1]);
    // 128-bit lane j receives the 12 bytes of pixels 4j..4j+3.
    k.spread = _mm512_setr_epi32(0, 1, 2, 2, 3, 4, 5, 5, 6, 7, 8, 8, 9, 10, 11, 11);
    k.shuf_rg = _mm512_broadcast_i32x4(
        _mm_setr_epi8(0, -1, 1, -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1));
    for (int ch = 0; ch < 3; ++ch)
        k.shuf_c[ch] = _mm512_broadcast_i32x4(
            _mm_setr_epi8(ch, -1, -1, -1, ch + 3, -1, -1, -1, ch + 6, -1, -1, -1, ch + 9, -1, -1, -1));
    return k;
}

template <bool words, Op op>
inline void block(const Consts& k, const std::uint8_t* p, std::uint8_t* o) {
    const __m512i raw = _mm512_inserti32x4(
        _mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)), 2);
    const __m512i px = _mm512_permutexvar_epi32(k.spread, raw);
    __m512i v0, v1, v2;
    if constexpr (words) {
        const __m512i rg = _mm512_shuffle_epi8(px, k.shuf_rg);
        const __m512i bz = _mm512_shuffle_epi8(px, k.shuf_c[2]);
        v0 = _mm512_add_epi32(_mm512_madd_epi16(rg, k.rg[0]), _mm512_madd_epi16(bz, k.bz[0]));
        v1 = _mm512_add_epi32(_mm512_madd_epi16(rg, k.rg[1]), _mm512_madd_epi16(bz, k.bz[1]));
        v2 = _mm512_add_epi32(_mm512_madd_epi16(rg, k.rg[2]), _mm512_madd_epi16(bz, k.bz[2]));
    } else {
        const __m512i R = _mm512_shuffle_epi8(px, k.shuf_c[0]);
        const __m512i G = _mm512_shuffle_epi8(px, k.shuf_c[1]);
        const __m512i B = _mm512_shuffle_epi8(px, k.shuf_c[2]);
        __m512i* v[3] = {&v0, &v1, &v2};
        for (int r = 0; r < 3; ++r)
            *v[r] = _mm512_add_epi32(
                _mm512_add_epi32(_mm512_mullo_epi32(R, k.m[3 * r]), _mm512_mullo_epi32(G, k.m[3 * r + 1])),
                _mm512_mullo_epi32(B, k.m[3 * r + 2]));
    }
    const __m512i tmp = _mm512_add_epi32(v0, v1);
    __mmask16 ok = _mm512_cmpgt_epi32_mask(_mm512_min_epi32(v0, v1), _mm512_setzero_si512());
    ok = _mm512_mask_cmpgt_epi32_mask(ok, v2, k.i0);
    ok = _mm512_mask_cmpgt_epi32_mask(ok, k.i1, v2);
    ok = _mm512_mask_cmpgt_epi32_mask(ok, tmp, k.c0);
    ok = _mm512_mask_cmpgt_epi32_mask(ok, k.c1, tmp);
    __m128i bytes;
    if constexpr (op == Op::mask) {
        bytes = _mm_maskz_mov_epi8(ok, _mm_set1_epi8(1));
    } else {
        bytes = _mm512_maskz_cvtepi32_epi8(ok, _mm512_srli_epi32(v2, 8));  // keeps the low byte
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), bytes);
}

template <bool words, Op op>
void run_image(const ImageView& image, const PlaneView& output, const LchBounds& b) {
    const Consts k = make_consts(b);
    walk_rows(image, output, b, op, [&](const std::uint8_t* in, std::uint8_t* out, std::int64_t n) {
        run_blocks<16>(in, out, n, b, op,
                       [&](const std::uint8_t* p, std::uint8_t* o) { block<words, op>(k, p, o); });
    });
}

}  // namespace

void image_avx512(const ImageView& image, const PlaneView& output, const LchBounds& b, Op op) {
    const bool words = fits_words(b);
    if (op == Op::mask)
        words ? run_image<true, Op::mask>(image, output, b) : run_image<false, Op::mask>(image, output, b);
    else
        words ? run_image<true, Op::selective>(image, output, b) : run_image<false, Op::selective>(image, output, b);
}

}  // namespace kestrune::masking
