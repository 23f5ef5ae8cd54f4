#include "archive/rootfs.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

bool hasDotDotComponent(std::string_view path) {
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        if (path.substr(start, end - start) == "..")
            return true;
        start = end + 1;
    }
    return false;
}

namespace {

// The components of a path, without empty and "." ones.
std::vector<std::string_view> components(std::string_view path) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        std::string_view part = path.substr(start, end - start);
        if (!part.empty() && part != ".")
            parts.push_back(part);
        start = end + 1;
    }
    return parts;
}

std::string join(const std::vector<std::string_view>& parts, size_t count) {
    std::string path;
    for (size_t i = 0; i < count; ++i) {
        if (i)
            path += '/';
        path += parts[i];
    }
    return path.empty() ? std::string(".") : path;
}

bool openat2Missing = false;

// Without openat2 (kernels before 5.6): walk component by component and
// refuse every symbolic link on the way; refusing is safe, only less kind.
int walkWithoutLinks(int rootFd, const std::vector<std::string_view>& parts, int flags, mode_t mode) {
    int current = ::openat(rootFd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (current < 0)
        return -1;
    for (size_t i = 0; i < parts.size(); ++i) {
        std::string part(parts[i]);
        if (part == "..") {
            ::close(current);
            errno = EXDEV;
            return -1;
        }
        bool last = i + 1 == parts.size();
        int next = last ? ::openat(current, part.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode)
                        : ::openat(current, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int error = errno;
        ::close(current);
        if (next < 0) {
            errno = error;
            return -1;
        }
        current = next;
    }
    if (parts.empty()) {
        int fd = ::openat(current, ".", flags | O_CLOEXEC, mode);
        int error = errno;
        ::close(current);
        errno = error;
        return fd;
    }
    return current;
}

int resolve(int rootFd, const std::vector<std::string_view>& parts, size_t count, int flags, mode_t mode,
            bool noLinks) {
    if (!openat2Missing) {
        std::string path = join(parts, count);
        open_how how{};
        how.flags = uint64_t(flags | O_CLOEXEC);
        how.mode = (flags & (O_CREAT | O_TMPFILE)) ? mode : 0;
        how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS | (noLinks ? RESOLVE_NO_SYMLINKS : 0);
        int fd;
        do
            fd = int(::syscall(SYS_openat2, rootFd, path.c_str(), &how, sizeof how));
        while (fd < 0 && errno == EAGAIN);
        if (fd >= 0 || errno != ENOSYS)
            return fd;
        openat2Missing = true;
    }
    std::vector<std::string_view> prefix(parts.begin(), parts.begin() + long(count));
    return walkWithoutLinks(rootFd, prefix, flags, mode);
}

constexpr int kDirectoryPath = O_PATH | O_DIRECTORY;

int notRegularError(const struct stat& info) {
    if (S_ISLNK(info.st_mode))
        return ELOOP;
    if (S_ISDIR(info.st_mode))
        return EISDIR;
    return EINVAL;
}

// Opens a file of the system's own (a record, a script, a marker): only a
// regular file, or a new one, is accepted. A FIFO would hold the open, or the
// writes, until someone reads it; a device node would take the data onto the
// device, and some devices act on being opened at all; a directory or a
// socket is no file. So the node is looked at first through an O_PATH
// descriptor, which opens nothing; the open itself then cannot block
// (O_NONBLOCK, cleared again afterwards) and what it opened is checked once
// more, in case the name changed in between. `open` opens the one name with
// the flags it is given; the last link is followed only with `follow`. -1
// with errno: ELOOP for a link, EISDIR for a directory, EINVAL for any other
// node.
template <typename Open>
int openRegular(int flags, Open open, bool follow = false) {
    struct stat info;
    const int noFollow = follow ? 0 : O_NOFOLLOW;
    const bool newOnly = (flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL);
    if (!newOnly) {
        int probe = open(O_PATH | noFollow);
        if (probe < 0) {
            if (errno != ENOENT || !(flags & O_CREAT))
                return -1;
        } else {
            int error = ::fstat(probe, &info) != 0 ? errno : S_ISREG(info.st_mode) ? 0 : notRegularError(info);
            ::close(probe);
            if (error) {
                errno = error;
                return -1;
            }
        }
    }
    int fd = open(flags | noFollow | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return -1;
    int error = ::fstat(fd, &info) != 0 ? errno : S_ISREG(info.st_mode) ? 0 : notRegularError(info);
    if (!error && !(flags & O_NONBLOCK)) {
        int now = ::fcntl(fd, F_GETFL);
        if (now < 0 || ::fcntl(fd, F_SETFL, now & ~O_NONBLOCK) != 0)
            error = errno;
    }
    if (error) {
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// Opens the directory of the first `count` components, creating what is
// missing from the top down.
int openCreating(int rootFd, const std::vector<std::string_view>& parts, size_t count, bool noLinks) {
    int fd = resolve(rootFd, parts, count, kDirectoryPath, 0, noLinks);
    if (fd >= 0 || errno != ENOENT)
        return fd;
    int current = ::openat(rootFd, ".", kDirectoryPath | O_CLOEXEC);
    for (size_t i = 0; current >= 0 && i < count; ++i) {
        std::string part(parts[i]);
        if (::mkdirat(current, part.c_str(), 0770) != 0 && errno != EEXIST) {
            int error = errno;
            ::close(current);
            errno = error;
            return -1;
        }
        ::close(current);
        current = resolve(rootFd, parts, i + 1, kDirectoryPath, 0, noLinks);
    }
    return current;
}

}  // namespace

InstallRoot::InstallRoot(const std::string& directory) {
    rootFd_ = ::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

InstallRoot::~InstallRoot() {
    if (rootFd_ >= 0)
        ::close(rootFd_);
}

int InstallRoot::open(std::string_view path, int flags, mode_t mode) const {
    auto parts = components(path);
    if (flags & (O_PATH | O_DIRECTORY))
        return resolve(rootFd_, parts, parts.size(), flags, mode, false);
    return openRegular(flags, [&](int how) { return resolve(rootFd_, parts, parts.size(), how, mode, false); },
                       !(flags & O_NOFOLLOW));
}

int InstallRoot::openParent(std::string_view path, bool createMissing, std::string& last, bool noLinks) const {
    auto parts = components(path);
    if (parts.empty()) {
        last.clear();
        return ::openat(rootFd_, ".", kDirectoryPath | O_CLOEXEC);
    }
    last.assign(parts.back());
    if (createMissing)
        return openCreating(rootFd_, parts, parts.size() - 1, noLinks);
    return resolve(rootFd_, parts, parts.size() - 1, kDirectoryPath, 0, noLinks);
}

int InstallRoot::openNoLinks(std::string_view path, int flags, mode_t mode) const {
    auto parts = components(path);
    if (flags & (O_PATH | O_DIRECTORY))
        return resolve(rootFd_, parts, parts.size(), flags | O_NOFOLLOW, mode, true);
    return openRegular(flags, [&](int how) { return resolve(rootFd_, parts, parts.size(), how, mode, true); });
}

void InstallRoot::split(std::string_view path, std::string& parent, std::string& last) {
    auto parts = components(path);
    if (parts.empty()) {
        parent = ".";
        last.clear();
        return;
    }
    last.assign(parts.back());
    parent = join(parts, parts.size() - 1);
}

int InstallRoot::openDirectory(std::string_view path, bool createMissing) const {
    auto parts = components(path);
    if (createMissing)
        return openCreating(rootFd_, parts, parts.size(), false);
    return resolve(rootFd_, parts, parts.size(), kDirectoryPath, 0, false);
}

bool InstallRoot::makeDirectories(std::string_view path, bool noLinks) const {
    auto parts = components(path);
    int fd = openCreating(rootFd_, parts, parts.size(), noLinks);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

bool InstallRoot::stat(std::string_view path, struct stat& info) const {
    int fd = open(path, O_PATH);
    if (fd < 0)
        return false;
    bool ok = ::fstat(fd, &info) == 0;
    ::close(fd);
    return ok;
}

bool InstallRoot::atParent(std::string_view path, const std::function<bool(int, const std::string&)>& act) const {
    std::string last;
    int parent = openParent(path, false, last);
    if (parent < 0)
        return false;
    bool ok = act(parent, last);
    ::close(parent);
    return ok;
}

bool InstallRoot::lstat(std::string_view path, struct stat& info) const {
    return atParent(path, [&](int parent, const std::string& last) {
        return ::fstatat(parent, last.empty() ? "." : last.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
    });
}

bool InstallRoot::remove(std::string_view path) const {
    return atParent(path, [](int parent, const std::string& last) {
        return !last.empty() && ::unlinkat(parent, last.c_str(), 0) == 0;
    });
}

bool InstallRoot::removeDirectory(std::string_view path) const {
    return atParent(path, [](int parent, const std::string& last) {
        return !last.empty() && ::unlinkat(parent, last.c_str(), AT_REMOVEDIR) == 0;
    });
}

void removeInRoot(const std::string& root, std::string_view path) {
    if (hasDotDotComponent(path))
        return;
    InstallRoot installRoot(root);
    if (installRoot.valid())
        installRoot.remove(path);
}

bool InstallRoot::removeNoLinks(std::string_view path) const {
    std::string last;
    int parent = openParent(path, false, last, true);
    if (parent < 0)
        return false;
    bool ok = !last.empty() && ::unlinkat(parent, last.c_str(), 0) == 0;
    int error = errno;
    ::close(parent);
    errno = error;
    return ok;
}

bool InstallRoot::removeDirectoryNoLinks(std::string_view path) const {
    std::string last;
    int parent = openParent(path, false, last, true);
    if (parent < 0)
        return false;
    bool ok = !last.empty() && ::unlinkat(parent, last.c_str(), AT_REMOVEDIR) == 0;
    int error = errno;
    ::close(parent);
    errno = error;
    return ok;
}

int InstallRoot::writeFileNoLinks(std::string_view path, std::string_view content, mode_t mode,
                                  bool exclusive) const {
    std::string last;
    int parent = openParent(path, false, last, true);
    if (parent < 0)
        return errno ? errno : EIO;
    int error = last.empty() ? EISDIR : writeFileAt(parent, last.c_str(), content, mode, exclusive);
    ::close(parent);
    return error;
}

int InstallRoot::readFileNoLinks(std::string_view path, std::string& content) const {
    std::string last;
    int parent = openParent(path, false, last, true);
    if (parent < 0)
        return errno ? errno : EIO;
    int error = last.empty() ? EISDIR : readFileAt(parent, last.c_str(), content);
    ::close(parent);
    return error;
}

namespace {

int renameAt(int fromDir, const char* from, int toDir, const char* to, bool noReplace) {
    if (!noReplace)
        return ::renameat(fromDir, from, toDir, to);
    int result = int(::syscall(SYS_renameat2, fromDir, from, toDir, to, RENAME_NOREPLACE));
    if (result == 0 || (errno != ENOSYS && errno != EINVAL))
        return result;
    // A file system without the flag: a hard link cannot replace anything.
    if (::linkat(fromDir, from, toDir, to, 0) != 0)
        return -1;
    return ::unlinkat(fromDir, from, 0);
}

}  // namespace

bool InstallRoot::renameNoLinks(std::string_view from, std::string_view to, bool noReplace) const {
    std::string fromLast, toLast;
    int fromDir = openParent(from, false, fromLast, true);
    if (fromDir < 0)
        return false;
    int toDir = openParent(to, false, toLast, true);
    bool ok = toDir >= 0 && !fromLast.empty() && !toLast.empty() &&
              renameAt(fromDir, fromLast.c_str(), toDir, toLast.c_str(), noReplace) == 0;
    int error = errno;
    ::close(fromDir);
    if (toDir >= 0)
        ::close(toDir);
    errno = error;
    return ok;
}

bool InstallRoot::renameInDirectory(std::string_view path, const std::string& newName, bool noReplace) const {
    std::string last;
    int dir = openParent(path, false, last);
    if (dir < 0)
        return false;
    bool ok = !last.empty() && renameAt(dir, last.c_str(), dir, newName.c_str(), noReplace) == 0;
    int error = errno;
    ::close(dir);
    errno = error;
    return ok;
}

bool InstallRoot::linkNoLinks(std::string_view from, std::string_view to) const {
    std::string fromLast, toLast;
    int fromDir = openParent(from, false, fromLast, true);
    if (fromDir < 0)
        return false;
    int toDir = openParent(to, false, toLast, true);
    bool ok = toDir >= 0 && !fromLast.empty() && !toLast.empty() &&
              ::linkat(fromDir, fromLast.c_str(), toDir, toLast.c_str(), 0) == 0;
    int error = errno;
    ::close(fromDir);
    if (toDir >= 0)
        ::close(toDir);
    errno = error;
    return ok;
}

namespace {

// Removes the empty directories below the open directory `fd`, deepest
// first; true when `fd` itself is empty afterwards.
bool removeEmptyBelow(int fd, int depth) {
    int listFd = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!dir) {
        if (listFd >= 0)
            ::close(listFd);
        return false;
    }
    std::vector<std::string> names;
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(dir);
    bool empty = true;
    for (const std::string& name : names) {
        int sub = depth < 64 ? ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
        bool gone = false;
        if (sub >= 0) {
            bool subEmpty = removeEmptyBelow(sub, depth + 1);
            ::close(sub);
            gone = subEmpty && ::unlinkat(fd, name.c_str(), AT_REMOVEDIR) == 0;
        }
        empty = empty && gone;
    }
    return empty;
}

}  // namespace

void InstallRoot::removeEmptyDirectories(std::string_view path) const {
    int fd = openNoLinks(path, O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return;
    bool empty = removeEmptyBelow(fd, 0);
    ::close(fd);
    if (empty)
        removeDirectoryNoLinks(path);
}

int writeFileAt(int dirFd, const char* name, std::string_view content, mode_t mode, bool exclusive) {
    int flags = O_WRONLY | O_CREAT | (exclusive ? O_EXCL : O_TRUNC);
    int fd = openRegular(flags, [&](int how) { return ::openat(dirFd, name, how | O_CLOEXEC, mode); });
    if (fd < 0)
        return errno ? errno : EIO;
    const char* p = content.data();
    size_t left = content.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int error = n < 0 ? errno : ENOSPC;
            ::close(fd);
            return error;
        }
        p += n;
        left -= size_t(n);
    }
    if (::close(fd) != 0 && errno != EINTR)
        return errno;
    return 0;
}

int readFileAt(int dirFd, const char* name, std::string& content) {
    content.clear();
    int fd = openRegular(O_RDONLY, [&](int how) { return ::openat(dirFd, name, how | O_CLOEXEC); });
    if (fd < 0)
        return errno == EISDIR ? EINVAL : errno ? errno : EIO;
    char chunk[4096];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int error = errno;
            ::close(fd);
            return error;
        }
        if (n == 0)
            break;
        content.append(chunk, size_t(n));
    }
    ::close(fd);
    return 0;
}

int DirectoryCache::get(const std::string& path) {
    if (fd_ >= 0 && path == path_)
        return fd_;
    forget();
    fd_ = root_.openDirectory(path, create_);
    if (fd_ >= 0)
        path_ = path;
    return fd_;
}

void DirectoryCache::forget() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    path_.clear();
}
