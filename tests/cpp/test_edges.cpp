#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "check.hpp"
#include "kestrune/color/pixel_test.hpp"
#include "kestrune/dispatch/edges.hpp"
#include "kestrune/simd/kernels.hpp"

using namespace kestrune;

namespace {

using Pts = std::vector<std::int32_t>;  // x0, y0, x1, y1, ...

PlaneView plane_of(std::vector<std::uint8_t>& px, std::int64_t rows, std::int64_t cols) {
    return PlaneView{px.data(), rows, cols, cols};
}

PointsView points_of(Pts& buf) {
    return PointsView{reinterpret_cast<std::uint8_t*>(buf.data()), static_cast<std::int64_t>(buf.size() / 2), 2, 8};
}

Pts head(const Pts& buf, std::int32_t count) { return Pts(buf.begin(), buf.begin() + 2 * count); }

std::vector<std::uint8_t> block_4x4() {
    return {0, 0, 0, 0,  //
            0, 1, 1, 0,  //
            0, 1, 1, 0,  //
            0, 0, 0, 0};
}

}  // namespace

TEST(reverse_bits_reverses_each_half_in_place) {
    CHECK(reverse_bits(0) == 0);
    CHECK(reverse_bits(1) == 0x8000u);
    CHECK(reverse_bits(2) == 0x4000u);
    CHECK(reverse_bits(3) == 0xC000u);
    CHECK(reverse_bits(4) == 0x2000u);
    CHECK(reverse_bits(0xFFFFu) == 0xFFFFu);
    CHECK(reverse_bits(0x10000u) == 0x80000000u);
    CHECK(reverse_bits(0x00010001u) == 0x80008000u);
    CHECK(reverse_bits(0x12345678u) == 0x2C481E6Au);
    for (std::uint32_t n : {7u, 0xBEEFu, 0xDEADBEEFu}) CHECK(reverse_bits(reverse_bits(n)) == n);
}

TEST(line_positions_spread_by_halving) {
    const std::uint32_t rows480[] = {0, 240, 120, 360, 60, 300, 180, 420};
    const std::uint32_t cols640[] = {0, 320, 160, 480, 80, 400, 240, 560};
    for (std::uint32_t i = 0; i < 8; ++i) {
        CHECK(line_position(i, 480) == rows480[i]);
        CHECK(line_position(i, 640) == cols640[i]);
    }
    // The first 16 indices give floor(m * L / 16) for every m once.
    std::vector<int> seen(16, 0);
    for (std::uint32_t i = 0; i < 16; ++i) {
        const std::uint32_t p = line_position(i, 480);
        CHECK(p % 30 == 0);
        ++seen[p / 30];
    }
    for (int s : seen) CHECK(s == 1);
}

TEST(line_positions_stay_inside_for_counts_up_to_65536) {
    for (std::uint32_t extent : {1u, 3u, 6u, 65535u, 65536u, 65537u, 100000u, 2147483647u}) {
        bool inside = true;
        for (std::uint32_t i = 0; i < 65536; ++i) inside = inside && line_position(i, extent) < extent;
        CHECK(inside);
    }
    // Why larger counts are refused: the high half enters the product.
    CHECK(line_position(131072, 6) == 32768);
}

TEST(scan_of_4x4_block_gives_documented_order) {
    auto px = block_4x4();
    Pts buf(2 * 16, -7);
    const std::int32_t n = simple_edge(plane_of(px, 4, 4), points_of(buf), 4, 4);
    CHECK(n == 8);
    CHECK(head(buf, n) == (Pts{1, 2, 3, 2, 1, 1, 3, 1, 2, 1, 2, 3, 1, 1, 1, 3}));
    CHECK(buf[16] == -7);  // rows after the count untouched
}

