#include "server.h"

#include <fnmatch.h>
#include <unistd.h>

#include <algorithm>

namespace castdeploy {

namespace {

std::string_view word(const Message& m) { return m.text().substr(0, 4); }

// Text of a request up to its terminating zero, if it has one.
std::string_view untilZero(std::string_view t) {
    size_t z = t.find('\0');
    return z == std::string_view::npos ? t : t.substr(0, z);
}

constexpr int kFullWindow = 128;   // new requests looked at before forgiving repeats
constexpr int kSmallWindow = 1024; // clean requests before full replies are tried again
constexpr int kRepeatsToFallBack = 2;

}  // namespace

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

bool Server::handle(const Message& in, int count, Message& reply) {
    if (!proto::wellFormed(in, count)) return false;
    if (in.source() == config_.ownAddress) return false;  // our own broadcast, looped back
    if (proto::isZero(in.destination())) return handleBroadcast(in, reply);
    if (in.destination() != config_.ownAddress) return false;  // another server's client
    auto it = sessions_.find(in.source());
    if (it == sessions_.end()) return false;
    Session& s = it->second;

    if (s.haveRequest && in.sequence() == s.requestSequence) {
        // The client did not get our reply: send it again, unchanged.
        ++s.repeats;
        adapt(s, true);
        reply = s.lastReply;
        return true;
    }
    // The first request after an offer carries 1 again, like the broadcast did.
    uint16_t expected = s.haveRequest ? static_cast<uint16_t>(s.requestSequence + 1) : 1;
    if (in.sequence() != expected) return false;

    reply.clear();
    std::string_view w = word(in);
    if (w == "RETR") {
        if (!serveRetr(s, reply)) return false;
    } else if (w == "YACK" || w == "STRT") {
        reply.setText("OKAY");
        if (w == "YACK" && s.phase == Session::Offered) {
            s.phase = Session::Accepted;
            emit(Event::Accepted, s);
        } else if (w == "STRT" && s.phase < Session::Started) {
            s.phase = Session::Started;
            emit(Event::Started, s);
        }
    } else if (w == "WTRM") {
        reply.setText("TERM");
        if (s.phase != Session::Ended) {
            s.phase = Session::Ended;
            if (s.kind == Session::Install) ++completed_;
            emit(Event::Ended, s);
        }
    } else {
        return false;
    }
    address(s, reply, in.sequence());
    ++s.requests;
    adapt(s, false);
    s.haveRequest = true;
    s.requestSequence = in.sequence();
    s.lastReply = reply;
    return true;
}

bool Server::handleBroadcast(const Message& in, Message& reply) {
    std::string_view text = in.text();
    Session fresh;
    fresh.client = in.source();
    fresh.startedAt = time(nullptr);
    fresh.chunk = config_.adaptive ? config_.fullChunk : std::min(config_.fullChunk, proto::kMaxPayload);
    reply.clear();
    if (text.substr(0, 5) == "DRVR\n" && text.size() > 4) {
        fresh.kind = Session::Drivers;
        fresh.kernel = std::string(untilZero(text.substr(5)));
        reply.setText("OFDR");
    } else if (text.substr(0, 5) == "DSCV\n") {
        std::string arch;
        if (!parseDiscover(text, &fresh.clientInfo, &fresh.label, &arch)) return false;
        if (!config_.labelPattern.empty() &&
            fnmatch(config_.labelPattern.c_str(), fresh.label.c_str(), 0) != 0) {
            auto old = sessions_.find(fresh.client);
            bool told = old != sessions_.end() && old->second.label == fresh.label &&
                        old->second.phase == Session::Ended && old->second.kind == Session::Install;
            if (!told) {
                // Remember the refusal once, so the log is not flooded by its broadcasts.
                fresh.kind = Session::Install;
                fresh.phase = Session::Ended;
                Session& s = sessions_[fresh.client] = fresh;
                emit(Event::Refused, s, "label \"" + s.label + "\" does not match " + config_.labelPattern);
            }
            return false;
        }
        fresh.kind = Session::Install;
        std::string offer = "OFFR\n" + config_.offer + "\n";
        if (config_.keep) offer += "keep\n";
        reply.setText(offer);
    } else {
        return false;
    }
    // A client repeats its broadcast until an offer arrives; only a new request is news.
    auto old = sessions_.find(fresh.client);
    bool repeated = old != sessions_.end() && old->second.phase == Session::Offered &&
                    old->second.kind == fresh.kind;
    Session& s = sessions_[fresh.client] = fresh;
    reply.setSource(config_.ownAddress);
    reply.setDestination(s.client);
    reply.setSequence(1);
    reply.setAck(0);
    s.serverSequence = 1;
    s.lastReply = reply;
    if (!repeated) emit(Event::SessionStarted, s);
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
    int n = static_cast<int>(std::min<int64_t>(left, s.chunk));
    if (n > 0) {
        ssize_t got = pread(f.fd, reply.payload(), static_cast<size_t>(n), s.offset);
        if (got != n) {
            // Better no reply (the client reports a bad connection) than wrong data.
            emit(Event::Refused, s, "cannot read " + f.path);
            return false;
        }
    }
    reply.setLength(static_cast<uint16_t>(n));
    s.offset += n;
    s.bytesSent += n;
    if (n == 0) {
        s.inFile = false;
        ++s.fileIndex;
        emit(Event::FileDone, s, f.name);
    }
    return true;
}

void Server::adapt(Session& s, bool repeated) {
    if (!config_.adaptive) return;
    if (repeated) {
        ++s.windowRepeats;
    } else {
        ++s.windowRequests;
    }
    if (s.chunk > config_.mtuChunk) {
        if (s.windowRepeats >= kRepeatsToFallBack) {
            s.chunk = config_.mtuChunk;
            s.windowRequests = s.windowRepeats = 0;
            emit(Event::ChunkChanged, s, "repeated requests: replies of " + std::to_string(s.chunk) + " bytes");
        } else if (s.windowRequests >= kFullWindow) {
            s.windowRequests = s.windowRepeats = 0;
        }
    } else if (s.windowRequests >= kSmallWindow) {
        if (s.windowRepeats == 0 && config_.fullChunk > s.chunk) {
            s.chunk = config_.fullChunk;
            emit(Event::ChunkChanged, s, "clean line: replies of " + std::to_string(s.chunk) + " bytes");
        }
        s.windowRequests = s.windowRepeats = 0;
    }
}

}  // namespace castdeploy
