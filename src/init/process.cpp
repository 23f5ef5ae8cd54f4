#include "init/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "init/installlog.h"

pid_t pipedChildPid = -1;

namespace {

const char kSfdisk[] = "/sbin/sfdisk";

// argv for execv: path first, the caller's arguments, a null at the end. The
// strings stay owned by the caller's vector.
std::vector<char*> buildArgv(const char* path, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(const_cast<char*>(path));
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    return argv;
}

// Children must not keep the installer's other descriptors (a pipe end kept
// open would hide end-of-file from the tool on the other side).
void closeFrom(int first) {
    if (syscall(SYS_close_range, first, ~0u, 0) == 0) return;
    for (int fd = first; fd < 1024; fd++) close(fd);
}

// Makes fd refer to path opened with flags. If path cannot be opened, fd
// refers to /dev/null instead: a standard descriptor left closed would be
// taken by the tool's next open() and its output would land in that file.
void openAs(int fd, const char* path, int flags) {
    int opened = open(path, flags);
    if (opened < 0) opened = open("/dev/null", flags);
    if (opened < 0 || opened == fd) return;
    dup2(opened, fd);
    close(opened);
}

void onAlarm(int) {
    int saved = errno;
    if (write(1, ".", 1) == 1) recordConsoleOutput(".", 1);
    alarm(1);
    errno = saved;
}

}  // namespace

int waitForChild(pid_t pid) {
    int status;
    for (;;) {
        if (waitpid(pid, &status, 0) == pid) return status;
        if (errno != EINTR) return -1;
    }
}

int runProgram(const char* root, const char* path, const std::vector<std::string>& args) {
    std::vector<char*> argv = buildArgv(path, args);
    std::fflush(stdout);  // keep the console's order
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        closeFrom(0);
        openAs(0, "/dev/null", O_RDONLY);
        openAs(1, logDevice, O_WRONLY);
        dup2(1, 2);
        if (root && chroot(root) != 0) _exit(127);
        execv(path, argv.data());
        _exit(127);
    }
    return waitForChild(pid);
}

FILE* openSfdiskOutput(const std::vector<std::string>& args) {
    if (pipedChildPid != -1) return nullptr;
    std::vector<char*> argv = buildArgv(kSfdisk, args);
    int fds[2];
    if (pipe(fds) != 0) return nullptr;
    FILE* stream = fdopen(fds[0], "r");
    if (!stream) {
        close(fds[0]);
        close(fds[1]);
        return nullptr;
    }
    std::fflush(stdout);  // keep the console's order
    pid_t pid = fork();
    if (pid < 0) {
        std::fclose(stream);
        close(fds[1]);
        return nullptr;
    }
    if (pid == 0) {
        if (fds[1] != 1) dup2(fds[1], 1);
        openAs(0, "/dev/null", O_RDONLY);
        openAs(2, logDevice, O_WRONLY);
        closeFrom(3);
        execv(kSfdisk, argv.data());
        _exit(127);
    }
    close(fds[1]);
    pipedChildPid = pid;
    return stream;
}

FILE* openSfdiskInput(const std::vector<std::string>& args) {
    std::vector<std::string> kept;
    bool toLog = false;
    for (const auto& arg : args) {
        if (arg == ">null")
            toLog = true;
        else
            kept.push_back(arg);
    }
    std::vector<char*> argv = buildArgv(kSfdisk, kept);
    if (pipedChildPid != -1) return nullptr;
    int fds[2];
    if (pipe(fds) != 0) return nullptr;
    std::fflush(stdout);  // keep the console's order
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return nullptr;
    }
    if (pid == 0) {
        if (fds[0] != 0) dup2(fds[0], 0);
        if (toLog) {
            openAs(1, logDevice, O_WRONLY);
            dup2(1, 2);
        }
        closeFrom(3);
        execv(kSfdisk, argv.data());
        _exit(127);
    }
    close(fds[0]);
    FILE* stream = fdopen(fds[1], "w");
    if (!stream) {
        // Closing the pipe ends the tool (end of input); do not leave it behind.
        close(fds[1]);
        waitForChild(pid);
        return nullptr;
    }
    pipedChildPid = pid;
    return stream;
}

int closePipedChild(FILE* stream) {
    if (pipedChildPid == -1) return -1;
    pid_t pid = pipedChildPid;
    // fclose() releases the descriptor even when it fails, so the child sees
    // end-of-file either way: reap it, then report the failure. The slot keeps
    // the child until it is reaped: an abort meanwhile ends it through there.
    bool closed = std::fclose(stream) == 0;
    int status = waitForChild(pid);
    pipedChildPid = -1;
    return closed ? status : -1;
}

void startProgress(const char* message) {
    std::fputs(message, stdout);
    std::fflush(stdout);
    struct sigaction action {};
    action.sa_handler = onAlarm;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGALRM, &action, nullptr) == 0) alarm(1);
}

void stopProgress() {
    // Ticker off first, so that no dot can follow the end of the line.
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, nullptr);
    alarm(0);
    std::putchar('\n');
    std::fflush(stdout);
}
