// Counting loops built for the avx2 instruction set.
#include "score_body.hpp"

namespace kestrune {

const ScoreKernels& score_kernels_avx2() { return kKernels; }

}  // namespace kestrune
