// sandbox-run: runs a command in the test sandbox, for scripts and by hand.
//   sandbox-run [--file PATH=HOSTFILE] [--text PATH=TEXT] [--bind HOST=PATH] [--rw-bind HOST=PATH]
//               [--console] [--loop] [--host-net] [--timeout SEC] -- PROGRAM ARGS...
// With --console the sandbox's console is this program's terminal (keys are
// passed through). Prints how the sandbox ended on stderr and exits with the
// command's status, or 128+signal.
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "sandbox/sandbox.h"

namespace {
bool split(const std::string& arg, std::string& a, std::string& b) {
    auto eq = arg.find('=');
    if (eq == std::string::npos) return false;
    a = arg.substr(0, eq);
    b = arg.substr(eq + 1);
    return true;
}

int usage() {
    std::fprintf(stderr,
                 "usage: sandbox-run [--file PATH=HOSTFILE] [--text PATH=TEXT] [--bind HOST=PATH]\n"
                 "                   [--rw-bind HOST=PATH] [--console] [--loop] [--host-net]\n"
                 "                   [--timeout SEC] -- PROGRAM ARGS...\n");
    return 2;
}
}  // namespace

int main(int argc, char** argv) {
    sandbox::Options o;
    std::vector<std::string> cmd;
    int i = 1;
    for (; i < argc; i++) {
        std::string a = argv[i], x, y;
        if (a == "--") {
            i++;
            break;
        }
        if (i + 1 >= argc && (a == "--file" || a == "--text" || a == "--bind" || a == "--rw-bind" || a == "--timeout"))
            return usage();
        if (a == "--file" && split(argv[++i], x, y)) {
            o.binds.push_back({y, x, true});
        } else if (a == "--text" && split(argv[++i], x, y)) {
            o.files.push_back({x, y + "\n"});
        } else if (a == "--bind" && split(argv[++i], x, y)) {
            o.binds.push_back({x, y, true});
        } else if (a == "--rw-bind" && split(argv[++i], x, y)) {
            o.binds.push_back({x, y, false});
        } else if (a == "--console") {
            o.console = true;
        } else if (a == "--loop") {
            o.loopDevices = true;
        } else if (a == "--host-net") {
            o.newNetwork = false;
        } else if (a == "--timeout") {
            o.timeoutMs = std::atoi(argv[++i]) * 1000;
        } else {
            return usage();
        }
    }
    for (; i < argc; i++) cmd.push_back(argv[i]);
    if (cmd.empty()) return usage();

    sandbox::Sandbox box(o);
    if (!box.startCommand(cmd)) {
        std::perror("sandbox-run: could not start the sandbox");
        return 125;
    }
    termios saved{};
    bool raw = o.console && isatty(0) && tcgetattr(0, &saved) == 0;
    if (raw) {
        termios t = saved;
        cfmakeraw(&t);
        tcsetattr(0, TCSANOW, &t);
    }
    size_t shown = 0;
    while (o.console && !box.finished()) {
        box.drain(50);
        const std::string& out = box.transcript();
        if (out.size() > shown) {
            if (write(1, out.data() + shown, out.size() - shown) < 0) {
            }
            shown = out.size();
        }
        pollfd p{0, POLLIN, 0};
        if (poll(&p, 1, 0) > 0) {
            char buf[256];
            ssize_t n = read(0, buf, sizeof buf);
            if (n > 0) box.send(std::string(buf, n));
        }
    }
    sandbox::Result r = box.wait();
    if (o.console && r.output.size() > shown && write(1, r.output.data() + shown, r.output.size() - shown) < 0) {
    }
    if (raw) tcsetattr(0, TCSANOW, &saved);
    if (!o.console && write(1, r.output.data(), r.output.size()) < 0) {
    }
    if (r.exited) {
        std::fprintf(stderr, "sandbox-run: exited with status %d\n", r.exitStatus);
        return r.exitStatus;
    }
    std::fprintf(stderr, "sandbox-run: ended by signal %d%s%s\n", r.signal, r.rebooted() ? " (reboot)" : "",
                 r.timedOut ? " (timed out)" : "");
    return 128 + r.signal;
}
