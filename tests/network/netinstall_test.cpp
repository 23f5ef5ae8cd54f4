#include "network/netinstall.h"
#include "pkg/driver.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/script_signature.h"
#include "archive/script_signer.h"
#include "netlab.h"
#include "server.h"

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
    // The whole announced name decides, whatever its length; one too long to
    // place is then refused as a script, never fed to the package child.
    for (size_t length : {31u, 32u, 80u, 81u, 300u}) {
        std::string name = std::string(length - 4, 'n') + ".scr";
        Message m;
        m.clear();
        m.setText("FILE\n" + name + "\n5\n");
        std::string announced;
        int32_t size;
        ASSERT_TRUE(parseFileAnnouncement(m, &announced, &size));
        EXPECT_TRUE(isConfigurationScript(announced)) << length;
        EXPECT_EQ(scriptTarget(announced, size).empty(), length > 31) << length;
    }
}

TEST(Script, TargetStaysDirectlyInFlash) {
    EXPECT_EQ(scriptTarget("site.scr", 10), "/flash/site.scr");
    EXPECT_EQ(scriptTarget("site.scr", 0), "/empty");
    EXPECT_EQ(scriptTarget(std::string(27, 'n') + ".scr", 1), "/flash/" + std::string(27, 'n') + ".scr");
    // Names from the network that would leave /flash, or arrive cut short.
    for (std::string bad : std::initializer_list<std::string>{"../etc.scr", "a/../../x.scr", "/etc/x.scr", "x/y.scr", "..",
                                                              "", std::string("a\0x.scr", 7)})
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

namespace {

// A server that answers like castdeploy-server but serves what it is given,
// names included, without the real server's checks.
// `tamper` may change each reply before it goes out (a rogue server).
int standInServer(castdeploy::Config config, std::function<void(Message&)> tamper = {}) {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    setsockopt(s, SOL_SOCKET, SO_BINDTODEVICE, "br0", 4);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(proto::kPort);
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return 1;
    ifreq ifr{};
    std::strcpy(ifr.ifr_name, "br0");
    ioctl(s, SIOCGIFHWADDR, &ifr);
    std::memcpy(config.ownAddress.data(), ifr.ifr_hwaddr.sa_data, 6);
    sockaddr_in all = local;
    all.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    castdeploy::Server server(config);
    Message in, reply;
    for (;;) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, 20000) <= 0) return 0;
        ssize_t n = recv(s, in.bytes, sizeof in.bytes, 0);
        if (n > 0 && server.handle(in, static_cast<int>(n), reply) && (!tamper || (tamper(reply), true)))
            sendto(s, reply.bytes, static_cast<size_t>(reply.size()), 0, reinterpret_cast<sockaddr*>(&all), sizeof all);
    }
}

castdeploy::ServedFile servedFile(const std::string& name, const std::string& content) {
    char path[] = "/tmp/served-XXXXXX";
    int fd = mkstemp(path);
    if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) std::abort();
    unlink(path);
    return {path, name, fd, static_cast<int64_t>(content.size())};
}

// Finds the server, negotiates and starts the installation as the flow does
// up to its file loop: 0, or 10 (no offer) / 11 (STRT unanswered).
int startInstallation(InstallClient& c) {
    bool keep;
    if (enumerateInterfaces(c) != 1 || !negotiateInstall(c, "t", "", "L", &keep)) return 10;
    Message strt, reply;
    strt.clear();
    std::memcpy(strt.payload(), "STRT", 4);
    fillHeader(c.session, strt, 4);
    return sendAndWait(*c.chosen(), c.session, strt, reply, kStrtTimeoutUs, kStrtAttempts) < 0 ? 11 : 0;
}

TEST(Flow, ScriptsGoIntoFlashAndNamesThatLeaveItAreRefused) {
    netlab::Lab lab;
    lab.serverBody([] {
        // Made inside the namespace: descriptors do not cross into the sandbox.
        castdeploy::Config config;
        config.drivers = servedFile("drivers.vpk", "x");
        config.files = {servedFile("site.scr", "hostname=r1\n"), servedFile("nothing.scr", ""),
                        servedFile(std::string(31 - 4, 'l') + ".scr", "long\n"), servedFile("../evil.scr", "evil\n")};
        return standInServer(config);
    });
    lab.client([] {
        InstallClient c;
        if (int failed = startInstallation(c)) return failed;
        bool ok = installServerFiles(c);
        std::fflush(stdout);
        int bad = ok ? 1 : 0;
        if (sandbox::readFile("/flash/site.scr") != "hostname=r1\n") bad |= 2;
        if (access("/empty", F_OK) != 0 || access("/flash/nothing.scr", F_OK) == 0) bad |= 4;
        if (sandbox::readFile("/flash/" + std::string(27, 'l') + ".scr") != "long\n") bad |= 8;
        if (access("/evil.scr", F_OK) == 0) bad |= 16;
        return bad;
    });
    ASSERT_TRUE(lab.start()) << lab.error();
    auto r = lab.waitClient(0, 60000);
    EXPECT_TRUE(r.exited && r.exitStatus == 0) << r.exitStatus << "\n" << r.output;
    EXPECT_NE(r.output.find("Writing configuration...\n\nFATAL ERROR: couldn't make a file\n"), std::string::npos)
        << r.output;
    lab.stopServer();
}

