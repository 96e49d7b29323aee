#include "search.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <limits>
#include <numbers>
#include <span>
#include <vector>

#include "cuts.hpp"
#include "piles.hpp"
#include "reflections.hpp"
#include "refine.hpp"
#include "shading.hpp"

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
// A ball cut by a thing in front (see weigh_cut): its rim clear round it, and
// at least half its core set.
constexpr double kCutClear = 0.85, kCutFill = 0.5, kCutMostFill = 0.92;  // fuller: nothing hides it
// Where a thing in front shows, half the disc may lie behind it.
constexpr double kMinSeenCut = 0.5;

// Discs whose outline is further from round than an ellipse of axis ratio
// 1.3 ((a - b) / (a + b) = 0.13) are ellipses, not discs; a ball seen through
// a wide-angle lens near the frame's edge stays below.
constexpr double kMaxEllipticity = 0.13;
// A disc under kSmallRound pixels is read from some 20-30 points a pixel
// apart, and a thing in front of part of it bends them more: its outline
// reads up to kMaxSmallEllipticity from round (0.14-0.18 on balls of radius
// 6-8 a quarter hidden).
constexpr double kSmallRound = 10.0;
constexpr double kMaxSmallEllipticity = 0.17;
// A mat or a sheet of the colour, cut by the frame's edge, can score as a
// disc: its sides run near the circle, and a square has no second harmonic.
// Its fourth harmonic gives it away, where the outline is read round 3/8 of
// the turn at least (on a short arc the fit is noise): over 5 % of the radius
// and over 5 pixels (a ball's outline, even hidden in part, stays within 4),
// with a straight side to show for it: 56 degrees of the outline on a line
// to 1 % of the radius (the sides measured: 0.2-0.4 %). A large ball cut by
// the frame's top and its own shadow can have such a harmonic too, but its
// arc strays 3 % from any line.
constexpr double kMinSquareCover = 0.375;
constexpr double kMaxSquareness = 0.05;
constexpr double kMaxSquarePixels = 5.0;
constexpr int kSideSectors = 5;  // of 32
constexpr double kMaxSideBend = 0.01;
// Nor is a patch with kPolygonSides or more straight sides of kPolygonSectors
// (45 degrees, where an arc strays 2 % of the radius from a line), one of
// them straight to the pixel (kPolygonEdgeBend), when nothing hides its core:
// a pentagon's harmonics are too weak to tell. A ball behind a robot's part
// shows the part's straight edges, but its core is hidden behind them; a ball
// smeared by motion has flattened sides, but none that straight.
constexpr int kPolygonSectors = 4;
constexpr int kPolygonSides = 3;
constexpr double kPolygonEdgeBend = 0.005;
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
// The ellipse a circle's outline first draws is seldom refined into one of a
// ratio kFarStretch times smaller: beyond what a disc may show by that much,
// it is clutter's (every stretched ball measured started within it).
constexpr double kFarStretch = 4.0 / 3.0;
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

// The least score the search keeps a shape at, whatever the threshold: a
// quarter is a disc half filled with half its outline showing, or a band half
// filled with half its rim clear. Below it a candidate is more clutter than
// shape, and keeping it would only spend points and time; a threshold below
// the floor reports what the floor does.
constexpr double kSearchFloor = 0.25;
// A pass below the first takes only what scores under the first level: what
// scores above it was the first pass's to find, and a threshold at or above
// the first level then needs no second pass at all and gets the same finds.
constexpr double kNoCeiling = std::numeric_limits<double>::infinity();

// A group's outline, fitted whole, is kept only when it scores this: a ball
// partly hidden or touching clutter draws an outline that is off its own, and
// the random proposals place it better.
constexpr double kClearOutline = 0.85;

// A pile's blob is looked for this far beyond its edge points (more than the
// scan's spacing), and in at most kMostPeaks places.
constexpr double kBlobMargin = 3.0;
constexpr std::size_t kMostPeaks = 64;
constexpr std::ptrdiff_t kPileLeft = 48;  // unspent edge points, at least
constexpr int kPileRounds = 4;  // of trying a pile's peaks, the first on the peaks themselves
constexpr double kMinRing = 0.7, kMinCreased = 0.5;  // see search_shaded
// A circle within kAlikeSize of the radius of a ball found in the same box
// needs kAlikeRing only: a pile's balls are alike, and the circle a lit
// ball's shading draws inside it is smaller than the ball.
constexpr double kAlikeRing = 0.6, kAlikeSize = 0.2;
// The steps a peak's rays are read at, as multiples of the box's crease
// step, the next when the circle does not show at one: a ball lit hard
// steps inside it by more than the pile's creases do, and one lit softly
// ends against its neighbours by less.
constexpr std::array<double, 3> kCreaseSteps = {1.0, 1.5, 0.8};
// Where a pile's other balls are looked for beside those found (see
// search_beside): kBesideAngles places kBeside radii from each, for
// kBesideRounds rounds.
constexpr int kBesideAngles = 12, kBesideRounds = 3;
constexpr double kBeside = 2.0, kBesideApart = 0.5;  // places nearer than kBesideApart radii are one
// A near miss: a disc that scored below the pass's level, yet filled (a
// pile's outer ball, its rim shared with its neighbours) and with some clear
// rim and outline. Two of them in a pile's box make it a pile worth reading
// for its shading when no ball of it is found yet (a box of two layers).
constexpr double kNearMissFill = 0.9, kNearMissRim = 0.4;
constexpr std::size_t kPileNearMisses = 2;

// Half a pixel: see outline_size.
constexpr double kOutlineGap = 0.5;

// One 32-bit seed per fit call, from the search's seed and where the call
// stands in the search (splitmix64 of the four numbers).
std::uint32_t mix_seed(std::uint64_t seed, std::uint64_t where, std::uint64_t attempt, std::uint64_t chunk) {
    std::uint64_t state = seed;
    for (std::uint64_t value : {where, attempt, chunk}) {
        state += 0x9E3779B97F4A7C15ull + value;
        state = (state ^ (state >> 30)) * 0xBF58476D1CE4E5B9ull;
        state = (state ^ (state >> 27)) * 0x94D049BB133111EBull;
        state ^= state >> 31;
    }
    return static_cast<std::uint32_t>(state >> 32);
}

// The first kFixedDraws proposals of a group (of a band search) draw from a
// state fixed by where they stand in the search, the later ones from the
// seed's: a shape the first draws find is found under every seed, and the
// seed varies only the search for what they miss.
constexpr std::int32_t kFixedDraws = 2;
std::uint64_t draw_seed(std::int32_t attempt, std::uint64_t seed) { return attempt < kFixedDraws ? 0 : seed; }

// Iterations that make it 99 % (confidence) likely to have drawn one sample
// of `sample` inliers when a share `share` of the points are inliers.
std::int32_t iterations_needed(const SearchOptions& options, double share, int sample) {
    if (share <= 0) return 2 * options.min_iterations;  // nothing in range: not worth more
    const double all_inliers = std::pow(share, sample);
    if (all_inliers >= 1.0) return options.min_iterations;
    const double n = std::log(1.0 - options.confidence) / std::log(1.0 - all_inliers);
    if (!std::isfinite(n) || n > options.max_iterations) return options.max_iterations;
    return std::max(options.min_iterations, static_cast<std::int32_t>(std::ceil(n)));
}

std::int32_t as_pixel(double v) { return static_cast<std::int32_t>(floor_to_int(v + 0.5)); }


struct Candidate {
    DiscShape disc{};
    EllipseShape ellipse{};
    double cos_theta = 1, sin_theta = 0;  // of the ellipse's angle

    void set(const EllipseShape& e) {
        ellipse = e;
        cos_theta = std::cos(e.theta);
        sin_theta = std::sin(e.theta);
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

// One group's points and what the search has done with them, kept from one
// pass of the search to the next.
struct GroupPoints {
    std::vector<EdgePoint> points;         // copies, in the table's order: read in order, pass after pass
    std::size_t group = 0;                 // rank of the group by size: part of its fits' seeds
    // Proposals are drawn from the alive points; unspent ones are not yet
    // taken by a find, and refinement and scoring may still use them. A
    // rejected proposal (one ellipse around two touching balls, say) takes
    // its inliers from the proposals only: they are the balls' own outlines,
    // which their own fits need.
    std::vector<std::uint8_t> alive, unspent;
    std::int32_t attempts = 0;             // proposals so far, over all passes
};

// What a thread's closed searches reuse from find to find, so that one in
// steady state allocates nothing: its groups (their vectors keep their
// capacity) and the scratch lists of one step at a time.
struct ClosedBuffers {
    std::vector<GroupPoints> groups;
    std::vector<std::size_t> sizes, order;      // points per group; groups by size
    std::vector<PointsView::Point> pixels;      // the alive points as the fits' integer points
    std::vector<FitPoint> near, facing;         // near_outline's points; outline_of's
    std::vector<std::size_t> near_index;        // where near_outline's points are in its `points`
    std::vector<std::uint32_t> nearby;          // NearbyPoints' points
    std::vector<double> distances;              // outline_of's
    std::vector<std::int32_t> joined_of;        // each group's joined group
    std::vector<std::size_t> pieces;            // groups in each joined one
};

// The groups `order` lists with at least `fewest` points (`sizes`), biggest
// first (equal ones in the table's order), and their edge points, by the
// group `key` names (a point's group or its joined group), into the groups of
// `buffers` from `first` on; how many. `sizes` is spent.
std::size_t gather_groups(const ScanTable& table, std::int32_t EdgePoint::*key, std::size_t fewest,
                          std::size_t first, ClosedBuffers& buffers) {
    std::vector<std::size_t>& sizes = buffers.sizes;
    std::vector<std::size_t>& order = buffers.order;
    std::erase_if(order, [&](std::size_t g) { return sizes[g] < fewest; });
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return sizes[a] > sizes[b]; });
    const std::size_t count = order.size();
    if (buffers.groups.size() < first + count) buffers.groups.resize(first + count);
    // The group's rank, or count for one not gathered.
    std::vector<std::size_t>& rank = sizes;
    for (std::size_t g = 0; g < rank.size(); ++g) rank[g] = count;
    for (std::size_t k = 0; k < count; ++k) {
        rank[order[k]] = k;
        buffers.groups[first + k].points.clear();
    }
    for (const EdgePoint& p : table.points)
        if (rank[p.*key] < count) buffers.groups[first + rank[p.*key]].points.push_back(p);
    return count;
}

