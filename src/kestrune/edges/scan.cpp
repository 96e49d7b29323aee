// One scan over spread rows and columns, shared by the mask and colour entries;
// only the pixel predicate differs between them.
#include <bit>

#include "../color/pixel_test.hpp"
#include "../platform.hpp"
#include "edges.hpp"

namespace kestrune {
namespace {

using Point = PointsView::Point;

// Each predicate turns up to 64 pixels of a line into a bit mask at once
// (bit j: pixel base + j is set), so runs come out of the mask with no
// per-pixel branch. Pixel k of a line is at first + k * step.

// A mask pixel is set when its byte is nonzero, whatever the value.
struct MaskPixels {
    using Nonzero64 = std::uint64_t (*)(const std::uint8_t*);

    Nonzero64 packed_block;

    MaskPixels for_column(std::int64_t, std::int64_t, std::int64_t, std::int64_t) const { return *this; }
    std::uint64_t block(const std::uint8_t* first, std::int64_t step, std::int64_t base, int n) const {
        const std::uint8_t* p = first + base * step;
        if (step == 1 && n == 64) return packed_block(p);
        std::uint64_t bits = 0;
        for (int j = 0; j < n; ++j) bits |= static_cast<std::uint64_t>(p[j * step] != 0) << j;
        return bits;
    }
};

// A colour pixel is set when it passes the colour test. The bounds are a
// private copy so the compiler can keep them in registers across the stores.
struct ColorPixels {
    using Block64 = std::uint64_t (*)(const std::uint8_t*, const LchBounds&);
    using Column64 = std::uint64_t (*)(const std::uint8_t*, std::int64_t, int, const LchBounds&);

    LchBounds bounds;
    Block64 packed_block;
    Column64 column_choice;
    Column64 column_block = nullptr;  // set per column, when its pixels allow it
    int lead = 0;

    // The column test may read a fourth byte with each pixel: with packed
    // pixels that is the next pixel's first byte, or on the last column the
    // previous pixel's last byte, so it never leaves the image. Its offsets
    // j * step (j < 16) are 32-bit, hence the bound on the row stride.
    ColorPixels for_column(std::int64_t x, std::int64_t cols, std::int64_t col_stride,
                           std::int64_t row_stride) const {
        ColorPixels column = *this;
        const std::int64_t max_step = std::int64_t{1} << 27;
        if (col_stride == 3 && cols >= 2 && row_stride <= max_step && row_stride >= -max_step) {
            column.column_block = column_choice;
            column.lead = x == cols - 1 ? 1 : 0;
        }
        return column;
    }

    bool inside(const std::uint8_t* px) const { return color_mask(px, &bounds) != 0; }
    std::uint64_t block(const std::uint8_t* first, std::int64_t step, std::int64_t base, int n) const {
        const std::uint8_t* p = first + base * step;
        if (n == 64 && step == 3) return packed_block(p, bounds);
        if (n == 64 && column_block != nullptr) return column_block(p, step, lead, bounds);
        std::uint64_t bits = 0;
        for (int j = 0; j < n; ++j) bits |= static_cast<std::uint64_t>(inside(p + j * step)) << j;
        return bits;
    }
};

struct XY {
    std::int64_t x, y;
};

// Stores points in order; a full array refuses, which ends the whole call.
class PointSink {
public:
    explicit PointSink(const PointsView& ps) : ps_(ps) {}
    bool full() const { return count_ >= ps_.rows; }
    bool put(std::int64_t x, std::int64_t y) {
        if (full()) return false;
        ps_.store(count_, Point{static_cast<std::int32_t>(x), static_cast<std::int32_t>(y)});
        ++count_;
        return true;
    }
    std::int32_t count() const { return static_cast<std::int32_t>(count_); }

private:
    PointsView ps_;
    std::int64_t count_ = 0;
};

// Records the runs of one line as (first set pixel, first unset pixel after it
// or the line's last pixel); `at(k)` gives pixel k's (x, y). Every change of
// state between neighbouring pixels is a stored point. False when the point
// array filled up.
template <class Pixels, class At>
bool record_runs(const Pixels& pixels, const std::uint8_t* first, std::int64_t step, std::int64_t length,
                 PointSink& sink, At at) {
    std::uint64_t in_run = 0;
    for (std::int64_t base = 0; base < length; base += 64) {
        const int n = length - base < 64 ? static_cast<int>(length - base) : 64;
        if (step > 64 || step < -64) {
            // Columns touch a new cache line, often a new page, per pixel, out
            // of reach of the hardware prefetchers: ask for the next block now.
            const std::int64_t ahead = length - base - 64 < 64 ? length - base - 64 : 64;
            for (std::int64_t j = 0; j < ahead; ++j) platform::prefetch(first + (base + 64 + j) * step);
        }
        const std::uint64_t bits = pixels.block(first, step, base, n);
        std::uint64_t changes = bits ^ ((bits << 1) | in_run);
        if (n < 64) changes &= (std::uint64_t{1} << n) - 1;
        for (; changes != 0; changes &= changes - 1) {
            const XY p = at(base + std::countr_zero(changes));
            if (!sink.put(p.x, p.y)) return false;
        }
        in_run = (bits >> (n - 1)) & 1;
    }
    if (in_run != 0) {
        const XY p = at(length - 1);
        return sink.put(p.x, p.y);
    }
    return true;
}

// Rows at spread positions, then columns; pixel (x, y) is at
// data + y * row_stride + x * col_stride.
template <class Pixels>
std::int32_t scan_lines(const Pixels& pixels, const std::uint8_t* data, std::int64_t rows, std::int64_t cols,
                        std::int64_t row_stride, std::int64_t col_stride, const PointsView& ps,
                        std::int32_t row_count, std::int32_t column_count) {
    PointSink sink(ps);
    if (data == nullptr || rows <= 0 || cols <= 0 || sink.full()) return 0;
    for (std::int32_t i = 0; i < row_count; ++i) {
        const std::int64_t y = line_position(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(rows));
        const auto at = [y](std::int64_t x) { return XY{x, y}; };
        if (!record_runs(pixels, data + y * row_stride, col_stride, cols, sink, at)) return sink.count();
    }
    for (std::int32_t i = 0; i < column_count; ++i) {
        const std::int64_t x = line_position(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(cols));
        const auto at = [x](std::int64_t y) { return XY{x, y}; };
        const Pixels column = pixels.for_column(x, cols, col_stride, row_stride);
        if (!record_runs(column, data + x * col_stride, row_stride, rows, sink, at)) return sink.count();
    }
    return sink.count();
}

}  // namespace

std::int32_t simple_edge_with(const ScanKernels& kernels, const PlaneView& image, const PointsView& ps,
                              std::int32_t row_count, std::int32_t column_count) {
    return scan_lines(MaskPixels{kernels.nonzero64}, image.data, image.rows, image.cols, image.row_stride, 1, ps,
                      row_count, column_count);
}

std::int32_t simple_edge_hsv_with(const ScanKernels& kernels, const ImageView& image, const PointsView& ps,
                                  const LchBounds& bounds, std::int32_t row_count, std::int32_t column_count) {
    if (image.channels < 3) return 0;  // the colour test reads three bytes
    const ColorPixels pixels{bounds, kernels.colour_block64, kernels.colour_column64};
    return scan_lines(pixels, image.data, image.rows, image.cols, image.row_stride, image.col_stride, ps, row_count,
                      column_count);
}

}  // namespace kestrune
