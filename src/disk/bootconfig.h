// The first-stage boot program of the disk's first sector, and the installed
// system's boot loader configuration, file system table and top directories.
#pragma once

#include <cstddef>

#include "disk/installer.h"

constexpr size_t kBootProgramSize = 184;

// Real-mode code that loads the active partition's first sector; assembled
// from bootprogram.S at build time.
extern const unsigned char bootProgram[kBootProgramSize];

// Puts the boot program into the first sector, keeping the partition table
// and the boot signature as they are. The sector it replaced is kept.
bool writeMasterBootRecord(const Installer& installer);

// Writes back the first sector that the last writeMasterBootRecord replaced on
// this disk, for an installation that stops before anything else was changed.
// False if there is none or it cannot be written.
bool restoreMasterBootRecord(const Installer& installer);

enum class BootConfigResult { Ok, LiloFailed, FstabFailed };

// Writes /flash/etc/lilo.conf, /flash/etc/fstab, /flash/.nofsck (with a
// journal) and the system's top-level directories.
BootConfigResult writeBootConfiguration(const Installer& installer);
