// Refining shapes from edge points on known outlines.
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>
#include <random>
#include <vector>

#include "check.hpp"
#include "kestrune/simd/level.hpp"
#include "kestrune_find/native/refine.hpp"

using namespace kestrune::find;
using kestrune::cpu_simd_level;
using kestrune::cpu_simd_levels;
using kestrune::SimdLevel;

namespace {

constexpr double kTwoPi = 2 * std::numbers::pi;

// n points on the ellipse, each moved up to `noise` pixels along x and y.
std::vector<EdgePoint> ellipse_points(const EllipseShape& e, int n, double noise, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> jitter(-noise, noise);
    std::vector<EdgePoint> points;
    const double cs = std::cos(e.theta), sn = std::sin(e.theta);
    for (int k = 0; k < n; ++k) {
        const double u = kTwoPi * k / n, s = e.a * std::cos(u), t = e.b * std::sin(u);
        const double x = e.x + s * cs - t * sn + jitter(rng), y = e.y + s * sn + t * cs + jitter(rng);
        points.push_back({x, y, Side::right, 0});
    }
    return points;
}

std::vector<FitPoint> fit_points(const std::vector<EdgePoint>& points) {
    std::vector<FitPoint> out;
    for (const EdgePoint& p : points) out.push_back({p.x, p.y});
    return out;
}

// theta and theta + pi are the same ellipse.
double angle_apart(double a, double b) {
    const double d = std::fmod(std::fabs(a - b), std::numbers::pi);
    return std::min(d, std::numbers::pi - d);
}

}  // namespace

TEST(fit_disc_finds_the_circle_from_a_rough_start) {
    const struct {
        DiscShape truth, start;
        double noise, tolerance;
    } cases[] = {
        {{50, 40, 20}, {53, 37, 15}, 0.0, 1e-6},
        {{120.5, 80.25, 64}, {110, 90, 80}, 0.0, 1e-6},
        {{30, 30, 12}, {31, 29, 13}, 0.3, 0.1},
    };
    for (const auto& c : cases) {
        const auto points = ellipse_points({c.truth.x, c.truth.y, c.truth.r, c.truth.r, 0}, 40, c.noise, 1);
        DiscShape fitted = c.start;
        CHECK(fit_disc(fit_points(points), fitted, cpu_simd_level()));
        CHECK(std::fabs(fitted.x - c.truth.x) < c.tolerance);
        CHECK(std::fabs(fitted.y - c.truth.y) < c.tolerance);
        CHECK(std::fabs(fitted.r - c.truth.r) < c.tolerance);
        for (const EdgePoint& p : points)
            CHECK(std::fabs(disc_distance(fitted, p.x, p.y)) <= c.noise * std::sqrt(2.0) + c.tolerance);
    }
}

TEST(fit_disc_refuses_too_few_points_and_keeps_the_shape) {
    const auto points = ellipse_points({0, 0, 10, 10, 0}, 4, 0, 1);
    DiscShape shape{1, 2, 3};
    for (const SimdLevel level : cpu_simd_levels()) CHECK(!fit_disc(fit_points(points), shape, level));
    CHECK(shape.x == 1 && shape.y == 2 && shape.r == 3);
}

TEST(fit_ellipse_finds_the_ellipse_from_its_second_harmonic) {
    const EllipseShape cases[] = {
        {60, 50, 30, 18, 0.4},
        {100, 70, 45, 40, -1.2},
        {40, 40, 25, 10, 1.5},
    };
    for (const EllipseShape& truth : cases) {
        const auto points = ellipse_points(truth, 64, 0.0, 2);
        const auto outline = fit_points(points);
        // The start the search uses: a disc about the centre, bent by the
        // points' second harmonic.
        const DiscShape disc{truth.x + 1.5, truth.y - 1.0, (truth.a + truth.b) / 2};
        const double expected = (truth.a - truth.b) / (truth.a + truth.b);
        // (a - b) / (a + b) closely while the outline is nearly round; above
        // it when long (0.51 for 0.43 at 5:2).
        const double harmonic = ellipticity(outline, {truth.x, truth.y, disc.r});
        CHECK(truth.b < 0.6 * truth.a ? harmonic > expected : std::fabs(harmonic - expected) < 0.06 * expected);
        EllipseShape fitted = ellipse_through(outline, disc);
        CHECK(fitted.a >= fitted.b);
        CHECK(fit_ellipse(outline, fitted, cpu_simd_level(), 30));
        // Semi-axes may come back swapped with the angle turned a quarter.
        if (fitted.a < fitted.b) {
            std::swap(fitted.a, fitted.b);
            fitted.theta += std::numbers::pi / 2;
        }
        CHECK(std::fabs(fitted.x - truth.x) < 1e-3 && std::fabs(fitted.y - truth.y) < 1e-3);
        CHECK(std::fabs(fitted.a - truth.a) < 1e-3 && std::fabs(fitted.b - truth.b) < 1e-3);
        CHECK(angle_apart(fitted.theta, truth.theta) < 1e-3);
        const EllipseGeometry geometry(fitted);
        for (const EdgePoint& p : points) CHECK(std::fabs(geometry.distance(p.x, p.y)) < 1e-3);
    }
}

