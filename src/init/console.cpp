#include "init/console.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "init/console_internal.h"
#include "init/installlog.h"

namespace {

void writeAll(const char* text, size_t length) {
    while (length > 0) {
        ssize_t n = write(1, text, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text += n;
        length -= n;
    }
}

const char kBell = '\a';
const char kShowCursor[] = "\e[?25h";

}  // namespace

int readKey(unsigned char& key) {
    for (;;) {
        ssize_t n = read(0, &key, 1);
        if (n == 1) return 1;
        if (n < 0 && errno == EINTR) continue;
        return 0;
    }
}

void writeText(const char* text) {
    size_t length = std::strlen(text);
    writeAll(text, length);
    recordConsoleOutput(text, length);
}

void waitForEnterUnbuffered() {
    unsigned char key;
    while (readKey(key) && key != '\n') writeAll(&kBell, 1);
}

void restoreTerminalUnbuffered(ConsoleState& state) {
    if (state.raw) {
        tcsetattr(0, TCSAFLUSH, &state.saved);
        state.raw = 0;
    }
    writeText(kShowCursor);
}

void keepOutputOnInterrupt() {
    termios modes;
    if (tcgetattr(0, &modes) != 0 || (modes.c_lflag & NOFLSH)) return;
    modes.c_lflag |= NOFLSH;
    tcsetattr(0, TCSANOW, &modes);
}

void enterRawMode(ConsoleState& state) {
    if (state.raw) return;
    tcgetattr(0, &state.saved);
    termios raw = state.saved;
    raw.c_lflag &= ~(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(0, TCSAFLUSH, &raw);
    state.raw = 1;
}

void restoreTerminal(ConsoleState& state) {
    std::fflush(stdout);
    restoreTerminalUnbuffered(state);
}

void waitForEnter() {
    std::fflush(stdout);
    waitForEnterUnbuffered();
}

bool askYesNo(const char* question) {
    std::printf("%s [y/n]:", question);
    for (;;) {
        std::fflush(stdout);
        unsigned char key;
        if (!readKey(key)) {
            // Nobody can answer any more: take the answer that changes nothing.
            std::putchar('\n');
            std::fflush(stdout);
            return false;
        }
        if (std::isalpha(key)) {
            int lower = std::tolower(key);
            if (lower == 'y' || lower == 'n') {
                std::printf("%c\n", lower);
                std::fflush(stdout);
                return lower == 'y';
            }
        }
        std::putchar(kBell);
    }
}

void showBanner(const char* title) {
    enterRawMode(consoleState);
    std::fputs("\e[?25l", stdout);
    std::fputs("\e[2J\e[H", stdout);
    std::printf("Welcome to Tarnwick Router Software %s\n", title);
    std::puts("Press Ctrl-Alt-Delete to abort");
    std::fflush(stdout);
    if (lcdFd != -1) {
        // The display shows a fixed word; a write error changes nothing.
        static const char word[] = "castdeploy";
        if (write(lcdFd, word, sizeof word - 1) < 0) {
        }
    }
}
