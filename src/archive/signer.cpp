#include "archive/signer.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>

#include "archive/format.h"
#include "archive/hash.h"
#include "archive/sha256.h"

namespace archive {
namespace {

// L = 2^252 + 27742317777372353535851937790883648493, little-endian 32-bit words.
constexpr uint32_t orderWords[8] = {0x5cf5d3ed, 0x5812631a, 0xa2f79cd6, 0x14def9de,
                                    0x00000000, 0x00000000, 0x00000000, 0x10000000};

using Words = std::array<uint32_t, 8>;

Words toWords(const Bytes32& b) {
    Words w{};
    for (int i = 0; i < 32; ++i) w[i / 4] |= uint32_t(b[i]) << (8 * (i % 4));
    return w;
}

Bytes32 fromWords(const Words& w) {
    Bytes32 b;
    for (int i = 0; i < 32; ++i) b[i] = uint8_t(w[i / 4] >> (8 * (i % 4)));
    return b;
}

bool lessThanOrder(const Words& w) {
    for (int i = 7; i >= 0; --i)
        if (w[i] != orderWords[i]) return w[i] < orderWords[i];
    return false;
}

void subtractOrder(Words& w) {
    int64_t borrow = 0;
    for (int i = 0; i < 8; ++i) {
        int64_t d = int64_t(w[i]) - orderWords[i] - borrow;
        borrow = d < 0;
        w[i] = uint32_t(d);
    }
}

// Bit by bit from the top: r = 2r + bit, kept below L. Slow and simple; the
// signer reduces a few hundred values per signature.
Bytes32 reduceWords(const uint32_t* words, int count) {
    Words r{};
    for (int i = count * 32 - 1; i >= 0; --i) {
        uint32_t carry = (words[i / 32] >> (i % 32)) & 1;
        for (int j = 0; j < 8; ++j) {
            uint32_t next = r[j] >> 31;
            r[j] = (r[j] << 1) | carry;
            carry = next;
        }
        if (!lessThanOrder(r)) subtractOrder(r);  // r < 2L < 2^254: no overflow
    }
    return fromWords(r);
}

bool isZero(const Bytes32& b) {
    for (uint8_t c : b)
        if (c) return false;
    return true;
}

Bytes32 baseMultiple(const Bytes32& k) {
    Bytes32 nine{};
    nine[0] = 9;
    return twoScalarLadder(Bytes32{}, k, nine);
}

}  // namespace

namespace scalar {

Bytes32 reduce(const uint8_t* bytes, std::size_t count) {
    uint32_t words[16] = {};
    for (std::size_t i = 0; i < count && i < 64; ++i) words[i / 4] |= uint32_t(bytes[i]) << (8 * (i % 4));
    return reduceWords(words, 16);
}

Bytes32 add(const Bytes32& a, const Bytes32& b) {
    Words x = toWords(a), y = toWords(b);
    uint32_t sum[9] = {};
    uint64_t carry = 0;
    for (int i = 0; i < 8; ++i) {
        carry += uint64_t(x[i]) + y[i];
        sum[i] = uint32_t(carry);
        carry >>= 32;
    }
    sum[8] = uint32_t(carry);
    return reduceWords(sum, 9);
}

Bytes32 mul(const Bytes32& a, const Bytes32& b) {
    Words x = toWords(a), y = toWords(b);
    uint32_t product[16] = {};
    for (int i = 0; i < 8; ++i) {
        uint64_t carry = 0;
        for (int j = 0; j < 8; ++j) {
            carry += uint64_t(x[i]) * y[j] + product[i + j];
            product[i + j] = uint32_t(carry);
            carry >>= 32;
        }
        product[i + 8] = uint32_t(carry);
    }
    return reduceWords(product, 16);
}

Bytes32 invert(const Bytes32& a) {
    Words exponent = {orderWords[0] - 2, orderWords[1], orderWords[2], orderWords[3],
                      orderWords[4],     orderWords[5], orderWords[6], orderWords[7]};
    Bytes32 result{};
    result[0] = 1;
    for (int i = 255; i >= 0; --i) {
        result = mul(result, result);
        if ((exponent[i / 32] >> (i % 32)) & 1) result = mul(result, a);
    }
    return result;
}

Bytes32 negate(const Bytes32& a) {
    Bytes32 r = reduce(a.data(), a.size());
    if (isZero(r)) return r;
    Words w = toWords(r);
    Words out{};
    int64_t borrow = 0;
    for (int i = 0; i < 8; ++i) {
        int64_t d = int64_t(orderWords[i]) - w[i] - borrow;
        borrow = d < 0;
        out[i] = uint32_t(d);
    }
    return fromWords(out);
}

}  // namespace scalar

bool randomBytes(uint8_t* out, std::size_t count) {
    while (count > 0) {
        ssize_t n = getrandom(out, count, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        out += n;
        count -= std::size_t(n);
    }
    return true;
}

std::optional<KeyPair> keyPairFromPrivate(const PrivateKey& privateKey) {
    KeyPair pair;
    pair.privateKey = scalar::reduce(privateKey.data(), privateKey.size());
    Bytes32 one{};
    one[0] = 1;
    if (isZero(pair.privateKey) || pair.privateKey == one || scalar::negate(pair.privateKey) == one)
        return std::nullopt;
    pair.publicKey = baseMultiple(pair.privateKey);
    // The verifier takes the point with the even v: u(P_even - [a]G) is 0
    // exactly when [a]G is that point; otherwise P_even = [L - a]G.
    if (!isZero(twoScalarLadder(one, pair.privateKey, pair.publicKey)))
        pair.privateKey = scalar::negate(pair.privateKey);
    return pair;
}

std::optional<KeyPair> generateKeyPair() {
    for (;;) {
        uint8_t seed[64];
        if (!randomBytes(seed, sizeof seed)) return std::nullopt;
        Bytes32 a = scalar::reduce(seed, sizeof seed);
        std::memset(seed, 0, sizeof seed);
        if (auto pair = keyPairFromPrivate(a)) return pair;
    }
}

std::optional<std::array<uint8_t, signatureRecordSize>> signDigest(const PackageDigest& digest,
                                                                   const PrivateKey& privateKey) {
    auto pair = keyPairFromPrivate(privateKey);
    if (!pair) return std::nullopt;
    Bytes32 inverse = scalar::invert(pair->privateKey);
    for (;;) {
        uint8_t seed[64];
        if (!randomBytes(seed, sizeof seed)) return std::nullopt;
        Bytes32 r = scalar::reduce(seed, sizeof seed);
        std::memset(seed, 0, sizeof seed);
        if (isZero(r)) continue;
        Bytes32 uR = baseMultiple(r);
        Sha256Digest hashed = sha256(uR.data(), uR.size());
        std::array<uint8_t, signatureRecordSize> record;
        std::memcpy(record.data(), digest.data(), 20);
        std::memcpy(record.data() + 20, hashed.data(), 16);
        Bytes32 k = challengeScalar(digest, record.data() + 20);
        Bytes32 s = scalar::mul(scalar::add(r, scalar::reduce(k.data(), k.size())), inverse);
        if (isZero(s)) continue;
        std::memcpy(record.data() + 36, s.data(), 32);
        return record;
    }
}

namespace {

uint32_t readLe(const std::string& bytes, std::size_t at, int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i) value |= uint32_t(uint8_t(bytes[at + i])) << (8 * i);
    return value;
}

void appendLe(std::string& out, uint32_t value, int count) {
    for (int i = 0; i < count; ++i) out += char(value >> (8 * i));
}

}  // namespace

std::optional<std::string> signPackageFile(const std::string& file, const PrivateKey& privateKey,
                                           std::vector<std::string>* names, std::string* error) {
    auto fail = [&](const std::string& why) -> std::optional<std::string> {
        if (error) *error = why;
        return std::nullopt;
    };
    if (file.size() < kFileHeaderSize) return fail("not a package file (shorter than its header)");
    uint32_t magic = readLe(file, 0, 4);
    if (magic != kPackageMagic && magic != kUntrackedMagic) return fail("not a package file (wrong magic)");
    if (!keyPairFromPrivate(privateKey)) return fail("unusable private key");

    std::string out;
    std::string package;  // bytes of the current package from its Header part header on
    bool inPackage = false;
    auto closePackage = [&]() -> bool {
        std::string signatureHeader;
        appendLe(signatureHeader, uint32_t(PartType::Signature), 2);
        appendLe(signatureHeader, signatureRecordSize, 4);
        package += signatureHeader;
        PackageDigest digest = Sha1Hasher::digest(package.data(), package.size());
        auto record = signDigest(digest, privateKey);
        if (!record) return false;
        out += signatureHeader;
        out.append(reinterpret_cast<const char*>(record->data()), record->size());
        inPackage = false;
        return true;
    };

    std::size_t at = kFileHeaderSize;
    while (file.size() - at >= kPartHeaderSize) {
        int type = int(readLe(file, at, 2));
        uint32_t length = readLe(file, at + 2, 4);
        if (length > file.size() - at - kPartHeaderSize)
            return fail("part of type " + std::to_string(type) + " at offset " + std::to_string(at) +
                        " is cut short");
        std::string bytes = file.substr(at, kPartHeaderSize + length);
        at += bytes.size();
        if (type == PartType::Signature && inPackage) {
            if (!closePackage()) return fail("no random numbers from the system");
            continue;
        }
        if (type == PartType::Header) {
            if (inPackage && !closePackage()) return fail("no random numbers from the system");
            if (length < kPackageHeaderSize) return fail("a Header part shorter than 32 bytes");
            std::string name = bytes.substr(kPartHeaderSize, kNameFieldSize);
            if (names) names->push_back(name.substr(0, name.find('\0')));
            inPackage = true;
            package.clear();
        }
        if (inPackage) package += bytes;
        out += bytes;
    }
    if (inPackage && !closePackage()) return fail("no random numbers from the system");
    out += file.substr(at);  // fewer than 6 trailing bytes end the parts; kept as they were

    std::string result = file.substr(0, 4);
    appendLe(result, uint32_t(out.size()), 4);
    return result + out;
}

}  // namespace archive
