// Writing package files: for the tools and the tests; the installer itself
// never writes one.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "archive/format.h"

// File types as they stand in bits 15-12 of an entry's mode.
enum class EntryType : uint16_t {
    Fifo = 0x1,
    CharDevice = 0x2,
    Directory = 0x4,
    BlockDevice = 0x6,
    Regular = 0x8,
    Symlink = 0xA,
};

// One entry of a Files part.
struct FileEntry {
    uint16_t mode = 0;       // type bits and permission bits, as st_mode
    uint16_t uid = 0;
    uint16_t gid = 0;
    uint32_t mtime = 0;
    bool skip = false;       // the installer passes the entry over
    std::string name;        // path inside the package, "/" optional in front
    std::string data;        // contents, link target, or 4-byte device number
    std::string sourcePath;  // for a regular file: read the contents from here instead of `data`

    EntryType type() const { return EntryType(mode >> 12); }
};

FileEntry directoryEntry(std::string name, uint16_t permissions, uint32_t mtime = 0);
FileEntry regularEntry(std::string name, std::string contents, uint16_t permissions = 0644, uint32_t mtime = 0);
FileEntry symlinkEntry(std::string name, std::string target, uint32_t mtime = 0);
FileEntry deviceEntry(std::string name, EntryType type, uint32_t device, uint16_t permissions, uint32_t mtime = 0);
FileEntry fifoEntry(std::string name, uint16_t permissions, uint32_t mtime = 0);

struct TreeOptions {
    bool keepOwners = false;  // otherwise everything belongs to 0:0
};

// The entries of the tree under `root`, each directory before what it holds,
// names sorted, paths relative to `root` without a leading "/". Regular files
// are referenced by path, not read. False with `error` set when something
// cannot be read or has a type that has no entry form (sockets).
[[nodiscard]] bool collectTree(const std::string& root, const TreeOptions& options, std::vector<FileEntry>& entries,
                               std::string& error);

// Part data in the file's byte layout.
std::string headerData(std::string_view name, PackedVersion version, uint32_t buildTime);
std::string nameListData(const std::vector<DependencyEntry>& list);
std::string entryHeader(const FileEntry& entry, uint32_t dataLength);

// Writes the file header and then parts to a seekable stream; lengths of
// streamed parts and of the file are filled in afterwards.
class PackageWriter {
public:
    explicit PackageWriter(std::ostream& out, bool untracked = false);

    void part(int type, std::string_view data);
    void part(PartType type, std::string_view data) { part(static_cast<int>(type), data); }

    // A part whose data is written in pieces.
    void beginPart(int type);
    void beginPart(PartType type) { beginPart(static_cast<int>(type)); }
    void write(std::string_view data);
    void endPart();

    // A Files part: the entries, deflated. False with `error` set when a
    // source file cannot be read.
    [[nodiscard]] bool filesPart(const std::vector<FileEntry>& entries, std::string& error, int level = 6);

    // Fills in the file's declared length; false when the stream failed.
    [[nodiscard]] bool finish();

    std::ostream& stream() { return out_; }

private:
    std::ostream& out_;
    std::streampos start_;
    std::streampos partStart_;
    uint64_t partLength_ = 0;
    bool inPart_ = false;
};

// What goes into one package; parts that are not set are not written.
struct PackageContent {
    std::string name;
    PackedVersion version = 0;
    uint32_t buildTime = 0;
    std::optional<std::string> architecture;
    std::optional<std::string> description;
    std::optional<std::vector<DependencyEntry>> dependencies;
    std::optional<std::vector<DependencyEntry>> provides;
    std::optional<std::vector<DependencyEntry>> conflicts;
    std::optional<std::string> image;
    std::optional<std::string> installScript;
    std::optional<std::string> uninstallScript;
    std::optional<std::vector<FileEntry>> files;
    std::optional<std::string> signature;  // the Signature part's data, as given
};

// The parts of a single package, Header to Signature, in the fixed order.
[[nodiscard]] bool writePackage(PackageWriter& writer, const PackageContent& package, std::string& error);

// The bundle's own parts (BundleHeader to BundleList); the members follow with
// writePackage or as copied bytes.
void writeBundleHead(PackageWriter& writer, const PackageContent& bundle,
                     const std::optional<std::vector<DependencyEntry>>& bundleList);

// A whole file with one package, written to `path`.
[[nodiscard]] bool writePackageFile(const std::string& path, const PackageContent& package, bool untracked,
                                    std::string& error);

// Copies the parts of a single-package file (everything after its 8-byte file
// header) into `writer`: how a bundle takes in its members. Refuses a file
// that is not a package, is a bundle, or whose length does not match.
[[nodiscard]] bool appendPackageFile(PackageWriter& writer, const std::string& path, std::string& error);
