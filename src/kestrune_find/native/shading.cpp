#include "shading.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace kestrune::find {

namespace {

// Rays read around a disc, and the fewest that must show where it ends.
constexpr int kRays = 32;
constexpr std::size_t kMinEnds = 16;
// Rays are read from this share of the radius out to kRayEnd of it (and
// two pixels more): the disc a blob's peak draws ends short of the ball.
constexpr double kRayStart = 0.5;
constexpr double kRayEnd = 1.5;
// Every kFirstEvery-th ray is read first; kFirstCreases of those must end
// in a crease.
constexpr int kFirstEvery = 4;
constexpr std::ptrdiff_t kFirstCreases = 3;
// A step is a crease when the colour goes on this many pixels past it.
constexpr std::size_t kCreaseBeyond = 3;
// The ring is read from this share of the radius out.
constexpr double kRingStart = 0.2;
// The second fit keeps the ends within this share of the radius of the
// first circle (a pixel and a half at least).
constexpr double kNearFirst = 0.1;
// The grid the typical brightness is read on, in pixels; the share of it a
// crease steps by, and the least step.
constexpr std::int32_t kBrightnessGrid = 4;
constexpr double kCreaseShare = 0.15;
constexpr double kMinCrease = 16.0;

std::int32_t brightness(const ImageView& frame, std::int64_t y, std::int64_t x) {
    const std::uint8_t* p = frame.pixel(y, x);
    return std::max({p[0], p[1], p[2]});
}

double crease_least(double typical) { return std::max(kMinCrease, kCreaseShare * typical); }

// Along every `every`-th of kRays rays from the disc's centre, from `from` to
// `to` times its radius: the distance from the centre to the first place
// where the mask ends (its boundary, half a pixel back) or the brightness
// steps by `step` across two pixels, and whether that is a crease; negative
// where neither shows (and on the rays not read).
void read_ends(const ScanTable& table, double step, const DiscShape& disc, double from, double to,
               std::array<double, kRays>& ends, std::array<bool, kRays>& stepped, int every = 1) {
    const ImageView& frame = *table.frame;
    const PlaneView& mask = *table.mask;
    const auto first = static_cast<std::int32_t>(std::floor(from * disc.r));
    const auto last = static_cast<std::int32_t>(std::ceil(to * disc.r)) + 2;
    std::array<std::int32_t, 1024> v;
    ends.fill(-1.0);
    stepped.fill(false);
    for (int k = 0; k < kRays; k += every) {
        const double angle = 2.0 * std::numbers::pi * k / kRays, c = std::cos(angle), s = std::sin(angle);
        std::size_t n = 0;
        for (std::int32_t t = first - 1; t <= last + 1 && n < v.size(); ++t) {
            const double x = std::round(disc.x + t * c), y = std::round(disc.y + t * s);
            if (x < 0 || y < 0 || x > static_cast<double>(mask.cols - 1) || y > static_cast<double>(mask.rows - 1)) break;
            const auto xi = static_cast<std::int64_t>(x), yi = static_cast<std::int64_t>(y);
            v[n++] = mask.row(yi)[xi] ? brightness(frame, yi, xi) : -1;
        }
        // v[j] lies first - 1 + j from the centre; unset pixels read -1.
        for (std::size_t j = 1; j + 1 < n; ++j) {
            const double t = first - 1 + static_cast<double>(j);
            if (v[j] < 0) {
                ends[k] = t - 0.5;
                break;
            }
            if (v[j - 1] >= 0 && v[j + 1] >= 0 && std::abs(v[j + 1] - v[j - 1]) >= step) {
                ends[k] = t;
                // A step where the colour goes on is a crease; one at the
                // mask's edge is that edge, blurred.
                const std::size_t beyond = std::min(n, j + 1 + kCreaseBeyond);
                stepped[k] = beyond == j + 1 + kCreaseBeyond &&
                             std::all_of(v.begin() + static_cast<std::ptrdiff_t>(j + 1),
                                         v.begin() + static_cast<std::ptrdiff_t>(beyond),
                                         [](std::int32_t b) { return b >= 0; });
                break;
            }
        }
    }
}

double near_ring(double r) { return std::max(1.5, kNearFirst * r); }

}  // namespace

