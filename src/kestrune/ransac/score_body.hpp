// Inlier counting of the shape fits, written once over an instruction set's
// vocabulary (S); points left over after the last whole vector are counted by
// the one-lane set, which also walks rows that are not packed (`row_bytes`
// apart; a wider set takes packed rows only). Everything here has internal
// linkage.
#pragma once

#include <cstdint>
#include <cstring>

#include "../simd/ops_scalar.hpp"
#include "score.hpp"

namespace kestrune {
namespace {

// Rows per block: the per-lane counters are 32-bit.
constexpr std::int64_t kBlock = std::int64_t{1} << 30;

// How many of the whole vectors of points from `data` `hit` flags; k is left
// at the first point not counted.
template <class S, class Hit>
std::int64_t count_hits(const std::uint8_t* data, std::int64_t n, std::int64_t row_bytes, std::int64_t& k, Hit hit) {
    std::int64_t total = 0;
    while (n - k >= S::lanes) {
        const std::int64_t whole = (n - k) / S::lanes * S::lanes;
        const std::int64_t end = k + (whole < kBlock ? whole : kBlock);
        typename S::I32 acc = S::splat(0);
        for (; k < end; k += S::lanes) acc = S::count(acc, hit(data + row_bytes * k));
        total += S::total(acc);
    }
    return total;
}

// How many of `k` points the counted sides say are inside.
template <class S>
std::int64_t inside_of(std::int64_t sides, std::int64_t k) {
    return S::side_is_inside ? sides : k - sides;
}

// The band test: e = c0*x + c1*y, inside when e + k_lo <= 0 <= e + k_hi.
template <class S>
struct BandTest {
    typename S::I32 c0, c1, k_hi, k_lo, zero;
    explicit BandTest(const Band& b)
        : c0(S::splat(b.c0)), c1(S::splat(b.c1)), k_hi(S::splat(b.k_hi)), k_lo(S::splat(b.k_lo)), zero(S::splat(0)) {}
    typename S::Mask side(const typename S::XY& q) const {
        const auto e = S::add(S::mul(c0, q.x), S::mul(c1, q.y));
        return S::side(S::add(e, k_lo), zero, S::add(e, k_hi));
    }
    bool inside(const typename S::XY& q) const { return S::side_is_inside == static_cast<bool>(side(q)); }
};

template <class S>
std::int64_t band_rows(const std::uint8_t* data, std::int64_t n, std::int64_t row_bytes, const Band& b) {
    const BandTest<S> band(b);
    std::int64_t k = 0;
    const std::int64_t sides =
        count_hits<S>(data, n, row_bytes, k, [&](const std::uint8_t* p) { return band.side(S::load_xy(p)); });
    std::int64_t in = inside_of<S>(sides, k);
    if constexpr (S::lanes > 1) in += band_rows<Scalar>(data + 8 * k, n - k, 8, b);
    return in;
}

template <class S>
std::int64_t band_count(const std::uint8_t* data, std::int64_t n, const Band& b) {
    return band_rows<S>(data, n, 8, b);
}

// Points in exactly one of the two bands.
template <class S>
std::int64_t band_xor_rows(const std::uint8_t* data, std::int64_t n, std::int64_t row_bytes, const Band& b1,
                           const Band& b2) {
    const BandTest<S> one(b1), two(b2);
    std::int64_t k = 0;
    std::int64_t hits = count_hits<S>(data, n, row_bytes, k, [&](const std::uint8_t* p) {
        const typename S::XY q = S::load_xy(p);
        return S::differ(one.side(q), two.side(q));  // either side: the same lanes differ
    });
    if constexpr (S::lanes > 1) hits += band_xor_rows<Scalar>(data + 8 * k, n - k, 8, b1, b2);
    return hits;
}

template <class S>
std::int64_t band_xor_count(const std::uint8_t* data, std::int64_t n, const Band& b1, const Band& b2) {
    return band_xor_rows<S>(data, n, 8, b1, b2);
}

// The ring test: lo <= (x-cx)^2 + (y-cy)^2 <= hi, by one multiply-add of the
// (dx, dy) words (the caller guarantees |dx|, |dy| <= 32767 and 0 <= lo, hi).
template <class S>
std::int64_t ring_count(const std::uint8_t* data, std::int64_t n, const Ring32& r) {
    const typename S::Centre centre = S::centre(r.cx, r.cy);
    const typename S::I32 lo = S::splat(r.lo), hi = S::splat(r.hi);
    std::int64_t k = 0;
    const std::int64_t sides = count_hits<S>(data, n, 8, k, [&](const std::uint8_t* p) {
        const auto d = S::offsets(p, centre);
        return S::side(lo, S::madd(d, d), hi);
    });
    std::int64_t in = inside_of<S>(sides, k);
    if constexpr (S::lanes > 1) in += ring_count<Scalar>(data + 8 * k, n - k, r);
    return in;
}

inline std::int32_t load_i32(const std::uint8_t* p) {
    std::int32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The conic c at (px, py), in the written order (the build never contracts
// the products).
inline double conic_at(const double* c, double px, double py) {
    return c[0] * (px * px) + c[1] * px * py + c[2] * (py * py) + c[3] * px + c[4] * py + c[5];
}

// Between two ellipses, in doubles (each set's compiler vectorises this loop
// its own way).
template <class S>
std::int64_t shell_rows(const std::uint8_t* data, std::int64_t n, std::int64_t row_bytes, const Shell& s) {
    const double* b1 = s.b1;
    const double* b2 = s.b2;
    std::int64_t total = 0;
    for (std::int64_t start = 0; start < n; start += kBlock) {
        const std::int64_t end = n - start < kBlock ? n : start + kBlock;
        std::uint32_t count = 0;
        for (std::int64_t k = start; k < end; ++k) {
            const double px = load_i32(data + row_bytes * k), py = load_i32(data + row_bytes * k + 4);
            count += static_cast<std::uint32_t>(conic_at(b1, px, py) >= 0) &
                     static_cast<std::uint32_t>(conic_at(b2, px, py) <= 0);
        }
        total += count;
    }
    return total;
}

template <class S>
std::int64_t shell_count(const std::uint8_t* data, std::int64_t n, const Shell& s) {
    return shell_rows<S>(data, n, 8, s);
}

}  // namespace
}  // namespace kestrune
