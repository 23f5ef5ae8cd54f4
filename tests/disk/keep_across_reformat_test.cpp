#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <map>
#include <string>

#include "disk/bootconfig.h"
#include "disk/installer.h"
#include "disk/partition.h"
#include "disk_helpers.h"

using disktest::capture;

namespace {

using disktest::shell;

std::string readText(const std::string& path) { return sandbox::readFile(path); }

struct Seen {
    mode_t mode;
    uid_t uid;
    gid_t gid;
    std::string content;  // regular files only
    timespec atime{}, mtime{};
};

// Reads without moving the access time, which the comparison looks at.
std::string readUntouched(const std::string& path) {
    std::string out;
    int fd = open(path.c_str(), O_RDONLY | O_NOATIME | O_CLOEXEC);
    if (fd < 0) return "<unreadable>";
    char buffer[8192];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) out.append(buffer, size_t(n));
    close(fd);
    return out;
}

// What a restored tree must show: links followed, the loop link left out.
void walk(const std::string& path, std::map<std::string, Seen>& out, const std::string& skip) {
    if (path == skip) return;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return;
    Seen seen{st.st_mode, st.st_uid, st.st_gid, "", {}, {}};
    if (S_ISREG(st.st_mode)) {
        seen.content = readUntouched(path);
        seen.atime = st.st_atim;
        seen.mtime = st.st_mtim;
    }
    out[path] = seen;
    if (!S_ISDIR(st.st_mode)) return;
    DIR* dir = opendir(path.c_str());
    while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") walk(path + "/" + name, out, skip);
    }
    closedir(dir);
}

