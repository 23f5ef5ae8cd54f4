// castdeploy-server: answers installers that boot from the network on one LAN
// interface and serves them a driver package, then package files and ".scr"
// configuration scripts, in the order given.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "frame.h"
#include "monitor.h"
#include "package_check.h"
#include "server.h"

using namespace castdeploy;

namespace {

const char kUsage[] =
    "usage: castdeploy-server --interface IF --drivers DRIVERS.vpk [options] FILE...\n"
    "\n"
    "Answers the installers that boot from the network on the LAN segment of IF:\n"
    "each machine first gets the driver package, then FILE... in the order given\n"
    "(package files, and \".scr\" configuration scripts written into the new\n"
    "system). One server serves both stages and any number of machines at once,\n"
    "on the interface that faces the rack (no IPv4 address needed). Only\n"
    "broadcasts on that segment are answered. It needs the capability\n"
    "CAP_NET_RAW: root has it; its systemd unit runs it as a user of its own\n"
    "with that capability alone.\n"
    "\n"
    "  FILE...          package files and \".scr\" configuration scripts, served in this order\n"
    "  --drivers FILE   the driver package every machine loads before it looks for its disk\n"
    "  --keep           ask the machines to keep their old configuration\n"
    "  --offer TEXT     text of the offer (one line, at most 512 bytes)\n"
    "  --label PATTERN  install only machines whose floppy label matches the shell\n"
    "                   pattern (for example 'rack4-*'); others get their drivers\n"
    "                   but no installation, so several servers can share a LAN\n"
    "  --once           exit once a machine has received every file and ended and\n"
    "                   no other machine is at work (it names those it waits for)\n"
    "  --report FILE    keep a JSON report of every machine in FILE (rewritten as\n"
    "                   things change)\n"
    "  --broadcast-replies  send every reply as an Ethernet broadcast, as to\n"
    "                   every port of the segment (by default each reply goes in\n"
    "                   frames addressed to its machine alone, so a switch\n"
    "                   carries it on that machine's port only)\n"
    "  --chunk N|mtu    fixed file data per reply (default: for each machine, 4076\n"
    "                   or MTU-sized replies, whichever delivers more; MTU-sized at\n"
    "                   once when one reply is lost several times in a row)\n"
    "  --public-key KEY the package key the machines trust (64 hex digits or a key\n"
    "                   file): every package file and configuration script is\n"
    "                   checked with it at start-up, and the server does not start\n"
    "                   if the machines would refuse one (without it nothing is checked)\n"
    "  --known-digests FILE  the machines' table of known digests of unsigned\n"
    "                   packages (default with --public-key: none accepted)\n"
    "  --allow-uninstallable  start even when the machines would not install a\n"
    "                   package file where it is served: one whose dependency no\n"
    "                   package served before it provides, made for another\n"
    "                   architecture, or not newer than one served before it (by\n"
    "                   default the server does not start, and names each one)\n"
    "\n"
    "On a terminal a table shows every machine (phase, file, bytes, rate,\n"
    "repeats); otherwise one line is written per event. Stop with Ctrl-C.\n";

volatile sig_atomic_t stopRequested = 0;
void onStop(int) { stopRequested = 1; }

[[noreturn]] void fail(const std::string& text) {
    std::fprintf(stderr, "castdeploy-server: %s\n", text.c_str());
    std::exit(1);
}

ServedFile openServed(const std::string& path) {
    ServedFile f;
    f.path = path;
    size_t slash = path.rfind('/');
    f.name = slash == std::string::npos ? path : path.substr(slash + 1);
    // The installer keeps 31 characters of a name; a longer one would arrive changed.
    if (f.name.empty() || f.name.size() > 31) fail("file name must have 1 to 31 characters: " + path);
    if (f.name.find('\n') != std::string::npos) fail("file name contains a newline: " + path);
    f.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (f.fd < 0) fail("cannot read " + path + ": " + std::strerror(errno));
    struct stat st;
    if (fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode)) fail("not a regular file: " + path);
    if (st.st_size > INT32_MAX) fail("file too large (2 GiB at most): " + path);
    char probe;
    if (st.st_size > 0 && pread(f.fd, &probe, 1, 0) != 1) fail("cannot read " + path + ": " + std::strerror(errno));
    f.size = st.st_size;
    return f;
}

