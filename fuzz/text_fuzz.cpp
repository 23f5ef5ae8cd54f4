// Arbitrary text at the disk code's parsers (the partitioning tool's geometry
// listing and table dump) and at the word wrapper of the package descriptions.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "disk/installer.h"
#include "disk/partition.h"
#include "flows/menu.h"

namespace {
[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

std::string withoutBlanks(const char* p, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i)
        if (p[i] != ' ' && p[i] != '\n') out += p[i];
    return out;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    // Line by line, as the listing is read.
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        DiskEntry entry;
        if (parseGeometryLine(line.c_str(), entry)) {
            if (entry.device[sizeof entry.device - 1] != '\0') fail("device name not terminated");
        }
        start = end + 1;
    }
    if (FILE* listing = fmemopen(const_cast<char*>(text.data()), text.size() ? text.size() : 1, "r")) {
        std::memset(diskTable(), 0, sizeof(DiskEntry) * kDiskTableSize);
        int n = text.empty() ? 0 : readDiskTable(listing);
        if (n < 0 || n > kDiskTableSize) fail("disk count out of the table");
        std::fclose(listing);
    }
    if (FILE* dump = fmemopen(const_cast<char*>(text.data()), text.size() ? text.size() : 1, "r")) {
        if (!text.empty() && countDumpEntries(dump) < 0) fail("negative partition count");
        std::fclose(dump);
    }

    // The wrapper loses and invents no word.
    char* out = nullptr;
    size_t outSize = 0;
    FILE* saved = stdout;
    stdout = open_memstream(&out, &outSize);
    if (!stdout) std::abort();
    printWrapped(text);
    std::fclose(stdout);
    stdout = saved;
    if (withoutBlanks(out, outSize) != withoutBlanks(text.data(), text.size())) fail("the wrapper changed the words");
    std::free(out);
    return 0;
}
