#include "score.hpp"

namespace kestrune {

const ScoreKernels& score_kernels(SimdLevel level) {
    switch (level) {
        case SimdLevel::avx512: return score_kernels_avx512();
        case SimdLevel::avx2: return score_kernels_avx2();
        case SimdLevel::sse41: return score_kernels_sse41();
        case SimdLevel::scalar: break;
    }
    return score_kernels_scalar();
}

}  // namespace kestrune
