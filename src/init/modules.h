// Kernel driver modules, loaded straight from the module tree of the running
// kernel without any module tool.
#pragma once

// Loads "/lib/modules/<release>/<path>". The kernel's result (0, or negative),
// or -1 if the file could not be opened, examined or mapped. A missing file
// is normal and silent.
int loadModule(const char* path);

// Loads every entry of a null-terminated list in order; failures do not stop it.
void loadModules(const char* const* paths);

// File systems, IDE, SCSI, libata, RAID, virtio and NVMe disk drivers,
// dependencies first.
extern const char* const storageModules[];
// USB host controllers, USB keyboards and USB storage.
extern const char* const usbModules[];
