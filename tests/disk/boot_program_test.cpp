#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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

// The BIOS screen reaches the serial port through the serial graphics
// adapter, one cursor-positioned character at a time; keep the characters.
std::string stripTerminalCodes(const std::string& in) {
    std::string out;
    for (size_t i = 0; i < in.size(); i++) {
        if (in[i] == '\033' && i + 1 < in.size() && in[i + 1] == '[') {
            i += 2;
            while (i < in.size() && !(in[i] >= '@' && in[i] <= '~')) i++;
            continue;
        }
        out += in[i];
    }
    return out;
}

// Boots the image in QEMU until text appears on the serial console (or a
// minute passes) and returns the console output.
std::string bootUntil(const std::string& image, const std::string& text) {
    int fds[2];
    if (pipe(fds) != 0) return "";
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        close(fds[0]);
        std::string drive = "file=" + image + ",format=raw,if=ide";
        execlp("qemu-system-i386", "qemu-system-i386", "-accel", "tcg", "-nographic", "-monitor", "none",
               "-no-reboot", "-device", "sga", "-m", "32", "-drive", drive.c_str(), "-boot", "c",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string output;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, 500) > 0) {
            char buffer[4096];
            ssize_t n = read(fds[0], buffer, sizeof buffer);
            if (n <= 0) break;
            output.append(buffer, size_t(n));
            if (stripTerminalCodes(output).find(text) != std::string::npos) break;
        }
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    close(fds[0]);
    return stripTerminalCodes(output);
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
