#include "pkg/operations.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <set>
#include <vector>

#include "archive/rootfs.h"
#include "archive/format.h"
#include "archive/partstream.h"
#include "archive/signature.h"
#include "pkg/database.h"
#include "pkg/payload.h"
#include "pkg/repository.h"
#include "pkg/schedule.h"

namespace {

const archive::TrustAnchors* trustOverride = nullptr;

// Removes what a failed installation wrote. An untracked package has no
// database entry of its own: the directory of its name, if any, belongs to an
// installed package and stays.
void undoInstallation(Package& package, bool untracked, bool relative) {
    const char* root = installRootFor(relative);
    // Deepest first: a link the package made may lead to its other files.
    for (auto it = package.files.rbegin(); it != package.files.rend(); ++it)
        removeInRoot(root, pathInRoot(*it, relative));
    package.files.clear();
    if (!untracked)
        removeDatabaseEntry(package);
    // A disabled package had a tree of its own under "/flash/x": what its
    // extraction made there is gone, so are the directories left empty. A
    // link on the way (at "/flash/x" itself, say) is never followed.
    if (package.disabled && isUsablePackageName(package.name))
        InstallRoot("/flash").removeEmptyDirectories("x/" + package.name);
    package.scheduled = ScheduledAction::none;
}

// Takes the package out of the repository and hands it back; null when it is
// no longer there (a resolution removed it).
std::unique_ptr<Package> takeOut(Repository& repository, const Package* package) {
    auto& packages = repository.packages;
    auto it = std::find_if(packages.begin(), packages.end(), [&](const auto& p) { return p.get() == package; });
    if (it == packages.end())
        return nullptr;
    std::unique_ptr<Package> owned = std::move(*it);
    packages.erase(it);
    return owned;
}

bool stillInstalled(const Repository& repository, const Package* package) {
    for (const auto& p : repository.packages)
        if (p.get() == package)
            return true;
    return false;
}

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        data += n;
        size -= size_t(n);
    }
    return true;
}

void noteChildEnded(int) {}

// The package's files and database entry reach the disk before its install
// script runs. Only the file system being installed into is written back:
// the others (the host's own, when a tool installs into a tree) are none of
// its business and may hold much more.
void flushInstallRoot(bool relative) {
    int fd = ::open(installRootFor(relative), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || ::syncfs(fd) != 0)
        ::sync();
    if (fd >= 0)
        ::close(fd);
}

}  // namespace

void setInstallTrust(const archive::TrustAnchors* trust) { trustOverride = trust; }

const archive::TrustAnchors& installTrust() {
    return trustOverride ? *trustOverride : archive::builtinTrustAnchors();
}

int installFromStream(std::istream& in, unsigned flags, std::streambuf* tee, std::string& imageDir) {
    PackagePartStream stream(in, true, tee);
    for (PartType type : {PartType::Header, PartType::BundleHeader, PartType::BundleList, PartType::Architecture,
                          PartType::Dependencies, PartType::Provides, PartType::Conflicts, PartType::Image,
                          PartType::Files, PartType::InstallScript, PartType::UninstallScript, PartType::Signature})
        stream.acceptPartType(type);
    stream.nextPart();
    if (stream.currentPart() == PartType::BundleHeader)
        return installBundle(stream, flags, imageDir);
    return installOne(stream, flags, nullptr, &imageDir) ? kInstalled : kInstallFailed;
}

