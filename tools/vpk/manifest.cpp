#include "manifest.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

std::vector<std::string> words(std::string_view s) {
    std::vector<std::string> out;
    std::istringstream in{std::string(s)};
    std::string w;
    while (in >> w)
        out.push_back(w);
    return out;
}

bool parseUnsigned(std::string_view text, uint64_t max, uint64_t& out, int base = 10) {
    if (text.empty() || text.size() > 20)
        return false;
    std::string s(text);
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(s.c_str(), &end, base);
    if (errno || *end || s[0] == '-' || s[0] == '+' || v > max)
        return false;
    out = v;
    return true;
}

bool readFile(const std::string& path, std::string& out, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    return true;
}

std::string resolve(const std::string& dir, std::string_view path) {
    if (!path.empty() && path.front() == '/')
        return std::string(path);
    return dir + "/" + std::string(path);
}

// One entry: NAME [>= V] [<= V] [= V] [extra N].
bool parseDependency(std::string_view text, DependencyEntry& entry, std::string& error) {
    // Let operators stand glued to their versions ("libc>=2.9").
    std::string spaced;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((text[i] == '>' || text[i] == '<') && i + 1 < text.size() && text[i + 1] == '=') {
            spaced += std::string(" ") + text[i] + "= ";
            ++i;
        } else if (text[i] == '=') {
            spaced += " = ";
        } else {
            spaced += text[i];
        }
    }
    auto w = words(spaced);
    if (w.empty()) {
        error = "empty entry in a list";
        return false;
    }
    entry = DependencyEntry{w[0], 0, 0, 0};
    if (entry.name.size() > kNameFieldSize) {
        error = "name \"" + entry.name + "\" is longer than 16 characters";
        return false;
    }
    for (size_t i = 1; i < w.size(); i += 2) {
        if (i + 1 >= w.size()) {
            error = "\"" + w[i] + "\" needs a value in \"" + std::string(trim(text)) + "\"";
            return false;
        }
        const std::string& op = w[i];
        const std::string& arg = w[i + 1];
        if (op == "extra") {
            char* end = nullptr;
            errno = 0;
            long long v = std::strtoll(arg.c_str(), &end, 10);
            if (errno || *end || v < INT32_MIN || v > UINT32_MAX) {
                error = "bad extra value \"" + arg + "\"";
                return false;
            }
            entry.extra = uint32_t(v);
            continue;
        }
        PackedVersion v;
        if (!parseVersion(arg, v)) {
            error = "bad version \"" + arg + "\"";
            return false;
        }
        if (op == ">=")
            entry.minVersion = v;
        else if (op == "<=")
            entry.maxVersion = v;
        else if (op == "=")
            entry.minVersion = entry.maxVersion = v;
        else {
            error = "unknown operator \"" + op + "\" (use >=, <=, = or extra)";
            return false;
        }
    }
    return true;
}

}  // namespace

uint32_t encodeDevice(uint32_t major, uint32_t minor) {
    return (minor & 0xff) | ((major & 0xfff) << 8) | ((minor & ~0xffu) << 12);
}

bool parseDependencyList(std::string_view text, std::vector<DependencyEntry>& out, std::string& error) {
    text = trim(text);
    if (text.empty())
        return true;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        std::string_view item = text.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
        DependencyEntry entry;
        if (!parseDependency(item, entry, error))
            return false;
        out.push_back(entry);
        if (comma == std::string_view::npos)
            return true;
        start = comma + 1;
    }
}

std::string formatDependency(const DependencyEntry& e) {
    std::string s = e.name;
    if (e.minVersion && e.minVersion == e.maxVersion) {
        s += " = " + formatVersion(e.minVersion);
    } else {
        if (e.minVersion)
            s += " >= " + formatVersion(e.minVersion);
        if (e.maxVersion)
            s += " <= " + formatVersion(e.maxVersion);
    }
    if (e.extra)
        s += " extra " + std::to_string(int32_t(e.extra));
    return s;
}

