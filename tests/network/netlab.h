// A small LAN for network tests: one server namespace with a bridge "br0" and
// any number of client namespaces, each joined to the bridge by a veth pair
// whose client end is "eth0" (down, no address: the client brings it up).
// Every namespace is a sandbox made by the test; no traffic leaves them.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sandbox/sandbox.h"

namespace netlab {

std::string serverBinary();

class Lab {
public:
    Lab();
    ~Lab();

    // The server's namespace runs argv (a program path inside it) once the
    // LAN is up; binds bring the program and its files in.
    // With `console` its output is a terminal (a pseudo terminal);
    // `beforeExec` runs in the namespace just before the program does.
    void server(std::vector<std::string> argv, std::vector<sandbox::Bind> binds = {}, bool console = false,
                std::function<void()> beforeExec = {});
    // The server's namespace runs body instead (a stand-in server), on "br0".
    void serverBody(std::function<int()> body);
    // A shell command run in the server's network namespace once br0 is up,
    // before anyone runs ("ip addr add 10.5.0.1/24 dev br0").
    void serverSetup(std::string command) { serverSetup_.push_back(std::move(command)); }
    // A sandbox that runs body once the LAN is up; returns its index.
    int client(std::function<int()> body, sandbox::Options options = {});

    // Builds the links and lets everyone run. False (with a reason in error())
    // when the LAN could not be made.
    bool start();
    // Drops the given share of IPv4/UDP frames at random at every client's
    // eth0, both ways (per frame, so also per fragment).
    bool loss(int percent);

    // What the bridge has sent out of client index's port so far (from the
    // server namespace's /proc/net/dev).
    struct Counters {
        long long bytes = -1, frames = -1;
    };
    Counters sentToClient(int index) const;

    sandbox::Result waitClient(int index, int timeoutMs);
    sandbox::Result stopServer(int timeoutMs = 5000);
    sandbox::Sandbox& serverBox() { return *server_; }
    sandbox::Sandbox& clientBox(int index) { return *clients_[index]; }
    pid_t serverPid() const { return server_ ? server_->pid() : -1; }
    const std::string& error() const { return error_; }

private:
    bool sh(const std::string& command);

    std::unique_ptr<sandbox::Sandbox> server_;
    std::vector<std::string> serverSetup_;
    std::vector<std::unique_ptr<sandbox::Sandbox>> clients_;
    std::string error_;
};

// Inside a sandbox: waits until the lab lets it run.
void waitForGo();
// Inside a client's namespace: drops the given share of IPv4/UDP frames on
// eth0, arriving and (if outgoing) leaving; 100 makes the line silent.
// fragmentsOnly: only fragments of datagrams larger than a frame are dropped.
bool dropHere(int percent, bool outgoing = true, bool fragmentsOnly = false);

}  // namespace netlab
