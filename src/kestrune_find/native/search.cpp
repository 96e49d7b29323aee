#include "search.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>

#include "refine.hpp"

namespace kestrune::find {

double rim_for(double size, double factor) { return std::max(1.5, factor * size); }

void Fits::circle(const std::vector<PointsView::Point>& points, std::int32_t count, std::int32_t min_r,
                  std::int32_t max_r, std::int32_t delta, std::uint32_t state, Circle& out) const {
    out = ransac_circle_seeded(state, level_, view(points), count, min_r, max_r, delta);
}

void Fits::ellipse(const std::vector<PointsView::Point>& points, std::int32_t count, std::int32_t min_r,
                   std::int32_t max_r, double ratio, std::int32_t delta, std::uint32_t state, Ellipse& out) const {
    out = ransac_ellipse_seeded(state, level_, view(points), count, min_r, max_r, ratio, delta);
}

void Fits::line(const std::vector<PointsView::Point>& points, std::vector<std::uint8_t>& inliers, std::int32_t count,
                std::int32_t delta, double slope_limit, std::uint32_t state, Line& out) const {
    inliers.assign(points.size(), 0);
    const MaskView ms{inliers.data(), static_cast<std::int64_t>(inliers.size())};
    out = ransac_line_seeded(state, level_, view(points), ms, count, delta, slope_limit);
}

void Fits::line2(const std::vector<PointsView::Point>& points, std::vector<std::uint8_t>& inliers,
                 std::int32_t count, double ratio, std::int32_t delta, std::uint32_t state, Line2& out) const {
    inliers.assign(points.size(), 0);
    const MaskView ms{inliers.data(), static_cast<std::int64_t>(inliers.size())};
    out = ransac_line2_seeded(state, level_, view(points), ms, count, ratio, delta);
}

PointsView Fits::view(const std::vector<PointsView::Point>& points) {
    // The kernels only read the points; the view's pointer is not const.
    auto* data = reinterpret_cast<std::uint8_t*>(const_cast<PointsView::Point*>(points.data()));
    return {data, static_cast<std::int64_t>(points.size()), 2, static_cast<std::int64_t>(sizeof(PointsView::Point))};
}

namespace {

// A disc or an ellipse counts only with most of it inside the frame: half a
// disc at the edge is as likely a half-disc as a ball.
constexpr double kMinSeen = 0.6;

// Discs whose outline is further from round than an ellipse of axis ratio
// 1.3 ((a - b) / (a + b) = 0.13) are ellipses, not discs; a ball seen through
// a wide-angle lens near the frame's edge stays below.
constexpr double kMaxEllipticity = 0.13;
// A disc stretched into an ellipse (a ball near the edge of a wide lens, or
// smeared by motion) is tried as that ellipse when its circle is not round or
// scores from a floor to below kStretchedScore. The floor is kStretchFloor at
// a stretch of kRoundRatio (the ratio kMaxEllipticity stands for), and drops
// by kStretchFloorSlope per unit of stretch beyond, to kMinStretchFloor: the
// further a ball may be stretched, the worse its circle fits. Having two more
// free parameters to fit clutter with, the ellipse must score as much as an
// ellipse must by default, and more than the circle.
constexpr double kRoundRatio = 1.3;
constexpr double kStretchFloor = 0.45;
constexpr double kStretchFloorSlope = 0.5;
constexpr double kMinStretchFloor = 0.3;
constexpr double kStretchedScore = 0.8;
// A wide lens squeezes what lies near the frame's edges toward its centre: a
// ball there is an ellipse whose long axis lies across the line to the
// centre. Such an ellipse, kSqueezeFrom or further out (1 at the middle of
// each edge, the frame's centre 0) and its long axis within 15 degrees of
// square to that line (the cosine of the angle between them at most
// kSqueezeCos), may be squeezed to `squeeze`; elsewhere, and turned any
// other way, it is stretched no more than `stretch`.
constexpr double kSqueezeFrom = 0.75;
constexpr double kSqueezeCos = 0.2588;  // cos 75 degrees

// Adds the time of a scope to a total, in milliseconds: the evidence's share
// of a search that interleaves it with the fits.
class Stopwatch {
public:
    explicit Stopwatch(double& total_ms) : total_ms_(total_ms), start_(std::chrono::steady_clock::now()) {}
    ~Stopwatch() {
        total_ms_ += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
    }
    Stopwatch(const Stopwatch&) = delete;
    Stopwatch& operator=(const Stopwatch&) = delete;

private:
    double& total_ms_;
    std::chrono::steady_clock::time_point start_;
};

// Half a pixel: see outline_size.
constexpr double kOutlineGap = 0.5;

// One 32-bit seed per fit call, from the search's seed and where the call
// stands in the search (splitmix64 of the four numbers).
std::uint32_t mix_seed(std::uint64_t seed, std::uint64_t a, std::uint64_t b, std::uint64_t c) {
    std::uint64_t z = seed;
    for (std::uint64_t v : {a, b, c}) {
        z += 0x9E3779B97F4A7C15ull + v;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
    }
    return static_cast<std::uint32_t>(z >> 32);
}

// Iterations that make it 99 % (confidence) likely to have drawn one sample
// of `sample` inliers when a share `share` of the points are inliers.
std::int32_t iterations_needed(const SearchOptions& o, double share, int sample) {
    if (share <= 0) return 2 * o.min_iterations;  // nothing in range: not worth more
    const double all_inliers = std::pow(share, sample);
    if (all_inliers >= 1.0) return o.min_iterations;
    const double n = std::log(1.0 - o.confidence) / std::log(1.0 - all_inliers);
    if (!std::isfinite(n) || n > o.max_iterations) return o.max_iterations;
    return std::max(o.min_iterations, static_cast<std::int32_t>(std::ceil(n)));
}

std::int32_t as_pixel(double v) { return static_cast<std::int32_t>(std::floor(v + 0.5)); }

// The points of each group, biggest group first.
std::vector<std::vector<const EdgePoint*>> points_by_group(const ScanTable& table) {
    std::vector<std::vector<const EdgePoint*>> groups(table.group_sizes.size());
    for (const EdgePoint& p : table.points) groups[p.group].push_back(&p);
    std::stable_sort(groups.begin(), groups.end(), [](const auto& a, const auto& b) { return a.size() > b.size(); });
    return groups;
}

struct Candidate {
    DiscShape disc{};
    EllipseShape ellipse{};
    double cs = 1, sn = 0;  // of the ellipse's angle

