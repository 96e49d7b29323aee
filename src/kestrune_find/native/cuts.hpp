// A ball cut by a thing in front of it: a bar, a board, a finger, of any
// colour, even one much like the background behind. Where the thing's edge
// crosses the ball, the colour's mask ends on a straight line inside the
// disc; and the thing goes on past the ball, so its edge runs on in the frame
// beyond the circle. A half disc of the colour, a cut blob or a stain ends on
// a straight side too, but nothing runs on past its ends.
#pragma once

#include <vector>

#include "evidence.hpp"
#include "scan.hpp"

namespace kestrune::find {

// The straight line the mask ends on inside the disc: fitted to the edge
// points deeper inside it than its rim, nearly all of which must lie on it
// along more than half the radius. `visible` is the line, as the side of it
// the colour shows on. False when the points draw no such line.
bool cut_line(const std::vector<EdgePoint>& points, const PlaneView& mask, const DiscShape& disc,
              HalfPlane& visible);

// Whether the frame shows the line's edge beyond the disc at either end:
// along it, past the circle, the colour on one side of it differs from the
// colour on the other side alike all the way (a thing's edge), not by
// chance (the background's texture).
bool runs_on(const ImageView& frame, const PlaneView& mask, const DiscShape& disc, const HalfPlane& line);

}  // namespace kestrune::find
