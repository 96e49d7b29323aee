// The edge scans on the process's instruction set (edges/edges.hpp has the
// rest of the edge primitives, and the scans on a given set's kernels).
#pragma once

#include <cstdint>

#include "../edges/edges.hpp"
#include "../types.hpp"

namespace kestrune {

// Runs of set (nonzero) pixels on `row_count` spread rows, then `column_count`
// spread columns, stored as (start, end) point pairs into `ps` until it is
// full. Returns the number of points stored.
// Preconditions: counts <= kMaxLineCount; rows * cols < 2^31; ps.rows < 2^31.
std::int32_t simple_edge(const PlaneView& image, const PointsView& ps, std::int32_t row_count,
                         std::int32_t column_count);

// The same scan with the colour test deciding which pixels are set.
// Extra precondition: image.channels == 3 when the image has pixels.
std::int32_t simple_edge_hsv(const ImageView& image, const PointsView& ps, const LchBounds& bounds,
                             std::int32_t row_count, std::int32_t column_count);

}  // namespace kestrune
