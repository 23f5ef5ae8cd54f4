#include "pkg/schedule.h"

#include <algorithm>
#include <set>
#include <string_view>
#include <unordered_map>

#include "pkg/database.h"
#include "pkg/relation_index.h"

namespace {

bool hasAction(const Package& p, ScheduledAction action) { return p.scheduled == action; }

// Scheduled enable, or enabled with nothing pending.
bool willBeActive(const Package& p) {
    return p.scheduled == ScheduledAction::enable || (!p.disabled && p.scheduled == ScheduledAction::none);
}

// Active now and staying so, or disabled and about to be enabled.
bool activeNarrow(const Package& p) {
    return p.disabled ? p.scheduled == ScheduledAction::enable : p.scheduled == ScheduledAction::none;
}

class Resolver {
public:
    Resolver(Repository& repository, bool verbose) : repository_(repository), verbose_(verbose) {
        for (const auto& p : repository.packages)
            packages_.push_back(p.get());
        const uint32_t count = uint32_t(packages_.size());
        std::vector<const PackageHeader*> headers(packages_.begin(), packages_.end());
        index_ = std::make_unique<RelationIndex>(headers);
        for (uint32_t i = 0; i < count; ++i) {
            byName_.try_emplace(packages_[i]->name, i);
            if (packages_[i]->belongsToBundle())
                members_[packages_[i]->bundle.name].push_back(i);
        }
        // The packages do not change during a resolution, so every
        // dependency's candidates (disabled ones included) are found once.
        candidates_.resize(count);
        dependents_.resize(count);
        for (uint32_t i = 0; i < count; ++i) {
            for (const DependencyEntry& dependency : packages_[i]->dependencies) {
                std::vector<Package*> found;
                for (uint32_t q : index_->mayMeet(dependency.name)) {
                    if (meets(*packages_[q], dependency)) {
                        found.push_back(packages_[q]);
                        if (dependents_[q].empty() || dependents_[q].back() != i)
                            dependents_[q].push_back(i);
                    }
                }
                candidates_[i].push_back(std::move(found));
            }
        }
        positions_.reserve(count);
        for (uint32_t i = 0; i < count; ++i)
            positions_[packages_[i]] = i;
        ensuring_.assign(count, 0);
    }

    void resolve(std::vector<Package*>& removals, std::vector<Package*>& enablings) {
        removals.clear();
        enablings.clear();
        bundlesPassActions();
        for (uint32_t i = 0; i < packages_.size(); ++i)
            if (willBeActive(*packages_[i]))
                ensureNeeds(i);
        settleConflicts();
        dependencyFallout();
        bundlesFollowMembers();
        if (refuseToEmpty())
            return;
        for (Package* p : packages_) {
            if (hasAction(*p, ScheduledAction::uninstall) || hasAction(*p, ScheduledAction::disable))
                removals.push_back(p);
            else if (hasAction(*p, ScheduledAction::enable))
                enablings.push_back(p);
        }
        repository_.orderPackages(removals, false, false);
        std::reverse(removals.begin(), removals.end());
        repository_.orderPackages(enablings, false, false);
    }

private:
    int bundleOf(const Package& p) const {
        if (!p.belongsToBundle())
            return -1;
        auto found = byName_.find(p.bundle.name);
        return found == byName_.end() ? -1 : int(found->second);
    }

    // A bundle's action passes to its members.
    void bundlesPassActions() {
        for (Package* member : packages_) {
            int b = bundleOf(*member);
            if (b < 0)
                continue;
            const Package& bundle = *packages_[size_t(b)];
            if (hasAction(bundle, ScheduledAction::disable) && !hasAction(*member, ScheduledAction::uninstall))
                member->scheduled = ScheduledAction::disable;
            if (hasAction(bundle, ScheduledAction::uninstall))
                member->scheduled = ScheduledAction::uninstall;
            if (hasAction(bundle, ScheduledAction::enable) && member->disabled)
                member->scheduled = ScheduledAction::enable;
        }
    }

    // What an active package needs stays: its bundle, and for each dependency
    // that no active candidate meets, the candidate that comes last in order.
    void ensureNeeds(uint32_t p) {
        // A bundle naming itself or a circle of bundles would otherwise never end.
        if (ensuring_[p])
            return;
        ensuring_[p] = 1;
        int b = bundleOf(*packages_[p]);
        if (b >= 0)
            keepActive(uint32_t(b), p);
        for (const std::vector<Package*>& found : candidates_[p]) {
            CandidateState state = Repository::candidateState(found);
            if (state == CandidateState::met)
                continue;
            if (found.empty())
                break;
            std::vector<Package*> ordered = found;
            repository_.orderPackages(ordered, false, false);
            if (!ordered.empty())
                keepActive(positions_[ordered.back()], p);
        }
        ensuring_[p] = 0;
    }

