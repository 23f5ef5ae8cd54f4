#include "pkg/simulation.h"

#include <algorithm>
#include <memory>

#include "pkg/repository.h"
#include "pkg/schedule.h"

namespace {

// Takes `leaving` (and, of a bundle, its members) out of the records.
void removeRecord(Repository& repository, const Package* leaving) {
    std::vector<std::string> members;
    for (const PackageHeader& member : leaving->members) members.push_back(member.name);
    auto& packages = repository.packages;
    packages.erase(std::remove_if(packages.begin(), packages.end(), [&](const auto& p) { return p.get() == leaving; }),
                   packages.end());
    for (const std::string& name : members)
        if (int index = repository.findInstalled(name); index >= 0) packages.erase(packages.begin() + index);
}

}  // namespace

std::vector<InstallVerdict> simulateInstallation(const std::vector<const PackageArchive*>& sequence) {
    Repository repository;
    repository.quiet = true;
    std::vector<InstallVerdict> verdicts;
    verdicts.reserve(sequence.size());
    for (const PackageArchive* p : sequence) {
        InstallVerdict& verdict = verdicts.emplace_back();
        verdict.obstacles = repository.checkInstall(*p, 0);
        if (verdict.obstacles & (kUnusable | kDowngrade | kSameVersion)) {
            for (const DependencyEntry& dependency : p->dependencies)
                if (repository.findCandidates(dependency, false).empty()) {
                    verdict.unmet = label(dependency);
                    break;
                }
            continue;
        }
        auto installed = std::make_unique<Package>(*p);
        installed->disabled = (verdict.obstacles & kConflict) != 0;
        if (const Package* excluding = repository.firstConflicting(*p)) verdict.excludedBy = label(*excluding);
        // What the resolution does beside the installation, as the install
        // child works it out: the new package's own state, what it disables,
        // enables or removes.
        ResolutionPlan plan;
        std::string reason;
        if (!p->isBundle && !planResolution(repository, *installed, false, plan, reason)) {
            verdict.resolution = reason;
            continue;
        }
        verdict.installed = true;
        if (!p->isBundle) installed->disabled = plan.disabled;
        for (const auto& [q, disable] : plan.marks) q->disabled = disable;
        if (const Package* older = repository.findInstalledPackage(p->name)) removeRecord(repository, older);
        for (const Package* gone : plan.removed) removeRecord(repository, gone);
        verdict.disabled = installed->disabled;
        for (const PackageHeader& member : p->members) {
            auto one = std::make_unique<Package>(member);
            one->disabled = installed->disabled;
            repository.packages.push_back(std::move(one));
        }
        repository.packages.push_back(std::move(installed));
        for (const auto& [q, disable] : plan.laterMarks) q->disabled = disable;
    }
    return verdicts;
}
