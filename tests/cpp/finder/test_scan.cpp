// The scan table: which rows and columns it reads, and the runs it keeps.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <random>
#include <vector>

#include "check.hpp"
#include "kestrune/dispatch/edges.hpp"
#include "kestrune/simd/kernels.hpp"
#include "kestrune_find/native/scan.hpp"

using namespace kestrune;
using namespace kestrune::find;

namespace {

// A mask and the table built from it.
struct Scanned {
    std::vector<std::uint8_t> pixels;
    PlaneView mask;
    ScanTable table;

    Scanned(std::vector<std::uint8_t> px, std::int32_t h, std::int32_t w, std::int32_t row_count,
            std::int32_t column_count, std::int32_t gap = 0, std::int32_t link = 0,
            ScanTable::Nonzero64 nonzero64 = nullptr, std::int32_t bridge = 0)
        : pixels(std::move(px)), mask{pixels.data(), h, w, w}, table(nonzero64) {
        table.build(mask, row_count, column_count, gap, link, bridge);
    }
};

using Lines = std::vector<std::int32_t>;

// The runs of line `position` read straight from the mask, in half pixels.
std::vector<std::pair<std::int32_t, std::int32_t>> mask_runs(const PlaneView& m, bool rows, std::int32_t position) {
    const std::int32_t extent = static_cast<std::int32_t>(rows ? m.cols : m.rows);
    auto set = [&](std::int32_t j) { return (rows ? m.row(position)[j] : m.row(j)[position]) != 0; };
    std::vector<std::pair<std::int32_t, std::int32_t>> runs;
    for (std::int32_t j = 0; j < extent; ++j) {
        if (!set(j) || (j > 0 && set(j - 1))) continue;
        std::int32_t end = j;
        while (end + 1 < extent && set(end + 1)) ++end;
        runs.push_back({2 * j - 1, 2 * end + 1});
    }
    return runs;
}

}  // namespace

TEST(scan_reads_the_bit_reversed_lines) {
    // Line i of n: reverse16(i) * extent >> 16, so 0, 1/2, 1/4, 3/4, 1/8 ...
    // of the way across, then sorted.
    const struct {
        std::int32_t h, w, row_count, column_count;
        Lines rows, columns;
    } cases[] = {
        {10, 8, 4, 3, {0, 2, 5, 7}, {0, 2, 4}},
        {16, 16, 5, 1, {0, 2, 4, 8, 12}, {0}},
        {3, 100, 8, 2, {0, 1, 2}, {0, 50}},  // more rows asked than there are: each once
        {7, 5, 0, 5, {}, {0, 1, 2, 3}},  // i = 4 lands on 0 again: column 4 is never read
    };
    for (const auto& c : cases) {
        Scanned s(std::vector<std::uint8_t>(static_cast<std::size_t>(c.h * c.w), 0), c.h, c.w, c.row_count,
                  c.column_count);
        CHECK(s.table.rows.lines == c.rows);
        CHECK(s.table.columns.lines == c.columns);
        CHECK(s.table.rows.runs.empty() && s.table.columns.runs.empty() && s.table.points.empty());
        CHECK(s.table.rows.first.size() == c.rows.size() + 1);
    }
}

TEST(runs_match_the_mask_on_every_scanned_line) {
    std::mt19937 rng(3);
    for (int round = 0; round < 30; ++round) {
        const std::int32_t h = 1 + static_cast<std::int32_t>(rng() % 40), w = 1 + static_cast<std::int32_t>(rng() % 40);
        std::vector<std::uint8_t> px(static_cast<std::size_t>(h * w));
        for (auto& v : px) v = rng() % 3 != 0 ? 255 : 0;
        Scanned s(px, h, w, 1 + static_cast<std::int32_t>(rng() % 20), 1 + static_cast<std::int32_t>(rng() % 20));
        for (const bool rows : {true, false}) {
            const Axis& axis = rows ? s.table.rows : s.table.columns;
            CHECK(axis.extent == (rows ? w : h));
            for (std::size_t k = 0; k < axis.lines.size(); ++k) {
                std::vector<std::pair<std::int32_t, std::int32_t>> got;
                for (std::int32_t r = axis.first[k]; r < axis.first[k + 1]; ++r) {
                    const Run& run = axis.runs[static_cast<std::size_t>(r)];
                    got.push_back({run.start2, run.end2});
                    // The ends at the frame's border are not edges.
                    CHECK(run.start_edge == (run.start2 > -1));
                    CHECK(run.end_edge == (run.end2 < 2 * axis.extent - 1));
                }
                CHECK(got == mask_runs(s.mask, rows, axis.lines[k]));
            }
        }
        // One edge point per run end inside the frame, and every group counted.
        std::size_t ends = 0;
        for (const Axis* axis : {&s.table.rows, &s.table.columns})
            for (const Run& run : axis->runs) ends += run.start_edge + run.end_edge;
        CHECK(s.table.points.size() == ends);
        std::int32_t counted = 0;
        for (std::int32_t n : s.table.group_sizes) counted += n;
        CHECK(counted == static_cast<std::int32_t>(ends));
    }
}

