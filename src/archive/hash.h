// Block hashes. The package digest is SHA-1; the signature check adds SHA-256
// on the same base (64-byte blocks, big-endian bit count in the padding).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

class Hasher {
public:
    virtual ~Hasher() = default;

    // Starts a new digest. Called by itself when update() or finish() begins
    // with nothing hashed, so a hasher needs no explicit start.
    virtual void reset() = 0;
    virtual size_t digestSize() const = 0;
    // Pads, writes digestSize() bytes to `out`, and leaves the count at 0 so
    // that the next update() starts a new digest.
    virtual void finish(uint8_t* out) = 0;

    void update(const void* bytes, size_t count);
    void update(std::span<const uint8_t> bytes) { update(bytes.data(), bytes.size()); }
    uint64_t count() const { return count_; }

protected:
    virtual void processBlock(const uint8_t* block) = 0;
    // Whole blocks straight from the caller's buffer; derived hashers may do
    // better than one processBlock call per block.
    virtual void processBlocks(const uint8_t* data, size_t blocks);

    // The padding shared by SHA-1 and SHA-256: 0x80, zeros up to 56 mod 64,
    // the bit count as a big-endian 64-bit number. Leaves count() at 0.
    void padWithBitCount();

    uint8_t block_[64];
    uint64_t count_ = 0;
};

class Sha1Hasher : public Hasher {
public:
    static constexpr size_t kDigestSize = 20;

    Sha1Hasher() { Sha1Hasher::reset(); }
    void reset() override;
    size_t digestSize() const override { return kDigestSize; }
    void finish(uint8_t* out) override;

    // One-shot convenience.
    static std::array<uint8_t, kDigestSize> digest(const void* bytes, size_t count);

protected:
    void processBlock(const uint8_t* block) override;
    void processBlocks(const uint8_t* data, size_t blocks) override;

private:
    uint32_t state_[5];
};
