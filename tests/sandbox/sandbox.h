// A throw-away machine for tests: new mount, PID and (optionally) network
// namespaces over a fresh tmpfs root. The host's /usr and /etc are bound
// read-only, /flash, /ram and /floppy are fresh tmpfs, and the test places its
// own files at "/TYPE", "/sbin/...", "/dev/...". Whatever runs inside may mount,
// mknod, chroot or reboot: a reboot only ends the namespace's first process
// (with SIGHUP for a restart), which is how tests see "the machine rebooted".
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace sandbox {

struct File {
    std::string path;     // absolute path inside the sandbox
    std::string content;
    mode_t mode = 0644;
};

struct Bind {
    std::string hostPath;
    std::string path;     // absolute path inside the sandbox
    bool readOnly = true;
};

struct Options {
    bool newNetwork = true;      // own network namespace (only "lo", brought up)
    bool mountProc = true;       // /proc and /sys of the new namespaces
    bool systemTmpfs = true;     // /flash, /ram, /floppy as fresh tmpfs
    std::string flashTmpfsOptions;  // e.g. "size=256k" to make a small disk
    bool console = false;        // a pseudo terminal as controlling terminal and std streams
    std::vector<std::string> consoleAlso;  // further paths where the pty slave appears ("/dev/ttyS0")
    bool loopDevices = false;    // /dev/loop-control, for attachLoop()
    std::vector<File> files;
    std::vector<Bind> binds;
    std::vector<std::string> dirs;
    std::vector<std::string> symlinks;  // "path=target"
    std::vector<std::string> env = {"PATH=/sbin:/usr/sbin:/usr/bin:/bin", "HOME=/", "TERM=linux"};
    int timeoutMs = 120000;      // the whole sandbox is killed after this
};

struct Result {
    bool exited = false;   // ended by exit(); otherwise `signal` ended it
    int exitStatus = -1;
    int signal = 0;
    bool timedOut = false;
    std::string output;    // standard output and error (or the console transcript)

    // A restart through reboot() ends the namespace's init with SIGHUP.
    bool rebooted() const { return !exited && signal == 1; }
};

class Sandbox {
public:
    explicit Sandbox(Options options);
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    // Runs body() as process 1 of the new namespaces; its return value is the
    // exit status. Returns false if the sandbox could not be made.
    bool start(std::function<int()> body);
    // Executes argv (argv[0] is a path inside the sandbox) as process 1.
    bool startCommand(const std::vector<std::string>& argv);

    // Host pid of the sandbox's process 1 (for signals or `ip link ... netns`).
    pid_t pid() const { return pid_; }

    // Console (with Options::console): wait until the transcript, from `from`
    // on, contains text; returns false after timeoutMs or when the sandbox ended.
    bool waitFor(const std::string& text, int timeoutMs = 20000);
    // Reads whatever the console has for up to ms milliseconds.
    void drain(int ms);
    void send(const std::string& keys);
    const std::string& transcript() const { return output_; }
    // The console's current local modes (termios c_lflag), as the sandbox's
    // programs have set them; 0 without a console.
    unsigned consoleLocalModes() const;
    // Marks everything read so far as seen: later waitFor() calls look only at newer output.
    void markSeen() { seen_ = output_.size(); }

    // True once process 1 has ended (does not wait).
    bool finished() { return reap(false); }

    // Waits for process 1 to end (killing it after timeoutMs) and reports.
    Result wait(int timeoutMs = -1);

private:
    bool launch(std::function<int()> body);
    int pump(int ms);   // 1: read output, 0: nothing within ms, -1: no more can come
    bool reap(bool block);

    Options options_;
    std::string rootDir_;
    pid_t pid_ = -1;
    int outFd_ = -1;       // pty master or pipe read end
    int slaveFd_ = -1;
    std::string output_;
    size_t seen_ = 0;
    bool ended_ = false;
    Result result_;
};

// One-shot helpers.
Result run(const Options& options, std::function<int()> body);
Result runCommand(const Options& options, const std::vector<std::string>& argv);

// Inside a sandbox with Options::loopDevices: attaches image to a free loop
// device (partitions scanned, nodes made under /dev) and returns "/dev/loopN",
// or "" on failure. The device detaches itself when the last user closes it.
std::string attachLoop(const std::string& image);
// Makes /dev nodes for the partitions that the kernel now sees on a loop device.
void makePartitionNodes(const std::string& device);
// Detaches a loop device made by attachLoop.
void detachLoop(const std::string& device);

// Writes a file on the host (helper for tests that make inputs).
bool writeFile(const std::string& path, const std::string& content, mode_t mode = 0644);
std::string readFile(const std::string& path);

// The children of `parent` as the caller's /proc shows them (on the host, or
// inside a sandbox for its own processes).
std::vector<pid_t> childrenOf(pid_t parent);

// Starts a process that kills the caller's other child (the one it starts
// next) with SIGKILL once the file `path` holds more than `bytes` bytes, or as
// soon as that child runs when `path` is empty; it gives up after `limitMs`.
// A process and not a thread: a thread that runs while the caller forks would
// be copied into the new child in the middle of what it was doing, locks held
// included (the address sanitizer's runtime takes none of its locks around
// fork, so such a child can wait forever on the allocator's). Returns the
// killer's pid, or -1.
pid_t startKiller(const std::string& path, off_t bytes, int limitMs = 60000);
// Waits for the killer: true when it killed.
bool killerKilled(pid_t killer);

}  // namespace sandbox