    void keepActive(uint32_t q, uint32_t dependent) {
        Package& kept = *packages_[q];
        if (hasAction(kept, ScheduledAction::uninstall) || hasAction(kept, ScheduledAction::disable)) {
            if (verbose_)
                repository_.printWarning("can not %s %s: %s depends on it", actionVerb(kept.scheduled),
                                         label(kept).c_str(), packages_[dependent]->name.c_str());
            kept.scheduled = ScheduledAction::none;
        } else {
            if (!kept.disabled)
                return;
            kept.scheduled = ScheduledAction::enable;
        }
        ensureNeeds(q);
    }

    // No two active packages exclude each other.
    void settleConflicts() {
        for (uint32_t i = 0; i < packages_.size(); ++i) {
            Package& p = *packages_[i];
            if (!willBeActive(p))
                continue;
            std::vector<uint32_t> others = index_->mayBeExcludedBy(p, int(i));
            if (hasAction(p, ScheduledAction::enable)) {
                std::vector<uint32_t> excluders = index_->mayExclude(p, int(i)), merged;
                std::set_union(others.begin(), others.end(), excluders.begin(), excluders.end(),
                               std::back_inserter(merged));
                others.swap(merged);
            }
            for (uint32_t j : others) {
                Package& q = *packages_[j];
                if (!activeNarrow(q))
                    continue;
                if (conflictsWith(p, q)) {
                    if (hasAction(q, ScheduledAction::none))
                        q.scheduled = ScheduledAction::disable;
                } else if (hasAction(p, ScheduledAction::enable) && conflictsWith(q, p)) {
                    if (hasAction(q, ScheduledAction::none)) {
                        q.scheduled = ScheduledAction::disable;
                    } else if (hasAction(q, ScheduledAction::enable)) {
                        if (verbose_)
                            repository_.printWarning("can not enable %s: %s conflicts with it", p.name.c_str(),
                                                     label(q).c_str());
                        p.scheduled = ScheduledAction::none;
                        break;
                    }
                }
            }
        }
    }

    // Returns true when the rule changed the package.
    bool fallout(uint32_t i) {
        Package& p = *packages_[i];
        for (const std::vector<Package*>& found : candidates_[i]) {
            switch (Repository::candidateState(found)) {
            case CandidateState::unavailable:
                if (!hasAction(p, ScheduledAction::uninstall)) {
                    p.scheduled = ScheduledAction::uninstall;
                    return true;
                }
                break;
            case CandidateState::inactive:
                if (hasAction(p, ScheduledAction::enable) || (!p.disabled && hasAction(p, ScheduledAction::none))) {
                    p.scheduled = ScheduledAction::disable;
                    return true;
                }
                break;
            case CandidateState::met:
                break;
            }
        }
        return false;
    }

    // Whatever lost a dependency goes too, until nothing changes. The rule is
    // applied to the first package in order where it changes something, as a
    // scan restarted from the first package after every change would; a
    // package needs another look only when it or one of its candidates changed.
    void dependencyFallout() {
        std::set<uint32_t> pending;
        for (uint32_t i = 0; i < packages_.size(); ++i)
            pending.insert(pending.end(), i);
        while (!pending.empty()) {
            uint32_t i = *pending.begin();
            pending.erase(pending.begin());
            if (!fallout(i))
                continue;
            pending.insert(i);
            for (uint32_t dependent : dependents_[i])
                pending.insert(dependent);
        }
    }

    // A bundle stays active while a member does, and goes when none stays installed.
    void bundlesFollowMembers() {
        for (Package* bundle : packages_) {
            if (!bundle->isBundle || hasAction(*bundle, ScheduledAction::uninstall))
                continue;
            auto found = members_.find(bundle->name);
            bool active = false, staying = false;
            if (found != members_.end()) {
                for (uint32_t m : found->second) {
                    const Package& member = *packages_[m];
                    if (willBeActive(member)) {
                        active = true;
                        break;
                    }
                    if (!hasAction(member, ScheduledAction::uninstall))
                        staying = true;
                }
            }
            if (active)
                continue;
            if (!staying)
                bundle->scheduled = ScheduledAction::uninstall;
            else if (!bundle->disabled)
                bundle->scheduled = ScheduledAction::disable;
            else if (hasAction(*bundle, ScheduledAction::enable))
                bundle->scheduled = ScheduledAction::none;
        }
    }

    // Something must stay active; otherwise nothing happens at all.
    bool refuseToEmpty() {
        if (packages_.empty())
            return false;
        for (const Package* p : packages_)
            if (willBeActive(*p))
                return false;
        for (Package* p : packages_)
            p->scheduled = ScheduledAction::none;
        if (verbose_)
            repository_.printError("can not uninstall or disable all packages");
        return true;
    }