    void set(const EllipseShape& e) {
        ellipse = e;
        cs = std::cos(e.theta);
        sn = std::sin(e.theta);
    }
};

// Ellipses come out with `a` the longer semi-axis and theta in (-pi/2, pi/2].
EllipseShape normalised(EllipseShape e) {
    if (e.b > e.a) {
        std::swap(e.a, e.b);
        e.theta += std::numbers::pi / 2;
    }
    e.theta = std::remainder(e.theta, std::numbers::pi);
    if (e.theta <= -std::numbers::pi / 2) e.theta += std::numbers::pi;
    return e;
}

class ClosedSearch {
public:
    // `taken`: discs found before, whose points are spent from the start.
    ClosedSearch(const ScanTable& t, const SearchOptions& o, const Fits& f, std::vector<Found>& out,
                 double& evidence_ms, const std::vector<Found>* taken = nullptr)
        : table_(t), o_(o), fits_(f), found_(out), evidence_ms_(evidence_ms), taken_(taken) {
        // A disc larger than the frame's shorter side cannot be seen whole.
        max_size_ = std::min(o.max_r, std::min(t.width, t.height) / 2.0);
    }

    void run() {
        auto groups = points_by_group(table_);
        for (std::size_t g = 0; g < groups.size(); ++g) {
            if (static_cast<std::int32_t>(found_.size()) >= o_.max_shapes || work_ > o_.work_budget) break;
            if (groups[g].size() < 8) break;
            search_group(groups[g], g);
        }
    }

private:
    // A disc stretched into an ellipse (a ball near a wide lens's edge) is
    // weighed and placed as that ellipse.
    bool disc() const { return o_.kind == ShapeKind::disc && !stretched_; }
    bool stretched_ = false;

    double distance(const Candidate& c, const EdgePoint& p, double* gx, double* gy) const {
        if (disc()) {
            *gx = p.x - c.disc.x;
            *gy = p.y - c.disc.y;
            return disc_distance(c.disc, p.x, p.y);
        }
        const EllipseShape& e = c.ellipse;
        const double dx = p.x - e.x, dy = p.y - e.y;
        const double s = dx * c.cs + dy * c.sn, t = -dx * c.sn + dy * c.cs;
        const double gs = s / (e.a * e.a), gt = t / (e.b * e.b);
        *gx = gs * c.cs - gt * c.sn;
        *gy = gs * c.sn + gt * c.cs;
        const double rho = std::sqrt(s * gs + t * gt);
        return rho > 0 ? std::sqrt(dx * dx + dy * dy) * (1.0 - 1.0 / rho) : -std::min(e.a, e.b);
    }

