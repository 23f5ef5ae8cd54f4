// Real package files fed through the install child into a sandbox's "/flash".
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <array>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include "archive/rootfs.h"
#include "archive/signature.h"
#include "init/process.h"
#include "install_helpers.h"
#include "pkg/database.h"
#include "pkg/driver.h"
#include "pkg/operations.h"
#include "pkg/payload.h"
#include "pkg/simulation.h"
#include "sandbox/sandbox.h"

using installtest::content;
using installtest::packageFile;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

constexpr const char* kListing = "=== listing";
constexpr uint32_t kDirTime = 1111111111;
constexpr uint32_t kFileTime = 1222222222;

struct Step {
    std::string bytes;
    InstallMode mode = InstallMode::stream;
    bool quiet = false;
    bool snapshot = false;  // prints the listing of /flash after the step ("=== snapshot")
};

struct Installed {
    std::string messages;                        // what the children printed
    std::map<std::string, std::string> flash;    // listing of /flash (setup paths left out)
    std::map<std::string, std::string> outside;  // listing of the sandbox root outside /flash, /usr, ...
    sandbox::Result result;
};

bool haveShell() { return ::access("/bin/bash-static", X_OK) == 0; }

// Setup paths that the tests place in /flash themselves.
bool isSetupPath(const std::string& path) {
    for (const char* prefix : {"/bin", "/dev", "/lumo"})
        if (path == prefix || path.rfind(std::string(prefix) + "/", 0) == 0)
            return true;
    return false;
}

Installed install(const std::vector<Step>& steps, sandbox::Options options = {},
            std::function<void()> setup = nullptr, std::function<void(size_t)> afterStep = nullptr) {
    options.newNetwork = false;
    if (haveShell())
        options.binds.push_back({"/bin/bash-static", "/flash/bin/bash", true});
    options.binds.push_back({"/dev/null", "/flash/dev/null", false});
    options.files.push_back({"/flash/lumo/lib/install/profile.sh", "", 0644});
    options.dirs.push_back("/outside");
    Installed run;
    run.result = sandbox::run(options, [&]() {
        ::signal(SIGPIPE, SIG_IGN);
        if (setup)
            setup();
        for (const Step& step : steps) {
            FILE* in = startInstallChild(step.mode, step.quiet);
            if (!in) {
                std::printf("no child\n");
                continue;
            }
            for (size_t at = 0; at < step.bytes.size(); at += 4096) {
                size_t n = std::min<size_t>(4096, step.bytes.size() - at);
                if (std::fwrite(step.bytes.data() + at, 1, n, in) != n)
                    break;
            }
            int status = closePipedChild(in);
            std::printf("\n[child status %d]\n", status);
            if (step.snapshot)
                std::printf("=== snapshot\n%s", installtest::listingText("/flash").c_str());
            if (afterStep)
                afterStep(size_t(&step - steps.data()));
        }
        std::printf("%s\n%s=== outside\n", kListing, installtest::listingText("/flash").c_str());
        std::string outside;
        for (const auto& [path, description] : installtest::listTree("/", false))
            outside += path + "\t" + description + "\n";
        for (const char* dir : {"/outside", "/tmp", "/drivers"})
            for (const auto& [path, description] : installtest::listTree(dir))
                outside += dir + path + "\t" + description + "\n";
        std::printf("%s=== end\n", outside.c_str());
        std::fflush(stdout);
        return 0;
    });
    if (std::getenv("INSTALL_TEST_OUTPUT"))
        std::fprintf(stderr, "%s\n", run.result.output.c_str());
    run.messages = installtest::before(run.result.output, kListing);
    for (auto& [path, description] : installtest::parseListing(run.result.output, kListing))
        if (!isSetupPath(path))
            run.flash[path] = description;
    run.outside = installtest::parseListing(run.result.output, "=== outside");
    return run;
}

FileEntry owned(FileEntry entry, uint16_t uid, uint16_t gid) {
    entry.uid = uid;
    entry.gid = gid;
    return entry;
}

// Pseudo-random bytes (they do not compress).
std::string noise(size_t size, uint32_t seed) {
    std::string data(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char& c : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = char(x >> 24);
    }
    return data;
}

std::string corruptLastFilesByte(std::string file) {
    // The Files part is the last before the 74-byte Signature part.
    file[file.size() - 75] ^= 0x5a;
    return file;
}

}  // namespace

TEST(InstallChild, FreshPackageLandsWithModesOwnersTimesAndDatabase) {
    PackageContent pkg = content("hello", 1, 2,
                                 {owned(directoryEntry("etc", 0750, kDirTime), 3, 4),
                                  owned(regularEntry("etc/hello.conf", "a=1\n", 0640, kFileTime), 5, 6),
                                  owned(regularEntry("/usr/bin/hello", std::string(40000, 'x'), 04755, kFileTime), 0, 0),
                                  owned(symlinkEntry("usr/bin/hi", "hello", kFileTime), 7, 8),
                                  owned(deviceEntry("dev2/tty9", EntryType::CharDevice, (4 << 8) | 9, 0620, kFileTime), 0, 5),
                                  owned(deviceEntry("dev2/sda", EntryType::BlockDevice, (8 << 8) | 0, 0660, kFileTime), 0, 6),
                                  fifoEntry("run/fifo", 0600, kFileTime)},
                                 1262304000);
    pkg.dependencies = std::vector<DependencyEntry>{};
    pkg.provides = std::vector<DependencyEntry>{{"greeter", packVersion(1, 0), 0, uint32_t(-3)}};
    pkg.conflicts = std::vector<DependencyEntry>{{"goodbye", 0, packVersion(2, 0), 0}};
    pkg.installScript = "echo ran >/var/ran-hello\n";
    pkg.uninstallScript = "echo bye\n";
    Installed run = install({{packageFile(pkg)}});

    EXPECT_THAT(run.messages, HasSubstr("installed hello-1.2"));
    EXPECT_THAT(run.messages, Not(HasSubstr("ERROR")));
    EXPECT_EQ(run.flash["/etc"], "d 0750 3:4 1111111111 -");
    EXPECT_EQ(run.flash["/etc/hello.conf"], "f 0640 5:6 1222222222 a=1\\n");
    EXPECT_EQ(run.flash["/usr/bin/hello"],
              "f 4755 0:0 1222222222 size=40000 " + installtest::digestText(std::string(40000, 'x')));
    EXPECT_THAT(run.flash["/usr/bin/hi"], ::testing::MatchesRegex("l 0777 7:8 [0-9]+ hello"));
    EXPECT_EQ(run.flash["/dev2/tty9"], "c 0620 0:5 1222222222 4,9");
    EXPECT_EQ(run.flash["/dev2/sda"], "b 0660 0:6 1222222222 8,0");
    EXPECT_EQ(run.flash["/run/fifo"], "p 0600 0:0 1222222222 -");
    // Directories the package did not name are made on the way.
    EXPECT_EQ(run.flash["/usr"].substr(0, 1), "d");

    const std::string db = "/var/pdb/hello/";
    EXPECT_EQ(run.flash[db + "version"], "f 0644 0:0 " + run.flash[db + "version"].substr(11, 10) + " " +
                                              std::to_string(packVersion(1, 2)) + " 1262304000\\n")
        << run.flash[db + "version"];
    EXPECT_THAT(run.flash[db + "deps"], ::testing::EndsWith(" "));  // written although empty
    EXPECT_THAT(run.flash[db + "provides"], HasSubstr("greeter " + std::to_string(packVersion(1, 0)) + " 0 -3\\n"));
    EXPECT_THAT(run.flash[db + "conflicts"], HasSubstr("goodbye 0 " + std::to_string(packVersion(2, 0)) + "\\n"));
    EXPECT_THAT(run.flash[db + "files"],
                HasSubstr(" dev2/sda\\ndev2/tty9\\netc/hello.conf\\nrun/fifo\\nusr/bin/hello\\nusr/bin/hi\\n"));
    EXPECT_THAT(run.flash[db + "oninstall"],
                HasSubstr("f 0755 0:0 ")) << run.flash[db + "oninstall"];
    EXPECT_THAT(run.flash[db + "oninstall"],
                HasSubstr(" #!/bin/bash\\n\\n. /lumo/lib/install/profile.sh\\n\\necho ran >/var/ran-hello\\n"));
    EXPECT_THAT(run.flash[db + "onuninstall"], HasSubstr("\\necho bye\\n"));
    EXPECT_EQ(run.flash.count(db + "bundle"), 0u);
    EXPECT_EQ(run.flash.count(db + "disabled"), 0u);
    EXPECT_EQ(run.flash.count("/image"), 0u);
    if (haveShell()) {
        EXPECT_THAT(run.flash["/var/ran-hello"], HasSubstr(" ran\\n"));
    }
}

