// The counting loops, compiled once per instruction set by the score_*.cpp
// files. Everything here has internal linkage, so no copy built for a wider
// instruction set can stand in for another at link time.
#pragma once

#include <cstdint>
#include <cstring>

#include "score.hpp"

namespace {

using kestrune::Band;
using kestrune::Ring32;
using kestrune::Shell;

inline std::uint32_t load_u32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline std::int32_t load_i32(const std::uint8_t* p) {
    std::int32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Rows per block: the per-lane counters are 32-bit.
constexpr std::int64_t kBlock = std::int64_t{1} << 30;

inline std::uint32_t in_band(std::uint32_t e, const Band& b) {
    const auto hi = static_cast<std::int32_t>(e + static_cast<std::uint32_t>(b.k_hi));
    const auto lo = static_cast<std::int32_t>(e + static_cast<std::uint32_t>(b.k_lo));
    return static_cast<std::uint32_t>(hi >= 0) & static_cast<std::uint32_t>(lo <= 0);
}

std::int64_t band_count(const std::uint8_t* data, std::int64_t n, const Band& b) {
    const auto c0 = static_cast<std::uint32_t>(b.c0), c1 = static_cast<std::uint32_t>(b.c1);
    std::int64_t total = 0;
    for (std::int64_t start = 0; start < n; start += kBlock) {
        const std::int64_t end = n - start < kBlock ? n : start + kBlock;
        std::uint32_t count = 0;
        for (std::int64_t k = start; k < end; ++k) {
            const std::uint32_t x = load_u32(data + 8 * k), y = load_u32(data + 8 * k + 4);
            count += in_band(c0 * x + c1 * y, b);
        }
        total += count;
    }
    return total;
}

std::int64_t band_xor_count(const std::uint8_t* data, std::int64_t n, const Band& b1, const Band& b2) {
    const auto c10 = static_cast<std::uint32_t>(b1.c0), c11 = static_cast<std::uint32_t>(b1.c1);
    const auto c20 = static_cast<std::uint32_t>(b2.c0), c21 = static_cast<std::uint32_t>(b2.c1);
    std::int64_t total = 0;
    for (std::int64_t start = 0; start < n; start += kBlock) {
        const std::int64_t end = n - start < kBlock ? n : start + kBlock;
        std::uint32_t count = 0;
        for (std::int64_t k = start; k < end; ++k) {
            const std::uint32_t x = load_u32(data + 8 * k), y = load_u32(data + 8 * k + 4);
            count += in_band(c10 * x + c11 * y, b1) ^ in_band(c20 * x + c21 * y, b2);
        }
        total += count;
    }
    return total;
}

std::int64_t ring_count(const std::uint8_t* data, std::int64_t n, const Ring32& r) {
    std::int64_t total = 0;
    for (std::int64_t start = 0; start < n; start += kBlock) {
        const std::int64_t end = n - start < kBlock ? n : start + kBlock;
        std::uint32_t count = 0;
        for (std::int64_t k = start; k < end; ++k) {
            // The caller guarantees the differences and their squares fit.
            const std::int32_t dx = load_i32(data + 8 * k) - r.cx, dy = load_i32(data + 8 * k + 4) - r.cy;
            const std::int32_t d2 = dx * dx + dy * dy;
            count += static_cast<std::uint32_t>(r.lo <= d2) & static_cast<std::uint32_t>(d2 <= r.hi);
        }
        total += count;
    }
    return total;
}

std::int64_t shell_count(const std::uint8_t* data, std::int64_t n, const Shell& s) {
    const double* b1 = s.b1;
    const double* b2 = s.b2;
    std::int64_t total = 0;
    for (std::int64_t start = 0; start < n; start += kBlock) {
        const std::int64_t end = n - start < kBlock ? n : start + kBlock;
        std::uint32_t count = 0;
        for (std::int64_t k = start; k < end; ++k) {
            const double px = load_i32(data + 8 * k), py = load_i32(data + 8 * k + 4);
            const double xx = px * px, yy = py * py;
            const double inner = b1[0] * xx + b1[1] * px * py + b1[2] * yy + b1[3] * px + b1[4] * py + b1[5];
            const double outer = b2[0] * xx + b2[1] * px * py + b2[2] * yy + b2[3] * px + b2[4] * py + b2[5];
            count += static_cast<std::uint32_t>(inner >= 0) & static_cast<std::uint32_t>(outer <= 0);
        }
        total += count;
    }
    return total;
}

[[maybe_unused]] const kestrune::ScoreKernels kKernels = {band_count, band_xor_count, ring_count, shell_count};

}  // namespace
