// Throughput of the installer's file transfer (protocol client against
// castdeploy-server) next to a raw UDP stop-and-wait ping-pong with the same
// addressing: broadcast both ways, 24-byte requests, 4096-byte replies, the
// same 20 ms retransmission timer. Each figure is the median of several runs,
// each run on a fresh LAN of network namespaces; with and without loss.
// Then many machines at once (1, 8, 32 by default) pulling the same file on
// one bridge: aggregate and per-machine throughput and the server's CPU time
// per delivered MB, next to one raw ping-pong pair measured in the same run.
// Then the rack (--rack-only for it alone): the bridge's ports limited to a
// link rate (tbf, 100 Mbit/s for each machine's port, 1 Gbit/s for the
// server's), 1, 8 and 32 machines each pulling the same file (20 MB), with
// broadcast replies and with replies addressed to each machine: the time
// until all have finished and the slowest machine's rate, next to the bound
// the links allow, max(file / port rate, all machines' bytes / server rate),
// and the same addressed transfer on ports without limits (the host's own
// ceiling: on two cores the machines' and the server's processing may take
// longer than the links would).
// Then a hostile station (--attack-only for it alone): for each attack pattern
// the bytes the server sends per byte the station sends, and one machine's
// transfer time alone and while stations run every pattern at once
// (--attack-rate N: each station sends N datagrams a second at most;
// --attack-pattern K: only the K-th pattern, from 0).
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "netlab.h"
#include "network/protocol.h"

namespace {

constexpr int kRequestBytes = 24;
constexpr int kReplyBytes = 4096;
bool verbose = false;

double nowSeconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// The raw side, run in the server's namespace: answers each request with a
// reply that carries the request's number. Ends after 30 s without requests.
int respond() {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    setsockopt(s, SOL_SOCKET, SO_BINDTODEVICE, "br0", 4);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(proto::kPort);
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return 1;
    sockaddr_in all = local;
    all.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    char in[kReplyBytes + 1], out[kReplyBytes];
    std::memset(out, 'r', sizeof out);
    for (;;) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, 30000) <= 0) return 0;
        ssize_t n = recv(s, in, sizeof in, 0);
        if (n != kRequestBytes || std::memcmp(in, "PING", 4) != 0) continue;  // our own replies come back too
        std::memcpy(out, "PONG", 4);
        std::memcpy(out + 4, in + 4, 4);
        sendto(s, out, sizeof out, 0, reinterpret_cast<sockaddr*>(&all), sizeof all);
    }
}

// Client side of the raw ping-pong: `exchanges` replies, each asked for until it comes.
int pingPong(long exchanges, int lossPercent, bool fragmentsOnly) {
    InstallClient c;
    if (enumerateInterfaces(c) != 1) return 2;
    if (lossPercent && !netlab::dropHere(lossPercent, true, fragmentsOnly)) return 3;
    NetInterface& iface = c.interfaces[0];
    char request[kRequestBytes] = "PING", reply[kReplyBytes + 1];
    // The responder may still be starting: the first exchange is not timed.
    double start = 0;
    for (long i = -1; i < exchanges; ++i) {
        if (i == 0) start = nowSeconds();
        uint32_t seq = static_cast<uint32_t>(i + 1);
        std::memcpy(request + 4, &seq, 4);
        for (bool got = false; !got;) {
            sendto(iface.socket, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&iface.broadcastAddress),
                   sizeof iface.broadcastAddress);
            double deadline = nowSeconds() + 0.020;
            while (!got) {
                int left = static_cast<int>((deadline - nowSeconds()) * 1000000);
                if (left <= 0) break;
                fd_set set;
                FD_ZERO(&set);
                FD_SET(iface.socket, &set);
                timeval tv{0, left};
                if (select(iface.socket + 1, &set, nullptr, nullptr, &tv) <= 0) continue;
                ssize_t n = recv(iface.socket, reply, sizeof reply, 0);
                got = n == kReplyBytes && std::memcmp(reply, "PONG", 4) == 0 && std::memcmp(reply + 4, &seq, 4) == 0;
            }
        }
    }
    std::printf("TIME %.6f\n", nowSeconds() - start);
    std::fflush(stdout);
    return 0;
}