TEST(InstallChild, SameOlderAndNewerVersions) {
    if (!haveShell())
        GTEST_SKIP() << "needs /bin/bash-static";
    PackageContent v1 = content("tool", 1, 0,
                                {directoryEntry("opt/tool-old", 0755), regularEntry("opt/tool-old/a", "old"),
                                 regularEntry("opt/tool", "v1")});
    v1.installScript = "echo 1 >>/var/tool-installs\n";
    v1.uninstallScript = "echo gone >/var/tool-uninstalled\n";
    PackageContent older = content("tool", 0, 9, {regularEntry("opt/tool", "v0.9")});
    PackageContent v2 = content("tool", 2, 0, {regularEntry("opt/tool", "v2"), regularEntry("opt/tool2", "new")});
    v2.installScript = "echo 2 >>/var/tool-installs\n";
    Installed run = install({{packageFile(v1)}, {packageFile(v1)}, {packageFile(older)}, {packageFile(v2)}});

    EXPECT_THAT(run.messages, HasSubstr("installed tool-1.0"));
    EXPECT_THAT(run.messages, HasSubstr("WARNING: omitting package tool-1.0: it is already installed"));
    EXPECT_THAT(run.messages, HasSubstr("WARNING: omitting package tool-0.9: newer package tool-1.0 is already installed"));
    EXPECT_THAT(run.messages, HasSubstr("installed tool-2.0"));
    // The old files were gone before the new ones came: no ghost or collision.
    EXPECT_THAT(run.messages, Not(HasSubstr("ghost file")));
    EXPECT_THAT(run.messages, Not(HasSubstr("collides")));
    EXPECT_THAT(run.flash["/opt/tool"], HasSubstr(" v2"));
    EXPECT_EQ(run.flash.count("/opt/tool-old/a"), 0u);
    EXPECT_THAT(run.flash["/var/pdb/tool/version"], HasSubstr(" " + std::to_string(packVersion(2, 0)) + " 1000"));
    EXPECT_THAT(run.flash["/var/pdb/tool/files"], HasSubstr(" opt/tool\\nopt/tool2\\n"));
    EXPECT_EQ(run.flash.count("/var/pdb/tool/onuninstall"), 0u);
    EXPECT_THAT(run.flash["/var/tool-installs"], HasSubstr(" 1\\n2\\n"));
    EXPECT_EQ(run.flash.count("/var/tool-uninstalled"), 0u);
}

TEST(InstallChild, ConflictingPackageInstallsDisabled) {
    PackageContent first = content("first", 1, 0, {regularEntry("etc/first", "1")});
    first.conflicts = std::vector<DependencyEntry>{{"second", 0, 0, 0}};
    PackageContent second = content("second", 1, 0, {regularEntry("etc/second", "2")});
    second.installScript = "echo ran >/var/ran-second\n";
    Installed run = install({{packageFile(first)}, {packageFile(second)}});

    EXPECT_THAT(run.messages, HasSubstr("installing  (disabled) second-1.0"));
    EXPECT_THAT(run.messages, HasSubstr("installed (disabled) second-1.0"));
    EXPECT_THAT(run.flash["/x/second/etc/second"], HasSubstr(" 2"));
    EXPECT_EQ(run.flash["/x/second/var/pdb/second"].substr(0, 1), "d");
    EXPECT_EQ(run.flash.count("/etc/second"), 0u);
    EXPECT_THAT(run.flash["/var/pdb/second/files"], HasSubstr(" x/second/etc/second\\n"));
    EXPECT_THAT(run.flash["/var/pdb/second/disabled"], HasSubstr(" auto\\n"));
    EXPECT_EQ(run.flash.count("/var/ran-second"), 0u);
}

TEST(InstallChild, BundleKeepsInstallsAndRemovesMembers) {
    std::string m1 = packageFile(content("m1", 1, 0, {regularEntry("m1", "1")}));
    std::string m2 = packageFile(content("m2", 1, 0, {regularEntry("m2", "2")}));
    std::string m3 = packageFile(content("m3", 1, 0, {regularEntry("m3", "3")}));
    PackageContent v1 = content("suite", 1, 0, {});
    v1.files.reset();
    PackageContent v2 = v1;
    v2.version = packVersion(2, 0);
    std::vector<DependencyEntry> list{{"m2", 0, 0, 0}};
    Installed run = install({{installtest::bundleFile(v1, nullptr, {m1, m3})},
                       {installtest::bundleFile(v2, &list, {m1, m2})}});

    EXPECT_THAT(run.messages, HasSubstr("installed suite-1.0"));
    EXPECT_THAT(run.messages, HasSubstr("installed suite-2.0"));
    EXPECT_THAT(run.messages, Not(HasSubstr("ERROR")));
    EXPECT_THAT(run.flash["/m1"], HasSubstr(" 1"));
    EXPECT_THAT(run.flash["/var/pdb/m1/bundle"], HasSubstr(" suite\\n"));
    // Listed in the BundleList: arrives disabled.
    EXPECT_THAT(run.flash["/x/m2/m2"], HasSubstr(" 2"));
    EXPECT_THAT(run.flash["/var/pdb/m2/disabled"], HasSubstr(" auto\\n"));
    // A former member that the new bundle no longer carries is gone.
    EXPECT_EQ(run.flash.count("/m3"), 0u);
    EXPECT_EQ(run.flash.count("/var/pdb/m3"), 0u);
    // The bundle's own entry has no file list.
    EXPECT_THAT(run.flash["/var/pdb/suite/version"], HasSubstr(" " + std::to_string(packVersion(2, 0)) + " 1000"));
    EXPECT_EQ(run.flash.count("/var/pdb/suite/files"), 0u);
}

TEST(InstallChild, RefusedPackagesLeaveNothing) {
    std::string unknown = packageFile(content("unknown", 1, 0, {regularEntry("etc/unknown", "u")}), false);
    std::string tampered = corruptLastFilesByte(
        packageFile(content("tampered", 1, 0, {directoryEntry("tam", 0755), regularEntry("tam/file", "t")})));
    FileEntry device = deviceEntry("dev2/bad", EntryType::CharDevice, 0x0101, 0600);
    device.data = std::string(8, '\1');
    std::string eightBytes = packageFile(content("eight", 1, 0, {regularEntry("etc/eight", "e"), device}));
    Installed run = install({{unknown}, {tampered}, {eightBytes}});

    EXPECT_THAT(run.messages, HasSubstr("ERROR: installation of unknown-1.0 failed: broken package"));
    EXPECT_THAT(run.messages, HasSubstr("ERROR: installation of tampered-1.0 failed: broken package"));
    EXPECT_THAT(run.messages, HasSubstr("ERROR: installation of eight-1.0 failed: broken package"));
    for (const char* path : {"/etc/unknown", "/tam/file", "/etc/eight", "/dev2/bad", "/var/pdb/unknown",
                             "/var/pdb/tampered", "/var/pdb/eight", "/image"})
        EXPECT_EQ(run.flash.count(path), 0u) << path;
}

TEST(InstallChild, UnsignedPackagesWithKnownDigests) {
    std::string file = packageFile(content("known", 1, 0, {regularEntry("etc/known", "k")}), false);
    // Known as it is, but its compressed data's own check value (the last
    // bytes of the Files part, the last part here) does not match its contents.
    std::string badCheck =
        packageFile(content("badcheck", 1, 0, {regularEntry("etc/badcheck", std::string(3000, 'b'))}), false);
    badCheck.back() ^= 1;
    static std::array<archive::PackageDigest, 2> table;
    table[0] = installtest::packageDigest(file);
    table[1] = installtest::packageDigest(badCheck);
    static archive::TrustAnchors trust;
    trust.publicKey = archive::builtinTrustAnchors().publicKey;
    trust.knownDigests = table;
    setInstallTrust(&trust);
    Installed run = install({{file}, {badCheck}});
    setInstallTrust(nullptr);
    EXPECT_THAT(run.messages, HasSubstr("installed known-1.0"));
    EXPECT_THAT(run.flash["/etc/known"], HasSubstr(" k"));
    EXPECT_THAT(run.messages, HasSubstr("ERROR: installation of badcheck-1.0 failed: broken package"));
    EXPECT_EQ(run.flash.count("/etc/badcheck"), 0u);
    EXPECT_EQ(run.flash.count("/var/pdb/badcheck"), 0u);
}

TEST(InstallChild, GhostAndCollidingFiles) {
    PackageContent owner = content("owner", 1, 0, {regularEntry("etc/shared", "owner's")});
    PackageContent other = content("other", 1, 0,
                                   {regularEntry("etc/shared", "other's"), regularEntry("etc/ghost", "new"),
                                    directoryEntry("etc", 0700, kDirTime)});
    Installed run = install({{packageFile(owner)}, {packageFile(other)}}, {}, [] {
        ::mkdir("/flash/etc", 0755);
        sandbox::writeFile("/flash/etc/ghost", "left over");
    });

    EXPECT_THAT(run.messages, HasSubstr("WARNING: file /etc/shared collides with owner package"));
    EXPECT_THAT(run.messages, HasSubstr("WARNING: ghost file /etc/ghost"));
    EXPECT_THAT(run.messages, HasSubstr("installed other-1.0"));
    EXPECT_THAT(run.flash["/etc/shared"], HasSubstr(" owner's"));
    EXPECT_THAT(run.flash["/etc/ghost"], HasSubstr(" new"));
    EXPECT_THAT(run.flash["/var/pdb/other/files"], HasSubstr(" etc/ghost\\n"));
    EXPECT_THAT(run.flash["/var/pdb/other/files"], Not(HasSubstr("shared")));
    // An existing directory keeps its mode.
    EXPECT_EQ(run.flash["/etc"].substr(0, 7), "d 0755 ");
}

