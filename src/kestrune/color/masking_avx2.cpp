// AVX2 masking: 32 pixels per block, four groups of 8 pixels in 32-bit lanes.
#include <immintrin.h>

#include "masking_internal.hpp"

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

struct Consts {
    __m256i rg[3], bz[3];
    __m256i m[9];
    __m256i i_bias, i_limit, c_bias, c_limit;
    __m256i shuf_rg, shuf_c[3];
};

inline std::uint32_t word_pair(std::int32_t lo, std::int32_t hi) {
    return (static_cast<std::uint32_t>(lo) & 0xFFFFu) | (static_cast<std::uint32_t>(hi) << 16);
}

Consts make_consts(const LchBounds& b) {
    Consts k;
    for (int r = 0; r < 3; ++r) {
        k.rg[r] = _mm256_set1_epi32(static_cast<int>(word_pair(b.M[3 * r], b.M[3 * r + 1])));
        k.bz[r] = _mm256_set1_epi32(static_cast<int>(word_pair(b.M[3 * r + 2], 0)));
    }
    for (int j = 0; j < 9; ++j) k.m[j] = _mm256_set1_epi32(b.M[j]);
    const OpenRange i = open_range(b.i[0], b.i[1]), c = open_range(b.c[0], b.c[1]);
    k.i_bias = _mm256_set1_epi32(i.bias);
    k.i_limit = _mm256_set1_epi32(i.limit);
    k.c_bias = _mm256_set1_epi32(c.bias);
    k.c_limit = _mm256_set1_epi32(c.limit);
    k.shuf_rg = spread_rg();
    for (int ch = 0; ch < 3; ++ch) k.shuf_c[ch] = spread_channel(ch);
    return k;
}

// Per 32-bit lane of the 8 pixels at p: all ones where inside (mask), or the grey byte.
template <bool words, Op op>
inline __m256i group(const Consts& k, const std::uint8_t* p) {
    const __m256i px = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8)), 1);
    __m256i v0, v1, v2;
    if constexpr (words) {
        const __m256i rg = _mm256_shuffle_epi8(px, k.shuf_rg);
        const __m256i bz = _mm256_shuffle_epi8(px, k.shuf_c[2]);
        v0 = _mm256_add_epi32(_mm256_madd_epi16(rg, k.rg[0]), _mm256_madd_epi16(bz, k.bz[0]));
        v1 = _mm256_add_epi32(_mm256_madd_epi16(rg, k.rg[1]), _mm256_madd_epi16(bz, k.bz[1]));
        v2 = _mm256_add_epi32(_mm256_madd_epi16(rg, k.rg[2]), _mm256_madd_epi16(bz, k.bz[2]));
    } else {
        const __m256i R = _mm256_shuffle_epi8(px, k.shuf_c[0]);
        const __m256i G = _mm256_shuffle_epi8(px, k.shuf_c[1]);
        const __m256i B = _mm256_shuffle_epi8(px, k.shuf_c[2]);
        __m256i* v[3] = {&v0, &v1, &v2};
        for (int r = 0; r < 3; ++r)
            *v[r] = _mm256_add_epi32(
                _mm256_add_epi32(_mm256_mullo_epi32(R, k.m[3 * r]), _mm256_mullo_epi32(G, k.m[3 * r + 1])),
                _mm256_mullo_epi32(B, k.m[3 * r + 2]));
    }
    const __m256i tmp = _mm256_add_epi32(v0, v1);
    const __m256i ok = _mm256_and_si256(
        _mm256_cmpgt_epi32(_mm256_min_epi32(v0, v1), _mm256_setzero_si256()),
        _mm256_and_si256(_mm256_cmpgt_epi32(k.i_limit, _mm256_sub_epi32(v2, k.i_bias)),
                         _mm256_cmpgt_epi32(k.c_limit, _mm256_sub_epi32(tmp, k.c_bias))));
    if constexpr (op == Op::mask) {
        return ok;  // all ones or zero; the packs keep that and one AND makes it 1
    } else {
        return _mm256_and_si256(ok, _mm256_and_si256(_mm256_srli_epi32(v2, 8), _mm256_set1_epi32(0xFF)));
    }
}

template <bool words, Op op>
void run_image(const ImageView& image, const PlaneView& output, const LchBounds& b) {
    const Consts k = make_consts(b);
    // The packs work within 128-bit halves; this puts the 4-byte pieces back in pixel order.
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    walk_rows(image, output, b, op, [&](const std::uint8_t* in, std::uint8_t* out, std::int64_t n) {
        run_blocks<32>(in, out, n, b, op, [&](const std::uint8_t* p, std::uint8_t* o) {
            const __m256i g0 = group<words, op>(k, p), g1 = group<words, op>(k, p + 24);
            const __m256i g2 = group<words, op>(k, p + 48), g3 = group<words, op>(k, p + 72);
            __m256i bytes;
            if constexpr (op == Op::mask) {
                bytes = _mm256_and_si256(
                    _mm256_packs_epi16(_mm256_packs_epi32(g0, g1), _mm256_packs_epi32(g2, g3)), _mm256_set1_epi8(1));
            } else {
                bytes = _mm256_packus_epi16(_mm256_packus_epi32(g0, g1), _mm256_packus_epi32(g2, g3));
            }
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), _mm256_permutevar8x32_epi32(bytes, order));
        });
    });
}

}  // namespace

void image_avx2(const ImageView& image, const PlaneView& output, const LchBounds& b, Op op) {
    const bool words = fits_words(b);
    if (op == Op::mask)
        words ? run_image<true, Op::mask>(image, output, b) : run_image<false, Op::mask>(image, output, b);
    else
        words ? run_image<true, Op::selective>(image, output, b) : run_image<false, Op::selective>(image, output, b);
}

}  // namespace kestrune::masking
