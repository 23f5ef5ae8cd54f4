// The package manifest of "vpk build" and "vpk bundle": one "key: value" per
// line, "#" starts a comment line. Paths are relative to the manifest's folder.
//
//   name: hello                   at most 16 characters
//   version: 3.0rc1               also 2.9.1, 3.0, 3.0beta2, 3.0alpha
//   build-time: 1262304000        seconds since 1970, or "now"; default:
//                                 $SOURCE_DATE_EPOCH, else now
//   architecture: i386            written only when given (readers assume i386)
//   description: text             repeated lines are joined by newlines
//   description-file: PATH
//   depends: libc >= 2.9, zlib    a list; entries NAME [>= V] [<= V] [= V] [extra N]
//   provides: mta >= 1.0 extra -5
//   conflicts: other <= 1.0
//   install-script: PATH          "oninstall"
//   uninstall-script: PATH        "onuninstall"
//   image: PATH                   the Image part's data ("-" for an empty part)
//   untracked: yes
//   files: DIR                    the tree that becomes the Files part
//   owners: root                  or "keep" (the tree's own uid/gid)
//   entry: [skip] TYPE MODE UID GID NAME [ARG...]
//                                 an explicit entry after the tree's: dir, fifo,
//                                 file [CONTENT-PATH], link TARGET,
//                                 char MAJOR MINOR, block MAJOR MINOR
//   bundle-list: a, b             bundles only: the BundleList part
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/writer/writer.h"

struct Manifest {
    std::string path;
    std::string dir;
    PackageContent content;  // files not yet collected
    bool untracked = false;
    std::optional<std::string> filesRoot;
    TreeOptions tree;
    std::vector<FileEntry> entries;
    std::optional<std::vector<DependencyEntry>> bundleList;
};

// Errors read "PATH:LINE: message".
[[nodiscard]] bool parseManifest(const std::string& path, Manifest& manifest, std::string& error);
[[nodiscard]] bool parseManifestText(std::string_view text, const std::string& path, Manifest& manifest,
                                     std::string& error);

[[nodiscard]] bool parseDependencyList(std::string_view text, std::vector<DependencyEntry>& out, std::string& error);
// "libc >= 2.9 <= 3.0 extra -5", the form parseDependencyList reads.
std::string formatDependency(const DependencyEntry& entry);

// The files of a package manifest: the tree (if any) then the explicit
// entries; nullopt content when neither is given.
[[nodiscard]] bool collectFiles(const Manifest& manifest, std::optional<std::vector<FileEntry>>& files,
                                std::string& error);

// Linux device number encoding, as mknod takes it.
uint32_t encodeDevice(uint32_t major, uint32_t minor);
