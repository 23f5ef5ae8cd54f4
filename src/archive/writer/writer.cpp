#include "archive/writer/writer.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace {

void putLe16(std::string& out, uint16_t v) {
    out += char(v & 0xff);
    out += char(v >> 8);
}

void putLe32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out += char((v >> (8 * i)) & 0xff);
}

void putName(std::string& out, std::string_view name) {
    std::string field(kNameFieldSize, '\0');
    std::copy_n(name.begin(), std::min(name.size(), kNameFieldSize), field.begin());
    out += field;
}

std::string le32(uint32_t v) {
    std::string s;
    putLe32(s, v);
    return s;
}

}  // namespace

FileEntry directoryEntry(std::string name, uint16_t permissions, uint32_t mtime) {
    return FileEntry{uint16_t(0x4000 | (permissions & 07777)), 0, 0, mtime, false, std::move(name), {}, {}};
}

FileEntry regularEntry(std::string name, std::string contents, uint16_t permissions, uint32_t mtime) {
    return FileEntry{uint16_t(0x8000 | (permissions & 07777)), 0, 0, mtime, false, std::move(name), std::move(contents), {}};
}

FileEntry symlinkEntry(std::string name, std::string target, uint32_t mtime) {
    return FileEntry{0xA1FF, 0, 0, mtime, false, std::move(name), std::move(target), {}};
}

FileEntry deviceEntry(std::string name, EntryType type, uint32_t device, uint16_t permissions, uint32_t mtime) {
    return FileEntry{uint16_t((uint16_t(type) << 12) | (permissions & 07777)), 0, 0, mtime, false, std::move(name),
                     le32(device), {}};
}

FileEntry fifoEntry(std::string name, uint16_t permissions, uint32_t mtime) {
    return FileEntry{uint16_t(0x1000 | (permissions & 07777)), 0, 0, mtime, false, std::move(name), {}, {}};
}

namespace {

bool collectDirectory(const std::string& root, const std::string& relative, const TreeOptions& options,
                      std::vector<FileEntry>& entries, std::string& error) {
    std::string dirPath = relative.empty() ? root : root + "/" + relative;
    DIR* dir = opendir(dirPath.c_str());
    if (!dir) {
        error = "cannot read directory " + dirPath + ": " + std::strerror(errno);
        return false;
    }
    std::vector<std::string> names;
    errno = 0;
    while (dirent* d = readdir(dir)) {
        std::string n = d->d_name;
        if (n != "." && n != "..")
            names.push_back(std::move(n));
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    for (const auto& n : names) {
        std::string name = relative.empty() ? n : relative + "/" + n;
        std::string path = root + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) {
            error = "cannot read " + path + ": " + std::strerror(errno);
            return false;
        }
        FileEntry entry;
        entry.mode = uint16_t(st.st_mode & 0xffff);
        entry.uid = options.keepOwners ? uint16_t(st.st_uid) : 0;
        entry.gid = options.keepOwners ? uint16_t(st.st_gid) : 0;
        entry.mtime = uint32_t(st.st_mtime);
        entry.name = name;
        if (S_ISDIR(st.st_mode)) {
            entries.push_back(std::move(entry));
            if (!collectDirectory(root, name, options, entries, error))
                return false;
            continue;
        }
        if (S_ISREG(st.st_mode)) {
            if (access(path.c_str(), R_OK) != 0) {
                error = "cannot read " + path + ": " + std::strerror(errno);
                return false;
            }
            entry.sourcePath = path;
        } else if (S_ISLNK(st.st_mode)) {
            std::string target(4096, '\0');
            ssize_t n = readlink(path.c_str(), target.data(), target.size());
            if (n < 0) {
                error = "cannot read link " + path + ": " + std::strerror(errno);
                return false;
            }
            target.resize(size_t(n));
            entry.data = target;
        } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
            // The installer hands the 32-bit value to mknod unchanged.
            entry.data = le32(uint32_t(st.st_rdev));
        } else if (!S_ISFIFO(st.st_mode)) {
            error = "cannot package " + path + ": not a file, directory, link, device or FIFO";
            return false;
        }
        entries.push_back(std::move(entry));
    }
    return true;
}

}  // namespace

bool collectTree(const std::string& root, const TreeOptions& options, std::vector<FileEntry>& entries,
                 std::string& error) {
    struct stat st;
    if (stat(root.c_str(), &st) != 0) {
        error = "cannot read directory " + root + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = "cannot read directory " + root + ": not a directory";
        return false;
    }
    return collectDirectory(root, "", options, entries, error);
}

