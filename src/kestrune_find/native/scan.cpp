#include "scan.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>

#include "kestrune/edges/edges.hpp"
#include "kestrune/simd/kernels.hpp"

namespace kestrune::find {

namespace {

// Squared RGB distance below which the colours inside and beyond a run are
// too alike to place its edge from them.
constexpr double kMinContrast2 = 24.0 * 24.0;

// Pixels each side of a run's end weighed to place it.
constexpr std::int32_t kHalf = 2;

// The distinct positions of the first `count` lines the edge scan spreads
// over an axis of `extent` lines, ascending; `marks` is scratch.
void scanned_positions(std::int32_t count, std::int32_t extent, std::vector<std::uint8_t>& marks,
                       std::vector<std::int32_t>& lines) {
    lines.clear();
    if (extent <= 0) return;
    count = std::min(count, kMaxLineCount);
    marks.assign(static_cast<std::size_t>(extent), 0);
    for (std::int32_t i = 0; i < count; ++i)
        marks[line_position(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(extent))] = 1;
    for (std::int32_t p = 0; p < extent; ++p)
        if (marks[static_cast<std::size_t>(p)] != 0) lines.push_back(p);
}

// The `width` bytes from `row` as bits, 64 to a word; the last word's bits
// past the row are clear.
void row_bits(ScanTable::Nonzero64 nonzero64, const std::uint8_t* row, std::int32_t width, std::uint64_t* out) {
    const std::int32_t full = width / 64, rest = width % 64;
    for (std::int32_t w = 0; w < full; ++w) out[w] = nonzero64(row + 64 * w);
    if (rest != 0) {
        std::uint8_t tail[64] = {};
        std::memcpy(tail, row + 64 * full, static_cast<std::size_t>(rest));
        out[full] = nonzero64(tail);
    }
}

// The run of set pixels first..last of a line of `extent` pixels; its ends at
// the line's ends are not edges.
Run run_of(std::int32_t first, std::int32_t last, std::int32_t extent) {
    return Run{2 * first - 1, 2 * last + 1, first > 0, last < extent - 1};
}

// Narrow gaps (a seam, a speck of glare) do not split a shape: `run` joins
// the run before it on its line when fewer than `gap` unset pixels part them.
bool join(Run& before, const Run& run, std::int32_t gap) {
    if ((run.start2 - before.end2) / 2 >= gap) return false;
    before.end2 = run.end2;
    before.end_edge = run.end_edge;
    return true;
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

ScanTable::ScanTable(Nonzero64 nonzero64)
    : nonzero64_(nonzero64 != nullptr ? nonzero64 : active_kernels().scan.nonzero64) {}

void ScanTable::build(const PlaneView& mask, std::int32_t row_count, std::int32_t column_count, std::int32_t gap,
                      std::int32_t link, std::int32_t bridge, const ImageView* frame) {
    height = static_cast<std::int32_t>(mask.rows);
    width = static_cast<std::int32_t>(mask.cols);
    this->frame = frame;
    this->mask = &mask;
    rows.extent = width;
    columns.extent = height;
    const std::array<std::int32_t, 4> layout{row_count, column_count, height, width};
    if (layout != layout_) lay_out(row_count, column_count);
    layout_ = layout;
    read_runs(mask, gap);
    parent_.resize(rows.runs.size() + columns.runs.size());
    for (std::size_t k = 0; k < parent_.size(); ++k) parent_[k] = static_cast<std::int32_t>(k);
    link_runs(link);
    collect_points();
    join_bridged(bridge);
}

// The scanned lines, and where the scanned columns are: the same from frame
// to frame of one size.
void ScanTable::lay_out(std::int32_t row_count, std::int32_t column_count) {
    scanned_positions(row_count, height, marks_, rows.lines);
    scanned_positions(column_count, width, marks_, columns.lines);
    scanned_.assign(static_cast<std::size_t>((width + 63) / 64), 0);
    for (const std::int32_t x : columns.lines)
        scanned_[static_cast<std::size_t>(x / 64)] |= std::uint64_t{1} << (x % 64);
    column_of_.resize(static_cast<std::size_t>(width) + 1);
    for (std::int32_t x = width, k = static_cast<std::int32_t>(columns.lines.size()); x >= 0; --x) {
        if (k > 0 && columns.lines[static_cast<std::size_t>(k - 1)] == x) --k;
        column_of_[static_cast<std::size_t>(x)] = k;
    }
}

// The mask is read once, row by row: a scanned row's runs come from its bits,
// and the scanned columns' runs from where a row's bits differ from the row
// above's, so no column is walked pixel by pixel (a cache line a pixel).
void ScanTable::read_runs(const PlaneView& mask, std::int32_t gap) {
    const auto words = static_cast<std::size_t>((width + 63) / 64);
    bits_.assign(words, 0);
    rows.first.clear();
    rows.runs.clear();
    if (columns.lines.empty()) {
        for (const std::int32_t y : rows.lines) {
            row_bits(nonzero64_, mask.row(y), width, bits_.data());
            read_row(bits_.data(), gap);
        }
    } else {
        const auto count = columns.lines.size();
        above_.assign(words, 0);  // above the first row: no set pixel
        open_.assign(count, 0);
        last_.assign(count, -1);
        pending_.clear();
        auto next_row = rows.lines.begin();
        for (std::int32_t y = 0; y < height; ++y) {
            const bool scanned_row = next_row != rows.lines.end() && *next_row == y;
            next_row += scanned_row;
            // Most rows of a mask repeat the row above (no set pixel, or a
            // band): nothing begins or ends there.
            if (y > 0 && std::memcmp(mask.row(y), mask.row(y - 1), static_cast<std::size_t>(width)) == 0) {
                if (scanned_row) read_row(above_.data(), gap);
                continue;
            }
            row_bits(nonzero64_, mask.row(y), width, bits_.data());
            if (scanned_row) read_row(bits_.data(), gap);
            for (std::size_t w = 0; w < words; ++w) {
                for (std::uint64_t changes = (bits_[w] ^ above_[w]) & scanned_[w]; changes != 0;
                     changes &= changes - 1) {
                    const int j = std::countr_zero(changes);
                    const std::int32_t k = column_of_[64 * w + static_cast<std::size_t>(j)];
                    if (((bits_[w] >> j) & 1) != 0) open_[static_cast<std::size_t>(k)] = y;
                    else end_column_run(k, open_[static_cast<std::size_t>(k)], y - 1, gap);
                }
            }
            std::swap(bits_, above_);
        }
        // Runs reaching the last row.
        for (std::size_t w = 0; w < words; ++w) {
            for (std::uint64_t open = above_[w] & scanned_[w]; open != 0; open &= open - 1) {
                const std::int32_t k = column_of_[64 * w + static_cast<std::size_t>(std::countr_zero(open))];
                end_column_run(k, open_[static_cast<std::size_t>(k)], height - 1, gap);
            }
        }
    }
    rows.first.push_back(static_cast<std::int32_t>(rows.runs.size()));
    place_column_runs();
}

// The runs of one scanned row, the next in rows.lines, from its bits.
void ScanTable::read_row(const std::uint64_t* bits, std::int32_t gap) {
    const std::size_t line_begin = rows.runs.size();
    rows.first.push_back(static_cast<std::int32_t>(line_begin));
    auto add = [&](std::int32_t first, std::int32_t last) {
        const Run run = run_of(first, last, width);
        if (rows.runs.size() == line_begin || !join(rows.runs.back(), run, gap)) rows.runs.push_back(run);
    };
    std::int32_t start = -1;  // first pixel of the open run
    std::uint64_t before = 0;  // the pixel before the word's first
    const std::int32_t words = (width + 63) / 64;
    for (std::int32_t w = 0; w < words; ++w) {
        const std::uint64_t word = bits[w];
        for (std::uint64_t changes = word ^ ((word << 1) | before); changes != 0; changes &= changes - 1) {
            const std::int32_t x = 64 * w + std::countr_zero(changes);
            if (start < 0) {
                start = x;
            } else {
                add(start, x - 1);
                start = -1;
            }
        }
        before = word >> 63;
    }
    if (start >= 0) add(start, width - 1);
}

// Scanned column `column` (an index into columns.lines) has a run from row
// `first` to `last`; the columns' runs end in the order of their last rows.
void ScanTable::end_column_run(std::int32_t column, std::int32_t first, std::int32_t last, std::int32_t gap) {
    const Run run = run_of(first, last, height);
    std::int32_t& before = last_[static_cast<std::size_t>(column)];
    if (before >= 0 && join(pending_[static_cast<std::size_t>(before)].run, run, gap)) return;
    before = static_cast<std::int32_t>(pending_.size());
    pending_.push_back({column, run});
}

// The pending column runs by column, each column's in the order they ended
// (from its first row on).
void ScanTable::place_column_runs() {
    const std::size_t count = columns.lines.size();
    columns.first.assign(count + 1, 0);
    for (const ColumnRun& c : pending_) ++columns.first[static_cast<std::size_t>(c.column) + 1];
    for (std::size_t k = 0; k < count; ++k) columns.first[k + 1] += columns.first[k];
    columns.runs.resize(pending_.size());
    open_.assign(columns.first.begin(), columns.first.end() - 1);  // where each column's next run goes
    for (const ColumnRun& c : pending_)
        columns.runs[static_cast<std::size_t>(open_[static_cast<std::size_t>(c.column)]++)] = c.run;
}

std::int32_t ScanTable::find_root(std::vector<std::int32_t>& forest, std::int32_t k) {
    while (forest[k] != k) {
        forest[k] = forest[forest[k]];
        k = forest[k];
    }
    return k;
}

void ScanTable::unite(std::vector<std::int32_t>& forest, std::int32_t a, std::int32_t b) {
    a = find_root(forest, a);
    b = find_root(forest, b);
    if (a == b) return;
    if (a < b) forest[b] = a;
    else forest[a] = b;
}

void ScanTable::link_runs(std::int32_t link) {
    const std::int32_t column_base = rows.run_count();
    // A row run and a column run that share a pixel: the scanned columns
    // each row run passes, each with its run at that row. Rows come in order,
    // so each column's cursor only moves on.
    if (!columns.lines.empty()) {
        const auto count = static_cast<std::int32_t>(columns.lines.size());
        open_.assign(columns.first.begin(), columns.first.end() - 1);
        for (std::size_t r = 0; r < rows.lines.size(); ++r) {
            const std::int32_t y = rows.lines[r];
            for (std::int32_t i = rows.first[r]; i < rows.first[r + 1]; ++i) {
                const Run& run = rows.runs[static_cast<std::size_t>(i)];
                const std::int32_t last = (run.end2 - 1) / 2;
                std::int32_t root = find_root(parent_, i);
                for (std::int32_t k = column_of_[static_cast<std::size_t>((run.start2 + 1) / 2)];
                     k < count && columns.lines[static_cast<std::size_t>(k)] <= last; ++k) {
                    std::int32_t c = open_[static_cast<std::size_t>(k)];
                    const std::int32_t end = columns.first[static_cast<std::size_t>(k) + 1];
                    while (c < end && (columns.runs[static_cast<std::size_t>(c)].end2 - 1) / 2 < y) ++c;
                    open_[static_cast<std::size_t>(k)] = c;
                    if (c == end || (columns.runs[static_cast<std::size_t>(c)].start2 + 1) / 2 > y) continue;
                    // unite(i, column_base + c), keeping i's root at hand
                    const std::int32_t other = find_root(parent_, column_base + c);
                    if (other < root) {
                        parent_[static_cast<std::size_t>(root)] = other;
                        root = other;
                    } else if (other > root) {
                        parent_[static_cast<std::size_t>(other)] = root;
                    }
                }
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
                if (std::max(p.start2, q.start2) < std::min(p.end2, q.end2)) unite(parent_, base + i, base + j);
                if (p.end2 < q.end2) ++i;
                else ++j;
            }
        }
    };
    link_axis(rows, 0);
    link_axis(columns, column_base);
}

// The groups of pieces of one line cut apart by something narrow in front
// are joined (a group of its own lists, not the runs', so that each piece
// stays its own group too).
void ScanTable::join_bridged(std::int32_t bridge) {
    joined_.resize(group_sizes.size());
    for (std::size_t g = 0; g < joined_.size(); ++g) joined_[g] = static_cast<std::int32_t>(g);
    auto bridge_axis = [&](const Axis& axis, std::int32_t base) {
        for (std::size_t k = 0; k + 1 < axis.first.size(); ++k) {
            for (std::int32_t i = axis.first[k] + 1; i < axis.first[k + 1]; ++i) {
                const Run &before = axis.runs[i - 1], &after = axis.runs[i];
                const std::int32_t apart = after.start2 - before.end2;  // in half pixels, as the lengths
                if (apart > 2 * bridge || before.end2 - before.start2 < 2 * apart ||
                    after.end2 - after.start2 < 2 * apart)
                    continue;
                // Runs of a group without edge points have no group.
                const std::int32_t a = group_of_[find_root(parent_, base + i - 1)];
                const std::int32_t b = group_of_[find_root(parent_, base + i)];
                if (a >= 0 && b >= 0) unite(joined_, a, b);
            }
        }
    };
    if (bridge > 0) {
        bridge_axis(rows, 0);
        bridge_axis(columns, rows.run_count());
    }
    for (EdgePoint& p : points) p.joined = find_root(joined_, p.group);
}

void ScanTable::collect_points() {
    points.clear();
    group_sizes.clear();
    group_of_.assign(parent_.size(), -1);
    auto group = [&](std::int32_t run) {
        const std::int32_t root = find_root(parent_, run);
        if (group_of_[root] < 0) {
            group_of_[root] = static_cast<std::int32_t>(group_sizes.size());
            group_sizes.push_back(0);
        }
        return group_of_[root];
    };
    // Each end of a run that is an edge, on the mask's boundary.
    auto read = [&](const Axis& axis, bool along_rows, std::int32_t base, Side start_side, Side end_side) {
        for (std::size_t k = 0; k + 1 < axis.first.size(); ++k) {
            const std::int32_t line = axis.lines[k];
            for (std::int32_t r = axis.first[k]; r < axis.first[k + 1]; ++r) {
                const Run& run = axis.runs[r];
                if (!run.start_edge && !run.end_edge) continue;
                const std::int32_t g = group(base + r);
                group_sizes[static_cast<std::size_t>(g)] += run.start_edge + run.end_edge;
                const std::int32_t length = (run.end2 - run.start2) / 2;
                auto put = [&](double boundary, Side side) {
                    const auto across = static_cast<double>(line);
                    if (along_rows) {
                        points.push_back({boundary, across, side, g, length});
                    } else {
                        points.push_back({across, boundary, side, g, length});
                    }
                };
                if (run.start_edge) put(run.start2 * 0.5, start_side);
                if (run.end_edge) put(run.end2 * 0.5, end_side);
            }
        }
    };
    read(rows, true, 0, Side::right, Side::left);
    read(columns, false, rows.run_count(), Side::below, Side::above);
}

void ScanTable::placed(const EdgePoint& p, double& fx, double& fy) const {
    fx = p.x;
    fy = p.y;
    if (frame == nullptr) return;
    // The run lies after the boundary (step 1) or before it (-1); `pixel`
    // is its set pixel there.
    const bool along_rows = p.inside == Side::right || p.inside == Side::left;
    const std::int32_t step = p.inside == Side::right || p.inside == Side::below ? 1 : -1;
    const double boundary = along_rows ? p.x : p.y;
    const auto pixel = static_cast<std::int32_t>(boundary + 0.5 * step);
    const auto line = static_cast<std::int32_t>(along_rows ? p.y : p.x);
    auto at = [&](std::int32_t j) { return line_pixel(along_rows, line, j); };
    const double edge = edge_along(at, pixel, step, p.run_length, along_rows ? width : height);
    (along_rows ? fx : fy) = edge;
}

}  // namespace kestrune::find
