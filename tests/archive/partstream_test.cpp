#include "archive/partstream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "archive/inflate.h"
#include "package_helpers.h"

using namespace testpkg;

namespace {

// A source that cannot seek, as a pipe.
class UnseekableBuf : public std::stringbuf {
public:
    explicit UnseekableBuf(const std::string& s) : std::stringbuf(s, std::ios::in) {}

protected:
    pos_type seekoff(off_type, std::ios_base::seekdir, std::ios_base::openmode) override { return pos_type(-1); }
    pos_type seekpos(pos_type, std::ios_base::openmode) override { return pos_type(-1); }
};

std::string taken(PackagePartStream& s) {
    uint8_t d[20];
    if (!s.takeDigest(d))
        return "none";
    return hexOf(d, 20);
}

void acceptAllKnown(PackagePartStream& s) {
    for (int t : {1, 2, 3, 4, 7, 8, 9, 16, 17, 18, 19, 20, 21})
        s.acceptPartType(t);
}

TEST(PartStream, HeaderOnlyStreamEndsAtOnceWithDigestOfNothing) {
    std::stringbuf src(file(""), std::ios::in);
    PackagePartStream s(&src, true);
    acceptAllKnown(s);
    EXPECT_TRUE(s.good());
    EXPECT_EQ(s.totalLength(), 8u);
    EXPECT_EQ(s.nextPart(), -1);
    EXPECT_EQ(s.currentPart(), -1);
    EXPECT_EQ(taken(s), sha1Hex(""));
    EXPECT_EQ(taken(s), "none");  // taken once only
}

TEST(PartStream, BadOrShortFileHeaderShowsNoParts) {
    for (std::string bytes : {file(part(PartType::Header, header("x")), 0x12345678), file("").substr(0, 7),
                              std::string()}) {
        std::stringbuf src(bytes, std::ios::in);
        PackagePartStream s(&src, true);
        acceptAllKnown(s);
        EXPECT_TRUE(s.bad());
        EXPECT_EQ(s.nextPart(), -1);
        EXPECT_EQ(taken(s), "none");
    }
}

TEST(PartStream, FieldsAndUntrackedMagic) {
    std::string parts = part(PartType::Header, header("x")) + part(PartType::Description, "hello");
    std::stringbuf src(file(parts, kUntrackedMagic, 1000), std::ios::in);
    PackagePartStream s(&src, false);
    s.acceptPartType(PartType::Description);
    EXPECT_TRUE(s.isUntracked());
    EXPECT_EQ(s.magic(), kUntrackedMagic);
    EXPECT_EQ(s.totalLength(), 1008u);
    EXPECT_EQ(s.partOffset(), 8u);
    EXPECT_EQ(s.nextPart(), 2);
    EXPECT_EQ(s.partOffset(), 8u + 6 + 32 + 6);
    EXPECT_EQ(s.partLength(), 5u);
    char buf[3];
    s.read(buf, 3);
    EXPECT_EQ(s.tellg(), 3);
}

// The digest of a package runs from its Header part header to the next Header
// part header or the end: part headers and skipped parts included, the file
// header not. The tee sees every byte once.
TEST(PartStream, DigestCoverageAndTeeWithSkippedParts) {
    std::string first = part(PartType::Header, header("one")) + part(12, "unknown type, skipped") +
                        part(PartType::Description, "first") + part(PartType::Files, std::string(10000, 'z'));
    std::string second = part(PartType::Header, header("two")) + part(PartType::Signature, std::string(70, 's'));
    std::string bytes = file(first + second);
    std::stringbuf src(bytes, std::ios::in);
    std::stringbuf tee;
    PackagePartStream s(&src, true, &tee);
    s.acceptPartType(PartType::Header);
    s.acceptPartType(PartType::Description);

    EXPECT_EQ(s.nextPart(), 1);
    EXPECT_EQ(taken(s), sha1Hex(""));  // the bytes before the first Header: none
    EXPECT_EQ(s.nextPart(), 2);        // type 12 skipped
    EXPECT_EQ(taken(s), "none");
    EXPECT_EQ(s.nextPart(), 1);        // Files skipped; second package begins
    EXPECT_EQ(taken(s), sha1Hex(first));
    EXPECT_EQ(s.nextPart(), -1);
    EXPECT_TRUE(s.eof() && s.fail());
    EXPECT_EQ(taken(s), sha1Hex(second));
    EXPECT_EQ(tee.str(), bytes);
}

TEST(PartStream, BundleOwnPartsMakeADigestOfTheirOwn) {
    std::string head = part(PartType::BundleHeader, header("b")) + part(PartType::BundleList, le16(0));
    std::string member = part(PartType::Header, header("m")) + part(PartType::Files, "data");
    std::stringbuf src(file(head + member), std::ios::in);
    PackagePartStream s(&src, true);
    s.acceptPartType(PartType::BundleHeader);
    s.acceptPartType(PartType::Header);
    EXPECT_EQ(s.nextPart(), 18);
    EXPECT_EQ(s.nextPart(), 1);
    EXPECT_EQ(taken(s), sha1Hex(head));
    EXPECT_EQ(s.nextPart(), -1);
    EXPECT_EQ(taken(s), sha1Hex(member));
}

TEST(PartStream, ReadsStayInsideThePartAndShortReadsFail) {
    std::string bytes = file(part(PartType::Header, header("x")) + part(PartType::Description, "abcd") +
                             part(PartType::Description, "next"));
    std::stringbuf src(bytes, std::ios::in);
    PackagePartStream s(&src, true);
    s.acceptPartType(PartType::Description);
    EXPECT_EQ(s.nextPart(), 2);
    char buf[10];
    s.read(buf, 10);
    EXPECT_EQ(s.gcount(), 4);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    EXPECT_TRUE(s.fail());
    EXPECT_EQ(s.get(), EOF);
    // A failed stream does not move on, although the next part is whole.
    EXPECT_EQ(s.nextPart(), -1);
}

TEST(PartStream, EndOfPartAloneIsNoFailure) {
    std::string bytes = file(part(PartType::Description, "abcd") + part(PartType::Description, "efgh"));
    std::stringbuf src(bytes, std::ios::in);
    PackagePartStream s(&src, false);
    s.acceptPartType(PartType::Description);
    EXPECT_EQ(s.nextPart(), 2);
    std::string word;
    s >> word;  // stops at the end of the part: end-of-file bit only
    EXPECT_EQ(word, "abcd");
    EXPECT_TRUE(s.eof());
    EXPECT_FALSE(s.fail());
    EXPECT_EQ(s.nextPart(), 2);  // clears the end-of-file bit
    s >> word;
    EXPECT_EQ(word, "efgh");
}

TEST(PartStream, PackageCutInsideAPartGetsNoDigest) {
    std::string whole = part(PartType::Header, header("x")) + part(PartType::Files, std::string(100, 'f'));
    std::string cut = whole.substr(0, whole.size() - 30);
    for (bool takeStale : {true, false}) {
        std::stringbuf src(file(cut, kPackageMagic, int64_t(whole.size())), std::ios::in);
        PackagePartStream s(&src, true);
        s.acceptPartType(PartType::Header);
        s.acceptPartType(PartType::Signature);
        EXPECT_EQ(s.nextPart(), 1);
        if (takeStale) {
            EXPECT_EQ(taken(s), sha1Hex(""));
        }
        EXPECT_EQ(s.nextPart(), -1);
        EXPECT_FALSE(s.digestCoversPackage());
        EXPECT_EQ(taken(s), takeStale ? "none" : sha1Hex(""));  // never the cut package's
    }
}

TEST(PartStream, PartHeaderCutShortEndsThePartsCleanly) {
    std::string parts = part(PartType::Header, header("x"));
    std::stringbuf src(file(parts + std::string("\x02\x00\x01", 3), kPackageMagic), std::ios::in);
    std::stringbuf tee;
    PackagePartStream s(&src, true, &tee);
    s.acceptPartType(PartType::Header);
    EXPECT_EQ(s.nextPart(), 1);
    EXPECT_EQ(taken(s), sha1Hex(""));
    EXPECT_EQ(s.nextPart(), -1);
    EXPECT_TRUE(s.digestCoversPackage());
    EXPECT_EQ(taken(s), sha1Hex(parts));
    EXPECT_EQ(tee.str().size(), 8 + parts.size() + 3);  // every raw byte
}

TEST(PartStream, PutBackByteIsHashedAndTeedOnce) {
    std::string parts = part(PartType::Header, header("x")) + part(PartType::Description, "abcdef");
    std::string bytes = file(parts);
    for (bool useUnget : {true, false}) {
        std::stringbuf src(bytes, std::ios::in);
        std::stringbuf tee;
        PackagePartStream s(&src, true, &tee);
        s.acceptPartType(PartType::Description);
        ASSERT_EQ(s.nextPart(), 2);
        EXPECT_FALSE(s.unget());  // nothing of the part read yet: refused
        s.clear();
        EXPECT_EQ(s.get(), 'a');
        EXPECT_EQ(s.get(), 'b');
        if (useUnget)
            s.unget();
        else
            s.putback('b');
        EXPECT_EQ(s.partBuffer().reReadCount(), 1u);
        char rest[5];
        s.read(rest, 5);  // through xsgetn: the first byte comes again
        EXPECT_EQ(std::string(rest, 5), "bcdef");
        EXPECT_EQ(s.partBuffer().reReadCount(), 0u);
        EXPECT_EQ(s.nextPart(), -1);
        EXPECT_EQ(taken(s), sha1Hex(parts));
        EXPECT_EQ(tee.str(), bytes);
    }
}

TEST(PartStream, PutBackWithoutDigestOrTeeCountsNothing) {
    std::stringbuf src(file(part(PartType::Description, "ab")), std::ios::in);
    PackagePartStream s(&src, false);
    s.acceptPartType(PartType::Description);
    s.nextPart();
    s.get();
    s.unget();
    EXPECT_EQ(s.partBuffer().reReadCount(), 0u);
    EXPECT_EQ(s.get(), 'a');
}

TEST(PartStream, SeekBackOnlyWhenNothingObservesTheBytes) {
    std::string parts = part(PartType::Header, header("x")) + part(PartType::Description, "0123456789");
    std::string bytes = file(parts);
    struct Case {
        bool digest;
        bool tee;
        bool seekable;
        bool backWorks;
    } cases[] = {{false, false, true, true}, {true, false, true, false}, {false, true, true, false},
                 {false, false, false, false}};
    for (const auto& c : cases) {
        std::stringbuf seekable(bytes, std::ios::in);
        UnseekableBuf unseekable(bytes);
        std::stringbuf tee;
        PackagePartStream s(c.seekable ? static_cast<std::streambuf*>(&seekable) : &unseekable, c.digest,
                            c.tee ? &tee : nullptr);
        s.acceptPartType(PartType::Description);
        ASSERT_EQ(s.nextPart(), 2);
        char buf[10];
        s.read(buf, 5);
        s.seekg(-3, std::ios::cur);
        EXPECT_EQ(!s.fail(), c.backWorks) << c.digest << c.tee << c.seekable;
        s.clear();
        EXPECT_EQ(s.tellg(), c.backWorks ? 2 : 5);
        // Forward skips work in every case; observed bytes are read, not seeked.
        s.seekg(2, std::ios::cur);
        EXPECT_FALSE(s.fail());
        EXPECT_EQ(s.get(), c.backWorks ? '4' : '7');
        s.seekg(0, std::ios::end);
        EXPECT_EQ(s.tellg(), 10);
        s.seekg(1, std::ios::cur);  // beyond the part
        EXPECT_TRUE(s.fail());
        s.clear();
        EXPECT_EQ(s.nextPart(), -1);
        if (c.digest) {
            EXPECT_EQ(taken(s), sha1Hex(parts));
        }
        if (c.tee) {
            EXPECT_EQ(tee.str(), bytes);
        }
    }
}

TEST(PartStream, SkippingPartsSeeksAnUnobservedSource) {
    // With digest and tee off a skipped part is not read: a part longer than the
    // data is passed by a seek, and the end shows at the next part header.
    std::string bytes = file(part(PartType::Files, std::string(5000, 'x')) + part(PartType::Description, "d"));
    std::stringbuf src(bytes, std::ios::in);
    PackagePartStream s(&src, false);
    s.acceptPartType(PartType::Description);
    EXPECT_EQ(s.nextPart(), 2);
    EXPECT_EQ(s.get(), 'd');
    EXPECT_EQ(s.nextPart(), -1);
}

// The signature check finishes the digest at the Signature part header and
// reads the 68-byte record unhashed, but teed.
TEST(PartStream, SignatureRecordIsTeedButNotHashed) {
    std::string upToSignature = part(PartType::Header, header("x")) + part(PartType::Files, "zz") +
                                le16(9) + le32(70);
    std::string record(68, 'r');
    std::string bytes = file(upToSignature + record + "xx");
    std::stringbuf src(bytes, std::ios::in);
    std::stringbuf tee;
    PackagePartStream s(&src, true, &tee);
    s.acceptPartType(PartType::Header);
    s.acceptPartType(PartType::Signature);
    EXPECT_EQ(s.nextPart(), 1);
    EXPECT_EQ(s.nextPart(), 9);
    auto& b = s.partBuffer();
    b.finishDigest();
    EXPECT_TRUE(s.digestCoversPackage());
    EXPECT_EQ(hexOf(b.lastDigest(), 20), sha1Hex(upToSignature));
    char got[68];
    EXPECT_EQ(b.readUnhashed(got, 68), 68);
    EXPECT_EQ(std::string(got, 68), record);
    EXPECT_EQ(b.remaining(), 2u);
    EXPECT_EQ(s.nextPart(), -1);
    EXPECT_EQ(tee.str(), bytes);
    EXPECT_EQ(taken(s), sha1Hex("xx"));  // what followed the record
}

// Two packages on one stream: the check of the first, made while the stream
// stands on the second's Header, sees the first's digest as its own; a stale
// digest from before a package's Header never counts.
TEST(PartStream, DigestCoversPackageFollowsThePackageBeingChecked) {
    std::string one = part(PartType::Header, header("one")) + part(PartType::Files, "1");
    std::string two = part(PartType::Header, header("two")) + part(PartType::Files, "2");
    std::stringbuf src(file(one + two), std::ios::in);
    PackagePartStream s(&src, true);
    s.acceptPartType(PartType::Header);
    s.acceptPartType(PartType::Files);
    EXPECT_EQ(s.nextPart(), 1);
    EXPECT_EQ(s.nextPart(), 4);
    EXPECT_FALSE(s.digestCoversPackage());  // only the digest of nothing before "one"
    EXPECT_EQ(s.nextPart(), 1);
    EXPECT_TRUE(s.digestCoversPackage());
    EXPECT_EQ(taken(s), sha1Hex(one));
    EXPECT_FALSE(s.digestCoversPackage());
    EXPECT_EQ(s.nextPart(), 4);
    EXPECT_EQ(s.nextPart(), -1);
    EXPECT_TRUE(s.digestCoversPackage());
    EXPECT_EQ(taken(s), sha1Hex(two));
}

}  // namespace

