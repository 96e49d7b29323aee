// A ball cut by a thing in front: the straight line its mask ends on inside
// the disc, and whether the frame shows that line's edge running on past it.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "kestrune_find/native/cuts.hpp"

using namespace kestrune;
using namespace kestrune::find;

namespace {

constexpr std::int32_t kW = 160, kH = 120;
constexpr double kX = 80, kY = 60, kR = 30;

// A ball of radius 30 at (80, 60) on a background, with whatever `paint`
// puts over it; the mask set where the ball's colour shows, and its edge
// points: where the mask changes along every row and column.
struct Scene {
    std::vector<std::uint8_t> rgb = std::vector<std::uint8_t>(kW * kH * 3), bits = std::vector<std::uint8_t>(kW * kH);
    std::vector<EdgePoint> points;
    ImageView frame{rgb.data(), kH, kW, 3, 3 * kW, 3};
    PlaneView mask{bits.data(), kH, kW, kW};

    template <class Background, class Front>
    Scene(Background background, Front front) {
        for (std::int32_t y = 0; y < kH; ++y)
            for (std::int32_t x = 0; x < kW; ++x) {
                double c[3];
                const bool ball = std::hypot(x - kX, y - kY) <= kR;
                if (ball) {
                    c[0] = 200, c[1] = 40, c[2] = 40;
                } else {
                    background(x, y, c);
                }
                const bool hidden = front(x, y, c);
                bits[y * kW + x] = ball && !hidden;
                for (int q = 0; q < 3; ++q)
                    rgb[3 * (y * kW + x) + q] = static_cast<std::uint8_t>(std::lround(std::clamp(c[q], 0.0, 255.0)));
            }
        for (std::int32_t y = 0; y < kH; ++y)
            for (std::int32_t x = 1; x < kW; ++x)
                if (bits[y * kW + x] != bits[y * kW + x - 1]) points.push_back({x - 0.5, double(y), Side::right, 0});
        for (std::int32_t x = 0; x < kW; ++x)
            for (std::int32_t y = 1; y < kH; ++y)
                if (bits[y * kW + x] != bits[(y - 1) * kW + x]) points.push_back({double(x), y - 0.5, Side::below, 0});
    }
};

// A texture, rough everywhere: cells of 2 px of a random-looking grey.
double texture(std::int32_t x, std::int32_t y) {
    const std::uint32_t h = (static_cast<std::uint32_t>(x / 2) * 73856093u) ^ (static_cast<std::uint32_t>(y / 2) * 19349663u);
    return 70 + 100 * static_cast<double>((h * 2654435761u) >> 24) / 255.0;
}
void textured(std::int32_t x, std::int32_t y, double (&c)[3]) { c[0] = c[1] = c[2] = texture(x, y); }

}  // namespace

TEST(a_board_over_a_balls_side_runs_on_past_it) {
    // A smooth grey board over the ball's right side (x >= 98), reaching past
    // the ball above and below, on a rough background.
    const Scene scene(textured, [](std::int32_t x, std::int32_t, double (&c)[3]) {
        if (x < 98) return false;
        c[0] = c[1] = c[2] = 175;
        return true;
    });
    HalfPlane visible{};
    CHECK(cut_line(scene.points, scene.mask, {kX, kY, kR}, visible));
    // The line x = 97.5 or so, the ball's side to the left of it.
    CHECK(std::fabs(visible.nx + 1) < 0.01 && std::fabs(-visible.c - 97.5) < 1.0);
    CHECK(runs_on(scene.frame, scene.mask, {kX, kY, kR}, visible));
}

// Whether the ball cut at x = 98 with `background` showing past the cut (a
// half disc of the colour on it) reads as a ball behind a thing: the cut is
// found, and nothing runs on past it.
template <class Background>
bool half_disc_passes_for_hidden(Background background) {
    const Scene scene(background, [&](std::int32_t x, std::int32_t y, double (&c)[3]) {
        if (x < 98) return false;
        background(x, y, c);
        return true;
    });
    HalfPlane visible{};
    CHECK(cut_line(scene.points, scene.mask, {kX, kY, kR}, visible));
    return runs_on(scene.frame, scene.mask, {kX, kY, kR}, visible);
}

TEST(a_half_disc_has_no_thing_in_front_running_on_past_it) {
    CHECK(!half_disc_passes_for_hidden(textured));
    // A background that steps along that very line by chance: as rough on
    // the far side as on the near one, so nothing smooth lies in front.
    CHECK(!half_disc_passes_for_hidden([](std::int32_t x, std::int32_t y, double (&c)[3]) {
        c[0] = c[1] = c[2] = texture(x, y) + (x >= 98 ? 60 : 0);
    }));
    // A background that brightens steadily across the line: as much further
    // off it as at it, a gradient and no edge.
    CHECK(!half_disc_passes_for_hidden(
        [](std::int32_t x, std::int32_t, double (&c)[3]) { c[0] = c[1] = c[2] = 128 + 4.0 * (x - 98); }));

    // And a ball with nothing in front of it has no straight line inside.
    const Scene whole(textured, [](std::int32_t, std::int32_t, double (&)[3]) { return false; });
    HalfPlane visible{};
    CHECK(!cut_line(whole.points, whole.mask, {kX, kY, kR}, visible));
}
