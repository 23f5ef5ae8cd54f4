#include "pkg/transaction.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "archive/rootfs.h"
#include "pkg/repository.h"

namespace {

Transaction* activeTransaction = nullptr;
long faultLimit = 0;
long faultCounter = 0;

std::string escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            ++i;
            out += text[i] == 'n' ? '\n' : text[i];
        } else {
            out += text[i];
        }
    }
    return out;
}

struct Line {
    size_t offset;  // where the line begins in the journal
    char type;
    std::string number;  // A and a lines
    std::string path;    // or the name
};

// The whole lines of the journal (a line cut short by a kill is no line).
std::vector<Line> readJournal(int fd) {
    std::string text;
    char buffer[8192];
    off_t at = 0;
    for (;;) {
        ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buffer, size_t(n));
        at += n;
    }
    std::vector<Line> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            break;
        std::string line = text.substr(start, end - start);
        Line parsed{start, line.empty() ? '?' : line[0], "", ""};
        std::string rest = line.size() > 2 ? line.substr(2) : "";
        if (parsed.type == 'A' || parsed.type == 'a') {
            size_t space = rest.find(' ');
            parsed.number = rest.substr(0, space);
            parsed.path = space == std::string::npos ? "" : unescape(rest.substr(space + 1));
        } else {
            parsed.path = unescape(rest);
        }
        lines.push_back(parsed);
        start = end + 1;
    }
    return lines;
}

std::string entryPath(const std::string& name) { return "var/pdb/" + name; }

// Deletes the files of an entry (not its dot files or sub-directories) and
// then the entry itself when nothing else is in it.
void clearEntry(const std::string& name) {
    InstallRoot flash("/flash");
    int fd = flash.openNoLinks(entryPath(name), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return;
    DIR* d = ::fdopendir(fd);
    if (!d) {
        ::close(fd);
        return;
    }
    std::vector<std::string> names;
    while (dirent* entry = ::readdir(d))
        if (entry->d_name[0] != '\0' && entry->d_name[0] != '.')
            names.emplace_back(entry->d_name);
    for (const std::string& file : names) {
        faultPoint();
        ::unlinkat(::dirfd(d), file.c_str(), 0);
    }
    ::closedir(d);
    faultPoint();
    flash.removeDirectoryNoLinks(entryPath(name));
}

}  // namespace

namespace {
bool simulation = false;
bool durable = true;

int flushFile(int fd) { return durable ? ::fdatasync(fd) : 0; }
int flushDirectory(int fd) { return durable ? ::fsync(fd) : 0; }
}  // namespace

void setTransactionDurable(bool on) { durable = on; }

void setSimulation(bool simulate) { simulation = simulate; }
bool simulating() { return simulation; }
std::set<std::string>& simulatedFree() {
    static std::set<std::string> paths;
    return paths;
}

void faultPoint() {
    ++faultCounter;
    if (faultLimit > 0 && faultCounter >= faultLimit)
        ::kill(::getpid(), SIGKILL);
}
void setFaultLimit(long limit) {
    faultLimit = limit;
    faultCounter = 0;
}
long faultCount() { return faultCounter; }

Transaction::~Transaction() { end(); }

Transaction* Transaction::active() { return activeTransaction; }
void Transaction::makeActive() { activeTransaction = this; }

void Transaction::end() {
    if (journal_ >= 0)
        ::close(journal_);
    if (dir_ >= 0)
        ::close(dir_);
    journal_ = dir_ = -1;
    if (activeTransaction == this)
        activeTransaction = nullptr;
}

bool Transaction::begin() {
    InstallRoot flash("/flash");
    if (!flash.valid() || !flash.makeDirectories("var/pdb", true))
        return false;
    int pdb = flash.openNoLinks("var/pdb", O_RDONLY | O_DIRECTORY);
    if (pdb < 0)
        return false;
    faultPoint();
    if (::mkdirat(pdb, ".txn", 0700) != 0) {
        int error = errno;
        ::close(pdb);
        errno = error;
        return false;
    }
    dir_ = ::openat(pdb, ".txn", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir_ >= 0)
        journal_ = ::openat(dir_, "journal", O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600);
    int error = errno;
    bool ok = journal_ >= 0 && flushDirectory(dir_) == 0 && flushDirectory(pdb) == 0;
    error = ok ? 0 : (errno ? errno : error);
    ::close(pdb);
    if (!ok) {
        end();
        errno = error;
        return false;
    }
    size_ = 0;
    counter_ = 0;
    activeTransaction = this;
    return true;
}

