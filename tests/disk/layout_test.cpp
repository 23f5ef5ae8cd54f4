#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "disk/installer.h"
#include "disk/partition.h"

namespace {

constexpr uint32_t kCylinder255x63 = 255 * 63 * 512;  // 8225280 bytes

TEST(DiskLayout, CylinderCountDecidesTheBootPartition) {
    DiskEntry small = makeDiskEntry("/dev/hda", 1023, 255, 63);
    EXPECT_FALSE(small.separateBoot);
    EXPECT_TRUE(small.useJournal);
    EXPECT_EQ(small.cylinderBytes, kCylinder255x63);

    DiskEntry large = makeDiskEntry("/dev/hda", 1024, 255, 63);
    EXPECT_TRUE(large.separateBoot);
    EXPECT_TRUE(large.useJournal);
}

TEST(DiskLayout, JournalOnlyAboveFortyMebibytes) {
    // 16 heads x 32 sectors: cylinders of 256 KiB, 160 of them are 40 MiB.
    EXPECT_FALSE(makeDiskEntry("/dev/hda", 160, 16, 32).useJournal);
    EXPECT_TRUE(makeDiskEntry("/dev/hda", 161, 16, 32).useJournal);
    // 32 MiB disk: plain ext2.
    EXPECT_FALSE(makeDiskEntry("/dev/hda", 128, 16, 32).useJournal);
}

TEST(DiskLayout, SizeAboveFourGibibytesDoesNotWrap) {
    // 523 cylinders are 4301821440 bytes; in 32 bits that would be 6.5 MiB.
    DiskEntry disk = makeDiskEntry("/dev/sda", 523, 255, 63);
    EXPECT_TRUE(disk.useJournal);
    EXPECT_FALSE(disk.separateBoot);
}

TEST(DiskLayout, ScriptForOnePartitionEmptiesTheOldEntries) {
    DiskEntry disk = makeDiskEntry("/dev/hda", 1000, 255, 63);
    EXPECT_EQ(partitionScript(disk, 4), "0,1000,83,*\n0,0,0\n0,0,0\n0,0,0\n");
    EXPECT_EQ(partitionScript(disk, 0), "0,1000,83,*\n");
    EXPECT_EQ(partitionScript(disk, 1), "0,1000,83,*\n");
}

TEST(DiskLayout, ScriptForTwoPartitionsStartsWithTenMebibytesOfBoot) {
    DiskEntry disk = makeDiskEntry("/dev/sda", 2000, 255, 63);
    EXPECT_EQ(bootCylinders(disk.cylinderBytes), 2u);  // 10 MiB is a little more than one
    EXPECT_EQ(partitionScript(disk, 4), "0,2,83,*\n2,1998,83,-\n0,0,0\n0,0,0\n");
    EXPECT_EQ(partitionScript(disk, 0), "0,2,83,*\n2,1998,83,-\n");
    EXPECT_EQ(partitionScript(disk, 2), "0,2,83,*\n2,1998,83,-\n");
    // A cylinder of exactly 10 MiB is one boot cylinder; a 1 MiB one, ten.
    EXPECT_EQ(bootCylinders(10 * 1024 * 1024), 1u);
    EXPECT_EQ(bootCylinders(1024 * 1024), 10u);
}

TEST(DiskLayout, DegenerateGeometriesAreRefused) {
    EXPECT_TRUE(layoutIsSound(makeDiskEntry("/dev/sda", 2000, 255, 63)));
    EXPECT_TRUE(layoutIsSound(makeDiskEntry("/dev/hda", 1, 255, 63)));
    EXPECT_FALSE(layoutIsSound(makeDiskEntry("/dev/sda", 1000, 0, 63)));
    EXPECT_FALSE(layoutIsSound(makeDiskEntry("/dev/sda", 1000, 255, 0)));
    EXPECT_FALSE(layoutIsSound(makeDiskEntry("/dev/sda", 0, 255, 63)));
    EXPECT_EQ(bootCylinders(0), 0u);
    // One head, one sector: 10 MiB are 20480 cylinders, more than the disk has.
    EXPECT_FALSE(layoutIsSound(makeDiskEntry("/dev/sda", 2000, 1, 1)));
    EXPECT_FALSE(layoutIsSound(makeDiskEntry("/dev/sda", 20480, 1, 1)));
    EXPECT_TRUE(layoutIsSound(makeDiskEntry("/dev/sda", 20481, 1, 1)));
}

TEST(DiskLayout, PartitionPathsAppendTheNumber) {
    DiskEntry disk = makeDiskEntry("/dev/sdb", 2000, 255, 63);
    EXPECT_EQ(partitionPath(disk, 1), "/dev/sdb1");
    EXPECT_EQ(partitionPath(disk, 2), "/dev/sdb2");
}

FILE* textStream(const std::string& text) {
    // fmemopen needs a buffer that outlives the stream.
    static std::string keep;
    keep = text;
    return fmemopen(keep.data(), keep.size(), "r");
}

TEST(DiskDiscovery, GeometryListingKeepsTheFirstFourDisks) {
    DiskEntry* table = diskTable();
    for (int i = 0; i < kDiskTableSize; i++) table[i] = DiskEntry{};
    FILE* listing = textStream(
        std::string("\n")
        + "cylpart: /dev/sdx: no medium\n"
        "/dev/sda: 1044 cylinders, 255 heads, 63 sectors/track\n"
        "/dev/sdb: garbage\n"
        "# " + std::string(125, '-') + "/dev/sdz: 1 cylinders, 1 heads, 1 sectors/track\n"
        "/dev/sdb: 2000 cylinders, 255 heads, 63 sectors/track\n"
        "/dev/hdc: 160 cylinders, 16 heads, 32 sectors/track\n"
        "/dev/sdd: 523 cylinders, 255 heads, 63 sectors/track\n"
        "/dev/sde: 10 cylinders, 255 heads, 63 sectors/track\n");
    ASSERT_NE(listing, nullptr);
    EXPECT_EQ(readDiskTable(listing), 4);
    fclose(listing);

    EXPECT_STREQ(table[0].device, "/dev/sda");
    EXPECT_EQ(table[0].cylinders, 1044u);
    EXPECT_EQ(table[0].cylinderBytes, kCylinder255x63);
    EXPECT_TRUE(table[0].separateBoot);
    EXPECT_STREQ(table[1].device, "/dev/sdb");
    EXPECT_EQ(table[1].cylinders, 2000u);
    EXPECT_STREQ(table[2].device, "/dev/hdc");
    EXPECT_FALSE(table[2].useJournal);  // exactly 40 MiB
    EXPECT_FALSE(table[2].separateBoot);
    EXPECT_STREQ(table[3].device, "/dev/sdd");
    EXPECT_TRUE(table[3].useJournal);

    // A later listing overwrites from the first entry and leaves the rest.
    listing = textStream("/dev/hda: 100 cylinders, 16 heads, 63 sectors/track\n");
    EXPECT_EQ(readDiskTable(listing), 1);
    fclose(listing);
    EXPECT_STREQ(table[0].device, "/dev/hda");
    EXPECT_STREQ(table[1].device, "/dev/sdb");

    listing = textStream("no disks here\n");
    EXPECT_EQ(readDiskTable(listing), 0);
    fclose(listing);
}

TEST(DiskDiscovery, OverlongDeviceTokensAreCut) {
    DiskEntry entry;
    std::string line = "/dev/" + std::string(60, 'x') + ": 10 cylinders, 2 heads, 3 sectors/track";
    ASSERT_TRUE(parseGeometryLine(line.c_str(), entry));
    EXPECT_EQ(std::strlen(entry.device), 31u);
    EXPECT_EQ(entry.cylinderBytes, 2u * 3 * 512);
}

TEST(DiskDiscovery, DisplayNames) {
    EXPECT_STREQ(diskDisplayName("/dev/hda"), "IDE Primary master (disk C)");
    EXPECT_STREQ(diskDisplayName("/dev/hdd"), "IDE Secondary slave (disk F)");
    EXPECT_STREQ(diskDisplayName("/dev/sdc"), "SATA 3");
    EXPECT_STREQ(diskDisplayName("/dev/sdh"), "SATA 8");
    EXPECT_STREQ(diskDisplayName("/dev/sdi"), "/dev/sdi");
    EXPECT_STREQ(diskDisplayName("/dev/sda1"), "/dev/sda1");
}

TEST(DiskDiscovery, DumpCountsPartitionLinesOnly) {
    // Split by the line buffer, the rest of this line would start with "/dev/".
    std::string longLine = std::string(255, '#') + "/dev/sda9 : start= 1\n";
    FILE* dump = textStream("# partition table of /dev/sda\nunit: cylinders\n\n" + longLine +
                            "/dev/sda1 : start=0, size=2, Id=83, bootable\n"
                            "/dev/sda2 : start=2, size=1998, Id=83\n"
                            "  /dev/sda3 is not at the start\n");
    EXPECT_EQ(countDumpEntries(dump), 2);
    fclose(dump);
}

}  // namespace
