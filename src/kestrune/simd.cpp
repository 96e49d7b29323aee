#include "simd.hpp"

#include <cstdlib>
#include <cstring>

#include "platform.hpp"

namespace kestrune {

SimdLevel cpu_simd_level() {
#if KESTRUNE_X86
    const platform::X86Features cpu = platform::x86_features();
    if (cpu.avx512) return SimdLevel::avx512;
    if (cpu.avx2) return SimdLevel::avx2;
    if (cpu.sse41) return SimdLevel::sse41;
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
