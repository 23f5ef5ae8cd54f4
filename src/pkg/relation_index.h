// Every relation between two packages (dependsOn, conflictsWith, a candidate
// meeting a dependency) needs a name in common: a dependency's name, a
// provided name, a conflict's name, a package's own or a member's name. This
// index over a fixed set of packages finds, by name, the few members of the
// set that may stand in such a relation to a given package, so that the exact
// tests run on those alone instead of on every pair.
#pragma once

#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "archive/format.h"

class RelationIndex {
public:
    // The packages must outlive the index; positions refer to `set`.
    explicit RelationIndex(const std::vector<const PackageHeader*>& set);

    // Positions q (ascending, without p's own) for which dependsOn(p, q) or
    // conflictsWith(q, p) may hold: the packages that p may have to follow.
    std::vector<uint32_t> mayPrecede(const PackageHeader& p, int self = -1);
    // Positions q for which conflictsWith(p, q) may hold.
    std::vector<uint32_t> mayBeExcludedBy(const PackageHeader& p, int self = -1);
    // Positions q for which conflictsWith(q, p) may hold.
    std::vector<uint32_t> mayExclude(const PackageHeader& p, int self = -1);
    // Positions q that may meet a reference to `name` (own or provided name).
    std::vector<uint32_t> mayMeet(std::string_view name);

private:
    using Index = std::unordered_map<std::string_view, std::vector<uint32_t>>;
    void gather(const Index& index, std::string_view name, int self, std::vector<uint32_t>& out);
    static void finish(std::vector<uint32_t>& out);

    Index offers_;   // own, provided and members' names
    Index excludes_; // names of conflicts, own and provided names, members' too
    Index targets_;  // own, provided and members' own names
    std::vector<uint32_t> stamp_;
    uint32_t round_ = 0;
};

// The names a package brings into each relation.
void offeredNames(const PackageHeader& p, std::vector<std::string_view>& out);
void neededNames(const PackageHeader& p, std::vector<std::string_view>& out);
void excludingNames(const PackageHeader& p, std::vector<std::string_view>& out);
void targetNames(const PackageHeader& p, std::vector<std::string_view>& out);
