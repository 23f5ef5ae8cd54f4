#pragma once
// The trust the installer is built with: the package public key and the
// digests of unsigned packages that are accepted as they are. Both are
// generated at build time from data/ (see data/CMakeLists.txt).

#include <span>

#include "archive/signature.h"

namespace archive {

extern const PublicKey packagePublicKey;
extern const std::span<const PackageDigest> knownPackageDigests;
// The text file the table was generated from (a build input).
extern const char* const knownPackageDigestsSource;

}  // namespace archive
