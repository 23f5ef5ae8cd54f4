// The CD and hard-disk flows in the sandbox, up to and including the real
// disk work and install children: how each way out looks on the console and
// what it leaves on the disk.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "archive/script_signature.h"
#include "archive/script_signer.h"
#include "archive/signed_package_helpers.h"
#include "archive/writer/writer.h"
#include "disk/bootconfig.h"
#include "disk/installer.h"
#include "flow_helpers.h"
#include "flows/cdrom.h"
#include "flows/harddisk.h"
#include "init/console.h"
#include "init/globals.h"

#if __has_include("pkg/driver.h")

namespace {

using flowtest::section;

const char kCd[] = "/dev/hdc";

struct Step {
    std::string waitFor;
    std::string keys;
};

// The menu is on the screen; 'a' marks every package, 'i' installs.
const Step kMenuAll{"(depends on ", "ai"};
Step keep(bool yes) { return {"keep old configuration?  [y/n]:", yes ? "y" : "n"}; }
Step proceed(bool yes) { return {"Continue? [y/n]:", yes ? "y" : "n"}; }

struct Outcome {
    std::string output;
    bool flowResult = false;
    std::vector<std::string> record, packages, files;
    std::vector<std::string> sectors, inputs;
    std::string firstSector;
};

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Runs one flow in a fresh machine: `files` are the medium and the hooks, the
// steps answer the flow's questions, and the outcome is read from the report.
Outcome runFlow(bool cdrom, const std::vector<sandbox::File>& files, const std::vector<Step>& steps) {
    std::string image;
    sandbox::Options o = flowtest::machine(image);
    for (const sandbox::File& f : files) o.files.push_back(f);
    Outcome outcome;
    {
        sandbox::Sandbox s(o);
        EXPECT_TRUE(s.start([cdrom] {
            if (!flowtest::prepareMachine()) return 90;
            // Whatever the test lets happen while the flow runs.
            if (access("/hooks/meanwhile", X_OK) == 0) std::system("/hooks/meanwhile &");
            bool result;
            if (cdrom) {
                // As the start-up code leaves it: raw keys, the target disk found.
                enterRawMode(consoleState);
                Installer installer;
                DiskEntry* table = listDisks();
                if (!table || std::strcmp(table[0].device, "/dev/sda") != 0) return 91;
                installer.disk = table[0];
                std::system("rm -f /record/*");
                result = cdromInstall(installer);
            } else {
                Installer installer;
                result = hardDiskInstall(installer);
            }
            std::fflush(stdout);
            // The report reads files: whatever limits the flow ran under end here.
            rlimit files;
            getrlimit(RLIMIT_NOFILE, &files);
            files.rlim_cur = files.rlim_max;
            setrlimit(RLIMIT_NOFILE, &files);
            std::printf("\nFLOW %s\n", result ? "true" : "false");
            flowtest::reportMachine();
            return 0;
        }));
        for (const Step& step : steps) {
            if (!s.waitFor(step.waitFor, 30000)) break;
            s.send(step.keys);
        }
        sandbox::Result r = s.wait(90000);
        EXPECT_TRUE(r.exited && r.exitStatus == 0)
            << "status " << r.exitStatus << " signal " << r.signal << ": " << r.output;
        // Raw mode or not, lines are compared without carriage returns.
        for (char c : r.output)
            if (c != '\r') outcome.output += c;
    }
    unlink(image.c_str());
    outcome.flowResult = contains(outcome.output, "\nFLOW true");
    EXPECT_TRUE(outcome.flowResult || contains(outcome.output, "\nFLOW false")) << outcome.output;
    outcome.record = section(outcome.output, "record");
    outcome.sectors = section(outcome.output, "sectors");
    outcome.inputs = section(outcome.output, "inputs");
    auto first = section(outcome.output, "first-sector");
    outcome.firstSector = first.empty() ? "" : first[0];
    for (const std::string& line : section(outcome.output, "disk")) {
        if (line.rfind("PACKAGE ", 0) == 0) outcome.packages.push_back(line.substr(8));
        if (line.rfind("FILE ", 0) == 0) outcome.files.push_back(line.substr(5));
    }
    std::sort(outcome.packages.begin(), outcome.packages.end());
    return outcome;
}

sandbox::File onCd(const std::string& name, const std::vector<std::string>& depends = {}, size_t payloadBytes = 100,
                   bool sign = true) {
    return {flowtest::mediumDir(kCd) + "/" + name + ".vpk", flowtest::packageFile(name, depends, payloadBytes, sign)};
}

sandbox::File hook(const std::string& script) { return {"/hooks/formatted", "#!/bin/sh\n" + script, 0755}; }

const std::string kBlankSector(1024, '0');

using Lines = std::vector<std::string>;

// A run that the flow refuses before it runs any tool.
struct Refusal {
    const char* what;
    std::vector<sandbox::File> files;
    std::vector<Step> steps;
    const char* message;  // the flow's last words
};

// Each refusal ends the flow with its message; no tool ran and the disk's
// first sector is as blank as before.
template <size_t N>
void expectRefusedBeforeAnyTool(bool cdrom, const Refusal (&cases)[N]) {
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.what);
        Outcome out = runFlow(cdrom, c.files, c.steps);
        EXPECT_FALSE(out.flowResult);
        EXPECT_TRUE(contains(out.output, c.message)) << out.output;
        EXPECT_EQ(out.record, Lines{}) << "no tool may run";
        EXPECT_EQ(out.firstSector, kBlankSector);
    }
}

