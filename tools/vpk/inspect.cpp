#include "inspect.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "archive/inflate.h"
#include "archive/partstream.h"

const char* partTypeName(int type) {
    switch (type) {
    case 1: return "Header";
    case 2: return "Description";
    case 3: return "Dependencies";
    case 4: return "Files";
    case 7: return "InstallScript";
    case 8: return "UninstallScript";
    case 9: return "Signature";
    case 16: return "Architecture";
    case 17: return "Conflicts";
    case 18: return "BundleHeader";
    case 19: return "Provides";
    case 20: return "BundleList";
    case 21: return "Image";
    default: return "unknown";
    }
}

std::string modeString(uint16_t mode) {
    char type;
    switch (mode >> 12) {
    case 0x1: type = 'p'; break;
    case 0x2: type = 'c'; break;
    case 0x4: type = 'd'; break;
    case 0x6: type = 'b'; break;
    case 0x8: type = '-'; break;
    case 0xA: type = 'l'; break;
    default: type = '?';
    }
    std::string s(1, type);
    const char* rwx = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i)
        s += (mode & (0400 >> i)) ? rwx[i] : '-';
    if (mode & 04000)
        s[3] = s[3] == 'x' ? 's' : 'S';
    if (mode & 02000)
        s[6] = s[6] == 'x' ? 's' : 'S';
    if (mode & 01000)
        s[9] = s[9] == 'x' ? 't' : 'T';
    return s;
}

std::string hexString(const uint8_t* bytes, size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < count; ++i) {
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 15];
    }
    return s;
}

namespace {

constexpr uint32_t kMaxShownData = 1 << 20;  // link targets and scripts kept for display

std::string readPart(PackagePartStream& s, bool& complete) {
    std::string out = readWholePart(s);
    complete = bool(s);
    return out;
}

void readFiles(PackagePartStream& s, PackageInfo& p) {
    InflatingStream in(s);
    for (;;) {
        uint8_t h[kFileEntryHeaderSize];
        if (!in.read(reinterpret_cast<char*>(h), sizeof h)) {
            p.filesComplete = in.gcount() == 0 && in.buffer().streamEnded();
            return;
        }
        EntryInfo e;
        e.entry.mode = readLe16(h);
        e.entry.uid = readLe16(h + 2);
        e.entry.gid = readLe16(h + 4);
        e.entry.mtime = readLe32(h + 8);
        e.entry.skip = h[23] != 0;
        e.dataLength = readLe32(h + 24);
        e.entry.name.resize(readLe16(h + 28));
        if (!in.read(e.entry.name.data(), std::streamsize(e.entry.name.size()))) {
            p.filesComplete = false;
            return;
        }
        EntryType type = e.entry.type();
        bool keep = (type == EntryType::Symlink || type == EntryType::CharDevice || type == EntryType::BlockDevice) &&
                    e.dataLength <= kMaxShownData;
        if (keep) {
            e.entry.data.resize(e.dataLength);
            in.read(e.entry.data.data(), std::streamsize(e.dataLength));
        } else {
            in.seekg(std::streamoff(e.dataLength), std::ios::cur);
        }
        p.files.push_back(std::move(e));
        if (!in) {
            p.filesComplete = false;
            return;
        }
    }
}

}  // namespace

