// Least-squares shapes on a candidate's own edge points, in floating point.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>
#include <vector>

#include "evidence.hpp"
#include "kestrune/types.hpp"
#include "scan.hpp"

namespace kestrune::find {

// Whether an edge point can lie on the outline of a convex shape whose
// outward normal at it is (gx, gy): the colour must lie on the inner side.
inline bool faces_inward(const EdgePoint& p, double gx, double gy) {
    switch (p.inside) {
        case Side::right: return gx < 0;
        case Side::left: return gx > 0;
        case Side::below: return gy < 0;
        default: return gy > 0;
    }
}

// Distance of a point from the outline, measured along the ray from the
// centre (exact for a disc).
double disc_distance(const DiscShape& d, double x, double y);

// An ellipse with its angle's sine and cosine worked out once.
struct EllipseGeometry {
    EllipseShape e;
    double cs, sn;
    explicit EllipseGeometry(const EllipseShape& shape) : e(shape), cs(std::cos(shape.theta)), sn(std::sin(shape.theta)) {}
    double distance(double x, double y, double* gx = nullptr, double* gy = nullptr) const {
        const double dx = x - e.x, dy = y - e.y;
        const double s = dx * cs + dy * sn, t = -dx * sn + dy * cs;
        const double rho = std::sqrt((s * s) / (e.a * e.a) + (t * t) / (e.b * e.b));
        if (gx != nullptr) {
            const double gs = s / (e.a * e.a), gt = t / (e.b * e.b);
            *gx = gs * cs - gt * sn;
            *gy = gs * sn + gt * cs;
        }
        if (rho <= 0) return -std::min(e.a, e.b);
        return std::sqrt(dx * dx + dy * dy) * (1.0 - 1.0 / rho);
    }
};

// Where the points within `band` of the outline of a disc or an ellipse
// (semi-axes from `shortest` to `longest`) may lie: a ring about its centre.
// A point beyond it lies further than `band` from the outline, however the
// distance is rounded: the ring is wider than exact by a billionth of the
// size and of the point's distance, far more than the rounding (which grows
// with the square of the axis ratio: a ring is drawn up to 64, none beyond).
// Such a point's distance needs no working out.
struct Ring {
    double x, y, inner2 = -1, outer2 = std::numeric_limits<double>::infinity();  // squared radii

    Ring(double cx, double cy, double shortest, double longest, double band) : x(cx), y(cy) {
        const double limit = std::numeric_limits<double>::max();
        if (!(shortest > 0 && shortest <= longest && longest <= 64 * shortest && longest < limit && band >= 0 &&
              band < limit))
            return;
        const double outer = (longest + band) * (1 + 2e-9), inner = shortest - band - 1e-9 * (longest + band);
        outer2 = outer * outer;
        if (inner > 0) inner2 = inner * inner;
    }
    double squared(double px, double py) const { return (px - x) * (px - x) + (py - y) * (py - y); }
    bool beyond(double px, double py) const {
        const double d2 = squared(px, py);
        return d2 > outer2 || d2 < inner2;
    }
    bool outside(double px, double py) const { return squared(px, py) > outer2; }
};

// A point the fits weigh: an edge point's (x, y), or where it is placed, copied
// out so that each pass of a fit reads one array in order.
struct FitPoint {
    double x, y;
};

// Geometric fits: minimise the squared distances of the points from the
// outline, starting from `shape`. False when the points cannot fix the shape
// (too few, or the fit diverges); `shape` is then unchanged.
// `level`: the instruction set they may use (AVX2 where the level has it and
// the CPU runs it); the same operations in the same order on any, so the
// same results.
bool fit_disc(std::span<const FitPoint> points, DiscShape& shape, SimdLevel level);
bool fit_ellipse(std::span<const FitPoint> points, EllipseShape& shape, SimdLevel level, int iterations = 12);

// How far from round the outline through these points is: the amplitude of
// the second harmonic of their distance from the centre, over the radius
// ((a - b) / (a + b) for an ellipse of semi-axes a and b).
double ellipticity(std::span<const FitPoint> points, const DiscShape& disc);
// How far the outline through these points is from round the way a square
// is: the amplitude of the fourth harmonic of their distance from the
// centre (fitted beside the second), over the radius.
double squareness(std::span<const FitPoint> points, const DiscShape& disc);
// The share of the turn around the disc's centre that the points lie in (in
// 32 sectors).
double turn_covered(std::span<const FitPoint> points, const DiscShape& disc);
// How close to a line the points come along `sectors` neighbouring sectors of
// those 32, each holding some: the least RMS distance from the line fitted to
// a run of them, over the radius (an arc of a circle strays about 3 % over 5
// sectors). Infinite where no run has points in every sector and twice as
// many points as sectors.
double straightest_side(std::span<const FitPoint> points, const DiscShape& disc, int sectors);
// How many runs of `sectors` sectors, none sharing a sector, come within
// `max_bend` of a line (as straightest_side measures it): a polygon's sides;
// and how close the straightest run comes (straightest_side's value).
struct StraightSides {
    int count;
    double straightest;
};
StraightSides straight_sides(std::span<const FitPoint> points, const DiscShape& disc, int sectors, double max_bend);
// The ellipse about the disc's centre that the same second harmonic gives: a
// start for fitting a disc's points as an ellipse (from a circle, the fit
// cannot tell which way to turn).
EllipseShape ellipse_through(std::span<const FitPoint> points, const DiscShape& disc);

// Total least squares: the line closest to the points (centroid and unit normal).
bool fit_line(const std::vector<double>& xs, const std::vector<double>& ys, const std::vector<double>& weights,
              double& px, double& py, double& nx, double& ny);

}  // namespace kestrune::find
