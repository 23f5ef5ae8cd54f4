#include "archive/hash.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string hex(const uint8_t* bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

std::string sha1(const std::string& text) {
    auto d = Sha1Hasher::digest(text.data(), text.size());
    return hex(d.data(), d.size());
}

TEST(Sha1, FipsExamples) {
    EXPECT_EQ(sha1("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(sha1("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(sha1(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(Sha1, MillionA) {
    Sha1Hasher h;
    std::string chunk(1000, 'a');
    for (int i = 0; i < 1000; ++i)
        h.update(chunk.data(), chunk.size());
    uint8_t out[20];
    h.finish(out);
    EXPECT_EQ(hex(out, 20), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

// Whole blocks are hashed straight from the input; any split of the input into
// updates must give the same digest, including splits around the padding
// boundary (55, 56, 63, 64 bytes).
TEST(Sha1, SplitsAndLengthsAgree) {
    std::string data;
    for (int i = 0; i < 1000; ++i)
        data += char(i * 7 + 3);
    for (size_t length : {0u, 1u, 55u, 56u, 57u, 63u, 64u, 65u, 119u, 128u, 1000u}) {
        auto whole = Sha1Hasher::digest(data.data(), length);
        for (size_t step : {1u, 3u, 63u, 64u, 65u, 200u}) {
            Sha1Hasher h;
            for (size_t at = 0; at < length; at += step)
                h.update(data.data() + at, std::min(step, length - at));
            uint8_t out[20];
            h.finish(out);
            EXPECT_EQ(hex(out, 20), hex(whole.data(), 20)) << "length " << length << " step " << step;
        }
    }
}

TEST(Sha1, FinishStartsANewDigest) {
    Sha1Hasher h;
    uint8_t out[20];
    h.update("xyz", 3);
    h.finish(out);
    h.update("abc", 3);
    h.finish(out);
    EXPECT_EQ(hex(out, 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
    h.finish(out);  // nothing hashed since: the empty message
    EXPECT_EQ(hex(out, 20), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(h.digestSize(), 20u);
}

}  // namespace
