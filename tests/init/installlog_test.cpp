// The install log's copy of the console: what a person reads afterwards is
// each line in the state the screen last showed it.
#include "init/installlog.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
    const char* name;
    std::string shown;
    std::string logged;
};

TEST(InstallLog, KeepsEachLineInItsFinalState) {
    const std::string clear = "\r" + std::string(20, ' ') + "\r";
    const Case cases[] = {
        {"plain lines", "Loading drivers\nFound harddrive\n", "Loading drivers\nFound harddrive\n"},
        {"progress dots", "Formatting disk...", "Formatting disk...\n"},
        {"dots then end", "Formatting disk..." + std::string(".....") + "\nnext\n",
         "Formatting disk........\nnext\n"},
        {"bar redrawn in place, then a message over it",
         "\033[?25l\rsystem [###   ]\r\033[?25h\033[?25l\rsystem [######]\r\033[?25h" + clear +
             "installed system-1.0\n\033[?25l\rdhcp [#  ]\r\033[?25h",
         "installed system-1.0\ndhcp [#  ]\n"},
        {"bar cleared at the end leaves nothing", "\rbar [####]" + clear + "Software installed.\n",
         "Software installed.\n"},
        {"cursor and colour codes dropped", "\e[?25l\e[2J\e[HWelcome \e[1mto\e[m it\n", "Welcome to it\n"},
        {"erase line starts afresh", "abc\e[2Kdef\n", "def\n"},
        {"backspace and bell", "abx\bc\a\n", "abc\n"},
        {"shorter redraw keeps the tail", "12345\rab\n", "ab345\n"},
        {"trailing blanks trimmed", "done   \n", "done\n"},
    };
    for (const Case& c : cases) {
        resetInstallLogForTest(4096);
        recordConsoleOutput(c.shown.data(), c.shown.size());
        EXPECT_EQ(installLogText(), c.logged) << c.name;
    }
}

TEST(InstallLog, PausedOutputAndOverflow) {
    resetInstallLogForTest(4096);
    std::string before = "before\n", menu = "\e[3;1H [X] system \e[4;1H [ ] ppp \n", after = "after\n";
    recordConsoleOutput(before.data(), before.size());
    pauseInstallLog(true);
    recordConsoleOutput(menu.data(), menu.size());
    pauseInstallLog(false);
    recordConsoleOutput(after.data(), after.size());
    EXPECT_EQ(installLogText(), "before\nafter\n");

    // 30 bytes hold three lines of 9: the oldest give way and are counted.
    resetInstallLogForTest(30);
    for (int i = 0; i < 5; i++) {
        std::string line = "line " + std::to_string(i) + "..\n";
        recordConsoleOutput(line.data(), line.size());
    }
    EXPECT_EQ(installLogText(), "[2 earlier lines not kept]\nline 2..\nline 3..\nline 4..\n");
    // A line longer than the whole copy keeps its start.
    std::string huge(100, 'x');
    huge += '\n';
    recordConsoleOutput(huge.data(), huge.size());
    EXPECT_EQ(installLogText(), "[5 earlier lines not kept]\n" + std::string(29, 'x') + "\n");
}

}  // namespace
