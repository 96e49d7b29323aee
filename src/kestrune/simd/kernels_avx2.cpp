// The kernels built for AVX2.
#include "ops_avx2.hpp"

#include "kernels_body.hpp"

namespace kestrune {

const KernelTable& kernel_table_avx2() {
    static constexpr KernelTable table = table_of<Avx2>();
    return table;
}

}  // namespace kestrune
