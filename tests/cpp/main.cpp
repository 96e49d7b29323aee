#include "check.hpp"
#include "kestrune/simd/level.hpp"

int main() {
    int failed_cases = 0;
    for (const auto& c : kcheck::registry()) {
        int before = kcheck::failures();
        c.body();
        bool ok = kcheck::failures() == before;
        if (!ok) ++failed_cases;
        std::printf("%s %s\n", ok ? "ok  " : "FAIL", c.name);
    }
    // The tests compare each of these with the portable code; a run that lists
    // none compared nothing.
    std::printf("levels compared with scalar:");
    for (const kestrune::SimdLevel level : kestrune::cpu_simd_levels().subspan(1))
        std::printf(" %s", kestrune::simd_level_name(level));
    std::printf("\n");
    int total = static_cast<int>(kcheck::registry().size());
    std::printf("%d passed, %d failed\n", total - failed_cases, failed_cases);
    return failed_cases == 0 ? 0 : 1;
}
