#include "archive/signature.h"

#include <cstring>

#include "archive/format.h"
#include "archive/partstream.h"
#include "archive/sha256.h"

namespace archive {
namespace {

// -2 * v(G) mod p, little-endian.
constexpr Bytes32 minusTwoVG = {
    0x3b, 0x58, 0x62, 0x02, 0xbb, 0x74, 0x2c, 0xac, 0x9b, 0x3c, 0x07, 0x25, 0x03, 0x65, 0x85, 0xdb,
    0x66, 0x5d, 0x6e, 0x11, 0xa7, 0x45, 0xc2, 0x3f, 0x96, 0xf2, 0xbe, 0x8e, 0xbc, 0xcc, 0xa3, 0x3e};

constexpr uint32_t curveA = 486662;
constexpr uint32_t doublingConstant = 121665;  // (A - 2) / 4
constexpr uint32_t vGSquared = 39420360;       // 9^3 + A 9^2 + 9
constexpr uint32_t aPlus9 = 486671;

int bitOf(const Bytes32& x, int i) { return i < 0 || i > 255 ? 0 : (x[i >> 3] >> (i & 7)) & 1; }

template <class F>
F constant(uint32_t n) {
    return F::fromInt(1).mulSmall(n);
}

template <class F>
bool isZero(const F& f) {
    Bytes32 b = f.toBytes();
    for (uint8_t c : b)
        if (c) return false;
    return true;
}

// R = u^3 + A u^2 + u and a square root v of R (a true one only when R is a square).
template <class F>
void curveRoot(const F& u, F& R, F& v) {
    F u2 = u.sq();
    R = ((u2 * u + u2.mulSmall(curveA)).carry() + u).carry();
    F q = R + R;
    F d = pow22523(q);
    v = R * d * (q * d.sq() - constant<F>(1));
}

template <class F>
struct Projective {
    F X, Z;
};

// One ladder step's arithmetic. X + Z and X - Z of each state are formed
// once and shared by the doubling and the two differential additions:
//   double: a = (X + Z)^2, b = (X - Z)^2, q = a - b, X' = ab, Z' = q(a + 121665 q)
//   add (difference u_d): m = (X1 - Z1)(X2 + Z2), n = (X1 + Z1)(X2 - Z2),
//                         X' = (m + n)^2, Z' = u_d (m - n)^2
template <class F>
Projective<F> doubled(const F& sum, const F& difference) {
    F a = sum.sq();
    F b = difference.sq();
    F q = a - b;
    return {a * b, q * (a + q.mulSmall(doublingConstant))};
}

// uD == nullptr stands for u = 9.
template <class F>
Projective<F> added(const F& sum1, const F& difference1, const F& sum2, const F& difference2, const F* uD) {
    F m = difference1 * sum2;
    F n = sum1 * difference2;
    F t = (m - n).sq();
    return {(m + n).sq(), uD ? *uD * t : t.mulSmall(9)};
}

}  // namespace

template <class F>
Bytes32 twoScalarLadder(const Bytes32& s, const Bytes32& k, const Bytes32& uPBytes) {
    const F uP = F::fromBytes(uPBytes);
    const F zero = F::fromInt(0), one = F::fromInt(1);

    // The even square root of R fixes P among the two points with this u.
    F R, v;
    curveRoot(uP, R, v);
    if (v.isOdd()) v = (zero - v).carry();

    // u(P - G) and u(P + G): ((v -+ vG) / (uP - 9))^2 - A - uP - 9.
    F w = invert((uP - constant<F>(9)).sq());
    F numeratorBase = (R + constant<F>(vGSquared)).carry();
    F t = F::fromBytes(minusTwoVG) * v;  // -2 vG v
    F offset = (uP + constant<F>(aPlus9)).carry();
    F xMinus = ((numeratorBase - t).carry() * w - offset).carry();
    F xPlus = ((numeratorBase + t).carry() * w - offset).carry();

    // Control bits: d[i + 1] holds d_i for i = -1 .. 256.
    int d[258];
    d[0] = 0;
    for (int i = 0; i <= 256; ++i) {
        int gk = bitOf(k, i) ^ bitOf(k, i - 1);
        int gs = bitOf(s, i) ^ bitOf(s, i - 1);
        int eq = gk == gs;
        d[i + 1] = gs ^ (eq & d[i]);
    }

    Projective<F> S[3] = {{one, zero}, {d[257] ? uP : constant<F>(9), one}, {xMinus, one}};
    for (int i = 255; i >= 0; --i) {
        int j = (bitOf(k, i) ^ bitOf(k, i + 1)) + (bitOf(s, i) ^ bitOf(s, i + 1));
        int t2 = 2 * (d[i + 1] ^ d[i + 2]);
        F sum[3], difference[3];
        for (int n = 0; n < 3; ++n) {
            sum[n] = S[n].X + S[n].Z;
            difference[n] = S[n].X - S[n].Z;
        }
        Projective<F> n0 = doubled(sum[j], difference[j]);
        Projective<F> n1 = added(sum[1], difference[1], sum[t2], difference[t2], d[i + 1] ? &uP : nullptr);
        Projective<F> n2 = added(sum[2], difference[2], sum[0], difference[0],
                                 (bitOf(k, i + 1) ^ bitOf(s, i + 1)) ? &xPlus : &xMinus);
        S[0] = n0;
        S[1] = n1;
        S[2] = n2;
    }
    const Projective<F>& result = S[bitOf(k, 0) + bitOf(s, 0)];
    return (result.X * invert(result.Z)).toBytes();
}

template Bytes32 twoScalarLadder<field::Fe10>(const Bytes32&, const Bytes32&, const Bytes32&);
#ifdef FIELD_HAVE_FE51
template Bytes32 twoScalarLadder<field::Fe51>(const Bytes32&, const Bytes32&, const Bytes32&);
#endif

Bytes32 twoScalarLadder(const Bytes32& s, const Bytes32& k, const Bytes32& uP) {
    return twoScalarLadder<field::Fe>(s, k, uP);
}

bool isCurvePoint(const Bytes32& u) {
    using F = field::Fe;
    if (u[31] & 0x80) return false;
    F f = F::fromBytes(u);
    if (f.toBytes() != u) return false;  // not below p
    F R, v;
    curveRoot(f, R, v);
    return isZero(v.sq() - R);
}

bool isUsablePublicKey(const PublicKey& key) {
    Bytes32 nine{};
    nine[0] = 9;
    return key != nine && isCurvePoint(key);
}

Bytes32 challengeScalar(const PackageDigest& h, const uint8_t e[16]) {
    Bytes32 k = sha256(h.data(), h.size());
    for (int i = 0; i < 16; ++i) k[8 + i] ^= e[i];
    k[0] &= 0xF8;
    k[31] = (k[31] & 0x7F) | 0x40;
    return k;
}

bool verifySignatureRecord(const PackageDigest& digest, const uint8_t record[signatureRecordSize],
                           const PublicKey& key) {
    if (std::memcmp(record, digest.data(), digest.size()) != 0) return false;
    const uint8_t* e = record + 20;
    Bytes32 s;
    std::memcpy(s.data(), record + 36, 32);
    Bytes32 x = twoScalarLadder(s, challengeScalar(digest, e), key);
    Sha256Digest hx = sha256(x.data(), x.size());
    return std::memcmp(hx.data(), e, 16) == 0;
}

Authenticity checkSignaturePart(PackagePartStream& stream, const PublicKey& key) {
    PackagePartBuffer& buffer = stream.partBuffer();
    if (!buffer.digestOn()) return Authenticity::NoDigest;
    if (stream.currentPart() != int(PartType::Signature)) return Authenticity::NotAPackage;
    buffer.finishDigest();
    // The digest must run from this package's own Header part header; a
    // Signature part with no Header before it signs no package.
    if (buffer.lastHeaderOffset() < 0 || buffer.readyDigestStart() != buffer.lastHeaderOffset())
        return Authenticity::NotAPackage;
    if (buffer.remaining() < signatureRecordSize) return Authenticity::ShortRecord;
    uint8_t record[signatureRecordSize];
    if (buffer.readUnhashed(reinterpret_cast<char*>(record), sizeof record) != std::streamsize(sizeof record))
        return Authenticity::ShortRecord;
    PackageDigest digest;
    std::memcpy(digest.data(), buffer.lastDigest(), digest.size());
    if (std::memcmp(record, digest.data(), digest.size()) != 0) return Authenticity::DigestMismatch;
    return verifySignatureRecord(digest, record, key) ? Authenticity::Signed : Authenticity::BadSignature;
}

bool verifySignatureWith(PackagePartStream& stream, const PublicKey& key) {
    return checkSignaturePart(stream, key) == Authenticity::Signed;
}

Authenticity checkAuthenticityDetailed(PackagePartStream& stream, const TrustAnchors& trust,
                                       PackageDigest* digestOut) {
    if (stream.currentPart() == int(PartType::Signature)) {
        Authenticity result = checkSignaturePart(stream, trust.publicKey);
        if (digestOut && result != Authenticity::NoDigest && result != Authenticity::NotAPackage)
            std::memcpy(digestOut->data(), stream.partBuffer().lastDigest(), digestOut->size());
        if (result == Authenticity::Signed) stream.nextPart();
        return result;
    }
    // Only a digest of this very package counts: one finished when its own
    // Header arrived covers the bytes before it, and stays ready when the
    // package is cut short inside a part.
    bool covers = stream.digestCoversPackage();
    PackageDigest digest;
    if (!stream.takeDigest(digest.data()) || !covers) return Authenticity::Incomplete;
    if (digestOut) *digestOut = digest;
    return isKnownDigest(digest.data(), trust.knownDigests) ? Authenticity::KnownDigest
                                                            : Authenticity::UnknownDigest;
}

bool checkAuthenticity(PackagePartStream& stream, const TrustAnchors& trust) {
    Authenticity result = checkAuthenticityDetailed(stream, trust);
    return result == Authenticity::Signed || result == Authenticity::KnownDigest;
}

const char* describe(Authenticity result) {
    switch (result) {
    case Authenticity::Signed: return "signature good";
    case Authenticity::KnownDigest: return "unsigned, digest is a known one";
    case Authenticity::NoDigest: return "no digest kept";
    case Authenticity::NotAPackage: return "Signature part without a Header part before it";
    case Authenticity::ShortRecord: return "Signature part shorter than 68 bytes";
    case Authenticity::DigestMismatch: return "package changed after signing (digest differs)";
    case Authenticity::BadSignature: return "signature does not match the public key";
    case Authenticity::Incomplete: return "package cut short or its parts out of order (no digest)";
    case Authenticity::UnknownDigest: return "unsigned, and its digest is not a known one";
    }
    return "?";
}

bool checkAuthenticity(PackagePartStream& stream) { return checkAuthenticity(stream, builtinTrustAnchors()); }

std::optional<std::vector<PackageCheck>> checkEveryPackage(std::istream& in, const TrustAnchors& trust) {
    PackagePartStream stream(in, true);
    if (stream.bad()) return std::nullopt;
    stream.acceptPartType(PartType::Header);
    stream.acceptPartType(PartType::Signature);
    std::vector<PackageCheck> checks;
    stream.nextPart();
    while (stream.currentPart() != -1) {
        if (stream.currentPart() != int(PartType::Header)) {
            stream.nextPart();  // a Signature part outside any package
            continue;
        }
        char header[kPackageHeaderSize];
        PackageCheck check;
        bool complete = bool(stream.read(header, sizeof header));
        check.name.assign(header, complete ? strnlen(header, kNameFieldSize) : 0);
        stream.nextPart();  // its Signature part, the next package's Header, or the end
        PackageDigest digest;
        check.result = checkAuthenticityDetailed(stream, trust, &digest);
        if (!complete) check.result = Authenticity::Incomplete;
        if (check.result != Authenticity::Incomplete && check.result != Authenticity::NoDigest &&
            check.result != Authenticity::NotAPackage)
            check.digest = digest;
        checks.push_back(check);
        if (stream.currentPart() == int(PartType::Signature)) stream.nextPart();  // a refused one
    }
    return checks;
}

bool isKnownDigest(const uint8_t* digest, std::span<const PackageDigest> table) {
    for (const PackageDigest& entry : table)
        if (std::memcmp(entry.data(), digest, entry.size()) == 0) return true;
    return false;
}

bool isKnownDigest(const uint8_t* digest) {
    return isKnownDigest(digest, builtinTrustAnchors().knownDigests);
}

}  // namespace archive

bool PackagePartStream::verifySignature() {
    return archive::verifySignatureWith(*this, archive::builtinTrustAnchors().publicKey);
}
