#include "archive/script_signature.h"

#include <cstring>

#include "archive/hash.h"
#include "archive/keys.h"
#include "archive/trustfile.h"

namespace archive {

namespace {

constexpr std::string_view kDigestPrefix = "vpk configuration script\n";

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

int hexDigit(char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// The next blank-separated word of `line` from `at`.
std::string_view word(std::string_view line, std::size_t& at) {
    while (at < line.size() && line[at] == ' ') ++at;
    std::size_t start = at;
    while (at < line.size() && line[at] != ' ') ++at;
    return line.substr(start, at - start);
}

// "key FP record HEX" after the prefix, with nothing else.
bool parseSignatureLine(std::string_view line, std::string& fingerprint, uint8_t record[signatureRecordSize]) {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::size_t at = scriptSignaturePrefix.size();
    if (word(line, at) != "key") return false;
    fingerprint = std::string(word(line, at));
    if (fingerprint.empty() || word(line, at) != "record") return false;
    std::string_view hex = word(line, at);
    if (!word(line, at).empty() || hex.size() != 2 * signatureRecordSize) return false;
    for (std::size_t i = 0; i < signatureRecordSize; ++i) {
        int high = hexDigit(hex[2 * i]), low = hexDigit(hex[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        record[i] = uint8_t(high << 4 | low);
    }
    return true;
}

// The start of the last line (a final newline ends it, it does not start another).
std::size_t lastLineStart(std::string_view script) {
    if (!script.empty() && script.back() == '\n') script.remove_suffix(1);
    std::size_t newline = script.rfind('\n');
    return newline == std::string_view::npos ? 0 : newline + 1;
}

const ScriptTrust* trustOverride = nullptr;

}  // namespace

const char* describe(ScriptSignature result) {
    switch (result) {
    case ScriptSignature::Signed: return "signed";
    case ScriptSignature::Unsigned: return "no signature";
    case ScriptSignature::NotLast: return "the signature line is not the last line";
    case ScriptSignature::Unreadable: return "the signature line cannot be read";
    case ScriptSignature::Changed: return "script changed after signing";
    case ScriptSignature::OtherKey: return "signed with another key";
    case ScriptSignature::BadSignature: return "signature does not match the public key";
    }
    return "?";
}

PackageDigest scriptDigest(std::string_view content) {
    Sha1Hasher hasher;
    hasher.update(kDigestPrefix.data(), kDigestPrefix.size());
    hasher.update(content.data(), content.size());
    PackageDigest digest;
    hasher.finish(digest.data());
    return digest;
}

std::size_t signedContentEnd(std::string_view script) {
    std::size_t start = lastLineStart(script);
    return startsWith(script.substr(start), scriptSignaturePrefix) ? start : script.size();
}

ScriptSignature checkScriptSignature(std::string_view script, const PublicKey& key, std::string* signerFingerprint) {
    std::size_t end = signedContentEnd(script);
    std::string_view content = script.substr(0, end);
    // A signature line anywhere before the last one: what follows it would
    // ride along unsigned, so the script is refused whatever the last line is.
    for (std::size_t at = 0; at < content.size();) {
        if (startsWith(content.substr(at), scriptSignaturePrefix)) return ScriptSignature::NotLast;
        std::size_t newline = content.find('\n', at);
        if (newline == std::string_view::npos) break;
        at = newline + 1;
    }
    if (end == script.size()) return ScriptSignature::Unsigned;
    std::string fingerprint;
    uint8_t record[signatureRecordSize];
    if (!parseSignatureLine(script.substr(end), fingerprint, record)) return ScriptSignature::Unreadable;
    if (signerFingerprint) *signerFingerprint = fingerprint;
    PackageDigest digest = scriptDigest(content);
    if (std::memcmp(record, digest.data(), digest.size()) != 0) return ScriptSignature::Changed;
    if (verifySignatureRecord(digest, record, key)) return ScriptSignature::Signed;
    return fingerprint != keyFingerprint(key) ? ScriptSignature::OtherKey : ScriptSignature::BadSignature;
}

const ScriptTrust& scriptTrust() {
    static const ScriptTrust builtin{configurationScriptsSigned, packagePublicKey};
    return trustOverride ? *trustOverride : builtin;
}

void setScriptTrust(const ScriptTrust* trust) { trustOverride = trust; }

bool scriptAccepted(std::string_view script, std::string& reason) {
    const ScriptTrust& trust = scriptTrust();
    if (!trust.signedOnly || script.empty()) return true;
    ScriptSignature result = checkScriptSignature(script, trust.key);
    if (result == ScriptSignature::Signed) return true;
    reason = describe(result);
    return false;
}

}  // namespace archive
