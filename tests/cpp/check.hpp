// A tiny test harness for the kernel tests: register with TEST, assert with CHECK.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace kcheck {

struct Case {
    const char* name;
    std::function<void()> body;
};

inline std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

inline int& failures() {
    static int count = 0;
    return count;
}

struct Registrar {
    Registrar(const char* name, std::function<void()> body) {
        registry().push_back({name, std::move(body)});
    }
};

}  // namespace kcheck

#define KCHECK_CAT2(a, b) a##b
#define KCHECK_CAT(a, b) KCHECK_CAT2(a, b)
#define TEST(name)                                                              \
    static void name();                                                         \
    static kcheck::Registrar KCHECK_CAT(registrar_, name)(#name, name);         \
    static void name()

#define CHECK(cond)                                                             \
    do {                                                                        \
        if (!(cond)) {                                                          \
            std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
            ++kcheck::failures();                                               \
        }                                                                       \
    } while (0)