TEST(narrow_gaps_join_runs) {
    // 1 1 0 1 1 0 0 1: a gap of one pixel, then one of two; along a row and
    // down a column.
    const std::vector<std::uint8_t> line = {1, 1, 0, 1, 1, 0, 0, 1};
    const struct {
        std::int32_t gap;
        std::vector<std::pair<std::int32_t, std::int32_t>> runs;
    } cases[] = {
        {0, {{-1, 3}, {5, 9}, {13, 15}}},
        {1, {{-1, 3}, {5, 9}, {13, 15}}},
        {2, {{-1, 9}, {13, 15}}},
        {3, {{-1, 15}}},
    };
    for (const auto& c : cases) {
        for (const bool rows : {true, false}) {
            Scanned s(line, rows ? 1 : 8, rows ? 8 : 1, rows ? 1 : 0, rows ? 0 : 1, c.gap);
            const Axis& axis = rows ? s.table.rows : s.table.columns;
            std::vector<std::pair<std::int32_t, std::int32_t>> got;
            for (const Run& run : axis.runs) got.push_back({run.start2, run.end2});
            CHECK(got == c.runs);
            CHECK(!axis.runs.front().start_edge && !axis.runs.back().end_edge);
        }
    }
}

TEST(runs_are_the_core_edge_scans_on_every_level) {
    // The table reads the mask row by row, 64 pixels a word; the core's edge
    // scan walks each line. Sizes around the word's, several words wide, and
    // more lines asked for than there are.
    std::mt19937 rng(11);
    const std::int32_t sizes[][2] = {{1, 1}, {1, 130}, {130, 1}, {64, 64}, {65, 63}, {37, 129}, {200, 191}, {70, 256}};
    for (const auto& size : sizes) {
        const std::int32_t h = size[0], w = size[1];
        std::vector<std::uint8_t> px(static_cast<std::size_t>(h * w));
        // Blobs of set pixels with single-pixel specks and holes.
        for (std::int32_t y = 0; y < h; ++y)
            for (std::int32_t x = 0; x < w; ++x)
                px[static_cast<std::size_t>(y * w + x)] = ((x / 5 + y / 7) % 3 == 0) != (rng() % 17 == 0) ? 9 : 0;
        const PlaneView mask{px.data(), h, w, w};
        for (const std::int32_t count : {1, 16, 300}) {
            // The core's scan, each line read the first time it is visited.
            std::vector<PointsView::Point> points(static_cast<std::size_t>(count * (std::max(h, w) + 1) + 2));
            const PointsView view{reinterpret_cast<std::uint8_t*>(points.data()),
                                  static_cast<std::int64_t>(points.size()), 2, 8};
            std::map<std::pair<bool, std::int32_t>, std::vector<std::pair<std::int32_t, std::int32_t>>> want;
            for (const bool rows : {true, false}) {
                const std::int32_t n = simple_edge(mask, view, rows ? count : 0, rows ? 0 : count);
                std::map<std::int32_t, std::vector<std::pair<std::int32_t, std::int32_t>>> scan;
                std::int32_t current = -1;
                bool repeat = false;
                for (std::int32_t k = 0; k + 1 < n; k += 2) {
                    const auto a = view.load(k), b = view.load(k + 1);
                    const std::int32_t line = rows ? a.y : a.x, start = rows ? a.x : a.y, end = rows ? b.x : b.y;
                    // A line visited again, after another line or right after itself.
                    if (line != current) repeat = scan.count(line) != 0;
                    else if (!repeat && 2 * start - 1 <= scan[line].back().second) repeat = true;
                    current = line;
                    if (repeat) continue;
                    // `end` is the first unset pixel, or the line's last pixel when it is set.
                    const std::int32_t extent = rows ? w : h;
                    const std::size_t last = static_cast<std::size_t>(rows ? line * w + end : end * w + line);
                    const bool to_border = end == extent - 1 && px[last] != 0;
                    scan[line].push_back({2 * start - 1, to_border ? 2 * end + 1 : 2 * end - 1});
                }
                for (auto& [line, runs] : scan) want[{rows, line}] = runs;
            }
            for (const SimdLevel level : cpu_simd_levels()) {
                Scanned s(px, h, w, count, count, 0, 0, kernel_table(level).scan.nonzero64);
                for (const bool rows : {true, false}) {
                    const Axis& axis = rows ? s.table.rows : s.table.columns;
                    for (std::size_t k = 0; k < axis.lines.size(); ++k) {
                        std::vector<std::pair<std::int32_t, std::int32_t>> got;
                        for (std::int32_t r = axis.first[k]; r < axis.first[k + 1]; ++r)
                            got.push_back({axis.runs[static_cast<std::size_t>(r)].start2,
                                           axis.runs[static_cast<std::size_t>(r)].end2});
                        const auto line = want.find({rows, axis.lines[k]});
                        CHECK(got == (line == want.end() ? decltype(got){} : line->second));
                    }
                    // Each line with runs in the core's scan is in the table.
                    for (const auto& [key, runs] : want)
                        if (key.first == rows)
                            CHECK(std::binary_search(axis.lines.begin(), axis.lines.end(), key.second));
                }
            }
        }
    }
}

