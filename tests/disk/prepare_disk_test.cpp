#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "disk/bootconfig.h"
#include "disk/installer.h"
#include "disk/partition.h"
#include "disk_helpers.h"

namespace {

using disktest::capture;
using disktest::shell;

std::string readText(const char* path) { return sandbox::readFile(path); }

bool exists(const char* path) {
    struct stat st;
    return stat(path, &st) == 0;
}

bool isDirWithMode(const char* path, mode_t mode) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & 07777) == mode;
}

void checkSystemDirectories(disktest::Checker& c) {
    for (const char* dir : {"/flash/rw", "/flash/lumo", "/flash/lumo/etc", "/flash/var", "/flash/var/pdb"})
        c.check(isDirWithMode(dir, 0755), std::string(dir) + " with mode 0755");
    struct stat st;
    c.check(stat("/flash/etc/lilo.conf", &st) == 0 && (st.st_mode & 0777) == 0644, "lilo.conf mode 0644");
    c.check(stat("/flash/etc/fstab", &st) == 0 && (st.st_mode & 0777) == 0644, "fstab mode 0644");
}

// A 64 MiB disk: 8 cylinders, one partition with a journal.
TEST(PrepareDisk, SmallDiskGetsOneJournalledPartition) {
    std::string image = disktest::makeImage(64 << 20);
    ASSERT_FALSE(image.empty());
    auto r = sandbox::run(disktest::diskSandbox(image), [] {
        disktest::Checker c;
        if (disktest::attachAsSda().empty()) return 100;
        // An old table of four entries: the new one must have only one.
        shell("printf '0,2,83\\n2,2,83\\n4,2,83\\n6,2,83\\n' | /sbin/sfdisk -q -uC /dev/sda");

        Installer installer;
        installer.disk = makeDiskEntry("/dev/sda", 8, 255, 63);
        c.check(prepareDisk(installer, false), "prepareDisk");
        c.contains(readText("/proc/mounts"), "/dev/sda1 /flash ext3 ", "root mounted as ext3");
        c.check(readText("/proc/mounts").find("/flash/boot") == std::string::npos, "no boot mount");
        c.check(readText("/flash/etc/lilo.conf") ==
                    "boot=/dev/sda1\nmap=/boot/map\ninstall=/boot/boot.b\nlba32\nimage=/boot/vmlinuz\n"
                    "  label=System\n  root=/dev/sda1\n  read-only\n",
                "lilo.conf:\n" + readText("/flash/etc/lilo.conf"));
        c.check(readText("/flash/etc/fstab") ==
                    "/dev/sda1  /     ext3 defaults 1 1\n"
                    "none /proc proc defaults 0 0\n"
                    "none /dev/pts devpts gid=5,mode=620 0 0\n",
                "fstab:\n" + readText("/flash/etc/fstab"));
        c.check(exists("/flash/.nofsck"), ".nofsck");
        checkSystemDirectories(c);
        c.check(umount("/flash") == 0, "unmount");

        std::string dump = capture("/usr/sbin/sfdisk -d /dev/sda");
        c.contains(dump, "/dev/sda1 : start=          63, size=      128457, type=83, bootable", "table");
        c.check(dump.find("/dev/sda2") == std::string::npos, "one partition only:\n" + dump);
        c.contains(capture("/usr/sbin/dumpe2fs -h /dev/sda1 2>/dev/null"), "has_journal", "journal");
        c.check(shell("/usr/sbin/e2fsck -fn /dev/sda1 >/dev/null 2>&1") == 0, "e2fsck clean");

        // mountSystem finds the single-partition system whatever withBoot says.
        c.check(mountSystem(installer, true), "mountSystem");
        c.check(exists("/flash/etc/fstab"), "mounted again");
        c.check(readText("/proc/mounts").find("/flash/boot") == std::string::npos, "still no boot mount");
        umount("/flash");
        return c.failures;
    });
    unlink(image.c_str());
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_NE(r.output.find("Creating partition..."), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("Formatting disk..."), std::string::npos) << r.output;
}