// Client side through the installer's code: offer, STRT, then, once `ready`
// says so, one file. Prints "BROKEN after N bytes" on a broken transfer and
// returns the time the file began in `began`.
template <typename Ready>
int pullFile(InstallClient& c, Ready ready, double& began) {
    if (enumerateInterfaces(c) != 1) return 2;
    bool keep;
    negotiateInstall(c, "bench", "", "BENCH", &keep);
    Message strt, reply;
    strt.clear();
    std::memcpy(strt.payload(), "STRT", 4);
    fillHeader(c.session, strt, 4);
    if (sendAndWait(*c.chosen(), c.session, strt, reply, kStrtTimeoutUs, kStrtAttempts) < 0) return 4;
    if (!ready()) return 3;
    began = nowSeconds();
    if (!openNextFile(*c.transfer)) return 5;
    char buf[4096];
    long long total = 0;
    for (int n; (n = readFileData(*c.transfer, buf, sizeof buf)) != 0; total += n)
        if (n < 0) {
            std::printf("BROKEN after %lld bytes\n", total);
            std::fflush(stdout);
            return 6;
        }
    return total == c.transfer->size ? 0 : 7;
}

int fetch(int lossPercent, bool fragmentsOnly) {
    InstallClient c;
    double start = 0;
    int status = pullFile(
        c, [&] { return !lossPercent || netlab::dropHere(lossPercent, true, fragmentsOnly); }, start);
    if (status != 0 && status != 7) return status;
    std::printf("TIME %.6f\n", nowSeconds() - start);
    std::fflush(stdout);
    return status;
}

double runOnce(bool raw, long bytes, int loss, bool fragmentsOnly, const std::string& chunk, const std::string& dir);

// One of many machines: negotiates, waits for the common start, fetches the
// file and prints when it began and ended (one clock for all namespaces).
int fetchTogether(double startAt) {
    InstallClient c;
    double start = 0;
    int status = pullFile(
        c,
        [&] {
            while (nowSeconds() < startAt) usleep(1000);
            return true;
        },
        start);
    if (status != 0 && status != 7) return status;
    std::printf("SPAN %.6f %.6f\n", start, nowSeconds());
    std::fflush(stdout);
    return status;
}

