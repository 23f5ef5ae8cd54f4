#include "disk/installer.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "init/process.h"

DiskEntry makeDiskEntry(const char* device, uint32_t cylinders, uint32_t heads, uint32_t sectors) {
    DiskEntry entry;
    size_t n = strnlen(device, sizeof(entry.device) - 1);
    std::memcpy(entry.device, device, n);
    entry.device[n] = '\0';
    entry.cylinders = cylinders;
    // Unsigned 32-bit like the rest of the layout arithmetic; a geometry of
    // 0 heads or sectors gives 0, which the partitioning refuses.
    entry.cylinderBytes = heads * sectors * 512u;
    entry.separateBoot = cylinders > 1023;
    entry.useJournal = uint64_t(cylinders) * entry.cylinderBytes > kJournalThreshold;
    return entry;
}

bool parseGeometryLine(const char* line, DiskEntry& entry) {
    if (std::strncmp(line, "/dev/", 5) != 0) return false;
    char token[80];
    unsigned cylinders, heads, sectors;
    if (std::sscanf(line, "%79s %u %*s %u %*s %u", token, &cylinders, &heads, &sectors) != 4)
        return false;
    size_t len = std::strlen(token);
    if (len > 0 && token[len - 1] == ':') token[len - 1] = '\0';
    entry = makeDiskEntry(token, cylinders, heads, sectors);
    return true;
}

DiskEntry* diskTable() {
    static DiskEntry table[kDiskTableSize];
    return table;
}

int readDiskTable(FILE* listing) {
    DiskEntry* table = diskTable();
    int found = 0;
    char line[128];
    bool atLineStart = true;
    while (found < kDiskTableSize && std::fgets(line, sizeof line, listing)) {
        // The rest of an overlong line is not a line of its own.
        if (atLineStart && parseGeometryLine(line, table[found])) found++;
        atLineStart = std::strchr(line, '\n') != nullptr;
    }
    return found;
}

DiskEntry* listDisks() {
    FILE* listing = openSfdiskOutput({"-g"});
    if (!listing) return nullptr;
    int found = readDiskTable(listing);
    closePipedChild(listing);
    return found > 0 ? diskTable() : nullptr;
}

bool probeHardDrive(Installer& installer) {
    std::puts("");
    startProgress("Looking for harddrives...");
    // Storage drivers (USB above all) may need several seconds to show a disk.
    DiskEntry* table = listDisks();
    for (int attempt = 1; !table && attempt < 20; attempt++) {
        // The progress ticker interrupts sleeping; sleep the whole second.
        timespec rest{1, 0};
        while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
        }
        table = listDisks();
    }
    stopProgress();
    if (!table) {
        std::puts("\nFATAL ERROR: no harddrives found");
        return false;
    }
    installer.disk = table[0];
    std::puts("");
    std::printf("Found harddrive as %s\n", diskDisplayName(installer.disk.device));
    return true;
}

const char* diskDisplayName(const char* device) {
    static const char* const names[][2] = {
        {"/dev/hda", "IDE Primary master (disk C)"},
        {"/dev/hdb", "IDE Primary slave (disk D)"},
        {"/dev/hdc", "IDE Secondary master (disk E)"},
        {"/dev/hdd", "IDE Secondary slave (disk F)"},
        {"/dev/sda", "SATA 1"},
        {"/dev/sdb", "SATA 2"},
        {"/dev/sdc", "SATA 3"},
        {"/dev/sdd", "SATA 4"},
        {"/dev/sde", "SATA 5"},
        {"/dev/sdf", "SATA 6"},
        {"/dev/sdg", "SATA 7"},
        {"/dev/sdh", "SATA 8"},
    };
    for (const auto& pair : names)
        if (std::strcmp(device, pair[0]) == 0) return pair[1];
    return device;
}

bool readMbr(const Installer& installer, unsigned char buffer[512]) {
    FILE* f = std::fopen(installer.disk.device, "r");
    if (!f) {
        std::perror("could not open MBR");
        return false;
    }
    if (std::fread(buffer, 512, 1, f) != 1) {
        std::perror("could not read MBR");
        std::fclose(f);
        return false;
    }
    std::fclose(f);
    return true;
}

bool writeMbr(const Installer& installer, const unsigned char buffer[512]) {
    // Mode "w" on a device node does not truncate anything.
    FILE* f = std::fopen(installer.disk.device, "w");
    if (!f) {
        std::perror("could not open MBR");
        return false;
    }
    if (std::fwrite(buffer, 512, 1, f) != 1) {
        std::perror("could not write MBR");
        std::fclose(f);
        return false;
    }
    if (std::fclose(f) != 0) {
        std::perror("could not write MBR");
        return false;
    }
    return true;
}

// The first and fifth entries are relative on purpose: the installer runs
// with "/" as its working directory, and the media search has always used them so.
const char* const cdromCandidates[] = {
    "dev/hda", "/dev/hdb", "/dev/hdc", "/dev/hdd",
    "dev/sr0", "/dev/sr1", "/dev/sr2", "/dev/sr3",
    nullptr,
};

const char* const floppyCandidates[] = {
    "/dev/hda", "/dev/hdb", "/dev/hdc", "/dev/hdd",
    "/dev/sda", "/dev/sdb", "/dev/sdc", "/dev/sdd",
    "/dev/sde", "/dev/sdf", "/dev/sdg", "/dev/sdh",
    nullptr,
};
