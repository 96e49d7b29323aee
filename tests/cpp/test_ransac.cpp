#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "check.hpp"
#include "kestrune/dispatch/fits.hpp"
#include "kestrune/ransac/geometry.hpp"
#include "kestrune/ransac/sampler.hpp"
#include "kestrune/simd/kernels.hpp"
#include "kestrune/simd/level.hpp"

using namespace kestrune;

namespace {

// Points stored at an odd byte offset so that no loop may assume alignment.
struct PointBuffer {
    std::vector<std::uint8_t> bytes;
    std::int64_t n;
    explicit PointBuffer(const std::vector<Point>& pts) : bytes(pts.size() * 8 + 1), n(pts.size()) {
        if (!pts.empty()) std::memcpy(bytes.data() + 1, pts.data(), pts.size() * 8);
    }
    PointsView view() { return {bytes.data() + 1, n, 2, 8}; }
};

std::vector<Point> random_points(std::mt19937& rng, int n, int lo, int hi) {
    std::uniform_int_distribution<int> d(lo, hi);
    std::vector<Point> pts(n);
    for (auto& p : pts) p = {d(rng), d(rng)};
    return pts;
}

bool near(double a, double b, double tol) { return std::fabs(a - b) <= tol; }

std::vector<SimdLevel> supported_levels() {
    const auto levels = cpu_simd_levels();
    return {levels.begin(), levels.end()};
}

}  // namespace

TEST(sampler_worked_example) {
    IndexSampler s{123456789u, 5};
    std::int64_t idx[3];
    s.draw(idx);
    CHECK(idx[0] == 4 && idx[1] == 2 && idx[2] == 0);
    CHECK(s.state == 1475571481u);
}

TEST(sampler_indices_distinct_and_in_range) {
    IndexSampler s{7u, 6};
    for (int it = 0; it < 1000; ++it) {
        std::int64_t idx[5];
        s.draw(idx);
        for (int a = 0; a < 5; ++a) {
            CHECK(idx[a] >= 0 && idx[a] < 6);
            for (int b = 0; b < a; ++b) CHECK(idx[a] != idx[b]);
        }
    }
}

TEST(circle_examples) {
    Circle c{};
    const Point a[3] = {{10, 0}, {0, 10}, {-10, 0}};
    CHECK(points_to_circle(a, c) == 1 && c.x == 0 && c.y == 0 && c.r == 10);
    const Point b[3] = {{174, 271}, {187, 267}, {166, 267}};
    CHECK(points_to_circle(b, c) == 1 && c.x == 176 && c.y == 256 && c.r == 15);
    const Point collinear[3] = {{1, 5}, {9, 5}, {30, 5}};
    CHECK(points_to_circle(collinear, c) == 0);
}

// The written formulas in 64-bit integers (exact for small coordinates), the
// radius from the exact centre in doubles.
static int circle_64(const Point p[3], Circle& r) {
    const std::int64_t x0 = p[0].x, y0 = p[0].y, x1 = p[1].x, y1 = p[1].y, x2 = p[2].x, y2 = p[2].y;
    const std::int64_t c1 = x0 * x0 + y0 * y0, c2 = x1 * x1 + y1 * y1, c3 = x2 * x2 + y2 * y2;
    const std::int64_t A = x0 * (y1 - y2) + y0 * (x2 - x1) + x1 * y2 - x2 * y1;
    if (A == 0) return 0;
    const std::int64_t A2 = 2 * A;
    const std::int64_t B = c1 * (y2 - y1) + c2 * (y0 - y2) + c3 * (y1 - y0);
    const std::int64_t C = c1 * (x1 - x2) + c2 * (x2 - x0) + c3 * (x0 - x1);
    const std::int64_t cx = (-B) / A2, cy = (-C) / A2;
    if (cx < INT32_MIN || cx > INT32_MAX || cy < INT32_MIN || cy > INT32_MAX) return 0;
    const double dx = static_cast<double>(x0) - -static_cast<double>(B) / static_cast<double>(A2);
    const double dy = static_cast<double>(y0) - -static_cast<double>(C) / static_cast<double>(A2);
    const double radius = std::sqrt(dx * dx + dy * dy);
    if (!(radius < 2147483648.0)) return 0;
    r = {static_cast<std::int32_t>(cx), static_cast<std::int32_t>(cy), static_cast<std::int32_t>(radius)};
    return 1;
}

