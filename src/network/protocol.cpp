#include "network/protocol.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Deadlines use a clock that does not jump when someone sets the time of day.
int64_t monotonicMicroseconds() {
    timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return 0;
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

sockaddr_in broadcastTo() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(proto::kPort);
    a.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    return a;
}

void copyName(ifreq& ifr, const std::string& name) {
    std::memset(&ifr, 0, sizeof ifr);
    std::strncpy(ifr.ifr_name, name.c_str(), IFNAMSIZ - 1);
}

// Configures one endpoint in the order the interface needs it; false drops the interface.
bool openEndpoint(int control, NetInterface& iface) {
    int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) return false;
    int one = 1;
    ifreq ifr;
    bool ok = setsockopt(s, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) == 0;
    if (ok) {
        int flags = fcntl(s, F_GETFL);
        ok = flags >= 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
    }
    if (ok)
        ok = setsockopt(s, SOL_SOCKET, SO_BINDTODEVICE, iface.name.c_str(),
                        static_cast<socklen_t>(iface.name.size() + 1)) == 0;
    if (ok) {
        copyName(ifr, iface.name);
        ok = ioctl(control, SIOCGIFFLAGS, &ifr) == 0;
        if (ok) {
            ifr.ifr_flags |= IFF_UP | IFF_RUNNING | IFF_PROMISC;
            ok = ioctl(control, SIOCSIFFLAGS, &ifr) == 0;
        }
    }
    if (ok) {
        // Broadcast needs no address; an interface without one gets 0.0.0.0.
        copyName(ifr, iface.name);
        if (ioctl(control, SIOCGIFADDR, &ifr) != 0) {
            copyName(ifr, iface.name);
            auto* sin = reinterpret_cast<sockaddr_in*>(&ifr.ifr_addr);
            sin->sin_family = AF_INET;
            sin->sin_addr.s_addr = htonl(INADDR_ANY);
            ok = ioctl(control, SIOCSIFADDR, &ifr) == 0;
        }
    }
    if (ok) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(proto::kPort);
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        ok = bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
    }
    if (!ok) {
        close(s);
        return false;
    }
    iface.socket = s;
    iface.broadcastAddress = broadcastTo();
    return true;
}

// Waits until fd is readable or timeoutUs passed: 1 readable, 0 timeout, -1 error.
int waitReadable(int fd, int64_t timeoutUs) {
    for (;;) {
        if (timeoutUs < 0) timeoutUs = 0;
        fd_set set;
        FD_ZERO(&set);
        FD_SET(fd, &set);
        timeval tv{static_cast<time_t>(timeoutUs / 1000000), static_cast<suseconds_t>(timeoutUs % 1000000)};
        int64_t start = monotonicMicroseconds();
        int r = select(fd + 1, &set, nullptr, nullptr, &tv);
        if (r >= 0) return r > 0 ? 1 : 0;
        if (errno != EINTR) return -1;
        timeoutUs -= monotonicMicroseconds() - start;
    }
}

}  // namespace

void InstallClient::closeInterfaces() {
    for (auto& i : interfaces)
        if (i.socket >= 0) close(i.socket);
    interfaces.clear();
    chosenInterface = -1;
}

uint64_t timeOfDayMicroseconds() {
    timeval tv;
    if (gettimeofday(&tv, nullptr) != 0) return 0;
    return static_cast<uint64_t>(tv.tv_sec) * 1000000 + static_cast<uint64_t>(tv.tv_usec);
}

int enumerateInterfaces(InstallClient& client) {
    client.closeInterfaces();
    FILE* f = std::fopen("/proc/net/dev", "r");
    if (!f) return 0;
    int lines = 0;
    for (int c; (c = std::fgetc(f)) != EOF;)
        if (c == '\n') ++lines;
    if (lines > 2) client.interfaces.reserve(lines - 2);

    int control = ::socket(AF_INET, SOCK_RAW, 250);
    if (control < 0) {
        std::fclose(f);
        return 0;
    }
    std::rewind(f);
    char line[512];
    for (int skip = 0; skip < 2 && std::fgets(line, sizeof line, f); ++skip) {
    }
    while (std::fgets(line, sizeof line, f)) {
        const char* p = line;
        while (*p == ' ' || *p == '\t') ++p;
        const char* colon = std::strchr(p, ':');
        if (!colon) continue;
        size_t n = static_cast<size_t>(colon - p);
        if (n >= IFNAMSIZ) n = IFNAMSIZ - 1;
        NetInterface iface;
        iface.name.assign(p, n);

        ifreq ifr;
        copyName(ifr, iface.name);
        if (ioctl(control, SIOCGIFHWADDR, &ifr) != 0) {
            client.closeInterfaces();
            break;
        }
        std::memcpy(iface.hardwareAddress.data(), ifr.ifr_hwaddr.sa_data, 6);
        if (proto::isZero(iface.hardwareAddress)) continue;  // loopback and the like
        if (openEndpoint(control, iface)) client.interfaces.push_back(iface);
    }
    close(control);
    std::fclose(f);
    return static_cast<int>(client.interfaces.size());
}

