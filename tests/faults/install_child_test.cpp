// Faults while a package goes through the install child in the sandbox: the
// package file cut short, the target file system full, the child killed.
// Whatever happens, nothing of the failed package stays in "/flash" and the
// failure shows.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "archive/format.h"
#include "cd_machine_helpers.h"
#include "archive/signed_package_helpers.h"
#include "archive/writer/writer.h"
#include "flows/feed.h"
#include "init/process.h"
#include "pkg/driver.h"
#include "pkg/operations.h"
#include "pkg/repository.h"
#include "sandbox/sandbox.h"

namespace {

using namespace signing_test;

using cdmachine::contains;
using cdmachine::randomBytes;
using cdmachine::signedPackage;

PackageContent content(const std::string& name, std::vector<FileEntry> files) {
    PackageContent p;
    p.name = name;
    p.version = 0x01000066;
    p.buildTime = 1700000000;
    p.description = "fault test";
    p.dependencies = std::vector<DependencyEntry>{};
    p.installScript = "echo installed\n";
    p.uninstallScript = "echo removed\n";
    p.files = std::move(files);
    return p;
}

// Offsets of every part header of a package file.
std::vector<size_t> partStarts(const std::string& file) {
    std::vector<size_t> starts;
    for (size_t at = kFileHeaderSize; at + kPartHeaderSize <= file.size();
         at += kPartHeaderSize + readLe32(reinterpret_cast<const uint8_t*>(file.data() + at + 2)))
        starts.push_back(at);
    return starts;
}

// Cut points: each part boundary, a byte into each part header, the middle of
// each part's data, and one byte short of the whole.
std::vector<size_t> cutPoints(const std::string& file) {
    std::set<size_t> cuts{0, 4, kFileHeaderSize, file.size() - 1};
    std::vector<size_t> starts = partStarts(file);
    for (size_t i = 0; i < starts.size(); ++i) {
        size_t end = i + 1 < starts.size() ? starts[i + 1] : file.size();
        cuts.insert(starts[i]);
        cuts.insert(starts[i] + 1);
        cuts.insert(starts[i] + kPartHeaderSize);
        cuts.insert((starts[i] + kPartHeaderSize + end) / 2);
    }
    return {cuts.begin(), cuts.end()};
}

// Everything under /flash that is not a directory (directories are not
// recorded as a package's own and may stay), with its size.
std::map<std::string, off_t> entriesUnder(const std::string& dir) {
    std::map<std::string, off_t> out;
    DIR* d = opendir(dir.c_str());
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string path = dir + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            auto inner = entriesUnder(path);
            out.insert(inner.begin(), inner.end());
        } else {
            out[path] = st.st_size;
        }
    }
    closedir(d);
    return out;
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Feeds bytes to a stream-mode child in blocks, as the flows do; the child's
// wait status, or -1.
int feedChild(const std::string& bytes) {
    std::fflush(stdout);
    FILE* child = startInstallChild(InstallMode::stream, false);
    if (!child) return -1;
    for (size_t at = 0; at < bytes.size(); at += 4096) {
        size_t n = std::min<size_t>(4096, bytes.size() - at);
        if (std::fwrite(bytes.data() + at, 1, n, child) != n || std::fflush(child) != 0) break;
    }
    return closePipedChild(child);
}

sandbox::Options machine() {
    sandbox::Options o;
    o.newNetwork = false;
    o.timeoutMs = 120000;
    return o;
}

// A failed package leaves this much of itself: nothing.
void expectNothingOf(const std::string& name, const std::map<std::string, off_t>& before, int& failures) {
    auto after = entriesUnder("/flash");
    for (const auto& [path, size] : after)
        if (!before.count(path)) {
            std::printf("LEFT %s\n", path.c_str());
            ++failures;
        }
    for (const char* path : {"/flash/image"})
        if (exists(path)) {
            std::printf("LEFT %s\n", path);
            ++failures;
        }
    if (exists("/flash/var/pdb/" + name) || exists("/flash/x/" + name)) {
        std::printf("LEFT entry of %s\n", name.c_str());
        ++failures;
    }
}