TEST(circle_matches_64_bit_formulas) {
    std::mt19937 rng(5);
    for (int t = 0; t < 20000; ++t) {
        const auto pts = random_points(rng, 3, -5000, 5000);
        Circle w{}, s{};
        const int ok64 = circle_64(pts.data(), s);
        const int ok = points_to_circle(pts.data(), w);
        CHECK(ok == ok64);
        if (ok && ok64) CHECK(w.x == s.x && w.y == s.y && w.r == s.r);
    }
}

TEST(circle_extreme_coordinates_do_not_trap) {
    Circle c{};
    const Point far[3] = {{-(1 << 30), 0}, {1 << 30, 0}, {0, 1 << 30}};
    CHECK(points_to_circle(far, c) == 1 && c.x == 0 && c.y == 0 && c.r == (1 << 30));
    const Point huge[3] = {{INT32_MIN, INT32_MIN}, {INT32_MAX, INT32_MIN}, {INT32_MIN, INT32_MAX}};
    CHECK(points_to_circle(huge, c) == 0);  // radius about 3e9
    const Point thin[3] = {{INT32_MIN, 0}, {INT32_MAX, 1}, {0, 0}};
    CHECK(points_to_circle(thin, c) == 0);  // centre far outside int32
}

TEST(ellipse_example) {
    const Point p[5] = {{280, 154}, {221, 189}, {136, 174}, {142, 122}, {230, 113}};
    Ellipse e{};
    CHECK(points_to_ellipse(p, e) == 1);
    CHECK(near(e.x, 200.0079, 1e-4) && near(e.y, 150.1022, 1e-4));
    CHECK(near(e.a, 40.1773, 1e-4) && near(e.b, 80.2905, 1e-4));
    CHECK(near(e.theta, -1.56335, 1e-5));
    const Point hyperbola[5] = {{10, 10}, {20, 5}, {5, 20}, {25, 4}, {4, 25}};
    CHECK(points_to_ellipse(hyperbola, e) == 0);
    const Point collinear[5] = {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}};
    CHECK(points_to_ellipse(collinear, e) == 0);
}

TEST(ellipse_coeffs_sign_inside_on_outside) {
    const Ellipse e{30, 20, 80, 40, 0.3};
    double c[6];
    ellipse_coeffs(e, c);
    CHECK(ellipse_eval({30, 20}, c) < 0);
    CHECK(ellipse_eval({300, 20}, c) > 0);
    // Five points on it come back as the same ellipse.
    Point p[5];
    const double ts[5] = {0.1, 1.4, 2.5, 3.9, 5.2};
    for (int k = 0; k < 5; ++k) {
        const double u = 80 * std::cos(ts[k]), v = 40 * std::sin(ts[k]);
        p[k] = {static_cast<int>(std::lround(30 + u * std::cos(0.3) - v * std::sin(0.3))),
                static_cast<int>(std::lround(20 + u * std::sin(0.3) + v * std::cos(0.3)))};
    }
    Ellipse r{};
    CHECK(points_to_ellipse(p, r) == 1);
    CHECK(near(r.a, 80, 1.5) && near(r.b, 40, 1.5) && near(r.theta, 0.3, 0.03));
}

TEST(solve_matrix_zero_pivot_and_solution) {
    double m[5][6] = {{2, 0, 0, 0, 0, 4}, {0, 0, 0, 0, 0, 1}, {0, 0, 1, 0, 0, 3},
                      {0, 0, 0, 1, 0, 4}, {0, 0, 0, 0, 1, 5}};
    double s[5];
    CHECK(solve_matrix(m, s) == 0);
    double g[5][6] = {{0, 1, 0, 0, 0, 2}, {1, 0, 0, 0, 0, 1}, {0, 0, 2, 0, 0, 6},
                      {0, 0, 0, -1, 0, 4}, {0, 0, 0, 1, 1, 1}};
    CHECK(solve_matrix(g, s) == 1);
    CHECK(s[0] == 1 && s[1] == 2 && s[2] == 3 && s[3] == -4 && s[4] == 5);
}

