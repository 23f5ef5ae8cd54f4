#include "disk/finish.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "init/process.h"

void finishInstallation(const Installer& installer) {
    struct stat st;
    if (stat("/flash/etc/rc.d/rc.postinstall", &st) == 0)
        runProgram("/flash", "/bin/bash", {"-c", "/etc/rc.d/rc.postinstall"});
    else
        runProgram("/flash", "/bin/brio", {"brio"});
    sync();
    umount("/flash/boot");
    // A single-partition root is checked once while it cannot change; the
    // source is not used by a remount.
    if (!installer.disk.separateBoot &&
        mount("/dev/hda1", "/flash", "ext3", MS_REMOUNT | MS_RDONLY, nullptr) == 0) {
        startProgress("Checking disk integrity...");
        runProgram("/flash", "/sbin/fsck", {"-d", "-v"});
        stopProgress();
    }
    umount("/flash");
}

bool readWholeFile(FileImage& image, const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size > INT32_MAX) {
        close(fd);
        return false;
    }
    image.size = int32_t(st.st_size);
    if (image.size == 0) {
        close(fd);
        return true;
    }
    image.data = static_cast<unsigned char*>(std::malloc(image.size));
    if (!image.data) {
        close(fd);
        return false;
    }
    int32_t done = 0;
    while (done < image.size) {
        ssize_t n = read(fd, image.data + done, size_t(image.size - done));
        if (n < 0 && errno == EINTR) continue;
        // A file that shrank since fstat would leave the rest of the buffer
        // unset; that is not the whole file.
        if (n <= 0) {
            close(fd);
            return false;
        }
        done += int32_t(n);
    }
    close(fd);
    return true;
}
