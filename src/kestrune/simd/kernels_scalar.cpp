// The portable kernels: the bodies on one lane.
#include "ops_scalar.hpp"

#include "kernels_body.hpp"

namespace kestrune {

const KernelTable& kernel_table_scalar() {
    static constexpr KernelTable table = table_of<Scalar>();
    return table;
}

}  // namespace kestrune
