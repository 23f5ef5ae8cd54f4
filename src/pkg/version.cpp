#include "pkg/version.h"

#include <cstdio>

#include "archive/format.h"

std::string formatVersion(PackedVersion version) {
    unsigned major = version >> 24;
    unsigned minor = (version >> 16) & 0xff;
    unsigned kind = (version >> 8) & 0xff;
    unsigned n = version & 0xff;
    char text[80];
    if (kind == kFinalKind) {
        if (n == 0)
            std::snprintf(text, sizeof text, "%u.%u", major, minor);
        else
            std::snprintf(text, sizeof text, "%u.%u.%u", major, minor, n);
        return text;
    }
    const char* word = kind == kAlphaKind ? "alpha" : kind == kBetaKind ? "beta" : kind == kCandidateKind ? "rc" : "";
    if (n == 0)
        std::snprintf(text, sizeof text, "%u.%u%s", major, minor, word);
    else
        std::snprintf(text, sizeof text, "%u.%u%s%u", major, minor, word, n);
    return text;
}

namespace {

// A decimal number of at most 255 at the front of `text`.
bool takeNumber(std::string_view& text, unsigned& out) {
    size_t i = 0;
    unsigned value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        value = value * 10 + unsigned(text[i] - '0');
        if (value > 255)
            return false;
        ++i;
    }
    if (i == 0)
        return false;
    out = value;
    text.remove_prefix(i);
    return true;
}

}  // namespace

bool parseVersion(std::string_view text, PackedVersion& out) {
    unsigned major = 0, minor = 0, n = 0;
    if (!takeNumber(text, major) || text.empty() || text.front() != '.')
        return false;
    text.remove_prefix(1);
    if (!takeNumber(text, minor))
        return false;
    uint8_t kind = kFinalKind;
    if (!text.empty() && text.front() == '.') {
        text.remove_prefix(1);
        if (!takeNumber(text, n))
            return false;
    } else if (!text.empty()) {
        static constexpr struct {
            std::string_view word;
            uint8_t kind;
        } words[] = {{"alpha", kAlphaKind}, {"beta", kBetaKind}, {"rc", kCandidateKind}};
        bool found = false;
        for (const auto& w : words) {
            if (text.starts_with(w.word)) {
                kind = w.kind;
                text.remove_prefix(w.word.size());
                found = true;
                break;
            }
        }
        if (!found)
            return false;
        if (!text.empty() && !takeNumber(text, n))
            return false;
    }
    if (!text.empty())
        return false;
    out = packVersion(major, minor, kind, n);
    return true;
}

std::string label(std::string_view name, PackedVersion version) {
    std::string text(name);
    text += '-';
    text += formatVersion(version);
    return text;
}

std::string label(const DependencyEntry& entry) {
    if (entry.minVersion == 0)
        return entry.name;
    return label(entry.name, entry.minVersion);
}

std::string label(const PackageHeader& package) { return label(package.name, package.version); }

bool satisfies(std::string_view name, PackedVersion version, const DependencyEntry& reference) {
    return name == reference.name && version >= reference.minVersion &&
           (reference.maxVersion == 0 || version <= reference.maxVersion);
}

bool satisfies(const PackageHeader& package, const DependencyEntry& reference) {
    return satisfies(package.name, package.version, reference);
}

bool overlaps(const DependencyEntry& provided, const DependencyEntry& reference) {
    if (provided.name != reference.name)
        return false;
    if (provided.minVersion != 0 && reference.maxVersion != 0 && provided.minVersion > reference.maxVersion)
        return false;
    if (provided.maxVersion != 0 && reference.minVersion != 0 && provided.maxVersion < reference.minVersion)
        return false;
    return true;
}

namespace {

int compareSameName(const PackageHeader& a, const PackageHeader& b) {
    if (a.version != b.version)
        return a.version > b.version ? 1 : -1;
    if (a.buildTime != b.buildTime)
        return a.buildTime > b.buildTime ? 1 : -1;
    return 0;
}

const PackageHeader* memberNamed(const PackageHeader& bundle, const std::string& name) {
    if (!bundle.isBundle)
        return nullptr;
    for (const auto& member : bundle.members)
        if (member.name == name)
            return &member;
    return nullptr;
}

}  // namespace

int comparePackages(const PackageHeader& a, const PackageHeader& b, bool negate) {
    int result = 0;
    if (a.name == b.name)
        result = compareSameName(a, b);
    else if (const PackageHeader* m = memberNamed(a, b.name))
        result = compareSameName(*m, b);
    else if (const PackageHeader* m = memberNamed(b, a.name))
        result = compareSameName(a, *m);
    return negate ? -result : result;
}
