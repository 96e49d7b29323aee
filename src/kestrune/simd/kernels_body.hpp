// A set's table filled from the bodies, which are written once over the
// vocabulary. Included only by the kernels_<set>.cpp files, after their set's
// operations.
#pragma once

#include "../color/masking_body.hpp"
#include "../edges/color_block_body.hpp"
#include "../ransac/score_body.hpp"
#include "kernels.hpp"

namespace kestrune {
namespace {

template <class S>
constexpr KernelTable table_of() {
    return {{mask_run<S>, grey_run<S>},
            {S::nonzero64, colour_block64<S>, colour_column64<S>},
            {band_count<S>, band_xor_count<S>, ring_count<S>, shell_count<S>}};
}

}  // namespace
}  // namespace kestrune
