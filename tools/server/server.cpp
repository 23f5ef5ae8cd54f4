#include "server.h"

#include <fnmatch.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>

namespace castdeploy {

namespace {

std::string_view word(const Message& m) { return m.text().substr(0, 4); }

// Text of a request up to its terminating zero, if it has one.
std::string_view untilZero(std::string_view t) {
    size_t z = t.find('\0');
    return z == std::string_view::npos ? t : t.substr(0, z);
}

// A size is judged after 512 KiB or half a second of transfer at it, whichever
// comes first (a bad size is not kept long for the sake of measuring it), and
// over at least 64 replies.
constexpr int64_t kWindowBytes = 512 << 10;
constexpr int64_t kWindowUs = 500000;
constexpr int kWindowReplies = 64;
constexpr int64_t kBusyUs = 100000;  // a longer wait without repeats: the client was busy
constexpr double kMargin = 1.1;      // the small size must deliver this much more to be kept
constexpr int kFirstProbeGap = 2;
constexpr int kMaxProbeGap = 32;
constexpr int64_t kHoldUs = 10000000;  // after a pile-up, doubling with each further one
constexpr int kMaxHoldShift = 4;
constexpr double kFalseStall = 1e-6;   // chance of a run taken for a pile-up on a plain lossy line
constexpr int kMinStallRun = 3, kMaxStallRun = 25;  // 25 repeats: half a second of the client's six

int64_t monotonicUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

}  // namespace

std::string printable(std::string_view text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

bool parseDiscover(std::string_view text, std::string* info, std::string* label, std::string* arch) {
    text = untilZero(text);
    if (text.substr(0, 5) != "DSCV\n" || text.back() != '\n') return false;
    text.remove_prefix(5);
    std::vector<std::string_view> lines;
    for (size_t at = 0; at < text.size();) {
        size_t nl = text.find('\n', at);
        lines.push_back(text.substr(at, nl - at));
        at = nl + 1;
    }
    // second field, third field (free text, may span lines), label, architecture
    if (lines.size() < 4) return false;
    *arch = lines.back();
    *label = lines[lines.size() - 2];
    info->clear();
    for (size_t i = 0; i + 2 < lines.size(); ++i) {
        if (i) info->append(" | ");
        info->append(lines[i]);
    }
    return true;
}

void Server::emit(Event::Kind kind, const Session& s, std::string text) {
    if (onEvent) onEvent(Event{kind, &s, std::move(text)});
}

void Server::address(Session& s, Message& reply, uint16_t ack) {
    reply.setSource(config_.ownAddress);
    reply.setDestination(s.client);
    reply.setSequence(++s.serverSequence);
    reply.setAck(ack);
}

ReplySizer::ReplySizer(int full, int small, bool adaptive)
    : full_(full), small_(small), adaptive_(adaptive && small < full), wanted_(adaptive), size_(full) {}

int ReplySizer::stallRun() const {
    // A line that loses a share q of the full replies repeats one of them k
    // times in a row by chance q^k of the time; a pile-up repeats it until it
    // clears. Take the shortest run that chance hardly ever explains. Until
    // enough full replies were seen, q follows from the loss of small ones
    // (three frames each lost as often as one).
    double q = 0;
    if (fragmented_.sent >= 32)
        q = fragmented_.lost / fragmented_.sent;
    else if (whole_.sent >= 32)
        q = 1 - std::pow(1 - whole_.lost / whole_.sent, 3);
    if (q <= 0) return kMinStallRun;
    if (q >= 0.95) return kMaxStallRun;
    int k = static_cast<int>(std::ceil(std::log(kFalseStall) / std::log(q)));
    return std::clamp(k, kMinStallRun, kMaxStallRun);
}

void ReplySizer::narrow(int small) {
    if (!wanted_ || small >= small_) return;
    bool atSmall = size_ == small_;
    small_ = small;
    adaptive_ = small_ < full_;
    if (atSmall) size_ = small_;
    probing_ = false;
    clearWindow();
    rate_[0] = 0;
}

void ReplySizer::clearWindow() {
    windowBytes_ = windowUs_ = 0;
    windowRepeats_ = windowReplies_ = 0;
}

ReplySizer::Change ReplySizer::onRepeat(int64_t nowUs, int replyData) {
    ++run_;
    if (!adaptive_ || size_ != full_ || replyData <= small_ || run_ < stallRun()) return None;
    // The repeated reply goes out unchanged; the next one is small.
    size_ = small_;
    probing_ = false;
    clearWindow();
    sinceProbe_ = 0;
    probeGap_ = 1;
    holdUntilUs_ = nowUs + (kHoldUs << std::min(stalls_, kMaxHoldShift));
    ++stalls_;
    return FellBack;
}

ReplySizer::Change ReplySizer::onRequest(int64_t nowUs, int delivered, int madeAt) {
    int repeats = run_;
    run_ = 0;
    // A pile-up's run says nothing about the line's loss: left out.
    if (delivered > 0 && repeats < stallRun()) {
        Loss& loss = delivered > small_ ? fragmented_ : whole_;
        loss.sent += 1 + repeats;
        loss.lost += repeats;
        if (loss.sent > 2048) {  // let old loss fade
            loss.sent /= 2;
            loss.lost /= 2;
        }
    }
    int64_t interval = lastRequestUs_ < 0 ? -1 : nowUs - lastRequestUs_;
    lastRequestUs_ = nowUs;
    // Only file data made at the size being measured counts: not the wait for
    // disk preparation, nor the last reply of the other size.
    if (!adaptive_ || delivered <= 0 || madeAt != size_ || interval < 0) return None;
    if (repeats == 0 && interval > kBusyUs) return None;
    windowBytes_ += delivered;
    windowUs_ += interval;
    windowRepeats_ += repeats;
    ++windowReplies_;
    bool full = windowBytes_ >= kWindowBytes || windowUs_ >= kWindowUs;
    return full && windowReplies_ >= kWindowReplies ? endWindow(nowUs) : None;
}

ReplySizer::Change ReplySizer::endWindow(int64_t nowUs) {
    double measured = static_cast<double>(windowBytes_) / static_cast<double>(std::max<int64_t>(windowUs_, 1));
    bool repeated = windowRepeats_ > 0;
    clearWindow();
    int other = size_ == full_ ? small_ : full_;
    rate(size_) = measured;
    if (probing_) {
        probing_ = false;
        sinceProbe_ = 0;
        bool better = size_ == small_ ? measured > rate(full_) * kMargin : measured * kMargin >= rate(small_);
        if (better) {
            probeGap_ = kFirstProbeGap;
            if (size_ == full_) stalls_ = 0;
            return Adopted;
        }
        probeGap_ = std::min(probeGap_ * 2, kMaxProbeGap);
        size_ = other;
        return None;
    }
    if (size_ == full_) {
        stalls_ = 0;
        if (!repeated) return None;  // nothing lost: small replies cannot do better
    }
    if (++sinceProbe_ < probeGap_) return None;
    if (size_ == small_ && nowUs < holdUntilUs_) return None;
    size_ = other;
    probing_ = true;
    return None;
}

void Server::sizeChanged(Session& s, ReplySizer::Change change) {
    if (change == ReplySizer::None) return;
    std::string size = std::to_string(s.sizer.size());
    if (change == ReplySizer::FellBack) {
        emit(Event::ChunkChanged, s,
             "one reply lost " + std::to_string(s.sizer.stallRun()) + " times in a row: replies of " + size + " bytes");
        return;
    }
    int other = s.sizer.size() == config_.fullChunk ? config_.mtuChunk : config_.fullChunk;
    auto kB = [&](int n) { return std::to_string(static_cast<long>(s.sizer.bytesPerSecond(n) / 1000)); };
    emit(Event::ChunkChanged, s,
         "replies of " + size + " bytes deliver " + kB(s.sizer.size()) + " kB/s, " + std::to_string(other) +
             " bytes " + kB(other) + " kB/s");
}

// Whether a session at work is no longer served by anyone: its machine gave
// up a request in the middle of a file, or started and never asked for the list.
static bool gaveUp(const Session& s, int64_t nowUs) {
    bool waiting = s.phase == Session::Started || s.inFile;
    return waiting && nowUs - s.progressUs > kGaveUpUs;
}

bool Server::handle(const Message& in, int count, Message& reply) {
    return handle(in, count, reply, monotonicUs());
}

bool Server::handle(const Message& in, int count, Message& reply, int64_t nowUs) {
    if (!proto::wellFormed(in, count)) return false;
    if (in.source() == config_.ownAddress) return false;  // our own broadcast, looped back
    if (proto::isZero(in.source())) return false;         // nobody to answer
    if (proto::isZero(in.destination())) return handleBroadcast(in, reply, nowUs);
    if (in.destination() != config_.ownAddress) return false;  // another server's client
    auto it = sessions_.find(in.source());
    std::string_view w = word(in);
    // Whether a request goes on from where session s stands (or repeats its last).
    auto fits = [&](const Session& s) {
        if (s.haveRequest && in.sequence() == s.requestSequence) return w == s.requestWord;
        uint16_t expected = s.haveRequest ? static_cast<uint16_t>(s.requestSequence + 1) : 1;
        if (in.sequence() != expected) return false;
        if (s.kind == Session::Drivers) return w == "RETR" && s.phase != Session::Ended;
        if (w == "YACK") return s.phase == Session::Offered;
        if (w == "STRT") return s.phase == Session::Accepted;
        if (w == "RETR") return s.phase >= Session::Started && s.phase <= Session::ListEnded;
        // WTRM before the end of the list is not answered: nothing ends on a
        // request anyone could send in the machine's name (an installer
        // whose list ended early waits for a key).
        if (w == "WTRM") return s.phase == Session::ListEnded;
        return false;
    };
    // The machine goes on with the session a broadcast in its name set aside:
    // that broadcast was not its own, the session comes back.
    auto aside = displaced_.find(in.source());
    if (aside != displaced_.end() && (it == sessions_.end() || !fits(it->second)) && fits(aside->second)) {
        sessions_[in.source()] = std::move(aside->second);
        displaced_.erase(aside);
        it = sessions_.find(in.source());
    }
    if (it == sessions_.end()) {
        if (!recall(in, nowUs)) return false;
        it = sessions_.find(in.source());
    }
    Session& s = it->second;
    if (!fits(s)) {
        if (w == "WTRM" && s.phase != Session::Ended && in.sequence() == static_cast<uint16_t>(s.requestSequence + 1))
            emit(Event::EndedEarly, s);
        return false;
    }

    if (s.haveRequest && in.sequence() == s.requestSequence) {
        // The client did not get our reply: send it again, unchanged, but
        // not sooner than the client itself would ask again.
        s.lastHeardUs = nowUs;
        if (!resend(s, reply, nowUs)) return false;
        ++s.repeats;
        sizeChanged(s, s.sizer.onRepeat(nowUs, s.lastData));
        shrinkFrames(s);
        return true;
    }
    // Each phase takes only the request that leads out of it: a machine that
    // skipped the offer's acceptance or the start is not served the list.
    s.lastHeardUs = nowUs;
    // A request that acknowledges our reply to a file request: the machine
    // receives what we send it.
    if (s.lastFromRetr && in.ack() == s.serverSequence) s.proven = true;
    if (!draw(s, nowUs)) return false;
    s.progressUs = nowUs;
    if (!s.lastReply.empty()) {
        // The machine has our last reply: frames of its size reach it.
        int mtu = s.frameMtu ? s.frameMtu : config_.linkMtu;
        s.deliveredFrame = std::max(s.deliveredFrame, std::min(static_cast<int>(s.lastReply.size()) + 28, mtu));
    }
    sizeChanged(s, s.sizer.onRequest(nowUs, s.lastData, s.lastDataMadeAt));
    s.lastData = s.lastDataMadeAt = 0;
    reply.clear();
    s.lastFromRetr = w == "RETR";
    if (w == "RETR") {
        if (!serveRetr(s, reply)) return false;
    } else if (w == "YACK") {
        reply.setText("OKAY");
        s.phase = Session::Accepted;
        OfferMark& m = mark(s.client);
        if (m.mac == s.client && m.used) {
            m.accepted = true;
            m.second = static_cast<uint32_t>(nowUs / kSecondUs);
        }
        emit(Event::Accepted, s);
    } else if (w == "STRT") {
        reply.setText("OKAY");
        s.phase = Session::Started;
        emit(Event::Started, s);
    } else {
        reply.setText("TERM");
        // Only a machine that has the whole list asks to end.
        s.wholeList = true;
        ++completed_;
        if (s.proven) {
            ++provenCompleted_;
            displaced_.erase(s.client);  // what a broadcast set aside is over too
        }
        s.phase = Session::Ended;
        s.endedAt = time(nullptr);
        emit(Event::Ended, s);
    }
    address(s, reply, in.sequence());
    ++s.requests;
    s.haveRequest = true;
    s.requestSequence = in.sequence();
    s.requestWord = std::string(w);
    remember(s, reply, nowUs);
    return true;
}

// A machine that has not acknowledged a reply to its file requests gets a
// few replies a second, whoever sends in its name.
bool Server::draw(Session& s, int64_t nowUs) {
    if (s.proven) return true;
    if (s.budgetUs >= 0)
        s.budget = std::min(kUnprovenBurst, s.budget + static_cast<double>(nowUs - s.budgetUs) * kUnprovenPerSecond / 1e6);
    s.budgetUs = nowUs;
    if (s.budget < 1) {
        ++s.unanswered;
        return false;
    }
    s.budget -= 1;
    return true;
}

// The reply was asked for again and again: it may be too large for a frame
// on the machine's way (a switch or bridge drops it without a word). The same
// datagram goes out in smaller fragments, and later replies fit the smaller
// frames.
void Server::shrinkFrames(Session& s) {
    if (s.sizer.run() == 0 || s.sizer.run() % kShrinkRun != 0 || s.lastReply.empty()) return;
    int mtu = s.frameMtu ? s.frameMtu : config_.linkMtu;
    int frame = std::min(static_cast<int>(s.lastReply.size()) + 28, mtu);
    // Frames this large got through before: the loss is of another kind
    // (a pile-up of fragments, which smaller ones would not mend).
    if (frame <= s.deliveredFrame || frame <= 68) return;
    int next = mtu > 1500 ? 1500 : mtu > 576 ? 576 : 68;
    if (next >= mtu) return;
    s.frameMtu = next;
    int chunk = next - 20 - 8 - proto::kHeaderSize;
    if (chunk >= 512) s.sizer.narrow(chunk);
    emit(Event::ChunkChanged, s,
         "one reply lost " + std::to_string(s.sizer.run()) + " times in a row: frames of at most " +
             std::to_string(next) + " bytes");
}

int Server::frameMtu(const MacAddress& mac) const {
    auto it = sessions_.find(mac);
    int mtu = it == sessions_.end() || !it->second.frameMtu ? config_.linkMtu : it->second.frameMtu;
    return std::min(mtu, config_.linkMtu);
}

std::vector<MacAddress> Server::atWork(int64_t nowUs) const {
    std::vector<MacAddress> out;
    for (const auto* table : {&sessions_, &displaced_})
        for (const auto& [mac, s] : *table)
            if (s.atWork() && !gaveUp(s, nowUs) && (s.kind == Session::Install || table == &sessions_))
                out.push_back(mac);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

Server::OfferMark& Server::mark(const MacAddress& mac) {
    uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (uint8_t b : mac) h = (h ^ b) * 1099511628211ull;
    return offers_[h % offers_.size()];
}

// The first answer to an offer whose session was pushed out, or the start of
// a machine whose accepted offer was: the session is made again (what the
// machine told in its broadcast is lost) and the request taken as if it had
// stayed. Nothing else of a session is implied by its machine's requests.
bool Server::recall(const Message& in, int64_t nowUs) {
    OfferMark& m = mark(in.source());
    if (!m.used || m.mac != in.source()) return false;
    Session::Kind kind = static_cast<Session::Kind>(m.kind);
    bool accepted = kind == Session::Install && m.accepted;
    int64_t life = accepted ? kWorkingLifeUs : kOfferedLifeUs;
    if (nowUs / kSecondUs - m.second > life / kSecondUs) return false;
    if (accepted ? in.sequence() != 2 || word(in) != "STRT"
                 : in.sequence() != 1 || word(in) != (kind == Session::Drivers ? "RETR" : "YACK"))
        return false;
    if (sessions_.size() >= config_.maxSessions && !makeRoom(nowUs)) return false;
    Session& s = sessions_[in.source()];
    s = Session{};
    s.client = in.source();
    s.kind = kind;
    s.startedAt = time(nullptr);
    s.createdUs = s.lastHeardUs = s.progressUs = nowUs;
    s.serverSequence = 1;
    s.sizer = ReplySizer(std::min(config_.fullChunk, proto::kMaxPayload), config_.mtuChunk, config_.adaptive);
    if (accepted) {
        // As it stood after its OKAY: the STRT that follows is new.
        s.phase = Session::Accepted;
        s.haveRequest = true;
        s.requestSequence = 1;
        s.requestWord = "YACK";
        s.serverSequence = 1;
        Message okay;
        okay.clear();
        okay.setText("OKAY");
        address(s, okay, 1);
        s.lastReply.assign(okay.bytes, okay.bytes + okay.size());
    }
    m.used = accepted;  // an accepted offer may be pushed out again before its start
    return true;
}

// A token per new machine, config_.newPerSecond of them a second, for its
// first broadcast and for its repeat alike. Without a token a machine is
// remembered and answered when it asks again within a few seconds and a
// token is there: installers repeat their broadcast every second, a flood
// from made-up addresses does not, so neither the table nor the segment fills
// with offers to nobody. While machines that were held back may ask again,
// a first broadcast leaves half the tokens to them.
bool Server::admitNew(const MacAddress& mac, int64_t nowUs) {
    double burst = std::max(1.0, config_.newPerSecond);
    if (tokens_ < 0) tokens_ = burst;
    tokens_ = std::min(burst, tokens_ + static_cast<double>(nowUs - tokensUs_) * config_.newPerSecond / 1e6);
    tokensUs_ = nowUs;
    OfferMark& m = mark(mac);
    uint32_t second = static_cast<uint32_t>(nowUs / kSecondUs);
    bool again = m.asked && m.mac == mac && second - m.second <= 5;
    bool waiting = lastHeldBackUs_ >= 0 && nowUs - lastHeldBackUs_ <= 6 * kSecondUs;
    double keep = again || !waiting ? 0 : burst / 2;
    if (tokens_ >= 1 + keep) {
        tokens_ -= 1;
        return true;
    }
    // A mark of an offer still alive is not overwritten by a question.
    bool live = m.used && second - m.second <= (m.accepted ? kWorkingLifeUs : kOfferedLifeUs) / kSecondUs;
    if (!again && !live) m = {mac, 0, false, true, false, second};
    lastHeldBackUs_ = nowUs;
    ++heldBack_;
    return false;
}

bool Server::resend(Session& s, Message& reply, int64_t nowUs, bool drawn) {
    if (s.lastReply.empty()) return false;
    if (s.lastSentUs >= 0 && nowUs - s.lastSentUs < kMinResendUs) {
        ++s.unanswered;
        return false;
    }
    if (drawn && !draw(s, nowUs)) return false;
    std::memcpy(reply.bytes, s.lastReply.data(), s.lastReply.size());
    s.lastSentUs = nowUs;
    return true;
}

void Server::remember(Session& s, const Message& reply, int64_t nowUs) {
    s.lastReply.assign(reply.bytes, reply.bytes + reply.size());
    s.lastSentUs = nowUs;
}

// Silence is measured from the machine's last new request: repeating one
// keeps nothing alive.
bool Server::expired(const Session& s, int64_t nowUs) const {
    if (s.phase == Session::Ended || s.driversDone()) return nowUs - s.lastHeardUs > kEndedLifeUs;
    if (s.phase == Session::Offered) return nowUs - s.lastHeardUs > kOfferedLifeUs;
    return nowUs - s.progressUs > kWorkingLifeUs;
}

void Server::expire(int64_t nowUs) {
    for (auto* table : {&sessions_, &displaced_}) {
        for (auto it = table->begin(); it != table->end();) {
            if (expired(it->second, nowUs) || (table == &displaced_ && gaveUp(it->second, nowUs))) {
                if (table == &sessions_) emit(Event::Expired, it->second);
                it = table->erase(it);
            } else {
                ++it;
            }
        }
    }
}

// Frees an eighth of the table at once (so that a flood of new machines costs
// no more than a few steps each): the offers not taken up, the ended sessions
// and the finished driver transfers heard from longest ago. When none is
// left, the sessions that have fetched nothing yet (accepted offers,
// preparing a disk or made up) and those whose machine gave up go, made
// longest ago first: a station cannot keep its own by repeating them, and a
// real machine pushed out is made again from its offer mark when it starts.
// Machines that are transferring, or between files, are never pushed out;
// when they fill the table, new ones wait.
bool Server::makeRoom(int64_t nowUs) {
    std::vector<std::pair<int64_t, MacAddress>> idle, unproven;
    for (const auto& [mac, s] : sessions_) {
        if (expired(s, nowUs))
            idle.emplace_back(INT64_MIN, mac);
        else if (s.phase == Session::Offered || s.phase == Session::Ended || s.driversDone())
            idle.emplace_back(s.lastHeardUs, mac);
        else if (s.phase == Session::Accepted || gaveUp(s, nowUs))
            unproven.emplace_back(s.createdUs, mac);
    }
    if (idle.empty()) idle.swap(unproven);
    if (idle.empty()) return false;
    size_t n = std::min(idle.size(), std::max<size_t>(1, config_.maxSessions / 8));
    std::nth_element(idle.begin(), idle.begin() + static_cast<long>(n - 1), idle.end());
    for (size_t i = 0; i < n; ++i) {
        auto it = sessions_.find(idle[i].second);
        if (it->second.phase != Session::Offered) emit(Event::Expired, it->second);
        sessions_.erase(it);
    }
    return true;
}

void Server::refuse(const Session& fresh, const std::string& why) {
    // A refused machine holds nothing; what it had before is gone too,
    // unless it is at work (the broadcast may not be its own).
    auto old = sessions_.find(fresh.client);
    const bool oldAtWork = old != sessions_.end() && old->second.atWork();
    if (old != sessions_.end() && !oldAtWork) sessions_.erase(old);
    if (mark(fresh.client).mac == fresh.client && !oldAtWork) mark(fresh.client).used = false;
    if (std::find(refusedLately_.begin(), refusedLately_.end(), fresh.client) != refusedLately_.end()) return;
    if (refusedLately_.size() >= 64) refusedLately_.erase(refusedLately_.begin());
    refusedLately_.push_back(fresh.client);
    emit(Event::Refused, fresh, why);
}

bool Server::handleBroadcast(const Message& in, Message& reply, int64_t nowUs) {
    std::string_view text = in.text();
    Session fresh;
    fresh.client = in.source();
    fresh.startedAt = time(nullptr);
    fresh.createdUs = fresh.lastHeardUs = fresh.progressUs = nowUs;
    fresh.sizer = ReplySizer(std::min(config_.fullChunk, proto::kMaxPayload), config_.mtuChunk, config_.adaptive);
    reply.clear();
    if (text.substr(0, 5) == "DRVR\n" && text.size() > 4) {
        fresh.kind = Session::Drivers;
        fresh.kernel = std::string(untilZero(text.substr(5)).substr(0, kMaxKernel));
        reply.setText("OFDR");
    } else if (text.substr(0, 5) == "DSCV\n") {
        std::string arch;
        if (!parseDiscover(text, &fresh.clientInfo, &fresh.label, &arch)) return false;
        fresh.label.resize(std::min(fresh.label.size(), kMaxLabel));
        fresh.clientInfo.resize(std::min(fresh.clientInfo.size(), kMaxInfo));
        if (!config_.labelPattern.empty() &&
            fnmatch(config_.labelPattern.c_str(), fresh.label.c_str(), 0) != 0) {
            refuse(fresh, "label \"" + printable(fresh.label) + "\" does not match " + printable(config_.labelPattern));
            return false;
        }
        fresh.kind = Session::Install;
        std::string offer = "OFFR\n" + config_.offer + "\n";
        if (config_.keep) offer += "keep\n";
        reply.setText(offer);
    } else {
        return false;
    }
    auto old = sessions_.find(fresh.client);
    if (old != sessions_.end() && old->second.phase == Session::Offered && old->second.kind == fresh.kind) {
        // A client repeats its broadcast until an offer arrives: the stored
        // offer answers it, spaced like any repeat; only a new request is news.
        old->second.lastHeardUs = nowUs;
        return resend(old->second, reply, nowUs, false);
    }
    if (old != sessions_.end()) {
        // What the machine could not yet have been told carries over, so a
        // broadcast in its name gains nobody a fresh ration.
        fresh.budget = old->second.budget;
        fresh.budgetUs = old->second.budgetUs;
        auto aside = displaced_.find(fresh.client);
        bool keepAside = aside != displaced_.end() && aside->second.atWork() && !old->second.atWork();
        if (!keepAside && (old->second.atWork() || old->second.phase == Session::Offered)) {
            // One datagram, which anyone could send in the machine's name,
            // ends nothing: the session waits aside and comes back when its
            // machine goes on with it; a machine that really began again
            // goes on with the new one.
            displaced_[fresh.client] = std::move(old->second);
            if (displaced_.size() > config_.maxSessions / 8) {
                auto oldest = displaced_.begin();
                for (auto d = displaced_.begin(); d != displaced_.end(); ++d)
                    if (d->second.progressUs < oldest->second.progressUs) oldest = d;
                displaced_.erase(oldest);
            }
        }
    }
    if (old == sessions_.end() && !admitNew(fresh.client, nowUs)) return false;
    if (old == sessions_.end() && sessions_.size() >= config_.maxSessions && !makeRoom(nowUs)) {
        if (lastFullUs_ < 0 || nowUs - lastFullUs_ >= kSecondUs) {
            lastFullUs_ = nowUs;
            emit(Event::Full, fresh);
        }
        return false;
    }
    Session& s = sessions_[fresh.client] = std::move(fresh);
    mark(s.client) = {s.client, static_cast<uint8_t>(s.kind), true, false, false,
                      static_cast<uint32_t>(nowUs / kSecondUs)};
    reply.setSource(config_.ownAddress);
    reply.setDestination(s.client);
    reply.setSequence(1);
    reply.setAck(0);
    s.serverSequence = 1;
    remember(s, reply, nowUs);
    emit(Event::SessionStarted, s);
    return true;
}

bool Server::serveRetr(Session& s, Message& reply) {
    const std::vector<ServedFile>& files = s.kind == Session::Install ? config_.files : driverList_;
    if (!s.inFile) {
        if (s.fileIndex >= files.size()) {
            reply.setText("DONE");
            if (s.phase != Session::ListEnded) {
                s.phase = Session::ListEnded;
                emit(Event::ListEnded, s);
            }
        } else {
            const ServedFile& f = files[s.fileIndex];
            reply.setText("FILE\n" + f.name + "\n" + std::to_string(f.size) + "\n");
            s.inFile = true;
            s.offset = 0;
            s.phase = Session::Transferring;
            emit(Event::FileStarted, s, f.name);
        }
        return true;
    }
    const ServedFile& f = files[s.fileIndex];
    int64_t left = f.size - s.offset;
    int n = static_cast<int>(std::min<int64_t>(left, s.proven ? s.sizer.size() : kUnprovenData));
    if (n > 0) {
        ssize_t got = pread(f.fd, reply.payload(), static_cast<size_t>(n), s.offset);
        if (got != n) {
            // Better no reply (the client reports a bad connection) than wrong data.
            emit(Event::Refused, s, "cannot read " + f.path);
            return false;
        }
    }
    reply.setLength(static_cast<uint16_t>(n));
    s.lastData = n;
    s.lastDataMadeAt = s.sizer.size();
    s.offset += n;
    s.bytesSent += n;
    if (n == 0) {
        s.inFile = false;
        ++s.fileIndex;
        emit(Event::FileDone, s, f.name);
    }
    return true;
}

}  // namespace castdeploy