// Scripts from a rogue or careless server: each case serves one script after
// the flow's start and says what must (not) come of it.
TEST(Flow, ScriptsNeverLeaveTheirPlaceOrSize) {
    struct Case {
        const char* name;
        std::string file;
        std::string content;
        std::function<void(Message&)> tamper;
        const char* prepare;  // shell command in the client's sandbox before the flow
        const char* check;    // shell test afterwards: true when all is well
        const char* message;
    } cases[] = {
        {"a link left at the name is not followed", "site.scr", "evil\n", {}, "ln -s /outside /flash/site.scr",
         "test ! -e /outside && test -L /flash/site.scr", "\nFATAL ERROR: couldn't make a file\n"},
        {"nor one at /empty for an empty script", "rc.scr", "", {}, "ln -s /outside /empty",
         "test ! -e /outside", "\nFATAL ERROR: couldn't make a file\n"},
        // Only a regular file (or a new one) takes a script: a FIFO would hold
        // the flow, a device node would take the script.
        {"a FIFO at the name is not opened", "site.scr", "evil\n", {}, "mkfifo /flash/site.scr",
         "test -p /flash/site.scr", "\nFATAL ERROR: couldn't make a file\n"},
        {"nor a device node", "site.scr", "evil\n", {}, "mknod /flash/site.scr c 1 3", "test -c /flash/site.scr",
         "\nFATAL ERROR: couldn't make a file\n"},
        {"nor a directory", "site.scr", "evil\n", {}, "mkdir /flash/site.scr", "test -d /flash/site.scr",
         "\nFATAL ERROR: couldn't make a file\n"},
        {"nor a FIFO at /empty", "rc.scr", "", {}, "mkfifo /empty", "test -p /empty",
         "\nFATAL ERROR: couldn't make a file\n"},
        {"an empty script that streams data writes nothing", "nothing.scr", std::string(200000, 'z'),
         [](Message& m) {
             if (m.startsWith("FILE\n")) m.setText("FILE\nnothing.scr\n0\n");
         },
         "", "test -e /empty && test ! -s /empty", "\nFATAL ERROR: bad network connection\n"},
        {"a script longer than announced stops at its size", "short.scr", std::string(9000, 'y'),
         [](Message& m) {
             if (m.startsWith("FILE\n")) m.setText("FILE\nshort.scr\n100\n");
         },
         "", "test $(stat -c %s /flash/short.scr) -le 100", "\nFATAL ERROR: bad network connection\n"},
        {"a long script name is refused as a script", std::string(96, 'n') + ".scr", "echo\n", {}, "",
         "test -z \"$(ls /flash)\"", "Writing configuration...\n\nFATAL ERROR: couldn't make a file\n"},
    };
    // One LAN per case, all at once.
    std::vector<std::unique_ptr<netlab::Lab>> labs;
    for (const Case& c : cases) {
        netlab::Lab& lab = *labs.emplace_back(std::make_unique<netlab::Lab>());
        lab.serverBody([&c] {
            castdeploy::Config config;
            config.drivers = servedFile("drivers.vpk", "x");
            config.files = {servedFile(c.file, c.content)};
            return standInServer(config, c.tamper);
        });
        lab.client([&c] {
            InstallClient client;
            if (int failed = startInstallation(client)) return failed;
            if (std::system(c.prepare) != 0) return 20;
            bool ok = installServerFiles(client);
            std::fflush(stdout);
            if (ok) return 21;
            return std::system(c.check) == 0 ? 0 : 22;
        });
        ASSERT_TRUE(lab.start()) << lab.error();
    }
    for (size_t i = 0; i < labs.size(); ++i) {
        const Case& c = cases[i];
        auto r = labs[i]->waitClient(0, 60000);
        kill(labs[i]->serverPid(), SIGKILL);  // the stand-in, first in its namespace, has no handler for SIGTERM
        labs[i]->stopServer();
        EXPECT_TRUE(r.exited && r.exitStatus == 0) << c.name << ": " << r.exitStatus << "\n" << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << c.name << "\n" << r.output;
    }
}

