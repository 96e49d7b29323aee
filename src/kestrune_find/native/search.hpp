// The finding loop: propose a shape from the module's fits, refine it on its
// own points, weigh the evidence, keep it or not, remove its points, again.
#pragma once

#include <cstdint>
#include <vector>

#include "evidence.hpp"
#include "kestrune/types.hpp"
#include "scan_table.hpp"

namespace kestrune::find {

// The module's fits, as the finder calls them: each seeds the C library's
// generator with `seed` right before the call, so that the samples depend
// only on the seed. False when the call failed (an error is then pending).
class Fits {
public:
    virtual ~Fits() = default;
    virtual bool circle(std::vector<PointsView::Point>& points, std::int32_t count, std::int32_t min_r,
                        std::int32_t max_r, std::int32_t delta, std::uint32_t seed, Circle& out) = 0;
    virtual bool ellipse(std::vector<PointsView::Point>& points, std::int32_t count, std::int32_t min_r,
                         std::int32_t max_r, double ratio, std::int32_t delta, std::uint32_t seed, Ellipse& out) = 0;
    virtual bool line(std::vector<PointsView::Point>& points, std::vector<std::uint8_t>& inliers, std::int32_t count,
                      std::int32_t delta, double slope_limit, std::uint32_t seed, Line& out) = 0;
    virtual bool line2(std::vector<PointsView::Point>& points, std::vector<std::uint8_t>& inliers,
                       std::int32_t count, double ratio, std::int32_t delta, std::uint32_t seed, Line2& out) = 0;
};

enum class ShapeKind { disc, ellipse, line, stripe };

struct SearchOptions {
    ShapeKind kind = ShapeKind::disc;
    double min_r = 8, max_r = 200;        // radius or semi-axes, pixels
    double max_ratio = 3.0;               // ellipses: longer over shorter semi-axis
    double stretch = 1.0;                 // discs: the axis ratio a disc may be stretched to (1: none)
    // Discs: the axis ratio a disc near the frame's edge may be squeezed to
    // toward the frame's centre (1: no more than `stretch`).
    double squeeze = 1.0;
    double min_width = 0, max_width = 16; // bands: width across, pixels
    double min_score = 0.7;
    // Ellipses: discs scoring this are found first (negative: not searched
    // for), and reported as ellipses with equal axes.
    double round_min_score = -1;
    std::int32_t max_shapes = 16;
    std::uint64_t seed = 0;
    // How long to look: proposals that fail in a row before a group is left,
    // and the iterations of one proposal (adaptive up to `max_iterations`).
    std::int32_t max_failures = 4;
    std::int32_t min_iterations = 32;
    std::int32_t max_iterations = 512;
    // Point tests (iterations times points) all fits of one search may spend:
    // a frame that the colour covers widely is searched in bounded time.
    double work_budget = 2e7;
    double confidence = 0.99;
    std::int32_t delta = 2;               // the fits' inlier band, pixels
};

struct Found {
    ShapeKind kind;
    double values[7];   // disc: x, y, r; ellipse: x, y, a, b, theta; band: px, py, nx, ny, width, t0, t1
    double score;
    std::int32_t support;
    Evidence evidence;
};

// Every shape of the kind whose score reaches the minimum, best first, at
// most `max_shapes`; false when a fit call failed (an error is then pending).
bool search(const ScanTable& table, const SearchOptions& options, Fits& fits, std::vector<Found>& found);

// The rim, in pixels, that the evidence of a shape of this size is weighed on.
double rim_for(double size, double factor = 0.15);

}  // namespace kestrune::find
