// The whole network installation in namespaces: the installer's flow on a
// machine with a disk (a loop device as /dev/sda) against castdeploy-server on
// the LAN, from the driver package to the server's TERM; and the end of the
// wait for TERM by a key press.
#include <arpa/inet.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "archive/signed_package_helpers.h"
#include "archive/writer/writer.h"
#include "disk/disk_helpers.h"
#include "netlab.h"
#include "network/netinstall.h"
#include "pkg/version.h"
#include "sandbox/sandbox.h"

namespace {

std::string signedPackage(const PackageContent& content) {
    std::ostringstream out;
    PackageWriter writer(out);
    std::string error;
    if (!writePackage(writer, content, error) || !writer.finish()) return "";
    auto file = archive::signPackageFile(out.str(), signing_test::developmentKey(), nullptr, &error);
    return file ? *file : "";
}

PackageContent package(const std::string& name, std::vector<FileEntry> files) {
    PackageContent c;
    c.name = name;
    c.version = packVersion(1, 0);
    c.buildTime = 1700000000;
    c.architecture = "i386";
    c.files = std::move(files);
    return c;
}

// Bytes that do not compress: the package takes several data messages.
std::string noise(size_t n) {
    std::string s(n, '\0');
    uint32_t x = 2463534242u;
    for (char& c : s) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = char(x);
    }
    return s;
}

std::string withoutCarriageReturns(std::string s) {
    s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
    return s;
}

const char kScript[] = "set hostname edge-7\nset lan 10.1.0.1/24\n";

// The machine's side: the whole flow on a disk, then what it left, checked
// from inside its sandbox. Returns the number of failed checks.
int installAndCheck() {
    disktest::Checker c;
    utsname names;
    uname(&names);
    if (access((std::string("/lib/modules/") + names.release).c_str(), F_OK) == 0) return 100;
    if (disktest::attachAsSda().empty()) return 101;
    // The disk listing names only this machine's disk: the host's own disks
    // show in /sys/block too.
    if (rename("/sbin/sfdisk", "/sbin/sfdisk-loop") != 0 ||
        !sandbox::writeFile("/sbin/sfdisk",
                            "#!/bin/sh\n"
                            "[ \"$*\" = -g ] && exec /sbin/cylpart -g /dev/sda\n"
                            "exec /sbin/sfdisk-loop \"$@\"\n",
                            0755))
        return 102;
    Installer installer;
    bool ok = networkInstall(installer);
    std::fflush(stdout);
    c.check(ok, "the flow succeeded");
    std::printf("driver file: [%s]\n", sandbox::readFile("/drivers/disk.ko").c_str());
    c.check(disktest::shell("/usr/sbin/e2fsck -fn /dev/sda1 >/dev/null 2>&1") == 0, "e2fsck clean");
    if (!c.check(mount("/dev/sda1", "/flash", "ext4", MS_RDONLY, nullptr) == 0, "mount the new system"))
        return c.failures;
    c.check(sandbox::readFile("/flash/etc/release") == "edge 1.0\n", "base's file");
    c.check(sandbox::readFile("/flash/usr/blob") == noise(20000), "base's large file whole");
    c.check(disktest::capture("readlink /flash/etc/os") == "release\n", "base's link");
    c.check(access("/flash/bin/tool", X_OK) == 0, "tools' program");
    c.check(access("/flash/var/pdb/base", F_OK) == 0 && access("/flash/var/pdb/tools", F_OK) == 0,
            "both packages in the database");
    c.check(access("/flash/var/pdb/disk-drivers", F_OK) != 0, "no driver package in the new system");
    c.contains(disktest::capture("cat /flash/var/pdb/base/files"), "etc/release\n", "base's file list");
    c.check(sandbox::readFile("/flash/site.scr") == kScript, "the configuration script");
    c.check(access("/flash/CDINSTALL", F_OK) == 0, "the installation marker");
    c.check(access("/flash/etc/lilo.conf", F_OK) == 0, "the boot configuration");
    umount("/flash");
    return c.failures;
}

