// The built-in table holds exactly the digests of its text file, in order.
#include "archive/keys.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

TEST(KnownPackageDigests, TableIsTheTextFileInOrder) {
    std::ifstream in(KNOWN_PACKAGE_DIGESTS_FILE);
    ASSERT_TRUE(in) << KNOWN_PACKAGE_DIGESTS_FILE;
    // the file's name alone: no folder of the build machine goes into the binary
    const std::string file = KNOWN_PACKAGE_DIGESTS_FILE;
    EXPECT_EQ(archive::knownPackageDigestsSource, file.substr(file.rfind('/') + 1));
    std::vector<archive::PackageDigest> expected;
    std::string line;
    while (std::getline(in, line)) {
        line = line.substr(0, line.find('#'));
        line.erase(0, line.find_first_not_of(" \t\r"));
        line.erase(line.find_last_not_of(" \t\r") + 1);
        if (line.empty()) continue;
        ASSERT_EQ(line.size(), 40u) << line;
        archive::PackageDigest digest;
        for (size_t i = 0; i < digest.size(); ++i) digest[i] = uint8_t(std::stoi(line.substr(2 * i, 2), nullptr, 16));
        expected.push_back(digest);
    }
    ASSERT_EQ(archive::knownPackageDigests.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(archive::knownPackageDigests[i], expected[i]) << i;
    if (!expected.empty()) {
        EXPECT_TRUE(archive::isKnownDigest(expected.front().data()));
        EXPECT_TRUE(archive::isKnownDigest(expected.back().data()));
    }
}

}  // namespace
