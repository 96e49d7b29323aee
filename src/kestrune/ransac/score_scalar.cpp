// Counting loops built for the scalar instruction set.
#include "score_body.hpp"

namespace kestrune {

const ScoreKernels& score_kernels_scalar() { return kKernels; }

}  // namespace kestrune