// An environment that trusts a key of its own places a script only when it is
// signed with that key, and of a refused one writes nothing; an environment
// that accepts unsigned scripts (the development key's) places it as it is.
TEST(Flow, AnOwnKeyPlacesOnlyScriptsSignedWithIt) {
    static const archive::KeyPair own = *archive::generateKeyPair();
    static const archive::KeyPair other = *archive::generateKeyPair();
    const std::string script = "set hostname edge-7\n";
    auto signedWith = [&script](const archive::KeyPair& key) { return *archive::signScript(script, key.privateKey, nullptr); };
    const std::string refused = "Writing configuration...\n\nFATAL ERROR: configuration script site.scr is not signed "
                                "with the package key (";
    struct Case {
        const char* name;
        bool signedOnly;
        std::string content;
        bool placed;
        std::string message;
    } cases[] = {
        {"signed with the own key", true, signedWith(own), true, "Writing configuration...\n"},
        {"unsigned", true, script, false, refused + "no signature)\n"},
        {"signed with another key", true, signedWith(other), false, refused + "signed with another key)\n"},
        {"signed, then changed", true, "set password x\n" + signedWith(own), false,
         refused + "script changed after signing)\n"},
        {"unsigned, where unsigned scripts are accepted", false, script, true, "Writing configuration...\n"},
    };
    std::vector<std::unique_ptr<netlab::Lab>> labs;
    for (const Case& c : cases) {
        netlab::Lab& lab = *labs.emplace_back(std::make_unique<netlab::Lab>());
        lab.serverBody([&c] {
            castdeploy::Config config;
            config.drivers = servedFile("drivers.vpk", "x");
            config.files = {servedFile("site.scr", c.content)};
            return standInServer(config);
        });
        lab.client([&c] {
            static archive::ScriptTrust trust;
            trust = {c.signedOnly, own.publicKey};
            archive::setScriptTrust(&trust);
            InstallClient client;
            if (int failed = startInstallation(client)) return failed;
            bool ok = installServerFiles(client);
            std::fflush(stdout);
            if (ok != c.placed) return 20;
            if (!c.placed) return access("/flash/site.scr", F_OK) == 0 ? 21 : 0;
            return sandbox::readFile("/flash/site.scr") == c.content ? 0 : 22;
        });
        ASSERT_TRUE(lab.start()) << lab.error();
    }
    for (size_t i = 0; i < labs.size(); ++i) {
        const Case& c = cases[i];
        auto r = labs[i]->waitClient(0, 60000);
        kill(labs[i]->serverPid(), SIGKILL);
        labs[i]->stopServer();
        EXPECT_TRUE(r.exited && r.exitStatus == 0) << c.name << ": " << r.exitStatus << "\n" << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << c.name << "\n" << r.output;
    }
}

}  // namespace

namespace {

// The install child is killed while it has the served package: the flow says
// so and stops, whether the package still streams in (`size` larger than the
// pipe) or was handed over whole.
void killedInstallChild(size_t size) {
    netlab::Lab lab;
    lab.serverBody([size] {
        castdeploy::Config config;
        config.drivers = servedFile("drivers.vpk", "x");
        config.files = {servedFile("big.vpk", std::string(size, 'p')), servedFile("after.scr", "after\n")};
        return standInServer(config);
    });
    lab.client([] {
        InstallClient c;
        if (int failed = startInstallation(c)) return failed;
        // The child waits, without reading, until it is killed; the killer is
        // a process, so that this one is single-threaded when it forks.
        installChildPrelude = [] {
            for (;;) pause();
        };
        pid_t killer = sandbox::startKiller("", 0, 20000);
        bool ok = installServerFiles(c);
        std::fflush(stdout);
        if (!sandbox::killerKilled(killer)) return 13;
        if (access("/flash/after.scr", F_OK) == 0) return 14;  // went on
        return ok ? 15 : 0;
    });
    ASSERT_TRUE(lab.start()) << lab.error();
    auto r = lab.waitClient(0, 60000);
    lab.stopServer();
    EXPECT_TRUE(r.exited && r.exitStatus == 0) << r.exitStatus << "\n" << r.output;
    EXPECT_NE(r.output.find("\nFATAL ERROR: install process died\n"), std::string::npos) << r.output;
}

TEST(Flow, KilledInstallChildStopsTheFlowWhileThePackageStreams) { killedInstallChild(3 << 20); }

TEST(Flow, KilledInstallChildStopsTheFlowAfterTheWholePackage) { killedInstallChild(1000); }

TEST(Flow, FindsTheServerAndFetchesTheDriverPackage) {
    char tmpl[] = "/tmp/netflow-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    sandbox::writeFile(dir + "/drivers.vpk", "not a package");
    netlab::Lab lab;
    lab.server({"/sbin/castdeploy-server", "--interface", "br0", "--drivers", "/srv/drivers.vpk"}, {{dir, "/srv"}});
    lab.client([] {
        Installer installer;
        bool ok = networkInstall(installer);
        std::fflush(stdout);
        return ok ? 1 : 0;
    });
    ASSERT_TRUE(lab.start()) << lab.error();
    auto r = lab.waitClient(0, 120000);
    auto s = lab.stopServer();
    std::system(("rm -rf " + dir).c_str());
    // The install child refuses the broken package; without a disk the flow then ends.
    EXPECT_TRUE(r.exited && r.exitStatus == 0) << r.output;
    // The refusal is said before the disk search, which then finds nothing.
    EXPECT_NE(r.output.find("\nmac-address: 02:C1:00:00:00:01\n\nWaiting for drivers...\nRetrieving drivers...\n"
                            "ERROR: the server's driver package was refused\nLoading drivers\n"),
              std::string::npos)
        << r.output;
    EXPECT_NE(s.output.find("02:C1:00:00:00:01 sending drivers.vpk"), std::string::npos) << s.output;
}

}  // namespace
