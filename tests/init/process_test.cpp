// The process runner in the sandbox: fake tools at /sbin/sfdisk, the log
// device redirected to a file that the body can read back.
#include "init/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "sandbox/sandbox.h"

namespace {

// Prints its arguments on standard output, a line on standard error, copies
// its input to /ram/input and exits with the status in /ram/status (if any).
const char kFakeSfdisk[] =
    "#!/bin/sh\n"
    "echo \"args:$*\"\n"
    "echo \"to stderr\" >&2\n"
    "cat > /ram/input\n"
    "[ -f /ram/status ] && exit $(cat /ram/status)\n"
    "exit 0\n";

sandbox::Options runnerOptions(bool withSfdisk = true) {
    sandbox::Options o;
    o.newNetwork = false;
    o.timeoutMs = 60000;
    if (withSfdisk) o.files.push_back({"/sbin/sfdisk", kFakeSfdisk, 0755});
    return o;
}

// Inside the body: tool output goes to a file instead of a console (like a
// console device, it is opened, not created).
void logToFile() {
    sandbox::writeFile("/ram/log", "");
    std::strcpy(logDevice, "/ram/log");
}

bool exitedWith(int status, int code) { return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code; }

std::string slurp(FILE* stream) {
    std::string text;
    char buffer[256];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, stream)) > 0) text.append(buffer, n);
    return text;
}

