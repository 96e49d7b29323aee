// A signed 128-bit integer in ISO C++, for compilers without a native one.
// Behaves like GCC's __int128 for the operations the circle fit uses: wrapping
// +, -, *, division truncated toward zero, ordering, and conversions to
// narrower integers (modular) and to double (correctly rounded).
#pragma once

#include <bit>
#include <cmath>
#include <compare>
#include <cstdint>
#include <type_traits>

namespace kestrune {

class Int128 {
public:
    constexpr Int128() = default;
    constexpr Int128(std::int64_t v)  // implicit, as for a built-in integer
        : lo_(static_cast<std::uint64_t>(v)), hi_(v < 0 ? ~std::uint64_t{0} : 0) {}

    static constexpr Int128 from_words(std::uint64_t hi, std::uint64_t lo) {
        Int128 r;
        r.hi_ = hi;
        r.lo_ = lo;
        return r;
    }
    constexpr std::uint64_t high_word() const { return hi_; }
    constexpr std::uint64_t low_word() const { return lo_; }

    friend constexpr Int128 operator+(Int128 a, Int128 b) {
        const std::uint64_t lo = a.lo_ + b.lo_;
        return from_words(a.hi_ + b.hi_ + (lo < a.lo_ ? 1 : 0), lo);
    }
    friend constexpr Int128 operator-(Int128 a, Int128 b) {
        return from_words(a.hi_ - b.hi_ - (a.lo_ < b.lo_ ? 1 : 0), a.lo_ - b.lo_);
    }
    friend constexpr Int128 operator-(Int128 a) { return Int128{} - a; }

    // The low 128 bits of the product, the same for signed and unsigned words.
    friend constexpr Int128 operator*(Int128 a, Int128 b) {
        Int128 r = mul_64x64(a.lo_, b.lo_);
        r.hi_ += a.lo_ * b.hi_ + a.hi_ * b.lo_;
        return r;
    }

    // Truncated toward zero, as C++ integer division; b must not be zero.
    friend constexpr Int128 operator/(Int128 a, Int128 b) {
        const Int128 q = divide_magnitudes(a.magnitude(), b.magnitude());
        return a.negative() != b.negative() ? -q : q;
    }

    friend constexpr bool operator==(Int128 a, Int128 b) = default;
    friend constexpr std::strong_ordering operator<=>(Int128 a, Int128 b) {
        const auto ha = static_cast<std::int64_t>(a.hi_), hb = static_cast<std::int64_t>(b.hi_);
        if (ha != hb) return ha <=> hb;
        return a.lo_ <=> b.lo_;
    }

    template <class T>
        requires std::is_integral_v<T>
    explicit constexpr operator T() const {
        return static_cast<T>(lo_);
    }

    // Round to nearest, ties to even, like every integer-to-double conversion.
    explicit operator double() const {
        const Int128 m = magnitude();  // 2^127 for the minimum, read as unsigned
        double value;
        if (m.hi_ == 0 && m.lo_ < (std::uint64_t{1} << 63)) {
            value = static_cast<double>(static_cast<std::int64_t>(m.lo_));
        } else {
            // Keep the top 63 bits and fold every dropped bit into bit 0: that
            // bit lies 10 places below the last one a double keeps, so the
            // single rounding of the int64 conversion sees the exact tie or
            // excess, and scaling by 2^shift is exact.
            const int length = m.hi_ != 0 ? 64 + std::bit_width(m.hi_) : 64;
            const int shift = length - 63;  // 1..65
            std::uint64_t top, dropped;
            if (shift < 64) {
                top = (m.hi_ << (64 - shift)) | (m.lo_ >> shift);
                dropped = m.lo_ << (64 - shift);
            } else if (shift == 64) {
                top = m.hi_;
                dropped = m.lo_;
            } else {
                top = m.hi_ >> (shift - 64);
                dropped = m.lo_ | (m.hi_ << (128 - shift));
            }
            top |= dropped != 0 ? 1 : 0;
            value = std::ldexp(static_cast<double>(static_cast<std::int64_t>(top)), shift);
        }
        return negative() ? -value : value;
    }

private:
    std::uint64_t lo_ = 0, hi_ = 0;  // two's complement; hi_ carries the sign

    constexpr bool negative() const { return (hi_ >> 63) != 0; }
    constexpr Int128 magnitude() const { return negative() ? -*this : *this; }

    static constexpr Int128 mul_64x64(std::uint64_t a, std::uint64_t b) {
        const std::uint64_t mask = 0xFFFFFFFFu;
        const std::uint64_t a0 = a & mask, a1 = a >> 32, b0 = b & mask, b1 = b >> 32;
        const std::uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
        const std::uint64_t middle = (p00 >> 32) + (p01 & mask) + (p10 & mask);  // < 3 * 2^32
        return from_words(p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32), (middle << 32) | (p00 & mask));
    }

    static constexpr bool unsigned_less(Int128 a, Int128 b) { return a.hi_ != b.hi_ ? a.hi_ < b.hi_ : a.lo_ < b.lo_; }

    // Unsigned n / d, bit by bit. Magnitudes are at most 2^127, so the
    // remainder (below d) never loses its top bit when shifted.
    static constexpr Int128 divide_magnitudes(Int128 n, Int128 d) {
        if (n.hi_ == 0 && d.hi_ == 0) return from_words(0, n.lo_ / d.lo_);
        Int128 q, r;
        for (int bit = 127; bit >= 0; --bit) {
            const std::uint64_t next = bit >= 64 ? (n.hi_ >> (bit - 64)) & 1 : (n.lo_ >> bit) & 1;
            r = from_words((r.hi_ << 1) | (r.lo_ >> 63), (r.lo_ << 1) | next);
            if (!unsigned_less(r, d)) {
                r = r - d;
                if (bit >= 64)
                    q.hi_ |= std::uint64_t{1} << (bit - 64);
                else
                    q.lo_ |= std::uint64_t{1} << bit;
            }
        }
        return q;
    }
};

}  // namespace kestrune
