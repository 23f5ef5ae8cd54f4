#include "sandbox/sandbox.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

namespace {

TEST(Sandbox, BodyRunsAsProcessOneWithFreshSystemDirectories) {
    sandbox::Options o;
    o.files.push_back({"/TYPE", "cdrom\n"});
    auto r = sandbox::run(o, [] {
        if (getpid() != 1) return 10;
        std::ifstream in("/TYPE");
        std::string word;
        in >> word;
        if (word != "cdrom") return 11;
        // /flash is writable and empty; the host's tools are visible read-only.
        if (!sandbox::writeFile("/flash/x", "y")) return 12;
        if (access("/usr/bin/env", X_OK) != 0) return 13;
        if (sandbox::writeFile("/usr/should-not-exist", "z")) return 14;
        return 0;
    });
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    struct stat st;
    EXPECT_NE(stat("/TYPE", &st), 0) << "the sandbox's /TYPE leaked to the host";
}

TEST(Sandbox, RebootEndsTheNamespaceWithSigHup) {
    auto r = sandbox::run({}, [] {
        sync();
        reboot(RB_AUTOBOOT);
        return 3;
    });
    EXPECT_TRUE(r.rebooted()) << "exited=" << r.exited << " status=" << r.exitStatus << " signal=" << r.signal;
}

TEST(Sandbox, CapturesOutputAndExitStatusOfACommand) {
    auto r = sandbox::runCommand({}, {"/bin/sh", "-c", "echo hello; echo err >&2; exit 7"});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 7);
    EXPECT_NE(r.output.find("hello"), std::string::npos);
    EXPECT_NE(r.output.find("err"), std::string::npos);
}

TEST(Sandbox, MissingProgramGives127) {
    auto r = sandbox::runCommand({}, {"/sbin/nothing-here"});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 127);
}

TEST(Sandbox, ConsoleIsAPseudoTerminalThatTheTestDrives) {
    sandbox::Options o;
    o.console = true;
    o.consoleAlso = {"/dev/ttyS0"};
    sandbox::Sandbox box(o);
    ASSERT_TRUE(box.startCommand({"/bin/sh", "-c", "test -t 0 && echo tty-ok; read x; echo got-$x; echo s0 > /dev/ttyS0"}));
    ASSERT_TRUE(box.waitFor("tty-ok"));
    box.send("abc\n");
    ASSERT_TRUE(box.waitFor("got-abc"));
    ASSERT_TRUE(box.waitFor("s0"));
    auto r = box.wait();
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 0);
}

TEST(Sandbox, HangingBodyIsKilledAtTheTimeout) {
    sandbox::Options o;
    o.timeoutMs = 500;
    auto r = sandbox::run(o, [] {
        for (;;) pause();
        return 0;
    });
    EXPECT_TRUE(r.timedOut);
    EXPECT_FALSE(r.exited);
}

TEST(Sandbox, LoopDeviceOverAnImage) {
    char tmpl[] = "/tmp/sandbox-image.XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 8 << 20), 0);
    close(fd);
    sandbox::Options o;
    o.loopDevices = true;
    o.binds.push_back({tmpl, "/disk.img", false});
    auto r = sandbox::run(o, [] {
        std::string dev = sandbox::attachLoop("/disk.img");
        if (dev.empty()) return 20;
        struct stat st;
        if (stat(dev.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return 21;
        return 0;
    });
    unlink(tmpl);
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
}

}  // namespace
