#include "flows/feed.h"

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "init/process.h"
#include "pkg/driver.h"

namespace {

// One block through the child's buffered stream, flushed at once so that a
// child that has stopped reading is noticed at this block and not later.
bool writeBlock(FILE* child, const void* data, size_t size) {
    return std::fwrite(data, size, 1, child) == 1 && std::fflush(child) == 0;
}

// Closes the child's stream and waits for it. A child that was killed or
// crashed has printed no verdict: that must not pass for a package fed. After
// a failed write the bytes still buffered cannot reach it any more; they are
// dropped so that closing succeeds and the child's end can be told.
FeedResult finish(FILE* child, FeedResult result) {
    if (result == FeedResult::writeFailed) __fpurge(child);
    int status = closePipedChild(child);
    if (result != FeedResult::readFailed && status != -1 && !WIFEXITED(status)) return FeedResult::childDied;
    return result;
}

FILE* startChild() {
    // The child is a fork: what still sits in our output buffer would be
    // printed twice.
    std::fflush(stdout);
    return startInstallChild(InstallMode::stream, false);
}

}  // namespace

FeedResult feedPackageFile(const char* path) {
    FILE* child = startChild();
    if (!child) return FeedResult::noChild;
    int fd = open(path, O_RDONLY);
    char buffer[kFeedChunk];
    for (;;) {
        ssize_t got = fd < 0 ? -1 : read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            if (fd >= 0) close(fd);
            return finish(child, FeedResult::readFailed);
        }
        if (got == 0) break;
        if (!writeBlock(child, buffer, size_t(got))) {
            close(fd);
            return finish(child, FeedResult::writeFailed);
        }
    }
    close(fd);
    return finish(child, FeedResult::fed);
}

FeedResult feedPackageData(const unsigned char* data, size_t size) {
    FILE* child = startChild();
    if (!child) return FeedResult::noChild;
    for (size_t done = 0; done < size;) {
        size_t piece = size - done < kFeedChunk ? size - done : kFeedChunk;
        if (!writeBlock(child, data + done, piece)) return finish(child, FeedResult::writeFailed);
        done += piece;
    }
    return finish(child, FeedResult::fed);
}
