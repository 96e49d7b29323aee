#include "reflections.hpp"

#include <algorithm>
#include <cmath>

namespace kestrune::find {

namespace {

// The image below a ball: its centre within this share of the larger radius
// to either side of the ball's, its radius from kLeastSize to kMostSize of
// the ball's (its far part fades into the floor, and its colour's mask ends
// short of it), and the gap between their outlines from kOverlap to kGap of the
// ball's radius (blur and the fits let them overlap a little).
constexpr double kAcross = 0.3;
constexpr double kLeastSize = 0.55;
constexpr double kMostSize = 1.4;
constexpr double kOverlap = -0.4;
constexpr double kGap = 0.5;
// A floor reflects a small part of the light: the image's chroma is well
// under the ball's (under 0.7 on glossy floors), where a ball beside another
// in a pile, lit alike, shows as much (0.8 or more, shaded or not).
constexpr double kMostChroma = 0.72;
// Discs closer than this many times the sum of their radii touch.
constexpr double kTouching = 1.3;

bool touch(const Found& a, const Found& b) {
    return std::hypot(a.values[0] - b.values[0], a.values[1] - b.values[1]) <= kTouching * (a.values[2] + b.values[2]);
}

// Whether `below` lies under `above` as its mirror image would (geometry only).
bool placed_as_image(const Found& above, const Found& below) {
    const double ra = above.values[2], rb = below.values[2];
    const double dx = below.values[0] - above.values[0], dy = below.values[1] - above.values[1];
    const double gap = dy - ra - rb;
    return dy > 0 && std::fabs(dx) <= kAcross * std::max(ra, rb) && rb >= kLeastSize * ra &&
           rb <= kMostSize * ra && gap >= kOverlap * ra && gap <= kGap * ra;
}

}  // namespace

double chroma(const ImageView& frame, const DiscShape& disc) {
    const double reach = 0.6 * disc.r, step = std::max(1.0, reach / 5);
    double sum = 0;
    std::int64_t count = 0;
    for (double dy = -reach; dy <= reach; dy += step) {
        for (double dx = -reach; dx <= reach; dx += step) {
            if (dx * dx + dy * dy > reach * reach) continue;
            const auto x = static_cast<std::int64_t>(std::floor(disc.x + dx + 0.5));
            const auto y = static_cast<std::int64_t>(std::floor(disc.y + dy + 0.5));
            if (x < 0 || y < 0 || x >= frame.cols || y >= frame.rows) continue;
            const std::uint8_t* p = frame.pixel(y, x);
            sum += std::max({p[0], p[1], p[2]}) - std::min({p[0], p[1], p[2]});
            ++count;
        }
    }
    return count > 0 ? sum / static_cast<double>(count) : -1.0;
}

void drop_reflections(const ImageView& frame, std::vector<Found>& found, double sure) {
    auto disc_of = [](const Found& f) { return DiscShape{f.values[0], f.values[1], f.values[2]}; };
    std::vector<std::uint8_t> image(found.size(), 0);
    for (std::size_t b = 0; b < found.size(); ++b) {
        for (std::size_t a = 0; a < found.size() && !image[b]; ++a) {
            if (a == b || found[a].score < sure || !placed_as_image(found[a], found[b])) continue;
            // A ball among others (a pile's column) is no image.
            const bool alone = std::none_of(found.begin(), found.end(), [&](const Found& c) {
                return &c != &found[a] && &c != &found[b] && c.score >= sure && touch(c, found[b]);
            });
            if (!alone) continue;
            const double upper = chroma(frame, disc_of(found[a])), lower = chroma(frame, disc_of(found[b]));
            image[b] = upper > 0 && lower >= 0 && lower < kMostChroma * upper;
        }
    }
    std::vector<Found> kept;
    for (std::size_t k = 0; k < found.size(); ++k)
        if (!image[k]) kept.push_back(found[k]);
    found.swap(kept);
}

}  // namespace kestrune::find