void fillHeader(ProtocolSession& session, Message& message, int payloadLength) {
    message.setLength(static_cast<uint16_t>(payloadLength));
    message.setAck(static_cast<uint16_t>(session.receiveSequence));
    ++session.sendSequence;
    message.setSequence(static_cast<uint16_t>(session.sendSequence));
    message.setSource(session.ownAddress);
    message.setDestination(session.peerAddress);
}

bool acceptMessage(ProtocolSession& session, int count, const Message& message) {
    if (count < 0 || !proto::wellFormed(message, count)) return false;
    MacAddress source = message.source();
    if (source == session.ownAddress) return false;  // our own broadcast, looped back
    bool hasPeer = !proto::isZero(session.peerAddress);
    MacAddress destination = message.destination();
    if (proto::isZero(destination)) {
        if (hasPeer) return false;
    } else if (destination != session.ownAddress) {
        return false;
    }
    if (hasPeer && source != session.peerAddress) return false;
    // Until the client's counter passes 65535 the field holds it whole and an
    // ack is plainly not greater; only after that does it wrap.
    bool ackSent = session.sendSequence <= 0xffff
                       ? message.ack() <= session.sendSequence
                       : proto::notAfter16(message.ack(), static_cast<uint16_t>(session.sendSequence));
    if (!ackSent) return false;
    if (message.sequence() != static_cast<uint16_t>(session.receiveSequence + 1)) return false;
    ++session.receiveSequence;
    return true;
}

int receiveDatagram(NetInterface& iface, Message& into) {
    socklen_t len = sizeof iface.lastSource;
    // MSG_TRUNC reports the real size of an oversized datagram, which then fails the length rule.
    ssize_t n = recvfrom(iface.socket, into.bytes, sizeof into.bytes, MSG_TRUNC,
                         reinterpret_cast<sockaddr*>(&iface.lastSource), &len);
    if (n < 0) return -1;
    if (iface.lastSource.sin_family != AF_INET || ntohs(iface.lastSource.sin_port) != proto::kPort) return -1;
    return n > proto::kMessageSize ? proto::kMessageSize + 1 : static_cast<int>(n);
}

bool sendMessage(NetInterface& iface, const Message& message) {
    int size = message.size();
    ssize_t n = sendto(iface.socket, message.bytes, static_cast<size_t>(size), 0,
                       reinterpret_cast<const sockaddr*>(&iface.broadcastAddress), sizeof iface.broadcastAddress);
    return n == size;
}

bool broadcastMessage(InstallClient& client, Message& message, int payloadLength) {
    if (++client.broadcastCount >= 60) {
        // Interfaces may have appeared (a driver loaded late) or gone; look again.
        client.transfer.reset();
        enumerateInterfaces(client);
        client.broadcastCount = 0;
    }
    client.offerWait = {1, 0};
    client.chosenInterface = -1;
    ProtocolSession& s = client.session;
    s.sendSequence = s.receiveSequence = 0;
    s.peerAddress = {};
    for (auto& iface : client.interfaces) {
        s.ownAddress = iface.hardwareAddress;
        fillHeader(s, message, payloadLength);
        s.sendSequence = s.receiveSequence = 0;
        if (!sendMessage(iface, message)) return false;
    }
    return true;
}

bool waitForOffer(InstallClient& client, Message& buffer, const char* word) {
    ProtocolSession& s = client.session;
    for (;;) {
        fd_set set;
        FD_ZERO(&set);
        int top = -1;
        for (auto& iface : client.interfaces) {
            FD_SET(iface.socket, &set);
            if (iface.socket > top) top = iface.socket;
        }
        // Linux leaves the time not slept in offerWait, so every wait after one
        // broadcast draws on the same second.
        int r = select(top + 1, &set, nullptr, nullptr, &client.offerWait);
        if (r == 0) return false;
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        for (size_t i = 0; i < client.interfaces.size(); ++i) {
            NetInterface& iface = client.interfaces[i];
            if (!FD_ISSET(iface.socket, &set)) continue;
            for (;;) {
                s.sendSequence = s.receiveSequence = 0;
                s.peerAddress = {};
                s.ownAddress = iface.hardwareAddress;
                int n = receiveDatagram(iface, buffer);
                if (n < 0) {
                    if (errno == EAGAIN || errno == EWOULDBLOCK) break;
                    continue;  // a datagram from a foreign port: drop it
                }
                if (!acceptMessage(s, n, buffer)) continue;
                if (proto::isZero(buffer.destination()) || buffer.length() == 0 || !buffer.startsWith(word))
                    continue;
                client.chosenInterface = static_cast<int>(i);
                s.peerAddress = buffer.source();
                return true;
            }
        }
    }
}

