#include "edges.hpp"

#include "../simd/kernels.hpp"

namespace kestrune {

std::int32_t simple_edge(const PlaneView& image, const PointsView& ps, std::int32_t row_count,
                         std::int32_t column_count) {
    return simple_edge_with(active_kernels().scan, image, ps, row_count, column_count);
}

std::int32_t simple_edge_hsv(const ImageView& image, const PointsView& ps, const LchBounds& bounds,
                             std::int32_t row_count, std::int32_t column_count) {
    return simple_edge_hsv_with(active_kernels().scan, image, ps, bounds, row_count, column_count);
}

}  // namespace kestrune
