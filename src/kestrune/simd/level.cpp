#include "level.hpp"

#include <cstdlib>
#include <cstring>

#include "../platform.hpp"

namespace kestrune {

namespace {

// The levels this build has kernels for (simd/sets.txt), lowest first.
constexpr SimdLevel kBuildLevels[] = {
    SimdLevel::scalar,
#if defined(KESTRUNE_SET_SSE41)
    SimdLevel::sse41,
#endif
#if defined(KESTRUNE_SET_AVX2)
    SimdLevel::avx2,
#endif
#if defined(KESTRUNE_SET_AVX512BW)
    SimdLevel::avx512bw,
#endif
#if defined(KESTRUNE_SET_AVX512)
    SimdLevel::avx512,
#endif
#if defined(KESTRUNE_SET_NEON)
    SimdLevel::neon,
#endif
};

}  // namespace

SimdLevel cpu_simd_level() {
#if KESTRUNE_X86
    const platform::X86Features cpu = platform::x86_features();
    if (cpu.avx512) return SimdLevel::avx512;
    if (cpu.avx512bw) return SimdLevel::avx512bw;
    if (cpu.avx2) return SimdLevel::avx2;
    if (cpu.sse41) return SimdLevel::sse41;
#elif defined(KESTRUNE_SET_NEON)
    return SimdLevel::neon;
#endif
    return SimdLevel::scalar;
}

std::span<const SimdLevel> cpu_simd_levels() {
    static const std::size_t count = [] {
        const SimdLevel best = cpu_simd_level();
        std::size_t k = 0;
        while (k + 1 < std::size(kBuildLevels) && kBuildLevels[k] != best) ++k;
        return k + 1;
    }();
    return {kBuildLevels, count};
}

SimdLevel usable_simd_level(SimdLevel level) {
    const std::span<const SimdLevel> levels = cpu_simd_levels();
    for (const SimdLevel l : levels)
        if (l == level) return level;
    return levels.back();  // the CPU's best, without asking the CPU again
}

const char* simd_level_name(SimdLevel level) {
    switch (level) {
        case SimdLevel::scalar: return "scalar";
        case SimdLevel::sse41: return "sse41";
        case SimdLevel::avx2: return "avx2";
        case SimdLevel::avx512bw: return "avx512bw";
        case SimdLevel::avx512: return "avx512";
        case SimdLevel::neon: return "neon";
    }
    return "scalar";
}

static SimdLevel decide_level() {
    const char* wanted = std::getenv("KESTRUNE_SIMD");
    if (wanted == nullptr || *wanted == '\0') return cpu_simd_level();
    // Only this build's names count; others (unknown, or another
    // architecture's) change nothing.
    for (const SimdLevel level : kBuildLevels)
        if (std::strcmp(wanted, simd_level_name(level)) == 0) return usable_simd_level(level);
    return cpu_simd_level();
}

SimdLevel active_simd_level() {
    static const SimdLevel level = decide_level();
    return level;
}

}  // namespace kestrune
