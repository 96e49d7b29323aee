// The vocabulary on AVX2: eight 32-bit lanes, blocks of 32 pixels in four groups.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "ops_lanes.hpp"

namespace kestrune {
namespace {

struct Avx2 : LaneOps<Avx2> {
    static constexpr int lanes = 8, groups = 4;
    static constexpr bool accumulates = false;  // whether dot_from costs no more than dot
    using I32 = __m256i;
    using Mask = __m256i;  // all ones or zero per lane

    static I32 splat(std::int32_t v) { return _mm256_set1_epi32(v); }
    static I32 add(I32 a, I32 b) { return _mm256_add_epi32(a, b); }
    static I32 sub(I32 a, I32 b) { return _mm256_sub_epi32(a, b); }
    static I32 mul(I32 a, I32 b) { return _mm256_mullo_epi32(a, b); }
    static I32 madd(I32 a, I32 b) { return _mm256_madd_epi16(a, b); }
    static I32 min(I32 a, I32 b) { return _mm256_min_epi32(a, b); }
    static I32 abs(I32 a) { return _mm256_abs_epi32(a); }
    static Mask gt(I32 a, I32 b) { return _mm256_cmpgt_epi32(a, b); }
    static Mask both(Mask a, Mask b) { return _mm256_and_si256(a, b); }
    static Mask either(Mask a, Mask b) { return _mm256_or_si256(a, b); }
    static Mask differ(Mask a, Mask b) { return _mm256_xor_si256(a, b); }
    static Mask and_le(Mask m, I32 a, I32 b) { return _mm256_andnot_si256(_mm256_cmpgt_epi32(a, b), m); }
    static constexpr bool side_is_inside = false;  // compares give >, so outside is one or
    static Mask side(I32 lo, I32 x, I32 hi) {
        return _mm256_or_si256(_mm256_cmpgt_epi32(lo, x), _mm256_cmpgt_epi32(x, hi));
    }
    static I32 count(I32 acc, Mask m) { return _mm256_sub_epi32(acc, m); }
    static std::uint32_t total(I32 acc) {
        __m128i s = _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
        s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
        return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1))));
    }
    static std::uint32_t bits(Mask m) {
        return static_cast<std::uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(m)));
    }

    // Group g is the 8 pixels from byte 24 * g: its low half at byte 0 of a
    // 16-byte load, its high half at byte 4 of the load 8 bytes further on,
    // so no load reaches past the group.
    struct Pixels {
        __m256i at[4];
    };
    static __m256i load_group(const std::uint8_t* p) {
        return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
                                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8)), 1);
    }
    static Pixels load_pixels(const std::uint8_t* p) {
        return {{load_group(p), load_group(p + 24), load_group(p + 48), load_group(p + 72)}};
    }
    static __m256i take(int ch) {
        const auto a = [ch](int k) { return static_cast<char>(ch + k); };
        return _mm256_setr_epi8(a(0), -1, -1, -1, a(3), -1, -1, -1, a(6), -1, -1, -1, a(9), -1, -1, -1,  //
                                a(4), -1, -1, -1, a(7), -1, -1, -1, a(10), -1, -1, -1, a(13), -1, -1, -1);
    }
    static __m256i take_rg() {
        return _mm256_setr_epi8(0, -1, 1, -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1,  //
                                4, -1, 5, -1, 7, -1, 8, -1, 10, -1, 11, -1, 13, -1, 14, -1);
    }

    static Wide wide(const Pixels& px, int g) {
        return {_mm256_shuffle_epi8(px.at[g], take(0)), _mm256_shuffle_epi8(px.at[g], take(1)),
                _mm256_shuffle_epi8(px.at[g], take(2))};
    }
    static Words words(const Pixels& px, int g) {
        return {_mm256_shuffle_epi8(px.at[g], take_rg()), _mm256_shuffle_epi8(px.at[g], take(2))};
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
    static Wide load_column(const Column& c, const std::uint8_t* p) {
        const __m256i byte = _mm256_set1_epi32(0xFF);
        const __m256i words = _mm256_srl_epi32(
            _mm256_i32gather_epi32(reinterpret_cast<const int*>(p - c.lead), c.offsets, 1), c.shift);
        return {_mm256_and_si256(words, byte), _mm256_and_si256(_mm256_srli_epi32(words, 8), byte),
                _mm256_and_si256(_mm256_srli_epi32(words, 16), byte)};
    }

    // The packs work within 128-bit halves; the permute puts the 4-byte pieces back in pixel order.
    static void store_bytes(std::uint8_t* o, __m256i bytes) {
        const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), _mm256_permutevar8x32_epi32(bytes, order));
    }
    static void store_mask(std::uint8_t* o, const Mask (&m)[groups]) {
        const __m256i bytes = _mm256_packs_epi16(_mm256_packs_epi32(m[0], m[1]), _mm256_packs_epi32(m[2], m[3]));
        store_bytes(o, _mm256_and_si256(bytes, _mm256_set1_epi8(1)));
    }
    static void store_grey(std::uint8_t* o, const Mask (&m)[groups], const I32 (&v2)[groups]) {
        __m256i g[groups];
        for (int k = 0; k < groups; ++k)
            g[k] = _mm256_and_si256(m[k], _mm256_and_si256(_mm256_srli_epi32(v2[k], 8), _mm256_set1_epi32(0xFF)));
        store_bytes(o, _mm256_packus_epi16(_mm256_packus_epi32(g[0], g[1]), _mm256_packus_epi32(g[2], g[3])));
    }

    // The lanes come out in another order than the points (the counts do not care).
    static XY load_xy(const std::uint8_t* p) {
        const __m256 a = _mm256_loadu_ps(reinterpret_cast<const float*>(p));
        const __m256 b = _mm256_loadu_ps(reinterpret_cast<const float*>(p + 32));
        return {_mm256_castps_si256(_mm256_shuffle_ps(a, b, 0x88)), _mm256_castps_si256(_mm256_shuffle_ps(a, b, 0xDD))};
    }
    using Centre = I32;
    static Centre centre(std::int32_t cx, std::int32_t cy) {
        return _mm256_setr_epi32(cx, cy, cx, cy, cx, cy, cx, cy);
    }
    static I32 offsets(const std::uint8_t* p, const Centre& c) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
        return _mm256_packs_epi32(_mm256_sub_epi32(a, c), _mm256_sub_epi32(b, c));
    }

    static std::uint64_t nonzero64(const std::uint8_t* p) {
        const __m256i zero = _mm256_setzero_si256();
        const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
        const auto zeros_lo = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, zero)));
        const auto zeros_hi = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, zero)));
        return ~(static_cast<std::uint64_t>(zeros_hi) << 32 | zeros_lo);
    }
};

}  // namespace
}  // namespace kestrune
