// What a disc's inside shows: a dark hole the colour encloses empties it; a
// sliver of something thin in front, cut off where the mask bridges it, does
// not.
#include <cmath>
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "kestrune_find/native/evidence.hpp"
#include "kestrune_find/native/scan.hpp"

using namespace kestrune;
using namespace kestrune::find;

namespace {

constexpr std::int64_t kSize = 100;

// An orange disc of radius 30 at the middle of a grey frame, with its mask,
// and what is painted over it dark (unset in the mask).
struct Scene {
    std::vector<std::uint8_t> pixels = std::vector<std::uint8_t>(kSize * kSize * 3, 90);
    std::vector<std::uint8_t> mask = std::vector<std::uint8_t>(kSize * kSize, 0);

    Scene() {
        paint([](double x, double y) { return std::hypot(x - 50, y - 50) <= 30; }, 230, 120, 30, 1);
    }
    template <class Inside>
    void paint(Inside inside, std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t set) {
        for (std::int64_t y = 0; y < kSize; ++y)
            for (std::int64_t x = 0; x < kSize; ++x) {
                if (!inside(static_cast<double>(x), static_cast<double>(y))) continue;
                std::uint8_t* p = &pixels[static_cast<std::size_t>((y * kSize + x) * 3)];
                p[0] = r, p[1] = g, p[2] = b;
                mask[static_cast<std::size_t>(y * kSize + x)] = set;
            }
    }
    Evidence inside() {
        const ImageView frame{pixels.data(), kSize, kSize, 3, kSize * 3, 3};
        const PlaneView plane{mask.data(), kSize, kSize, kSize};
        ScanTable table;
        table.build(plane, 64, 64, 2, 3, 10, &frame);
        Evidence ev;
        read_disc_inside(table, {50, 50, 30}, 4.5, ev);
        return ev;
    }
};

}  // namespace

TEST(a_dark_round_hole_empties_a_disc) {
    Scene scene;
    scene.paint([](double x, double y) { return std::hypot(x - 50, y - 50) <= 5; }, 40, 40, 40, 0);
    const Evidence ev = scene.inside();
    CHECK(ev.holed());
}

TEST(a_thin_sliver_in_front_is_no_hole) {
    // A dark diagonal band 3 px wide and 36 px long, enclosed by the colour:
    // about as many pixels as the hole above, but long and thin.
    Scene scene;
    scene.paint(
        [](double x, double y) {
            const double along = ((x - 50) + (y - 50)) / std::sqrt(2.0), across = ((x - 50) - (y - 50)) / std::sqrt(2.0);
            return std::fabs(along) <= 18 && std::fabs(across) <= 1.5;
        },
        40, 40, 40, 0);
    const Evidence ev = scene.inside();
    CHECK(!ev.holed() && ev.hole == 0);
}
