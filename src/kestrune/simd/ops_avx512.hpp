// The vocabulary on AVX-512 (with VBMI and VNNI): sixteen 32-bit lanes, blocks
// of 64 pixels in four groups, comparisons in mask registers. VBMI's byte
// permutes take any group's channels straight out of the three loaded
// registers; VNNI's multiply-add of words accumulates in the same instruction.
#pragma once

// GCC 12 reports the headers' deliberately undefined pass-through operands.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include <cstdint>

#include "ops_lanes.hpp"

namespace kestrune {
namespace {

// Byte permutes of the 64 bytes loaded for a group of a block: groups 0 to 2
// are loaded from their first byte (48g), the last one from byte 128, 16 bytes
// before it, so that no load passes the block's 192 bytes. Byte 0 (and for the
// word pairs byte 2) of lane j takes a channel of pixel j of the group.
struct Avx512Tables {
    alignas(64) std::uint8_t wide[2][3][64];  // [group at 0 or 16][channel] into byte 0 of each lane
    alignas(64) std::uint8_t rg[2][64];       // R into byte 0, G into byte 2
    alignas(64) std::uint8_t byte1[64];       // byte 1 of each lane of two registers
    alignas(64) std::uint32_t even[16], odd[16];
};

constexpr Avx512Tables make_avx512_tables() {
    Avx512Tables t{};
    for (int at_16 = 0; at_16 < 2; ++at_16) {
        const int base = 16 * at_16;
        for (int k = 0; k < 64; ++k) {
            const int j = k / 4, at = k % 4;
            for (int ch = 0; ch < 3; ++ch) t.wide[at_16][ch][k] = static_cast<std::uint8_t>(base + 3 * j + ch);
            t.rg[at_16][k] = static_cast<std::uint8_t>(base + 3 * j + (at >= 2 ? 1 : 0));
        }
    }
    for (int k = 0; k < 64; ++k) t.byte1[k] = static_cast<std::uint8_t>((4 * k + 1) & 127);
    for (int j = 0; j < 16; ++j) {
        t.even[j] = static_cast<std::uint32_t>(2 * j);
        t.odd[j] = static_cast<std::uint32_t>(2 * j + 1);
    }
    return t;
}

constexpr Avx512Tables kAvx512 = make_avx512_tables();

struct Avx512 : LaneOps<Avx512> {
    static constexpr int lanes = 16, groups = 4;
    static constexpr bool accumulates = true;  // whether dot_from costs no more than dot
    using I32 = __m512i;
    using Mask = __mmask16;

    static __m512i table(const void* p) { return _mm512_load_si512(p); }

    static I32 splat(std::int32_t v) { return _mm512_set1_epi32(v); }
    static I32 add(I32 a, I32 b) { return _mm512_add_epi32(a, b); }
    static I32 sub(I32 a, I32 b) { return _mm512_sub_epi32(a, b); }
    static I32 mul(I32 a, I32 b) { return _mm512_mullo_epi32(a, b); }
    static I32 madd(I32 a, I32 b) { return _mm512_madd_epi16(a, b); }
    static I32 min(I32 a, I32 b) { return _mm512_min_epi32(a, b); }
    static I32 abs(I32 a) { return _mm512_abs_epi32(a); }
    static Mask gt(I32 a, I32 b) { return _mm512_cmpgt_epi32_mask(a, b); }
    static Mask both(Mask a, Mask b) { return _kand_mask16(a, b); }
    static Mask either(Mask a, Mask b) { return _kor_mask16(a, b); }
    static Mask differ(Mask a, Mask b) { return _kxor_mask16(a, b); }
    static Mask and_le(Mask m, I32 a, I32 b) { return _mm512_mask_cmple_epi32_mask(m, a, b); }
    static constexpr bool side_is_inside = true;  // a compare masked by another: no or
    static Mask side(I32 lo, I32 x, I32 hi) { return _mm512_mask_cmple_epi32_mask(_mm512_cmple_epi32_mask(lo, x), x, hi); }
    // The mask as all-ones lanes subtracted: a merging subtract would chain
    // register copies through the loop.
    static I32 count(I32 acc, Mask m) { return _mm512_sub_epi32(acc, _mm512_movm_epi32(m)); }
    static std::uint32_t total(I32 acc) { return static_cast<std::uint32_t>(_mm512_reduce_add_epi32(acc)); }
    static std::uint32_t bits(Mask m) { return m; }

