// Everything that ISO C++ cannot say and each compiler says its own way: the
// target (KESTRUNE_X86, KESTRUNE_ARM64, KESTRUNE_SSE2), CPU feature queries, a 128-bit integer,
// overflow-checked addition, prefetch. One branch for GCC and Clang, one for
// MSVC; the rest of the code is standard.
#pragma once

#include <cstdint>
#include <type_traits>

#include "int128.hpp"

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#define KESTRUNE_X86 1
#else
#define KESTRUNE_X86 0
#endif

#if defined(__aarch64__) || defined(_M_ARM64)
#define KESTRUNE_ARM64 1
#else
#define KESTRUNE_ARM64 0
#endif

// SSE2 is part of every x86-64 target, so code may use it without dispatch.
#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define KESTRUNE_SSE2 1
#else
#define KESTRUNE_SSE2 0
#endif

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#elif !defined(__GNUC__) && !defined(__clang__)
#error "kestrune builds with GCC, Clang or MSVC"
#endif

namespace kestrune::platform {

// The same in both branches:
//   int128                    a signed 128-bit integer: the compiler's own, else
//                             Int128 (also when KESTRUNE_PORTABLE_INT128 is
//                             defined, so that GCC builds can test it)
//   x86_features()            (x86 only) the instruction sets below
//   add_overflow(a, b, &sum)  unsigned a + b: true when it wrapped; the wrapped
//                             sum in sum
//   prefetch(p)               ask for the cache line at p, for reading
//   KESTRUNE_ALWAYS_INLINE    on a function a kernel's loop calls once per block,
//                             which must not stay a call (the compiler may judge
//                             the vector body too large to inline)
//   KESTRUNE_TARGET_AVX2      on a function: its body (with what it inlines)
//                             compiled for AVX2 where the compiler can (GCC and
//                             Clang on x86), else for the baseline; for callers
//                             that checked the CPU first. KESTRUNE_TARGET_AVX2_BUILT
//                             tells which.

// x86 instruction sets the dispatched kernels use, as far as both the CPU and
// the operating system (saved vector registers) support them. avx512bw means
// the F, BW, VL and DQ subsets of AVX-512, which every AVX-512 CPU has; avx512
// those together with VBMI (byte permutes) and VNNI (word multiply-add with
// accumulation), as every AVX-512 CPU since 2019 has.
struct X86Features {
    bool sse41 = false, avx2 = false, avx512bw = false, avx512 = false;
};

#if defined(_MSC_VER) && !defined(__clang__)
#define KESTRUNE_ALWAYS_INLINE __forceinline
#else
#define KESTRUNE_ALWAYS_INLINE __attribute__((always_inline)) inline
#endif

#if KESTRUNE_X86 && (defined(__GNUC__) || defined(__clang__))
#define KESTRUNE_TARGET_AVX2 __attribute__((target("avx2")))
#define KESTRUNE_TARGET_AVX2_BUILT 1
#else
#define KESTRUNE_TARGET_AVX2
#define KESTRUNE_TARGET_AVX2_BUILT 0
#endif

#if defined(_MSC_VER) && !defined(__clang__)

using int128 = Int128;

#if KESTRUNE_X86
inline X86Features x86_features() {
    X86Features f;
    int r[4];
    __cpuid(r, 0);
    const int max_leaf = r[0];
    __cpuid(r, 1);
    const auto ecx1 = static_cast<unsigned>(r[2]);
    f.sse41 = ((ecx1 >> 19) & 1) != 0;
    const bool osxsave = ((ecx1 >> 27) & 1) != 0, avx = ((ecx1 >> 28) & 1) != 0;
    if (max_leaf < 7 || !osxsave || !avx) return f;
    const unsigned long long xcr0 = _xgetbv(0);
    if ((xcr0 & 0x6) != 0x6) return f;  // XMM and YMM state
    __cpuidex(r, 7, 0);
    const auto ebx7 = static_cast<unsigned>(r[1]), ecx7 = static_cast<unsigned>(r[2]);
    f.avx2 = ((ebx7 >> 5) & 1) != 0;
    const unsigned avx512_bits = (1u << 16) | (1u << 17) | (1u << 30) | (1u << 31);  // F, DQ, BW, VL
    const unsigned avx512_ecx = (1u << 1) | (1u << 11);                              // VBMI, VNNI
    f.avx512bw = (xcr0 & 0xE6) == 0xE6 && (ebx7 & avx512_bits) == avx512_bits;  // and opmask, ZMM state
    f.avx512 = f.avx512bw && (ecx7 & avx512_ecx) == avx512_ecx;
    return f;
}
#endif

template <class T>
inline bool add_overflow(T a, T b, T* sum) {
    static_assert(std::is_unsigned_v<T>);
    *sum = a + b;
    return *sum < a;
}

inline void prefetch(const void* p) {
#if KESTRUNE_X86
    _mm_prefetch(static_cast<const char*>(p), _MM_HINT_T0);
#elif defined(_M_ARM64)
    __prefetch(p);
#else
    (void)p;
#endif
}

#else  // GCC, Clang

#if defined(__SIZEOF_INT128__) && !defined(KESTRUNE_PORTABLE_INT128)
__extension__ typedef __int128 int128;
#else
using int128 = Int128;
#endif

#if KESTRUNE_X86
inline X86Features x86_features() {
    __builtin_cpu_init();
    X86Features f;
    f.sse41 = __builtin_cpu_supports("sse4.1");
    f.avx2 = __builtin_cpu_supports("avx2");
    f.avx512bw = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                 __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
    f.avx512 = f.avx512bw && __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vnni");
    return f;
}
#endif

template <class T>
inline bool add_overflow(T a, T b, T* sum) {
    static_assert(std::is_unsigned_v<T>);
    return __builtin_add_overflow(a, b, sum);
}

inline void prefetch(const void* p) { __builtin_prefetch(p); }

#endif

}  // namespace kestrune::platform
