#include "archive/format.h"

#include <sys/stat.h>

#include <fstream>

#include "archive/partstream.h"

std::string nameFromField(const uint8_t* field) {
    size_t length = 0;
    while (length < kNameFieldSize && field[length] != 0)
        ++length;
    return std::string(reinterpret_cast<const char*>(field), length);
}

// The whole data of the current part. Read in pieces, so that a length field
// promising gigabytes costs only what actually arrives.
std::string readWholePart(PackagePartStream& stream) {
    std::string text;
    uint32_t left = stream.partLength();
    char chunk[4096];
    while (left > 0) {
        std::streamsize want = left < sizeof chunk ? left : sizeof chunk;
        stream.read(chunk, want);
        text.append(chunk, size_t(stream.gcount()));
        if (!stream)
            break;
        left -= uint32_t(want);
    }
    return text;
}

bool readNameList(PackagePartStream& stream, std::vector<DependencyEntry>& list) {
    uint8_t count[2];
    if (!stream.read(reinterpret_cast<char*>(count), sizeof count))
        return false;
    for (unsigned i = 0, n = readLe16(count); i < n; ++i) {
        uint8_t record[kNameRecordSize];
        if (!stream.read(reinterpret_cast<char*>(record), sizeof record))
            return false;
        DependencyEntry entry;
        entry.name = nameFromField(record);
        entry.minVersion = readLe32(record + 16);
        entry.maxVersion = readLe32(record + 24);
        entry.extra = readLe32(record + 28);
        list.push_back(std::move(entry));
    }
    return true;
}

bool readHeader(PackageHeader& header, PackagePartStream& stream) {
    int type = stream.currentPart();
    if (type != PartType::Header && type != PartType::BundleHeader)
        return false;
    header.isBundle = type == PartType::BundleHeader;
    uint8_t data[kPackageHeaderSize];
    if (!stream.read(reinterpret_cast<char*>(data), sizeof data))
        return false;
    header.name = nameFromField(data);
    header.version = readLe32(data + 16);
    header.buildTime = readLe32(data + 20);
    stream.nextPart();

    if (stream.currentPart() == PartType::Architecture) {
        header.architecture = readWholePart(stream);
        stream.nextPart();
    } else {
        header.architecture = "i386";
    }
    if (stream.currentPart() == PartType::Description) {
        header.description = readWholePart(stream);
        stream.nextPart();
    }
    struct {
        PartType type;
        std::vector<DependencyEntry>* list;
    } lists[] = {{PartType::Dependencies, &header.dependencies},
                 {PartType::Provides, &header.provides},
                 {PartType::Conflicts, &header.conflicts}};
    for (auto& l : lists) {
        if (stream.currentPart() == l.type) {
            if (!readNameList(stream, *l.list))
                return false;
            stream.nextPart();
        }
    }
    if (stream.currentPart() == PartType::Image)
        header.hasImage = true;
    return true;
}

bool readArchive(PackageArchive& archive, const std::string& path) {
    archive.path = path;
    std::filebuf file;
    if (!file.open(path, std::ios_base::in | std::ios_base::binary))
        return false;
    // No digest: nothing here checks one, and without it the parts that are
    // not looked at are skipped by seeking instead of being read.
    PackagePartStream stream(&file, false);
    archive.totalLength = stream.totalLength();
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && uint64_t(st.st_size) != archive.totalLength)
        return false;
    archive.isUntracked = stream.isUntracked();
    for (PartType type : {PartType::BundleHeader, PartType::Header, PartType::Architecture, PartType::Description,
                          PartType::Dependencies, PartType::Provides, PartType::Conflicts, PartType::Image})
        stream.acceptPartType(type);
    stream.nextPart();
    if (!readHeader(archive, stream))
        return false;
    if (!archive.isBundle)
        return true;
    if (stream.currentPart() == PartType::Image)
        stream.nextPart();
    while (stream.currentPart() == PartType::Header) {
        PackageHeader member;
        if (!readHeader(member, stream))
            return false;
        archive.members.push_back(std::move(member));
        if (stream.currentPart() == PartType::Image)
            stream.nextPart();
    }
    return !archive.members.empty();
}