// The elimination as plainly written: whole rows swapped, divided and
// subtracted, columns left of the pivot too.
static int reference_solve(double m[5][6], double sol[5]) {
    for (int i = 0; i < 5; ++i) {
        for (int j = i + 1; j < 5; ++j)
            if (m[i][i] == 0.0 || (m[j][i] > m[i][i] && m[j][i] != 0.0))
                for (int k = 0; k < 6; ++k) std::swap(m[i][k], m[j][k]);
        if (m[i][i] == 0.0) return 0;
        const double pivot = m[i][i];
        for (int k = i; k < 6; ++k) m[i][k] = m[i][k] / pivot;
        for (int j = i + 1; j < 5; ++j) {
            const double f = m[j][i];
            for (int k = i; k < 6; ++k) m[j][k] = m[j][k] - m[i][k] * f;
        }
    }
    for (int i = 4; i >= 0; --i) {
        sol[i] = m[i][5];
        for (int k = 4; k > i; --k) sol[i] = sol[i] - m[i][k] * sol[k];
    }
    return 1;
}

// Bit for bit the plain elimination: on the conic systems of random samples
// (as the ellipse fit builds them) and on small integers, whose zeros and
// ties take every branch of the pivot choice.
TEST(solve_matrix_matches_plain_elimination) {
    std::mt19937 rng(17);
    std::uniform_int_distribution<int> coordinate(0, 640), tiny(-2, 2);
    int solved = 0, refused = 0;
    for (int it = 0; it < 100000; ++it) {
        double m[5][6], copy[5][6];
        for (int r = 0; r < 5; ++r) {
            const double x = coordinate(rng), y = coordinate(rng);
            const double conic[6] = {x * x, x * y, y * y, x, y, 1.0};
            for (int k = 0; k < 6; ++k) m[r][k] = it % 2 ? conic[k] : tiny(rng);
        }
        std::memcpy(copy, m, sizeof m);
        double got[5] = {}, want[5] = {};
        const int k_got = solve_matrix(m, got), k_want = reference_solve(copy, want);
        CHECK(k_got == k_want);
        if (k_want) CHECK(std::memcmp(got, want, sizeof got) == 0);
        (k_want ? solved : refused) += 1;
    }
    CHECK(solved > 50000 && refused > 1000);
}

TEST(line_helpers_band) {
    const Point p[2] = {{2, 3}, {6, 6}};
    Line l{};
    CHECK(points_to_line(p, l) == 1 && l.nx == 3 && l.ny == -4 && l.px == 2);
    std::int32_t c[3];
    line_coeffs(l, c);
    CHECK(c[2] == -(3 * 2 - 4 * 3));
    line_shift(l, c, 2);  // 2 * sqrt(25)
    CHECK(c[2] == 6 + 10);
    const Point same[2] = {{4, 4}, {4, 4}};
    CHECK(points_to_line(same, l) == 0);
}

// Every instruction set counts exactly as the scalar loop, at odd sizes and
// unaligned addresses, including wrapped 32-bit products.
TEST(score_kernels_agree_across_levels) {
    std::mt19937 rng(11);
    const KernelTable& ref = kernel_table(SimdLevel::scalar);
    for (int n : {0, 1, 7, 8, 9, 31, 33, 257, 1001}) {
        for (int range : {300, 1000000}) {
            PointBuffer buf(random_points(rng, n, -range, range));
            std::uniform_int_distribution<int> pick(0, n > 0 ? n - 1 : 0);
            for (int trial = 0; trial < 20; ++trial) {
                std::uniform_int_distribution<int> c(-400, 400);
                Line l{c(rng), c(rng), c(rng), c(rng)};
                const std::int32_t w = trial % 7;
                std::int32_t hi[3], lo[3];
                line_coeffs(l, hi);
                line_shift(l, hi, w);
                line_coeffs(l, lo);
                line_shift(l, lo, -w);
                const Band b1{hi[0], hi[1], hi[2], lo[2]};
                const Band b2{c(rng), c(rng), c(rng) * 50, c(rng) * 50};
                const Ring32 ring{c(rng), c(rng), c(rng) * c(rng) / 4 + 40000, 90000 + trial * 1000};
                Shell sh;
                double sn = std::sin(trial * 0.3), cs = std::cos(trial * 0.3);
                ellipse_coeffs_sc({double(c(rng)), double(c(rng)), 100.0 + trial, 60.0}, sn, cs, sh.b1);
                ellipse_coeffs_sc({double(c(rng)), double(c(rng)), 250.0, 190.0 + trial}, sn, cs, sh.b2);
                const auto v = buf.view();
                for (SimdLevel level : supported_levels()) {
                    const KernelTable& k = kernel_table(level);
                    CHECK(k.score.band(v.data, n, b1) == ref.score.band(v.data, n, b1));
                    CHECK(k.score.band_xor(v.data, n, b1, b2) == ref.score.band_xor(v.data, n, b1, b2));
                    CHECK(k.score.shell(v.data, n, sh) == ref.score.shell(v.data, n, sh));
                    if (range == 300) CHECK(k.score.ring(v.data, n, ring) == ref.score.ring(v.data, n, ring));
                }
            }
        }
    }
}

