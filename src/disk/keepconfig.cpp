#include "disk/keepconfig.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "disk/partition.h"
#include "init/process.h"

TreeChunk* newTreeChunk(int32_t capacity) {
    void* memory = std::malloc(sizeof(TreeChunk) + size_t(capacity));
    if (!memory) return nullptr;
    auto* chunk = static_cast<TreeChunk*>(memory);
    chunk->magic = kTreeChunkMagic;
    chunk->end = capacity;
    chunk->cursor = 0;
    chunk->next = nullptr;
    chunk->data = reinterpret_cast<unsigned char*>(chunk + 1);
    return chunk;
}

void freeTreeChunks(TreeChunk* chunk) {
    while (chunk) {
        TreeChunk* next = chunk->next;
        chunk->magic = 0;
        std::free(chunk);
        chunk = next;
    }
}

bool SavedTree::start() {
    clear();
    first = last = newTreeChunk(kTreeChunkSize);
    return first != nullptr;
}

void SavedTree::complete() {
    if (!last) return;
    last->end = last->cursor;
    last->cursor = 0;
}

void SavedTree::clear() {
    freeTreeChunks(first);
    first = last = nullptr;
}

namespace {

// Closes the current chunk and appends a fresh one of the given capacity.
bool appendChunk(TreeChunk*& current, int32_t capacity) {
    TreeChunk* next = newTreeChunk(capacity);
    if (!next) return false;
    current->end = current->cursor;
    current->cursor = 0;
    current->next = next;
    current = next;
    return true;
}

int32_t freeSpace(const TreeChunk* chunk) { return chunk->end - chunk->cursor; }

bool appendBytes(TreeChunk*& current, const void* bytes, size_t length) {
    auto* p = static_cast<const unsigned char*>(bytes);
    while (length > 0) {
        if (freeSpace(current) == 0 && !appendChunk(current, kTreeChunkSize)) return false;
        size_t n = std::min(length, size_t(freeSpace(current)));
        std::memcpy(current->data + current->cursor, p, n);
        current->cursor += int32_t(n);
        p += n;
        length -= n;
    }
    return true;
}

// A path is never split, so that writing back can use it where it lies.
bool appendPath(TreeChunk*& current, const std::string& path) {
    int32_t length = int32_t(path.size() + 1);
    if (length > freeSpace(current) && !appendChunk(current, length)) return false;
    std::memcpy(current->data + current->cursor, path.c_str(), size_t(length));
    current->cursor += length;
    return true;
}

SavedStatus toSaved(const struct stat& st) {
    SavedStatus saved{};
    saved.mode = st.st_mode;
    saved.uid = st.st_uid;
    saved.gid = st.st_gid;
    saved.size = uint64_t(st.st_size);
    saved.atimeSec = st.st_atim.tv_sec;
    saved.atimeNsec = st.st_atim.tv_nsec;
    saved.mtimeSec = st.st_mtim.tv_sec;
    saved.mtimeNsec = st.st_mtim.tv_nsec;
    return saved;
}

bool appendRecord(TreeChunk*& current, const std::string& path, const struct stat& st) {
    SavedStatus saved = toSaved(st);
    return appendPath(current, path) && appendBytes(current, &saved, sizeof saved);
}

// What saving an entry came to: kept, left out (it could not be read; the
// rest of the tree is kept), or no memory (nothing can be kept).
enum class Saved { kept, skipped, noMemory };

// Where the stream stood before an entry, so that an entry that cannot be
// read whole leaves nothing of itself behind.
struct StreamMark {
    TreeChunk* chunk;
    int32_t used;
    int32_t capacity;
};

StreamMark markStream(TreeChunk* current) { return {current, current->cursor, current->end}; }

void rewindStream(TreeChunk*& current, const StreamMark& mark) {
    freeTreeChunks(mark.chunk->next);
    mark.chunk->next = nullptr;
    mark.chunk->cursor = mark.used;
    mark.chunk->end = mark.capacity;
    current = mark.chunk;
}

// The entries left out, named as the installed system sees them; they are
// reported once the progress line has ended.
std::vector<std::string>* skippedEntries = nullptr;

Saved skip(TreeChunk*& current, const StreamMark& mark, const std::string& path) {
    rewindStream(current, mark);
    if (skippedEntries) skippedEntries->push_back(path);
    return Saved::skipped;
}

Saved saveFile(TreeChunk*& current, const std::string& path, const struct stat& st) {
    const StreamMark mark = markStream(current);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return skip(current, mark, path);
    if (!appendRecord(current, path, st)) {
        close(fd);
        return Saved::noMemory;
    }
    uint64_t total = 0;
    bool readFailed = false;
    for (;;) {
        if (freeSpace(current) == 0 && !appendChunk(current, kTreeChunkSize)) {
            close(fd);
            return Saved::noMemory;
        }
        ssize_t n = read(fd, current->data + current->cursor, size_t(freeSpace(current)));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) readFailed = true;
        if (n <= 0) break;
        current->cursor += int32_t(n);
        total += uint64_t(n);
    }
    close(fd);
    // A file that changed size while it was read would not restore as it was.
    if (readFailed || total != uint64_t(st.st_size)) return skip(current, mark, path);
    return Saved::kept;
}

