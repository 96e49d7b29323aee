// A ball's mirror image below it on a glossy floor is dropped; balls in a
// column of a pile, and images under weak finds, are not.
#include <cmath>
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "kestrune_find/native/reflections.hpp"

using namespace kestrune;
using namespace kestrune::find;

namespace {

struct Frame {
    std::int64_t w, h;
    std::vector<std::uint8_t> pixels;

    Frame(std::int64_t width, std::int64_t height) : w(width), h(height), pixels(static_cast<std::size_t>(width * height * 3), 90) {}
    ImageView view() { return {pixels.data(), h, w, 3, w * 3, 3}; }
    void disc(double cx, double cy, double r, std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
        for (std::int64_t y = 0; y < h; ++y)
            for (std::int64_t x = 0; x < w; ++x) {
                if (std::hypot(x - cx, y - cy) > r) continue;
                std::uint8_t* p = &pixels[static_cast<std::size_t>((y * w + x) * 3)];
                p[0] = red, p[1] = green, p[2] = blue;
            }
    }
};

Found disc_find(double x, double y, double r, double score) {
    Found f{};
    f.kind = ShapeKind::disc;
    f.values[0] = x, f.values[1] = y, f.values[2] = r;
    f.score = score;
    return f;
}

}  // namespace

TEST(chroma_reads_the_disc_middle) {
    Frame frame(60, 60);
    frame.disc(30, 30, 12, 200, 40, 40);
    const ImageView view = frame.view();
    CHECK(std::fabs(chroma(view, {30, 30, 12}) - 160) < 1e-9);
    CHECK(chroma(view, {-40, -40, 10}) < 0);  // nothing of it in the frame
}

TEST(a_faded_image_below_a_ball_is_dropped) {
    Frame frame(100, 120);
    frame.disc(50, 30, 15, 200, 40, 40);
    frame.disc(51, 60, 12, 120, 85, 85);  // the ball's colour faded toward the floor's, smaller
    const ImageView view = frame.view();
    std::vector<Found> found = {disc_find(50, 30, 15, 0.9), disc_find(51, 60, 12, 0.8)};
    drop_reflections(view, found, 0.625);
    CHECK(found.size() == 1 && found[0].values[1] == 30);

    // Under a find too weak to be sure of, it stays: a lower threshold must
    // not take a find away.
    found = {disc_find(50, 30, 15, 0.5), disc_find(51, 60, 12, 0.8)};
    drop_reflections(view, found, 0.625);
    CHECK(found.size() == 2);
}

TEST(balls_below_each_other_stay) {
    // A column of a pile, lit alike.
    Frame frame(160, 120);
    for (int k = 0; k < 3; ++k) frame.disc(30, 20 + 30 * k, 15, 200, 40, 40);
    std::vector<Found> found = {disc_find(30, 20, 15, 0.9), disc_find(30, 50, 15, 0.9), disc_find(30, 80, 15, 0.9)};
    drop_reflections(frame.view(), found, 0.625);
    CHECK(found.size() == 3);
    // A ball in shade below another, faded as an image would be, but with a
    // ball beside it: a pile's, not an image.
    frame.disc(90, 20, 15, 200, 40, 40);
    frame.disc(90, 50, 15, 120, 85, 85);
    frame.disc(120, 50, 15, 200, 40, 40);
    found = {disc_find(90, 20, 15, 0.9), disc_find(90, 50, 15, 0.9), disc_find(120, 50, 15, 0.9)};
    drop_reflections(frame.view(), found, 0.625);
    CHECK(found.size() == 3);
}
