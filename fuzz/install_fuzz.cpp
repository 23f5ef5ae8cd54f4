// Arbitrary bytes installed as a package stream into "/flash", a throw-away
// tmpfs of the sandbox: extraction, database and authenticity check. After
// each input nothing may have appeared, changed or gone outside "/flash"; the
// tee holds exactly the bytes read; a single package that failed leaves no
// file, link or node of its own behind. Runs inside the sandbox only.
#include <dirent.h>
#include <ftw.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>

#include "archive/format.h"
#include "pkg/operations.h"
#include "pkg/repository.h"

namespace {

using Listing = std::map<std::string, std::string>;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

// Everything of the sandbox's own tree that an installation could reach: its
// root, "/ram", "/floppy", "/dev", "/tmp"... The kernel's trees, the host
// folders bound read-only and the fuzzer's own folders stay out.
void list(const std::string& dir, Listing& out, bool all) {
    DIR* d = opendir(dir.empty() ? "/" : dir.c_str());
    if (!d) return;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string path = dir + "/" + name;
        if (!all && (path == "/flash" || path == "/proc" || path == "/sys" || path == "/usr" || path == "/etc" ||
                     path == "/out" || path == "/seeds"))
            continue;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) continue;
        char link[256] = {};
        if (S_ISLNK(st.st_mode) && readlink(path.c_str(), link, sizeof link - 1) < 0) link[0] = 0;
        out[path] = std::to_string(st.st_mode) + " " + std::to_string(st.st_size) + " " +
                    std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + " " + link;
        if (S_ISDIR(st.st_mode)) list(path, out, all);
    }
    closedir(d);
}

int removeOne(const char* path, const struct stat*, int, FTW*) {
    ::remove(path);
    return 0;
}

void emptyFlash() {
    DIR* d = opendir("/flash");
    if (!d) std::abort();
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        nftw(("/flash/" + name).c_str(), removeOne, 16, FTW_DEPTH | FTW_PHYS);
    }
    closedir(d);
}

// The kernel's switches stay out of reach: an escape from "/flash" is what
// this target hunts for, and it must not be able to reboot the host or change
// its settings on the way.
void protectKernelFiles() {
    for (const char* path : {"/proc/sysrq-trigger", "/proc/sys", "/sys"}) {
        if (::access(path, F_OK) != 0) continue;
        if (::mount(path, path, nullptr, MS_BIND | MS_REC, nullptr) != 0 ||
            ::mount(nullptr, path, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
            std::fprintf(stderr, "could not make %s read-only\n", path);
            std::exit(2);
        }
    }
}

const Listing& baseline() {
    static Listing before = [] {
        if (::access("/flash", W_OK) != 0 || getpid() != 1) {
            std::fprintf(stderr, "install fuzzing writes /flash: run it in the sandbox\n");
            std::exit(2);
        }
        protectKernelFiles();
        Listing l;
        list("", l, false);
        return l;
    }();
    return before;
}

// True when the input's first part is a plain package's Header (not a bundle).
bool isSinglePackage(const uint8_t* data, size_t size) {
    return size >= kFileHeaderSize + kPartHeaderSize && readLe16(data + kFileHeaderSize) == PartType::Header;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Listing& before = baseline();
    emptyFlash();
    Repository& repository = theRepository();
    repository.packages.clear();
    repository.progressLine.clear();
    repository.quiet = true;

    const std::string input(reinterpret_cast<const char*>(data), size);
    std::istringstream in(input);
    std::stringbuf tee;
    std::string imageDir;
    const int result = installFromStream(in, kPermitUpgrade, &tee, imageDir);

    Listing after;
    list("", after, false);
    if (after != before) {
        for (const auto& [path, what] : after) {
            auto old = before.find(path);
            if (old == before.end() || old->second != what)
                std::fprintf(stderr, "outside the root: %s (%s)\n", path.c_str(), what.c_str());
        }
        for (const auto& [path, what] : before)
            if (!after.count(path)) std::fprintf(stderr, "gone outside the root: %s\n", path.c_str());
        fail("the installation changed something outside /flash");
    }
    const std::string copied = tee.str();
    if (copied.size() > input.size() || input.compare(0, copied.size(), copied) != 0)
        fail("the tee is not the bytes read");

    if (result != kInstalled && isSinglePackage(data, size)) {
        // Directories are not recorded and may stay; nothing else may.
        Listing flash;
        list("/flash", flash, true);
        for (const auto& [path, what] : flash) {
            if (!S_ISDIR(std::strtoul(what.c_str(), nullptr, 10))) {
                std::fprintf(stderr, "left behind: %s (%s)\n", path.c_str(), what.c_str());
                fail("a failed package left something in /flash");
            }
        }
    }
    return 0;
}