TEST(capacity_ends_the_call_mid_row) {
    // Two runs in row 0; the second reaches the end of the row.
    std::vector<std::uint8_t> px = {1, 0, 0, 1, 1};
    for (std::int32_t capacity : {1, 2, 3}) {
        Pts buf(2 * capacity + 2, -1);
        PointsView ps = points_of(buf);
        ps.rows = capacity;
        const std::int32_t n = simple_edge(plane_of(px, 1, 5), ps, 1, 5);
        CHECK(n == capacity);
        const Pts all = {0, 0, 1, 0, 3, 0};
        CHECK(head(buf, n) == Pts(all.begin(), all.begin() + 2 * n));
        CHECK(buf[2 * capacity] == -1);
    }
    // The closing store counts too: capacity 4 with column points would follow.
    Pts buf(2 * 4);
    CHECK(simple_edge(plane_of(px, 1, 5), points_of(buf), 1, 0) == 4);
    CHECK(buf == (Pts{0, 0, 1, 0, 3, 0, 4, 0}));
}

TEST(long_rows_skip_zero_bytes_exactly) {
    // Runs placed around the 8- and 16-byte steps of the row search.
    const std::int64_t w = 61;
    std::vector<std::uint8_t> px(w, 0);
    for (std::int64_t x : {7, 8, 15, 16, 17, 33, 47, 60}) px[x] = static_cast<std::uint8_t>(x * 5 + 1);
    Pts buf(64);
    const std::int32_t n = simple_edge(plane_of(px, 1, w), points_of(buf), 1, 0);
    CHECK(n == 10);
    CHECK(head(buf, n) == (Pts{7, 0, 9, 0, 15, 0, 18, 0, 33, 0, 34, 0, 47, 0, 48, 0, 60, 0, 60, 0}));
}

TEST(negative_row_stride_equals_flipped_copy) {
    std::mt19937 rng(5);
    const std::int64_t h = 9, w = 13;
    std::vector<std::uint8_t> px(h * w), flipped(h * w);
    for (auto& v : px) v = rng() % 3 == 0;
    for (std::int64_t y = 0; y < h; ++y)
        for (std::int64_t x = 0; x < w; ++x) flipped[y * w + x] = px[(h - 1 - y) * w + x];
    PlaneView reversed{px.data() + (h - 1) * w, h, w, -w};
    Pts a(400), b(400);
    const std::int32_t na = simple_edge(reversed, points_of(a), 9, 13);
    const std::int32_t nb = simple_edge(plane_of(flipped, h, w), points_of(b), 9, 13);
    CHECK(na == nb);
    CHECK(a == b);
}

TEST(colour_scan_equals_mask_scan_for_every_capacity) {
    std::mt19937 rng(11);
    int rounds_with_points = 0;
    for (int round = 0; round < 20; ++round) {
        const std::int64_t h = 1 + rng() % 12, w = 1 + rng() % 150;
        std::vector<std::uint8_t> rgb(h * w * 3);
        for (auto& v : rgb) v = static_cast<std::uint8_t>(rng());
        LchBounds b{};
        for (auto& m : b.M) m = static_cast<std::int32_t>(rng() % 2001) - 1000;
        b.i[0] = -200000;
        b.i[1] = 200000;
        b.c[0] = -300000;
        b.c[1] = 300000;
        std::vector<std::uint8_t> mask(h * w);
        for (std::int64_t k = 0; k < h * w; ++k) mask[k] = static_cast<std::uint8_t>(color_mask(&rgb[3 * k], &b));
        const ImageView image{rgb.data(), h, w, 3, 3 * w, 3};
        const std::int32_t rc = rng() % 20, cc = rng() % 20;
        Pts full(2 * 1000);
        const std::int32_t total = simple_edge(plane_of(mask, h, w), points_of(full), rc, cc);
        rounds_with_points += total > 0;
        for (std::int32_t capacity = 0; capacity <= total + 1; ++capacity) {
            Pts a(2 * capacity + 2, 5), m(2 * capacity + 2, 5);
            PointsView pa = points_of(a), pm = points_of(m);
            pa.rows = pm.rows = capacity;
            const std::int32_t na = simple_edge_hsv(image, pa, b, rc, cc);
            const std::int32_t nm = simple_edge(plane_of(mask, h, w), pm, rc, cc);
            CHECK(na == nm);
            CHECK(a == m);
        }
    }
    CHECK(rounds_with_points > 5);
}

