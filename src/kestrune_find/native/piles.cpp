#include "piles.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kestrune::find {

namespace {

// Peaks nearer than this share of the bigger one's radius are one disc.
constexpr double kPeakSpacing = 0.7;
// Touching discs: centres from kNearest to kFarthest times the sum of their
// radii apart. Peaks place a pile's balls a little small (the gaps between
// them come closer than the ball's own edge), hence the reach beyond 1; and
// discs much closer lie over each other, as peaks along a strip do.
constexpr double kNearest = 0.85;
constexpr double kFarthest = 1.3;
// Where two balls touch, the blob is narrow: the point between their centres
// lies at most this share of the smaller one's radius from what is not the
// colour (about 0.4 for balls packed in rows and columns, 0.6 staggered).
constexpr double kNeck = 0.75;
// The balls of a pile are about one size: a peak beside one more than this
// much bigger or smaller is clutter's, not a ball's.
constexpr double kMostSizeRatio = 1.6;

// Cells apart, in thirds: 3 along a row or column, 4 diagonally (within 8 %
// of the straight distance, and two passes over the cells find it).
constexpr std::int32_t kStraight = 3, kDiagonal = 4;
constexpr std::int32_t kFar = std::numeric_limits<std::int32_t>::max() / 2;

// The working space is the thread's, kept from one call to the next.
struct Cells {
    std::int32_t w = 0, h = 0;
    std::vector<std::int32_t> d;
};

// The box sampled every `step` pixels each way, padded by one unset cell
// each side: (w + 2) x (h + 2) cells, row by row, and each cell's distance
// (in thirds of a cell) to the nearest unset one.
const Cells& distances(const PlaneView& mask, const PixelBox& box, std::int32_t step) {
    thread_local Cells cells;
    const std::int32_t w = (box.x1 - box.x0 + step - 1) / step + 2, h = (box.y1 - box.y0 + step - 1) / step + 2;
    std::vector<std::int32_t>& d = cells.d;
    d.assign(static_cast<std::size_t>(w) * h, 0);
    for (std::int32_t j = 1; j + 1 < h; ++j) {
        const std::uint8_t* row = mask.row(box.y0 + (j - 1) * step);
        std::int32_t* out = d.data() + static_cast<std::size_t>(j) * w;
        for (std::int32_t i = 1; i + 1 < w; ++i) out[i] = kFar * (row[box.x0 + (i - 1) * step] != 0);
    }
    // Each pass takes a row's cells from the row before it first (a loop
    // with no chain from cell to cell, which the compiler vectorises), then
    // along the row: the same minima, in a shorter chain.
    for (std::int32_t j = 1; j + 1 < h; ++j) {
        std::int32_t* row = d.data() + static_cast<std::size_t>(j) * w;
        const std::int32_t* before = row - w;
        for (std::int32_t i = 1; i + 1 < w; ++i)
            row[i] = std::min({row[i], before[i] + kStraight, before[i - 1] + kDiagonal, before[i + 1] + kDiagonal});
        for (std::int32_t i = 1; i + 1 < w; ++i) row[i] = std::min(row[i], row[i - 1] + kStraight);
    }
    for (std::int32_t j = h - 2; j >= 1; --j) {
        std::int32_t* row = d.data() + static_cast<std::size_t>(j) * w;
        const std::int32_t* after = row + w;
        for (std::int32_t i = 1; i + 1 < w; ++i)
            row[i] = std::min({row[i], after[i] + kStraight, after[i + 1] + kDiagonal, after[i - 1] + kDiagonal});
        for (std::int32_t i = w - 2; i >= 1; --i) row[i] = std::min(row[i], row[i + 1] + kStraight);
    }
    cells.w = w;
    cells.h = h;
    return cells;
}

}  // namespace

Blob::Blob(const PlaneView& mask, const PixelBox& box, double min_r)
    : box_(box), step_(step_for(min_r)) {
    if (box.x1 - box.x0 < 3 * step_ || box.y1 - box.y0 < 3 * step_) return;
    const Cells& cells = distances(mask, box, step_);
    w_ = cells.w;
    h_ = cells.h;
    d_ = &cells.d;
}

std::int32_t Blob::step_for(double min_r) { return std::clamp(static_cast<std::int32_t>(min_r / 4), 2, 4); }

std::vector<DiscShape> Blob::peaks(double min_r, double max_r, std::size_t most) const {
    std::vector<DiscShape> peaks;
    if (d_ == nullptr) return peaks;
    const std::vector<std::int32_t>& d = *d_;
    // A set pixel's centre lies half a pixel inside the edge of its disc
    // beyond the distance to the nearest unset pixel's centre.
    const double lo = (min_r + 0.5) * kStraight / step_, hi = (max_r + 0.5) * kStraight / step_;
    for (std::int32_t y = 1; y + 1 < h_; ++y) {
        for (std::int32_t x = 1; x + 1 < w_; ++x) {
            const std::int32_t c = d[static_cast<std::size_t>(y) * w_ + x];
            if (c < lo || c > hi) continue;
            bool peak = true;
            for (std::int32_t dy = -1; dy <= 1 && peak; ++dy)
                for (std::int32_t dx = -1; dx <= 1 && peak; ++dx)
                    peak = d[static_cast<std::size_t>(y + dy) * w_ + x + dx] <= c;
            if (peak)
                peaks.push_back({double(box_.x0 + (x - 1) * step_), double(box_.y0 + (y - 1) * step_),
                                 double(c) * step_ / kStraight - 0.5});
        }
    }
    std::stable_sort(peaks.begin(), peaks.end(), [](const DiscShape& a, const DiscShape& b) { return a.r > b.r; });
    std::vector<DiscShape> kept;
    for (const DiscShape& p : peaks) {
        const bool apart = std::all_of(kept.begin(), kept.end(), [&](const DiscShape& k) {
            return std::hypot(p.x - k.x, p.y - k.y) >= kPeakSpacing * std::max(p.r, k.r);
        });
        if (!apart) continue;
        kept.push_back(p);
        if (kept.size() >= most) break;
    }
    return kept;
}

double Blob::depth(double x, double y) const {
    if (d_ == nullptr) return 0.0;
    const auto cx = static_cast<std::int32_t>(std::floor((x - box_.x0) / step_ + 0.5)) + 1;
    const auto cy = static_cast<std::int32_t>(std::floor((y - box_.y0) / step_ + 0.5)) + 1;
    if (cx < 0 || cy < 0 || cx >= w_ || cy >= h_) return 0.0;
    return double((*d_)[static_cast<std::size_t>(cy) * w_ + cx]) * step_ / kStraight;
}

std::vector<DiscShape> Blob::touching(const std::vector<DiscShape>& discs, const DiscShape& disc) const {
    std::vector<DiscShape> out;
    for (const DiscShape& d : discs) {
        const double apart = std::hypot(d.x - disc.x, d.y - disc.y), sum = d.r + disc.r;
        const double smaller = std::min(d.r, disc.r);
        if (std::max(d.r, disc.r) > kMostSizeRatio * smaller || apart < kNearest * sum || apart > kFarthest * sum)
            continue;
        if (depth((d.x + disc.x) / 2, (d.y + disc.y) / 2) <= kNeck * smaller) out.push_back(d);
    }
    return out;
}

}  // namespace kestrune::find
