// Every instruction-set path of the masking kernels against the portable one.
#include <climits>
#include <cstdint>
#include <random>
#include <vector>

#include "check.hpp"
#include "kestrune/dispatch/masking.hpp"
#include "kestrune/color/pixel_test.hpp"
#include "kestrune/simd/level.hpp"

using namespace kestrune;

namespace {

std::mt19937 rng(12345);

std::int32_t draw(std::int32_t lo, std::int32_t hi) {
    return std::uniform_int_distribution<std::int32_t>(lo, hi)(rng);
}

// Bounds like the ones calculate_lch_bounds makes, or wilder: entries past the
// 16-bit range and limits whose products wrap in 32 bits.
LchBounds random_bounds(int flavour) {
    LchBounds b{};
    const std::int32_t span = flavour == 0 ? 512 : flavour == 1 ? 32767 : 0x7FFFFFFF;
    for (auto& m : b.M) m = flavour == 1 && draw(0, 3) == 0 ? (draw(0, 1) ? 32767 : -32768) : draw(-span, span);
    if (flavour == 0) b.M[6] = b.M[7] = b.M[8] = 85;
    const std::int32_t lim = flavour == 2 ? 0x7FFFFFFF : 1 << 18;
    for (auto* pair : {b.i, b.c}) {
        pair[0] = draw(-lim, lim / 2);
        pair[1] = draw(pair[0], lim);
    }
    return b;
}

struct Frame {
    std::int64_t rows, cols, row_stride, col_stride, out_stride;
    bool reversed;
    std::vector<std::uint8_t> pixels, out;

    ImageView image() {
        ImageView v;
        v.rows = rows;
        v.cols = cols;
        v.channels = 3;
        v.col_stride = col_stride;
        v.row_stride = reversed ? -row_stride : row_stride;
        v.data = pixels.data() + (reversed ? (rows - 1) * row_stride : 0);
        return v;
    }
    PlaneView plane() { return {out.data(), rows, cols, out_stride}; }
};

Frame make_frame(std::int64_t rows, std::int64_t cols, std::int64_t col_stride, std::int64_t pad, bool reversed) {
    Frame f{rows, cols, col_stride * cols + pad, col_stride, cols + pad, reversed, {}, {}};
    f.pixels.resize(static_cast<std::size_t>(rows * f.row_stride));
    for (auto& p : f.pixels) p = static_cast<std::uint8_t>(draw(0, 255));
    f.out.assign(static_cast<std::size_t>(rows * f.out_stride), 0xAB);
    return f;
}

using Kernel = std::uint32_t (*)(SimdLevel, const ImageView&, const PlaneView&, const LchBounds&);

// Runs `kernel` at every level this CPU has and compares with scalar, also the
// padding bytes (which must keep the sentinel).
bool same_at_every_level(Frame& f, const LchBounds& b, Kernel kernel) {
    bool same = true;
    kernel(SimdLevel::scalar, f.image(), f.plane(), b);
    const std::vector<std::uint8_t> expected = f.out;
    for (const SimdLevel level : cpu_simd_levels().subspan(1)) {
        std::fill(f.out.begin(), f.out.end(), 0xAB);
        const std::uint32_t n = kernel(level, f.image(), f.plane(), b);
        same = same && n == static_cast<std::uint32_t>(f.rows * f.cols) && f.out == expected;
    }
    return same;
}

const Kernel kKernels[] = {mask_image_at, selective_grayscale_at};

}  // namespace

TEST(scalar_path_matches_pixel_test_per_pixel) {
    Frame f = make_frame(5, 37, 3, 3, false);
    for (int flavour = 0; flavour < 3; ++flavour) {
        const LchBounds b = random_bounds(flavour);
        mask_image_at(SimdLevel::scalar, f.image(), f.plane(), b);
        bool ok = true;
        for (std::int64_t y = 0; y < f.rows; ++y) {
            for (std::int64_t x = 0; x < f.cols; ++x)
                ok = ok && f.out[y * f.out_stride + x] == color_mask(f.image().pixel(y, x), &b);
            for (std::int64_t x = f.cols; x < f.out_stride; ++x) ok = ok && f.out[y * f.out_stride + x] == 0xAB;
        }
        CHECK(ok);
    }
}

TEST(every_level_matches_scalar_on_odd_widths_and_strides) {
    // Around every set's block (16, 32, 64 pixels) and past two of them.
    const std::int64_t widths[] = {1, 3, 7, 15, 16, 17, 31, 32, 33, 39, 63, 64, 65, 64 + 7, 127, 129, 200 + 1};
    for (const Kernel kernel : kKernels) {
        for (std::int64_t w : widths) {
            for (int layout = 0; layout < 4; ++layout) {
                // packed; padded rows; reversed padded rows; pixels 4 bytes apart
                const std::int64_t pad = layout == 0 ? 0 : 5;
                Frame f = make_frame(4, w, layout == 3 ? 4 : 3, pad, layout == 2);
                for (int flavour = 0; flavour < 3; ++flavour) CHECK(same_at_every_level(f, random_bounds(flavour), kernel));
            }
        }
    }
}

