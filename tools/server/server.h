// The installation server's protocol logic, apart from sockets and terminals:
// one session per client MAC address, each with its own sequence numbers, file
// position and last reply (repeated unchanged when the client repeats itself).
//
// Every station on the segment may send anything, so nothing a station sends
// makes the server hold more than a bounded amount: the sessions are counted
// and expire by phase, a machine refused by the label pattern holds nothing,
// and a repeated request is answered at most once per kMinResendUs. Nor may
// a station take a real machine's place: a session that has not fetched
// anything yet is made room for (it is made again from its offer mark when
// its machine goes on), a session at work is not replaced by one broadcast
// in its machine's name, and a machine that has not acknowledged a reply to
// its file requests draws small replies at a low rate.
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
    int linkMtu = 1500;                // of the server's interface: the largest frame we send
    // New machines offered a session per second (after a burst of as many):
    // beyond that a machine gets its offer when it asks again, as installers
    // do every second and a flood from made-up addresses never does.
    double newPerSecond = 64;
};

// How long a session lives without hearing from its machine, by phase.
constexpr int64_t kSecondUs = 1000000;
constexpr int64_t kOfferedLifeUs = 60 * kSecondUs;      // an offer that is not taken up
constexpr int64_t kWorkingLifeUs = 30 * 60 * kSecondUs; // disk preparation, package scripts, finishing
// The installer gives up on a request after 6 s: a session silent longer in
// the middle of a file, or after its start without asking for the list, is
// no longer served by anyone and may make room at once.
constexpr int64_t kGaveUpUs = 10 * kSecondUs;
constexpr int64_t kEndedLifeUs = 60 * kSecondUs;        // long enough to repeat a lost TERM or last reply
constexpr int64_t kSilentAfterUs = 30 * kSecondUs;      // shown as silent while transferring
// The client repeats a request after 20 ms: a resend sooner than this never helps it.
constexpr int64_t kMinResendUs = 15000;
// What a client sends is kept only this long (the installer sends less).
constexpr size_t kMaxLabel = 63, kMaxKernel = 64, kMaxInfo = 128;
// Until a machine has acknowledged a reply to its file requests (`proven`;
// an installer does so with the request after the first FILE), its replies
// carry at most this much file data (a reply is then smaller than twice the
// request), and the replies to its requests are rationed to
// kUnprovenPerSecond after a burst of kUnprovenBurst, a new session in its
// name going on with what the old one had left.
constexpr int kUnprovenData = 24;
constexpr double kUnprovenPerSecond = 8, kUnprovenBurst = 16;
// A reply repeated this many times in a row goes out again in frames of the
// next smaller MTU (1500, then 576, then 68: the least every IPv4 link
// carries), the same datagram cut into smaller fragments.
constexpr int kShrinkRun = 8;

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
    // Repeats of the current request so far.
    int run() const { return run_; }
    // Replies no larger than `small` from now on (frames got smaller).
    void narrow(int small);
    // Data delivered per second by the last window at `size` (0: unmeasured).
    double bytesPerSecond(int size) const { return rate_[size == full_ ? 1 : 0] * 1e6; }

private:
    Change endWindow(int64_t nowUs);
    void clearWindow();
    double& rate(int size) { return rate_[size == full_ ? 1 : 0]; }

    int full_ = proto::kMaxPayload;
    int small_ = proto::kMaxPayload;
    bool adaptive_ = false;
    bool wanted_ = false;        // adaptive sizes asked for (may begin once frames get smaller)
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
    int64_t createdUs = 0;         // when the session was made (never refreshed)
    int64_t lastHeardUs = 0;       // last datagram taken from this machine
    int64_t progressUs = 0;        // last new request (repeats do not count)
    int64_t lastSentUs = -1;       // last reply sent to it (resends are spaced)

    bool proven = false;           // acknowledged a reply to a file request
    bool lastFromRetr = false;     // lastReply answers a RETR
    double budget = kUnprovenBurst;  // replies left while not proven
    int64_t budgetUs = -1;
    int frameMtu = 0;              // largest frame to this machine (0: the link's)
    int deliveredFrame = 0;        // largest frame of a reply it acknowledged

    uint16_t serverSequence = 0;   // of our last message to this client
    bool haveRequest = false;      // false right after the offer
    uint16_t requestSequence = 0;  // of the client's last new request
    std::string requestWord;       // its first four bytes: a repeat is the same request
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
    // Between the acceptance of its offer and its last request: a machine
    // that a --once server waits for, and whose session no broadcast ends.
    bool atWork() const {
        if (kind == Drivers) return phase != Offered && phase != Ended && !driversDone();
        return phase != Offered && phase != Ended;
    }
};

