// A dry run of an installation onto an erased disk: what the installer does
// with each package file of a sequence, judged with its own admission rule
// (Repository::checkInstall) beside the packages installed before it. Nothing
// is read but the headers and nothing is written; the media builders and the
// installation server judge what they are given with it.
#pragma once

#include <string>
#include <vector>

#include "archive/format.h"

struct InstallVerdict {
    unsigned obstacles = 0;  // checkInstall's bits for the package file
    bool installed = false;  // installed (perhaps disabled); false: refused or omitted
    bool disabled = false;   // installed disabled
    std::string unmet;       // refused: the first dependency nothing installed meets
    std::string excludedBy;  // an enabled package that excluded it when it came
    std::string resolution;  // refused by the resolution: why
};

// The verdict for each package file of `sequence`, installed one after another
// in that order (a bundle with its members), with the installation's
// permissions: an older build of the same name is upgraded; a package that an
// installed one excludes goes in disabled; the same or an older build than
// one installed is omitted, and one whose architecture is not i386 or whose
// dependency nothing installed meets is refused. The resolution of each
// installation (what it disables, enables or removes, and the new package's
// own state) is carried out on the records as the install child plans it; a
// bundle's members are taken with the bundle's state.
std::vector<InstallVerdict> simulateInstallation(const std::vector<const PackageArchive*>& sequence);