bool Transaction::append(const std::string& line) {
    if (journal_ < 0) {
        errno = EBADF;
        return false;
    }
    faultPoint();
    const std::string text = line + "\n";
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(journal_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            failed_ = true;
            return false;
        }
        done += size_t(n);
    }
    size_ += text.size();
    return true;
}

// The line reaches the disk before the rename it announces: a power cut
// never leaves a file in the reserved directory that the journal does not
// know of.
bool Transaction::moveAside(int parentFd, const std::string& last, const std::string& path, char type) {
    const std::string number = std::to_string(counter_++);
    if (!append(std::string(1, type) + " " + number + " " + escape(path)) || flushFile(journal_) != 0)
        return false;
    faultPoint();
    return ::renameat(parentFd, last.c_str(), dir_, number.c_str()) == 0;
}

bool Transaction::setAsideAll(const std::vector<std::string>& paths) {
    // First every line, written at once and made durable, then the renames:
    // one flush for a whole package rather than one per file.
    InstallRoot flash("/flash");
    std::vector<std::pair<std::string, std::string>> moves;  // path, number
    std::string lines;
    {
        DirectoryCache parents(flash, false);
        for (const std::string& path : paths) {
            if (hasDotDotComponent(path))
                continue;
            failedPath_ = path;
            std::string parentPath, last;
            InstallRoot::split(path, parentPath, last);
            if (last.empty())
                continue;
            int parent = parents.get(parentPath);
            if (parent < 0) {
                if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP)
                    continue;  // nothing there to keep
                return false;
            }
            struct stat info;
            if (::fstatat(parent, last.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(info.st_mode) ||
                isReserved(parent))
                continue;
            moves.emplace_back(path, std::to_string(counter_++));
            lines += "A " + moves.back().second + " " + escape(path) + "\n";
        }
    }
    if (moves.empty())
        return true;
    lines.pop_back();
    if (!append(lines) || flushFile(journal_) != 0)
        return false;
    DirectoryCache parents(flash, false);
    for (const auto& [path, number] : moves) {
        std::string parentPath, last;
        InstallRoot::split(path, parentPath, last);
        int parent = parents.get(parentPath);
        faultPoint();
        if (parent < 0 || ::renameat(parent, last.c_str(), dir_, number.c_str()) != 0) {
            failedPath_ = path;
            return false;
        }
    }
    return true;
}