#define CHECK(cond)                                                   \
    do {                                                              \
        if (!(cond)) {                                                \
            std::printf("failed at line %d: %s\n", __LINE__, #cond); \
            return 1;                                                 \
        }                                                             \
    } while (0)

TEST(Process, RunProgramGivesTheToolNothingButNullInputAndTheLogDevice) {
    auto r = sandbox::run(runnerOptions(), [] {
        logToFile();
        // A descriptor of ours that the tool must not inherit.
        int stray = open("/ram", O_RDONLY | O_DIRECTORY);
        CHECK(stray > 2);
        int status = runProgram(nullptr, "/bin/sh",
                                {"-c", "echo out; echo err >&2; read line; echo read=$?; ls /proc/self/fd; exit 5"});
        CHECK(exitedWith(status, 5));
        // ls has the directory it lists open as descriptor 3, nothing else beyond 0-2.
        CHECK(sandbox::readFile("/ram/log") == "out\nerr\nread=1\n0\n1\n2\n3\n");
        CHECK(exitedWith(runProgram(nullptr, "/sbin/no-such-tool", {}), 127));
        return 0;
    });
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
}

TEST(Process, RunProgramChrootsIntoTheInstalledSystem) {
    auto o = runnerOptions(false);
    // A system in /flash made of the host's tools.
    o.binds.push_back({"/usr", "/flash/usr", true});
    for (const char* top : {"bin", "lib", "lib64", "lib32"}) {
        std::string host = std::string("/") + top;
        struct stat st;
        if (lstat(host.c_str(), &st) != 0) continue;
        if (S_ISLNK(st.st_mode)) {
            char target[256] = {};
            if (readlink(host.c_str(), target, sizeof target - 1) > 0)
                o.symlinks.push_back("/flash/" + std::string(top) + "=" + target);
        } else {
            o.binds.push_back({host, "/flash/" + std::string(top), true});
        }
    }
    auto r = sandbox::run(o, [] {
        logToFile();
        int status = runProgram("/flash", "/bin/sh", {"-c", "echo inside > /marker; exit 4"});
        CHECK(exitedWith(status, 4));
        CHECK(access("/flash/marker", F_OK) == 0);
        CHECK(access("/marker", F_OK) != 0);
        // The program is looked up inside the new root, where there is none.
        CHECK(exitedWith(runProgram("/flash", "/ram/log", {}), 127));
        CHECK(exitedWith(runProgram("/no-such-root", "/bin/sh", {"-c", "exit 0"}), 127));
        return 0;
    });
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
}

TEST(Process, PipedToolOutputIsReadAndItsErrorsGoToTheLogDevice) {
    auto r = sandbox::run(runnerOptions(), [] {
        logToFile();
        sandbox::writeFile("/ram/status", "3");
        FILE* out = openSfdiskOutput({"-g"});
        CHECK(out != nullptr);
        CHECK(pipedChildPid > 0);
        CHECK(slurp(out) == "args:-g\n");
        int status = closePipedChild(out);
        CHECK(exitedWith(status, 3));
        CHECK(pipedChildPid == -1);
        CHECK(sandbox::readFile("/ram/log") == "to stderr\n");
        // Its input was /dev/null.
        CHECK(sandbox::readFile("/ram/input").empty());
        return 0;
    });
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
}

TEST(Process, OnlyOnePipedChildAtATime) {
    auto r = sandbox::run(runnerOptions(), [] {
        logToFile();
        CHECK(closePipedChild(stdin) == -1);  // nothing open: nothing closed
        FILE* first = openSfdiskInput({"-q"});
        CHECK(first != nullptr);
        pid_t busy = pipedChildPid;
        CHECK(openSfdiskOutput({"-g"}) == nullptr);
        CHECK(openSfdiskInput({"-q"}) == nullptr);
        CHECK(pipedChildPid == busy);
        CHECK(exitedWith(closePipedChild(first), 0));
        FILE* second = openSfdiskOutput({"-g"});
        CHECK(second != nullptr);
        slurp(second);
        CHECK(exitedWith(closePipedChild(second), 0));
        return 0;
    });
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
}

TEST(Process, NullMarkerSendsToolOutputToTheLogAndNeverReachesTheTool) {
    auto r = sandbox::run(runnerOptions(), [] {
        logToFile();
        FILE* in = openSfdiskInput({"-q", "-uC", ">null", "/dev/sda"});
        CHECK(in != nullptr);
        std::fputs("0,,83,*\n", in);
        CHECK(exitedWith(closePipedChild(in), 0));
        CHECK(sandbox::readFile("/ram/input") == "0,,83,*\n");
        CHECK(sandbox::readFile("/ram/log") == "args:-q -uC /dev/sda\nto stderr\n");

        // Without the marker the tool talks on the installer's own console.
        sandbox::writeFile("/ram/log", "");
        std::printf("console:");
        std::fflush(stdout);
        in = openSfdiskInput({"-d"});
        CHECK(in != nullptr);
        CHECK(exitedWith(closePipedChild(in), 0));
        CHECK(sandbox::readFile("/ram/log").empty());
        return 0;
    });
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_NE(r.output.find("console:args:-d\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("to stderr\n"), std::string::npos) << r.output;
}

TEST(Process, MissingToolEndsWith127) {
    auto r = sandbox::run(runnerOptions(false), [] {
        logToFile();
        FILE* out = openSfdiskOutput({"-g"});
        CHECK(out != nullptr);
        CHECK(slurp(out).empty());
        CHECK(exitedWith(closePipedChild(out), 127));
        FILE* in = openSfdiskInput({"-q"});
        CHECK(in != nullptr);
        CHECK(exitedWith(closePipedChild(in), 127));
        return 0;
    });
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
}

void sleepSeconds(double seconds) {
    timespec left{static_cast<time_t>(seconds), static_cast<long>((seconds - static_cast<time_t>(seconds)) * 1e9)};
    // The dots interrupt the sleep once a second.
    while (nanosleep(&left, &left) != 0) {
    }
}

TEST(Process, ProgressWritesAboutOneDotASecondUntilStopped) {
    auto r = sandbox::run(runnerOptions(false), [] {
        startProgress("Working...");
        sleepSeconds(3.2);
        stopProgress();
        sleepSeconds(2.5);
        std::printf("end\n");
        return 0;
    });
    ASSERT_TRUE(r.exited) << r.output;
    const std::string& out = r.output;
    ASSERT_EQ(out.rfind("Working...", 0), 0u) << out;
    size_t newline = out.find('\n');
    ASSERT_NE(newline, std::string::npos) << out;
    std::string dots = out.substr(10, newline - 10);
    EXPECT_EQ(dots.find_first_not_of('.'), std::string::npos) << out;
    EXPECT_GE(dots.size(), 2u) << out;
    EXPECT_LE(dots.size(), 4u) << out;
    EXPECT_EQ(out.substr(newline), "\nend\n") << "no dot after the step ended: " << out;
}

}  // namespace