TEST(every_level_matches_scalar_on_many_bounds) {
    for (const Kernel kernel : kKernels) {
        Frame f = make_frame(3, 97, 3, 0, false);
        for (int trial = 0; trial < 300; ++trial) CHECK(same_at_every_level(f, random_bounds(trial % 3), kernel));
    }
}

TEST(pixels_that_pass_give_the_grey_byte_even_when_sums_wrap) {
    // 200*M wraps past 2^31 here; scalar and vector paths must wrap alike.
    LchBounds b{{INT32_MIN, INT32_MAX}, {INT32_MIN, INT32_MAX}, {1, 0, 0, 0, 1, 0, 0x01000000, 0x00FFFFFF, 3}};
    Frame f = make_frame(2, 40, 3, 0, false);
    for (const Kernel kernel : kKernels) CHECK(same_at_every_level(f, b, kernel));
    selective_grayscale_at(cpu_simd_level(), f.image(), f.plane(), b);
    bool ok = true;
    for (std::int64_t x = 0; x < f.cols; ++x) {
        const std::uint8_t* px = f.image().pixel(0, x);
        const std::uint32_t v2 = 0x01000000u * px[0] + 0x00FFFFFFu * px[1] + 3u * px[2];
        const bool inside = px[0] > 0 && px[1] > 0;
        ok = ok && f.out[x] == (inside ? static_cast<std::uint8_t>(v2 >> 8) : 0);
    }
    CHECK(ok);
}

TEST(limits_at_the_ends_of_the_32_bit_range_and_empty_ranges) {
    // R takes every value; v2 = m*R runs over 0..255 or, wrapped, over the whole
    // 32-bit range in steps of 2^24; v0 = G, v1 = B, tmp = G + B.
    Frame f = make_frame(1, 256 + 7, 3, 0, false);
    for (std::int64_t x = 0; x < f.cols; ++x) f.pixels[3 * x] = static_cast<std::uint8_t>(x);
    const std::int32_t lo = INT32_MIN, hi = INT32_MAX;
    const std::int32_t pairs[][2] = {{lo, hi},         {hi, lo},          {lo, lo + 2},  {hi - 2, hi},
                                     {lo, lo},         {hi, hi},          {5, 5},        {5, 6},
                                     {5, 7},           {7, 5},            {-1, 1},       {254, 256},
                                     {0, 0x7F000001},  {lo, -0x7F000000}, {lo + 1, 0},   {0x7EFFFFFF, hi}};
    for (const std::int32_t m : {1, 0x01000000}) {
        for (const auto& pair : pairs) {
            for (int which = 0; which < 2; ++which) {
                LchBounds b{{lo, hi}, {lo, hi}, {0, 1, 0, 0, 0, 1, m, 0, 0}};
                std::int32_t* range = which == 0 ? b.i : b.c;
                range[0] = pair[0];
                range[1] = pair[1];
                for (const Kernel kernel : kKernels) CHECK(same_at_every_level(f, b, kernel));
            }
        }
    }
}

TEST(empty_images_write_nothing) {
    std::uint8_t out[4] = {7, 7, 7, 7};
    const LchBounds b = random_bounds(0);
    for (const SimdLevel level : cpu_simd_levels()) {
        ImageView none;
        CHECK(mask_image_at(level, none, PlaneView{}, b) == 0);
        ImageView zero_wide{out, 3, 0, 3, 0, 3};
        CHECK(selective_grayscale_at(level, zero_wide, PlaneView{out, 3, 0, 1}, b) == 0);
    }
    CHECK(out[0] == 7 && out[3] == 7);
}

namespace {

// An image and an output laid over one buffer, as byte offsets of their first
// row; strides may be negative (the offset then names the top row's start).
struct Overlay {
    std::int64_t rows, cols, image_at, row_stride, out_at, out_stride;
};

// What the in-order loop leaves in `buf`: row by row, pixel by pixel, each
// pixel read after every earlier pixel's output byte was written.
std::vector<std::uint8_t> in_order(std::vector<std::uint8_t> buf, const Overlay& o, const LchBounds& b, Kernel kernel) {
    for (std::int64_t y = 0; y < o.rows; ++y) {
        for (std::int64_t x = 0; x < o.cols; ++x) {
            const std::uint8_t* px = &buf[o.image_at + y * o.row_stride + 3 * x];
            const int v = kernel == mask_image_at ? color_mask(px, &b) : color_selective(px, &b);
            buf[o.out_at + y * o.out_stride + x] = static_cast<std::uint8_t>(v);
        }
    }
    return buf;
}

}  // namespace

