#include "simd.hpp"

#include <cstdlib>
#include <cstring>

namespace kestrune {

SimdLevel cpu_simd_level() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq"))
        return SimdLevel::avx512;
    if (__builtin_cpu_supports("avx2")) return SimdLevel::avx2;
    if (__builtin_cpu_supports("sse4.1")) return SimdLevel::sse41;
#endif
    return SimdLevel::scalar;
}

const char* simd_level_name(SimdLevel level) {
    switch (level) {
        case SimdLevel::scalar: return "scalar";
        case SimdLevel::sse41: return "sse41";
        case SimdLevel::avx2: return "avx2";
        case SimdLevel::avx512: return "avx512";
    }
    return "scalar";
}

static SimdLevel decide_level() {
    SimdLevel best = cpu_simd_level();
    const char* wanted = std::getenv("KESTRUNE_SIMD");
    if (wanted == nullptr || *wanted == '\0') return best;
    for (int k = 0; k <= static_cast<int>(SimdLevel::avx512); ++k) {
        auto level = static_cast<SimdLevel>(k);
        if (std::strcmp(wanted, simd_level_name(level)) == 0)
            return level < best ? level : best;
    }
    return best;  // an unknown name changes nothing
}

SimdLevel active_simd_level() {
    static const SimdLevel level = decide_level();
    return level;
}

}  // namespace kestrune