    double size(const Candidate& c) const { return disc() ? c.disc.r : std::min(c.ellipse.a, c.ellipse.b); }

    // The alive points within `band` of the outline whose colour lies inside.
    std::vector<const EdgePoint*> near_outline(const std::vector<const EdgePoint*>& pts,
                                               const std::vector<std::uint8_t>& alive, const Candidate& c,
                                               double band) const {
        std::vector<const EdgePoint*> near;
        for (std::size_t k = 0; k < pts.size(); ++k) {
            if (!alive[k]) continue;
            double gx, gy;
            const double d = distance(c, *pts[k], &gx, &gy);
            if (std::fabs(d) <= band && faces_inward(*pts[k], gx, gy)) near.push_back(pts[k]);
        }
        return near;
    }

    bool refine(const std::vector<const EdgePoint*>& pts, const std::vector<std::uint8_t>& alive, Candidate& c) const {
        const double s = size(c);
        // Narrowing bands; the wider ones only bring the shape near, the
        // last one places it.
        int pass = 0;
        for (double band : {std::max(3.0, 0.2 * s), std::max(2.0, 0.12 * s), std::max(1.5, 0.08 * s)}) {
            ++pass;
            auto near = near_outline(pts, alive, c, band);
            // Enough points fix a shape to a small fraction of a pixel; more
            // only cost time.
            if (near.size() > 400) {
                const std::size_t n = near.size();
                for (std::size_t k = 0; k < 400; ++k) near[k] = near[k * n / 400];
                near.resize(400);
            }
            EllipseShape e = c.ellipse;
            const bool ok = disc() ? fit_disc(near, c.disc) : fit_ellipse(near, e, pass < 3 ? 4 : 12);
            if (!ok) return false;
            if (!disc()) c.set(e);
        }
        if (!disc()) c.set(normalised(c.ellipse));
        return true;
    }

    // The verified shape fitted once more, to where the frame's colour
    // changes along its edge points (the mask's boundary lies a little
    // outside that where the edge is blurred); kept as it is when that fit
    // fails or moves it by more than a pixel.
    void place(const std::vector<const EdgePoint*>& near, Candidate& c) const {
        std::vector<EdgePoint> moved;
        moved.reserve(near.size());
        for (const EdgePoint* p : near) moved.push_back({p->fx, p->fy, p->inside, p->group, p->fx, p->fy});
        std::vector<const EdgePoint*> ptrs;
        ptrs.reserve(moved.size());
        for (const EdgePoint& p : moved) ptrs.push_back(&p);
        // Centre and size each moved by at most a pixel.
        auto small_move = [](double dx, double dy, double size_change) {
            return std::hypot(dx, dy) <= 1.0 && std::fabs(size_change) <= 1.0;
        };
        if (disc()) {
            DiscShape d = c.disc;
            if (fit_disc(ptrs, d) && small_move(d.x - c.disc.x, d.y - c.disc.y, d.r - c.disc.r)) c.disc = d;
            return;
        }
        EllipseShape e = c.ellipse;
        if (!fit_ellipse(ptrs, e)) return;
        e = normalised(e);
        const double size_change = std::max(std::fabs(e.a - c.ellipse.a), std::fabs(e.b - c.ellipse.b));
        if (small_move(e.x - c.ellipse.x, e.y - c.ellipse.y, size_change)) c.set(e);
    }

    // The radius a placed disc is reported with: where the frame's colour
    // turns from the disc's to what lies beyond, when that lies more than
    // kOutlineGap beyond the placed radius (a rim in shade or blurred wide,
    // which the colour's mask leaves out); else the placed one, read at every
    // edge point to a fraction of a pixel (where the mask reaches further
    // than the colour's shares say, the mask's colour is there).
    double outline_size(const EllipseShape& e, double size) const {
        const double outline = size * outline_scale(table_, e);
        return outline - size > kOutlineGap ? outline : size;
    }

    // A disc must be round: an ellipse seen as a disc leaves its outline
    // beyond the disc on two sides and inside it on the other two.
    bool round_enough(const std::vector<const EdgePoint*>& pts, const std::vector<std::uint8_t>& alive,
                      const Candidate& c) const {
        if (!disc()) return true;
        return ellipticity(near_outline(pts, alive, c, std::max(2.0, 0.25 * c.disc.r)), c.disc) <= kMaxEllipticity;
    }

