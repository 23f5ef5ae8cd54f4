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

#ifdef FIELD_HAVE_FE51
// Fe51 is defined inline: the ladder spends nearly all its time here.
namespace fe51 {
using u128 = unsigned __int128;
constexpr uint64_t mask51 = (uint64_t(1) << 51) - 1;

inline Fe51 carry(u128 r0, u128 r1, u128 r2, u128 r3, u128 r4) {
    r1 += uint64_t(r0 >> 51);
    r2 += uint64_t(r1 >> 51);
    r3 += uint64_t(r2 >> 51);
    r4 += uint64_t(r3 >> 51);
    uint64_t h0 = uint64_t(r0) & mask51, h1 = uint64_t(r1) & mask51, h2 = uint64_t(r2) & mask51,
             h3 = uint64_t(r3) & mask51, h4 = uint64_t(r4) & mask51;
    // r4 has no factor 19 in it: below 2^110 for the inputs allowed above, so
    // its carry times 19 still fits 64 bits.
    h0 += uint64_t(r4 >> 51) * 19;
    h1 += h0 >> 51;
    h0 &= mask51;
    return Fe51{{h0, h1, h2, h3, h4}};
}

inline uint64_t load64(const uint8_t* p) {
    uint64_t x = 0;
    for (int i = 0; i < 8; ++i) x |= uint64_t(p[i]) << (8 * i);
    return x;
}
}  // namespace fe51

inline Fe51 Fe51::fromInt(uint32_t n) { return Fe51{{n, 0, 0, 0, 0}}; }

inline Fe51 Fe51::fromBytes(const Bytes32& bytes) {
    using fe51::mask51;
    uint64_t w0 = fe51::load64(&bytes[0]), w1 = fe51::load64(&bytes[8]), w2 = fe51::load64(&bytes[16]),
             w3 = fe51::load64(&bytes[24]);
    return Fe51{{w0 & mask51, (w0 >> 51 | w1 << 13) & mask51, (w1 >> 38 | w2 << 26) & mask51,
                 (w2 >> 25 | w3 << 39) & mask51, (w3 >> 12) & mask51}};
}

inline Fe51 operator+(const Fe51& f, const Fe51& g) {
    return Fe51{{f.v[0] + g.v[0], f.v[1] + g.v[1], f.v[2] + g.v[2], f.v[3] + g.v[3], f.v[4] + g.v[4]}};
}

// Adds 4p first so that no limb goes below zero.
inline Fe51 operator-(const Fe51& f, const Fe51& g) {
    constexpr uint64_t fourP0 = 4 * (fe51::mask51 - 18), fourP = 4 * fe51::mask51;
    return Fe51{{f.v[0] + fourP0 - g.v[0], f.v[1] + fourP - g.v[1], f.v[2] + fourP - g.v[2],
                 f.v[3] + fourP - g.v[3], f.v[4] + fourP - g.v[4]}};
}

inline Fe51 operator*(const Fe51& f, const Fe51& g) {
    using fe51::u128;
    const uint64_t *a = f.v, *b = g.v;
    uint64_t b1 = 19 * b[1], b2 = 19 * b[2], b3 = 19 * b[3], b4 = 19 * b[4];
    return fe51::carry(
        u128(a[0]) * b[0] + u128(a[1]) * b4 + u128(a[2]) * b3 + u128(a[3]) * b2 + u128(a[4]) * b1,
        u128(a[0]) * b[1] + u128(a[1]) * b[0] + u128(a[2]) * b4 + u128(a[3]) * b3 + u128(a[4]) * b2,
        u128(a[0]) * b[2] + u128(a[1]) * b[1] + u128(a[2]) * b[0] + u128(a[3]) * b4 + u128(a[4]) * b3,
        u128(a[0]) * b[3] + u128(a[1]) * b[2] + u128(a[2]) * b[1] + u128(a[3]) * b[0] + u128(a[4]) * b4,
        u128(a[0]) * b[4] + u128(a[1]) * b[3] + u128(a[2]) * b[2] + u128(a[3]) * b[1] + u128(a[4]) * b[0]);
}

inline Fe51 Fe51::sq() const {
    using fe51::u128;
    const uint64_t* a = v;
    uint64_t d0 = 2 * a[0], d1 = 2 * a[1], d2 = 2 * a[2], d3 = 2 * a[3];
    uint64_t a3_19 = 19 * a[3], a4_19 = 19 * a[4];
    return fe51::carry(u128(a[0]) * a[0] + u128(d1) * a4_19 + u128(d2) * a3_19,
                       u128(d0) * a[1] + u128(d2) * a4_19 + u128(a[3]) * a3_19,
                       u128(d0) * a[2] + u128(a[1]) * a[1] + u128(d3) * a4_19,
                       u128(d0) * a[3] + u128(d1) * a[2] + u128(a[4]) * a4_19,
                       u128(d0) * a[4] + u128(d1) * a[3] + u128(a[2]) * a[2]);
}

inline Fe51 Fe51::mulSmall(uint32_t c) const {
    using fe51::u128;
    return fe51::carry(u128(v[0]) * c, u128(v[1]) * c, u128(v[2]) * c, u128(v[3]) * c, u128(v[4]) * c);
}
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
