#pragma once
// Small package files for the signature tests, built byte by byte, and the
// development signing key (for tests and demos only).

#include <fstream>
#include <string>

#include "archive/format.h"
#include "archive/hash.h"
#include "archive/signature.h"
#include "archive/signer.h"

namespace signing_test {

using archive::PackageDigest;
using archive::TrustAnchors;

inline void putLe(std::string& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += char(value >> (8 * i));
}

inline std::string part(PartType type, const std::string& data) {
    std::string out;
    putLe(out, uint32_t(type), 2);
    putLe(out, uint32_t(data.size()), 4);
    return out + data;
}

inline std::string headerData(const std::string& name) {
    std::string data = name;
    data.resize(16, '\0');
    putLe(data, 0x01020066, 4);  // version
    putLe(data, 1700000000, 4);  // build time
    data.append(8, '\0');
    return data;
}

// The parts of one package from its Header up to (not including) a Signature.
inline std::string packageBody(const std::string& name) {
    return part(PartType::Header, headerData(name)) + part(PartType::Description, "a test package") +
           part(PartType::InstallScript, "echo hi");
}

inline std::string file(const std::string& parts, uint32_t magic = kPackageMagic) {
    std::string out;
    putLe(out, magic, 4);
    putLe(out, uint32_t(parts.size()), 4);
    return out + parts;
}

inline PackageDigest sha1(const std::string& bytes) { return Sha1Hasher::digest(bytes.data(), bytes.size()); }

inline archive::PrivateKey developmentKey() {
    std::ifstream in(std::string(TEST_DATA_DIR) + "/development-signing-key.tests-and-demos-only.hex");
    std::string hex;
    in >> hex;
    archive::PrivateKey key{};
    for (size_t i = 0; i < key.size() && 2 * i + 1 < hex.size(); ++i)
        key[i] = uint8_t(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    return key;
}

inline const archive::KeyPair& developmentPair() {
    static const archive::KeyPair pair = *archive::keyPairFromPrivate(developmentKey());
    return pair;
}

// A signed package: the digest covers the body and the Signature part header.
inline std::string signedPackage(const std::string& body, size_t extraSignatureBytes = 0) {
    std::string sigHeader;
    putLe(sigHeader, uint32_t(PartType::Signature), 2);
    putLe(sigHeader, uint32_t(archive::signatureRecordSize + extraSignatureBytes), 4);
    auto record = archive::signDigest(sha1(body + sigHeader), developmentPair().privateKey);
    return body + sigHeader + std::string(record->begin(), record->end()) + std::string(extraSignatureBytes, 'x');
}

inline archive::TrustAnchors devTrust(std::span<const archive::PackageDigest> table = {}) {
    return {developmentPair().publicKey, table};
}

}  // namespace signing_test