    // Whether an ellipse (normalised: `a` along `theta` is the long axis) lies
    // as a ball near the frame's edge squeezed by a wide lens does.
    bool squeezed(const EllipseShape& e) const {
        const double dx = e.x - (table_.width - 1) / 2.0, dy = e.y - (table_.height - 1) / 2.0;
        if (std::hypot(dx / (table_.width / 2.0), dy / (table_.height / 2.0)) < kSqueezeFrom) return false;
        const double along = std::cos(e.theta) * dx + std::sin(e.theta) * dy;
        return std::fabs(along) <= kSqueezeCos * std::hypot(dx, dy);
    }

    bool valid(const Candidate& c) const {
        const double x = disc() ? c.disc.x : c.ellipse.x, y = disc() ? c.disc.y : c.ellipse.y;
        if (!(x >= -0.5 && x <= table_.width - 0.5 && y >= -0.5 && y <= table_.height - 0.5)) return false;
        if (disc()) return c.disc.r >= o_.min_r && c.disc.r <= max_size_;
        const EllipseShape& e = c.ellipse;  // normalised: a >= b
        if (stretched_)
            return (e.a + e.b) / 2 >= o_.min_r && e.a <= max_size_ &&
                   (e.a <= o_.stretch * e.b || (e.a <= o_.squeeze * e.b && squeezed(e)));
        return e.b >= o_.min_r && e.a <= max_size_ && e.a <= o_.max_ratio * e.b;
    }

    // The best proposal of the module's fit among the integer points, with
    // iterations added until the best inlier share makes a better shape unlikely.
    void propose(const std::vector<PointsView::Point>& ints, std::size_t group, std::int32_t attempt, Candidate& c,
                 bool& any) {
        const int sample = disc() ? 3 : 5;
        const auto min_r = static_cast<std::int32_t>(std::max(0.0, std::floor(o_.min_r) - 1));
        const auto max_r = static_cast<std::int32_t>(std::min(1e6, std::ceil(max_size_) + 1));
        std::int32_t best_count = 0, done = 0, needed = o_.min_iterations;
        any = false;
        for (std::uint64_t chunk = 0; done < needed; ++chunk) {
            const std::int32_t count = std::min(o_.min_iterations, needed - done);
            const std::uint32_t seed = mix_seed(o_.seed, group, static_cast<std::uint64_t>(attempt), chunk);
            std::int32_t inliers = 0;
            Candidate next{};
            if (disc()) {
                Circle circle;
                fits_.circle(ints, count, min_r, max_r, o_.delta, seed, circle);
                if (circle.r > 0) {
                    const std::int64_t lo = std::max<std::int64_t>(0, circle.r - o_.delta), hi = circle.r + o_.delta;
                    for (const auto& p : ints) {
                        const std::int64_t dx = p.x - circle.x, dy = p.y - circle.y, d2 = dx * dx + dy * dy;
                        inliers += d2 >= lo * lo && d2 <= hi * hi;
                    }
                    next.disc = {static_cast<double>(circle.x), static_cast<double>(circle.y), static_cast<double>(circle.r)};
                }
            } else {
                Ellipse e;
                fits_.ellipse(ints, count, min_r, max_r, o_.max_ratio, o_.delta, seed, e);
                if (e.a > 0) {
                    next.set({e.x, e.y, e.a, e.b, e.theta});
                    const EllipseGeometry geometry(next.ellipse);
                    for (const auto& p : ints) inliers += std::fabs(geometry.distance(p.x, p.y)) <= o_.delta;
                }
            }
            done += count;
            work_ += static_cast<double>(count) * static_cast<double>(ints.size());
            if (inliers > best_count) {
                best_count = inliers;
                c = next;
                any = true;
            }
            needed = iterations_needed(o_, static_cast<double>(best_count) / ints.size(), sample);
        }
    }

    // Everything inside a found shape (of that size) and on its rim is spent.
    void spend(const std::vector<const EdgePoint*>& pts, const Candidate& c, double size,
               std::vector<std::uint8_t>& alive, std::vector<std::uint8_t>& unspent) const {
        for (std::size_t k = 0; k < pts.size(); ++k) {
            double gx, gy;
            if (unspent[k] && distance(c, *pts[k], &gx, &gy) < rim_for(size)) alive[k] = unspent[k] = 0;
        }
    }