TEST(InstallChild, UntrackedPackages) {
    PackageContent tool = content("tool", 1, 0, {regularEntry("opt/tool", "tracked")});
    PackageContent extra = content("extra", 1, 0, {regularEntry("opt/tool", "untracked")});
    FileEntry device = deviceEntry("dev2/bad", EntryType::CharDevice, 0x0101, 0600);
    device.data = std::string(8, '\1');
    PackageContent failing = content("tool", 3, 0, {regularEntry("opt/other", "o"), device});
    Installed run = install({{packageFile(tool)}, {packageFile(extra, true, true)}, {packageFile(failing, true, true)}});

    EXPECT_THAT(run.messages, HasSubstr("installed extra-1.0"));
    // Replaced without a warning, whoever owned it.
    EXPECT_THAT(run.messages, Not(HasSubstr("collides")));
    EXPECT_THAT(run.messages, Not(HasSubstr("ghost")));
    EXPECT_THAT(run.flash["/opt/tool"], HasSubstr(" untracked"));
    EXPECT_EQ(run.flash.count("/var/pdb/extra"), 0u);
    // The failing untracked "tool" cleans up its own files only: the database
    // entry of the installed "tool" stays.
    EXPECT_THAT(run.messages, HasSubstr("ERROR: installation of tool-3.0 failed: broken package"));
    EXPECT_EQ(run.flash.count("/opt/other"), 0u);
    EXPECT_THAT(run.flash["/var/pdb/tool/version"], HasSubstr(" " + std::to_string(packVersion(1, 0)) + " 1000"));
    EXPECT_THAT(run.flash["/var/pdb/tool/files"], HasSubstr(" opt/tool\\n"));
}

TEST(InstallChild, FullDiskLeavesNothing) {
    PackageContent big = content("big", 1, 0,
                                 {directoryEntry("data", 0755), regularEntry("data/small", "s"),
                                  regularEntry("data/huge", std::string(2 << 20, '\0'))});
    // Incompressible: the disk fills while the package's later blocks are
    // still being read and inflated.
    PackageContent noisy = content("noisy", 1, 0,
                                   {directoryEntry("noise", 0755), regularEntry("noise/small", "s"),
                                    regularEntry("noise/huge", noise(2 << 20, 7)), regularEntry("noise/after", "a")});
    sandbox::Options options;
    options.flashTmpfsOptions = "size=512k";
    Installed run = install({{packageFile(big)}, {packageFile(noisy)}}, options);
    EXPECT_THAT(run.messages, HasSubstr("ERROR: installation of big-1.0 failed: disk is too small"));
    EXPECT_THAT(run.messages, HasSubstr("ERROR: installation of noisy-1.0 failed: disk is too small"));
    for (const char* path : {"/data/small", "/data/huge", "/var/pdb/big", "/noise/small", "/noise/huge",
                             "/noise/after", "/var/pdb/noisy", "/image"})
        EXPECT_EQ(run.flash.count(path), 0u) << path;
}

// Entries around and across the block sizes in which packages are read and
// inflated, so that entry headers, names and data straddle block boundaries.
std::vector<FileEntry> largeTree(const std::string& dir, std::map<std::string, std::string>& expected) {
    std::vector<FileEntry> files{directoryEntry(dir, 0755)};
    const size_t sizes[] = {1, 65535, 65536, 65537, 200001, 3 * 65536, 700000, 33};
    for (size_t i = 0; i < std::size(sizes); ++i) {
        std::string data = i % 2 ? noise(sizes[i], uint32_t(i + 1)) : std::string(sizes[i], char('a' + i));
        std::string name = dir + "/f" + std::to_string(i);
        // (The listing shows short contents as they are, longer ones by size and digest.)
        expected["/" + name] = data.size() <= 512 ? data : "size=" + std::to_string(data.size()) + " " +
                                                              installtest::digestText(data);
        files.push_back(regularEntry(name, data));
    }
    files.push_back(directoryEntry(dir + "/many", 0755));
    for (int i = 0; i < 400; ++i) {
        std::string name = dir + "/many/" + std::to_string(i);
        files.push_back(regularEntry(name, std::string(size_t(i % 40), 'm') + std::to_string(i)));
    }
    return files;
}

// Run with the stages in threads and in line (as without threads).
class LargePackages : public ::testing::TestWithParam<bool> {
protected:
    void TearDown() override { setPayloadThreads(true); }
};

TEST_P(LargePackages, LandWholeOrNotAtAll) {
    setPayloadThreads(GetParam());
    std::map<std::string, std::string> expected, ignored;
    PackageContent whole = content("whole", 1, 0, largeTree("whole", expected));
    whole.image = "i";  // keeps the copy of the stream, which must be whole too
    const std::string wholeFile = packageFile(whole);
    const std::string cut = packageFile(content("cut", 1, 0, largeTree("cut", ignored)));
    std::string changed = packageFile(content("changed", 1, 0, largeTree("changed", ignored)));
    changed[changed.size() / 2] ^= 0x20;
    Installed run = install({{cut.substr(0, cut.size() / 2)}, {changed}, {wholeFile}});

    EXPECT_THAT(run.messages, HasSubstr("ERROR: installation of cut-1.0 failed: broken package"));
    EXPECT_THAT(run.messages, HasSubstr("ERROR: installation of changed-1.0 failed: broken package"));
    EXPECT_THAT(run.messages, HasSubstr("installed whole-1.0"));
    // Directories are nobody's files: a failed package leaves those it made.
    for (const auto& [path, detail] : run.flash) {
        if (path.rfind("/cut/", 0) == 0 || path.rfind("/changed/", 0) == 0) {
            EXPECT_EQ(detail[0], 'd') << path;
        }
    }
    for (const char* gone : {"/var/pdb/cut", "/var/pdb/changed", "/image"})
        EXPECT_EQ(run.flash.count(gone), 0u) << gone;
    for (const auto& [path, detail] : expected)
        EXPECT_THAT(run.flash[path], ::testing::StartsWith("f 0644 0:0 ")) << path;
    for (const auto& [path, detail] : expected)
        EXPECT_THAT(run.flash[path], ::testing::EndsWith(" " + detail)) << path;
    EXPECT_EQ(run.flash["/whole/many/399"], "f 0644 0:0 0 " + std::string(399 % 40, 'm') + "399");
    EXPECT_THAT(run.flash["/var/pdb/whole/image"], HasSubstr(" " + installtest::digestText(wholeFile)));
}

INSTANTIATE_TEST_SUITE_P(InstallChild, LargePackages, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Threaded" : "InLine"; });

TEST(InstallChild, ImagePackageKeepsItsFile) {
    PackageContent image = content("kernel", 1, 0, {regularEntry("boot/kernel", "k")});
    image.image = std::string(10000, 'i');
    image.installScript = "echo no >/var/ran\n";
    std::string file = packageFile(image);
    PackageContent plain = content("plain", 1, 0, {regularEntry("p", "p")});
    Installed run = install({{file}, {packageFile(plain)}});
    EXPECT_THAT(run.messages, HasSubstr("installed kernel-1.0"));
    EXPECT_EQ(run.flash["/var/pdb/kernel/image"], "f 0644 0:0 " + run.flash["/var/pdb/kernel/image"].substr(11, 10) +
                                                      " size=" + std::to_string(file.size()) + " " +
                                                      installtest::digestText(file));
    EXPECT_EQ(run.flash.count("/var/pdb/kernel/oninstall"), 0u);
    EXPECT_EQ(run.flash.count("/var/pdb/plain/image"), 0u);
    EXPECT_EQ(run.flash.count("/image"), 0u);
}

TEST(InstallChild, DriverModeIsQuietRelativeAndCheckedFirst) {
    PackageContent driver = content("drv", 1, 0, {regularEntry("drivers/drv.ko", "module")});
    driver.installScript = "ignored";
    PackageContent unknown = content("drvu", 1, 0, {regularEntry("drivers/unknown.ko", "u")});
    PackageContent badSignature = content("drvb", 1, 0, {regularEntry("drivers/bad.ko", "b")});
    std::string bad = packageFile(badSignature);
    bad[bad.size() - 1] ^= 1;  // the signature's response
    Installed run = install({{packageFile(driver), InstallMode::driver, true},
                       {packageFile(unknown, false), InstallMode::driver, true},
                       {bad, InstallMode::driver, true},
                       {corruptLastFilesByte(packageFile(badSignature)), InstallMode::driver, true}});

    // Nothing printed; a refusal shows only in the exit status.
    std::string printed = run.messages;
    for (size_t at; (at = printed.find('\n')) != std::string::npos;)
        printed.erase(at, 1);
    EXPECT_EQ(printed, "[child status 0][child status 256][child status 256][child status 256]");
    EXPECT_EQ(run.outside["/drivers/drv.ko"].substr(0, 1), "f");
    EXPECT_THAT(run.flash["/var/pdb/drv/files"], HasSubstr(" ./drivers/drv.ko\\n"));
    EXPECT_EQ(run.flash.count("/var/pdb/drv/oninstall"), 0u);
    for (const char* path : {"/drivers/unknown.ko", "/drivers/bad.ko"})
        EXPECT_EQ(run.outside.count(path), 0u) << path;
    for (const char* path : {"/var/pdb/drvu", "/var/pdb/drvb"})
        EXPECT_EQ(run.flash.count(path), 0u) << path;
}

TEST(InstallChild, HostilePathsStayInsideTheRoot) {
    std::vector<Step> steps;
    for (const char* name : {"../escape1", "/../../escape2", "a/../../escape3"})
        steps.push_back({packageFile(content("dots" + std::to_string(steps.size()), 1, 0,
                                             {regularEntry("inside", "i"), regularEntry(name, "x")}))});
    steps.push_back({packageFile(content("links", 1, 0,
                                         {symlinkEntry("link", "/"), regularEntry("link/escape4", "x"),
                                          symlinkEntry("up", ".."), regularEntry("up/up/up/escape5", "x"),
                                          symlinkEntry("abs", "/outside"), regularEntry("abs/escape6", "x"),
                                          regularEntry("disk/escape7", "x"), regularEntry("etc/passwd", "mine")}))});
    Installed run = install(steps, {}, [] {
        ::mkdir("/flash/etc", 0755);
        ::mkdir("/flash/outside", 0755);
        ::symlink("/outside", "/flash/disk");
        sandbox::writeFile("/outside/passwd", "host's");
        ::symlink("/outside/passwd", "/flash/etc/passwd");
    });

    for (int i = 0; i < 3; ++i)
        EXPECT_THAT(run.messages, HasSubstr("ERROR: installation of dots" + std::to_string(i) +
                                            "-1.0 failed: broken package"));
    EXPECT_THAT(run.messages, HasSubstr("installed links-1.0"));
    for (const auto& [path, description] : run.outside)
        EXPECT_THAT(path, Not(HasSubstr("escape"))) << description;
    EXPECT_THAT(run.outside["/outside/passwd"], HasSubstr(" host's"));
    // Links resolve as a chroot into the root sees them.
    EXPECT_EQ(run.flash.count("/escape4"), 1u);
    EXPECT_EQ(run.flash.count("/escape5"), 1u);
    EXPECT_EQ(run.flash.count("/outside/escape6"), 1u);
    EXPECT_EQ(run.flash.count("/outside/escape7"), 1u);
    EXPECT_THAT(run.messages, HasSubstr("WARNING: ghost file /etc/passwd"));
    EXPECT_THAT(run.flash["/etc/passwd"], HasSubstr("f 0644 0:0 "));
    for (const char* path : {"/inside", "/var/pdb/dots0", "/var/pdb/dots1", "/var/pdb/dots2"})
        EXPECT_EQ(run.flash.count(path), 0u) << path;
}

// A tree outside the root that nothing may change, with fixed times so that
// two runs list it alike.
void makeOutsideTree() {
    for (const char* dir : {"/outside/sub", "/outside/fail/sub", "/outside/sched"})
        (void)makeDirectories(dir);
    sandbox::writeFile("/outside/keep", "precious\n");
    sandbox::writeFile("/outside/sub/file", "mine\n");
    sandbox::writeFile("/outside/sub/version", "16777216 0\n");
    sandbox::writeFile("/outside/sub/files", "etc/other\n");
    sandbox::writeFile("/outside/sched/schedule", "uninstall\n");
    for (const char* path : {"/outside/keep", "/outside/sub/file", "/outside/sub/version", "/outside/sub/files",
                             "/outside/sched/schedule",
                             "/outside/sub", "/outside/fail/sub", "/outside/fail", "/outside/sched", "/outside"}) {
        timespec times[2] = {{kFileTime, 0}, {kFileTime, 0}};
        ::utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW);
    }
}