// Cuts the package everywhere and feeds each piece to its own child; then
// the whole. `guard`, when given, is installed first and makes the package
// arrive disabled (its files under /flash/x).
void cutEverywhere(const std::string& package, const std::string& guard) {
    const std::vector<size_t> cuts = cutPoints(package);
    sandbox::Result r = sandbox::run(machine(), [&] {
        ::signal(SIGPIPE, SIG_IGN);
        if (!guard.empty() && feedChild(guard) != 0) return 10;
        const auto before = entriesUnder("/flash");
        int failures = 0;
        for (size_t cut : cuts) {
            std::printf("=== cut %zu\n", cut);
            int status = feedChild(package.substr(0, cut));
            std::printf("\n=== status %d\n", status);
            expectNothingOf("victim", before, failures);
        }
        std::printf("=== whole\n");
        if (feedChild(package) != 0) return 11;
        std::printf("\n=== end\n");
        const std::string root = guard.empty() ? "/flash" : "/flash/x/victim";
        if (!exists(root + "/etc/victim/big") || !exists(root + "/etc/victim/link")) return 12;
        if (!exists("/flash/var/pdb/victim/version")) return 13;
        return failures == 0 ? 0 : 20;
    });
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_FALSE(contains(r.output, "LEFT")) << r.output;
    // Each cut: a child that ended normally and did not call the package installed.
    size_t headerEnd = package.size();
    for (size_t start : partStarts(package))
        if (readLe16(reinterpret_cast<const uint8_t*>(package.data() + start)) == PartType::InstallScript)
            headerEnd = std::min(headerEnd, start);
    for (size_t cut : cuts) {
        size_t from = r.output.find("=== cut " + std::to_string(cut) + "\n");
        ASSERT_NE(from, std::string::npos) << r.output;
        size_t to = r.output.find("=== status", from);
        ASSERT_NE(to, std::string::npos) << r.output;
        const std::string shown = r.output.substr(from, to - from);
        EXPECT_FALSE(contains(shown, "installed victim")) << shown;
        EXPECT_FALSE(contains(shown, "installed (disabled) victim")) << shown;
        // Once its header was read the child says that the package failed.
        if (cut >= headerEnd) {
            EXPECT_TRUE(contains(shown, "failed: broken package")) << shown;
        }
        EXPECT_TRUE(contains(r.output.substr(to, 16), "=== status 0\n")) << r.output.substr(to, 40);
    }
    const std::string whole = r.output.substr(r.output.find("=== whole"));
    EXPECT_TRUE(contains(whole, guard.empty() ? "installed victim" : "installed (disabled) victim")) << whole;
}

std::vector<FileEntry> victimFiles() {
    return {directoryEntry("etc", 0755), directoryEntry("etc/victim", 0755),
            regularEntry("etc/victim/config", "setting=1\n"),
            regularEntry("etc/victim/big", randomBytes(300000, 7)),
            symlinkEntry("etc/victim/link", "config"), fifoEntry("etc/victim/pipe", 0600),
            regularEntry("etc/victim/last", "the end\n")};
}

TEST(InstallChildFaults, CutPackageLeavesNothingOfItself) {
    cutEverywhere(signedPackage(content("victim", victimFiles())), "");
}

TEST(InstallChildFaults, CutDisabledPackageLeavesNothingUnderX) {
    PackageContent guard = content("guard", {regularEntry("etc/guard", "on\n")});
    guard.conflicts = std::vector<DependencyEntry>{{"victim", 0, 0, 0}};
    cutEverywhere(signedPackage(content("victim", victimFiles())), signedPackage(guard));
}

