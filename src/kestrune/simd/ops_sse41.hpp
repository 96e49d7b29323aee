// The vocabulary on SSE4.1: four 32-bit lanes, blocks of 16 pixels in four groups.
#pragma once

#include <smmintrin.h>

#include <cstdint>

#include "ops_lanes.hpp"

namespace kestrune {
namespace {

struct Sse41 : LaneOps<Sse41> {
    static constexpr int lanes = 4, groups = 4;
    static constexpr bool accumulates = false;  // whether dot_from costs no more than dot
    using I32 = __m128i;
    using Mask = __m128i;  // all ones or zero per lane

    static I32 splat(std::int32_t v) { return _mm_set1_epi32(v); }
    static I32 add(I32 a, I32 b) { return _mm_add_epi32(a, b); }
    static I32 sub(I32 a, I32 b) { return _mm_sub_epi32(a, b); }
    static I32 mul(I32 a, I32 b) { return _mm_mullo_epi32(a, b); }
    static I32 madd(I32 a, I32 b) { return _mm_madd_epi16(a, b); }
    static I32 min(I32 a, I32 b) { return _mm_min_epi32(a, b); }
    static I32 abs(I32 a) { return _mm_abs_epi32(a); }
    static Mask gt(I32 a, I32 b) { return _mm_cmpgt_epi32(a, b); }
    static Mask both(Mask a, Mask b) { return _mm_and_si128(a, b); }
    static Mask either(Mask a, Mask b) { return _mm_or_si128(a, b); }
    static Mask differ(Mask a, Mask b) { return _mm_xor_si128(a, b); }
    static Mask and_le(Mask m, I32 a, I32 b) { return _mm_andnot_si128(_mm_cmpgt_epi32(a, b), m); }
    static constexpr bool side_is_inside = false;  // compares give >, so outside is one or
    static Mask side(I32 lo, I32 x, I32 hi) { return _mm_or_si128(_mm_cmpgt_epi32(lo, x), _mm_cmpgt_epi32(x, hi)); }
    static I32 count(I32 acc, Mask m) { return _mm_sub_epi32(acc, m); }
    static std::uint32_t total(I32 acc) {
        const __m128i pairs = _mm_add_epi32(acc, _mm_shuffle_epi32(acc, 0x4E));
        return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_add_epi32(pairs, _mm_shuffle_epi32(pairs, 0xB1))));
    }
    static std::uint32_t bits(Mask m) { return static_cast<std::uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(m))); }

    // Pixels 0-3, 4-7, 8-11 start at bytes 0, 12, 24; pixels 12-15 are bytes
    // 4..15 of the load at 32, so nothing past the block is read.
    struct Pixels {
        __m128i at[4];
    };
    static Pixels load_pixels(const std::uint8_t* p) {
        return {{_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                 _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12)),
                 _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 24)),
                 _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32))}};
    }
    // Bytes of 4 pixels from offset o spread to 32-bit lanes, or to (R, G) word pairs.
    static __m128i take(int o) {
        return _mm_setr_epi8(static_cast<char>(o), -1, -1, -1, static_cast<char>(o + 3), -1, -1, -1,
                             static_cast<char>(o + 6), -1, -1, -1, static_cast<char>(o + 9), -1, -1, -1);
    }
    static __m128i take_rg(int o) {
        const auto c = [o](int k) { return static_cast<char>(o + k); };
        return _mm_setr_epi8(c(0), -1, c(1), -1, c(3), -1, c(4), -1, c(6), -1, c(7), -1, c(9), -1, c(10), -1);
    }

    static Wide wide(const Pixels& px, int g) {
        const int o = g == 3 ? 4 : 0;
        return {_mm_shuffle_epi8(px.at[g], take(o)), _mm_shuffle_epi8(px.at[g], take(o + 1)),
                _mm_shuffle_epi8(px.at[g], take(o + 2))};
    }
    static Words words(const Pixels& px, int g) {
        const int o = g == 3 ? 4 : 0;
        return {_mm_shuffle_epi8(px.at[g], take_rg(o)), _mm_shuffle_epi8(px.at[g], take(o + 2))};
    }

    struct Column {
        std::int64_t step;
        int lead;
        Column(std::int64_t s, int l) : step(s), lead(l) {}
    };
    static std::int32_t load_i32(const std::uint8_t* p) {
        std::int32_t v;
        __builtin_memcpy(&v, p, sizeof v);
        return v;
    }
    // Four bytes per pixel (with the neighbouring byte `lead` names), shifted down.
    static Wide load_column(const Column& c, const std::uint8_t* p) {
        const std::uint8_t* q = p - c.lead;
        const __m128i bytes = _mm_srl_epi32(
            _mm_setr_epi32(load_i32(q), load_i32(q + c.step), load_i32(q + 2 * c.step), load_i32(q + 3 * c.step)),
            _mm_cvtsi32_si128(8 * c.lead));
        const __m128i byte = _mm_set1_epi32(0xFF);
        return {_mm_and_si128(bytes, byte), _mm_and_si128(_mm_srli_epi32(bytes, 8), byte),
                _mm_and_si128(_mm_srli_epi32(bytes, 16), byte)};
    }

    static void store_mask(std::uint8_t* o, const Mask (&m)[groups]) {
        const __m128i bytes = _mm_packs_epi16(_mm_packs_epi32(m[0], m[1]), _mm_packs_epi32(m[2], m[3]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_and_si128(bytes, _mm_set1_epi8(1)));
    }
    static void store_grey(std::uint8_t* o, const Mask (&m)[groups], const I32 (&v2)[groups]) {
        __m128i g[groups];
        for (int k = 0; k < groups; ++k)
            g[k] = _mm_and_si128(m[k], _mm_and_si128(_mm_srli_epi32(v2[k], 8), _mm_set1_epi32(0xFF)));
        const __m128i bytes = _mm_packus_epi16(_mm_packus_epi32(g[0], g[1]), _mm_packus_epi32(g[2], g[3]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), bytes);
    }

    static XY load_xy(const std::uint8_t* p) {
        const __m128 a = _mm_loadu_ps(reinterpret_cast<const float*>(p));
        const __m128 b = _mm_loadu_ps(reinterpret_cast<const float*>(p + 16));
        return {_mm_castps_si128(_mm_shuffle_ps(a, b, 0x88)), _mm_castps_si128(_mm_shuffle_ps(a, b, 0xDD))};
    }
    using Centre = I32;
    static Centre centre(std::int32_t cx, std::int32_t cy) { return _mm_setr_epi32(cx, cy, cx, cy); }
    static I32 offsets(const std::uint8_t* p, const Centre& c) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
        return _mm_packs_epi32(_mm_sub_epi32(a, c), _mm_sub_epi32(b, c));
    }

    static std::uint64_t nonzero64(const std::uint8_t* p) {
        const __m128i zero = _mm_setzero_si128();
        std::uint64_t zeros = 0;
        for (int q = 0; q < 4; ++q) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * q));
            const auto zero_bytes = static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero)));
            zeros |= static_cast<std::uint64_t>(zero_bytes) << (16 * q);
        }
        return ~zeros;
    }
};

}  // namespace
}  // namespace kestrune
