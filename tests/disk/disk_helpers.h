// Shared pieces of the disk tests: images, a sandbox with loop devices in
// which the loop device is "/dev/sda", and checks made inside the sandbox.
#pragma once

#include <cstdint>
#include <string>

#include "sandbox/sandbox.h"

namespace disktest {

// A sparse image file on the host; "" on failure. The caller unlinks it.
std::string makeImage(uint64_t bytes);

std::string cylpartBinary();

// Loop devices, the image at "/disk.img", cylpart at "/sbin/cylpart" and the
// host's mke2fs at "/sbin/mke2fs".
sandbox::Options diskSandbox(const std::string& image);

// Inside the sandbox: attaches /disk.img, makes "/dev/sda" its node and puts
// a "/sbin/sfdisk" in place that runs cylpart and then makes "/dev/sdaN" for
// the partitions the kernel sees. Also sends tool output to /dev/null.
// Returns the loop device, "" on failure.
std::string attachAsSda();
// The same under another whole-disk name ("/dev/nvme0n1": partitions
// "/dev/nvme0n1p1"...).
std::string attachAs(const std::string& device);

// Runs a shell command inside the sandbox: its exit status.
int shell(const std::string& command);
// Runs a shell command inside the sandbox: its standard output.
std::string capture(const std::string& command);

// Checks made inside a sandbox body print what failed; the body returns the count.
struct Checker {
    int failures = 0;
    bool check(bool ok, const std::string& what);
    bool contains(const std::string& text, const std::string& part, const std::string& what);
};

}  // namespace disktest