    void search_group(const std::vector<const EdgePoint*>& pts, std::size_t group) {
        // alive: points proposals are drawn from; unspent: points not yet
        // taken by a find, which refinement and scoring may still use. A
        // rejected proposal (one ellipse around two touching balls, say)
        // takes its inliers from the proposals only: they are the balls'
        // own outlines, which their own fits need.
        std::vector<std::uint8_t> alive(pts.size(), 1), unspent(pts.size(), 1);
        if (taken_ != nullptr) {
            for (const Found& t : *taken_) {
                Candidate c{};
                c.disc = {t.values[0], t.values[1], t.values[2]};
                c.set({t.values[0], t.values[1], t.values[2], t.values[2], 0.0});
                spend(pts, c, t.values[2], alive, unspent);
            }
        }
        std::vector<PointsView::Point> ints;
        std::int32_t failures = 0;
        for (std::int32_t attempt = 0; failures < o_.max_failures; ++attempt) {
            if (static_cast<std::int32_t>(found_.size()) >= o_.max_shapes) break;
            ints.clear();
            double x_lo = 1e300, x_hi = -1e300, y_lo = 1e300, y_hi = -1e300;
            for (std::size_t k = 0; k < pts.size(); ++k) {
                if (!alive[k]) continue;
                ints.push_back({as_pixel(pts[k]->x), as_pixel(pts[k]->y)});
                x_lo = std::min(x_lo, pts[k]->x);
                x_hi = std::max(x_hi, pts[k]->x);
                y_lo = std::min(y_lo, pts[k]->y);
                y_hi = std::max(y_hi, pts[k]->y);
            }
            if (ints.size() < (disc() ? 8u : 10u)) break;
            // Too small for any shape asked for, even half hidden.
            if (std::max(x_hi - x_lo, y_hi - y_lo) < 1.5 * o_.min_r || std::min(x_hi - x_lo, y_hi - y_lo) < 0.5 * o_.min_r)
                break;
            if (work_ > o_.work_budget) break;
            if (ints.size() < 64 && failures >= 2) break;  // a small group rarely holds a second shape
            Candidate c{};
            bool any = false;
            propose(ints, group, attempt, c, any);
            if (!any) break;
            const Candidate proposal = c;
            bool accepted = false;
            Found f{o_.kind, {}, 0, 0, {}};
            auto rescore = [&] { f.score = f.evidence.seen() >= kMinSeen ? f.evidence.score() : 0.0; };
            auto weigh = [&](const Candidate& shape) {
                const double rim = rim_for(size(shape));
                const Stopwatch timed(evidence_ms_);
                f.evidence = disc() ? disc_evidence(table_, shape.disc, rim)
                                    : ellipse_evidence(table_, shape.ellipse, rim, o_.kind == ShapeKind::disc);
                rescore();
            };
            if (refine(pts, unspent, c) && valid(c)) {
                const bool round = round_enough(pts, unspent, c);
                if (round) weigh(c);
                else f.score = -1.0;  // not a disc, at any min_score
                // A stretched ball's circle misses both ends, or sits off
                // its centre: weigh the ellipse it is (reported as a disc of
                // its mean semi-axis).
                const double floor = std::max(kMinStretchFloor,
                                              kStretchFloor - kStretchFloorSlope * (o_.stretch - kRoundRatio));
                const double stretched_score = std::max(o_.min_score, kStretchedScore);
                const bool may_stretch = o_.stretch > 1.0 || o_.squeeze > 1.0;
                if (disc() && may_stretch && (!round || f.score >= floor) && f.score < stretched_score) {
                    const Found as_circle = f;
                    Candidate e{};
                    e.set(ellipse_through(near_outline(pts, unspent, c, std::max(2.0, 0.4 * c.disc.r)), c.disc));
                    stretched_ = true;
                    if (refine(pts, unspent, e) && valid(e)) weigh(e);
                    if (stretched_ && f.score >= stretched_score && f.score > as_circle.score) {
                        c = e;
                    } else {
                        stretched_ = false;
                        f = as_circle;
                    }
                }
                const double s = size(c);
                if (f.score >= o_.min_score) {  // only what would be found pays for reading the frame inside
                    const Stopwatch timed(evidence_ms_);
                    if (disc()) read_disc_inside(table_, c.disc, rim_for(s), f.evidence);
                    else read_ellipse_inside(table_, c.ellipse, rim_for(s), f.evidence);
                    rescore();
                }
                if (f.score >= o_.min_score) {
                    const auto near = near_outline(pts, unspent, c, std::max(1.5, 0.08 * s));
                    f.support = static_cast<std::int32_t>(near.size());
                    place(near, c);
                    if (disc()) {
                        f.values[0] = c.disc.x;
                        f.values[1] = c.disc.y;
                        f.values[2] = outline_size({c.disc.x, c.disc.y, c.disc.r, c.disc.r, 0.0}, c.disc.r);
                    } else if (stretched_) {
                        f.values[0] = c.ellipse.x;
                        f.values[1] = c.ellipse.y;
                        f.values[2] = outline_size(c.ellipse, (c.ellipse.a + c.ellipse.b) / 2);
                    } else {
                        const EllipseShape& e = c.ellipse;
                        const double v[5] = {e.x, e.y, e.a, e.b, e.theta};
                        std::copy(v, v + 5, f.values);
                    }
                    found_.push_back(f);
                    accepted = true;
                    spend(pts, c, s, alive, unspent);
                }
            }
            stretched_ = false;
            if (!accepted) {
                ++failures;
                // The proposal's own inliers go, so that the next one differs.
                for (std::size_t k = 0; k < pts.size(); ++k) {
                    double gx, gy;
                    if (alive[k] && std::fabs(distance(proposal, *pts[k], &gx, &gy)) <= o_.delta + 0.5) alive[k] = 0;
                }
            }
        }
    }

