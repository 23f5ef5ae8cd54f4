#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "disk/installer.h"
#include "disk_helpers.h"
#include "init/globals.h"

namespace {

// A partitioning tool that sees disks only from its third run on, like
// storage drivers that need a few seconds.
sandbox::Options slowDisks(int firstSeen) {
    sandbox::Options o;
    o.newNetwork = false;
    o.files.push_back({"/sbin/sfdisk",
                       "#!/bin/sh\n"
                       "n=$(cat /ram/calls 2>/dev/null || echo 0); n=$((n+1)); echo $n > /ram/calls\n"
                       "[ \"$*\" = \"-g\" ] || exit 1\n"
                       "if [ $n -ge " + std::to_string(firstSeen) + " ]; then\n"
                       "  echo '/dev/sdb: 2000 cylinders, 255 heads, 63 sectors/track'\n"
                       "  echo '/dev/sda: 10 cylinders, 255 heads, 63 sectors/track'\n"
                       "fi\n",
                       0755});
    return o;
}

TEST(ProbeHardDrive, WaitsForTheFirstDiskToAppear) {
    auto r = sandbox::run(slowDisks(3), [] {
        disktest::Checker c;
        std::strcpy(logDevice, "/dev/null");
        Installer installer;
        c.check(probeHardDrive(installer), "found");
        c.check(std::strcmp(installer.disk.device, "/dev/sdb") == 0, "first listed disk");
        c.check(installer.disk.cylinders == 2000 && installer.disk.separateBoot && installer.disk.useJournal,
                "its layout");
        c.check(sandbox::readFile("/ram/calls") == "3\n", "three runs");
        return c.failures;
    });
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    size_t looking = r.output.find("\nLooking for harddrives...");
    ASSERT_NE(looking, std::string::npos) << r.output;
    size_t found = r.output.find("\n\nFound harddrive as SATA 2\n", looking);
    ASSERT_NE(found, std::string::npos) << r.output;
    EXPECT_NE(r.output.substr(looking, found - looking).find('.', 26), std::string::npos)
        << "no progress dots: " << r.output;
}

TEST(ProbeHardDrive, GivesUpAfterTwentyTries) {
    auto r = sandbox::run(slowDisks(1000), [] {
        disktest::Checker c;
        std::strcpy(logDevice, "/dev/null");
        Installer installer;
        std::strcpy(installer.disk.device, "/dev/keep");
        c.check(!probeHardDrive(installer), "nothing found");
        c.check(std::strcmp(installer.disk.device, "/dev/keep") == 0, "installer unchanged");
        c.check(sandbox::readFile("/ram/calls") == "20\n", "twenty runs: " + sandbox::readFile("/ram/calls"));
        return c.failures;
    });
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_NE(r.output.find("\n\nFATAL ERROR: no harddrives found\n"), std::string::npos) << r.output;
}

}  // namespace
