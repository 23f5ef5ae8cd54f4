#include "archive/hash.h"

#include <cstring>

void Hasher::update(const void* bytes, size_t count) {
    if (count_ == 0)
        reset();
    auto p = static_cast<const uint8_t*>(bytes);
    size_t used = count_ % 64;
    count_ += count;
    if (used) {
        size_t take = 64 - used < count ? 64 - used : count;
        std::memcpy(block_ + used, p, take);
        p += take;
        count -= take;
        if (used + take < 64)
            return;
        processBlock(block_);
    }
    if (count >= 64) {
        size_t blocks = count / 64;
        processBlocks(p, blocks);
        p += blocks * 64;
        count -= blocks * 64;
    }
    if (count)
        std::memcpy(block_, p, count);
}

void Hasher::processBlocks(const uint8_t* data, size_t blocks) {
    for (size_t i = 0; i < blocks; ++i)
        processBlock(data + 64 * i);
}

void Hasher::padWithBitCount() {
    if (count_ == 0)
        reset();
    uint64_t bits = count_ * 8;
    size_t used = count_ % 64;
    block_[used++] = 0x80;
    if (used > 56) {
        std::memset(block_ + used, 0, 64 - used);
        processBlock(block_);
        used = 0;
    }
    std::memset(block_ + used, 0, 56 - used);
    for (int i = 0; i < 8; ++i)
        block_[56 + i] = uint8_t(bits >> (56 - 8 * i));
    processBlock(block_);
    count_ = 0;
}

void Sha1Hasher::reset() {
    state_[0] = 0x67452301;
    state_[1] = 0xEFCDAB89;
    state_[2] = 0x98BADCFE;
    state_[3] = 0x10325476;
    state_[4] = 0xC3D2E1F0;
    count_ = 0;
}

void Sha1Hasher::finish(uint8_t* out) {
    padWithBitCount();
    for (int i = 0; i < 5; ++i) {
        out[4 * i] = uint8_t(state_[i] >> 24);
        out[4 * i + 1] = uint8_t(state_[i] >> 16);
        out[4 * i + 2] = uint8_t(state_[i] >> 8);
        out[4 * i + 3] = uint8_t(state_[i]);
    }
}

std::array<uint8_t, Sha1Hasher::kDigestSize> Sha1Hasher::digest(const void* bytes, size_t count) {
    Sha1Hasher h;
    h.update(bytes, count);
    std::array<uint8_t, kDigestSize> out;
    h.finish(out.data());
    return out;
}

namespace {

inline uint32_t rol(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t loadBe(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return __builtin_bswap32(v);
}

// The compression function, unrolled with a 16-word rolling schedule so the
// whole state stays in registers.
void compress(uint32_t* state, const uint8_t* data, size_t blocks) {
    uint32_t a, b, c, d, e;
    uint32_t w[16];
    while (blocks--) {
        a = state[0];
        b = state[1];
        c = state[2];
        d = state[3];
        e = state[4];
        for (int i = 0; i < 16; ++i)
            w[i] = loadBe(data + 4 * i);

#define W(i) (w[(i) & 15] = rol(w[((i) + 13) & 15] ^ w[((i) + 8) & 15] ^ w[((i) + 2) & 15] ^ w[(i) & 15], 1))
#define STEP(f, k, a, b, c, d, e, x)                         \
    e += rol(a, 5) + (f) + (k) + (x);                        \
    b = rol(b, 30);
#define F1(b, c, d) (d ^ (b & (c ^ d)))
#define F2(b, c, d) (b ^ c ^ d)
#define F3(b, c, d) ((b & c) | (d & (b | c)))
#define R0(a, b, c, d, e, i) STEP(F1(b, c, d), 0x5A827999u, a, b, c, d, e, w[i])
#define R1(a, b, c, d, e, i) STEP(F1(b, c, d), 0x5A827999u, a, b, c, d, e, W(i))
#define R2(a, b, c, d, e, i) STEP(F2(b, c, d), 0x6ED9EBA1u, a, b, c, d, e, W(i))
#define R3(a, b, c, d, e, i) STEP(F3(b, c, d), 0x8F1BBCDCu, a, b, c, d, e, W(i))
#define R4(a, b, c, d, e, i) STEP(F2(b, c, d), 0xCA62C1D6u, a, b, c, d, e, W(i))
#define FIVE(R, i)              \
    R(a, b, c, d, e, (i));      \
    R(e, a, b, c, d, (i) + 1);  \
    R(d, e, a, b, c, (i) + 2);  \
    R(c, d, e, a, b, (i) + 3);  \
    R(b, c, d, e, a, (i) + 4);

        FIVE(R0, 0) FIVE(R0, 5) FIVE(R0, 10)
        R0(a, b, c, d, e, 15);
        R1(e, a, b, c, d, 16);
        R1(d, e, a, b, c, 17);
        R1(c, d, e, a, b, 18);
        R1(b, c, d, e, a, 19);
        FIVE(R2, 20) FIVE(R2, 25) FIVE(R2, 30) FIVE(R2, 35)
        FIVE(R3, 40) FIVE(R3, 45) FIVE(R3, 50) FIVE(R3, 55)
        FIVE(R4, 60) FIVE(R4, 65) FIVE(R4, 70) FIVE(R4, 75)
#undef FIVE
#undef R4
#undef R3
#undef R2
#undef R1
#undef R0
#undef F3
#undef F2
#undef F1
#undef STEP
#undef W
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        data += 64;
    }
}

}  // namespace

void Sha1Hasher::processBlock(const uint8_t* block) { compress(state_, block, 1); }

void Sha1Hasher::processBlocks(const uint8_t* data, size_t blocks) { compress(state_, data, blocks); }
