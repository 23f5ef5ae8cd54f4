// Feeding one package file to its own install child, from a file or from memory.
#pragma once

#include <cstddef>

constexpr size_t kFeedChunk = 4096;

enum class FeedResult {
    fed,          // everything written; the child has ended
    noChild,      // no install child could be started
    readFailed,   // the file could not be opened or read
    writeFailed,  // the child stopped taking the bytes (it refused the package)
    childDied,    // the child did not end by itself (killed, crashed): it could not say how it fared
};

// Starts a stream-mode install child, copies the file into it in blocks of
// kFeedChunk bytes and waits for the child. The child's own verdict is on the
// console; only a child that stops reading or that does not end by itself
// counts as a failure here.
FeedResult feedPackageFile(const char* path);

// The same for a package held in memory.
FeedResult feedPackageData(const unsigned char* data, size_t size);