TEST(denoise_joins_gaps_and_drops_short_segments) {
    Pts in = {10, 5, 20, 5, 22, 5, 30, 5, 50, 5, 52, 5, 60, 5, 62, 5};
    Pts out(16, -1);
    const std::int32_t n = simple_denoise(points_of(in), points_of(out), 5);
    CHECK(n == 2);
    CHECK(head(out, n) == (Pts{10, 5, 30, 5}));
    CHECK(out[4] == -1);
}

TEST(denoise_tests_the_last_segment_and_bounds) {
    // Gap of exactly min_distance does not join; length exactly min_distance is kept.
    Pts in = {0, 0, 4, 0, 9, 0, 14, 0};
    Pts out(8, 0);
    CHECK(simple_denoise(points_of(in), points_of(out), 5) == 2);
    CHECK(head(out, 2) == (Pts{9, 0, 14, 0}));
    // A lone pair is written when long enough.
    Pts two = {3, 7, 3, 20};
    Pts out2(4, 0);
    CHECK(simple_denoise(points_of(two), points_of(out2), 13) == 2);
    CHECK(simple_denoise(points_of(two), points_of(out2), 14) == 0);
}

TEST(denoise_in_place_and_never_past_the_output) {
    Pts buf = {0, 1, 9, 1, 20, 1, 29, 1, 40, 1, 49, 1, 99, 99};
    PointsView ps = points_of(buf);
    const std::int32_t n = simple_denoise(ps, ps, 5);
    CHECK(n == 6);
    CHECK(buf == (Pts{0, 1, 9, 1, 20, 1, 29, 1, 40, 1, 49, 1, 99, 99}));
    Pts in = {0, 1, 9, 1, 20, 1, 29, 1, 40, 1, 49, 1};
    Pts small(4 + 2, -3);
    PointsView out = points_of(small);
    out.rows = 2;
    CHECK(simple_denoise(points_of(in), out, 5) == 2);
    CHECK(small[4] == -3);
}

TEST(remove_inliers_compacts_stably) {
    Pts in = {1, 1, 2, 2, 3, 3, 4, 4};
    std::vector<std::uint8_t> m = {1, 0, 255, 0};
    MaskView ms{m.data(), 4};
    CHECK(count_kept(points_of(in), ms) == 2);
    Pts out(8, -1);
    CHECK(remove_inliers(points_of(in), points_of(out), ms) == 2);
    CHECK(out == (Pts{2, 2, 4, 4, -1, -1, -1, -1}));
    CHECK(remove_inliers(points_of(in), points_of(in), ms) == 2);
    CHECK(in == (Pts{2, 2, 4, 4, 3, 3, 4, 4}));
}

