#include "archive/inflate.h"

#include <algorithm>
#include <cstring>

using traits = std::char_traits<char>;

InflatingBuffer::InflatingBuffer(std::streambuf* source) : source_(source) {
    if (!source_ || inflateInit_(&zstream_, ZLIB_VERSION, int(sizeof(z_stream))) != Z_OK)
        state_ = State::Failed;
    setg(area_ + 1, area_ + 1, area_ + 1);
}

InflatingBuffer::~InflatingBuffer() { inflateEnd(&zstream_); }

size_t InflatingBuffer::inflateInto(char* out, size_t size) {
    // Every round either takes new input or inflates some; a source that runs
    // dry or a data error ends the stream, so this cannot loop for ever, and
    // bytes from a failing inflate call are never shown.
    while (state_ == State::Inflating) {
        if (zstream_.avail_in == 0) {
            std::streamsize n = source_->sgetn(reinterpret_cast<char*>(input_), sizeof input_);
            if (n <= 0) {
                state_ = State::Failed;
                return 0;
            }
            zstream_.next_in = input_;
            zstream_.avail_in = uInt(n);
        }
        zstream_.next_out = reinterpret_cast<Bytef*>(out);
        zstream_.avail_out = uInt(size);
        int result = inflate(&zstream_, Z_PARTIAL_FLUSH);
        size_t got = size - zstream_.avail_out;
        if (result == Z_STREAM_END) {
            // Whatever follows the compressed data in the part is not inflated.
            state_ = State::Ended;
        } else if (result != Z_OK && result != Z_BUF_ERROR) {
            state_ = State::Failed;
            return 0;
        }
        produced_ += uint32_t(got);
        if (got > 0)
            return got;
    }
    return 0;
}

InflatingBuffer::int_type InflatingBuffer::underflow() {
    if (gptr() < egptr())
        return traits::to_int_type(*gptr());
    // Keep the last byte of the previous area so that one byte can be put back.
    bool keep = gptr() > eback();
    if (keep)
        area_[0] = gptr()[-1];
    size_t got = inflateInto(area_ + 1, kAreaSize);
    if (got == 0) {
        if (keep)
            setg(area_, area_ + 1, area_ + 1);
        return traits::eof();
    }
    setg(keep ? area_ : area_ + 1, area_ + 1, area_ + 1 + got);
    return traits::to_int_type(*gptr());
}

std::streamsize InflatingBuffer::xsgetn(char* buffer, std::streamsize count) {
    std::streamsize done = 0;
    // What the get area holds first.
    std::streamsize inArea = std::min<std::streamsize>(egptr() - gptr(), count);
    if (inArea > 0) {
        std::memcpy(buffer, gptr(), size_t(inArea));
        gbump(int(inArea));
        done = inArea;
    }
    // Large reads inflate straight into the caller's buffer (no extra copy);
    // the last byte delivered stays available for putting back.
    while (count - done >= std::streamsize(kAreaSize)) {
        size_t got = inflateInto(buffer + done, size_t(count - done));
        if (got == 0)
            return done;
        done += std::streamsize(got);
        area_[0] = buffer[done - 1];
        setg(area_, area_ + 1, area_ + 1);
    }
    while (done < count) {
        if (gptr() == egptr() && traits::eq_int_type(underflow(), traits::eof()))
            break;
        std::streamsize take = std::min<std::streamsize>(egptr() - gptr(), count - done);
        std::memcpy(buffer + done, gptr(), size_t(take));
        gbump(int(take));
        done += take;
    }
    return done;
}

InflatingBuffer::pos_type InflatingBuffer::seekoff(off_type offset, std::ios_base::seekdir direction,
                                                   std::ios_base::openmode) {
    const pos_type failed(off_type(-1));
    if (direction != std::ios_base::cur || offset < 0)
        return failed;
    char scratch[1024];
    while (offset > 0) {
        std::streamsize want = std::min<off_type>(offset, off_type(sizeof scratch));
        if (xsgetn(scratch, want) < want)
            return failed;
        offset -= want;
    }
    // The position is what has been handed out, not what has been inflated
    // ahead into the get area.
    return pos_type(off_type(produced_) - (egptr() - gptr()));
}

InflatingBuffer::pos_type InflatingBuffer::seekpos(pos_type, std::ios_base::openmode) {
    return pos_type(off_type(-1));
}

InflatingStream::InflatingStream(std::istream& source) : std::istream(nullptr), buffer_(source.rdbuf()) {
    rdbuf(&buffer_);
}
