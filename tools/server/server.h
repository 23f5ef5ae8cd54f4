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
    bool adaptive = true;              // choose between fullChunk and mtuChunk per machine
};

// Chooses how much file data each reply to one machine carries. A full reply
// is larger than the MTU and travels as IP fragments: under loss it is lost
// whole, and where half-reassembled fragments pile up in the client's kernel
// every full reply fails for seconds. Replies that fit one frame are safer but
// need almost three times as many exchanges, so neither size is right
// everywhere: the sizer measures the data delivered per second at the size in
// use over windows of up to 512 KiB or half a second, now and then tries the
// other size for one window, and keeps whichever delivered more. A run of
// repeats of one full reply longer than the measured loss explains is taken
// for a pile-up: the sizer falls back at once and does not try full replies
// again for a while. A reply already sent is never changed (the client may
// hold it, its repeated request crossing our reply).
class ReplySizer {
public:
    enum Change { None, FellBack, Adopted };

    ReplySizer() = default;
    ReplySizer(int full, int small, bool adaptive);

    int size() const { return size_; }

    // A new request arrived at nowUs. The reply it acknowledges carried
    // `delivered` bytes of file data and was made when size() was `madeAt`
    // (0 when it carried no file data).
    Change onRequest(int64_t nowUs, int delivered, int madeAt);
    // The client repeated its request; the stored reply carries `replyData`
    // bytes of file data.
    Change onRepeat(int64_t nowUs, int replyData);

    // Repeats of one fragmented reply in a row that count as a pile-up, from
    // the loss measured so far (a longer run is needed on a lossy line).
    int stallRun() const;
    // Data delivered per second by the last window at `size` (0: unmeasured).
    double bytesPerSecond(int size) const { return rate_[size == full_ ? 1 : 0] * 1e6; }

private:
    Change endWindow(int64_t nowUs);
    void clearWindow();
    double& rate(int size) { return rate_[size == full_ ? 1 : 0]; }

    int full_ = proto::kMaxPayload;
    int small_ = proto::kMaxPayload;
    bool adaptive_ = false;
    int size_ = proto::kMaxPayload;

    int64_t lastRequestUs_ = -1;
    int run_ = 0;                // repeats of the current request
    int64_t windowBytes_ = 0;
    int64_t windowUs_ = 0;
    int windowRepeats_ = 0;
    int windowReplies_ = 0;
    double rate_[2] = {0, 0};    // bytes per microsecond: small, full

    bool probing_ = false;       // this window tries the other size
    int probeGap_ = 2;           // windows at the kept size before the next try (doubles)
    int sinceProbe_ = 0;
    int stalls_ = 0;             // pile-ups without a good full window since
    int64_t holdUntilUs_ = 0;    // no full replies tried before this

    struct Loss {
        double sent = 0;  // replies with file data sent, repeats included (decaying)
        double lost = 0;  // of which the client asked again
    };
    Loss fragmented_, whole_;
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

    ReplySizer sizer;
    int lastData = 0;      // file data in lastReply
    int lastDataMadeAt = 0;  // sizer.size() when lastReply was made with data
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
    // The same at a given time (microseconds of a monotonic clock).
    bool handle(const Message& in, int count, Message& reply, int64_t nowUs);

    std::function<void(const Event&)> onEvent;
    const std::map<MacAddress, Session>& sessions() const { return sessions_; }
    const Config& config() const { return config_; }
    int completedInstallations() const { return completed_; }

private:
    bool handleBroadcast(const Message& in, Message& reply);
    void handleRequest(Session& s, const Message& in, Message& reply);
    bool serveRetr(Session& s, Message& reply);
    void sizeChanged(Session& s, ReplySizer::Change change);
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
