// Writing a package's Files part into the installed system.
#pragma once

#include <string>

#include "pkg/package.h"

class PackagePartStream;

// The root that a package's recorded paths are relative to: "/flash", or the
// working directory for a `relative` (driver) installation.
const char* installRootFor(bool relative);
// The recorded path as a path inside that root (the "." of a relative one dropped).
std::string pathInRoot(const std::string& recordedPath, bool relative);

// "installing " and the package's display label, with " (disabled) " between
// for a disabled package that belongs to no bundle.
std::string installingLabel(const Package& package);

// Creates the entries of the Files part the stream stands on, adding each
// recorded path (except directories) to package.files. Reports its own
// failure (one error line) and returns false at the first one.
[[nodiscard]] bool extractFiles(Package& package, PackagePartStream& stream, bool untracked, bool relative);

// Whether extractFiles reads, inflates and writes in threads side by side
// (the default) or all in line, as it does when no thread can be started.
void setPayloadThreads(bool threaded);

// The name of the first installed package whose files hold the recorded path,
// or "".
std::string findOwner(const std::string& recordedPath);
