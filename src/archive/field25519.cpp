#include "archive/field25519.h"

namespace archive::field {
namespace {

constexpr int limbOffset[10] = {0, 26, 51, 77, 102, 128, 153, 179, 204, 230};
constexpr int limbBits(int i) { return (i & 1) ? 25 : 26; }

// Signed carry with rounding: leaves every limb within half its range, which
// keeps products of sums of two such values inside 64 bits.
Fe10 carryRounded(int64_t h[10]) {
    for (int i = 0; i < 10; ++i) {
        int w = limbBits(i);
        int64_t c = (h[i] + (int64_t(1) << (w - 1))) >> w;
        h[i] -= c * (int64_t(1) << w);
        if (i < 9)
            h[i + 1] += c;
        else
            h[0] += 19 * c;
    }
    int64_t c = (h[0] + (int64_t(1) << 25)) >> 26;
    h[0] -= c * (int64_t(1) << 26);
    h[1] += c;
    Fe10 out;
    for (int i = 0; i < 10; ++i) out.v[i] = int32_t(h[i]);
    return out;
}

}  // namespace

Fe10 Fe10::fromInt(uint32_t n) {
    Fe10 f{};
    f.v[0] = int32_t(n);
    return f;
}

Fe10 Fe10::fromBytes(const Bytes32& bytes) {
    Fe10 f;
    for (int i = 0; i < 10; ++i) {
        int off = limbOffset[i];
        uint64_t x = 0;
        for (int j = 0; j < 5 && off / 8 + j < 32; ++j) x |= uint64_t(bytes[off / 8 + j]) << (8 * j);
        f.v[i] = int32_t((x >> (off & 7)) & ((uint64_t(1) << limbBits(i)) - 1));
    }
    return f;
}

Bytes32 Fe10::toBytes() const {
    int64_t h[10];
    for (int i = 0; i < 10; ++i) h[i] = v[i];
    // Floor carries: three passes bring every limb into 0 .. 2^w - 1, so the
    // value lies in 0 .. 2^255 - 1.
    for (int pass = 0; pass < 3; ++pass) {
        for (int i = 0; i < 10; ++i) {
            int w = limbBits(i);
            int64_t c = h[i] >> w;
            h[i] -= c * (int64_t(1) << w);
            if (i < 9)
                h[i + 1] += c;
            else
                h[0] += 19 * c;
        }
    }
    // q = 1 exactly when value >= p, i.e. value + 19 >= 2^255.
    int64_t q = 19;
    for (int i = 0; i < 10; ++i) q = (h[i] + q) >> limbBits(i);
    h[0] += 19 * q;
    for (int i = 0; i < 9; ++i) {
        int w = limbBits(i);
        h[i + 1] += h[i] >> w;
        h[i] &= (int64_t(1) << w) - 1;
    }
    h[9] &= (int64_t(1) << 25) - 1;
    Bytes32 out{};
    for (int i = 0; i < 10; ++i) {
        int off = limbOffset[i];
        uint64_t x = uint64_t(h[i]) << (off & 7);
        for (int j = 0; x; ++j, x >>= 8) out[off / 8 + j] |= uint8_t(x);
    }
    return out;
}

Fe10 operator+(const Fe10& f, const Fe10& g) {
    Fe10 h;
    for (int i = 0; i < 10; ++i) h.v[i] = f.v[i] + g.v[i];
    return h;
}

Fe10 operator-(const Fe10& f, const Fe10& g) {
    Fe10 h;
    for (int i = 0; i < 10; ++i) h.v[i] = f.v[i] - g.v[i];
    return h;
}

// Limb i has weight 2^ceil(25.5 i): the product of two odd limbs lands one bit
// above its slot (factor 2), and a slot past the top wraps with 2^255 = 19.
Fe10 operator*(const Fe10& f, const Fe10& g) {
    int32_t f2[10], g19[10];
    for (int i = 0; i < 10; ++i) {
        f2[i] = (i & 1) ? 2 * f.v[i] : f.v[i];
        g19[i] = 19 * g.v[i];
    }
    int64_t h[10] = {};
    for (int i = 0; i < 10; ++i) {
        for (int j = 0; j < 10; ++j) {
            int32_t a = (i & 1) && (j & 1) ? f2[i] : f.v[i];
            int32_t b = i + j >= 10 ? g19[j] : g.v[j];
            h[(i + j) % 10] += int64_t(a) * b;
        }
    }
    return carryRounded(h);
}

Fe10 Fe10::mulSmall(uint32_t c) const {
    int64_t h[10];
    for (int i = 0; i < 10; ++i) h[i] = int64_t(v[i]) * int64_t(c);
    return carryRounded(h);
}


#ifdef FIELD_HAVE_FE51
Bytes32 Fe51::toBytes() const {
    uint64_t h[5] = {v[0], v[1], v[2], v[3], v[4]};
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 0; i < 4; ++i) {
            h[i + 1] += h[i] >> 51;
            h[i] &= fe51::mask51;
        }
        h[0] += (h[4] >> 51) * 19;
        h[4] &= fe51::mask51;
    }
    uint64_t q = (h[0] + 19) >> 51;
    for (int i = 1; i < 5; ++i) q = (h[i] + q) >> 51;
    h[0] += 19 * q;
    for (int i = 0; i < 4; ++i) {
        h[i + 1] += h[i] >> 51;
        h[i] &= fe51::mask51;
    }
    h[4] &= fe51::mask51;
    uint64_t w[4] = {h[0] | h[1] << 51, h[1] >> 13 | h[2] << 38, h[2] >> 26 | h[3] << 25,
                     h[3] >> 39 | h[4] << 12};
    Bytes32 out;
    for (int i = 0; i < 32; ++i) out[i] = uint8_t(w[i / 8] >> (8 * (i % 8)));
    return out;
}
#endif

}  // namespace archive::field
