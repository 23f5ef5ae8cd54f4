// vpk keygen, sign and verify, run as programs; the files vpk signs are then
// checked in-process with the installer's own acceptance rule.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "archive/signature.h"
#include "tool_helpers.h"

using namespace tooltest;

namespace {

const std::string developmentKeyFile =
    std::string(SOURCE_DIR) + "/tests/data/development-signing-key.tests-and-demos-only.hex";

std::string developmentPublicKey() {
    std::ifstream in(std::string(SOURCE_DIR) + "/data/package-public-key.hex");
    std::string hex;
    in >> hex;
    return hex;
}

archive::TrustAnchors trustFromHex(const std::string& hex) {
    archive::TrustAnchors trust{};
    for (size_t i = 0; i < 32; ++i) trust.publicKey[i] = uint8_t(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    return trust;
}

std::vector<archive::PackageCheck> checkAll(const std::string& bytes, const archive::TrustAnchors& trust) {
    std::istringstream in(bytes);
    auto checks = archive::checkEveryPackage(in, trust);
    return checks ? *checks : std::vector<archive::PackageCheck>{};
}

class VpkSign : public ::testing::Test {
protected:
    TempDir dir;

    std::string build(const std::string& name, const std::string& description) {
        writeFile(dir / (name + ".manifest"), "name: " + name + "\nversion: 1.0\nbuild-time: 1262304000\n"
                                              "description: " + description + "\n");
        ToolRun r = vpk({"build", "-o", name + ".vpk", name + ".manifest"}, dir.path);
        EXPECT_EQ(r.status, 0) << r.err;
        return dir / (name + ".vpk");
    }
};

TEST_F(VpkSign, KeygenSignVerify) {
    ToolRun r = vpk({"keygen", "release"}, dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    std::string publicHex = readFile(dir / "release.pub");
    publicHex = publicHex.substr(0, publicHex.find('\n'));
    ASSERT_EQ(publicHex.size(), 64u);
    EXPECT_NE(r.out.find("-DPACKAGE_PUBLIC_KEY=" + publicHex), std::string::npos) << r.out;
    struct stat info;
    ASSERT_EQ(stat((dir / "release").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_NE(vpk({"keygen", "release"}, dir.path).status, 0) << "an existing key is never overwritten silently";

    std::string package = build("alpha", "first");
    r = vpk({"verify", "--public-key", publicHex, package});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("alpha: FAILED: unsigned, and its digest is not a known one [sha1 "), std::string::npos)
        << r.out;

    r = vpk({"sign", "--key", "release", "alpha.vpk"}, dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "alpha.vpk: signed alpha\n");
    r = vpk({"verify", "--public-key", publicHex, package});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("alpha: ok: signature good"), std::string::npos) << r.out;
    r = vpk({"verify", "--public-key", developmentPublicKey(), package});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("alpha: FAILED: signature does not match the public key"), std::string::npos) << r.out;
}

TEST_F(VpkSign, BundleMembersAreSignedOneByOne) {
    build("one", "the first member");
    build("two", "the second member");
    writeFile(dir / "pair.manifest", "name: pair\nversion: 1.0\nbuild-time: 1262304000\n");
    ToolRun r = vpk({"bundle", "-o", "pair.vpk", "pair.manifest", "one.vpk", "two.vpk"}, dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    r = vpk({"sign", "--key", developmentKeyFile, "-o", "signed.vpk", "pair.vpk"}, dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "signed.vpk: signed one\nsigned.vpk: signed two\n");

    std::string key = developmentPublicKey();
    r = vpk({"verify", "--public-key", key, dir / "signed.vpk"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find(": one: ok: signature good"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(": two: ok: signature good"), std::string::npos) << r.out;

    // A changed byte in the second member fails that member only.
    std::string bytes = readFile(dir / "signed.vpk");
    size_t at = bytes.find("the second member");
    ASSERT_NE(at, std::string::npos);
    bytes[at] = 'T';
    writeFile(dir / "changed.vpk", bytes);
    r = vpk({"verify", "--public-key", key, dir / "changed.vpk"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(": one: ok: signature good"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(": two: FAILED: package changed after signing"), std::string::npos) << r.out;
}

// Every byte from the Header part header to the Signature part header of a
// package signed by vpk, changed to every other value, fails the check.
TEST_F(VpkSign, EverySingleByteChangeOfASignedPackageFails) {
    build("tiny", "t");
    ASSERT_EQ(vpk({"sign", "--key", developmentKeyFile, "tiny.vpk"}, dir.path).status, 0);
    std::string bytes = readFile(dir / "tiny.vpk");
    archive::TrustAnchors trust = trustFromHex(developmentPublicKey());
    auto checks = checkAll(bytes, trust);
    ASSERT_EQ(checks.size(), 1u);
    ASSERT_EQ(checks[0].result, archive::Authenticity::Signed);

    size_t signaturePart = bytes.size() - 6 - 68;  // vpk writes exactly the 68-byte record, last
    ASSERT_EQ(bytes[signaturePart], 9);
    size_t changes = 0;
    for (size_t at = 8; at < signaturePart + 6; ++at) {
        for (int value = 0; value < 256; ++value) {
            if (char(value) == bytes[at]) continue;
            std::string changed = bytes;
            changed[at] = char(value);
            ++changes;
            for (const auto& c : checkAll(changed, trust))
                if (c.accepted()) ADD_FAILURE() << "offset " << at << " = " << value << " accepted as " << c.name;
        }
    }
    EXPECT_GT(changes, 255u * 50);
}

TEST_F(VpkSign, RefusesBadInput) {
    writeFile(dir / "text.vpk", "not a package at all");
    ToolRun r = vpk({"verify", dir / "text.vpk"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("not a package file"), std::string::npos);
    EXPECT_EQ(vpk({"verify", "--public-key", "09" + std::string(62, '0'), dir / "text.vpk"}).status, 2);
    EXPECT_EQ(vpk({"verify", "--public-key", "abc", dir / "text.vpk"}).status, 2);
    EXPECT_EQ(vpk({"sign", dir / "text.vpk"}).status, 2);  // no key
    r = vpk({"sign", "--key", developmentKeyFile, dir / "text.vpk"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(readFile(dir / "text.vpk"), "not a package at all");
}

}  // namespace
