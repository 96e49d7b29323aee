// The kernels built for SSE4.1.
#include "ops_sse41.hpp"

#include "kernels_body.hpp"

namespace kestrune {

const KernelTable& kernel_table_sse41() {
    static constexpr KernelTable table = table_of<Sse41>();
    return table;
}

}  // namespace kestrune
