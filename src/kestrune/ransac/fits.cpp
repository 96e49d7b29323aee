#include "fits.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "../platform.hpp"
#include "../simd.hpp"
#include "geometry.hpp"
#include "sampler.hpp"
#include "score.hpp"

namespace kestrune {

namespace {

// Rows are addressed through the view's stride; packed views take the
// dispatched loops, others these scalar ones.
Band band_of(const Line& l, std::int32_t delta) {
    std::int32_t hi[3], lo[3];
    line_coeffs(l, hi);
    line_shift(l, hi, delta);
    line_coeffs(l, lo);
    line_shift(l, lo, wrap_sub(0, delta));
    return {hi[0], hi[1], hi[2], lo[2]};
}

inline bool in_band(Point q, const Band& b) {
    const std::int32_t hi[3] = {b.c0, b.c1, b.k_hi}, lo[3] = {b.c0, b.c1, b.k_lo};
    return line_eval(q, hi) >= 0 && line_eval(q, lo) <= 0;
}

std::int64_t band_count_strided(const PointsView& ps, std::int64_t n, const Band& b) {
    std::int64_t count = 0;
    for (std::int64_t k = 0; k < n; ++k) count += in_band(ps.load(k), b);
    return count;
}

std::int64_t band_xor_count_strided(const PointsView& ps, std::int64_t n, const Band& b1, const Band& b2) {
    std::int64_t count = 0;
    for (std::int64_t k = 0; k < n; ++k) {
        const Point q = ps.load(k);
        count += in_band(q, b1) != in_band(q, b2);
    }
    return count;
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

std::int64_t shell_count_strided(const PointsView& ps, std::int64_t n, const Shell& s) {
    std::int64_t count = 0;
    for (std::int64_t k = 0; k < n; ++k) {
        const Point q = ps.load(k);
        count += static_cast<int>(ellipse_eval(q, s.b1) >= 0) & static_cast<int>(ellipse_eval(q, s.b2) <= 0);
    }
    return count;
}

struct BoundingBox {
    std::int64_t xmin, xmax, ymin, ymax;
};

BoundingBox bounding_box(const PointsView& ps, std::int64_t n) {
    BoundingBox box{INT32_MAX, INT32_MIN, INT32_MAX, INT32_MIN};
    for (std::int64_t k = 0; k < n; ++k) {
        const Point q = ps.load(k);
        box.xmin = std::min<std::int64_t>(box.xmin, q.x);
        box.xmax = std::max<std::int64_t>(box.xmax, q.x);
        box.ymin = std::min<std::int64_t>(box.ymin, q.y);
        box.ymax = std::max<std::int64_t>(box.ymax, q.y);
    }
    return box;
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

std::uint32_t draw_seed() { return static_cast<std::uint32_t>(std::rand()); }

}  // namespace

Line ransac_line_seeded(std::uint32_t seed, SimdLevel level, const PointsView& ps, const MaskView& ms,
                        std::int32_t count, std::int32_t delta, double slope_limit) {
    const std::int64_t n = ps.rows;
    const ScoreKernels& kernels = score_kernels(level);
    Line best{};
    std::int64_t best_score = 0;
    if (n >= 2) {
        IndexSampler sampler{seed, static_cast<std::uint32_t>(n)};
        const double slope2 = slope_limit * slope_limit;
        for (std::int32_t it = 0; it < count; ++it) {
            std::int64_t idx[2];
            sampler.draw(idx);
            const Point p[2] = {ps.load(idx[0]), ps.load(idx[1])};
            Line curr;
            if (!points_to_line(p, curr)) continue;
            const std::int32_t length2 = wrap_add(wrap_mul(curr.nx, curr.nx), wrap_mul(curr.ny, curr.ny));
            if (slope2 * static_cast<double>(length2) >= static_cast<double>(wrap_mul(curr.nx, curr.nx))) continue;
            const Band band = band_of(curr, delta);
            const std::int64_t score =
                ps.packed() ? kernels.band(ps.data, n, band) : band_count_strided(ps, n, band);
            if (score > best_score) {
                best = curr;
                best_score = score;
            }
        }
    }
    const Band band = band_of(best, delta);
    write_mask(ps, ms, n, [&](Point q) { return in_band(q, band); });
    return best;
}

Line2 ransac_line2_seeded(std::uint32_t seed, SimdLevel level, const PointsView& ps, const MaskView& ms,
                          std::int32_t count, double ratio, std::int32_t delta) {
    const std::int64_t n = ps.rows;
    const ScoreKernels& kernels = score_kernels(level);
    Line2 best{};
    std::int64_t best_score = 0;
    if (n >= 4) {
        IndexSampler sampler{seed, static_cast<std::uint32_t>(n)};
        const double ratio2 = ratio * ratio;
        for (std::int32_t it = 0; it < count; ++it) {
            std::int64_t idx[4];
            sampler.draw(idx);
            const Point p[4] = {ps.load(idx[0]), ps.load(idx[1]), ps.load(idx[2]), ps.load(idx[3])};
            Line2 curr;
            if (!points_to_line(p, curr.l1)) continue;
            if (!points_to_line(p + 2, curr.l2)) continue;
            const std::int32_t ncos = wrap_add(wrap_mul(curr.l1.nx, curr.l2.nx), wrap_mul(curr.l1.ny, curr.l2.ny));
            const std::int32_t n1 = wrap_add(wrap_mul(curr.l1.nx, curr.l1.nx), wrap_mul(curr.l1.ny, curr.l1.ny));
            const std::int32_t n2 = wrap_add(wrap_mul(curr.l2.nx, curr.l2.nx), wrap_mul(curr.l2.ny, curr.l2.ny));
            const double lhs = ratio2 * static_cast<double>(n1) * static_cast<double>(n2);
            if (lhs > static_cast<double>(std::int64_t{ncos} * ncos)) continue;
            const Band b1 = band_of(curr.l1, delta), b2 = band_of(curr.l2, delta);
            const std::int64_t score =
                ps.packed() ? kernels.band_xor(ps.data, n, b1, b2) : band_xor_count_strided(ps, n, b1, b2);
            if (score > best_score) {
                best = curr;
                best_score = score;
            }
        }
    }
    const Band b1 = band_of(best.l1, delta), b2 = band_of(best.l2, delta);
    write_mask(ps, ms, n, [&](Point q) { return in_band(q, b1) || in_band(q, b2); });
    return best;
}

Circle ransac_circle_seeded(std::uint32_t seed, SimdLevel level, const PointsView& ps, std::int32_t count,
                            std::int32_t min_r, std::int32_t max_r, std::int32_t delta) {
    const std::int64_t n = ps.rows;
    Circle best{};
    if (n < 3 || count <= 0) return best;
    const ScoreKernels& kernels = score_kernels(level);
    const BoundingBox box = bounding_box(ps, n);
    std::int64_t best_score = 0;
    IndexSampler sampler{seed, static_cast<std::uint32_t>(n)};
    for (std::int32_t it = 0; it < count; ++it) {
        std::int64_t idx[3];
        sampler.draw(idx);
        const Point p[3] = {ps.load(idx[0]), ps.load(idx[1]), ps.load(idx[2])};
        Circle curr;
        if (!points_to_circle(p, curr)) continue;
        if (curr.r > max_r || curr.r < min_r) continue;
        const WideRing wide = wide_ring(curr, delta);
        Ring32 narrow;
        const std::int64_t score = ps.packed() && narrow_ring(box, curr, wide, narrow)
                                       ? kernels.ring(ps.data, n, narrow)
                                       : ring_count_wide(ps, n, wide);
        if (score > best_score) {
            best = curr;
            best_score = score;
        }
    }
    return best;
}

Ellipse ransac_ellipse_seeded(std::uint32_t seed, SimdLevel level, const PointsView& ps, std::int32_t count,
                              std::int32_t min_r, std::int32_t max_r, double ratio, std::int32_t delta) {
    const std::int64_t n = ps.rows;
    Ellipse best{};
    if (n < 5 || count <= 0) return best;
    const ScoreKernels& kernels = score_kernels(level);
    const double lo = min_r, hi = max_r;
    const double shrink = delta, grow = wrap_mul(2, delta);
    std::int64_t best_score = 0;
    IndexSampler sampler{seed, static_cast<std::uint32_t>(n)};
    for (std::int32_t it = 0; it < count; ++it) {
        std::int64_t idx[5];
        sampler.draw(idx);
        Point p[5];
        for (int k = 0; k < 5; ++k) p[k] = ps.load(idx[k]);
        Ellipse curr;
        if (!points_to_ellipse(p, curr)) continue;
        if (curr.b > ratio * curr.a || curr.a > hi || curr.a < lo || curr.b > hi || curr.b < lo) continue;
        // A negative radicand gives NaN axes, which pass every comparison.
        if (curr.a != curr.a || curr.b != curr.b) continue;
        const double sn = std::sin(curr.theta), cs = std::cos(curr.theta);
        Shell shell;
        curr.a = curr.a - shrink;
        curr.b = curr.b - shrink;
        ellipse_coeffs_sc(curr, sn, cs, shell.b1);
        curr.a = curr.a + grow;
        curr.b = curr.b + grow;
        ellipse_coeffs_sc(curr, sn, cs, shell.b2);
        const std::int64_t score =
            ps.packed() ? kernels.shell(ps.data, n, shell) : shell_count_strided(ps, n, shell);
        if (score > best_score) {
            curr.a = curr.a - shrink;
            curr.b = curr.b - shrink;
            best = curr;
            best_score = score;
        }
    }
    return best;
}

Line ransac_line(const PointsView& ps, const MaskView& ms, std::int32_t count, std::int32_t delta,
                 double slope_limit) {
    return ransac_line_seeded(draw_seed(), active_simd_level(), ps, ms, count, delta, slope_limit);
}

Line2 ransac_line2(const PointsView& ps, const MaskView& ms, std::int32_t count, double ratio,
                   std::int32_t delta) {
    return ransac_line2_seeded(draw_seed(), active_simd_level(), ps, ms, count, ratio, delta);
}

Circle ransac_circle(const PointsView& ps, std::int32_t count, std::int32_t min_r, std::int32_t max_r,
                     std::int32_t delta) {
    return ransac_circle_seeded(draw_seed(), active_simd_level(), ps, count, min_r, max_r, delta);
}

Ellipse ransac_ellipse(const PointsView& ps, std::int32_t count, std::int32_t min_r, std::int32_t max_r,
                       double ratio, std::int32_t delta) {
    return ransac_ellipse_seeded(draw_seed(), active_simd_level(), ps, count, min_r, max_r, ratio, delta);
}

}  // namespace kestrune
