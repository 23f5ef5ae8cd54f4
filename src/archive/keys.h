#pragma once
// The trust the installer is built with: the package public key and the
// digests of unsigned packages that are accepted as they are. Both are
// generated at build time from data/ (see data/CMakeLists.txt).

#include <span>

#include "archive/signature.h"

namespace archive {

extern const PublicKey packagePublicKey;
extern const std::span<const PackageDigest> knownPackageDigests;
// The name of the text file the table was generated from (a build input).
extern const char* const knownPackageDigestsSource;
// "package trust: key <64 hex> digests <SHA-256 hex>": what this binary trusts,
// in a form the media builders find in the binary (image/common.sh).
extern const char packageTrustMark[];
// True when configuration scripts must be signed with packagePublicKey: an
// environment built with a key of its own, unless built to accept unsigned
// scripts (ACCEPT_UNSIGNED_SCRIPTS). "configuration scripts: signed only" or
// "configuration scripts: unsigned accepted", for the media builders.
extern const bool configurationScriptsSigned;
extern const char scriptTrustMark[];

}  // namespace archive