// A disk whose name ends in a digit: every partition path the installation
// uses has the "p" (the table, formatting, mounting, lilo.conf, fstab), and a
// reinstallation finds the old system through them to keep its store.
TEST(PrepareDisk, NvmeDiskNamesItsPartitionsWithP) {
    std::string image = disktest::makeImage(64 << 20);
    ASSERT_FALSE(image.empty());
    auto r = sandbox::run(disktest::diskSandbox(image), [] {
        disktest::Checker c;
        if (disktest::attachAs("/dev/nvme0n1").empty()) return 100;
        Installer installer;
        installer.disk = makeDiskEntry("/dev/nvme0n1", 8, 255, 63);
        c.check(prepareDisk(installer, false), "prepareDisk");
        c.contains(readText("/proc/mounts"), "/dev/nvme0n1p1 /flash ext3 ", "root mounted");
        c.check(readText("/flash/etc/lilo.conf") ==
                    "boot=/dev/nvme0n1p1\nmap=/boot/map\ninstall=/boot/boot.b\nlba32\nimage=/boot/vmlinuz\n"
                    "  label=System\n  root=/dev/nvme0n1p1\n  read-only\n",
                "lilo.conf:\n" + readText("/flash/etc/lilo.conf"));
        c.check(readText("/flash/etc/fstab") ==
                    "/dev/nvme0n1p1  /     ext3 defaults 1 1\n"
                    "none /proc proc defaults 0 0\n"
                    "none /dev/pts devpts gid=5,mode=620 0 0\n",
                "fstab:\n" + readText("/flash/etc/fstab"));
        mkdir("/flash/rw/store", 0755);
        c.check(sandbox::writeFile("/flash/rw/store/settings", "hostname=kept\n", 0600), "store");
        c.check(umount("/flash") == 0, "unmount");
        c.contains(capture("/usr/sbin/sfdisk -d /dev/nvme0n1"),
                   "/dev/nvme0n1p1 : start=          63, size=      128457, type=83, bootable", "table");

        c.check(prepareDisk(installer, true), "prepareDisk keeping the store");
        c.check(readText("/flash/rw/store/settings") == "hostname=kept\n", "store kept");
        umount("/flash");

        // Two partitions: the boot partition p1, the root p2.
        mount("tmpfs", "/flash", "tmpfs", 0, nullptr);
        installer.disk = makeDiskEntry("/dev/nvme0n1", 1100, 255, 63);
        c.check(writeBootConfiguration(installer) == BootConfigResult::Ok, "boot configuration");
        c.contains(readText("/flash/etc/lilo.conf"), "boot=/dev/nvme0n1p1\n", "lilo boot line");
        c.contains(readText("/flash/etc/lilo.conf"), "  root=/dev/nvme0n1p2\n", "lilo root line");
        c.check(readText("/flash/etc/fstab") ==
                    "/dev/nvme0n1p2  /     ext3 defaults 1 1\n"
                    "/dev/nvme0n1p1  /boot ext2 defaults 1 2\n"
                    "none /proc proc defaults 0 0\n"
                    "none /dev/pts devpts gid=5,mode=620 0 0\n",
                "fstab:\n" + readText("/flash/etc/fstab"));
        umount("/flash");
        return c.failures;
    });
    unlink(image.c_str());
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_EQ(r.output.find("couldn't keep config"), std::string::npos) << r.output;
}

// More than 1023 cylinders (sparse): a boot partition of two cylinders and a
// journalled root.
TEST(PrepareDisk, LargeDiskGetsABootPartition) {
    std::string image = disktest::makeImage(uint64_t(1100) * 255 * 63 * 512);
    ASSERT_FALSE(image.empty());
    auto r = sandbox::run(disktest::diskSandbox(image), [] {
        disktest::Checker c;
        if (disktest::attachAsSda().empty()) return 100;
        Installer installer;
        installer.disk = makeDiskEntry("/dev/sda", 1100, 255, 63);
        c.check(installer.disk.separateBoot && installer.disk.useJournal, "layout flags");
        c.check(prepareDisk(installer, false), "prepareDisk");
        std::string mounts = readText("/proc/mounts");
        c.contains(mounts, "/dev/sda2 /flash ext3 ", "root");
        c.contains(mounts, "/dev/sda1 /flash/boot ext2 ", "boot");
        c.contains(readText("/flash/etc/lilo.conf"), "boot=/dev/sda1\n", "lilo boot line");
        c.contains(readText("/flash/etc/lilo.conf"), "  root=/dev/sda2\n", "lilo root line");
        c.check(readText("/flash/etc/fstab") ==
                    "/dev/sda2  /     ext3 defaults 1 1\n"
                    "/dev/sda1  /boot ext2 defaults 1 2\n"
                    "none /proc proc defaults 0 0\n"
                    "none /dev/pts devpts gid=5,mode=620 0 0\n",
                "fstab:\n" + readText("/flash/etc/fstab"));
        c.check(exists("/flash/.nofsck"), ".nofsck");
        checkSystemDirectories(c);
        c.check(umount("/flash/boot") == 0 && umount("/flash") == 0, "unmount");

        std::string dump = capture("/usr/sbin/sfdisk -d /dev/sda");
        c.contains(dump, "/dev/sda1 : start=          63, size=       32067, type=83, bootable", "table");
        c.contains(dump, "/dev/sda2 : start=       32130, size=    17639370, type=83\n", "table");
        c.check(capture("/usr/sbin/dumpe2fs -h /dev/sda1 2>/dev/null").find("has_journal") == std::string::npos,
                "boot without journal");
        c.contains(capture("/usr/sbin/dumpe2fs -h /dev/sda2 2>/dev/null"), "has_journal", "root journal");
        c.check(shell("/usr/sbin/e2fsck -fn /dev/sda1 >/dev/null 2>&1") == 0, "e2fsck boot");
        c.check(shell("/usr/sbin/e2fsck -fn /dev/sda2 >/dev/null 2>&1") == 0, "e2fsck root");

        c.check(mountSystem(installer, false), "mountSystem without boot");
        mounts = readText("/proc/mounts");
        c.contains(mounts, "/dev/sda2 /flash ext3 ", "root only");
        c.check(mounts.find("/flash/boot") == std::string::npos, "boot not mounted");
        umount("/flash");

        // A boot partition that cannot be mounted leaves nothing mounted.
        shell("dd if=/dev/zero of=/dev/sda1 bs=4096 count=1 seek=0 status=none; "
              "dd if=/dev/zero of=/dev/sda1 bs=1024 count=1 seek=1 status=none");
        c.check(!mountSystem(installer, true), "mountSystem with a broken boot partition");
        c.check(readText("/proc/mounts").find("/dev/sda2 /flash ") == std::string::npos, "root unmounted again");
        return c.failures;
    });
    unlink(image.c_str());
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
}

