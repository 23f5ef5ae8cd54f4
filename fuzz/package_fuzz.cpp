// Arbitrary bytes as a package file: the header reader of the media listing,
// and the part stream with digest and tee as the installation reads it
// (name lists, inflated file entries, signature records).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "archive/format.h"
#include "archive/inflate.h"
#include "archive/partstream.h"
#include "archive/signature.h"
#include "fuzz/memory_source.h"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

// Reads the entries of a Files part the way the extraction walks them.
void walkFiles(PackagePartStream& stream) {
    InflatingStream in(stream);
    char scratch[4096];
    for (int entries = 0; entries < 100000; ++entries) {
        uint8_t h[kFileEntryHeaderSize];
        if (!in.read(reinterpret_cast<char*>(h), sizeof h)) return;
        uint32_t dataLength = readLe32(h + 24);
        std::string name(readLe16(h + 28), '\0');
        if (!in.read(name.data(), std::streamsize(name.size()))) return;
        while (dataLength > 0) {
            std::streamsize want = std::min<uint32_t>(dataLength, sizeof scratch);
            if (!in.read(scratch, want)) return;
            dataLength -= uint32_t(want);
        }
    }
}

void readParts(std::streambuf& source, const std::string& input) {
    std::stringbuf tee;
    PackagePartStream stream(&source, true, &tee);
    stream.acceptAllPartTypes();
    int type = stream.nextPart();
    for (int parts = 0; type >= 0 && parts < 100000; ++parts) {
        switch (type) {
        case int(PartType::Header):
        case int(PartType::BundleHeader): {
            // The header reader moves on by itself, to the first part it does not take.
            PackageHeader header;
            if (readHeader(header, stream)) {
                type = stream.currentPart();
                continue;
            }
            break;
        }
        case int(PartType::Dependencies):
        case int(PartType::Provides):
        case int(PartType::Conflicts):
        case int(PartType::BundleList): {
            std::vector<DependencyEntry> list;
            (void)readNameList(stream, list);
            break;
        }
        case int(PartType::Files):
            walkFiles(stream);
            break;
        case int(PartType::Signature):
            (void)archive::checkAuthenticity(stream);
            break;
        default:
            break;
        }
        type = stream.nextPart();
    }
    // The tee sees every byte read, once, in the file's order.
    const std::string copy = tee.str();
    if (copy.size() > input.size() || input.compare(0, copy.size(), copy) != 0)
        fail("the tee is not a prefix of the input");
}

int memoryFile() {
    static int fd = -1;
    if (fd < 0) {
        fd = memfd_create("package", 0);
        if (fd < 0) std::abort();
    }
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);

    // As a file on a medium: seekable, no digest.
    int fd = memoryFile();
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != ssize_t(size)) std::abort();
    PackageArchive archive;
    if (readArchive(archive, "/proc/self/fd/" + std::to_string(fd))) {
        if (archive.totalLength != size) fail("a package of the wrong length was read");
        if (archive.isBundle && archive.members.empty()) fail("a bundle without members was read");
    }

    // As the installation's stream from a pipe, every part looked at.
    PipeLikeBuffer pipe(input.data(), input.size(), 1 + size % 61);
    readParts(pipe, input);

    // The whole file's check, package by package.
    std::istringstream whole(input);
    (void)archive::checkEveryPackage(whole, archive::builtinTrustAnchors());
    return 0;
}
