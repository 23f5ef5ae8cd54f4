// The entries of a package's Files part. The paths they name become file
// system calls only through the install root of archive/rootfs.h.
#pragma once

#include <cstdint>

#include "archive/rootfs.h"

// The entry header of a Files part, decoded.
struct FileEntryHeader {
    uint16_t mode = 0;
    uint16_t uid = 0;
    uint16_t gid = 0;
    uint32_t mtime = 0;
    bool skip = false;
    uint32_t dataLength = 0;
    uint16_t nameLength = 0;

    unsigned type() const { return mode >> 12; }
};

// Decodes the 30 bytes of an entry header.
FileEntryHeader decodeEntryHeader(const uint8_t* bytes);
