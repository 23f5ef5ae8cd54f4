#pragma once
// The signing side of package signatures (used by vpk, never by the
// installer): key pairs and signature records that verifySignatureRecord
// accepts.
//
// A private key is a scalar a modulo the group order L with P = [a]G; a is
// replaced by L - a when [a]G has the odd v-coordinate, so that P is the point
// the verifier reconstructs from u(P). To sign digest h: R = [r]G for a fresh
// random r, e = SHA-256(u(R))[0..16), k = the challenge scalar of (h, e), and
// s = (r + k) / a mod L. Then [s]P - [k]G = R.

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "archive/signature.h"

namespace archive {

using PrivateKey = std::array<uint8_t, 32>;  // little-endian scalar below L

struct KeyPair {
    PrivateKey privateKey;
    PublicKey publicKey;
};

// Fills `out` from the system's random source; false if it cannot.
bool randomBytes(uint8_t* out, std::size_t count);

// A fresh key pair (nullopt only when the random source fails).
std::optional<KeyPair> generateKeyPair();

// The normalised key pair for a private scalar (reduced mod L; negated if
// needed). nullopt for a scalar that is 0 or +-1 mod L.
std::optional<KeyPair> keyPairFromPrivate(const PrivateKey& privateKey);

// A 68-byte signature record for the digest (nullopt only when the random
// source fails or the key is unusable).
std::optional<std::array<uint8_t, signatureRecordSize>> signDigest(const PackageDigest& digest,
                                                                   const PrivateKey& privateKey);

// Signs every package of a package file (each from its Header part to its
// end): an existing Signature part is replaced, an unsigned package gets one
// at its end, each holding exactly the 68-byte record. Other bytes stay as
// they are. Returns the new file, or nullopt with `error` set. `names`
// receives the name of each package signed.
std::optional<std::string> signPackageFile(const std::string& file, const PrivateKey& privateKey,
                                           std::vector<std::string>* names, std::string* error);

// Scalar arithmetic modulo L (little-endian 32-byte values), exposed for tests.
namespace scalar {
Bytes32 reduce(const uint8_t* bytes, std::size_t count);  // any length up to 64 bytes
Bytes32 add(const Bytes32& a, const Bytes32& b);
Bytes32 mul(const Bytes32& a, const Bytes32& b);
Bytes32 invert(const Bytes32& a);  // a^(L-2)
Bytes32 negate(const Bytes32& a);
}  // namespace scalar

}  // namespace archive
