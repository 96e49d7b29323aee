// The masking kernels over one packed run of pixels, written once over an
// instruction set's vocabulary (S). Everything here has internal linkage, so
// no copy built for a wider instruction set can stand in for another at link
// time.
#pragma once

#include <cstdint>
#include <utility>

#include "../platform.hpp"
#include "../simd/ops_scalar.hpp"
#include "colour_test.hpp"

namespace kestrune {
namespace {

enum class Out { mask, grey };

// One block of S's pixels from p to q; the groups are spelled out at compile
// time, so that every register index is a constant.
template <class S, bool words, Out out, int... g>
KESTRUNE_ALWAYS_INLINE void run_block(const ColourTest<S, words>& test, const std::uint8_t* p, std::uint8_t* q,
                                      std::integer_sequence<int, g...>) {
    const typename S::Pixels px = S::load_pixels(p);
    typename S::I32 v2[S::groups];
    const typename S::Mask ok[S::groups] = {test.template group<out == Out::grey>(px, g, v2[g])...};
    if constexpr (out == Out::mask) S::store_mask(q, ok);
    else S::store_grey(q, ok, v2);
}

// Blocks of S's pixels from `in` to `out`; the last partial block is redone as
// the last full one (bytes written twice, which is why the output must not
// overlap the image), and runs shorter than a block go to the one-lane set.
// Never touches bytes past the run.
template <class S, bool words, Out out>
void run_blocks(const std::uint8_t* in, std::uint8_t* o, std::int64_t n, const LchBounds& b) {
    constexpr std::int64_t block = S::lanes * S::groups;
    if constexpr (block > 1) {
        if (n < block) return run_blocks<Scalar, false, out>(in, o, n, b);
    }
    const ColourTest<S, words> test(b);
    constexpr auto groups = std::make_integer_sequence<int, S::groups>{};
    std::int64_t x = 0;
    for (; x + block <= n; x += block) run_block<S, words, out>(test, in + 3 * x, o + x, groups);
    if (x < n) run_block<S, words, out>(test, in + 3 * (n - block), o + (n - block), groups);
}

template <class S, Out out>
void run_packed(const std::uint8_t* in, std::uint8_t* o, std::int64_t n, const LchBounds& bounds) {
    // One copy of the record on our stack: the byte stores cannot alias it.
    const LchBounds b = bounds;
    if (fits_words(b)) run_blocks<S, true, out>(in, o, n, b);
    else run_blocks<S, false, out>(in, o, n, b);
}

template <class S>
void mask_run(const std::uint8_t* in, std::uint8_t* o, std::int64_t n, const LchBounds& b) {
    run_packed<S, Out::mask>(in, o, n, b);
}

template <class S>
void grey_run(const std::uint8_t* in, std::uint8_t* o, std::int64_t n, const LchBounds& b) {
    run_packed<S, Out::grey>(in, o, n, b);
}

}  // namespace
}  // namespace kestrune
