#include "archive/script_signer.h"

#include "archive/script_signature.h"
#include "archive/trustfile.h"

namespace archive {

std::optional<std::string> signScript(std::string_view script, const PrivateKey& privateKey, std::string* error) {
    auto pair = keyPairFromPrivate(privateKey);
    if (!pair) {
        if (error) *error = "not a usable private key";
        return std::nullopt;
    }
    std::string content(script.substr(0, signedContentEnd(script)));
    // Checked as the installer will: only the last line may be a signature.
    if (signedContentEnd(content) != content.size() ||
        checkScriptSignature(content, pair->publicKey) == ScriptSignature::NotLast) {
        if (error) *error = "a signature line stands before the end of the script; remove it first";
        return std::nullopt;
    }
    if (!content.empty() && content.back() != '\n') content += '\n';
    auto record = signDigest(scriptDigest(content), pair->privateKey);
    if (!record) {
        if (error) *error = "no random numbers from the system";
        return std::nullopt;
    }
    static const char digits[] = "0123456789abcdef";
    std::string line = std::string(scriptSignaturePrefix) + " key " + keyFingerprint(pair->publicKey) + " record ";
    for (uint8_t byte : *record) {
        line += digits[byte >> 4];
        line += digits[byte & 15];
    }
    return content + line + "\n";
}

}  // namespace archive
