// Run-time choice of instruction set for the dispatched kernels.
#pragma once

#include <span>

#include "../platform.hpp"
#include "../types.hpp"

namespace kestrune {

// The best level this CPU supports, lowered by the environment variable
// KESTRUNE_SIMD (scalar everywhere; sse41, avx2, avx512bw or avx512 on x86;
// neon on aarch64) when it names a lower one. Decided once per process.
SimdLevel active_simd_level();

// The best level this CPU supports, ignoring the environment. On aarch64 NEON
// is part of the baseline, so it is always neon there.
SimdLevel cpu_simd_level();

// Every level this build can run on this CPU, lowest (scalar) first.
std::span<const SimdLevel> cpu_simd_levels();

// `level` itself when it is one of cpu_simd_levels(), else cpu_simd_level():
// a level above the CPU's, or of another architecture, runs as the best one.
SimdLevel usable_simd_level(SimdLevel level);

const char* simd_level_name(SimdLevel level);

}  // namespace kestrune
