#include "flows/harddisk.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/rootfs.h"
#include "disk/bootconfig.h"
#include "disk/finish.h"
#include "disk/partition.h"
#include "disk/scriptcheck.h"
#include "flows/feed.h"
#include "flows/menu.h"
#include "init/console.h"
#include "init/modules.h"
#include "init/process.h"
#include "pkg/version.h"

namespace {

constexpr int kSearchPasses = 20;
constexpr size_t kSectorSize = 512;

bool exists(const char* path) { return access(path, F_OK) == 0; }

// Everything read from the medium lives here until the flow ends, whichever
// way it ends.
struct MemoryImages {
    std::vector<FileImage> packages;  // one per package, in installation order
    FileImage configuration;

    ~MemoryImages() {
        for (FileImage& image : packages) std::free(image.data);
        std::free(configuration.data);
    }
};

// The first candidate that mounts and carries both "mbr" and "autorun.scr".
const char* findMedium() {
    // An environment without the mount point would never find its medium.
    mkdir("/floppy", 0755);
    for (int pass = 0; pass < kSearchPasses; ++pass) {
        for (const char* const* device = floppyCandidates; *device; ++device) {
            if (mount(*device, "/floppy", "vfat", 0, nullptr) != 0) continue;
            if (exists("/floppy/mbr") && exists("/floppy/autorun.scr")) return *device;
            umount("/floppy");
        }
        sleep(1);
    }
    return nullptr;
}

bool writeFirstSector(const char* device, const unsigned char* sector) {
    int fd = open(device, O_WRONLY);
    if (fd < 0) {
        std::puts("\nFATAL ERROR: Couldn't open disk");
        return false;
    }
    bool written = write(fd, sector, kSectorSize) == ssize_t(kSectorSize);
    if (written) fsync(fd);
    close(fd);
    if (!written) {
        std::puts("\nFATAL ERROR: Couldn't write to disk");
        return false;
    }
    return true;
}

bool readMbrFile(unsigned char* sector) {
    int fd = open("/floppy/mbr", O_RDONLY);
    if (fd < 0) {
        std::puts("\nFATAL ERROR: Couldn't open mbr file");
        return false;
    }
    size_t done = 0;
    while (done < kSectorSize) {
        ssize_t got = read(fd, sector + done, kSectorSize - done);
        if (got <= 0) break;
        done += size_t(got);
    }
    close(fd);
    if (done != kSectorSize) {
        std::puts("\nFATAL ERROR: Couldn't read mbr file");
        return false;
    }
    return true;
}

bool storeConfiguration(const FileImage& configuration) {
    mkdir("/flash/rw", 0666);
    // The packages are installed by now and may own links anywhere: none is
    // followed on the way to the script.
    int fd = InstallRoot("/flash").openNoLinks("rw/autorun.scr", O_WRONLY | O_CREAT | O_TRUNC, 0666);
    FILE* script = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (!script) {
        if (fd >= 0) close(fd);
        std::puts("\nFATAL ERROR: couldn't make script");
        return false;
    }
    bool ok = configuration.size == 0 ||
              std::fwrite(configuration.data, size_t(configuration.size), 1, script) == 1;
    // A buffered write can still fail when the buffer goes out.
    if (std::fclose(script) != 0) ok = false;
    if (!ok) {
        std::puts("\nFATAL ERROR: Writing configuration failed");
        return false;
    }
    return true;
}

}  // namespace

bool hardDiskInstall(Installer& installer) {
    showBanner("hard disk installation");
    std::puts("");
    std::puts("Loading drivers");
    std::fflush(stdout);
    loadModules(storageModules);
    loadModules(usbModules);

    startProgress("Looking for harddrives...");
    const char* medium = findMedium();
    stopProgress();
    if (!medium) {
        std::puts("\nFATAL ERROR: No hard disk found");
        return false;
    }
    bool menuMode = false;
    if (FILE* choose = std::fopen("/floppy/CHOOSE", "r")) {
        menuMode = true;
        std::fclose(choose);
    }

    PackageMenu menu;
    if (!loadPackageFiles(menu)) return false;
    if (menuMode) {
        if (!runMenu(menu)) {
            std::puts("Installation canceled");
            return false;
        }
    } else {
        for (auto& package : menu.packages) package->selected = 1;
    }
    std::vector<PackageArchive*> order;
    installOrder(menu, order);

    // The medium is the target disk: everything is read before anything is written.
    MemoryImages images;
    images.packages.reserve(order.size());
    for (PackageArchive* package : order) {
        std::printf("Reading: %s...", label(*package).c_str());
        startProgress("");
        images.packages.emplace_back();
        bool read = readWholeFile(images.packages.back(), package->path.c_str());
        stopProgress();
        if (!read) {
            std::printf("\nFATAL ERROR: could not read file %s\n", package->path.c_str());
            return false;
        }
    }
    if (!readWholeFile(images.configuration, "/floppy/autorun.scr")) {
        std::puts("\nFATAL ERROR: could not read configuration");
        return false;
    }
    // Refused while the medium is still whole: nothing has been written yet.
    if (!configurationScriptAccepted("autorun.scr", std::string_view(reinterpret_cast<const char*>(images.configuration.data),
                                                                     size_t(images.configuration.size))))
        return false;
    unsigned char sector[kSectorSize];
    if (!menuMode && !readMbrFile(sector)) return false;

    umount("/floppy");
    if (!menuMode && !writeFirstSector(medium, sector)) return false;

    Installer target;
    std::strncpy(target.disk.device, medium, sizeof target.disk.device - 1);
    writeMasterBootRecord(target);

    DiskEntry* table = listDisks();
    const DiskEntry* entry = nullptr;
    for (int i = 0; table && i < kDiskTableSize; ++i)
        if (std::strcmp(table[i].device, medium) == 0) entry = &table[i];
    if (!entry) {
        std::puts("\nFATAL ERROR: Couldn't find the disk!");
        return false;
    }
    installer.disk = *entry;
    std::puts("");
    if (!prepareDisk(installer, false)) return false;

    std::puts("");
    for (FileImage& image : images.packages) {
        image.position = 0;
        switch (feedPackageData(image.data, size_t(image.size))) {
        case FeedResult::fed:
            break;
        case FeedResult::noChild:
            std::puts("\nFATAL ERROR: Couldn't start install");
            return false;
        case FeedResult::childDied:
            std::puts("\nFATAL ERROR: install process died");
            return false;
        case FeedResult::readFailed:
        case FeedResult::writeFailed:
            std::puts("");
            return false;
        }
        std::free(image.data);
        image = FileImage{};
    }

    if (!storeConfiguration(images.configuration)) return false;
    finishInstallation(installer);
    std::puts("");
    std::puts("Software installed.");
    std::fflush(stdout);
    sleep(2);
    return true;
}
