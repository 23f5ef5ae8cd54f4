// Version numbers: the packed 32-bit value, its text form, and the rules that
// order packages of one name and test a version against a range.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// major in bits 31-24, minor in 23-16, kind letter in 15-8, number in 7-0.
// The kind letters rise alpha < beta < rc < final, so a plain unsigned
// comparison gives the release order.
using PackedVersion = uint32_t;

constexpr uint8_t kAlphaKind = 'a';
constexpr uint8_t kBetaKind = 'b';
constexpr uint8_t kCandidateKind = 'c';
constexpr uint8_t kFinalKind = 'f';

constexpr PackedVersion packVersion(unsigned major, unsigned minor, uint8_t kind = kFinalKind,
                                    unsigned number = 0) {
    return (PackedVersion(major & 0xff) << 24) | (PackedVersion(minor & 0xff) << 16) |
           (PackedVersion(kind) << 8) | PackedVersion(number & 0xff);
}

// A reference to packages by name and version range (dependency, provided name,
// conflict, bundle). A bound of 0 is open.
struct DependencyEntry {
    std::string name;
    PackedVersion minVersion = 0;
    PackedVersion maxVersion = 0;
    uint32_t extra = 0;  // for provided names a signed precedence

    bool operator==(const DependencyEntry&) const = default;
};

// The text form ("3.0", "3.0.1", "3.0beta2", "3.0rc"). Returned as a string
// rather than in a shared static buffer, so callers need not copy it at once.
std::string formatVersion(PackedVersion version);

// Reads the text form back ("3.0rc1", "2.9.1", "3.0"); used by the tools, never
// by the installer, which only receives packed values. False for anything that
// is not a version this scheme can hold.
[[nodiscard]] bool parseVersion(std::string_view text, PackedVersion& out);

// name-version, e.g. "system-2.9.1".
std::string label(std::string_view name, PackedVersion version);
// The name alone when minVersion is 0, otherwise name-minVersion.
std::string label(const DependencyEntry& entry);

// X's name equals R's name and X's version lies within R's bounds.
bool satisfies(std::string_view name, PackedVersion version, const DependencyEntry& reference);

// A provided-name entry meets a reference: same name and ranges not disjoint.
bool overlaps(const DependencyEntry& provided, const DependencyEntry& reference);

// Package-level forms (bundles compare through their members). PackageHeader is
// defined in archive/format.h.
struct PackageHeader;
std::string label(const PackageHeader& package);
bool satisfies(const PackageHeader& package, const DependencyEntry& reference);
// +1 when a is newer, -1 when older, 0 when equal or not comparable; `negate`
// turns the result round.
int comparePackages(const PackageHeader& a, const PackageHeader& b, bool negate = false);
