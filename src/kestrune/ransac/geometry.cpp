#include "geometry.hpp"

#include <cmath>
#include <numbers>

#include "../platform.hpp"

namespace kestrune {

int points_to_line(const Point p[2], Line& l) {
    if (p[0].x == p[1].x && p[0].y == p[1].y) return 0;
    l.px = p[0].x;
    l.py = p[0].y;
    l.nx = wrap_sub(p[1].y, p[0].y);
    l.ny = wrap_sub(p[0].x, p[1].x);
    return 1;
}

void line_coeffs(const Line& l, std::int32_t c[3]) {
    c[0] = l.nx;
    c[1] = l.ny;
    c[2] = wrap_sub(0, wrap_add(wrap_mul(l.nx, l.px), wrap_mul(l.ny, l.py)));
}

void line_shift(const Line& l, std::int32_t c[3], std::int32_t delta) {
    const std::int32_t length2 = wrap_add(wrap_mul(l.nx, l.nx), wrap_mul(l.ny, l.ny));
    const double shift = static_cast<double>(delta) * std::sqrt(static_cast<double>(length2));
    c[2] = wrap_add(c[2], trunc_to_int32(shift));
}

int points_to_circle(const Point p[3], Circle& r) { return points_to_circle_in<platform::int128>(p, r); }

namespace {

// Step i of the elimination, its loops' bounds known to the compiler. Rows
// are swapped as pointers, and the pivot's column is neither divided nor
// eliminated: no later step reads a column left of its pivot, so every
// value that is read, and the solution, is what the full row operations give.
template <int i>
bool eliminate(double* (&row)[5]) {
    for (int j = i + 1; j < 5; ++j) {
        // Signed comparison against the current pivot, as the model demands.
        const double top = row[i][i], next = row[j][i];
        const bool swap = top == 0.0 || (next > top && next != 0.0);
        double* const was = row[i];
        row[i] = swap ? row[j] : was;
        row[j] = swap ? was : row[j];
    }
    double* const r = row[i];
    if (r[i] == 0.0) return false;
    const double pivot = r[i];
    double q[6];
    for (int k = i + 1; k < 6; ++k) q[k] = r[k] / pivot;
    for (int k = i + 1; k < 6; ++k) r[k] = q[k];
    for (int j = i + 1; j < 5; ++j) {
        double* const below = row[j];
        const double f = below[i];
        for (int k = i + 1; k < 6; ++k) below[k] = below[k] - q[k] * f;
    }
    return true;
}

}  // namespace

int solve_matrix(double m[5][6], double sol[5]) {
    double* row[5] = {m[0], m[1], m[2], m[3], m[4]};
    if (!eliminate<0>(row) || !eliminate<1>(row) || !eliminate<2>(row) || !eliminate<3>(row) || !eliminate<4>(row))
        return 0;
    sol[4] = row[4][5];
    for (int i = 3; i >= 0; --i) {
        double s = row[i][5];
        for (int k = 4; k > i; --k) s = s - row[i][k] * sol[k];
        sol[i] = s;
    }
    return 1;
}

int points_to_ellipse(const Point p[5], Ellipse& r) {
    double m[5][6];
    for (int k = 0; k < 5; ++k) {
        const std::int32_t x = p[k].x, y = p[k].y;
        m[k][0] = static_cast<double>(wrap_mul(x, x));
        m[k][1] = static_cast<double>(wrap_mul(x, y));
        m[k][2] = static_cast<double>(wrap_mul(y, y));
        m[k][3] = static_cast<double>(x);
        m[k][4] = static_cast<double>(y);
        m[k][5] = 1.0;
    }
    double s[5];
    if (!solve_matrix(m, s)) return 0;
    const double A = s[0], B = s[1], C = s[2], D = s[3], E = s[4];
    const double det = B * B - 4 * A * C;
    if (det >= 0) return 0;
    const double dnt = std::sqrt((A - C) * (A - C) + B * B);
    const double t1 = 2 * (A * (E * E) + C * (D * D) - B * D * E - det);
    r.a = -std::sqrt(t1 * (A + C + dnt)) / det;
    r.b = -std::sqrt(t1 * (A + C - dnt)) / det;
    r.x = (2 * C * D - B * E) / det;
    r.y = (2 * A * E - B * D) / det;
    if (B != 0)
        r.theta = std::atan((C - A - dnt) / B);
    else
        r.theta = A < C ? 0.0 : std::numbers::pi / 2;
    return 1;
}

void ellipse_coeffs_sc(const Ellipse& e, double sn, double cs, double c[6]) {
    const double a = e.a, b = e.b, x = e.x, y = e.y;
    c[0] = (a * sn) * (a * sn) + (b * cs) * (b * cs);
    c[1] = 2 * (b * b - a * a) * sn * cs;
    c[2] = (a * cs) * (a * cs) + (b * sn) * (b * sn);
    c[3] = -2 * c[0] * x - c[1] * y;
    c[4] = -c[1] * x - 2 * c[2] * y;
    c[5] = c[0] * (x * x) + c[1] * x * y + c[2] * (y * y) - (a * a) * (b * b);
}

void ellipse_coeffs(const Ellipse& e, double c[6]) {
    ellipse_coeffs_sc(e, std::sin(e.theta), std::cos(e.theta), c);
}

}  // namespace kestrune
