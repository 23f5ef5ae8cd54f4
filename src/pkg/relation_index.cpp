#include "pkg/relation_index.h"

#include <algorithm>

void offeredNames(const PackageHeader& p, std::vector<std::string_view>& out) {
    out.push_back(p.name);
    for (const DependencyEntry& entry : p.provides)
        out.push_back(entry.name);
    for (const PackageHeader& member : p.members)
        offeredNames(member, out);
}

void neededNames(const PackageHeader& p, std::vector<std::string_view>& out) {
    for (const DependencyEntry& entry : p.dependencies)
        out.push_back(entry.name);
    for (const PackageHeader& member : p.members)
        neededNames(member, out);
}

void excludingNames(const PackageHeader& p, std::vector<std::string_view>& out) {
    out.push_back(p.name);
    for (const DependencyEntry& entry : p.conflicts)
        out.push_back(entry.name);
    for (const DependencyEntry& entry : p.provides)
        out.push_back(entry.name);
    for (const PackageHeader& member : p.members)
        excludingNames(member, out);
}

void targetNames(const PackageHeader& p, std::vector<std::string_view>& out) {
    out.push_back(p.name);
    for (const DependencyEntry& entry : p.provides)
        out.push_back(entry.name);
    for (const PackageHeader& member : p.members)
        out.push_back(member.name);
}

RelationIndex::RelationIndex(const std::vector<const PackageHeader*>& set) : stamp_(set.size(), 0) {
    std::vector<std::string_view> names;
    auto add = [&](Index& index, uint32_t position) {
        for (std::string_view name : names) {
            std::vector<uint32_t>& list = index[name];
            if (list.empty() || list.back() != position)
                list.push_back(position);
        }
        names.clear();
    };
    for (uint32_t i = 0; i < set.size(); ++i) {
        offeredNames(*set[i], names);
        add(offers_, i);
        excludingNames(*set[i], names);
        add(excludes_, i);
        targetNames(*set[i], names);
        add(targets_, i);
    }
}

void RelationIndex::gather(const Index& index, std::string_view name, int self, std::vector<uint32_t>& out) {
    auto found = index.find(name);
    if (found == index.end())
        return;
    for (uint32_t q : found->second) {
        if (int(q) == self || stamp_[q] == round_)
            continue;
        stamp_[q] = round_;
        out.push_back(q);
    }
}

void RelationIndex::finish(std::vector<uint32_t>& out) { std::sort(out.begin(), out.end()); }

std::vector<uint32_t> RelationIndex::mayPrecede(const PackageHeader& p, int self) {
    ++round_;
    std::vector<uint32_t> out;
    std::vector<std::string_view> names;
    neededNames(p, names);
    for (std::string_view name : names)
        gather(offers_, name, self, out);
    names.clear();
    targetNames(p, names);
    for (std::string_view name : names)
        gather(excludes_, name, self, out);
    finish(out);
    return out;
}

std::vector<uint32_t> RelationIndex::mayBeExcludedBy(const PackageHeader& p, int self) {
    ++round_;
    std::vector<uint32_t> out;
    std::vector<std::string_view> names;
    excludingNames(p, names);
    for (std::string_view name : names)
        gather(targets_, name, self, out);
    finish(out);
    return out;
}

std::vector<uint32_t> RelationIndex::mayExclude(const PackageHeader& p, int self) {
    ++round_;
    std::vector<uint32_t> out;
    std::vector<std::string_view> names;
    targetNames(p, names);
    for (std::string_view name : names)
        gather(excludes_, name, self, out);
    finish(out);
    return out;
}

std::vector<uint32_t> RelationIndex::mayMeet(std::string_view name) {
    ++round_;
    std::vector<uint32_t> out;
    gather(offers_, name, -1, out);
    finish(out);
    return out;
}
