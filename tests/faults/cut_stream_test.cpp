// Package files cut short at every byte: at each part boundary and inside
// each part. No package that lost a byte may pass the authenticity check, nor
// be listed from a medium; whole packages before the cut keep passing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "archive/format.h"
#include "archive/signed_package_helpers.h"
#include "archive/writer/writer.h"

namespace {

using namespace signing_test;

std::string writtenPackage(const PackageContent& content) {
    std::ostringstream out;
    PackageWriter writer(out);
    std::string error;
    EXPECT_TRUE(writePackage(writer, content, error)) << error;
    EXPECT_TRUE(writer.finish());
    return out.str();
}

PackageContent content(const std::string& name) {
    PackageContent p;
    p.name = name;
    p.version = 0x01000000;
    p.description = "cut short";
    p.dependencies = std::vector<DependencyEntry>{{"system", 0, 0, 0}};
    p.installScript = "echo installed\n";
    p.files = std::vector<FileEntry>{directoryEntry("etc", 0755), regularEntry("etc/" + name, std::string(700, 'c')),
                                     symlinkEntry("etc/link", name)};
    return p;
}

std::string signedFile(const std::string& file) {
    std::string error;
    auto out = archive::signPackageFile(file, developmentKey(), nullptr, &error);
    EXPECT_TRUE(out) << error;
    return out ? *out : std::string();
}

// File offsets where each package's bytes end (the next Header, or the end).
std::vector<size_t> packageEnds(const std::string& file) {
    std::vector<size_t> ends;
    size_t at = kFileHeaderSize;
    bool inPackage = false;
    while (at + kPartHeaderSize <= file.size()) {
        int type = readLe16(reinterpret_cast<const uint8_t*>(file.data() + at));
        if (type == PartType::Header) {
            if (inPackage) ends.push_back(at);
            inPackage = true;
        }
        at += kPartHeaderSize + readLe32(reinterpret_cast<const uint8_t*>(file.data() + at + 2));
    }
    if (inPackage) ends.push_back(file.size());
    return ends;
}

// Runs the whole-file check on the first `length` bytes.
std::vector<archive::PackageCheck> checksOf(const std::string& file, size_t length, const archive::TrustAnchors& trust) {
    std::istringstream in(file.substr(0, length));
    auto checks = archive::checkEveryPackage(in, trust);
    return checks ? *checks : std::vector<archive::PackageCheck>{};
}

void expectOnlyWholePackagesPass(const std::string& file, const archive::TrustAnchors& trust) {
    const std::vector<size_t> ends = packageEnds(file);
    ASSERT_FALSE(ends.empty());
    auto whole = checksOf(file, file.size(), trust);
    ASSERT_EQ(whole.size(), ends.size());
    for (const auto& check : whole) ASSERT_TRUE(check.accepted()) << check.name << ": " << describe(check.result);

    for (size_t length = 0; length < file.size(); ++length) {
        auto checks = checksOf(file, length, trust);
        for (size_t i = 0; i < checks.size(); ++i) {
            if (checks[i].accepted()) {
                EXPECT_LE(ends.at(i), length) << "package " << i << " accepted with " << file.size() - length
                                              << " bytes missing of the file";
            }
        }
    }
}

TEST(CutStream, SignedPackageFailsItsCheckWhereverItIsCut) {
    expectOnlyWholePackagesPass(signedFile(writtenPackage(content("alpha"))), devTrust());
}

TEST(CutStream, KnownDigestPackageFailsItsCheckWhereverItIsCut) {
    const std::string file = writtenPackage(content("beta"));
    // The table holds the digest of the whole package, from its Header on.
    const PackageDigest digest = sha1(file.substr(kFileHeaderSize));
    expectOnlyWholePackagesPass(file, devTrust({&digest, 1}));
}

TEST(CutStream, BundleKeepsOnlyTheMembersBeforeTheCut) {
    std::ostringstream out;
    PackageWriter writer(out);
    PackageContent head;
    head.name = "suite";
    writeBundleHead(writer, head, std::vector<DependencyEntry>{{"one", 0, 0, 0}, {"two", 0, 0, 0}});
    std::string error;
    ASSERT_TRUE(writePackage(writer, content("one"), error)) << error;
    ASSERT_TRUE(writePackage(writer, content("two"), error)) << error;
    ASSERT_TRUE(writer.finish());
    expectOnlyWholePackagesPass(signedFile(out.str()), devTrust());
}

// A file that lost its end is not offered on a medium: its length disagrees.
TEST(CutStream, MediumListingRefusesEveryCutFile) {
    const std::string file = signedFile(writtenPackage(content("gamma")));
    char path[] = "/tmp/cut-package-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    for (size_t length = 0; length <= file.size(); ++length) {
        ASSERT_EQ(ftruncate(fd, 0), 0);
        ASSERT_EQ(pwrite(fd, file.data(), length, 0), ssize_t(length));
        PackageArchive archive;
        EXPECT_EQ(readArchive(archive, path), length == file.size()) << "cut to " << length << " bytes";
    }
    close(fd);
    unlink(path);
}

}  // namespace