TEST(CdromFlow, EveryRefusalBeforeTheQuestionsAreAnsweredLeavesTheDiskAlone) {
    const std::string cd = flowtest::mediumDir(kCd);
    std::string cut = flowtest::packageFile("broken");
    cut.resize(cut.size() / 2);
    const Refusal cases[] = {
        {"a CD without packages", {{cd + "/README", "no packages here"}}, {},
         "FATAL ERROR: No packages found\n\nFLOW false"},
        {"a package file cut short",
         {onCd("system"), {cd + "/broken.vpk", cut}},
         {},
         "FATAL ERROR: Bad package "},
        {"'q' in the menu", {onCd("system"), onCd("ppp", {"system"})}, {{"(depends on ", "q"}},
         "Installation canceled\n\nFLOW false"},
        // The search goes on past its first passes.
        {"a CD that is ready after two seconds",
         {{cd + ".later/system.vpk", flowtest::packageFile("system")},
          {"/hooks/meanwhile", "#!/bin/sh\nsleep 2\nmv " + cd + ".later " + cd + "\n", 0755}},
         {{"(depends on ", "q"}},
         "Installation canceled\n\nFLOW false"},
        {"keep, then no to Continue?", {onCd("system")}, {kMenuAll, keep(true), proceed(false)},
         "keep old configuration?  [y/n]:y\n\nThe disk: SATA 1 (/dev/sda), 63 MiB\n"
         "Warning: all data on the disk will be erased!\n\nContinue? [y/n]:n\n\nFLOW false"},
    };
    expectRefusedBeforeAnyTool(true, cases);
}

TEST(CdromFlow, NothingToKeepAndAPackageItsChildRefusesDoNotStopTheInstallation) {
    // "unsigned" is read whole by its child, which then refuses it; the
    // packages after it are installed as usual.
    Outcome out = runFlow(true,
                          {onCd("system"), onCd("aaa", {"system"}), onCd("unsigned", {"system"}, 100, false),
                           onCd("zzz", {"system"})},
                          {kMenuAll, keep(true), proceed(true)});
    EXPECT_TRUE(out.flowResult) << out.output;
    EXPECT_TRUE(contains(out.output, "WARNING: couldn't keep config - couldn't mount file system")) << out.output;
    EXPECT_TRUE(contains(out.output, "\nSoftware installed.\n\nFLOW true")) << out.output;
    EXPECT_EQ(out.packages, (Lines{"aaa", "system", "zzz"}));
    EXPECT_EQ(out.files, Lines{"/CDINSTALL 600 0"});
    // The boot program went in before the partitioning, which kept it.
    std::string boot = flowtest::hex(std::string(reinterpret_cast<const char*>(bootProgram), kBootProgramSize));
    EXPECT_EQ(out.firstSector.substr(0, boot.size()), boot);
    ASSERT_GE(out.record.size(), 3u) << out.output;
    EXPECT_EQ(out.record[0], "sfdisk -d -uC /dev/sda");
    EXPECT_EQ(out.record[1], "sfdisk -q -uC /dev/sda");
}

