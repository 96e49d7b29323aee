// The runs of one colour on the scanned rows and columns of a frame, read from
// the edge scan's points, with the edge points on the boundaries between set
// and unset pixels and the connected groups the runs form.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "kestrune/types.hpp"

namespace kestrune::find {

// floor(v) as an integer for |v| < 2^63, without the call that std::floor
// is on the baseline x86 (which has no rounding instruction).
inline std::int64_t floor_to_int(double v) {
    const auto t = static_cast<std::int64_t>(v);
    return t - (static_cast<double>(t) > v ? 1 : 0);
}

// Whether the mask is set at the pixel nearest to (x, y), which lies in it.
inline bool set_at(const PlaneView& mask, double x, double y) {
    return mask.row(floor_to_int(y + 0.5))[floor_to_int(x + 0.5)] != 0;
}

// Coordinates are in pixels with pixel centres at integers, so pixel k covers
// [k - 0.5, k + 0.5]. Runs keep their ends in half pixels (2k - 1 and 2k + 1),
// which are exact integers.
struct Run {
    std::int32_t start2;  // boundary before the first set pixel, in half pixels
    std::int32_t end2;    // boundary after the last set pixel, in half pixels
    bool start_edge;      // false where the run starts at the frame's border
    bool end_edge;        // false where the run reaches the frame's border
};

// The scanned lines of one direction, ascending and distinct.
struct Axis {
    std::int32_t extent = 0;              // length of a line: the width for rows, the height for columns
    std::vector<std::int32_t> lines;      // scanned positions (y for rows, x for columns)
    std::vector<std::int32_t> first;      // runs of lines[k] are runs[first[k]] .. runs[first[k + 1] - 1]
    std::vector<Run> runs;                // by line, then from the line's start

    std::int32_t run_count() const { return static_cast<std::int32_t>(runs.size()); }
};

// Which way the inside of the colour lies from an edge point.
enum class Side : std::uint8_t { right = 0, left = 1, below = 2, above = 3 };

// (x, y) lies on the mask's boundary between set and unset pixels, where the
// evidence is read (ScanTable::placed gives where the frame's colour
// changes, which places a verified shape).
struct EdgePoint {
    double x, y;
    Side inside;
    std::int32_t group;
    std::int32_t run_length = 0;  // of the run it ends, in pixels
    // The smallest group of those joined across narrow gaps (its own when
    // none is).
    std::int32_t joined = 0;
};

class ScanTable {
public:
    // Reads 64 mask bytes as bits (bit j: byte j is nonzero); every
    // instruction set's version gives the same bits.
    using Nonzero64 = std::uint64_t (*)(const std::uint8_t*);

    // The tables of one thread are reused from build to build, so that a
    // thread's next frame of the same size allocates nothing.
    explicit ScanTable(Nonzero64 nonzero64 = nullptr);

    // Reads the runs of set pixels on the `row_count` rows and `column_count`
    // columns of `mask` the core's edge scan spreads (line i of n at
    // reverse16(i) * extent >> 16, each line once); runs closer than `gap`
    // unset pixels on a line are joined.
    // Runs on scanned lines at most `link` pixels apart that overlap, and row
    // and column runs that cross, belong to one group. Groups with neighbouring
    // runs on a line at most `bridge` unset pixels apart, each at least twice
    // as long as the gap between them, are joined (a cable or a bar in front
    // of a ball cuts it into pieces; specks and their gaps are alike in size).
    // `frame`, when given, is the H x W x 3 frame the mask was made from (see
    // `placed`).
    void build(const PlaneView& mask, std::int32_t row_count, std::int32_t column_count, std::int32_t gap,
               std::int32_t link, std::int32_t bridge = 0, const ImageView* frame = nullptr);

    std::int32_t height = 0, width = 0;
    const ImageView* frame = nullptr;  // the frame given to build, while it lasts
    const PlaneView* mask = nullptr;   // and its mask

    // Where the frame's colour is halfway between the colour inside the run
    // `p` ends and the colour beyond it, to a fraction of a pixel: (fx, fy).
    // The mask's boundary, (x, y), without a frame or where the frame shows
    // no one clear edge there. Worked out only for the points that place a
    // shape found, while the frame given to build lasts.
    void placed(const EdgePoint& p, double& fx, double& fy) const;

    // Pixel `j` along scanned row or column `line` of the frame.
    const std::uint8_t* line_pixel(bool along_rows, std::int32_t line, std::int32_t j) const {
        return along_rows ? frame->pixel(line, j) : frame->pixel(j, line);
    }
    Axis rows, columns;
    std::vector<EdgePoint> points;
    std::vector<std::int32_t> group_sizes;  // edge points per group

private:
    // A column run waiting for its place among the column runs.
    struct ColumnRun {
        std::int32_t column;  // index into columns.lines
        Run run;
    };

    void lay_out(std::int32_t row_count, std::int32_t column_count);
    void read_runs(const PlaneView& mask, std::int32_t gap);
    void read_row(const std::uint64_t* bits, std::int32_t gap);
    void end_column_run(std::int32_t column, std::int32_t first, std::int32_t last, std::int32_t gap);
    void place_column_runs();
    // Union-find over `forest` (each entry its parent; a root its own): the
    // smaller root stays.
    static std::int32_t find_root(std::vector<std::int32_t>& forest, std::int32_t k);
    static void unite(std::vector<std::int32_t>& forest, std::int32_t a, std::int32_t b);
    void link_runs(std::int32_t link);
    void join_bridged(std::int32_t bridge);
    void collect_points();

    Nonzero64 nonzero64_;
    // The line counts and the mask's height and width the lines were laid out for.
    std::array<std::int32_t, 4> layout_{-1, -1, -1, -1};
    std::vector<std::int32_t> parent_, group_of_, joined_;
    // A bit per pixel of the row being read and of the one above it, and one
    // per scanned column; per x (0 to width), the first scanned column at x or
    // after it.
    std::vector<std::uint64_t> bits_, above_, scanned_;
    std::vector<std::int32_t> column_of_;
    // Per scanned column: where its open run began (then its next run's
    // place, then the run at the row being linked), and its last run so far.
    std::vector<std::int32_t> open_, last_;
    std::vector<ColumnRun> pending_;
    std::vector<std::uint8_t> marks_;
};

}  // namespace kestrune::find
