// Arbitrary files in a package's database directory, read back as at start-up.
// Runs inside the sandbox: the database lives under /flash.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "fuzz/seeds.h"
#include "pkg/database.h"

namespace {
[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

const std::string kName = "fuzzed";

void prepare() {
    static bool done = false;
    if (done) return;
    if (::access("/flash", W_OK) != 0) {
        std::fprintf(stderr, "database fuzzing writes /flash: run it in the sandbox\n");
        std::exit(2);
    }
    if (!makeDirectories(databaseDir(kName)) || !makeDirectories(std::string(kScheduleRoot) + kName + "/"))
        std::abort();
    done = true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    prepare();
    const std::string dir = databaseDir(kName);
    auto segments = fuzzseeds::databaseSegments({reinterpret_cast<const char*>(data), size});
    for (size_t i = 0; i < segments.size(); ++i) {
        const std::string name = fuzzseeds::kDatabaseFiles[i];
        const std::string path =
            name == "schedule" ? std::string(kScheduleRoot) + kName + "/schedule" : dir + name;
        if (segments[i].first)
            std::ofstream(path, std::ios::binary | std::ios::trunc) << segments[i].second;
        else
            ::unlink(path.c_str());
    }
    Package package;
    loadFromDatabase(package, kName);
    if (package.name != kName) fail("the record carries another name");
    for (const std::string& file : package.files)
        if (file.empty() || file[0] != '/') fail("a recorded path does not begin with '/'");
    if (::access((std::string(kScheduleRoot) + kName + "/schedule").c_str(), F_OK) == 0)
        fail("the schedule file was not consumed");
    return 0;
}