    Repository& repository_;
    bool verbose_;
    std::vector<Package*> packages_;
    std::unique_ptr<RelationIndex> index_;
    std::unordered_map<std::string_view, uint32_t> byName_;
    std::unordered_map<std::string_view, std::vector<uint32_t>> members_;
    std::vector<std::vector<std::vector<Package*>>> candidates_;
    std::vector<std::vector<uint32_t>> dependents_;
    std::unordered_map<const Package*, uint32_t> positions_;
    std::vector<char> ensuring_;
};

}  // namespace

void resolveSchedule(Repository& repository, std::vector<Package*>& removals, std::vector<Package*>& enablings,
                     bool verbose) {
    Resolver(repository, verbose).resolve(removals, enablings);
}

bool applySchedule(Repository& repository, bool verbose) {
    std::vector<Package*> removals, enablings;
    resolveSchedule(repository, removals, enablings, verbose);
    const bool changed = !removals.empty() || !enablings.empty();

    std::set<const Package*> gone;
    for (Package* p : removals) {
        if (hasAction(*p, ScheduledAction::uninstall)) {
            uninstallPackage(*p);
            gone.insert(p);
        } else if (hasAction(*p, ScheduledAction::disable)) {
            const std::string name = label(*p);
            if (verbose)
                repository.showProgress("disabling " + name + "...");
            disablePackage(*p);
            if (verbose)
                repository.printInfo("disabled %s", name.c_str());
        }
    }
    if (!gone.empty()) {
        auto& packages = repository.packages;
        packages.erase(std::remove_if(packages.begin(), packages.end(),
                                      [&](const std::unique_ptr<Package>& p) { return gone.count(p.get()) > 0; }),
                       packages.end());
    }
    for (Package* p : enablings) {
        const std::string name = label(*p);
        if (verbose)
            repository.showProgress("enabling " + name + "...");
        enablePackage(*p);
        if (verbose)
            repository.printInfo("enabled %s", name.c_str());
    }
    return changed;
}

// Runs both passes over the repository as it will be with `package` in place
// of its installed namesake (unless it is untracked). Every record is as it
// was afterwards. False, with `reason`, when either pass would remove the
// new package.
bool planResolution(Repository& repository, Package& package, bool verbose, ResolutionPlan& plan,
                    std::string& reason) {
    auto& packages = repository.packages;
    struct Saved {
        Package* package;
        ScheduledAction scheduled;
        bool disabled;
    };
    std::vector<Saved> saved;
    for (auto& p : packages)
        saved.push_back({p.get(), p->scheduled, p->disabled});
    for (auto& p : packages)
        (void)p.release();
    packages.clear();
    bool namesakeSkipped = package.untracked;
    for (Saved& s : saved) {
        if (!namesakeSkipped && s.package->name == package.name) {
            namesakeSkipped = true;
            continue;
        }
        packages.emplace_back(s.package);
    }
    packages.emplace_back(&package);

    auto refused = [&] {
        reason = "the resolution of scheduled actions would remove it";
        for (const DependencyEntry& dependency : package.dependencies) {
            bool staying = false;
            for (Package* p : repository.findCandidates(dependency, true))
                staying = staying || (p != &package && p->scheduled != ScheduledAction::uninstall);
            if (!staying) {
                reason = "it depends on " + dependency.name + ", which would not stay installed";
                break;
            }
        }
    };
    // Carries one pass out on the records alone.
    auto pass = [&](bool passVerbose, std::vector<std::pair<Package*, bool>>& marks) {
        std::vector<Package*> removals, enablings;
        resolveSchedule(repository, removals, enablings, passVerbose);
        if (package.scheduled == ScheduledAction::uninstall) {
            refused();
            return false;
        }
        std::set<Package*> gone;
        for (Package* p : removals) {
            if (p->scheduled == ScheduledAction::uninstall) {
                plan.removed.push_back(p);
                gone.insert(p);
            } else {
                marks.emplace_back(p, true);
                p->disabled = true;
            }
        }
        for (Package* p : enablings) {
            marks.emplace_back(p, false);
            p->disabled = false;
        }
        for (auto it = packages.begin(); it != packages.end();) {
            (*it)->scheduled = ScheduledAction::none;
            if (gone.count(it->get())) {
                (void)it->release();
                it = packages.erase(it);
            } else {
                ++it;
            }
        }
        return true;
    };
    const bool newDisabled = package.disabled;
    const bool kept = pass(verbose, plan.marks) && pass(false, plan.laterMarks);
    plan.disabled = package.disabled;

    for (auto& p : packages)
        (void)p.release();
    packages.clear();
    for (Saved& s : saved) {
        s.package->scheduled = s.scheduled;
        s.package->disabled = s.disabled;
        packages.emplace_back(s.package);
    }
    package.disabled = newDisabled;
    package.scheduled = ScheduledAction::none;
    return kept;
}
