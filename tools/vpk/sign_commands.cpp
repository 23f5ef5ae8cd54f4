// vpk keygen, sign and verify: making key pairs, signing every package of a
// file, and checking files exactly as the installer does.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "archive/keys.h"
#include "archive/script_signer.h"
#include "archive/signature.h"
#include "archive/signer.h"
#include "archive/trustfile.h"
#include "command.h"
#include "script_files.h"

namespace {

std::string toHex(const uint8_t* bytes, size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

bool fromHex(const std::string& text, uint8_t* out, size_t count) {
    if (text.size() != 2 * count) return false;
    for (size_t i = 0; i < count; ++i) {
        int value = 0;
        for (int j = 0; j < 2; ++j) {
            char c = text[2 * i + j];
            int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (digit < 0) return false;
            value = value * 16 + digit;
        }
        out[i] = uint8_t(value);
    }
    return true;
}

bool readFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    out = buffer.str();
    return !in.bad();
}

// Writes beside the target and renames, so a failure never leaves half a file.
// The file is always a new one with exactly `mode`: a left-over temporary file
// (or a link in its place) must not lend a private key its wider permissions.
bool writeFileReplacing(const std::string& path, const std::string& bytes, mode_t mode) {
    std::string temporary = path + ".vpk-tmp";
    ::unlink(temporary.c_str());
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) return false;
    if (::fchmod(fd, mode) != 0) {
        ::close(fd);
        ::unlink(temporary.c_str());
        return false;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += size_t(n);
    }
    bool ok = done == bytes.size() && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

// A key file: the first line that is not empty or a "#" comment holds the hex.
bool readKeyFile(const std::string& path, uint8_t* out, size_t count, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        size_t start = line.find_first_not_of(" \t\r");
        if (start == std::string::npos || line[start] == '#') continue;
        size_t end = line.find_last_not_of(" \t\r");
        if (fromHex(line.substr(start, end - start + 1), out, count)) return true;
        break;
    }
    error = path + ": no key of " + std::to_string(2 * count) + " hex digits";
    return false;
}

int keygen(const std::vector<std::string>& arguments) {
    Args args(arguments);
    bool force = args.flag("--force");
    if (!args.unknownOption().empty()) return usageError("keygen", "unknown option " + args.unknownOption());
    auto files = args.positional();
    if (files.size() != 1) return usageError("keygen", "give one file name for the private key");
    const std::string privatePath = files[0], publicPath = files[0] + ".pub";
    if (!force && (::access(privatePath.c_str(), F_OK) == 0 || ::access(publicPath.c_str(), F_OK) == 0))
        return fail(privatePath + " or " + publicPath + " exists; use --force to replace it");
    // A folder for keys that does not exist yet is made, readable by its owner
    // alone (each missing level, as mkdir -p -m 0700 would).
    std::vector<std::string> made;
    for (size_t at = privatePath.find('/', 1); at != std::string::npos; at = privatePath.find('/', at + 1)) {
        std::string folder = privatePath.substr(0, at);
        if (::mkdir(folder.c_str(), 0700) == 0) {
            made.push_back(folder);
        } else if (errno != EEXIST) {
            return fail("cannot make the folder " + folder + " for " + privatePath + ": " + std::strerror(errno));
        }
    }
    auto pair = archive::generateKeyPair();
    if (!pair) return fail("no random numbers from the system");
    std::string privateHex = toHex(pair->privateKey.data(), 32), publicHex = toHex(pair->publicKey.data(), 32);
    if (!writeFileReplacing(privatePath, "# vpk signing key: private, keep it secret\n" + privateHex + "\n", 0600))
        return fail("cannot write " + privatePath);
    if (!writeFileReplacing(publicPath, publicHex + "\n", 0644)) return fail("cannot write " + publicPath);
    // The private key is never printed: it stays in its file.
    for (const std::string& folder : made) std::cout << "made the folder " << folder << " (mode 0700)\n";
    std::cout << "private key: " << privatePath << " (mode 0600; keep it secret, it signs packages)\n"
              << "public key:  " << publicHex << " (" << publicPath << ")\n"
              << "package key: " << archive::keyFingerprint(pair->publicKey) << " (its fingerprint)\n"
              << "build the installation environment with it (in the source tree): ./run build --public-key " << publicPath
              << "\n  (in CMake terms -DPACKAGE_PUBLIC_KEY=" << publicHex << ")\n";
    return kExitOk;
}

