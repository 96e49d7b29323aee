#include "score.hpp"

namespace kestrune {

const ScoreKernels& score_kernels(SimdLevel level) {
    switch (usable_simd_level(level)) {
#if defined(KESTRUNE_SIMD_X86)
        case SimdLevel::avx512: return score_kernels_avx512();
        case SimdLevel::avx2: return score_kernels_avx2();
        case SimdLevel::sse41: return score_kernels_sse41();
#elif defined(KESTRUNE_SIMD_NEON)
        case SimdLevel::neon: return score_kernels_neon();
#endif
        default: return score_kernels_scalar();
    }
}

}  // namespace kestrune