bool inspectArchive(const std::string& path, ArchiveInfo& info, std::string& error) {
    info = ArchiveInfo{};
    info.path = path;
    std::filebuf file;
    if (!file.open(path, std::ios::in | std::ios::binary)) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (stat(path.c_str(), &st) == 0)
        info.fileSize = uint64_t(st.st_size);
    PackagePartStream s(&file, true);
    if (s.bad()) {
        uint8_t head[4] = {};
        std::ifstream raw(path, std::ios::binary);
        raw.read(reinterpret_cast<char*>(head), 4);
        info.magic = raw.gcount() == 4 ? readLe32(head) : 0;
        error = path + ": not a package file (" + (info.fileSize < 8 ? "shorter than 8 bytes" : "unknown magic") + ")";
        return false;
    }
    info.validHeader = true;
    info.magic = s.magic();
    info.declaredLength = s.totalLength() - uint32_t(kFileHeaderSize);
    s.acceptAllPartTypes();

    PackageInfo* current = nullptr;
    auto note = [&](const std::string& text) { info.notes.push_back(text); };
    auto takeDigestFor = [&](PackageInfo* p) {
        uint8_t d[20];
        if (p && !p->header.isBundle && !p->digest && s.digestCoversPackage() && s.takeDigest(d))
            p->digest = hexString(d, 20);
    };

    while (s.nextPart() >= 0) {
        int type = s.currentPart();
        PartInfo part{s.partOffset() - uint32_t(kPartHeaderSize), type, s.partLength()};
        info.parts.push_back(part);
        std::string where = std::string(partTypeName(type)) + " part at offset " + std::to_string(part.offset);
        if (type == PartType::Header || type == PartType::BundleHeader) {
            if (type == PartType::Header)
                takeDigestFor(current);
            PackageInfo p;
            p.offset = part.offset;
            p.header.isBundle = type == PartType::BundleHeader;
            p.header.architecture = "i386";
            uint8_t h[kPackageHeaderSize];
            if (s.read(reinterpret_cast<char*>(h), sizeof h)) {
                p.header.name = nameFromField(h);
                p.header.version = readLe32(h + 16);
                p.header.buildTime = readLe32(h + 20);
            } else {
                note(where + " is shorter than 32 bytes");
            }
            if (type == PartType::BundleHeader) {
                if (info.bundle || !info.packages.empty())
                    note(where + ": a bundle header must come first");
                info.bundle = p;
                current = &*info.bundle;
            } else {
                info.packages.push_back(p);
                current = &info.packages.back();
            }
            continue;
        }
        if (!current) {
            note(where + " stands before any header");
            continue;
        }
        bool complete = true;
        std::vector<DependencyEntry>* list = nullptr;
        switch (type) {
        case int(PartType::Architecture):
            current->architecturePart = true;
            current->header.architecture = readPart(s, complete);
            break;
        case int(PartType::Description):
            current->descriptionPart = true;
            current->header.description = readPart(s, complete);
            break;
        case int(PartType::Dependencies):
            current->dependenciesPart = true;
            list = &current->header.dependencies;
            break;
        case int(PartType::Provides):
            current->providesPart = true;
            list = &current->header.provides;
            break;
        case int(PartType::Conflicts):
            current->conflictsPart = true;
            list = &current->header.conflicts;
            break;
        case int(PartType::BundleList):
            current->bundleList.emplace();
            list = &*current->bundleList;
            break;
        case int(PartType::Image):
            current->header.hasImage = true;
            current->imageLength = s.partLength();
            break;
        case int(PartType::InstallScript):
        case int(PartType::UninstallScript): {
            std::string text = s.partLength() <= kMaxShownData ? readPart(s, complete) : std::string();
            (type == PartType::InstallScript ? current->installScript : current->uninstallScript) = text;
            break;
        }
        case int(PartType::Files):
            current->filesPart = true;
            readFiles(s, *current);
            if (!current->filesComplete)
                note(where + ": the compressed entries are damaged or cut short");
            break;
        case int(PartType::Signature): {
            // As the signature check does: the digest ends at this part's
            // header and the record itself is not hashed.
            s.partBuffer().finishDigest();
            current->digest = hexString(s.partBuffer().lastDigest(), 20);
            uint8_t r[kSignatureRecordSize];
            if (s.partLength() < kSignatureRecordSize ||
                s.partBuffer().readUnhashed(reinterpret_cast<char*>(r), sizeof r) < std::streamsize(sizeof r)) {
                note(where + " is shorter than 68 bytes");
                break;
            }
            SignatureInfo sig;
            sig.digest = hexString(r, 20);
            sig.e = hexString(r + 20, 16);
            sig.s = hexString(r + 36, 32);
            sig.digestMatches = std::memcmp(r, s.partBuffer().lastDigest(), 20) == 0;
            current->signature = sig;
            break;
        }
        default:
            note(where + ": unknown type " + std::to_string(type) + ", skipped by the installer");
            break;
        }
        if (list && !readNameList(s, *list))
            complete = false;
        if (!complete)
            note(where + " is cut short or shorter than its content");
    }
    // The end: a clean end finishes the last package's digest; a part cut
    // short leaves the stream without one.
    takeDigestFor(current);
    uint64_t end = info.parts.empty() ? kFileHeaderSize : uint64_t(info.parts.back().offset) + kPartHeaderSize +
                                                               info.parts.back().length;
    if (end > info.fileSize) {
        info.cutShort = true;
        note("the file ends inside its last part");
    }
    PackageArchive archive;
    info.readable = readArchive(archive, path);
    return true;
}
