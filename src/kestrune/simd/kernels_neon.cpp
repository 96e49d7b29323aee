// The kernels built for NEON.
#include "ops_neon.hpp"

#include "kernels_body.hpp"

namespace kestrune {

const KernelTable& kernel_table_neon() {
    static constexpr KernelTable table = table_of<Neon>();
    return table;
}

}  // namespace kestrune
