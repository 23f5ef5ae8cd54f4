#include "archive/partstream.h"

#include <algorithm>

using traits = std::char_traits<char>;

PackagePartBuffer::PackagePartBuffer(std::streambuf* source, bool digestOn, std::streambuf* tee)
    : source_(source), tee_(tee), digestOn_(digestOn) {}

bool PackagePartBuffer::readFileHeader(uint32_t& magic, uint32_t& declaredLength) {
    uint8_t header[kFileHeaderSize];
    std::streamsize n = source_ ? source_->sgetn(reinterpret_cast<char*>(header), sizeof header) : 0;
    if (n > 0 && tee_)
        tee_->sputn(reinterpret_cast<char*>(header), n);
    if (n < std::streamsize(sizeof header))
        return false;
    magic = readLe32(header);
    declaredLength = readLe32(header + 4);
    return true;
}

void PackagePartBuffer::consumed(const char* bytes, size_t count) {
    if (count == 0)
        return;
    if (tee_)
        tee_->sputn(bytes, std::streamsize(count));
    if (digestOn_)
        hasher_.update(bytes, count);
}

std::streamsize PackagePartBuffer::rawRead(char* buffer, std::streamsize count) {
    std::streamsize n = source_->sgetn(buffer, count);
    if (n <= 0)
        return 0;
    if (n < std::streamsize(reReadCount_)) {
        reReadCount_ -= uint32_t(n);
        return n;
    }
    consumed(buffer + reReadCount_, size_t(n - reReadCount_));
    reReadCount_ = 0;
    return n;
}

uint64_t PackagePartBuffer::discard(uint64_t count) {
    count = std::min<uint64_t>(count, remaining_);
    char scratch[kScratchSize];
    uint64_t total = 0;
    while (total < count) {
        std::streamsize want = std::streamsize(std::min<uint64_t>(count - total, sizeof scratch));
        std::streamsize got = rawRead(scratch, want);
        total += uint64_t(got);
        remaining_ -= uint32_t(got);
        if (got < want)
            break;
    }
    return total;
}

std::streamsize PackagePartBuffer::readUnhashed(char* buffer, std::streamsize count) {
    if (remaining_ == 0 || count <= 0)
        return 0;
    std::streamsize want = std::min<std::streamsize>(count, remaining_);
    std::streamsize n = source_->sgetn(buffer, want);
    if (n <= 0)
        return 0;
    // Put-back bytes have been copied to the tee already.
    std::streamsize skip = std::min<std::streamsize>(n, reReadCount_);
    reReadCount_ -= uint32_t(skip);
    if (tee_ && n > skip)
        tee_->sputn(buffer + skip, n - skip);
    remaining_ -= uint32_t(n);
    return n;
}

void PackagePartBuffer::finishDigest() {
    hasher_.finish(digest_);
    digestReady_ = true;
    readyDigestStart_ = digestStart_;
    digestStart_ = -1;  // what follows does not begin at a Header
}

bool PackagePartBuffer::takeDigest(uint8_t* out) {
    if (!digestReady_)
        return false;
    std::copy(digest_, digest_ + kDigestSize, out);
    digestReady_ = false;
    return true;
}

bool PackagePartBuffer::skipRestOfPart() {
    if (remaining_ == 0)
        return true;
    if (!digestOn_ && !tee_ && reReadCount_ == 0 &&
        source_->pubseekoff(remaining_, std::ios_base::cur, std::ios_base::in) != pos_type(off_type(-1))) {
        remaining_ = 0;
        return true;
    }
    uint32_t want = remaining_;
    return discard(want) == want;
}

int PackagePartBuffer::stepToNextPart() {
    if (ended_)
        return -1;
    // A part cut short ends the parts without finishing the digest, so a
    // package cut inside a part never gets one.
    if (!skipRestOfPart()) {
        ended_ = true;
        return -1;
    }
    int64_t headerOffset = int64_t(partOffset_) + partLength_;
    partOffset_ += partLength_;
    partLength_ = 0;
    uint8_t header[kPartHeaderSize];
    std::streamsize n = source_->sgetn(reinterpret_cast<char*>(header), sizeof header);
    if (n < std::streamsize(sizeof header)) {
        // Trailing bytes are still raw bytes of the stream: copy them, but
        // they belong to no package's digest.
        if (n > 0 && tee_)
            tee_->sputn(reinterpret_cast<char*>(header), n);
        if (digestOn_)
            finishDigest();
        ended_ = true;
        return -1;
    }
    if (tee_)
        tee_->sputn(reinterpret_cast<char*>(header), sizeof header);
    int type = readLe16(header);
    if (type == PartType::Header) {
        previousHeaderOffset_ = lastHeaderOffset_;
        lastHeaderOffset_ = headerOffset;
    }
    if (digestOn_) {
        if (type == PartType::Header) {
            finishDigest();
            digestStart_ = headerOffset;
        }
        hasher_.update(header, sizeof header);
    }
    partOffset_ += kPartHeaderSize;
    partLength_ = remaining_ = readLe32(header + 2);
    return type;
}

