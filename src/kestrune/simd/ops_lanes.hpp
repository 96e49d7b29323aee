// The part of the vocabulary (ops_scalar.hpp) that the x86 sets spell alike
// over their own vector type I32: the channel and word-pair groupings, and the
// word dot product built from the set's splat, add and madd. A set S derives
// from LaneOps<S> and overrides what it does in fewer instructions. S is not
// complete where it names its base, so what needs S::I32 waits for a use:
// nested types, and deduced return types. (I32 as a template argument would
// lose the vector types' aliasing attributes.) Internal linkage like the sets
// themselves, so each set's file compiles its own copy under its own flags.
#pragma once

#include <cstdint>

namespace kestrune {
namespace {

template <class S>
struct LaneOps {
    struct Wide {
        typename S::I32 r, g, b;
    };
    struct Words {
        typename S::I32 rg, b0;  // (R, G) and (B, 0) word pairs
    };
    struct WordRow {
        typename S::I32 rg, b0;
    };
    struct XY {
        typename S::I32 x, y;
    };

    static auto pair(std::int32_t lo, std::int32_t hi) {
        return S::splat(static_cast<std::int32_t>((static_cast<std::uint32_t>(lo) & 0xFFFFu) |
                                                  (static_cast<std::uint32_t>(hi) << 16)));
    }
    static WordRow word_row(std::int32_t m0, std::int32_t m1, std::int32_t m2) { return {pair(m0, m1), pair(m2, 0)}; }
    static auto dot(const Words& w, const WordRow& m) { return S::add(S::madd(w.rg, m.rg), S::madd(w.b0, m.b0)); }
    static auto dot_from(auto acc, const Words& w, const WordRow& m) { return S::add(acc, dot(w, m)); }
};

}  // namespace
}  // namespace kestrune
