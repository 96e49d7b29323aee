// AVX2 operations for the colour test on blocks: eight pixels per step.
#include <immintrin.h>

#include "color_block_body.hpp"

namespace kestrune {

namespace {

struct Avx2 {
    static constexpr int lanes = 8;
    using V = __m256i;
    static V splat(std::int32_t v) { return _mm256_set1_epi32(v); }
    static V add(V a, V b) { return _mm256_add_epi32(a, b); }
    static V mul(V a, V b) { return _mm256_mullo_epi32(a, b); }
    static V gt(V a, V b) { return _mm256_cmpgt_epi32(a, b); }
    static V both(V a, V b) { return _mm256_and_si256(a, b); }
    static std::uint32_t bits(V mask) {
        return static_cast<std::uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(mask)));
    }

    struct Channels {
        V r, g, b;
    };

    // Eight pixels are 24 bytes: the low lane gets bytes 0-15 (pixels 0-3 in
    // bytes 0-11), the high lane bytes 8-23 (pixels 4-7 in its bytes 4-15), so
    // no load reaches past the block.
    static Channels load_packed(const std::uint8_t* q) {
        const __m256i take_r = _mm256_setr_epi8(0, -1, -1, -1, 3, -1, -1, -1, 6, -1, -1, -1, 9, -1, -1, -1,  //
                                                4, -1, -1, -1, 7, -1, -1, -1, 10, -1, -1, -1, 13, -1, -1, -1);
        const __m256i take_g = _mm256_setr_epi8(1, -1, -1, -1, 4, -1, -1, -1, 7, -1, -1, -1, 10, -1, -1, -1,  //
                                                5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1, 14, -1, -1, -1);
        const __m256i take_b = _mm256_setr_epi8(2, -1, -1, -1, 5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1,  //
                                                6, -1, -1, -1, 9, -1, -1, -1, 12, -1, -1, -1, 15, -1, -1, -1);
        const __m256i bytes = _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q))),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 8)), 1);
        return {_mm256_shuffle_epi8(bytes, take_r), _mm256_shuffle_epi8(bytes, take_g),
                _mm256_shuffle_epi8(bytes, take_b)};
    }

    // One gather of the four bytes from each pixel - lead, shifted down by lead bytes.
    struct Column {
        __m256i offsets;
        __m128i shift;
        int lead;
        Column(std::int64_t step, int lead_byte) : lead(lead_byte) {
            const auto s = static_cast<std::int32_t>(step);
            offsets = _mm256_setr_epi32(0, s, 2 * s, 3 * s, 4 * s, 5 * s, 6 * s, 7 * s);
            shift = _mm_cvtsi32_si128(8 * lead_byte);
        }
    };
    static Channels load_column(const Column& column, const std::uint8_t* p) {
        const __m256i byte = _mm256_set1_epi32(0xFF);
        const __m256i gathered =
            _mm256_i32gather_epi32(reinterpret_cast<const int*>(p - column.lead), column.offsets, 1);
        const __m256i words = _mm256_srl_epi32(gathered, column.shift);
        return {_mm256_and_si256(words, byte), _mm256_and_si256(_mm256_srli_epi32(words, 8), byte),
                _mm256_and_si256(_mm256_srli_epi32(words, 16), byte)};
    }
};

}  // namespace

std::uint64_t color_block64_avx2(const std::uint8_t* px, const LchBounds& bounds) {
    return packed_block64<Avx2>(px, bounds);
}

std::uint64_t color_strided_block64_avx2(const std::uint8_t* px, std::int64_t step, int lead,
                                         const LchBounds& bounds) {
    return strided_block64<Avx2>(px, step, lead, bounds);
}

}  // namespace kestrune
