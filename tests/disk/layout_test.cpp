#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

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
    // A name that ends in a digit takes a "p", as the kernel names them; the
    // longest device the record holds keeps its whole partition path.
    const std::string longest = "/dev/" + std::string(25, 'x') + "0";
    const struct {
        std::string device;
        int number;
        std::string path;
    } cases[] = {
        {"/dev/hda", 1, "/dev/hda1"},          {"/dev/vda", 1, "/dev/vda1"},
        {"/dev/vdh", 2, "/dev/vdh2"},          {"/dev/nvme0n1", 1, "/dev/nvme0n1p1"},
        {"/dev/nvme0n1", 2, "/dev/nvme0n1p2"}, {"/dev/nvme10n12", 2, "/dev/nvme10n12p2"},
        {"/dev/mmcblk0", 1, "/dev/mmcblk0p1"}, {longest, 2, longest + "p2"},
    };
    for (const auto& c : cases) {
        DiskEntry entry = makeDiskEntry(c.device.c_str(), 2000, 255, 63);
        ASSERT_STREQ(entry.device, c.device.c_str());
        EXPECT_EQ(partitionPath(entry, c.number), c.path);
    }
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

// Which disk the installer takes when a machine has several kinds: the IDE
// and SATA disks first, then virtio disks, then NVMe namespaces, then any
// other; within a kind, the order of the listing.
TEST(DiskDiscovery, KindsAreSearchedInOrder) {
    const struct {
        std::vector<std::string> listed;
        std::vector<std::string> table;
    } cases[] = {
        {{"/dev/nvme0n1", "/dev/sda", "/dev/vda"}, {"/dev/sda", "/dev/vda", "/dev/nvme0n1"}},
        {{"/dev/nvme0n1", "/dev/vdb"}, {"/dev/vdb", "/dev/nvme0n1"}},
        {{"/dev/mmcblk0", "/dev/nvme1n1", "/dev/nvme0n1"}, {"/dev/nvme1n1", "/dev/nvme0n1", "/dev/mmcblk0"}},
        {{"/dev/vdb", "/dev/vda"}, {"/dev/vdb", "/dev/vda"}},
        {{"/dev/sdb", "/dev/vda", "/dev/hda"}, {"/dev/sdb", "/dev/hda", "/dev/vda"}},
        // A kind that comes later in the search gives way even when four were listed first.
        {{"/dev/vda", "/dev/vdb", "/dev/vdc", "/dev/vdd", "/dev/nvme0n1", "/dev/sdc"},
         {"/dev/sdc", "/dev/vda", "/dev/vdb", "/dev/vdc"}},
        {{"/dev/nvme0n2", "/dev/sdi", "/dev/nvme0n1", "/dev/vdi"}, {"/dev/nvme0n1", "/dev/nvme0n2", "/dev/sdi", "/dev/vdi"}},
        {{"/dev/xvda", "/dev/nvme0n1", "/dev/vda", "/dev/sda", "/dev/hdb"},
         {"/dev/sda", "/dev/hdb", "/dev/vda", "/dev/nvme0n1"}},
    };
    for (const auto& c : cases) {
        std::string text;
        for (const std::string& device : c.listed) text += device + ": 100 cylinders, 255 heads, 63 sectors/track\n";
        DiskEntry* table = diskTable();
        for (int i = 0; i < kDiskTableSize; i++) table[i] = DiskEntry{};
        FILE* listing = textStream(text);
        ASSERT_NE(listing, nullptr);
        EXPECT_EQ(readDiskTable(listing), int(c.table.size())) << text;
        fclose(listing);
        std::vector<std::string> got;
        for (int i = 0; i < kDiskTableSize && table[i].device[0]; i++) got.push_back(table[i].device);
        EXPECT_EQ(got, c.table) << text;
    }
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
    EXPECT_STREQ(diskDisplayName("/dev/vda"), "VIRTIO 1");
    EXPECT_STREQ(diskDisplayName("/dev/vdh"), "VIRTIO 8");
    EXPECT_STREQ(diskDisplayName("/dev/vdi"), "/dev/vdi");
    EXPECT_STREQ(diskDisplayName("/dev/nvme0n1"), "NVME 1");
    EXPECT_STREQ(diskDisplayName("/dev/nvme7n1"), "NVME 8");
    EXPECT_STREQ(diskDisplayName("/dev/nvme0n2"), "/dev/nvme0n2");
    EXPECT_STREQ(diskDisplayName("/dev/nvme0n1p1"), "/dev/nvme0n1p1");
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