namespace {

bool parseEntry(const std::vector<std::string>& wordsIn, const std::string& dir, uint32_t mtime, FileEntry& entry,
                std::string& error) {
    std::vector<std::string> w = wordsIn;
    entry = FileEntry{};
    if (!w.empty() && w[0] == "skip") {
        entry.skip = true;
        w.erase(w.begin());
    }
    if (w.size() < 5) {
        error = "entry needs TYPE MODE UID GID NAME";
        return false;
    }
    static const struct {
        const char* word;
        EntryType type;
        size_t args;  // arguments after NAME: exact count, or 99 for "0 or 1"
    } types[] = {{"dir", EntryType::Directory, 0},   {"fifo", EntryType::Fifo, 0},
                 {"file", EntryType::Regular, 99},    {"link", EntryType::Symlink, 1},
                 {"char", EntryType::CharDevice, 2}, {"block", EntryType::BlockDevice, 2}};
    const auto* kind = std::find_if(std::begin(types), std::end(types), [&](const auto& t) { return w[0] == t.word; });
    if (kind == std::end(types)) {
        error = "unknown entry type \"" + w[0] + "\" (dir, file, link, char, block, fifo)";
        return false;
    }
    uint64_t mode, uid, gid;
    if (!parseUnsigned(w[1], 07777, mode, 8)) {
        error = "bad mode \"" + w[1] + "\" (octal permission bits)";
        return false;
    }
    if (!parseUnsigned(w[2], 0xffff, uid) || !parseUnsigned(w[3], 0xffff, gid)) {
        error = "bad owner \"" + w[2] + " " + w[3] + "\" (numeric uid and gid)";
        return false;
    }
    size_t args = w.size() - 5;
    if (kind->args == 99 ? args > 1 : args != kind->args) {
        error = "wrong number of arguments for a " + w[0] + " entry";
        return false;
    }
    entry.mode = uint16_t((uint16_t(kind->type) << 12) | mode);
    entry.uid = uint16_t(uid);
    entry.gid = uint16_t(gid);
    entry.mtime = mtime;
    entry.name = w[4];
    switch (kind->type) {
    case EntryType::Regular:
        if (args == 1)
            return readFile(resolve(dir, w[5]), entry.data, error);
        return true;
    case EntryType::Symlink:
        entry.data = w[5];
        return true;
    case EntryType::CharDevice:
    case EntryType::BlockDevice: {
        uint64_t major, minor;
        if (!parseUnsigned(w[5], 0xfff, major) || !parseUnsigned(w[6], 0xfffff, minor)) {
            error = "bad device number \"" + w[5] + " " + w[6] + "\"";
            return false;
        }
        uint32_t device = encodeDevice(uint32_t(major), uint32_t(minor));
        entry.data = std::string{char(device & 0xff), char((device >> 8) & 0xff), char((device >> 16) & 0xff),
                                 char(device >> 24)};
        return true;
    }
    default:
        return true;
    }
}

}  // namespace

