#include "pkg/driver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <istream>
#include <streambuf>
#include <string>

#include "archive/extract.h"
#include "archive/format.h"
#include "archive/partstream.h"
#include "archive/rootfs.h"
#include "archive/signature.h"
#include "init/process.h"
#include "pkg/database.h"
#include "pkg/operations.h"
#include "pkg/repository.h"

namespace {

constexpr size_t kBufferSize = 64 * 1024;

// Reads a descriptor through one buffer; on request it keeps a copy of
// every byte read, as long as the copy stays within a limit.
class DescriptorSource : public std::streambuf {
public:
    explicit DescriptorSource(int fd) : fd_(fd), buffer_(new char[kBufferSize]) {}
    ~DescriptorSource() override { delete[] buffer_; }

    void keepUpTo(size_t limit) {
        keeping_ = true;
        limit_ = limit;
    }
    // Nothing more is kept; what was kept goes.
    void dropKept() {
        keeping_ = false;
        std::string().swap(kept_);
    }
    // Reads the rest of the input into the kept copy; false (and the copy
    // gone) when it was not kept or does not fit the limit.
    bool keepRest() {
        while (keeping_ && underflow() != traits_type::eof())
            setg(buffer_, egptr(), egptr());
        if (!keeping_ || failed_)
            return false;
        return true;
    }
    std::string& kept() { return kept_; }

protected:
    int_type underflow() override {
        if (gptr() < egptr())
            return traits_type::to_int_type(*gptr());
        ssize_t n;
        do
            n = ::read(fd_, buffer_, kBufferSize);
        while (n < 0 && errno == EINTR);
        if (n < 0)
            failed_ = true;
        if (n <= 0)
            return traits_type::eof();
        keep(buffer_, size_t(n));
        setg(buffer_, buffer_, buffer_ + n);
        return traits_type::to_int_type(*gptr());
    }
    std::streamsize xsgetn(char* out, std::streamsize count) override {
        std::streamsize done = 0;
        while (done < count) {
            std::streamsize buffered = egptr() - gptr();
            if (buffered > 0) {
                std::streamsize take = std::min(buffered, count - done);
                std::memcpy(out + done, gptr(), size_t(take));
                gbump(int(take));
                done += take;
                continue;
            }
            // Large reads go straight to the caller's buffer.
            if (count - done >= std::streamsize(kBufferSize)) {
                ssize_t n = ::read(fd_, out + done, size_t(count - done));
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0)
                    failed_ = true;
                if (n <= 0)
                    break;
                keep(out + done, size_t(n));
                done += n;
                continue;
            }
            if (underflow() == traits_type::eof())
                break;
        }
        return done;
    }

private:
    void keep(const char* data, size_t size) {
        if (!keeping_)
            return;
        if (kept_.size() + size > limit_) {
            dropKept();
            return;
        }
        kept_.append(data, size);
    }

    int fd_;
    char* buffer_;
    bool keeping_ = false;
    bool failed_ = false;
    size_t limit_ = 0;
    std::string kept_;
};

// Writes into a descriptor through one buffer and remembers whether any
// write failed (the copy of a package stream must be whole to be kept).
class DescriptorSink : public std::streambuf {
public:
    explicit DescriptorSink(int fd) : fd_(fd), buffer_(new char[kBufferSize]) {
        setp(buffer_, buffer_ + kBufferSize);
    }
    ~DescriptorSink() override {
        close();
        delete[] buffer_;
    }
    bool failed() const { return failed_; }
    // Flushes and closes; false if anything was lost.
    bool close() {
        if (fd_ < 0)
            return !failed_;
        flushBuffer();
        if (::close(fd_) != 0 && errno != EINTR)
            failed_ = true;
        fd_ = -1;
        return !failed_;
    }

protected:
    int_type overflow(int_type c) override {
        flushBuffer();
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return failed_ ? traits_type::eof() : traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* data, std::streamsize count) override {
        if (count >= std::streamsize(kBufferSize)) {
            flushBuffer();
            writeOut(data, size_t(count));
            return failed_ ? 0 : count;
        }
        std::streamsize done = 0;
        while (done < count) {
            std::streamsize room = epptr() - pptr();
            if (room == 0) {
                flushBuffer();
                continue;
            }
            std::streamsize take = std::min(room, count - done);
            std::memcpy(pptr(), data + done, size_t(take));
            pbump(int(take));
            done += take;
        }
        return count;
    }
    int sync() override {
        flushBuffer();
        return failed_ ? -1 : 0;
    }

private:
    void flushBuffer() {
        writeOut(pbase(), size_t(pptr() - pbase()));
        setp(buffer_, buffer_ + kBufferSize);
    }
    void writeOut(const char* data, size_t size) {
        while (size > 0 && !failed_ && fd_ >= 0) {
            ssize_t n = ::write(fd_, data, size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                failed_ = true;
                break;
            }
            data += n;
            size -= size_t(n);
        }
    }

