// Balls of a pile seen by their shading: a solid blob drawn apart where the
// frame's brightness steps, and a disc fitted to where the frame shows it ends.
#include <cmath>
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "kestrune_find/native/shading.hpp"

using namespace kestrune;
using namespace kestrune::find;

namespace {

// A frame whose mask is set all over a box, with shaded balls on a flat
// colour of the same hue.
struct Scene {
    std::int32_t w, h;
    std::vector<std::uint8_t> rgb, bits;
    ImageView frame;
    PlaneView mask;
    ScanTable table;

    Scene(std::int32_t width, std::int32_t height, double flat)
        : w(width), h(height), rgb(static_cast<std::size_t>(width) * height * 3), bits(static_cast<std::size_t>(width) * height) {
        for (std::int32_t y = 0; y < h; ++y)
            for (std::int32_t x = 0; x < w; ++x) set(x, y, flat);
        frame = {rgb.data(), h, w, 3, 3 * static_cast<std::int64_t>(w), 3};
        mask = {bits.data(), h, w, w};
        table.frame = &frame;
        table.mask = &mask;
    }
    void set(std::int32_t x, std::int32_t y, double light) {
        std::uint8_t* p = rgb.data() + 3 * (static_cast<std::size_t>(y) * w + x);
        p[0] = static_cast<std::uint8_t>(std::lround(light));
        p[1] = static_cast<std::uint8_t>(std::lround(light * 0.8));
        p[2] = static_cast<std::uint8_t>(std::lround(light * 0.2));
    }
    // Shading that bends slowly across the ball, and a dark line round its
    // edge, where it meets the ball beside it.
    void ball(double cx, double cy, double r) {
        for (std::int32_t y = 0; y < h; ++y)
            for (std::int32_t x = 0; x < w; ++x) {
                const double d = std::hypot(x - cx, y - cy);
                if (d <= r) set(x, y, d > r - 1.5 ? 120 : 210 - 40 * (d / r) * (d / r));
            }
    }
    void fill(const PixelBox& box) {
        for (std::int32_t y = box.y0; y < box.y1; ++y)
            for (std::int32_t x = box.x0; x < box.x1; ++x) bits[static_cast<std::size_t>(y) * w + x] = 1;
    }
};

bool near_one_of(const std::vector<DiscShape>& discs, double x, double y, double r) {
    for (const DiscShape& d : discs)
        if (std::hypot(d.x - x, d.y - y) <= 0.35 * r) return true;
    return false;
}

}  // namespace

TEST(a_row_of_shaded_balls_in_one_blob_is_drawn_apart_and_fitted) {
    // Three balls of radius 16 touching in a row, the mask one box over them
    // and the flat colour round them: one blob, whose peaks are wider than a ball.
    Scene scene(150, 70, 110);
    for (int k = 0; k < 3; ++k) scene.ball(35 + 32 * k, 35, 16);
    const PixelBox box{10, 10, 140, 60};
    scene.fill(box);
    for (const DiscShape& p : Blob(scene.mask, box, 8).peaks(8, 40, 64)) CHECK(p.r > 1.3 * 16);

    const double step = crease_step(scene.table, box);
    const Blob split(split_mask(scene.table, box, Blob::step_for(8), step), box, 8);
    const std::vector<DiscShape> peaks = split.peaks(8, 40, 64);
    for (int k = 0; k < 3; ++k) CHECK(near_one_of(peaks, 35 + 32 * k, 35, 16));

    // From a place off the middle ball and short of its rim, to the ball: the
    // frame shows where it ends all round, a crease (not the mask's edge).
    DiscShape disc{65, 33, 12};
    CreaseRing ring;
    CHECK(fit_to_creases(scene.table, step, SimdLevel::scalar, disc, ring));
    CHECK(std::hypot(disc.x - 67, disc.y - 35) <= 1.0 && disc.r >= 13.5 && disc.r <= 16.5);  // the crease's inner side
    CHECK(ring.ring >= 0.9 && ring.creased >= 0.9 && ring.ends == static_cast<std::int32_t>(std::lround(ring.ring * 32)));
}

TEST(a_flat_blob_shows_no_creases) {
    // The colour's own patch, no ball in it: nothing drawn apart, nothing fitted.
    Scene scene(100, 60, 150);
    const PixelBox box{10, 10, 90, 50};
    scene.fill(box);
    const double step = crease_step(scene.table, box);
    const Blob split(split_mask(scene.table, box, Blob::step_for(8), step), box, 8);
    CHECK(split.peaks(8, 40, 64).size() == Blob(scene.mask, box, 8).peaks(8, 40, 64).size());
    DiscShape disc{50, 30, 12};
    CreaseRing ring;
    CHECK(!fit_to_creases(scene.table, step, SimdLevel::scalar, disc, ring));
}
