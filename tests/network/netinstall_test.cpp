#include "network/netinstall.h"

#include <gtest/gtest.h>

#include <string>

#include "sandbox/sandbox.h"

namespace {

TEST(Label, KeepsPrintableNonBlankCharactersUpTo63) {
    EXPECT_EQ(filterLabel("Lab 3, rack\t7\r\n"), "Lab3,rack7");
    EXPECT_EQ(filterLabel(" \t\x01\x7f\n"), "");
    EXPECT_EQ(filterLabel(std::string(70, 'x')), std::string(63, 'x'));
    EXPECT_EQ(filterLabel(std::string(10, ' ') + std::string(70, 'y')), std::string(63, 'y'));
}

TEST(Label, WithoutAFloppyTheDefault) {
    // No /dev/fd0 in the sandbox: the mount fails and the default stands.
    auto r = sandbox::run({}, [] { return deviceLabel() == "Tarnwick" ? 0 : 1; });
    EXPECT_TRUE(r.exited && r.exitStatus == 0) << r.output;
}

TEST(Script, WhatCountsAsAConfigurationScript) {
    EXPECT_TRUE(isConfigurationScript("a.scr"));
    EXPECT_TRUE(isConfigurationScript("site-setup.scr"));
    EXPECT_FALSE(isConfigurationScript(".scr"));  // four characters: a package
    EXPECT_FALSE(isConfigurationScript("a.scr.vpk"));
    EXPECT_FALSE(isConfigurationScript("a.SCR"));
}

TEST(Script, TargetStaysDirectlyInFlash) {
    EXPECT_EQ(scriptTarget("site.scr", 10), "/flash/site.scr");
    EXPECT_EQ(scriptTarget("site.scr", 0), "/empty");
    EXPECT_EQ(scriptTarget(std::string(27, 'n') + ".scr", 1), "/flash/" + std::string(27, 'n') + ".scr");
    // Names from the network that would leave /flash, or arrive cut short.
    for (std::string bad : {"../etc.scr", "a/../../x.scr", "/etc/x.scr", "x/y.scr", "..", ""})
        EXPECT_EQ(scriptTarget(bad, 5), "") << bad;
    EXPECT_EQ(scriptTarget("../x.scr", 0), "") << "refused even when empty";
    EXPECT_EQ(scriptTarget(std::string(28, 'n') + ".scr", 1), "");
}

TEST(Flow, WithoutANetworkCard) {
    // A fresh namespace has only the loopback interface, whose address is all zero.
    auto r = sandbox::run({}, [] {
        Installer installer;
        bool ok = networkInstall(installer);
        std::fflush(stdout);
        return ok ? 1 : 0;
    });
    EXPECT_TRUE(r.exited && r.exitStatus == 0) << r.output;
    EXPECT_NE(r.output.find("\nFATAL ERROR: no network card found\n"), std::string::npos) << r.output;
}

}  // namespace
