#include "pkg/payload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>
#include <vector>

#include "archive/extract.h"
#include "archive/format.h"
#include "archive/partstream.h"
#include "pkg/block_pipe.h"
#include "pkg/database.h"
#include "pkg/repository.h"
#include "pkg/transaction.h"

namespace {

constexpr size_t kCopyChunk = 16384;

bool payloadThreads = true;

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        data += n;
        size -= size_t(n);
    }
    return true;
}

// Inflates the zlib data of a Files part from the blocks of raw bytes. The
// data's own check value (Adler-32 of the inflated bytes) is not computed
// here but handed on, for the stage that takes the bytes to compute: the
// inflating is the longest of the stages.
class RawInflater {
public:
    explicit RawInflater(BlockPipe& input) : input_(input) {}
    ~RawInflater() {
        if (initialized_)
            inflateEnd(&zstream_);
    }
    RawInflater(const RawInflater&) = delete;
    RawInflater& operator=(const RawInflater&) = delete;

    // Inflates up to `size` bytes into `out`; fewer only at the end of the
    // data (its end, a data error, or raw bytes that ran out). Bytes from an
    // inflate call that failed are never handed out.
    size_t fill(char* out, size_t size) {
        size_t done = 0;
        while (done < size && state_ != State::Ended && state_ != State::Failed) {
            if (left_ == 0 && !nextInput()) {
                state_ = State::Failed;
                break;
            }
            if (state_ == State::Header) {
                header_[headerCount_++] = uint8_t(*next_++);
                --left_;
                if (headerCount_ == 2)
                    start();
            } else if (state_ == State::Trailer) {
                checkValue_ = (checkValue_ << 8) | uint8_t(*next_++);
                --left_;
                if (++trailerCount_ == 4) {
                    checkValueKnown_ = true;
                    state_ = State::Ended;
                }
            } else {
                zstream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(next_));
                zstream_.avail_in = uInt(left_);
                zstream_.next_out = reinterpret_cast<Bytef*>(out + done);
                zstream_.avail_out = uInt(size - done);
                int result = inflate(&zstream_, Z_NO_FLUSH);
                next_ = reinterpret_cast<const char*>(zstream_.next_in);
                left_ = zstream_.avail_in;
                if (result == Z_STREAM_END)
                    state_ = State::Trailer;
                else if (result != Z_OK && result != Z_BUF_ERROR) {
                    state_ = State::Failed;
                    break;
                }
                done = size - zstream_.avail_out;
            }
        }
        return done;
    }
    // How far into the package file the raw bytes read so far reach.
    uint64_t position() const { return position_; }
    // Once the end was reached: the check value that followed the data, if
    // it came whole.
    bool checkValueKnown() const { return checkValueKnown_; }
    uint32_t checkValue() const { return checkValue_; }

private:
    enum class State { Header, Inflating, Trailer, Ended, Failed };

    bool nextInput() {
        BlockPipe::Block block;
        if (!input_.next(block))
            return false;
        next_ = block.data;
        left_ = block.size;
        position_ = block.position;
        return true;
    }
    // The two header bytes: deflate with a window of at most 32 KiB, no
    // preset dictionary, and the header's own check.
    void start() {
        const unsigned cmf = header_[0], flg = header_[1];
        initialized_ = (cmf * 256 + flg) % 31 == 0 && (cmf & 0x0f) == 8 && (cmf >> 4) <= 7 && (flg & 0x20) == 0 &&
                       inflateInit2(&zstream_, -15) == Z_OK;
        state_ = initialized_ ? State::Inflating : State::Failed;
    }

    BlockPipe& input_;
    z_stream zstream_{};
    bool initialized_ = false;
    State state_ = State::Header;
    const char* next_ = nullptr;
    size_t left_ = 0;
    uint64_t position_ = 0;
    uint8_t header_[2] = {};
    int headerCount_ = 0;
    int trailerCount_ = 0;
    uint32_t checkValue_ = 0;
    bool checkValueKnown_ = false;
};

// The inflated contents of a Files part, read in order, in three stages that
// run side by side when threads can be had: reading the raw part (which also
// hashes it and copies it to the tee), inflating, and the caller's writing of
// files. Each stage runs at most a few blocks ahead of the next, so memory
// stays bounded; without threads every stage runs in line. While the threads
// run, only they touch the part stream; stop() hands it back.
class InflatedInput {
public:
    static constexpr size_t kBlockSize = 64 * 1024;

