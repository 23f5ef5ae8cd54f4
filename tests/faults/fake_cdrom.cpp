// Preloaded into the installer by the CD flow tests: the sandbox's kernel may
// have no iso9660 driver, so a mount of the CD device as "iso9660" binds the
// directory $FAKE_CDROM_DIR in its place, read-only. Every other mount goes
// to the kernel unchanged.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>

extern "C" int mount(const char* source, const char* target, const char* type, unsigned long flags,
                     const void* data) {
    const char* dir = getenv("FAKE_CDROM_DIR");
    const char* device = getenv("FAKE_CDROM_DEVICE");
    if (dir && device && source && type && strcmp(type, "iso9660") == 0 && strcmp(source, device) == 0) {
        if (syscall(SYS_mount, dir, target, nullptr, MS_BIND, nullptr) != 0) return -1;
        return int(syscall(SYS_mount, nullptr, target, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr));
    }
    return int(syscall(SYS_mount, source, target, type, flags, data));
}
