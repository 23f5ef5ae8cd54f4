#pragma once
// Trust given to a tool at run time rather than built in: a public key from
// the command line or a key file, a table of known digests from a text file,
// and the short fingerprint by which people tell keys apart. The installer
// itself carries its trust as constants (keys.h); the tools that check what
// will be put in front of it (vpk verify, the media builders, the
// installation server) read the same trust from files.

#include <string>
#include <vector>

#include "archive/signature.h"

namespace archive {

// The first 16 lowercase hex digits of SHA-256 over the 32 key bytes.
std::string keyFingerprint(const PublicKey& key);

// A public key given as 64 hex digits, or the name of a file whose first line
// that is neither empty nor a "#" comment holds them (vpk keygen's FILE.pub).
// Refuses a private key file and a key the signature check cannot use.
bool readPublicKey(const std::string& hexOrPath, PublicKey& key, std::string& error);

// A digest table file: one digest of 40 hex digits per line; empty lines and
// "#" comments are skipped. Errors name the file and line.
bool readDigestTable(const std::string& path, std::vector<PackageDigest>& table, std::string& error);

}  // namespace archive
