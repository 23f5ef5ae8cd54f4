#include "pkg/operations.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "archive/rootfs.h"
#include "archive/format.h"
#include "archive/partstream.h"
#include "archive/signature.h"
#include "pkg/database.h"
#include "pkg/payload.h"
#include "pkg/repository.h"
#include "pkg/schedule.h"
#include "pkg/transaction.h"

namespace {

const archive::TrustAnchors* trustOverride = nullptr;
std::function<void()> retryNotNeeded;
bool olderFirstMode = false;

void noRetryComing() {
    if (retryNotNeeded)
        std::exchange(retryNotNeeded, nullptr)();
}

// Holds back the "disk is too small" error while it lives.
struct NoRoomHold {
    explicit NoRoomHold(bool on) : on(on) { holdBackNoRoomError(on); }
    ~NoRoomHold() {
        if (on)
            holdBackNoRoomError(false);
    }
    bool on;
};

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

// The installation's transaction, begun at its first change.
bool startTransaction(const Package& package) {
    if (simulating())
        return true;
    Transaction* transaction = Transaction::active();
    if (!transaction)
        return false;
    if (transaction->started() || transaction->begin())
        return true;
    reportInstallError(package, kTransactionDir, errno);
    return false;
}

// Sets aside the files and database entry of a package that leaves; false
// (reported in the name of `installing`) when one cannot be moved.
bool setAsidePackage(Transaction& transaction, const Package& leaving, const Package& installing) {
    // Deepest first, so that a file reached through a link that the package
    // owns moves before the link.
    std::vector<std::string> paths(leaving.files.rbegin(), leaving.files.rend());
    if (!transaction.setAsideAll(paths)) {
        const std::string& path = transaction.failedPath();
        reportInstallError(installing, path.substr(!path.empty() && path[0] == '/' ? 1 : 0), errno);
        return false;
    }
    if (!leaving.untracked && !transaction.setAsideEntry(leaving.name)) {
        reportInstallError(installing, "var/pdb/" + leaving.name, errno);
        return false;
    }
    return true;
}

// Writes a package's enabled/disabled marks inside the transaction.
void changeMarks(Transaction& transaction, Package& package, bool disable) {
    if (!package.untracked) {
        (void)transaction.setAsideEntryFiles(package.name, {"disabled", "enabled"});
        transaction.noteEntryFile(package.name, "disabled");
        transaction.noteEntryFile(package.name, "enabled");
        faultPoint();
    }
    if (disable)
        disablePackage(package);
    else
        enablePackage(package);
}

// Applies marks of a pass, with the messages of a verbose one. The package
// being installed (`installing`) only takes the state: its entry is written
// with it.
void applyMarks(Transaction& transaction, Repository& repository,
                const std::vector<std::pair<Package*, bool>>& marks, bool verbose, const Package* installing) {
    for (const auto& [p, disable] : marks) {
        const std::string name = label(*p);
        if (verbose)
            repository.showProgress((disable ? "disabling " : "enabling ") + name + "...");
        if (p != installing && !simulating())
            changeMarks(transaction, *p, disable);
        if (verbose)
            repository.printInfo(disable ? "disabled %s" : "enabled %s", name.c_str());
    }
}

// The resolution of scheduled actions carried out inside the transaction:
// what it uninstalls is set aside, the marks it changes are journalled.
bool carryOutSchedule(Repository& repository, bool verbose, const Package& reportAs) {
    Transaction* transaction = Transaction::active();
    if (!simulating() && (!transaction || !transaction->started())) {
        applySchedule(repository, verbose);
        return true;
    }
    std::vector<Package*> removals, enablings;
    resolveSchedule(repository, removals, enablings, verbose);
    std::set<const Package*> gone;
    std::vector<std::pair<Package*, bool>> marks;
    for (Package* p : removals) {
        if (p->scheduled == ScheduledAction::uninstall) {
            if (simulating())
                simulatedFree().insert(p->files.begin(), p->files.end());
            if (!simulating() && !setAsidePackage(*transaction, *p, reportAs))
                return false;
            gone.insert(p);
        } else {
            marks.emplace_back(p, true);
        }
    }
    auto& packages = repository.packages;
    packages.erase(std::remove_if(packages.begin(), packages.end(),
                                  [&](const std::unique_ptr<Package>& p) { return gone.count(p.get()) > 0; }),
                   packages.end());
    for (Package* p : enablings)
        marks.emplace_back(p, false);
    applyMarks(*transaction, repository, marks, verbose, nullptr);
    return true;
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

void offerOlderFirstRetry(std::function<void()> notNeeded) { retryNotNeeded = std::move(notNeeded); }
void setOlderFirst(bool olderFirst) { olderFirstMode = olderFirst; }

const archive::TrustAnchors& installTrust() {
    return trustOverride ? *trustOverride : archive::builtinTrustAnchors();
}

void acceptInstallParts(PackagePartStream& stream) {
    for (PartType type : {PartType::Header, PartType::BundleHeader, PartType::BundleList, PartType::Architecture,
                          PartType::Dependencies, PartType::Provides, PartType::Conflicts, PartType::Image,
                          PartType::Files, PartType::InstallScript, PartType::UninstallScript, PartType::Signature})
        stream.acceptPartType(type);
}

int installFromStream(std::istream& in, unsigned flags, std::streambuf* tee, std::string& imageDir) {
    PackagePartStream stream(in, true, tee);
    acceptInstallParts(stream);
    stream.nextPart();
    // Everything this package file changes is one transaction: whole, or
    // not at all, also across a crash.
    Transaction transaction;
    transaction.makeActive();
    int result;
    if (stream.currentPart() == PartType::BundleHeader)
        result = installBundle(stream, flags, imageDir);
    else
        result = installOne(stream, flags, nullptr, &imageDir) ? kInstalled : kInstallFailed;
    if (transaction.started()) {
        if (result == kInstalled) {
            for (const std::string& name : scheduleFilesRead())
                transaction.noteSchedule(name);
            if (!transaction.commit()) {
                theRepository().printError("could not record the installation: %s", std::strerror(errno));
                result = kInstallFailed;
            }
        } else if (!transaction.rollback()) {
            theRepository().printError("could not undo the failed installation; the next run will try again");
        }
    }
    return result;
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

    // The resolution of scheduled actions is worked out first: a package
    // that it would take out again is refused before anything is written, and
    // the new package's files go where its final state wants them.
    ResolutionPlan plan;
    std::string reason;
    if (!planResolution(repository, *package, !untracked, plan, reason)) {
        repository.printError("installation of %s failed: %s", displayLabel(*package).c_str(), reason.c_str());
        return nullptr;
    }
    package->disabled = plan.disabled;
    Package* namesake = untracked ? nullptr : repository.findInstalledPackage(package->name);
    // An upgrade that finds no room for both versions may come again with
    // the older one removed first: its error waits for the caller's verdict.
    const bool mayRetry = retryNotNeeded && !bundleRef && namesake && !simulating();
    if (!mayRetry)
        noRetryComing();
    NoRoomHold hold(mayRetry);
    if (!startTransaction(*package))
        return nullptr;
    Transaction& transaction = *Transaction::active();
    if (olderFirstMode && namesake && !bundleRef && !simulating()) {
        // No room for both versions: the older one goes first, committed on
        // its own (a crash after this leaves no version, and a database that
        // says so), which is the order of an installation without a journal.
        repository.printWarning("no room for both versions of %s: the older one is removed first",
                                package->name.c_str());
        if (!setAsidePackage(transaction, *namesake, *package)) {
            (void)transaction.rollback();
            return nullptr;
        }
        if (!transaction.commit()) {
            reportInstallError(*package, kTransactionDir, errno);
            (void)transaction.rollback();
            return nullptr;
        }
        for (auto it = repository.packages.begin(); it != repository.packages.end(); ++it)
            if (it->get() == namesake) {
                repository.packages.erase(it);
                break;
            }
        namesake = nullptr;
        if (!transaction.begin()) {
            reportInstallError(*package, kTransactionDir, errno);
            return nullptr;
        }
    }
    const size_t savepoint = transaction.savepoint();

    // The installed version of the same name (an untracked package never
    // touches its namesake) and whatever the resolution uninstalls are set
    // aside until the new package is in place; the records leave the
    // repository, so that the new files find their paths free.
    std::vector<Package*> order;
    for (const auto& p : repository.packages)
        order.push_back(p.get());
    std::set<Package*> leaving(plan.removed.begin(), plan.removed.end());
    if (namesake)
        leaving.insert(namesake);
    auto putBack = [&](std::vector<std::unique_ptr<Package>>& held) {
        transaction.rollbackTo(savepoint);
        std::map<Package*, std::unique_ptr<Package>> owned;
        for (auto& p : repository.packages)
            owned[p.get()] = std::move(p);
        for (auto& p : held)
            owned[p.get()] = std::move(p);
        repository.packages.clear();
        for (Package* p : order)
            repository.packages.push_back(std::move(owned[p]));
    };
    std::vector<std::unique_ptr<Package>> held;
    for (Package* p : order) {
        if (leaving.count(p) && simulating())
            simulatedFree().insert(p->files.begin(), p->files.end());
        if (leaving.count(p) && !simulating() && !setAsidePackage(transaction, *p, *package)) {
            putBack(held);
            return nullptr;
        }
    }
    for (auto it = repository.packages.begin(); it != repository.packages.end();) {
        if (leaving.count(it->get())) {
            held.push_back(std::move(*it));
            it = repository.packages.erase(it);
        } else {
            ++it;
        }
    }
    if (!writeContent(*package, stream, false)) {
        putBack(held);
        return nullptr;
    }
    // The leaving packages' uninstall scripts are not run.
    held.clear();
    Package* installed = package.get();
    applyMarks(transaction, repository, plan.marks, !untracked, installed);
    repository.packages.push_back(std::move(package));
    applyMarks(transaction, repository, plan.laterMarks, false, installed);
    for (const auto& p : repository.packages)
        p->scheduled = ScheduledAction::none;
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
    noRetryComing();
    if (stream.currentPart() == PartType::Image)
        stream.nextPart();
    if (bundle->hasImage)
        imageDir = databaseDir(*bundle);

    const unsigned permitted = flags | kSameVersion;
    if (repository.checkInstall(*bundle, permitted) & ~permitted)
        return kBundleRefused;

    if (!startTransaction(*bundle))
        return kInstallFailed;
    Transaction& transaction = *Transaction::active();
    int index = repository.findInstalled(bundle->name);
    if (index >= 0) {
        if (!simulating() && !setAsidePackage(transaction, *repository.packages[size_t(index)], *bundle))
            return kInstallFailed;
        repository.packages.erase(repository.packages.begin() + index);
    }
    if (!simulating())
        transaction.noteEntry(bundle->name);
    if (!simulating() && !makeDatabaseEntry(*bundle, false))
        return kInstallFailed;
    if (!simulating() && !saveToDatabase(*bundle)) {
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
    if (!carryOutSchedule(repository, false, *repository.findInstalledPackage(bundleRef.name)))
        return kInstallFailed;
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
    // Inside a transaction, undoing is the transaction's: it knows what
    // stood before.
    Transaction* transaction = relative ? nullptr : Transaction::active();
    if (transaction && !transaction->started())
        transaction = nullptr;
    if (transaction && !untracked)
        transaction->noteEntry(package.name);
    const bool simulate = simulating();
    if (!untracked && !simulate && !makeDatabaseEntry(package, relative))
        return false;
    auto fail = [&] {
        if (!transaction && !simulate)
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
        if (!package.hasImage && !untracked && !simulate &&
            !writeScript(package, stream, stream.partLength(), "oninstall", relative))
            return fail();
        stream.nextPart();
    }
    if (stream.currentPart() == PartType::UninstallScript) {
        if (!untracked && !simulate && !writeScript(package, stream, stream.partLength(), "onuninstall", relative))
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
    if (!untracked && !simulate && !saveToDatabase(package, relative))
        return fail();
    return true;
}

void completeInstallation(Package& package, bool relative) {
    Repository& repository = theRepository();
    if (!simulating()) {
        flushInstallRoot(relative);
        if (!package.disabled)
            runScript(package, "oninstall");
    }
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
