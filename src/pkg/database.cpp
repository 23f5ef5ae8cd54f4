#include "pkg/database.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <sstream>
#include <vector>

#include "archive/rootfs.h"
#include "pkg/repository.h"
#include "pkg/transaction.h"

namespace {

std::string listText(const std::vector<DependencyEntry>& list, bool withExtra) {
    std::string text;
    char numbers[64];
    for (const DependencyEntry& entry : list) {
        if (withExtra)
            std::snprintf(numbers, sizeof numbers, " %u %u %d\n", entry.minVersion, entry.maxVersion,
                          int32_t(entry.extra));
        else
            std::snprintf(numbers, sizeof numbers, " %u %u\n", entry.minVersion, entry.maxVersion);
        text += entry.name;
        text += numbers;
    }
    return text;
}

// Reads groups of tokens until a name cannot be read; false when a group was
// cut short after its name (the entries before it stay).
bool readList(const std::string& text, std::vector<DependencyEntry>& list, bool withExtra) {
    std::istringstream in(text);
    DependencyEntry entry;
    while (in >> entry.name) {
        if (!(in >> entry.minVersion >> entry.maxVersion))
            return false;
        entry.extra = 0;
        if (withExtra) {
            int32_t extra = 0;
            if (!(in >> extra))
                return false;
            entry.extra = uint32_t(extra);
        }
        list.push_back(entry);
    }
    return true;
}

bool readToken(const std::string& text, std::string& token) {
    std::istringstream in(text);
    return static_cast<bool>(in >> token);
}

// Where an entry lies: its root and its path inside. The relative form is the
// working directory's "flash/var/pdb/NAME".
struct EntryPlace {
    InstallRoot root;
    std::string path;
    EntryPlace(const std::string& name, bool relative)
        : root(relative ? "." : "/flash"), path(std::string(relative ? "flash/" : "") + "var/pdb/" + name) {}
};

// Opens the entry's directory with no link on the way: an entry that is a
// link or not a directory is damaged, never a way elsewhere.
int openEntry(const std::string& name, bool relative) {
    if (!isUsablePackageName(name)) {
        errno = EINVAL;
        return -1;
    }
    EntryPlace place(name, relative);
    return place.root.openNoLinks(place.path, O_RDONLY | O_DIRECTORY);
}

// A database file's text: 0, ENOENT when there is none, another error when
// it cannot be read (a link or anything but a regular file is damage).
int readEntryFile(int entry, const char* file, std::string& text) {
    return entry < 0 ? EBADF : readFileAt(entry, file, text);
}

// POSIX dirname on a path without trailing slashes.
std::string parentOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    size_t end = path.find_last_not_of('/', slash);
    if (end == std::string::npos)
        return "/";
    return path.substr(0, end + 1);
}

}  // namespace

std::string databaseDir(const std::string& name, bool relative) {
    std::string dir = relative ? "." : "";
    dir += kDatabaseRoot;
    dir += name;
    dir += '/';
    return dir;
}

std::set<std::string>& scheduleFilesRead() {
    static std::set<std::string> names;
    return names;
}

void loadFromDatabase(Package& package, const std::string& name, bool consume) {
    package.name = name;
    const int entry = openEntry(name, false);
    bool damaged = entry < 0;
    std::string text;
    auto read = [&](const char* file) {
        int error = readEntryFile(entry, file, text);
        if (error == ENOENT)
            text.clear();
        else if (error != 0)
            damaged = true;
        return error == 0;
    };
    {
        read("version");
        std::istringstream in(text);
        if (!(in >> package.version >> package.buildTime))
            damaged = true;
    }
    // Each list is read even when an earlier one was damaged.
    read("deps");
    bool listsWhole = readList(text, package.dependencies, false);
    read("provides");
    listsWhole = readList(text, package.provides, true) && listsWhole;
    read("conflicts");
    listsWhole = readList(text, package.conflicts, false) && listsWhole;
    if (!listsWhole)
        damaged = true;

    if (!read("files")) {
        package.isBundle = true;
    } else {
        std::istringstream files(text);
        std::string line;
        while (std::getline(files, line)) {
            if (line.empty())
                continue;
            if (line[0] != '/')
                line.insert(0, 1, '/');
            package.files.insert(line);
        }
    }

    std::string bundleName;
    if (read("bundle") && readToken(text, bundleName))
        package.bundle = DependencyEntry{bundleName, 0, 0, 0};

    package.userForced = false;
    if (read("disabled")) {
        package.disabled = true;
        std::string line = text.substr(0, text.find('\n'));
        package.userForced = line != "auto";
    } else {
        package.disabled = false;
        if (read("enabled"))
            package.userForced = true;
    }
    if (entry >= 0)
        ::close(entry);
    if (damaged)
        package.scheduled = ScheduledAction::uninstall;

    // The schedule file is the installed system's note to this run; it lies
    // on the RAM file system, reached the same way as the database.
    InstallRoot ram("/ram");
    const std::string schedulePath = "pdb/" + name + "/schedule";
    std::string word;
    if (ram.valid() && isUsablePackageName(name)) {
        const int readError = ram.readFileNoLinks(schedulePath, text);
        if (readError == 0 && readToken(text, word)) {
            if (word == "uninstall") {
                package.scheduled = ScheduledAction::uninstall;
            } else if (word == "enable") {
                package.scheduled = ScheduledAction::enable;
                package.userForced = true;
            } else if (word == "disable") {
                package.scheduled = ScheduledAction::disable;
                package.userForced = true;
            }
        }
        if (consume)
            ram.removeNoLinks(schedulePath);
        else if (readError != ENOENT)
            scheduleFilesRead().insert(name);
    }
}

