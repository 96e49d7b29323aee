// The four random-sample-consensus shape fits on one set's counting kernels
// (dispatch/fits.hpp has them on the process's set, or a given one).
#pragma once

#include <cstdint>

#include "../types.hpp"
#include "score.hpp"

namespace kestrune {

// Each fit samples from `seed`; with count <= 0, or fewer points than a
// sample needs, it returns the all-zero record at once. The line fits write
// the inlier flags of the returned line into mask entries 0..n-1 (never past
// the mask). Packed rows are counted by `kernels`, others by the one-lane
// loops; the result is the same whichever set's kernels.
Line ransac_line_with(const ScoreKernels& kernels, std::uint32_t seed, const PointsView& ps, const MaskView& ms,
                      std::int32_t count, std::int32_t delta, double slope_limit);
Line2 ransac_line2_with(const ScoreKernels& kernels, std::uint32_t seed, const PointsView& ps, const MaskView& ms,
                        std::int32_t count, double ratio, std::int32_t delta);
Circle ransac_circle_with(const ScoreKernels& kernels, std::uint32_t seed, const PointsView& ps,
                          std::int32_t count, std::int32_t min_r, std::int32_t max_r, std::int32_t delta);
Ellipse ransac_ellipse_with(const ScoreKernels& kernels, std::uint32_t seed, const PointsView& ps,
                            std::int32_t count, std::int32_t min_r, std::int32_t max_r, double ratio,
                            std::int32_t delta);

}  // namespace kestrune
