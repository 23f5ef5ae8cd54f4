#include "archive/inflate.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "archive/partstream.h"
#include "package_helpers.h"

using namespace testpkg;

namespace {

std::string sampleContent(size_t size) {
    std::mt19937 rng(7);
    std::string s;
    while (s.size() < size) {
        // Mix of compressible text and random bytes, so output blocks vary.
        if (rng() % 3 == 0)
            for (int i = 0; i < 200; ++i)
                s += char(rng());
        else
            s += "the quick brown fox jumps over the lazy dog " + std::to_string(rng() % 1000) + "\n";
    }
    s.resize(size);
    return s;
}

std::string readAll(std::istream& in, size_t chunk) {
    std::string out;
    std::string buf(chunk, '\0');
    while (in.read(buf.data(), std::streamsize(chunk)) || in.gcount() > 0)
        out.append(buf.data(), size_t(in.gcount()));
    return out;
}

TEST(Inflate, ReadsBackWhatWasDeflatedWithAnyReadSize) {
    std::string content = sampleContent(300000);
    std::string z = deflated(content);
    for (size_t chunk : {1u, 7u, 4095u, 4096u, 16384u, 100000u}) {
        std::istringstream src(z);
        InflatingStream in(src);
        EXPECT_EQ(readAll(in, chunk), content) << chunk;
        EXPECT_TRUE(in.eof());
        EXPECT_EQ(in.buffer().produced(), content.size());
        EXPECT_TRUE(in.buffer().streamEnded());
    }
}

TEST(Inflate, OneByteCanBePutBackAcrossARefill) {
    std::string content = sampleContent(20000);
    for (size_t first : {4096u, 16384u, 1u}) {
        std::istringstream src(deflated(content));
        InflatingStream in(src);
        std::string buf(first, '\0');
        in.read(buf.data(), std::streamsize(first));
        ASSERT_EQ(in.gcount(), std::streamsize(first));
        // The next read refills the get area; the last byte read stays available.
        EXPECT_EQ(in.get(), (unsigned char)content[first]);
        EXPECT_TRUE(in.unget());
        EXPECT_EQ(in.get(), (unsigned char)content[first]);
        in.read(buf.data(), 1);
        EXPECT_TRUE(in.unget());
        EXPECT_EQ(in.get(), (unsigned char)content[first + 1]);
    }
}

TEST(Inflate, ForwardSkipsOnlyAndNotPastTheEnd) {
    std::string content = sampleContent(50000);
    std::istringstream src(deflated(content));
    InflatingStream in(src);
    EXPECT_EQ(in.get(), (unsigned char)content[0]);
    in.seekg(9999, std::ios::cur);
    ASSERT_FALSE(in.fail());
    EXPECT_EQ(in.tellg(), 10000);
    EXPECT_EQ(in.get(), (unsigned char)content[10000]);
    in.seekg(-5, std::ios::cur);
    EXPECT_TRUE(in.fail());
    in.clear();
    in.seekg(0, std::ios::beg);
    EXPECT_TRUE(in.fail());
    in.clear();
    in.seekg(0, std::ios::end);
    EXPECT_TRUE(in.fail());
    in.clear();
    in.seekg(40000, std::ios::cur);  // 39999 bytes left
    EXPECT_TRUE(in.fail());
}

// Damaged or cut data ends the stream: no invented bytes and no endless loop.
TEST(Inflate, DamageEndsTheStream) {
    std::string content = sampleContent(100000);
    std::string z = deflated(content);

    std::istringstream cut(z.substr(0, z.size() / 2));
    InflatingStream a(cut);
    std::string got = readAll(a, 4096);
    EXPECT_LT(got.size(), content.size());
    EXPECT_EQ(got, content.substr(0, got.size()));
    EXPECT_FALSE(a.buffer().streamEnded());

    std::string broken = z;
    for (size_t i = z.size() / 3; i < z.size() / 3 + 64; ++i)
        broken[i] = char(~broken[i]);
    std::istringstream bad(broken);
    InflatingStream b(bad);
    got = readAll(b, 16384);
    EXPECT_LT(got.size(), content.size());
    EXPECT_FALSE(b.buffer().streamEnded());

    std::istringstream garbage(std::string(10000, 'x'));
    InflatingStream c(garbage);
    EXPECT_EQ(c.get(), EOF);

    std::istringstream empty("");
    InflatingStream d(empty);
    EXPECT_EQ(d.get(), EOF);
}

TEST(Inflate, BytesAfterTheCompressedDataAreNotInflated) {
    std::istringstream src(deflated("hello") + std::string(8000, '\x01'));
    InflatingStream in(src);
    EXPECT_EQ(readAll(in, 100), "hello");
    EXPECT_TRUE(in.buffer().streamEnded());
    EXPECT_EQ(in.get(), EOF);

    std::istringstream emptyContent(deflated(""));
    InflatingStream e(emptyContent);
    EXPECT_EQ(e.get(), EOF);
    EXPECT_TRUE(e.buffer().streamEnded());
}

// The way the installer reads a Files part: inflating from the part stream,
// which keeps the digest over the compressed bytes.
TEST(Inflate, OverAFilesPartOfThePartStream) {
    std::string content = sampleContent(70000);
    std::string parts = part(PartType::Header, header("x")) + part(PartType::Files, deflated(content)) +
                        part(PartType::Signature, std::string(68, 's'));
    std::stringbuf src(file(parts), std::ios::in);
    PackagePartStream s(&src, true);
    s.acceptPartType(PartType::Files);
    ASSERT_EQ(s.nextPart(), 4);
    {
        InflatingStream in(s);
        EXPECT_EQ(readAll(in, 16384), content);
    }
    EXPECT_EQ(s.nextPart(), -1);
    uint8_t d[20];
    ASSERT_TRUE(s.takeDigest(d));
    EXPECT_EQ(hexOf(d, 20), sha1Hex(parts));
}

}  // namespace
