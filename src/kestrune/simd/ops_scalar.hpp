// The portable set: every operation of the vocabulary on one lane, in ISO
// C++. The kernel bodies run on it wherever a CPU has nothing wider, and for
// the few pixels or points a wider set leaves over at the end of a run.
//
// The vocabulary (every set spells the same names, all static and inline):
//   lanes, groups          32-bit lanes per vector; vectors per block of pixels
//   I32, Mask              a vector of 32-bit lanes; a lane-wise truth value
//   splat                  every lane one value
//   add, sub, mul          wrapping 32-bit arithmetic
//   madd                   multiply-add of words: the signed 16-bit halves of
//                          each lane multiplied pairwise and summed
//   min, abs, gt           signed minimum; absolute value (wrapping); signed a > b
//   both, either, differ   and, or, exclusive or of two masks
//   and_le(m, a, b)        m and a <= b, one instruction where a set has it
//   side(lo, x, hi)        one side of lo <= x <= hi: the inside when
//                          side_is_inside, else the outside (whichever the set
//                          tells in fewer instructions)
//   count(acc, m)          acc + 1 where m holds; total(acc) sums the lanes
//   bits(m)                lane j's mask as bit j
//   Pixels, load_pixels    a block of lanes * groups packed RGB pixels (three
//                          interleaved channels), reading nothing past it
//   Words, WordRow, words, word_row, dot
//                          group g of a block widened for exact word
//                          products, a row of M in matching form, and their
//                          multiply-add (valid when every coefficient fits 16 bits);
//                          dot_from adds it to an accumulator (`accumulates`:
//                          in the same instructions, so sums start from it)
//   Wide, wide             group g's R, G, B in 32-bit lanes
//   Column, load_column    R, G, B of `lanes` pixels `step` bytes apart
//   store_mask, store_grey a block's output bytes: 1 or 0, or byte 1 of v2 or 0
//   XY, load_xy            `lanes` packed (x, y) int32 points, de-interleaved
//   nonzero64(p)           the 64 bytes from p as bits: bit j set when byte j
//                          is not zero
//   Centre, centre, offsets  the same points minus a centre (cx, cy), as
//                          (dx, dy) word pairs that madd takes (exact for
//                          |d| <= 32767, all its callers pass)
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace kestrune {
namespace {

struct Scalar {
    static constexpr int lanes = 1, groups = 1;
    static constexpr bool accumulates = false;  // whether dot_from costs no more than dot

    struct I32 {
        std::uint32_t v;
    };
    using Mask = bool;

    static I32 splat(std::int32_t v) { return {static_cast<std::uint32_t>(v)}; }
    static I32 add(I32 a, I32 b) { return {a.v + b.v}; }
    static I32 sub(I32 a, I32 b) { return {a.v - b.v}; }
    static I32 mul(I32 a, I32 b) { return {a.v * b.v}; }
    static std::int32_t word(std::uint32_t v, int half) {
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(v >> (16 * half)));
    }
    static I32 madd(I32 a, I32 b) {
        // Two products of 16-bit words: each fits 31 bits, their sum 32 bits
        // unsigned (only -32768 * -32768 twice reaches 2^31).
        const auto lo = static_cast<std::uint32_t>(word(a.v, 0) * word(b.v, 0));
        const auto hi = static_cast<std::uint32_t>(word(a.v, 1) * word(b.v, 1));
        return {lo + hi};
    }
    static std::int32_t s(I32 a) { return static_cast<std::int32_t>(a.v); }
    static I32 min(I32 a, I32 b) { return s(a) < s(b) ? a : b; }
    static I32 abs(I32 a) { return s(a) < 0 ? I32{0u - a.v} : a; }
    static Mask gt(I32 a, I32 b) { return s(a) > s(b); }
    static Mask both(Mask a, Mask b) { return a & b; }
    static Mask either(Mask a, Mask b) { return a | b; }
    static Mask differ(Mask a, Mask b) { return a != b; }
    static Mask and_le(Mask m, I32 a, I32 b) { return m & !gt(a, b); }
    static constexpr bool side_is_inside = false;
    static Mask side(I32 lo, I32 x, I32 hi) { return gt(lo, x) | gt(x, hi); }
    static I32 count(I32 acc, Mask m) { return {acc.v + static_cast<std::uint32_t>(m)}; }
    static std::uint32_t total(I32 acc) { return acc.v; }
    static std::uint32_t bits(Mask m) { return m ? 1u : 0u; }

    struct Pixels {
        std::uint32_t r, g, b;
    };
    static Pixels load_pixels(const std::uint8_t* p) { return {p[0], p[1], p[2]}; }

    // No words here: the products are 32-bit, exact wherever the word ones are.
    struct Wide {
        I32 r, g, b;
    };
    using Words = Wide;
    struct WordRow {
        I32 m0, m1, m2;
    };
    static Wide wide(const Pixels& px, int) { return {{px.r}, {px.g}, {px.b}}; }
    static Words words(const Pixels& px, int g) { return wide(px, g); }
    static WordRow word_row(std::int32_t m0, std::int32_t m1, std::int32_t m2) {
        return {splat(m0), splat(m1), splat(m2)};
    }
    static I32 dot(const Words& w, const WordRow& m) {
        return add(add(mul(w.r, m.m0), mul(w.g, m.m1)), mul(w.b, m.m2));
    }
    static I32 dot_from(I32 acc, const Words& w, const WordRow& m) { return add(acc, dot(w, m)); }

    struct Column {
        std::int64_t step;
        Column(std::int64_t s, int) : step(s) {}
    };
    static Wide load_column(const Column&, const std::uint8_t* p) { return wide(load_pixels(p), 0); }

    // No branches: random-looking pixels would mispredict them.
    static void store_mask(std::uint8_t* o, const Mask (&m)[groups]) { o[0] = static_cast<std::uint8_t>(m[0]); }
    static void store_grey(std::uint8_t* o, const Mask (&m)[groups], const I32 (&v2)[groups]) {
        o[0] = static_cast<std::uint8_t>((v2[0].v >> 8) & (0u - static_cast<std::uint32_t>(m[0])));
    }

    struct XY {
        I32 x, y;
    };
    static std::uint32_t load_u32(const std::uint8_t* p) {
        std::uint32_t v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    // Two 4-byte loads rather than one of 8, which the compiler's vectoriser
    // would not split into x and y.
    static XY load_xy(const std::uint8_t* p) { return {{load_u32(p)}, {load_u32(p + 4)}}; }
    struct Centre {
        I32 x, y;
    };
    static Centre centre(std::int32_t cx, std::int32_t cy) { return {splat(cx), splat(cy)}; }
    // The pair as two lanes' worth: within the callers' |d| <= 32767 the words
    // would hold the same values, and this form the compiler vectorises.
    struct Offsets {
        I32 dx, dy;
    };
    static Offsets offsets(const std::uint8_t* p, const Centre& c) {
        const XY q = load_xy(p);
        return {sub(q.x, c.x), sub(q.y, c.y)};
    }
    static I32 madd(const Offsets& a, const Offsets& b) { return add(mul(a.dx, b.dx), mul(a.dy, b.dy)); }

    // Eight bytes at a time: each byte's top bit set when the byte is nonzero
    // (no carry crosses bytes), then the eight top bits gathered by one
    // multiply whose partial products never overlap.
    static std::uint64_t nonzero64(const std::uint8_t* p) {
        std::uint64_t bits = 0;
        if constexpr (std::endian::native == std::endian::little) {
            constexpr std::uint64_t low7 = 0x7F7F7F7F7F7F7F7Full, high = 0x8080808080808080ull;
            for (int q = 0; q < 8; ++q) {
                std::uint64_t x;
                std::memcpy(&x, p + 8 * q, sizeof x);
                const std::uint64_t top = (((x & low7) + low7) | x) & high;
                bits |= ((top >> 7) * 0x0102040810204080ull >> 56) << (8 * q);
            }
        } else {
            for (int j = 0; j < 64; ++j) bits |= static_cast<std::uint64_t>(p[j] != 0) << j;
        }
        return bits;
    }
};

}  // namespace
}  // namespace kestrune
