#include "fits.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "../platform.hpp"
#include "../simd/ops_scalar.hpp"
#include "geometry.hpp"
#include "sampler.hpp"
#include "score.hpp"
#include "score_body.hpp"

namespace kestrune {

namespace {

// Packed rows take the dispatched kernels, others the one-lane ones, which
// honour the view's row stride.
Band band_of(const Line& l, std::int32_t delta) {
    std::int32_t hi[3], lo[3];
    line_coeffs(l, hi);
    line_shift(l, hi, delta);
    line_coeffs(l, lo);
    line_shift(l, lo, wrap_sub(0, delta));
    return {hi[0], hi[1], hi[2], lo[2]};
}

// Whether a point lies in the band: the counting kernels' one-lane test.
bool in_band(Point q, const Band& b) {
    const Scalar::XY xy{Scalar::splat(q.x), Scalar::splat(q.y)};
    return BandTest<Scalar>(b).inside(xy);
}

// Ring bounds as exact squares: |r +- delta| < 2^32, so they fit 64 bits.
struct WideRing {
    std::int64_t cx, cy;
    std::uint64_t lo, hi;
};

WideRing wide_ring(const Circle& c, std::int32_t delta) {
    const std::int64_t inner = std::int64_t{c.r} - delta, outer = std::int64_t{c.r} + delta;
    const auto inner_abs = static_cast<std::uint64_t>(inner < 0 ? -inner : inner);
    const auto outer_abs = static_cast<std::uint64_t>(outer < 0 ? -outer : outer);
    return {c.x, c.y, inner_abs * inner_abs, outer_abs * outer_abs};
}

// Exact for every int32 input: squares below 2^64, the sum saturated (a
// saturated sum lies beyond every bound, as the bound does not exceed
// (2^32 - 2)^2).
std::int64_t ring_count_wide(const PointsView& ps, std::int64_t n, const WideRing& r) {
    std::int64_t count = 0;
    for (std::int64_t k = 0; k < n; ++k) {
        const Point q = ps.load(k);
        const std::int64_t dx = q.x - r.cx, dy = q.y - r.cy;
        const auto ax = static_cast<std::uint64_t>(dx < 0 ? -dx : dx);
        const auto ay = static_cast<std::uint64_t>(dy < 0 ? -dy : dy);
        std::uint64_t d2;
        if (platform::add_overflow(ax * ax, ay * ay, &d2)) d2 = UINT64_MAX;
        count += (r.lo <= d2) & (d2 <= r.hi);
    }
    return count;
}

struct BoundingBox {
    std::int64_t xmin, xmax, ymin, ymax;
};

// In 32 bits, one coordinate read at a time: inlined with the packed rows'
// stride, the loop takes several points at a time.
KESTRUNE_ALWAYS_INLINE BoundingBox box_at_stride(const std::uint8_t* data, std::int64_t n, std::int64_t stride) {
    std::int32_t xmin = INT32_MAX, xmax = INT32_MIN, ymin = INT32_MAX, ymax = INT32_MIN;
    for (std::int64_t k = 0; k < n; ++k) {
        std::int32_t x, y;
        std::memcpy(&x, data + k * stride, sizeof x);
        std::memcpy(&y, data + k * stride + 4, sizeof y);
        xmin = x < xmin ? x : xmin;
        xmax = x > xmax ? x : xmax;
        ymin = y < ymin ? y : ymin;
        ymax = y > ymax ? y : ymax;
    }
    return {xmin, xmax, ymin, ymax};
}

BoundingBox bounding_box(const PointsView& ps, std::int64_t n) {
    return ps.packed() ? box_at_stride(ps.data, n, sizeof(Point)) : box_at_stride(ps.data, n, ps.row_stride);
}

// The 32-bit ring loop is exact when every point lies within 32767 of the
// centre on both axes: squared distances stay below INT32_MAX, so bounds
// beyond it clamp harmlessly.
bool narrow_ring(const BoundingBox& box, const Circle& c, const WideRing& w, Ring32& out) {
    const std::int64_t dx = std::max(std::abs(box.xmin - c.x), std::abs(box.xmax - c.x));
    const std::int64_t dy = std::max(std::abs(box.ymin - c.y), std::abs(box.ymax - c.y));
    if (dx > 32767 || dy > 32767) return false;
    const auto clamp = [](std::uint64_t v) { return static_cast<std::int32_t>(std::min<std::uint64_t>(v, INT32_MAX)); };
    out = {c.x, c.y, clamp(w.lo), clamp(w.hi)};
    return true;
}

// Flags every row (up to the mask's end) by `inside`.
template <typename Inside>
void write_mask(const PointsView& ps, const MaskView& ms, std::int64_t n, Inside inside) {
    const std::int64_t m = std::min(n, ms.size);
    for (std::int64_t k = 0; k < m; ++k) ms.data[k] = inside(ps.load(k)) ? 1 : 0;
}

// The loop every fit runs: `count` times draw K distinct rows, build a
// candidate from them (build returns false for a sample it rejects), score it,
// and keep the first of the best. score may set the candidate to what is kept.
template <int K, class Model, class Build, class Score>
Model best_candidate(std::uint32_t seed, const PointsView& ps, std::int32_t count, Build build, Score score) {
    Model best{};
    const std::int64_t n = ps.rows;
    if (n < K || count <= 0) return best;
    std::int64_t best_score = 0;
    IndexSampler sampler{seed, static_cast<std::uint32_t>(n)};
    for (std::int32_t it = 0; it < count; ++it) {
        std::int64_t idx[K];
        sampler.draw(idx);
        Point p[K];
        for (int k = 0; k < K; ++k) p[k] = ps.load(idx[k]);
        Model curr;
        if (!build(p, curr)) continue;
        const std::int64_t score_of = score(curr);
        if (score_of > best_score) {
            best = curr;
            best_score = score_of;
        }
    }
    return best;
}

}  // namespace

Line ransac_line_with(const ScoreKernels& kernels, std::uint32_t seed, const PointsView& ps, const MaskView& ms,
                      std::int32_t count, std::int32_t delta, double slope_limit) {
    const double slope2 = slope_limit * slope_limit;
    const auto build = [slope2](const Point (&p)[2], Line& l) {
        if (!points_to_line(p, l)) return false;
        const std::int32_t length2 = wrap_add(wrap_mul(l.nx, l.nx), wrap_mul(l.ny, l.ny));
        return !(slope2 * static_cast<double>(length2) >= static_cast<double>(wrap_mul(l.nx, l.nx)));
    };
    const auto score = [&](const Line& l) {
        const Band band = band_of(l, delta);
        return ps.packed() ? kernels.band(ps.data, ps.rows, band) : band_rows<Scalar>(ps.data, ps.rows, ps.row_stride, band);
    };
    const Line best = best_candidate<2, Line>(seed, ps, count, build, score);
    const Band band = band_of(best, delta);
    write_mask(ps, ms, ps.rows, [&](Point q) { return in_band(q, band); });
    return best;
}

Line2 ransac_line2_with(const ScoreKernels& kernels, std::uint32_t seed, const PointsView& ps, const MaskView& ms,
                        std::int32_t count, double ratio, std::int32_t delta) {
    const double ratio2 = ratio * ratio;
    const auto build = [ratio2](const Point (&p)[4], Line2& l) {
        if (!points_to_line(p, l.l1) || !points_to_line(p + 2, l.l2)) return false;
        const std::int32_t ncos = wrap_add(wrap_mul(l.l1.nx, l.l2.nx), wrap_mul(l.l1.ny, l.l2.ny));
        const std::int32_t n1 = wrap_add(wrap_mul(l.l1.nx, l.l1.nx), wrap_mul(l.l1.ny, l.l1.ny));
        const std::int32_t n2 = wrap_add(wrap_mul(l.l2.nx, l.l2.nx), wrap_mul(l.l2.ny, l.l2.ny));
        const double lhs = ratio2 * static_cast<double>(n1) * static_cast<double>(n2);
        return !(lhs > static_cast<double>(std::int64_t{ncos} * ncos));
    };
    const auto score = [&](const Line2& l) {
        const Band b1 = band_of(l.l1, delta), b2 = band_of(l.l2, delta);
        return ps.packed() ? kernels.band_xor(ps.data, ps.rows, b1, b2)
                           : band_xor_rows<Scalar>(ps.data, ps.rows, ps.row_stride, b1, b2);
    };
    const Line2 best = best_candidate<4, Line2>(seed, ps, count, build, score);
    const Band b1 = band_of(best.l1, delta), b2 = band_of(best.l2, delta);
    write_mask(ps, ms, ps.rows, [&](Point q) { return in_band(q, b1) || in_band(q, b2); });
    return best;
}

Circle ransac_circle_with(const ScoreKernels& kernels, std::uint32_t seed, const PointsView& ps,
                          std::int32_t count, std::int32_t min_r, std::int32_t max_r, std::int32_t delta) {
    const std::int64_t n = ps.rows;
    if (n < 3 || count <= 0) return Circle{};
    const BoundingBox box = bounding_box(ps, n);
    const bool near = std::max({-box.xmin, box.xmax, -box.ymin, box.ymax}) <= kCircle64Reach;
    const auto build = [min_r, max_r, near](const Point (&p)[3], Circle& c) {
        const int ok = near ? points_to_circle_near(p, c) : points_to_circle(p, c);
        return ok && !(c.r > max_r || c.r < min_r);
    };
    const auto score = [&](const Circle& c) {
        const WideRing wide = wide_ring(c, delta);
        Ring32 narrow;
        return ps.packed() && narrow_ring(box, c, wide, narrow) ? kernels.ring(ps.data, n, narrow)
                                                                : ring_count_wide(ps, n, wide);
    };
    return best_candidate<3, Circle>(seed, ps, count, build, score);
}

Ellipse ransac_ellipse_with(const ScoreKernels& kernels, std::uint32_t seed, const PointsView& ps,
                            std::int32_t count, std::int32_t min_r, std::int32_t max_r, double ratio,
                            std::int32_t delta) {
    const double lo = min_r, hi = max_r;
    const double shrink = delta, grow = wrap_mul(2, delta);
    const auto build = [=](const Point (&p)[5], Ellipse& e) {
        if (!points_to_ellipse(p, e)) return false;
        if (e.b > ratio * e.a || e.a > hi || e.a < lo || e.b > hi || e.b < lo) return false;
        // A negative radicand gives NaN axes, which pass every comparison.
        return !(e.a != e.a || e.b != e.b);
    };
    // The shell between the ellipse shrunk and grown by delta; the axes end as
    // ((a - delta) + 2 delta) - delta, in that order, which is what is kept.
    const auto score = [&](Ellipse& e) {
        const double sn = std::sin(e.theta), cs = std::cos(e.theta);
        Shell shell;
        e.a = e.a - shrink;
        e.b = e.b - shrink;
        ellipse_coeffs_sc(e, sn, cs, shell.b1);
        e.a = e.a + grow;
        e.b = e.b + grow;
        ellipse_coeffs_sc(e, sn, cs, shell.b2);
        e.a = e.a - shrink;
        e.b = e.b - shrink;
        return ps.packed() ? kernels.shell(ps.data, ps.rows, shell)
                           : shell_rows<Scalar>(ps.data, ps.rows, ps.row_stride, shell);
    };
    return best_candidate<5, Ellipse>(seed, ps, count, build, score);
}

}  // namespace kestrune