    const ScanTable& table_;
    const SearchOptions& o_;
    const Fits& fits_;
    std::vector<Found>& found_;
    double& evidence_ms_;
    const std::vector<Found>* taken_;
    double max_size_;
    double work_ = 0;
};


// Lines and stripes: proposals from the line fits among all the points, each
// refined on the runs that cross it (their middles give the centre line,
// their lengths the width).
class BandSearch {
public:
    BandSearch(const ScanTable& t, const SearchOptions& o, const Fits& f, std::vector<Found>& out, double& evidence_ms)
        : table_(t), o_(o), fits_(f), found_(out), evidence_ms_(evidence_ms) {}

    void run() {
        const std::vector<EdgePoint>& pts = table_.points;
        std::vector<std::uint8_t> alive(pts.size(), 1);
        std::vector<PointsView::Point> ints;
        std::vector<std::size_t> index;
        std::int32_t failures = 0;
        for (std::int32_t attempt = 0; failures < o_.max_failures; ++attempt) {
            if (static_cast<std::int32_t>(found_.size()) >= o_.max_shapes) break;
            ints.clear();
            index.clear();
            for (std::size_t k = 0; k < pts.size(); ++k) {
                if (!alive[k]) continue;
                ints.push_back({as_pixel(pts[k].x), as_pixel(pts[k].y)});
                index.push_back(k);
            }
            if (ints.size() < 8 || work_ > o_.work_budget) break;
            BandShape band{};
            std::vector<std::uint8_t> inliers;
            bool any = false;
            propose(ints, attempt, band, inliers, any);
            if (!any) break;
            bool accepted = false;
            if (refine(band) && valid(band)) {
                const double rim = rim_for(band.width, 0.25);
                Found f{o_.kind, {band.px, band.py, band.nx, band.ny, band.width, band.t0, band.t1}, 0, 0, {}};
                {
                    const Stopwatch timed(evidence_ms_);
                    f.evidence = band_evidence(table_, band, rim);
                }
                f.score = f.evidence.band_score();
                if (f.score >= o_.min_score) {
                    const double tol = std::max(1.5, 0.1 * band.width);
                    for (std::size_t k = 0; k < pts.size(); ++k) {
                        const double s = offset(band, pts[k]), t = along(band, pts[k]);
                        if (!alive[k] || t < band.t0 - rim || t > band.t1 + rim) continue;
                        f.support += std::fabs(std::fabs(s) - band.width / 2) <= tol;
                        if (std::fabs(s) <= band.width / 2 + rim) alive[k] = 0;
                    }
                    found_.push_back(f);
                    accepted = true;
                }
            }
            if (!accepted) {
                ++failures;
                for (std::size_t k = 0; k < inliers.size(); ++k)
                    if (inliers[k]) alive[index[k]] = 0;
            }
        }
    }

private:
    bool stripe() const { return o_.kind == ShapeKind::stripe; }
    static double offset(const BandShape& b, const EdgePoint& p) { return (p.x - b.px) * b.nx + (p.y - b.py) * b.ny; }
    static double along(const BandShape& b, const EdgePoint& p) { return -(p.x - b.px) * b.ny + (p.y - b.py) * b.nx; }

