// SSE4.1 masking: 16 pixels per block, four groups of 4 pixels in 32-bit lanes.
#include <smmintrin.h>

#include "masking_internal.hpp"

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

struct Consts {
    __m128i rg[3], bz[3];  // word pairs (M[3r], M[3r+1]) and (M[3r+2], 0)
    __m128i m[9];          // the entries in every 32-bit lane, for the wrapping path
    __m128i i_bias, i_limit, c_bias, c_limit;
    __m128i shuf_rg[2], shuf_b[2], shuf_c[2][3];
};

inline std::uint32_t word_pair(std::int32_t lo, std::int32_t hi) {
    return (static_cast<std::uint32_t>(lo) & 0xFFFFu) | (static_cast<std::uint32_t>(hi) << 16);
}

Consts make_consts(const LchBounds& b) {
    Consts k;
    for (int r = 0; r < 3; ++r) {
        k.rg[r] = _mm_set1_epi32(static_cast<int>(word_pair(b.M[3 * r], b.M[3 * r + 1])));
        k.bz[r] = _mm_set1_epi32(static_cast<int>(word_pair(b.M[3 * r + 2], 0)));
    }
    for (int j = 0; j < 9; ++j) k.m[j] = _mm_set1_epi32(b.M[j]);
    const OpenRange i = open_range(b.i[0], b.i[1]), c = open_range(b.c[0], b.c[1]);
    k.i_bias = _mm_set1_epi32(i.bias);
    k.i_limit = _mm_set1_epi32(i.limit);
    k.c_bias = _mm_set1_epi32(c.bias);
    k.c_limit = _mm_set1_epi32(c.limit);
    for (int h = 0; h < 2; ++h) {
        k.shuf_rg[h] = spread_rg(4 * h);
        k.shuf_b[h] = spread_channel(4 * h + 2);
        for (int ch = 0; ch < 3; ++ch) k.shuf_c[h][ch] = spread_channel(4 * h + ch);
    }
    return k;
}

// The three sums of 4 pixels whose 12 bytes start at byte 4*h of `px`.
template <bool words>
inline void sums(const Consts& k, __m128i px, int h, __m128i& v0, __m128i& v1, __m128i& v2) {
    if constexpr (words) {
        const __m128i rg = _mm_shuffle_epi8(px, k.shuf_rg[h]);
        const __m128i bz = _mm_shuffle_epi8(px, k.shuf_b[h]);
        v0 = _mm_add_epi32(_mm_madd_epi16(rg, k.rg[0]), _mm_madd_epi16(bz, k.bz[0]));
        v1 = _mm_add_epi32(_mm_madd_epi16(rg, k.rg[1]), _mm_madd_epi16(bz, k.bz[1]));
        v2 = _mm_add_epi32(_mm_madd_epi16(rg, k.rg[2]), _mm_madd_epi16(bz, k.bz[2]));
    } else {
        const __m128i R = _mm_shuffle_epi8(px, k.shuf_c[h][0]);
        const __m128i G = _mm_shuffle_epi8(px, k.shuf_c[h][1]);
        const __m128i B = _mm_shuffle_epi8(px, k.shuf_c[h][2]);
        __m128i* v[3] = {&v0, &v1, &v2};
        for (int r = 0; r < 3; ++r)
            *v[r] = _mm_add_epi32(_mm_add_epi32(_mm_mullo_epi32(R, k.m[3 * r]), _mm_mullo_epi32(G, k.m[3 * r + 1])),
                                  _mm_mullo_epi32(B, k.m[3 * r + 2]));
    }
}

// Per 32-bit lane of 4 pixels: all ones where inside (mask), or the grey byte.
template <bool words, Op op>
inline __m128i group(const Consts& k, __m128i px, int h) {
    __m128i v0, v1, v2;
    sums<words>(k, px, h, v0, v1, v2);
    const __m128i tmp = _mm_add_epi32(v0, v1);
    const __m128i ok = _mm_and_si128(
        _mm_cmpgt_epi32(_mm_min_epi32(v0, v1), _mm_setzero_si128()),
        _mm_and_si128(_mm_cmpgt_epi32(k.i_limit, _mm_sub_epi32(v2, k.i_bias)),
                      _mm_cmpgt_epi32(k.c_limit, _mm_sub_epi32(tmp, k.c_bias))));
    if constexpr (op == Op::mask) {
        return ok;  // all ones or zero; the packs keep that and one AND makes it 1
    } else {
        return _mm_and_si128(ok, _mm_and_si128(_mm_srli_epi32(v2, 8), _mm_set1_epi32(0xFF)));
    }
}

template <bool words, Op op>
void run_image(const ImageView& image, const PlaneView& output, const LchBounds& b) {
    const Consts k = make_consts(b);
    walk_rows(image, output, b, op, [&](const std::uint8_t* in, std::uint8_t* out, std::int64_t n) {
        run_blocks<16>(in, out, n, b, op, [&](const std::uint8_t* p, std::uint8_t* o) {
            // Pixels 0-3, 4-7, 8-11 start at bytes 0, 12, 24; pixels 12-15 are
            // bytes 4..15 of the load at 32, so nothing past the block is read.
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12));
            const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 24));
            const __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
            const __m128i g0 = group<words, op>(k, a, 0), g1 = group<words, op>(k, c, 0);
            const __m128i g2 = group<words, op>(k, d, 0), g3 = group<words, op>(k, e, 1);
            __m128i bytes;
            if constexpr (op == Op::mask) {
                bytes = _mm_and_si128(
                    _mm_packs_epi16(_mm_packs_epi32(g0, g1), _mm_packs_epi32(g2, g3)), _mm_set1_epi8(1));
            } else {
                bytes = _mm_packus_epi16(_mm_packus_epi32(g0, g1), _mm_packus_epi32(g2, g3));
            }
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o), bytes);
        });
    });
}

}  // namespace

void image_sse41(const ImageView& image, const PlaneView& output, const LchBounds& b, Op op) {
    const bool words = fits_words(b);
    if (op == Op::mask)
        words ? run_image<true, Op::mask>(image, output, b) : run_image<false, Op::mask>(image, output, b);
    else
        words ? run_image<true, Op::selective>(image, output, b) : run_image<false, Op::selective>(image, output, b);
}

}  // namespace kestrune::masking