    InflatedInput(PackagePartStream& stream)
        : raw_(kBlockSize, 4,
               [&stream](BlockPipe::Block& block) {
                   PackagePartBuffer& part = stream.partBuffer();
                   block.size = size_t(part.sgetn(block.data, std::streamsize(kBlockSize)));
                   block.position = uint64_t(part.partOffset()) + (part.partLength() - part.remaining());
               }),
          inflater_(raw_),
          inflated_(kBlockSize, 8, [this](BlockPipe::Block& block) {
              block.size = inflater_.fill(block.data, kBlockSize);
              block.position = inflater_.position();
          }) {
        if (payloadThreads) {
            raw_.startThread();
            inflated_.startThread();
        }
    }
    ~InflatedInput() { stop(); }
    InflatedInput(const InflatedInput&) = delete;
    InflatedInput& operator=(const InflatedInput&) = delete;

    // Points `data` at the next at most `max` bytes and consumes them; 0 at
    // the end of the inflated data (a data error or a stream cut short ends
    // it as well).
    size_t next(const char*& data, size_t max) {
        if (offset_ == current_.size) {
            if (!inflated_.next(current_))
                return 0;
            offset_ = 0;
        }
        size_t take = std::min(max, current_.size - offset_);
        data = current_.data + offset_;
        offset_ += take;
        adler_ = adler32_z(adler_, reinterpret_cast<const Bytef*>(data), take);
        return take;
    }
    // Once next() has come to the end: false when the data's check value
    // came and does not match the bytes handed out.
    bool intact() const { return !inflater_.checkValueKnown() || inflater_.checkValue() == adler_; }
    // Copies exactly `size` bytes; false when the data ended first.
    bool read(void* out, size_t size) {
        char* to = static_cast<char*>(out);
        while (size > 0) {
            const char* data;
            size_t got = next(data, size);
            if (got == 0)
                return false;
            std::memcpy(to, data, got);
            to += got;
            size -= got;
        }
        return true;
    }
    bool skip(uint64_t size) {
        while (size > 0) {
            const char* data;
            size_t got = next(data, size_t(std::min<uint64_t>(size, kBlockSize)));
            if (got == 0)
                return false;
            size -= got;
        }
        return true;
    }
    // How far into the package file the raw bytes behind the inflated ones
    // handed out so far had been read.
    uint64_t position() const { return current_.position; }

    // Ends the stages' threads wherever they are (the raw reader finishes the
    // read it is in); the part stream is the caller's again afterwards.
    void stop() {
        raw_.requestStop();
        inflated_.requestStop();
        inflated_.join();
        raw_.join();
    }

private:
    BlockPipe raw_;
    RawInflater inflater_;
    BlockPipe inflated_;
    BlockPipe::Block current_;
    size_t offset_ = 0;
    uLong adler_ = adler32(0, nullptr, 0);
};

void setTimes(int dirFd, const char* name, uint32_t mtime) {
    timespec times[2];
    times[0].tv_sec = time_t(mtime);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    ::utimensat(dirFd, name, times, AT_SYMLINK_NOFOLLOW);
}

// Owner, mode and time of an entry just made (not a link).
void finishNode(int dirFd, const char* name, const FileEntryHeader& entry) {
    ::fchownat(dirFd, name, entry.uid, entry.gid, AT_SYMLINK_NOFOLLOW);
    ::fchmodat(dirFd, name, entry.mode & 07777, 0);
    setTimes(dirFd, name, entry.mtime);
}

}  // namespace

void setPayloadThreads(bool threaded) { payloadThreads = threaded; }

const char* installRootFor(bool relative) { return relative ? "." : "/flash"; }

std::string pathInRoot(const std::string& recordedPath, bool relative) {
    if (relative && !recordedPath.empty() && recordedPath[0] == '.')
        return recordedPath.substr(1);
    return recordedPath;
}

std::string installingLabel(const Package& package) {
    std::string label = "installing ";
    if (package.disabled && !package.belongsToBundle())
        label += " (disabled) ";
    return label + displayLabel(package);
}

std::string findOwner(const std::string& recordedPath) {
    for (const auto& package : theRepository().packages) {
        if (package->files.count(recordedPath))
            return package->name;
    }
    return "";
}

