// Turning the scheduled actions of the installed packages into a consistent
// set (nothing active lacks a dependency or its bundle, no two active packages
// exclude each other, something stays active) and carrying it out.
#pragma once

#include <vector>

#include "pkg/repository.h"

// The resolution alone: packages to uninstall or disable, in the order to
// remove them (dependents first), and packages to enable, dependencies first.
void resolveSchedule(Repository& repository, std::vector<Package*>& removals,
                     std::vector<Package*>& enablings, bool verbose);

// Resolves and carries out the schedule; true when any package was
// uninstalled, disabled or enabled. Uninstalled packages leave `packages`.
bool applySchedule(Repository& repository, bool verbose);
inline bool applySchedule(bool verbose) { return applySchedule(theRepository(), verbose); }
