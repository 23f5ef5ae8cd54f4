// Inflating stream over the zlib data of a package's Files part.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <istream>
#include <streambuf>

class InflatingBuffer : public std::streambuf {
public:
    static constexpr size_t kAreaSize = 4096;

    explicit InflatingBuffer(std::streambuf* source);
    ~InflatingBuffer() override;
    InflatingBuffer(const InflatingBuffer&) = delete;
    InflatingBuffer& operator=(const InflatingBuffer&) = delete;

    // Total count of bytes inflated so far.
    uint32_t produced() const { return produced_; }
    // The compressed data ended properly (as opposed to a data error or a
    // source that ran dry).
    bool streamEnded() const { return state_ == State::Ended; }

protected:
    int_type underflow() override;
    std::streamsize xsgetn(char* buffer, std::streamsize count) override;
    pos_type seekoff(off_type offset, std::ios_base::seekdir direction,
                     std::ios_base::openmode which) override;
    pos_type seekpos(pos_type position, std::ios_base::openmode which) override;

private:
    enum class State { Inflating, Ended, Failed };

    // Inflates into [out, out + size); returns the count produced, 0 at the end.
    size_t inflateInto(char* out, size_t size);

    std::streambuf* source_;
    z_stream zstream_{};
    State state_ = State::Inflating;
    uint32_t produced_ = 0;
    // putback byte directly before the get area
    char area_[1 + kAreaSize];
    unsigned char input_[kAreaSize];
};

class InflatingStream : public std::istream {
public:
    explicit InflatingStream(std::istream& source);
    InflatingBuffer& buffer() { return buffer_; }

private:
    InflatingBuffer buffer_;
};
