// The colour test on eight pixels per step, in the same wrapping 32-bit
// arithmetic and strict comparisons as the per-pixel test. Nothing inline from
// the shared headers is used here: an AVX2 copy of it could be linked in for
// every caller.
#include <immintrin.h>

#include "color_block.hpp"

namespace kestrune {

namespace {

struct Limits {
    __m256i m[9];
    __m256i i_low, i_high, c_low, c_high;

    explicit Limits(const LchBounds& b) {
        for (int k = 0; k < 9; ++k) m[k] = _mm256_set1_epi32(b.M[k]);
        i_low = _mm256_set1_epi32(b.i[0]);
        i_high = _mm256_set1_epi32(b.i[1]);
        c_low = _mm256_set1_epi32(b.c[0]);
        c_high = _mm256_set1_epi32(b.c[1]);
    }

    // Eight lanes of channel values in, eight bits out.
    std::uint32_t inside(__m256i r, __m256i g, __m256i b) const {
        const auto row = [&](int k) {
            return _mm256_add_epi32(_mm256_add_epi32(_mm256_mullo_epi32(m[k], r), _mm256_mullo_epi32(m[k + 1], g)),
                                    _mm256_mullo_epi32(m[k + 2], b));
        };
        const __m256i v0 = row(0), v1 = row(3), v2 = row(6);
        const __m256i tmp = _mm256_add_epi32(v0, v1);
        const __m256i zero = _mm256_setzero_si256();
        __m256i in = _mm256_and_si256(_mm256_cmpgt_epi32(v0, zero), _mm256_cmpgt_epi32(v1, zero));
        in = _mm256_and_si256(in, _mm256_cmpgt_epi32(v2, i_low));
        in = _mm256_and_si256(in, _mm256_cmpgt_epi32(i_high, v2));
        in = _mm256_and_si256(in, _mm256_cmpgt_epi32(tmp, c_low));
        in = _mm256_and_si256(in, _mm256_cmpgt_epi32(c_high, tmp));
        return static_cast<std::uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(in)));
    }
};

}  // namespace

std::uint64_t color_block64_avx2(const std::uint8_t* px, const LchBounds& bounds) {
    const Limits limits(bounds);
    // Eight pixels are 24 bytes: the low lane gets bytes 0-15 (pixels 0-3 in
    // bytes 0-11), the high lane bytes 8-23 (pixels 4-7 in its bytes 4-15), so
    // no load reaches past the block.
    const __m256i take_r = _mm256_setr_epi8(0, -1, -1, -1, 3, -1, -1, -1, 6, -1, -1, -1, 9, -1, -1, -1,  //
                                            4, -1, -1, -1, 7, -1, -1, -1, 10, -1, -1, -1, 13, -1, -1, -1);
    const __m256i take_g = _mm256_setr_epi8(1, -1, -1, -1, 4, -1, -1, -1, 7, -1, -1, -1, 10, -1, -1, -1,  //
                                            5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1, 14, -1, -1, -1);
    const __m256i take_b = _mm256_setr_epi8(2, -1, -1, -1, 5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1,  //
                                            6, -1, -1, -1, 9, -1, -1, -1, 12, -1, -1, -1, 15, -1, -1, -1);
    std::uint64_t bits = 0;
    for (int g = 0; g < 8; ++g) {
        const std::uint8_t* q = px + 24 * g;
        const __m256i bytes = _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q))),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 8)), 1);
        const std::uint32_t lanes = limits.inside(_mm256_shuffle_epi8(bytes, take_r),
                                                  _mm256_shuffle_epi8(bytes, take_g),
                                                  _mm256_shuffle_epi8(bytes, take_b));
        bits |= static_cast<std::uint64_t>(lanes) << (8 * g);
    }
    return bits;
}

std::uint64_t color_strided_block64_avx2(const std::uint8_t* px, std::int64_t step, int lead,
                                         const LchBounds& bounds) {
    const Limits limits(bounds);
    const auto s = static_cast<std::int32_t>(step);
    const __m256i offsets = _mm256_setr_epi32(0, s, 2 * s, 3 * s, 4 * s, 5 * s, 6 * s, 7 * s);
    const __m256i byte = _mm256_set1_epi32(0xFF);
    const __m128i shift = _mm_cvtsi32_si128(8 * lead);
    std::uint64_t bits = 0;
    for (int g = 0; g < 8; ++g) {
        const std::uint8_t* q = px + 8 * g * step - lead;
        const __m256i gathered = _mm256_i32gather_epi32(reinterpret_cast<const int*>(q), offsets, 1);
        const __m256i words = _mm256_srl_epi32(gathered, shift);
        const std::uint32_t lanes = limits.inside(_mm256_and_si256(words, byte),
                                                  _mm256_and_si256(_mm256_srli_epi32(words, 8), byte),
                                                  _mm256_and_si256(_mm256_srli_epi32(words, 16), byte));
        bits |= static_cast<std::uint64_t>(lanes) << (8 * g);
    }
    return bits;
}

}  // namespace kestrune