using Ancestors = std::vector<std::pair<dev_t, ino_t>>;

Saved saveEntry(TreeChunk*& current, const std::string& path, Ancestors& ancestors) {
    const StreamMark mark = markStream(current);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return skip(current, mark, path);
    if (S_ISREG(st.st_mode)) return saveFile(current, path, st);
    if (!S_ISDIR(st.st_mode)) return Saved::kept;

    // Links are followed; one that leads back to a directory above it would
    // be followed for ever. Such a link is left out, the rest is kept.
    for (const auto& [dev, ino] : ancestors)
        if (dev == st.st_dev && ino == st.st_ino) return Saved::kept;

    DIR* dir = opendir(path.c_str());
    if (!dir) return skip(current, mark, path);
    if (!appendRecord(current, path, st)) {
        closedir(dir);
        return Saved::noMemory;
    }
    ancestors.emplace_back(st.st_dev, st.st_ino);
    Saved result = Saved::kept;
    for (;;) {
        errno = 0;
        dirent* entry = readdir(dir);
        if (!entry) {
            // A listing that breaks off keeps what was read of it.
            if (errno != 0 && skippedEntries) skippedEntries->push_back(path);
            break;
        }
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        if (saveEntry(current, path + "/" + entry->d_name, ancestors) == Saved::noMemory) {
            result = Saved::noMemory;
            break;
        }
    }
    ancestors.pop_back();
    closedir(dir);
    return result;
}

// Reads the completed chain in order.
struct ChainReader {
    TreeChunk* chunk;

    // Moves to the next chunk with unread bytes; false at the end of the stream.
    bool skipSpent() {
        while (chunk && chunk->cursor >= chunk->end) chunk = chunk->next;
        return chunk != nullptr;
    }

    bool read(void* out, uint64_t length) {
        auto* p = static_cast<unsigned char*>(out);
        while (length > 0) {
            if (!skipSpent()) return false;
            size_t n = size_t(std::min<uint64_t>(length, uint64_t(chunk->end - chunk->cursor)));
            std::memcpy(p, chunk->data + chunk->cursor, n);
            chunk->cursor += int32_t(n);
            p += n;
            length -= n;
        }
        return true;
    }

    bool copyTo(int fd, uint64_t length) {
        while (length > 0) {
            if (!skipSpent()) return false;
            size_t n = size_t(std::min<uint64_t>(length, uint64_t(chunk->end - chunk->cursor)));
            if (write(fd, chunk->data + chunk->cursor, n) != ssize_t(n)) return false;
            chunk->cursor += int32_t(n);
            length -= n;
        }
        return true;
    }
};

// Access and modification times as utimensat takes them.
bool setTimes(const char* path, const SavedStatus& saved) {
    timespec times[2];
    times[0].tv_sec = static_cast<time_t>(saved.atimeSec);
    times[0].tv_nsec = static_cast<long>(saved.atimeNsec);
    times[1].tv_sec = static_cast<time_t>(saved.mtimeSec);
    times[1].tv_nsec = static_cast<long>(saved.mtimeNsec);
    return utimensat(AT_FDCWD, path, times, 0) == 0;
}