TEST(vector_colour_block_equals_pixel_test) {
    std::mt19937 rng(17);
    std::vector<std::uint8_t> px(192);
    for (int round = 0; round < 200; ++round) {
        for (auto& v : px) v = static_cast<std::uint8_t>(rng());
        LchBounds b{};
        // Large entries make the sums wrap; small ones give mixed blocks.
        const bool wide = round % 2 == 0;
        for (auto& m : b.M) {
            m = wide ? static_cast<std::int32_t>(rng()) : static_cast<std::int32_t>(rng() % 2001) - 1000;
        }
        const std::int32_t span = wide ? 2000000000 : 200000;
        b.i[0] = -static_cast<std::int32_t>(rng() % span);
        b.i[1] = static_cast<std::int32_t>(rng() % span);
        b.c[0] = -static_cast<std::int32_t>(rng() % span);
        b.c[1] = static_cast<std::int32_t>(rng() % span);
        std::uint64_t expected = 0;
        for (int j = 0; j < 64; ++j) expected |= static_cast<std::uint64_t>(color_mask(&px[3 * j], &b)) << j;
        for (const SimdLevel level : cpu_simd_levels()) {
            const KernelTable& k = kernel_table(level);
            CHECK(k.scan.colour_block64(px.data(), b) == expected);
            // The same pixels as a column of a 2-pixel-wide image, read from
            // either side, top to bottom and bottom to top.
            std::vector<std::uint8_t> column(64 * 9);
            for (int lead = 0; lead < 2; ++lead) {
                for (int j = 0; j < 64; ++j) {
                    for (int c = 0; c < 3; ++c) column[9 * j + 3 * lead + c] = px[3 * j + c];
                }
                CHECK(k.scan.colour_column64(column.data() + 3 * lead, 9, lead, b) == expected);
                std::vector<std::uint8_t> upward(column.size());
                for (int j = 0; j < 64; ++j)
                    std::copy_n(&column[9 * j], 9, &upward[9 * (63 - j)]);
                CHECK(k.scan.colour_column64(upward.data() + 63 * 9 + 3 * lead, -9, lead, b) == expected);
            }
        }
    }
}

TEST(nonzero_block_equals_byte_test_at_every_level) {
    std::mt19937 rng(23);
    // Room to start the 64 bytes at every offset within a vector.
    std::vector<std::uint8_t> bytes(64 + 63);
    for (int round = 0; round < 300; ++round) {
        // Sparse, dense, and bytes whose only set bit is the top or the bottom one.
        for (auto& v : bytes) {
            const std::uint32_t r = rng();
            v = r % 4 == 0 ? 0 : static_cast<std::uint8_t>(round % 3 == 0 ? 0x80 : round % 3 == 1 ? 1 : r >> 8);
            if (round % 5 == 0 && r % 7 != 0) v = 0;
        }
        const std::size_t at = static_cast<std::size_t>(round % 64);
        std::uint64_t expected = 0;
        for (int j = 0; j < 64; ++j) expected |= static_cast<std::uint64_t>(bytes[at + j] != 0) << j;
        for (const SimdLevel level : cpu_simd_levels()) CHECK(kernel_table(level).scan.nonzero64(&bytes[at]) == expected);
    }
    const std::vector<std::uint8_t> zeros(64, 0), ones(64, 0xFF);
    for (const SimdLevel level : cpu_simd_levels()) {
        CHECK(kernel_table(level).scan.nonzero64(zeros.data()) == 0);
        CHECK(kernel_table(level).scan.nonzero64(ones.data()) == ~std::uint64_t{0});
    }
}

TEST(mask_scan_is_the_same_at_every_level) {
    // Rows long enough for whole 64-pixel blocks, with runs across their edges,
    // values of any size, and a row stride wider than the row.
    std::mt19937 rng(29);
    for (int round = 0; round < 40; ++round) {
        const std::int64_t h = 1 + rng() % 40, w = 1 + rng() % 300, stride = w + rng() % 5;
        std::vector<std::uint8_t> px(h * stride);
        std::uint8_t value = 0;
        for (auto& v : px) {
            if (rng() % 9 == 0) value = value != 0 ? 0 : static_cast<std::uint8_t>(1 + rng() % 255);
            v = value;
        }
        const PlaneView image{px.data(), h, w, stride};
        const std::int32_t rc = 1 + rng() % 40, cc = 1 + rng() % 40;
        Pts want(2 * 4000, -1);
        const std::int32_t n = simple_edge_with(kernel_table(SimdLevel::scalar).scan, image, points_of(want), rc, cc);
        CHECK(n > 0 || w * h < 64);
        for (const SimdLevel level : cpu_simd_levels()) {
            Pts got(want.size(), -1);
            CHECK(simple_edge_with(kernel_table(level).scan, image, points_of(got), rc, cc) == n);
            CHECK(got == want);
        }
    }
}
