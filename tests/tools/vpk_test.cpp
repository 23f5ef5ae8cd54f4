#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "archive/format.h"
#include "archive/partstream.h"
#include "archive/writer/writer.h"
#include "tool_helpers.h"

using namespace tooltest;

namespace {

void setTime(const std::string& path, time_t t) {
    timespec times[2] = {{t, 0}, {t, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

uint32_t le32At(const std::string& s, size_t at) {
    return readLe32(reinterpret_cast<const uint8_t*>(s.data()) + at);
}

// Where each package's digest runs, found by walking the part headers
// independently of the part stream: from the package's Header part header to
// its Signature part header (included), or else to the next Header or the end.
std::vector<std::string> expectedDigests(const std::string& bytes) {
    struct Range {
        size_t start;
        size_t end = 0;
    };
    std::vector<Range> ranges;
    size_t pos = 8;
    while (pos + 6 <= bytes.size()) {
        unsigned type = uint8_t(bytes[pos]) | (uint8_t(bytes[pos + 1]) << 8);
        size_t length = le32At(bytes, pos + 2);
        if (type == 1) {
            if (!ranges.empty() && !ranges.back().end)
                ranges.back().end = pos;
            ranges.push_back({pos});
        }
        if (type == 9 && !ranges.empty() && !ranges.back().end)
            ranges.back().end = pos + 6;
        pos += 6 + length;
    }
    std::vector<std::string> digests;
    for (auto& r : ranges) {
        size_t end = r.end ? r.end : bytes.size();
        digests.push_back(pos <= bytes.size() || r.end ? sha1Hex(bytes.substr(r.start, end - r.start)) : "cut");
    }
    return digests;
}

Json info(const std::string& path, int expectStatus = 0) {
    ToolRun r = vpk({"info", "--json", path});
    EXPECT_EQ(r.status, expectStatus) << r.err;
    Json j;
    EXPECT_TRUE(parseJson(r.out, j)) << r.out;
    return j;
}

class Vpk : public ::testing::Test {
protected:
    TempDir dir;

    std::string build(const std::string& manifest, const std::string& output,
                      const std::vector<std::string>& extra = {}) {
        writeFile(dir / (output + ".manifest"), manifest);
        std::vector<std::string> args = {"build", "-o", output};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(output + ".manifest");
        ToolRun r = vpk(args, dir.path);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "wrote " + output + "\n");
        return dir / output;
    }
};

TEST_F(Vpk, BuildThenInfoRoundTripsEveryField) {
    std::string root = dir / "root";
    std::filesystem::create_directories(root + "/etc");
    std::filesystem::create_directories(root + "/bin");
    writeFile(root + "/etc/motd", "hello\n");
    chmod((root + "/etc/motd").c_str(), 0640);
    writeFile(root + "/empty", "");
    symlink("busybox", (root + "/bin/sh").c_str());
    mkfifo((root + "/pipe").c_str(), 0600);
    chmod((root + "/etc").c_str(), 0750);
    bool root_ = geteuid() == 0;
    if (root_)
        lchown((root + "/etc/motd").c_str(), 12, 34);
    setTime(root + "/etc/motd", 1000000001);
    setTime(root + "/bin/sh", 1000000002);
    setTime(root + "/empty", 1000000003);
    setTime(root + "/pipe", 1000000004);
    setTime(root + "/etc", 1000000005);
    setTime(root + "/bin", 1000000006);
    writeFile(dir / "on-install", "#!/bin/sh\necho in\n");
    writeFile(dir / "on-uninstall", "echo out\n");
    writeFile(dir / "image.bin", std::string("\0\1\2image", 8));
    writeFile(dir / "content", "explicit content");

    std::string manifest =
        "# every key once\n"
        "name: sixteen-chars-xy\n"
        "version: 3.0rc1\n"
        "build-time: 1262304000\n"
        "architecture: i486\n"
        "description: first line\n"
        "description: second \"line\"\n"
        "depends: libc >= 2.9, zlib, range >= 1.0 <= 2.0.3\n"
        "depends: exact = 3.0beta2\n"
        "provides: mta >= 1.0 extra -5, smtp extra 7\n"
        "conflicts: other <= 1.0\n"
        "install-script: on-install\n"
        "uninstall-script: on-uninstall\n"
        "image: image.bin\n"
        "untracked: yes\n"
        "files: root\n" +
        std::string(root_ ? "owners: keep\n" : "") +
        "entry: char 0600 0 5 dev/console 5 1\n"
        "entry: block 0660 0 6 dev/hda1 3 300\n"
        "entry: fifo 0644 1 2 var/fifo\n"
        "entry: dir 0700 0 0 var/empty\n"
        "entry: link 0777 0 0 lib/libz.so libz.so.1\n"
        "entry: skip file 0644 3 4 etc/skipped content\n";
    std::string path = build(manifest, "every.vpk");

    Json j = info(path);
    EXPECT_TRUE(j["untracked"].boolean);
    EXPECT_EQ(j["magic"].integer(), 0xA1100FFB);
    EXPECT_TRUE(j["lengthMatches"].boolean);
    EXPECT_TRUE(j["readable"].boolean);
    EXPECT_TRUE(j["bundle"].isNull());
    ASSERT_EQ(j["packages"].size(), 1u);
    const Json& p = j["packages"][0];
    EXPECT_EQ(p["name"].string, "sixteen-chars-xy");
    EXPECT_EQ(p["version"].string, "3.0rc1");
    EXPECT_EQ(p["versionValue"].integer(), 0x03006301);
    EXPECT_EQ(p["buildTime"].integer(), 1262304000);
    EXPECT_EQ(p["architecture"].string, "i486");
    EXPECT_EQ(p["description"].string, "first line\nsecond \"line\"");
    struct Dep {
        const char* name;
        long long min, max, extra;
    };
    auto expectList = [](const Json& list, std::vector<Dep> want) {
        ASSERT_EQ(list.size(), want.size());
        for (size_t i = 0; i < want.size(); ++i) {
            EXPECT_EQ(list[i]["name"].string, want[i].name);
            EXPECT_EQ(list[i]["minVersion"].integer(), want[i].min) << want[i].name;
            EXPECT_EQ(list[i]["maxVersion"].integer(), want[i].max) << want[i].name;
            EXPECT_EQ(list[i]["extra"].integer(), want[i].extra) << want[i].name;
        }
    };
    expectList(p["dependencies"], {{"libc", 0x02096600, 0, 0},
                                   {"zlib", 0, 0, 0},
                                   {"range", 0x01006600, 0x02006603, 0},
                                   {"exact", 0x03006202, 0x03006202, 0}});
    expectList(p["provides"], {{"mta", 0x01006600, 0, -5}, {"smtp", 0, 0, 7}});
    expectList(p["conflicts"], {{"other", 0, 0x01006600, 0}});
    EXPECT_EQ(p["image"].integer(), 8);
    EXPECT_EQ(p["installScript"].string, "#!/bin/sh\necho in\n");
    EXPECT_EQ(p["uninstallScript"].string, "echo out\n");
    EXPECT_TRUE(p["filesComplete"].boolean);
    EXPECT_TRUE(p["signature"].isNull());

    struct Entry {
        const char* name;
        unsigned mode;
        unsigned uid, gid;
        long long mtime;
        bool skip;
        long long size;
        const char* target;
        int major, minor;
    };
    unsigned owner = root_ ? 12 : 0, group = root_ ? 34 : 0;
    std::vector<Entry> want = {
        {"bin", 040755, 0, 0, 1000000006, false, 0, nullptr, -1, -1},
        {"bin/sh", 0120777, 0, 0, 1000000002, false, 7, "busybox", -1, -1},
        {"empty", 0100644, 0, 0, 1000000003, false, 0, nullptr, -1, -1},
        {"etc", 040750, 0, 0, 1000000005, false, 0, nullptr, -1, -1},
        {"etc/motd", 0100640, owner, group, 1000000001, false, 6, nullptr, -1, -1},
        {"pipe", 010600, 0, 0, 1000000004, false, 0, nullptr, -1, -1},
        {"dev/console", 020600, 0, 5, 1262304000, false, 4, nullptr, 5, 1},
        {"dev/hda1", 060660, 0, 6, 1262304000, false, 4, nullptr, 3, 300},
        {"var/fifo", 010644, 1, 2, 1262304000, false, 0, nullptr, -1, -1},
        {"var/empty", 040700, 0, 0, 1262304000, false, 0, nullptr, -1, -1},
        {"lib/libz.so", 0120777, 0, 0, 1262304000, false, 9, "libz.so.1", -1, -1},
        {"etc/skipped", 0100644, 3, 4, 1262304000, true, 16, nullptr, -1, -1},
    };
    const Json& files = p["files"];
    ASSERT_EQ(files.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        const Json& f = files[i];
        SCOPED_TRACE(want[i].name);
        EXPECT_EQ(f["name"].string, want[i].name);
        EXPECT_EQ(f["mode"].integer(), want[i].mode);
        EXPECT_EQ(f["uid"].integer(), want[i].uid);
        EXPECT_EQ(f["gid"].integer(), want[i].gid);
        EXPECT_EQ(f["mtime"].integer(), want[i].mtime);
        EXPECT_EQ(f["skip"].boolean, want[i].skip);
        EXPECT_EQ(f["size"].integer(), want[i].size);
        if (want[i].target) {
            EXPECT_EQ(f["target"].string, want[i].target);
        }
        if (want[i].major >= 0) {
            EXPECT_EQ(f["major"].integer(), want[i].major);
            EXPECT_EQ(f["minor"].integer(), want[i].minor);
        }
    }
    std::string bytes = readFile(path);
    EXPECT_EQ(p["digest"].string, expectedDigests(bytes).at(0));

    // The installer's own reader sees the same header.
    PackageArchive a;
    ASSERT_TRUE(readArchive(a, path));
    EXPECT_EQ(a.name, "sixteen-chars-xy");
    EXPECT_EQ(a.version, 0x03006301u);
    EXPECT_EQ(a.buildTime, 1262304000u);
    EXPECT_EQ(a.architecture, "i486");
    EXPECT_EQ(a.description, "first line\nsecond \"line\"");
    EXPECT_EQ(a.dependencies.size(), 4u);
    EXPECT_EQ(a.provides.at(0), (DependencyEntry{"mta", 0x01006600, 0, uint32_t(-5)}));
    EXPECT_EQ(a.conflicts.at(0), (DependencyEntry{"other", 0, 0x01006600, 0}));
    EXPECT_TRUE(a.hasImage);
    EXPECT_TRUE(a.isUntracked);
    EXPECT_EQ(a.totalLength, bytes.size());

    // The text form names the same things; file times are local dates as "tar tv" shows them.
    setenv("TZ", "UTC0", 1);
    ToolRun text = vpk({"info", path});
    EXPECT_EQ(text.status, 0);
    for (const char* piece : {"package sixteen-chars-xy-3.0rc1", "version:      3.0rc1 (0x03006301)",
                              "2010-01-01 00:00:00 UTC", "depends:      libc >= 2.9, zlib, range >= 1.0 <= 2.0.3",
                              "exact = 3.0beta2", "mta >= 1.0 extra -5",
                              "lrwxrwxrwx     0/0              0 2010-01-01 00:00 lib/libz.so -> libz.so.1",
                              "crw-------     0/5            5,1 2010-01-01 00:00 dev/console",
                              "brw-rw----     0/6          3,300 2010-01-01 00:00 dev/hda1",
                              "         6 2001-09-09 01:46 etc/motd", "(skipped)"})
        EXPECT_NE(text.out.find(piece), std::string::npos) << piece << "\n" << text.out;
    setenv("TZ", "XYZ-2", 1);
    EXPECT_NE(vpk({"info", path}).out.find(" 2001-09-09 03:46 etc/motd"), std::string::npos);
    unsetenv("TZ");
}

TEST_F(Vpk, MinimalManifestAndDefaults) {
    std::string path = build("name: tiny\nversion: 1.0\nbuild-time: 5\n", "tiny.vpk");
    Json j = info(path);
    const Json& p = j["packages"][0];
    EXPECT_EQ(p["architecture"].string, "i386");
    EXPECT_FALSE(p["architecturePart"].boolean);
    EXPECT_TRUE(p["description"].isNull());
    EXPECT_TRUE(p["dependencies"].isNull());
    EXPECT_TRUE(p["files"].isNull());
    EXPECT_FALSE(j["untracked"].boolean);
    // No parts but the Header.
    EXPECT_EQ(j["parts"].size(), 1u);

    // The default output name is the label; an empty list is a part of count 0.
    writeFile(dir / "m", "name: named\nversion: 2.9.1\nbuild-time: 0\ndepends:\n");
    ToolRun r = vpk({"build", "m"}, dir.path);
    EXPECT_EQ(r.status, 0) << r.err;
    Json k = info(dir / "named-2.9.1.vpk");
    EXPECT_EQ(k["packages"][0]["dependencies"].size(), 0u);
    EXPECT_EQ(k["packages"][0]["dependencies"].kind, Json::Array);
}

TEST_F(Vpk, BundlesTakeTheirMembersWhole) {
    std::string m1 = build("name: web\nversion: 2.0\nbuild-time: 10\ndescription: web server\n", "web.vpk");
    std::filesystem::create_directories(dir / "mailroot/etc");
    writeFile(dir / "mailroot/etc/mail.conf", "relay\n");
    std::string m2 = build("name: mail\nversion: 1.0.2\nbuild-time: 11\nfiles: mailroot\n", "mail.vpk");
    writeFile(dir / "suite.manifest",
              "name: suite\nversion: 9.0\nbuild-time: 12\narchitecture: i586\ndescription: all of it\n"
              "depends: base >= 1.0\nimage: -\nbundle-list: oldweb, oldmail\n");
    ToolRun r = vpk({"bundle", "-o", "suite.vpk", "suite.manifest", "web.vpk", "mail.vpk"}, dir.path);
    ASSERT_EQ(r.status, 0) << r.err;

    std::string bytes = readFile(dir / "suite.vpk");
    // Members are copied byte for byte.
    EXPECT_NE(bytes.find(readFile(m1).substr(8) + readFile(m2).substr(8)), std::string::npos);
    Json j = info(dir / "suite.vpk");
    const Json& b = j["bundle"];
    EXPECT_EQ(b["name"].string, "suite");
    EXPECT_EQ(b["version"].string, "9.0");
    EXPECT_EQ(b["architecture"].string, "i586");
    EXPECT_EQ(b["description"].string, "all of it");
    EXPECT_EQ(b["image"].integer(), 0);
    ASSERT_EQ(b["bundleList"].size(), 2u);
    EXPECT_EQ(b["bundleList"][1]["name"].string, "oldmail");
    ASSERT_EQ(j["packages"].size(), 2u);
    EXPECT_EQ(j["packages"][0]["name"].string, "web");
    EXPECT_EQ(j["packages"][1]["files"][1]["name"].string, "etc/mail.conf");
    auto digests = expectedDigests(bytes);
    ASSERT_EQ(digests.size(), 2u);
    EXPECT_EQ(j["packages"][0]["digest"].string, digests[0]);
    EXPECT_EQ(j["packages"][1]["digest"].string, digests[1]);
    // A member's digest does not depend on the file it travels in.
    EXPECT_EQ(digests[1], sha1Hex(readFile(m2).substr(8)));

    PackageArchive a;
    ASSERT_TRUE(readArchive(a, dir / "suite.vpk"));
    EXPECT_TRUE(a.isBundle);
    ASSERT_EQ(a.members.size(), 2u);
    EXPECT_EQ(a.members[0].description, "web server");
    EXPECT_EQ(a.members[1].version, 0x01006602u);

    // Refusals: no members, a bundle as member, files in a bundle manifest.
    ToolRun none = vpk({"bundle", "suite.manifest"}, dir.path);
    EXPECT_EQ(none.status, 2);
    EXPECT_NE(none.err.find("at least one member"), std::string::npos);
    ToolRun nested = vpk({"bundle", "-o", "nested.vpk", "suite.manifest", "suite.vpk"}, dir.path);
    EXPECT_EQ(nested.status, 1);
    EXPECT_NE(nested.err.find("bundle cannot be a member"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir / "nested.vpk"));
    EXPECT_FALSE(std::filesystem::exists(dir / "nested.vpk.partial"));
    writeFile(dir / "bad.manifest", "name: b\nversion: 1.0\nfiles: mailroot\n");
    EXPECT_EQ(vpk({"bundle", "bad.manifest", "web.vpk"}, dir.path).status, 1);
}

// The digest the installer computes, per package, equals SHA-1 over the byte
// range that the format defines, whatever stands around the package.
TEST_F(Vpk, DigestsMatchTheDefinedByteRanges) {
    std::filesystem::create_directories(dir / "r/usr");
    writeFile(dir / "r/usr/data", std::string(200000, 'd'));
    std::string one = build("name: one\nversion: 1.0\nbuild-time: 1\nfiles: r\n", "one.vpk");
    std::string two = build("name: two\nversion: 2.0\nbuild-time: 2\ndescription: x\n", "two.vpk");

    // Two packages back to back on one stream.
    std::string both = dir / "both.vpk";
    {
        std::ofstream out(both, std::ios::binary);
        PackageWriter w(out);
        std::string error;
        ASSERT_TRUE(appendPackageFile(w, one, error)) << error;
        ASSERT_TRUE(appendPackageFile(w, two, error)) << error;
        ASSERT_TRUE(w.finish());
    }
    // A package with a Signature part whose record carries the right digest.
    PackageContent signedPkg;
    signedPkg.name = "signed";
    signedPkg.version = 0x01006600;
    signedPkg.files = std::vector<FileEntry>{regularEntry("f", "contents")};
    signedPkg.signature = std::string(68, '\0');
    std::string error;
    std::string signedPath = dir / "signed.vpk";
    ASSERT_TRUE(writePackageFile(signedPath, signedPkg, false, error));
    std::string signedBytes = readFile(signedPath);
    std::string record = expectedDigests(signedBytes).at(0);
    for (size_t i = 0; i < 20; ++i)
        signedBytes[signedBytes.size() - 68 + i] = char(std::stoi(record.substr(2 * i, 2), nullptr, 16));
    writeFile(signedPath, signedBytes);

    for (const std::string& path : {one, both, signedPath}) {
        SCOPED_TRACE(path);
        std::string bytes = readFile(path);
        auto want = expectedDigests(bytes);
        Json j = info(path);
        ASSERT_EQ(j["packages"].size(), want.size());
        for (size_t i = 0; i < want.size(); ++i)
            EXPECT_EQ(j["packages"][i]["digest"].string, want[i]);

        // The part stream as the installer drives it: digests come ready at
        // each following Header and at the end.
        std::stringbuf src(bytes, std::ios::in);
        PackagePartStream s(&src, true);
        s.acceptPartType(PartType::Header);
        std::vector<std::string> got;
        uint8_t d[20];
        s.nextPart();
        EXPECT_TRUE(s.takeDigest(d));  // of nothing, before the first Header
        while (s.nextPart() != -2) {
            if (s.digestCoversPackage() && s.takeDigest(d)) {
                std::ostringstream hex;
                for (uint8_t c : d)
                    hex << std::hex << (c >> 4) << (c & 15);
                got.push_back(hex.str());
            }
            if (s.currentPart() == -1)
                break;
        }
        if (path != signedPath) {
            EXPECT_EQ(got, want);
        }
    }
    Json sj = info(signedPath);
    EXPECT_TRUE(sj["packages"][0]["signature"]["digestMatches"].boolean);
    EXPECT_EQ(sj["packages"][0]["signature"]["digest"].string, record);

    // Cut inside a part: no digest at all, and info says so.
    std::string cut = dir / "cut.vpk";
    writeFile(cut, readFile(one).substr(0, readFile(one).size() - 100));
    Json c = info(cut, 1);
    EXPECT_TRUE(c["cutShort"].boolean);
    EXPECT_FALSE(c["readable"].boolean);
    EXPECT_TRUE(c["packages"][0]["digest"].isNull());
}

TEST_F(Vpk, ManifestAndTreeErrorsAreClearAndFail) {
    struct Case {
        std::string manifest;
        std::string message;
    } cases[] = {
        {"version: 1.0\n", "m: no name"},  // found at the end: no line number
        {"name: x\n", "no version"},
        {"name: seventeen-chars-x\nversion: 1.0\n", "m:1: name must have 1 to 16 characters"},
        {"name: x\nversion: 1.0.x\n", "m:2: bad version \"1.0.x\""},
        {"name: x\nversion: 1.0\ncolour: red\n", "m:3: unknown key \"colour\""},
        {"name: x\nversion: 1.0\nnonsense\n", "m:3: expected \"key: value\""},
        {"name: x\nversion: 1.0\ndepends: a >> 2.0\n", "unknown operator \">>\""},
        {"name: x\nversion: 1.0\nbuild-time: 99999999999\n", "bad build time"},
        {"name: x\nversion: 1.0\ninstall-script: missing.sh\n", "m:3: cannot read"},
        {"name: x\nversion: 1.0\nentry: sock 0600 0 0 s\n", "m:3: unknown entry type \"sock\""},
        {"name: x\nversion: 1.0\nentry: char 0600 0 0 dev/x 1\n", "wrong number of arguments"},
        {"name: x\nversion: 1.0\nfiles: nowhere\n", "cannot read directory"},
        {"name: x\nversion: 1.0\nfiles: m\n", "not a directory"},
        {"name: x\nversion: 1.0\nbundle-list: a\n", "bundle-list belongs in a bundle manifest"},
    };
    for (const auto& c : cases) {
        writeFile(dir / "m", c.manifest);
        ToolRun r = vpk({"build", "-o", "out.vpk", "m"}, dir.path);
        EXPECT_EQ(r.status, 1) << c.manifest;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.manifest << " gave: " << r.err;
        EXPECT_FALSE(std::filesystem::exists(dir / "out.vpk"));
    }
    ToolRun missing = vpk({"build", "absent.manifest"}, dir.path);
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot read absent.manifest"), std::string::npos);

    // A socket has no entry form.
    std::filesystem::create_directories(dir / "sock");
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string sockPath = dir / "sock/s";
    std::strncpy(addr.sun_path, sockPath.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    writeFile(dir / "m", "name: x\nversion: 1.0\nfiles: sock\n");
    ToolRun sock = vpk({"build", "-o", "out.vpk", "m"}, dir.path);
    close(fd);
    EXPECT_EQ(sock.status, 1);
    EXPECT_NE(sock.err.find("cannot package"), std::string::npos) << sock.err;

    // Usage errors.
    EXPECT_EQ(vpk({"build"}, dir.path).status, 2);
    EXPECT_EQ(vpk({"build", "--bogus", "m"}, dir.path).status, 2);
    EXPECT_EQ(vpk({"frobnicate"}, dir.path).status, 2);
    EXPECT_EQ(vpk({"info"}, dir.path).status, 2);
    ToolRun notPackage = vpk({"info", "m"}, dir.path);
    EXPECT_EQ(notPackage.status, 1);
    EXPECT_NE(notPackage.err.find("not a package file"), std::string::npos);
    ToolRun help = vpk({"help"}, dir.path);
    EXPECT_EQ(help.status, 0);
    for (const char* c : {"build", "bundle", "info"})
        EXPECT_NE(help.out.find(std::string("  ") + c), std::string::npos) << c;
}

TEST_F(Vpk, InfoReportsALengthMismatchAndUnknownParts) {
    std::string path = build("name: p\nversion: 1.0\nbuild-time: 1\n", "p.vpk");
    std::string bytes = readFile(path);
    bytes += std::string("\x0c\x00\x03\x00\x00\x00xyz", 9);  // a type-12 part after the package
    writeFile(path, bytes);
    Json j = info(path, 1);  // the declared length no longer matches: the menu would refuse it
    EXPECT_FALSE(j["lengthMatches"].boolean);
    EXPECT_FALSE(j["readable"].boolean);
    EXPECT_EQ(j["parts"][1]["type"].integer(), 12);
    EXPECT_EQ(j["packages"][0]["digest"].string, expectedDigests(bytes)[0]);
}

}  // namespace
