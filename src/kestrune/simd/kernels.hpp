// The dispatch table: every kernel that has a version per instruction set,
// in the groups the layers below ask for (each group's type is declared with
// the code that runs on it). Each set's file (kernels_<set>.cpp, the sets
// listed in sets.txt) fills one table from the bodies written once over its
// vocabulary; the level is chosen once per process, and the entry points in
// dispatch/ pass its groups down. Adding a kernel: a field in its group, its
// line in table_of (kernels_body.hpp), and its body.
#pragma once

#include "../color/masking.hpp"
#include "../edges/edges.hpp"
#include "../ransac/score.hpp"
#include "level.hpp"

namespace kestrune {

struct KernelTable {
    MaskingKernels masking;
    ScanKernels scan;
    ScoreKernels score;
};

// The table for `level`, lowered to what the CPU has.
const KernelTable& kernel_table(SimdLevel level);

// The table of active_simd_level().
const KernelTable& active_kernels();

// Entry points of the kernels_<set>.cpp files.
const KernelTable& kernel_table_scalar();
const KernelTable& kernel_table_sse41();
const KernelTable& kernel_table_avx2();
const KernelTable& kernel_table_avx512bw();
const KernelTable& kernel_table_avx512();
const KernelTable& kernel_table_neon();

}  // namespace kestrune