TEST(outputs_overlapping_the_image_get_the_in_order_result_at_every_level) {
    // Half of random pixels pass these; the 0/1 bytes written back mostly fail,
    // so a pixel read after an overlapping store tests differently.
    const LchBounds half{{-1, 1000}, {64, 400}, {1, 0, 0, 0, 1, 0, 1, 1, 1}};
    std::vector<Overlay> overlays;
    for (const std::int64_t w : {1, 2, 15, 16, 17, 31, 33, 47, 64, 100}) {
        overlays.push_back({1, w, 0, 3 * w, 0, w});                // output = the image's first bytes
        overlays.push_back({1, w, 0, 3 * w, 2 * w, w});            // output over the image's last third
        overlays.push_back({1, w, 0, 3 * w, w + 1, w});            // ahead of the reads by w + 1 bytes
        overlays.push_back({1, w, 7, 3 * w, 0, w});                // output starts 7 bytes before the image
        overlays.push_back({3, w, 0, 3 * w + 5, 0, 3 * w + 5});    // each padded row's own first bytes
        overlays.push_back({3, w, 0, 3 * w, 3 * w - 1, w});        // packed rows, output from the end of row 0
        overlays.push_back({3, w, 2 * (3 * w + 2), -(3 * w + 2), 2 * (3 * w + 2) + w, -(3 * w + 2)});  // reversed rows
    }
    for (const Kernel kernel : kKernels) {
        for (const Overlay& o : overlays) {
            std::vector<std::uint8_t> buf(static_cast<std::size_t>(8 * o.rows * o.cols + 64));
            for (auto& v : buf) v = static_cast<std::uint8_t>(draw(0, 255));
            for (const LchBounds& b : {half, random_bounds(0), random_bounds(2)}) {
                const std::vector<std::uint8_t> want = in_order(buf, o, b, kernel);
                for (const SimdLevel level : cpu_simd_levels()) {
                    std::vector<std::uint8_t> got = buf;
                    const ImageView image{got.data() + o.image_at, o.rows, o.cols, 3, o.row_stride, 3};
                    const PlaneView out{got.data() + o.out_at, o.rows, o.cols, o.out_stride};
                    kernel(level, image, out, b);
                    CHECK(got == want);
                }
            }
        }
    }
}

TEST(outputs_next_to_the_image_still_take_the_vector_path_result) {
    // Sharing no byte (the output starts right after the last pixel, or ends
    // right before the first) is not overlap: same bytes as scalar anyway.
    for (const std::int64_t w : {16, 17, 33}) {
        std::vector<std::uint8_t> buf(static_cast<std::size_t>(8 * w));
        for (auto& v : buf) v = static_cast<std::uint8_t>(draw(0, 255));
        const LchBounds b{{-1, 1000}, {64, 400}, {1, 0, 0, 0, 1, 0, 1, 1, 1}};
        for (const std::int64_t out_at : {std::int64_t{0}, 4 * w}) {
            const std::int64_t image_at = out_at == 0 ? w : 0;
            const Overlay o{1, w, image_at, 3 * w, out_at, w};
            const std::vector<std::uint8_t> want = in_order(buf, o, b, mask_image_at);
            for (const SimdLevel level : cpu_simd_levels()) {
                std::vector<std::uint8_t> got = buf;
                mask_image_at(level, {got.data() + image_at, 1, w, 3, 3 * w, 3}, {got.data() + out_at, 1, w, w}, b);
                CHECK(got == want);
            }
        }
    }
}

TEST(levels_this_build_lacks_run_as_the_best_level) {
    // Another architecture's level, or one above the CPU's, must neither reach
    // missing code nor change the bytes.
    Frame f = make_frame(3, 45, 3, 2, false);
    const LchBounds b = random_bounds(0);
    mask_image_at(SimdLevel::scalar, f.image(), f.plane(), b);
    const std::vector<std::uint8_t> expected = f.out;
    for (const SimdLevel level :
         {SimdLevel::sse41, SimdLevel::avx2, SimdLevel::avx512bw, SimdLevel::avx512, SimdLevel::neon}) {
        std::fill(f.out.begin(), f.out.end(), 0xAB);
        mask_image_at(level, f.image(), f.plane(), b);
        CHECK(f.out == expected);
        CHECK(usable_simd_level(level) == level || usable_simd_level(level) == cpu_simd_level());
    }
    CHECK(cpu_simd_levels().front() == SimdLevel::scalar && cpu_simd_levels().back() == cpu_simd_level());
}
