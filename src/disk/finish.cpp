#include "disk/finish.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "archive/extract.h"
#include "archive/keys.h"
#include "archive/trustfile.h"
#include "init/installlog.h"
#include "init/process.h"

std::string packageKeyFingerprint() { return archive::keyFingerprint(archive::packagePublicKey); }

std::string installLogFor(const Installer& installer, time_t when, const char* step, int status) {
    char line[160];
    std::string text;
    struct tm utc {};
    gmtime_r(&when, &utc);
    std::strftime(line, sizeof line, "installed: %Y-%m-%d %H:%M:%S UTC\n", &utc);
    text += line;
    text += "package key: " + packageKeyFingerprint() + "\n";
    const DiskEntry& disk = installer.disk;
    std::snprintf(line, sizeof line, "disk: %s, %u cylinders, %s\n", disk.device, disk.cylinders,
                  disk.separateBoot ? "boot partition 1, root partition 2" : "one partition");
    text += line;
    if (status == -1)
        std::snprintf(line, sizeof line, "post-install step %s: could not be started\n", step);
    else if (WIFEXITED(status))
        std::snprintf(line, sizeof line, "post-install step %s: exit status %d\n", step, WEXITSTATUS(status));
    else
        std::snprintf(line, sizeof line, "post-install step %s: ended by signal %d\n", step,
                      WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    text += line;
    text += "---- what the installer showed\n";
    text += installLogText();
    return text;
}

bool writeInstallLog(const Installer& installer, const char* step, int status) {
    std::string text = installLogFor(installer, time(nullptr), step, status);
    InstallRoot root("/flash");
    if (!root.valid() || !root.makeDirectories("/var/log")) return false;
    int fd = root.open("/var/log/install.log", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += size_t(n);
    }
    fchmod(fd, 0644);
    return close(fd) == 0 && done == text.size();
}

void finishInstallation(const Installer& installer) {
    struct stat st;
    // The step's status changes nothing here; the install log keeps it, so
    // that a system which does not boot tells why.
    int status;
    const char* step;
    if (stat("/flash/etc/rc.d/rc.postinstall", &st) == 0) {
        step = "/etc/rc.d/rc.postinstall";
        status = runProgram("/flash", "/bin/bash", {"-c", "/etc/rc.d/rc.postinstall"});
    } else {
        step = "/bin/brio";
        status = runProgram("/flash", "/bin/brio", {"brio"});
    }
    if (!writeInstallLog(installer, step, status)) std::puts("WARNING: could not write /var/log/install.log");
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
