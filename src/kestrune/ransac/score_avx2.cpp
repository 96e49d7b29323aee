// Counting loops built for the AVX2 instruction set.
#include <immintrin.h>

#include "score_body.hpp"

namespace kestrune {

namespace {

// The ring test by hand: the compiler's version spends two 32-bit multiplies
// and a shuffle per point pair, where one 16-bit pack and one multiply-add
// give the squared distances of eight points. Exact because the caller
// guarantees |dx|, |dy| <= 32767 (so the pack does not saturate).
std::int64_t ring_count_avx2(const std::uint8_t* data, std::int64_t n, const Ring32& r) {
    const __m256i centre = _mm256_setr_epi32(r.cx, r.cy, r.cx, r.cy, r.cx, r.cy, r.cx, r.cy);
    const __m256i below = _mm256_set1_epi32(r.lo - 1);  // lo >= 0
    const __m256i hi = _mm256_set1_epi32(r.hi);
    std::int64_t total = 0;
    std::int64_t k = 0;
    while (n - k >= 8) {
        const std::int64_t whole = (n - k) / 8 * 8;  // no std::min: nothing shared may be built here
        const std::int64_t end = k + (whole < kBlock ? whole : kBlock);
        __m256i count = _mm256_setzero_si256();
        for (; k < end; k += 8) {
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + 8 * k));
            const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + 8 * k + 32));
            const __m256i d = _mm256_packs_epi32(_mm256_sub_epi32(a, centre), _mm256_sub_epi32(b, centre));
            const __m256i d2 = _mm256_madd_epi16(d, d);
            const __m256i inside = _mm256_andnot_si256(_mm256_cmpgt_epi32(d2, hi), _mm256_cmpgt_epi32(d2, below));
            count = _mm256_sub_epi32(count, inside);
        }
        alignas(32) std::uint32_t lanes[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), count);
        for (std::uint32_t v : lanes) total += v;
    }
    return total + ring_count(data + 8 * k, n - k, r);
}

const ScoreKernels kAvx2Kernels = {band_count, band_xor_count, ring_count_avx2, shell_count};

}  // namespace

const ScoreKernels& score_kernels_avx2() { return kAvx2Kernels; }

}  // namespace kestrune