    // The block's address: each group is one load folded into its permutes.
    struct Pixels {
        const std::uint8_t* p;
    };
    static Pixels load_pixels(const std::uint8_t* p) { return {p}; }
    // Bytes of group g picked by `idx` into the bytes `keep` selects, zero elsewhere.
    static __m512i pick(const Pixels& px, int g, const void* idx, __mmask64 keep) {
        return _mm512_maskz_permutexvar_epi8(keep, table(idx), _mm512_loadu_si512(px.p + (g < 3 ? 48 * g : 128)));
    }
    static constexpr __mmask64 kByte0 = 0x1111111111111111ull, kBytes02 = 0x5555555555555555ull;

    static Wide wide(const Pixels& px, int g) {
        const int t = g < 3 ? 0 : 1;
        return {pick(px, g, kAvx512.wide[t][0], kByte0), pick(px, g, kAvx512.wide[t][1], kByte0),
                pick(px, g, kAvx512.wide[t][2], kByte0)};
    }
    static Words words(const Pixels& px, int g) {
        const int t = g < 3 ? 0 : 1;
        return {pick(px, g, kAvx512.rg[t], kBytes02), pick(px, g, kAvx512.wide[t][2], kByte0)};
    }
    static I32 dot(const Words& w, const WordRow& m) {
        return _mm512_dpwssd_epi32(_mm512_madd_epi16(w.rg, m.rg), w.b0, m.b0);
    }
    static I32 dot_from(I32 acc, const Words& w, const WordRow& m) {
        return _mm512_dpwssd_epi32(_mm512_dpwssd_epi32(acc, w.rg, m.rg), w.b0, m.b0);
    }

    // One gather of the four bytes from each pixel - lead, shifted down by lead bytes.
    struct Column {
        __m512i offsets;
        __m128i shift;
        int lead;
        Column(std::int64_t step, int lead_byte) : lead(lead_byte) {
            const auto s = static_cast<std::int32_t>(step);
            offsets = _mm512_mullo_epi32(_mm512_set1_epi32(s),
                                         _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
            shift = _mm_cvtsi32_si128(8 * lead_byte);
        }
    };
    static Wide load_column(const Column& c, const std::uint8_t* p) {
        const __m512i byte = _mm512_set1_epi32(0xFF);
        const __m512i words = _mm512_srl_epi32(_mm512_i32gather_epi32(c.offsets, p - c.lead, 1), c.shift);
        return {_mm512_and_si512(words, byte), _mm512_and_si512(_mm512_srli_epi32(words, 8), byte),
                _mm512_and_si512(_mm512_srli_epi32(words, 16), byte)};
    }

    static __mmask64 block_mask(const Mask (&m)[groups]) {
        return _mm512_kunpackd(_mm512_kunpackw(m[3], m[2]), _mm512_kunpackw(m[1], m[0]));
    }
    static void store_mask(std::uint8_t* o, const Mask (&m)[groups]) {
        _mm512_storeu_si512(o, _mm512_maskz_mov_epi8(block_mask(m), _mm512_set1_epi8(1)));
    }
    static void store_grey(std::uint8_t* o, const Mask (&m)[groups], const I32 (&v2)[groups]) {
        const __m512i idx = table(kAvx512.byte1);
        const __m512i low = _mm512_permutex2var_epi8(v2[0], idx, v2[1]);
        const __m512i high = _mm512_permutex2var_epi8(v2[2], idx, v2[3]);
        const __m512i bytes = _mm512_inserti64x4(low, _mm512_castsi512_si256(high), 1);
        _mm512_storeu_si512(o, _mm512_maskz_mov_epi8(block_mask(m), bytes));
    }

    // x and y of 16 points from two registers.
    static XY load_xy(const std::uint8_t* p) {
        const __m512i a = _mm512_loadu_si512(p), b = _mm512_loadu_si512(p + 64);
        return {_mm512_permutex2var_epi32(a, table(kAvx512.even), b), _mm512_permutex2var_epi32(a, table(kAvx512.odd), b)};
    }
    using Centre = I32;
    static Centre centre(std::int32_t cx, std::int32_t cy) { return pair32(cx, cy); }
    static I32 pair32(std::int32_t a, std::int32_t b) {
        return _mm512_setr_epi32(a, b, a, b, a, b, a, b, a, b, a, b, a, b, a, b);
    }
    // The lanes come out in another order than the points (the counts do not care).
    static I32 offsets(const std::uint8_t* p, const Centre& c) {
        const __m512i a = _mm512_loadu_si512(p), b = _mm512_loadu_si512(p + 64);
        return _mm512_packs_epi32(_mm512_sub_epi32(a, c), _mm512_sub_epi32(b, c));
    }

    static std::uint64_t nonzero64(const std::uint8_t* p) {
        const __m512i v = _mm512_loadu_si512(p);
        return _mm512_test_epi8_mask(v, v);
    }
};

}  // namespace
}  // namespace kestrune
