// Balls touching in a pile: the colour's mask is one blob, whose outline the
// fits see as one large shape. Each ball's centre is a peak of the blob's
// distance from its unset pixels, at about the ball's radius.
#pragma once

#include <cstdint>
#include <vector>

#include "evidence.hpp"
#include "kestrune/types.hpp"

namespace kestrune::find {

// Pixels [x0, x1) x [y0, y1) of the mask.
struct PixelBox {
    std::int32_t x0, y0, x1, y1;

    bool holds(double x, double y) const { return x >= x0 && x < x1 && y >= y0 && y < y1; }
};

// A blob's set pixels in a box of the mask (those outside it count as
// unset), sampled every `step` pixels, with each one's distance from the
// nearest unset pixel. The distances live in the thread's working space:
// one Blob per thread at a time.
class Blob {
public:
    // step: every other pixel at least (the scan's own spacing), and a ball of
    // radius min_r eight cells across or more.
    Blob(const PlaneView& mask, const PixelBox& box, double min_r);

    // That step: the cells are the pixels (box.x0 + i step, box.y0 + j step).
    static std::int32_t step_for(double min_r);

    // The discs the distance's peaks draw, each peak at least `min_r` from the
    // unset pixels, its disc reaching to them, biggest first; a peak nearer a
    // bigger one than kPeakSpacing of its radius is the same disc. At most
    // `most` of them.
    std::vector<DiscShape> peaks(double min_r, double max_r, std::size_t most) const;

    // Of `discs`, those that touch `disc` as balls of a pile do: about one
    // size, their centres about a sum of radii apart, and the blob narrow
    // between them (a strip's peaks lie as far apart, but the strip is as
    // wide between them as at them).
    std::vector<DiscShape> touching(const std::vector<DiscShape>& discs, const DiscShape& disc) const;

    // Pixels from (x, y) to the nearest unset pixel, read at the nearest cell.
    double depth(double x, double y) const;

private:
    PixelBox box_;
    std::int32_t step_ = 1, w_ = 0, h_ = 0;
    const std::vector<std::int32_t>* d_ = nullptr;  // thirds of a cell
};

}  // namespace kestrune::find