Package* installOne(PackagePartStream& stream, unsigned flags, const DependencyEntry* bundleRef,
                    std::string* imageDir) {
    Repository& repository = theRepository();
    auto package = std::make_unique<Package>();
    if (!readHeader(*package, stream))
        return nullptr;
    if (!isUsablePackageName(package->name)) {
        reportBrokenPackage(*package);
        return nullptr;
    }
    if (package->hasImage && imageDir)
        *imageDir = databaseDir(*package);

    unsigned obstacles = repository.checkInstall(*package, bundleRef ? 255u : flags | kConflict);
    if (obstacles & kConflict) {
        obstacles &= ~unsigned(kConflict);
        package->disabled = true;
    }
    if ((obstacles & ~flags) || (obstacles & kSameVersion)) {
        if (!bundleRef)
            return nullptr;
        while (stream.currentPart() != -1 && stream.currentPart() != PartType::Header)
            stream.nextPart();
        return repository.findInstalledPackage(package->name);
    }
    if (bundleRef)
        package->bundle = *bundleRef;

    if (!stream.isUntracked()) {
        std::unique_ptr<Package> old;
        int index = repository.findInstalled(package->name);
        if (index >= 0) {
            old = std::move(repository.packages[size_t(index)]);
            repository.packages.erase(repository.packages.begin() + index);
        }
        Package* added = package.get();
        repository.packages.push_back(std::move(package));
        applySchedule(repository, true);
        // The old version's files and database entry go before the new ones
        // are written, so that the two never stand side by side; its
        // uninstall script is not run.
        if (old)
            uninstallPackage(*old);
        package = takeOut(repository, added);
        if (!package)
            return nullptr;
    }

    if (!installContent(*package, stream, false))
        return nullptr;
    Package* installed = package.get();
    repository.packages.push_back(std::move(package));
    applySchedule(repository, false);
    return stillInstalled(repository, installed) ? installed : nullptr;
}

int installBundle(PackagePartStream& stream, unsigned flags, std::string& imageDir) {
    Repository& repository = theRepository();
    auto bundle = std::make_unique<Package>();
    if (!readHeader(*bundle, stream))
        return kInstallFailed;
    if (!isUsablePackageName(bundle->name)) {
        reportBrokenPackage(*bundle);
        return kInstallFailed;
    }
    if (stream.currentPart() == PartType::Image)
        stream.nextPart();
    if (bundle->hasImage)
        imageDir = databaseDir(*bundle);

    const unsigned permitted = flags | kSameVersion;
    if (repository.checkInstall(*bundle, permitted) & ~permitted)
        return kBundleRefused;

    int index = repository.findInstalled(bundle->name);
    if (index >= 0) {
        uninstallPackage(*repository.packages[size_t(index)]);
        repository.packages.erase(repository.packages.begin() + index);
    }
    if (!makeDatabaseEntry(*bundle, false))
        return kInstallFailed;
    if (!saveToDatabase(*bundle)) {
        uninstallPackage(*bundle);
        return kInstallFailed;
    }

    const DependencyEntry bundleRef{bundle->name, bundle->version, bundle->version, 0};
    repository.packages.push_back(std::move(bundle));

    std::set<std::string> pending;
    for (const auto& p : repository.packages)
        if (p->bundle.name == bundleRef.name)
            pending.insert(p->name);

    if (stream.currentPart() == PartType::BundleList) {
        std::vector<DependencyEntry> names;
        (void)readNameList(stream, names);
        // Placeholders: each excludes one listed name, so that the members of
        // that name arrive disabled and an installed one is disabled.
        for (const DependencyEntry& entry : names) {
            auto placeholder = std::make_unique<Package>();
            placeholder->conflicts.push_back(DependencyEntry{entry.name, 0, 0, 0});
            repository.packages.push_back(std::move(placeholder));
        }
        stream.nextPart();
    }

    int counted = 0;
    while (stream.currentPart() == PartType::Header) {
        const uint32_t at = stream.partOffset();
        if (Package* member = installOne(stream, permitted, &bundleRef, nullptr)) {
            pending.erase(member->name);
            ++counted;
        } else if (stream.currentPart() == PartType::Header && stream.partOffset() == at) {
            // A member header that cannot be read leaves the stream where it
            // was: nothing after it can be found, and asking again would
            // never end.
            break;
        }
    }
    if (counted == 0)
        return kBundleEmpty;

    for (const std::string& name : pending)
        if (Package* former = repository.findInstalledPackage(name))
            former->scheduled = ScheduledAction::uninstall;
    applySchedule(repository, false);
    repository.showProgress("");
    repository.printInfo("installed %s", label(bundleRef).c_str());
    return kInstalled;
}