// CPU seconds (user + system) a process has used so far.
double cpuSeconds(pid_t pid) {
    std::string stat = sandbox::readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    unsigned long utime = 0, stime = 0;
    // Fields after the name: state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime
    std::sscanf(stat.c_str() + close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct Together {
    double span = 0;       // seconds from the first start to the last end
    double aggregate = 0;  // bytes per second, all machines
    double mean = 0, slowest = 0;  // per machine
    double cpuPerMB = 0;   // server CPU seconds per delivered MB
    bool ok = false;
};

// options: more for the server; setup: commands in the server's namespace
// once the bridge and its ports (p0, p1, ...) are there.
Together runTogether(int machines, long bytes, const std::string& dir, const std::vector<std::string>& options = {},
                     const std::vector<std::string>& setup = {}) {
    Together t;
    netlab::Lab lab;
    std::vector<std::string> argv{"/sbin/castdeploy-server", "--interface", "br0", "--drivers", "/srv/drivers.vpk"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back("/srv/payload.vpk");
    lab.server(argv, {{dir, "/srv"}});
    for (const auto& command : setup) lab.serverSetup(command);
    // Negotiation takes a second or two (the first broadcast after link-up is late).
    double startAt = nowSeconds() + 3 + machines * 0.05;
    for (int i = 0; i < machines; ++i) lab.client([=] { return fetchTogether(startAt); });
    if (!lab.start()) {
        std::fprintf(stderr, "netxfer: %s\n", lab.error().c_str());
        return t;
    }
    double first = 1e300, last = 0, sum = 0, worst = 0;
    int done = 0;
    for (int i = 0; i < machines; ++i) {
        auto r = lab.waitClient(i, 1800000);
        size_t at = r.output.find("SPAN ");
        double a, b;
        if (!r.exited || r.exitStatus != 0 || at == std::string::npos ||
            std::sscanf(r.output.c_str() + at, "SPAN %lf %lf", &a, &b) != 2) {
            std::fprintf(stderr, "netxfer: machine %d failed (status %d): %s", i, r.exitStatus, r.output.c_str());
            continue;
        }
        first = std::min(first, a);
        last = std::max(last, b);
        sum += b - a;
        worst = std::max(worst, b - a);
        ++done;
    }
    double cpu = cpuSeconds(lab.serverPid());
    lab.stopServer();
    if (done != machines) return t;
    t.ok = true;
    t.span = last - first;
    t.aggregate = static_cast<double>(bytes) * machines / (last - first);
    t.mean = static_cast<double>(bytes) / (sum / machines);
    t.slowest = static_cast<double>(bytes) / worst;
    t.cpuPerMB = cpu / (static_cast<double>(bytes) * machines / 1e6);
    return t;
}

void measureMany(long bytes, const std::vector<int>& counts, const std::string& dir) {
    std::printf("\nmany machines at once on one bridge: %.1f MB each, clean line\n", bytes / 1e6);
    std::fflush(stdout);
    double raw = runOnce(true, bytes, 0, false, "", dir);
    double reference = raw > 0 ? bytes / raw : 0;
    std::printf("  %-12s %9.2f MB/s  (one raw ping-pong pair, the reference)\n", "raw pair", reference / 1e6);
    for (int n : counts) {
        Together t = runTogether(n, bytes, dir);
        if (!t.ok) {
            std::printf("  %2d machines  failed\n", n);
            continue;
        }
        std::printf("  %2d machine%s  aggregate %8.2f MB/s  ratio %.2f  per machine mean %7.2f MB/s, slowest %7.2f MB/s "
                    "(%.2f of the mean)  server CPU %.1f ms/MB\n",
                    n, n == 1 ? " " : "s", t.aggregate / 1e6, reference > 0 ? t.aggregate / reference : 0.0,
                    t.mean / 1e6, t.slowest / 1e6, t.slowest / t.mean, t.cpuPerMB * 1000);
        std::fflush(stdout);
    }
    std::printf("  goal: 32 machines together >= 0.8 of the raw pair; the slowest >= 0.5 of the mean\n");
}

// The rack on rate-limited ports, broadcast and addressed replies side by side.
void measureRack(long bytes, const std::vector<int>& counts, int portMbit, int serverMbit, const std::string& dir) {
    std::printf("\nrack on one bridge, ports limited (tbf): %d Mbit/s per machine, %d Mbit/s for the server; "
                "%.1f MB each\n",
                portMbit, serverMbit, bytes / 1e6);
    std::printf("  %-8s %-9s %10s %14s %10s %10s\n", "machines", "replies", "all done", "slowest rate", "bound",
                "time/bound");
    std::fflush(stdout);
    // A switch's port: its rate, and a queue of 20 ms at that rate.
    auto limit = [](const std::string& dev, int mbit) {
        int burst = std::max(16, mbit / 8);  // KiB: room for a full reply's fragments and the timer's slack
        return "tc qdisc replace dev " + dev + " root tbf rate " + std::to_string(mbit) + "mbit burst " +
               std::to_string(burst) + "kb latency 20ms";
    };
    for (int n : counts) {
        std::vector<std::string> setup{limit("br0", serverMbit)};
        for (int i = 0; i < n; ++i) setup.push_back(limit("p" + std::to_string(i), portMbit));
        double bound = std::max(bytes * 8.0 / (portMbit * 1e6), bytes * 8.0 * n / (serverMbit * 1e6));
        // Last, addressed replies on ports without limits: what this host's
        // processors allow, whatever the links would.
        for (int run = 0; run < 3; ++run) {
            bool broadcast = run == 0;
            Together t = runTogether(n, bytes, dir, broadcast ? std::vector<std::string>{"--broadcast-replies"}
                                                              : std::vector<std::string>{},
                                     run < 2 ? setup : std::vector<std::string>{});
            const char* kind = broadcast ? "broadcast" : run == 1 ? "addressed" : "no limits";
            if (!t.ok) {
                std::printf("  %-8d %-9s failed\n", n, kind);
            } else {
                std::printf("  %-8d %-9s %8.2f s %9.2f MB/s %8.2f s %10.2f\n", n, kind, t.span, t.slowest / 1e6,
                            bound, t.span / bound);
            }
            std::fflush(stdout);
        }
    }
    std::printf("  goal: addressed replies, all 32 machines done within 1.3 x the bound (where the host\n"
                "  itself, the \"no limits\" row, is not slower)\n");
}

// A station on the segment: sends datagrams under any MAC address through its
// installer endpoint (without taking the address on, so replies are not its own).
class Station {
public:
    bool open() { return enumerateInterfaces(c_) == 1; }
    // seq 0: a broadcast (sequence 1, no destination); ack < 0: as a client would.
    void send(const MacAddress& from, uint16_t seq, const std::string& text, int ack = -1,
              const sockaddr_in* to = nullptr) {
        Message m;
        m.clear();
        m.setSource(from);
        if (seq) m.setDestination(kServer);
        m.setSequence(seq ? seq : 1);
        m.setAck(ack >= 0 ? static_cast<uint16_t>(ack) : seq);
        int n = m.setText(text);
        if (!seq) m.setLength(static_cast<uint16_t>(n + 1));
        if (rate > 0) {  // paced: datagram k leaves at start + k / rate
            if (startedAt_ == 0) startedAt_ = nowSeconds();
            double due = startedAt_ + static_cast<double>(count_++) / rate;
            for (double now; (now = nowSeconds()) < due;) usleep(static_cast<useconds_t>((due - now) * 1e6));
        }
        NetInterface& i = c_.interfaces[0];
        const sockaddr_in* where = to ? to : &i.broadcastAddress;
        while (sendto(i.socket, m.bytes, static_cast<size_t>(m.size()), 0, reinterpret_cast<const sockaddr*>(where),
                      sizeof(sockaddr_in)) < 0 &&
               (errno == EAGAIN || errno == ENOBUFS))
            usleep(200);  // a full queue
    }
    static constexpr MacAddress kServer{0x02, 0x5e, 0, 0, 0, 1};
    static inline double rate = 0;  // datagrams a second; 0: as fast as it can

private:
    InstallClient c_;
    double startedAt_ = 0;
    long count_ = 0;
};

MacAddress madeUp(uint32_t i) {
    return {0x02, 0xfa, static_cast<uint8_t>(i >> 24), static_cast<uint8_t>(i >> 16), static_cast<uint8_t>(i >> 8),
            static_cast<uint8_t>(i)};
}

bool stopNow() {
    struct stat st;
    return stat("/stop", &st) == 0;
}

// The attack patterns, each run by a station until `until` (or /stop).
// "as a client" acknowledges every reply as an installer does: the protocol
// has nothing else by which the server could tell it from one.
const char* const kPatterns[] = {
    "fill: DSCV, DSCV, YACK per made-up MAC, then YACK repeats",
    "forged: DSCV and DRVR in one MAC's name every ms",
    "blind: a made-up session, new RETRs with advancing numbers",
    "blind: DRVR then RETRs, over and over (one MAC)",
    "storm: one RETR repeated in a session at work",
    "unicast: DRVR sent to the server's IPv4 address",
    "as a client: a made-up session acknowledging every reply",
};
constexpr int kBlindPatterns = 6;  // the ones before "as a client"

int attack(int pattern, double until) {
    Station st;
    if (!st.open()) return 2;
    usleep(1000000);  // the first frames after the link comes up may be lost
    auto going = [&] { return nowSeconds() < until && !stopNow(); };
    const MacAddress victim{0x02, 0xc1, 0, 0, 0, 1};
    uint32_t next = static_cast<uint32_t>(pattern) << 20;
    while (going()) {
        switch (pattern) {
        case 0: {
            uint32_t first = next;
            for (int i = 0; i < 4200 && going(); ++i, ++next) {
                st.send(madeUp(next), 0, "DSCV\nx\n\nL\ni386\n");
                st.send(madeUp(next), 0, "DSCV\nx\n\nL\ni386\n");
                st.send(madeUp(next), 1, "YACK\n");
            }
            while (going()) {
                for (uint32_t k = first; k < next; ++k) st.send(madeUp(k), 1, "YACK\n");
                usleep(200000);
            }
            break;
        }
        case 1:
            st.send(victim, 0, "DSCV\nx\n\nLABEL-1\ni386\n");
            st.send(victim, 0, "DRVR\n6.1");
            usleep(1000);
            break;
        case 2: {
            MacAddress me = madeUp(next++);
            st.send(me, 0, "DSCV\nx\n\nL\ni386\n", 0);
            st.send(me, 1, "YACK\n", 0);
            st.send(me, 2, "STRT", 0);
            for (uint16_t seq = 3; seq < 5000 && going(); ++seq) st.send(me, seq, "RETR", 0);
            break;
        }
        case 3: {
            MacAddress me = madeUp(0x7fffff);
            st.send(me, 0, "DRVR\n6.1", 0);
            for (uint16_t seq = 1; seq <= 3; ++seq) st.send(me, seq, "RETR", 0);
            break;
        }
        case 4: {
            MacAddress me = madeUp(next++);
            st.send(me, 0, "DSCV\nx\n\nL\ni386\n");
            usleep(2000);
            uint16_t seq = 1;
            for (const char* w : {"YACK\n", "STRT", "RETR", "RETR"}) {
                st.send(me, seq++, w);
                usleep(2000);
            }
            while (going()) st.send(me, 4, "RETR");
            break;
        }
        case 5: {
            // Unicast to the server's own address, from port 5000 with an
            // address of the server's subnet.
            static bool addressed = std::system("ip addr add 10.5.0.2/24 dev eth0") == 0;
            if (!addressed) return 3;
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(proto::kPort);
            to.sin_addr.s_addr = inet_addr("10.5.0.1");
            while (going()) {
                st.send(madeUp(next++), 0, "DRVR\n6.1", -1, &to);
                usleep(100);
            }
            break;
        }
        case 6: {
            MacAddress me = madeUp(next++);
            st.send(me, 0, "DSCV\nx\n\nL\ni386\n");
            usleep(2000);
            uint16_t seq = 1;
            st.send(me, seq++, "YACK\n");
            usleep(2000);
            st.send(me, seq++, "STRT");
            usleep(2000);
            for (; seq < 60000 && going(); ++seq) {
                st.send(me, seq, "RETR");
                usleep(100);  // about the pace of a client on this LAN
            }
            break;
        }
        }
    }
    return 0;
}

// Bytes that left and entered the server's namespace at br0 (frames, all
// headers included), read from its /proc/net/dev.
struct Wire {
    long long in = 0, out = 0;
};
Wire wireOf(pid_t server) {
    Wire w;
    std::string table = sandbox::readFile("/proc/" + std::to_string(server) + "/net/dev");
    size_t at = table.find(" br0:");
    long long v[10];
    if (at != std::string::npos &&
        std::sscanf(table.c_str() + at + 5, "%lld %lld %lld %lld %lld %lld %lld %lld %lld %lld", &v[0], &v[1], &v[2],
                    &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9]) == 10) {
        w.in = v[0];
        w.out = v[8];
    }
    return w;
}

// Each pattern alone against a server with nobody else on the LAN: the
// bytes the server sent for each byte the station did. Then one machine
// pulling the file with and without a station running the patterns at once
// (one station per pattern but "as a client").
void measureAttack(long bytes, const std::string& dir, double seconds, double rate, int only) {
    Station::rate = rate;
    std::printf("\nhostile station: server bytes out per station byte in, %.0f s per pattern "
                "(frames at br0; goal: below 2 for every blind pattern)\n", seconds);
    std::fflush(stdout);
    double worst = 0;
    for (int p = 0; p < static_cast<int>(sizeof kPatterns / sizeof *kPatterns); ++p) {
        if (only >= 0 && p != only) continue;
        netlab::Lab lab;
        lab.server({"/sbin/castdeploy-server", "--interface", "br0", "--drivers", "/srv/drivers.vpk", "/srv/payload.vpk"},
                   {{dir, "/srv"}});
        lab.serverSetup("ip addr add 10.5.0.1/24 dev br0");
        double until = nowSeconds() + 2.5 + seconds;
        lab.client([=] {
            usleep(1500000);  // the server is up
            return attack(p, until);
        });
        if (!lab.start()) {
            std::fprintf(stderr, "netxfer: %s\n", lab.error().c_str());
            return;
        }
        usleep(2000000);
        Wire before = wireOf(lab.serverPid());
        lab.waitClient(0, static_cast<int>(seconds * 1000) + 30000);
        usleep(300000);
        Wire after = wireOf(lab.serverPid());
        lab.stopServer();
        double in = static_cast<double>(after.in - before.in), out = static_cast<double>(after.out - before.out);
        double ratio = in > 0 ? out / in : 0;
        if (p < kBlindPatterns) worst = std::max(worst, ratio);
        std::printf("  %-62s in %9.0f KB  out %9.0f KB  ratio %6.3f\n", kPatterns[p], in / 1e3, out / 1e3, ratio);
        std::fflush(stdout);
    }
    std::printf("  worst ratio over the blind patterns: %.3f\n", worst);

    std::printf("\none machine pulling %.1f MB, alone and while six stations run the blind patterns at once, each %s\n",
                bytes / 1e6, rate > 0 ? ("at " + std::to_string(static_cast<long>(rate)) + " datagrams/s").c_str()
                                      : "as fast as it can");
    double times[2] = {0, 0};
    for (int attacked = 0; attacked < 2; ++attacked) {
        netlab::Lab lab;
        lab.server({"/sbin/castdeploy-server", "--interface", "br0", "--drivers", "/srv/drivers.vpk", "/srv/payload.vpk"},
                   {{dir, "/srv"}});
        lab.serverSetup("ip addr add 10.5.0.1/24 dev br0");
        // The file is asked for once the stations are well under way.
        double startAt = nowSeconds() + 5;
        lab.client([=] { return fetchTogether(startAt); });
        double until = nowSeconds() + 600;
        if (attacked)
            for (int p = 0; p < kBlindPatterns; ++p)
                if (only < 0 || p == only) lab.client([=] { return attack(p, until); });
        if (!lab.start()) {
            std::fprintf(stderr, "netxfer: %s\n", lab.error().c_str());
            return;
        }
        auto r = lab.waitClient(0, 600000);
        for (int k = 1; attacked && k <= (only < 0 ? kBlindPatterns : 1); ++k) {
            sandbox::writeFile("/proc/" + std::to_string(lab.clientBox(k).pid()) + "/root/stop", "");
            lab.waitClient(k, 30000);
        }
        lab.stopServer();
        size_t at = r.output.find("SPAN ");
        double began = 0, ended = 0;
        if (!r.exited || r.exitStatus != 0 || at == std::string::npos ||
            std::sscanf(r.output.c_str() + at, "SPAN %lf %lf", &began, &ended) != 2) {
            std::printf("  %s: the machine failed (status %d): %s\n", attacked ? "attacked" : "alone", r.exitStatus,
                        r.output.c_str());
            return;
        }
        times[attacked] = ended - began;
    }
    std::printf("  alone      %8.3f s  %8.2f MB/s\n", times[0], bytes / times[0] / 1e6);
    std::printf("  attacked   %8.3f s  %8.2f MB/s  ratio %.2f (alone time / attacked time)\n", times[1],
                bytes / times[1] / 1e6, times[0] / times[1]);
}

std::string selfPath() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

// One run on a fresh LAN: seconds, or a negative value when it failed.
double runOnce(bool raw, long bytes, int loss, bool fragmentsOnly, const std::string& chunk, const std::string& dir) {
    netlab::Lab lab;
    if (raw) {
        lab.server({"/sbin/netxfer", "--respond"}, {{selfPath(), "/sbin/netxfer"}});
        long exchanges = (bytes + proto::kMaxPayload - 1) / proto::kMaxPayload;
        lab.client([=] { return pingPong(exchanges, loss, fragmentsOnly); });
    } else {
        std::vector<std::string> argv{"/sbin/castdeploy-server", "--interface", "br0", "--drivers", "/srv/drivers.vpk"};
        if (!chunk.empty()) {
            argv.push_back("--chunk");
            argv.push_back(chunk);
        }
        argv.push_back("/srv/payload.vpk");
        lab.server(argv, {{dir, "/srv"}});
        lab.client([=] { return fetch(loss, fragmentsOnly); });
    }
    if (!lab.start()) {
        std::fprintf(stderr, "netxfer: %s\n", lab.error().c_str());
        return -1;
    }
    auto r = lab.waitClient(0, 600000);
    auto served = lab.stopServer();
    if (verbose && !raw) {  // the server's changes of reply size
        for (size_t at = 0, nl; at < served.output.size(); at = nl + 1) {
            nl = served.output.find('\n', at);
            if (nl == std::string::npos) nl = served.output.size();
            std::string line = served.output.substr(at, nl - at);
            if (line.find("replies of") != std::string::npos) std::printf("    %s\n", line.c_str());
        }
    }
    size_t at = r.output.find("TIME ");
    if (!r.exited || r.exitStatus != 0 || at == std::string::npos) {
        std::fprintf(stderr, "netxfer: run failed (status %d): %s", r.exitStatus, r.output.c_str());
        return -1;
    }
    return std::atof(r.output.c_str() + at + 5);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

struct Row {
    std::string name;
    bool raw;
    std::string chunk;
    std::vector<double> seconds;
    int failures = 0;
};

void measure(const char* title, long bytes, int loss, bool fragmentsOnly, int runs, std::vector<Row> rows,
             const std::string& dir) {
    std::printf("\n%s: %.1f MB, %d%% loss%s, median of %d runs\n", title, bytes / 1e6, loss,
                fragmentsOnly ? " of fragments" : "", runs);
    std::fflush(stdout);
    for (int i = 0; i < runs; ++i)
        for (auto& row : rows) {  // interleaved, so that noise falls on all alike
            double s = runOnce(row.raw, bytes, loss, fragmentsOnly, row.chunk, dir);
            if (s > 0)
                row.seconds.push_back(s);
            else
                ++row.failures;
        }
    double reference = median(rows[0].seconds);
    for (auto& row : rows) {
        double m = median(row.seconds);
        std::printf("  %-34s %8.3f s  %8.2f MB/s", row.name.c_str(), m, m > 0 ? bytes / m / 1e6 : 0.0);
        if (&row != &rows[0] && m > 0) std::printf("  ratio %.2f", reference / m);
        if (row.failures) std::printf("  (%d of %d runs failed)", row.failures, runs);
        std::printf("\n");
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--respond") == 0) return respond();
    int runs = 9, loss = 5, fragmentLoss = 0;
    long mb = 50, lossMb = 4, manyMb = 50;
    double rackMb = 20;
    int portMbit = 100, serverMbit = 1000;
    bool manyOnly = false, rackOnly = false, attackOnly = false;
    double attackSeconds = 3, attackMb = 100, attackRate = 0;
    int attackPattern = -1;
    std::vector<int> machines{1, 8, 32};
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--verbose") {
            verbose = true;
            continue;
        }
        if (a == "--many-only") {
            manyOnly = true;
            continue;
        }
        if (a == "--rack-only") {
            rackOnly = true;
            continue;
        }
        if (a == "--attack-only") {
            attackOnly = true;
            continue;
        }
        if (a == "--machines" && i + 1 < argc) {
            machines.clear();
            for (const char* p = argv[i + 1]; *p;) {
                machines.push_back(std::atoi(p));
                while (*p && *p != ',') ++p;
                if (*p) ++p;
            }
        }
        if (i + 1 >= argc) break;
        if (a == "--runs") runs = std::atoi(argv[i + 1]);
        else if (a == "--mb") mb = std::atol(argv[i + 1]);
        else if (a == "--loss-mb") lossMb = std::atol(argv[i + 1]);
        else if (a == "--many-mb") manyMb = std::atol(argv[i + 1]);
        else if (a == "--rack-mb") rackMb = std::atof(argv[i + 1]);
        else if (a == "--attack-mb") attackMb = std::atof(argv[i + 1]);
        else if (a == "--attack-seconds") attackSeconds = std::atof(argv[i + 1]);
        else if (a == "--attack-rate") attackRate = std::atof(argv[i + 1]);
        else if (a == "--attack-pattern") attackPattern = std::atoi(argv[i + 1]);
        else if (a == "--port-mbit") portMbit = std::atoi(argv[i + 1]);
        else if (a == "--server-mbit") serverMbit = std::atoi(argv[i + 1]);
        else if (a == "--loss") loss = std::atoi(argv[i + 1]);
        else if (a == "--fragment-loss") fragmentLoss = std::atoi(argv[i + 1]);
        ++i;
    }
    if (geteuid() != 0) {
        std::fprintf(stderr, "netxfer: needs root (network namespaces)\n");
        return 1;
    }
    char tmpl[] = "/tmp/netxfer-bench-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    std::mt19937 g(7);
    long rackBytes = static_cast<long>(rackMb * 1e6);
    std::string data(std::max({static_cast<size_t>(std::max({mb, lossMb, manyMb})) << 20, static_cast<size_t>(rackBytes),
                               static_cast<size_t>(attackMb * 1e6)}),
                     '\0');
    for (auto& c : data) c = static_cast<char>(g());
    sandbox::writeFile(dir + "/drivers.vpk", "drivers");

    auto rack = [&] {
        sandbox::writeFile(dir + "/payload.vpk", data.substr(0, static_cast<size_t>(rackBytes)));
        measureRack(rackBytes, machines, portMbit, serverMbit, dir);
    };
    long attackBytes = static_cast<long>(attackMb * 1e6);
    auto hostile = [&] {
        sandbox::writeFile(dir + "/payload.vpk", data.substr(0, static_cast<size_t>(attackBytes)));
        measureAttack(attackBytes, dir, attackSeconds, attackRate, attackPattern);
    };
    if (attackOnly) {
        hostile();
        std::system(("rm -rf " + dir).c_str());
        return 0;
    }
    if (rackOnly) {
        rack();
        std::system(("rm -rf " + dir).c_str());
        return 0;
    }
    if (manyOnly) {
        sandbox::writeFile(dir + "/payload.vpk", data.substr(0, static_cast<size_t>(manyMb) << 20));
        measureMany(manyMb << 20, machines, dir);
        std::system(("rm -rf " + dir).c_str());
        return 0;
    }
    std::printf("netxfer: protocol client vs raw UDP stop-and-wait (ratio = raw time / client time; goal >= 0.8)\n");
    sandbox::writeFile(dir + "/payload.vpk", data.substr(0, static_cast<size_t>(mb) << 20));
    measure("clean line", mb << 20, 0, false, runs,
            {{"raw ping-pong (4096-byte replies)", true, "", {}},
             {"client, server default (adaptive)", false, "", {}}},
            dir);
    sandbox::writeFile(dir + "/payload.vpk", data.substr(0, static_cast<size_t>(lossMb) << 20));
    std::vector<Row> lossy{{"raw ping-pong (4096-byte replies)", true, "", {}},
                           {"client, server default (adaptive)", false, "", {}},
                           {"client, server --chunk 4076", false, "4076", {}},
                           {"client, server --chunk mtu (1452)", false, "mtu", {}}};
    measure("lossy line", lossMb << 20, loss, false, runs, lossy, dir);
    // Optional: a line that loses only fragments, where small replies should win.
    if (fragmentLoss > 0) measure("line losing fragments", lossMb << 20, fragmentLoss, true, runs, lossy, dir);
    sandbox::writeFile(dir + "/payload.vpk", data.substr(0, static_cast<size_t>(manyMb) << 20));
    measureMany(manyMb << 20, machines, dir);
    rack();
    hostile();
    std::system(("rm -rf " + dir).c_str());
    return 0;
}
