// The installation server's protocol logic, apart from sockets and terminals:
// one session per client MAC address, each with its own sequence numbers, file
// position and last reply (repeated unchanged when the client repeats itself).
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "network/message.h"

namespace castdeploy {

using proto::MacAddress;
using proto::Message;

struct ServedFile {
    std::string path;
    std::string name;  // what the client is told: the path's last component
    int fd = -1;
    int64_t size = 0;
};

struct Config {
    MacAddress ownAddress{};
    ServedFile drivers;
    std::vector<ServedFile> files;
    std::string offer = "castdeploy";  // second line of OFFR
    bool keep = false;
    std::string labelPattern;          // empty: serve every machine
    int fullChunk = proto::kMaxPayload;
    int mtuChunk = 1452;               // payload that fits one Ethernet frame
    bool adaptive = true;              // fall back to mtuChunk when requests repeat
};

struct Session {
    enum Kind { Drivers, Install };
    enum Phase { Offered, Accepted, Started, Transferring, ListEnded, Ended };

    MacAddress client{};
    Kind kind = Drivers;
    Phase phase = Offered;
    std::string label, kernel, clientInfo;
    time_t startedAt = 0;

    uint16_t serverSequence = 0;   // of our last message to this client
    bool haveRequest = false;      // false right after the offer
    uint16_t requestSequence = 0;  // of the client's last new request
    Message lastReply;

    size_t fileIndex = 0;
    bool inFile = false;           // FILE announced, data follows
    int64_t offset = 0;
    int64_t bytesSent = 0;

    // Reply size: full messages travel as IP fragments, which under loss are
    // lost whole; after repeated requests the session uses MTU-sized replies.
    int chunk = proto::kMaxPayload;
    int windowRequests = 0;
    int windowRepeats = 0;
    uint64_t requests = 0;
    uint64_t repeats = 0;
};

// What happened, for the log and the progress display.
struct Event {
    enum Kind { SessionStarted, Accepted, Started, FileStarted, FileDone, ListEnded, Ended, Refused, ChunkChanged };
    Kind kind;
    const Session* session;
    std::string text;
};

class Server {
public:
    explicit Server(Config config) : config_(std::move(config)) {
        if (config_.drivers.fd >= 0) driverList_.push_back(config_.drivers);
    }

    // Handles one received datagram; returns true and fills reply when a
    // reply must be sent.
    bool handle(const Message& in, int count, Message& reply);

    std::function<void(const Event&)> onEvent;
    const std::map<MacAddress, Session>& sessions() const { return sessions_; }
    const Config& config() const { return config_; }
    int completedInstallations() const { return completed_; }

private:
    bool handleBroadcast(const Message& in, Message& reply);
    void handleRequest(Session& s, const Message& in, Message& reply);
    bool serveRetr(Session& s, Message& reply);
    void adapt(Session& s, bool repeated);
    void emit(Event::Kind kind, const Session& s, std::string text = {});
    void address(Session& s, Message& reply, uint16_t ack);

    Config config_;
    std::vector<ServedFile> driverList_;
    std::map<MacAddress, Session> sessions_;
    int completed_ = 0;
};

// Splits a DSCV payload into its fields; false when it is not one.
bool parseDiscover(std::string_view text, std::string* info, std::string* label, std::string* arch);

}  // namespace castdeploy
