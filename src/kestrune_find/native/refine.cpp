#include "refine.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "kestrune/platform.hpp"
#include "kestrune/simd/level.hpp"

namespace kestrune::find {

namespace {

// Solves the n x n system A x = b in place by Gaussian elimination with
// partial pivoting; false when it is singular.
template <int N> bool solve(std::array<std::array<double, N>, N>& A, std::array<double, N>& b) {
    for (int i = 0; i < N; ++i) {
        int pivot = i;
        for (int j = i + 1; j < N; ++j)
            if (std::fabs(A[j][i]) > std::fabs(A[pivot][i])) pivot = j;
        if (std::fabs(A[pivot][i]) < 1e-12) return false;
        std::swap(A[i], A[pivot]);
        std::swap(b[i], b[pivot]);
        for (int j = i + 1; j < N; ++j) {
            const double f = A[j][i] / A[i][i];
            for (int k = i; k < N; ++k) A[j][k] -= f * A[i][k];
            b[j] -= f * b[i];
        }
    }
    for (int i = N - 1; i >= 0; --i) {
        for (int k = i + 1; k < N; ++k) b[i] -= A[i][k] * b[k];
        b[i] /= A[i][i];
    }
    return true;
}

// Normal equations are summed on and above the diagonal only: each product
// is the same both ways round, so the lower half is a copy.
template <int N> void mirror(std::array<std::array<double, N>, N>& A) {
    for (int i = 1; i < N; ++i)
        for (int j = 0; j < i; ++j) A[i][j] = A[j][i];
}

// Levenberg-Marquardt on N parameters. The model gives the sum of the
// points' squared distances at a parameter set (`cost`), and the normal
// equations of their derivatives by the parameters (`normal_equations`) at
// the parameters of the last cost, of which it may keep what it needs. It
// stops when a step moves no parameter by more than its `resolution`.
template <int N, class Model>
KESTRUNE_ALWAYS_INLINE bool least_squares(std::array<double, N>& params, Model& model,
                                          const std::array<double, N>& resolution, int iterations) {
    if (static_cast<int>(model.size()) < N + 2) return false;
    double lambda = 1e-3;
    double current = model.cost(params);
    if (!std::isfinite(current)) return false;
    for (int it = 0; it < iterations; ++it) {
        std::array<std::array<double, N>, N> JtJ{};
        std::array<double, N> Jte{};
        // The last cost was at `params`: the first one, or the step just taken.
        model.normal_equations(JtJ, Jte);
        mirror<N>(JtJ);
        bool improved = false;
        for (int attempt = 0; attempt < 8 && !improved; ++attempt) {
            auto A = JtJ;
            auto b = Jte;
            for (int i = 0; i < N; ++i) A[i][i] += lambda * (JtJ[i][i] + 1e-9);
            if (!solve<N>(A, b)) {
                lambda *= 10;
                continue;
            }
            std::array<double, N> next = params;
            double largest = 0;
            for (int i = 0; i < N; ++i) {
                next[i] -= b[i];
                largest = std::max(largest, std::fabs(b[i]) / resolution[i]);
            }
            const double c = model.cost(next);
            if (std::isfinite(c) && c <= current) {
                params = next;
                improved = true;
                lambda = std::max(lambda / 10, 1e-9);
                if (current - c <= 1e-10 * (1 + current) || largest < 1.0) return true;
                current = c;
            } else {
                lambda *= 10;
            }
        }
        if (!improved) return true;  // at a minimum within the step's resolution
    }
    return true;
}

// An ellipse (x, y, a, b, theta): a point's distance from the outline along
// the ray from the centre, d (1 - 1 / rho) with d the point's distance from
// the centre and rho its scaled radius (1 on the outline), and the exact
// derivatives of that by the five parameters. Both are worked out for many
// points in loops the compiler vectorises, with no condition in them: the
// sums that follow leave out the points at the centre (rho 0).
class EllipseModel {
public:
    // Per point: rho, d, 1 - 1 / rho and d (1 - 1 / rho), worked out by
    // cost, used again by normal_equations. Reused from fit to fit: a fit
    // allocates nothing.
    struct Lists {
        std::vector<double> rho, d, k, e;
    };

