#pragma once
// SHA-256 (FIPS 180-4). The package signature hashes short values with it; the
// package digest itself is SHA-1 and lives with the part stream.

#include <array>
#include <cstddef>
#include <cstdint>

namespace archive {

using Sha256Digest = std::array<uint8_t, 32>;

class Sha256 {
public:
    Sha256() { reset(); }
    void reset();
    void update(const void* data, std::size_t count);
    // Pads, writes the digest and starts over, so one object can hash again.
    Sha256Digest finish();

private:
    void processBlock(const uint8_t* block);

    uint32_t state_[8];
    uint8_t block_[64];
    uint64_t count_ = 0;  // bytes hashed so far
};

Sha256Digest sha256(const void* data, std::size_t count);

}  // namespace archive
