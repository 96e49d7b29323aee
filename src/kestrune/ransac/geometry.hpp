// Model builders of the shape fits: lines, circles and conics from samples.
#pragma once

#include <cmath>
#include <cstdint>

#include "../types.hpp"

namespace kestrune {

using Point = PointsView::Point;

// 32-bit wrapping arithmetic without signed-overflow UB.
inline std::int32_t wrap_add(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}
inline std::int32_t wrap_sub(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}
inline std::int32_t wrap_mul(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b));
}

// Truncation of a double to int32 as the x86 conversion does it: NaN and
// out-of-range values give INT32_MIN instead of undefined behaviour.
inline std::int32_t trunc_to_int32(double v) {
    if (v > -2147483649.0 && v < 2147483648.0) return static_cast<std::int32_t>(v);
    return INT32_MIN;
}

// ---- lines ----

// The line through two points with the normal (dy, -dx); 0 for equal points.
int points_to_line(const Point p[2], Line& l);
// c = (nx, ny, -(nx*px + ny*py)).
void line_coeffs(const Line& l, std::int32_t c[3]);
// c[2] += trunc(delta * sqrt(nx^2 + ny^2)).
void line_shift(const Line& l, std::int32_t c[3], std::int32_t delta);

inline std::int32_t line_eval(Point p, const std::int32_t c[3]) {
    return wrap_add(wrap_add(wrap_mul(c[0], p.x), wrap_mul(c[1], p.y)), c[2]);
}

// ---- circles ----

// The circle through three points: the centre truncated toward zero, the
// radius the truncated distance of the first point from the exact centre.
// 0 when the points are collinear or when the centre or radius leaves int32.
int points_to_circle(const Point p[3], Circle& r);

// The same in a given signed 128-bit type (the platform's int128; the tests
// also run the portable one).
template <class Wide>
int points_to_circle_in(const Point p[3], Circle& r) {
    // Exact values need up to 97 bits; wherever the 32-bit expressions do
    // not overflow they agree.
    const Wide x0 = p[0].x, y0 = p[0].y, x1 = p[1].x, y1 = p[1].y, x2 = p[2].x, y2 = p[2].y;
    const Wide c1 = x0 * x0 + y0 * y0;
    const Wide c2 = x1 * x1 + y1 * y1;
    const Wide c3 = x2 * x2 + y2 * y2;
    const Wide A = x0 * (y1 - y2) + y0 * (x2 - x1) + x1 * y2 - x2 * y1;
    if (A == 0) return 0;
    const Wide A2 = 2 * A;
    const Wide B = c1 * (y2 - y1) + c2 * (y0 - y2) + c3 * (y1 - y0);
    const Wide C = c1 * (x1 - x2) + c2 * (x2 - x0) + c3 * (x0 - x1);
    const Wide cx = (-B) / A2, cy = (-C) / A2;
    if (cx < INT32_MIN || cx > INT32_MAX || cy < INT32_MIN || cy > INT32_MAX) return 0;
    // The radius from the exact centre: one taken from the truncated centre
    // is off by about |centre| / r pixels, which is most of a small disc far
    // from the origin.
    const double xc = -static_cast<double>(B) / static_cast<double>(A2);
    const double yc = -static_cast<double>(C) / static_cast<double>(A2);
    const double dx = static_cast<double>(p[0].x) - xc, dy = static_cast<double>(p[0].y) - yc;
    const double radius = std::sqrt(dx * dx + dy * dy);
    if (!(radius < 2147483648.0)) return 0;
    r.x = static_cast<std::int32_t>(cx);
    r.y = static_cast<std::int32_t>(cy);
    r.r = static_cast<std::int32_t>(radius);
    return 1;
}

// The largest |coordinate| for which points_to_circle_in<std::int64_t> holds
// every value exactly. With |x|, |y| <= M each c is at most 2 M^2 and each
// difference at most 2 M; A's running sums stay within 2+2+1+1 = 6 M^2 (2 A
// within 12 M^2), B's and C's within 4+4+4 = 12 M^3, which at M = 2^19 is
// 3 * 2^59 < 2^63. The values are then the 128-bit ones: the quotients
// truncate the same way, and int64 and int128 both convert to the nearest
// double, so the circle is the same.
inline constexpr std::int32_t kCircle64Reach = 1 << 19;

// points_to_circle for points no further than kCircle64Reach from 0 on
// either axis, in 64-bit integers: the same result, without 128-bit division.
inline int points_to_circle_near(const Point p[3], Circle& r) { return points_to_circle_in<std::int64_t>(p, r); }

// ---- conics ----

// Gaussian elimination of a 5 x 6 augmented system, m its scratch; 0 on a
// zero pivot, else 1 with the five solutions in sol.
int solve_matrix(double m[5][6], double sol[5]);

// Conic through five points as centre, semi-axes and angle; 0 when the system
// is singular or the conic is not an ellipse.
int points_to_ellipse(const Point p[5], Ellipse& r);

// The six coefficients of an ellipse record, with sin/cos of theta given.
void ellipse_coeffs_sc(const Ellipse& e, double sn, double cs, double c[6]);
void ellipse_coeffs(const Ellipse& e, double c[6]);

inline double ellipse_eval(Point p, const double c[6]) {
    const double px = p.x, py = p.y;
    return c[0] * (px * px) + c[1] * px * py + c[2] * (py * py) + c[3] * px + c[4] * py + c[5];
}

}  // namespace kestrune
