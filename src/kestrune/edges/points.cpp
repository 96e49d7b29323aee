// Passes over point lists: joining runs into segments, and dropping flagged rows.
#include <algorithm>

#include "edges.hpp"

namespace kestrune {
namespace {

using Point = PointsView::Point;

// Coordinate differences wrap at 32 bits, as signed subtraction would.
std::int32_t wrapping_diff(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

}  // namespace

std::int32_t simple_denoise(const PointsView& in, const PointsView& out, std::int32_t min_distance) {
    const std::int64_t n = in.rows;
    if (n < 2) return 0;

    // Coordinates only: a pair from another line joins when it lines up too.
    const auto continues = [min_distance](Point s, Point tail) {
        return (s.y == tail.y && wrapping_diff(s.x, tail.x) < min_distance) ||
               (s.x == tail.x && wrapping_diff(s.y, tail.y) < min_distance);
    };
    const auto long_enough = [min_distance](Point head, Point tail) {
        return (tail.y == head.y && wrapping_diff(tail.x, head.x) >= min_distance) ||
               (tail.x == head.x && wrapping_diff(tail.y, head.y) >= min_distance);
    };

    std::int64_t count = 0;
    // Rows written while pair i is handled lie before row i, so in-place works.
    const auto write = [&](Point head, Point tail) {
        if (count + 2 > out.rows) return false;
        out.store(count, head);
        out.store(count + 1, tail);
        count += 2;
        return true;
    };

    Point head = in.load(0);
    Point tail = in.load(1);
    for (std::int64_t i = 2; i + 1 < n; i += 2) {
        const Point s = in.load(i);
        const Point e = in.load(i + 1);
        if (continues(s, tail)) {
            tail = e;
            continue;
        }
        if (long_enough(head, tail) && !write(head, tail)) return static_cast<std::int32_t>(count);
        head = s;
        tail = e;
    }
    // The last segment gets the same length test as every other one.
    if (long_enough(head, tail)) write(head, tail);
    return static_cast<std::int32_t>(count);
}

std::int64_t count_kept(const PointsView& in, const MaskView& ms) {
    const std::int64_t n = std::min(in.rows, ms.size);
    std::int64_t kept = 0;
    for (std::int64_t i = 0; i < n; ++i) kept += ms.data[i] == 0;
    return kept;
}

std::int32_t remove_inliers(const PointsView& in, const PointsView& out, const MaskView& ms) {
    const std::int64_t n = std::min(in.rows, ms.size);
    std::int64_t j = 0;
    for (std::int64_t i = 0; i < n; ++i) {
        if (ms.data[i] != 0) continue;
        if (j >= out.rows) break;
        out.store(j, in.load(i));  // j <= i: in-place compaction reads before it writes
        ++j;
    }
    return static_cast<std::int32_t>(j);
}

}  // namespace kestrune
