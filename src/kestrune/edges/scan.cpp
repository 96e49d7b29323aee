// One scan over spread rows and columns, shared by the mask and colour entries;
// only the pixel predicate differs between them.
#include <bit>
#include <cstring>
#include <type_traits>

#include "../color/pixel_test.hpp"
#include "edges.hpp"

namespace kestrune {
namespace {

using Point = PointsView::Point;

// A mask pixel is set when its byte is nonzero, whatever the value.
struct MaskPixels {
    bool operator()(const std::uint8_t* p) const { return *p != 0; }
};

// A colour pixel is set when it passes the colour test. The bounds are a
// private copy so the compiler can keep them in registers across the stores.
struct ColorPixels {
    LchBounds bounds;
    bool operator()(const std::uint8_t* p) const { return color_mask(p, &bounds) != 0; }
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

// First index of a zero byte in row[from, length), or length.
std::int64_t find_zero_byte(const std::uint8_t* row, std::int64_t from, std::int64_t length) {
    const void* hit = std::memchr(row + from, 0, static_cast<std::size_t>(length - from));
    return hit == nullptr ? length : static_cast<const std::uint8_t*>(hit) - row;
}

// First index of a nonzero byte in row[from, length), or length. Masks are
// mostly zero, so skip 16 bytes per test.
std::int64_t find_nonzero_byte(const std::uint8_t* row, std::int64_t from, std::int64_t length) {
    std::int64_t k = from;
    if constexpr (std::endian::native == std::endian::little) {
        for (; k + 16 <= length; k += 16) {
            std::uint64_t lo, hi;
            std::memcpy(&lo, row + k, 8);
            std::memcpy(&hi, row + k + 8, 8);
            if ((lo | hi) != 0) {
                return lo != 0 ? k + std::countr_zero(lo) / 8 : k + 8 + std::countr_zero(hi) / 8;
            }
        }
    }
    for (; k < length; ++k) {
        if (row[k] != 0) return k;
    }
    return length;
}

// First index k in [from, length) whose pixel's state equals `want_set`, or
// length. Pixel k of the line is at first + k * step.
template <class Pixels>
std::int64_t find_pixel(const Pixels& is_set, const std::uint8_t* first, std::int64_t step, std::int64_t from,
                        std::int64_t length, bool want_set) {
    if constexpr (std::is_same_v<Pixels, MaskPixels>) {
        if (step == 1) return want_set ? find_nonzero_byte(first, from, length) : find_zero_byte(first, from, length);
    }
    for (std::int64_t k = from; k < length; ++k) {
        if (is_set(first + k * step) == want_set) return k;
    }
    return length;
}

// Records the runs of one line as (first set pixel, first unset pixel after it
// or the line's last pixel). `at(k)` gives pixel k's (x, y). False when the
// point array filled up.
template <class Pixels, class At>
bool record_runs(const Pixels& is_set, const std::uint8_t* first, std::int64_t step, std::int64_t length,
                 PointSink& sink, At at) {
    std::int64_t k = 0;
    for (;;) {
        const std::int64_t start = find_pixel(is_set, first, step, k, length, true);
        if (start == length) return true;
        if (!sink.put(at(start).x, at(start).y)) return false;
        const std::int64_t end = find_pixel(is_set, first, step, start + 1, length, false);
        if (end == length) return sink.put(at(length - 1).x, at(length - 1).y);
        if (!sink.put(at(end).x, at(end).y)) return false;
        k = end + 1;
    }
}

struct XY {
    std::int64_t x, y;
};

// Rows at spread positions, then columns; pixel (x, y) is at
// data + y * row_stride + x * col_stride.
template <class Pixels>
std::int32_t scan_lines(const Pixels& is_set, const std::uint8_t* data, std::int64_t rows, std::int64_t cols,
                        std::int64_t row_stride, std::int64_t col_stride, const PointsView& ps,
                        std::int32_t row_count, std::int32_t column_count) {
    PointSink sink(ps);
    if (data == nullptr || rows <= 0 || cols <= 0 || sink.full()) return 0;
    for (std::int32_t i = 0; i < row_count; ++i) {
        const std::int64_t y = line_position(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(rows));
        const auto at = [y](std::int64_t x) { return XY{x, y}; };
        if (!record_runs(is_set, data + y * row_stride, col_stride, cols, sink, at)) return sink.count();
    }
    for (std::int32_t i = 0; i < column_count; ++i) {
        const std::int64_t x = line_position(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(cols));
        const auto at = [x](std::int64_t y) { return XY{x, y}; };
        if (!record_runs(is_set, data + x * col_stride, row_stride, rows, sink, at)) return sink.count();
    }
    return sink.count();
}

}  // namespace

std::int32_t simple_edge(const PlaneView& image, const PointsView& ps, std::int32_t row_count,
                         std::int32_t column_count) {
    return scan_lines(MaskPixels{}, image.data, image.rows, image.cols, image.row_stride, 1, ps, row_count,
                      column_count);
}

std::int32_t simple_edge_hsv(const ImageView& image, const PointsView& ps, const LchBounds& bounds,
                             std::int32_t row_count, std::int32_t column_count) {
    if (image.channels < 3) return 0;  // the colour test reads three bytes
    return scan_lines(ColorPixels{bounds}, image.data, image.rows, image.cols, image.row_stride,
                      image.col_stride, ps, row_count, column_count);
}

}  // namespace kestrune
