// The package database: one directory per installed package under
// "/flash/var/pdb/", plain text files that other tools of the installed system
// read too, so their bytes are fixed.
#pragma once

#include <cerrno>
#include <set>
#include <string>

#include "pkg/package.h"

inline constexpr const char* kDatabaseRoot = "/flash/var/pdb/";
// Schedule files: written by the installed system, consumed here on load.
inline constexpr const char* kScheduleRoot = "/ram/pdb/";

// "/flash/var/pdb/" + name + "/"; with `relative`, "." in front, so that a
// driver installation records itself under the working directory.
std::string databaseDir(const std::string& name, bool relative = false);
inline std::string databaseDir(const Package& package, bool relative = false) {
    return databaseDir(package.name, relative);
}

// Fills a fresh record from the directory of `name`. Never fails: whatever
// cannot be read schedules the package for uninstallation, so that the next
// resolution clears the damaged entry away. Consumes the schedule file; with
// `consume` false it stays, and the name is noted in scheduleFilesRead(): an
// installation deletes it when it commits, so that a word is never lost to a
// run that did nothing.
void loadFromDatabase(Package& package, const std::string& name, bool consume = true);
std::set<std::string>& scheduleFilesRead();

// Creates the package's database directory (with `relative`, its form under
// the working directory), with no symbolic link on the way; what an earlier
// entry of the name left there that is not a plain file is cleared away. On
// failure prints the installation error and returns false.
[[nodiscard]] bool makeDatabaseEntry(const Package& package, bool relative);

// Writes the package's directory files (the directory must exist). On a failed
// write prints the installation error and returns false; files written before
// the failure stay (the caller removes the package).
[[nodiscard]] bool saveToDatabase(const Package& package, bool relative = false);

// Deletes the (absolute) directory of the package and the files in it; an
// entry that is a link or a file is removed itself. Every access to the
// database and the schedule files goes through the install root's no-link
// calls (archive/rootfs.h). An untracked package has no entry: nothing happens.
void removeDatabaseEntry(const Package& package);

// Creates the missing directories of `path` by plain paths, from the top down (mode 0770,
// umask applies); with `skipLast` the last component is left out because it
// names a file about to be made. An existing directory is no error.
[[nodiscard]] bool makeDirectories(const std::string& path, bool skipLast = false);

// The one error line of a failed write during installation, chosen by the
// system error: "disk is too small", "disk error", or "could not create WHAT: reason".
void reportInstallError(const Package& package, const std::string& what, int error = errno);
// While held back, the "disk is too small" error is kept rather than printed
// (an upgrade that the caller may do again with the older version removed
// first); printHeldBackError prints it after all, dropHeldBackError forgets it.
void holdBackNoRoomError(bool hold);
bool noRoomErrorHeld();
void printHeldBackError();
void dropHeldBackError();
// "installation of %s failed: broken package"
void reportBrokenPackage(const Package& package);

// The elementary state changes that carrying out a schedule needs; none of them
// reports errors.
// Deletes the package's files under "/flash" and its database entry; scheduled = none.
void uninstallPackage(Package& package);
// Records the package as enabled ("enabled" only when the user forced it).
void enablePackage(Package& package);
// Records the package as disabled, by the user or by the resolver.
void disablePackage(Package& package);