std::map<std::string, std::string> outsideOnly(const std::map<std::string, std::string>& listing) {
    std::map<std::string, std::string> out;
    for (const auto& [path, description] : listing)
        if (path.rfind("/outside", 0) == 0)
            out[path] = description;
    return out;
}

// Links planted where the package manager keeps its own records (the
// database, the tree of a disabled package, the schedule files) are damage,
// never a way out of the root.
TEST(InstallChild, LinksInThePackageManagersPlacesLeadNowhere) {
    auto linker = [](const std::string& name, const std::string& link, const std::string& target, bool untracked) {
        return Step{packageFile(content(name, 1, 0, {symlinkEntry(link, target)}), true, untracked)};
    };
    PackageContent hater = content("hater", 1, 0, {regularEntry("etc/hater", "h")});
    hater.conflicts = std::vector<DependencyEntry>{{"other", 0, 0, 0}};
    PackageContent blocker = content("blocker", 1, 0, {regularEntry("etc/blocker", "b")});
    blocker.conflicts = std::vector<DependencyEntry>{{"fail", 0, 0, 0}};
    FileEntry device = deviceEntry("dev2/bad", EntryType::CharDevice, 0x0101, 0600);
    device.data = std::string(8, '\1');
    const Step failing{packageFile(content("fail", 1, 0, {directoryEntry("d", 0755), regularEntry("d/f", "f"), device}))};
    const Step plain{packageFile(content("plain", 1, 0, {regularEntry("etc/plain", "p")}))};
    struct Case {
        const char* what;
        std::vector<Step> steps;
        const char* message;  // printed on the way, "" for none
    };
    const Case cases[] = {
        // The installation's journal makes var/pdb before the package's files.
        {"var/pdb a link (an untracked package on a tree without it)",
         {linker("evil", "var/pdb", "/outside", true), plain},
         "ERROR: installation of evil-1.0 failed: could not create var/pdb: File exists"},
        {"var/pdb/NAME a link to an entry-like directory outside",
         {linker("evil", "var/pdb/other", "/outside/sub", false), {packageFile(hater)}},
         "installed hater-1.0"},
        {"/flash/x a link when a disabled package fails",
         {linker("evil", "x", "/outside", false), {packageFile(blocker)}, failing},
         "ERROR: installation of fail-1.0 failed: "},
        {"/ram/pdb/NAME a link to a schedule outside", {plain, {packageFile(hater)}}, "installed hater-1.0"},
    };
    const auto setup = [] {
        makeOutsideTree();
        (void)makeDirectories("/ram/pdb");
        ::symlink("/outside/sched", "/ram/pdb/plain");
    };
    const auto untouched = outsideOnly(install({}, {}, setup).outside);
    ASSERT_EQ(untouched.count("/outside/sched/schedule"), 1u);
    for (const Case& c : cases) {
        Installed run = install(c.steps, {}, setup);
        EXPECT_EQ(outsideOnly(run.outside), untouched) << c.what << "\n" << run.messages;
        EXPECT_THAT(run.messages, HasSubstr(c.message)) << c.what;
    }
}

// Directories change their times whenever something is made or removed in
// them; everything else of an entry must be exactly as it was.
std::map<std::string, std::string> withoutDirectoryTimes(std::map<std::string, std::string> listing) {
    for (auto& [path, description] : listing) {
        if (description.rfind("d ", 0) == 0) {
            size_t third = description.find(' ', description.find(' ', 2) + 1);
            description.erase(third, description.find(' ', third + 1) - third);
        }
    }
    return listing;
}

// A newer version that fails (tampered, of unknown digest, broken at its
// end, too big for the disk) leaves the installed older one, its database
// entry, and whatever the newer one would have disabled or removed, as they
// were.
TEST(InstallChild, FailedNewerVersionLeavesTheOlderByteForByte) {
    PackageContent v1 = content("tool", 1, 0,
                                {directoryEntry("opt/tool", 0755, kDirTime), regularEntry("opt/tool/bin", "v1"),
                                 symlinkEntry("opt/tool/link", "bin"), regularEntry("etc/tool.conf", "conf")});
    v1.installScript = "echo 1 >>/var/tool-installs\n";
    v1.uninstallScript = "echo gone >/var/tool-uninstalled\n";
    PackageContent peer = content("peer", 1, 0, {regularEntry("etc/peer", "p")});
    PackageContent user = content("user", 1, 0, {regularEntry("etc/user", "u")});
    user.dependencies = std::vector<DependencyEntry>{{"tool", 0, packVersion(1, 255), 0}};
    PackageContent v2 = content("tool", 2, 0,
                                {directoryEntry("opt/tool", 0700, kDirTime), regularEntry("opt/tool/bin", "v2"),
                                 regularEntry("opt/tool/more", noise(20000, 3))});
    v2.conflicts = std::vector<DependencyEntry>{{"peer", 0, 0, 0}};
    v2.installScript = "echo 2 >>/var/tool-installs\n";
    FileEntry device = deviceEntry("opt/tool/bad", EntryType::CharDevice, 0x0101, 0600);
    device.data = std::string(8, '\1');
    PackageContent v2broken = v2;
    v2broken.files->push_back(device);

    sandbox::Options options;
    options.flashTmpfsOptions = "size=256k";
    Installed run = install({{packageFile(v1)},
                             {packageFile(peer)},
                             {packageFile(user), InstallMode::stream, false, true},
                             {corruptLastFilesByte(packageFile(v2))},
                             {packageFile(v2, false)},
                             {packageFile(v2broken)},
                             {packageFile(content("tool", 2, 0, {regularEntry("big", noise(400000, 9))}))}},
                            options);
    const auto before = withoutDirectoryTimes(installtest::parseListing(run.result.output, "=== snapshot"));
    ASSERT_THAT(before.at("/opt/tool/bin"), HasSubstr(" v1"));
    std::map<std::string, std::string> expected;
    for (const auto& [path, description] : before)
        if (!isSetupPath(path))
            expected[path] = description;
    EXPECT_EQ(withoutDirectoryTimes(run.flash), expected) << run.messages;
    for (const char* message : {"ERROR: installation of tool-2.0 failed: broken package",
                                "ERROR: installation of tool-2.0 failed: disk is too small"})
        EXPECT_THAT(run.messages, HasSubstr(message));
    EXPECT_THAT(run.messages, Not(HasSubstr("installed tool-2.0")));
    EXPECT_THAT(run.messages, Not(HasSubstr("disabled peer")));
}

