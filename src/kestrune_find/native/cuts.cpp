#include "cuts.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

namespace kestrune::find {

namespace {

// Edge points count for the cut when deeper inside the disc than this share
// of its radius (two pixels at least): those nearer lie on its outline.
constexpr double kDeeper = 0.2;
constexpr double kLeastDeeper = 2.0;
// At least this many of them, this share of them within kOnLine pixels of
// one line, spread along it over kLeastSpan of the radius.
constexpr std::size_t kLeastPoints = 8;
constexpr double kOnLineShare = 0.8;
constexpr double kOnLine = 1.5;
constexpr double kLeastSpan = 0.6;
// The line's edge beyond the disc: read from kRunFrom to kRunTo of the
// radius past the circle (from kRunStart to at least kRunLeast pixels),
// kAcross pixels each side of the line (past a camera's blur); at least
// kLeastSamples places, where the two sides differ by kLeastEdge (RGB
// distance) on average, and on kAlike of the places alike in direction.
constexpr double kRunFrom = 0.1, kRunTo = 0.6;
constexpr double kRunStart = 2.0, kRunLeast = 8.0;
constexpr double kAcross = 2.5;
// And the frame kFar pixels off it, each side: the edge's step must be
// kEdgeOverSlope times what the frame changes by from there to kAcross.
constexpr double kFar = 8.0;
constexpr double kEdgeOverSlope = 2.5;
constexpr std::size_t kLeastSamples = 5;
constexpr double kLeastEdge = 12.0;
constexpr double kAlike = 0.75;
// The side hidden by the thing varies along the line by at most kSmoother
// of what the other side does, or kFlat (the sum of the channels, from pixel
// to pixel: noise).
constexpr double kSmoother = 0.4;
constexpr double kFlat = 14.0;

using Colour = std::array<double, 3>;

bool inside(const PlaneView& plane, double x, double y) {
    return x >= 0 && y >= 0 && x <= static_cast<double>(plane.cols - 1) && y <= static_cast<double>(plane.rows - 1);
}

Colour colour_at(const ImageView& frame, double x, double y) {
    const std::uint8_t* p = frame.pixel(floor_to_int(y + 0.5), floor_to_int(x + 0.5));
    return {static_cast<double>(p[0]), static_cast<double>(p[1]), static_cast<double>(p[2])};
}

// The line through the points (total least squares): a unit normal and c.
bool fit_line(const std::vector<const EdgePoint*>& points, double& nx, double& ny, double& c) {
    if (points.size() < 2) return false;
    double mx = 0, my = 0;
    for (const EdgePoint* p : points) {
        mx += p->x;
        my += p->y;
    }
    mx /= static_cast<double>(points.size());
    my /= static_cast<double>(points.size());
    double sxx = 0, sxy = 0, syy = 0;
    for (const EdgePoint* p : points) {
        const double dx = p->x - mx, dy = p->y - my;
        sxx += dx * dx;
        sxy += dx * dy;
        syy += dy * dy;
    }
    // The direction of most spread; the normal is across it.
    const double angle = 0.5 * std::atan2(2 * sxy, sxx - syy);
    nx = -std::sin(angle);
    ny = std::cos(angle);
    c = nx * mx + ny * my;
    return sxx + syy > 0;
}

// What the frame shows along a line beyond a disc: too little of it in the
// frame to read; no step across it; a step on average, but not an edge
// (not alike all the way, a gradient, or both sides rough); an edge.
enum class Edge { unread, none, step, shown };

// Along the line from (x, y) in direction (dx, dy), from `from` to `to`
// pixels: what the frame's two sides of it show.
Edge edge_along(const ImageView& frame, const PlaneView& mask, const HalfPlane& line, double x, double y, double dx,
                double dy, double from, double to) {
    std::array<Colour, 64> steps;
    std::size_t n = 0;
    Colour mean{}, slope_a{}, slope_b{};
    // How much the frame varies from place to place along the line, on the
    // side the colour shows on (a) and on the other (b).
    double rough_a = 0, rough_b = 0, last_a = -1, last_b = -1;
    std::size_t pairs = 0;
    for (double t = from; t <= to && n < steps.size(); t += 1.0) {
        const double px = x + t * dx, py = y + t * dy;
        const double ax = px + kAcross * line.nx, ay = py + kAcross * line.ny;
        const double bx = px - kAcross * line.nx, by = py - kAcross * line.ny;
        const double fax = px + kFar * line.nx, fay = py + kFar * line.ny;
        const double fbx = px - kFar * line.nx, fby = py - kFar * line.ny;
        if (!inside(mask, fax, fay) || !inside(mask, fbx, fby)) break;
        // Where the colour lies beside the line, a ball of it may: not the thing's edge.
        if (set_at(mask, ax, ay) || set_at(mask, bx, by) || set_at(mask, fax, fay) || set_at(mask, fbx, fby)) {
            last_a = last_b = -1;
            continue;
        }
        const Colour a = colour_at(frame, ax, ay), b = colour_at(frame, bx, by);
        const double level_a = a[0] + a[1] + a[2], level_b = b[0] + b[1] + b[2];
        if (last_a >= 0) {
            rough_a += std::fabs(level_a - last_a);
            rough_b += std::fabs(level_b - last_b);
            ++pairs;
        }
        last_a = level_a;
        last_b = level_b;
        const Colour fa = colour_at(frame, fax, fay), fb = colour_at(frame, fbx, fby);
        for (int q = 0; q < 3; ++q) {
            steps[n][q] = a[q] - b[q];
            mean[q] += steps[n][q];
            slope_a[q] += fa[q] - a[q];
            slope_b[q] += b[q] - fb[q];
        }
        ++n;
    }
    if (n < kLeastSamples) return Edge::unread;
    const auto length2 = [](const Colour& v) { return v[0] * v[0] + v[1] * v[1] + v[2] * v[2]; };
    // An edge steps at the line; the frame's shading or a gradient changes
    // as much further off it.
    const bool steps_at_line =
        length2(mean) >= kEdgeOverSlope * kEdgeOverSlope * std::max(length2(slope_a), length2(slope_b));
    for (double& m : mean) m /= static_cast<double>(n);
    const double mean2 = length2(mean);
    if (mean2 < kLeastEdge * kLeastEdge) return Edge::none;
    // The thing in front is smoother than what lies behind it: a texture
    // (gravel, fur) that draws an edge by chance is as rough both sides.
    const bool smooth = pairs > 0 && rough_b <= std::max(kFlat * static_cast<double>(pairs), kSmoother * rough_a);
    if (!steps_at_line || !smooth) return Edge::step;
    std::size_t alike = 0;
    for (std::size_t k = 0; k < n; ++k)
        alike += steps[k][0] * mean[0] + steps[k][1] * mean[1] + steps[k][2] * mean[2] >= 0.5 * mean2;
    return static_cast<double>(alike) >= kAlike * static_cast<double>(n) ? Edge::shown : Edge::step;
}

}  // namespace

bool cut_line(const std::vector<EdgePoint>& points, const PlaneView& mask, const DiscShape& disc,
              HalfPlane& visible) {
    const double deep = disc.r - std::max(kLeastDeeper, kDeeper * disc.r);
    if (!(deep > 0)) return false;
    thread_local std::vector<const EdgePoint*> inner, near;
    inner.clear();
    near.clear();
    for (const EdgePoint& p : points) {
        const double dx = p.x - disc.x, dy = p.y - disc.y;
        if (std::fabs(dx) <= deep && std::fabs(dy) <= deep && dx * dx + dy * dy <= deep * deep) inner.push_back(&p);
    }
    if (inner.size() < kLeastPoints) return false;
    double nx, ny, c;
    if (!fit_line(inner, nx, ny, c)) return false;
    // Once more on those near the first line: a few points elsewhere (a
    // speck, a highlight's edge) pull it.
    for (const EdgePoint* p : inner)
        if (std::fabs(nx * p->x + ny * p->y - c) <= 2 * kOnLine) near.push_back(p);
    if (near.size() < kLeastPoints || !fit_line(near, nx, ny, c)) return false;
    double lo = 0, hi = 0;
    std::size_t on = 0;
    for (const EdgePoint* p : inner) {
        if (std::fabs(nx * p->x + ny * p->y - c) > kOnLine) continue;
        const double along = -ny * p->x + nx * p->y;
        lo = on == 0 ? along : std::min(lo, along);
        hi = on == 0 ? along : std::max(hi, along);
        ++on;
    }
    if (static_cast<double>(on) < kOnLineShare * static_cast<double>(inner.size()) || hi - lo < kLeastSpan * disc.r)
        return false;
    // The side the colour shows on: read a little way off the line's middle
    // within the disc, each way.
    const double d = nx * disc.x + ny * disc.y - c;  // the centre's side and distance
    const double mx = disc.x - d * nx, my = disc.y - d * ny;
    const double off = std::max(3.0, 0.25 * disc.r);
    std::int32_t plus = 0, minus = 0;
    for (const double t : {-0.4, 0.0, 0.4}) {
        const double x = mx - ny * t * disc.r, y = my + nx * t * disc.r;
        for (const int sign : {1, -1}) {
            const double sx = x + sign * off * nx, sy = y + sign * off * ny;
            if (std::hypot(sx - disc.x, sy - disc.y) > deep || !inside(mask, sx, sy)) continue;
            (sign > 0 ? plus : minus) += set_at(mask, sx, sy) ? 1 : -1;
        }
    }
    if (plus == minus) return false;
    visible = plus > minus ? HalfPlane{nx, ny, c} : HalfPlane{-nx, -ny, -c};
    return true;
}

bool runs_on(const ImageView& frame, const PlaneView& mask, const DiscShape& disc, const HalfPlane& line) {
    const double d = line.nx * disc.x + line.ny * disc.y - line.c;
    if (std::fabs(d) >= disc.r) return false;
    const double h = std::sqrt(disc.r * disc.r - d * d);
    const double mx = disc.x - d * line.nx, my = disc.y - d * line.ny;
    const double ux = -line.ny, uy = line.nx;  // along the line
    const double from = std::max(kRunStart, kRunFrom * disc.r), to = std::max(kRunLeast, kRunTo * disc.r);
    // An edge at one end, and a step at the other where it is in the frame:
    // a thing in front crosses the ball (it may end soon past it, or its
    // edge fade there); a texture runs along a line by chance, on one side.
    const Edge one = edge_along(frame, mask, line, mx + h * ux, my + h * uy, ux, uy, from, to);
    const Edge other = edge_along(frame, mask, line, mx - h * ux, my - h * uy, -ux, -uy, from, to);
    return (one == Edge::shown && other != Edge::none) || (other == Edge::shown && one != Edge::none);
}

}  // namespace kestrune::find