// The points of each group of at least `fewest` points into the first groups
// of `buffers` (gather_groups); how many.
std::size_t points_by_group(const ScanTable& table, std::size_t fewest, ClosedBuffers& buffers) {
    std::vector<std::size_t>& sizes = buffers.sizes;
    std::vector<std::size_t>& order = buffers.order;
    sizes.assign(table.group_sizes.size(), 0);
    for (const EdgePoint& p : table.points) ++sizes[p.group];
    order.resize(sizes.size());
    for (std::size_t g = 0; g < order.size(); ++g) order[g] = g;
    return gather_groups(table, &EdgePoint::group, fewest, 0, buffers);
}

// After them, the groups joined across narrow gaps that join two or more
// groups, of at least `fewest` points, into the groups of `buffers` from
// `first` on (gather_groups); how many.
std::size_t joined_groups(const ScanTable& table, std::size_t fewest, std::size_t first, ClosedBuffers& buffers) {
    const std::size_t count = table.group_sizes.size();
    std::vector<std::int32_t>& joined_of = buffers.joined_of;
    std::vector<std::size_t>& pieces = buffers.pieces;
    std::vector<std::size_t>& sizes = buffers.sizes;
    std::vector<std::size_t>& order = buffers.order;
    joined_of.assign(count, -1);
    pieces.assign(count, 0);
    sizes.assign(count, 0);
    for (const EdgePoint& p : table.points) {
        joined_of[p.group] = p.joined;
        ++sizes[p.joined];
    }
    for (std::size_t g = 0; g < count; ++g)
        if (joined_of[g] >= 0) ++pieces[joined_of[g]];
    order.clear();
    for (std::size_t g = 0; g < count; ++g)
        if (pieces[g] >= 2) order.push_back(g);
    return gather_groups(table, &EdgePoint::joined, fewest, first, buffers);
}

class ClosedSearch {
public:
    // `taken`: discs found before, whose points are spent from the start.
    ClosedSearch(const ScanTable& table, const SearchOptions& options, const Fits& fits, std::vector<Found>& found,
                 double& evidence_ms, const std::vector<Found>* taken = nullptr)
        : table_(table), options_(options), fits_(fits), found_(found), evidence_ms_(evidence_ms), taken_(taken),
          buffers_(thread_buffers()) {
        // A disc larger than the frame's shorter side cannot be seen whole.
        max_size_ = std::min(options.max_r, std::min(table.width, table.height) / 2.0);
    }

    // One pass per level, every group in each: a shape scoring the first
    // level takes its points before any weaker one is looked for.
    // Then the groups joined across narrow gaps, on what the finds so far
    // left: a ball cut into pieces by a cable in front, none of which shows
    // enough of its outline (searched after the pieces, so that a ball beside
    // clutter it is joined to is found on its own first).
    void run(const std::vector<double>& levels) {
        const std::size_t count = points_by_group(table_, 8, buffers_);
        const std::size_t joined = joined_groups(table_, 8, count, buffers_);
        const std::span<GroupPoints> groups(buffers_.groups.data(), count + joined);
        for (std::size_t rank = 0; rank < groups.size(); ++rank) {
            groups[rank].group = rank;
            groups[rank].attempts = 0;
        }
        for (GroupPoints& group : groups.first(count)) {
            group.unspent.assign(group.points.size(), 1);
            spend_found(group, taken_);
        }
        for (const double level : levels) {
            ceiling_ = level < levels.front() ? levels.front() : kNoCeiling;
            piles_.clear();
            for (std::size_t rank = 0; rank < groups.size(); ++rank) {
                if (full() || work_ > options_.work_budget) return;
                const bool joined = rank >= count;
                if (joined) {
                    groups[rank].unspent.assign(groups[rank].points.size(), 1);
                    spend_found(groups[rank], &found_);
                }
                search_group(groups[rank], level, joined);
            }
            // Last, when every group's outline has had its turn: a pile's box
            // holds other groups' blobs too.
            for (const Pile& pile : piles_) search_shaded(groups[pile.rank], pile, level);
        }
    }

private:
    static ClosedBuffers& thread_buffers() {
        thread_local ClosedBuffers buffers;
        return buffers;
    }

    bool full() const { return static_cast<std::int32_t>(found_.size()) >= options_.max_shapes; }

    // A disc stretched into an ellipse (a ball near a wide lens's edge) is
    // weighed and placed as that ellipse.
    bool disc() const { return options_.kind == ShapeKind::disc && !stretched_; }
    bool stretched_ = false;
    // The usable points of one try's group in a ring about where its disc
    // started: refining moves a disc little, so each later pass over the
    // points reads these instead of the whole group, and keeps exactly what
    // a pass over the whole group would (a point within `band` of the disc
    // lies within band + its move of where it started).
    struct NearbyPoints {
        const std::vector<EdgePoint>* points = nullptr;  // none gathered
        const std::vector<std::uint8_t>* usable = nullptr;
        DiscShape from{};
        double reach = 0;
        std::size_t count = 0;  // in the buffers' `nearby`
    };
    mutable NearbyPoints nearby_;
    // Rounding in the distances, far below anything a band measures.
    static constexpr double kNearbySlack = 1e-6;

    void gather_nearby(const std::vector<EdgePoint>& points, const std::vector<std::uint8_t>& usable,
                       const DiscShape& from, double reach) const {
        std::vector<std::uint32_t>& index = buffers_.nearby;
        if (index.size() < points.size()) index.resize(points.size());
        const double inner = std::max(0.0, from.r - reach - kNearbySlack), outer = from.r + reach + kNearbySlack;
        const double inner2 = inner * inner, outer2 = outer * outer;
        std::uint32_t* out = index.data();
        std::size_t count = 0;
        for (std::size_t k = 0; k < points.size(); ++k) {
            const double dx = points[k].x - from.x, dy = points[k].y - from.y, d2 = dx * dx + dy * dy;
            out[count] = static_cast<std::uint32_t>(k);
            count += (usable[k] != 0) & (d2 >= inner2) & (d2 <= outer2);
        }
        nearby_ = {&points, &usable, from, reach, count};
    }

    // Whether the gathered points hold every point within `band` of `disc`.
    bool nearby_hold(const std::vector<EdgePoint>& points, const std::vector<std::uint8_t>& usable,
                     const DiscShape& disc, double band) const {
        if (nearby_.points != &points || nearby_.usable != &usable) return false;
        const DiscShape& from = nearby_.from;
        const double move = std::hypot(disc.x - from.x, disc.y - from.y) + std::fabs(disc.r - from.r);
        return band + move + kNearbySlack <= nearby_.reach;
    }

    // A group joined across narrow gaps is searched for what its pieces
    // hid from their own searches: a few proposals, no piles (a pile is one
    // group already).
    static constexpr std::int32_t kJoinedFailures = 2;

    double distance(const Candidate& candidate, const EdgePoint& point, double* gx, double* gy) const {
        if (disc()) {
            *gx = point.x - candidate.disc.x;
            *gy = point.y - candidate.disc.y;
            return disc_distance(candidate.disc, point.x, point.y);
        }
        const EllipseShape& e = candidate.ellipse;
        const double cs = candidate.cos_theta, sn = candidate.sin_theta;
        const double dx = point.x - e.x, dy = point.y - e.y;
        const double s = dx * cs + dy * sn, t = -dx * sn + dy * cs;
        const double gs = s / (e.a * e.a), gt = t / (e.b * e.b);
        *gx = gs * cs - gt * sn;
        *gy = gs * sn + gt * cs;
        const double rho = std::sqrt(s * gs + t * gt);
        return rho > 0 ? std::sqrt(dx * dx + dy * dy) * (1.0 - 1.0 / rho) : -std::min(e.a, e.b);
    }

    double size(const Candidate& candidate) const {
        return disc() ? candidate.disc.r : std::min(candidate.ellipse.a, candidate.ellipse.b);
    }

