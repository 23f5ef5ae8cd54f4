// Installing packages from a package stream; the install and uninstall
// scripts. (Uninstalling, enabling and disabling an installed package are in
// pkg/database.h, beside the database they change.)
#pragma once

#include <functional>
#include <istream>
#include <streambuf>
#include <string>

#include "pkg/package.h"

class PackagePartStream;
namespace archive {
struct TrustAnchors;
}

// Flags of installFromStream: the one the installer passes.
inline constexpr unsigned kPermitUpgrade = 1;

// Results of installFromStream and installBundle.
enum InstallResult : int {
    kInstalled = 0,
    kInstallFailed = 1,
    kBundleRefused = 2,
    kBundleEmpty = 3,
};

// The key and digest table that installations check packages against; the
// built-in ones unless a tool sets others (null restores them).
void setInstallTrust(const archive::TrustAnchors* trust);
const archive::TrustAnchors& installTrust();

// Makes the stream stop at the parts that an installation reads.
void acceptInstallParts(PackagePartStream& stream);

// Installs the package or bundle in the package file read from `in`; every
// raw byte read is copied to `tee` when it is set. When an image package is
// installed, `imageDir` receives its database directory.
int installFromStream(std::istream& in, unsigned flags, std::streambuf* tee, std::string& imageDir);

// An upgrade that fails for want of room for both versions at once can be
// done again by the caller with the older version removed first (stream mode
// keeps the package file's bytes for that). While a caller offers it
// (`notNeeded` set), installOne holds back the "disk is too small" error of
// such an upgrade (see holdBackNoRoomError) and calls `notNeeded` as soon as
// it knows that no second attempt can come (no older version, a bundle).
void offerOlderFirstRetry(std::function<void()> notNeeded);
// The second attempt: the installed older version is removed first, as a
// committed change of its own, with a warning.
void setOlderFirst(bool olderFirst);

// Installs the single package at the stream's Header part. Returns the
// installed package (owned by the repository), for a bundle member also the
// one that is kept, or null.
Package* installOne(PackagePartStream& stream, unsigned flags, const DependencyEntry* bundleRef,
                    std::string* imageDir);

// Installs the bundle at the stream's BundleHeader part and its members.
int installBundle(PackagePartStream& stream, unsigned flags, std::string& imageDir);

// Writes scripts, files and database entry of a package whose header has been
// read, checks its authenticity and runs its install script. On failure the
// package's files and database entry are removed again.
[[nodiscard]] bool installContent(Package& package, PackagePartStream& stream, bool relative);

// The two halves of installContent. writeContent: scripts, files, the
// authenticity check and the database entry; on failure (reported) whatever
// the package wrote is removed again. completeInstallation: flushes the file
// system, runs the install script of an enabled package and prints
// "installed" for a package outside a bundle.
[[nodiscard]] bool writeContent(Package& package, PackagePartStream& stream, bool relative);
void completeInstallation(Package& package, bool relative);

// Stores `length` bytes of the current part as the script `name` in the
// package's database directory.
[[nodiscard]] bool writeScript(Package& package, PackagePartStream& stream, uint32_t length, const char* name,
                               bool relative);

// Runs the package's stored script `name` chrooted into "/flash"; true when
// there is none or it succeeded, otherwise warns and returns false.
bool runScript(const Package& package, const char* name);
