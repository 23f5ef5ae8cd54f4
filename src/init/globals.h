// The few values that the whole installer shares. They are set up at start-up
// and read everywhere else; a flow may set `installFinished` itself.
#pragma once

#include <termios.h>

#include <atomic>

// Terminal attributes of standard input, saved when raw mode is entered.
struct ConsoleState {
    termios saved{};
    int raw = 0;  // 1 while raw mode is on
};

// Where external tools send their output: "/dev/tty9", or "/dev/null" on a
// serial console where nobody could read it.
extern char logDevice[10];

extern ConsoleState consoleState;

// Open handle of "/dev/lcd" on machines with a front-panel display, else -1.
extern int lcdFd;

// Set once the installation has come to its end; from then on Ctrl-C is
// ignored. Read by the interrupt handler, hence atomic.
extern std::atomic<bool> installFinished;
