// The console functions on a real pseudo terminal: the sandbox gives the body
// a pty as its standard streams, the test types keys and reads the screen.
#include "init/console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "sandbox/sandbox.h"

namespace {

sandbox::Options consoleOptions() {
    sandbox::Options o;
    o.console = true;
    o.newNetwork = false;
    o.systemTmpfs = false;
    o.timeoutMs = 30000;
    return o;
}

// Starts body on the pty and returns the sandbox for the test to drive.
std::unique_ptr<sandbox::Sandbox> startOnConsole(std::function<int()> body) {
    std::fflush(nullptr);  // nothing of ours may come out of the child's copy of stdio
    auto s = std::make_unique<sandbox::Sandbox>(consoleOptions());
    EXPECT_TRUE(s->start(std::move(body)));
    return s;
}

// The body puts the terminal into raw mode and signals with "READY" that keys
// may come (raw mode discards what was typed before it).
int readyInRawMode() {
    enterRawMode(consoleState);
    std::fputs("READY", stdout);
    std::fflush(stdout);
    return 0;
}

TEST(Console, AskYesNoAcceptsEitherCaseAndRingsForOtherKeys) {
    auto s = startOnConsole([] {
        readyInRawMode();
        bool first = askYesNo("Keep the old configuration?");
        bool second = askYesNo("Continue?");
        return (first ? 1 : 0) | (second ? 2 : 0);
    });
    ASSERT_TRUE(s->waitFor("READY"));
    s->markSeen();
    s->send("Y");
    ASSERT_TRUE(s->waitFor("Continue?"));
    // A digit, an arrow key (three bytes) and another letter: five bells, no echo.
    s->send("1\e[Ax");
    s->drain(300);
    s->send("n");
    auto r = s->wait();
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.output.find("READYKeep the old configuration? [y/n]:y\r\n"
                            "Continue? [y/n]:\a\a\a\a\an\r\n"),
              std::string::npos)
        << r.output;
}

TEST(Console, AskYesNoAtEndOfInputAnswersNo) {
    auto r = sandbox::run(consoleOptions(), [] {
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        return askYesNo("Continue?") ? 1 : 0;
    });
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0);
}

TEST(Console, WaitForEnterRingsForEveryOtherKeyAndEchoesNothing) {
    auto s = startOnConsole([] {
        readyInRawMode();
        waitForEnter();
        std::fputs("DONE", stdout);
        return 0;
    });
    ASSERT_TRUE(s->waitFor("READY"));
    s->send("abc");
    s->drain(300);
    EXPECT_FALSE(s->finished());
    s->send("\r");  // ENTER arrives as a newline
    auto r = s->wait();
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_NE(r.output.find("READY\a\a\aDONE"), std::string::npos) << r.output;
}

TEST(Console, RawModeIsEnteredOnceAndRestored) {
    auto r = sandbox::run(consoleOptions(), [] {
        termios before, raw, again, after;
        tcgetattr(0, &before);
        enterRawMode(consoleState);
        tcgetattr(0, &raw);
        // A second call must keep the attributes saved by the first one.
        enterRawMode(consoleState);
        tcgetattr(0, &again);
        std::fputs("<", stdout);
        restoreTerminal(consoleState);
        std::fputs(">", stdout);
        std::fflush(stdout);
        tcgetattr(0, &after);
        int bad = 0;
        if (raw.c_lflag & (ICANON | ECHO)) bad |= 1;
        if (!(raw.c_lflag & ISIG)) bad |= 2;  // Ctrl-C still works
        if (raw.c_cc[VMIN] != 1 || raw.c_cc[VTIME] != 0) bad |= 4;
        if (raw.c_iflag != before.c_iflag || raw.c_oflag != before.c_oflag) bad |= 8;
        if (again.c_lflag != raw.c_lflag) bad |= 16;
        if (after.c_lflag != before.c_lflag || after.c_cc[VMIN] != before.c_cc[VMIN]) bad |= 32;
        if (consoleState.raw != 0) bad |= 64;
        return bad;
    });
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_NE(r.output.find("<\e[?25h>"), std::string::npos) << r.output;
}

TEST(Console, RestoreWithoutRawModeOnlyShowsTheCursor) {
    auto r = sandbox::run(consoleOptions(), [] {
        termios before, after;
        tcgetattr(0, &before);
        std::fputs("<", stdout);
        restoreTerminal(consoleState);
        std::fputs(">", stdout);
        std::fflush(stdout);
        tcgetattr(0, &after);
        return after.c_lflag == before.c_lflag ? 0 : 1;
    });
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_NE(r.output.find("<\e[?25h>"), std::string::npos) << r.output;
}

TEST(Console, BannerClearsTheScreenAndShowsTheWordOnTheLcd) {
    auto r = sandbox::run(consoleOptions(), [] {
        int lcd[2];
        if (pipe(lcd) != 0) return 100;
        lcdFd = lcd[1];
        std::fputs("<", stdout);
        showBanner("remote installation");
        close(lcd[1]);
        char word[32] = {};
        ssize_t n = read(lcd[0], word, sizeof word - 1);
        termios now;
        tcgetattr(0, &now);
        if (now.c_lflag & ECHO) return 101;  // the banner leaves the console in raw mode
        return n == 10 && std::string(word) == "castdeploy" ? 0 : 102;
    });
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_NE(r.output.find("<\e[?25l\e[2J\e[HWelcome to Tarnwick Router Software remote installation\r\n"
                            "Press Ctrl-Alt-Delete to abort\r\n"),
              std::string::npos)
        << r.output;
}

TEST(Console, BannerWithoutLcdOnlyWritesTheScreen) {
    auto r = sandbox::run(consoleOptions(), [] {
        lcdFd = -1;
        showBanner("hard disk installation");
        return 0;
    });
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_NE(r.output.find("Welcome to Tarnwick Router Software hard disk installation\r\n"), std::string::npos);
}

}  // namespace
