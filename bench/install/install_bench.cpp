// bench_install [SOURCE_DIR...]: copies the source trees (default: about
// 150 MB of Python and Perl libraries) into a staging tree, makes a signed
// package of it (deflate level 9) and a tar.gz of it (gzip -9), and then, in
// a sandbox, installs the package through the install child and unpacks the
// tar with tar -xzf, first into tmpfs and then into an ext4 loop file system,
// each side BENCH_RUNS times (default 5), alternating. Prints every run, then
// the medians: time(installer)/time(tar) for both, the processor times, and
// the child's peak memory. BENCH_KEEP=1 keeps the inputs for the next run.
// Beside that, in the same runs: an upgrade of the tree over its previous
// version (the same files, version 0.9) against the fresh installation
// (goal: at most 1.15 times), and a fresh installation whose journal is
// never flushed, which shows what making the transaction durable costs.
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "archive/hash.h"
#include "archive/signer.h"
#include "archive/writer/writer.h"
#include "init/process.h"
#include "pkg/driver.h"
#include "pkg/transaction.h"
#include "sandbox/sandbox.h"

namespace {

const char* const kStaging = "/tmp/bench-install-staging";
const char* const kPackage = "/tmp/bench-install.vpk";
const char* const kOldPackage = "/tmp/bench-install-0.9.vpk";
const char* const kTarball = "/tmp/bench-install.tar.gz";
const char* const kImage = "/tmp/bench-install-ext4.img";

int shell(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string le32(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i)
        s[size_t(i)] = char((v >> (8 * i)) & 0xff);
    return s;
}

bool makePackage(const char* path, unsigned minor, std::string& error) {
    TreeOptions options;
    PackageContent content;
    content.name = "benchtree";
    content.version = packVersion(minor == 0 ? 1 : 0, minor);
    content.buildTime = 1;
    std::stringstream buffer(std::ios::in | std::ios::out | std::ios::binary);
    {
        PackageWriter writer(buffer);
        if (!writePackage(writer, content, error))
            return false;
        // The Files part at level 9, as gzip -9 for the tar.
        std::vector<FileEntry> files;
        if (!collectTree(kStaging, options, files, error) || !writer.filesPart(files, error, 9) || !writer.finish())
            return false;
    }
    std::string file = buffer.str();
    // Sign with the development key.
    std::ifstream keyFile(DEVELOPMENT_KEY);
    std::string hex;
    keyFile >> hex;
    archive::PrivateKey key{};
    for (size_t i = 0; i < key.size() && 2 * i + 1 < hex.size(); ++i)
        key[i] = uint8_t(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    const std::string signatureHeader = std::string("\x09\x00", 2) + le32(68);
    Sha1Hasher hasher;
    hasher.update(file.data() + 8, file.size() - 8);
    hasher.update(signatureHeader.data(), signatureHeader.size());
    archive::PackageDigest digest;
    hasher.finish(digest.data());
    auto record = archive::signDigest(digest, key);
    if (!record) {
        error = "cannot sign";
        return false;
    }
    file += signatureHeader;
    file.append(reinterpret_cast<const char*>(record->data()), record->size());
    file.replace(4, 4, le32(uint32_t(file.size() - 8)));
    std::ofstream out(path, std::ios::binary);
    out.write(file.data(), std::streamsize(file.size()));
    return bool(out);
}

double seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Feeds the package through an install child as the flows do; returns the
// time and the child's peak resident size in KiB.
double cpuSeconds(const struct rusage& usage) {
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double installOnce(long& peakKiB, double& cpu, const char* package = kPackage) {
    auto start = std::chrono::steady_clock::now();
    FILE* child = startInstallChild(InstallMode::stream, false);
    if (!child)
        return -1;
    std::ifstream in(package, std::ios::binary);
    char chunk[4096];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0)
        if (std::fwrite(chunk, 1, size_t(in.gcount()), child) != size_t(in.gcount()))
            break;
    pid_t pid = pipedChildPid;
    std::fclose(child);
    int status = 0;
    struct rusage usage {};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    pipedChildPid = -1;
    double elapsed = seconds(start);
    peakKiB = usage.ru_maxrss;
    cpu = cpuSeconds(usage);
    return elapsed;
}

// Processor time of everything it ran (tar, gzip, the shell, sync) in `cpu`.
// Both sides flush only the target file system at the end, as the installer
// must before it records a package.
double tarOnce(const std::string& into, double& cpu) {
    struct rusage before {}, after {};
    ::getrusage(RUSAGE_CHILDREN, &before);
    auto start = std::chrono::steady_clock::now();
    if (shell("tar -xzf " + std::string(kTarball) + " -C " + into + " && sync -f " + into) != 0)
        return -1;
    double elapsed = seconds(start);
    ::getrusage(RUSAGE_CHILDREN, &after);
    cpu = cpuSeconds(after) - cpuSeconds(before);
    return elapsed;
}

// Empties the target and writes back what that left, so that no run pays for
// the one before.
void clear(const std::string& dir) {
    shell("rm -rf " + dir + "/* " + dir + "/.[!.]* 2>/dev/null; sync -f " + dir);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

int envInt(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value && std::atoi(value) > 0 ? std::atoi(value) : fallback;
}

int benchBody() {
    ::signal(SIGPIPE, SIG_IGN);
    // BENCH_RUNS: runs of each side per file system (medians are printed);
    // BENCH_ONLY=install skips tar (for profiling the installer).
    const int runs = envInt("BENCH_RUNS", 5);
    const char* only = std::getenv("BENCH_ONLY");
    const bool withTar = !(only && std::string(only) == "install");
    struct Result {
        const char* where;
        std::vector<double> install, tar, installCpu, tarCpu, upgrade, unflushed;
        long peak = 0;
    };
    std::vector<Result> results;
    std::string runLog;
    for (const char* where : {"tmpfs", "ext4"}) {
        if (std::string(where) == "ext4") {
            if (shell(std::string("truncate -s 1G ") + kImage + " && mkfs.ext4 -q -F " + kImage) != 0)
                return 1;
            std::string loop = sandbox::attachLoop(kImage);
            if (loop.empty() || ::mount(loop.c_str(), "/flash", "ext4", 0, nullptr) != 0) {
                std::printf("cannot mount the ext4 image\n");
                return 1;
            }
        }
        Result r;
        r.where = where;
        // Alternating, so that a change in the machine's load hits both sides.
        for (int run = 0; run < runs; ++run) {
            long peak = 0;
            double cpu = 0;
            clear("/flash");
            double t = installOnce(peak, cpu);
            if (t < 0)
                return 1;
            r.install.push_back(t);
            r.installCpu.push_back(cpu);
            r.peak = std::max(r.peak, peak);
            clear("/flash");
            // The upgrade: the previous version first (not timed), written back.
            double ignored = 0;
            if (installOnce(peak, ignored, kOldPackage) < 0)
                return 1;
            shell("sync -f /flash");
            t = installOnce(peak, ignored);
            if (t < 0)
                return 1;
            r.upgrade.push_back(t);
            clear("/flash");
            setTransactionDurable(false);
            t = installOnce(peak, ignored);
            setTransactionDurable(true);
            if (t < 0)
                return 1;
            r.unflushed.push_back(t);
            clear("/flash");
            if (withTar) {
                t = tarOnce("/flash", cpu);
                if (t < 0)
                    return 1;
                r.tar.push_back(t);
                r.tarCpu.push_back(cpu);
                clear("/flash");
            }
            char line[160];
            std::snprintf(line, sizeof line,
                          "%s run %d: installer %.2f s (processor %.2f s), upgrade %.2f s, journal not flushed %.2f s",
                          where, run + 1, r.install.back(), r.installCpu.back(), r.upgrade.back(),
                          r.unflushed.back());
            runLog += line;
            if (withTar) {
                std::snprintf(line, sizeof line, ", tar %.2f s (processor %.2f s)", r.tar.back(), r.tarCpu.back());
                runLog += line;
            }
            runLog += "\n";
        }
        results.push_back(r);
    }
    std::printf("\nEach run:\n%s", runLog.c_str());
    for (const Result& r : results) {
        double install = median(r.install), tar = median(r.tar);
        std::printf("%-6s installer %.2f s, tar -xzf %.2f s (medians of %d): time(installer)/time(tar) = %.2f "
                    "(goal <= 1.0); child peak memory %.1f MiB (goal < 16)\n",
                    r.where, install, tar, runs, withTar ? install / tar : 0.0, double(r.peak) / 1024.0);
    }
    for (const Result& r : results) {
        double install = median(r.install), upgrade = median(r.upgrade), unflushed = median(r.unflushed);
        std::printf("%-6s upgrade over the previous version %.2f s: time(upgrade)/time(fresh) = %.2f (goal <= 1.15); "
                    "durability: time(fresh)/time(journal not flushed) = %.2f\n",
                    r.where, upgrade, upgrade / install, install / unflushed);
    }
    for (const Result& r : results) {
        double install = median(r.installCpu), tar = median(r.tarCpu);
        std::printf("%-6s processor time: install child %.2f s, tar+gzip %.2f s (ratio %.2f)\n", r.where,
                    install, tar, withTar ? install / tar : 0.0);
    }
    return 0;
}

// Copies the sources into the staging tree and makes the package and the tarball.
bool prepareInputs(const std::vector<std::string>& sources) {
    shell(std::string("rm -rf ") + kStaging + " && mkdir -p " + kStaging);
    for (const std::string& source : sources)
        if (shell("cp -a " + source + " " + kStaging + "/ 2>/dev/null") != 0)
            std::fprintf(stderr, "warning: could not copy all of %s\n", source.c_str());
    shell(std::string("find ") + kStaging + " -type s -delete");
    std::string error;
    if (!makePackage(kPackage, 0, error) || !makePackage(kOldPackage, 9, error)) {
        std::fprintf(stderr, "cannot make the package: %s\n", error.c_str());
        return false;
    }
    shell(std::string("tar -C ") + kStaging + " -cf - . | gzip -9 > " + kTarball);
    shell(std::string("du -sh ") + kStaging + " " + kPackage + " " + kTarball);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> sources;
    for (int i = 1; i < argc; ++i)
        sources.push_back(argv[i]);
    if (sources.empty())
        sources = {"/usr/lib/python3.11", "/usr/lib/python3", "/usr/lib/x86_64-linux-gnu/perl", "/usr/share/perl"};
    // BENCH_KEEP=1 keeps the package and the tarball for the next run.
    const bool keep = std::getenv("BENCH_KEEP") != nullptr;
    struct stat made;
    bool haveInputs = keep && ::stat(kPackage, &made) == 0 && ::stat(kOldPackage, &made) == 0 &&
                      ::stat(kTarball, &made) == 0;
    if (!haveInputs && !prepareInputs(sources))
        return 1;
    sandbox::Options options;
    options.newNetwork = false;
    options.loopDevices = true;
    options.timeoutMs = 1200000;
    options.flashTmpfsOptions = "size=2g";
    options.binds.push_back({kPackage, kPackage, true});
    options.binds.push_back({kOldPackage, kOldPackage, true});
    options.binds.push_back({kTarball, kTarball, true});
    options.dirs.push_back("/tmp");
    sandbox::Result result = sandbox::run(options, benchBody);
    // The progress line of the child is long; keep the figures.
    size_t at = result.output.rfind("\nEach run:");
    std::printf("%s\n", at == std::string::npos ? result.output.c_str() : result.output.substr(at + 1).c_str());
    if (!keep)
        shell(std::string("rm -rf ") + kStaging + " " + kPackage + " " + kOldPackage + " " + kTarball);
    return result.exited && result.exitStatus == 0 ? 0 : 1;
}
