// Module loading is only ever tried where nothing can load: a module handed
// to the kernel from inside a sandbox would still land in the host's kernel.
#include "init/modules.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "sandbox/sandbox.h"

namespace {

int indexOf(const char* const* list, const char* path) {
    for (int i = 0; list[i]; i++)
        if (std::strcmp(list[i], path) == 0) return i;
    return -1;
}

int count(const char* const* list) {
    int n = 0;
    while (list[n]) n++;
    return n;
}

TEST(Modules, ListsLoadWhatOthersDependOnFirst) {
    EXPECT_EQ(count(storageModules), 83);
    EXPECT_EQ(count(usbModules), 7);
    EXPECT_STREQ(storageModules[0], "kernel/fs/ext2/ext2.ko");
    EXPECT_STREQ(storageModules[74], "kernel/drivers/scsi/hpsa.ko");
    EXPECT_STREQ(usbModules[6], "kernel/drivers/usb/storage/usb-storage.ko");
    auto before = [](const char* const* list, const char* first, const char* second) {
        int a = indexOf(list, first), b = indexOf(list, second);
        return a >= 0 && b >= 0 && a < b;
    };
    EXPECT_TRUE(before(storageModules, "kernel/drivers/scsi/scsi_mod.ko", "kernel/drivers/scsi/sd_mod.ko"));
    EXPECT_TRUE(before(storageModules, "kernel/drivers/scsi/scsi_mod.ko", "kernel/drivers/ata/libata.ko"));
    EXPECT_TRUE(before(storageModules, "kernel/drivers/ata/libata.ko", "kernel/drivers/ata/libahci.ko"));
    EXPECT_TRUE(before(storageModules, "kernel/drivers/ata/libahci.ko", "kernel/drivers/ata/ahci.ko"));
    EXPECT_TRUE(before(storageModules, "kernel/drivers/cdrom/cdrom.ko", "kernel/drivers/scsi/sr_mod.ko"));
    // Virtual and NVMe disks come after the older drivers, each after what it needs.
    EXPECT_TRUE(before(storageModules, "kernel/drivers/scsi/hpsa.ko", "kernel/drivers/virtio/virtio_ring.ko"));
    EXPECT_TRUE(before(storageModules, "kernel/drivers/virtio/virtio_ring.ko", "kernel/drivers/virtio/virtio.ko"));
    EXPECT_TRUE(before(storageModules, "kernel/drivers/virtio/virtio.ko", "kernel/drivers/virtio/virtio_pci.ko"));
    EXPECT_TRUE(before(storageModules, "kernel/drivers/virtio/virtio_pci_modern_dev.ko",
                       "kernel/drivers/virtio/virtio_pci.ko"));
    EXPECT_TRUE(before(storageModules, "kernel/drivers/virtio/virtio_pci.ko", "kernel/drivers/block/virtio_blk.ko"));
    EXPECT_TRUE(before(storageModules, "kernel/drivers/nvme/host/nvme-core.ko", "kernel/drivers/nvme/host/nvme.ko"));
    EXPECT_TRUE(before(usbModules, "kernel/drivers/usb/core/usbcore.ko", "kernel/drivers/usb/host/ehci-hcd.ko"));
    EXPECT_TRUE(before(usbModules, "kernel/drivers/usb/core/usbcore.ko", "kernel/drivers/usb/storage/usb-storage.ko"));
}

TEST(Modules, MissingModulesAreSkippedSilently) {
    sandbox::Options o;
    o.newNetwork = false;
    auto r = sandbox::run(o, [] {
        utsname names;
        uname(&names);
        // The sandbox hides the host's module tree; refuse to go on if it did not.
        if (access((std::string("/lib/modules/") + names.release).c_str(), F_OK) == 0) return 100;
        if (loadModule("kernel/fs/ext3/ext3.ko") != -1) return 1;
        if (loadModule("drivers/net/atl1c.ko") != -1) return 2;
        loadModules(storageModules);
        loadModules(usbModules);
        std::fflush(stdout);
        return 0;
    });
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.output, "");
}

// A module file that can be opened but not mapped (empty, or a directory) is
// reported; the kernel is never called for it. The report names the path that
// was looked up, under the running kernel's release.
TEST(Modules, UnmappableModuleIsReportedWithItsRelativePath) {
    sandbox::Options o;
    o.newNetwork = false;
    auto r = sandbox::run(o, [] {
        utsname names;
        uname(&names);
        // A writable module tree of our own in place of the read-only /lib.
        if (mount("tmpfs", "/lib", "tmpfs", 0, "mode=0755") != 0) return 100;
        std::string dir = std::string("/lib/modules/") + names.release + "/kernel/fs/ext3";
        for (size_t slash = 1; slash != std::string::npos; slash = dir.find('/', slash + 1))
            mkdir(dir.substr(0, slash).c_str(), 0755);
        mkdir(dir.c_str(), 0755);
        if (!sandbox::writeFile(dir + "/ext3.ko", "")) return 101;
        if (mkdir((dir + "/dir.ko").c_str(), 0755) != 0) return 102;
        if (loadModule("kernel/fs/ext3/ext3.ko") != -1) return 1;
        if (loadModule("kernel/fs/ext3/dir.ko") != -1) return 2;
        if (loadModule("fs/ext3/ext3.ko") != -1) return 3;  // absent: silent
        std::fflush(stdout);
        return 0;
    });
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_EQ(r.output,
              "ERROR: could not load module kernel/fs/ext3/ext3.ko\n"
              "ERROR: could not load module kernel/fs/ext3/dir.ko\n");
}

}  // namespace