bool parseManifestText(std::string_view text, const std::string& path, Manifest& m, std::string& error) {
    m.path = path;
    size_t slash = path.rfind('/');
    m.dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    bool haveName = false, haveVersion = false, haveTime = false;
    std::vector<std::pair<int, std::vector<std::string>>> entryLines;
    std::optional<std::string> description;
    int lineNo = 0;
    size_t pos = 0;
    auto bad = [&](const std::string& message) {
        error = path + (lineNo ? ":" + std::to_string(lineNo) : "") + ": " + message;
        return false;
    };
    auto list = [&](std::optional<std::vector<DependencyEntry>>& target, std::string_view value) {
        if (!target)
            target.emplace();
        std::string e;
        if (!parseDependencyList(value, *target, e))
            return bad(e);
        return true;
    };
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        std::string_view line = text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
        pos = end == std::string_view::npos ? text.size() + 1 : end + 1;
        ++lineNo;
        line = trim(line);
        if (line.empty() || line.front() == '#')
            continue;
        size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            return bad("expected \"key: value\"");
        std::string key(trim(line.substr(0, colon)));
        std::string_view value = trim(line.substr(colon + 1));
        std::string e;
        if (key == "name") {
            if (value.empty() || value.size() > kNameFieldSize)
                return bad("name must have 1 to 16 characters");
            if (value.find_first_of(" \t,") != std::string_view::npos)
                return bad("name must not contain spaces or commas");
            m.content.name = value;
            haveName = true;
        } else if (key == "version") {
            if (!parseVersion(value, m.content.version))
                return bad("bad version \"" + std::string(value) + "\" (for example 3.0, 2.9.1, 3.0rc1, 3.0beta2)");
            haveVersion = true;
        } else if (key == "build-time") {
            uint64_t t;
            if (value == "now")
                t = uint64_t(std::time(nullptr));
            else if (!parseUnsigned(value, 0xffffffff, t))
                return bad("bad build time \"" + std::string(value) + "\" (seconds since 1970, or now)");
            m.content.buildTime = uint32_t(t);
            haveTime = true;
        } else if (key == "architecture") {
            if (value.empty())
                return bad("architecture is empty");
            m.content.architecture = value;
        } else if (key == "description") {
            description = description ? *description + "\n" + std::string(value) : std::string(value);
        } else if (key == "description-file") {
            std::string d;
            if (!readFile(resolve(m.dir, value), d, e))
                return bad(e);
            description = d;
        } else if (key == "depends") {
            if (!list(m.content.dependencies, value))
                return false;
        } else if (key == "provides") {
            if (!list(m.content.provides, value))
                return false;
        } else if (key == "conflicts") {
            if (!list(m.content.conflicts, value))
                return false;
        } else if (key == "bundle-list") {
            if (!list(m.bundleList, value))
                return false;
        } else if (key == "install-script" || key == "uninstall-script") {
            std::string s;
            if (!readFile(resolve(m.dir, value), s, e))
                return bad(e);
            (key == "install-script" ? m.content.installScript : m.content.uninstallScript) = s;
        } else if (key == "image") {
            std::string s;
            if (value != "-" && !readFile(resolve(m.dir, value), s, e))
                return bad(e);
            m.content.image = s;
        } else if (key == "untracked") {
            if (value != "yes" && value != "no")
                return bad("untracked is yes or no");
            m.untracked = value == "yes";
        } else if (key == "files") {
            if (value.empty())
                return bad("files needs a folder");
            m.filesRoot = resolve(m.dir, value);
        } else if (key == "owners") {
            if (value != "root" && value != "keep")
                return bad("owners is root or keep");
            m.tree.keepOwners = value == "keep";
        } else if (key == "entry") {
            entryLines.emplace_back(lineNo, words(value));
        } else {
            return bad("unknown key \"" + key + "\"");
        }
    }
    lineNo = 0;
    if (!haveName)
        return bad("no name");
    if (!haveVersion)
        return bad("no version");
    if (!haveTime) {
        const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
        uint64_t t;
        if (epoch && parseUnsigned(epoch, 0xffffffff, t))
            m.content.buildTime = uint32_t(t);
        else
            m.content.buildTime = uint32_t(std::time(nullptr));
    }
    if (description)
        m.content.description = *description;
    for (const auto& [n, w] : entryLines) {
        lineNo = n;
        FileEntry entry;
        std::string e;
        if (!parseEntry(w, m.dir, m.content.buildTime, entry, e))
            return bad(e);
        m.entries.push_back(std::move(entry));
    }
    return true;
}

bool parseManifest(const std::string& path, Manifest& manifest, std::string& error) {
    std::string text;
    if (!readFile(path, text, error))
        return false;
    return parseManifestText(text, path, manifest, error);
}

bool collectFiles(const Manifest& m, std::optional<std::vector<FileEntry>>& files, std::string& error) {
    files.reset();
    if (!m.filesRoot && m.entries.empty())
        return true;
    files.emplace();
    if (m.filesRoot && !collectTree(*m.filesRoot, m.tree, *files, error))
        return false;
    files->insert(files->end(), m.entries.begin(), m.entries.end());
    return true;
}