TEST(a_reused_table_forgets_the_last_frame) {
    // One table for a large frame, then a small one: nothing of the first remains.
    std::vector<std::uint8_t> big(100 * 150, 1), small(3 * 5, 0);
    small[7] = 1;  // (x 2, y 1)
    const PlaneView big_mask{big.data(), 100, 150, 150}, small_mask{small.data(), 3, 5, 5};
    ScanTable table;
    table.build(big_mask, 64, 64, 2, 3);
    CHECK(table.rows.run_count() == 64 && table.columns.run_count() == 64);
    table.build(small_mask, 4, 4, 2, 3);
    CHECK(table.rows.lines == (Lines{0, 1, 2}) && table.columns.lines == (Lines{0, 1, 2, 3}));
    CHECK(table.rows.run_count() == 1 && table.columns.run_count() == 1);
    CHECK(table.rows.first == (Lines{0, 0, 1, 1}) && table.columns.first == (Lines{0, 0, 0, 1, 1}));
    CHECK(table.points.size() == 4 && table.group_sizes == std::vector<std::int32_t>{4});
    // The same size again, other pixels: as a fresh table reads them.
    std::vector<std::uint8_t> other(3 * 5, 0);
    other[0] = other[4] = other[13] = 1;
    const PlaneView other_mask{other.data(), 3, 5, 5};
    table.build(other_mask, 4, 4, 2, 3);
    ScanTable fresh;
    fresh.build(other_mask, 4, 4, 2, 3);
    CHECK(table.rows.first == fresh.rows.first && table.columns.first == fresh.columns.first);
    CHECK(table.rows.run_count() == 3 && table.columns.run_count() == 2);
    CHECK(table.points.size() == fresh.points.size() && table.group_sizes == fresh.group_sizes);
}

TEST(edge_points_sit_on_the_boundary_facing_the_colour) {
    // One 4 x 4 square at x 3..6, y 2..5 in a 10 x 10 mask; 16 lines each way
    // visit every line of 10, some twice (read once).
    std::vector<std::uint8_t> px(100, 0);
    for (int y = 2; y <= 5; ++y)
        for (int x = 3; x <= 6; ++x) px[static_cast<std::size_t>(y * 10 + x)] = 1;
    Scanned s(px, 10, 10, 16, 16, 0, 1);
    CHECK(s.table.rows.lines.size() == 10 && s.table.columns.lines.size() == 10);
    CHECK(s.table.points.size() == 16);
    CHECK(s.table.group_sizes == std::vector<std::int32_t>{16});
    for (const EdgePoint& p : s.table.points) {
        double fx, fy;
        s.table.placed(p, fx, fy);
        CHECK(p.group == 0 && fx == p.x && fy == p.y);  // no frame: placed on the mask's boundary
        switch (p.inside) {
            case Side::right: CHECK(p.x == 2.5 && p.y >= 2 && p.y <= 5); break;
            case Side::left: CHECK(p.x == 6.5 && p.y >= 2 && p.y <= 5); break;
            case Side::below: CHECK(p.y == 1.5 && p.x >= 3 && p.x <= 6); break;
            case Side::above: CHECK(p.y == 5.5 && p.x >= 3 && p.x <= 6); break;
        }
    }
}