std::string headerData(std::string_view name, PackedVersion version, uint32_t buildTime) {
    std::string out;
    putName(out, name);
    putLe32(out, version);
    putLe32(out, buildTime);
    out.append(8, '\0');
    return out;
}

std::string nameListData(const std::vector<DependencyEntry>& list) {
    std::string out;
    putLe16(out, uint16_t(list.size()));
    for (const auto& e : list) {
        putName(out, e.name);
        putLe32(out, e.minVersion);
        putLe32(out, 0);
        putLe32(out, e.maxVersion);
        putLe32(out, e.extra);
    }
    return out;
}

std::string entryHeader(const FileEntry& entry, uint32_t dataLength) {
    std::string out;
    putLe16(out, entry.mode);
    putLe16(out, entry.uid);
    putLe16(out, entry.gid);
    putLe16(out, 0);
    putLe32(out, entry.mtime);
    out.append(11, '\0');
    out += char(entry.skip ? 1 : 0);
    putLe32(out, dataLength);
    putLe16(out, uint16_t(entry.name.size()));
    return out;
}

PackageWriter::PackageWriter(std::ostream& out, bool untracked) : out_(out) {
    start_ = out_.tellp();
    std::string header = le32(untracked ? kUntrackedMagic : kPackageMagic);
    putLe32(header, 0);
    out_.write(header.data(), std::streamsize(header.size()));
}

void PackageWriter::part(int type, std::string_view data) {
    beginPart(type);
    write(data);
    endPart();
}

void PackageWriter::beginPart(int type) {
    partStart_ = out_.tellp();
    std::string header;
    putLe16(header, uint16_t(type));
    putLe32(header, 0);
    out_.write(header.data(), std::streamsize(header.size()));
    partLength_ = 0;
    inPart_ = true;
}

void PackageWriter::write(std::string_view data) {
    out_.write(data.data(), std::streamsize(data.size()));
    partLength_ += data.size();
}

void PackageWriter::endPart() {
    if (!inPart_)
        return;
    inPart_ = false;
    if (partLength_ > 0xffffffffu) {
        out_.setstate(std::ios_base::failbit);
        return;
    }
    std::streampos end = out_.tellp();
    out_.seekp(partStart_ + std::streamoff(2));
    std::string length = le32(uint32_t(partLength_));
    out_.write(length.data(), 4);
    out_.seekp(end);
}

bool PackageWriter::finish() {
    endPart();
    std::streampos end = out_.tellp();
    std::streamoff length = end - start_ - std::streamoff(kFileHeaderSize);
    if (length < 0 || length > 0xffffffff) {
        out_.setstate(std::ios_base::failbit);
        return false;
    }
    out_.seekp(start_ + std::streamoff(4));
    std::string field = le32(uint32_t(length));
    out_.write(field.data(), 4);
    out_.seekp(end);
    out_.flush();
    return bool(out_);
}

namespace {

// Deflates into the writer's current part.
class Deflater {
public:
    Deflater(PackageWriter& writer, int level) : writer_(writer) {
        ok_ = deflateInit(&z_, level) == Z_OK;
    }
    ~Deflater() { deflateEnd(&z_); }

    bool add(const void* data, size_t size) { return run(data, size, Z_NO_FLUSH); }
    bool end() { return run(nullptr, 0, Z_FINISH); }

private:
    bool run(const void* data, size_t size, int flush) {
        if (!ok_)
            return false;
        z_.next_in = static_cast<Bytef*>(const_cast<void*>(data));
        z_.avail_in = uInt(size);
        char out[65536];
        for (;;) {
            z_.next_out = reinterpret_cast<Bytef*>(out);
            z_.avail_out = sizeof out;
            int r = deflate(&z_, flush);
            if (r == Z_STREAM_ERROR)
                return ok_ = false;
            writer_.write(std::string_view(out, sizeof out - z_.avail_out));
            if (flush == Z_FINISH ? r == Z_STREAM_END : (z_.avail_in == 0 && z_.avail_out != 0))
                return true;
        }
    }

    PackageWriter& writer_;
    z_stream z_{};
    bool ok_ = false;
};

}  // namespace