bool installContent(Package& package, PackagePartStream& stream, bool relative) {
    Repository& repository = theRepository();
    const bool untracked = stream.isUntracked();
    const std::string progressLabel = installingLabel(package);
    repository.showProgressBar(stream, progressLabel);

    package.untracked = untracked;
    if (!untracked && !makeDatabaseEntry(package, relative))
        return false;
    auto fail = [&] {
        undoInstallation(package, untracked, relative);
        return false;
    };

    if (stream.currentPart() == PartType::Image) {
        char chunk[4096];
        uint32_t left = stream.partLength();
        while (left > 0) {
            repository.showProgressBar(stream, progressLabel);
            uint32_t want = left < sizeof chunk ? left : uint32_t(sizeof chunk);
            if (!stream.read(chunk, want))
                break;
            left -= want;
        }
        stream.nextPart();
    }
    // An untracked package has no database directory to keep scripts in.
    if (stream.currentPart() == PartType::InstallScript) {
        if (!package.hasImage && !untracked &&
            !writeScript(package, stream, stream.partLength(), "oninstall", relative))
            return fail();
        stream.nextPart();
    }
    if (stream.currentPart() == PartType::UninstallScript) {
        if (!untracked && !writeScript(package, stream, stream.partLength(), "onuninstall", relative))
            return fail();
        stream.nextPart();
    }
    if (stream.currentPart() == PartType::Files) {
        if (!extractFiles(package, stream, untracked, relative))
            return fail();
        stream.nextPart();
    }
    if (!archive::checkAuthenticity(stream, installTrust())) {
        reportBrokenPackage(package);
        return fail();
    }
    if (!untracked && !saveToDatabase(package, relative))
        return fail();
    flushInstallRoot(relative);
    if (!package.disabled)
        runScript(package, "oninstall");
    if (package.belongsToBundle())
        return true;
    repository.showProgress("");
    repository.printInfo("installed %s%s", package.disabled ? "(disabled) " : "", label(package).c_str());
    return true;
}

bool writeScript(Package& package, PackagePartStream& stream, uint32_t length, const char* name, bool relative) {
    std::string dir = databaseDir(package, relative);
    if (relative && !dir.empty() && dir[0] == '.')
        dir.erase(0, 1);
    InstallRoot root(relative ? "." : "/flash");
    const std::string path = (relative ? dir : dir.substr(std::string("/flash").size())) + name;
    // The script is copied through in pieces: its length field may promise
    // more than ever arrives. No link on the way is followed.
    int fd = root.openNoLinks(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        reportInstallError(package, name, errno);
        return false;
    }
    static const char preamble[] = "#!/bin/bash\n\n. /lumo/lib/install/profile.sh\n\n";
    bool written = writeAll(fd, preamble, sizeof preamble - 1);
    int error = errno;
    char chunk[4096];
    while (written && length > 0) {
        uint32_t want = length < sizeof chunk ? length : uint32_t(sizeof chunk);
        stream.read(chunk, want);
        if (size_t(stream.gcount()) != want) {
            ::close(fd);
            reportBrokenPackage(package);
            return false;
        }
        written = writeAll(fd, chunk, want);
        error = errno;
        length -= want;
    }
    if (written && ::fchmod(fd, 0755) != 0) {
        written = false;
        error = errno;
    }
    if (::close(fd) != 0 && written && errno != EINTR) {
        written = false;
        error = errno;
    }
    if (!written) {
        reportInstallError(package, name, error);
        return false;
    }
    return true;
}

bool runScript(const Package& package, const char* name) {
    // An untracked package has no scripts: one of its name belongs to a
    // tracked namesake.
    if (package.untracked || !isUsablePackageName(package.name))
        return true;
    const std::string script = "/var/pdb/" + package.name + "/" + name;
    int scriptFd = InstallRoot("/flash").openNoLinks(script, O_PATH);
    if (scriptFd < 0)
        return true;
    ::close(scriptFd);
    const std::string command = script + " >/dev/null 2>&1";

    struct sigaction action = {}, previous = {};
    action.sa_handler = noteChildEnded;
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGCHLD, &action, &previous);

    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        // Standard input is the package stream: the script has no business there.
        int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0 && null != 0) {
            ::dup2(null, 0);
            ::close(null);
        }
        if (::chroot("/flash") == 0 && ::chdir("/") == 0)
            ::execl("/bin/bash", "bash", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    bool ok = false;
    if (pid > 0) {
        int status = 0;
        pid_t waited;
        do
            waited = ::waitpid(pid, &status, 0);
        while (waited < 0 && errno == EINTR);
        ok = waited == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    if (!ok)
        theRepository().printWarning("package %s %s script failed", label(package).c_str(), name);
    return ok;
}
