// Plain value types shared by the kernels and the calling layer.
// Kernels include this header only; they never see the interpreter.
#pragma once

#include <cstdint>
#include <cstring>

namespace kestrune {

// All strides are in bytes and may be negative or not a multiple of the element
// size (any exporter may hand us such views), so elements are read with memcpy.

// H x W x C bytes; the channel axis is packed (stride 1).
struct ImageView {
    std::uint8_t* data = nullptr;
    std::int64_t rows = 0, cols = 0, channels = 0;
    std::int64_t row_stride = 0, col_stride = 0;

    const std::uint8_t* pixel(std::int64_t y, std::int64_t x) const {
        return data + y * row_stride + x * col_stride;
    }
};

// H x W bytes; the column axis is packed (stride 1).
struct PlaneView {
    std::uint8_t* data = nullptr;
    std::int64_t rows = 0, cols = 0;
    std::int64_t row_stride = 0;

    std::uint8_t* row(std::int64_t y) const { return data + y * row_stride; }
};

// N x 2 int32 points (x, y); the two integers of a row are packed.
// `cols` is kept for the calling layer's checks; kernels assume 2.
struct PointsView {
    std::uint8_t* data = nullptr;
    std::int64_t rows = 0, cols = 0;
    std::int64_t row_stride = 0;

    struct Point { std::int32_t x, y; };

    Point load(std::int64_t k) const {
        Point p;
        std::memcpy(&p, data + k * row_stride, sizeof p);
        return p;
    }
    void store(std::int64_t k, Point p) const {
        std::memcpy(data + k * row_stride, &p, sizeof p);
    }
    bool packed() const { return row_stride == 8 || rows <= 1; }
};

// One byte per point, contiguous.
struct MaskView {
    std::uint8_t* data = nullptr;
    std::int64_t size = 0;
};

// Fixed-point colour bounds: the pixel test's matrix and limits.
struct LchBounds {
    std::int32_t i[2];
    std::int32_t c[2];
    std::int32_t M[9];
};

// Fit results. All-zero means nothing was found.
struct Line { std::int32_t px, py, nx, ny; };
struct Line2 { Line l1, l2; };
struct Circle { std::int32_t x, y, r; };
struct Ellipse { double x, y, a, b, theta; };

// Instruction sets the dispatched kernels can run on, lowest first within an
// architecture: scalar everywhere, sse41 < avx2 < avx512bw < avx512 on x86
// (avx512bw: AVX-512 without VBMI and VNNI), neon on aarch64. Levels of two
// architectures are never compared.
enum class SimdLevel : int { scalar, sse41, avx2, avx512bw, avx512, neon };

}  // namespace kestrune
