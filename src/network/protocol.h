// Client side of the network installation protocol: UDP broadcast on port
// 5000 over every usable interface, no IPv4 address needed, stop-and-wait
// requests with retransmission of the same sequence number.
#pragma once

#include <netinet/in.h>
#include <sys/time.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "network/message.h"

using proto::MacAddress;
using proto::Message;

// One endpoint per usable network interface.
struct NetInterface {
    std::string name;
    MacAddress hardwareAddress{};
    int socket = -1;
    sockaddr_in broadcastAddress{};  // 255.255.255.255:5000
    sockaddr_in lastSource{};        // where the last datagram came from
};

struct ProtocolSession {
    uint32_t sendSequence = 0;     // sequence of the client's last message
    uint32_t receiveSequence = 0;  // sequence of the last message accepted
    MacAddress ownAddress{};
    MacAddress peerAddress{};      // all zero while no server was chosen

    void clear() { *this = ProtocolSession{}; }
};

// The file being fetched with RETR.
struct FileTransfer {
    FileTransfer(NetInterface& iface, ProtocolSession& session) : iface(&iface), session(&session) {}

    std::string name;  // from the last FILE message, whole; empty at the end of the list
    int32_t size = 0;
    int chunkLength = 0;    // payload length of the last data message
    int chunkPosition = 0;  // bytes of it already handed out
    Message reply;
    NetInterface* iface;
    ProtocolSession* session;
};

struct InstallClient {
    InstallClient() = default;
    InstallClient(const InstallClient&) = delete;
    InstallClient& operator=(const InstallClient&) = delete;
    ~InstallClient() { closeInterfaces(); }

    std::vector<NetInterface> interfaces;
    int chosenInterface = -1;
    ProtocolSession session;
    std::unique_ptr<FileTransfer> transfer;
    int broadcastCount = 0;
    timeval offerWait{};

    // Closes and forgets every endpoint.
    void closeInterfaces();
    NetInterface* chosen() { return chosenInterface >= 0 ? &interfaces[chosenInterface] : nullptr; }
};

// Timers of the stop-and-wait exchanges.
constexpr long kYackTimeoutUs = 1000000;
constexpr int kYackAttempts = 5;
constexpr long kStrtTimeoutUs = 1000000;
constexpr int kStrtAttempts = 5;
constexpr long kRetrTimeoutUs = 20000;
constexpr int kRetrAttempts = 300;

// Finds the usable interfaces (listed in /proc/net/dev, non-zero MAC), brings
// them up, and opens a broadcast endpoint on each. Replaces client.interfaces;
// returns their count.
int enumerateInterfaces(InstallClient& client);

void fillHeader(ProtocolSession& session, Message& message, int payloadLength);
// A negative count stands for a failed read and is refused.
bool acceptMessage(ProtocolSession& session, int count, const Message& message);

bool broadcastMessage(InstallClient& client, Message& message, int payloadLength);
bool waitForOffer(InstallClient& client, Message& buffer, const char* word);
// Byte count of the accepted reply, or -1 after the attempts.
int sendAndWait(NetInterface& iface, ProtocolSession& session, Message& message, Message& reply,
                long timeoutUs, int attempts);

bool openNextFile(FileTransfer& transfer);
int readFileData(FileTransfer& transfer, void* buffer, int maximum);

// The offer of an install server: "OFFR\n<line of at most 512 bytes>\n[keep\n]".
// False when the offer is malformed (it is then not taken).
bool parseOffer(const Message& offer, std::string* line, bool* keep);
// The announcement "FILE\n<name>\n<size>\n"; false when it is not one.
bool parseFileAnnouncement(const Message& reply, std::string* name, int32_t* size);

// Discovery on the DSCV level; repeats until a server accepts. Returns true
// with the keep flag of the offer.
bool negotiateInstall(InstallClient& client, const std::string& second, const std::string& third,
                      const std::string& label, bool* keep);

// Reads one datagram from the endpoint; -1 when nothing was read or it did
// not come from port 5000.
int receiveDatagram(NetInterface& iface, Message& into);
bool sendMessage(NetInterface& iface, const Message& message);

uint64_t timeOfDayMicroseconds();