bool restoreFile(ChainReader& reader, const char* path, const SavedStatus& saved) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    if (!reader.copyTo(fd, saved.size)) {
        close(fd);
        return false;
    }
    fchmod(fd, saved.mode & 07777);
    if (fchown(fd, saved.uid, saved.gid) != 0) {
        // Ownership is kept where the file system allows; the contents matter more.
    }
    close(fd);
    setTimes(path, saved);
    return true;
}

bool restoreDirectory(const char* path, const SavedStatus& saved) {
    if (mkdir(path, 0700) != 0) return false;
    chmod(path, saved.mode & 07777);
    if (chown(path, saved.uid, saved.gid) != 0) {
        // As for files.
    }
    setTimes(path, saved);
    return true;
}

}  // namespace

bool saveTree(TreeChunk*& current, const char* path) {
    std::vector<std::string> skipped;
    return saveTreeSkipping(current, path, skipped) && skipped.empty();
}

bool saveTreeSkipping(TreeChunk*& current, const char* path, std::vector<std::string>& skipped) {
    Ancestors ancestors;
    skippedEntries = &skipped;
    Saved result = saveEntry(current, path, ancestors);
    skippedEntries = nullptr;
    // The store itself must be readable: without it nothing is kept.
    return result == Saved::kept || (result == Saved::skipped && skipped.front() != path);
}

bool restoreTree(TreeChunk* first) {
    ChainReader reader{first};
    while (reader.skipSpent()) {
        TreeChunk* chunk = reader.chunk;
        const char* path = reinterpret_cast<const char*>(chunk->data + chunk->cursor);
        auto* nul = static_cast<const unsigned char*>(
            std::memchr(chunk->data + chunk->cursor, 0, size_t(chunk->end - chunk->cursor)));
        if (!nul) return false;  // not a stream this program wrote
        chunk->cursor = int32_t(nul + 1 - chunk->data);

        SavedStatus saved;
        if (!reader.read(&saved, sizeof saved)) return false;
        if (S_ISREG(saved.mode)) {
            if (!restoreFile(reader, path, saved)) return false;
        } else if (S_ISDIR(saved.mode)) {
            if (!restoreDirectory(path, saved)) return false;
        }
    }
    return true;
}

namespace {
bool restoredInPart = false;
}

KeepResult readOldConfiguration(const Installer& installer, SavedTree& tree) {
    tree.clear();
    if (!mountSystem(installer, false)) {
        std::puts("WARNING: couldn't keep config - couldn't mount file system");
        return KeepResult::nothing;
    }
    struct stat st;
    const char* path = nullptr;
    if (stat("/flash/lumo/store", &st) == 0) path = "/flash/lumo/store";
    else if (lstat("/flash/rw/store", &st) == 0) path = "/flash/rw/store";

    KeepResult result = KeepResult::nothing;
    if (path) {
        std::vector<std::string> skipped;
        startProgress("Reading old configuration...");
        if (tree.start()) {
            if (saveTreeSkipping(tree.last, path, skipped)) tree.complete();
            else tree.clear();
        }
        stopProgress();
        // What could not be read is named, the rest is kept.
        for (const std::string& entry : skipped)
            if (entry != path)
                std::printf("WARNING: couldn't keep %s - could not read it\n", entry.c_str() + std::strlen("/flash"));
        if (tree.empty()) {
            std::puts("ERROR: couldn't keep config - probably not enough memory");
            result = KeepResult::failed;
        } else {
            result = KeepResult::saved;
        }
    }
    umount("/flash/boot");
    umount("/flash");
    return result;
}

void writeBackConfiguration(SavedTree& tree) {
    startProgress("Writing back old configuration...");
    bool ok = tree.first && tree.first->magic == kTreeChunkMagic && restoreTree(tree.first);
    tree.clear();
    stopProgress();
    if (!ok) std::puts("ERROR: couldn't write old configuration - proboably not enough space on the disk");
    restoredInPart = !ok;
}

bool configurationRestoredInPart() { return restoredInPart; }

void reportKeptConfiguration() {
    if (restoredInPart) std::puts("WARNING: the old configuration was restored only in part");
}
