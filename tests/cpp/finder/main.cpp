// The finder's stages tested on their own, without the interpreter.
#include "check.hpp"

int main() {
    int failed_cases = 0;
    for (const auto& c : kcheck::registry()) {
        const int before = kcheck::failures();
        c.body();
        const bool ok = kcheck::failures() == before;
        if (!ok) ++failed_cases;
        std::printf("%s %s\n", ok ? "ok  " : "FAIL", c.name);
    }
    const int total = static_cast<int>(kcheck::registry().size());
    std::printf("%d passed, %d failed\n", total - failed_cases, failed_cases);
    return failed_cases == 0 ? 0 : 1;
}
