#include "pkg/version.h"

#include <gtest/gtest.h>

#include "archive/format.h"

namespace {

TEST(Version, TextForms) {
    EXPECT_EQ(formatVersion(0x03006600), "3.0");
    EXPECT_EQ(formatVersion(0x03006601), "3.0.1");
    EXPECT_EQ(formatVersion(0x03006202), "3.0beta2");
    EXPECT_EQ(formatVersion(0x03006300), "3.0rc");
    EXPECT_EQ(formatVersion(0x03006301), "3.0rc1");
    EXPECT_EQ(formatVersion(0x0A0B6100), "10.11alpha");
    EXPECT_EQ(formatVersion(0), "0.0");
    EXPECT_EQ(formatVersion(0x03007805), "3.05");  // unknown kind letter: no word
    EXPECT_EQ(formatVersion(0xFFFFFFFF), "255.255255");
    EXPECT_EQ(formatVersion(0x02096600), "2.9");
    EXPECT_EQ(34170368u, 0x02096600u);  // how the database writes 2.9
}

TEST(Version, ParseIsTheInverseForEveryKind) {
    for (PackedVersion v : {0x03006600u, 0x03006601u, 0x03006202u, 0x03006300u, 0x03006301u, 0x0A0B61FFu,
                            0xFFFF66FFu, 0x00006600u}) {
        PackedVersion back = 0;
        ASSERT_TRUE(parseVersion(formatVersion(v), back)) << formatVersion(v);
        EXPECT_EQ(back, v);
    }
    PackedVersion v;
    for (const char* bad : {"", "3", "3.", ".3", "3.0.", "3.0x", "256.0", "3.0.256", "3.0rc1x", "3.0 ", "-1.0",
                            "3.0.1.2", "3.0betab"})
        EXPECT_FALSE(parseVersion(bad, v)) << bad;
}

TEST(Version, ReleaseOrderIsUnsignedOrder) {
    PackedVersion ordered[] = {0, 0x03006100, 0x03006202, 0x03006300, 0x03006301, 0x03006600, 0x03006601,
                               0x03016600, 0x04006600};
    for (size_t i = 1; i < std::size(ordered); ++i)
        EXPECT_LT(ordered[i - 1], ordered[i]) << formatVersion(ordered[i]);
}

TEST(Version, Labels) {
    EXPECT_EQ(label("system", 0x02096601), "system-2.9.1");
    EXPECT_EQ(label(DependencyEntry{"libc", 0, 0x03006600, 0}), "libc");
    EXPECT_EQ(label(DependencyEntry{"libc", 0x03006300, 0, 0}), "libc-3.0rc");
    PackageHeader h;
    h.name = "x";
    h.version = 0x01006600;
    EXPECT_EQ(label(h), "x-1.0");
}

TEST(Version, Satisfies) {
    PackageHeader x;
    x.name = "libc";
    x.version = 0x03006600;
    EXPECT_TRUE(satisfies(x, {"libc", 0, 0, 0}));
    EXPECT_TRUE(satisfies(x, {"libc", 0x03006600, 0x03006600, 0}));
    EXPECT_TRUE(satisfies(x, {"libc", 0x02006600, 0x04006600, 0}));
    EXPECT_FALSE(satisfies(x, {"libc", 0x03006601, 0, 0}));
    EXPECT_FALSE(satisfies(x, {"libc", 0, 0x03006300, 0}));
    EXPECT_FALSE(satisfies(x, {"libcx", 0, 0, 0}));
}

TEST(Version, Overlaps) {
    DependencyEntry open{"mta", 0, 0, 0};
    EXPECT_TRUE(overlaps(open, {"mta", 0x09006600, 0x09006600, 0}));
    EXPECT_FALSE(overlaps(open, {"smtp", 0, 0, 0}));
    DependencyEntry from3{"mta", 0x03006600, 0, 0};
    EXPECT_FALSE(overlaps(from3, {"mta", 0, 0x02096600, 0}));
    EXPECT_TRUE(overlaps(from3, {"mta", 0, 0x03006600, 0}));
    DependencyEntry upTo2{"mta", 0, 0x02006600, 0};
    EXPECT_FALSE(overlaps(upTo2, {"mta", 0x02006601, 0, 0}));
    EXPECT_TRUE(overlaps(upTo2, {"mta", 0x02006600, 0, 0}));
    EXPECT_TRUE(overlaps(DependencyEntry{"mta", 0x01006600, 0x05006600, 0}, {"mta", 0x04006600, 0x09006600, 0}));
}

PackageHeader pkg(std::string name, PackedVersion v, uint32_t built = 0) {
    PackageHeader h;
    h.name = std::move(name);
    h.version = v;
    h.buildTime = built;
    return h;
}

TEST(Version, ComparePackagesByVersionThenBuildTime) {
    EXPECT_EQ(comparePackages(pkg("a", 0x03006600), pkg("a", 0x03006202)), 1);
    EXPECT_EQ(comparePackages(pkg("a", 0x03006202), pkg("a", 0x03006600)), -1);
    EXPECT_EQ(comparePackages(pkg("a", 0x03006202), pkg("a", 0x03006600), true), 1);
    EXPECT_EQ(comparePackages(pkg("a", 1, 100), pkg("a", 1, 100)), 0);
    EXPECT_EQ(comparePackages(pkg("a", 1, 100), pkg("a", 1, 200)), -1);
    EXPECT_EQ(comparePackages(pkg("a", 1, 200), pkg("a", 1, 100)), 1);
    EXPECT_EQ(comparePackages(pkg("a", 2, 0), pkg("a", 1, 0xffffffff)), 1);
    EXPECT_EQ(comparePackages(pkg("a", 2), pkg("b", 1)), 0);
}

TEST(Version, ComparePackagesThroughBundleMembers) {
    PackageHeader bundle = pkg("suite", 0x09006600);
    bundle.isBundle = true;
    bundle.members = {pkg("web", 0x02006600, 5), pkg("mail", 0x01006600)};
    EXPECT_EQ(comparePackages(bundle, pkg("web", 0x01006600)), 1);
    EXPECT_EQ(comparePackages(bundle, pkg("web", 0x02006600, 6)), -1);
    EXPECT_EQ(comparePackages(pkg("mail", 0x01006601), bundle), 1);
    EXPECT_EQ(comparePackages(pkg("mail", 0x01006600), bundle, true), 0);
    EXPECT_EQ(comparePackages(bundle, pkg("other", 0x01006600)), 0);
    EXPECT_EQ(comparePackages(bundle, pkg("suite", 0x08006600)), 1);  // its namesake compares directly
}

}  // namespace
