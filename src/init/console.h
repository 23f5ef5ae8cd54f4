// The console: raw key input, prompts, the welcome banner and the cursor.
#pragma once

#include "init/globals.h"

// Ctrl-C must not discard what the installer has written but the console has
// not shown yet (the terminal's default): the abort's message and the last
// lines before it stay. Sets the console's "no flush" flag.
void keepOutputOnInterrupt();

// Canonical input and echo off, one byte per read; signal keys stay. Does
// nothing when raw mode is already on (the first saved attributes are kept).
void enterRawMode(ConsoleState& state);

// Restores the saved attributes if raw mode is on, and shows the cursor.
void restoreTerminal(ConsoleState& state);

// Reads one key straight from descriptor 0 (not through stdin's buffer, which
// would hold back keys meant for the next prompt). 0 at end of input.
int readKey(unsigned char& key);

// Reads keys until ENTER (or end of input), ringing the bell for every other key.
void waitForEnter();

// Prints "<question> [y/n]:" and waits for y or n (either case), ringing the
// bell for anything else. End of input counts as "no".
bool askYesNo(const char* question);

// Raw mode, hidden cursor, clear screen, the welcome lines; the LCD shows
// its word when there is one.
void showBanner(const char* title);