void place(const std::string& path, const std::string& content, mode_t mode, uid_t uid, gid_t gid, time_t now) {
    sandbox::writeFile(path, content, mode);
    chmod(path.c_str(), mode);
    chown(path.c_str(), uid, gid);
    // Read an hour after the last change: reading does not move the access time.
    timespec times[2] = {{now - 3600, 123456789}, {now - 7200, 987654321}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

std::string pattern(size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; i++) s[i] = char((i * 7919) >> 3);
    return s;
}

TEST(KeepConfig, StoreSurvivesAReformatByteForByte) {
    std::string image = disktest::makeImage(64 << 20);
    ASSERT_FALSE(image.empty());
    auto r = sandbox::run(disktest::diskSandbox(image), [] {
        disktest::Checker c;
        if (disktest::attachAsSda().empty()) return 100;
        Installer installer;
        installer.disk = makeDiskEntry("/dev/sda", 8, 255, 63);
        if (!prepareDisk(installer, false)) return 101;

        time_t now = time(nullptr);
        const std::string store = "/flash/lumo/store";
        mkdir(store.c_str(), 0750);
        chown(store.c_str(), 10, 20);
        mkdir((store + "/net").c_str(), 0755);
        mkdir((store + "/net/if").c_str(), 0700);
        chown((store + "/net/if").c_str(), 1000, 1000);
        place(store + "/empty", "", 0600, 0, 0, now);
        place(store + "/one", "1", 0644, 1, 2, now);
        place(store + "/net/exact", pattern(16000), 0640, 0, 100, now);
        place(store + "/net/if/big", pattern(100000), 0755, 1000, 1000, now);
        place(store + "/net/if/eth0", "address 10.0.0.1\n", 0600, 0, 0, now);
        // A link to a file outside the store (read once, so its access time holds).
        place("/flash/lumo/etc/linked", "linked text", 0604, 7, 8, now);
        symlink("../../etc/linked", (store + "/net/link").c_str());
        symlink("..", (store + "/net/if/up").c_str());
        // Only the first store is kept.
        mkdir("/flash/rw/store", 0755);
        sandbox::writeFile("/flash/rw/store/other", "not kept");

        std::map<std::string, Seen> before;
        walk(store, before, store + "/net/if/up");
        c.check(before.size() == 9, "nine entries before: " + std::to_string(before.size()));
        if (umount("/flash") != 0) return 102;

        c.check(prepareDisk(installer, true), "prepareDisk keeping the store");
        std::map<std::string, Seen> after;
        walk(store, after, "");
        c.check(after.size() == before.size(), "entries after: " + std::to_string(after.size()));
        for (const auto& [path, was] : before) {
            auto it = after.find(path);
            if (!c.check(it != after.end(), path + " restored")) continue;
            const Seen& now = it->second;
            c.check(now.mode == was.mode, path + " mode");
            c.check(now.uid == was.uid && now.gid == was.gid, path + " owner");
            c.check(now.content == was.content, path + " content");
            if (S_ISREG(was.mode)) {
                c.check(now.mtime.tv_sec == was.mtime.tv_sec && now.mtime.tv_nsec == was.mtime.tv_nsec,
                        path + " modification time");
                c.check(now.atime.tv_sec == was.atime.tv_sec, path + " access time");
            }
        }
        struct stat st;
        c.check(lstat((store + "/net/link").c_str(), &st) == 0 && S_ISREG(st.st_mode), "link became a file");
        c.check(lstat("/flash/rw/store", &st) != 0, "second store not kept");
        c.check(lstat("/flash/etc/fstab", &st) == 0, "the new system is there too");
        c.check(umount("/flash") == 0, "unmount");
        c.check(shell("/usr/sbin/e2fsck -fn /dev/sda1 >/dev/null 2>&1") == 0, "e2fsck clean");
        return c.failures;
    });
    unlink(image.c_str());
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_NE(r.output.find("Reading old configuration..."), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("Writing back old configuration..."), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("ERROR"), std::string::npos) << r.output;
}

TEST(KeepConfig, NothingToKeepOnABlankDisk) {
    std::string image = disktest::makeImage(64 << 20);
    ASSERT_FALSE(image.empty());
    auto r = sandbox::run(disktest::diskSandbox(image), [] {
        if (disktest::attachAsSda().empty()) return 100;
        Installer installer;
        installer.disk = makeDiskEntry("/dev/sda", 8, 255, 63);
        return prepareDisk(installer, true) ? 0 : 1;
    });
    unlink(image.c_str());
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_NE(r.output.find("WARNING: couldn't keep config - couldn't mount file system"), std::string::npos)
        << r.output;
    EXPECT_EQ(r.output.find("Writing back old configuration..."), std::string::npos) << r.output;
}

// An entry of the store that cannot be read is left out with a warning that
// names it, and the rest is kept; a store that cannot be saved at all stops the
// installation before the disk is changed.
TEST(KeepConfig, UnreadableEntriesAreLeftOutAndAnUnsavableStoreStopsFirst) {
    std::string image = disktest::makeImage(64 << 20);
    ASSERT_FALSE(image.empty());
    auto r = sandbox::run(disktest::diskSandbox(image), [] {
        disktest::Checker c;
        if (disktest::attachAsSda().empty()) return 100;
        Installer installer;
        installer.disk = makeDiskEntry("/dev/sda", 8, 255, 63);
        if (!prepareDisk(installer, false)) return 101;
        const std::string store = "/flash/lumo/store";
        mkdir(store.c_str(), 0755);
        mkdir((store + "/net").c_str(), 0755);
        sandbox::writeFile(store + "/net/eth0", "address 10.0.0.1\n");
        symlink("/nowhere", (store + "/net/dangling").c_str());
        sandbox::writeFile(store + "/zzz", "last");
        if (umount("/flash") != 0) return 102;

        c.check(prepareDisk(installer, true), "prepareDisk keeping what can be read");
        c.check(readText(store + "/net/eth0") == "address 10.0.0.1\n", "the rest is kept");
        c.check(readText(store + "/zzz") == "last", "entries after the unreadable one are kept");
        struct stat st;
        c.check(lstat((store + "/net/dangling").c_str(), &st) != 0, "the dangling link is left out");

        // A store that cannot be read at all: the second place, a dangling link.
        shell("rm -rf /flash/lumo/store");
        symlink("/nowhere", "/flash/rw/store");
        sandbox::writeFile("/flash/old-system", "still here");
        if (umount("/flash") != 0) return 103;
        // The old system's own boot code (and disk identifier), which the flows
        // replace before this step.
        unsigned char sector[512];
        if (!readMbr(installer, sector)) return 104;
        std::memset(sector, 0x5a, 446);
        if (!writeMbr(installer, sector)) return 105;
        std::string before = capture("/usr/sbin/sfdisk -d /dev/sda");
        if (!writeMasterBootRecord(installer)) return 106;
        std::printf("=== unsavable\n");
        std::fflush(stdout);
        c.check(!prepareDisk(installer, true), "prepareDisk stops");
        unsigned char after[512];
        c.check(readMbr(installer, after) && std::memcmp(after, sector, 512) == 0, "old first sector back");
        c.check(capture("/usr/sbin/sfdisk -d /dev/sda") == before, "table untouched");
        c.check(mount("/dev/sda1", "/flash", "ext3", 0, nullptr) == 0, "old system mounts");
        c.check(readText("/flash/old-system") == "still here", "old system unchanged");
        umount("/flash");
        c.check(shell("/usr/sbin/e2fsck -fn /dev/sda1 >/dev/null 2>&1") == 0, "e2fsck clean");
        return c.failures;
    });
    unlink(image.c_str());
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    std::string first = r.output.substr(0, r.output.find("=== unsavable"));
    EXPECT_NE(first.find("WARNING: couldn't keep /lumo/store/net/dangling - could not read it"), std::string::npos)
        << r.output;
    EXPECT_EQ(first.find("ERROR"), std::string::npos) << r.output;
    std::string second = r.output.substr(r.output.find("=== unsavable"));
    EXPECT_NE(second.find("ERROR: couldn't keep config - probably not enough memory"), std::string::npos) << r.output;
    EXPECT_NE(second.find("ERROR: installation stopped - the disk was left as it was"), std::string::npos)
        << r.output;
    EXPECT_EQ(second.find("Creating partition"), std::string::npos) << r.output;
}

}  // namespace
