#pragma once
// Signatures of configuration scripts. A script reaches the router's first
// boot with full power over its settings, so it is signed with the package
// key like a package. The signature travels in the script itself, as its last
// line, a comment that the router's start-up skips:
//
//   # vpk signature: key <fingerprint> record <136 hex digits>
//
// The record is the 68-byte package signature record over the SHA-1 digest
// of a fixed prefix followed by every byte before that line. The prefix keeps
// a script's signature from ever standing for a package's and back. The
// fingerprint says which key signed; it is not covered and only tells "signed
// with another key" apart from "changed after signing".

#include <string>
#include <string_view>

#include "archive/signature.h"

namespace archive {

// The largest script the installer checks: it holds a script whole before it
// places it. Scripts are "set" lines, far below this.
inline constexpr int32_t maxCheckedScriptSize = 1 << 20;

// The start of a signature line.
inline constexpr std::string_view scriptSignaturePrefix = "# vpk signature:";

enum class ScriptSignature {
    Signed,        // the last line signs every byte before it with the key
    Unsigned,      // no signature line
    NotLast,       // a signature line with more after it (the rest is not covered)
    Unreadable,    // the last line is a signature line that cannot be read
    Changed,       // the record's digest is not the script's: it changed after signing
    OtherKey,      // signed with another key (by the fingerprint in the line)
    BadSignature,  // the record does not match the key
};

const char* describe(ScriptSignature result);

// The digest a script's signature record carries: SHA-1 over the prefix and `content`.
PackageDigest scriptDigest(std::string_view content);

// Where the bytes that a signature covers end in `script`: the start of its
// last line when that is a signature line, else script.size().
std::size_t signedContentEnd(std::string_view script);

// Checks `script` against `key`. `signerFingerprint` receives the fingerprint
// named in the signature line, if there is one.
ScriptSignature checkScriptSignature(std::string_view script, const PublicKey& key,
                                     std::string* signerFingerprint = nullptr);

// What the installer asks of the configuration scripts it places into the
// installed system: with `signedOnly` every non-empty script must be signed
// with `key`. The built-in rule comes from the build (keys.h); tests put
// another in place.
struct ScriptTrust {
    bool signedOnly;
    PublicKey key;
};
const ScriptTrust& scriptTrust();
void setScriptTrust(const ScriptTrust* trust);  // nullptr: the built-in rule again

// The installer's decision for one script: true when it may be placed. An
// empty script is placed as it is (it sets nothing). On false `reason` says why.
bool scriptAccepted(std::string_view script, std::string& reason);

}  // namespace archive
