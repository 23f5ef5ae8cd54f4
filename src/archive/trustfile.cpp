#include "archive/trustfile.h"

#include <fstream>

#include "archive/sha256.h"

namespace archive {

namespace {

bool parseHex(const std::string& text, uint8_t* out, size_t count) {
    if (text.size() != 2 * count) return false;
    for (size_t i = 0; i < 2 * count; ++i) {
        char c = text[i];
        int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (digit < 0) return false;
        if (i % 2 == 0) out[i / 2] = uint8_t(digit << 4);
        else out[i / 2] |= uint8_t(digit);
    }
    return true;
}

std::string trimmed(const std::string& line) {
    size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string::npos) return {};
    size_t end = line.find_last_not_of(" \t\r");
    return line.substr(start, end - start + 1);
}

}  // namespace

std::string keyFingerprint(const PublicKey& key) {
    static const char digits[] = "0123456789abcdef";
    Sha256Digest hash = sha256(key.data(), key.size());
    std::string out;
    for (size_t i = 0; i < 8; ++i) {
        out += digits[hash[i] >> 4];
        out += digits[hash[i] & 15];
    }
    return out;
}

bool readPublicKey(const std::string& hexOrPath, PublicKey& key, std::string& error) {
    std::string hex = hexOrPath, where = "the key " + hexOrPath;
    if (!parseHex(hex, key.data(), key.size())) {
        std::ifstream in(hexOrPath);
        if (!in) {
            error = hexOrPath + ": neither 64 hex digits nor a readable key file";
            return false;
        }
        where = hexOrPath;
        hex.clear();
        for (std::string line; std::getline(in, line);) {
            line = trimmed(line);
            if (line.empty()) continue;
            if (line[0] != '#') {
                hex = line;
                break;
            }
            // vpk keygen marks the private half; its hex would pass for a key.
            if (line.find("signing key: private") != std::string::npos) {
                error = hexOrPath + " is a private key: give the public one (" + hexOrPath + ".pub)";
                return false;
            }
        }
        if (!parseHex(hex, key.data(), key.size())) {
            error = hexOrPath + ": no public key of 64 hex digits in it";
            return false;
        }
    }
    if (!isUsablePublicKey(key)) {
        error = where + " is not a usable public key (not a curve point, or the base point)";
        return false;
    }
    return true;
}

bool readDigestTable(const std::string& path, std::vector<PackageDigest>& table, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read the digest table " + path;
        return false;
    }
    table.clear();
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        line = trimmed(line.substr(0, line.find('#')));
        if (line.empty()) continue;
        PackageDigest digest;
        if (!parseHex(line, digest.data(), digest.size())) {
            error = path + ":" + std::to_string(number) + ": not a digest of 40 hex digits: " + line;
            return false;
        }
        table.push_back(digest);
    }
    if (in.bad()) {
        error = "cannot read the digest table " + path;
        return false;
    }
    return true;
}

}  // namespace archive
