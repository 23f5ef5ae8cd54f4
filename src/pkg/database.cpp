#include "pkg/database.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <vector>

#include "archive/extract.h"
#include "pkg/repository.h"

namespace {

// Writes a whole file; 0 on success, otherwise the system error.
int writeFile(const std::string& path, const std::string& content) {
    // A link planted in place of a database file is never written through.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
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
bool readList(const std::string& path, std::vector<DependencyEntry>& list, bool withExtra) {
    std::ifstream in(path);
    if (!in)
        return true;
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

bool readToken(const std::string& path, std::string& token) {
    std::ifstream in(path);
    return static_cast<bool>(in >> token);
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

bool hasDotDotComponent(const std::string& path) {
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        if (path.compare(start, end - start, "..") == 0)
            return true;
        start = end + 1;
    }
    return false;
}

}  // namespace

std::string databaseDir(const std::string& name, bool relative) {
    std::string dir = relative ? "." : "";
    dir += kDatabaseRoot;
    dir += name;
    dir += '/';
    return dir;
}

void loadFromDatabase(Package& package, const std::string& name) {
    package.name = name;
    const std::string dir = databaseDir(name);
    {
        std::ifstream in(dir + "version");
        if (!(in >> package.version >> package.buildTime))
            package.scheduled = ScheduledAction::uninstall;
    }
    // Each list is read even when an earlier one was damaged.
    bool listsWhole = readList(dir + "deps", package.dependencies, false);
    listsWhole = readList(dir + "provides", package.provides, true) && listsWhole;
    listsWhole = readList(dir + "conflicts", package.conflicts, false) && listsWhole;
    if (!listsWhole)
        package.scheduled = ScheduledAction::uninstall;

    std::ifstream files(dir + "files");
    if (!files) {
        package.isBundle = true;
    } else {
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
    if (readToken(dir + "bundle", bundleName))
        package.bundle = DependencyEntry{bundleName, 0, 0, 0};

    package.userForced = false;
    std::ifstream disabled(dir + "disabled");
    if (disabled) {
        package.disabled = true;
        std::string line;
        std::getline(disabled, line);
        package.userForced = line != "auto";
    } else {
        package.disabled = false;
        if (std::ifstream(dir + "enabled"))
            package.userForced = true;
    }

    const std::string schedulePath = std::string(kScheduleRoot) + name + "/schedule";
    std::string word;
    if (readToken(schedulePath, word)) {
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
    ::unlink(schedulePath.c_str());
}

bool saveToDatabase(const Package& package, bool relative) {
    const std::string dir = databaseDir(package.name, relative);
    const std::string absoluteDir = databaseDir(package.name, false);
    auto save = [&](const char* file, const std::string& content, const char* what) {
        int error = writeFile(dir + file, content);
        if (error != 0) {
            reportInstallError(package, what, error);
            return false;
        }
        return true;
    };

    char version[32];
    std::snprintf(version, sizeof version, "%u %u\n", package.version, package.buildTime);
    if (!save("version", version, "meta/version"))
        return false;
    if (!save("deps", listText(package.dependencies, false), "meta/deps"))
        return false;
    if (!package.provides.empty() && !save("provides", listText(package.provides, true), "meta/provides"))
        return false;
    if (!package.conflicts.empty() && !save("conflicts", listText(package.conflicts, false), "meta/conflicts"))
        return false;
    if (package.bundle.name.empty())
        ::unlink((dir + "bundle").c_str());
    else if (!save("bundle", package.bundle.name + "\n", "meta/bundle"))
        return false;

    // The enabled/disabled marks are read by the installed system at their
    // absolute place, whatever the installation's form.
    if (package.disabled)
        writeFile(absoluteDir + "disabled", package.userForced ? "user\n" : "auto\n");
    else
        ::unlink((absoluteDir + "disabled").c_str());
    if (package.disabled || !package.userForced)
        ::unlink((absoluteDir + "enabled").c_str());
    else
        writeFile(absoluteDir + "enabled", "user\n");

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
        ::unlink((dir + "oninstall").c_str());
    return true;
}

void removeDatabaseEntry(const Package& package) {
    std::string dir = databaseDir(package.name, false);
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    // The entry is opened without following a link, and its files are removed
    // relative to that descriptor: a link planted as the entry leads nowhere.
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
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
        ::unlinkat(fd, name.c_str(), 0);
    ::closedir(d);
    ::rmdir(dir.c_str());
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

void reportInstallError(const Package& package, const std::string& what, int error) {
    const std::string name = displayLabel(package);
    Repository& repository = theRepository();
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

void enablePackage(Package& package) {
    const std::string dir = databaseDir(package.name, false);
    ::unlink((dir + "disabled").c_str());
    if (package.userForced)
        writeFile(dir + "enabled", "user\n");
    else
        ::unlink((dir + "enabled").c_str());
    package.disabled = false;
    package.scheduled = ScheduledAction::none;
}

void disablePackage(Package& package) {
    const std::string dir = databaseDir(package.name, false);
    ::unlink((dir + "enabled").c_str());
    writeFile(dir + "disabled", package.userForced ? "user\n" : "auto\n");
    package.disabled = true;
    package.scheduled = ScheduledAction::none;
}
