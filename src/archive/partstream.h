// Reading a package file part by part, from a file or a pipe, with a running
// SHA-1 digest per package and an optional raw copy (tee) of every byte read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <streambuf>
#include <vector>

#include "archive/format.h"
#include "archive/hash.h"

// Has no get area of its own: every read goes straight to the source, so
// nothing is read ahead past the current part and the digest and the tee see
// each byte exactly once, in order.
class PackagePartBuffer : public std::streambuf {
public:
    static constexpr size_t kDigestSize = Sha1Hasher::kDigestSize;
    static constexpr size_t kScratchSize = 4096;

    PackagePartBuffer(std::streambuf* source, bool digestOn, std::streambuf* tee);
    PackagePartBuffer(const PackagePartBuffer&) = delete;
    PackagePartBuffer& operator=(const PackagePartBuffer&) = delete;

    // Reads the 8-byte file header (teed, not hashed). False when fewer than 8
    // bytes came; `magic` and `declaredLength` are then left alone.
    [[nodiscard]] bool readFileHeader(uint32_t& magic, uint32_t& declaredLength);

    // Moves past the rest of the current part and reads the next part header;
    // returns its type (0..65535), or -1 at the end of the parts. The digest is
    // finished when a Header part header arrives and at a clean end, but not
    // when the current part was cut short.
    int stepToNextPart();

    std::streambuf* source() const { return source_; }
    std::streambuf* tee() const { return tee_; }
    uint32_t partOffset() const { return partOffset_; }
    uint32_t partLength() const { return partLength_; }
    uint32_t remaining() const { return remaining_; }
    uint32_t reReadCount() const { return reReadCount_; }
    bool digestOn() const { return digestOn_; }
    bool digestReady() const { return digestReady_; }

    // Finishes the running digest into the stored digest and marks it ready;
    // the next byte hashed starts a new one. (The signature check ends a
    // package's digest at its Signature part header this way.)
    void finishDigest();
    // Copies the ready digest to `out` and clears the ready mark.
    [[nodiscard]] bool takeDigest(uint8_t* out);
    // The stored digest, whether taken or not.
    const uint8_t* lastDigest() const { return digest_; }

    // File offset of the Header part header at which the ready (or last
    // finished) digest began (-1 when it began elsewhere: at the start of the
    // file or after a finishDigest), and of the most recent Header part
    // headers (-1 before any). A digest covers a package only when it began at
    // that package's Header: a digest finished when the package's own Header
    // arrived covers the bytes before it.
    int64_t readyDigestStart() const { return readyDigestStart_; }
    int64_t lastHeaderOffset() const { return lastHeaderOffset_; }
    int64_t previousHeaderOffset() const { return previousHeaderOffset_; }

    // Reads up to `count` bytes of the current part straight from the source,
    // copying them to the tee but not hashing them (the signature record).
    // Returns the count that came; the part's remaining count drops by it.
    std::streamsize readUnhashed(char* buffer, std::streamsize count);

    // Reads and throws away up to `count` bytes of the current part; they are
    // hashed and teed like any others. Returns the count that came.
    uint64_t discard(uint64_t count);

protected:
    pos_type seekoff(off_type offset, std::ios_base::seekdir direction,
                     std::ios_base::openmode which) override;
    pos_type seekpos(pos_type position, std::ios_base::openmode which) override;
    std::streamsize showmanyc() override;
    std::streamsize xsgetn(char* buffer, std::streamsize count) override;
    int_type underflow() override;
    int_type uflow() override;
    int_type pbackfail(int_type c) override;

private:
    // One sgetn from the source; hashes and tees what was not read before.
    std::streamsize rawRead(char* buffer, std::streamsize count);
    void consumed(const char* bytes, size_t count);  // hash + tee
    bool skipRestOfPart();

    std::streambuf* source_;
    std::streambuf* tee_;
    uint32_t partOffset_ = 8;
    uint32_t partLength_ = 0;
    uint32_t remaining_ = 0;
    uint32_t reReadCount_ = 0;
    Sha1Hasher hasher_;
    bool digestOn_;
    bool digestReady_ = false;
    uint8_t digest_[kDigestSize] = {};
    int64_t digestStart_ = -1;  // Header part header where the running digest began, -1 elsewhere
    int64_t readyDigestStart_ = -1;
    int64_t lastHeaderOffset_ = -1;
    int64_t previousHeaderOffset_ = -1;
    bool ended_ = false;
};

class PackagePartStream : public std::istream {
public:
    // Reads and checks the file header at once; a short or wrong header sets
    // the bad bit, after which no part is shown. Neither the source nor the
    // tee is owned.
    PackagePartStream(std::istream& source, bool digestOn, std::streambuf* tee = nullptr);
    PackagePartStream(std::streambuf* source, bool digestOn, std::streambuf* tee = nullptr);

    void acceptPartType(int type) { acceptedTypes_.push_back(type); }
    void acceptPartType(PartType type) { acceptPartType(static_cast<int>(type)); }
    const std::vector<int>& acceptedTypes() const { return acceptedTypes_; }
    // Stop at every part, known or not (for tools that show a whole file).
    void acceptAllPartTypes() { acceptAll_ = true; }

    // Advances to the next part of an accepted type; returns it, or -1.
    int nextPart();

    int currentPart() const { return currentPart_; }
    uint32_t partLength() const { return buffer_.partLength(); }
    uint32_t partOffset() const { return buffer_.partOffset(); }
    uint32_t totalLength() const { return totalLength_; }
    uint32_t magic() const { return magic_; }
    bool isUntracked() const { return magic_ == kUntrackedMagic; }

    [[nodiscard]] bool takeDigest(uint8_t* out) { return buffer_.takeDigest(out); }

    // For a check made after a package's parts have been read (the stream
    // stands on the part after them, the next package's Header, or the end):
    // true when the ready digest covers exactly that package, from its own
    // Header part header on. A digest finished when the package's own Header
    // arrived (covering whatever came before it) does not count.
    bool digestCoversPackage() const;

    // Checks the Signature part the stream stands on (defined with the
    // signature check).
    [[nodiscard]] bool verifySignature();

    PackagePartBuffer& partBuffer() { return buffer_; }
    const PackagePartBuffer& partBuffer() const { return buffer_; }

private:
    void readFileHeader();

    PackagePartBuffer buffer_;
    std::vector<int> acceptedTypes_;
    bool acceptAll_ = false;
    int currentPart_ = -1;
    uint32_t magic_ = 0;
    uint32_t totalLength_ = 0;
};