int sign(const std::vector<std::string>& arguments) {
    Args args(arguments);
    std::string keyPath, output;
    bool haveKey = args.value("--key", keyPath) || args.value("-k", keyPath);
    bool haveOutput = args.value("--output", output) || args.value("-o", output);
    if (args.missingValue()) return usageError("sign", args.missingValueOf() + " needs a value");
    if (!args.unknownOption().empty()) return usageError("sign", "unknown option " + args.unknownOption());
    auto files = args.positional();
    if (!haveKey) return usageError("sign", "--key PRIVATE-KEY-FILE is required");
    if (files.empty()) return usageError("sign", "no package file given");
    if (haveOutput && files.size() != 1) return usageError("sign", "--output takes one package file");

    archive::PrivateKey key;
    std::string error;
    if (!readKeyFile(keyPath, key.data(), key.size(), error)) return fail(error);
    if (!archive::keyPairFromPrivate(key)) return fail(keyPath + ": not a usable private key");

    int status = kExitOk;
    for (const std::string& path : files) {
        std::string bytes;
        if (!readFile(path, bytes)) {
            status = fail("cannot read " + path);
            continue;
        }
        std::vector<std::string> names;
        std::optional<std::string> signedFile;
        if (isScriptFile(path)) {
            signedFile = archive::signScript(bytes, key, &error);
            names = {"configuration script"};
        } else {
            signedFile = archive::signPackageFile(bytes, key, &names, &error);
        }
        if (!signedFile) {
            status = fail(path + ": " + error);
            continue;
        }
        if (names.empty()) {
            status = fail(path + ": no package (Header part) in it");
            continue;
        }
        const std::string& target = haveOutput ? output : path;
        struct stat info;
        mode_t mode = ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0644;
        if (!writeFileReplacing(target, *signedFile, mode)) {
            status = fail("cannot write " + target);
            continue;
        }
        for (const std::string& name : names) std::cout << target << ": signed " << name << "\n";
    }
    return status;
}

// The development key (data/package-public-key.hex), whose private half is
// published for tests and demos: a package signed with it is named so.
const archive::PublicKey& developmentKey() {
    static const archive::PublicKey key = [] {
        archive::PublicKey k{};
        std::string error;
        (void)archive::readPublicKey(DEVELOPMENT_PUBLIC_KEY, k, error);
        return k;
    }();
    return key;
}

std::string describeKey(const archive::PublicKey& key) {
    return key == developmentKey() ? "the development key (" + archive::keyFingerprint(key) + ")"
                                   : "package key " + archive::keyFingerprint(key);
}

// For each package of the file whose signature does not match `key`: which
// key did sign it, as far as vpk can tell (the development key is the one it
// knows), and how to sign it with the trusted key instead.
std::vector<std::string> signerNotes(const std::string& path, const std::vector<archive::PackageCheck>& checks,
                                     const archive::PublicKey& key) {
    std::vector<std::string> notes(checks.size());
    std::vector<archive::PackageCheck> byDevelopment;
    if (key != developmentKey()) {
        std::ifstream in(path, std::ios::binary);
        archive::TrustAnchors development{developmentKey(), {}};
        if (auto again = archive::checkEveryPackage(in, development)) byDevelopment = *again;
    }
    const std::string how = "sign it with the private half of " + describeKey(key) +
                            ": vpk sign --key PRIVATE-KEY-FILE " + path;
    for (size_t i = 0; i < checks.size(); ++i) {
        if (checks[i].result != archive::Authenticity::BadSignature) continue;
        bool development = i < byDevelopment.size() && byDevelopment[i].result == archive::Authenticity::Signed;
        notes[i] = development ? "signed with " + describeKey(developmentKey()) + ", not with " + describeKey(key)
                               : "signed with another key than " + describeKey(key) +
                                     (key == developmentKey() ? "" : " (not the development key either)");
        notes[i] += "; " + how;
    }
    return notes;
}