    // Where the points within `band` of the candidate's outline lie.
    Ring ring(const Candidate& candidate, double band) const {
        const DiscShape& d = candidate.disc;
        const EllipseShape& e = candidate.ellipse;
        return disc() ? Ring(d.x, d.y, d.r, d.r, band) : Ring(e.x, e.y, std::min(e.a, e.b), std::max(e.a, e.b), band);
    }

    // The usable points within `band` of the outline whose colour lies
    // inside, at (x, y), or where the frame's colour changes when
    // `where_colour_changes`; in the buffers' `near`, until the next call.
    std::span<FitPoint> near_outline(const std::vector<EdgePoint>& points, const std::vector<std::uint8_t>& usable,
                                     const Candidate& candidate, double band, bool where_colour_changes = false) const {
        std::vector<FitPoint>& near = buffers_.near;
        if (near.size() < points.size()) near.resize(points.size());
        std::size_t* index = nullptr;
        if (where_colour_changes) {
            buffers_.near_index.resize(std::max(buffers_.near_index.size(), points.size()));
            index = buffers_.near_index.data();
        }
        const std::span<FitPoint> found = disc() ? near_disc(points, usable, candidate.disc, band, index)
                                                 : near_ellipse(points, usable, candidate, band, index);
        if (where_colour_changes)
            for (std::size_t k = 0; k < found.size(); ++k) table_.placed(points[index[k]], found[k].x, found[k].y);
        return found;
    }

    // near_outline of an ellipse: the distances (as `distance` works them
    // out) of a block of points at a time, in a loop the compiler vectorises,
    // with no condition in it; then each point written, kept or not (and its
    // place in `points` into `index`, when given).
    std::span<FitPoint> near_ellipse(const std::vector<EdgePoint>& points, const std::vector<std::uint8_t>& usable,
                                     const Candidate& candidate, double band, std::size_t* index) const {
        constexpr std::size_t kBlock = 16;
        const EllipseShape& e = candidate.ellipse;
        const double cs = candidate.cos_theta, sn = candidate.sin_theta, a2 = e.a * e.a, b2 = e.b * e.b;
        const double centre = -std::min(e.a, e.b);  // the distance where rho is 0
        FitPoint* near = buffers_.near.data();
        std::size_t count = 0;
        for (std::size_t first = 0; first < points.size(); first += kBlock) {
            const std::size_t block = std::min(kBlock, points.size() - first);
            double dxs[kBlock], dys[kBlock], rhos[kBlock], ds[kBlock], gxs[kBlock], gys[kBlock];
            for (std::size_t n = 0; n < block; ++n) {
                dxs[n] = points[first + n].x - e.x;
                dys[n] = points[first + n].y - e.y;
            }
            for (std::size_t n = 0; n < block; ++n) {
                const double dx = dxs[n], dy = dys[n];
                const double s = dx * cs + dy * sn, t = -dx * sn + dy * cs;
                const double gs = s / a2, gt = t / b2;
                gxs[n] = gs * cs - gt * sn;
                gys[n] = gs * sn + gt * cs;
                rhos[n] = std::sqrt(s * gs + t * gt);
                ds[n] = std::sqrt(dx * dx + dy * dy) * (1.0 - 1.0 / rhos[n]);
            }
            for (std::size_t n = 0; n < block; ++n) {
                const EdgePoint& p = points[first + n];
                const double d = rhos[n] > 0 ? ds[n] : centre;
                near[count] = FitPoint{p.x, p.y};
                if (index != nullptr) index[count] = first + n;
                const bool close = std::fabs(d) <= band, facing = faces_inward(p, gxs[n], gys[n]);
                count += (usable[first + n] != 0) & close & facing;
            }
        }
        return {near, count};
    }

    // near_outline of a disc, whose distance costs one square root: worked
    // out for every point, and each point written, kept or not, without a
    // branch to mispredict.
    std::span<FitPoint> near_disc(const std::vector<EdgePoint>& points, const std::vector<std::uint8_t>& usable,
                                  const DiscShape& disc, double band, std::size_t* index) const {
        constexpr std::size_t kBlock = 16;
        FitPoint* near = buffers_.near.data();
        std::size_t count = 0;
        // The distances of a block of points at a time, in a loop the
        // compiler vectorises; then each point written, kept or not.
        auto visit = [&](std::size_t total, auto point_at) {
            for (std::size_t first = 0; first < total; first += kBlock) {
                const std::size_t block = std::min(kBlock, total - first);
                double gxs[kBlock], gys[kBlock], ds[kBlock];
                for (std::size_t n = 0; n < block; ++n) {
                    const EdgePoint& p = points[point_at(first + n)];
                    gxs[n] = p.x - disc.x;
                    gys[n] = p.y - disc.y;
                }
                for (std::size_t n = 0; n < block; ++n)
                    ds[n] = std::sqrt(gxs[n] * gxs[n] + gys[n] * gys[n]) - disc.r;  // disc_distance
                for (std::size_t n = 0; n < block; ++n) {
                    const std::size_t k = point_at(first + n);
                    const EdgePoint& p = points[k];
                    near[count] = FitPoint{p.x, p.y};
                    if (index != nullptr) index[count] = k;
                    const bool close = std::fabs(ds[n]) <= band, facing = faces_inward(p, gxs[n], gys[n]);
                    count += (usable[k] != 0) & close & facing;
                }
            }
        };
        if (nearby_hold(points, usable, disc, band)) {
            const std::uint32_t* nearby = buffers_.nearby.data();
            visit(nearby_.count, [nearby](std::size_t n) { return static_cast<std::size_t>(nearby[n]); });
        } else {
            visit(points.size(), [](std::size_t k) { return k; });
        }
        return {near, count};
    }

    bool refine(const std::vector<EdgePoint>& points, const std::vector<std::uint8_t>& usable,
                Candidate& candidate) const {
        const double shape_size = size(candidate);
        // Wide enough for the passes below and for round_enough's.
        if (disc())
            gather_nearby(points, usable, candidate.disc,
                          std::max(3.0, 0.25 * shape_size) + std::max(2.0, 0.1 * shape_size));
        // Narrowing bands; the wider ones only bring the shape near, the
        // last one places it.
        int pass = 0;
        for (double band : {std::max(3.0, 0.2 * shape_size), std::max(2.0, 0.12 * shape_size),
                            std::max(1.5, 0.08 * shape_size)}) {
            ++pass;
            std::span<FitPoint> near = near_outline(points, usable, candidate, band);
            // Enough points fix a shape to a small fraction of a pixel; more
            // only cost time.
            if (near.size() > 400) {
                const std::size_t n = near.size();
                for (std::size_t k = 0; k < 400; ++k) near[k] = near[k * n / 400];
                near = near.first(400);
            }
            EllipseShape e = candidate.ellipse;
            const bool ok = disc() ? fit_disc(near, candidate.disc, fits_.level())
                                   : fit_ellipse(near, e, fits_.level(), pass < 3 ? 4 : 12);
            if (!ok) return false;
            if (!disc()) candidate.set(e);
        }
        if (!disc()) candidate.set(normalised(candidate.ellipse));
        return true;
    }

    // The verified shape fitted once more, to where the frame's colour
    // changes along its edge points (the mask's boundary lies a little
    // outside that where the edge is blurred); kept as it is when that fit
    // fails or moves it by more than a pixel.
    // `moved_points`: the points near the outline, where the colour changes.
    void place(std::span<const FitPoint> moved_points, Candidate& candidate) const {
        // Centre and size each moved by at most a pixel.
        auto small_move = [](double dx, double dy, double size_change) {
            return std::hypot(dx, dy) <= 1.0 && std::fabs(size_change) <= 1.0;
        };
        if (disc()) {
            DiscShape d = candidate.disc;
            if (fit_disc(moved_points, d, fits_.level()) &&
                small_move(d.x - candidate.disc.x, d.y - candidate.disc.y, d.r - candidate.disc.r))
                candidate.disc = d;
            return;
        }
        EllipseShape e = candidate.ellipse;
        if (!fit_ellipse(moved_points, e, fits_.level())) return;
        e = normalised(e);
        const EllipseShape& was = candidate.ellipse;
        const double size_change = std::max(std::fabs(e.a - was.a), std::fabs(e.b - was.b));
        if (small_move(e.x - was.x, e.y - was.y, size_change)) candidate.set(e);
    }

    // The radius a placed disc is reported with: where the frame's colour
    // turns from the disc's to what lies beyond, when that lies more than
    // kOutlineGap beyond the placed radius (a rim in shade or blurred wide,
    // which the colour's mask leaves out); else the placed one, read at every
    // edge point to a fraction of a pixel (where the mask reaches further
    // than the colour's shares say, the mask's colour is there).
    double outline_size(const EllipseShape& e, double placed) const {
        const double outline = placed * outline_scale(table_, e);
        return outline - placed > kOutlineGap ? outline : placed;
    }

