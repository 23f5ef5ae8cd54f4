// A read-only stream buffer over memory that behaves like a pipe: no seeking,
// and bytes handed over in small windows so that readers meet every refill.
#pragma once

#include <algorithm>
#include <cstddef>
#include <streambuf>

class PipeLikeBuffer : public std::streambuf {
public:
    PipeLikeBuffer(const char* data, size_t size, size_t window)
        : data_(data), size_(size), window_(std::max<size_t>(window, 1)) {}

protected:
    int_type underflow() override {
        if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
        if (at_ >= size_) return traits_type::eof();
        size_t n = std::min(window_, size_ - at_);
        char* p = const_cast<char*>(data_ + at_);
        setg(p, p, p + n);
        at_ += n;
        return traits_type::to_int_type(*p);
    }

private:
    const char* data_;
    size_t size_;
    size_t window_;
    size_t at_ = 0;
};