double crease_step(const ScanTable& table, const PixelBox& box) {
    if (table.frame == nullptr || table.mask == nullptr) return crease_least(0.0);
    std::array<std::uint32_t, 256> histogram{};
    std::uint32_t count = 0;
    for (std::int32_t y = box.y0; y < box.y1; y += kBrightnessGrid) {
        const std::uint8_t* row = table.mask->row(y);
        for (std::int32_t x = box.x0; x < box.x1; x += kBrightnessGrid)
            if (row[x]) {
                ++histogram[static_cast<std::size_t>(brightness(*table.frame, y, x))];
                ++count;
            }
    }
    std::uint32_t seen = 0;
    std::size_t median = 0;
    while (median < histogram.size() && 2 * (seen + histogram[median]) <= count) seen += histogram[median++];
    return crease_least(static_cast<double>(std::min<std::size_t>(median, 255)));
}

const PlaneView& split_mask(const ScanTable& table, const PixelBox& box, std::int32_t cell, double step) {
    thread_local std::vector<std::uint8_t> bytes;
    thread_local PlaneView plane;
    const PlaneView& mask = *table.mask;
    if (table.frame == nullptr) return mask;
    bytes.resize(static_cast<std::size_t>(mask.rows * mask.cols));
    plane = {bytes.data(), mask.rows, mask.cols, mask.cols};
    const ImageView& frame = *table.frame;
    // Each cell's span: the pixels from half a cell before it to half a cell
    // after, so that a crease between two cells clears one of them.
    const std::int32_t before = cell / 2;
    const auto last_x = static_cast<std::int32_t>(mask.cols - 1), last_y = static_cast<std::int32_t>(mask.rows - 1);
    const auto least = static_cast<std::int32_t>(std::ceil(step));
    std::array<std::int32_t, 64> across{}, along{};
    const std::int32_t n = std::min(cell + 2, static_cast<std::int32_t>(across.size()));
    for (std::int32_t y = box.y0; y < box.y1; y += cell) {
        const std::uint8_t* in = mask.row(y);
        std::uint8_t* out = plane.row(y);
        for (std::int32_t x = box.x0; x < box.x1; x += cell) {
            out[x] = in[x];
            if (!in[x]) continue;
            for (std::int32_t k = 0; k < n; ++k) {
                const std::int32_t d = k - before - 1;
                across[k] = brightness(frame, y, std::clamp(x + d, 0, last_x));
                along[k] = brightness(frame, std::clamp(y + d, 0, last_y), x);
            }
            for (std::int32_t k = 2; k < n; ++k)
                if (std::abs(across[k] - across[k - 2]) >= least || std::abs(along[k] - along[k - 2]) >= least) {
                    out[x] = 0;
                    break;
                }
        }
    }
    return plane;
}

bool fit_to_creases(const ScanTable& table, double step, SimdLevel level, DiscShape& disc, CreaseRing& ring) {
    if (table.frame == nullptr || table.mask == nullptr || !(disc.r > 0)) return false;
    std::array<double, kRays> ends;
    std::array<bool, kRays> stepped;
    // A few rays first: most places a blob's creases peak show none round them.
    read_ends(table, step, disc, kRayStart, kRayEnd, ends, stepped, kFirstEvery);
    if (std::count(stepped.begin(), stepped.end(), true) < kFirstCreases) return false;
    read_ends(table, step, disc, kRayStart, kRayEnd, ends, stepped);
    std::vector<FitPoint> points;
    for (int k = 0; k < kRays; ++k) {
        if (ends[k] < 0) continue;
        const double angle = 2.0 * std::numbers::pi * k / kRays;
        points.push_back({disc.x + ends[k] * std::cos(angle), disc.y + ends[k] * std::sin(angle)});
    }
    if (points.size() < kMinEnds) return false;
    DiscShape fitted = disc;
    if (!fit_disc(points, fitted, level)) return false;
    std::erase_if(points, [&](const FitPoint& p) {
        return std::fabs(std::hypot(p.x - fitted.x, p.y - fitted.y) - fitted.r) > near_ring(fitted.r);
    });
    if (points.size() < kMinEnds || !fit_disc(points, fitted, level)) return false;
    if (std::hypot(fitted.x - disc.x, fitted.y - disc.y) > disc.r || !(fitted.r > 0)) return false;
    // From near the centre out, the first end each way lies on the circle
    // for a ball; a disc across two balls meets the crease between them first.
    read_ends(table, step, fitted, kRingStart, kRayEnd, ends, stepped);
    std::int32_t on = 0, on_steps = 0;
    for (int k = 0; k < kRays; ++k) {
        const bool at = ends[k] >= 0 && std::fabs(ends[k] - fitted.r) <= near_ring(fitted.r);
        on += at;
        on_steps += at && stepped[k];
    }
    ring = {on, static_cast<double>(on) / kRays, static_cast<double>(on_steps) / kRays};
    disc = fitted;
    return true;
}

}  // namespace kestrune::find