// On a disk without room for both versions at once, a known-good newer
// version still replaces the older one (removed first, with a warning); one
// that fails its check leaves the older one whole.
TEST(InstallChild, UpgradeWithoutRoomForBothVersions) {
    PackageContent v1 = content("tool", 1, 0,
                                {directoryEntry("opt/tool", 0755, kDirTime), regularEntry("opt/tool/old", noise(100000, 4)),
                                 regularEntry("etc/tool.conf", "conf")});
    PackageContent v2 = content("tool", 2, 0,
                                {directoryEntry("opt/tool", 0755, kDirTime), regularEntry("opt/tool/new", noise(120000, 5)),
                                 regularEntry("etc/tool.conf", "conf2")});
    sandbox::Options options;
    options.flashTmpfsOptions = "size=256k";
    Installed run = install({{packageFile(v1), InstallMode::stream, false, true},
                             {corruptLastFilesByte(packageFile(v2)), InstallMode::stream, false, true},
                             {packageFile(v2)}},
                            options);
    const std::string& output = run.result.output;
    const size_t second = output.find("=== snapshot\n", output.find("=== snapshot\n") + 1);
    ASSERT_NE(second, std::string::npos) << output;
    const auto withOlder = withoutDirectoryTimes(installtest::parseListing(output, "=== snapshot"));
    const auto afterBroken = withoutDirectoryTimes(installtest::parseListing(output.substr(second), "=== snapshot"));
    ASSERT_EQ(withOlder.count("/opt/tool/old"), 1u) << run.messages;
    EXPECT_EQ(afterBroken, withOlder) << run.messages;
    EXPECT_THAT(run.messages, HasSubstr("ERROR: installation of tool-2.0 failed: broken package"));

    EXPECT_THAT(run.messages,
                HasSubstr("WARNING: no room for both versions of tool: the older one is removed first"));
    EXPECT_THAT(run.messages, HasSubstr("installed tool-2.0"));
    EXPECT_THAT(run.messages, Not(HasSubstr("disk is too small")));
    EXPECT_EQ(run.flash.count("/opt/tool/old"), 0u);
    EXPECT_THAT(run.flash["/opt/tool/new"], HasSubstr(installtest::digestText(noise(120000, 5))));
    EXPECT_THAT(run.flash["/etc/tool.conf"], HasSubstr(" conf2"));
    EXPECT_THAT(run.flash["/var/pdb/tool/version"], HasSubstr(" " + std::to_string(packVersion(2, 0)) + " "));
    EXPECT_THAT(run.flash["/var/pdb/tool/files"], HasSubstr("opt/tool/new\\n"));
    EXPECT_THAT(run.flash["/var/pdb/tool/files"], Not(HasSubstr("opt/tool/old")));
    for (const auto& [path, description] : run.flash)
        EXPECT_EQ(path.find("/."), std::string::npos) << path;
    EXPECT_EQ(run.flash.count("/image"), 0u);
}

// Names that the database cannot hold are a broken package before anything
// is written; a package that its own resolution would take out again is
// refused with one error; an untracked package runs nothing of its namesake's.
TEST(InstallChild, RefusalsBeforeAnythingIsWritten) {
    PackageContent victim = content("victim", 1, 0, {regularEntry("etc/victim", "v")});
    PackageContent newline = content("newline", 1, 0, {regularEntry("etc/a\netc/victim", "n")});
    PackageContent blank = content("blank", 1, 0, {regularEntry("etc/blank", "b")});
    blank.dependencies = std::vector<DependencyEntry>{{"victim x", 0, 0, 0}};
    PackageContent tab = content("tab", 1, 0, {regularEntry("etc/tab", "t")});
    tab.provides = std::vector<DependencyEntry>{{"api\t2", 0, 0, 0}};
    PackageContent api1 = content("api", 1, 0, {regularEntry("etc/api", "1")});
    api1.provides = std::vector<DependencyEntry>{{"apiworks", 0, 0, 0}};
    PackageContent api2 = content("api", 2, 0, {regularEntry("etc/api", "2")});
    api2.dependencies = std::vector<DependencyEntry>{{"apiworks", 0, 0, 0}};
    PackageContent untrackedApi = content("api", 3, 0, {regularEntry("etc/api-extra", "3")});
    PackageContent named = content("named", 1, 0, {regularEntry("etc/named", "1")});
    named.installScript = "echo ran >>/var/named-runs\n";
    PackageContent untrackedNamed = content("named", 2, 0, {regularEntry("etc/named-extra", "2")});
    Installed run = install({{packageFile(victim)},
                             {packageFile(newline)},
                             {packageFile(blank)},
                             {packageFile(tab)},
                             {packageFile(api1)},
                             {packageFile(api2)},
                             {packageFile(untrackedApi, true, true)},
                             {packageFile(named)},
                             {packageFile(untrackedNamed, true, true)}});

    for (const char* name : {"newline", "blank", "tab"})
        EXPECT_THAT(run.messages, HasSubstr("ERROR: installation of " + std::string(name) +
                                            "-1.0 failed: broken package"));
    EXPECT_THAT(run.messages,
                HasSubstr("ERROR: installation of api-2.0 failed: it depends on apiworks, which would not stay "
                          "installed"));
    EXPECT_THAT(run.messages, Not(HasSubstr("installed api-2.0")));
    EXPECT_THAT(run.messages, HasSubstr("installed api-3.0"));
    for (const char* path : {"/var/pdb/newline", "/var/pdb/blank", "/var/pdb/tab", "/etc/blank", "/etc/tab", "/etc/a"})
        EXPECT_EQ(run.flash.count(path), 0u) << path;
    EXPECT_THAT(run.flash["/etc/victim"], HasSubstr(" v"));
    EXPECT_THAT(run.flash["/etc/api"], HasSubstr(" 1"));
    EXPECT_THAT(run.flash["/var/pdb/api/version"], HasSubstr(" " + std::to_string(packVersion(1, 0)) + " "));
    if (haveShell()) {
        EXPECT_THAT(run.flash["/var/named-runs"], ::testing::EndsWith(" ran\\n"));
    }

    // A database directory that cannot be made is said.
    Installed blocked = install({{packageFile(victim)}}, {}, [] {
        (void)makeDirectories("/flash/var");
        sandbox::writeFile("/flash/var/pdb", "not a directory");
    });
    EXPECT_THAT(blocked.messages,
                HasSubstr("ERROR: installation of victim-1.0 failed: could not create var/pdb/.txn: Not a directory"));
    EXPECT_EQ(blocked.flash.count("/etc/victim"), 0u);
}

// Random packages with random links, installed one after another: after
// every step nothing outside the root has changed.
TEST(InstallChild, RandomPackagesWithRandomLinksStayInsideTheRoot) {
    // Mostly the places where the package manager keeps its own records, and
    // targets outside the root.
    const char* names[] = {"a", "b", "c", "flash", "x"};
    const char* linkPlaces[] = {"var/pdb", "var/pdb/b", "var/pdb/c", "x", "x/b", "x/flash", "etc", "image"};
    const char* targets[] = {"/outside", "/outside/sub", "/outside/fail", "/outside/sched", "/", "..", "/ram/pdb",
                             "/outside/keep"};
    for (uint32_t seed = 1; seed <= 8; ++seed) {
        uint32_t state = seed * 2654435761u;
        auto next = [&](uint32_t n) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            return state % n;
        };
        std::vector<Step> steps;
        for (int i = 0; i < 12; ++i) {
            const std::string name = names[next(std::size(names))];
            PackageContent pkg = content(name, 1 + next(3), 0, {});
            for (uint32_t k = 0, count = 1 + next(3); k < count; ++k)
                pkg.files->push_back(symlinkEntry(linkPlaces[next(std::size(linkPlaces))],
                                                  targets[next(std::size(targets))]));
            pkg.files->push_back(regularEntry("etc/" + name + std::to_string(i), "f"));
            if (next(2) == 0)
                pkg.conflicts = std::vector<DependencyEntry>{{names[next(std::size(names))], 0, 0, 0}};
            if (next(4) == 0)
                pkg.dependencies = std::vector<DependencyEntry>{{names[next(std::size(names))], 0, 0, 0}};
            if (next(4) == 0)
                pkg.files->push_back(deviceEntry("dev2/bad", EntryType::CharDevice, 0, 0600));  // fails at its end
            steps.push_back({packageFile(pkg, true, next(2) == 0)});
        }
        auto printOutside = [](const std::string& marker) {
            std::string outside;
            for (const char* dir : {"/outside", "/ram"})
                for (const auto& [path, description] : installtest::listTree(dir))
                    outside += dir + path + "\t" + description + "\n";
            std::printf("=== %s\n%s", marker.c_str(), outside.c_str());
        };
        Installed run = install(
            steps, {},
            [&] {
                makeOutsideTree();
                (void)makeDirectories("/ram/pdb/b");
                printOutside("outside before");
            },
            [&](size_t step) { printOutside("outside after " + std::to_string(step)); });
        const std::string output = run.result.output;
        const auto first = installtest::parseListing(output, "=== outside before");
        ASSERT_EQ(first.count("/outside/keep"), 1u) << output;
        for (size_t step = 0; step < steps.size(); ++step)
            EXPECT_EQ(installtest::parseListing(output, "=== outside after " + std::to_string(step)), first)
                << "seed " << seed << " step " << step << "\n" << run.messages;
    }
}

TEST(InstallChild, LongNamesAndLinkTargetsAreBroken) {
    std::string longName(5000, 'n');
    std::string longTarget(70000, 't');
    Installed run = install({{packageFile(content("longname", 1, 0, {regularEntry(longName, "x")}))},
                       {packageFile(content("longlink", 1, 0, {symlinkEntry("l", longTarget)}))}});
    EXPECT_THAT(run.messages, HasSubstr("ERROR: installation of longname-1.0 failed: broken package"));
    EXPECT_THAT(run.messages, HasSubstr("ERROR: installation of longlink-1.0 failed: broken package"));
    EXPECT_EQ(run.flash.count("/l"), 0u);
}

TEST(InstallChild, FailingScriptOnlyWarns) {
    if (!haveShell())
        GTEST_SKIP() << "needs /bin/bash-static";
    PackageContent pkg = content("failing", 1, 0, {regularEntry("f", "f")});
    pkg.installScript = "exit 3\n";
    Installed run = install({{packageFile(pkg)}});
    EXPECT_THAT(run.messages, HasSubstr("WARNING: package failing-1.0 oninstall script failed"));
    EXPECT_THAT(run.messages, HasSubstr("installed failing-1.0"));
    EXPECT_THAT(run.flash["/var/pdb/failing/version"], HasSubstr(" 1000"));
}