TEST(InstallChildFaults, FullDiskMidPackageIsDiskTooSmallAndLeavesRoomAgain) {
    // 512 KiB of disk: the first files fit, the large one does not.
    const std::string package = signedPackage(content(
        "victim", {directoryEntry("data", 0755), regularEntry("data/small", std::string(40000, 's')),
                   regularEntry("data/large", randomBytes(700000, 3)), regularEntry("data/after", "x")}));
    // With its copy in /flash/image as it is read, this one needs about 400 KiB.
    const std::string fits = signedPackage(content("fits", {regularEntry("data/fits", randomBytes(190000, 5))}));
    sandbox::Options o = machine();
    o.flashTmpfsOptions = "size=512k";
    sandbox::Result r = sandbox::run(o, [&] {
        ::signal(SIGPIPE, SIG_IGN);
        struct statvfs empty, after;
        if (statvfs("/flash", &empty) != 0) return 10;
        const auto before = entriesUnder("/flash");
        std::printf("=== victim\n");
        int status = feedChild(package);
        std::printf("\n=== status %d\n", status);
        int failures = 0;
        expectNothingOf("victim", before, failures);
        if (statvfs("/flash", &after) != 0) return 11;
        // Its blocks are free again: the next package has the whole disk.
        if (after.f_bfree != empty.f_bfree) std::printf("LEFT %lu blocks\n", empty.f_bfree - after.f_bfree);
        std::printf("=== fits\n");
        if (feedChild(fits) != 0) return 12;
        std::printf("\n=== end\n");
        return failures == 0 && exists("/flash/data/fits") ? 0 : 13;
    });
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_FALSE(contains(r.output, "LEFT")) << r.output;
    const std::string victim = r.output.substr(0, r.output.find("=== fits"));
    EXPECT_TRUE(contains(victim, "failed: disk is too small")) << victim;
    EXPECT_FALSE(contains(victim, "installed victim")) << victim;
    EXPECT_TRUE(contains(victim, "=== status 0\n")) << victim;
    EXPECT_TRUE(contains(r.output.substr(r.output.find("=== fits")), "installed fits")) << r.output;
}

TEST(InstallChildFaults, KilledChildIsToldApartFromAFedPackage) {
    // Larger than the pipe: the feeding is still writing when the child dies.
    const std::string large = signedPackage(content("victim", {regularEntry("big", randomBytes(6 << 20, 11))}));
    // Small enough to sit in the pipe whole: only the child's end can tell.
    const std::string small = signedPackage(content("tiny", {regularEntry("tiny", "t\n")}));
    sandbox::Options o = machine();
    o.files.push_back({"/floppy/large.vpk", large});
    sandbox::Result r = sandbox::run(o, [&] {
        ::signal(SIGPIPE, SIG_IGN);
        // The killers are processes: this one stays single-threaded while the
        // feeding forks the install child.
        pid_t killer = sandbox::startKiller("/flash/big", 65536);
        FeedResult fromFile = feedPackageFile("/floppy/large.vpk");
        if (!sandbox::killerKilled(killer)) return 10;
        if (fromFile != FeedResult::childDied) return 11;
        if (pipedChildPid != -1) return 12;

        // The child waits before it reads anything, with the whole package in
        // its pipe, until it is killed.
        unlink("/flash/image");  // the killed child had no time to remove its copy
        installChildPrelude = [] {
            for (;;) ::pause();
        };
        killer = sandbox::startKiller("", 0);
        FeedResult fromMemory = feedPackageData(reinterpret_cast<const unsigned char*>(small.data()), small.size());
        installChildPrelude = nullptr;
        if (!sandbox::killerKilled(killer) || fromMemory != FeedResult::childDied) return 14;
        // A child left alone still installs: the fault was the kill.
        if (feedPackageData(reinterpret_cast<const unsigned char*>(small.data()), small.size()) != FeedResult::fed)
            return 15;
        return exists("/flash/tiny") ? 0 : 16;
    });
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
}

// A bundle member whose header part is too short to read: the bundle ends
// there instead of asking for the same header forever.
TEST(InstallChildFaults, BundleWithUnreadableMemberHeaderEnds) {
    const std::string bundle =
        file(part(PartType::BundleHeader, headerData("suite")) + part(PartType::Header, "short") +
             packageBody("after"));
    sandbox::Options o = machine();
    o.timeoutMs = 30000;
    sandbox::Result r = sandbox::run(o, [&] {
        theRepository().quiet = true;
        std::istringstream in(bundle);
        std::string imageDir;
        return installFromStream(in, kPermitUpgrade, nullptr, imageDir);
    });
    ASSERT_FALSE(r.timedOut) << "the installation never ended";
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, kBundleEmpty) << r.output;
}

}  // namespace