namespace {

// A package cut at any byte: reading it to the end terminates, and its digest
// counts only when no part was cut (a cut inside a part header just ends the
// parts early).
TEST(PartStream, EveryCutPointEndsCleanly) {
    std::string content;
    for (int i = 0; i < 3000; ++i)
        content += char('a' + i % 23);
    std::string parts = part(PartType::Header, header("cut")) + part(PartType::Description, "text") +
                        part(PartType::Files, deflated(content)) + part(PartType::Signature, std::string(68, 's'));
    std::vector<size_t> boundaries;
    for (size_t pos = 0; pos < parts.size();) {
        boundaries.push_back(pos);
        pos += 6 + readLe32(reinterpret_cast<const uint8_t*>(parts.data()) + pos + 2);
    }
    boundaries.push_back(parts.size());
    for (size_t cut = 0; cut <= parts.size(); ++cut) {
        std::string bytes = file(parts.substr(0, cut), kPackageMagic, int64_t(parts.size()));
        std::stringbuf src(bytes, std::ios::in);
        PackagePartStream s(&src, true);
        for (int t : {1, 2, 4, 9})
            s.acceptPartType(t);
        std::string inflated;
        int steps = 0;
        while (s.nextPart() >= 0 && ++steps < 10) {
            if (s.currentPart() == PartType::Files) {
                InflatingStream in(s);
                char buf[1000];
                while (in.read(buf, sizeof buf) || in.gcount() > 0)
                    inflated.append(buf, size_t(in.gcount()));
            }
        }
        EXPECT_LT(steps, 10);
        EXPECT_EQ(inflated, content.substr(0, inflated.size()));
        size_t last = *std::prev(std::upper_bound(boundaries.begin(), boundaries.end(), cut));
        bool whole = last > 0 && cut - last < 6;
        EXPECT_EQ(s.digestCoversPackage(), whole) << "cut at " << cut;
        if (whole) {
            uint8_t d[20];
            ASSERT_TRUE(s.takeDigest(d));
            EXPECT_EQ(hexOf(d, 20), sha1Hex(parts.substr(0, last)));
        }
    }
}

}  // namespace
