#include "netlab.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace netlab {

std::string serverBinary() { return std::string(BUILD_DIR) + "/tools/server/castdeploy-server"; }

void waitForGo() {
    struct stat st;
    for (int i = 0; i < 6000 && stat("/go", &st) != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

namespace {

// Drops at the client's interface itself, frame by frame (so a fragment of a
// large reply is lost on its own, as on a real wire). Hooks at the device
// level leave the sender none the wiser: a dropped datagram is still "sent".
std::string lossCommand(int percent, bool outgoing, bool fragmentsOnly = false) {
    std::string p = std::to_string(percent);
    std::string match = fragmentsOnly ? "ip protocol udp ip frag-off & 0x3fff != 0" : "ip protocol udp";
    if (percent < 100) match += " numgen random mod 100 < " + p;
    std::string rules = "add table netdev lossy;"
                        " add chain netdev lossy in { type filter hook ingress device eth0 priority 0; };"
                        " add rule netdev lossy in " + match + " drop";
    if (outgoing)
        rules += "; add chain netdev lossy out { type filter hook egress device eth0 priority 0; };"
                 " add rule netdev lossy out " + match + " drop";
    return "/usr/sbin/nft '" + rules + "' >/dev/null 2>&1";
}

}  // namespace

bool dropHere(int percent, bool outgoing, bool fragmentsOnly) {
    return std::system(lossCommand(percent, outgoing, fragmentsOnly).c_str()) == 0;
}

Lab::Lab() = default;

Lab::~Lab() {
    for (auto& c : clients_)
        if (c && !c->finished()) c->wait(1);
    if (server_ && !server_->finished()) server_->wait(1);
}

void Lab::server(std::vector<std::string> argv, std::vector<sandbox::Bind> binds, bool console,
                 std::function<void()> beforeExec) {
    sandbox::Options o;
    o.console = console;
    o.binds = std::move(binds);
    o.binds.push_back({serverBinary(), "/sbin/castdeploy-server"});
    o.timeoutMs = 900000;
    server_ = std::make_unique<sandbox::Sandbox>(o);
    server_->start([argv, beforeExec] {
        waitForGo();
        if (beforeExec) beforeExec();
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        return 127;
    });
}

void Lab::serverBody(std::function<int()> body) {
    sandbox::Options o;
    o.timeoutMs = 900000;
    server_ = std::make_unique<sandbox::Sandbox>(o);
    server_->start([body] {
        waitForGo();
        return body();
    });
}

int Lab::client(std::function<int()> body, sandbox::Options options) {
    options.newNetwork = true;
    if (options.timeoutMs == 120000) options.timeoutMs = 900000;
    clients_.push_back(std::make_unique<sandbox::Sandbox>(options));
    clients_.back()->start([body] {
        waitForGo();
        return body();
    });
    return static_cast<int>(clients_.size()) - 1;
}

bool Lab::sh(const std::string& command) {
    std::string full = "(" + command + ") >/dev/null 2>&1";
    if (std::system(full.c_str()) == 0) return true;
    error_ = "failed: " + command;
    return false;
}

bool Lab::start() {
    if (!server_) {
        error_ = "no server";
        return false;
    }
    std::string s = std::to_string(server_->pid());
    std::string inServer = "nsenter -t " + s + " -n ";
    if (!sh(inServer + "sysctl -qw net.ipv6.conf.all.disable_ipv6=1")) return false;
    if (!sh(inServer + "ip link add br0 type bridge")) return false;
    if (!sh(inServer + "ip link set br0 address 02:5e:00:00:00:01 up")) return false;
    for (size_t i = 0; i < clients_.size(); ++i) {
        std::string c = std::to_string(clients_[i]->pid());
        std::string port = "p" + std::to_string(i);
        char mac[32];
        std::snprintf(mac, sizeof mac, "02:c1:00:00:00:%02x", static_cast<unsigned>(i + 1));
        if (!sh("nsenter -t " + c + " -n sysctl -qw net.ipv6.conf.all.disable_ipv6=1")) return false;
        if (!sh("ip link add eth0 netns " + c + " address " + mac + " type veth peer name " + port + " netns " + s))
            return false;
        if (!sh(inServer + "ip link set " + port + " master br0 up")) return false;
    }
    for (const auto& command : serverSetup_)
        if (!sh(inServer + command)) return false;
    // Let them run: each waits for /go in its own root.
    for (auto* box : {server_.get()}) sandbox::writeFile("/proc/" + std::to_string(box->pid()) + "/root/go", "");
    for (auto& c : clients_) sandbox::writeFile("/proc/" + std::to_string(c->pid()) + "/root/go", "");
    return true;
}

bool Lab::loss(int percent) {
    for (auto& c : clients_)
        if (!sh("nsenter -t " + std::to_string(c->pid()) + " -n " + lossCommand(percent, true))) return false;
    return true;
}

Lab::Counters Lab::sentToClient(int index) const {
    Counters c;
    std::string table = sandbox::readFile("/proc/" + std::to_string(server_->pid()) + "/net/dev");
    std::string port = " p" + std::to_string(index) + ":";
    size_t at = table.find(port);
    if (at == std::string::npos) return c;
    long long v[10];
    if (std::sscanf(table.c_str() + at + port.size(), "%lld %lld %lld %lld %lld %lld %lld %lld %lld %lld", &v[0],
                    &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9]) == 10) {
        c.bytes = v[8];
        c.frames = v[9];
    }
    return c;
}

sandbox::Result Lab::waitClient(int index, int timeoutMs) { return clients_[index]->wait(timeoutMs); }

sandbox::Result Lab::stopServer(int timeoutMs) {
    if (!server_->finished()) kill(server_->pid(), SIGTERM);
    return server_->wait(timeoutMs);
}

}  // namespace netlab
