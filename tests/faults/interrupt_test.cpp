// Ctrl-C at random moments of a run of the real installer in the sandbox:
// whenever it lands, the installer either aborts properly (message, prompt,
// nothing left mounted, reboot after ENTER) or, once the installation has
// finished, ignores it. It never hangs and never goes on after an abort.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "cd_machine_helpers.h"
#include "sandbox/sandbox.h"

namespace {

const char kPrompt[] = "Press ENTER to reboot\r\n";
const char kAborted[] = "\r\n\r\nInstallation aborted\r\nPress ENTER to reboot\r\n";

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

bool mounted(pid_t pid, const std::string& path) {
    return contains(sandbox::readFile("/proc/" + std::to_string(pid) + "/mounts"), " " + path + " ");
}

struct Flow {
    const char* type;
    const char* sfdisk;  // the partitioning tool the machine has, or null
    const char* started; // the first words shown once Ctrl-C is handled
};

// One run: Ctrl-C after `delayMs`; checks the end as the user would see it.
// `aborted` tells whether the Ctrl-C aborted the run.
// A machine with a screen whose medium is of `type`, the installer at "/installer".
sandbox::Options machine(const char* type) {
    sandbox::Options o;
    o.console = true;
    o.timeoutMs = 60000;
    o.binds.push_back({INSTALLER_BINARY, "/installer", true});
    o.files.push_back({"/dev/tty0", ""});
    o.files.push_back({"/TYPE", type});
    return o;
}

void interruptAfter(const Flow& flow, int delayMs, bool& aborted) {
    sandbox::Options o = machine(flow.type);
    if (flow.sfdisk) o.files.push_back({"/sbin/sfdisk", flow.sfdisk, 0755});
    sandbox::Sandbox s(o);
    ASSERT_TRUE(s.startCommand({"/installer"}));
    ASSERT_TRUE(s.waitFor(flow.started)) << s.transcript();
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    s.send("\x03");
    // Either way the prompt comes: the abort's, or the finished installation's.
    ASSERT_TRUE(s.waitFor(kPrompt, 30000)) << "no prompt after Ctrl-C: " << s.transcript();
    s.drain(300);
    const std::string before = s.transcript();
    aborted = contains(before, "Installation aborted");
    if (aborted) {
        EXPECT_TRUE(contains(before, kAborted)) << "abort messages out of order: " << before;
        EXPECT_FALSE(mounted(s.pid(), "/flash"));
        EXPECT_FALSE(mounted(s.pid(), "/flash/boot"));
        EXPECT_FALSE(mounted(s.pid(), "/floppy"));
    }
    EXPECT_FALSE(s.finished()) << "ended before ENTER: " << before;
    s.send("\r");
    sandbox::Result r = s.wait(20000);
    EXPECT_FALSE(r.timedOut) << "no reboot after ENTER: " << r.output;
    EXPECT_TRUE(r.rebooted()) << r.output;
    if (aborted) {
        const std::string end = r.output.substr(r.output.find("Installation aborted"));
        EXPECT_FALSE(contains(end, "Rebooting...")) << r.output;
        EXPECT_FALSE(contains(end, "harddrives")) << "went on after the abort: " << r.output;
        EXPECT_FALSE(contains(end, "network card")) << "went on after the abort: " << r.output;
    }
}

// A partitioning tool that takes its time before it shows a disk, and one that never answers.
const char kSlowSfdisk[] =
    "#!/bin/sh\n"
    "sleep 1\n"
    "echo '/dev/sda: 1044 cylinders, 255 heads, 63 sectors/track'\n";
const char kHangingSfdisk[] = "#!/bin/sh\nexec sleep 60\n";

TEST(Interrupt, AtRandomMomentsOfTheLocalFlow) {
    std::random_device device;
    const unsigned seed = device();
    std::mt19937 random(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::uniform_int_distribution<int> delay(0, 2500);
    for (const Flow& flow : {Flow{"cdrom\n", kSlowSfdisk, "Loading drivers"},
                            Flow{"cdrom\n", kHangingSfdisk, "Loading drivers"}}) {
        for (int i = 0; i < 4; ++i) {
            int ms = i == 0 ? 0 : delay(random);
            SCOPED_TRACE(std::string(flow.sfdisk == kSlowSfdisk ? "slow" : "hanging") + " tool, Ctrl-C after " +
                         std::to_string(ms) + " ms");
            bool aborted = false;
            interruptAfter(flow, ms, aborted);
            if (HasFatalFailure()) return;
            // A tool that never answers keeps the installation busy: every Ctrl-C aborts it.
            if (flow.sfdisk == kHangingSfdisk) {
                EXPECT_TRUE(aborted);
            }
        }
    }
}

TEST(Interrupt, AtRandomMomentsOfTheNetworkFlow) {
    std::random_device device;
    const unsigned seed = device();
    std::mt19937 random(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::uniform_int_distribution<int> delay(0, 1500);
    for (int i = 0; i < 4; ++i) {
        int ms = i == 0 ? 0 : delay(random);
        SCOPED_TRACE("Ctrl-C after " + std::to_string(ms) + " ms");
        bool aborted = false;
        interruptAfter(Flow{"net\n", nullptr, "Welcome"}, ms, aborted);
        if (HasFatalFailure()) return;
    }
}

// What the installer has shown before a Ctrl-C stays on the console. The
// terminal would otherwise discard output that it has not passed on yet
// (seen as a lost "Press ENTER to reboot" when the key came right after it).
TEST(Interrupt, KeepsWhatWasShownBeforeIt) {
    sandbox::Sandbox s(machine("net\n"));
    ASSERT_TRUE(s.startCommand({"/installer"}));
    ASSERT_TRUE(s.waitFor(kPrompt)) << s.transcript();
    EXPECT_TRUE(s.consoleLocalModes() & NOFLSH) << "Ctrl-C may discard the console's pending output";
    EXPECT_TRUE(s.consoleLocalModes() & ISIG);
    s.send("\x03");
    s.drain(300);
    EXPECT_FALSE(contains(s.transcript(), "Installation aborted")) << s.transcript();
    s.send("\r");
    sandbox::Result r = s.wait(20000);
    EXPECT_TRUE(r.rebooted()) << r.output;
}

// Ctrl-C while the CD flow's install child writes a package into the
// installed system: the child goes with the installer, the file systems are
// released and nothing of the flow follows.
TEST(Interrupt, WhileTheCdFlowInstallsAPackage) {
    std::random_device device;
    const unsigned seed = device();
    std::mt19937 random(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    // Up to half a MiB before the end: the file is written last, after the
    // feeding has handed over the whole package and waits for the child.
    std::uniform_int_distribution<int> written(0, (11 << 20) / 2);
    cdmachine::Machine m;
    ASSERT_TRUE(m.prepare({{"alpha.vpk", cdmachine::packageWithFile("alpha", "big", 6 << 20)},
                           {"beta.vpk", cdmachine::packageWithFile("beta", "small", 1000)}}));
    for (int i = 0; i < 4; ++i) {
        const int bytes = i == 0 ? 0 : i == 1 ? 5 << 20 : written(random);
        SCOPED_TRACE("Ctrl-C after " + std::to_string(bytes) + " bytes of the package's file");
        ASSERT_TRUE(m.startAndChoose()) << m.console().transcript();
        sandbox::Sandbox& s = m.console();
        ASSERT_TRUE(m.waitForFile("/big", bytes)) << s.transcript();
        s.send("\x03");
        ASSERT_TRUE(s.waitFor(kPrompt, 30000)) << "no prompt after Ctrl-C: " << s.transcript();
        s.drain(500);
        const std::string shown = s.transcript();
        EXPECT_TRUE(contains(shown, kAborted)) << "abort messages out of order: " << shown;
        EXPECT_FALSE(m.mounted("/flash"));
        EXPECT_FALSE(m.mounted("/flash/boot"));
        EXPECT_FALSE(m.mounted("/floppy"));
        EXPECT_TRUE(cdmachine::childrenOf(m.installerPid()).empty()) << "a child outlived the abort";
        EXPECT_FALSE(s.finished()) << "ended before ENTER: " << shown;
        s.send("\r");
        sandbox::Result r = s.wait(20000);
        EXPECT_FALSE(r.timedOut) << "no reboot after ENTER: " << r.output;
        EXPECT_TRUE(r.rebooted()) << r.output;
        const size_t abort = r.output.find("Installation aborted");
        ASSERT_NE(abort, std::string::npos) << r.output;
        const std::string end = r.output.substr(abort);
        for (const char* later : {"installed alpha", "installed beta", "installing beta", "Software installed.",
                                  "FATAL ERROR", "Rebooting..."})
            EXPECT_FALSE(contains(end, later)) << "after the abort: " << later << "\n" << r.output;
        if (HasFailure()) return;
    }
}

}  // namespace
