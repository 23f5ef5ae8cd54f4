#pragma once
// Plain big-integer arithmetic mod p = 2^255 - 19 and affine point arithmetic
// on v^2 = u^3 + 486662 u^2 + u: slow and obvious, written independently of the
// limb code and the ladder so that tests can hold one against the other.

#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <string>

namespace reference {

using Bytes32 = std::array<uint8_t, 32>;
using u128 = unsigned __int128;

struct Num {
    uint64_t w[4] = {0, 0, 0, 0};  // little-endian words
    bool operator==(const Num&) const = default;
};

inline Num fromBytes(const Bytes32& b) {
    Num n;
    for (int i = 0; i < 32; ++i) n.w[i / 8] |= uint64_t(b[i]) << (8 * (i % 8));
    return n;
}

inline Bytes32 toBytes(const Num& n) {
    Bytes32 b;
    for (int i = 0; i < 32; ++i) b[i] = uint8_t(n.w[i / 8] >> (8 * (i % 8)));
    return b;
}

inline Num fromHex(const std::string& hexLittleEndian) {
    Bytes32 b{};
    for (int i = 0; i < 32; ++i) b[i] = uint8_t(std::stoi(hexLittleEndian.substr(2 * i, 2), nullptr, 16));
    return fromBytes(b);
}

inline Num small(uint64_t v) {
    Num n;
    n.w[0] = v;
    return n;
}

inline bool less(const Num& a, const Num& b) {
    for (int i = 3; i >= 0; --i)
        if (a.w[i] != b.w[i]) return a.w[i] < b.w[i];
    return false;
}

inline Num subRaw(const Num& a, const Num& b) {  // a >= b
    Num r;
    uint64_t borrow = 0;
    for (int i = 0; i < 4; ++i) {
        u128 d = u128(a.w[i]) - b.w[i] - borrow;
        r.w[i] = uint64_t(d);
        borrow = (d >> 64) ? 1 : 0;
    }
    return r;
}

inline const Num& P() {
    static const Num p = {{0xFFFFFFFFFFFFFFEDull, ~0ull, ~0ull, 0x7FFFFFFFFFFFFFFFull}};
    return p;
}

// Reduces a value given as up to 8 words: 2^256 = 38 and 2^255 = 19 (mod p).
inline Num reduceWide(const uint64_t v[8]) {
    uint64_t t[5];
    u128 carry = 0;
    for (int i = 0; i < 4; ++i) {
        carry += u128(v[i]) + u128(v[i + 4]) * 38;
        t[i] = uint64_t(carry);
        carry >>= 64;
    }
    t[4] = uint64_t(carry);
    for (int round = 0; round < 3; ++round) {
        u128 top = (u128(t[4]) << 1) | (t[3] >> 63);
        t[3] &= 0x7FFFFFFFFFFFFFFFull;
        t[4] = 0;
        u128 c = top * 19;
        for (int i = 0; i < 5; ++i) {
            c += t[i];
            t[i] = uint64_t(c);
            c >>= 64;
        }
    }
    Num r = {{t[0], t[1], t[2], t[3]}};
    while (!less(r, P())) r = subRaw(r, P());
    return r;
}

inline Num reduce(const Num& a) {
    uint64_t v[8] = {a.w[0], a.w[1], a.w[2], a.w[3], 0, 0, 0, 0};
    return reduceWide(v);
}

inline Num add(const Num& a, const Num& b) {
    uint64_t v[8] = {};
    u128 c = 0;
    for (int i = 0; i < 4; ++i) {
        c += u128(a.w[i]) + b.w[i];
        v[i] = uint64_t(c);
        c >>= 64;
    }
    v[4] = uint64_t(c);
    return reduceWide(v);
}

inline Num neg(const Num& a) {
    Num r = reduce(a);
    return r == Num{} ? r : subRaw(P(), r);
}

inline Num sub(const Num& a, const Num& b) { return add(reduce(a), neg(b)); }

inline Num mul(const Num& a, const Num& b) {
    uint64_t v[8] = {};
    for (int i = 0; i < 4; ++i) {
        u128 c = 0;
        for (int j = 0; j < 4; ++j) {
            c += u128(a.w[i]) * b.w[j] + v[i + j];
            v[i + j] = uint64_t(c);
            c >>= 64;
        }
        v[i + 4] = uint64_t(c);
    }
    return reduceWide(v);
}

inline Num power(const Num& a, const Num& e) {
    Num r = small(1);
    for (int i = 255; i >= 0; --i) {
        r = mul(r, r);
        if ((e.w[i / 64] >> (i % 64)) & 1) r = mul(r, a);
    }
    return r;
}

inline Num inverse(const Num& a) { return power(a, subRaw(P(), small(2))); }

// A square root by the classic rule for p = 5 mod 8; nullopt for a non-square.
inline std::optional<Num> squareRoot(const Num& a) {
    Num e = P();  // (p + 3) / 8
    uint64_t carry = 3;
    for (int i = 0; i < 4 && carry; ++i) {
        u128 s = u128(e.w[i]) + carry;
        e.w[i] = uint64_t(s);
        carry = uint64_t(s >> 64);
    }
    for (int i = 0; i < 4; ++i) e.w[i] = (e.w[i] >> 3) | (i < 3 ? e.w[i + 1] << 61 : 0);
    Num x = power(a, e);
    if (mul(x, x) == reduce(a)) return x;
    Num sqrtMinusOne = power(small(2), [] {  // 2^((p - 1) / 4)
        Num q = subRaw(P(), small(1));
        for (int i = 0; i < 4; ++i) q.w[i] = (q.w[i] >> 2) | (i < 3 ? q.w[i + 1] << 62 : 0);
        return q;
    }());
    x = mul(x, sqrtMinusOne);
    if (mul(x, x) == reduce(a)) return x;
    return std::nullopt;
}

inline bool isOdd(const Num& a) { return reduce(a).w[0] & 1; }

// Affine points; nullopt is the neutral point.
struct Point {
    Num u, v;
};
using MaybePoint = std::optional<Point>;

inline Num curveRhs(const Num& u) {
    Num u2 = mul(u, u);
    return add(add(mul(u2, u), mul(small(486662), u2)), u);
}

inline MaybePoint pointAdd(const MaybePoint& a, const MaybePoint& b) {
    if (!a) return b;
    if (!b) return a;
    Num slope;
    if (a->u == b->u) {
        if (add(a->v, b->v) == Num{}) return std::nullopt;
        Num num = add(add(mul(small(3), mul(a->u, a->u)), mul(small(2 * 486662), a->u)), small(1));
        slope = mul(num, inverse(add(a->v, a->v)));
    } else {
        slope = mul(sub(b->v, a->v), inverse(sub(b->u, a->u)));
    }
    Num u = sub(sub(sub(mul(slope, slope), small(486662)), a->u), b->u);
    Num v = sub(mul(slope, sub(a->u, u)), a->v);
    return Point{u, v};
}

inline MaybePoint pointNeg(const MaybePoint& a) {
    if (!a) return a;
    return Point{a->u, neg(a->v)};
}

inline MaybePoint scalarMul(const Bytes32& k, const MaybePoint& p) {
    MaybePoint r;
    for (int i = 255; i >= 0; --i) {
        r = pointAdd(r, r);
        if ((k[i / 8] >> (i % 8)) & 1) r = pointAdd(r, p);
    }
    return r;
}

inline Point baseG() {
    // v(G) = 14781619447589544791020593568409986887264606134616475288964881837755586237401
    return Point{small(9), fromHex("d9d3ce7ea2c5e929b2617c6d7e4d3d924cd148772cdd1ee0b486a0b8a119ae20")};
}

// The point with u-coordinate u and the even v, if u is on the curve.
inline MaybePoint evenPoint(const Num& u) {
    auto v = squareRoot(curveRhs(u));
    if (!v) return std::nullopt;
    return Point{u, isOdd(*v) ? neg(*v) : *v};
}

inline Bytes32 uOf(const MaybePoint& p) { return p ? toBytes(reduce(p->u)) : Bytes32{}; }

inline Bytes32 randomBytes(std::mt19937_64& rng) {
    Bytes32 b;
    for (auto& c : b) c = uint8_t(rng());
    return b;
}

}  // namespace reference
