// The four random-sample-consensus shape fits on the process's instruction
// set, or on a given one.
#pragma once

#include <cstdint>

#include "../ransac/fits.hpp"
#include "../simd/level.hpp"
#include "../types.hpp"

namespace kestrune {

// Each fit takes exactly one rand() value as its sampling state, also when
// count <= 0 or when there are fewer points than a sample needs (it then
// returns the all-zero record at once). The line fits write the inlier flags
// of the returned line into mask entries 0..n-1 (never past the mask).
Line ransac_line(const PointsView& ps, const MaskView& ms, std::int32_t count, std::int32_t delta,
                 double slope_limit);
Line2 ransac_line2(const PointsView& ps, const MaskView& ms, std::int32_t count, double ratio,
                   std::int32_t delta);
Circle ransac_circle(const PointsView& ps, std::int32_t count, std::int32_t min_r, std::int32_t max_r,
                     std::int32_t delta);
Ellipse ransac_ellipse(const PointsView& ps, std::int32_t count, std::int32_t min_r, std::int32_t max_r,
                       double ratio, std::int32_t delta);

// The same fits with the sampling state and the instruction set given.
Line ransac_line_seeded(std::uint32_t seed, SimdLevel level, const PointsView& ps, const MaskView& ms,
                        std::int32_t count, std::int32_t delta, double slope_limit);
Line2 ransac_line2_seeded(std::uint32_t seed, SimdLevel level, const PointsView& ps, const MaskView& ms,
                          std::int32_t count, double ratio, std::int32_t delta);
Circle ransac_circle_seeded(std::uint32_t seed, SimdLevel level, const PointsView& ps, std::int32_t count,
                            std::int32_t min_r, std::int32_t max_r, std::int32_t delta);
Ellipse ransac_ellipse_seeded(std::uint32_t seed, SimdLevel level, const PointsView& ps, std::int32_t count,
                              std::int32_t min_r, std::int32_t max_r, double ratio, std::int32_t delta);

}  // namespace kestrune
