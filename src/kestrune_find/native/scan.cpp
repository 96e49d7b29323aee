#include "scan.hpp"

#include <algorithm>
#include <cmath>

namespace kestrune::find {

namespace {

// Squared RGB distance below which the colours inside and beyond a run are
// too alike to place its edge from them.
constexpr double kMinContrast2 = 24.0 * 24.0;

// Pixels each side of a run's end weighed to place it.
constexpr std::int32_t kHalf = 2;

// The scanned line positions of the edge scan: index i visits
// (reverse16(i) * extent mod 2**32) >> 16.
std::uint32_t reverse_bits(std::uint32_t n) {
    n = ((n >> 8) & 0x00FF00FFu) | ((n << 8) & 0xFF00FF00u);
    n = ((n >> 4) & 0x0F0F0F0Fu) | ((n << 4) & 0xF0F0F0F0u);
    n = ((n >> 2) & 0x33333333u) | ((n << 2) & 0xCCCCCCCCu);
    n = ((n >> 1) & 0x55555555u) | ((n << 1) & 0xAAAAAAAAu);
    return n;
}

std::vector<std::int32_t> scanned_positions(std::int32_t count, std::int32_t extent) {
    std::vector<std::int32_t> lines;
    if (extent <= 0) return lines;
    count = std::min<std::int32_t>(count, 65536);
    for (std::int32_t i = 0; i < count; ++i) {
        const std::uint32_t p = (reverse_bits(static_cast<std::uint32_t>(i)) * static_cast<std::uint32_t>(extent)) >> 16;
        if (p < static_cast<std::uint32_t>(extent)) lines.push_back(static_cast<std::int32_t>(p));
    }
    std::sort(lines.begin(), lines.end());
    lines.erase(std::unique(lines.begin(), lines.end()), lines.end());
    return lines;
}

// Where along a line the frame's colour changes from outside to inside a
// run, to a fraction of a pixel. `first` is the first set pixel after the
// boundary going in direction `step` (+1: the run lies after it, -1: before);
// `at(j)` is pixel j of the line. Each pixel of a window of 2 kHalf + 1 around
// the boundary is weighed by how far its colour lies from the colour beyond
// the window toward the colour inside it: for an edge, sharp or blurred
// within the window, the sum of those shares is the length of the window
// inside. Returns the mask's boundary when the run is too short, the frame
// ends, the two colours are too alike, or the shares do not look like one
// edge (clutter beside the run).
template <class At>
double edge_along(At at, std::int32_t first, std::int32_t step, std::int32_t run_length, std::int32_t extent) {
    const double boundary = first - 0.5 * step;
    if (run_length < kHalf + 3) return boundary;
    const std::int32_t far_out = first - (kHalf + 2) * step, far_in = first + (kHalf + 2) * step;
    if (std::min(far_out, far_in) < 0 || std::max(far_out, far_in) >= extent) return boundary;
    double inside[3], outside[3];
    for (int c = 0; c < 3; ++c) {
        inside[c] = 0.5 * (at(first + (kHalf + 1) * step)[c] + at(first + (kHalf + 2) * step)[c]);
        outside[c] = 0.5 * (at(first - (kHalf + 1) * step)[c] + at(first - (kHalf + 2) * step)[c]);
    }
    double span[3], length2 = 0;
    for (int c = 0; c < 3; ++c) {
        span[c] = inside[c] - outside[c];
        length2 += span[c] * span[c];
    }
    if (length2 < kMinContrast2) return boundary;
    double sum = 0, share_out = 0, share_in = 0;
    for (int j = -kHalf; j <= kHalf; ++j) {
        const std::uint8_t* p = at(first + j * step);
        double dot = 0;
        for (int c = 0; c < 3; ++c) dot += (p[c] - outside[c]) * span[c];
        const double share = dot / length2;
        if (share < -0.25 || share > 1.25) return boundary;
        if (j == -kHalf) share_out = share;
        if (j == kHalf) share_in = share;
        sum += share;
    }
    if (!(share_out < 0.5 && share_in > 0.5)) return boundary;
    // The window runs from first - (kHalf + 0.5) steps to first + (kHalf + 0.5) steps.
    const double edge = first + step * (kHalf + 0.5 - sum);
    return std::fabs(edge - boundary) <= 1.0 ? edge : boundary;
}

}  // namespace

void ScanTable::build(const PlaneView& mask, const PointsView& row_points, const PointsView& column_points,
                      std::int32_t row_count, std::int32_t column_count, std::int32_t gap, std::int32_t link,
                      const ImageView* frame) {
    height = static_cast<std::int32_t>(mask.rows);
    width = static_cast<std::int32_t>(mask.cols);
    this->frame = frame;
    this->mask = &mask;
    rows = Axis{};
    columns = Axis{};
    rows.extent = width;
    columns.extent = height;
    rows.lines = scanned_positions(row_count, height);
    columns.lines = scanned_positions(column_count, width);
    read_axis(rows, mask, row_points, true, gap);
    read_axis(columns, mask, column_points, false, gap);
    parent_.resize(rows.runs.size() + columns.runs.size());
    for (std::size_t k = 0; k < parent_.size(); ++k) parent_[k] = static_cast<std::int32_t>(k);
    link_runs(link);
    collect_points();
}

// Pairs of points, (first set pixel, first unset pixel after the run or the
// line's last pixel), in scan order; a line scanned twice is read once.
void ScanTable::read_axis(Axis& axis, const PlaneView& mask, const PointsView& points, bool along_rows,
                          std::int32_t gap) {
    const std::int32_t across = along_rows ? height : width;
    const std::int32_t extent = axis.extent;
    std::vector<std::vector<Run>> by_position(static_cast<std::size_t>(across));
    std::vector<std::uint8_t> done(static_cast<std::size_t>(across), 0);
    std::int32_t current = -1;  // the line being read
    bool skipping = false;
    const std::int64_t pairs = points.rows / 2;
    for (std::int64_t k = 0; k < pairs; ++k) {
        const auto a = points.load(2 * k);
        const auto b = points.load(2 * k + 1);
        const std::int32_t line = along_rows ? a.y : a.x;
        const std::int32_t other = along_rows ? b.y : b.x;
        const std::int32_t start = along_rows ? a.x : a.y;
        const std::int32_t end = along_rows ? b.x : b.y;
        if (line != other || line < 0 || line >= across || start < 0 || end < start || end >= extent) continue;
        if (line != current) {
            if (current >= 0) done[current] = 1;
            current = line;
            skipping = done[line] != 0;
        }
        if (skipping) continue;
        std::vector<Run>& runs = by_position[line];
        if (!runs.empty() && 2 * start - 1 <= runs.back().end2) {  // the same line again
            skipping = true;
            continue;
        }
        const std::uint8_t last = along_rows ? mask.row(line)[extent - 1] : mask.row(extent - 1)[line];
        const bool to_border = end == extent - 1 && last != 0;
        Run run{2 * start - 1, to_border ? 2 * end + 1 : 2 * end - 1, start > 0, !to_border};
        // Narrow gaps (a seam, a speck of glare) do not split a shape.
        if (!runs.empty() && (run.start2 - runs.back().end2) / 2 < gap) {
            runs.back().end2 = run.end2;
            runs.back().end_edge = run.end_edge;
        } else {
            runs.push_back(run);
        }
    }
    axis.first.clear();
    axis.runs.clear();
    for (std::size_t k = 0; k < axis.lines.size(); ++k) {
        const std::int32_t line = axis.lines[k];
        axis.first.push_back(static_cast<std::int32_t>(axis.runs.size()));
        axis.runs.insert(axis.runs.end(), by_position[line].begin(), by_position[line].end());
    }
    axis.first.push_back(static_cast<std::int32_t>(axis.runs.size()));
}

std::int32_t ScanTable::find_root(std::int32_t k) {
    while (parent_[k] != k) {
        parent_[k] = parent_[parent_[k]];
        k = parent_[k];
    }
    return k;
}

void ScanTable::unite(std::int32_t a, std::int32_t b) {
    a = find_root(a);
    b = find_root(b);
    if (a == b) return;
    if (a < b) parent_[b] = a;
    else parent_[a] = b;
}

void ScanTable::link_runs(std::int32_t link) {
    const std::int32_t column_base = rows.run_count();
    // A row run and a column run that share a pixel.
    for (std::size_t k = 0; k + 1 < columns.first.size(); ++k) {
        const std::int32_t x = columns.lines[k];
        for (std::int32_t c = columns.first[k]; c < columns.first[k + 1]; ++c) {
            const Run& run = columns.runs[c];
            const std::int32_t y_first = (run.start2 + 1) / 2, y_last = (run.end2 - 1) / 2;
            auto row = std::lower_bound(rows.lines.begin(), rows.lines.end(), y_first);
            for (; row != rows.lines.end() && *row <= y_last; ++row) {
                const auto r = static_cast<std::size_t>(row - rows.lines.begin());
                const Run* begin = rows.runs.data() + rows.first[r];
                const Run* end = rows.runs.data() + rows.first[r + 1];
                const Run* hit = std::upper_bound(begin, end, 2 * x, [](std::int32_t v, const Run& q) { return v < q.start2; });
                if (hit != begin && (hit - 1)->end2 > 2 * x)
                    unite(static_cast<std::int32_t>(hit - 1 - rows.runs.data()), column_base + c);
            }
        }
    }
    // Overlapping runs on neighbouring scanned lines of one direction.
    auto link_axis = [&](const Axis& axis, std::int32_t base) {
        for (std::size_t k = 0; k + 2 < axis.first.size(); ++k) {
            if (axis.lines[k + 1] - axis.lines[k] > link) continue;
            std::int32_t i = axis.first[k], j = axis.first[k + 1];
            const std::int32_t i_end = axis.first[k + 1], j_end = axis.first[k + 2];
            while (i < i_end && j < j_end) {
                const Run& p = axis.runs[i];
                const Run& q = axis.runs[j];
                if (std::max(p.start2, q.start2) < std::min(p.end2, q.end2)) unite(base + i, base + j);
                if (p.end2 < q.end2) ++i;
                else ++j;
            }
        }
    };
    link_axis(rows, 0);
    link_axis(columns, column_base);
}

void ScanTable::collect_points() {
    points.clear();
    group_sizes.clear();
    std::vector<std::int32_t> group_of(parent_.size(), -1);
    auto group = [&](std::int32_t run) {
        const std::int32_t root = find_root(run);
        if (group_of[root] < 0) {
            group_of[root] = static_cast<std::int32_t>(group_sizes.size());
            group_sizes.push_back(0);
        }
        return group_of[root];
    };
    auto add = [&](double x, double y, double fx, double fy, Side inside, std::int32_t run) {
        const std::int32_t g = group(run);
        ++group_sizes[g];
        points.push_back({x, y, inside, g, fx, fy});
    };
    // Each end of a run that is an edge: on the mask's boundary, and where
    // the frame's colour changes (the boundary again without the frame).
    auto read = [&](const Axis& axis, bool along_rows, std::int32_t base, Side start_side, Side end_side) {
        for (std::size_t k = 0; k + 1 < axis.first.size(); ++k) {
            const std::int32_t line = axis.lines[k];
            auto at = [&](std::int32_t j) { return line_pixel(along_rows, line, j); };
            for (std::int32_t r = axis.first[k]; r < axis.first[k + 1]; ++r) {
                const Run& run = axis.runs[r];
                const std::int32_t first = (run.start2 + 1) / 2, last = (run.end2 - 1) / 2;
                auto put = [&](double boundary, std::int32_t pixel, std::int32_t step, Side side) {
                    const double placed =
                        frame != nullptr ? edge_along(at, pixel, step, last - first + 1, axis.extent) : boundary;
                    if (along_rows) {
                        add(boundary, line, placed, line, side, base + r);
                    } else {
                        add(line, boundary, line, placed, side, base + r);
                    }
                };
                if (run.start_edge) put(run.start2 * 0.5, first, 1, start_side);
                if (run.end_edge) put(run.end2 * 0.5, last, -1, end_side);
            }
        }
    };
    read(rows, true, 0, Side::right, Side::left);
    read(columns, false, rows.run_count(), Side::below, Side::above);
}

}  // namespace kestrune::find
