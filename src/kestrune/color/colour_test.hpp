// The colour test, written once over the vocabulary of an instruction set (S):
// one lane of it is the portable per-pixel test, wider sets test a group of
// pixels at once. 32-bit wrapping sums and the six strict comparisons.
#pragma once

#include <climits>
#include <cstdint>
#include <type_traits>

#include "../types.hpp"

namespace kestrune {
namespace {

// The forms the word path sums: v0 - v1, v0 + v1 and v2, as rows of three
// coefficients (64-bit, so that fits_words can see those past 16 bits).
struct WordForms {
    std::int64_t row[3][3];
};

inline WordForms word_forms(const LchBounds& b) {
    WordForms f{};
    for (int k = 0; k < 3; ++k) {
        f.row[0][k] = std::int64_t{b.M[k]} - b.M[3 + k];
        f.row[1][k] = std::int64_t{b.M[k]} + b.M[3 + k];
        f.row[2][k] = b.M[6 + k];
    }
    return f;
}

// True when every coefficient of the word forms fits a signed 16-bit word:
// then the sums are multiply-adds of words, exact (below 2^25 in magnitude),
// so nothing wraps and v0 > 0, v1 > 0 is |v0 - v1| < v0 + v1.
inline bool fits_words(const LchBounds& b) {
    const WordForms f = word_forms(b);
    bool fits = true;
    for (const auto& row : f.row)
        for (const std::int64_t m : row) fits = fits && m >= -32768 && m <= 32767;
    return fits;
}

// A strict range test lo < x < hi as one signed compare, x - bias <= max, in
// wrapping 32-bit arithmetic: x - (lo + 1) taken unsigned must be at most
// (hi - 1) - (lo + 1); flipping the top bit turns that unsigned test signed.
// An empty range has no such form (`empty` says so).
struct OpenRange {
    std::int32_t bias, max;
    bool empty;
};

inline OpenRange open_range(std::int32_t lo, std::int32_t hi) {
    if (static_cast<std::int64_t>(lo) + 1 > static_cast<std::int64_t>(hi) - 1) return {0, 0, true};
    const std::uint32_t first = static_cast<std::uint32_t>(lo) + 1u;
    const std::uint32_t last = static_cast<std::uint32_t>(hi) - 1u - first;  // at most 2^32 - 3
    return {static_cast<std::int32_t>(first ^ 0x80000000u), static_cast<std::int32_t>(last ^ 0x80000000u), false};
}

// `words`: the sums are the word forms, taken as multiply-adds of words
// (fits_words must hold); else v0, v1, v2 as 32-bit products, which wrap as
// the portable definition does.
template <class S, bool words>
struct ColourTest {
    using I32 = typename S::I32;
    using Mask = typename S::Mask;

    typename S::WordRow row[3];
    I32 m[9];  // M, or on the word path the forms
    // Every constant is the second operand of its operation, so a set can take
    // it from memory where registers run short.
    I32 floor, i_bias, i_max, c_bias, c_max, minus_i_bias;

    explicit ColourTest(const LchBounds& b) {
        if constexpr (words) {
            // The forms, also as 32-bit lanes for a set whose words are its lanes.
            const WordForms f = word_forms(b);
            for (int r = 0; r < 3; ++r) {
                const auto at = [&f, r](int k) { return static_cast<std::int32_t>(f.row[r][k]); };
                row[r] = S::word_row(at(0), at(1), at(2));
                for (int k = 0; k < 3; ++k) m[3 * r + k] = S::splat(at(k));
            }
        } else {
            for (int k = 0; k < 9; ++k) m[k] = S::splat(b.M[k]);
        }
        OpenRange i = open_range(b.i[0], b.i[1]);
        const OpenRange c = open_range(b.c[0], b.c[1]);
        const bool empty = i.empty || c.empty;
        // Nothing passes an empty range. The 32-bit sums must exceed a floor of
        // INT32_MAX then; the word sums, below 2^25, are put where the
        // intensity test fails (v2 + 2^30 is never at most INT32_MIN).
        floor = S::splat(empty ? INT32_MAX : 0);
        if (words && empty) i = {-(1 << 30), INT32_MIN, true};
        i_bias = S::splat(i.bias);
        minus_i_bias = S::splat(static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(i.bias)));
        i_max = S::splat(i.max);
        c_bias = S::splat(c.bias);
        c_max = S::splat(c.max);
    }

    // Form (or row of M) r times the channels.
    I32 sum(const typename S::Wide& ch, int r) const {
        return S::add(S::add(S::mul(ch.r, m[3 * r]), S::mul(ch.g, m[3 * r + 1])), S::mul(ch.b, m[3 * r + 2]));
    }
    I32 sum(const typename S::Words& ch, int r) const
        requires(words && !std::is_same_v<typename S::Words, typename S::Wide>)
    {
        return S::dot(ch, row[r]);
    }

    // acc + form (or row) r times the channels.
    I32 sum_from(I32 acc, const typename S::Wide& ch, int r) const { return S::add(acc, sum(ch, r)); }
    I32 sum_from(I32 acc, const typename S::Words& ch, int r) const
        requires(words && !std::is_same_v<typename S::Words, typename S::Wide>)
    {
        return S::dot_from(acc, ch, row[r]);
    }

    // v0 > 0, v1 > 0, i0 < v2 < i1 and c0 < v0 + v1 < c1; `shifted` is
    // v2 - i_bias. The word path has v0 - v1 and v0 + v1 in place of v0, v1.
    Mask inside(I32 a, I32 b, I32 shifted) const {
        Mask ok;
        I32 tmp;
        if constexpr (words) {
            ok = S::gt(b, S::abs(a));
            tmp = b;
        } else {
            ok = S::gt(S::min(a, b), floor);
            tmp = S::add(a, b);
        }
        ok = S::and_le(ok, shifted, i_max);
        return S::and_le(ok, S::sub(tmp, c_bias), c_max);
    }

    // The test, and v2 when `want_v2` (else, where the set accumulates in its
    // multiply-add, v2 - i_bias is taken in one sum).
    template <bool want_v2, class Channels>
    Mask inside(const Channels& ch, I32& v2) const {
        if constexpr (want_v2 || !S::accumulates) {
            v2 = sum(ch, 2);
            return inside(sum(ch, 0), sum(ch, 1), S::sub(v2, i_bias));
        } else {
            return inside(sum(ch, 0), sum(ch, 1), sum_from(minus_i_bias, ch, 2));
        }
    }

    // Group g of a block of pixels.
    template <bool want_v2 = true>
    Mask group(const typename S::Pixels& px, int g, I32& v2) const {
        if constexpr (words) return inside<want_v2>(S::words(px, g), v2);
        else return inside<want_v2>(S::wide(px, g), v2);
    }
};

}  // namespace
}  // namespace kestrune
