#include "disk/installer.h"

#include <unistd.h>

#include <algorithm>
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
    // The whole listing is read: a disk of an earlier rank listed after four
    // of a later one still gets its place.
    DiskEntry found[kDiskTableSize];
    int ranks[kDiskTableSize];
    int count = 0;
    char line[128];
    bool atLineStart = true;
    while (std::fgets(line, sizeof line, listing)) {
        DiskEntry entry;
        // The rest of an overlong line is not a line of its own.
        if (atLineStart && parseGeometryLine(line, entry)) {
            int rank = discoveryRank(entry.device);
            int at = count;
            while (at > 0 && ranks[at - 1] > rank) at--;
            if (at < kDiskTableSize) {
                if (count < kDiskTableSize) count++;
                for (int i = count - 1; i > at; i--) {
                    found[i] = found[i - 1];
                    ranks[i] = ranks[i - 1];
                }
                found[at] = entry;
                ranks[at] = rank;
            }
        }
        atLineStart = std::strchr(line, '\n') != nullptr;
    }
    std::copy(found, found + count, diskTable());
    return count;
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

namespace {

struct KnownDisk {
    const char* device;
    const char* name;
    int rank;
};

// The disks the installer knows by name, in the order it looks for them.
constexpr KnownDisk knownDisks[] = {
    {"/dev/hda", "IDE Primary master (disk C)", 0},
    {"/dev/hdb", "IDE Primary slave (disk D)", 0},
    {"/dev/hdc", "IDE Secondary master (disk E)", 0},
    {"/dev/hdd", "IDE Secondary slave (disk F)", 0},
    {"/dev/sda", "SATA 1", 0},
    {"/dev/sdb", "SATA 2", 0},
    {"/dev/sdc", "SATA 3", 0},
    {"/dev/sdd", "SATA 4", 0},
    {"/dev/sde", "SATA 5", 0},
    {"/dev/sdf", "SATA 6", 0},
    {"/dev/sdg", "SATA 7", 0},
    {"/dev/sdh", "SATA 8", 0},
    {"/dev/vda", "VIRTIO 1", 1},
    {"/dev/vdb", "VIRTIO 2", 1},
    {"/dev/vdc", "VIRTIO 3", 1},
    {"/dev/vdd", "VIRTIO 4", 1},
    {"/dev/vde", "VIRTIO 5", 1},
    {"/dev/vdf", "VIRTIO 6", 1},
    {"/dev/vdg", "VIRTIO 7", 1},
    {"/dev/vdh", "VIRTIO 8", 1},
    {"/dev/nvme0n1", "NVME 1", 2},
    {"/dev/nvme1n1", "NVME 2", 2},
    {"/dev/nvme2n1", "NVME 3", 2},
    {"/dev/nvme3n1", "NVME 4", 2},
    {"/dev/nvme4n1", "NVME 5", 2},
    {"/dev/nvme5n1", "NVME 6", 2},
    {"/dev/nvme6n1", "NVME 7", 2},
    {"/dev/nvme7n1", "NVME 8", 2},
};
constexpr int kOtherDiskRank = 3;

const KnownDisk* knownDisk(const char* device) {
    for (const KnownDisk& disk : knownDisks)
        if (std::strcmp(device, disk.device) == 0) return &disk;
    return nullptr;
}

}  // namespace

int discoveryRank(const char* device) {
    const KnownDisk* disk = knownDisk(device);
    return disk ? disk->rank : kOtherDiskRank;
}

const char* diskDisplayName(const char* device) {
    const KnownDisk* disk = knownDisk(device);
    return disk ? disk->name : device;
}

std::string partitionPath(const char* device, int number) {
    std::string path = device;
    if (!path.empty() && path.back() >= '0' && path.back() <= '9') path += 'p';
    return path + std::to_string(number);
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

// A hard-disk medium may be any disk the installer knows, in the same order.
const char* const floppyCandidates[] = {
    "/dev/hda", "/dev/hdb", "/dev/hdc", "/dev/hdd",
    "/dev/sda", "/dev/sdb", "/dev/sdc", "/dev/sdd",
    "/dev/sde", "/dev/sdf", "/dev/sdg", "/dev/sdh",
    "/dev/vda", "/dev/vdb", "/dev/vdc", "/dev/vdd",
    "/dev/vde", "/dev/vdf", "/dev/vdg", "/dev/vdh",
    "/dev/nvme0n1", "/dev/nvme1n1", "/dev/nvme2n1", "/dev/nvme3n1",
    "/dev/nvme4n1", "/dev/nvme5n1", "/dev/nvme6n1", "/dev/nvme7n1",
    nullptr,
};