TEST(a_squares_sides_show_in_the_fourth_harmonic_and_a_balls_outline_does_not) {
    // The sides of a square turned 0.3, where they lie within a quarter of
    // the radius of the circle inside it (what a disc's outline gathers).
    const DiscShape disc{100, 80, 50};
    std::vector<FitPoint> sides;
    for (int side = 0; side < 4; ++side) {
        const double normal = 0.3 + side * std::numbers::pi / 2;
        for (double along = -37.5; along <= 37.5; along += 0.5)
            sides.push_back({disc.x + disc.r * std::cos(normal) - along * std::sin(normal),
                             disc.y + disc.r * std::sin(normal) + along * std::cos(normal)});
    }
    CHECK(ellipticity(sides, disc) < 1e-6);
    CHECK(squareness(sides, disc) > 0.05);
    CHECK(turn_covered(sides, disc) > 0.75);  // not in the corners
    CHECK(straightest_side(sides, disc, 5) < 1e-9);
    // A noisy circle and an ellipse of axis ratio 1.3 stay far below.
    const auto round = fit_points(ellipse_points({100, 80, 50, 50, 0}, 200, 0.5, 2));
    CHECK(squareness(round, disc) < 0.005);
    const auto oval = fit_points(ellipse_points({100, 80, 56.5, 43.5, 0.7}, 200, 0.5, 2));
    CHECK(squareness(oval, disc) < 0.02);
    // An arc over 5 of 32 sectors strays from a line by about 3 % of the radius.
    CHECK(straightest_side(round, disc, 5) > 0.025 && straightest_side(round, disc, 5) < 0.035);
    // Half the circle: half the turn.
    std::vector<FitPoint> half(round.begin(), round.begin() + 100);
    CHECK(turn_covered(half, disc) == 0.5);
}

TEST(a_polygons_sides_are_counted_apart_and_a_circles_are_none) {
    // A regular pentagon's sides, within a quarter of the radius of its
    // circumscribed circle (its corners rounded off by leaving them out).
    const DiscShape disc{100, 80, 50};
    std::vector<FitPoint> sides;
    const double apothem = disc.r * std::cos(std::numbers::pi / 5), half = disc.r * std::sin(std::numbers::pi / 5);
    for (int side = 0; side < 5; ++side) {
        const double normal = 0.3 + side * kTwoPi / 5;
        for (double along = -0.8 * half; along <= 0.8 * half; along += 0.5)
            sides.push_back({disc.x + apothem * std::cos(normal) - along * std::sin(normal),
                             disc.y + apothem * std::sin(normal) + along * std::cos(normal)});
    }
    CHECK(straight_sides(sides, disc, 4, 0.01).count == 5);
    const auto round = fit_points(ellipse_points({100, 80, 50, 50, 0}, 200, 0.5, 2));
    CHECK(straight_sides(round, disc, 4, 0.01).count == 0);
    // One chord across the circle (a bar in front): one side.
    std::vector<FitPoint> cut;
    for (const FitPoint& p : round)
        if (p.x < 140) cut.push_back(p);
    for (double y = 50; y <= 110; y += 0.5) cut.push_back({140, y});
    CHECK(straight_sides(cut, disc, 4, 0.01).count == 1);
}

