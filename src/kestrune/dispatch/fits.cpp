#include "fits.hpp"

#include <cstdlib>

#include "../simd/kernels.hpp"

namespace kestrune {

namespace {

std::uint32_t draw_seed() { return static_cast<std::uint32_t>(std::rand()); }

}  // namespace

Line ransac_line_seeded(std::uint32_t seed, SimdLevel level, const PointsView& ps, const MaskView& ms,
                        std::int32_t count, std::int32_t delta, double slope_limit) {
    return ransac_line_with(kernel_table(level).score, seed, ps, ms, count, delta, slope_limit);
}

Line2 ransac_line2_seeded(std::uint32_t seed, SimdLevel level, const PointsView& ps, const MaskView& ms,
                          std::int32_t count, double ratio, std::int32_t delta) {
    return ransac_line2_with(kernel_table(level).score, seed, ps, ms, count, ratio, delta);
}

Circle ransac_circle_seeded(std::uint32_t seed, SimdLevel level, const PointsView& ps, std::int32_t count,
                            std::int32_t min_r, std::int32_t max_r, std::int32_t delta) {
    return ransac_circle_with(kernel_table(level).score, seed, ps, count, min_r, max_r, delta);
}

Ellipse ransac_ellipse_seeded(std::uint32_t seed, SimdLevel level, const PointsView& ps, std::int32_t count,
                              std::int32_t min_r, std::int32_t max_r, double ratio, std::int32_t delta) {
    return ransac_ellipse_with(kernel_table(level).score, seed, ps, count, min_r, max_r, ratio, delta);
}

Line ransac_line(const PointsView& ps, const MaskView& ms, std::int32_t count, std::int32_t delta,
                 double slope_limit) {
    return ransac_line_seeded(draw_seed(), active_simd_level(), ps, ms, count, delta, slope_limit);
}

Line2 ransac_line2(const PointsView& ps, const MaskView& ms, std::int32_t count, double ratio,
                   std::int32_t delta) {
    return ransac_line2_seeded(draw_seed(), active_simd_level(), ps, ms, count, ratio, delta);
}

Circle ransac_circle(const PointsView& ps, std::int32_t count, std::int32_t min_r, std::int32_t max_r,
                     std::int32_t delta) {
    return ransac_circle_seeded(draw_seed(), active_simd_level(), ps, count, min_r, max_r, delta);
}

Ellipse ransac_ellipse(const PointsView& ps, std::int32_t count, std::int32_t min_r, std::int32_t max_r,
                       double ratio, std::int32_t delta) {
    return ransac_ellipse_seeded(draw_seed(), active_simd_level(), ps, count, min_r, max_r, ratio, delta);
}

}  // namespace kestrune
