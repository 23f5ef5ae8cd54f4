// Package files for the installation tests, made with the package writer and
// signed with the development key; and a listing of what an installation left.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "archive/signature.h"
#include "archive/writer/writer.h"

namespace installtest {

// Bytes of a one-package file; `sign` adds a Signature part made with the
// development key (which the built-in public key matches).
std::string packageFile(const PackageContent& content, bool sign = true, bool untracked = false);
// A bundle file: the bundle's own parts, then the members' bytes (each a
// signed or unsigned single package made by packageFile).
std::string bundleFile(const PackageContent& bundle, const std::vector<DependencyEntry>* bundleList,
                       const std::vector<std::string>& members);
// SHA-1 digest of the (single, unsigned) package in `file`.
archive::PackageDigest packageDigest(const std::string& file);

// A simple content: name, version major.minor, build time, files.
PackageContent content(const std::string& name, unsigned major, unsigned minor, std::vector<FileEntry> files,
                       uint32_t buildTime = 1000);

// SHA-1 of `data` in hexadecimal.
std::string digestText(const std::string& data);

// What stands under a directory of the sandbox: path -> "TYPE MODE UID:GID MTIME DETAIL"
// (DETAIL: file contents, "size=N DIGEST" for files over 512 bytes, link
// target, device number, or "-").
std::map<std::string, std::string> listTree(const std::string& root, bool recursive = true);
// The listing as lines "path<TAB>description", for printing from a sandbox.
std::string listingText(const std::string& root);
// Parses the lines after the marker in a sandbox's output.
std::map<std::string, std::string> parseListing(const std::string& output, const std::string& marker);
// The part of a sandbox's output before the first marker.
std::string before(const std::string& output, const std::string& marker);

}  // namespace installtest