int64_t monotonicUs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// The server's end of the LAN segment: a UDP socket on one interface that
// receives, and a packet socket that sends each reply in frames addressed to
// its machine (or the UDP socket's broadcasts with --broadcast-replies).
class Link {
public:
    // Opens the sockets; exits with a message when it cannot.
    Link(const std::string& interface, bool broadcastReplies) : name_(interface), packets_(firstId()) {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) fail(std::string("cannot make a UDP socket: ") + std::strerror(errno));
        ifreq ifr = request();
        if (ioctl(fd_, SIOCGIFINDEX, &ifr) != 0) fail("no network interface named " + interface);
        index_ = ifr.ifr_ifindex;
        ifr = request();
        if (ioctl(fd_, SIOCGIFHWADDR, &ifr) != 0) fail("cannot read the hardware address of " + interface);
        std::memcpy(address_.data(), ifr.ifr_hwaddr.sa_data, 6);
        if (proto::isZero(address_)) fail(interface + " has no hardware address");
        ethernet_ = ifr.ifr_hwaddr.sa_family == ARPHRD_ETHER;
        ifr = request();
        mtu_ = ioctl(fd_, SIOCGIFMTU, &ifr) == 0 ? ifr.ifr_mtu : 1500;
        if (!broadcastReplies && ethernet_) {
            // Protocol 0: it only sends, nothing is queued for it to read.
            packetFd_ = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (packetFd_ < 0)
                fail("cannot open a packet socket to address replies to each machine (" +
                     std::string(std::strerror(errno)) + "; it needs CAP_NET_RAW, or use --broadcast-replies)");
        }