    // A disc must be round: an ellipse seen as a disc leaves its outline
    // beyond the disc on two sides and inside it on the other two.
    bool round_enough(const GroupPoints& group, const Candidate& candidate) const {
        if (!disc()) return true;
        const auto near = near_outline(group.points, group.unspent, candidate, std::max(2.0, 0.25 * candidate.disc.r));
        return ellipticity(near, candidate.disc) <=
               (candidate.disc.r < kSmallRound ? kMaxSmallEllipticity : kMaxEllipticity);
    }

    // A disc whose outline has a square's sides, or a polygon's (asked of
    // what would be found only: it costs a fit).
    bool square(const GroupPoints& group, const Candidate& candidate, const Evidence& ev) const {
        if (!disc() || stretched_) return false;
        const auto near = near_outline(group.points, group.unspent, candidate, std::max(2.0, 0.25 * candidate.disc.r));
        if (turn_covered(near, candidate.disc) < kMinSquareCover) return false;
        if (ev.core_hidden == 0) {
            const StraightSides sides = straight_sides(near, candidate.disc, kPolygonSectors, kMaxSideBend);
            if (sides.count >= kPolygonSides && sides.straightest <= kPolygonEdgeBend) return true;
        }
        const double amplitude = squareness(near, candidate.disc);
        if (amplitude <= kMaxSquareness || amplitude * candidate.disc.r <= kMaxSquarePixels) return false;
        return straightest_side(near, candidate.disc, kSideSectors) <= kMaxSideBend;
    }

    // Whether an ellipse (normalised: `a` along `theta` is the long axis) lies
    // as a ball near the frame's edge squeezed by a wide lens does.
    bool squeezed(const EllipseShape& e) const {
        const double dx = e.x - (table_.width - 1) / 2.0, dy = e.y - (table_.height - 1) / 2.0;
        if (std::hypot(dx / (table_.width / 2.0), dy / (table_.height / 2.0)) < kSqueezeFrom) return false;
        const double along = std::cos(e.theta) * dx + std::sin(e.theta) * dy;
        return std::fabs(along) <= kSqueezeCos * std::hypot(dx, dy);
    }

    bool valid(const Candidate& candidate) const {
        const double x = disc() ? candidate.disc.x : candidate.ellipse.x;
        const double y = disc() ? candidate.disc.y : candidate.ellipse.y;
        if (!(x >= -0.5 && x <= table_.width - 0.5 && y >= -0.5 && y <= table_.height - 0.5)) return false;
        if (disc()) return candidate.disc.r >= options_.min_r && candidate.disc.r <= max_size_;
        const EllipseShape& e = candidate.ellipse;  // normalised: a >= b
        if (stretched_)
            return (e.a + e.b) / 2 >= options_.min_r && e.a <= max_size_ &&
                   (e.a <= options_.stretch * e.b || (e.a <= options_.squeeze * e.b && squeezed(e)));
        return e.b >= options_.min_r && e.a <= max_size_ && e.a <= options_.max_ratio * e.b;
    }

    // One call of the module's fit on `count` samples: the shape and how many
    // of the points lie within the fits' band of it.
    std::int32_t fit_once(const std::vector<PointsView::Point>& points, std::int32_t count, std::uint32_t seed,
                          Candidate& shape) const {
        const auto min_r = static_cast<std::int32_t>(std::max(0.0, std::floor(options_.min_r) - 1));
        const auto max_r = static_cast<std::int32_t>(std::min(1e6, std::ceil(max_size_) + 1));
        const std::int32_t delta = options_.delta;
        std::int32_t inliers = 0;
        if (disc()) {
            Circle circle;
            fits_.circle(points, count, min_r, max_r, delta, seed, circle);
            if (circle.r <= 0) return 0;
            // In doubles, exact for any pixel's coordinates, and in a loop the compiler vectorises.
            const double lo = std::max<std::int64_t>(0, std::int64_t{circle.r} - delta);
            const double hi = std::int64_t{circle.r} + delta, lo2 = lo * lo, hi2 = hi * hi;
            const double cx = circle.x, cy = circle.y;
            for (const auto& p : points) {
                const double dx = p.x - cx, dy = p.y - cy, d2 = dx * dx + dy * dy;
                inliers += (d2 >= lo2) & (d2 <= hi2);  // both compared: no branch to mispredict
            }
            shape.disc = {static_cast<double>(circle.x), static_cast<double>(circle.y), static_cast<double>(circle.r)};
            return inliers;
        }
        Ellipse fitted;
        fits_.ellipse(points, count, min_r, max_r, options_.max_ratio, delta, seed, fitted);
        if (fitted.a <= 0) return 0;
        shape.set({fitted.x, fitted.y, fitted.a, fitted.b, fitted.theta});
        const EllipseGeometry geometry(shape.ellipse);
        const Ring within(fitted.x, fitted.y, std::min(fitted.a, fitted.b), std::max(fitted.a, fitted.b), delta);
        for (const auto& p : points)
            inliers += !within.beyond(p.x, p.y) && std::fabs(geometry.distance(p.x, p.y)) <= delta;
        return inliers;
    }

    // The best proposal of the module's fit among the integer points, with
    // iterations added until the best inlier share makes a better shape unlikely.
    bool propose(const std::vector<PointsView::Point>& points, const GroupPoints& group, Candidate& best) {
        const int sample = disc() ? 3 : 5;
        std::int32_t best_count = 0, done = 0, needed = options_.min_iterations;
        for (std::uint64_t chunk = 0; done < needed; ++chunk) {
            const std::int32_t count = std::min(options_.min_iterations, needed - done);
            const auto attempt = static_cast<std::uint64_t>(group.attempts);
            const std::uint32_t seed = mix_seed(draw_seed(group.attempts, options_.seed), group.group, attempt, chunk);
            Candidate next{};
            const std::int32_t inliers = fit_once(points, count, seed, next);
            done += count;
            work_ += static_cast<double>(count) * static_cast<double>(points.size());
            if (inliers > best_count) {
                best_count = inliers;
                best = next;
            }
            needed = iterations_needed(options_, static_cast<double>(best_count) / points.size(), sample);
        }
        return best_count > 0;
    }

    // Everything inside a found shape (of that size) and on its rim is spent.
    void spend(GroupPoints& group, const Candidate& candidate, double shape_size) const {
        const double rim = rim_for(shape_size);
        const Ring within = ring(candidate, rim);
        for (std::size_t k = 0; k < group.points.size(); ++k) {
            const EdgePoint& p = group.points[k];
            if (!group.unspent[k] || within.outside(p.x, p.y)) continue;
            double gx, gy;
            if (distance(candidate, p, &gx, &gy) < rim) group.alive[k] = group.unspent[k] = 0;
        }
    }

    // Spends what lies inside and on the rim of `finds` (discs, or ellipses
    // when this search's are).
    void spend_found(GroupPoints& group, const std::vector<Found>* finds) const {
        group.alive = group.unspent;
        if (finds == nullptr) return;
        for (const Found& f : *finds) {
            const double* v = f.values;
            Candidate candidate{};
            candidate.disc = {v[0], v[1], v[2]};
            if (f.kind == ShapeKind::ellipse) candidate.set({v[0], v[1], v[2], v[3], v[4]});
            else candidate.set({v[0], v[1], v[2], v[2], 0.0});
            spend(group, candidate, size(candidate));
        }
    }

    // The alive points as the fits' integer points; false when they are too
    // few, or spread too little for any shape asked for, even half hidden.
    bool gather_alive(const GroupPoints& group, std::vector<PointsView::Point>& points) const {
        points.clear();
        double x_lo = 1e300, x_hi = -1e300, y_lo = 1e300, y_hi = -1e300;
        for (std::size_t k = 0; k < group.points.size(); ++k) {
            if (!group.alive[k]) continue;
            const EdgePoint& p = group.points[k];
            points.push_back({as_pixel(p.x), as_pixel(p.y)});
            x_lo = std::min(x_lo, p.x);
            x_hi = std::max(x_hi, p.x);
            y_lo = std::min(y_lo, p.y);
            y_hi = std::max(y_hi, p.y);
        }
        if (points.size() < (disc() ? 8u : 10u)) return false;
        const double longer = std::max(x_hi - x_lo, y_hi - y_lo), shorter = std::min(x_hi - x_lo, y_hi - y_lo);
        return longer >= 1.5 * options_.min_r && shorter >= 0.5 * options_.min_r;
    }

    // The disc the group's outline draws, from the frame's structure alone:
    // fitted to the alive points whose colour lies toward their centroid,
    // from the centroid at their median distance.
    bool outline_of(const GroupPoints& group, Candidate& outline) const {
        if (!disc()) return false;
        double cx = 0, cy = 0;
        std::size_t n = 0;
        for (std::size_t k = 0; k < group.points.size(); ++k) {
            if (!group.alive[k]) continue;
            cx += group.points[k].x;
            cy += group.points[k].y;
            ++n;
        }
        if (n < 8) return false;
        cx /= n;
        cy /= n;
        std::vector<FitPoint>& facing = buffers_.facing;
        std::vector<double>& distances = buffers_.distances;
        facing.clear();
        distances.clear();
        for (std::size_t k = 0; k < group.points.size(); ++k) {
            const EdgePoint& p = group.points[k];
            if (!group.alive[k] || !faces_inward(p, p.x - cx, p.y - cy)) continue;
            facing.push_back({p.x, p.y});
            const double dx = p.x - cx, dy = p.y - cy;
            distances.push_back(dx * dx + dy * dy);  // squared: the median's root is the median
        }
        if (facing.size() < 8) return false;
        std::nth_element(distances.begin(), distances.begin() + distances.size() / 2, distances.end());
        DiscShape d{cx, cy, std::sqrt(distances[distances.size() / 2])};
        if (!fit_disc(facing, d, fits_.level()) || !(d.r > 0)) return false;
        outline.disc = d;
        return true;
    }

