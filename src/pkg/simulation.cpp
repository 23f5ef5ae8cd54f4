#include "pkg/simulation.h"

#include <memory>

#include "pkg/repository.h"

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
        verdict.installed = true;
        if (const Package* excluding = repository.firstConflicting(*p)) verdict.excludedBy = label(*excluding);
        // an upgrade replaces the older build and, of a bundle, its members
        if (int older = repository.findInstalled(p->name); older >= 0) {
            const Package& old = *repository.packages[size_t(older)];
            std::vector<std::string> members;
            for (const PackageHeader& member : old.members) members.push_back(member.name);
            repository.packages.erase(repository.packages.begin() + older);
            for (const std::string& name : members)
                if (int index = repository.findInstalled(name); index >= 0)
                    repository.packages.erase(repository.packages.begin() + index);
        }
        auto installed = std::make_unique<Package>(*p);
        installed->disabled = !verdict.excludedBy.empty();
        for (const PackageHeader& member : p->members) {
            auto one = std::make_unique<Package>(member);
            one->disabled = installed->disabled;
            repository.packages.push_back(std::move(one));
        }
        repository.packages.push_back(std::move(installed));
    }
    return verdicts;
}
