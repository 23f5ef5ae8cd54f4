// The real installer's CD flow in the sandbox, with its install child killed
// while it writes a package: the flow says so and stops.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "cd_machine_helpers.h"

namespace {

using cdmachine::contains;

const char kPrompt[] = "Press ENTER to reboot\r\n";

// With a boot partition of its own the end of the run must release
// /flash/boot before /flash.
void killChildMidPackage(bool separateBoot) {
    cdmachine::Machine m;
    if (separateBoot) m.useSeparateBoot();
    ASSERT_TRUE(m.prepare({{"alpha.vpk", cdmachine::packageWithFile("alpha", "big", 6 << 20)},
                           {"beta.vpk", cdmachine::packageWithFile("beta", "small", 1000)}}));
    ASSERT_TRUE(m.startAndChoose()) << m.console().transcript();
    sandbox::Sandbox& s = m.console();
    ASSERT_TRUE(m.waitForFile("/big", 256 << 10)) << s.transcript();
    pid_t child = m.installChild();
    ASSERT_GT(child, 0) << s.transcript();
    ASSERT_EQ(kill(child, SIGKILL), 0);
    ASSERT_TRUE(s.waitFor(kPrompt, 30000)) << s.transcript();
    s.drain(300);
    const std::string shown = s.transcript();
    const size_t died = shown.find("\r\nFATAL ERROR: install process died\r\n");
    ASSERT_NE(died, std::string::npos) << shown;
    EXPECT_FALSE(contains(shown.substr(died), "installing")) << "went on after the child died: " << shown;
    EXPECT_FALSE(contains(shown, "Software installed.")) << shown;
    EXPECT_FALSE(m.mounted("/flash"));
    EXPECT_FALSE(m.mounted("/flash/boot"));
    EXPECT_FALSE(m.mounted("/floppy"));
    EXPECT_FALSE(s.finished()) << "ended before ENTER";
    s.send("\r");
    sandbox::Result r = s.wait(20000);
    EXPECT_TRUE(r.rebooted()) << r.output;
}

TEST(CdFlowFaults, KilledInstallChildStopsTheFlowWithAMessage) { killChildMidPackage(false); }

TEST(CdFlowFaults, KilledInstallChildWithSeparateBootReleasesBothFileSystems) { killChildMidPackage(true); }

}  // namespace
