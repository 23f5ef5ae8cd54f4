#pragma once
// Exact arithmetic modulo p = 2^255 - 19, in two representations:
//  - Fe10: ten signed 32-bit limbs of alternately 26 and 25 bits, with 64-bit
//    products; this is what a 32-bit processor runs fast.
//  - Fe51: five unsigned 51-bit limbs with 128-bit products, for 64-bit hosts
//    (only where the compiler has a 128-bit integer).
// Both give the same results; the signature check picks the faster one.
//
// Bounds: add and sub do not carry, so their inputs must be "carried" values
// (results of mul, sq, mulSmall, carry or fromBytes). Values built from one add
// or sub of carried values may go into mul, sq and mulSmall; anything deeper
// must pass through carry() first.

#include <array>
#include <cstdint>

namespace archive::field {

using Bytes32 = std::array<uint8_t, 32>;

struct Fe10 {
    int32_t v[10];

    static Fe10 fromInt(uint32_t n);  // n < 2^25
    // Reads 255 bits little-endian; bit 255 is ignored. Values >= p are accepted
    // and reduced by the arithmetic.
    static Fe10 fromBytes(const Bytes32& bytes);
    Bytes32 toBytes() const;  // canonical: reduced into 0 .. p-1
    bool isOdd() const { return toBytes()[0] & 1; }

    friend Fe10 operator+(const Fe10& f, const Fe10& g);
    friend Fe10 operator-(const Fe10& f, const Fe10& g);
    friend Fe10 operator*(const Fe10& f, const Fe10& g);
    Fe10 sq() const { return *this * *this; }
    Fe10 mulSmall(uint32_t c) const;  // c < 2^31; mulSmall(1) only carries
    Fe10 carry() const { return mulSmall(1); }
};

#if defined(__SIZEOF_INT128__)
#define FIELD_HAVE_FE51 1
struct Fe51 {
    uint64_t v[5];

    static Fe51 fromInt(uint32_t n);
    static Fe51 fromBytes(const Bytes32& bytes);
    Bytes32 toBytes() const;
    bool isOdd() const { return toBytes()[0] & 1; }

    friend Fe51 operator+(const Fe51& f, const Fe51& g);
    friend Fe51 operator-(const Fe51& f, const Fe51& g);
    friend Fe51 operator*(const Fe51& f, const Fe51& g);
    Fe51 sq() const;
    Fe51 mulSmall(uint32_t c) const;
    Fe51 carry() const { return mulSmall(1); }
};
using Fe = Fe51;
#else
using Fe = Fe10;
#endif

// f^(2^n), n >= 1.
template <class F>
F sqTimes(F f, int n) {
    for (int i = 0; i < n; ++i) f = f.sq();
    return f;
}

// f^(2^255 - 21) = 1/f for f != 0, and 0 for f = 0. Also returns f^11 and
// f^(2^250 - 1), which the square root's power shares.
template <class F>
F invert(const F& z) {
    F z2 = z.sq();
    F z9 = sqTimes(z2, 2) * z;
    F z11 = z2 * z9;
    F t = z11.sq() * z9;                    // 2^5 - 1
    F z10 = sqTimes(t, 5) * t;              // 2^10 - 1
    F z20 = sqTimes(z10, 10) * z10;         // 2^20 - 1
    F z40 = sqTimes(z20, 20) * z20;         // 2^40 - 1
    F z50 = sqTimes(z40, 10) * z10;         // 2^50 - 1
    F z100 = sqTimes(z50, 50) * z50;        // 2^100 - 1
    F z200 = sqTimes(z100, 100) * z100;     // 2^200 - 1
    F z250 = sqTimes(z200, 50) * z50;       // 2^250 - 1
    return sqTimes(z250, 5) * z11;          // 2^255 - 21
}

// f^(2^252 - 3), the power used for square roots when p = 5 mod 8.
template <class F>
F pow22523(const F& z) {
    F z2 = z.sq();
    F z9 = sqTimes(z2, 2) * z;
    F z11 = z2 * z9;
    F t = z11.sq() * z9;
    F z10 = sqTimes(t, 5) * t;
    F z20 = sqTimes(z10, 10) * z10;
    F z40 = sqTimes(z20, 20) * z20;
    F z50 = sqTimes(z40, 10) * z10;
    F z100 = sqTimes(z50, 50) * z50;
    F z200 = sqTimes(z100, 100) * z100;
    F z250 = sqTimes(z200, 50) * z50;
    return sqTimes(z250, 2) * z;            // 2^252 - 3
}

}  // namespace archive::field