    int fd_;
    char* buffer_;
    bool failed_ = false;
};

// A package held in memory, read like a file.
class MemorySource : public std::streambuf {
public:
    explicit MemorySource(std::string& bytes) { setg(bytes.data(), bytes.data(), bytes.data() + bytes.size()); }
};

void acceptDriverParts(PackagePartStream& stream) {
    stream.acceptPartType(PartType::Header);
    stream.acceptPartType(PartType::Files);
    stream.acceptPartType(PartType::Signature);
}

// Reads all of standard input, at most `limit` bytes; false when there is more.
bool readAllInput(std::string& bytes, size_t limit) {
    char chunk[kBufferSize];
    for (;;) {
        ssize_t n = ::read(0, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (bytes.size() + size_t(n) > limit)
            return false;
        bytes.append(chunk, size_t(n));
    }
}

// The driver package goes into the running environment, whose programs the
// installer runs next: it is checked whole before anything is written. The
// check walks the parts exactly as the installation below will (header, the
// Files part, then the Signature or the digest), so both see the same package.
int installDriverPackage() {
    std::string bytes;
    if (!readAllInput(bytes, kDriverPackageLimit))
        return 1;
    {
        MemorySource source(bytes);
        PackagePartStream stream(&source, true);
        acceptDriverParts(stream);
        stream.nextPart();
        Package header;
        if (!readHeader(header, stream) || !hasRecordableNames(header))
            return 1;
        if (stream.currentPart() == PartType::Files)
            stream.nextPart();
        if (!archive::checkAuthenticity(stream, installTrust()))
            return 1;
    }
    MemorySource source(bytes);
    PackagePartStream stream(&source, true);
    acceptDriverParts(stream);
    stream.nextPart();
    Package package;
    if (!readHeader(package, stream))
        return 1;
    return installContent(package, stream, true) ? 0 : 1;
}

uint64_t wholeBlocks(uint64_t bytes, uint64_t block) { return (bytes + block - 1) / block * block; }

// What the entries of the Files part the stream stands on take at most on a
// disk of `block`-byte blocks: every file's data in whole blocks, a block for
// every other entry (a directory), and the list of its paths in the
// database. False when the part cannot be read whole.
bool measureFiles(PackagePartStream& stream, uint64_t block, uint64_t& need) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return false;
    uint8_t header[kFileEntryHeaderSize];
    size_t have = 0;
    uint64_t pass = 0, names = 0;
    auto walk = [&](const uint8_t* data, size_t size) {
        while (size > 0) {
            if (pass > 0) {
                size_t step = size_t(std::min<uint64_t>(pass, size));
                pass -= step;
                data += step;
                size -= step;
                continue;
            }
            size_t step = std::min(sizeof header - have, size);
            std::memcpy(header + have, data, step);
            have += step;
            data += step;
            size -= step;
            if (have < sizeof header)
                continue;
            have = 0;
            const FileEntryHeader entry = decodeEntryHeader(header);
            pass = uint64_t(entry.nameLength) + entry.dataLength;
            if (entry.skip)
                continue;
            names += entry.nameLength + 2u;
            need += entry.type() == 0x8 ? wholeBlocks(entry.dataLength, block) : block;
        }
    };
    char in[16384];
    uint8_t out[65536];
    uint32_t left = stream.partLength();
    int result = Z_OK;
    while (left > 0 && result == Z_OK) {
        uint32_t want = std::min<uint32_t>(left, sizeof in);
        stream.read(in, want);
        if (size_t(stream.gcount()) != want)
            break;
        left -= want;
        z.next_in = reinterpret_cast<Bytef*>(in);
        z.avail_in = want;
        do {
            z.next_out = out;
            z.avail_out = sizeof out;
            result = inflate(&z, Z_NO_FLUSH);
            walk(out, sizeof out - z.avail_out);
        } while (result == Z_OK && z.avail_out == 0);
    }
    inflateEnd(&z);
    need += wholeBlocks(names, block);
    return left == 0 && result == Z_STREAM_END;
}