TEST(InstallChild, OnlyOnePipedChildAtATime) {
    sandbox::Result result = sandbox::run({}, [] {
        FILE* first = startInstallChild(InstallMode::stream, true);
        FILE* second = startInstallChild(InstallMode::stream, true);
        int status = closePipedChild(first);
        return first && !second && status == 0 ? 0 : 1;
    });
    EXPECT_TRUE(result.exited && result.exitStatus == 0) << result.output;
}

TEST(VpkInstall, InstallsIntoATreeAndListsIt) {
    const std::string vpk = std::string(BUILD_DIR) + "/tools/vpk/vpk";
    if (::access(vpk.c_str(), X_OK) != 0)
        GTEST_SKIP() << "vpk not built";
    PackageContent tool = content("tool", 1, 0, {regularEntry("opt/tool", "t")});
    PackageContent member = content("member", 2, 0, {regularEntry("opt/member", "m")});
    PackageContent suite = content("suite", 1, 0, {});
    suite.files.reset();
    std::string bundle = installtest::bundleFile(suite, nullptr, {packageFile(member)});
    std::string unknown = packageFile(content("unknown", 1, 0, {regularEntry("opt/u", "u")}), false);
    PackageContent hostile = content("hostile", 1, 0, {symlinkEntry("out", "/"), regularEntry("out/escape", "x")});
    sandbox::Options options;
    options.newNetwork = false;
    options.binds.push_back({vpk, "/sbin/vpk", true});
    options.dirs.push_back("/tree");
    options.dirs.push_back("/ramtree/pdb/tool");
    options.files.push_back({"/tmp/tool.vpk", packageFile(tool)});
    options.files.push_back({"/tmp/suite.vpk", bundle});
    options.files.push_back({"/tmp/unknown.vpk", unknown});
    options.files.push_back({"/tmp/hostile.vpk", packageFile(hostile)});
    options.files.push_back({"/ramtree/pdb/tool/schedule", "disable\n"});
    sandbox::Result result = sandbox::run(options, [] {
        int first = std::system("/sbin/vpk install --root /tree /tmp/tool.vpk /tmp/suite.vpk /tmp/hostile.vpk");
        int second = std::system("/sbin/vpk install --root /tree /tmp/unknown.vpk");
        std::printf("[statuses %d %d]\n", WEXITSTATUS(first), WEXITSTATUS(second));
        std::fflush(stdout);
        std::system("/sbin/vpk list --root /tree");
        std::system("/sbin/vpk list --root /tree --ram /ramtree");
        std::printf("[schedule left %d]\n", ::access("/ramtree/pdb/tool/schedule", F_OK) == 0);
        std::printf("%s\n%s=== end\n", kListing, installtest::listingText("/tree").c_str());
        std::fflush(stdout);
        return ::access("/escape", F_OK) == 0 || ::access("/flash/escape", F_OK) == 0 ? 1 : 0;
    });
    EXPECT_TRUE(result.exited && result.exitStatus == 0) << result.output;
    EXPECT_THAT(result.output, HasSubstr("installed tool-1.0"));
    EXPECT_THAT(result.output, HasSubstr("installed suite-1.0"));
    EXPECT_THAT(result.output, HasSubstr("ERROR: installation of unknown-1.0 failed: broken package"));
    EXPECT_THAT(result.output, HasSubstr("[statuses 0 1]"));
    EXPECT_THAT(result.output, HasSubstr("tool             1.0        enabled\n"));
    EXPECT_THAT(result.output, HasSubstr("member           2.0        enabled in suite\n"));
    EXPECT_THAT(result.output, HasSubstr("suite            1.0        enabled bundle\n"));
    // The schedule under --ram stays: a listing carries nothing out.
    EXPECT_THAT(result.output, HasSubstr("[schedule left 1]"));
    auto tree = installtest::parseListing(result.output, kListing);
    EXPECT_THAT(tree["/opt/tool"], HasSubstr(" t"));
    EXPECT_THAT(tree["/escape"], HasSubstr(" x"));
    EXPECT_EQ(tree.count("/opt/u"), 0u);
    EXPECT_EQ(tree.count("/image"), 0u);
}

// Hidden names that an installation may leave: none, apart from what a test
// put there itself.
std::vector<std::string> hiddenNames(const std::map<std::string, std::string>& listing, const std::string& allowed) {
    std::vector<std::string> found;
    for (const auto& [path, description] : listing)
        if (path.find("/.") != std::string::npos && path != allowed)
            found.push_back(path);
    return found;
}

// The resolution of scheduled actions and what an installation sets aside,
// checked against what the package manager is meant to leave: the new
// package's files go where its final state wants them, what a leaving
// package owned is free for the new one, the silent second pass happens,
// only what an old version recorded is set aside, an entry's dot files stay,
// and schedule words outlive a run that did nothing.
TEST(InstallChild, ResolutionAndSetAsideCases) {
    auto writeAt = [](const std::string& path, const std::string& text) {
        std::string parent = path.substr(0, path.rfind('/'));
        (void)makeDirectories(parent);
        sandbox::writeFile(path, text);
    };
    auto file = [](const std::string& name, unsigned major, std::vector<FileEntry> files) {
        return content(name, major, 0, std::move(files));
    };
    auto with = [](PackageContent c, const char* list, std::vector<DependencyEntry> entries) {
        if (std::string(list) == "deps")
            c.dependencies = entries;
        else
            c.conflicts = entries;
        return c;
    };
    const uint32_t v2 = packVersion(2, 0);
    PackageContent guard = with(file("guard", 1, {regularEntry("etc/guard", "g")}), "conflicts", {{"app", 0, 0, 0}});
    PackageContent app1 = file("app", 1, {regularEntry("usr/app/data", "1")});
    PackageContent app2 = file("app", 2, {regularEntry("usr/app/data", "2")});
    PackageContent client = with(file("client", 1, {regularEntry("etc/client", "c")}), "deps", {{"app", 0, 0, 0}});
    PackageContent guard2 =
        with(file("guard", 1, {regularEntry("etc/guard", "g")}), "conflicts", {{"app", v2, 0xffffffffu, 0}});
    PackageContent lib = file("lib", 1, {regularEntry("usr/lib/lib", "l")});
    PackageContent user = with(file("user", 1, {regularEntry("usr/bin/user", "u")}), "deps", {{"lib", 0, 0, 0}});
    PackageContent untrackedDir =
        file("site", 1, {directoryEntry("srv/www", 0755), regularEntry("srv/www/index.html", "i")});

    struct Case {
        const char* what;
        std::vector<std::string> packages;
        std::function<void(size_t)> afterStep;
        std::vector<std::string> messages, absentMessages;
        std::map<std::string, std::string> present;  // path -> substring of its listing
        std::vector<std::string> absent;
        std::string allowedHidden;
    };
    const Case cases[] = {
        {"the resolution disables the new package: its files under /x/app",
         {packageFile(guard), packageFile(app1)},
         [&](size_t step) {
             if (step == 0) {
                 writeAt("/flash/var/pdb/guard/disabled", "user\n");
                 writeAt("/ram/pdb/guard/schedule", "enable\n");
             }
         },
         {"disabled app-1.0", "enabled guard-1.0", "installed (disabled) app-1.0"},
         {},
         {{"/x/app/usr/app/data", " 1"}, {"/var/pdb/app/files", " x/app/usr/app/data\\n"}, {"/var/pdb/app/disabled", "auto"}},
         {"/usr/app/data", "/var/pdb/guard/disabled"}, ""},
        {"the resolution enables the new package: its files in place",
         {packageFile(app1), packageFile(client), packageFile(guard2), packageFile(app2)},
         nullptr,
         {"disabled guard-1.0", "installed app-2.0"},
         {"installed (disabled) app-2.0"},
         {{"/usr/app/data", " 2"}, {"/var/pdb/app/files", " usr/app/data\\n"}},
         {"/x/app/usr/app/data", "/var/pdb/app/disabled"}, ""},
        {"a package that the resolution uninstalls frees its files first",
         {packageFile(file("oldnet", 1, {regularEntry("etc/hosts", "old")})),
          packageFile(file("newnet", 1, {regularEntry("etc/hosts", "new")}))},
         [&](size_t step) {
             if (step == 0)
                 writeAt("/ram/pdb/oldnet/schedule", "uninstall\n");
         },
         {"installed newnet-1.0"},
         {"collides"},
         {{"/etc/hosts", " new"}, {"/var/pdb/newnet/files", "etc/hosts"}},
         {"/var/pdb/oldnet"}, ""},
        {"what a removal leaves without what it needs goes too",
         {packageFile(lib), packageFile(user), packageFile(file("other", 1, {regularEntry("etc/other", "o")}))},
         [&](size_t step) {
             if (step == 1) {
                 writeAt("/flash/var/pdb/lib/disabled", "user\n");
                 writeAt("/flash/var/pdb/user/disabled", "user\n");
                 writeAt("/ram/pdb/lib/schedule", "uninstall\n");
             }
         },
         {"installed other-1.0"},
         {},
         {{"/etc/other", " o"}},
         {"/var/pdb/lib", "/var/pdb/user", "/usr/lib/lib", "/usr/bin/user"}, ""},
        {"a directory at a recorded path stays where it is",
         {packageFile(file("a", 1, {regularEntry("srv/www", "w")})), packageFile(untrackedDir, true, true),
          packageFile(file("a", 2, {regularEntry("srv/new", "n")}))},
         nullptr,
         {"installed a-2.0"},
         {},
         {{"/srv/www/index.html", " i"}, {"/srv/new", " n"}},
         {}, ""},
        {"an entry's dot files stay in the entry",
         {packageFile(file("a", 1, {regularEntry("etc/a", "1")})), packageFile(file("a", 2, {regularEntry("etc/a", "2")}))},
         [&](size_t step) {
             if (step == 0)
                 writeAt("/flash/var/pdb/a/.keep", "k");
         },
         {"installed a-2.0"},
         {},
         {{"/var/pdb/a/.keep", " k"}, {"/etc/a", " 2"}},
         {},
         "/var/pdb/a/.keep"},
        {"the journal's place is no package's",
         {packageFile(file("a", 1, {regularEntry("etc/a", "1")})),
          packageFile(file("a", 2, {regularEntry("etc/a", "2"), regularEntry("var/pdb/.txn/0", "mine")})),
          packageFile(file("b", 1, {regularEntry("etc/b", "b"), regularEntry("var/pdb/.txn", "mine")}))},
         nullptr,
         {"ERROR: installation of a-2.0 failed: broken package", "ERROR: installation of b-1.0 failed: broken package"},
         {"installed a-2.0", "installed b-1.0"},
         {{"/etc/a", " 1"}},
         {"/etc/b", "/var/pdb/b"},
         ""},
        {"a file that cannot be set aside is named, and what was set aside comes back",
         {packageFile(file("a", 1, {regularEntry("mnt/f", "1"), regularEntry("usr/z", "z")})),
          packageFile(file("a", 2, {regularEntry("mnt/f", "2"), regularEntry("usr/z", "2")}))},
         [&](size_t step) {
             // mnt/f now lies on another file system: it cannot be renamed away.
             if (step == 0 && std::system("mkdir -p /tmp/other && mount -t tmpfs none /tmp/other && "
                                          "cp -a /flash/mnt/. /tmp/other/ && mount --bind /tmp/other /flash/mnt") != 0)
                 std::printf("cannot mount\n");
         },
         {"ERROR: installation of a-2.0 failed: could not create mnt/f: Invalid cross-device link"},
         {"installed a-2.0", "cannot mount"},
         {{"/usr/z", " z"}, {"/var/pdb/a/files", "mnt/f\\nusr/z"}, {"/var/pdb/a/version", " 16"}},
         {},
         ""},
        {"a refused installation keeps the schedule words",
         {packageFile(file("x", 1, {regularEntry("etc/x", "x")})), packageFile(file("y", 1, {regularEntry("etc/y", "y")})),
          packageFile(file("y", 1, {regularEntry("etc/y", "y")}))},
         [&](size_t step) {
             if (step == 1)
                 writeAt("/ram/pdb/x/schedule", "uninstall\n");
             if (step == 2)
                 std::printf("[schedule kept %d]\n", ::access("/ram/pdb/x/schedule", F_OK) == 0);
         },
         {"omitting package y-1.0: it is already installed", "[schedule kept 1]"},
         {},
         {{"/etc/x", " x"}},
         {}, ""},
    };
    for (const Case& c : cases) {
        std::vector<Step> steps;
        for (const std::string& bytes : c.packages)
            steps.push_back({bytes});
        Installed run = install(steps, {}, [] { (void)makeDirectories("/ram/pdb"); }, c.afterStep);
        for (const std::string& message : c.messages)
            EXPECT_THAT(run.messages, HasSubstr(message)) << c.what;
        for (const std::string& message : c.absentMessages)
            EXPECT_THAT(run.messages, Not(HasSubstr(message))) << c.what;
        for (const auto& [path, text] : c.present)
            EXPECT_THAT(run.flash[path], HasSubstr(text)) << c.what << ": " << path << "\n" << run.messages;
        for (const std::string& path : c.absent)
            EXPECT_EQ(run.flash.count(path), 0u) << c.what << ": " << path << "\n" << run.messages;
        EXPECT_THAT(hiddenNames(run.flash, c.allowedHidden), ::testing::IsEmpty()) << c.what;
    }
}

