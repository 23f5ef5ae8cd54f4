// Arbitrary datagrams at the protocol client: the acceptance rule from a
// given session state, and the parsers of the server's FILE and OFFR texts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/seeds.h"
#include "network/protocol.h"

namespace {
[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < fuzzseeds::kSessionBytes) return 0;
    ProtocolSession session;
    std::memcpy(session.ownAddress.data(), data, 6);
    std::memcpy(session.peerAddress.data(), data + 6, 6);
    session.sendSequence = uint32_t(data[12] | data[13] << 8);
    session.receiveSequence = uint32_t(data[14] | data[15] << 8);
    data += fuzzseeds::kSessionBytes;
    size -= fuzzseeds::kSessionBytes;

    // The receive buffer holds what recvfrom left there, an oversized datagram
    // is reported as one byte too many, as the receiving code does.
    Message message;
    std::memset(message.bytes, 0xA5, sizeof message.bytes);
    std::memcpy(message.bytes, data, std::min(size, sizeof message.bytes));
    int count = size > sizeof message.bytes ? int(sizeof message.bytes) + 1 : int(size);

    const ProtocolSession before = session;
    bool accepted = acceptMessage(session, count, message);
    if (accepted) {
        if (count != message.size()) fail("accepted a datagram whose length field is not its size");
        if (session.receiveSequence != before.receiveSequence + 1) fail("accepted without counting");
        if (message.source() == session.ownAddress) fail("accepted our own datagram");
    } else if (session.receiveSequence != before.receiveSequence) {
        fail("a refused datagram moved the sequence");
    }
    // Refusal of a failed read.
    ProtocolSession other = before;
    if (acceptMessage(other, -1, message)) fail("accepted a failed read");

    std::string name;
    int32_t fileSize = 0;
    if (parseFileAnnouncement(message, &name, &fileSize)) {
        if (name.size() > static_cast<size_t>(proto::kMaxPayload)) fail("file name longer than the message");
        if (name.find('\n') != std::string::npos) fail("file name holds a line end");
    }
    std::string line;
    bool keep = false;
    if (parseOffer(message, &line, &keep)) {
        if (line.size() > 512) fail("offer line longer than the limit");
        if (line.find('\n') != std::string::npos) fail("offer line holds a line end");
    }
    (void)parseOffer(message, nullptr, nullptr);
    return 0;
}
