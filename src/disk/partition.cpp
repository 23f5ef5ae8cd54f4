#include "disk/partition.h"

#include <sys/mount.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "disk/bootconfig.h"
#include "disk/keepconfig.h"
#include "init/process.h"

uint32_t bootCylinders(uint32_t cylinderBytes) {
    if (cylinderBytes == 0) return 0;
    // In 64 bits so that a huge cylinder cannot wrap the rounding.
    return uint32_t((uint64_t(cylinderBytes) + 0x9FFFFF) / cylinderBytes);
}

bool layoutIsSound(const DiskEntry& disk) {
    if (disk.cylinderBytes == 0 || disk.cylinders == 0) return false;
    // The root partition of a two-partition disk needs at least one cylinder.
    return !disk.separateBoot || disk.cylinders > bootCylinders(disk.cylinderBytes);
}

std::string partitionScript(const DiskEntry& disk, int oldEntries) {
    char line[64];
    std::string script;
    int written;
    if (!disk.separateBoot) {
        std::snprintf(line, sizeof line, "0,%u,83,*\n", disk.cylinders);
        script += line;
        written = 1;
    } else {
        uint32_t boot = bootCylinders(disk.cylinderBytes);
        std::snprintf(line, sizeof line, "0,%u,83,*\n", boot);
        script += line;
        std::snprintf(line, sizeof line, "%u,%u,83,-\n", boot, disk.cylinders - boot);
        script += line;
        written = 2;
    }
    for (int i = written; i < oldEntries; i++) script += "0,0,0\n";
    return script;
}

std::string partitionPath(const DiskEntry& disk, int number) {
    return partitionPath(disk.device, number);
}

int countDumpEntries(FILE* dump) {
    int count = 0;
    char line[256];
    bool atLineStart = true;
    while (std::fgets(line, sizeof line, dump)) {
        if (atLineStart && std::strncmp(line, "/dev/", 5) == 0) count++;
        // A line longer than the buffer arrives in pieces; only its first counts.
        atLineStart = std::strchr(line, '\n') != nullptr;
    }
    return count;
}

namespace {

bool createPartitions(const DiskEntry& disk) {
    FILE* dump = openSfdiskOutput({"-d", "-uC", disk.device});
    if (!dump) return false;
    int oldEntries = countDumpEntries(dump);
    closePipedChild(dump);

    FILE* script = openSfdiskInput({"-q", "-uC", disk.device, ">null"});
    if (!script) return false;
    bool written = std::fputs(partitionScript(disk, oldEntries).c_str(), script) >= 0;
    // The tool's own failure (a table it cannot write, a kernel that will not
    // read it again) must stop the installation here: formatting would
    // otherwise go to whatever partitions the kernel still knows.
    int status = closePipedChild(script);
    return written && status == 0;
}

bool format(const DiskEntry& disk, int number, bool journal) {
    std::string path = partitionPath(disk, number);
    std::vector<std::string> args;
    if (journal) args.push_back("-j");
    args.push_back(path);
    return runProgram(nullptr, "/sbin/mke2fs", args) == 0;
}

bool mountAs(const std::string& source, const char* target, const char* type) {
    return mount(source.c_str(), target, type, 0, nullptr) == 0;
}

}  // namespace

bool mountSystem(const Installer& installer, bool withBoot) {
    const DiskEntry& disk = installer.disk;
    std::string first = partitionPath(disk, 1);
    std::string second = partitionPath(disk, 2);
    // A journalled root is tried first; a plain ext2 file system is refused
    // as ext3, so each try also tells which kind of system is there.
    if (!mountAs(second, "/flash", "ext3")) {
        if (mountAs(first, "/flash", "ext3")) return true;
        if (!mountAs(second, "/flash", "ext2")) return mountAs(first, "/flash", "ext2");
    }
    if (!withBoot) return true;
    mkdir("/flash/boot", 0755);
    if (!mountAs(first, "/flash/boot", "ext2")) {
        umount("/flash");
        return false;
    }
    return true;
}

bool prepareDisk(Installer& installer, bool keepConfig) {
    const DiskEntry& disk = installer.disk;
    SavedTree saved;
    // A configuration the user asked to keep, but that cannot be saved, stops
    // the installation while the old system is still whole. The flows have put
    // the boot program into the first sector by now: the old one goes back.
    if (keepConfig && readOldConfiguration(installer, saved) == KeepResult::failed) {
        restoreMasterBootRecord(installer);
        std::puts("ERROR: installation stopped - the disk was left as it was");
        return false;
    }

    startProgress("Creating partition...");
    // A geometry the layout cannot describe is refused before anything is
    // written: the tool would otherwise get sizes of 0 or wrapped numbers.
    if (!layoutIsSound(disk) || !createPartitions(disk)) {
        stopProgress();
        std::puts("ERROR: could not create partitions");
        return false;
    }
    stopProgress();

    startProgress("Formatting disk...");
    bool formatted = format(disk, 1, disk.useJournal && !disk.separateBoot) &&
                     (!disk.separateBoot || format(disk, 2, disk.useJournal));
    stopProgress();
    if (!formatted) {
        std::puts("ERROR: could not format partitions");
        return false;
    }

    if (!mountSystem(installer, true)) {
        std::puts("ERROR: could not mount filesystem");
        return false;
    }

    switch (writeBootConfiguration(installer)) {
    case BootConfigResult::LiloFailed:
        std::puts("ERROR: could not create lilo.conf");
        return false;
    case BootConfigResult::FstabFailed:
        std::puts("ERROR: could not create fstab");
        return false;
    case BootConfigResult::Ok:
        break;
    }

    if (!saved.empty()) writeBackConfiguration(saved);
    return true;
}
