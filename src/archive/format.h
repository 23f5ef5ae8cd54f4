// The package file: magic and length, then parts of (type, length, data).
// All integers little-endian, no padding.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pkg/version.h"

constexpr uint32_t kPackageMagic = 0xBAD0F11E;
constexpr uint32_t kUntrackedMagic = 0xA1100FFB;
constexpr size_t kFileHeaderSize = 8;
constexpr size_t kPartHeaderSize = 6;
constexpr size_t kPackageHeaderSize = 32;   // data of Header and BundleHeader
constexpr size_t kNameRecordSize = 32;      // one entry of a name list
constexpr size_t kNameFieldSize = 16;
constexpr size_t kFileEntryHeaderSize = 30; // inside the inflated Files part
constexpr size_t kSignatureRecordSize = 68;

enum class PartType : int {
    Header = 1,
    Description = 2,
    Dependencies = 3,
    Files = 4,
    InstallScript = 7,
    UninstallScript = 8,
    Signature = 9,
    Architecture = 16,
    Conflicts = 17,
    BundleHeader = 18,
    Provides = 19,
    BundleList = 20,
    Image = 21,
};

constexpr bool operator==(int type, PartType part) { return type == static_cast<int>(part); }

// What a package file's header parts say about a package. Base of the
// installed-package record and of PackageArchive.
struct PackageHeader {
    std::string name;
    PackedVersion version = 0;
    uint32_t buildTime = 0;
    std::string architecture;  // "i386" when the file names none
    std::string description;
    bool hasImage = false;
    std::vector<DependencyEntry> dependencies;
    std::vector<DependencyEntry> provides;
    std::vector<DependencyEntry> conflicts;
    bool isBundle = false;
    std::vector<PackageHeader> members;  // a bundle's member headers, as read from its file

    PackageHeader() = default;
    PackageHeader(const PackageHeader&) = default;
    PackageHeader(PackageHeader&&) = default;
    PackageHeader& operator=(const PackageHeader&) = default;
    PackageHeader& operator=(PackageHeader&&) = default;
    virtual ~PackageHeader() = default;
};

// A package file found on a medium.
struct PackageArchive : PackageHeader {
    std::string path;
    uint32_t totalLength = 0;  // declared length + 8
    bool isUntracked = false;
    uint8_t selected = 0;      // set by the package menu
};

class PackagePartStream;

// Little-endian field access.
inline uint16_t readLe16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t readLe32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
// A NUL-padded 16-byte name; a name of 16 characters has no terminator.
std::string nameFromField(const uint8_t* field);

// Reads the header parts at the stream's current part (Header or BundleHeader)
// and the optional parts the stream accepts. Prints nothing.
[[nodiscard]] bool readHeader(PackageHeader& header, PackagePartStream& stream);
// Reads one name list from the current part, appending to `list`.
[[nodiscard]] bool readNameList(PackagePartStream& stream, std::vector<DependencyEntry>& list);
// The whole data of the current part, read in pieces so that a length field
// promising gigabytes costs only what actually arrives; short when the stream fails.
std::string readWholePart(PackagePartStream& stream);
// Opens a package file and reads its header (a bundle's: with its members).
[[nodiscard]] bool readArchive(PackageArchive& archive, const std::string& path);