// The ring loops at the edge of their exactness range: differences of
// +-32767 on both axes, bounds clamped to INT32_MAX.
TEST(ring_kernels_at_the_limit) {
    std::vector<Point> pts;
    for (int k = 0; k < 37; ++k) {
        const int sx = k % 3 - 1, sy = (k / 3) % 3 - 1;
        pts.push_back({1000 + sx * (32767 - k), -5000 + sy * 32767});
    }
    PointBuffer buf(pts);
    const auto v = buf.view();
    for (const Ring32 ring : {Ring32{1000, -5000, 0, INT32_MAX}, Ring32{1000, -5000, 1073676289, INT32_MAX},
                              Ring32{1000, -5000, 2147352578, 2147352578}}) {
        std::int64_t want = 0;
        for (const Point& q : pts) {
            const std::int64_t dx = q.x - 1000, dy = q.y + 5000, d2 = dx * dx + dy * dy;
            want += ring.lo <= d2 && d2 <= ring.hi;
        }
        for (SimdLevel level : supported_levels()) CHECK(kernel_table(level).score.ring(v.data, v.rows, ring) == want);
    }
}

// Whole fits: each level and a row-strided view give the packed scalar result.
TEST(fits_agree_across_levels_and_strides) {
    std::mt19937 rng(3);
    for (int n : {5, 6, 41, 500}) {
        std::vector<Point> pts = random_points(rng, n, 0, 400);
        for (int k = 0; k < n / 2; ++k) {  // half of them on a circle and a line
            const double t = k * 0.37;
            pts[k] = k % 2 ? Point{200 + static_cast<int>(80 * std::cos(t)), 150 + static_cast<int>(50 * std::sin(t))}
                           : Point{100 + k, 3 * k};
        }
        PointBuffer packed(pts);
        std::vector<std::uint8_t> spaced(n * 12 + 3);
        for (int k = 0; k < n; ++k) std::memcpy(spaced.data() + 3 + 12 * k, &pts[k], 8);
        const PointsView strided{spaced.data() + 3, n, 2, 12};
        std::vector<std::uint8_t> m0(n), m1(n), m2(n);
        const auto ref_l = ransac_line_seeded(99, SimdLevel::scalar, packed.view(), {m0.data(), n}, 200, 2, 0.1);
        const auto ref_l2 = ransac_line2_seeded(99, SimdLevel::scalar, packed.view(), {m2.data(), n}, 200, 0.9, 2);
        const auto ref_c = ransac_circle_seeded(99, SimdLevel::scalar, packed.view(), 200, 10, 200, 2);
        const auto ref_e = ransac_ellipse_seeded(99, SimdLevel::scalar, packed.view(), 200, 10, 200, 3.0, 2);
        for (SimdLevel level : supported_levels()) {
            for (const PointsView& v : {packed.view(), strided}) {
                const auto l = ransac_line_seeded(99, level, v, {m1.data(), n}, 200, 2, 0.1);
                CHECK(std::memcmp(&l, &ref_l, sizeof l) == 0 && m1 == m0);
                const auto l2 = ransac_line2_seeded(99, level, v, {m1.data(), n}, 200, 0.9, 2);
                CHECK(std::memcmp(&l2, &ref_l2, sizeof l2) == 0 && m1 == m2);
                const auto c = ransac_circle_seeded(99, level, v, 200, 10, 200, 2);
                CHECK(std::memcmp(&c, &ref_c, sizeof c) == 0);
                const auto e = ransac_ellipse_seeded(99, level, v, 200, 10, 200, 3.0, 2);
                CHECK(std::memcmp(&e, &ref_e, sizeof e) == 0);
            }
        }
    }
}