TEST(CdromFlow, FailuresAfterThePartitioningEndTheFlowAndKeepWhatWasInstalled) {
    struct Case {
        const char* what;
        std::vector<sandbox::File> files;
        std::string message;
        Lines packages;
    };
    const std::string cd = flowtest::mediumDir(kCd);
    const Case cases[] = {
        {"formatting fails", {onCd("system"), hook("exit 1\n")}, "\nERROR: could not format partitions\n", {}},
        // The file was there for the menu; by the time it is fed it is a directory.
        {"a package that cannot be read",
         {onCd("system"), onCd("second", {"system"}), hook("rm " + cd + "/second.vpk\nmkdir " + cd + "/second.vpk\n")},
         "\nFATAL ERROR: corrupted CD-ROM\n\nFLOW false",
         {"system"}},
        // Room for one more open file (the boot configuration), none for a
        // pipe to a child.
        {"no install child",
         {onCd("system"),
          hook("i=0; free=0\n"
               "while [ $free -lt 2 ]; do [ -e /proc/1/fd/$i ] || free=$((free + 1)); i=$((i + 1)); done\n"
               "prlimit --pid 1 --nofile=$((i - 1)):\n")},
         "\nFATAL ERROR: couldn't start install\n\nFLOW false",
         {}},
        // A package too large for the pipe whose child gives up at its header
        // (a dependency that is nowhere): the flow's write fails.
        {"a child that stops reading",
         {onCd("system"), onCd("large", {"system", "nowhere"}, 3 << 20)},
         "nowhere is not installed, but is required\n\n\nFLOW false",
         {"system"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Outcome out = runFlow(true, c.files, {kMenuAll, keep(false), proceed(true)});
        EXPECT_FALSE(out.flowResult);
        EXPECT_TRUE(contains(out.output, c.message)) << out.output;
        EXPECT_FALSE(contains(out.output, "Software installed.")) << out.output;
        EXPECT_EQ(out.packages, c.packages);
        EXPECT_EQ(out.files, Lines{});
    }
}

// An "mbr" whose every byte is recognisable: marker bytes where the boot
// program goes, and four partition entries no installation would make.
std::string markedMbr() {
    std::string sector(446, 'M');
    const unsigned char table[4][16] = {
        {0x00, 1, 1, 0, 0x0c, 254, 63, 0, 63, 0, 0, 0, 0xc1, 0x3e, 0, 0},
        {0x80, 0, 1, 1, 0x83, 254, 63, 1, 0x00, 0x3f, 0, 0, 0x00, 0x3f, 0, 0},
        {0x00, 0, 1, 2, 0x82, 254, 63, 2, 0x00, 0x7e, 0, 0, 0x00, 0x10, 0, 0},
        {0x00, 0, 1, 3, 0x07, 254, 63, 3, 0x00, 0x8e, 0, 0, 0x00, 0x10, 0, 0},
    };
    sector.append(reinterpret_cast<const char*>(table), sizeof table);
    sector += "\x55\xaa";
    return sector;
}

TEST(HardDiskFlow, TheMediumsFirstSectorIsOnTheDiskBeforeItIsListedOrPartitioned) {
    const std::string medium = flowtest::mediumDir("/dev/sda");
    const std::string mbr = markedMbr();
    Outcome out = runFlow(false,
                          {{medium + "/mbr", mbr},
                           {medium + "/autorun.scr", "set hostname r1\n"},
                           {medium + "/system.vpk", flowtest::packageFile("system")},
                           {medium + "/ppp.vpk", flowtest::packageFile("ppp", {"system"})}},
                          {});
    ASSERT_TRUE(out.flowResult) << out.output;
    EXPECT_TRUE(contains(out.output, "\nSoftware installed.\n")) << out.output;
    EXPECT_EQ(out.packages, (Lines{"ppp", "system"}));
    EXPECT_EQ(out.files, Lines{"/rw/autorun.scr 644 16"});

    // Every run of the partitioning tool, from the listing on, saw the
    // medium's table under the boot program: the sector was written first and
    // the boot program put over its code only.
    ASSERT_EQ(out.record.size(), 4u) << out.output;
    EXPECT_EQ(out.record[0], "sfdisk -g");
    EXPECT_EQ(out.record[1], "sfdisk -d -uC /dev/sda");
    EXPECT_EQ(out.record[2], "sfdisk -q -uC /dev/sda");
    EXPECT_EQ(out.record[3].rfind("mke2fs ", 0), 0u);
    std::string expected = std::string(reinterpret_cast<const char*>(bootProgram), kBootProgramSize) +
                           std::string(446 - kBootProgramSize, '\0') + mbr.substr(446);
    ASSERT_EQ(out.sectors.size(), 3u) << out.output;
    EXPECT_EQ(out.sectors[0], "1 " + flowtest::hex(expected));
    EXPECT_EQ(out.sectors[1], "2 " + flowtest::hex(expected));
    // So the new table empties the medium's three other entries.
    EXPECT_EQ(out.inputs, Lines{"3 0,8,83,* 0,0,0 0,0,0 0,0,0 "});
    EXPECT_NE(out.firstSector.substr(892, 128), flowtest::hex(mbr.substr(446, 64)));
}

TEST(HardDiskFlow, AMediumNeedsBothFilesAndAShortMbrOrACancelLeavesTheDiskAlone) {
    const std::string medium = flowtest::mediumDir("/dev/sda");
    const std::string other = flowtest::mediumDir("/dev/hda");
    const sandbox::File system{medium + "/system.vpk", flowtest::packageFile("system")};
    {
        SCOPED_TRACE("a first candidate without autorun.scr, an empty script on the second");
        Outcome out = runFlow(false,
                              {{other + "/mbr", markedMbr()},
                               {other + "/decoy.vpk", flowtest::packageFile("decoy")},
                               {medium + "/mbr", markedMbr()},
                               {medium + "/autorun.scr", ""},
                               system},
                              {});
        EXPECT_TRUE(out.flowResult) << out.output;
        EXPECT_EQ(out.packages, Lines{"system"});
        EXPECT_EQ(out.files, Lines{"/rw/autorun.scr 644 0"});
    }
    const Refusal cases[] = {
        {"an mbr of 100 bytes",
         {{medium + "/mbr", std::string(100, 'M')}, {medium + "/autorun.scr", "x\n"}, system},
         {},
         "\nFATAL ERROR: Couldn't read mbr file\n\nFLOW false"},
        {"'q' in the menu of a medium with CHOOSE",
         {{medium + "/mbr", std::string(100, 'M')}, {medium + "/autorun.scr", "x\n"}, {medium + "/CHOOSE", ""}, system},
         {{"(depends on ", "q"}},
         "Installation canceled\n\nFLOW false"},
    };
    expectRefusedBeforeAnyTool(false, cases);
}

// The configuration script is written once the packages are installed: a
// link that one of them owns in its place is not followed out of the system.
TEST(HardDiskFlow, ALinkOwnedByAPackageIsNotFollowedByTheScript) {
    PackageContent content;
    content.name = "linker";
    content.version = 0x01000000;
    content.buildTime = 1000;
    content.files = std::vector<FileEntry>{symlinkEntry("rw/autorun.scr", "/victim")};
    std::ostringstream bytes;
    PackageWriter writer(bytes);
    std::string error;
    ASSERT_TRUE(writePackage(writer, content, error) && writer.finish()) << error;
    auto linker = archive::signPackageFile(bytes.str(), signing_test::developmentKey(), nullptr, &error);
    ASSERT_TRUE(linker) << error;
    const std::string medium = flowtest::mediumDir("/dev/sda");
    Outcome out = runFlow(false,
                          {{medium + "/mbr", markedMbr()},
                           {medium + "/autorun.scr", "set hostname r1\n"},
                           {medium + "/system.vpk", flowtest::packageFile("system")},
                           {medium + "/linker.vpk", *linker},
                           {"/victim", "the environment's own\n"}},
                          {});
    EXPECT_TRUE(contains(out.output, "installed linker-1.0")) << out.output;
    EXPECT_TRUE(contains(out.output, "\nFATAL ERROR: couldn't make script\n")) << out.output;
    EXPECT_FALSE(out.flowResult) << out.output;
}

// With a key of its own the environment takes the medium's autorun.scr only
// when it is signed with that key: otherwise it stops while the medium is
// still whole, before any tool has run.
TEST(HardDiskFlow, AnOwnKeyTakesOnlyAnAutorunScriptSignedWithIt) {
    static const archive::KeyPair own = *archive::generateKeyPair();
    static const archive::ScriptTrust trust{true, own.publicKey};
    archive::setScriptTrust(&trust);  // the flows run in children of this process
    const std::string medium = flowtest::mediumDir("/dev/sda");
    const std::string script = "set hostname r1\n";
    const std::string signedScript = *archive::signScript(script, own.privateKey, nullptr);
    const sandbox::File system{medium + "/system.vpk", flowtest::packageFile("system")};
    Outcome out = runFlow(false, {{medium + "/mbr", markedMbr()}, {medium + "/autorun.scr", signedScript}, system}, {});
    EXPECT_TRUE(out.flowResult) << out.output;
    EXPECT_EQ(out.files, Lines{"/rw/autorun.scr 644 " + std::to_string(signedScript.size())});
    const Refusal cases[] = {
        {"unsigned", {{medium + "/mbr", markedMbr()}, {medium + "/autorun.scr", script}, system}, {},
         "\nFATAL ERROR: configuration script autorun.scr is not signed with the package key (no signature)\n"
         "\nFLOW false"},
        {"signed with the development key",
         {{medium + "/mbr", markedMbr()},
          {medium + "/autorun.scr", *archive::signScript(script, signing_test::developmentKey(), nullptr)},
          system},
         {},
         "is not signed with the package key (signed with another key)\n\nFLOW false"},
    };
    expectRefusedBeforeAnyTool(false, cases);
    archive::setScriptTrust(nullptr);
}

// A signed package of one entry, built with the development key.
std::string shipping(const std::string& name, const FileEntry& entry) {
    PackageContent content;
    content.name = name;
    content.version = 0x01000000;
    content.buildTime = 1000;
    content.files = std::vector<FileEntry>{entry};
    std::ostringstream bytes;
    PackageWriter writer(bytes);
    std::string error;
    EXPECT_TRUE(writePackage(writer, content, error) && writer.finish()) << error;
    auto signedFile = archive::signPackageFile(bytes.str(), signing_test::developmentKey(), nullptr, &error);
    EXPECT_TRUE(signedFile) << error;
    return signedFile ? *signedFile : std::string();
}

// The marker and the configuration script are written once the packages are
// installed, and a package may own anything at their names: only a regular
// file takes them (a link: see above). A FIFO does not hold the flow (a hang ends at the sandbox's limit and fails), a device node
// does not receive the script. The hard-disk flow reports its script as not
// made; the CD flow ignores a marker it cannot make. The block device's
// number is an unassigned one, so that nothing real could be written.
TEST(LocalFlows, WhatAPackageOwnsAtTheMarkerOrTheScriptIsNeverWrittenThrough) {
    struct Node {
        const char* kind;
        FileEntry (*entry)(const std::string& name);
    } nodes[] = {
        {"a FIFO", [](const std::string& n) { return fifoEntry(n, 0644); }},
        {"a character device (the null device)",
         [](const std::string& n) { return deviceEntry(n, EntryType::CharDevice, (1 << 8) | 3, 0644); }},
        {"a block device", [](const std::string& n) { return deviceEntry(n, EntryType::BlockDevice, 240 << 8, 0644); }},
        {"a directory", [](const std::string& n) { return directoryEntry(n, 0755); }},
    };
    for (bool cdrom : {true, false})
        for (const Node& node : nodes) {
            const std::string target = cdrom ? "CDINSTALL" : "rw/autorun.scr";
            SCOPED_TRACE(std::string(node.kind) + " at /" + target);
            const std::string owner = shipping("owner", node.entry(target));
            const std::string medium = flowtest::mediumDir(cdrom ? kCd : "/dev/sda");
            std::vector<sandbox::File> files{{medium + "/owner.vpk", owner},
                                             {medium + "/system.vpk", flowtest::packageFile("system")}};
            if (!cdrom) {
                files.push_back({medium + "/mbr", markedMbr()});
                files.push_back({medium + "/autorun.scr", "set hostname r1\n"});
            }
            std::vector<Step> steps;
            if (cdrom) steps = {kMenuAll, keep(false), proceed(true)};
            Outcome out = runFlow(cdrom, files, steps);
            EXPECT_TRUE(contains(out.output, "installed owner-1.0")) << out.output;
            if (cdrom) {
                EXPECT_TRUE(contains(out.output, "\nSoftware installed.\n\nFLOW true")) << out.output;
            } else {
                EXPECT_TRUE(contains(out.output, "\nFATAL ERROR: couldn't make script\n\nFLOW false")) << out.output;
            }
        }
}

}  // namespace

#endif