bool makeDatabaseEntry(const Package& package, bool relative) {
    EntryPlace place(package.name, relative);
    auto fail = [&](int error) {
        reportInstallError(package, place.path, error);
        return false;
    };
    if (!isUsablePackageName(package.name))
        return fail(EINVAL);
    if (!place.root.valid())
        return fail(errno);
    if (!place.root.makeDirectories(place.path, true))
        return fail(errno);
    int fd = place.root.openNoLinks(place.path, O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return fail(errno);
    // Leftovers of an earlier entry of this name that are not plain files
    // would stand in the way of the files written by name.
    for (const char* file : {"version", "deps", "provides", "conflicts", "bundle", "files", "disabled", "enabled",
                             "oninstall", "onuninstall", "image"}) {
        struct stat info;
        if (::fstatat(fd, file, &info, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(info.st_mode))
            ::unlinkat(fd, file, S_ISDIR(info.st_mode) ? AT_REMOVEDIR : 0);
    }
    ::close(fd);
    return true;
}

bool saveToDatabase(const Package& package, bool relative) {
    const int dir = openEntry(package.name, relative);
    const int absoluteDir = relative ? openEntry(package.name, false) : dir;
    auto save = [&](const char* file, const std::string& content, const char* what) {
        faultPoint();
        int error = dir < 0 ? (errno ? errno : EIO) : writeFileAt(dir, file, content);
        if (error != 0) {
            reportInstallError(package, what, error);
            return false;
        }
        return true;
    };
    auto saveAll = [&] {
        char version[32];
        std::snprintf(version, sizeof version, "%u %u\n", package.version, package.buildTime);
        if (!save("version", version, "meta/version"))
            return false;
        if (!save("deps", listText(package.dependencies, false), "meta/deps"))
            return false;
        if (!package.provides.empty() && !save("provides", listText(package.provides, true), "meta/provides"))
            return false;
        if (!package.conflicts.empty() &&
            !save("conflicts", listText(package.conflicts, false), "meta/conflicts"))
            return false;
        if (package.bundle.name.empty())
            ::unlinkat(dir, "bundle", 0);
        else if (!save("bundle", package.bundle.name + "\n", "meta/bundle"))
            return false;

        // The enabled/disabled marks are read by the installed system at their
        // absolute place, whatever the installation's form.
        if (absoluteDir >= 0) {
            if (package.disabled)
                writeFileAt(absoluteDir, "disabled", package.userForced ? "user\n" : "auto\n");
            else
                ::unlinkat(absoluteDir, "disabled", 0);
            if (package.disabled || !package.userForced)
                ::unlinkat(absoluteDir, "enabled", 0);
            else
                writeFileAt(absoluteDir, "enabled", "user\n");
        }

        if (!package.isBundle) {
            std::string text;
            for (const std::string& path : package.files) {
                text.append(path, !path.empty() && path[0] == '/' ? 1 : 0);
                text += '\n';
            }
            if (!save("files", text, "meta/files"))
                return false;
        }
        if (package.hasImage)
            ::unlinkat(dir, "oninstall", 0);
        return true;
    };
    const bool saved = saveAll();
    if (dir >= 0)
        ::close(dir);
    if (absoluteDir >= 0 && absoluteDir != dir)
        ::close(absoluteDir);
    return saved;
}

namespace {

// Removes the entry directory `path` (inside "/flash") and its files; an
// entry that is a link or a file is removed itself, never what it points at.
void removeEntryDirectory(const std::string& path) {
    InstallRoot root("/flash");
    int fd = root.openNoLinks(path, O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        if (errno == ELOOP || errno == ENOTDIR)
            root.removeNoLinks(path);
        return;
    }
    DIR* d = ::fdopendir(fd);
    if (!d) {
        ::close(fd);
        return;
    }
    std::vector<std::string> names;
    while (dirent* entry = ::readdir(d)) {
        if (entry->d_name[0] != '\0' && entry->d_name[0] != '.')
            names.emplace_back(entry->d_name);
    }
    for (const std::string& name : names)
        ::unlinkat(::dirfd(d), name.c_str(), 0);
    ::closedir(d);
    root.removeDirectoryNoLinks(path);
}

}  // namespace

void removeDatabaseEntry(const Package& package) {
    if (package.untracked || !isUsablePackageName(package.name))
        return;
    removeEntryDirectory("var/pdb/" + package.name);
}

bool makeDirectories(const std::string& path, bool skipLast) {
    std::string current = path;
    while (current.size() > 1 && current.back() == '/')
        current.pop_back();
    std::vector<std::string> chain;
    while (!current.empty() && current != "/") {
        chain.push_back(current);
        std::string parent = parentOf(current);
        if (parent == ".")
            break;
        current = parent;
    }
    if (skipLast && !chain.empty())
        chain.erase(chain.begin());
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (::mkdir(it->c_str(), 0770) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

namespace {
bool holdNoRoom = false;
std::string heldNoRoomLabel;
}  // namespace

void holdBackNoRoomError(bool hold) { holdNoRoom = hold; }
bool noRoomErrorHeld() { return !heldNoRoomLabel.empty(); }
void printHeldBackError() {
    if (heldNoRoomLabel.empty())
        return;
    theRepository().printError("installation of %s failed: disk is too small", heldNoRoomLabel.c_str());
    heldNoRoomLabel.clear();
}
void dropHeldBackError() { heldNoRoomLabel.clear(); }

void reportInstallError(const Package& package, const std::string& what, int error) {
    const std::string name = displayLabel(package);
    Repository& repository = theRepository();
    if (error == ENOSPC && holdNoRoom) {
        heldNoRoomLabel = name;
        return;
    }
    if (error == ENOSPC)
        repository.printError("installation of %s failed: disk is too small", name.c_str());
    else if (error == EIO)
        repository.printError("installation of %s failed: disk error", name.c_str());
    else
        repository.printError("installation of %s failed: could not create %s: %s", name.c_str(), what.c_str(),
                              std::strerror(error));
}

void reportBrokenPackage(const Package& package) {
    theRepository().printError("installation of %s failed: broken package", displayLabel(package).c_str());
}

void uninstallPackage(Package& package) {
    for (const std::string& path : package.files) {
        // A recorded path never leads out of the installed system.
        if (hasDotDotComponent(path))
            continue;
        // Resolved as inside a chroot: links on the disk never lead out of /flash.
        removeInRoot("/flash", path);
    }
    package.files.clear();
    removeDatabaseEntry(package);
    package.scheduled = ScheduledAction::none;
}

namespace {

// Sets the entry's marks: `disabled` removed or written, then `enabled`.
// An untracked package has no entry: the directory of its name belongs to a
// tracked namesake and is left alone.
void writeMarks(const Package& package, const char* disabled, const char* enabled) {
    if (package.untracked)
        return;
    int fd = openEntry(package.name, false);
    if (fd < 0)
        return;
    if (disabled)
        writeFileAt(fd, "disabled", disabled);
    else
        ::unlinkat(fd, "disabled", 0);
    if (enabled)
        writeFileAt(fd, "enabled", enabled);
    else
        ::unlinkat(fd, "enabled", 0);
    ::close(fd);
}

}  // namespace

void enablePackage(Package& package) {
    writeMarks(package, nullptr, package.userForced ? "user\n" : nullptr);
    package.disabled = false;
    package.scheduled = ScheduledAction::none;
}

void disablePackage(Package& package) {
    writeMarks(package, package.userForced ? "user\n" : "auto\n", nullptr);
    package.disabled = true;
    package.scheduled = ScheduledAction::none;
}