std::streamsize PackagePartBuffer::xsgetn(char* buffer, std::streamsize count) {
    if (remaining_ == 0 || count <= 0)
        return 0;
    std::streamsize n = rawRead(buffer, std::min<std::streamsize>(count, remaining_));
    remaining_ -= uint32_t(n);
    return n;
}

PackagePartBuffer::int_type PackagePartBuffer::uflow() {
    if (remaining_ == 0)
        return traits::eof();
    remaining_ -= 1;
    int_type c = source_->sbumpc();
    if (traits::eq_int_type(c, traits::eof()))
        return c;
    if (reReadCount_ > 0) {
        --reReadCount_;
    } else {
        char byte = traits::to_char_type(c);
        consumed(&byte, 1);
    }
    return c;
}

PackagePartBuffer::int_type PackagePartBuffer::underflow() {
    if (remaining_ == 0)
        return traits::eof();
    return source_->sgetc();
}

std::streamsize PackagePartBuffer::showmanyc() {
    if (remaining_ == 0)
        return -1;
    std::streamsize available = source_->in_avail();
    return std::min<std::streamsize>(available, remaining_);
}

PackagePartBuffer::int_type PackagePartBuffer::pbackfail(int_type c) {
    if (remaining_ == partLength_)
        return traits::eof();
    int_type r = traits::eq_int_type(c, traits::eof()) ? source_->sungetc()
                                                       : source_->sputbackc(traits::to_char_type(c));
    if (traits::eq_int_type(r, traits::eof()))
        return traits::eof();
    remaining_ += 1;
    // The byte has been hashed and copied once already.
    if (digestOn_ || tee_)
        ++reReadCount_;
    return traits::not_eof(r);
}

PackagePartBuffer::pos_type PackagePartBuffer::seekoff(off_type offset, std::ios_base::seekdir direction,
                                                       std::ios_base::openmode) {
    int64_t current = int64_t(partLength_) - remaining_;
    int64_t target;
    if (direction == std::ios_base::beg)
        target = offset;
    else if (direction == std::ios_base::cur)
        target = current + offset;
    else
        target = int64_t(partLength_) - offset;
    if (target < 0)
        return pos_type(off_type(-1));
    return seekpos(pos_type(off_type(target)), std::ios_base::in);
}

PackagePartBuffer::pos_type PackagePartBuffer::seekpos(pos_type position, std::ios_base::openmode) {
    const pos_type failed(off_type(-1));
    int64_t target = off_type(position);
    if (target < 0 || target > int64_t(partLength_))
        return failed;
    uint32_t newRemaining = uint32_t(partLength_ - target);
    if (newRemaining == remaining_)
        return position;
    int64_t current = int64_t(partLength_) - remaining_;
    // Only an unobserved stream may move the source: the digest and the tee
    // must see every byte exactly once, in order.
    if (!digestOn_ && !tee_ && reReadCount_ == 0 &&
        source_->pubseekoff(target - current, std::ios_base::cur, std::ios_base::in) != failed) {
        remaining_ = newRemaining;
        return position;
    }
    if (target < current)
        return failed;
    uint64_t want = uint64_t(target - current);
    if (discard(want) < want)
        return failed;
    return position;
}

PackagePartStream::PackagePartStream(std::istream& source, bool digestOn, std::streambuf* tee)
    : PackagePartStream(source.rdbuf(), digestOn, tee) {}

PackagePartStream::PackagePartStream(std::streambuf* source, bool digestOn, std::streambuf* tee)
    : std::istream(nullptr), buffer_(source, digestOn, tee) {
    rdbuf(&buffer_);
    readFileHeader();
}

void PackagePartStream::readFileHeader() {
    uint32_t magic = 0, declared = 0;
    if (!buffer_.source() || !buffer_.readFileHeader(magic, declared)) {
        setstate(std::ios_base::badbit);
        return;
    }
    magic_ = magic;
    totalLength_ = declared + uint32_t(kFileHeaderSize);
    if (magic != kPackageMagic && magic != kUntrackedMagic)
        setstate(std::ios_base::badbit);
}

int PackagePartStream::nextPart() {
    if (fail()) {
        currentPart_ = -1;
        return -1;
    }
    clear(rdstate() & ~std::ios_base::eofbit);
    for (;;) {
        int type = buffer_.stepToNextPart();
        if (type < 0) {
            currentPart_ = -1;
            setstate(std::ios_base::failbit | std::ios_base::eofbit);
            return -1;
        }
        currentPart_ = type;
        if (acceptAll_ || std::find(acceptedTypes_.begin(), acceptedTypes_.end(), type) != acceptedTypes_.end())
            return type;
    }
}

bool PackagePartStream::digestCoversPackage() const {
    int64_t start = currentPart_ == PartType::Header ? buffer_.previousHeaderOffset() : buffer_.lastHeaderOffset();
    return buffer_.digestReady() && start >= 0 && buffer_.readyDigestStart() == start;
}
