// Signing whole package files, and checking every package of a file.
#include "archive/signer.h"

#include <gtest/gtest.h>

#include <sstream>

#include "signed_package_helpers.h"

namespace {

using namespace signing_test;
using archive::Authenticity;

std::vector<archive::PackageCheck> checkAll(const std::string& bytes, const TrustAnchors& trust) {
    std::istringstream in(bytes);
    auto checks = archive::checkEveryPackage(in, trust);
    EXPECT_TRUE(checks);
    return checks ? *checks : std::vector<archive::PackageCheck>{};
}

TEST(SignPackageFile, EveryMemberOfABundleGetsItsOwnSignature) {
    auto other = archive::generateKeyPair();
    std::string bundleParts = part(PartType::BundleHeader, headerData("bundle")) +
                              part(PartType::Description, "two and a half packages");
    std::string oldSignature = part(PartType::Signature, std::string(80, 'z'));
    std::string first = packageBody("first") + oldSignature;        // a longer, wrong record
    std::string second = packageBody("second");                     // unsigned, a member follows
    std::string third = packageBody("third") + part(PartType::Files, "data");  // unsigned, at the end
    std::string original = file(bundleParts + first + second + third);

    for (const auto& c : checkAll(original, devTrust())) EXPECT_FALSE(c.accepted()) << c.name;

    std::vector<std::string> names;
    std::string error;
    auto signedFile = archive::signPackageFile(original, developmentPair().privateKey, &names, &error);
    ASSERT_TRUE(signedFile) << error;
    EXPECT_EQ(names, (std::vector<std::string>{"first", "second", "third"}));

    auto checks = checkAll(*signedFile, devTrust());
    ASSERT_EQ(checks.size(), 3u);
    for (const auto& c : checks) EXPECT_EQ(c.result, Authenticity::Signed) << c.name;
    EXPECT_EQ(checks[1].name, "second");
    for (const auto& c : checkAll(*signedFile, TrustAnchors{other->publicKey, {}}))
        EXPECT_EQ(c.result, Authenticity::BadSignature) << c.name;

    // The bundle's own parts and every package's parts stand as they were;
    // each package ends in one 68-byte Signature part; the length is updated.
    std::string expectedStart = bundleParts + packageBody("first");
    EXPECT_EQ(signedFile->substr(kFileHeaderSize, expectedStart.size()), expectedStart);
    size_t expectedLength = bundleParts.size() + packageBody("first").size() + packageBody("second").size() +
                            third.size() + 3 * (kPartHeaderSize + archive::signatureRecordSize);
    EXPECT_EQ(signedFile->size(), kFileHeaderSize + expectedLength);
    EXPECT_EQ(uint32_t(uint8_t((*signedFile)[4]) | uint8_t((*signedFile)[5]) << 8), expectedLength & 0xFFFF);

    // Signing again replaces the signatures in place.
    auto again = archive::signPackageFile(*signedFile, developmentPair().privateKey, nullptr, &error);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->size(), signedFile->size());
    EXPECT_NE(*again, *signedFile);  // fresh r
    for (const auto& c : checkAll(*again, devTrust())) EXPECT_EQ(c.result, Authenticity::Signed);
}

TEST(SignPackageFile, RefusesWhatIsNotAWholePackageFile) {
    std::string error;
    EXPECT_FALSE(archive::signPackageFile("short", developmentPair().privateKey, nullptr, &error));
    std::string wrongMagic = file(packageBody("x"), 0x12345678);
    EXPECT_FALSE(archive::signPackageFile(wrongMagic, developmentPair().privateKey, nullptr, &error));
    std::string cut = file(packageBody("x"));
    cut.pop_back();
    EXPECT_FALSE(archive::signPackageFile(cut, developmentPair().privateKey, nullptr, &error));
    EXPECT_NE(error.find("cut short"), std::string::npos) << error;
    EXPECT_FALSE(archive::signPackageFile(file(packageBody("x")), archive::PrivateKey{}, nullptr, &error));
}

TEST(CheckEveryPackage, ReportsEachPackageAndWhy) {
    std::string good = signedPackage(packageBody("good"));
    std::string changed = signedPackage(packageBody("changed"));
    changed[kPartHeaderSize + 2] ^= 0x14;  // "chunged"
    std::string known = packageBody("known");
    std::vector<PackageDigest> table = {sha1(known)};
    std::string bytes = file(good + changed + known + packageBody("unknown"));
    auto checks = checkAll(bytes, devTrust(table));
    ASSERT_EQ(checks.size(), 4u);
    EXPECT_EQ(checks[0].result, Authenticity::Signed);
    EXPECT_EQ(checks[1].name, "chunged");
    EXPECT_EQ(checks[1].result, Authenticity::DigestMismatch);
    EXPECT_EQ(checks[2].result, Authenticity::KnownDigest);
    EXPECT_EQ(checks[3].result, Authenticity::UnknownDigest);
    ASSERT_TRUE(checks[3].digest);
    EXPECT_EQ(*checks[3].digest, sha1(packageBody("unknown")));

    std::istringstream notPackage("this is not a package file");
    EXPECT_FALSE(archive::checkEveryPackage(notPackage, devTrust()));
}

}  // namespace
