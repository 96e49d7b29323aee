// The portable 128-bit integer against the compiler's own, and the circle fit
// computed with each: the build without a native type must give the same fits.
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "check.hpp"
#include "kestrune/int128.hpp"
#include "kestrune/platform.hpp"
#include "kestrune/ransac/geometry.hpp"

#if defined(__SIZEOF_INT128__)

using namespace kestrune;

namespace {

__extension__ typedef __int128 native;
__extension__ typedef unsigned __int128 native_unsigned;

Int128 portable(native v) {
    const auto u = static_cast<native_unsigned>(v);
    return Int128::from_words(static_cast<std::uint64_t>(u >> 64), static_cast<std::uint64_t>(u));
}

bool same(Int128 a, native b) {
    const Int128 c = portable(b);
    return a.high_word() == c.high_word() && a.low_word() == c.low_word();
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

const native kMax = static_cast<native>(~native_unsigned{0} >> 1);
const native kMin = -kMax - 1;

// Every bit length from 0 to 128, both signs.
native random_value(std::mt19937_64& rng) {
    const auto words = (static_cast<native_unsigned>(rng()) << 64) | rng();
    return static_cast<native>(words) >> (rng() % 128);
}

// Values at and next to the points where a double rounds: a 53-bit head, then
// the half-way bit, then a tail that is empty, one low bit or all ones.
std::vector<native> rounding_edges(std::mt19937_64& rng) {
    std::vector<native> values = {0, 1, -1, kMax, kMin, kMin + 1, INT64_MAX, INT64_MIN,
                                  static_cast<native>(UINT64_MAX), static_cast<native>(UINT64_MAX) + 1};
    for (int length = 54; length <= 127; ++length) {
        const native_unsigned head = (rng() >> 11) | (std::uint64_t{1} << 52);  // 53 bits
        for (int odd = 0; odd < 2; ++odd) {
            const native_unsigned base = ((head & ~native_unsigned{1}) | static_cast<unsigned>(odd)) << (length - 53);
            const native_unsigned half = native_unsigned{1} << (length - 54);
            for (const native_unsigned tail : {native_unsigned{0}, half, half - 1, half + 1, native_unsigned{1}}) {
                const auto v = static_cast<native>(base | tail);
                values.push_back(v);
                values.push_back(-v);
            }
        }
    }
    return values;
}

}  // namespace

TEST(int128_arithmetic_matches_native) {
    std::mt19937_64 rng(2026);
    for (int it = 0; it < 200000; ++it) {
        const native a = random_value(rng), b = random_value(rng);
        const Int128 pa = portable(a), pb = portable(b);
        const auto ua = static_cast<native_unsigned>(a), ub = static_cast<native_unsigned>(b);
        CHECK(same(pa + pb, static_cast<native>(ua + ub)));
        CHECK(same(pa - pb, static_cast<native>(ua - ub)));
        CHECK(same(pa * pb, static_cast<native>(ua * ub)));
        CHECK(same(-pa, static_cast<native>(native_unsigned{0} - ua)));
        CHECK((pa < pb) == (a < b) && (pa == pb) == (a == b) && (pa > pb) == (a > b));
        CHECK(static_cast<std::int32_t>(pa) == static_cast<std::int32_t>(a));
        CHECK(static_cast<std::int64_t>(pa) == static_cast<std::int64_t>(a));
        if (b != 0 && !(a == kMin && b == -1)) CHECK(same(pa / pb, a / b));
    }
}

TEST(int128_division_signs_and_small_quotients) {
    const native cases[][2] = {{7, 2}, {-7, 2}, {7, -2}, {-7, -2}, {1, 3}, {-1, 3}, {kMin, 1}, {kMin, 2},
                               {kMin, kMax}, {kMax, kMin}, {kMin, kMin}, {kMax, -1}, {native{1} << 100, 3},
                               {-(native{1} << 97) + 5, (native{1} << 66) - 1}};
    for (const auto& c : cases) CHECK(same(portable(c[0]) / portable(c[1]), c[0] / c[1]));
}

TEST(int128_to_double_is_correctly_rounded) {
    std::mt19937_64 rng(7);
    std::vector<native> values = rounding_edges(rng);
    for (int it = 0; it < 200000; ++it) values.push_back(random_value(rng));
    for (const native v : values) CHECK(same_bits(static_cast<double>(portable(v)), static_cast<double>(v)));
    // A tie goes to the even neighbour; one bit beyond it goes up.
    const native tie = (native{1} << 100) + (native{1} << 47);
    CHECK(static_cast<double>(portable(tie)) == 0x1p100);
    CHECK(static_cast<double>(portable(tie + 1)) == 0x1p100 + 0x1p48);
}

TEST(circle_portable_int128_matches_native) {
    std::mt19937_64 rng(11);
    const std::int32_t lo = std::numeric_limits<std::int32_t>::min(), hi = std::numeric_limits<std::int32_t>::max();
    std::uniform_int_distribution<std::int32_t> near(0, 2000), full(lo, hi), edge(0, 40);
    const auto coordinate = [&](int range) -> std::int32_t {
        switch (range) {
            case 0: return near(rng);
            case 1: return full(rng);
            case 2: return hi - edge(rng);
            default: return lo + edge(rng);
        }
    };
    int found = 0;
    for (int it = 0; it < 100000; ++it) {
        Point p[3];
        for (auto& q : p) q = {coordinate(static_cast<int>(rng() % 4)), coordinate(static_cast<int>(rng() % 4))};
        Circle a{-1, -1, -1}, b{-1, -1, -1};
        const int ka = points_to_circle_in<Int128>(p, a), kb = points_to_circle_in<native>(p, b);
        CHECK(ka == kb);
        if (ka == 1) {
            ++found;
            CHECK(a.x == b.x && a.y == b.y && a.r == b.r);
        }
    }
    CHECK(found > 1000);  // the comparison covered real circles, not only refusals
}

#endif
