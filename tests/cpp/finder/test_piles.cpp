// Balls touching in a pile: where the blob's distance peaks, and which of
// those peaks touch as balls do.
#include <cmath>
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "kestrune_find/native/piles.hpp"

using namespace kestrune;
using namespace kestrune::find;

namespace {

struct Mask {
    std::int32_t w, h;
    std::vector<std::uint8_t> pixels;

    Mask(std::int32_t width, std::int32_t height) : w(width), h(height), pixels(static_cast<std::size_t>(width) * height) {}
    PlaneView view() { return {pixels.data(), h, w, w}; }
    void disc(double cx, double cy, double r) {
        for (std::int32_t y = 0; y < h; ++y)
            for (std::int32_t x = 0; x < w; ++x)
                if (std::hypot(x - cx, y - cy) <= r) pixels[static_cast<std::size_t>(y) * w + x] = 1;
    }
    void box(std::int32_t x0, std::int32_t y0, std::int32_t x1, std::int32_t y1) {
        for (std::int32_t y = y0; y < y1; ++y)
            for (std::int32_t x = x0; x < x1; ++x) pixels[static_cast<std::size_t>(y) * w + x] = 1;
    }
};

bool near_one_of(const std::vector<DiscShape>& discs, double x, double y, double r) {
    for (const DiscShape& d : discs)
        if (std::hypot(d.x - x, d.y - y) <= 0.35 * r && std::fabs(d.r - r) <= 0.3 * r) return true;
    return false;
}

}  // namespace

TEST(peaks_of_a_pile_are_its_balls_and_touch) {
    // Three by two balls of radius 12 in rows and columns, touching.
    Mask mask(120, 80);
    for (int row = 0; row < 2; ++row)
        for (int col = 0; col < 3; ++col) mask.disc(25 + 24 * col, 25 + 24 * row, 12);
    const PlaneView view = mask.view();
    const Blob blob(view, {0, 0, 120, 80}, 8);
    const std::vector<DiscShape> peaks = blob.peaks(8, 40, 64);
    CHECK(peaks.size() == 6);
    for (int row = 0; row < 2; ++row)
        for (int col = 0; col < 3; ++col) CHECK(near_one_of(peaks, 25 + 24 * col, 25 + 24 * row, 12));
    // A corner ball touches two, the middle ones three (not the diagonal).
    for (const DiscShape& p : peaks) {
        const bool middle = std::fabs(p.x - 49) < 4;
        CHECK(blob.touching(peaks, p).size() == (middle ? 3u : 2u));
    }
}

TEST(a_strip_is_no_pile) {
    // The peaks along a strip lie a diameter apart as well, but the strip is
    // as wide between them as at them.
    Mask mask(160, 40);
    mask.box(10, 8, 150, 32);
    const PlaneView view = mask.view();
    const Blob blob(view, {0, 0, 160, 40}, 8);
    const std::vector<DiscShape> peaks = blob.peaks(8, 40, 64);
    CHECK(peaks.size() >= 2);
    for (const DiscShape& p : peaks) CHECK(blob.touching(peaks, p).empty());
}

TEST(a_lone_ball_and_the_box_edge) {
    // One ball: one peak at its centre; pixels beyond the box count as unset.
    Mask mask(60, 60);
    mask.disc(30, 30, 14);
    const PlaneView view = mask.view();
    const std::vector<DiscShape> whole = Blob(view, {0, 0, 60, 60}, 8).peaks(8, 40, 64);
    CHECK(whole.size() == 1 && near_one_of(whole, 30, 30, 14));
    const std::vector<DiscShape> cut = Blob(view, {0, 0, 60, 30}, 8).peaks(8, 40, 64);
    for (const DiscShape& p : cut) CHECK(p.r < 10);
}