    void search_group(GroupPoints& group, double level, bool joined) {
        group.alive = group.unspent;  // what an earlier pass rejected may pass this one
        std::vector<PointsView::Point>& points = buffers_.pixels;
        std::int32_t failures = 0;
        bool outline_tried = false;
        const std::int32_t most_failures =
            joined ? std::min(kJoinedFailures, options_.max_failures) : options_.max_failures;
        for (; failures < most_failures && !full(); ++group.attempts) {
            if (!gather_alive(group, points) || work_ > options_.work_budget) break;
            // A small group's few random proposals land on its one shape; a
            // big one may hold clutter beside it, which they land on too.
            if (!outline_tried && points.size() >= 64) {
                outline_tried = true;
                Candidate outline{};
                const bool found_outline =
                    outline_of(group, outline) && try_candidate(group, outline, std::max(level, kClearOutline));
                stretched_ = false;
                if (found_outline) {
                    outline_tried = false;  // what is left may draw another
                    continue;
                }
            }
            if (points.size() < 64 && failures >= 2) break;  // a small group rarely holds a second shape
            Candidate proposal{};
            if (!propose(points, group, proposal)) break;
            Candidate candidate = proposal;
            const bool accepted = try_candidate(group, candidate, level);
            stretched_ = false;
            if (accepted) continue;
            ++failures;
            // The proposal's own inliers go, so that the next one differs.
            const double band = options_.delta + 0.5;
            const Ring within = ring(proposal, band);
            for (std::size_t k = 0; k < group.points.size(); ++k) {
                const EdgePoint& p = group.points[k];
                if (!group.alive[k] || within.beyond(p.x, p.y)) continue;
                double gx, gy;
                if (std::fabs(distance(proposal, p, &gx, &gy)) <= band) group.alive[k] = 0;
            }
        }
        if (!joined) search_pile(group, level);
    }

    // The pixels a group's blob may cover: its edge points' box, grown by the
    // scan's spacing, inside the frame.
    PixelBox blob_box(const GroupPoints& group) const {
        double x_lo = 1e300, x_hi = -1e300, y_lo = 1e300, y_hi = -1e300;
        for (const EdgePoint& p : group.points) {
            x_lo = std::min(x_lo, p.x);
            x_hi = std::max(x_hi, p.x);
            y_lo = std::min(y_lo, p.y);
            y_hi = std::max(y_hi, p.y);
        }
        const double grow = kBlobMargin;
        return {std::max(0, static_cast<std::int32_t>(std::floor(x_lo - grow))),
                std::max(0, static_cast<std::int32_t>(std::floor(y_lo - grow))),
                std::min(table_.width, static_cast<std::int32_t>(std::ceil(x_hi + grow)) + 1),
                std::min(table_.height, static_cast<std::int32_t>(std::ceil(y_hi + grow)) + 1)};
    }

    // A group's pile, for search_shaded.
    struct Pile {
        std::size_t rank;
        PixelBox box;
    };

    // Balls touching in a pile draw one blob whose outline no one disc
    // fits: each is tried where its centre stands out, a peak of the blob's
    // distance from what is not the colour, and weighed beside the balls
    // that touch it (the rim where they touch is theirs). A peak where two
    // balls meet lies off both, and so do the neighbours a ball is weighed
    // beside: once a ball of the blob is found (a pile, not a patch of the
    // colour), the peaks that failed are tried again from where refining
    // took them, beside their neighbours as refined and the balls found, in
    // a few rounds (each places the neighbours a little better).
    void search_pile(GroupPoints& group, double level) {
        if (!disc() || full() || table_.mask == nullptr || work_ > options_.work_budget) return;
        // What the fits explained is spent: a group with little left is no pile.
        if (std::count(group.unspent.begin(), group.unspent.end(), 1) < kPileLeft) return;
        const PixelBox box = blob_box(group);
        const double longer = std::max(box.x1 - box.x0, box.y1 - box.y0);
        if (longer < 4 * options_.min_r) return;  // no room for two discs side by side
        const Blob blob(*table_.mask, box, options_.min_r);
        std::vector<DiscShape> places = blob.peaks(options_.min_r, max_size_, kMostPeaks);
        work_ += static_cast<double>(box.x1 - box.x0) * static_cast<double>(box.y1 - box.y0);
        piles_.push_back({group.group, box});
        const std::size_t peaks = places.size();
        if (peaks < 2) return;  // a lone blob is the fits' to find
        std::vector<std::uint8_t> again(peaks, 1);
        std::vector<DiscShape> refined = places;
        for (int round = 0; round < kPileRounds; ++round) {
            if (round > 0) {
                if (!holds_find(box)) return;
                places = refined;
            }
            // The discs found so far may touch a peak as well.
            std::vector<DiscShape> discs = places;
            for (const Found& f : found_) discs.push_back({f.values[0], f.values[1], f.values[2]});
            for (std::size_t k = 0; k < peaks && !full(); ++k) {
                if (!again[k]) continue;
                again[k] = 0;
                const DiscShape peak = discs[k];
                // Beyond the frame the blob may go on: a peak there is not where a ball stands.
                if (inside_found(peak) || !within_frame(peak)) continue;
                const std::vector<DiscShape> beside = blob.touching(discs, peak);
                // With none beside it (where two layers meet, the blob's
                // peaks there are wider than any ball) it is weighed alone.
                Candidate candidate{};
                candidate.disc = peak;
                touching_ = &beside;
                const bool accepted = try_candidate(group, candidate, level);
                touching_ = nullptr;
                stretched_ = false;
                if (!accepted && round + 1 < kPileRounds && valid(candidate)) {
                    refined[k] = candidate.disc;
                    again[k] = 1;
                }
            }
        }
    }

    // Where balls lie on and against one another, their blob is solid and
    // its peaks are few and wider than any ball: the blob with the frame's
    // creases cleared (see shading.hpp) draws them apart. Each of its peaks
    // that no ball found holds is fitted to where the frame shows it ends;
    // it is a ball of the pile when that end lies on its circle on kMinRing
    // of it, and is a crease of the frame (not the mask's edge) on
    // kMinCreased at least: where the mask's edge draws a ball, the search
    // above has weighed it, and a circle inside a square meets the mask's
    // edge too. (Below kMinRing, a circle drawn where a lit ball's shading
    // steps inside it, smaller than the ball.) Only in a box that holds a
    // ball found already: a pile, not a patch of the colour, whose shading
    // draws circles too (and every blob would pay for the search); or one
    // where two discs nearly passed (see kNearMissFill).
    void search_shaded(GroupPoints& group, const Pile& pile, double level) {
        const PixelBox& box = pile.box;
        // Never what takes the search past its budget: the groups after this
        // one are still to be searched.
        const double cost = static_cast<double>(box.x1 - box.x0) * static_cast<double>(box.y1 - box.y0);
        if (table_.frame == nullptr || full() || work_ + cost > options_.work_budget) return;
        if (!holds_find(box) && near_misses_in(box) < kPileNearMisses) return;
        work_ += cost;
        const double step = crease_step(table_, box);
        const Blob split(split_mask(table_, box, Blob::step_for(options_.min_r), step), box, options_.min_r);
        std::vector<std::pair<CreaseRing, Candidate>> circles;
        for (const DiscShape& peak : split.peaks(options_.min_r, max_size_, kMostPeaks)) {
            if (inside_found(peak) || !within_frame(peak)) continue;
            Candidate candidate{};
            CreaseRing ring;
            if (circle_at(box, step, peak, candidate, ring)) circles.emplace_back(ring, candidate);
        }
        try_circles(group, circles, level);
        search_beside(group, box, step, level);
    }

    // The circles that end most clearly all round first: a circle drawn
    // round a ball and its shadow ends on the shadow's edge less often.
    void try_circles(GroupPoints& group, std::vector<std::pair<CreaseRing, Candidate>>& circles, double level) {
        std::stable_sort(circles.begin(), circles.end(),
                         [](const auto& a, const auto& b) { return a.first.ring > b.first.ring; });
        for (auto& [ring, candidate] : circles) {
            if (full()) return;
            if (!inside_found(candidate.disc)) try_shaded(group, candidate, ring, level);
        }
    }

