// The install child: a process that reads one package file from a pipe and
// installs it, printing its own messages and progress line.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>

enum class InstallMode : int {
    driver = 0,  // one package into the running environment, quietly, checked before anything is written
    stream = 1,  // a package file (also a bundle) into "/flash", with a copy kept in "/flash/image"
};

// A driver-mode package is read whole before it is checked; larger ones are refused.
inline constexpr size_t kDriverPackageLimit = 64u << 20;

// Starts the child and returns the stream to write the package file into, or
// null (also while another piped child runs). End it with closePipedChild().
FILE* startInstallChild(InstallMode mode, bool quiet);

// The child's routine: 0 when the package was installed.
int runInstallChild(InstallMode mode, bool quiet);

// For tools: like startInstallChild, but `prepare` runs in the child first
// (false ends it with status 2), and the child exits with runInstallChild's
// result as its status (0 installed, 1 otherwise).
FILE* startInstallChildWith(InstallMode mode, bool quiet, const std::function<bool()>& prepare);

// When set, runs in every install child before anything else (tests hold a
// child there, with its input waiting in the pipe, to end it at a known point).
extern void (*installChildPrelude)();
