#include "init/globals.h"

char logDevice[10] = "/dev/tty9";
ConsoleState consoleState;
int lcdFd = -1;
std::atomic<bool> installFinished{false};
