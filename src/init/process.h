// Running external tools: plain runs with their output on the log device,
// one tool at a time connected by a pipe, and the progress dots.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>
#include <vector>

#include "init/globals.h"

// Process id of the one child connected by a pipe, or -1. Whoever starts such
// a child (also the package install child) stores its id here and must end it
// with closePipedChild() before another can start.
extern pid_t pipedChildPid;

// Runs path with args (argv[0] is path), standard input from /dev/null and
// output to the log device, chrooted into root when root is not null.
// Returns the raw wait status (127 exit status if the program could not be
// run), or -1 if fork or waitpid failed.
int runProgram(const char* root, const char* path, const std::vector<std::string>& args);

// Starts "/sbin/sfdisk" with args and returns its standard output to read,
// or null (also while another piped child is open).
FILE* openSfdiskOutput(const std::vector<std::string>& args);

// Starts "/sbin/sfdisk" with args and returns a stream to its standard input,
// or null. The marker ">null" among args is not passed on: it sends the
// tool's output to the log device instead of the console.
FILE* openSfdiskInput(const std::vector<std::string>& args);

// Closes the piped child's stream and waits for it: the raw wait status, or
// -1 if no piped child is open or closing or waiting failed.
int closePipedChild(FILE* stream);

// Waits for pid, repeating on EINTR: the raw wait status, or -1.
int waitForChild(pid_t pid);

// Prints message (no newline) and then one dot per second until stopProgress.
void startProgress(const char* message);
void stopProgress();