    // A pile's balls lie side by side, and where one's outline steps softly
    // against its neighbours the split draws no peak for it: beside each
    // ball found in the box, circles of its size are read from kBesideAngles
    // places kBeside radii from it (inside the blob), and those as large as
    // it tried; then beside the balls those found, for kBesideRounds rounds.
    void search_beside(GroupPoints& group, const PixelBox& box, double step, double level) {
        std::vector<std::pair<CreaseRing, Candidate>> circles;
        std::vector<DiscShape> tried;
        std::size_t from = 0;
        for (int round = 0; round < kBesideRounds && !full(); ++round) {
            const std::size_t count = found_.size();
            circles.clear();
            for (std::size_t k = from; k < count; ++k) {
                const DiscShape ball{found_[k].values[0], found_[k].values[1], found_[k].values[2]};
                if (!box.holds(ball.x, ball.y)) continue;
                for (int a = 0; a < kBesideAngles; ++a) {
                    const double angle = 2.0 * std::numbers::pi * a / kBesideAngles;
                    const DiscShape place{ball.x + kBeside * ball.r * std::cos(angle),
                                          ball.y + kBeside * ball.r * std::sin(angle), ball.r};
                    // Two balls side by side share places beside them: each is read once.
                    if (!within_frame(place) || inside_found(place) || !set_at(*table_.mask, place.x, place.y) ||
                        near_one_of(tried, place, kBesideApart))
                        continue;
                    tried.push_back(place);
                    Candidate candidate{};
                    CreaseRing ring;
                    if (circle_at(box, step, place, candidate, ring) &&
                        std::fabs(candidate.disc.r - ball.r) <= kAlikeSize * ball.r)
                        circles.emplace_back(ring, candidate);
                }
            }
            try_circles(group, circles, level);
            if (found_.size() == count) return;
            from = count;
        }
    }

    // A ball placed by its creases, scored by its fill and the share of its
    // circle where the frame shows it ends; not refined to the mask's edge
    // points (it may have none), nor stretched. Its support counts the rays
    // that show its end where the mask's edge points near it are fewer.
    bool try_shaded(GroupPoints& group, Candidate& candidate, const CreaseRing& ring, double level) {
        Found find{options_.kind, {}, 0, 0, {}};
        {
            const Stopwatch timed(evidence_ms_);
            const double rim = rim_for(size(candidate));
            find.evidence = disc_evidence(table_, candidate.disc, rim);
            if (find.evidence.fill() * ring.ring < level) return false;
            read_disc_inside(table_, candidate.disc, rim, find.evidence);
        }
        find.score = find.evidence.seen() >= kMinSeen ? find.evidence.fill() * ring.ring : 0.0;
        if (find.score < level || find.score >= ceiling_ || square(group, candidate, find.evidence)) return false;
        accept(group, candidate, find);
        found_.back().support = std::max(found_.back().support, ring.ends);
        return true;
    }

    bool within_frame(const DiscShape& d) const {
        return d.x - d.r >= 0 && d.y - d.r >= 0 && d.x + d.r <= table_.width - 1 && d.y + d.r <= table_.height - 1;
    }

    // The circle a pile's peak draws where the frame shows it ends, read at
    // each of kCreaseSteps until one shows it clearly, each read from where
    // the best read so far placed it; the best ring kept. False when it is
    // no ball.
    bool circle_at(const PixelBox& box, double step, const DiscShape& peak, Candidate& best, CreaseRing& best_ring) {
        bool fitted = false;
        for (const double times : kCreaseSteps) {
            Candidate candidate{};
            candidate.disc = fitted ? best.disc : peak;
            CreaseRing ring;
            if (!fit_to_creases(table_, times * step, fits_.level(), candidate.disc, ring)) continue;
            if (!fitted || ring.ring > best_ring.ring) {
                best = candidate;
                best_ring = ring;
                fitted = true;
            }
            if (best_ring.ring >= kMinRing && best_ring.creased >= kMinCreased) break;
        }
        return fitted && ends_round(box, best.disc, best_ring) && valid(best);
    }

    // Whether a circle fitted to the creases ends on enough of them to be a ball of the pile.
    bool ends_round(const PixelBox& box, const DiscShape& d, const CreaseRing& ring) const {
        const bool alike = std::any_of(found_.begin(), found_.end(), [&](const Found& f) {
            return box.holds(f.values[0], f.values[1]) && std::fabs(f.values[2] - d.r) <= kAlikeSize * f.values[2];
        });
        return ring.ring >= (alike ? kAlikeRing : kMinRing) && ring.creased >= kMinCreased;
    }

    bool holds_find(const PixelBox& box) const {
        return std::any_of(found_.begin(), found_.end(), [&](const Found& f) {
            return box.holds(f.values[0], f.values[1]);
        });
    }

    void note_near_miss(const DiscShape& d, const Evidence& ev) {
        if (ev.fill() >= kNearMissFill && ev.clear() >= kNearMissRim && ev.outline() >= kNearMissRim)
            near_misses_.push_back(d);
    }

    // The near misses in the box that are not the same disc tried again (in
    // a later pass, or refined from another proposal): those apart by more
    // than half a radius.
    std::size_t near_misses_in(const PixelBox& box) const {
        std::vector<DiscShape> apart;
        for (const DiscShape& d : near_misses_)
            if (box.holds(d.x, d.y) && !near_one_of(apart, d, 0.5)) apart.push_back(d);
        return apart.size();
    }

    // Whether a disc's centre lies within `share` of the larger radius of one of `discs`.
    static bool near_one_of(const std::vector<DiscShape>& discs, const DiscShape& d, double share) {
        return std::any_of(discs.begin(), discs.end(), [&](const DiscShape& a) {
            return std::hypot(a.x - d.x, a.y - d.y) <= share * std::max(a.r, d.r);
        });
    }

    bool inside_found(const DiscShape& d) const {
        return std::any_of(found_.begin(), found_.end(), [&](const Found& f) {
            return std::hypot(d.x - f.values[0], d.y - f.values[1]) < f.values[2];
        });
    }

    // The evidence of a shape at this place, scored (none when too little of
    // it lies inside the frame).
    void weigh(const Candidate& shape, Found& find) {
        const double rim = rim_for(size(shape));
        const Stopwatch timed(evidence_ms_);
        find.evidence = disc() ? disc_evidence(table_, shape.disc, rim, touching_)
                               : ellipse_evidence(table_, shape.ellipse, rim, options_.kind == ShapeKind::disc);
        rescore(find);
    }

    // A ball partly behind a thing whose edge runs on past it (see cuts.hpp)
    // is weighed on the side of that edge it shows on, when its rim stands
    // clear round it (the thing in front is not the colour either).
    void weigh_cut(const GroupPoints& group, const Candidate& candidate, Found& find) {
        if (!disc() || stretched_ || touching_ != nullptr || table_.frame == nullptr || table_.mask == nullptr)
            return;
        const double fill = find.evidence.fill();
        if (find.evidence.clear() < kCutClear || fill < kCutFill || fill > kCutMostFill) return;
        HalfPlane visible;
        if (!cut_line(group.points, *table_.mask, candidate.disc, visible) ||
            !runs_on(*table_.frame, *table_.mask, candidate.disc, visible))
            return;
        Found cut = find;
        {
            const Stopwatch timed(evidence_ms_);
            cut.evidence = disc_evidence(table_, candidate.disc, rim_for(size(candidate)), nullptr, &visible);
        }
        rescore(cut);
        if (cut.score > find.score) find = cut;
    }

    static void rescore(Found& find) {
        find.score = find.evidence.seen() >= (find.evidence.cut ? kMinSeenCut : kMinSeen) ? find.evidence.score() : 0.0;
    }

    // A stretched ball's circle misses both ends, or sits off its centre:
    // weigh the ellipse it is (reported as a disc of its mean semi-axis).
    void try_stretched(const GroupPoints& group, bool round, double level, Candidate& candidate, Found& find) {
        const double floor =
            std::max(kMinStretchFloor, kStretchFloor - kStretchFloorSlope * (options_.stretch - kRoundRatio));
        const double stretched_score = std::max(level, kStretchedScore);
        const bool may_stretch = options_.stretch > 1.0 || options_.squeeze > 1.0;
        if (!disc() || !may_stretch || (round && find.score < floor) || find.score >= stretched_score ||
            touching_ != nullptr)
            return;
        const Found as_circle = find;
        Candidate stretched{};
        const auto near = near_outline(group.points, group.unspent, candidate, std::max(2.0, 0.4 * candidate.disc.r));
        const EllipseShape start = ellipse_through(near, candidate.disc);
        if (start.a > kFarStretch * std::max(options_.stretch, options_.squeeze) * start.b) return;
        stretched.set(start);
        stretched_ = true;
        if (refine(group.points, group.unspent, stretched) && valid(stretched)) weigh(stretched, find);
        if (stretched_ && find.score >= stretched_score && find.score > as_circle.score) {
            candidate = stretched;
        } else {
            stretched_ = false;
            find = as_circle;
        }
    }