    void propose(const std::vector<PointsView::Point>& ints, std::int32_t attempt, BandShape& band,
                 std::vector<std::uint8_t>& best_inliers, bool& any) {
        const int sample = stripe() ? 4 : 2;
        std::int32_t best_count = 0, done = 0, needed = o_.min_iterations;
        std::vector<std::uint8_t> inliers;
        any = false;
        for (std::uint64_t chunk = 0; done < needed; ++chunk) {
            const std::int32_t count = std::min(o_.min_iterations, needed - done);
            const std::uint32_t seed = mix_seed(o_.seed, 0x6C696E65u, static_cast<std::uint64_t>(attempt), chunk);
            BandShape next{};
            bool found = false;
            if (stripe()) {
                Line2 pair;
                // The two edges within 8 degrees of parallel.
                fits_.line2(ints, inliers, count, 0.99, o_.delta, seed, pair);
                found = (pair.l1.nx != 0 || pair.l1.ny != 0) && (pair.l2.nx != 0 || pair.l2.ny != 0);
                if (found) {
                    double n1x = pair.l1.nx, n1y = pair.l1.ny, n2x = pair.l2.nx, n2y = pair.l2.ny;
                    const double l1 = std::hypot(n1x, n1y), l2 = std::hypot(n2x, n2y);
                    n1x /= l1; n1y /= l1; n2x /= l2; n2y /= l2;
                    if (n1x * n2x + n1y * n2y < 0) { n2x = -n2x; n2y = -n2y; }
                    double nx = n1x + n2x, ny = n1y + n2y;
                    const double ln = std::hypot(nx, ny);
                    nx /= ln; ny /= ln;
                    const double o1 = pair.l1.px * nx + pair.l1.py * ny, o2 = pair.l2.px * nx + pair.l2.py * ny;
                    const double mid = (o1 + o2) / 2;
                    next = {mid * nx, mid * ny, nx, ny, std::fabs(o1 - o2), 0, 0};
                }
            } else {
                Line line;
                fits_.line(ints, inliers, count, o_.delta, 0.0, seed, line);
                found = line.nx != 0 || line.ny != 0;
                if (found) {
                    const double l = std::hypot(static_cast<double>(line.nx), static_cast<double>(line.ny));
                    next = {static_cast<double>(line.px), static_cast<double>(line.py), line.nx / l, line.ny / l, 0, 0, 0};
                }
            }
            done += count;
            work_ += static_cast<double>(count) * static_cast<double>(ints.size());
            if (found) {
                const auto flagged = static_cast<std::int32_t>(std::count(inliers.begin(), inliers.end(), 1));
                if (flagged > best_count) {
                    best_count = flagged;
                    band = next;
                    best_inliers = inliers;
                    any = true;
                }
            }
            needed = iterations_needed(o_, static_cast<double>(best_count) / ints.size(), sample);
        }
    }

    struct Crossing {
        double x, y, width;
    };

    // The runs that the band's centre line crosses, on the lines of both
    // directions that cross it steeply enough to measure it.
    std::vector<Crossing> crossings(const BandShape& b, double reach) const {
        std::vector<Crossing> out;
        auto scan = [&](const Axis& axis, bool rows) {
            const double across = rows ? b.nx : b.ny;  // the normal's share along the scanned line
            if (std::fabs(across) < 0.35) return;
            for (std::size_t k = 0; k + 1 < axis.first.size(); ++k) {
                const double q = axis.lines[k];
                // Where the centre line meets this scanned line.
                const double u = rows ? b.px - (q - b.py) * b.ny / b.nx : b.py - (q - b.px) * b.nx / b.ny;
                const double half = reach / std::fabs(across);
                if (u < -0.5 - half || u > axis.extent - 0.5 + half) continue;
                const Run* best = nullptr;
                double best_distance = half;
                for (std::int32_t r = axis.first[k]; r < axis.first[k + 1]; ++r) {
                    const Run& run = axis.runs[r];
                    const double s = run.start2 * 0.5, e = run.end2 * 0.5;
                    const double d = u < s ? s - u : u > e ? u - e : 0.0;
                    if (d <= best_distance) {
                        best_distance = d;
                        best = &run;
                    }
                }
                if (best == nullptr || !best->start_edge || !best->end_edge) continue;
                const double mid = (best->start2 + best->end2) * 0.25;
                const double width = (best->end2 - best->start2) * 0.5 * std::fabs(across);
                if (width > o_.max_width * 1.5 + 2) continue;
                out.push_back(rows ? Crossing{mid, q, width} : Crossing{q, mid, width});
            }
        };
        scan(table_.rows, true);
        scan(table_.columns, false);
        return out;
    }

