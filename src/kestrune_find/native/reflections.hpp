// A ball on a glossy floor shows its mirror image just below it: a disc of
// about its size, touching it, whose colour is the ball's faded into the
// floor's. Found as a ball of its own, it is a phantom.
#pragma once

#include <vector>

#include "kestrune/types.hpp"
#include "search.hpp"

namespace kestrune::find {

// The mean spread of the channels (brightest less darkest) over the disc's
// middle (inside 0.6 of its radius), read on a grid of about 10 samples across
// it; -1 when no sample lies inside the frame.
double chroma(const ImageView& frame, const DiscShape& disc);

// Drops each disc find that stands below another as its mirror image does:
// centred under it, of about its size, touching it, with much less chroma,
// and touching no other. Only finds scoring `sure` or more count as the
// ball above or as a neighbour, so that a lower threshold, which adds weaker
// finds, drops no find that a higher one keeps.
void drop_reflections(const ImageView& frame, std::vector<Found>& found, double sure);

}  // namespace kestrune::find