// An upgrade that found no room for both versions at once is done again from
// the kept copy of the package file, the older version removed first, but
// only for a package that is known good (checked whole, as a driver package
// is) and that fits the disk once the older version is gone. Otherwise the
// held-back error stands and the older version stays.
int installOlderFirst(DescriptorSource& input, const InstallRoot& flash, std::string& imageDir, bool& imageWhole) {
    Repository& repository = theRepository();
    if (!input.keepRest()) {
        printHeldBackError();
        return kInstallFailed;
    }
    std::string& bytes = input.kept();
    struct statvfs disk;
    int rootFd = flash.openNoLinks(".", O_RDONLY | O_DIRECTORY);
    bool known = rootFd >= 0 && ::fstatvfs(rootFd, &disk) == 0;
    if (rootFd >= 0)
        ::close(rootFd);
    const uint64_t block = known && disk.f_frsize > 0 ? disk.f_frsize : 4096;

    MemorySource source(bytes);
    PackagePartStream stream(&source, true);
    acceptInstallParts(stream);
    stream.nextPart();
    Package package;
    if (stream.currentPart() != PartType::Header || !readHeader(package, stream)) {
        printHeldBackError();
        return kInstallFailed;
    }
    // The database entry, the scripts and the journal.
    uint64_t need = 4 * block;
    bool measured = true;
    while (stream.currentPart() != -1 && stream.currentPart() != PartType::Signature) {
        if (stream.currentPart() == PartType::Files)
            measured = measured && measureFiles(stream, block, need);
        else if (stream.currentPart() == PartType::InstallScript ||
                 stream.currentPart() == PartType::UninstallScript)
            need += wholeBlocks(stream.partLength() + 64, block);
        stream.nextPart();
    }
    if (!archive::checkAuthenticity(stream, installTrust())) {
        dropHeldBackError();
        reportBrokenPackage(package);
        return kInstallFailed;
    }
    // Room once the older version is gone: what is free now and the blocks of
    // its files that no other name holds.
    const Package* older = repository.findInstalledPackage(package.name);
    uint64_t room = known ? uint64_t(disk.f_bavail) * disk.f_frsize : 0;
    if (older)
        for (const std::string& path : older->files) {
            struct stat info;
            if (!hasDotDotComponent(path) && flash.lstat(path, info) && S_ISREG(info.st_mode) && info.st_nlink == 1)
                room += uint64_t(info.st_blocks) * 512;
        }
    if (!older || !known || !measured || need > room) {
        printHeldBackError();
        return kInstallFailed;
    }
    dropHeldBackError();
    MemorySource again(bytes);
    std::istream in(&again);
    setOlderFirst(true);
    int result = installFromStream(in, kPermitUpgrade, nullptr, imageDir);
    setOlderFirst(false);
    // The copy of an image package, written now that it is known to be wanted.
    if (result == kInstalled && !imageDir.empty()) {
        int imageFd = flash.openNoLinks("image", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        DescriptorSink image(imageFd);
        imageWhole = imageFd >= 0 &&
                     image.sputn(bytes.data(), std::streamsize(bytes.size())) == std::streamsize(bytes.size()) &&
                     image.close();
    }
    return result;
}

int installStreamPackage() {
    // "/flash/image", and its link into the database entry, are reached with
    // no symbolic link on the way: an installed package may own either place.
    InstallRoot flash("/flash");
    int imageFd = flash.openNoLinks("image", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (imageFd < 0) {
        std::fputs("ERROR: could not open image\n", stdout);
        std::fflush(stdout);
        return 1;
    }
    DescriptorSink image(imageFd);
    DescriptorSource input(0);
    // The package file is kept in memory, within the bound of a driver
    // package, until it is known that no second attempt can come.
    input.keepUpTo(kDriverPackageLimit);
    offerOlderFirstRetry([&input] { input.dropKept(); });
    std::istream in(&input);
    std::string imageDir;
    int result = installFromStream(in, kPermitUpgrade, &image, imageDir);
    offerOlderFirstRetry(nullptr);
    bool imageWhole = image.close();
    if (result != kInstalled && noRoomErrorHeld()) {
        // The partial copy takes room that the second attempt needs.
        flash.removeNoLinks("image");
        imageDir.clear();
        result = installOlderFirst(input, flash, imageDir, imageWhole);
    }
    input.dropKept();
    if (result == 0 && !imageDir.empty()) {
        const std::string inRoot = imageDir.substr(std::string("/flash").size()) + "image";
        if (!imageWhole || !flash.linkNoLinks("image", inRoot)) {
            std::fputs("ERROR: could not save package image\n", stdout);
            std::fflush(stdout);
            result = -1;
        }
    }
    flash.removeNoLinks("image");
    return result;
}

pid_t forkInstallChild(InstallMode mode, bool quiet, const std::function<bool()>* prepare, FILE*& stream) {
    stream = nullptr;
    if (pipedChildPid != -1)
        return -1;
    int fds[2];
    if (::pipe(fds) != 0)
        return -1;
    // A larger pipe lets the writer run ahead of the child by more than a
    // few of its 4 KiB writes (fewer switches between the two); optional.
    (void)::fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return -1;
    }
    if (pid == 0) {
        ::dup2(fds[0], 0);
        // Neither end of its own pipe nor the installer's files stay open here,
        // so the end of the input shows as soon as the installer closes it.
        for (int fd = 3; fd <= 15; ++fd)
            ::close(fd);
        if (fds[0] > 15)
            ::close(fds[0]);
        if (fds[1] > 15)
            ::close(fds[1]);
        if (installChildPrelude)
            installChildPrelude();
        int status = 0;
        if (prepare && !(*prepare)()) {
            status = 2;
        } else {
            int result = runInstallChild(mode, quiet);
            // A driver child is quiet: its exit status is the only word of a refusal.
            if (prepare || mode == InstallMode::driver)
                status = result == 0 ? 0 : 1;
        }
        std::fflush(nullptr);
        ::_exit(status);
    }
    ::close(fds[0]);
    stream = ::fdopen(fds[1], "w");
    if (!stream) {
        ::close(fds[1]);
        waitForChild(pid);
        return -1;
    }
    pipedChildPid = pid;
    return pid;
}

}  // namespace

void (*installChildPrelude)() = nullptr;

int runInstallChild(InstallMode mode, bool quiet) {
    if (::chdir("/") != 0)
        return 1;
    static bool repositoryOpen = false;
    if (!repositoryOpen) {
        theRepository().openRepository(quiet);
        repositoryOpen = true;
    }
    if (mode == InstallMode::stream)
        return installStreamPackage();
    return installDriverPackage();
}

FILE* startInstallChild(InstallMode mode, bool quiet) {
    FILE* stream = nullptr;
    forkInstallChild(mode, quiet, nullptr, stream);
    return stream;
}

FILE* startInstallChildWith(InstallMode mode, bool quiet, const std::function<bool()>& prepare) {
    FILE* stream = nullptr;
    forkInstallChild(mode, quiet, &prepare, stream);
    return stream;
}
