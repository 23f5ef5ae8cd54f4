#include "archive/format.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <ext/stdio_filebuf.h>
#include <fstream>
#include <sstream>
#include <thread>

#include "archive/partstream.h"
#include "archive/writer/writer.h"
#include "package_helpers.h"

using namespace testpkg;

namespace {

std::string nameList(std::initializer_list<DependencyEntry> entries) { return nameListData(entries); }

// The readers' view of a package: header parts as readArchive accepts them.
struct HeaderReader {
    explicit HeaderReader(const std::string& bytes) : src(bytes, std::ios::in), stream(&src, true) {
        for (int t : {18, 1, 16, 2, 3, 19, 17, 21})
            stream.acceptPartType(t);
        stream.nextPart();
    }
    std::stringbuf src;
    PackagePartStream stream;
};

TEST(Format, HeaderFieldsAndSixteenCharacterNames) {
    std::string name16 = "abcdefghijklmnop";
    HeaderReader r(file(part(PartType::Header, header(name16, 0x03006301, 1262304000))));
    PackageHeader h;
    ASSERT_TRUE(readHeader(h, r.stream));
    EXPECT_EQ(h.name, name16);
    EXPECT_EQ(h.version, 0x03006301u);
    EXPECT_EQ(h.buildTime, 1262304000u);
    EXPECT_EQ(h.architecture, "i386");
    EXPECT_FALSE(h.isBundle);
    EXPECT_EQ(r.stream.currentPart(), -1);

    std::string raw = "abc";
    raw += '\0';
    raw += "garbage-after";
    raw.resize(16, 'z');
    HeaderReader r2(file(part(PartType::Header, raw + le32(1) + le32(2) + std::string(8, '\xff') + "extra")));
    PackageHeader h2;
    ASSERT_TRUE(readHeader(h2, r2.stream));
    EXPECT_EQ(h2.name, "abc");
    EXPECT_EQ(h2.version, 1u);
    EXPECT_EQ(h2.buildTime, 2u);
}

TEST(Format, AllHeaderPartsInOrder) {
    DependencyEntry dep{"libc", 0x02096600, 0x03006600, 0};
    DependencyEntry prov{"mta", 0x01006600, 0, uint32_t(-5)};
    DependencyEntry conf{"other", 0, 0, 0};
    std::string parts = part(PartType::Header, header("pkg", 0x03006600, 5)) + part(PartType::Architecture, "x86_64") +
                        part(PartType::Description, "two\nlines") + part(PartType::Dependencies, nameList({dep, dep})) +
                        part(PartType::Provides, nameList({prov})) + part(PartType::Conflicts, nameList({conf})) +
                        part(PartType::Image, "img") + part(PartType::Files, deflated(""));
    HeaderReader r(file(parts));
    PackageHeader h;
    ASSERT_TRUE(readHeader(h, r.stream));
    EXPECT_EQ(h.architecture, "x86_64");
    EXPECT_EQ(h.description, "two\nlines");
    EXPECT_EQ(h.dependencies, (std::vector<DependencyEntry>{dep, dep}));
    EXPECT_EQ(h.provides, (std::vector<DependencyEntry>{prov}));
    EXPECT_EQ(h.conflicts, (std::vector<DependencyEntry>{conf}));
    EXPECT_TRUE(h.hasImage);
    EXPECT_EQ(r.stream.currentPart(), 21);  // stays on the Image part
}

TEST(Format, NameLists) {
    // Count 0: empty and fine.
    HeaderReader empty(file(part(PartType::Header, header("p")) + part(PartType::Dependencies, le16(0))));
    PackageHeader h;
    EXPECT_TRUE(readHeader(h, empty.stream));
    EXPECT_TRUE(h.dependencies.empty());

    // A count that promises more than the part holds: the read does not run
    // into the next part; the entries read so far stay.
    DependencyEntry dep{"a", 1, 2, 3};
    std::string shortList = le16(2) + nameList({dep}).substr(2);
    std::stringbuf src(file(part(PartType::Dependencies, shortList) + part(PartType::Description, std::string(64, 'x'))),
                       std::ios::in);
    PackagePartStream s(&src, false);
    s.acceptPartType(PartType::Dependencies);
    s.nextPart();
    std::vector<DependencyEntry> list;
    EXPECT_FALSE(readNameList(s, list));
    EXPECT_EQ(list, std::vector<DependencyEntry>{dep});

    // A missing count fails too.
    HeaderReader none(file(part(PartType::Header, header("p")) + part(PartType::Conflicts, "")));
    PackageHeader h2;
    EXPECT_FALSE(readHeader(h2, none.stream));
}

TEST(Format, ShortOrMissingHeaderFails) {
    HeaderReader shortHeader(file(part(PartType::Header, header("p").substr(0, 31)) + part(PartType::Description, "d")));
    PackageHeader h;
    EXPECT_FALSE(readHeader(h, shortHeader.stream));

    HeaderReader notHeader(file(part(PartType::Description, "d") + part(PartType::Header, header("p"))));
    EXPECT_FALSE(readHeader(h, notHeader.stream));

    HeaderReader badMagic(file(part(PartType::Header, header("p")), 0xBAD0F11F));
    EXPECT_FALSE(readHeader(h, badMagic.stream));
}

TEST(Format, UnknownPartTypeIsSkipped) {
    std::string parts = part(PartType::Header, header("p")) + part(12, std::string(300, '?')) +
                        part(PartType::Description, "desc") + part(12, "") + part(PartType::Conflicts, le16(0));
    HeaderReader r(file(parts));
    PackageHeader h;
    ASSERT_TRUE(readHeader(h, r.stream));
    EXPECT_EQ(h.description, "desc");
}

TEST(Format, PartsOutOfOrderAreNotSeenWhereTheyBelong) {
    DependencyEntry dep{"d", 0, 0, 0};
    std::string parts = part(PartType::Header, header("p")) + part(PartType::Dependencies, nameList({dep})) +
                        part(PartType::Architecture, "arm");
    HeaderReader r(file(parts));
    PackageHeader h;
    ASSERT_TRUE(readHeader(h, r.stream));
    EXPECT_EQ(h.architecture, "i386");
    EXPECT_EQ(h.dependencies.size(), 1u);
    EXPECT_EQ(r.stream.currentPart(), 16);
}

TEST(Format, ArchitecturePartCutShortLeavesTheStreamFailed) {
    std::string parts = part(PartType::Header, header("p")) + part(PartType::Architecture, "i586", 1000000);
    HeaderReader r(file(parts));
    PackageHeader h;
    EXPECT_TRUE(readHeader(h, r.stream));  // not reported here
    EXPECT_EQ(h.architecture, "i586");
    EXPECT_EQ(r.stream.currentPart(), -1);
}

TEST(Format, ReadArchiveSingleAndUntracked) {
    DependencyEntry dep{"libc", 0x02096600, 0, 0};
    std::string parts = part(PartType::Header, header("single", 0x01026600, 77)) +
                        part(PartType::Dependencies, nameList({dep})) + part(PartType::Files, deflated("")) +
                        part(PartType::Signature, std::string(68, 's'));
    TempFile f(file(parts, kUntrackedMagic));
    PackageArchive a;
    ASSERT_TRUE(readArchive(a, f.path));
    EXPECT_EQ(a.path, f.path);
    EXPECT_EQ(a.name, "single");
    EXPECT_EQ(a.version, 0x01026600u);
    EXPECT_EQ(a.buildTime, 77u);
    EXPECT_EQ(a.dependencies, std::vector<DependencyEntry>{dep});
    EXPECT_EQ(a.totalLength, 8 + parts.size());
    EXPECT_TRUE(a.isUntracked);
    EXPECT_EQ(a.selected, 0);
    EXPECT_TRUE(a.members.empty());

    PackageArchive missing;
    EXPECT_FALSE(readArchive(missing, f.path + ".absent"));
    TempFile tooShort("\x1e\xf1\xd0");
    EXPECT_FALSE(readArchive(missing, tooShort.path));
}

TEST(Format, ReadArchiveBundleWithMembers) {
    std::string member1 = part(PartType::Header, header("m1", 0x01006600)) + part(PartType::Architecture, "i486") +
                          part(PartType::Image, "img") + part(PartType::Files, deflated("")) +
                          part(PartType::Signature, std::string(68, 's'));
    std::string member2 = part(PartType::Header, header("m2", 0x02006600)) + part(PartType::Description, "second");
    std::string bytes = file(part(PartType::BundleHeader, header("bundle", 0x05006600, 9)) +
                             part(PartType::Description, "a bundle") + part(PartType::Image, "") +
                             part(PartType::BundleList, nameList({{"m1", 0, 0, 0}})) + member1 + member2);
    TempFile f(bytes);
    PackageArchive a;
    ASSERT_TRUE(readArchive(a, f.path));
    EXPECT_TRUE(a.isBundle);
    EXPECT_TRUE(a.hasImage);
    EXPECT_EQ(a.name, "bundle");
    EXPECT_EQ(a.description, "a bundle");
    ASSERT_EQ(a.members.size(), 2u);
    EXPECT_EQ(a.members[0].name, "m1");
    EXPECT_EQ(a.members[0].architecture, "i486");
    EXPECT_TRUE(a.members[0].hasImage);
    EXPECT_FALSE(a.members[0].isBundle);
    EXPECT_EQ(a.members[1].name, "m2");
    EXPECT_EQ(a.members[1].version, 0x02006600u);
    EXPECT_EQ(a.members[1].description, "second");
    EXPECT_EQ(a.members[1].architecture, "i386");
}

TEST(Format, ReadArchiveRefusesBundleWithoutMembers) {
    TempFile f(file(part(PartType::BundleHeader, header("b")) + part(PartType::BundleList, le16(0))));
    PackageArchive a;
    EXPECT_FALSE(readArchive(a, f.path));
}

TEST(Format, DeclaredLengthRefusedOnDiskAcceptedOnAPipe) {
    std::string bytes = file(part(PartType::Header, header("p", 0x01006600)), kPackageMagic, 9999);
    TempFile f(bytes);
    PackageArchive a;
    EXPECT_FALSE(readArchive(a, f.path));

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::thread writer([&] {
        ssize_t ignored = write(fds[1], bytes.data(), bytes.size());
        (void)ignored;
        close(fds[1]);
    });
    {
        __gnu_cxx::stdio_filebuf<char> in(fds[0], std::ios::in);
        PackagePartStream s(&in, true);
        s.acceptPartType(PartType::Header);
        EXPECT_EQ(s.totalLength(), 9999u + 8);
        ASSERT_EQ(s.nextPart(), 1);
        PackageHeader h;
        EXPECT_TRUE(readHeader(h, s));
        EXPECT_EQ(h.name, "p");
        EXPECT_EQ(h.version, 0x01006600u);
    }
    writer.join();
}

// Whatever the writer makes, the reader reads back field for field.
TEST(Format, WriterAndReaderAgree) {
    PackageContent p;
    p.name = "roundtrip";
    p.version = 0x03006202;
    p.buildTime = 1700000000;
    p.architecture = "i686";
    p.description = "described";
    p.dependencies = std::vector<DependencyEntry>{{"a", 1, 2, 3}};
    p.provides = std::vector<DependencyEntry>{{"b", 0, 0, 0xffffffff}};
    p.conflicts = std::vector<DependencyEntry>{};
    p.image = "image bytes";
    p.installScript = "echo hi";
    p.files = std::vector<FileEntry>{directoryEntry("etc", 0755), regularEntry("etc/motd", "hello\n")};
    std::ostringstream out;
    PackageWriter w(out, false);
    std::string error;
    ASSERT_TRUE(writePackage(w, p, error)) << error;
    ASSERT_TRUE(w.finish());
    TempFile f(out.str());
    PackageArchive a;
    ASSERT_TRUE(readArchive(a, f.path));
    EXPECT_EQ(a.name, p.name);
    EXPECT_EQ(a.version, p.version);
    EXPECT_EQ(a.buildTime, p.buildTime);
    EXPECT_EQ(a.architecture, *p.architecture);
    EXPECT_EQ(a.description, *p.description);
    EXPECT_EQ(a.dependencies, *p.dependencies);
    EXPECT_EQ(a.provides, *p.provides);
    EXPECT_TRUE(a.conflicts.empty());
    EXPECT_TRUE(a.hasImage);
    EXPECT_EQ(a.totalLength, out.str().size());
}

}  // namespace