namespace {

// The number of seeds a property test runs: `fallback`, or PROPERTY_TEST_SEEDS.
uint32_t propertySeeds(uint32_t fallback) {
    const char* text = std::getenv("PROPERTY_TEST_SEEDS");
    return text && std::atoi(text) > 0 ? uint32_t(std::atoi(text)) : fallback;
}

// A reproducible random source (xorshift) and the names that the property
// tests' packages draw from.
struct Draw {
    uint32_t state;
    uint32_t operator()(uint32_t n) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state % n;
    }
    std::string name() { return std::string(1, char('a' + (*this)(5))); }
    std::string provided() { return "p" + std::to_string(1 + (*this)(2)); }
    // A package name, or now and then a provided one.
    DependencyEntry relation() { return {(*this)(3) ? name() : provided(), 0, 0, 0}; }
};

}  // namespace

// Random sequences of packages (dependencies, conflicts, provides, shared
// paths, links inside the tree, untracked ones) with schedule words and
// user-disabled marks written between the installations. After every step:
// the package just installed has its files under /x/NAME exactly when it is
// disabled; every recorded file exists and is recorded by one package only;
// nothing outside the root changed; no hidden name is left anywhere.
TEST(InstallChild, RandomSequencesKeepTheDatabaseTrue) {
    const char* words[] = {"uninstall", "enable", "disable"};
#ifdef __SANITIZE_ADDRESS__
    const uint32_t seeds = propertySeeds(4);  // each installation is several times slower there
#else
    const uint32_t seeds = propertySeeds(12);
#endif
    for (uint32_t seed = 1; seed <= seeds; ++seed) {
        Draw next{seed * 2246822519u + 7};
        std::vector<Step> steps;
        std::vector<std::string> stepNames;
        std::vector<std::vector<std::pair<std::string, std::string>>> writes;  // after each step: path, text
        for (int i = 0; i < 14; ++i) {
            const std::string name = next.name();
            PackageContent pkg = content(name, 1 + next(3), 0, {});
            for (uint32_t k = 0, count = 1 + next(3); k < count; ++k)
                pkg.files->push_back(regularEntry(next(4) == 0 ? "etc/shared" + std::to_string(next(2))
                                                               : "usr/" + name + "/f" + std::to_string(next(4)),
                                                  std::to_string(i)));
            if (next(3) == 0)
                pkg.files->push_back(symlinkEntry("opt/" + name + "-link", next(2) ? "/usr/" + name : "../usr"));
            if (next(3) == 0)
                pkg.files->push_back(regularEntry("opt/" + name + "-link/through", "t"));
            std::vector<DependencyEntry> dependencies, conflicts, provides;
            if (next(3) == 0)
                dependencies.push_back(next.relation());
            if (next(3) == 0)
                conflicts.push_back({next.name(), 0, 0, 0});
            if (next(3) == 0)
                provides.push_back({next.provided(), 0, 0, 0});
            if (!dependencies.empty())
                pkg.dependencies = dependencies;
            if (!conflicts.empty())
                pkg.conflicts = conflicts;
            if (!provides.empty())
                pkg.provides = provides;
            steps.push_back({packageFile(pkg, true, next(8) == 0)});
            stepNames.push_back(name);
            std::vector<std::pair<std::string, std::string>> after;
            if (next(2) == 0)
                after.emplace_back("/ram/pdb/" + next.name() + "/schedule", std::string(words[next(3)]) + "\n");
            if (next(4) == 0)
                after.emplace_back("/flash/var/pdb/" + next.name() + "/disabled", "user\n");
            writes.push_back(after);
        }
        auto check = [&](size_t step) {
            InstallRoot flash("/flash");
            std::map<std::string, std::string> owner;
            std::map<std::string, std::string> filesText;
            for (const auto& [path, description] : installtest::listTree("/flash/var/pdb", false)) {
                const std::string name = path.substr(1);
                std::string text;
                if (flash.readFileNoLinks("var/pdb/" + name + "/files", text) != 0)
                    continue;
                filesText[name] = text;
                std::istringstream lines(text);
                std::string line;
                while (std::getline(lines, line)) {
                    struct stat info;
                    if (!flash.lstat(line, info))
                        std::printf("[violation step %zu: %s records missing %s]\n", step, name.c_str(), line.c_str());
                    if (owner.count(line))
                        std::printf("[violation step %zu: %s recorded by %s and %s]\n", step, line.c_str(),
                                    owner[line].c_str(), name.c_str());
                    owner[line] = name;
                }
            }
            // The package of this step, when this step installed it.
            const std::string& name = stepNames[step];
            static std::map<std::string, std::string> previous;
            if (step == 0)
                previous.clear();
            if (filesText.count(name) && filesText[name] != previous[name]) {
                struct stat info;
                const bool disabled = flash.lstat("var/pdb/" + name + "/disabled", info);
                std::istringstream lines(filesText[name]);
                std::string line;
                while (std::getline(lines, line))
                    if ((line.rfind("x/" + name + "/", 0) == 0) != disabled)
                        std::printf("[violation step %zu: %s %s has %s]\n", step, disabled ? "disabled" : "enabled",
                                    name.c_str(), line.c_str());
            }
            previous = filesText;
            for (const auto& [path, description] : installtest::listTree("/flash"))
                if (path.find("/.") != std::string::npos)
                    std::printf("[violation step %zu: hidden %s]\n", step, path.c_str());
            std::string outside;
            for (const auto& [path, description] : installtest::listTree("/outside"))
                outside += path + "\t" + description + "\n";
            std::printf("=== outside after %zu\n%s", step, outside.c_str());
            for (const auto& [path, text] : writes[step]) {
                (void)makeDirectories(path.substr(0, path.rfind('/')));
                sandbox::writeFile(path, text);
            }
        };
        Installed run = install(steps, {}, [] {
            makeOutsideTree();
            (void)makeDirectories("/ram/pdb");
            std::printf("=== outside before\n%s", installtest::listingText("/outside").c_str());
        }, check);
        const std::string& output = run.result.output;
        EXPECT_THAT(output, Not(HasSubstr("[violation"))) << "seed " << seed << "\n" << run.messages;
        const auto first = installtest::parseListing(output, "=== outside before");
        for (size_t step = 0; step < steps.size(); ++step)
            EXPECT_EQ(installtest::parseListing(output, "=== outside after " + std::to_string(step)), first)
                << "seed " << seed << " step " << step;
    }
}