TEST(edge_points_are_placed_where_the_frame_turns_halfway) {
    // The square x, y 4..11 of a 16 x 16 mask; the frame is 200 inside, 0
    // outside, and 100 on the square's outermost pixels: each side's edge lies
    // on those pixels' centres, half a pixel inside the mask's boundary.
    std::vector<std::uint8_t> px(256, 0), rgb(256 * 3, 0);
    auto level = [](int v) { return v < 4 || v > 11 ? 0 : v == 4 || v == 11 ? 1 : 2; };
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) {
            px[static_cast<std::size_t>(y * 16 + x)] = level(x) > 0 && level(y) > 0;
            for (int c = 0; c < 3; ++c) rgb[static_cast<std::size_t>((y * 16 + x) * 3 + c)] = 100 * std::min(level(x), level(y));
        }
    const PlaneView mask{px.data(), 16, 16, 16};
    const ImageView frame{rgb.data(), 16, 16, 3, 48, 3};
    ScanTable table;
    table.build(mask, 16, 16, 0, 1, 0, &frame);
    int placed_inside = 0;
    for (const EdgePoint& p : table.points) {
        const double line = p.inside == Side::right || p.inside == Side::left ? p.y : p.x;
        if (line < 6 || line > 9) continue;  // where the lines cross the square's own rim
        double fx, fy;
        table.placed(p, fx, fy);
        const double want = p.inside == Side::right || p.inside == Side::below ? 4.0 : 11.0;
        const bool ok = p.inside == Side::right || p.inside == Side::left ? fx == want && fy == p.y
                                                                          : fy == want && fx == p.x;
        CHECK(ok);
        placed_inside += ok;
    }
    CHECK(placed_inside == 16);  // 4 lines a side
}

TEST(groups_follow_link_distance_and_crossings) {
    // Runs at x 1..3 on rows 2 and 4 of an 8 x 8 mask; rows 0, 2, 4, 6 and
    // columns 0, 4 are scanned. Neighbouring scanned rows 2 apart join when
    // the link reaches 2; a column run crossing both rows joins them anyway.
    const struct {
        bool column;
        std::int32_t link;
        std::size_t groups;
    } cases[] = {{false, 1, 2}, {false, 2, 1}, {true, 1, 1}};
    for (const auto& c : cases) {
        std::vector<std::uint8_t> px(64, 0);
        for (int x = 1; x <= (c.column ? 4 : 3); ++x) {
            px[static_cast<std::size_t>(2 * 8 + x)] = 1;
            px[static_cast<std::size_t>(4 * 8 + x)] = 1;
        }
        if (c.column) px[3 * 8 + 4] = 1;
        Scanned s(px, 8, 8, 4, 2, 0, c.link);
        CHECK(s.table.rows.lines == (Lines{0, 2, 4, 6}) && s.table.columns.lines == (Lines{0, 4}));
        CHECK(s.table.rows.run_count() == 2);
        CHECK(s.table.group_sizes.size() == c.groups);
    }
}

