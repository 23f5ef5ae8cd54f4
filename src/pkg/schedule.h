// Turning the scheduled actions of the installed packages into a consistent
// set (nothing active lacks a dependency or its bundle, no two active packages
// exclude each other, something stays active) and carrying it out.
#pragma once

#include <string>
#include <utility>
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

// What the resolution of scheduled actions does with an installation, worked
// out before anything is written: the state the new package will be in (so
// that its files go where that state wants them), the packages it removes,
// and the marks it changes, for the pass before the files are written and
// the silent one after.
struct ResolutionPlan {
    bool disabled = false;
    std::vector<Package*> removed;
    std::vector<std::pair<Package*, bool>> marks;       // package, disable (verbose pass)
    std::vector<std::pair<Package*, bool>> laterMarks;  // the silent pass
};

// Runs both passes over the repository as it will be with `package` in place
// of its installed namesake (unless it is untracked). Every record is as it
// was afterwards. False, with `reason`, when either pass would remove the
// new package.
bool planResolution(Repository& repository, Package& package, bool verbose, ResolutionPlan& plan,
                    std::string& reason);