// The circle fit as plainly written, with exact 128-bit ring sums.
static Circle reference_circle_fit(std::uint32_t seed, const std::vector<Point>& pts, int count, int min_r,
                                   int max_r, int delta) {
    IndexSampler sampler{seed, static_cast<std::uint32_t>(pts.size())};
    Circle best{};
    long best_score = 0;
    for (int it = 0; it < count; ++it) {
        std::int64_t idx[3];
        sampler.draw(idx);
        const Point p[3] = {pts[idx[0]], pts[idx[1]], pts[idx[2]]};
        Circle c;
        if (!points_to_circle(p, c) || c.r > max_r || c.r < min_r) continue;
        const __int128 lo = (__int128{c.r} - delta) * (__int128{c.r} - delta);
        const __int128 hi = (__int128{c.r} + delta) * (__int128{c.r} + delta);
        long score = 0;
        for (const Point& q : pts) {
            const __int128 dx = __int128{q.x} - c.x, dy = __int128{q.y} - c.y;
            score += lo <= dx * dx + dy * dy && dx * dx + dy * dy <= hi;
        }
        if (score > best_score) best = c, best_score = score;
    }
    return best;
}

// Far-away points force the wide ring test; with or without them, and for
// a negative delta, the fit counts as the plain definition does.
TEST(circle_fit_matches_reference_near_and_far) {
    std::mt19937 rng(8);
    std::vector<Point> pts = random_points(rng, 300, 0, 300);
    for (int k = 0; k < 150; ++k)
        pts[2 * k] = {150 + static_cast<int>(std::lround(60 * std::cos(k * 0.2))),
                      140 + static_cast<int>(std::lround(60 * std::sin(k * 0.2)))};
    for (int variant = 0; variant < 3; ++variant) {
        if (variant == 1) pts[7] = {INT32_MAX, INT32_MIN};
        if (variant == 2) pts[9] = {INT32_MIN, INT32_MAX};
        PointBuffer buf(pts);
        for (int delta : {2, 0, -1}) {
            const Circle want = reference_circle_fit(77, pts, 300, 20, 100, delta);
            for (SimdLevel level : supported_levels()) {
                const Circle got = ransac_circle_seeded(77, level, buf.view(), 300, 20, 100, delta);
                CHECK(got.x == want.x && got.y == want.y && got.r == want.r);
            }
            if (delta == 2) CHECK(want.r >= 58 && want.r <= 62);
            if (delta == -1) CHECK(want.r == 0);
        }
    }
}

// Within kCircle64Reach the 64-bit circle is the 128-bit one: at the reach
// on every axis (the largest sums), and near-collinear samples whose
// quotients sit on a truncation's edge; the fit leaves a point one past the
// reach to the wide path and still counts as the plain definition does.
TEST(circle_64_bit_path_matches_128_bit) {
    constexpr std::int32_t R = kCircle64Reach;
    const std::int32_t edges[] = {R, -R, R - 1, -R + 1, 0, 1, -1, R / 2, -R / 3};
    std::mt19937 rng(21);
    std::uniform_int_distribution<int> pick(0, 8), small(-3, 3), any(-R, R);
    const auto near_edge = [&] { return std::clamp(edges[pick(rng)] + small(rng), -R, R); };
    int found = 0;
    for (int it = 0; it < 200000; ++it) {
        Point p[3];
        for (auto& q : p) {
            const int mode = it % 3;
            q = mode == 0 ? Point{edges[pick(rng)], edges[pick(rng)]}
                          : mode == 1 ? Point{any(rng), any(rng)} : Point{near_edge(), near_edge()};
        }
        Circle a{-1, -1, -1}, b{-1, -1, -1};
        const int ka = points_to_circle_near(p, a), kb = points_to_circle(p, b);
        CHECK(ka == kb);
        if (ka == 1) {
            ++found;
            CHECK(a.x == b.x && a.y == b.y && a.r == b.r);
        }
    }
    CHECK(found > 10000);
    const std::vector<Point> pts = {{R, -R}, {-R, R}, {R, R}, {-R, -R}, {0, R}, {R, 0}};
    std::vector<Point> beyond = pts;
    beyond.push_back({R + 1, 0});
    for (const auto& set : {pts, beyond}) {
        PointBuffer buf(set);
        const Circle want = reference_circle_fit(4, set, 60, 0, INT32_MAX, 2);
        const Circle got = ransac_circle_seeded(4, SimdLevel::scalar, buf.view(), 60, 0, INT32_MAX, 2);
        CHECK(got.x == want.x && got.y == want.y && got.r == want.r);
    }
}

