// What a shape at a given place would leave on the scanned lines, and how much
// of it the runs show: set pixels inside it, and the change from set to unset
// across its outline.
#pragma once

#include <vector>

#include "scan.hpp"

namespace kestrune::find {

// A disc: centre and radius, in pixels.
struct DiscShape {
    double x, y, r;
};

// An ellipse: centre, semi-axis `a` along `theta` (radians from the x axis
// toward y), semi-axis `b` across it.
struct EllipseShape {
    double x, y, a, b, theta;
};

// A band of colour: the centre line through (px, py) with unit normal
// (nx, ny), `width` across, from t0 to t1 along the direction (-ny, nx)
// measured from (px, py). A thin line and a stripe are both bands.
struct BandShape {
    double px, py, nx, ny, width, t0, t1;
};

// The side of a line where nx * x + ny * y >= c, (nx, ny) a unit normal.
struct HalfPlane {
    double nx, ny, c;
};

// Lengths along the scanned lines, in pixels: of the shape's core (more than
// `rim` inside the outline) and of its middle (inside half its size), of the
// rim just inside the outline and of the rim just outside it, and how much of
// each agrees with the shape: set inside, unset outside. And the places where
// a scanned line crosses the outline, and how many of them show the change
// from set to unset.
struct Evidence {
    double core = 0, core_set = 0;
    // Of the core's unset length, what shows something unlike the background
    // (see crossings_hidden) and either lies between runs of the colour on
    // its line (a bar or a cable across a ball, whatever its brightness) or
    // is clearly darker than the colour: a ball hidden there by a thing in
    // front, not missing. Weighed only on discs large enough to be read so,
    // and only where the outline shows clearly; and the part of it that is
    // black. Where it lies between runs, their lengths on that line add up
    // in core_set: one surface behind the thing in front.
    double core_hidden = 0, core_hidden_dark = 0;
    double middle = 0, middle_set = 0;  // part of the core
    double inner_rim = 0, inner_rim_set = 0;
    double outer_rim = 0, outer_rim_clear = 0;
    double unclipped = 0;  // core, rims and outer rim with the parts outside the frame
    bool cut = false;      // read on one side of a thing in front only (see cuts.hpp)
    double crossings = 0, crossings_sharp = 0;
    double crossings_hidden = 0;  // unset on both sides, the frame just inside unlike the background
    // Of the crossings showing the outline whose frame colours were compared,
    // those where the colour fades across the rim instead of stepping, and
    // the sum of their steps (each as a share of the change from the middle).
    double crossings_compared = 0, crossings_faded = 0, steps = 0;
    // The frame along the scanned lines inside the core: how many lines were
    // read, and how often their brightness turned from rising to falling or
    // back by a clear step (a ball's shading turns at most at its highlight
    // and a seam; a coil's turns and gaps alternate all across it).
    double lines_read = 0, turns = 0;
    // The largest patch of unset pixels that the colour encloses inside the
    // core, as a share of the shape's area, and whether it is darker than the
    // colour around it: a ring's or a letter's hole, the background seen
    // through. (A glossy ball's highlight is enclosed too, but lighter and
    // small; its seam, and anything in front of it, reach its outline.)
    double hole = 0;
    bool hole_dark = false;

    // Set share inside the outline, or in the middle if lower; or, on a disc
    // large enough, the set share of the core where it is not hidden, when at
    // least half of it shows (less behind something black); none when the
    // frame inside turns from light to dark and back too often (a coil or a
    // weave of the colour, which blur and a wide colour fill in the mask), or
    // shows a dark hole, or a hole larger than any highlight.
    double fill() const;
    bool striped() const;
    bool holed() const;
    double clear() const;    // unset share of the outer rim
    // Share of the crossings not hidden that change from set to unset; none
    // when the frame's colour fades across most of them, or steps across
    // them by less than kMinMeanStep on average (a glow of the colour has a
    // mask as round as a ball's, but no edge in the frame).
    double outline() const;
    double seen() const;     // share of the shape's evidence inside the frame
    // A disc or an ellipse: filled, and its outline there. The outline counts
    // twice, as a rim standing clear and as the change seen where the lines
    // cross it: a disc drawn inside a larger patch of the colour has neither,
    // one drawn through specks or around a ring's hole no fill, a blob of
    // about the right size a ragged outline, and a ball partly hidden by
    // something of another colour keeps its clear rim, and its outline
    // where it shows.
    double score() const { return fill() * (clear() + outline()) / 2; }
    // A band: filled and standing clear (its ends are not scanned across).
    double band_score() const { return fill() * clear(); }
};

// touching: discs beside it (balls of a pile), whose part of its outer rim
// is left out.
// visible: when given, only the disc's part on that side is read (a thing in
// front hides the rest; see cuts.hpp), as the frame's edges clip it.
Evidence disc_evidence(const ScanTable& table, const DiscShape& disc, double rim,
                       const std::vector<DiscShape>* touching = nullptr, const HalfPlane* visible = nullptr);
// hiding: weigh what hides the core (a ball stretched by the lens is
// weighed as an ellipse; an ellipse searched for as such, with two more free
// parameters to bend around part of a shape, is weighed on what shows).
Evidence ellipse_evidence(const ScanTable& table, const EllipseShape& ellipse, double rim, bool hiding);
// Add what the frame and the mask show inside the shape's core to `ev`: the
// turns (lines_read, turns) and the largest enclosed hole (hole, hole_dark).
// It reads every pixel there: worth it only for a shape that would otherwise
// be found.
void read_disc_inside(const ScanTable& table, const DiscShape& disc, double rim, Evidence& ev);
void read_ellipse_inside(const ScanTable& table, const EllipseShape& ellipse, double rim, Evidence& ev);
Evidence band_evidence(const ScanTable& table, const BandShape& band, double rim);
// How far out the frame's colour turns from the shape's to what lies beyond
// it, as a share of the shape's size, read as each channel's share of the
// pixel's sum: shading and a blurred rim darken a ball's colour, and the
// colour's mask ends short of its edge, but its shares stay. Along each ray
// from the centre that crosses the rim where the mask is set, the length
// that is the shape's (each sample's share of the shape's colour in its mix
// with the colour beyond, summed), over the shape's radius that way; the
// median of those, or 1 where too few rays show a clear change (or the frame
// is not at hand).
double outline_scale(const ScanTable& table, const EllipseShape& ellipse);

}  // namespace kestrune::find