    bool refine(BandShape& b) const {
        double reach = std::max(b.width / 2, 0.0) + o_.delta + 1.0;
        for (int iteration = 0; iteration < 3; ++iteration) {
            const auto cs = crossings(b, reach);
            if (cs.size() < 4) return false;
            std::vector<double> widths;
            for (const Crossing& c : cs) widths.push_back(c.width);
            std::nth_element(widths.begin(), widths.begin() + widths.size() / 2, widths.end());
            const double width = widths[widths.size() / 2];
            // Middles close to the line, as a thin band's or a stripe's are.
            std::vector<double> xs, ys, ws;
            const double keep = std::max(1.5, 0.25 * width + 1.0);
            for (const Crossing& c : cs) {
                if (iteration > 0 && std::fabs((c.x - b.px) * b.nx + (c.y - b.py) * b.ny) > keep) continue;
                if (std::fabs(c.width - width) > std::max(2.0, 0.5 * width)) continue;
                xs.push_back(c.x);
                ys.push_back(c.y);
                ws.push_back(1.0);
            }
            if (xs.size() < 4) return false;
            double px, py, nx, ny;
            if (!fit_line(xs, ys, ws, px, py, nx, ny)) return false;
            if (nx * b.nx + ny * b.ny < 0) { nx = -nx; ny = -ny; }
            b = {px, py, nx, ny, width, 0, 0};
            double t0 = 1e300, t1 = -1e300;
            for (std::size_t k = 0; k < xs.size(); ++k) {
                const double t = -(xs[k] - px) * ny + (ys[k] - py) * nx;
                t0 = std::min(t0, t);
                t1 = std::max(t1, t);
            }
            b.t0 = t0;
            b.t1 = t1;
            reach = width / 2 + std::max(2.0, 0.25 * width);
        }
        return true;
    }

    bool valid(const BandShape& b) const {
        const double length = b.t1 - b.t0;
        return b.width >= o_.min_width && b.width <= o_.max_width && length >= std::max(10.0, 3.0 * b.width);
    }

    const ScanTable& table_;
    const SearchOptions& o_;
    const Fits& fits_;
    std::vector<Found>& found_;
    double& evidence_ms_;
    double work_ = 0;
};

// Two finds of one shape (a disc split between two groups, say): the better stays.
void drop_duplicates(std::vector<Found>& found) {
    std::vector<Found> kept;
    for (const Found& f : found) {
        bool duplicate = false;
        for (const Found& k : kept) {
            if (f.kind == ShapeKind::disc || f.kind == ShapeKind::ellipse) {
                const double size = f.kind == ShapeKind::disc ? std::min(f.values[2], k.values[2])
                                                              : std::min(f.values[3], k.values[3]);
                if (std::hypot(f.values[0] - k.values[0], f.values[1] - k.values[1]) < 0.5 * size) duplicate = true;
            }
        }
        if (!duplicate) kept.push_back(f);
    }
    found.swap(kept);
}

}  // namespace

void search(const ScanTable& table, const SearchOptions& options, const Fits& fits, std::vector<Found>& found,
            double& evidence_ms) {
    found.clear();
    if (options.kind == ShapeKind::ellipse) {
        // A ball is an ellipse too, and the disc search, with three free
        // parameters to fit rather than five, finds one partly hidden or
        // touching another where the ellipse search does not: discs first,
        // then ellipses among the points they leave.
        SearchOptions round = options;
        round.kind = ShapeKind::disc;
        round.min_score = options.round_min_score;
        round.stretch = round.squeeze = 1.0;
        round.max_iterations = kDiscIterations;
        ClosedSearch discs(table, round, fits, found, evidence_ms);
        discs.run();
        const std::vector<Found> taken = found;
        for (Found& f : found) {
            f.kind = ShapeKind::ellipse;
            const double v[5] = {f.values[0], f.values[1], f.values[2], f.values[2], 0.0};
            std::copy(v, v + 5, f.values);
        }
        ClosedSearch s(table, options, fits, found, evidence_ms, &taken);
        s.run();
    } else if (options.kind == ShapeKind::disc) {
        ClosedSearch s(table, options, fits, found, evidence_ms);
        s.run();
    } else {
        BandSearch s(table, options, fits, found, evidence_ms);
        s.run();
    }
    std::stable_sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.score > b.score; });
    drop_duplicates(found);
    if (static_cast<std::int32_t>(found.size()) > options.max_shapes) found.resize(options.max_shapes);
}

}  // namespace kestrune::find
