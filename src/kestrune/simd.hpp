// Run-time choice of instruction set for the dispatched kernels.
#pragma once

#include "types.hpp"

namespace kestrune {

// The best level this CPU supports, lowered by the environment variable
// KESTRUNE_SIMD (scalar, sse41, avx2 or avx512) when it names a lower one.
// Decided once per process.
SimdLevel active_simd_level();

// The best level this CPU supports, ignoring the environment.
SimdLevel cpu_simd_level();

const char* simd_level_name(SimdLevel level);

}  // namespace kestrune