bool Transaction::setAside(const std::string& path) {
    if (hasDotDotComponent(path))
        return true;
    InstallRoot flash("/flash");
    std::string last;
    int parent = flash.openParent(path, false, last);
    if (parent < 0)
        return errno == ENOENT || errno == ENOTDIR;  // nothing there to keep
    struct stat info;
    bool ok = true;
    failedPath_ = path;
    if (!last.empty() && !isReserved(parent) &&
        ::fstatat(parent, last.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(info.st_mode))
        ok = moveAside(parent, last, path, 'A');
    int error = errno;
    ::close(parent);
    errno = error;
    return ok;
}

bool Transaction::setAsideEntry(const std::string& name) {
    if (!isUsablePackageName(name))
        return true;
    InstallRoot flash("/flash");
    int pdb = flash.openNoLinks("var/pdb", O_PATH | O_DIRECTORY);
    if (pdb < 0)
        return errno == ENOENT;
    struct stat info;
    bool ok = true;
    if (::fstatat(pdb, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        ok = errno == ENOENT;
    } else if (!S_ISDIR(info.st_mode)) {
        ok = moveAside(pdb, name, entryPath(name), 'a');  // damage, kept as it was
    } else {
        int fd = ::openat(pdb, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        DIR* d = fd >= 0 ? ::fdopendir(fd) : nullptr;
        if (!d) {
            ok = false;
            if (fd >= 0)
                ::close(fd);
        } else {
            std::vector<std::string> names;
            while (dirent* entry = ::readdir(d))
                if (entry->d_name[0] != '\0' && entry->d_name[0] != '.')
                    names.emplace_back(entry->d_name);
            for (const std::string& file : names) {
                if (::fstatat(::dirfd(d), file.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(info.st_mode))
                    continue;
                if (!(ok = moveAside(::dirfd(d), file, entryPath(name) + "/" + file, 'a')))
                    break;
            }
            int error = errno;
            ::closedir(d);
            if (ok) {
                faultPoint();
                ::unlinkat(pdb, name.c_str(), AT_REMOVEDIR);  // stays when dot files are left in it
            }
            errno = error;
        }
    }
    int error = errno;
    ::close(pdb);
    errno = error;
    return ok;
}

bool Transaction::setAsideEntryFiles(const std::string& name, std::initializer_list<const char*> files) {
    if (!isUsablePackageName(name))
        return true;
    InstallRoot flash("/flash");
    int fd = flash.openNoLinks(entryPath(name), O_PATH | O_DIRECTORY);
    if (fd < 0)
        return true;  // no entry: nothing to keep
    bool ok = true;
    struct stat info;
    for (const char* file : files)
        if (ok && ::fstatat(fd, file, &info, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(info.st_mode))
            ok = moveAside(fd, file, entryPath(name) + "/" + file, 'a');
    int error = errno;
    ::close(fd);
    errno = error;
    return ok;
}

bool Transaction::noteCreated(const std::string& path) { return append("F " + escape(path)); }
bool Transaction::noteDirectory(const std::string& path) { return append("D " + escape(path)); }
void Transaction::noteEntryFile(const std::string& name, const char* file) {
    append("f " + escape(entryPath(name) + "/" + file));
}
void Transaction::noteEntry(const std::string& name) { append("E " + escape(name)); }
void Transaction::noteSchedule(const std::string& name) { append("S " + escape(name)); }

bool Transaction::noteMissingDirectories(const InstallRoot& root, const std::string& path) {
    std::string prefix;
    bool missing = false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        std::string part = path.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".")
            continue;
        prefix += (prefix.empty() ? "" : "/") + part;
        struct stat info;
        if (!missing && !root.stat(prefix, info) && errno == ENOENT)
            missing = true;
        if (missing && !noteDirectory(prefix))
            return false;
    }
    return true;
}

bool Transaction::isReserved(int dirFd) const {
    struct stat mine, other;
    return dir_ >= 0 && ::fstat(dir_, &mine) == 0 && ::fstat(dirFd, &other) == 0 && mine.st_dev == other.st_dev &&
           mine.st_ino == other.st_ino;
}

bool Transaction::rollbackTo(size_t point) {
    if (journal_ < 0)
        return true;
    int reader = ::openat(dir_, "journal", O_RDONLY | O_CLOEXEC);
    if (reader < 0)
        return false;
    std::vector<Line> lines = readJournal(reader);
    ::close(reader);
    InstallRoot flash("/flash");
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        const Line& line = *it;
        if (line.offset < point)
            break;
        bool ok = true;
        switch (line.type) {
        case 'F':
            faultPoint();
            flash.remove(line.path);
            break;
        case 'D':
            faultPoint();
            flash.removeDirectory(line.path);
            break;
        case 'f':
            faultPoint();
            flash.removeNoLinks(line.path);
            break;
        case 'E':
            clearEntry(line.path);
            break;
        case 'A':
        case 'a': {
            struct stat info;
            if (::fstatat(dir_, line.number.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
                break;  // never moved, or back already
            std::string last;
            int parent = flash.openParent(line.path, true, last, line.type == 'a');
            faultPoint();
            ok = parent >= 0 && !last.empty() && ::renameat(dir_, line.number.c_str(), parent, last.c_str()) == 0;
            int error = errno;
            if (parent >= 0)
                ::close(parent);
            if (!ok) {
                failed_ = true;
                theRepository().printError("could not put back %s: %s", line.path.c_str(), std::strerror(error));
                return false;
            }
            break;
        }
        default:
            break;
        }
        faultPoint();
        if (::ftruncate(journal_, off_t(line.offset)) != 0)
            return false;
        size_ = line.offset;
    }
    return true;
}

bool Transaction::commit() {
    if (journal_ < 0)
        return true;
    if (failed_) {
        // A line that did not reach the journal, or an undo that did not go
        // through: this is no state to commit.
        errno = EIO;
        return false;
    }
    int fd = ::open("/flash", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    faultPoint();
    if (durable && (fd < 0 || ::syncfs(fd) != 0))
        ::sync();
    if (fd >= 0)
        ::close(fd);
    if (!append("C") || flushFile(journal_) != 0)
        return false;
    return finishCommitted();
}

void Transaction::adopt(int dirFd, int journalFd) {
    dir_ = dirFd;
    journal_ = journalFd;
    struct stat info;
    size_ = ::fstat(journalFd, &info) == 0 ? size_t(info.st_size) : 0;
}

bool Transaction::finishCommitted() {
    // Committed: from here on the next run would finish it as well.
    int reader = ::openat(dir_, "journal", O_RDONLY | O_CLOEXEC);
    std::vector<Line> lines = reader >= 0 ? readJournal(reader) : std::vector<Line>{};
    if (reader >= 0)
        ::close(reader);
    InstallRoot ram("/ram");
    for (const Line& line : lines) {
        if (line.type == 'S' && ram.valid() && isUsablePackageName(line.path)) {
            faultPoint();
            ram.removeNoLinks("pdb/" + line.path + "/schedule");
        }
    }
    DIR* d = ::fdopendir(::dup(dir_));
    if (d) {
        std::vector<std::string> names;
        while (dirent* entry = ::readdir(d))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0 &&
                std::strcmp(entry->d_name, "journal") != 0)
                names.emplace_back(entry->d_name);
        ::closedir(d);
        for (const std::string& name : names) {
            faultPoint();
            ::unlinkat(dir_, name.c_str(), 0);
        }
    }
    return removeJournal();
}

// The journal and its folder go last: until then the next run would act on it.
bool Transaction::removeJournal() {
    faultPoint();
    ::unlinkat(dir_, "journal", 0);
    end();
    faultPoint();
    InstallRoot("/flash").removeDirectoryNoLinks(kTransactionDir);
    return true;
}

bool Transaction::rollback() {
    if (journal_ < 0)
        return true;
    if (!rollbackTo(0))
        return false;
    return removeJournal();
}

bool recoverTransaction() {
    if (simulating())
        return true;
    InstallRoot flash("/flash");
    int dir = flash.openNoLinks(kTransactionDir, O_RDONLY | O_DIRECTORY);
    if (dir < 0)
        return true;  // nothing was interrupted
    int journal = ::openat(dir, "journal", O_RDWR | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    Transaction transaction;
    bool committed = false;
    if (journal >= 0) {
        std::vector<Line> lines = readJournal(journal);
        for (const Line& line : lines)
            committed = committed || line.type == 'C';
        transaction.adopt(dir, journal);
    } else {
        // No journal: it was never begun or was finished but for the clean-up;
        // whatever stands in the directory was set aside by a committed one.
        ::close(dir);
        dir = -1;
        int fd = flash.openNoLinks(kTransactionDir, O_RDONLY | O_DIRECTORY);
        DIR* d = fd >= 0 ? ::fdopendir(fd) : nullptr;
        if (d) {
            std::vector<std::string> names;
            while (dirent* entry = ::readdir(d))
                if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                    names.emplace_back(entry->d_name);
            for (const std::string& name : names)
                ::unlinkat(::dirfd(d), name.c_str(), 0);
            ::closedir(d);
        } else if (fd >= 0) {
            ::close(fd);
        }
        flash.removeDirectoryNoLinks(kTransactionDir);
        return true;
    }
    if (committed)
        return transaction.finishCommitted();
    if (!transaction.rollback()) {
        theRepository().printError("could not undo an interrupted installation");
        return false;
    }
    theRepository().printWarning("an interrupted installation was undone");
    return true;
}
