// The installation server's protocol logic, apart from sockets and terminals:
// one session per client MAC address, each with its own sequence numbers, file
// position and last reply (repeated unchanged when the client repeats itself).
//
// Every station on the segment may send anything, so nothing a station sends
// makes the server hold more than a bounded amount: the sessions are counted
// and expire by phase, a machine refused by the label pattern holds nothing,
// and a repeated request is answered at most once per kMinResendUs.
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
    size_t maxSessions = 4096;         // machines tracked at once (a few MiB at most)
    // New machines offered a session per second (after a burst of as many):
    // beyond that a machine gets its offer when it asks again, as installers
    // do every second and a flood from made-up addresses never does.
    double newPerSecond = 64;
};

// How long a session lives without hearing from its machine, by phase.
constexpr int64_t kSecondUs = 1000000;
constexpr int64_t kOfferedLifeUs = 60 * kSecondUs;      // an offer that is not taken up
constexpr int64_t kWorkingLifeUs = 30 * 60 * kSecondUs; // disk preparation, package scripts, finishing
constexpr int64_t kEndedLifeUs = 60 * kSecondUs;        // long enough to repeat a lost TERM or last reply
constexpr int64_t kSilentAfterUs = 30 * kSecondUs;      // shown as silent while transferring
// The client repeats a request after 20 ms: a resend sooner than this never helps it.
constexpr int64_t kMinResendUs = 15000;
// What a client sends is kept only this long (the installer sends less).
constexpr size_t kMaxLabel = 63, kMaxKernel = 64, kMaxInfo = 128;

// Text that a station sent, made safe for a terminal, a log and a JSON
// string: printable ASCII stays (a backslash is doubled), every other byte
// becomes \xNN.
std::string printable(std::string_view text);

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
    std::string label, kernel, clientInfo;  // as sent (bounded); print them through printable()
    time_t startedAt = 0;
    time_t endedAt = 0;
    int64_t lastHeardUs = 0;       // last datagram taken from this machine
    int64_t lastSentUs = -1;       // last reply sent to it (resends are spaced)

    uint16_t serverSequence = 0;   // of our last message to this client
    bool haveRequest = false;      // false right after the offer
    uint16_t requestSequence = 0;  // of the client's last new request
    std::vector<uint8_t> lastReply;  // exactly the bytes sent: small for an offer

    size_t fileIndex = 0;
    bool inFile = false;           // FILE announced, data follows
    int64_t offset = 0;
    int64_t bytesSent = 0;

    ReplySizer sizer;
    int lastData = 0;      // file data in lastReply
    int lastDataMadeAt = 0;  // sizer.size() when lastReply was made with data
    uint64_t requests = 0;
    uint64_t repeats = 0;
    uint64_t unanswered = 0;  // repeats that came too soon to be answered

    // Whether the machine has the whole list (it may now ask to terminate).
    bool hasWholeList() const { return phase == ListEnded || (phase == Ended && kind == Install && wholeList); }
    bool wholeList = false;
    // The driver file was delivered to its end: nothing more is expected.
    bool driversDone() const { return kind == Drivers && fileIndex > 0 && !inFile; }
};

// What happened, for the log and the progress display.
struct Event {
    enum Kind {
        SessionStarted, Accepted, Started, FileStarted, FileDone, ListEnded, Ended, Refused, ChunkChanged,
        Expired,  // forgotten after its phase's lifetime without a word
        Full,     // a new machine was turned away: every session is in use
    };
    Kind kind;
    const Session* session;
    std::string text;
};

class Server {
public:
    explicit Server(Config config) : config_(std::move(config)), offers_(kOfferMarks) {
        if (config_.drivers.fd >= 0) driverList_.push_back(config_.drivers);
    }
    static constexpr size_t kOfferMarks = 1 << 18;

    // Handles one received datagram; returns true and fills reply when a
    // reply must be sent (to reply.destination(), the session's machine).
    bool handle(const Message& in, int count, Message& reply);
    // The same at a given time (microseconds of a monotonic clock).
    bool handle(const Message& in, int count, Message& reply, int64_t nowUs);
    // Forgets the sessions whose phase's lifetime has passed in silence.
    void expire(int64_t nowUs);

    std::function<void(const Event&)> onEvent;
    const std::map<MacAddress, Session>& sessions() const { return sessions_; }
    const Config& config() const { return config_; }
    int completedInstallations() const { return completed_; }
    // Broadcasts of new machines not answered because too many came at once.
    uint64_t heldBack() const { return heldBack_; }

private:
    bool handleBroadcast(const Message& in, Message& reply, int64_t nowUs);
    bool makeRoom(int64_t nowUs);
    bool expired(const Session& s, int64_t nowUs) const;
    void refuse(const Session& fresh, const std::string& why);
    bool resend(Session& s, Message& reply, int64_t nowUs);
    void remember(Session& s, const Message& reply, int64_t nowUs);
    bool serveRetr(Session& s, Message& reply);
    void sizeChanged(Session& s, ReplySizer::Change change);
    void emit(Event::Kind kind, const Session& s, std::string text = {});
    void address(Session& s, Message& reply, uint16_t ack);

    Config config_;
    std::vector<ServedFile> driverList_;
    std::map<MacAddress, Session> sessions_;
    std::vector<MacAddress> refusedLately_;  // only to log a refusal once, not for every broadcast
    // The offers made lately, one slot per hash of the MAC address (a newer
    // offer overwrites an older one in its slot): under a flood of offers
    // a session pushed out of the table before its machine answered is made
    // again from here when the answer comes; it also remembers the new
    // machines held back. 3 MiB, whatever arrives.
    struct OfferMark {
        MacAddress mac{};
        uint8_t kind = 0;
        bool used = false;    // an offer was made
        bool asked = false;   // it asked while new machines were held back
        uint32_t second = 0;  // of the offer or the question (an offer lives a minute)
    };
    bool admitNew(const MacAddress& mac, int64_t nowUs);
    double tokens_ = -1;
    int64_t tokensUs_ = 0;
    uint64_t heldBack_ = 0;
    std::vector<OfferMark> offers_;
    OfferMark& mark(const MacAddress& mac);
    bool recall(const Message& in, int64_t nowUs);
    int64_t lastFullUs_ = -1;
    int completed_ = 0;
};

// Splits a DSCV payload into its fields; false when it is not one.
bool parseDiscover(std::string_view text, std::string* info, std::string* label, std::string* arch);

}  // namespace castdeploy