// Package files in a folder of the host (served from "/srv"), a disk image,
// and the whole installation against what the test puts on the LAN.
class NetworkInstallation : public testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/netflow-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        // The driver package lands in the running environment; here it must
        // stay away from /lib/modules (the sandbox hides it, and nothing may
        // reach the host's kernel), so it carries a file of its own.
        for (const char* which : {"a", "b"}) {
            std::string drivers = signedPackage(package(
                "disk-drivers", {directoryEntry("drivers", 0755),
                                 regularEntry("drivers/disk.ko", std::string("driver ") + which)}));
            ASSERT_TRUE(!drivers.empty() && sandbox::writeFile(dir + "/drivers-" + which + ".vpk", drivers));
        }
        std::string base = signedPackage(package(
            "base", {directoryEntry("etc", 0755), regularEntry("etc/release", "edge 1.0\n"), directoryEntry("usr", 0755),
                     regularEntry("usr/blob", noise(20000)), symlinkEntry("etc/os", "release")}));
        PackageContent toolsContent =
            package("tools", {directoryEntry("bin", 0755), regularEntry("bin/tool", "#!\n", 0755)});
        toolsContent.dependencies = std::vector<DependencyEntry>{{"base", 0, 0, 0}};
        std::string tools = signedPackage(toolsContent);
        ASSERT_FALSE(base.empty() || tools.empty());
        ASSERT_TRUE(sandbox::writeFile(dir + "/base.vpk", base));
        ASSERT_TRUE(sandbox::writeFile(dir + "/tools.vpk", tools));
        ASSERT_TRUE(sandbox::writeFile(dir + "/site.scr", kScript));
        image = disktest::makeImage(64 << 20);
        ASSERT_FALSE(image.empty());
    }
    void TearDown() override {
        if (!image.empty()) unlink(image.c_str());
        if (!dir.empty()) std::system(("rm -rf " + dir).c_str());
    }

    // Runs the machine against the server the test has set up in `lab`.
    void install(netlab::Lab& lab) {
        sandbox::Options machine = disktest::diskSandbox(image);
        // A terminal without input: only the server's TERM can end the wait.
        machine.console = true;
        lab.client(installAndCheck, machine);
        ASSERT_TRUE(lab.start()) << lab.error();
        auto r = lab.waitClient(0, 200000);
        serverLog = lab.stopServer(10000).output;
        sector = sandbox::readFile(image).substr(0, 512);
        out = withoutCarriageReturns(r.output);
        EXPECT_TRUE(r.exited && r.exitStatus == 0) << r.exitStatus << "\n" << out;
    }

    void expectStagesInOrder(const std::string& server) {
        size_t at = 0;
        for (const std::string& step : std::vector<std::string>{"Waiting for drivers...\nRetrieving drivers...\nLoading drivers\n",
                                 "Found harddrive", "disk label: Tarnwick\n", "Waiting for installation server...\n",
                                 "Found server at " + server + "\n", "Writing configuration...\n",
                                 "\nSoftware installed.\nPress ENTER to reboot\n"}) {
            size_t next = out.find(step, at);
            EXPECT_NE(next, std::string::npos) << "missing or out of order: " << step << "\n" << out;
            if (next != std::string::npos) at = next;
        }
        EXPECT_EQ(out.find("ERROR"), std::string::npos) << out;
        ASSERT_EQ(sector.size(), 512u);
        EXPECT_EQ(sector.substr(510), "\x55\xaa");
    }

    std::string dir, image, out, serverLog, sector;
};

TEST_F(NetworkInstallation, DriversDiskPackagesScriptAndTerm) {
    netlab::Lab lab;
    lab.server({"/sbin/castdeploy-server", "--interface", "br0", "--drivers", "/srv/drivers-a.vpk", "--once",
                "/srv/base.vpk", "/srv/tools.vpk", "/srv/site.scr"},
               {{dir, "/srv"}});
    install(lab);
    expectStagesInOrder("02:5E:00:00:00:01");
    EXPECT_NE(out.find("driver file: [driver a]"), std::string::npos) << out;
    // The server saw the drivers go out, every file, and the WTRM that ended it all.
    for (const char* f : {"drivers-a.vpk", "base.vpk", "tools.vpk", "site.scr"})
        EXPECT_NE(serverLog.find(std::string("sending ") + f), std::string::npos) << f << "\n" << serverLog;
    EXPECT_NE(serverLog.find("installation finished"), std::string::npos) << serverLog;
}