        int one = 1;
        int buffer = 4 << 20;
        setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
        if (setsockopt(fd_, SOL_SOCKET, SO_BINDTODEVICE, interface.c_str(),
                       static_cast<socklen_t>(interface.size() + 1)) != 0)
            fail("no permission to use interface " + interface + " (" + std::strerror(errno) + "; run as root)");
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(proto::kPort);
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            if (errno == EACCES || errno == EPERM) fail("no permission to bind UDP port 5000 on " + interface);
            if (errno == EADDRINUSE) fail("UDP port 5000 on " + interface + " is in use (another server?)");
            fail(std::string("cannot bind UDP port 5000: ") + std::strerror(errno));
        }
        everyone_.sin_family = AF_INET;
        everyone_.sin_port = htons(proto::kPort);
        everyone_.sin_addr.s_addr = htonl(INADDR_BROADCAST);
        refresh();
    }

    int fd() const { return fd_; }
    const MacAddress& hardwareAddress() const { return address_; }
    int mtu() const { return mtu_; }

    // The interface's IPv4 address and MTU (they may change while we run).
    void refresh() {
        ifreq ifr = request();
        if (ioctl(fd_, SIOCGIFMTU, &ifr) == 0) mtu_ = ifr.ifr_mtu;
        ifr = request();
        ipv4_ = ioctl(fd_, SIOCGIFADDR, &ifr) == 0 ? reinterpret_cast<sockaddr_in*>(&ifr.ifr_addr)->sin_addr.s_addr : 0;
    }

    // Reads one datagram: its size as the protocol counts it (larger than a
    // message when it was), 0 for one that is not ours to answer, -1 when
    // nothing is queued.
    int receive(Message& in, size_t* wireBytes) {
        sockaddr_in from{};
        iovec iov{in.bytes, sizeof in.bytes};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
        msghdr mh{};
        mh.msg_name = &from;
        mh.msg_namelen = sizeof from;
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        mh.msg_control = control;
        mh.msg_controllen = sizeof control;
        ssize_t n = recvmsg(fd_, &mh, MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0) return -1;
        *wireBytes = static_cast<size_t>(n);
        if (ntohs(from.sin_port) != proto::kPort) return 0;
        const in_pktinfo* info = nullptr;
        for (cmsghdr* c = CMSG_FIRSTHDR(&mh); c; c = CMSG_NXTHDR(&mh, c))
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO)
                info = reinterpret_cast<const in_pktinfo*>(CMSG_DATA(c));
        // Installers send only to 255.255.255.255: whatever was sent to an
        // address of ours (routed here, or a made-up source on the segment) is
        // not theirs, and a reply would go wherever its sender pointed it.
        if (!info || info->ipi_ifindex != index_ || info->ipi_addr.s_addr != htonl(INADDR_BROADCAST)) return 0;
        return n > proto::kMessageSize ? proto::kMessageSize + 1 : static_cast<int>(n);
    }

    bool ethernet() const { return ethernet_; }

    // Sends a reply to one machine. Installers have no IPv4 address, so it is
    // an IP broadcast (to 255.255.255.255:5000) that the machine picks by its
    // MAC address; the frames that carry it are addressed to that machine
    // alone unless replies are broadcast. A frame the queue had no room for
    // counts as sent: lost on the way, the machine asks again.
    bool sendReply(const MacAddress& machine, const Message& reply, int mtu) {
        if (packetFd_ < 0 || proto::isZero(machine))
            return sendto(fd_, reply.bytes, static_cast<size_t>(reply.size()), 0,
                          reinterpret_cast<const sockaddr*>(&everyone_), sizeof everyone_) >= 0 ||
                   errno == ENOBUFS || errno == EAGAIN;
        UdpAddressing a{ipv4_, htonl(INADDR_BROADCAST), proto::kPort, proto::kPort};
        const auto& packets = packets_.make(a, reply.bytes, static_cast<size_t>(reply.size()), std::min(mtu, mtu_));
        sockaddr_ll to{};
        to.sll_family = AF_PACKET;
        to.sll_protocol = htons(ETH_P_IP);
        to.sll_ifindex = index_;
        to.sll_halen = 6;
        std::memcpy(to.sll_addr, machine.data(), 6);
        size_t n = packets.size();
        iov_.resize(n);
        messages_.resize(n);
        for (size_t i = 0; i < n; ++i) {
            iov_[i] = {const_cast<uint8_t*>(packets[i].data()), packets[i].size()};
            messages_[i] = {};
            messages_[i].msg_hdr.msg_name = &to;
            messages_[i].msg_hdr.msg_namelen = sizeof to;
            messages_[i].msg_hdr.msg_iov = &iov_[i];
            messages_[i].msg_hdr.msg_iovlen = 1;
        }
        for (size_t sent = 0; sent < n;) {
            int r = sendmmsg(packetFd_, messages_.data() + sent, static_cast<unsigned>(n - sent), MSG_DONTWAIT);
            if (r < 0) return errno == ENOBUFS || errno == EAGAIN;
            sent += static_cast<size_t>(r);
        }
        return true;
    }

private:
    // Identifications start somewhere new each run, as the kernel's do.
    static uint16_t firstId() {
        uint16_t id = 0;
        if (getrandom(&id, sizeof id, GRND_NONBLOCK) != sizeof id) id = static_cast<uint16_t>(getpid() ^ time(nullptr));
        return id;
    }

    ifreq request() const {
        ifreq ifr{};
        std::strncpy(ifr.ifr_name, name_.c_str(), IFNAMSIZ - 1);
        return ifr;
    }

    std::string name_;
    int fd_ = -1;
    int packetFd_ = -1;
    bool ethernet_ = true;
    DatagramPackets packets_;
    std::vector<iovec> iov_;
    std::vector<mmsghdr> messages_;
    int index_ = 0;
    int mtu_ = 1500;
    MacAddress address_{};
    in_addr_t ipv4_ = 0;
    sockaddr_in everyone_{};
};

}  // namespace

