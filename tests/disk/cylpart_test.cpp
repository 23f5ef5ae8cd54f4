#include <gtest/gtest.h>

#include <unistd.h>

#include <regex>
#include <string>

#include "disk_helpers.h"

namespace {

using disktest::capture;
using disktest::shell;

// Runs cylpart on a host image file (never a device): status and output.
struct ToolRun {
    int status;
    std::string output;
};

ToolRun cylpart(const std::string& args, const std::string& input = "") {
    std::string command = "printf '" + input + "' | " + disktest::cylpartBinary() + " " + args + " 2>&1";
    FILE* p = popen(command.c_str(), "r");
    ToolRun run{-1, ""};
    if (!p) return run;
    char buffer[1024];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) run.output.append(buffer, n);
    int status = pclose(p);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string hostDump(const std::string& image) {
    return capture("/usr/sbin/sfdisk -d " + image + " 2>/dev/null");
}

TEST(Cylpart, PartitionsALoopDeviceThatTheKernelAndHostToolsReadBack) {
    std::string image = disktest::makeImage(64 << 20);
    ASSERT_FALSE(image.empty());
    auto r = sandbox::run(disktest::diskSandbox(image), [] {
        disktest::Checker c;
        std::string loop = sandbox::attachLoop("/disk.img");
        if (loop.empty()) return 100;
        std::string name = loop.substr(5);
        c.contains(capture("/sbin/cylpart -g " + loop), loop + ": 8 cylinders, 255 heads, 63 sectors/track",
                   "geometry");
        // Some bytes of a boot program that the table must not touch.
        shell("printf 'BOOTCODE' | dd of=" + loop + " conv=notrunc status=none");
        c.check(shell("printf '0,2,83,*\\n2,5,83,-\\n0,0,0\\n' | /sbin/cylpart -q -uC " + loop) == 0, "cylpart -q");
        sandbox::makePartitionNodes(loop);
        c.contains(capture("cat /sys/class/block/" + name + "p1/start /sys/class/block/" + name + "p1/size"),
                   "63\n32067\n", "kernel's partition 1");
        c.contains(capture("cat /sys/class/block/" + name + "p2/start /sys/class/block/" + name + "p2/size"),
                   "32130\n80325\n", "kernel's partition 2");
        c.check(access(("/sys/class/block/" + name + "p3").c_str(), F_OK) != 0, "no partition 3");
        std::string dump = capture("/usr/sbin/sfdisk -d " + loop);
        c.contains(dump, loop + "p1 : start=          63, size=       32067, type=83, bootable", "sfdisk -d");
        c.contains(dump, loop + "p2 : start=       32130, size=       80325, type=83\n", "sfdisk -d");
        std::string list = capture("/usr/sbin/fdisk -l " + loop);
        c.check(std::regex_search(list, std::regex(loop + "p1 +\\* +63 +32129 +32067 ")), "fdisk -l p1:\n" + list);
        c.check(std::regex_search(list, std::regex(loop + "p2 +32130 +112454 +80325 ")), "fdisk -l p2:\n" + list);
        c.contains(capture("head -c 8 " + loop), "BOOTCODE", "boot program kept");
        std::string own = capture("/sbin/cylpart -d -uC " + loop);
        c.contains(own, loop + "p1 : start=         0, size=         2, Id=83, bootable\n", "own dump");
        c.contains(own, loop + "p2 : start=         2, size=         5, Id=83\n", "own dump");
        c.check(std::count(own.begin(), own.end(), '\n') - std::count(own.begin(), own.end(), '#') == 4,
                "two partition lines:\n" + own);
        return c.failures;
    });
    unlink(image.c_str());
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
}

TEST(Cylpart, RefusesScriptsItCannotWriteAndLeavesTheTable) {
    std::string image = disktest::makeImage(64 << 20);
    ASSERT_FALSE(image.empty());
    ASSERT_EQ(cylpart("-q -uC " + image, "0,8,83,*\\n").status, 0);
    std::string before = hostDump(image);
    ASSERT_NE(before.find("start=          63, size=      128457"), std::string::npos) << before;

    EXPECT_NE(cylpart("-q -uC " + image, "0,9,83,*\\n").status, 0);         // beyond the end
    EXPECT_NE(cylpart("-q -uC " + image, "0,4,83\\n3,2,83\\n").status, 0);  // overlap
    EXPECT_NE(cylpart("-q -uC " + image, "0,four,83\\n").status, 0);
    EXPECT_NE(cylpart("-q -uC " + image, "0,1,83,yes\\n").status, 0);
    EXPECT_NE(cylpart("-q -uC " + image, "0,1,83\\n1,1,83\\n2,1,83\\n3,1,83\\n4,1,83\\n").status, 0);
    EXPECT_NE(cylpart("-q -uC " + image, "0,2,0\\n").status, 0);  // a size without a type
    EXPECT_EQ(hostDump(image), before);

    EXPECT_NE(cylpart("-x " + image).status, 0);
    EXPECT_NE(cylpart("-d -uC /nonexistent/disk").status, 0);

    // A blank disk dumps no partition lines; "0,0,0" empties an entry.
    ASSERT_EQ(cylpart("-q -uC " + image, "0,0,0\\n0,0,0\\n").status, 0);
    ToolRun dump = cylpart("-d -uC " + image);
    EXPECT_EQ(dump.status, 0);
    EXPECT_EQ(dump.output.find(image + "1"), std::string::npos) << dump.output;
    unlink(image.c_str());
}

TEST(Cylpart, CapsPartitionsBeyondWhatTheTableHolds) {
    // 3 TiB, sparse: more sectors than a 32-bit size can count.
    std::string image = disktest::makeImage(3ull << 40);
    ASSERT_FALSE(image.empty());
    ToolRun geometry = cylpart("-g " + image);
    ASSERT_NE(geometry.output.find(": 401024 cylinders, 255 heads, 63 sectors/track"), std::string::npos)
        << geometry.output;

    ToolRun run = cylpart("-q -uC " + image, "0,2,83,*\\n2,401022,83,-\\n");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("warning"), std::string::npos) << run.output;
    std::string dump = hostDump(image);
    EXPECT_NE(dump.find("start=          63, size=       32067, type=83, bootable"), std::string::npos) << dump;
    EXPECT_NE(dump.find("start=       32130, size=  4294967295, type=83"), std::string::npos) << dump;

    // A partition that would start beyond the table's reach is an error.
    ToolRun beyond = cylpart("-q -uC " + image, "0,2,83,*\\n300000,1000,83,-\\n");
    EXPECT_NE(beyond.status, 0);
    EXPECT_EQ(hostDump(image), dump);
    unlink(image.c_str());
}

}  // namespace
