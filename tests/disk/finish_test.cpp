#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "disk/finish.h"
#include "disk/installer.h"
#include "disk/partition.h"
#include "disk_helpers.h"
#include "init/globals.h"

namespace {

using disktest::shell;

// Gives the new system a working /bin/bash (the host's, with its libraries)
// and tools that report what they see on the log device, which is the
// sandbox's own output here.
bool equipNewSystem() {
    int rc = shell(
        "set -e; for f in /usr/bin/bash $(ldd /usr/bin/bash | grep -o '/[^ ]*'); do "
        "  mkdir -p /flash$(dirname $f); cp $f /flash$f; done; "
        "mkdir -p /flash/bin /flash/sbin; cp /usr/bin/bash /flash/bin/bash; "
        "printf '#!/bin/bash\\necho BRIO-RAN \"$*\"\\n' > /flash/bin/brio; "
        "printf '#!/bin/bash\\nif : > /probe 2>/dev/null; then echo FSCK-SAW-RW; else echo FSCK-SAW-RO; fi\\n"
        "echo FSCK-ARGS \"$*\"\\n' > /flash/sbin/fsck; "
        "chmod 755 /flash/bin/brio /flash/sbin/fsck; "
        "ln -sf /proc/1/fd/1 /dev/out");
    std::strcpy(logDevice, "/dev/out");
    return rc == 0;
}

bool mountedAtFlash() {
    std::string mounts = sandbox::readFile("/proc/mounts");
    return mounts.find("/dev/sda1 /flash") != std::string::npos || mounts.find("/dev/sda2 /flash") != std::string::npos;
}

TEST(FinishInstallation, SinglePartitionSystemRunsBrioAndIsCheckedReadOnly) {
    std::string image = disktest::makeImage(64 << 20);
    ASSERT_FALSE(image.empty());
    auto r = sandbox::run(disktest::diskSandbox(image), [] {
        disktest::Checker c;
        if (disktest::attachAsSda().empty()) return 100;
        Installer installer;
        installer.disk = makeDiskEntry("/dev/sda", 8, 255, 63);
        if (!prepareDisk(installer, false)) return 101;
        if (!equipNewSystem()) return 102;
        finishInstallation(installer);
        c.check(!mountedAtFlash(), "nothing mounted at /flash");
        c.check(shell("/usr/sbin/e2fsck -fn /dev/sda1 >/dev/null 2>&1") == 0, "e2fsck clean");
        return c.failures;
    });
    unlink(image.c_str());
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_NE(r.output.find("BRIO-RAN brio"), std::string::npos) << r.output;
    size_t check = r.output.find("Checking disk integrity...");
    ASSERT_NE(check, std::string::npos) << r.output;
    EXPECT_NE(r.output.find("FSCK-SAW-RO", check), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("FSCK-ARGS -d -v", check), std::string::npos) << r.output;
}

TEST(FinishInstallation, TwoPartitionSystemRunsItsPostInstallScriptWithoutCheck) {
    std::string image = disktest::makeImage(uint64_t(1100) * 255 * 63 * 512);
    ASSERT_FALSE(image.empty());
    std::string key = sandbox::readFile(BUILD_DIR "/data/package-public-key.txt");
    key = key.substr(0, key.find_first_of("\r\n"));
    auto r = sandbox::run(disktest::diskSandbox(image), [key] {
        disktest::Checker c;
        if (disktest::attachAsSda().empty()) return 100;
        Installer installer;
        installer.disk = makeDiskEntry("/dev/sda", 1100, 255, 63);
        if (!prepareDisk(installer, false)) return 101;
        if (!equipNewSystem()) return 102;
        shell("mkdir -p /flash/etc/rc.d && printf '#!/bin/bash\\necho POSTINSTALL-RAN in $(pwd) $0\\nexit 3\\n' "
              "> /flash/etc/rc.d/rc.postinstall && chmod 755 /flash/etc/rc.d/rc.postinstall");
        finishInstallation(installer);
        c.check(!mountedAtFlash(), "nothing mounted at /flash");
        c.check(sandbox::readFile("/proc/mounts").find("/flash/boot") == std::string::npos, "boot unmounted");
        // The install log on the new root: the step's failure and the key's
        // fingerprint (SHA-256 of the raw key, computed here by other means).
        if (shell("mount -t ext3 /dev/sda2 /flash") != 0) return 103;
        std::string log = sandbox::readFile("/flash/var/log/install.log");
        shell("python3 -c 'import hashlib; print(hashlib.sha256(bytes.fromhex(\"" + key +
              "\")).hexdigest()[:16])' > /tmp/fp");
        std::string fingerprint = sandbox::readFile("/tmp/fp");
        c.check(fingerprint.size() == 17 && log.find("\npackage key: " + fingerprint) != std::string::npos,
                "install.log names the key: " + log);
        c.check(log.rfind("installed: ", 0) == 0, "install.log begins with the date: " + log);
        c.check(log.find("post-install step /etc/rc.d/rc.postinstall: exit status 3\n") != std::string::npos,
                "install.log has the step's status: " + log);
        shell("umount /flash");
        return c.failures;
    });
    unlink(image.c_str());
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_NE(r.output.find("POSTINSTALL-RAN"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("BRIO-RAN"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("Checking disk integrity..."), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("FSCK"), std::string::npos) << r.output;
}

}  // namespace