// What happened, for the log and the progress display.
struct Event {
    enum Kind {
        SessionStarted, Accepted, Started, FileStarted, FileDone, ListEnded, Ended, Refused, ChunkChanged,
        Expired,  // forgotten after its phase's lifetime without a word
        Full,     // a new machine was turned away: every session is in use
        EndedEarly,  // WTRM before the whole list: not answered, nothing ends
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
    // The machines at work (see Session::atWork) that have not given up,
    // those set aside by a broadcast in their name included.
    std::vector<MacAddress> atWork(int64_t nowUs) const;
    // The largest frame to send to a machine (its repeats lower it).
    int frameMtu(const MacAddress& mac) const;

    std::function<void(const Event&)> onEvent;
    const std::map<MacAddress, Session>& sessions() const { return sessions_; }
    const Config& config() const { return config_; }
    int completedInstallations() const { return completed_; }
    // Completed by machines that acknowledged the replies to their file
    // requests (a station that sends the requests blind completes nothing).
    int provenInstallations() const { return provenCompleted_; }
    const std::map<MacAddress, Session>& setAside() const { return displaced_; }
    // Broadcasts of new machines not answered because too many came at once.
    uint64_t heldBack() const { return heldBack_; }

private:
    bool handleBroadcast(const Message& in, Message& reply, int64_t nowUs);
    bool draw(Session& s, int64_t nowUs);
    void shrinkFrames(Session& s);
    bool makeRoom(int64_t nowUs);
    bool expired(const Session& s, int64_t nowUs) const;
    void refuse(const Session& fresh, const std::string& why);
    // drawn: counted against what a machine not yet proven may draw (an
    // offer, smaller than the broadcast it answers, is not).
    bool resend(Session& s, Message& reply, int64_t nowUs, bool drawn = true);
    void remember(Session& s, const Message& reply, int64_t nowUs);
    bool serveRetr(Session& s, Message& reply);
    void sizeChanged(Session& s, ReplySizer::Change change);
    void emit(Event::Kind kind, const Session& s, std::string text = {});
    void address(Session& s, Message& reply, uint16_t ack);

    Config config_;
    std::vector<ServedFile> driverList_;
    std::map<MacAddress, Session> sessions_;
    // Sessions at work whose machine's MAC broadcast again: kept aside until
    // either the machine goes on with them (they come back) or they expire.
    std::map<MacAddress, Session> displaced_;
    std::vector<MacAddress> refusedLately_;  // only to log a refusal once, not for every broadcast
    // The offers made lately, one slot per hash of the MAC address (a newer
    // offer overwrites an older one in its slot, a question of a machine
    // held back does not): a session pushed out of the table before its
    // machine started is made again from here when the machine goes on (its
    // YACK, or its STRT after an accepted offer); it also remembers the new
    // machines held back. kOfferMarks slots of 16 bytes: 4 MiB, whatever arrives.
    struct OfferMark {
        MacAddress mac{};
        uint8_t kind = 0;
        bool used = false;      // an offer was made
        bool asked = false;     // it asked while new machines were held back
        bool accepted = false;  // the offer was accepted (YACK)
        uint32_t second = 0;    // of the offer, its acceptance or the question
    };
    static_assert(sizeof(OfferMark) == 16, "the recent-offers table is said to be 4 MiB");
    bool admitNew(const MacAddress& mac, int64_t nowUs);
    double tokens_ = -1;
    int64_t tokensUs_ = 0;
    uint64_t heldBack_ = 0;
    std::vector<OfferMark> offers_;
    OfferMark& mark(const MacAddress& mac);
    bool recall(const Message& in, int64_t nowUs);
    int64_t lastFullUs_ = -1;
    int64_t lastHeldBackUs_ = -1;  // a machine was held back: it will ask again
    int completed_ = 0;
    int provenCompleted_ = 0;
};

// Splits a DSCV payload into its fields; false when it is not one.
bool parseDiscover(std::string_view text, std::string* info, std::string* label, std::string* arch);

}  // namespace castdeploy
