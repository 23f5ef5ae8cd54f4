// The one place where a path named by a package becomes a file system call.
//
// A package names paths relative to the installed system's root ("/flash" on
// the target, the working directory in a driver installation). Whatever the
// names and whatever symbolic links lie on the way (made by the package itself
// or already on the disk), nothing outside that root may be created, changed
// or removed: every path is resolved as a chroot into the root would see it,
// absolute link targets and ".." included.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

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

// True if some "/"-separated component of the path is "..".
bool hasDotDotComponent(std::string_view path);

// An open directory that stands for "/" to every path handed to it. Paths may
// begin with "/" or not; "." and empty components are ignored.
class InstallRoot {
public:
    explicit InstallRoot(const std::string& directory);
    ~InstallRoot();
    InstallRoot(const InstallRoot&) = delete;
    InstallRoot& operator=(const InstallRoot&) = delete;

    bool valid() const { return rootFd_ >= 0; }
    int fd() const { return rootFd_; }

    // Opens `path` resolved inside the root (symbolic links followed as a
    // chroot would). -1 with errno set on failure.
    int open(std::string_view path, int flags, mode_t mode = 0) const;

    // Opens the directory that holds the last component of `path` (O_PATH),
    // creating missing directories on the way with mode 0770 when
    // `createMissing`; `last` receives the last component ("" when the path
    // names the root itself). -1 with errno set on failure. The descriptor is
    // the caller's to close.
    int openParent(std::string_view path, bool createMissing, std::string& last) const;
    // The same in two steps: `split` gives the parent's path (components
    // joined by "/", "." for the root) and the last component; `openDirectory`
    // opens such a parent.
    static void split(std::string_view path, std::string& parent, std::string& last);
    int openDirectory(std::string_view path, bool createMissing) const;

    // Creates every missing directory of `path`, the last component included
    // (mode 0770, umask applies). With `noLinks` a symbolic link anywhere on
    // the way is refused (ELOOP) instead of followed. False with errno set.
    bool makeDirectories(std::string_view path, bool noLinks = false) const;

    // stat() of the path as seen inside the root (the last link followed).
    bool stat(std::string_view path, struct stat& info) const;
    // lstat() of the path: the last component itself, not followed.
    bool lstat(std::string_view path, struct stat& info) const;
    // unlink() of the last component (a link is removed, not followed).
    bool remove(std::string_view path) const;
    // rmdir() of the last component.
    bool removeDirectory(std::string_view path) const;

private:
    int rootFd_ = -1;
};

// Deletes `path` inside `root`; errors are ignored (uninstalling goes on).
void removeInRoot(const std::string& root, std::string_view path);