    // Refines and weighs a proposal; keeps it when it scores `level`.
    bool try_candidate(GroupPoints& group, Candidate& candidate, double level) {
        // What refine gathers holds for this try only: accepting it spends points.
        struct Forget {
            NearbyPoints& nearby;
            ~Forget() { nearby = {}; }
        } forget{nearby_};
        if (!refine(group.points, group.unspent, candidate) || !valid(candidate)) return false;
        Found find{options_.kind, {}, 0, 0, {}};
        const bool round = round_enough(group, candidate);
        if (round) weigh(candidate, find);
        else find.score = -1.0;  // not a disc, at any level
        try_stretched(group, round, level, candidate, find);
        // Whatever the level: a disc's score must not depend on the threshold.
        if (round) weigh_cut(group, candidate, find);
        if (disc() && find.score < level) note_near_miss(candidate.disc, find.evidence);
        if (find.score < level) return false;
        const double shape_size = size(candidate);
        {  // only what would be found pays for reading the frame inside
            const Stopwatch timed(evidence_ms_);
            if (disc()) read_disc_inside(table_, candidate.disc, rim_for(shape_size), find.evidence);
            else read_ellipse_inside(table_, candidate.ellipse, rim_for(shape_size), find.evidence);
            rescore(find);
        }
        if (find.score < level || find.score >= ceiling_ || square(group, candidate, find.evidence)) return false;
        accept(group, candidate, find);
        return true;
    }

    void accept(GroupPoints& group, Candidate& candidate, Found& find) {
        const double shape_size = size(candidate);
        const auto moved = near_outline(group.points, group.unspent, candidate, std::max(1.5, 0.08 * shape_size), true);
        find.support = static_cast<std::int32_t>(moved.size());
        place(moved, candidate);
        if (disc()) {
            const DiscShape& d = candidate.disc;
            const double v[3] = {d.x, d.y, outline_size({d.x, d.y, d.r, d.r, 0.0}, d.r)};
            std::copy(v, v + 3, find.values);
        } else if (stretched_) {
            const EllipseShape& e = candidate.ellipse;
            const double v[3] = {e.x, e.y, outline_size(e, (e.a + e.b) / 2)};
            std::copy(v, v + 3, find.values);
        } else {
            const EllipseShape& e = candidate.ellipse;
            const double v[5] = {e.x, e.y, e.a, e.b, e.theta};
            std::copy(v, v + 5, find.values);
        }
        found_.push_back(find);
        spend(group, candidate, shape_size);
    }

    const ScanTable& table_;
    const SearchOptions& options_;
    const Fits& fits_;
    std::vector<Found>& found_;
    double& evidence_ms_;
    const std::vector<Found>* taken_;
    ClosedBuffers& buffers_;
    double max_size_;
    double work_ = 0;
    const std::vector<DiscShape>* touching_ = nullptr;  // the balls beside a pile's candidate
    std::vector<Pile> piles_;  // for search_shaded
    std::vector<DiscShape> near_misses_;  // discs that nearly passed, for search_shaded
    double ceiling_ = kNoCeiling;  // this pass keeps what scores below it
};


// Lines and stripes: proposals from the line fits among all the points, each
// refined on the runs that cross it (their middles give the centre line,
// their lengths the width).
class BandSearch {
public:
    BandSearch(const ScanTable& table, const SearchOptions& options, const Fits& fits, std::vector<Found>& found,
               double& evidence_ms)
        : table_(table), options_(options), fits_(fits), found_(found), evidence_ms_(evidence_ms),
          unspent_(table.points.size(), 1) {}

    // One pass per level, as ClosedSearch::run.
    void run(const std::vector<double>& levels) {
        for (const double level : levels) {
            ceiling_ = level < levels.front() ? levels.front() : kNoCeiling;
            search_pass(level);
        }
    }

private:
    bool stripe() const { return options_.kind == ShapeKind::stripe; }
    bool full() const { return static_cast<std::int32_t>(found_.size()) >= options_.max_shapes; }
    static double offset(const BandShape& b, const EdgePoint& p) { return (p.x - b.px) * b.nx + (p.y - b.py) * b.ny; }
    static double along(const BandShape& b, const EdgePoint& p) { return -(p.x - b.px) * b.ny + (p.y - b.py) * b.nx; }

    void search_pass(double level) {
        const std::vector<EdgePoint>& points = table_.points;
        std::vector<std::uint8_t> alive = unspent_;  // what an earlier pass rejected may pass this one
        std::vector<PointsView::Point> alive_points;
        std::vector<std::size_t> index;  // of each alive point in the table
        std::int32_t failures = 0;
        for (; failures < options_.max_failures && !full(); ++attempts_) {
            alive_points.clear();
            index.clear();
            for (std::size_t k = 0; k < points.size(); ++k) {
                if (!alive[k]) continue;
                alive_points.push_back({as_pixel(points[k].x), as_pixel(points[k].y)});
                index.push_back(k);
            }
            if (alive_points.size() < 8 || work_ > options_.work_budget) break;
            BandShape band{};
            std::vector<std::uint8_t> inliers;
            if (!propose(alive_points, band, inliers)) break;
            if (refine(band) && valid(band) && try_band(band, level, alive)) continue;
            ++failures;
            for (std::size_t k = 0; k < inliers.size(); ++k)
                if (inliers[k]) alive[index[k]] = 0;
        }
    }

    // Weighs a refined band and keeps it when it scores `level` and stands on
    // edge points no find has taken: a band over spent points only is a copy
    // of one found before.
    bool try_band(const BandShape& band, double level, std::vector<std::uint8_t>& alive) {
        const double rim = rim_for(band.width, 0.25);
        Found find{options_.kind, {band.px, band.py, band.nx, band.ny, band.width, band.t0, band.t1}, 0, 0, {}};
        {
            const Stopwatch timed(evidence_ms_);
            find.evidence = band_evidence(table_, band, rim);
        }
        find.score = find.evidence.band_score();
        if (find.score < level || find.score >= ceiling_) return false;
        const std::vector<EdgePoint>& points = table_.points;
        const double tolerance = std::max(1.5, 0.1 * band.width);
        std::vector<std::size_t> covered;
        for (std::size_t k = 0; k < points.size(); ++k) {
            const double s = offset(band, points[k]), t = along(band, points[k]);
            if (!unspent_[k] || t < band.t0 - rim || t > band.t1 + rim) continue;
            find.support += std::fabs(std::fabs(s) - band.width / 2) <= tolerance;
            if (std::fabs(s) <= band.width / 2 + rim) covered.push_back(k);
        }
        if (find.support == 0) return false;
        for (const std::size_t k : covered) alive[k] = unspent_[k] = 0;
        found_.push_back(find);
        return true;
    }

    // The band two parallel edges of a stripe enclose (false when the fit
    // found no pair).
    static bool stripe_between(const Line2& pair, BandShape& band) {
        if ((pair.l1.nx == 0 && pair.l1.ny == 0) || (pair.l2.nx == 0 && pair.l2.ny == 0)) return false;
        double n1x = pair.l1.nx, n1y = pair.l1.ny, n2x = pair.l2.nx, n2y = pair.l2.ny;
        const double l1 = std::hypot(n1x, n1y), l2 = std::hypot(n2x, n2y);
        n1x /= l1; n1y /= l1; n2x /= l2; n2y /= l2;
        if (n1x * n2x + n1y * n2y < 0) { n2x = -n2x; n2y = -n2y; }
        double nx = n1x + n2x, ny = n1y + n2y;
        const double ln = std::hypot(nx, ny);
        nx /= ln; ny /= ln;
        const double o1 = pair.l1.px * nx + pair.l1.py * ny, o2 = pair.l2.px * nx + pair.l2.py * ny;
        const double mid = (o1 + o2) / 2;
        band = {mid * nx, mid * ny, nx, ny, std::fabs(o1 - o2), 0, 0};
        return true;
    }

    // One call of the module's line fit (or pair of lines, for a stripe) on
    // `count` samples; `inliers` flags the points it holds.
    bool fit_once(const std::vector<PointsView::Point>& points, std::int32_t count, std::uint32_t seed,
                  BandShape& band, std::vector<std::uint8_t>& inliers) const {
        if (stripe()) {
            Line2 pair;
            // The two edges within 8 degrees of parallel.
            fits_.line2(points, inliers, count, 0.99, options_.delta, seed, pair);
            return stripe_between(pair, band);
        }
        Line line;
        fits_.line(points, inliers, count, options_.delta, 0.0, seed, line);
        if (line.nx == 0 && line.ny == 0) return false;
        const double length = std::hypot(static_cast<double>(line.nx), static_cast<double>(line.ny));
        band = {static_cast<double>(line.px), static_cast<double>(line.py), line.nx / length, line.ny / length,
                0, 0, 0};
        return true;
    }

    // The best proposal, with iterations added as ClosedSearch::propose does.
    bool propose(const std::vector<PointsView::Point>& points, BandShape& band,
                 std::vector<std::uint8_t>& best_inliers) {
        const int sample = stripe() ? 4 : 2;
        std::int32_t best_count = 0, done = 0, needed = options_.min_iterations;
        std::vector<std::uint8_t> inliers;
        for (std::uint64_t chunk = 0; done < needed; ++chunk) {
            const std::int32_t count = std::min(options_.min_iterations, needed - done);
            const auto attempt = static_cast<std::uint64_t>(attempts_);
            const std::uint32_t seed = mix_seed(draw_seed(attempts_, options_.seed), 0x6C696E65u, attempt, chunk);
            BandShape next{};
            const bool fitted = fit_once(points, count, seed, next, inliers);
            done += count;
            work_ += static_cast<double>(count) * static_cast<double>(points.size());
            if (fitted) {
                const auto flagged = static_cast<std::int32_t>(std::count(inliers.begin(), inliers.end(), 1));
                if (flagged > best_count) {
                    best_count = flagged;
                    band = next;
                    best_inliers = inliers;
                }
            }
            needed = iterations_needed(options_, static_cast<double>(best_count) / points.size(), sample);
        }
        return best_count > 0;
    }