bool PackageWriter::filesPart(const std::vector<FileEntry>& entries, std::string& error, int level) {
    beginPart(PartType::Files);
    Deflater deflater(*this, level);
    for (const auto& entry : entries) {
        if (entry.name.size() > 0xffff) {
            error = "name too long: " + entry.name.substr(0, 64) + "...";
            return false;
        }
        bool fromFile = entry.type() == EntryType::Regular && !entry.sourcePath.empty();
        if (!fromFile) {
            if (entry.data.size() > 0xffffffffu) {
                error = "data too long: " + entry.name;
                return false;
            }
            std::string head = entryHeader(entry, uint32_t(entry.data.size())) + entry.name;
            deflater.add(head.data(), head.size());
            deflater.add(entry.data.data(), entry.data.size());
            continue;
        }
        std::ifstream in(entry.sourcePath, std::ios::binary);
        struct stat st;
        if (!in || stat(entry.sourcePath.c_str(), &st) != 0) {
            error = "cannot read " + entry.sourcePath + ": " + std::strerror(errno);
            return false;
        }
        if (uint64_t(st.st_size) > 0xffffffffu) {
            error = "file too large: " + entry.sourcePath;
            return false;
        }
        std::string head = entryHeader(entry, uint32_t(st.st_size)) + entry.name;
        deflater.add(head.data(), head.size());
        uint64_t left = uint64_t(st.st_size);
        std::vector<char> chunk(1 << 16);
        while (left > 0) {
            in.read(chunk.data(), std::streamsize(std::min<uint64_t>(left, chunk.size())));
            if (in.gcount() <= 0) {
                error = "cannot read " + entry.sourcePath + ": file changed while packaging";
                return false;
            }
            deflater.add(chunk.data(), size_t(in.gcount()));
            left -= uint64_t(in.gcount());
        }
    }
    if (!deflater.end()) {
        error = "compression failed";
        return false;
    }
    endPart();
    return true;
}

namespace {

void headParts(PackageWriter& writer, const PackageContent& p) {
    if (p.architecture)
        writer.part(PartType::Architecture, *p.architecture);
    if (p.description)
        writer.part(PartType::Description, *p.description);
    if (p.dependencies)
        writer.part(PartType::Dependencies, nameListData(*p.dependencies));
    if (p.provides)
        writer.part(PartType::Provides, nameListData(*p.provides));
    if (p.conflicts)
        writer.part(PartType::Conflicts, nameListData(*p.conflicts));
    if (p.image)
        writer.part(PartType::Image, *p.image);
}

}  // namespace

bool writePackage(PackageWriter& writer, const PackageContent& p, std::string& error) {
    writer.part(PartType::Header, headerData(p.name, p.version, p.buildTime));
    headParts(writer, p);
    if (p.installScript)
        writer.part(PartType::InstallScript, *p.installScript);
    if (p.uninstallScript)
        writer.part(PartType::UninstallScript, *p.uninstallScript);
    if (p.files && !writer.filesPart(*p.files, error))
        return false;
    if (p.signature)
        writer.part(PartType::Signature, *p.signature);
    return true;
}

void writeBundleHead(PackageWriter& writer, const PackageContent& bundle,
                     const std::optional<std::vector<DependencyEntry>>& bundleList) {
    writer.part(PartType::BundleHeader, headerData(bundle.name, bundle.version, bundle.buildTime));
    headParts(writer, bundle);
    if (bundleList)
        writer.part(PartType::BundleList, nameListData(*bundleList));
}

bool writePackageFile(const std::string& path, const PackageContent& package, bool untracked, std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    PackageWriter writer(out, untracked);
    if (!writePackage(writer, package, error))
        return false;
    if (!writer.finish()) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool appendPackageFile(PackageWriter& writer, const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() < kFileHeaderSize + kPartHeaderSize) {
        error = path + ": not a package file";
        return false;
    }
    auto p = reinterpret_cast<const uint8_t*>(bytes.data());
    uint32_t magic = readLe32(p);
    if (magic != kPackageMagic && magic != kUntrackedMagic) {
        error = path + ": not a package file";
        return false;
    }
    if (uint64_t(readLe32(p + 4)) + kFileHeaderSize != bytes.size()) {
        error = path + ": declared length does not match the file size";
        return false;
    }
    if (readLe16(p + kFileHeaderSize) != PartType::Header) {
        error = path + ": not a single package (a bundle cannot be a member)";
        return false;
    }
    writer.stream().write(bytes.data() + kFileHeaderSize, std::streamsize(bytes.size() - kFileHeaderSize));
    return bool(writer.stream());
}
