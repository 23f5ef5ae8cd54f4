// castdeploy-server: answers installers that boot from the network on one LAN
// interface and serves them a driver package, then package files and ".scr"
// configuration scripts, in the order given.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "package_check.h"
#include "server.h"

using namespace castdeploy;

namespace {

const char kUsage[] =
    "usage: castdeploy-server --interface IF --drivers DRIVER.vpk [--keep] [--offer TEXT]\n"
    "                         [--label PATTERN] [--once] [--chunk BYTES|mtu]\n"
    "                         [--public-key KEY [--known-digests FILE]] FILE...\n"
    "  FILE...          package files and \".scr\" configuration scripts, served in this order\n"
    "  --keep           ask the machines to keep their old configuration\n"
    "  --offer TEXT     text of the offer (one line, at most 512 bytes)\n"
    "  --label PATTERN  serve only machines whose floppy label matches (shell pattern)\n"
    "  --once           exit after one completed installation\n"
    "  --chunk N|mtu    fixed file data per reply (default: for each machine, 4076\n"
    "                   or MTU-sized replies, whichever delivers more; MTU-sized at\n"
    "                   once when one reply is lost several times in a row)\n"
    "  --public-key KEY the package key the machines trust (64 hex digits or a key\n"
    "                   file): every package file is checked with it at start-up,\n"
    "                   and the server does not start if the machines would refuse one\n"
    "  --known-digests FILE  the machines' table of known digests of unsigned\n"
    "                   packages (default with --public-key: none accepted)\n";

volatile sig_atomic_t stopRequested = 0;
void onStop(int) { stopRequested = 1; }

[[noreturn]] void fail(const std::string& text) {
    std::fprintf(stderr, "castdeploy-server: %s\n", text.c_str());
    std::exit(1);
}

std::string now() {
    char buf[32];
    time_t t = time(nullptr);
    strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", localtime(&t));
    return buf;
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

// Terminal output: log lines scroll, one status line per active machine stays
// below them (only when standard output is a terminal).
class Display {
public:
    explicit Display(const Server& server) : server_(server), tty_(isatty(1)) {}

    void log(const Session* s, const std::string& text) {
        clearStatus();
        if (s)
            std::printf("%s %s %s\n", now().c_str(), proto::formatMac(s->client).data(), text.c_str());
        else
            std::printf("%s %s\n", now().c_str(), text.c_str());
        drawStatus();
        std::fflush(stdout);
    }

    void refresh() {
        if (!tty_) return;
        clearStatus();
        drawStatus();
        std::fflush(stdout);
    }

private:
    void clearStatus() {
        if (!tty_) return;
        for (int i = 0; i < lines_; ++i) std::printf("\033[1A\033[2K");
        std::printf("\r");
        lines_ = 0;
    }

    void drawStatus() {
        if (!tty_) return;
        const Config& c = server_.config();
        for (const auto& [mac, s] : server_.sessions()) {
            if (s.phase == Session::Ended) continue;
            std::string what;
            const auto& files = s.kind == Session::Install ? c.files : std::vector<ServedFile>{c.drivers};
            switch (s.phase) {
            case Session::Offered: what = "offered"; break;
            case Session::Accepted: what = "preparing its disk"; break;
            case Session::Started: what = "started"; break;
            case Session::ListEnded: what = "finishing"; break;
            default:
                if (s.fileIndex < files.size()) {
                    const ServedFile& f = files[s.fileIndex];
                    int pct = f.size ? static_cast<int>(s.offset * 100 / f.size) : 100;
                    what = "file " + std::to_string(s.fileIndex + 1) + "/" + std::to_string(files.size()) + " " +
                           f.name + " " + std::to_string(pct) + "%";
                }
            }
            std::printf("  %s %-8s %s  %s\n", proto::formatMac(mac).data(),
                        s.kind == Session::Drivers ? "drivers" : "install", s.label.c_str(), what.c_str());
            ++lines_;
        }
    }

    const Server& server_;
    bool tty_;
    int lines_ = 0;
};

std::string describe(const Event& e) {
    const Session& s = *e.session;
    switch (e.kind) {
    case Event::SessionStarted:
        return s.kind == Session::Drivers ? "asks for drivers (kernel " + s.kernel + ")"
                                          : "looks for a server: label \"" + s.label + "\", " + s.clientInfo;
    case Event::Accepted: return "accepted the offer, preparing its disk";
    case Event::Started: return "started the installation";
    case Event::FileStarted: return "sending " + e.text;
    case Event::FileDone: return "sent " + e.text;
    case Event::ListEnded:
        return "all files sent (" + std::to_string(s.bytesSent) + " bytes, " + std::to_string(s.repeats) +
               " repeated requests)";
    case Event::Ended: return s.kind == Session::Install ? "installation finished" : "drivers done";
    case Event::Refused: return "refused: " + e.text;
    case Event::ChunkChanged: return e.text;
    }
    return e.text;
}

}  // namespace

int main(int argc, char** argv) {
    std::string interface, driversPath, chunkArg;
    MachineTrust trust;
    Config config;
    bool once = false;
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
        else if (a == "--chunk") chunkArg = value();
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
        std::printf("%s %s\n", now().c_str(), report.c_str());
    }

    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) fail(std::string("cannot make a UDP socket: ") + std::strerror(errno));
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, interface.c_str(), IFNAMSIZ - 1);
    if (ioctl(s, SIOCGIFINDEX, &ifr) != 0) fail("no network interface named " + interface);
    if (ioctl(s, SIOCGIFHWADDR, &ifr) != 0) fail("cannot read the hardware address of " + interface);
    std::memcpy(config.ownAddress.data(), ifr.ifr_hwaddr.sa_data, 6);
    if (proto::isZero(config.ownAddress)) fail(interface + " has no hardware address");
    std::strncpy(ifr.ifr_name, interface.c_str(), IFNAMSIZ - 1);
    int mtu = ioctl(s, SIOCGIFMTU, &ifr) == 0 ? ifr.ifr_mtu : 1500;
    config.mtuChunk = std::clamp(mtu - 20 - 8 - proto::kHeaderSize, 64, proto::kMaxPayload);
    if (!chunkArg.empty()) {
        config.adaptive = false;
        config.fullChunk = chunkArg == "mtu" ? config.mtuChunk : std::atoi(chunkArg.c_str());
        if (config.fullChunk < 1 || config.fullChunk > proto::kMaxPayload)
            fail("--chunk takes 1 to 4076 bytes, or mtu");
    }

    int one = 1;
    int buffer = 4 << 20;
    setsockopt(s, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    if (setsockopt(s, SOL_SOCKET, SO_BINDTODEVICE, interface.c_str(), static_cast<socklen_t>(interface.size() + 1)) != 0)
        fail("no permission to use interface " + interface + " (" + std::strerror(errno) + "; run as root)");
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(proto::kPort);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        if (errno == EACCES || errno == EPERM) fail("no permission to bind UDP port 5000 on " + interface);
        if (errno == EADDRINUSE) fail("UDP port 5000 on " + interface + " is in use (another server?)");
        fail(std::string("cannot bind UDP port 5000: ") + std::strerror(errno));
    }
    sockaddr_in everyone{};
    everyone.sin_family = AF_INET;
    everyone.sin_port = htons(proto::kPort);
    everyone.sin_addr.s_addr = htonl(INADDR_BROADCAST);

    struct sigaction sa{};
    sa.sa_handler = onStop;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Server server(config);
    Display display(server);
    server.onEvent = [&](const Event& e) { display.log(e.session, describe(e)); };
    display.log(nullptr, "serving " + std::to_string(config.files.size()) + " files on " + interface + " (" +
                             proto::formatMac(config.ownAddress).data() + "), drivers " + config.drivers.name);

    Message in, reply;
    timespec lastDraw{}, finishedAt{};
    bool finished = false;
    while (!stopRequested) {
        pollfd p{s, POLLIN, 0};
        int r = poll(&p, 1, 250);
        timespec t;
        clock_gettime(CLOCK_MONOTONIC, &t);
        if (r < 0 && errno != EINTR) fail(std::string("waiting for requests: ") + std::strerror(errno));
        if (r > 0) {
            // Drain what is queued; a reply goes out for every request that needs one.
            for (;;) {
                sockaddr_in from{};
                socklen_t len = sizeof from;
                ssize_t n = recvfrom(s, in.bytes, sizeof in.bytes, MSG_DONTWAIT | MSG_TRUNC,
                                     reinterpret_cast<sockaddr*>(&from), &len);
                if (n < 0) break;
                if (ntohs(from.sin_port) != proto::kPort) continue;
                int count = n > proto::kMessageSize ? proto::kMessageSize + 1 : static_cast<int>(n);
                if (!server.handle(in, count, reply)) continue;
                if (sendto(s, reply.bytes, static_cast<size_t>(reply.size()), 0,
                           reinterpret_cast<sockaddr*>(&everyone), sizeof everyone) < 0 &&
                    errno != ENOBUFS && errno != EAGAIN)
                    display.log(nullptr, std::string("cannot send: ") + std::strerror(errno));
            }
        }
        if (once && !finished && server.completedInstallations() > 0) {
            finished = true;
            finishedAt = t;
        }
        // Stay a little for a TERM that was lost and is asked for again.
        if (finished && t.tv_sec - finishedAt.tv_sec >= 3) break;
        if (t.tv_sec * 1000 + t.tv_nsec / 1000000 - (lastDraw.tv_sec * 1000 + lastDraw.tv_nsec / 1000000) >= 500) {
            display.refresh();
            lastDraw = t;
        }
    }
    display.log(nullptr, "done: " + std::to_string(server.completedInstallations()) + " installations completed");
    return 0;
}
