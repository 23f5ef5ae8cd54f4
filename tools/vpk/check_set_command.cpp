// vpk check-set: whether each package of a medium can be installed from that
// medium at all, judged with the installer's own rules (its repository's
// admission check and install order), so that the media builders refuse a
// medium with a package that every installation from it would fail.
#include <algorithm>
#include <iostream>
#include <memory>

#include "archive/format.h"
#include "command.h"
#include "manifest.h"
#include "pkg/package.h"
#include "pkg/repository.h"
#include "pkg/simulation.h"

namespace {

struct Entry {
    PackageArchive archive;
    bool installable = false;
    std::string why;  // why it can never be installed
};

// The package or one of a bundle's members meets the dependency, as the
// installed packages will once the bundle is in.
bool meetsAny(const PackageHeader& p, const DependencyEntry& dependency) {
    if (meets(p, dependency)) return true;
    for (const PackageHeader& member : p.members)
        if (meets(member, dependency)) return true;
    return false;
}

bool exclude(const PackageHeader& a, const PackageHeader& b) { return conflictsWith(a, b) || conflictsWith(b, a); }

// The menu keeps "system" in every selection.
constexpr char kAlwaysSelected[] = "system";

// The packages here that meet `dependency` for `p`: installable so far and not
// excluding p (or, by conflicts, the package every selection holds).
std::vector<Entry*> candidates(std::vector<Entry>& entries, const Entry& p, const DependencyEntry& dependency,
                               const Entry* always) {
    std::vector<Entry*> found;
    for (Entry& q : entries) {
        if (&q == &p || !q.installable || !meetsAny(q.archive, dependency)) continue;
        if (exclude(q.archive, p.archive) || (always && &q != always && exclude(q.archive, always->archive)))
            continue;
        found.push_back(&q);
    }
    return found;
}

std::string unmetReason(const std::vector<Entry>& entries, const DependencyEntry& dependency) {
    std::string why = "it needs " + formatDependency(dependency) + ", which no other package here provides that can be installed";
    std::string near;
    for (const Entry& q : entries)
        if (isRelated(q.archive, dependency.name)) near += (near.empty() ? "" : ", ") + label(q.archive);
    if (!near.empty()) why += " (here: " + near + ")";
    return why;
}

// Installs `selection` onto an erased disk the way the installation does (in
// the repository's order); returns the installer's objection to `target`,
// empty when it would be installed.
std::string installAsTheInstallerDoes(std::vector<PackageArchive*> selection, const PackageArchive& target) {
    Repository repository;
    repository.quiet = true;
    repository.orderPackages(selection, false, false);
    auto at = std::find(selection.begin(), selection.end(), &target);
    if (at == selection.end())
        return "a newer package of its name here replaces it in every installation that needs it";
    const InstallVerdict verdict =
        simulateInstallation({selection.begin(), selection.end()})[size_t(at - selection.begin())];
    if (verdict.obstacles & kUnusable)
        return verdict.unmet.empty() ? "the installer would refuse it (architecture " + target.architecture + ")"
                                     : "the installer would say: " + verdict.unmet + " is not installed, but is required";
    if (!verdict.resolution.empty()) return "the installer would refuse it: " + verdict.resolution;
    if (!verdict.installed) return "another package of its name and version comes first";
    if (verdict.disabled)
        return verdict.excludedBy.empty() ? "the installer would install it disabled"
                                          : "it conflicts with " + verdict.excludedBy + ", which an installation of it needs";
    return {};
}

int checkSet(const std::vector<std::string>& arguments) {
    Args args(arguments);
    if (!args.unknownOption().empty()) return usageError("check-set", "unknown option " + args.unknownOption());
    auto files = args.positional();
    if (files.empty()) return usageError("check-set", "no package file given");

    std::vector<Entry> entries(files.size());
    int status = kExitOk;
    for (size_t i = 0; i < files.size(); ++i) {
        if (!readArchive(entries[i].archive, files[i])) {
            status = fail(files[i] + ": not a package file");
            entries[i].why = "-";
        }
        entries[i].archive.path = files[i];
    }
    const Entry* always = nullptr;
    for (const Entry& e : entries)
        if (e.why.empty() && e.archive.name == kAlwaysSelected) always = &e;

    // Which packages can be installed at all: repeatedly, those whose every
    // dependency is met by one already found installable that does not
    // exclude them (nor the package every selection holds).
    for (bool changed = true; changed;) {
        changed = false;
        for (Entry& p : entries) {
            if (p.installable || p.why == "-") continue;
            p.why.clear();
            if (!p.archive.architecture.empty() && p.archive.architecture != "i386") {
                p.why = "it is not made for i386, but for " + p.archive.architecture;
                continue;
            }
            if (always && &p != always && exclude(p.archive, always->archive)) {
                p.why = "it conflicts with " + label(always->archive) + ", which every installation includes";
                continue;
            }
            for (const DependencyEntry& dependency : p.archive.dependencies)
                if (candidates(entries, p, dependency, always).empty()) {
                    p.why = unmetReason(entries, dependency);
                    break;
                }
            if (p.why.empty()) p.installable = changed = true;
        }
    }

    // Each one found installable, installed the installer's way with what it
    // needs: the package every selection holds, then for each dependency the
    // first package here that meets it.
    for (Entry& p : entries) {
        if (!p.installable) continue;
        std::vector<PackageArchive*> selection;
        std::vector<Entry*> pending{&p};
        if (always && always != &p) pending.push_back(const_cast<Entry*>(always));
        while (!pending.empty()) {
            Entry* e = pending.back();
            pending.pop_back();
            if (std::find(selection.begin(), selection.end(), &e->archive) != selection.end()) continue;
            selection.push_back(&e->archive);
            for (const DependencyEntry& dependency : e->archive.dependencies) {
                bool met = false;
                for (PackageArchive* s : selection) met = met || meetsAny(*s, dependency);
                auto found = candidates(entries, p, dependency, always);
                if (!met && !found.empty()) pending.push_back(found.front());
            }
        }
        p.why = installAsTheInstallerDoes(selection, p.archive);
        p.installable = p.why.empty();
    }

    for (const Entry& p : entries) {
        if (p.why == "-") continue;
        std::cout << p.archive.path << ": " << label(p.archive) << ": ";
        if (p.installable) {
            std::cout << "ok";
            std::string others;
            for (const Entry& q : entries)
                if (&q != &p && q.why != "-" && exclude(p.archive, q.archive))
                    others += (others.empty() ? "" : ", ") + label(q.archive);
            if (!others.empty()) std::cout << " (never together with " << others << ")";
        } else {
            std::cout << "can never be installed from these files: " << p.why;
            status = kExitFailure;
        }
        std::cout << "\n";
    }
    return status;
}

CommandRegistration checkSetCommand(
    {"check-set", "check that each package of a medium can be installed from it",
     "usage: vpk check-set FILE...\n"
     "  judges the package files as the contents of one medium, with the\n"
     "  installer's own rules: a package whose dependencies no package among\n"
     "  them meets (name and version), that is made for another architecture or\n"
     "  that conflicts with what it needs (or with \"system\", which every\n"
     "  installation includes) can never be installed from it. Prints one line\n"
     "  per package, \"ok\" or why not, and exits 1 when any can never be\n"
     "  installed\n",
     checkSet});

}  // namespace
