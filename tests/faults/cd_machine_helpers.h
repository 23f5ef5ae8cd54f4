// A machine for the real installer's CD flow in the sandbox: the CD at
// /dev/hdc is a folder of package files (the kernel here may lack iso9660: a
// preloaded library turns that one mount into a read-only bind), the target's
// partitions loop devices at /dev/sda1 and /dev/sda2 (formatted inside the
// sandbox by the installer's own calls of mke2fs), and a partitioning tool
// that shows one disk.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "archive/writer/writer.h"
#include "sandbox/sandbox.h"

namespace cdmachine {

struct PackageFile {
    std::string name;   // file name on the CD, "*.vpk"
    std::string bytes;
};

class Machine {
public:
    // Puts the package files on the CD (false when that failed).
    bool prepare(const std::vector<PackageFile>& packages);
    // A disk of more than 1023 cylinders: boot at /dev/sda1, root at /dev/sda2.
    void useSeparateBoot() { separateBoot_ = true; }
    ~Machine();

    // Starts the installer and answers the menu (all packages), the keep
    // question ("n") and "Continue?" ("y"). False when a step did not come.
    bool startAndChoose();
    sandbox::Sandbox& console() { return *sandbox_; }
    pid_t installerPid() const { return sandbox_->pid(); }
    // Waits until `path` in the installed system exists with more than
    // `bytes` bytes (the child is writing it).
    bool waitForFile(const std::string& path, off_t bytes, int timeoutMs = 60000);
    // The one install child of the installer, or -1.
    pid_t installChild() const;
    bool mounted(const std::string& path) const;

private:
    std::string dir_;
    bool separateBoot_ = false;
    std::unique_ptr<sandbox::Sandbox> sandbox_;
};

bool contains(const std::string& text, const std::string& part);
// `size` bytes of a fixed pseudo-random sequence chosen by `seed`.
std::string randomBytes(size_t size, unsigned seed);
// The package file of `content`, signed with the development key; empty (and
// a test failure) when it cannot be made.
std::string signedPackage(const PackageContent& content);
// A package file signed with the development key, with one file `path` of
// `size` random bytes.
std::string packageWithFile(const std::string& name, const std::string& path, size_t size);
// Host pids whose parent is `parent`.
using sandbox::childrenOf;

}  // namespace cdmachine
