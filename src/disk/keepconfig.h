// Carrying the old configuration tree across a re-installation: the tree is
// read into memory before the disk is erased and written back afterwards.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "disk/installer.h"

constexpr uint32_t kTreeChunkMagic = 0x5A0937EB;
constexpr int32_t kTreeChunkSize = 16000;

// One piece of the saved byte stream. The chain of chunks holds records of
// path (NUL-terminated, never split), status record, and file contents.
struct TreeChunk {
    uint32_t magic;
    int32_t end;      // capacity while filling; number of data bytes once complete
    int32_t cursor;   // bytes used while filling; read position once complete
    TreeChunk* next;
    unsigned char* data;  // `end` bytes that follow the header in the same allocation
};

// The status of a saved file or directory as it travels in the stream.
struct SavedStatus {
    uint32_t mode;
    uint32_t uid;
    uint32_t gid;
    uint32_t reserved;
    uint64_t size;
    int64_t atimeSec;
    int64_t atimeNsec;
    int64_t mtimeSec;
    int64_t mtimeNsec;
    unsigned char unused[32];
};
static_assert(sizeof(SavedStatus) == 88);

// The chain of a saved tree; owns its chunks.
struct SavedTree {
    TreeChunk* first = nullptr;
    TreeChunk* last = nullptr;

    SavedTree() = default;
    SavedTree(const SavedTree&) = delete;
    SavedTree& operator=(const SavedTree&) = delete;
    ~SavedTree() { clear(); }

    bool start();      // the first chunk; false without memory
    void complete();   // ends filling: end = used, cursor = 0 for the last chunk
    void clear();      // frees every chunk (their magic cleared)
    bool empty() const { return first == nullptr; }
};

TreeChunk* newTreeChunk(int32_t capacity);
void freeTreeChunks(TreeChunk* first);

// Records path and everything under it after `current`, appending chunks as
// needed (current follows the last one). False if any of it cannot be read.
bool saveTree(TreeChunk*& current, const char* path);
// The same, but an entry that cannot be read (a dangling link, an unreadable
// file or directory, a file that changes size) is left out and its path added
// to `skipped`; the rest is kept. False only without memory, or when `path`
// itself cannot be read.
bool saveTreeSkipping(TreeChunk*& current, const char* path, std::vector<std::string>& skipped);

// Recreates every record of a completed chain; false at the first failure.
bool restoreTree(TreeChunk* first);

// The reading step of a re-installation: mounts the old system, saves its
// store (warning about entries that cannot be read), unmounts. `failed`: there
// is a store but it could not be saved at all (the error is printed; the disk
// must not be changed); `nothing`: no old system or no store; `saved`: `tree`
// holds it.
enum class KeepResult { nothing, saved, failed };
KeepResult readOldConfiguration(const Installer& installer, SavedTree& tree);

// The writing step: restores the tree into the new system and frees it.
// Reports its own failure.
void writeBackConfiguration(SavedTree& tree);

// Whether the last writing step stopped part-way; the flows' last lines say
// so (reportKeptConfiguration prints the line when it did).
bool configurationRestoredInPart();
void reportKeptConfiguration();