// The dry run that the installation server and the media builders judge with
// says of every package what the install child then does with it: random
// sequences (dependencies, provided names, conflicts, versions, another
// architecture) are installed one by one onto an empty tree, and after every
// step the package's state (left out, installed, installed disabled) is
// compared with the dry run's.
TEST(InstallChild, TheDryRunSaysWhatTheInstallationDoes) {
#ifdef __SANITIZE_ADDRESS__
    const uint32_t seeds = propertySeeds(4);
#else
    const uint32_t seeds = propertySeeds(16);
#endif
    char folder[] = "/tmp/dry-run-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    for (uint32_t seed = 1; seed <= seeds; ++seed) {
        Draw next{seed * 2654435761u + 11};
        std::vector<Step> steps;
        std::vector<PackageArchive> archives(12);
        for (size_t i = 0; i < archives.size(); ++i) {
            const std::string name = next.name();
            PackageContent pkg = content(name, 1 + next(3), 0, {regularEntry("usr/" + name + "/step" + std::to_string(i), "s")});
            if (next(3) == 0)
                pkg.dependencies = std::vector<DependencyEntry>{next.relation()};
            if (next(3) == 0)
                pkg.conflicts = std::vector<DependencyEntry>{{next.name(), 0, 0, 0}};
            if (next(3) == 0)
                pkg.provides = std::vector<DependencyEntry>{{next.provided(), 0, 0, 0}};
            if (next(12) == 0)
                pkg.architecture = "armel";
            steps.push_back({packageFile(pkg)});
            const std::string path = std::string(folder) + "/" + std::to_string(i) + ".vpk";
            sandbox::writeFile(path, steps.back().bytes);
            ASSERT_TRUE(readArchive(archives[i], path));
        }
        std::vector<const PackageArchive*> sequence;
        for (const PackageArchive& archive : archives)
            sequence.push_back(&archive);
        const std::vector<InstallVerdict> verdicts = simulateInstallation(sequence);
        auto check = [&](size_t step) {
            const std::string& name = archives[step].name;
            std::string files;
            InstallRoot flash("/flash");
            (void)flash.readFileNoLinks("var/pdb/" + name + "/files", files);
            const bool installed = files.find("/step" + std::to_string(step) + "\n") != std::string::npos ||
                                   files.ends_with("/step" + std::to_string(step));
            struct stat info;
            const bool disabled = installed && flash.lstat("var/pdb/" + name + "/disabled", info);
            std::printf("[step %zu: installed %d disabled %d]\n", step, installed, disabled);
        };
        Installed run = install(steps, {}, [] { (void)makeDirectories("/ram/pdb"); }, check);
        for (size_t step = 0; step < steps.size(); ++step) {
            char expected[64];
            std::snprintf(expected, sizeof expected, "[step %zu: installed %d disabled %d]", step,
                          verdicts[step].installed, verdicts[step].installed && verdicts[step].disabled);
            EXPECT_THAT(run.result.output, HasSubstr(expected)) << "seed " << seed << "\n" << run.messages;
        }
    }
    std::system(("rm -rf " + std::string(folder)).c_str());
}

// The messages of an installation without its progress lines.
std::vector<std::string> messageLines(const std::string& output) {
    std::vector<std::string> lines;
    std::string text = output;
    for (const char* code : {"\x1b[?25l", "\x1b[?25h"})
        for (size_t at; (at = text.find(code)) != std::string::npos;)
            text.erase(at, std::strlen(code));
    std::string line;
    auto keep = [&] {
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        const bool progress = (line.rfind("installing ", 0) == 0 && line.find(" [") != std::string::npos) ||
                              (line.size() > 3 && line.compare(line.size() - 3, 3, "...") == 0);
        if (!line.empty() && !progress)
            lines.push_back(line);
        line.clear();
    };
    for (char c : text) {
        if (c == '\r' || c == '\n')
            keep();
        else
            line += c;
    }
    keep();
    return lines;
}

// vpk install --simulate prints the messages of the real run, in order, and
// leaves the tree as it was.
TEST(VpkInstall, SimulationPrintsTheRealRunsMessages) {
    const std::string vpk = std::string(BUILD_DIR) + "/tools/vpk/vpk";
    if (::access(vpk.c_str(), X_OK) != 0)
        GTEST_SKIP() << "vpk not built";
    PackageContent base = content("base", 1, 0, {regularEntry("etc/base", "1"), regularEntry("etc/shared", "s")});
    PackageContent peer = content("peer", 1, 0, {regularEntry("etc/peer", "p")});
    PackageContent guard = content("guard", 1, 0, {regularEntry("etc/guard", "g")});
    guard.conflicts = std::vector<DependencyEntry>{{"late", 0, 0, 0}};
    PackageContent base2 = content("base", 2, 0, {regularEntry("etc/base", "2"), regularEntry("etc/ghost", "g")});
    base2.conflicts = std::vector<DependencyEntry>{{"peer", 0, 0, 0}};
    PackageContent late = content("late", 1, 0, {regularEntry("etc/late", "l"), regularEntry("etc/shared", "x")});
    PackageContent needy = content("needy", 1, 0, {regularEntry("etc/needy", "n")});
    needy.dependencies = std::vector<DependencyEntry>{{"peer", 0, 0, 0}};
    PackageContent suite = content("suite", 1, 0, {});
    suite.files.reset();
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"an upgrade that disables another and meets a ghost file", packageFile(base2)},
        {"a package installed disabled that collides", packageFile(late)},
        {"the same version again", packageFile(base)},
        {"an unsigned unknown package", packageFile(content("unknown", 1, 0, {regularEntry("etc/u", "u")}), false)},
        {"a package whose dependency the schedule removes", packageFile(needy)},
        {"a bundle", installtest::bundleFile(suite, nullptr, {packageFile(content("m", 1, 0, {regularEntry("etc/m", "m")}))})},
    };
    sandbox::Options options;
    options.newNetwork = false;
    options.binds.push_back({vpk, "/sbin/vpk", true});
    options.dirs.push_back("/tree");
    options.dirs.push_back("/ramtree/pdb/peer");
    options.files.push_back({"/tmp/base.vpk", packageFile(base)});
    options.files.push_back({"/tmp/peer.vpk", packageFile(peer)});
    options.files.push_back({"/tmp/guard.vpk", packageFile(guard)});
    for (size_t i = 0; i < cases.size(); ++i)
        options.files.push_back({"/tmp/case" + std::to_string(i) + ".vpk", cases[i].second});
    sandbox::Result result = sandbox::run(options, [&] {
        auto read = [](const char* path) {
            std::ifstream in(path);
            return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        };
        for (size_t i = 0; i < cases.size(); ++i) {
            std::system("rm -rf /tree/* /ramtree/pdb/peer/schedule && "
                         "/sbin/vpk install --root /tree /tmp/base.vpk /tmp/peer.vpk /tmp/guard.vpk >/dev/null 2>&1");
            sandbox::writeFile("/tree/etc/ghost", "nobody's");
            if (i == 4)
                sandbox::writeFile("/ramtree/pdb/peer/schedule", "uninstall\n");
            const std::string before = installtest::listingText("/tree") + installtest::listingText("/ramtree");
            const std::string file = "/tmp/case" + std::to_string(i) + ".vpk";
            std::system(("/sbin/vpk install --simulate --root /tree --ram /ramtree " + file + " >/tmp/sim 2>&1").c_str());
            const bool untouched = before == installtest::listingText("/tree") + installtest::listingText("/ramtree");
            std::system(("/sbin/vpk install --root /tree --ram /ramtree " + file + " >/tmp/real 2>&1").c_str());
            std::printf("=== case %zu untouched %d\n=== simulated\n%s\n=== real\n%s\n=== end\n", i, untouched,
                        read("/tmp/sim").c_str(), read("/tmp/real").c_str());
        }
        std::fflush(stdout);
        return 0;
    });
    const std::string& output = result.output;
    if (std::getenv("INSTALL_TEST_OUTPUT"))
        std::fprintf(stderr, "%s\n", output.c_str());
    for (size_t i = 0; i < cases.size(); ++i) {
        size_t at = output.find("=== case " + std::to_string(i) + " untouched ");
        ASSERT_NE(at, std::string::npos) << output;
        EXPECT_EQ(output.substr(at, output.find('\n', at) - at),
                  "=== case " + std::to_string(i) + " untouched 1") << cases[i].first;
        size_t simulated = output.find("=== simulated\n", at) + 14;
        size_t real = output.find("\n=== real\n", simulated);
        size_t end = output.find("\n=== end\n", real);
        const auto simulatedLines = messageLines(output.substr(simulated, real - simulated));
        const auto realLines = messageLines(output.substr(real + 10, end - real - 10));
        EXPECT_FALSE(realLines.empty()) << cases[i].first;
        EXPECT_EQ(simulatedLines, realLines) << cases[i].first << "\n" << output.substr(simulated, real - simulated);
    }
}
