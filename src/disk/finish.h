// The end of an installation: the new system's post-install step, the file
// system check, and unmounting. Also the whole-file reader of the local flows.
#pragma once

#include <cstdint>

#include "disk/installer.h"

struct FileImage {
    int32_t size = 0;
    int32_t position = 0;          // the caller's read position
    unsigned char* data = nullptr; // owned by the caller (free())
};

// Runs the installed system's post-install step, syncs, checks a
// single-partition system read-only, and unmounts "/flash".
void finishInstallation(const Installer& installer);

// Reads a whole file into memory; false if it cannot be opened or read, or
// if it ends before the size it had when opened.
bool readWholeFile(FileImage& image, const char* path);
