#include "flow_helpers.h"

#include <dirent.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <sstream>

#include "archive/signed_package_helpers.h"
#include "archive/writer/writer.h"
#include "disk/disk_helpers.h"

// The flows mount their media through this: a medium's device stands for the
// directory the test filled. Everything else goes to the kernel.
extern "C" int mount(const char* source, const char* target, const char* type, unsigned long flags,
                     const void* data) {
    if (type && source && (std::strcmp(type, "iso9660") == 0 || std::strcmp(type, "vfat") == 0)) {
        std::string dir = flowtest::mediumDir(source);
        struct stat st;
        if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            errno = ENXIO;
            return -1;
        }
        if (syscall(SYS_mount, dir.c_str(), target, nullptr, MS_BIND, nullptr) != 0) return -1;
        if (flags & MS_RDONLY)
            return int(syscall(SYS_mount, nullptr, target, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr));
        return 0;
    }
    return int(syscall(SYS_mount, source, target, type, flags, data));
}

namespace flowtest {

namespace {

std::vector<DependencyEntry> entries(const std::vector<std::string>& names) {
    std::vector<DependencyEntry> list;
    for (const std::string& n : names) list.push_back({n, 0, 0, 0});
    return list;
}

// Mirrors the disk's first sector and the input of every partitioning run.
const char kRecordingSfdisk[] =
    "#!/bin/sh\n"
    "n=$(cat /record/count 2>/dev/null || echo 0); n=$((n + 1)); echo $n > /record/count\n"
    "echo \"sfdisk $*\" >> /record/log\n"
    "dd if=/dev/sda of=/record/$n.sector bs=512 count=1 2>/dev/null\n"
    // The listing of all disks would not find the loop device under this name.
    "if [ \"$*\" = \"-g\" ]; then set -- -g /dev/sda; fi\n"
    "case \" $* \" in *\" -q \"*) cat > /record/$n.input; exec /sbin/sfdisk.tool \"$@\" < /record/$n.input;; esac\n"
    "exec /sbin/sfdisk.tool \"$@\"\n";

const char kRecordingMke2fs[] =
    "#!/bin/sh\n"
    "echo \"mke2fs $*\" >> /record/log\n"
    "/usr/sbin/mke2fs -q \"$@\" || exit $?\n"
    "if [ -x /hooks/formatted ]; then exec /hooks/formatted; fi\n"
    "exit 0\n";

}  // namespace

std::string packageFile(const std::string& name, const std::vector<std::string>& depends, size_t payloadBytes,
                        bool sign) {
    PackageContent content;
    content.name = name;
    content.version = 0x01000000;
    content.buildTime = 1000;
    content.description = "the " + name + " package";
    if (!depends.empty()) content.dependencies = entries(depends);
    // Incompressible, so that the file is about as large as its payload.
    std::mt19937 random(payloadBytes);
    std::string payload(payloadBytes, '\0');
    for (char& c : payload) c = char(random());
    content.files = std::vector<FileEntry>{directoryEntry("etc", 0755),
                                           regularEntry("etc/" + name + ".data", payload)};
    std::ostringstream out;
    PackageWriter writer(out);
    std::string error;
    if (!writePackage(writer, content, error) || !writer.finish()) return "";
    if (!sign) return out.str();
    auto file = archive::signPackageFile(out.str(), signing_test::developmentKey(), nullptr, &error);
    return file ? *file : "";
}

std::string mediumDir(const std::string& device) {
    return "/media/" + device.substr(device.find_first_not_of('/'));
}

sandbox::Options machine(std::string& image, uint64_t bytes) {
    image = disktest::makeImage(bytes);
    sandbox::Options o = disktest::diskSandbox(image);
    o.console = true;
    o.timeoutMs = 120000;
    o.dirs.push_back("/record");
    o.dirs.push_back("/hooks");
    return o;
}

bool prepareMachine() {
    if (disktest::attachAsSda().empty()) return false;
    // The disk sandbox binds the host's tool there.
    if (umount("/sbin/mke2fs") != 0 || unlink("/sbin/mke2fs") != 0) return false;
    return rename("/sbin/sfdisk", "/sbin/sfdisk.tool") == 0 &&
           sandbox::writeFile("/sbin/sfdisk", kRecordingSfdisk, 0755) &&
           sandbox::writeFile("/sbin/mke2fs", kRecordingMke2fs, 0755);
}

std::string hex(const std::string& bytes) {
    std::string out;
    char two[3];
    for (unsigned char c : bytes) {
        std::snprintf(two, sizeof two, "%02x", c);
        out += two;
    }
    return out;
}

void reportMachine() {
    std::fflush(stdout);
    std::printf("\n[record]\n%s[end]\n[sectors]\n", sandbox::readFile("/record/log").c_str());
    for (int n = 1;; ++n) {
        std::string sector = sandbox::readFile("/record/" + std::to_string(n) + ".sector");
        if (sector.empty()) break;
        std::printf("%d %s\n", n, hex(sector).c_str());
    }
    std::printf("[end]\n[inputs]\n");
    for (int n = 1; n < 10; ++n) {
        std::string input = sandbox::readFile("/record/" + std::to_string(n) + ".input");
        for (char& c : input)
            if (c == '\n') c = ' ';
        if (!input.empty()) std::printf("%d %s\n", n, input.c_str());
    }
    std::printf("[end]\n[first-sector]\n");
    std::string first;
    if (FILE* disk = std::fopen("/dev/sda", "rb")) {
        char sector[512];
        if (std::fread(sector, sizeof sector, 1, disk) == 1) first.assign(sector, sizeof sector);
        std::fclose(disk);
    }
    std::printf("%s\n[end]\n", hex(first).c_str());
    std::printf("[disk]\n");
    // What a failed flow leaves mounted, the start-up code unmounts.
    umount("/flash/boot");
    umount("/flash");
    mkdir("/check", 0755);
    bool mounted = false;
    for (const char* partition : {"/dev/sda2", "/dev/sda1"})
        for (const char* type : {"ext3", "ext2"})
            if (!mounted && mount(partition, "/check", type, MS_RDONLY, nullptr) == 0) mounted = true;
    if (mounted) {
        if (DIR* db = opendir("/check/var/pdb")) {
            while (dirent* e = readdir(db))
                if (e->d_name[0] != '.') std::printf("PACKAGE %s\n", e->d_name);
            closedir(db);
        }
        for (const char* file : {"/CDINSTALL", "/rw/autorun.scr"}) {
            struct stat st;
            if (stat((std::string("/check") + file).c_str(), &st) == 0)
                std::printf("FILE %s %o %lld\n", file, unsigned(st.st_mode & 07777), (long long)st.st_size);
        }
        umount("/check");
    }
    std::printf("[end]\n");
    std::fflush(stdout);
}

std::vector<std::string> section(const std::string& output, const std::string& name) {
    std::vector<std::string> lines;
    size_t at = output.find("[" + name + "]");
    if (at == std::string::npos) return lines;
    size_t end = output.find("[end]", at);
    std::istringstream in(output.substr(at, end - at));
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

}  // namespace flowtest
