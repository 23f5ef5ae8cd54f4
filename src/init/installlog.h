// A readable copy of what the installer shows on its console, kept for the
// installed system's /var/log/install.log. Every line appears in its final
// state: a progress line redrawn in place with "\r" is kept as it was last
// drawn, backspaces are applied, cursor and colour sequences are dropped.
// The copy lives in memory shared with the installer's forked helpers (the
// package install child prints there too) and is bounded: when it is full,
// the oldest lines give way and are counted.
#pragma once

#include <cstddef>
#include <string>

// Bytes of text the copy keeps at most.
constexpr size_t kInstallLogCapacity = 48 * 1024;

// Sets up the shared copy and routes standard output through it: the bytes
// still reach descriptor 1 unchanged (same buffering as before). False if
// the copy cannot be made; the console is left alone then.
bool startInstallLog();

// Records bytes that were written to the console directly (progress dots,
// the interrupt's messages). Only system calls and plain memory: safe in a
// signal handler. A record that meets one in progress is dropped.
void recordConsoleOutput(const char* data, size_t size);

// While paused nothing is recorded (a full-screen menu is not a line).
void pauseInstallLog(bool paused);

// The copy so far: complete lines, then the unfinished line if any; a first
// line says how many earlier lines gave way. Empty when there is no copy.
std::string installLogText();

// For tests: a fresh copy in this process's own memory (not shared, standard
// output untouched) with the given capacity; recordConsoleOutput feeds it.
void resetInstallLogForTest(size_t capacity);
