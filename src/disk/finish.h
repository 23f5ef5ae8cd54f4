// The end of an installation: the new system's post-install step, the file
// system check, and unmounting. Also the whole-file reader of the local flows.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "disk/installer.h"

struct FileImage {
    int32_t size = 0;
    int32_t position = 0;          // the caller's read position
    unsigned char* data = nullptr; // owned by the caller (free())
};

// Runs the installed system's post-install step, syncs, checks a
// single-partition system read-only, and unmounts "/flash".
void finishInstallation(const Installer& installer);

// The first 16 hex digits (lower case) of the SHA-256 of the raw 32-byte
// package public key the installer trusts: how people tell keys apart.
std::string packageKeyFingerprint();

// The text of the new system's /var/log/install.log: when, with which key,
// onto which layout, how the post-install step (named `step`, its raw wait
// status as runProgram gives it) ended, then what the console showed.
std::string installLogFor(const Installer& installer, time_t when, const char* step, int status);

// Writes installLogFor(...) of now to /flash/var/log/install.log (through the
// install root's resolver). False if it cannot be written.
bool writeInstallLog(const Installer& installer, const char* step, int status);

// Reads a whole file into memory; false if it cannot be opened or read, or
// if it ends before the size it had when opened.
bool readWholeFile(FileImage& image, const char* path);