bool extractFiles(Package& package, PackagePartStream& stream, bool untracked, bool relative) {
    Repository& repository = theRepository();
    InstallRoot root(installRootFor(relative));
    // Every change goes into the installation's journal first (a driver
    // installation has none).
    Transaction* transaction = Transaction::active();
    if (transaction && !transaction->started())
        transaction = nullptr;
    std::string notedParent = "\n";  // no path
    // A simulation reads and checks everything and warns as the real run
    // would, but creates nothing.
    const bool dry = simulating();
    if (package.disabled && !dry) {
        // Always under "/flash", whatever the installation's form.
        InstallRoot flash("/flash");
        if (transaction && !transaction->noteMissingDirectories(flash, "x/" + package.name + "/var/pdb/" + package.name)) {
            reportInstallError(package, "x/" + package.name, errno);
            return false;
        }
        faultPoint();
        (void)flash.makeDirectories("x/" + package.name);
        (void)flash.makeDirectories("x/" + package.name + "/var/pdb/" + package.name);
    }
    const std::string label = installingLabel(package);
    const std::string prefix = std::string(relative ? "." : "") + (package.disabled ? "/x/" + package.name : "");

    const uint64_t total = stream.totalLength();
    InflatedInput in(stream);
    DirectoryCache parents(root, true);
    std::vector<std::pair<std::string, uint32_t>> directories;  // path in root, time

    auto broken = [&] {
        reportBrokenPackage(package);
        return false;
    };
    auto failed = [&](const std::string& name, int error) {
        reportInstallError(package, name, error);
        return false;
    };

    for (;;) {
        uint8_t headerBytes[kFileEntryHeaderSize];
        if (!in.read(headerBytes, sizeof headerBytes))
            break;
        const FileEntryHeader entry = decodeEntryHeader(headerBytes);
        // Names and link targets longer than any path the file system takes
        // are refused before anything of their size is allocated.
        if (entry.nameLength >= PATH_MAX)
            return broken();
        std::string name(entry.nameLength, '\0');
        if (!in.read(name.data(), name.size()))
            return broken();
        // A newline would split the recorded path in two in the database's
        // "files" list, and a later uninstallation would delete the halves.
        if (name.find('\0') != std::string::npos || name.find('\n') != std::string::npos ||
            hasDotDotComponent(name))
            return broken();

        std::string recorded = prefix;
        if (name.empty() || name[0] != '/')
            recorded += '/';
        recorded += name;
        const std::string target = pathInRoot(recorded, relative);
        std::string parentPath, last;
        InstallRoot::split(target, parentPath, last);
        const unsigned type = entry.type();

        if (entry.skip) {
            in.skip(entry.dataLength);
            continue;
        }
        if (last.empty()) {
            // The root itself: only a directory entry can name it.
            if (type != 0x4)
                return broken();
            in.skip(entry.dataLength);
            continue;
        }

        if (transaction && parentPath != notedParent) {
            if (!transaction->noteMissingDirectories(root, parentPath))
                return failed(name, errno);
            notedParent = parentPath;
        }
        int parent = dry ? root.openDirectory(parentPath, false) : parents.get(parentPath);
        int parentError = errno;
        // The journal's own directory is no place for a package's files.
        if (transaction && parent >= 0) {
            bool reserved = transaction->isReserved(parent);
            if (last == ".txn") {
                int child = ::openat(parent, last.c_str(), O_PATH | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC);
                reserved = reserved || (child >= 0 && transaction->isReserved(child));
                if (child >= 0)
                    ::close(child);
            }
            if (reserved)
                return broken();
        }
        struct stat info;
        bool exists = false, isDirectory = false;
        if (parent >= 0 && ::fstatat(parent, last.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
            exists = true;
            isDirectory = S_ISDIR(info.st_mode);
            struct stat followed;
            if (S_ISLNK(info.st_mode) && root.stat(target, followed))
                isDirectory = S_ISDIR(followed.st_mode);
        }
        // What stands at the entry's name already: a directory stays for a
        // directory entry, and a file that another package owns stays with a
        // warning (the entry is skipped: true); anything else is a ghost file
        // that the entry replaces.
        auto keepsWhatIsThere = [&]() {
            if (isDirectory && type == 0x4) {
                in.skip(entry.dataLength);
                return true;
            }
            if (untracked)
                return false;
            std::string owner = findOwner(recorded);
            if (!owner.empty()) {
                repository.printWarning("file %s collides with %s package", recorded.c_str(), owner.c_str());
                in.skip(entry.dataLength);
                return true;
            }
            repository.printWarning("ghost file %s", recorded.c_str());
            return false;
        };
        if (dry) {
            if (parent >= 0)
                ::close(parent);
            if (simulatedFree().count(recorded))
                exists = false;
            if (exists && keepsWhatIsThere())
                continue;
            if ((type == 0xA && entry.dataLength >= PATH_MAX) || ((type == 0x2 || type == 0x6) && entry.dataLength != 4) ||
                (type != 0xA && type != 0x8 && type != 0x4 && type != 0x2 && type != 0x6 && type != 0x1))
                return broken();
            if (!in.skip(entry.dataLength) && entry.dataLength > 0)
                return broken();
            if (type != 0x4)
                package.files.insert(recorded);
            repository.showProgressBar(in.position(), total, label);
            continue;
        }
        if (exists) {
            if (keepsWhatIsThere())
                continue;
            // In a transaction what stood there is set aside, to come back
            // if the installation does not go through.
            if (transaction)
                (void)transaction->setAside(target);
            else
                ::unlinkat(parent, last.c_str(), 0);
            parents.forget();
            parent = parents.get(parentPath);
            parentError = errno;
        }
        if (transaction && !(type == 0x4 ? transaction->noteDirectory(target) : transaction->noteCreated(target)))
            return failed(name, errno);
        faultPoint();
        switch (type) {
        case 0xA: {  // symbolic link
            if (entry.dataLength >= PATH_MAX)
                return broken();
            std::string linkTarget(entry.dataLength, '\0');
            if (!in.read(linkTarget.data(), linkTarget.size()) ||
                linkTarget.find('\0') != std::string::npos)
                return broken();
            if (parent < 0)
                return failed(name, parentError);
            if (::symlinkat(linkTarget.c_str(), parent, last.c_str()) != 0)
                return failed(name, errno);
            package.files.insert(recorded);
            ::fchownat(parent, last.c_str(), entry.uid, entry.gid, AT_SYMLINK_NOFOLLOW);
            parents.forget();
            break;
        }
        case 0x8: {  // regular file
            if (parent < 0)
                return failed(name, parentError);
            int fd = ::openat(parent, last.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd < 0)
                return failed(name, errno);
            package.files.insert(recorded);
            // Written straight from the inflated blocks, in pieces of at most
            // the copy chunk.
            uint32_t left = entry.dataLength;
            while (left > 0) {
                const char* data;
                size_t got = in.next(data, left < kCopyChunk ? left : kCopyChunk);
                if (got == 0) {
                    ::close(fd);
                    return broken();
                }
                faultPoint();
                if (!writeAll(fd, data, got)) {
                    int error = errno;
                    ::close(fd);
                    return failed(name, error);
                }
                left -= uint32_t(got);
            }
            ::fchown(fd, entry.uid, entry.gid);
            ::fchmod(fd, entry.mode & 07777);
            timespec times[2] = {{time_t(entry.mtime), 0}, {time_t(entry.mtime), 0}};
            ::futimens(fd, times);
            if (::close(fd) != 0 && errno != EINTR)
                return failed(name, errno);
            break;
        }
        case 0x4: {  // directory
            in.skip(entry.dataLength);
            if (parent < 0)
                return failed(name, parentError);
            if (::mkdirat(parent, last.c_str(), entry.mode & 07777) != 0)
                return failed(name, errno);
            directories.emplace_back(target, entry.mtime);
            ::fchownat(parent, last.c_str(), entry.uid, entry.gid, AT_SYMLINK_NOFOLLOW);
            ::fchmodat(parent, last.c_str(), entry.mode & 07777, 0);
            break;
        }
        case 0x2:
        case 0x6: {  // character or block device
            uint8_t number[4];
            if (entry.dataLength != 4 || !in.read(number, sizeof number))
                return broken();
            if (parent < 0)
                return failed(name, parentError);
            if (::mknodat(parent, last.c_str(), entry.mode, dev_t(readLe32(number))) != 0)
                return failed(name, errno);
            package.files.insert(recorded);
            finishNode(parent, last.c_str(), entry);
            break;
        }
        case 0x1: {  // FIFO
            in.skip(entry.dataLength);
            if (parent < 0)
                return failed(name, parentError);
            if (::mkfifoat(parent, last.c_str(), entry.mode & 07777) != 0)
                return failed(name, errno);
            package.files.insert(recorded);
            finishNode(parent, last.c_str(), entry);
            break;
        }
        default:
            return broken();
        }
        repository.showProgressBar(in.position(), total, label);
    }
    if (!in.intact())
        return broken();
    in.stop();

    // Creating entries inside a directory changes its time, so the times are
    // set once everything exists.
    parents.forget();
    for (const auto& [path, mtime] : directories) {
        std::string parentPath, last;
        InstallRoot::split(path, parentPath, last);
        int parent = root.openDirectory(parentPath, false);
        if (parent < 0)
            continue;
        setTimes(parent, last.c_str(), mtime);
        ::close(parent);
    }
    return true;
}
