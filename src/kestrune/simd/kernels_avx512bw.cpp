// The kernels built for AVX-512 without VBMI and VNNI.
#include "ops_avx512bw.hpp"

#include "kernels_body.hpp"

namespace kestrune {

const KernelTable& kernel_table_avx512bw() {
    static constexpr KernelTable table = table_of<Avx512Bw>();
    return table;
}

}  // namespace kestrune