TEST(PrepareDisk, RefusesADegenerateGeometryBeforeWriting) {
    std::string image = disktest::makeImage(64 << 20);
    ASSERT_FALSE(image.empty());
    auto r = sandbox::run(disktest::diskSandbox(image), [] {
        disktest::Checker c;
        if (disktest::attachAsSda().empty()) return 100;
        shell("printf '0,3,83,*\\n' | /sbin/sfdisk -q -uC /dev/sda");
        std::string before = capture("/usr/sbin/sfdisk -d /dev/sda");
        Installer installer;
        installer.disk = makeDiskEntry("/dev/sda", 8, 0, 63);
        c.check(!prepareDisk(installer, false), "no cylinder size");
        // 10 MiB are 20480 cylinders of one sector: more than this disk has.
        installer.disk = makeDiskEntry("/dev/sda", 2000, 1, 1);
        c.check(!prepareDisk(installer, false), "too few cylinders for the boot partition");
        c.check(capture("/usr/sbin/sfdisk -d /dev/sda") == before, "table untouched");
        return c.failures;
    });
    unlink(image.c_str());
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    size_t first = r.output.find("ERROR: could not create partitions");
    ASSERT_NE(first, std::string::npos) << r.output;
    EXPECT_NE(r.output.find("ERROR: could not create partitions", first + 1), std::string::npos) << r.output;
}

TEST(PrepareDisk, FormattingFailureIsReported) {
    std::string image = disktest::makeImage(64 << 20);
    ASSERT_FALSE(image.empty());
    auto options = disktest::diskSandbox(image);
    options.binds.pop_back();  // no /sbin/mke2fs
    auto r = sandbox::run(options, [] {
        if (disktest::attachAsSda().empty()) return 100;
        Installer installer;
        installer.disk = makeDiskEntry("/dev/sda", 8, 255, 63);
        return prepareDisk(installer, false) ? 1 : 0;
    });
    unlink(image.c_str());
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_NE(r.output.find("ERROR: could not format partitions"), std::string::npos) << r.output;
}

// A partitioning tool that fails (here one that writes nothing and exits 1)
// stops the installation before anything is formatted: the old file system is
// still there. A lilo.conf that does not reach a full disk is a create error.
TEST(PrepareDisk, FailingPartitionToolAndFullDiskAreErrors) {
    std::string image = disktest::makeImage(64 << 20);
    ASSERT_FALSE(image.empty());
    auto r = sandbox::run(disktest::diskSandbox(image), [] {
        disktest::Checker c;
        if (disktest::attachAsSda().empty()) return 100;
        Installer installer;
        installer.disk = makeDiskEntry("/dev/sda", 8, 255, 63);
        if (!prepareDisk(installer, false)) return 101;
        sandbox::writeFile("/flash/old-system", "still here");
        if (umount("/flash") != 0) return 102;

        std::string tool = readText("/sbin/sfdisk");
        sandbox::writeFile("/sbin/sfdisk",
                           "#!/bin/sh\n"
                           "case \"$1\" in -d) exec /sbin/cylpart \"$@\";; esac\n"
                           "cat >/dev/null\n"
                           "exit 1\n",
                           0755);
        std::printf("=== failing tool\n");
        std::fflush(stdout);
        c.check(!prepareDisk(installer, false), "prepareDisk fails with the tool");
        c.check(mount("/dev/sda1", "/flash", "ext3", 0, nullptr) == 0, "old file system still mounts");
        c.check(readText("/flash/old-system") == "still here", "old file system unformatted");
        umount("/flash");

        // lilo.conf on a disk that is full: the file opens, its bytes never land.
        c.check(mount("none", "/flash", "tmpfs", 0, "size=8k") == 0, "small tmpfs");
        sandbox::writeFile("/flash/filler", std::string(16384, 'f'));
        c.check(writeBootConfiguration(installer) == BootConfigResult::LiloFailed, "lilo.conf on a full disk");
        umount("/flash");
        return c.failures;
    });
    unlink(image.c_str());
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    std::string failing = r.output.substr(r.output.find("=== failing tool"));
    EXPECT_NE(failing.find("ERROR: could not create partitions"), std::string::npos) << r.output;
    EXPECT_EQ(failing.find("Formatting disk"), std::string::npos) << r.output;
}

}  // namespace
