// Console helpers that only use system calls, for the interrupt handler,
// which may run while the main program is inside stdio.
#pragma once

#include "init/globals.h"

void writeText(const char* text);
void waitForEnterUnbuffered();
void restoreTerminalUnbuffered(ConsoleState& state);
