// A machine for the real installer's CD flow in the sandbox: the CD at
// /dev/hdc is a folder of package files (the kernel here may lack iso9660: a
// preloaded library turns that one mount into a read-only bind), the target's
// root partition a loop device at /dev/sda1 (formatted inside the sandbox by
// the installer's own call of mke2fs), and a partitioning tool that shows one
// disk.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

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
    std::unique_ptr<sandbox::Sandbox> sandbox_;
};

bool contains(const std::string& text, const std::string& part);
// A package file signed with the development key, with one file `path` of
// `size` random bytes.
std::string packageWithFile(const std::string& name, const std::string& path, size_t size);
// Host pids whose parent is `parent`.
std::vector<pid_t> childrenOf(pid_t parent);

}  // namespace cdmachine
