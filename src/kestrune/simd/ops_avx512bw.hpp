// The vocabulary on AVX-512 without VBMI and VNNI (F, BW, VL, DQ only, as on
// the first AVX-512 CPUs): the AVX-512 one but for the group loads and the
// word multiply-adds. Each group's 48 bytes are spread over the four 128-bit
// lanes by one dword permute, 12 bytes to a lane, and then picked apart by
// byte shuffles within the lanes; the word sums are two multiply-adds and an
// add. The ops of the base that need VBMI or VNNI are hidden here, so this
// set's file never emits them; nonzero64 (a BW byte test) is the base's.
#pragma once

#include "ops_avx512.hpp"

namespace kestrune {
namespace {

struct Avx512Bw : Avx512 {
    static constexpr bool accumulates = false;  // no multiply-add that accumulates

    // Lane L of group g: the 12 bytes of pixels 4L to 4L + 3. Group 3 is loaded
    // from byte 128 of the block, 16 bytes before it, so that no load passes the
    // block's 192 bytes.
    static __m512i spread(const std::uint8_t* p, int g) {
        const int at = g < 3 ? 0 : 4;  // the group's first dword in the load
        const __m512i idx = _mm512_setr_epi32(at, at + 1, at + 2, at + 2, at + 3, at + 4, at + 5, at + 5, at + 6,
                                              at + 7, at + 8, at + 8, at + 9, at + 10, at + 11, at + 11);
        return _mm512_permutexvar_epi32(idx, _mm512_loadu_si512(p + (g < 3 ? 48 * g : 128)));
    }
    struct Pixels {
        __m512i at[4];
    };
    static Pixels load_pixels(const std::uint8_t* p) { return {{spread(p, 0), spread(p, 1), spread(p, 2), spread(p, 3)}}; }

    // Within each lane: byte k of pixel j into byte 0 (and for rg byte 1 into
    // byte 2) of dword j, zero elsewhere.
    static __m512i take(int ch) {
        const auto a = [ch](int k) { return static_cast<char>(ch + k); };
        return _mm512_broadcast_i32x4(
            _mm_setr_epi8(a(0), -1, -1, -1, a(3), -1, -1, -1, a(6), -1, -1, -1, a(9), -1, -1, -1));
    }
    static __m512i take_rg() {
        return _mm512_broadcast_i32x4(_mm_setr_epi8(0, -1, 1, -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1));
    }
    static Wide wide(const Pixels& px, int g) {
        return {_mm512_shuffle_epi8(px.at[g], take(0)), _mm512_shuffle_epi8(px.at[g], take(1)),
                _mm512_shuffle_epi8(px.at[g], take(2))};
    }
    static Words words(const Pixels& px, int g) {
        return {_mm512_shuffle_epi8(px.at[g], take_rg()), _mm512_shuffle_epi8(px.at[g], take(2))};
    }
    using LaneOps<Avx512>::dot;  // two multiply-adds and an add
    using LaneOps<Avx512>::dot_from;

    // Byte 1 of every lane: the packs work within 128-bit lanes, so lane L
    // ends up holding dword L of each group, which the permute puts in order.
    static void store_grey(std::uint8_t* o, const Mask (&m)[groups], const I32 (&v2)[groups]) {
        __m512i g[groups];
        for (int k = 0; k < groups; ++k) g[k] = _mm512_and_si512(_mm512_srli_epi32(v2[k], 8), _mm512_set1_epi32(0xFF));
        const __m512i packed =
            _mm512_packus_epi16(_mm512_packus_epi32(g[0], g[1]), _mm512_packus_epi32(g[2], g[3]));
        const __m512i order = _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
        _mm512_storeu_si512(o, _mm512_maskz_mov_epi8(block_mask(m), _mm512_permutexvar_epi32(order, packed)));
    }
};

}  // namespace
}  // namespace kestrune