TEST(too_few_points_return_zero_and_flag_all) {
    PointBuffer one({{5, 5}});
    std::uint8_t mask[2] = {7, 7};
    const Line l = ransac_line_seeded(1, SimdLevel::scalar, one.view(), {mask, 2}, 10, 2, 0.0);
    CHECK(l.px == 0 && l.nx == 0 && l.ny == 0 && mask[0] == 1 && mask[1] == 7);
    PointBuffer three({{1, 1}, {2, 5}, {9, 3}});
    std::uint8_t m3[3] = {};
    const Line2 l2 = ransac_line2_seeded(1, SimdLevel::scalar, three.view(), {m3, 3}, 10, 0.5, 2);
    CHECK(l2.l1.nx == 0 && l2.l2.ny == 0 && m3[0] == 1 && m3[2] == 1);
    PointBuffer two({{1, 1}, {2, 5}});
    const Circle c = ransac_circle_seeded(1, SimdLevel::scalar, two.view(), 10, 0, 100, 2);
    CHECK(c.x == 0 && c.y == 0 && c.r == 0);
    const Ellipse e = ransac_ellipse_seeded(1, SimdLevel::scalar, three.view(), 10, 0, 100, 2.0, 2);
    CHECK(e.x == 0 && e.a == 0 && e.theta == 0);
}

// The fits the module calls draw one rand() and are the seeded fits with that
// state at the active level: what the finder, calling the seeded fits with
// states of its own, relies on being the same fit.
TEST(module_fits_are_seeded_fits_with_their_one_rand) {
    std::mt19937 rng(21);
    std::vector<Point> pts = random_points(rng, 200, 0, 300);
    for (int k = 0; k < 100; ++k)
        pts[2 * k] = {150 + static_cast<int>(std::lround(60 * std::cos(k * 0.3))),
                      140 + static_cast<int>(std::lround(40 * std::sin(k * 0.3)))};
    PointBuffer buf(pts);
    const std::int64_t n = static_cast<std::int64_t>(pts.size());
    const SimdLevel level = active_simd_level();
    for (unsigned x : {0u, 1u, 12345u, 0xFFFFFFFFu}) {
        std::srand(x);
        const auto s = static_cast<std::uint32_t>(std::rand());
        const int after = std::rand();  // the next draw, which a fit must leave for the caller
        std::vector<std::uint8_t> got_mask(n), want_mask(n);

        std::srand(x);
        const Line l = ransac_line(buf.view(), {got_mask.data(), n}, 150, 2, 0.2);
        CHECK(std::rand() == after);
        const Line lw = ransac_line_seeded(s, level, buf.view(), {want_mask.data(), n}, 150, 2, 0.2);
        CHECK(std::memcmp(&l, &lw, sizeof l) == 0 && got_mask == want_mask);

        std::srand(x);
        const Line2 l2 = ransac_line2(buf.view(), {got_mask.data(), n}, 150, 0.9, 2);
        CHECK(std::rand() == after);
        const Line2 l2w = ransac_line2_seeded(s, level, buf.view(), {want_mask.data(), n}, 150, 0.9, 2);
        CHECK(std::memcmp(&l2, &l2w, sizeof l2) == 0 && got_mask == want_mask);

        std::srand(x);
        const Circle c = ransac_circle(buf.view(), 150, 10, 200, 2);
        CHECK(std::rand() == after);
        const Circle cw = ransac_circle_seeded(s, level, buf.view(), 150, 10, 200, 2);
        CHECK(std::memcmp(&c, &cw, sizeof c) == 0);

        std::srand(x);
        const Ellipse e = ransac_ellipse(buf.view(), 150, 10, 200, 3.0, 2);
        CHECK(std::rand() == after);
        const Ellipse ew = ransac_ellipse_seeded(s, level, buf.view(), 150, 10, 200, 3.0, 2);
        CHECK(std::memcmp(&e, &ew, sizeof e) == 0);

        // A count of zero still takes its one draw.
        std::srand(x);
        (void)ransac_circle(buf.view(), 0, 10, 200, 2);
        CHECK(std::rand() == after);
    }
}
