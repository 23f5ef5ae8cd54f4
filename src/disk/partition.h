// Partitioning, formatting and mounting of the target disk.
#pragma once

#include <cstdint>
#include <string>

#include "disk/installer.h"

// Cylinders of the boot partition: the whole cylinders that hold 10 MiB.
// 0 for a cylinder size of 0.
uint32_t bootCylinders(uint32_t cylinderBytes);

// Whether the layout rule can lay out this disk at all (a cylinder size and
// enough cylinders for every partition it asks for).
bool layoutIsSound(const DiskEntry& disk);

// The partitioning tool's script in cylinder units, emptying every entry of
// an old table of oldEntries entries beyond the new partitions.
std::string partitionScript(const DiskEntry& disk, int oldEntries);

// partitionPath of the disk's device: "/dev/sda1", "/dev/nvme0n1p1".
std::string partitionPath(const DiskEntry& disk, int number);

// Counts the partition lines ("/dev/...") of a partition table dump.
int countDumpEntries(FILE* dump);

// Saves the old configuration if asked, partitions, formats, mounts at
// "/flash" (and "/flash/boot"), writes the boot configuration and puts the
// saved configuration back. The system stays mounted on success.
bool prepareDisk(Installer& installer, bool keepConfig);

// Mounts an installed system at "/flash" and, for a two-partition system when
// withBoot is set, its boot partition at "/flash/boot".
bool mountSystem(const Installer& installer, bool withBoot);
