// The kernels built for AVX-512 with VBMI and VNNI.
#include "ops_avx512.hpp"

#include "kernels_body.hpp"

namespace kestrune {

const KernelTable& kernel_table_avx512() {
    static constexpr KernelTable table = table_of<Avx512>();
    return table;
}

}  // namespace kestrune
