#include "disk/bootconfig.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The first sector as it was before the boot program went in, and its disk.
struct ReplacedSector {
    std::string device;
    unsigned char bytes[512];
};
ReplacedSector replaced;

}  // namespace

bool writeMasterBootRecord(const Installer& installer) {
    unsigned char sector[512];
    if (!readMbr(installer, sector)) return false;
    replaced.device = installer.disk.device;
    std::memcpy(replaced.bytes, sector, sizeof sector);
    std::memcpy(sector, bootProgram, kBootProgramSize);
    std::memset(sector + kBootProgramSize, 0, 446 - kBootProgramSize);
    return writeMbr(installer, sector);
}

bool restoreMasterBootRecord(const Installer& installer) {
    if (replaced.device.empty() || replaced.device != installer.disk.device) return false;
    return writeMbr(installer, replaced.bytes);
}

namespace {

// A file that did not reach the disk whole (a full disk, a write error seen
// only when the buffer is flushed at close) is a failure to create it.
bool writeTextFile(const char* path, const std::string& text) {
    FILE* f = std::fopen(path, "w");
    if (!f) return false;
    bool written = std::fputs(text.c_str(), f) >= 0 && std::fflush(f) == 0 && !std::ferror(f);
    if (std::fclose(f) != 0) written = false;
    chmod(path, 0644);
    return written;
}

}  // namespace

BootConfigResult writeBootConfiguration(const Installer& installer) {
    const DiskEntry& disk = installer.disk;
    const std::string first = partitionPath(disk.device, 1);
    const std::string root = partitionPath(disk.device, disk.separateBoot ? 2 : 1);
    const char* rootType = disk.useJournal ? "ext3" : "ext2";

    mkdir("/flash/etc", 0755);
    std::string lilo = "boot=" + first + "\n" +
                       "map=/boot/map\n"
                       "install=/boot/boot.b\n"
                       "lba32\n"
                       "image=/boot/vmlinuz\n"
                       "  label=System\n" +
                       "  root=" + root + "\n" +
                       "  read-only\n";
    if (!writeTextFile("/flash/etc/lilo.conf", lilo)) return BootConfigResult::LiloFailed;

    mkdir("/flash/etc", 0755);
    std::string fstab = root + "  /     " + rootType + " defaults 1 1\n";
    if (disk.separateBoot) fstab += first + "  /boot ext2 defaults 1 2\n";
    fstab += "none /proc proc defaults 0 0\n"
             "none /dev/pts devpts gid=5,mode=620 0 0\n";
    if (!writeTextFile("/flash/etc/fstab", fstab)) return BootConfigResult::FstabFailed;

    // A journalled root needs no check at boot.
    if (disk.useJournal) {
        if (FILE* f = std::fopen("/flash/.nofsck", "w")) std::fclose(f);
    }

    static const char* const directories[] = {"/rw", "/lumo", "/lumo/etc", "/var", "/var/pdb"};
    for (const char* dir : directories) {
        std::string path = std::string("/flash") + dir;
        if (mkdir(path.c_str(), 0755) != 0) std::perror(dir);
    }
    return BootConfigResult::Ok;
}
