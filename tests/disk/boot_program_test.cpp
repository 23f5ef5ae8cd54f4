#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "disk/bootconfig.h"
#include "disk/installer.h"
#include "sandbox/sandbox.h"

namespace {

using Sector = std::vector<unsigned char>;

std::string tempPath(const char* stem) {
    char name[64];
    std::snprintf(name, sizeof name, "/tmp/%s.XXXXXX", stem);
    int fd = mkstemp(name);
    if (fd >= 0) close(fd);
    return name;
}

struct PartitionEntry {
    unsigned char status;
    unsigned char head, sector, cylinder;  // of the first sector, as the boot program reads them
    uint32_t lba;
};

// A first sector holding just a partition table and the boot signature.
Sector tableSector(const std::vector<PartitionEntry>& entries) {
    Sector s(512, 0xEE);  // stale bytes where the boot program goes
    std::memset(s.data() + 446, 0, 64);
    for (size_t i = 0; i < entries.size(); i++) {
        unsigned char* p = s.data() + 446 + 16 * i;
        const PartitionEntry& e = entries[i];
        p[0] = e.status;
        p[1] = e.head;
        p[2] = e.sector;
        p[3] = e.cylinder;
        p[4] = 0x83;
        p[5] = 0xFE;
        p[6] = 0xFF;
        p[7] = 0xFF;
        std::memcpy(p + 8, &e.lba, 4);
        uint32_t size = 1000;
        std::memcpy(p + 12, &size, 4);
    }
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

// A partition boot sector that writes its marker to the first serial port.
Sector markerSector(const std::string& marker, bool signature) {
    const unsigned char code[] = {
        0xBA, 0xF8, 0x03,        // mov dx, 0x3F8
        0xBE, 0x00, 0x00,        // mov si, message (patched below)
        0xAC,                    // next: lodsb
        0x84, 0xC0,              // test al, al
        0x74, 0x03,              // jz done
        0xEE,                    // out dx, al
        0xEB, 0xF8,              // jmp next
        0xEB, 0xFE,              // done: jmp done
    };
    Sector s(512, 0);
    std::memcpy(s.data(), code, sizeof code);
    uint16_t message = uint16_t(0x7C00 + sizeof code);
    std::memcpy(s.data() + 4, &message, 2);
    std::string text = marker + "\r\n";
    std::memcpy(s.data() + sizeof code, text.c_str(), text.size() + 1);
    if (signature) {
        s[510] = 0x55;
        s[511] = 0xAA;
    }
    return s;
}

// First sector through writeMasterBootRecord, a partition sector at 63 and
// 127; 1 MiB in all (two cylinders of 16 heads for the BIOS).
std::string bootImage(const Sector& table, const Sector& at63, const Sector& at127) {
    std::string first = tempPath("mbr");
    sandbox::writeFile(first, std::string(table.begin(), table.end()));
    Installer installer;
    std::snprintf(installer.disk.device, sizeof installer.disk.device, "%s", first.c_str());
    bool written = writeMasterBootRecord(installer);
    std::string sector0 = sandbox::readFile(first);
    unlink(first.c_str());
    if (!written || sector0.size() != 512) return "";
    std::string image(1 << 20, '\0');
    image.replace(0, 512, sector0);
    image.replace(63 * 512, 512, std::string(at63.begin(), at63.end()));
    image.replace(127 * 512, 512, std::string(at127.begin(), at127.end()));
    std::string path = tempPath("boot-image");
    sandbox::writeFile(path, image);
    return path;
}

// Boots the image in QEMU through the project's machine runner and console
// driver until text appears on the serial console (or a minute passes), and
// returns the console output. The BIOS screen reaches the serial port through
// the serial graphics adapter; the driver leaves out its cursor codes.
std::string bootUntil(const std::string& image, const std::string& text) {
    const std::string top = SOURCE_DIR;
    std::vector<std::string> argv = {"python3", top + "/image/serial_console.py", "--expect", text, "--timeout", "60",
                                     "--strip-codes", "--", top + "/image/run-qemu", "--memory", "32",
                                     "--disk", image, "--", "-device", "sga"};
    int fds[2];
    if (pipe(fds) != 0) return "";
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        close(fds[0]);
        std::vector<char*> args;
        for (std::string& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    std::string output;
    char buffer[4096];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        output.append(buffer, size_t(n));
    }
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    return output;
}

bool haveQemu() { return std::system("command -v qemu-system-i386 >/dev/null 2>&1") == 0; }

const PartitionEntry kAt63{0x80, 1, 1, 0, 63};      // LBA 63: cylinder 0, head 1, sector 1
const PartitionEntry kAt127{0x80, 2, 2, 0, 127};     // LBA 127: head 2, sector 2

TEST(BootProgram, EndsWithItsMessages) {
    std::string tail(reinterpret_cast<const char*>(bootProgram) + kBootProgramSize - 60, 60);
    EXPECT_EQ(tail, std::string("Error loading operating system\0Missing operating system\0\0\0\0\0", 60));
}

TEST(BootProgram, WriteKeepsTheTableAndClearsTheRest) {
    Sector table = tableSector({kAt63, {0, 0, 0, 0, 0}, {0x80, 9, 9, 9, 99}});
    std::string first = tempPath("mbr");
    sandbox::writeFile(first, std::string(table.begin(), table.end()));
    Installer installer;
    std::snprintf(installer.disk.device, sizeof installer.disk.device, "%s", first.c_str());
    ASSERT_TRUE(writeMasterBootRecord(installer));
    std::string sector = sandbox::readFile(first);
    unlink(first.c_str());
    ASSERT_EQ(sector.size(), 512u);
    EXPECT_EQ(std::memcmp(sector.data(), bootProgram, kBootProgramSize), 0);
    EXPECT_EQ(sector.substr(kBootProgramSize, 446 - kBootProgramSize), std::string(446 - kBootProgramSize, '\0'));
    EXPECT_EQ(sector.substr(446), std::string(table.begin() + 446, table.end()));

    Installer missing;
    std::snprintf(missing.disk.device, sizeof missing.disk.device, "/nonexistent/disk");
    EXPECT_FALSE(writeMasterBootRecord(missing));
}

TEST(BootProgram, BootsTheActivePartition) {
    if (!haveQemu()) GTEST_SKIP() << "qemu-system-i386 is not installed";
    // The second entry is active; the first, inactive one holds a sector
    // that would print something else.
    PartitionEntry inactive = kAt63;
    inactive.status = 0;
    std::string image = bootImage(tableSector({inactive, kAt127}), markerSector("WRONG-PARTITION", true),
                                  markerSector("ACTIVE-PARTITION-BOOTED", true));
    ASSERT_FALSE(image.empty());
    std::string console = bootUntil(image, "ACTIVE-PARTITION-BOOTED");
    unlink(image.c_str());
    EXPECT_NE(console.find("ACTIVE-PARTITION-BOOTED"), std::string::npos) << console;
    EXPECT_EQ(console.find("WRONG-PARTITION"), std::string::npos) << console;
}

TEST(BootProgram, ReportsAPartitionWithoutBootSignature) {
    if (!haveQemu()) GTEST_SKIP() << "qemu-system-i386 is not installed";
    std::string image = bootImage(tableSector({kAt63}), markerSector("UNSIGNED-SECTOR-RAN", false), Sector(512, 0));
    ASSERT_FALSE(image.empty());
    std::string console = bootUntil(image, "Missing operating system");
    unlink(image.c_str());
    EXPECT_NE(console.find("Missing operating system"), std::string::npos) << console;
    EXPECT_EQ(console.find("UNSIGNED-SECTOR-RAN"), std::string::npos) << console;
}

TEST(BootProgram, ReportsAnInvalidStatusAndAnUnreadableSector) {
    if (!haveQemu()) GTEST_SKIP() << "qemu-system-i386 is not installed";
    PartitionEntry strange = kAt63;
    strange.status = 0x12;
    std::string image = bootImage(tableSector({strange}), markerSector("STRANGE-RAN", true), Sector(512, 0));
    ASSERT_FALSE(image.empty());
    std::string console = bootUntil(image, "Missing operating system");
    unlink(image.c_str());
    EXPECT_NE(console.find("Missing operating system"), std::string::npos) << console;
    EXPECT_EQ(console.find("STRANGE-RAN"), std::string::npos) << console;

    // Cylinder 1000 of a two-cylinder disk cannot be read.
    // Cylinder 0x3E8: its two high bits travel in the sector byte.
    PartitionEntry beyond{0x80, 0, 1 | 0xC0, 0xE8, 0};
    image = bootImage(tableSector({beyond}), Sector(512, 0), Sector(512, 0));
    ASSERT_FALSE(image.empty());
    console = bootUntil(image, "Error loading operating system");
    unlink(image.c_str());
    EXPECT_NE(console.find("Error loading operating system"), std::string::npos) << console;
}

}  // namespace