int verify(const std::vector<std::string>& arguments) {
    Args args(arguments);
    std::string keyText, tablePath, error;
    archive::TrustAnchors trust = archive::builtinTrustAnchors();
    static std::vector<archive::PackageDigest> table;
    bool haveKey = args.value("--public-key", keyText);
    if (haveKey && !archive::readPublicKey(keyText, trust.publicKey, error)) return usageError("verify", error);
    bool haveTable = args.value("--known-digests", tablePath);
    if (haveTable) {
        if (!archive::readDigestTable(tablePath, table, error)) return fail(error);
        trust.knownDigests = table;
    } else if (haveKey) {
        // A key of one's own comes without the development table, as the
        // environment that ./run build makes with it and castdeploy-server
        // judge: unsigned packages only by a table given.
        trust.knownDigests = {};
    }
    if (args.missingValue()) return usageError("verify", args.missingValueOf() + " needs a value");
    if (!args.unknownOption().empty()) return usageError("verify", "unknown option " + args.unknownOption());
    auto files = args.positional();
    if (files.empty()) return usageError("verify", "no package file given");

    // What it judges against comes first, once a file can be judged at all
    // (a missing file is a wrong argument, said on standard error alone).
    bool trustSaid = false;
    auto sayTrust = [&] {
        if (trustSaid) return;
        trustSaid = true;
        std::cout << "trust: " << describeKey(trust.publicKey)
                  << (haveKey ? ", from --public-key " + keyText : std::string(", built in")) << "; known digests: "
                  << (haveTable ? tablePath + " (" + std::to_string(table.size()) + ")"
                      : haveKey ? std::string("none (no --known-digests: unsigned packages are refused)")
                                : "built in (" + std::to_string(trust.knownDigests.size()) + ", the development table)")
                  << "\n";
    };
    int status = kExitOk;
    for (const std::string& path : files) {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            status = fail("cannot read " + path);
            continue;
        }
        sayTrust();
        if (isScriptFile(path)) {
            if (!verifyScriptFile(path, trust.publicKey, std::cout)) status = kExitFailure;
            continue;
        }
        auto checks = archive::checkEveryPackage(in, trust);
        if (!checks) {
            std::cout << path << ": FAILED: not a package file\n";
            status = kExitFailure;
            continue;
        }
        if (checks->empty()) {
            std::cout << path << ": FAILED: no package in it\n";
            status = kExitFailure;
        }
        auto notes = signerNotes(path, *checks, trust.publicKey);
        for (size_t i = 0; i < checks->size(); ++i) {
            const archive::PackageCheck& check = (*checks)[i];
            std::cout << path << ": " << (check.name.empty() ? "(no name)" : check.name) << ": "
                      << (check.accepted() ? "ok: " : "FAILED: ") << archive::describe(check.result);
            if (check.digest) std::cout << " [sha1 " << toHex(check.digest->data(), check.digest->size()) << "]";
            std::cout << "\n";
            if (!notes[i].empty()) std::cout << "  " << notes[i] << "\n";
            if (!check.accepted()) status = kExitFailure;
        }
    }
    return status;
}

CommandRegistration keygenCommand({"keygen", "make a package signing key pair",
                                   "usage: vpk keygen [--force] PRIVATE-KEY-FILE\n"
                                   "  writes the private key to PRIVATE-KEY-FILE (mode 0600, never printed;\n"
                                   "  a folder on its path that does not exist is made with mode 0700)\n"
                                   "  and the public key to PRIVATE-KEY-FILE.pub; prints the public key and\n"
                                   "  its fingerprint. An installation environment trusts the key when it\n"
                                   "  is built with it (in the project's source tree: ./run build\n"
                                   "  --public-key PRIVATE-KEY-FILE.pub)\n",
                                   keygen});

CommandRegistration signCommand({"sign", "sign every package of package files, and configuration scripts",
                                 "usage: vpk sign --key PRIVATE-KEY-FILE [-o OUTPUT] FILE...\n"
                                 "  each package (every member of a bundle) gets its own Signature part;\n"
                                 "  a configuration script (NAME.scr) gets a last comment line that signs\n"
                                 "  every byte before it; existing signatures are replaced; files are\n"
                                 "  rewritten in place unless -o/--output names the result (one FILE only)\n",
                                 sign});

CommandRegistration verifyCommand({"verify", "check package files as the installer does",
                                   "usage: vpk verify [--public-key HEX|FILE] [--known-digests FILE] FILE...\n"
                                   "  checks each package's signature (built-in development key, or the given\n"
                                   "  one: 64 hex digits or a key file such as vpk keygen's FILE.pub) or, for\n"
                                   "  an unsigned package, its digest against the table given (40 hex digits\n"
                                   "  per line, '#' comments); without --known-digests, the built-in\n"
                                   "  development table when no --public-key is given, else none (as an\n"
                                   "  installation environment built for that key and castdeploy-server judge).\n"
                                   "  A configuration script (NAME.scr) must carry a signature line for the key.\n"
                                   "  Prints the key and table it judged against, one line per package or\n"
                                   "  script, and for a package signed with another key which one (when vpk\n"
                                   "  knows it); exits 1 when any fails\n",
                                   verify});

}  // namespace
