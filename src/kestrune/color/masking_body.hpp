// The masking loop, compiled once per instruction set by masking_<set>.cpp.
// A set supplies a struct of small operations (listed below); everything here
// has internal linkage, so no copy built for a wider instruction set can stand
// in for another at link time.
#pragma once

#include <climits>
#include <cstdint>
#include <utility>

#include "masking_internal.hpp"

namespace kestrune::masking {
namespace {

// What a set provides (all static, all inline):
//   lanes, groups          pixels per block; groups of 32-bit lanes per block
//   Pixels, Lanes          a loaded block; what one group gives the store
//   Consts(bounds)         the bounds in registers, built once per call
//   load(p)                the 3 * lanes bytes of a block, reading nothing else
//   spread<words>(k, px, g)  group g's channels: (R,G) and (B,0) word pairs when
//                            `words`, else R, G, B
//   dot<words>(k, ch, r)   row r of M times the channels, wrapping 32-bit sums
//   inside(k, v0, v1, v2)  the six strict comparisons
//   select<op>(ok, v2)     what the group writes: the test, or the grey byte
//   store<op>(groups, o)   `lanes` output bytes

// True when every M entry fits a signed 16-bit word: then sums of 16-bit
// products (multiply-add of words into 32 bits) are exact and cannot wrap.
inline bool fits_words(const LchBounds& b) {
    for (std::int32_t m : b.M)
        if (m < -32768 || m > 32767) return false;
    return true;
}

// (lo, hi) as the 32-bit lane of a word multiply-add: lo in the low word.
inline std::uint32_t word_pair(std::int32_t lo, std::int32_t hi) {
    return (static_cast<std::uint32_t>(lo) & 0xFFFFu) | (static_cast<std::uint32_t>(hi) << 16);
}

// A strict range test lo < x < hi as one signed compare, limit > x - bias, in
// wrapping 32-bit arithmetic: x - (lo + 1) taken unsigned must be at most
// (hi - 1) - (lo + 1); flipping the top bit turns that unsigned test signed.
struct OpenRange {
    std::int32_t bias, limit;
};

inline OpenRange open_range(std::int32_t lo, std::int32_t hi) {
    if (static_cast<std::int64_t>(lo) + 1 > static_cast<std::int64_t>(hi) - 1) return {0, INT32_MIN};  // empty
    const std::uint32_t first = static_cast<std::uint32_t>(lo) + 1u;
    const std::uint32_t count = static_cast<std::uint32_t>(hi) - 1u - first + 1u;  // at most 2^32 - 2
    return {static_cast<std::int32_t>(first ^ 0x80000000u), static_cast<std::int32_t>(count ^ 0x80000000u)};
}

// Calls run(in, out, n) on packed runs of pixels (the whole image at once when
// image and output rows are back to back), and the portable code on rows whose
// pixels are not 3 bytes apart.
template <class PackedRun>
inline void walk_rows(const ImageView& image, const PlaneView& output, const LchBounds& b, Op op,
                      PackedRun&& run) {
    const std::int64_t rows = image.rows, cols = image.cols;
    if (rows <= 0 || cols <= 0) return;
    if (image.col_stride == 3) {
        if ((rows == 1 || (image.row_stride == 3 * cols && output.row_stride == cols))) {
            run(image.data, output.data, rows * cols);
            return;
        }
        for (std::int64_t y = 0; y < rows; ++y)
            run(image.data + y * image.row_stride, output.data + y * output.row_stride, cols);
        return;
    }
    for (std::int64_t y = 0; y < rows; ++y)
        run_scalar(image.data + y * image.row_stride, image.col_stride, output.data + y * output.row_stride, cols,
                   b, op);
}

// Group g of a block: its channels, the three sums, the test.
template <class Set, bool words, Op op, int g>
inline typename Set::Lanes group(const typename Set::Consts& k, const typename Set::Pixels& px) {
    const auto ch = Set::template spread<words>(k, px, g);
    const auto v0 = Set::template dot<words>(k, ch, 0);
    const auto v1 = Set::template dot<words>(k, ch, 1);
    const auto v2 = Set::template dot<words>(k, ch, 2);
    return Set::template select<op>(Set::inside(k, v0, v1, v2), v2);
}

// One block of Set::lanes pixels from p to o; the groups are spelled out at
// compile time so every register index is a constant.
template <class Set, bool words, Op op, int... g>
inline void block(const typename Set::Consts& k, const std::uint8_t* p, std::uint8_t* o,
                  std::integer_sequence<int, g...>) {
    const typename Set::Pixels px = Set::load(p);
    const typename Set::Lanes lanes[] = {group<Set, words, op, g>(k, px)...};
    Set::template store<op>(lanes, o);
}

// Runs the blocks over each packed run; the last partial block is redone as
// the last full one (same bytes written twice, which is why the output must
// not overlap the image), and runs shorter than one block go to the portable
// code. Never touches bytes past the run.
template <class Set, bool words, Op op>
void run_image(const ImageView& image, const PlaneView& output, const LchBounds& b) {
    const typename Set::Consts k(b);
    constexpr std::int64_t lanes = Set::lanes;
    constexpr auto groups = std::make_integer_sequence<int, Set::groups>{};
    walk_rows(image, output, b, op, [&](const std::uint8_t* in, std::uint8_t* out, std::int64_t n) {
        if (n < lanes) {
            run_scalar(in, 3, out, n, b, op);
            return;
        }
        std::int64_t x = 0;
        for (; x + lanes <= n; x += lanes) block<Set, words, op>(k, in + 3 * x, out + x, groups);
        if (x < n) block<Set, words, op>(k, in + 3 * (n - lanes), out + (n - lanes), groups);
    });
}

template <class Set>
void run_image(const ImageView& image, const PlaneView& output, const LchBounds& b, Op op) {
    const bool words = fits_words(b);
    if (op == Op::mask)
        words ? run_image<Set, true, Op::mask>(image, output, b) : run_image<Set, false, Op::mask>(image, output, b);
    else
        words ? run_image<Set, true, Op::selective>(image, output, b)
              : run_image<Set, false, Op::selective>(image, output, b);
}

}  // namespace
}  // namespace kestrune::masking
