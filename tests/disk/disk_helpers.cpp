#include "disk_helpers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "init/globals.h"
#include "sandbox/sandbox.h"

namespace disktest {

std::string makeImage(uint64_t bytes) {
    char name[] = "/tmp/disk-image.XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) return "";
    bool ok = ftruncate(fd, off_t(bytes)) == 0;
    close(fd);
    if (!ok) {
        unlink(name);
        return "";
    }
    return name;
}

sandbox::Options diskSandbox(const std::string& image) {
    sandbox::Options o;
    o.loopDevices = true;
    o.newNetwork = false;
    o.timeoutMs = 240000;
    o.binds.push_back({image, "/disk.img", false});
    o.binds.push_back({cylpartBinary(), "/sbin/cylpart", true});
    o.binds.push_back({"/usr/sbin/mke2fs", "/sbin/mke2fs", true});
    return o;
}

std::string cylpartBinary() { return std::string(BUILD_DIR) + "/tools/cylpart/cylpart"; }

std::string attachAsSda() { return attachAs("/dev/sda"); }

std::string attachAs(const std::string& device) {
    std::strcpy(logDevice, "/dev/null");
    std::string loop = sandbox::attachLoop("/disk.img");
    if (loop.empty()) return "";
    struct stat st;
    if (stat(loop.c_str(), &st) != 0) return "";
    unlink(device.c_str());
    if (mknod(device.c_str(), S_IFBLK | 0660, st.st_rdev) != 0) return "";
    // The installer names partitions "/dev/sda1"...; the kernel names them
    // after the loop device. The tool the installer runs as /sbin/sfdisk
    // therefore gives the kernel's partitions those names after each run.
    std::string name = loop.substr(loop.rfind('/') + 1);
    bool digit = device.back() >= '0' && device.back() <= '9';
    std::string stem = device + (digit ? "p" : "");
    std::string script =
        "#!/bin/sh\n"
        "/sbin/cylpart \"$@\"\n"
        "rc=$?\n"
        "for n in 1 2 3 4; do\n"
        "  rm -f " + stem + "$n\n"
        "  f=/sys/class/block/" + name + "p$n/dev\n"
        "  if [ -r $f ]; then mknod " + stem + "$n b $(tr : ' ' < $f); fi\n"
        "done\n"
        "exit $rc\n";
    if (!sandbox::writeFile("/sbin/sfdisk", script, 0755)) return "";
    return loop;
}

int shell(const std::string& command) {
    std::fflush(stdout);
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string capture(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
    pclose(p);
    return out;
}

bool Checker::check(bool ok, const std::string& what) {
    if (!ok) {
        std::printf("FAILED CHECK: %s\n", what.c_str());
        std::fflush(stdout);
        failures++;
    }
    return ok;
}

bool Checker::contains(const std::string& text, const std::string& part, const std::string& what) {
    return check(text.find(part) != std::string::npos, what + ": no \"" + part + "\" in:\n" + text);
}

}  // namespace disktest