    EllipseModel(std::span<const FitPoint> points, Lists& lists) : points_(points), lists_(lists) {
        for (auto* list : {&lists.rho, &lists.d, &lists.k, &lists.e}) list->resize(points.size());
    }

    std::size_t size() const { return points_.size(); }

    KESTRUNE_ALWAYS_INLINE double cost(const std::array<double, 5>& v) {
        set(v);
        distances();
        const double *rhos = lists_.rho.data(), *es = lists_.e.data();
        const double centre = -std::min(a_, b_);  // the distance where rho is 0
        double sum = 0;
        for (std::size_t n = 0; n < points_.size(); ++n) {
            const double e = rhos[n] > 0 ? es[n] : centre;
            sum += e * e;
        }
        return sum;
    }

    // Summed point by point: the rows of a block of points are worked out
    // first, into arrays of the block's own. A point at the centre (or one
    // whose rho or d is not a number) has a row of zeros and the distance
    // `centre`: its products add nothing unless that is not finite.
    KESTRUNE_ALWAYS_INLINE void normal_equations(std::array<std::array<double, 5>, 5>& JtJ,
                                                 std::array<double, 5>& Jte) const {
        constexpr std::size_t kBlock = 8;
        const double *rhos = lists_.rho.data(), *ds = lists_.d.data(), *es = lists_.e.data();
        const double centre = -std::min(a_, b_);
        for (std::size_t first = 0; first < points_.size(); first += kBlock) {
            const std::size_t count = std::min(kBlock, points_.size() - first);
            double rows[5][kBlock];
            block_rows(first, count, rows);
            for (std::size_t n = 0; n < count; ++n) {
                if (!(rhos[first + n] > 0) || !(ds[first + n] > 0)) {
                    for (int i = 0; i < 5; ++i) Jte[i] += 0.0 * centre;
                    continue;
                }
                const double e = es[first + n];
                for (int i = 0; i < 5; ++i) {
                    Jte[i] += rows[i][n] * e;
                    for (int j = i; j < 5; ++j) JtJ[i][j] += rows[i][n] * rows[j][n];
                }
            }
        }
    }

private:
    void set(const std::array<double, 5>& v) {
        x_ = v[0];
        y_ = v[1];
        ia2_ = 1.0 / (v[2] * v[2]);
        ib2_ = 1.0 / (v[3] * v[3]);
        a_ = v[2];
        b_ = v[3];
        cs_ = std::cos(v[4]);
        sn_ = std::sin(v[4]);
    }

    KESTRUNE_ALWAYS_INLINE void distances() {
        double *rhos = lists_.rho.data(), *ds = lists_.d.data(), *ks = lists_.k.data(), *es = lists_.e.data();
        const FitPoint* points = points_.data();
        const double x = x_, y = y_, cs = cs_, sn = sn_, ia2 = ia2_, ib2 = ib2_;
        for (std::size_t n = 0; n < points_.size(); ++n) {
            const double dx = points[n].x - x, dy = points[n].y - y;
            const double s = dx * cs + dy * sn, t = -dx * sn + dy * cs;
            const double rho = std::sqrt(s * s * ia2 + t * t * ib2);
            const double d = std::sqrt(dx * dx + dy * dy), k = 1.0 - 1.0 / rho;
            rhos[n] = rho;
            ds[n] = d;
            ks[n] = k;
            es[n] = d * k;
        }
    }

    template <std::size_t B>
    KESTRUNE_ALWAYS_INLINE void block_rows(std::size_t first, std::size_t count, double (&rows)[5][B]) const {
        const FitPoint* points = points_.data() + first;
        const double *rhos = lists_.rho.data() + first, *ds = lists_.d.data() + first, *ks = lists_.k.data() + first;
        const double x = x_, y = y_, cs = cs_, sn = sn_, ia2 = ia2_, ib2 = ib2_, a = a_, b = b_;
        for (std::size_t n = 0; n < count; ++n) {
            const double dx = points[n].x - x, dy = points[n].y - y;
            const double s = dx * cs + dy * sn, t = -dx * sn + dy * cs;
            const double rho = rhos[n], d = ds[n], k = ks[n];
            // r = d - d / rho: dr = dd (1 - 1 / rho) + (d / rho^2) drho.
            const double m = d / (rho * rho * rho);  // drho = (s ds / a^2 + t dt / b^2) / rho
            const double su = s * ia2, tv = t * ib2;
            rows[0][n] = -dx / d * k + m * (-su * cs + tv * sn);
            rows[1][n] = -dy / d * k + m * (-su * sn - tv * cs);
            rows[2][n] = m * (-s * su / a);
            rows[3][n] = m * (-t * tv / b);
            rows[4][n] = m * (su * t - tv * s);
        }
    }

