#pragma once
// Package signatures on the Montgomery curve v^2 = u^3 + 486662 u^2 + u over
// GF(2^255 - 19). A signature record is (h, e, s): h the package's SHA-1
// digest, e a 16-byte challenge, s a 32-byte response. With k the clamped
// SHA-256 of h with e folded in, the record is good when the u-coordinate of
// [s]P - [k]G hashes (SHA-256, first 16 bytes) to e.

#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "archive/field25519.h"

class PackagePartStream;

namespace archive {

using Bytes32 = field::Bytes32;
using PackageDigest = std::array<uint8_t, 20>;
using PublicKey = std::array<uint8_t, 32>;

constexpr std::size_t signatureRecordSize = 68;

// What a check trusts: the signer's public key and the digests of unsigned
// packages that are accepted as they are.
struct TrustAnchors {
    PublicKey publicKey;
    std::span<const PackageDigest> knownDigests;
};

// The built-in key and table (generated from data/ at build time).
const TrustAnchors& builtinTrustAnchors();

// u-coordinate of [s]P - [k]G, where P is the point with u-coordinate uP and
// the even v-coordinate and G the base point (u = 9); 0 for the neutral point.
// s and k are little-endian 256-bit integers. Uses only u-coordinates.
template <class F>
Bytes32 twoScalarLadder(const Bytes32& s, const Bytes32& k, const Bytes32& uP);
Bytes32 twoScalarLadder(const Bytes32& s, const Bytes32& k, const Bytes32& uP);

// True if u (little-endian, bit 255 clear, below p) is the u-coordinate of a
// point on the curve.
bool isCurvePoint(const Bytes32& u);
// The checks a public key must pass: a curve point other than the base point
// (for P = +-G the ladder's difference points degenerate).
bool isUsablePublicKey(const PublicKey& key);

// The challenge scalar k for digest h and challenge e (clamped).
Bytes32 challengeScalar(const PackageDigest& h, const uint8_t e[16]);

// Checks a 68-byte record against the digest the stream computed and the key.
bool verifySignatureRecord(const PackageDigest& digest, const uint8_t record[signatureRecordSize],
                           const PublicKey& key);

// verifySignature() of the stream with another key: finishes the stream's
// digest and reads the record (teed, not hashed) from the Signature part it
// stands on.
bool verifySignatureWith(PackagePartStream& stream, const PublicKey& key);

// True if the 20-byte digest equals an entry of the table (or the built-in one).
bool isKnownDigest(const uint8_t* digest, std::span<const PackageDigest> table);
bool isKnownDigest(const uint8_t* digest);

// The acceptance rule for the package the stream has just gone through: its
// Signature part if it stands on one, else its finished digest in the table.
bool checkAuthenticity(PackagePartStream& stream, const TrustAnchors& trust);
bool checkAuthenticity(PackagePartStream& stream);

// The same rule, saying why (for tools that report it).
enum class Authenticity {
    Signed,          // accepted: the signature record is good
    KnownDigest,     // accepted: unsigned, its digest is in the table
    NoDigest,        // the stream keeps no digest
    NotAPackage,     // a Signature part with no Header part before it
    ShortRecord,     // Signature part or stream shorter than the 68-byte record
    DigestMismatch,  // the record's digest is not the package's: it changed after signing
    BadSignature,    // e and s do not match the public key
    Incomplete,      // unsigned, and no finished digest of this package (cut short, parts out of order)
    UnknownDigest,   // unsigned, and its digest is not in the table
};
Authenticity checkAuthenticityDetailed(PackagePartStream& stream, const TrustAnchors& trust,
                                       PackageDigest* digestOut = nullptr);
Authenticity checkSignaturePart(PackagePartStream& stream, const PublicKey& key);
const char* describe(Authenticity result);

// Checks every package of a package file in turn, as the installation would.
struct PackageCheck {
    std::string name;
    Authenticity result;
    std::optional<PackageDigest> digest;  // the package's digest, when one was finished
    bool accepted() const { return result == Authenticity::Signed || result == Authenticity::KnownDigest; }
};
// nullopt when the stream does not start with a package file header.
std::optional<std::vector<PackageCheck>> checkEveryPackage(std::istream& in, const TrustAnchors& trust);

}  // namespace archive
