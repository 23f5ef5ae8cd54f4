#include "init/installlog.h"

#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

constexpr size_t kLineWidth = 240;  // longer lines are broken here

struct LogState {
    int busy;     // set while one writer updates the state
    int paused;
    size_t capacity;
    size_t used;        // bytes of complete lines in text
    unsigned dropped;   // lines that gave way
    size_t lineLength;  // the line being drawn
    size_t column;
    int escape;  // 0 text, 1 after ESC, 2 inside a control sequence
    char line[kLineWidth];
    char text[1];  // capacity bytes
};

LogState* state = nullptr;
bool stateOnHeap = false;  // a test's copy, freed by the next reset

bool lock() {
    // One writer at a time; a signal handler that meets a writer of its own
    // process must not wait for it, so after a few tries the record is dropped.
    for (int tries = 0; tries < 100; ++tries) {
        if (__atomic_exchange_n(&state->busy, 1, __ATOMIC_ACQUIRE) == 0) return true;
        sched_yield();
    }
    return false;
}

void unlock() { __atomic_store_n(&state->busy, 0, __ATOMIC_RELEASE); }

void commitLine() {
    size_t length = state->lineLength;
    while (length > 0 && state->line[length - 1] == ' ') --length;
    size_t need = length + 1;
    if (need > state->capacity) need = state->capacity, length = need - 1;
    if (state->used + need > state->capacity) {
        // The oldest lines give way.
        size_t cut = 0;
        while (state->used - cut + need > state->capacity) {
            const char* newline =
                static_cast<const char*>(std::memchr(state->text + cut, '\n', state->used - cut));
            cut = newline ? size_t(newline - state->text) + 1 : state->used;
            ++state->dropped;
        }
        std::memmove(state->text, state->text + cut, state->used - cut);
        state->used -= cut;
    }
    std::memcpy(state->text + state->used, state->line, length);
    state->text[state->used + length] = '\n';
    state->used += length + 1;
    state->lineLength = 0;
    state->column = 0;
}

void take(unsigned char c) {
    if (state->escape == 1) {
        state->escape = c == '[' ? 2 : 0;
        return;
    }
    if (state->escape == 2) {
        if (c >= 0x40 && c <= 0x7e) {
            state->escape = 0;
            // Clearing the line or the screen starts the line afresh.
            if (c == 'K' || c == 'J') state->lineLength = state->column = 0;
        }
        return;
    }
    switch (c) {
    case 27:
        state->escape = 1;
        return;
    case '\n':
        commitLine();
        return;
    case '\r':
        state->column = 0;
        return;
    case '\b':
        if (state->column > 0) --state->column;
        return;
    case '\t':
        break;
    default:
        if (c < 0x20 || c == 0x7f) return;  // the bell and other controls
    }
    if (state->column >= kLineWidth) commitLine();
    state->line[state->column++] = char(c);
    if (state->column > state->lineLength) state->lineLength = state->column;
}

ssize_t writeThrough(void*, const char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(1, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += size_t(n);
    }
    recordConsoleOutput(data, done);
    return done == 0 && size > 0 ? -1 : ssize_t(done);
}

LogState* makeState(size_t capacity, bool shared) {
    size_t bytes = sizeof(LogState) + capacity;
    void* memory;
    if (shared) {
        memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) return nullptr;
    } else {
        memory = ::operator new(bytes, std::nothrow);
        if (!memory) return nullptr;
    }
    std::memset(memory, 0, sizeof(LogState));
    LogState* made = static_cast<LogState*>(memory);
    made->capacity = capacity;
    return made;
}

}  // namespace

bool startInstallLog() {
    if (state) return true;
    LogState* made = makeState(kInstallLogCapacity, true);
    if (!made) return false;
    cookie_io_functions_t functions{};
    functions.write = writeThrough;
    FILE* through = fopencookie(nullptr, "w", functions);
    if (!through) {
        munmap(made, sizeof(LogState) + kInstallLogCapacity);
        return false;
    }
    // The buffering stdio would have chosen for descriptor 1 itself.
    struct stat info;
    size_t block = fstat(1, &info) == 0 && info.st_blksize > 0 ? size_t(info.st_blksize) : BUFSIZ;
    setvbuf(through, nullptr, isatty(1) ? _IOLBF : _IOFBF, block);
    std::fflush(stdout);
    state = made;
    stdout = through;
    return true;
}

void recordConsoleOutput(const char* data, size_t size) {
    if (!state || state->paused || !lock()) return;
    for (size_t i = 0; i < size; ++i) take(static_cast<unsigned char>(data[i]));
    unlock();
}

void pauseInstallLog(bool paused) {
    if (!state) return;
    std::fflush(stdout);
    state->paused = paused;
}

std::string installLogText() {
    std::string text;
    if (!state) return text;
    std::fflush(stdout);
    if (!lock()) return text;
    if (state->dropped) text += "[" + std::to_string(state->dropped) + " earlier lines not kept]\n";
    text.append(state->text, state->used);
    size_t length = state->lineLength;
    while (length > 0 && state->line[length - 1] == ' ') --length;
    if (length) text.append(state->line, length).push_back('\n');
    unlock();
    return text;
}

void resetInstallLogForTest(size_t capacity) {
    if (stateOnHeap) ::operator delete(state);
    state = makeState(capacity, false);
    stateOnHeap = state != nullptr;
}
