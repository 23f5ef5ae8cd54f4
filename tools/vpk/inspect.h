// Reading a whole package file for display: every part, every header field,
// the file entries and the per-package digests as the installer computes them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive/format.h"
#include "archive/writer/writer.h"

struct PartInfo {
    uint32_t offset = 0;  // of the part header
    int type = 0;
    uint32_t length = 0;
};

struct EntryInfo {
    FileEntry entry;          // data holds the link target or device number only
    uint32_t dataLength = 0;
};

struct SignatureInfo {
    std::string digest;  // hex of the record's 20 bytes
    std::string e;       // hex, 16 bytes
    std::string s;       // hex, 32 bytes
    bool digestMatches = false;
};

struct PackageInfo {
    PackageHeader header;  // architecture "i386" when there is no part
    uint32_t offset = 0;   // of the Header or BundleHeader part header
    bool architecturePart = false;
    bool descriptionPart = false;
    bool dependenciesPart = false;
    bool providesPart = false;
    bool conflictsPart = false;
    std::optional<uint32_t> imageLength;
    std::optional<std::string> installScript;
    std::optional<std::string> uninstallScript;
    bool filesPart = false;
    std::vector<EntryInfo> files;
    bool filesComplete = true;  // the compressed data ended properly
    std::optional<SignatureInfo> signature;
    // Hex SHA-1 that the installer checks: up to and including the Signature
    // part header for a signed package, else up to the next Header or the end.
    std::optional<std::string> digest;
    std::optional<std::vector<DependencyEntry>> bundleList;
};

struct ArchiveInfo {
    std::string path;
    bool validHeader = false;
    uint32_t magic = 0;
    uint32_t declaredLength = 0;
    uint64_t fileSize = 0;
    std::optional<PackageInfo> bundle;
    std::vector<PackageInfo> packages;
    std::vector<PartInfo> parts;
    bool cutShort = false;   // the file ended inside a part
    bool readable = false;   // the installer's header reader accepts the file
    std::vector<std::string> notes;  // parts out of place, short parts

    bool untracked() const { return magic == kUntrackedMagic; }
};

[[nodiscard]] bool inspectArchive(const std::string& path, ArchiveInfo& info, std::string& error);

const char* partTypeName(int type);
// "drwxr-xr-x" and so on.
std::string modeString(uint16_t mode);
std::string hexString(const uint8_t* bytes, size_t count);
