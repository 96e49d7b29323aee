#include "kernels.hpp"

namespace kestrune {

const KernelTable& kernel_table(SimdLevel level) {
    switch (usable_simd_level(level)) {
#if defined(KESTRUNE_SET_SSE41)
        case SimdLevel::sse41: return kernel_table_sse41();
#endif
#if defined(KESTRUNE_SET_AVX2)
        case SimdLevel::avx2: return kernel_table_avx2();
#endif
#if defined(KESTRUNE_SET_AVX512BW)
        case SimdLevel::avx512bw: return kernel_table_avx512bw();
#endif
#if defined(KESTRUNE_SET_AVX512)
        case SimdLevel::avx512: return kernel_table_avx512();
#endif
#if defined(KESTRUNE_SET_NEON)
        case SimdLevel::neon: return kernel_table_neon();
#endif
        default: return kernel_table_scalar();
    }
}

const KernelTable& active_kernels() {
    static const KernelTable& table = kernel_table(active_simd_level());
    return table;
}

}  // namespace kestrune
