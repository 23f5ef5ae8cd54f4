#include "flows/cdrom.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "archive/rootfs.h"
#include "disk/bootconfig.h"
#include "disk/finish.h"
#include "disk/keepconfig.h"
#include "disk/partition.h"
#include "flows/feed.h"
#include "flows/menu.h"
#include "init/console.h"

namespace {

constexpr int kSearchPasses = 20;
constexpr unsigned long kReadOnlyMount = 0xC0ED0001;

bool mountCdrom() {
    // An environment without the mount point would never find its CD.
    mkdir("/floppy", 0755);
    for (int pass = 0; pass < kSearchPasses; ++pass) {
        for (const char* const* device = cdromCandidates; *device; ++device)
            if (mount(*device, "/floppy", "iso9660", kReadOnlyMount, nullptr) == 0) return true;
        sleep(1);
    }
    return false;
}

// Which disk the warning below is about, and how large it is, so that the
// user can tell it from another disk before saying yes.
void printTargetDisk(const DiskEntry& disk) {
    const double bytes = double(disk.cylinders) * double(disk.cylinderBytes);
    const char* name = diskDisplayName(disk.device);
    char size[32];
    if (bytes >= 1024.0 * 1024 * 1024)
        std::snprintf(size, sizeof size, "%.1f GiB", bytes / (1024.0 * 1024 * 1024));
    else
        std::snprintf(size, sizeof size, "%.0f MiB", bytes / (1024.0 * 1024));
    if (std::strcmp(name, disk.device) != 0)
        std::printf("The disk: %s (%s), %s\n", name, disk.device, size);
    else
        std::printf("The disk: %s, %s\n", disk.device, size);
}

}  // namespace

bool cdromInstall(Installer& installer) {
    if (!mountCdrom()) {
        std::puts("\nFATAL ERROR: no CD-ROM found");
        return false;
    }
    PackageMenu menu;
    if (!loadPackageFiles(menu)) return false;
    if (!runMenu(menu)) {
        std::puts("Installation canceled");
        return false;
    }
    bool keep = askYesNo("Do you want to keep old configuration? ");
    std::puts("");
    printTargetDisk(installer.disk);
    std::puts("Warning: all data on the disk will be erased!");
    std::puts("");
    if (!askYesNo("Continue?")) return false;

    std::puts("");
    writeMasterBootRecord(installer);
    if (!prepareDisk(installer, keep)) return false;

    std::puts("");
    std::vector<PackageArchive*> order;
    installOrder(menu, order);
    for (PackageArchive* package : order) {
        std::fflush(stdout);
        switch (feedPackageFile(package->path.c_str())) {
        case FeedResult::fed:
            break;
        case FeedResult::noChild:
            std::puts("\nFATAL ERROR: couldn't start install");
            return false;
        case FeedResult::readFailed:
            std::puts("\nFATAL ERROR: corrupted CD-ROM");
            return false;
        case FeedResult::childDied:
            std::puts("\nFATAL ERROR: install process died");
            return false;
        case FeedResult::writeFailed:
            std::puts("");
            return false;
        }
    }

    // Installed packages may own links anywhere: none is followed on the way.
    int marker = InstallRoot("/flash").openNoLinks("CDINSTALL", O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (marker >= 0) close(marker);
    finishInstallation(installer);
    std::puts("");
    std::puts("Software installed.");
    reportKeptConfiguration();
    return true;
}
