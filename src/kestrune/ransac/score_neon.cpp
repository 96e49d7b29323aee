// Counting loops for NEON: four points per step, de-interleaved into x and y by
// one load. The ellipse shell takes two points per step in doubles, with the
// products and sums of the portable loop in its order (separate multiplies and
// adds: the build never contracts them, and check_objects.sh verifies that no
// fused multiply-add reaches the object).
#include <arm_neon.h>

#include "score_body.hpp"

namespace kestrune {

namespace {

// Lanes where e + k_hi >= 0 and e + k_lo <= 0, in wrapping 32-bit arithmetic.
inline uint32x4_t in_band(uint32x4_t e, uint32x4_t k_hi, uint32x4_t k_lo) {
    return vandq_u32(vcgezq_s32(vreinterpretq_s32_u32(vaddq_u32(e, k_hi))),
                     vclezq_s32(vreinterpretq_s32_u32(vaddq_u32(e, k_lo))));
}

struct BandLanes {
    uint32x4_t c0, c1, k_hi, k_lo;
    explicit BandLanes(const Band& b)
        : c0(vdupq_n_u32(static_cast<std::uint32_t>(b.c0))),
          c1(vdupq_n_u32(static_cast<std::uint32_t>(b.c1))),
          k_hi(vdupq_n_u32(static_cast<std::uint32_t>(b.k_hi))),
          k_lo(vdupq_n_u32(static_cast<std::uint32_t>(b.k_lo))) {}
    uint32x4_t test(uint32x4_t x, uint32x4_t y) const { return in_band(vmlaq_u32(vmulq_u32(c0, x), c1, y), k_hi, k_lo); }
};

// Runs count(xy, acc) over the whole steps of four points in blocks whose lane
// counters cannot overflow; returns the total and leaves k at the first point
// not counted.
template <class Step>
std::int64_t count_by_four(const std::uint8_t* data, std::int64_t n, std::int64_t& k, Step step) {
    std::int64_t total = 0;
    while (n - k >= 4) {
        const std::int64_t whole = (n - k) / 4 * 4;
        const std::int64_t end = k + (whole < kBlock ? whole : kBlock);
        uint32x4_t count = vdupq_n_u32(0);
        for (; k < end; k += 4) {
            const uint32x4x2_t xy = vld2q_u32(reinterpret_cast<const std::uint32_t*>(data + 8 * k));
            count = vsubq_u32(count, step(xy.val[0], xy.val[1]));
        }
        total += vaddvq_u32(count);
    }
    return total;
}

std::int64_t band_count_neon(const std::uint8_t* data, std::int64_t n, const Band& b) {
    const BandLanes band(b);
    std::int64_t k = 0;
    const std::int64_t total = count_by_four(data, n, k, [&](uint32x4_t x, uint32x4_t y) { return band.test(x, y); });
    return total + band_count(data + 8 * k, n - k, b);
}

std::int64_t band_xor_count_neon(const std::uint8_t* data, std::int64_t n, const Band& b1, const Band& b2) {
    const BandLanes one(b1), two(b2);
    std::int64_t k = 0;
    const std::int64_t total = count_by_four(
        data, n, k, [&](uint32x4_t x, uint32x4_t y) { return veorq_u32(one.test(x, y), two.test(x, y)); });
    return total + band_xor_count(data + 8 * k, n - k, b1, b2);
}

// The caller guarantees |x - cx|, |y - cy| <= 32767, so the squares and
// their sum fit in 32 bits as in the portable loop.
std::int64_t ring_count_neon(const std::uint8_t* data, std::int64_t n, const Ring32& r) {
    const int32x4_t cx = vdupq_n_s32(r.cx), cy = vdupq_n_s32(r.cy);
    const int32x4_t lo = vdupq_n_s32(r.lo), hi = vdupq_n_s32(r.hi);
    std::int64_t k = 0;
    const std::int64_t total = count_by_four(data, n, k, [&](uint32x4_t x, uint32x4_t y) {
        const int32x4_t dx = vsubq_s32(vreinterpretq_s32_u32(x), cx);
        const int32x4_t dy = vsubq_s32(vreinterpretq_s32_u32(y), cy);
        const int32x4_t d2 = vmlaq_s32(vmulq_s32(dx, dx), dy, dy);
        return vandq_u32(vcleq_s32(lo, d2), vcleq_s32(d2, hi));
    });
    return total + ring_count(data + 8 * k, n - k, r);
}

// b[0]*xx + b[1]*px*py + b[2]*yy + b[3]*px + b[4]*py + b[5], left to right.
inline float64x2_t conic(const double* b, float64x2_t px, float64x2_t py, float64x2_t xx, float64x2_t yy) {
    float64x2_t sum = vmulq_f64(vdupq_n_f64(b[0]), xx);
    sum = vaddq_f64(sum, vmulq_f64(vmulq_f64(vdupq_n_f64(b[1]), px), py));
    sum = vaddq_f64(sum, vmulq_f64(vdupq_n_f64(b[2]), yy));
    sum = vaddq_f64(sum, vmulq_f64(vdupq_n_f64(b[3]), px));
    sum = vaddq_f64(sum, vmulq_f64(vdupq_n_f64(b[4]), py));
    return vaddq_f64(sum, vdupq_n_f64(b[5]));
}

std::int64_t shell_count_neon(const std::uint8_t* data, std::int64_t n, const Shell& s) {
    const float64x2_t zero = vdupq_n_f64(0.0);
    uint64x2_t count = vdupq_n_u64(0);
    std::int64_t k = 0;
    for (; n - k >= 2; k += 2) {
        const int32x2x2_t xy = vld2_s32(reinterpret_cast<const std::int32_t*>(data + 8 * k));
        const float64x2_t px = vcvtq_f64_s64(vmovl_s32(xy.val[0])), py = vcvtq_f64_s64(vmovl_s32(xy.val[1]));
        const float64x2_t xx = vmulq_f64(px, px), yy = vmulq_f64(py, py);
        const uint64x2_t in = vandq_u64(vcgeq_f64(conic(s.b1, px, py, xx, yy), zero),
                                        vcleq_f64(conic(s.b2, px, py, xx, yy), zero));
        count = vsubq_u64(count, in);
    }
    return static_cast<std::int64_t>(vaddvq_u64(count)) + shell_count(data + 8 * k, n - k, s);
}

const ScoreKernels kNeonKernels = {band_count_neon, band_xor_count_neon, ring_count_neon, shell_count_neon};

}  // namespace

const ScoreKernels& score_kernels_neon() { return kNeonKernels; }

}  // namespace kestrune