    std::span<const FitPoint> points_;
    Lists& lists_;
    double x_ = 0, y_ = 0, a_ = 1, b_ = 1, ia2_ = 1, ib2_ = 1, cs_ = 1, sn_ = 0;
};

}  // namespace

double disc_distance(const DiscShape& d, double x, double y) {
    return std::sqrt((x - d.x) * (x - d.x) + (y - d.y) * (y - d.y)) - d.r;
}

namespace {

KESTRUNE_ALWAYS_INLINE bool disc_fit(std::span<const FitPoint> points, DiscShape& shape) {
    // Gauss-Newton on the distances from the outline, with the exact Jacobian.
    if (points.size() < 5) return false;
    // Per point: its distance from the centre, its row of the Jacobian
    // (u, v, -1) and its residual, worked out for all points in one loop the
    // compiler vectorises, then summed in another, point by point.
    thread_local std::vector<double> lists;
    lists.resize(4 * points.size());
    double* const ds = lists.data();
    double* const us = ds + points.size();
    double* const vs = us + points.size();
    double* const es = vs + points.size();
    double cx = shape.x, cy = shape.y, r = shape.r;
    for (int it = 0; it < 12; ++it) {
        for (std::size_t k = 0; k < points.size(); ++k) {
            const double dx = points[k].x - cx, dy = points[k].y - cy;
            const double d = std::sqrt(dx * dx + dy * dy);
            ds[k] = d;
            us[k] = -dx / d;
            vs[k] = -dy / d;
            es[k] = d - r;
        }
        // The normal equations' upper half and right side, summed in locals,
        // which stay in registers (an array's sums go through memory).
        double a00 = 0, a01 = 0, a02 = 0, a11 = 0, a12 = 0, a22 = 0, b0 = 0, b1 = 0, b2 = 0;
        for (std::size_t k = 0; k < points.size(); ++k) {
            if (ds[k] < 1e-9) continue;
            const double u = us[k], v = vs[k], e = es[k];
            // Products with -1 are exact negations: the sums are the same.
            b0 -= u * e;
            b1 -= v * e;
            b2 += e;
            a00 += u * u;
            a01 += u * v;
            a02 -= u;
            a11 += v * v;
            a12 -= v;
            a22 += 1.0;
        }
        std::array<std::array<double, 3>, 3> A{{{a00, a01, a02}, {a01, a11, a12}, {a02, a12, a22}}};
        std::array<double, 3> b{b0, b1, b2};
        if (!solve<3>(A, b)) return false;
        cx += b[0];
        cy += b[1];
        r += b[2];
        if (!std::isfinite(cx) || !std::isfinite(cy) || !std::isfinite(r)) return false;
        if (std::fabs(b[0]) + std::fabs(b[1]) + std::fabs(b[2]) < 1e-4) break;
    }
    if (!(r > 0)) return false;
    shape = {cx, cy, r};
    return true;
}

KESTRUNE_ALWAYS_INLINE bool ellipse_fit(std::span<const FitPoint> points, EllipseShape& shape, int iterations) {
    std::array<double, 5> q{shape.x, shape.y, shape.a, shape.b, shape.theta};
    thread_local EllipseModel::Lists lists;
    EllipseModel model(points, lists);
    if (!least_squares<5>(q, model, {1e-3, 1e-3, 1e-3, 1e-3, 1e-5}, iterations)) return false;
    if (!(q[2] > 0 && q[3] > 0) || !std::isfinite(q[0]) || !std::isfinite(q[1]) || !std::isfinite(q[4]))
        return false;
    shape = {q[0], q[1], q[2], q[3], q[4]};
    return true;
}

// Each fit built twice: for the baseline, and for AVX2 (vectors of four
// doubles), which the vectorised loops take where the CPU has it.
bool fit_disc_baseline(std::span<const FitPoint> points, DiscShape& shape) { return disc_fit(points, shape); }
KESTRUNE_TARGET_AVX2 bool fit_disc_avx2(std::span<const FitPoint> points, DiscShape& shape) {
    return disc_fit(points, shape);
}
bool fit_ellipse_baseline(std::span<const FitPoint> points, EllipseShape& shape, int iterations) {
    return ellipse_fit(points, shape, iterations);
}
KESTRUNE_TARGET_AVX2 bool fit_ellipse_avx2(std::span<const FitPoint> points, EllipseShape& shape, int iterations) {
    return ellipse_fit(points, shape, iterations);
}

// Whether the fits may take their AVX2 build at `level`.
bool wide(SimdLevel level) {
    if (!KESTRUNE_TARGET_AVX2_BUILT) return false;
    const SimdLevel usable = usable_simd_level(level);
    return usable == SimdLevel::avx2 || usable == SimdLevel::avx512bw || usable == SimdLevel::avx512;
}

}  // namespace

bool fit_disc(std::span<const FitPoint> points, DiscShape& shape, SimdLevel level) {
    return wide(level) ? fit_disc_avx2(points, shape) : fit_disc_baseline(points, shape);
}

bool fit_ellipse(std::span<const FitPoint> points, EllipseShape& shape, SimdLevel level, int iterations) {
    return wide(level) ? fit_ellipse_avx2(points, shape, iterations) : fit_ellipse_baseline(points, shape, iterations);
}

namespace {

// Least squares for the points' distance from the disc's centre along the
// angle theta: d(theta) = r0 + p2 cos 2theta + q2 sin 2theta for N = 3, and
// + p4 cos 4theta + q4 sin 4theta beside them for N = 5 (a square's sides
// leave a fourth harmonic and no second, a ball's outline neither). False
// when the points cannot fix it.
template <int N> bool harmonics(std::span<const FitPoint> points, const DiscShape& disc, std::array<double, N>& fitted) {
    static_assert(N == 3 || N == 5);
    std::array<std::array<double, N>, N> A{};
    std::array<double, N> b{};
    for (const FitPoint& pt : points) {
        const double dx = pt.x - disc.x, dy = pt.y - disc.y;
        const double d = std::sqrt(dx * dx + dy * dy);
        if (d < 1e-9) continue;
        const double c2 = (dx * dx - dy * dy) / (d * d), s2 = 2 * dx * dy / (d * d);
        const double row[5] = {1.0, c2, s2, c2 * c2 - s2 * s2, 2 * c2 * s2};
        for (int i = 0; i < N; ++i) {
            b[i] += row[i] * d;
            for (int j = i; j < N; ++j) A[i][j] += row[i] * row[j];
        }
    }
    mirror<N>(A);
    if (!solve<N>(A, b) || !(b[0] > 0)) return false;
    fitted = b;
    return true;
}

// The amplitude of the highest harmonic fitted, over r0; 0 where the points
// cannot fix it.
template <int N> double highest_harmonic(std::span<const FitPoint> points, const DiscShape& disc) {
    std::array<double, N> fitted;
    if (!harmonics<N>(points, disc, fitted)) return 0.0;
    return std::sqrt(fitted[N - 2] * fitted[N - 2] + fitted[N - 1] * fitted[N - 1]) / fitted[0];
}

constexpr int kSectors = 32;

int sector_of(const FitPoint& pt, const DiscShape& disc) {
    const double turn = std::atan2(pt.y - disc.y, pt.x - disc.x) / (2 * std::numbers::pi) + 0.5;  // 0 to 1
    return std::clamp(static_cast<int>(turn * kSectors), 0, kSectors - 1);
}

}  // namespace

double ellipticity(std::span<const FitPoint> points, const DiscShape& disc) { return highest_harmonic<3>(points, disc); }

double squareness(std::span<const FitPoint> points, const DiscShape& disc) { return highest_harmonic<5>(points, disc); }

double turn_covered(std::span<const FitPoint> points, const DiscShape& disc) {
    std::array<bool, kSectors> seen{};
    for (const FitPoint& pt : points) seen[sector_of(pt, disc)] = true;
    return static_cast<double>(std::count(seen.begin(), seen.end(), true)) / kSectors;
}

namespace {

// For each of the 32 sectors, how close to a line the points come along the
// `sectors` sectors from it (see straightest_side); infinite where they
// cannot tell.
std::array<double, kSectors> side_bends(std::span<const FitPoint> points, const DiscShape& disc, int sectors) {
    std::array<std::vector<FitPoint>, kSectors> by_sector;
    for (const FitPoint& pt : points) by_sector[sector_of(pt, disc)].push_back(pt);
    std::array<double, kSectors> bends;
    bends.fill(std::numeric_limits<double>::infinity());
    std::vector<double> xs, ys, weights;
    for (int first = 0; first < kSectors; ++first) {
        xs.clear();
        ys.clear();
        bool every = true;
        for (int k = 0; k < sectors && every; ++k) {
            const auto& sector = by_sector[(first + k) % kSectors];
            every = !sector.empty();
            for (const FitPoint& pt : sector) {
                xs.push_back(pt.x);
                ys.push_back(pt.y);
            }
        }
        weights.assign(xs.size(), 1.0);
        double px, py, nx, ny;
        if (!every || xs.size() < 2 * static_cast<std::size_t>(sectors) || !fit_line(xs, ys, weights, px, py, nx, ny))
            continue;
        double squares = 0;
        for (std::size_t k = 0; k < xs.size(); ++k) {
            const double off = (xs[k] - px) * nx + (ys[k] - py) * ny;
            squares += off * off;
        }
        bends[first] = std::sqrt(squares / static_cast<double>(xs.size())) / disc.r;
    }
    return bends;
}

}  // namespace

double straightest_side(std::span<const FitPoint> points, const DiscShape& disc, int sectors) {
    const auto bends = side_bends(points, disc, sectors);
    return *std::min_element(bends.begin(), bends.end());
}

StraightSides straight_sides(std::span<const FitPoint> points, const DiscShape& disc, int sectors, double max_bend) {
    const auto bends = side_bends(points, disc, sectors);
    const double straightest = *std::min_element(bends.begin(), bends.end());
    const auto first = std::find_if(bends.begin(), bends.end(), [&](double b) { return b <= max_bend; });
    if (first == bends.end()) return {0, straightest};
    // From one straight run on, the runs that follow it round the turn
    // without sharing a sector with the one before.
    const int start = static_cast<int>(first - bends.begin());
    int count = 1;
    for (int k = start + sectors; k + sectors <= start + kSectors;) {
        if (bends[k % kSectors] <= max_bend) {
            ++count;
            k += sectors;
        } else {
            ++k;
        }
    }
    return {count, straightest};
}

EllipseShape ellipse_through(std::span<const FitPoint> points, const DiscShape& disc) {
    std::array<double, 3> fitted;
    if (!harmonics<3>(points, disc, fitted)) return {disc.x, disc.y, disc.r, disc.r, 0.0};
    const auto [r0, p, q] = fitted;
    // The distance is longest along the major axis: at 2 theta = atan2(q, p).
    const double m = std::min(std::sqrt(p * p + q * q), 0.5 * r0);
    return {disc.x, disc.y, r0 + m, r0 - m, 0.5 * std::atan2(q, p)};
}

bool fit_line(const std::vector<double>& xs, const std::vector<double>& ys, const std::vector<double>& weights,
              double& px, double& py, double& nx, double& ny) {
    double w = 0, mx = 0, my = 0;
    for (std::size_t k = 0; k < xs.size(); ++k) {
        w += weights[k];
        mx += weights[k] * xs[k];
        my += weights[k] * ys[k];
    }
    if (xs.size() < 2 || !(w > 0)) return false;
    mx /= w;
    my /= w;
    double sxx = 0, sxy = 0, syy = 0;
    for (std::size_t k = 0; k < xs.size(); ++k) {
        const double dx = xs[k] - mx, dy = ys[k] - my;
        sxx += weights[k] * dx * dx;
        sxy += weights[k] * dx * dy;
        syy += weights[k] * dy * dy;
    }
    // The direction of largest spread; the normal is across it.
    const double angle = 0.5 * std::atan2(2.0 * sxy, sxx - syy);
    px = mx;
    py = my;
    nx = -std::sin(angle);
    ny = std::cos(angle);
    return true;
}

}  // namespace kestrune::find
