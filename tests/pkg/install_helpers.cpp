#include "install_helpers.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "archive/hash.h"
#include "archive/signer.h"

namespace installtest {
namespace {

std::string le32(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i)
        s[size_t(i)] = char((v >> (8 * i)) & 0xff);
    return s;
}

void setDeclaredLength(std::string& file) {
    std::string length = le32(uint32_t(file.size() - 8));
    file.replace(4, 4, length);
}

archive::PrivateKey developmentKey() {
    std::ifstream in(std::string(TEST_DATA_DIR) + "/development-signing-key.tests-and-demos-only.hex");
    std::string hex;
    in >> hex;
    archive::PrivateKey key{};
    for (size_t i = 0; i < key.size() && 2 * i + 1 < hex.size(); ++i)
        key[i] = uint8_t(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    return key;
}

std::string escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else
            out += c;
    }
    return out;
}

void walk(const std::string& root, const std::string& relative, std::map<std::string, std::string>& out,
          bool recursive) {
    DIR* dir = ::opendir((root + relative).c_str());
    if (!dir)
        return;
    std::vector<std::string> names;
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(dir);
    for (const std::string& name : names) {
        std::string path = relative + "/" + name;
        struct stat info;
        if (::lstat((root + path).c_str(), &info) != 0)
            continue;
        char head[128];
        char type = S_ISDIR(info.st_mode)    ? 'd'
                    : S_ISREG(info.st_mode)  ? 'f'
                    : S_ISLNK(info.st_mode)  ? 'l'
                    : S_ISCHR(info.st_mode)  ? 'c'
                    : S_ISBLK(info.st_mode)  ? 'b'
                    : S_ISFIFO(info.st_mode) ? 'p'
                                             : '?';
        std::snprintf(head, sizeof head, "%c %04o %u:%u %lld ", type, unsigned(info.st_mode & 07777),
                      unsigned(info.st_uid), unsigned(info.st_gid), (long long)info.st_mtime);
        std::string detail = "-";
        if (type == 'f') {
            std::ifstream in(root + path, std::ios::binary);
            std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            detail = data.size() <= 512 ? escape(data) : "size=" + std::to_string(data.size()) + " " + digestText(data);
        } else if (type == 'l') {
            char target[4096];
            ssize_t n = ::readlink((root + path).c_str(), target, sizeof target);
            detail = n >= 0 ? std::string(target, size_t(n)) : "?";
        } else if (type == 'c' || type == 'b') {
            detail = std::to_string(major(info.st_rdev)) + "," + std::to_string(minor(info.st_rdev));
        }
        out[path] = head + detail;
        if (type == 'd' && recursive)
            walk(root, path, out, true);
    }
}

}  // namespace

std::string digestText(const std::string& data) {
    auto digest = Sha1Hasher::digest(data.data(), data.size());
    std::string text;
    char hex[3];
    for (uint8_t byte : digest) {
        std::snprintf(hex, sizeof hex, "%02x", byte);
        text += hex;
    }
    return text;
}

std::string packageFile(const PackageContent& content, bool sign, bool untracked) {
    std::stringstream buffer(std::ios::in | std::ios::out | std::ios::binary);
    PackageWriter writer(buffer, untracked);
    std::string error;
    if (!writePackage(writer, content, error) || !writer.finish())
        return "";
    std::string file = buffer.str();
    if (!sign)
        return file;
    const std::string signatureHeader = std::string("\x09\x00", 2) + le32(68);
    Sha1Hasher hasher;
    hasher.update(file.data() + 8, file.size() - 8);
    hasher.update(signatureHeader.data(), signatureHeader.size());
    archive::PackageDigest digest;
    hasher.finish(digest.data());
    auto record = archive::signDigest(digest, developmentKey());
    if (!record)
        return "";
    file += signatureHeader;
    file.append(reinterpret_cast<const char*>(record->data()), record->size());
    setDeclaredLength(file);
    return file;
}

std::string bundleFile(const PackageContent& bundle, const std::vector<DependencyEntry>* bundleList,
                       const std::vector<std::string>& members) {
    std::stringstream buffer(std::ios::in | std::ios::out | std::ios::binary);
    PackageWriter writer(buffer);
    std::optional<std::vector<DependencyEntry>> list;
    if (bundleList)
        list = *bundleList;
    writeBundleHead(writer, bundle, list);
    if (!writer.finish())
        return "";
    std::string file = buffer.str();
    for (const std::string& member : members)
        file.append(member, 8);
    setDeclaredLength(file);
    return file;
}

archive::PackageDigest packageDigest(const std::string& file) {
    Sha1Hasher hasher;
    hasher.update(file.data() + 8, file.size() - 8);
    archive::PackageDigest digest;
    hasher.finish(digest.data());
    return digest;
}

PackageContent content(const std::string& name, unsigned major, unsigned minor, std::vector<FileEntry> files,
                       uint32_t buildTime) {
    PackageContent c;
    c.name = name;
    c.version = packVersion(major, minor);
    c.buildTime = buildTime;
    c.files = std::move(files);
    return c;
}

std::map<std::string, std::string> listTree(const std::string& root, bool recursive) {
    std::map<std::string, std::string> out;
    walk(root == "/" ? "" : root, "", out, recursive);
    return out;
}

std::string listingText(const std::string& root) {
    std::string text;
    for (const auto& [path, description] : listTree(root))
        text += path + "\t" + description + "\n";
    return text;
}

std::map<std::string, std::string> parseListing(const std::string& output, const std::string& marker) {
    std::map<std::string, std::string> out;
    size_t at = output.find(marker + "\n");
    if (at == std::string::npos)
        return out;
    std::istringstream in(output.substr(at + marker.size() + 1));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("===", 0) == 0)
            break;
        size_t tab = line.find('\t');
        if (tab != std::string::npos)
            out[line.substr(0, tab)] = line.substr(tab + 1);
    }
    return out;
}

std::string before(const std::string& output, const std::string& marker) {
    size_t at = output.find(marker);
    return at == std::string::npos ? output : output.substr(0, at);
}

}  // namespace installtest
