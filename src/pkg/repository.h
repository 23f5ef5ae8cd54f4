// The package manager of one process: the installed packages, the rules that
// decide what may be installed beside them and in which order, and the console
// output (messages above a one-line progress display).
#pragma once

#include <concepts>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/format.h"
#include "pkg/package.h"

class PackagePartStream;

// Bits returned by checkInstall; a caller passes the ones it permits.
enum InstallObstacle : unsigned {
    kUpgrade = 1,      // an older build is installed
    kDowngrade = 2,    // a newer build is installed
    kSameVersion = 4,  // this very version and build are installed
    kUnusable = 8,     // wrong architecture, or a dependency is not installed
    kConflict = 16,    // an enabled installed package excludes it
};

// The verdict over the packages that could meet one dependency.
enum class CandidateState {
    met,          // some candidate is or will be active
    inactive,     // none will be active, but one is installed and could be
    unavailable,  // no candidate will remain
};

// Relations between packages (bundles through their members).
// The package is `name` or has a member of that name.
bool isRelated(const PackageHeader& package, const std::string& name);
// A needs B: B (or a member of B) meets a dependency of A (or of a member of A).
bool dependsOn(const PackageHeader& a, const PackageHeader& b);
// A excludes B (directional): by its conflicts list or by provided-name precedence.
bool conflictsWith(const PackageHeader& a, const PackageHeader& b);
// B is the package itself or one of its provided names meets `entry`.
bool meets(const PackageHeader& b, const DependencyEntry& entry);

class Repository {
public:
    // Installed packages in the order they were loaded or added; owned.
    std::vector<std::unique_ptr<Package>> packages;
    // The status line now on the console, empty when none.
    std::string progressLine;
    // Prints nothing at all when set.
    bool quiet = false;

    // Sets `quiet` and appends every package of "/flash/var/pdb/".
    void openRepository(bool quiet);

    // Index into `packages`, or -1.
    int findInstalled(const std::string& name) const;
    Package* findInstalledPackage(const std::string& name) const;

    // One message line each ("", "WARNING: ", "ERROR: " in front), at most 255
    // characters of text. Info and error lines clear the progress line first; a
    // warning is printed above it and the progress line drawn again below.
    void printInfo(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void printWarning(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void printError(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Replaces the status line; the same text again writes nothing.
    void showProgress(const std::string& text);
    // label + " [###   ]", 77 columns, filled by how far `stream` has been read.
    void showProgressBar(PackagePartStream& stream, const std::string& label);
    void showProgressBar(uint64_t done, uint64_t total, const std::string& label);

    // May `package` be installed beside the installed packages? Returns the
    // obstacles; reports (once) only those not in `permitted`.
    unsigned checkInstall(const PackageHeader& package, unsigned permitted);

    // Every package, in order, that meets `entry`; disabled ones only when asked.
    std::vector<Package*> findCandidates(const DependencyEntry& entry, bool includeDisabled) const;
    static CandidateState candidateState(const std::vector<Package*>& candidates);
    // The first enabled package that excludes `package`, or nullptr.
    Package* firstConflicting(const PackageHeader& package) const;

    // Keeps the newest (with preferOlder: the oldest) of related entries, then
    // orders the rest so that every package follows the packages it depends on
    // and those that exclude it.
    void orderPackages(std::vector<PackageHeader*>& list, bool preferOlder, bool verbose);
    template <class T>
        requires std::derived_from<T, PackageHeader> && (!std::same_as<T, PackageHeader>)
    void orderPackages(std::vector<T*>& list, bool preferOlder, bool verbose) {
        std::vector<PackageHeader*> headers(list.begin(), list.end());
        orderPackages(headers, preferOlder, verbose);
        list.clear();
        for (PackageHeader* header : headers)
            list.push_back(static_cast<T*>(header));
    }

private:
    void vprint(const char* prefix, const char* format, va_list args);
    void write(const std::string& bytes);
};

// The process's repository, made empty on first use and never destroyed.
Repository& theRepository();
