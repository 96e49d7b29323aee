// The finding loop: propose a shape from the module's fits, refine it on its
// own points, weigh the evidence, keep it or not, remove its points, again.
#pragma once

#include <cstdint>
#include <vector>

#include "evidence.hpp"
#include "kestrune/dispatch/fits.hpp"
#include "kestrune/types.hpp"
#include "scan.hpp"

namespace kestrune::find {

// The core's four fits, called directly: each call takes its 32-bit sampling
// state from the caller, so the samples depend only on the search's seed and
// no state is shared between threads.
class Fits {
public:
    explicit Fits(SimdLevel level) : level_(level) {}
    SimdLevel level() const { return level_; }  // also the least-squares fits' (refine.hpp)
    void circle(const std::vector<PointsView::Point>& points, std::int32_t count, std::int32_t min_r,
                std::int32_t max_r, std::int32_t delta, std::uint32_t state, Circle& out) const;
    void ellipse(const std::vector<PointsView::Point>& points, std::int32_t count, std::int32_t min_r,
                 std::int32_t max_r, double ratio, std::int32_t delta, std::uint32_t state, Ellipse& out) const;
    // The line fits write each point's inlier flag into `inliers` (resized to the points).
    void line(const std::vector<PointsView::Point>& points, std::vector<std::uint8_t>& inliers, std::int32_t count,
              std::int32_t delta, double slope_limit, std::uint32_t state, Line& out) const;
    void line2(const std::vector<PointsView::Point>& points, std::vector<std::uint8_t>& inliers, std::int32_t count,
               double ratio, std::int32_t delta, std::uint32_t state, Line2& out) const;

private:
    static PointsView view(const std::vector<PointsView::Point>& points);
    SimdLevel level_;
};

enum class ShapeKind { disc, ellipse, line, stripe };

// The samples a disc search draws per proposal at most: also those of the
// disc pass that starts an ellipse search (the caller's max_iterations is the
// ellipse pass's).
inline constexpr std::int32_t kDiscIterations = 512;
// More shapes than this are never asked of one search.
inline constexpr std::int32_t kMaxShapes = 10000;

// What the caller chooses comes first and has no default here: every field of
// it is set from the Python side. The rest are the search's own constants.
struct SearchOptions {
    ShapeKind kind;
    double min_r, max_r;            // radius or semi-axes, pixels
    double min_width, max_width;    // bands: width across, pixels
    // Only what scores this is reported; the search does not depend on it.
    double min_score;
    // Ellipses: discs are found first, and reported as ellipses with equal
    // axes when they score this.
    double round_min_score;
    double stretch;                 // discs: the axis ratio a disc may be stretched to (1: none)
    // Discs: the axis ratio a disc near the frame's edge may be squeezed to
    // toward the frame's centre (1: no more than `stretch`).
    double squeeze;
    std::int32_t max_shapes;
    std::uint64_t seed;
    std::int32_t max_iterations;    // samples per proposal at most (adaptive below it)

    double max_ratio = 3.0;               // ellipses: longer over shorter semi-axis
    // How long to look: proposals that fail in a row before a group is left,
    // and the fewest iterations of one proposal.
    std::int32_t max_failures = 3;
    std::int32_t min_iterations = 32;
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
    bool round = false;  // an ellipse found by the disc pass of an ellipse search
};

// Every shape of the kind whose score reaches the minimum, best first, at
// most `max_shapes`: the same search at any minimum, only filtered by it; the time spent weighing evidence is added to `evidence_ms`.
void search(const ScanTable& table, const SearchOptions& options, const Fits& fits, std::vector<Found>& found,
            double& evidence_ms);

// The rim, in pixels, that the evidence of a shape of this size is weighed on.
double rim_for(double size, double factor = 0.15);

}  // namespace kestrune::find
