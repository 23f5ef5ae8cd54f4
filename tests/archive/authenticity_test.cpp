// The acceptance rule for a package that has just been read: its signature
// record, or its digest in the table of known digests.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "archive/format.h"
#include "archive/hash.h"
#include "archive/keys.h"
#include "archive/partstream.h"
#include "archive/signature.h"
#include "archive/signer.h"
#include "signed_package_helpers.h"

namespace {

using namespace signing_test;
using archive::PackageDigest;
using archive::TrustAnchors;

// What the installation does with one package: walk its parts to the
// Signature part or the end (every byte passes the digest), then check.
struct Check {
    bool accepted = false;
    archive::Authenticity why{};
    int partAfter = -2;  // the stream's part after the check
};

Check checkFirstPackage(const std::string& bytes, const TrustAnchors& trust, bool digestOn = true) {
    std::istringstream in(bytes);
    PackagePartStream stream(in, digestOn);
    for (PartType t : {PartType::Header, PartType::Description, PartType::InstallScript, PartType::Files,
                       PartType::Signature})
        stream.acceptPartType(t);
    stream.nextPart();
    while (stream.currentPart() != -1 && stream.currentPart() != int(PartType::Signature)) {
        if (stream.nextPart() == int(PartType::Header)) break;  // the next package begins
    }
    Check result;
    result.why = archive::checkAuthenticityDetailed(stream, trust);
    result.accepted = result.why == archive::Authenticity::Signed || result.why == archive::Authenticity::KnownDigest;
    result.partAfter = stream.currentPart();
    return result;
}


TEST(Signing, DevelopmentKeyPairMatchesTheShippedPublicKey) {
    std::ifstream in(std::string(SOURCE_DIR) + "/data/package-public-key.hex");
    std::string hex;
    in >> hex;
    std::string ours;
    char buf[3];
    for (uint8_t b : developmentPair().publicKey) {
        std::snprintf(buf, sizeof buf, "%02x", b);
        ours += buf;
    }
    EXPECT_EQ(ours, hex);
    // The stored scalar is already normalised.
    EXPECT_EQ(developmentPair().privateKey, developmentKey());
}

TEST(Signing, FreshKeysAndRecordsVerify) {
    auto pair = archive::generateKeyPair();
    ASSERT_TRUE(pair);
    EXPECT_TRUE(archive::isUsablePublicKey(pair->publicKey));
    PackageDigest digest = sha1("some package bytes");
    auto first = archive::signDigest(digest, pair->privateKey);
    auto second = archive::signDigest(digest, pair->privateKey);
    ASSERT_TRUE(first && second);
    EXPECT_TRUE(archive::verifySignatureRecord(digest, first->data(), pair->publicKey));
    EXPECT_TRUE(archive::verifySignatureRecord(digest, second->data(), pair->publicKey));
    EXPECT_NE(*first, *second) << "r must be fresh for every signature";
    EXPECT_FALSE(archive::verifySignatureRecord(digest, first->data(), developmentPair().publicKey));
    // A key given with the odd root is normalised to the same public key.
    auto negated = archive::keyPairFromPrivate(archive::scalar::negate(pair->privateKey));
    EXPECT_EQ(negated->publicKey, pair->publicKey);
    EXPECT_EQ(negated->privateKey, pair->privateKey);
}

TEST(Signing, ScalarArithmeticModuloTheOrder) {
    using namespace archive::scalar;
    archive::Bytes32 a{}, b{};
    for (int i = 0; i < 32; ++i) a[i] = uint8_t(i * 37 + 1), b[i] = uint8_t(255 - i * 11);
    archive::Bytes32 one{};
    one[0] = 1;
    EXPECT_EQ(mul(reduce(a.data(), 32), invert(reduce(a.data(), 32))), one);
    EXPECT_EQ(add(reduce(a.data(), 32), negate(a)), archive::Bytes32{});
    EXPECT_EQ(mul(add(a, b), reduce(one.data(), 32)), add(reduce(b.data(), 32), reduce(a.data(), 32)));
    archive::Bytes32 order = reduce(a.data(), 0);  // 0
    EXPECT_EQ(order, archive::Bytes32{});
}

TEST(Authenticity, SignedPackageVerifiesAndExactRecordMovesOn) {
    // A second package follows: after a 68-byte Signature part the stream
    // stands right on its Header.
    std::string bytes = file(signedPackage(packageBody("first")) + signedPackage(packageBody("second")));
    Check check = checkFirstPackage(bytes, devTrust());
    EXPECT_TRUE(check.accepted);
    EXPECT_EQ(check.partAfter, int(PartType::Header));

    // Longer Signature parts are fine; the rest is skipped later.
    bytes = file(signedPackage(packageBody("first"), 5) + part(PartType::Description, "after"));
    check = checkFirstPackage(bytes, devTrust());
    EXPECT_TRUE(check.accepted);
    EXPECT_EQ(check.partAfter, int(PartType::Description));
}

TEST(Authenticity, EveryByteFromHeaderToSignatureHeaderIsCovered) {
    std::string body = part(PartType::Header, headerData("tiny")) + part(PartType::InstallScript, "x");
    std::string package = signedPackage(body);
    std::string bytes = file(package);
    ASSERT_TRUE(checkFirstPackage(bytes, devTrust()).accepted);
    size_t covered = body.size() + kPartHeaderSize;  // through the Signature part header
    size_t failures = 0, tries = 0;
    for (size_t at = kFileHeaderSize; at < kFileHeaderSize + covered; ++at) {
        for (int value = 0; value < 256; ++value) {
            if (char(value) == bytes[at]) continue;
            std::string changed = bytes;
            changed[at] = char(value);
            ++tries;
            if (!checkFirstPackage(changed, devTrust()).accepted) ++failures;
            else ADD_FAILURE() << "byte " << at << " = " << value << " still accepted";
        }
    }
    EXPECT_EQ(failures, tries);
    // Any change to e or s fails too.
    size_t recordAt = kFileHeaderSize + covered;
    for (size_t at = recordAt + 20; at < recordAt + archive::signatureRecordSize; ++at) {
        for (uint8_t flip : {0x01, 0x80}) {
            std::string changed = bytes;
            changed[at] = char(changed[at] ^ flip);
            EXPECT_FALSE(checkFirstPackage(changed, devTrust()).accepted) << "record byte " << at - recordAt;
        }
    }
}

TEST(Authenticity, ShortOrMissingRecordOrDigestFails) {
    std::string body = packageBody("short");
    std::string sigHeader;
    putLe(sigHeader, uint32_t(PartType::Signature), 2);
    putLe(sigHeader, 67, 4);
    auto record = archive::signDigest(sha1(body + sigHeader), developmentPair().privateKey);
    std::string shortRecord(record->begin(), record->end() - 1);
    using archive::Authenticity;
    EXPECT_EQ(checkFirstPackage(file(body + sigHeader + shortRecord), devTrust()).why, Authenticity::ShortRecord);
    // A full record whose part is cut short in the stream.
    std::string package = signedPackage(body);
    EXPECT_EQ(checkFirstPackage(file(package.substr(0, package.size() - 1)), devTrust()).why,
              Authenticity::ShortRecord);
    // A stream that keeps no digest.
    EXPECT_EQ(checkFirstPackage(file(package), devTrust(), false).why, Authenticity::NoDigest);
    // Another key.
    auto other = archive::generateKeyPair();
    EXPECT_EQ(checkFirstPackage(file(package), TrustAnchors{other->publicKey, {}}).why,
              Authenticity::BadSignature);
    // A changed byte in the package, and a Signature part with no package.
    std::string changed = package;
    changed[kPartHeaderSize + 1] ^= 0x20;
    EXPECT_EQ(checkFirstPackage(file(changed), devTrust()).why, Authenticity::DigestMismatch);
    std::string signaturePart = package.substr(body.size());
    EXPECT_EQ(checkFirstPackage(file(part(PartType::Description, "x") + signaturePart), devTrust()).why,
              Authenticity::NotAPackage);
}

TEST(Authenticity, UnsignedPackagesNeedAKnownDigest) {
    std::string first = packageBody("one"), second = packageBody("two"), third = packageBody("three");
    std::vector<PackageDigest> table = {sha1(first), sha1("unrelated"), sha1(second)};
    EXPECT_TRUE(checkFirstPackage(file(first), devTrust(table)).accepted);   // first entry
    EXPECT_TRUE(checkFirstPackage(file(second), devTrust(table)).accepted);  // last entry
    EXPECT_EQ(checkFirstPackage(file(third), devTrust(table)).why, archive::Authenticity::UnknownDigest);
    // Checked when the next package's Header has arrived.
    Check check = checkFirstPackage(file(first + third), devTrust(table));
    EXPECT_TRUE(check.accepted);
    EXPECT_EQ(check.partAfter, int(PartType::Header));

    EXPECT_TRUE(archive::isKnownDigest(table.front().data(), table));
    EXPECT_TRUE(archive::isKnownDigest(table.back().data(), table));
    auto builtin = archive::knownPackageDigests;
    if (!builtin.empty()) {
        EXPECT_TRUE(archive::isKnownDigest(builtin.front().data()));
        EXPECT_TRUE(archive::isKnownDigest(builtin.back().data()));
    }
    EXPECT_FALSE(archive::isKnownDigest(sha1("surely not shipped").data()));
}

TEST(Authenticity, UntrackedPackagesAreCheckedTheSameWay) {
    std::string package = signedPackage(packageBody("loose"));
    EXPECT_TRUE(checkFirstPackage(file(package, kUntrackedMagic), devTrust()).accepted);
    std::string changed = package;
    changed[kPartHeaderSize] ^= 1;  // a byte of the name
    EXPECT_FALSE(checkFirstPackage(file(changed, kUntrackedMagic), devTrust()).accepted);
    std::string body = packageBody("loose");
    std::vector<PackageDigest> table = {sha1(body)};
    EXPECT_TRUE(checkFirstPackage(file(body, kUntrackedMagic), devTrust(table)).accepted);
    EXPECT_FALSE(checkFirstPackage(file(body + part(PartType::Files, "!"), kUntrackedMagic), devTrust(table)).accepted);
}

// A digest finished when a package's own Header arrived covers what came
// before it (nothing at all for a single package); it must never pass for the
// package. The table here holds the digest of the empty message.
TEST(Authenticity, StaleDigestNeverAuthenticates) {
    std::vector<PackageDigest> table = {sha1("")};
    TrustAnchors trust = devTrust(table);
    std::string body = packageBody("cut");
    // Cut short inside its last part.
    EXPECT_FALSE(checkFirstPackage(file(body.substr(0, body.size() - 2)), trust).accepted);
    // Cut short inside its first part.
    EXPECT_FALSE(checkFirstPackage(file(body.substr(0, 10)), trust).accepted);

    // A second member after a signed one with a 68-byte record: the bytes
    // between that record and the Header are none at all.
    std::string bytes = file(signedPackage(packageBody("first")) + body.substr(0, body.size() - 2));
    std::istringstream in(bytes);
    PackagePartStream stream(in, true);
    for (PartType t : {PartType::Header, PartType::Description, PartType::InstallScript, PartType::Signature})
        stream.acceptPartType(t);
    while (stream.nextPart() != int(PartType::Signature)) ASSERT_NE(stream.currentPart(), -1);
    EXPECT_TRUE(archive::checkAuthenticity(stream, trust));
    ASSERT_EQ(stream.currentPart(), int(PartType::Header));
    while (stream.nextPart() != -1) {
    }
    EXPECT_FALSE(archive::checkAuthenticity(stream, trust));

    // Parts out of order: the check comes while the package stands inside
    // its own parts, with only the Header-time digest ready.
    std::istringstream in2(file(body));
    PackagePartStream early(in2, true);
    early.acceptPartType(PartType::Header);
    early.acceptPartType(PartType::Description);
    early.nextPart();
    early.nextPart();
    ASSERT_EQ(early.currentPart(), int(PartType::Description));
    EXPECT_FALSE(archive::checkAuthenticity(early, trust));
}

TEST(Authenticity, BuiltInKeyIsUsed) {
    std::string bytes = file(signedPackage(packageBody("builtin")));
    std::istringstream in(bytes);
    PackagePartStream stream(in, true);
    stream.acceptPartType(PartType::Header);
    stream.acceptPartType(PartType::Signature);
    stream.nextPart();
    stream.nextPart();
    ASSERT_EQ(stream.currentPart(), int(PartType::Signature));
    bool builtinIsDevelopmentKey = archive::packagePublicKey == developmentPair().publicKey;
    EXPECT_EQ(stream.verifySignature(), builtinIsDevelopmentKey);
}

}  // namespace
