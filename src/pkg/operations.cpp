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

bool stillInstalled(const Repository& repository, const Package* package) {
    for (const auto& p : repository.packages)
        if (p.get() == package)
            return true;
    return false;
}

// The installed version of a package while a newer one is written: its files
// are renamed to hidden names in their own directories and its database entry
// to a hidden name in the database directory, so that the newer version finds
// its paths free, and the older one can be put back exactly as it was when
// the newer one fails.
class OldVersion {
public:
    explicit OldVersion(std::unique_ptr<Package> package) : package_(std::move(package)) {}

    // False (with everything moved so far put back) when a file or the entry
    // cannot be moved.
    bool setAside() {
        InstallRoot root("/flash");
        // Deepest first, so that a file reached through a link that the
        // package owns moves before the link.
        for (auto it = package_->files.rbegin(); it != package_->files.rend(); ++it) {
            if (hasDotDotComponent(*it))
                continue;
            std::string parent, last;
            InstallRoot::split(*it, parent, last);
            struct stat info;
            if (last.empty() || !root.lstat(*it, info))
                continue;  // gone already: nothing to keep
            bool moved = false;
            for (unsigned attempt = 0; attempt < 1000 && !moved; ++attempt) {
                std::string name = ".old-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++);
                if (root.renameInDirectory(*it, name, true)) {
                    aside_.emplace_back(*it, parent + "/" + name);
                    moved = true;
                } else if (errno != EEXIST) {
                    break;
                }
            }
            if (!moved) {
                restore();
                return false;
            }
        }
        if (!setEntryAside(*package_, entryAside_)) {
            restore();
            return false;
        }
        return true;
    }
    // Puts the files and the entry back where they were.
    void restore() {
        InstallRoot root("/flash");
        for (auto it = aside_.rbegin(); it != aside_.rend(); ++it) {
            std::string parent, last;
            InstallRoot::split(it->first, parent, last);
            root.renameInDirectory(it->second, last, false);
        }
        aside_.clear();
        restoreEntry(*package_, entryAside_);
        entryAside_.clear();
    }
    // The newer version is in place: the older one's files and entry go.
    void discard() {
        for (const auto& [original, moved] : aside_)
            removeInRoot("/flash", moved);
        aside_.clear();
        removeEntryAside(entryAside_);
        entryAside_.clear();
    }
    std::unique_ptr<Package> release() { return std::move(package_); }

private:
    std::unique_ptr<Package> package_;
    std::vector<std::pair<std::string, std::string>> aside_;  // original path, hidden path
    std::string entryAside_;
    unsigned counter_ = 0;
};

// Whether the resolution that follows the installation keeps `package` (with
// its installed namesake replaced, unless it is untracked). Nothing is
// changed: every scheduled action is as it was afterwards. When it would be
// removed, `reason` says why.
bool survivesResolution(Repository& repository, std::unique_ptr<Package>& package, std::string& reason) {
    auto& packages = repository.packages;
    std::vector<std::pair<Package*, ScheduledAction>> saved;
    for (const auto& p : packages)
        saved.emplace_back(p.get(), p->scheduled);
    int index = package->untracked ? -1 : repository.findInstalled(package->name);
    std::unique_ptr<Package> old;
    if (index >= 0) {
        old = std::move(packages[size_t(index)]);
        packages.erase(packages.begin() + index);
    }
    Package* candidate = package.get();
    packages.push_back(std::move(package));
    std::vector<Package*> removals, enablings;
    resolveSchedule(repository, removals, enablings, false);
    const bool kept = candidate->scheduled != ScheduledAction::uninstall;
    if (!kept) {
        reason = "the resolution of scheduled actions would remove it";
        for (const DependencyEntry& dependency : candidate->dependencies) {
            bool staying = false;
            for (Package* p : repository.findCandidates(dependency, true))
                staying = staying || (p != candidate && p->scheduled != ScheduledAction::uninstall);
            if (!staying) {
                reason = "it depends on " + dependency.name + ", which would not stay installed";
                break;
            }
        }
    }
    package = std::move(packages.back());
    packages.pop_back();
    if (old)
        packages.insert(packages.begin() + index, std::move(old));
    for (auto& [p, action] : saved)
        p->scheduled = action;
    candidate->scheduled = ScheduledAction::none;
    return kept;
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
    if (!hasRecordableNames(*package)) {
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
    package->untracked = stream.isUntracked();
    const bool untracked = package->untracked;

    // A package that the resolution after its installation would take out
    // again is refused now, before anything is written or removed.
    std::string reason;
    if (!survivesResolution(repository, package, reason)) {
        repository.printError("installation of %s failed: %s", displayLabel(*package).c_str(), reason.c_str());
        return nullptr;
    }

    // The installed version of the same name (an untracked package never
    // touches its namesake) stays on the disk, set aside, until the new one
    // is known to be good; so does whatever the new one would disable or
    // remove, because the resolution runs only afterwards.
    std::unique_ptr<OldVersion> old;
    int oldIndex = untracked ? -1 : repository.findInstalled(package->name);
    if (oldIndex >= 0) {
        old = std::make_unique<OldVersion>(std::move(repository.packages[size_t(oldIndex)]));
        repository.packages.erase(repository.packages.begin() + oldIndex);
        if (!old->setAside()) {
            reportInstallError(*package, "var/pdb/" + package->name, errno);
            repository.packages.insert(repository.packages.begin() + oldIndex, old->release());
            return nullptr;
        }
    }
    if (!writeContent(*package, stream, false)) {
        if (old) {
            old->restore();
            repository.packages.insert(repository.packages.begin() + oldIndex, old->release());
        }
        return nullptr;
    }
    // The old version's files and database entry go; its uninstall script is
    // not run.
    if (old)
        old->discard();
    old.reset();

    Package* installed = package.get();
    repository.packages.push_back(std::move(package));
    applySchedule(repository, !untracked);
    if (!stillInstalled(repository, installed)) {
        // Not expected after the check above; said rather than hidden.
        repository.printError("installation of %s failed: it was removed by the resolution of scheduled actions",
                              displayLabel(*installed).c_str());
        return nullptr;
    }
    completeInstallation(*installed, false);
    return installed;
}

int installBundle(PackagePartStream& stream, unsigned flags, std::string& imageDir) {
    Repository& repository = theRepository();
    auto bundle = std::make_unique<Package>();
    if (!readHeader(*bundle, stream))
        return kInstallFailed;
    if (!hasRecordableNames(*bundle)) {
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
    if (!writeContent(package, stream, relative))
        return false;
    completeInstallation(package, relative);
    return true;
}

bool writeContent(Package& package, PackagePartStream& stream, bool relative) {
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
    return true;
}

void completeInstallation(Package& package, bool relative) {
    Repository& repository = theRepository();
    flushInstallRoot(relative);
    if (!package.disabled)
        runScript(package, "oninstall");
    if (package.belongsToBundle())
        return;
    repository.showProgress("");
    repository.printInfo("installed %s%s", package.disabled ? "(disabled) " : "", label(package).c_str());
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
