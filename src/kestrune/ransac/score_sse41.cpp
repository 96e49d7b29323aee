// Counting loops built for the sse41 instruction set.
#include "score_body.hpp"

namespace kestrune {

const ScoreKernels& score_kernels_sse41() { return kKernels; }

}  // namespace kestrune