TEST(a_ring_leaves_out_only_points_further_than_the_band_from_the_outline) {
    // Discs and ellipses up to the longest axis ratio a ring is drawn for;
    // points at the ring's radii give or take a few parts in 10^12, where
    // rounding could tell otherwise, and anywhere out to twice the ring.
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    int left_out = 0;
    for (int shape = 0; shape < 400; ++shape) {
        const double ratio = std::array<double, 5>{1.0, 1.3, 3.0, 20.0, 64.0}[shape % 5];
        const double b = 1.0 + 150.0 * unit(rng), a = b * ratio;
        const EllipseShape e{640 * unit(rng), 480 * unit(rng), a, b, kTwoPi * unit(rng)};
        const double band = shape % 7 == 0 ? 0.0 : b * unit(rng);
        const bool round = ratio == 1.0;
        const Ring ring(e.x, e.y, b, a, band);
        const EllipseGeometry geometry(e);
        const double radii[2] = {std::sqrt(ring.outer2), ring.inner2 > 0 ? std::sqrt(ring.inner2) : 0.0};
        for (int k = 0; k < 200; ++k) {
            const double turn = kTwoPi * unit(rng);
            const double near_ring = radii[k % 2] * (1 + 1e-12 * ((k / 2) % 7 - 3));
            const double from_centre = k < 140 ? near_ring : 2 * radii[0] * unit(rng);
            const double x = e.x + from_centre * std::cos(turn), y = e.y + from_centre * std::sin(turn);
            if (!ring.beyond(x, y)) continue;
            ++left_out;
            const double distance = round ? disc_distance({e.x, e.y, a}, x, y) : geometry.distance(x, y);
            CHECK(std::fabs(distance) > band);
        }
    }
    CHECK(left_out > 20000);
    // No ring for a longer ellipse, nor for a shape that is not one.
    CHECK(!Ring(0, 0, 1, 65, 0).beyond(1000, 1000));
    CHECK(!Ring(0, 0, std::nan(""), 2, 0).beyond(1000, 1000));
    CHECK(!Ring(0, 0, 0, 2, 0).beyond(1000, 1000));
    CHECK(Ring(0, 0, 10, 10, 1).outside(12, 0) && !Ring(0, 0, 10, 10, 1).outside(10.5, 0));
}

TEST(fits_give_the_same_bits_on_every_instruction_set) {
    // Noisy outlines, from starts near and far (some fits fail, which must
    // fail alike), against the baseline build.
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int shape = 0; shape < 60; ++shape) {
        const double b = 4.0 + 80.0 * unit(rng), a = b * (1.0 + 0.6 * unit(rng));
        const EllipseShape truth{300 * unit(rng), 200 * unit(rng), a, b, kTwoPi * unit(rng)};
        const auto outline = fit_points(ellipse_points(truth, 5 + shape * 7, 0.5 * unit(rng), shape));
        const double off = shape % 3 == 0 ? 0.5 * b : 0.1 * b;
        const DiscShape disc_start{truth.x + off, truth.y - off, b};
        const EllipseShape ellipse_start{truth.x - off, truth.y + off, a + off, b, truth.theta + 0.2};
        DiscShape disc_base = disc_start;
        EllipseShape ellipse_base = ellipse_start;
        const bool disc_fitted = fit_disc(outline, disc_base, SimdLevel::scalar);
        const bool ellipse_fitted = fit_ellipse(outline, ellipse_base, SimdLevel::scalar, 4 + shape % 9);
        for (const SimdLevel level : cpu_simd_levels()) {
            DiscShape disc = disc_start;
            EllipseShape ellipse = ellipse_start;
            CHECK(fit_disc(outline, disc, level) == disc_fitted);
            CHECK(fit_ellipse(outline, ellipse, level, 4 + shape % 9) == ellipse_fitted);
            CHECK(std::memcmp(&disc, &disc_base, sizeof disc) == 0);
            CHECK(std::memcmp(&ellipse, &ellipse_base, sizeof ellipse) == 0);
        }
    }
}

TEST(fit_line_gives_the_centre_line_of_a_line_and_of_a_band) {
    // Points along a thin line, and along both edges of a band 8 wide (the
    // centre line between them), at several angles.
    for (const double angle : {0.0, 0.3, 1.2, std::numbers::pi / 2, 2.5}) {
        for (const double half_width : {0.0, 4.0}) {
            const double dx = std::cos(angle), dy = std::sin(angle), nx = -dy, ny = dx;
            const double px = 30, py = 20;
            std::vector<double> xs, ys, weights;
            for (int k = -10; k <= 10; ++k)
                for (const double side : {-half_width, half_width}) {
                    xs.push_back(px + k * 3 * dx + side * nx);
                    ys.push_back(py + k * 3 * dy + side * ny);
                    weights.push_back(k == 0 ? 2.0 : 1.0);
                }
            double fx, fy, fnx, fny;
            CHECK(fit_line(xs, ys, weights, fx, fy, fnx, fny));
            CHECK(std::fabs(fx - px) < 1e-9 && std::fabs(fy - py) < 1e-9);
            CHECK(std::fabs(std::fabs(fnx * nx + fny * ny) - 1.0) < 1e-9);  // the normal, either way round
        }
    }
    double px, py, nx, ny;
    CHECK(!fit_line({1.0}, {2.0}, {1.0}, px, py, nx, ny));
    CHECK(!fit_line({1.0, 2.0}, {2.0, 3.0}, {0.0, 0.0}, px, py, nx, ny));
}