TEST_F(NetworkInstallation, DriversFromOneServerTheInstallationFromAnother) {
    // Two servers on the LAN: A on the bridge serves drivers but refuses this
    // machine's label; B, on a link of its own into the bridge, starts once A
    // has sent the drivers, and installs.
    netlab::Lab lab;
    lab.server({"/bin/sh", "-c",
                "/usr/sbin/ip link add va type veth peer name vb && /usr/sbin/ip link set va master br0 up &&"
                " /usr/sbin/ip link set vb address 02:5e:00:00:00:02 up || exit 9;"
                " (/sbin/castdeploy-server --interface br0 --drivers /srv/drivers-a.vpk --label 'other-*' 2>&1"
                "  | tee /a.log) &"
                " while ! grep -q 'sent drivers-a.vpk' /a.log 2>/dev/null; do sleep 0.1; done;"
                " exec /sbin/castdeploy-server --interface vb --drivers /srv/drivers-b.vpk --once"
                " /srv/base.vpk /srv/tools.vpk /srv/site.scr"},
               {{dir, "/srv"}});
    install(lab);
    expectStagesInOrder("02:5E:00:00:00:02");
    EXPECT_NE(out.find("driver file: [driver a]"), std::string::npos) << out;
    EXPECT_NE(serverLog.find("label \"Tarnwick\" does not match other-*"), std::string::npos) << serverLog;
    EXPECT_EQ(serverLog.find("sending drivers-b.vpk"), std::string::npos) << serverLog;
    EXPECT_NE(serverLog.find("sending site.scr"), std::string::npos) << serverLog;
    EXPECT_NE(serverLog.find("installation finished"), std::string::npos) << serverLog;
}

// A server that stays silent to WTRM: it returns once it has seen the same
// WTRM three times (0), or gives up after a minute (1).
int silentToWtrm() {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    setsockopt(s, SOL_SOCKET, SO_BINDTODEVICE, "br0", 4);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(proto::kPort);
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return 2;
    timeval tv{60, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    Message in;
    int seen = 0;
    int sequence = -1;
    while (seen < 3) {
        ssize_t n = recv(s, in.bytes, sizeof in.bytes, 0);
        if (n < 0) return 1;
        if (!proto::wellFormed(in, int(n)) || !in.startsWith("WTRM")) continue;
        if (sequence >= 0 && in.sequence() != sequence) return 3;  // a repeat is the same message
        sequence = in.sequence();
        ++seen;
    }
    return 0;
}

TEST(WaitForTerm, AKeyEndsItWhenNoTermComes) {
    netlab::Lab lab;
    lab.serverBody(silentToWtrm);
    sandbox::Options o;
    o.console = true;
    lab.client(
        [] {
            InstallClient c;
            if (enumerateInterfaces(c) != 1) return 10;
            c.chosenInterface = 0;
            c.session.ownAddress = c.interfaces[0].hardwareAddress;
            std::puts("Press ENTER to reboot");
            std::fflush(stdout);
            waitForTerm(c);
            // The key was left for whoever reads next.
            char key = 0;
            return read(0, &key, 1) == 1 && key == '\n' ? 0 : 11;
        },
        o);
    ASSERT_TRUE(lab.start()) << lab.error();
    auto& box = lab.clientBox(0);
    ASSERT_TRUE(box.waitFor("Press ENTER to reboot", 30000)) << box.transcript();
    // The server has had WTRM three times and no one answered: now the key.
    auto s = lab.serverBox().wait(90000);
    EXPECT_TRUE(s.exited && s.exitStatus == 0) << s.exitStatus << " " << s.output;
    box.send("\r");
    auto r = lab.waitClient(0, 30000);
    EXPECT_TRUE(r.exited && r.exitStatus == 0) << r.exitStatus << "\n" << r.output;
}

}  // namespace
