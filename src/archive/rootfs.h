// The one place where a path under an install root becomes a file system call.
//
// The installed system lives under a root ("/flash" on the target, the working
// directory in a driver installation, "/ram" for the schedule files). Packages
// name paths in it and may plant symbolic links in it; whatever the names and
// whatever links lie on the way, nothing outside the root may be created,
// changed, read for the package manager's own records, or removed. Every
// access under a root goes through InstallRoot:
// - package files (extraction, uninstallation) are resolved as a chroot into
//   the root would see them: links are followed, absolute targets and ".."
//   stay inside (open, openParent, openDirectory, makeDirectories, remove);
// - the package manager's own records (database entries, scripts, schedule
//   files, the image, the clean-up of a failed package) are reached with no
//   symbolic link anywhere on the way (the *NoLinks calls): a link there is
//   damage, never a way elsewhere.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>

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
    // chroot would). Unless a directory is asked for (O_DIRECTORY, O_PATH)
    // only a regular file, or a new one, is opened, as by openNoLinks. -1
    // with errno set on failure.
    int open(std::string_view path, int flags, mode_t mode = 0) const;

    // Opens `path` with no symbolic link anywhere on the way, the last
    // component included (ELOOP), and ".." kept inside the root. `flags` are
    // open(2)'s and keep their meaning: O_CREAT | O_EXCL creates a new file
    // only, O_TRUNC empties an existing one. Never follows a link, so it is
    // the call for writing a file that the system itself owns (a database
    // file, a script, a configuration script under "/flash"). Unless a
    // directory is asked for (O_DIRECTORY, O_PATH) only a regular file, or a
    // new one, is opened: any other node there is never opened itself (a
    // FIFO, a device node, a socket: EINVAL; a directory: EISDIR). -1 with
    // errno.
    int openNoLinks(std::string_view path, int flags, mode_t mode = 0) const;

    // Opens the directory that holds the last component of `path` (O_PATH),
    // creating missing directories on the way with mode 0770 when
    // `createMissing`; `last` receives the last component ("" when the path
    // names the root itself). -1 with errno set on failure. The descriptor is
    // the caller's to close. With `noLinks` no link is followed on the way.
    int openParent(std::string_view path, bool createMissing, std::string& last, bool noLinks = false) const;
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

    // The same with no link followed on the way to the last component (which
    // itself is never followed): a link is removed as what it is.
    bool removeNoLinks(std::string_view path) const;
    bool removeDirectoryNoLinks(std::string_view path) const;

    // Writes a whole file with no link on the way (created with `mode` before
    // the umask, or emptied first); with `exclusive` an existing file is
    // EEXIST; any other node than a regular file is refused as by
    // openNoLinks. 0 on success, otherwise the system error.
    int writeFileNoLinks(std::string_view path, std::string_view content, mode_t mode = 0666,
                         bool exclusive = false) const;
    // Reads a whole regular file with no link on the way. 0 on success,
    // otherwise the system error (ENOENT: there is none; ELOOP: a link is
    // there; EINVAL: not a regular file).
    int readFileNoLinks(std::string_view path, std::string& content) const;

    // Renames `from` to `to` (both inside the root, no link on the way,
    // neither last component followed); with `noReplace` an existing `to` is
    // EEXIST. False with errno set.
    bool renameNoLinks(std::string_view from, std::string_view to, bool noReplace) const;
    // Renames the last component of `path` (its directory resolved as a
    // chroot would, the component itself never followed) to `newName` in the
    // same directory; with `noReplace` an existing `newName` is EEXIST.
    bool renameInDirectory(std::string_view path, const std::string& newName, bool noReplace) const;
    // Makes `to` a hard link of `from` (no link followed on either way).
    bool linkNoLinks(std::string_view from, std::string_view to) const;

    // Removes the directory `path` and every directory below it that is (or
    // becomes) empty, deepest first; what holds anything else stays. Never
    // follows a link, at `path` itself or below it.
    void removeEmptyDirectories(std::string_view path) const;

private:
    // Runs `act` on the open parent directory of `path` (resolved as a chroot
    // would) and its last component; false when the parent cannot be opened.
    bool atParent(std::string_view path, const std::function<bool(int, const std::string&)>& act) const;

    int rootFd_ = -1;
};

// The directory of consecutive paths inside a root, resolved once for them
// (entries written or set aside one after another mostly share it).
class DirectoryCache {
public:
    DirectoryCache(const InstallRoot& root, bool createMissing) : root_(root), create_(createMissing) {}
    ~DirectoryCache() { forget(); }
    DirectoryCache(const DirectoryCache&) = delete;
    DirectoryCache& operator=(const DirectoryCache&) = delete;
    // The directory `path` as InstallRoot::openDirectory gives it; -1 with
    // errno set when it cannot be made or opened. The cache keeps it.
    int get(const std::string& path);
    // Links made or removed may change where a path leads.
    void forget();

private:
    const InstallRoot& root_;
    bool create_;
    std::string path_;
    int fd_ = -1;
};

// The same file operations on a directory that was opened through an
// InstallRoot (for example a database entry): `name` is one component, never
// followed when it is a link, never opened unless it is a regular file.
// Results as above.
int writeFileAt(int dirFd, const char* name, std::string_view content, mode_t mode = 0666, bool exclusive = false);
int readFileAt(int dirFd, const char* name, std::string& content);

// Deletes `path` inside `root`; errors are ignored (uninstalling goes on).
void removeInRoot(const std::string& root, std::string_view path);
