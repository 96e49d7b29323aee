// Counting loops built for the avx512 instruction set.
#include "score_body.hpp"

namespace kestrune {

const ScoreKernels& score_kernels_avx512() { return kKernels; }

}  // namespace kestrune
