// The target disk: discovery through the partitioning tool's geometry listing,
// the layout decisions that follow from a disk's geometry, the record that the
// flows hand to every disk operation, and raw access to the first sector.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

struct DiskEntry {
    char device[32] = {};        // whole-disk device path, e.g. "/dev/sda"
    uint32_t cylinders = 0;
    uint32_t cylinderBytes = 0;  // heads * sectors per track * 512
    bool separateBoot = false;   // more than 1023 cylinders: a boot partition of its own
    bool useJournal = false;     // more than 40 MiB: the root file system gets a journal
};

// Everything the disk operations need to know about the disk being installed.
struct Installer {
    DiskEntry disk;
};

constexpr int kDiskTableSize = 4;
constexpr uint64_t kJournalThreshold = 41943040;  // 40 MiB

// Fills an entry from a geometry and derives both layout flags. The device is
// truncated to 31 characters.
DiskEntry makeDiskEntry(const char* device, uint32_t cylinders, uint32_t heads, uint32_t sectors);

// Parses one line of the geometry listing ("/dev/sda: 1044 cylinders, 255
// heads, 63 sectors/track"). False for lines that are not a disk.
bool parseGeometryLine(const char* line, DiskEntry& entry);

// Reads a geometry listing into the disk table (entries from the first on,
// at most four, in the order of discoveryRank); returns the number filled.
int readDiskTable(FILE* listing);

// Where a disk stands when the installer looks for one: the IDE and SATA disks
// of the display-name table first (0), then virtio disks (1), then NVMe
// namespaces (2), then any other disk (3). Disks of one rank keep the order in
// which the partitioning tool lists them.
int discoveryRank(const char* device);

// The process-wide table of four entries (created cleared on first use).
DiskEntry* diskTable();

// Runs "/sbin/sfdisk -g" and fills the disk table; the table, or null if no
// disk was found in this call. Takes the piped-child slot for the call.
DiskEntry* listDisks();

// Looks for disks for up to about 20 seconds and takes the first one found.
bool probeHardDrive(Installer& installer);

// A name the user recognises: "SATA 3" for "/dev/sdc", "VIRTIO 1" for
// "/dev/vda", "NVME 1" for "/dev/nvme0n1", the path itself otherwise.
const char* diskDisplayName(const char* device);

// The path of a partition of a whole disk: "/dev/sda" + "1"; a disk whose name
// ends in a digit takes a "p" before the number ("/dev/nvme0n1p1"), as the
// kernel names them. Every partition path of the installer comes from here.
std::string partitionPath(const char* device, int number);

bool readMbr(const Installer& installer, unsigned char buffer[512]);
bool writeMbr(const Installer& installer, const unsigned char buffer[512]);

// Where the local flows look for their installation media; null-terminated.
extern const char* const cdromCandidates[];
extern const char* const floppyCandidates[];
