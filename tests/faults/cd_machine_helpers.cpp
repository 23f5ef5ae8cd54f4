#include "cd_machine_helpers.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "archive/signed_package_helpers.h"
#include "archive/writer/writer.h"

namespace cdmachine {
namespace {

// Shows one disk to every question; takes and drops a partition script.
std::string sfdisk(int cylinders) {
    return "#!/bin/sh\n"
           "case \" $* \" in *' -q '*) cat >/dev/null; exit 0 ;; esac\n"
           "echo '/dev/sda: " + std::to_string(cylinders) + " cylinders, 255 heads, 63 sectors/track'\n";
}
// Formats the loop devices behind /dev/sda1 and /dev/sda2, inside the sandbox.
const char kMke2fs[] = "#!/bin/sh\nexec /usr/sbin/mke2fs -q -F \"$@\"\n";

int runQuietly(const std::vector<std::string>& argv) {
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = -1;
    if (pid > 0) waitpid(pid, &status, 0);
    return status;
}

// Attaches an image and keeps a descriptor of it open across exec: the loop
// device clears itself when its last user lets go.
std::string attachHeld(const std::string& image) {
    std::string device = sandbox::attachLoop(image);
    if (!device.empty() && open(device.c_str(), O_RDONLY) < 0) return "";
    return device;
}

}  // namespace

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string randomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = char(random());
    return bytes;
}

std::string signedPackage(const PackageContent& content) {
    std::ostringstream out;
    PackageWriter writer(out);
    std::string error;
    EXPECT_TRUE(writePackage(writer, content, error)) << error;
    EXPECT_TRUE(writer.finish());
    auto file = archive::signPackageFile(out.str(), signing_test::developmentKey(), nullptr, &error);
    EXPECT_TRUE(file) << error;
    return file ? *file : std::string();
}

std::string packageWithFile(const std::string& name, const std::string& path, size_t size) {
    PackageContent p;
    p.name = name;
    p.version = 0x01000066;
    p.buildTime = 1700000000;
    p.description = "a package of the fault tests";
    p.dependencies = std::vector<DependencyEntry>{};
    p.files = std::vector<FileEntry>{regularEntry(path, randomBytes(size, size))};
    return signedPackage(p);
}

bool Machine::prepare(const std::vector<PackageFile>& packages) {
    char tmpl[] = "/tmp/cd-machine.XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    dir_ = tmpl;
    if (mkdir((dir_ + "/cd").c_str(), 0755) != 0) return false;
    for (const PackageFile& p : packages)
        if (!sandbox::writeFile(dir_ + "/cd/" + p.name, p.bytes)) return false;
    for (const char* image : {"/first.img", "/second.img"}) {
        int fd = open((dir_ + image).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) return false;
        bool sized = ftruncate(fd, 64 << 20) == 0;
        close(fd);
        if (!sized) return false;
    }
    return true;
}

Machine::~Machine() {
    sandbox_.reset();
    if (dir_.empty()) return;
    runQuietly({"rm", "-rf", dir_});
}

bool Machine::startAndChoose() {
    sandbox::Options o;
    o.console = true;
    o.loopDevices = true;
    o.newNetwork = false;
    // /flash and /floppy are plain folders, so that a mount left there shows.
    o.systemTmpfs = false;
    o.timeoutMs = 180000;
    o.binds.push_back({INSTALLER_BINARY, "/installer", true});
    o.binds.push_back({dir_ + "/cd", "/media/cd", true});
    o.binds.push_back({FAKE_CDROM_LIBRARY, "/media/fake_cdrom.so", true});
    o.binds.push_back({dir_ + "/first.img", "/media/first.img", false});
    o.binds.push_back({dir_ + "/second.img", "/media/second.img", false});
    o.files.push_back({"/dev/tty0", ""});
    o.files.push_back({"/dev/sda", std::string(1 << 16, '\0')});  // the disk's first sectors
    o.files.push_back({"/TYPE", "cdrom\n"});
    // More than 1023 cylinders: a boot partition of its own.
    o.files.push_back({"/sbin/sfdisk", sfdisk(separateBoot_ ? 1100 : 100), 0755});
    o.files.push_back({"/sbin/mke2fs", kMke2fs, 0755});
    sandbox_ = std::make_unique<sandbox::Sandbox>(o);
    bool started = sandbox_->start([] {
        for (const char* partition : {"1", "2"}) {
            std::string image = std::string("/media/") + (partition[0] == '1' ? "first" : "second") + ".img";
            std::string device = attachHeld(image);
            if (device.empty()) return 100;
            if (symlink(device.c_str(), (std::string("/dev/sda") + partition).c_str()) != 0) return 101;
        }
        char name[] = "/installer";
        char* argv[] = {name, nullptr};
        char path[] = "PATH=/sbin:/usr/sbin:/usr/bin:/bin";
        char term[] = "TERM=linux";
        char preload[] = "LD_PRELOAD=/media/fake_cdrom.so";
        char cdDir[] = "FAKE_CDROM_DIR=/media/cd";
        char cdDevice[] = "FAKE_CDROM_DEVICE=/dev/hdc";
        // The preloaded library comes before the sanitizer's runtime, if any.
        char asan[] = "ASAN_OPTIONS=verify_asan_link_order=0";
        char* env[] = {path, term, preload, cdDir, cdDevice, asan, nullptr};
        execve(argv[0], argv, env);
        return 127;
    });
    if (!started) return false;
    sandbox::Sandbox& s = *sandbox_;
    // The menu is drawn and waits for keys once its details line is there.
    if (!s.waitFor("depends on", 60000)) {
        if (s.finished()) {
            sandbox::Result r = s.wait(1000);
            std::fprintf(stderr, "the machine ended early: status %d, signal %d\n%s\n", r.exitStatus, r.signal,
                         r.output.c_str());
        }
        return false;
    }
    s.drain(300);
    s.send("a");
    s.drain(200);
    s.send("i");
    if (!s.waitFor("keep old configuration?", 20000)) return false;
    s.send("n");
    if (!s.waitFor("Continue?", 20000)) return false;
    s.send("y");
    return true;
}

bool Machine::waitForFile(const std::string& path, off_t bytes, int timeoutMs) {
    const std::string full = "/proc/" + std::to_string(installerPid()) + "/root/flash" + path;
    for (int waited = 0; waited < timeoutMs; waited += 2) {
        struct stat st;
        if (stat(full.c_str(), &st) == 0 && st.st_size > bytes) return true;
        if (sandbox_->finished()) return false;
        sandbox_->drain(2);
    }
    return false;
}

pid_t Machine::installChild() const {
    std::vector<pid_t> children = childrenOf(installerPid());
    return children.size() == 1 ? children[0] : -1;
}

bool Machine::mounted(const std::string& path) const {
    return contains(sandbox::readFile("/proc/" + std::to_string(installerPid()) + "/mounts"), " " + path + " ");
}

}  // namespace cdmachine
