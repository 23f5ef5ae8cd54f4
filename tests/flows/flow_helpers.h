// A machine for running the local installation flows in the sandbox: a real
// loop disk as "/dev/sda", the built partitioning tool and the host's mke2fs
// behind wrappers that record every run, install medium contents standing in
// for a CD or a FAT medium, and signed package files.
#pragma once

#include <string>
#include <vector>

#include "sandbox/sandbox.h"

namespace flowtest {

// The bytes of a package file: version 1.0, the dependencies, one file of
// `payloadBytes` incompressible bytes; signed with the development key
// unless `sign` is false.
std::string packageFile(const std::string& name, const std::vector<std::string>& depends = {},
                        size_t payloadBytes = 100, bool sign = true);

// The kernel this runs on has neither a CD nor a FAT file system, so a medium
// is a directory of the sandbox: "/media" followed by the device path
// ("/media/dev/hdc/"). Mounting that device as "iso9660" or "vfat" binds the
// directory (read-only when asked); every other mount is the real one.
std::string mediumDir(const std::string& device);

// A sandbox with a console, loop devices and a blank disk image of `bytes`
// (the caller unlinks `image`).
sandbox::Options machine(std::string& image, uint64_t bytes = 64 << 20);

// Inside the sandbox: the disk as "/dev/sda"; "/sbin/sfdisk" and "/sbin/mke2fs"
// wrappers that append "sfdisk ARGS" / "mke2fs ARGS" to "/record/log" and keep,
// for sfdisk run N, the disk's first sector at the time ("/record/N.sector")
// and its input ("/record/N.input"). After each format "/hooks/formatted" runs
// if it is there (a test's way to change the world between the menu and the
// feeding). Returns false if the disk could not be attached.
bool prepareMachine();

// Inside the sandbox, after a flow: prints sections for the host side to read
// with `section`: "record" (the log), "sectors" ("N HEX" for each sfdisk run),
// "inputs" ("N SCRIPT" with newlines as spaces), "first-sector" (HEX, now) and
// "disk" ("PACKAGE name" for each package in the database of the installed
// system, "FILE path mode size" for its marker files).
void reportMachine();

// Bytes as lower-case hex digits (how the report shows sectors).
std::string hex(const std::string& bytes);

// The lines of the named section of a sandbox's output ("" lines removed).
std::vector<std::string> section(const std::string& output, const std::string& name);

}  // namespace flowtest