int sendAndWait(NetInterface& iface, ProtocolSession& session, Message& message, Message& reply,
                long timeoutUs, int attempts) {
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (!sendMessage(iface, message)) return -1;
        int64_t deadline = monotonicMicroseconds() + timeoutUs;
        for (;;) {
            int64_t left = deadline - monotonicMicroseconds();
            if (left <= 0) break;
            int r = waitReadable(iface.socket, left);
            if (r < 0) return -1;
            if (r == 0) break;
            int n = receiveDatagram(iface, reply);
            if (acceptMessage(session, n, reply)) return n;
        }
    }
    return -1;
}

bool parseFileAnnouncement(const Message& reply, std::string* name, int32_t* size) {
    std::string_view t = reply.text();
    if (t.substr(0, 5) != "FILE\n") return false;
    size_t nameEnd = t.find('\n', 5);
    if (nameEnd == std::string_view::npos) return false;
    size_t sizeEnd = t.find('\n', nameEnd + 1);
    if (sizeEnd == std::string_view::npos) return false;
    std::string_view n = t.substr(5, nameEnd - 5);
    name->assign(n);  // whole: it is classified and bounded by the flow
    // Leading digits in decimal; anything else reads as 0, like the C conversion.
    std::string digits(t.substr(nameEnd + 1, sizeEnd - nameEnd - 1));
    long long v = std::strtoll(digits.c_str(), nullptr, 10);
    if (v > INT32_MAX) v = INT32_MAX;
    if (v < INT32_MIN) v = INT32_MIN;
    *size = static_cast<int32_t>(v);
    return true;
}

bool openNextFile(FileTransfer& t) {
    t.chunkPosition = t.size = t.chunkLength = 0;
    Message request;
    request.clear();
    std::memcpy(request.payload(), "RETR", 4);
    fillHeader(*t.session, request, 4);
    if (sendAndWait(*t.iface, *t.session, request, t.reply, kRetrTimeoutUs, kRetrAttempts) < 0) return false;
    if (!parseFileAnnouncement(t.reply, &t.name, &t.size)) {
        t.size = 0;
        t.name.clear();
        return false;
    }
    return t.size >= 0;
}

int readFileData(FileTransfer& t, void* buffer, int maximum) {
    if (t.chunkPosition == t.chunkLength) {
        Message request;
        request.clear();
        std::memcpy(request.payload(), "RETR", 4);
        fillHeader(*t.session, request, 4);
        if (sendAndWait(*t.iface, *t.session, request, t.reply, kRetrTimeoutUs, kRetrAttempts) < 0) return -1;
        t.chunkLength = t.reply.length();
        t.chunkPosition = 0;
        if (t.chunkLength == 0) return 0;
    }
    int n = t.chunkLength - t.chunkPosition;
    if (n > maximum) n = maximum;
    std::memcpy(buffer, t.reply.payload() + t.chunkPosition, static_cast<size_t>(n));
    t.chunkPosition += n;
    return n;
}

bool parseOffer(const Message& offer, std::string* line, bool* keep) {
    std::string_view t = offer.text();
    if (t.substr(0, 5) != "OFFR\n") return false;
    size_t end = t.find('\n', 5);
    if (end == std::string_view::npos || end - 5 > 512) return false;
    if (line) line->assign(t.substr(5, end - 5));
    if (keep) *keep = t.substr(end + 1, 5) == "keep\n";
    return true;
}

bool negotiateInstall(InstallClient& client, const std::string& second, const std::string& third,
                      const std::string& label, bool* keep) {
    Message message;
    for (;;) {
        *keep = false;
        message.clear();
        std::string text = "DSCV\n" + second + "\n" + third + "\n" + label + "\ni386\n";
        text.resize(std::min<size_t>(text.size(), proto::kMaxPayload - 1));
        int length = message.setText(text) + 1;  // with its terminating zero
        message.payload()[length - 1] = 0;
        broadcastMessage(client, message, length);

        bool taken = false;
        while (!taken && waitForOffer(client, message, "OFFR")) taken = parseOffer(message, nullptr, keep);
        if (!taken) continue;

        NetInterface& iface = client.interfaces[client.chosenInterface];
        Message yack, reply;
        yack.clear();
        std::memcpy(yack.payload(), "YACK\n", 5);
        fillHeader(client.session, yack, 5);
        if (sendAndWait(iface, client.session, yack, reply, kYackTimeoutUs, kYackAttempts) < 0) continue;
        client.transfer = std::make_unique<FileTransfer>(iface, client.session);
        return true;
    }
}