TEST(groups_are_the_crossing_and_overlapping_runs_joined) {
    // Every pair of runs compared: a row run and a column run are joined when
    // they cross, runs on scanned lines at most `link` apart when they overlap;
    // and the groups of neighbours on one line at most `bridge` apart, each
    // twice as long as the gap, are joined.
    std::mt19937 rng(5);
    for (int round = 0; round < 40; ++round) {
        const std::int32_t h = 1 + static_cast<std::int32_t>(rng() % 90), w = 1 + static_cast<std::int32_t>(rng() % 90);
        const std::int32_t gap = static_cast<std::int32_t>(rng() % 3), link = static_cast<std::int32_t>(rng() % 4);
        const std::int32_t bridge = static_cast<std::int32_t>(rng() % 6);
        std::vector<std::uint8_t> px(static_cast<std::size_t>(h * w));
        const std::int32_t cell = 2 + static_cast<std::int32_t>(rng() % 9);
        for (std::int32_t y = 0; y < h; ++y)
            for (std::int32_t x = 0; x < w; ++x)
                px[static_cast<std::size_t>(y * w + x)] = ((x / cell) * 7 + (y / cell) * 3) % 5 < 2 || rng() % 13 == 0;
        Scanned s(px, h, w, static_cast<std::int32_t>(rng() % 70), static_cast<std::int32_t>(rng() % 70), gap, link,
                  nullptr, bridge);
        const ScanTable& t = s.table;
        // All runs, rows' first: (line, first pixel, last pixel, along rows).
        struct Flat { std::int32_t line, first, last; bool rows; };
        std::vector<Flat> runs;
        for (const bool rows : {true, false}) {
            const Axis& axis = rows ? t.rows : t.columns;
            for (std::size_t k = 0; k < axis.lines.size(); ++k)
                for (std::int32_t r = axis.first[k]; r < axis.first[k + 1]; ++r) {
                    const Run& run = axis.runs[static_cast<std::size_t>(r)];
                    runs.push_back({axis.lines[k], (run.start2 + 1) / 2, (run.end2 - 1) / 2, rows});
                }
        }
        std::vector<std::size_t> parent(runs.size());
        for (std::size_t k = 0; k < parent.size(); ++k) parent[k] = k;
        auto root = [&](std::size_t k) {
            while (parent[k] != k) k = parent[k];
            return k;
        };
        for (std::size_t a = 0; a < runs.size(); ++a)
            for (std::size_t b = a + 1; b < runs.size(); ++b) {
                const Flat &p = runs[a], &q = runs[b];
                const bool joined =
                    p.rows != q.rows
                        ? q.first <= p.line && p.line <= q.last && p.first <= q.line && q.line <= p.last
                        : p.line != q.line && std::abs(p.line - q.line) <= link && p.first <= q.last &&
                              q.first <= p.last &&
                              // only neighbouring scanned lines
                              [&] {
                                  const Axis& axis = p.rows ? t.rows : t.columns;
                                  const auto i = std::lower_bound(axis.lines.begin(), axis.lines.end(), p.line);
                                  const auto j = std::lower_bound(axis.lines.begin(), axis.lines.end(), q.line);
                                  return std::abs(i - j) == 1;
                              }();
                if (joined) parent[root(a)] = root(b);
            }
        // The points' groups: one per set of joined runs that has a point.
        std::vector<std::size_t> point_run;  // each point's run
        std::map<std::size_t, std::int32_t> group_of_root;
        bool same = true;
        for (std::size_t k = 0; k < runs.size(); ++k) {
            const Axis& axis = runs[k].rows ? t.rows : t.columns;
            const Run& run = axis.runs[runs[k].rows ? k : k - t.rows.runs.size()];
            for (int end = 0; end < run.start_edge + run.end_edge; ++end) point_run.push_back(k);
        }
        CHECK(point_run.size() == t.points.size());
        if (point_run.size() != t.points.size()) return;
        for (std::size_t n = 0; n < point_run.size(); ++n) {
            const auto at = group_of_root.insert({root(point_run[n]), t.points[n].group}).first;
            same = same && at->second == t.points[n].group;
        }
        CHECK(same);
        // Bridged neighbours (runs come in order along each line) join their
        // sets, when both have points.
        for (std::size_t b = 1; b < runs.size(); ++b) {
            const Flat &p = runs[b - 1], &q = runs[b];
            const std::int32_t apart = q.first - p.last - 1;
            if (p.rows != q.rows || p.line != q.line || apart > bridge || p.last - p.first + 1 < 2 * apart ||
                q.last - q.first + 1 < 2 * apart || !group_of_root.count(root(b - 1)) || !group_of_root.count(root(b)))
                continue;
            parent[root(b - 1)] = root(b);
        }
        for (std::size_t m = 0; m < point_run.size(); ++m)
            for (std::size_t n = m + 1; n < point_run.size(); n += 7)
                CHECK((root(point_run[m]) == root(point_run[n])) == (t.points[m].joined == t.points[n].joined));
        // Distinct sets, distinct groups.
        std::vector<std::int32_t> groups;
        for (const auto& entry : group_of_root) groups.push_back(entry.second);
        std::sort(groups.begin(), groups.end());
        CHECK(std::adjacent_find(groups.begin(), groups.end()) == groups.end());
        CHECK(groups.size() == t.group_sizes.size());
    }
}
