// The installed-package record: what the package file said (PackageHeader)
// plus what the installation made of it.
#pragma once

#include <set>
#include <string>

#include "archive/format.h"
#include "pkg/version.h"

// The value doubles as the index of the verb in "can not %s %s: %s depends on it"
// and as the schedule file's vocabulary.
enum class ScheduledAction : int {
    none = 0,
    uninstall = 1,
    enable = 2,
    disable = 3,
};

// "uninstall", "enable", "disable" ("" for none).
const char* actionVerb(ScheduledAction action);

struct Package : PackageHeader {
    // Recorded paths relative to "/flash", each beginning with "/" once loaded
    // from the database; std::string orders them byte by byte.
    std::set<std::string> files;
    // The bundle this package belongs to; an empty name means none.
    DependencyEntry bundle;
    bool disabled = false;
    // The current enabled or disabled state was the user's choice, not the resolver's.
    bool userForced = false;
    ScheduledAction scheduled = ScheduledAction::none;
    // Installed from an untracked package file: it has no database entry, and
    // the entry of its name (if any) belongs to a tracked namesake.
    bool untracked = false;

    Package() = default;
    explicit Package(const PackageHeader& header) : PackageHeader(header) {}

    bool belongsToBundle() const { return !bundle.name.empty(); }
    bool isEnabled() const { return !disabled; }
};

// The bundle's label for members of a bundle, otherwise the package's own:
// installation progress and errors report bundle members under the bundle.
std::string displayLabel(const Package& package);

// A package name that can stand as one directory name in the database.
bool isUsablePackageName(const std::string& name);
// Whether the database can record the package: a usable name, and neither it
// nor a name of its dependency, provides or conflicts lists is empty or holds
// a blank, a newline or another control character (the text files would read
// such a name back as something else).
bool hasRecordableNames(const PackageHeader& header);