// The start-up lines never wait for a reader either (the serving loop's
// output is the monitor's, which never blocks): what the output cannot take
// at once is kept and handed to the monitor.
static std::string unsaidAtStart;

static void sayAtStart(const std::string& text) {
    size_t done = 0;
    if (unsaidAtStart.empty()) {
        int flags = fcntl(1, F_GETFL);
        if (flags >= 0 && !(flags & O_NONBLOCK)) fcntl(1, F_SETFL, flags | O_NONBLOCK);
        ssize_t n = write(1, text.data(), text.size());
        if (flags >= 0 && !(flags & O_NONBLOCK)) fcntl(1, F_SETFL, flags);
        if (n > 0) done = static_cast<size_t>(n);
    }
    unsaidAtStart += text.substr(done);
}

int main(int argc, char** argv) {
    std::string interface, driversPath, chunkArg, reportPath;
    MachineTrust trust;
    Config config;
    bool once = false, broadcastReplies = false, allowUninstallable = false;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) fail("option " + a + " needs a value\n" + kUsage);
            return argv[++i];
        };
        if (a == "--interface") interface = value();
        else if (a == "--drivers") driversPath = value();
        else if (a == "--keep") config.keep = true;
        else if (a == "--offer") config.offer = value();
        else if (a == "--label") config.labelPattern = value();
        else if (a == "--once") once = true;
        else if (a == "--broadcast-replies") broadcastReplies = true;
        else if (a == "--allow-uninstallable") allowUninstallable = true;
        else if (a == "--chunk") chunkArg = value();
        else if (a == "--report") reportPath = value();
        else if (a == "--public-key") trust.publicKey = value();
        else if (a == "--known-digests") trust.knownDigests = value();
        else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a.size() > 1 && a[0] == '-') fail("unknown option " + a + "\n" + kUsage);
        else paths.push_back(a);
    }
    if (interface.empty() || driversPath.empty()) fail(std::string("--interface and --drivers are needed\n") + kUsage);
    if (config.offer.size() > 512 || config.offer.find('\n') != std::string::npos)
        fail("the offer must be one line of at most 512 bytes");
    if (interface.size() >= IFNAMSIZ) fail("no network interface named " + interface);

    config.drivers = openServed(driversPath);
    for (const auto& p : paths) config.files.push_back(openServed(p));
    if (!trust.knownDigests.empty() && trust.publicKey.empty()) fail("--known-digests needs --public-key");
    if (!trust.publicKey.empty()) {
        std::vector<const ServedFile*> served{&config.drivers};
        for (const auto& f : config.files) served.push_back(&f);
        std::string report;
        if (!checkServedPackages(trust, served, report)) fail("not starting: " + report);
        sayAtStart(report + "\n");
    } else {
        sayAtStart("no --public-key: no signature is checked; machines built with a key of their own "
                   "refuse every package and configuration script not signed with it\n");
    }

    std::vector<const ServedFile*> inOrder;
    for (const auto& f : config.files) inOrder.push_back(&f);
    std::string orderReport;
    if (!checkServedOrder(inOrder, orderReport)) {
        if (!allowUninstallable) fail("not starting: " + orderReport + "\n(--allow-uninstallable starts anyway)");
        sayAtStart("starting anyway, as --allow-uninstallable asks: " + orderReport + "\n");
    }

    Link link(interface, broadcastReplies);
    config.ownAddress = link.hardwareAddress();
    config.mtuChunk = std::clamp(link.mtu() - 20 - 8 - proto::kHeaderSize, 64, proto::kMaxPayload);
    config.linkMtu = link.mtu();
    if (!chunkArg.empty()) {
        config.adaptive = false;
        config.fullChunk = chunkArg == "mtu" ? config.mtuChunk : std::atoi(chunkArg.c_str());
        if (config.fullChunk < 1 || config.fullChunk > proto::kMaxPayload)
            fail("--chunk takes 1 to 4076 bytes, or mtu");
    }

    // No SA_RESTART: a signal ends the wait at once.
    struct sigaction sa{};
    sa.sa_handler = onStop;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Server server(config);
    Monitor monitor(server, interface, reportPath);
    // what a full output could not take at the start waits in the monitor's buffer
    for (size_t end; (end = unsaidAtStart.find('\n')) != std::string::npos; unsaidAtStart.erase(0, end + 1))
        monitor.note(unsaidAtStart.substr(0, end));
    server.onEvent = [&](const Event& e) { monitor.event(e); };
    monitor.tick(monotonicUs());
    if (!reportPath.empty() && !monitor.reportWritable()) return 1;
    monitor.note("serving " + std::to_string(config.files.size()) + " files on " + interface + " (" +
                 proto::formatMac(config.ownAddress).data() + "), drivers " + config.drivers.name);
    if (!broadcastReplies && !link.ethernet())
        monitor.note(interface + " is not an Ethernet interface: replies are broadcast");

    Message in, reply;
    int64_t lastSecondUs = monotonicUs(), finishedAtUs = -1;
    std::vector<MacAddress> waitingFor;
    bool sendFailed = false;
    while (!stopRequested) {
        pollfd p{link.fd(), POLLIN, 0};
        int r = poll(&p, 1, 100);
        if (r < 0 && errno != EINTR) fail(std::string("waiting for requests: ") + std::strerror(errno));
        // A bounded batch, the stop flag looked at for every datagram: a flood
        // never keeps the server from its timers or from stopping.
        for (int i = 0; r > 0 && i < 512 && !stopRequested; ++i) {
            size_t wire = 0;
            int count = link.receive(in, &wire);
            if (count < 0) break;
            if (count == 0 || !server.handle(in, count, reply)) continue;
            if (!link.sendReply(reply.destination(), reply, server.frameMtu(reply.destination())) && !sendFailed) {
                sendFailed = true;  // said once; the machines repeat themselves
                monitor.note(std::string("cannot send: ") + std::strerror(errno));
            }
        }
        int64_t now = monotonicUs();
        if (now - lastSecondUs >= 1000000) {
            lastSecondUs = now;
            server.expire(now);
            link.refresh();
        }
        monitor.tick(now);
        if (once && server.provenInstallations() > 0) {
            // --once: done when no machine is left at work (a machine that
            // accepted an offer, is preparing its disk, or fetching files),
            // after a little while for a TERM that was lost and is asked for again.
            std::vector<MacAddress> busy = server.atWork(now);
            if (busy != waitingFor) {
                waitingFor = busy;
                if (!busy.empty()) {
                    std::string names;
                    for (size_t k = 0; k < busy.size() && k < 16; ++k)
                        names += std::string(k ? ", " : "") + proto::formatMac(busy[k]).data();
                    if (busy.size() > 16) names += " and " + std::to_string(busy.size() - 16) + " more";
                    monitor.note("--once: an installation completed; waiting for " + names + " before ending");
                }
            }
            if (!busy.empty()) finishedAtUs = -1;
            else if (finishedAtUs < 0) finishedAtUs = now;
        }
        if (finishedAtUs >= 0 && now - finishedAtUs >= 3000000) break;
    }
    monitor.finish(monotonicUs());
    monitor.note("done: " + std::to_string(server.completedInstallations()) + " installations completed" +
                 (server.provenInstallations() < server.completedInstallations()
                      ? " (" + std::to_string(server.completedInstallations() - server.provenInstallations()) +
                            " by machines that never acknowledged a file request)"
                      : ""));
    return 0;
}
