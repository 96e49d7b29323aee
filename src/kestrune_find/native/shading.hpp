// Balls of a pile seen by their shading. Where balls lie on and against one
// another (two layers, a box full), the colour's mask is one solid blob with
// no outline between them; but where one ball ends in front of another the
// frame's brightness steps, from the shaded side of one to the lit side of
// the next, or both darken into a crease. A ball's own shading bends slowly.
#pragma once

#include "evidence.hpp"
#include "piles.hpp"
#include "refine.hpp"
#include "scan.hpp"

namespace kestrune::find {

// The least step in brightness (the largest channel, which carries it for
// every hue) across two pixels that marks where a ball ends: a share of the
// colour's typical brightness in the box (read on a grid), and a floor
// above noise and JPEG.
double crease_step(const ScanTable& table, const PixelBox& box);

// The mask at the cells of the box every `cell` pixels each way (those a
// Blob of that spacing reads), each cleared where the brightness steps by
// `step` or more across two pixels along its row or its column within half a
// cell of it: the balls of a solid blob drawn apart. Only those cells are
// written; the plane is the thread's, the frame's size, and lasts until the
// thread's next call.
const PlaneView& split_mask(const ScanTable& table, const PixelBox& box, std::int32_t cell, double step);

// Where a disc's circle shows in the frame (see fit_to_creases).
struct CreaseRing {
    std::int32_t ends = 0;  // rays whose first end from near the centre lies on the circle
    double ring = 0;        // their share of the rays
    double creased = 0;     // the share of the rays where that end is a step in the frame, not the mask's
};

// The disc moved to where the frame shows it ends, read along rays from its
// centre: on each, the first place past half the radius where the mask ends
// or the brightness steps by `step`; a circle fitted to those, twice, the
// second time to those near the first circle. False when too few rays show
// an end, or the circle moves further than its radius.
bool fit_to_creases(const ScanTable& table, double step, SimdLevel level, DiscShape& disc, CreaseRing& ring);

}  // namespace kestrune::find