    struct Crossing {
        double x, y, width;
    };

    // The runs that the band's centre line crosses, on the lines of both
    // directions that cross it steeply enough to measure it.
    std::vector<Crossing> crossings(const BandShape& band, double reach) const {
        std::vector<Crossing> out;
        auto scan = [&](const Axis& axis, bool rows) {
            const double across = rows ? band.nx : band.ny;  // the normal's share along the scanned line
            if (std::fabs(across) < 0.35) return;
            for (std::size_t k = 0; k + 1 < axis.first.size(); ++k) {
                const double q = axis.lines[k];
                // Where the centre line meets this scanned line.
                const double u = rows ? band.px - (q - band.py) * band.ny / band.nx
                                      : band.py - (q - band.px) * band.nx / band.ny;
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
                if (width > options_.max_width * 1.5 + 2) continue;
                out.push_back(rows ? Crossing{mid, q, width} : Crossing{q, mid, width});
            }
        };
        scan(table_.rows, true);
        scan(table_.columns, false);
        return out;
    }

    bool refine(BandShape& band) const {
        double reach = std::max(band.width / 2, 0.0) + options_.delta + 1.0;
        for (int iteration = 0; iteration < 3; ++iteration) {
            const auto crossed = crossings(band, reach);
            if (crossed.size() < 4) return false;
            std::vector<double> widths;
            for (const Crossing& crossing : crossed) widths.push_back(crossing.width);
            std::nth_element(widths.begin(), widths.begin() + widths.size() / 2, widths.end());
            const double width = widths[widths.size() / 2];
            // Middles close to the line, as a thin band's or a stripe's are.
            std::vector<double> xs, ys, ws;
            const double keep = std::max(1.5, 0.25 * width + 1.0);
            for (const Crossing& crossing : crossed) {
                const double off_line = (crossing.x - band.px) * band.nx + (crossing.y - band.py) * band.ny;
                if (iteration > 0 && std::fabs(off_line) > keep) continue;
                if (std::fabs(crossing.width - width) > std::max(2.0, 0.5 * width)) continue;
                xs.push_back(crossing.x);
                ys.push_back(crossing.y);
                ws.push_back(1.0);
            }
            if (xs.size() < 4) return false;
            double px, py, nx, ny;
            if (!fit_line(xs, ys, ws, px, py, nx, ny)) return false;
            if (nx * band.nx + ny * band.ny < 0) { nx = -nx; ny = -ny; }
            band = {px, py, nx, ny, width, 0, 0};
            double t0 = 1e300, t1 = -1e300;
            for (std::size_t k = 0; k < xs.size(); ++k) {
                const double t = -(xs[k] - px) * ny + (ys[k] - py) * nx;
                t0 = std::min(t0, t);
                t1 = std::max(t1, t);
            }
            band.t0 = t0;
            band.t1 = t1;
            reach = width / 2 + std::max(2.0, 0.25 * width);
        }
        return true;
    }

    bool valid(const BandShape& band) const {
        const double length = band.t1 - band.t0;
        return band.width >= options_.min_width && band.width <= options_.max_width &&
               length >= std::max(10.0, 3.0 * band.width);
    }

    const ScanTable& table_;
    const SearchOptions& options_;
    const Fits& fits_;
    std::vector<Found>& found_;
    double& evidence_ms_;
    std::vector<std::uint8_t> unspent_;  // edge points no find has taken
    std::int32_t attempts_ = 0;          // proposals so far, over all passes
    double work_ = 0;
    double ceiling_ = kNoCeiling;        // this pass keeps what scores below it
};

// Whether two finds are one shape: discs or ellipses whose centres lie within
// half the smaller size, bands along one line (within 3 degrees, their centre
// lines within half the narrower width) that overlap along it.
bool same_shape(const Found& one, const Found& other) {
    const double* u = one.values;
    const double* v = other.values;
    if (one.kind == ShapeKind::disc || one.kind == ShapeKind::ellipse) {
        const double smaller = one.kind == ShapeKind::disc ? std::min(u[2], v[2]) : std::min(u[3], v[3]);
        return std::hypot(u[0] - v[0], u[1] - v[1]) < 0.5 * smaller;
    }
    const double turn = u[2] * v[2] + u[3] * v[3];
    if (std::fabs(turn) < std::cos(3.0 * std::numbers::pi / 180)) return false;
    const double apart = std::fabs((v[0] - u[0]) * u[2] + (v[1] - u[1]) * u[3]);
    if (apart > 0.5 * std::min(u[4], v[4])) return false;
    // The other's extent along this one's direction.
    const double mid = -(v[0] - u[0]) * u[3] + (v[1] - u[1]) * u[2];
    const double half = (v[6] - v[5]) / 2, centre = mid + (turn > 0 ? 1 : -1) * (v[5] + v[6]) / 2;
    return centre + half >= u[5] && centre - half <= u[6];
}

// Two finds of one shape (a disc split between two groups, say): the better stays.
void drop_duplicates(std::vector<Found>& found) {
    std::vector<Found> kept;
    for (const Found& find : found) {
        const bool duplicate =
            std::any_of(kept.begin(), kept.end(), [&](const Found& better) { return same_shape(find, better); });
        if (!duplicate) kept.push_back(find);
    }
    found.swap(kept);
}

// The shapes' default thresholds (MIN_SCORE in options.py): the first pass
// of a search keeps what these would report, so that no weaker shape takes
// their points.
double first_level(ShapeKind kind) {
    switch (kind) {
        case ShapeKind::disc: return 0.625;
        case ShapeKind::ellipse: return 0.8;
        default: return 0.75;
    }
}

// The passes a search needs: the floor's only when the threshold asks for
// less than the first level (its finds all score below that level).
std::vector<double> levels_for(const SearchOptions& options) {
    const double first = first_level(options.kind);
    if (options.min_score >= first) return {first};
    return {first, kSearchFloor};
}

// Placing a shape may move its size by a pixel, and the outline may read a
// disc larger: what is reported lies in the range of sizes asked for.
bool asked_size(const Found& find, const SearchOptions& options) {
    const double* v = find.values;
    switch (find.kind) {
        case ShapeKind::disc: return v[2] >= options.min_r && v[2] <= options.max_r;
        case ShapeKind::ellipse: return std::min(v[2], v[3]) >= options.min_r && std::max(v[2], v[3]) <= options.max_r;
        default: return true;
    }
}

void search_discs_then_ellipses(const ScanTable& table, const SearchOptions& options, const Fits& fits,
                                std::vector<Found>& found, double& evidence_ms) {
    // A ball is an ellipse too, and the disc search, with three free
    // parameters to fit rather than five, finds one partly hidden or
    // touching another where the ellipse search does not: discs first,
    // then ellipses among the points they leave.
    SearchOptions round = options;
    round.kind = ShapeKind::disc;
    round.stretch = round.squeeze = 1.0;
    round.max_iterations = kDiscIterations;
    ClosedSearch discs(table, round, fits, found, evidence_ms);
    discs.run({first_level(ShapeKind::disc)});
    const std::vector<Found> taken = found;
    for (Found& find : found) {
        find.kind = ShapeKind::ellipse;
        find.round = true;
        const double v[5] = {find.values[0], find.values[1], find.values[2], find.values[2], 0.0};
        std::copy(v, v + 5, find.values);
    }
    ClosedSearch ellipses(table, options, fits, found, evidence_ms, &taken);
    ellipses.run(levels_for(options));
}

}  // namespace

void search(const ScanTable& table, const SearchOptions& options, const Fits& fits, std::vector<Found>& found,
            double& evidence_ms) {
    found.clear();
    // The search runs to kSearchFloor when the threshold asks for less than
    // the first level, and the threshold only filters what it found: a lower
    // one keeps every find of a higher one.
    const std::vector<double> levels = levels_for(options);
    if (options.kind == ShapeKind::ellipse) {
        search_discs_then_ellipses(table, options, fits, found, evidence_ms);
    } else if (options.kind == ShapeKind::disc) {
        ClosedSearch(table, options, fits, found, evidence_ms).run(levels);
    } else {
        BandSearch(table, options, fits, found, evidence_ms).run(levels);
    }
    // Out of size first: a find too small must not push out one of the right size at its place.
    std::erase_if(found, [&](const Found& find) { return !asked_size(find, options); });
    std::stable_sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.score > b.score; });
    drop_duplicates(found);
    if (options.kind == ShapeKind::disc && table.frame != nullptr)
        drop_reflections(*table.frame, found, first_level(ShapeKind::disc));
    std::erase_if(found, [&](const Found& find) {
        return find.score < (find.round ? options.round_min_score : options.min_score);
    });
    if (static_cast<std::int32_t>(found.size()) > options.max_shapes) found.resize(options.max_shapes);
}

}  // namespace kestrune::find
