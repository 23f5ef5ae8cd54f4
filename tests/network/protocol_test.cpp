#include "network/protocol.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const MacAddress kClient{0x02, 0xc1, 0, 0, 0, 1};
const MacAddress kServer{0x02, 0x5e, 0, 0, 0, 1};
const MacAddress kOther{0x02, 0x99, 0, 0, 0, 9};

Message serverMessage(uint16_t sequence, uint16_t ack, const std::string& text = "OKAY",
                      MacAddress from = kServer, MacAddress to = kClient) {
    Message m;
    m.clear();
    m.setSource(from);
    m.setDestination(to);
    m.setSequence(sequence);
    m.setAck(ack);
    m.setText(text);
    return m;
}

ProtocolSession peerSession(uint32_t sent, uint32_t received) {
    ProtocolSession s;
    s.ownAddress = kClient;
    s.peerAddress = kServer;
    s.sendSequence = sent;
    s.receiveSequence = received;
    return s;
}

TEST(Header, IsFilledLittleEndianAndAdvancesTheSendSequence) {
    ProtocolSession s = peerSession(0x1233, 0x0456);
    Message m;
    m.clear();
    fillHeader(s, m, 0x0105);
    EXPECT_EQ(s.sendSequence, 0x1234u);
    // reserved, length, sequence, ack
    const uint8_t expected[20] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x05, 0x01, 0x34, 0x12, 0x56, 0x04};
    EXPECT_EQ(m.source(), kClient);
    EXPECT_EQ(m.destination(), kServer);
    EXPECT_EQ(m.bytes[12], 0);
    EXPECT_EQ(m.bytes[13], 0);
    for (int i = 14; i < 20; ++i) EXPECT_EQ(m.bytes[i], expected[i]) << "byte " << i;
    EXPECT_EQ(m.size(), 20 + 0x105);
}

TEST(Header, SequenceWrapsOnTheWireWhileTheCounterRunsOn) {
    ProtocolSession s = peerSession(65535, 70000);
    Message m;
    m.clear();
    fillHeader(s, m, 4);
    EXPECT_EQ(s.sendSequence, 65536u);
    EXPECT_EQ(m.sequence(), 0);
    EXPECT_EQ(m.ack(), 70000 % 65536);
}

TEST(Accept, RefusesMalformedDatagrams) {
    ProtocolSession s = peerSession(3, 3);
    Message m = serverMessage(4, 3);
    EXPECT_FALSE(acceptMessage(s, -1, m));
    EXPECT_FALSE(acceptMessage(s, 19, m));
    EXPECT_FALSE(acceptMessage(s, m.size() - 1, m));
    EXPECT_FALSE(acceptMessage(s, m.size() + 1, m));
    Message longer = m;
    longer.setLength(5000);  // claims more than a message can hold
    EXPECT_FALSE(acceptMessage(s, 4096, longer));
    EXPECT_EQ(s.receiveSequence, 3u);
    EXPECT_TRUE(acceptMessage(s, m.size(), m));
    EXPECT_EQ(s.receiveSequence, 4u);
}

TEST(Accept, RefusesForeignStationsAndOwnBroadcasts) {
    ProtocolSession s = peerSession(3, 3);
    EXPECT_FALSE(acceptMessage(s, 24, serverMessage(4, 3, "OKAY", kClient, kClient)));
    EXPECT_FALSE(acceptMessage(s, 24, serverMessage(4, 3, "OKAY", kOther, kClient)));  // right sequence, wrong MAC
    EXPECT_FALSE(acceptMessage(s, 24, serverMessage(4, 3, "OKAY", kServer, kOther)));
    EXPECT_FALSE(acceptMessage(s, 24, serverMessage(4, 3, "OKAY", kServer, MacAddress{})));
    EXPECT_EQ(s.receiveSequence, 3u);
}

TEST(Accept, AllZeroDestinationOnlyWithoutPeer) {
    ProtocolSession s;
    s.ownAddress = kClient;
    EXPECT_TRUE(acceptMessage(s, 24, serverMessage(1, 0, "OFFR", kServer, MacAddress{})));
    ProtocolSession t;
    t.ownAddress = kClient;
    EXPECT_TRUE(acceptMessage(t, 24, serverMessage(1, 0, "OFFR", kServer, kClient)));
}

TEST(Accept, SequenceAndAckRules) {
    // An offer answers a broadcast: sequence 1, ack 0, nothing else.
    // Acks from beyond half the 16-bit space are not "behind" a counter that never wrapped.
    for (auto [seq, ack, taken] : {std::tuple{1, 0, true}, {2, 0, false}, {1, 1, false}, {0, 0, false},
                                   {1, 32768, false}, {1, 32769, false}, {1, 65535, false}}) {
        ProtocolSession s;
        s.ownAddress = kClient;
        EXPECT_EQ(acceptMessage(s, 24, serverMessage(seq, ack, "OFFR")), taken) << seq << "/" << ack;
    }
    ProtocolSession s = peerSession(5, 4);
    EXPECT_FALSE(acceptMessage(s, 24, serverMessage(5, 6)));  // acknowledges what was never sent
    EXPECT_FALSE(acceptMessage(s, 24, serverMessage(4, 5)));  // a repeat of the last reply
    EXPECT_FALSE(acceptMessage(s, 24, serverMessage(6, 5)));  // one ahead
    EXPECT_TRUE(acceptMessage(s, 24, serverMessage(5, 2)));   // older acks are fine
    EXPECT_FALSE(acceptMessage(s, 24, serverMessage(5, 5)));  // extra copy
    EXPECT_EQ(s.receiveSequence, 5u);
    ProtocolSession early = peerSession(5, 4);
    EXPECT_FALSE(acceptMessage(early, 24, serverMessage(5, 40000)));  // not an ack from before a wrap
}

TEST(Accept, SessionsRunPast65535Messages) {
    ProtocolSession s = peerSession(65536 + 10, 65535);
    EXPECT_TRUE(acceptMessage(s, 24, serverMessage(0, 10)));  // 65536 on the wire is 0
    EXPECT_EQ(s.receiveSequence, 65536u);
    EXPECT_TRUE(acceptMessage(s, 24, serverMessage(1, 65535)));  // ack from just before the wrap
    EXPECT_FALSE(acceptMessage(s, 24, serverMessage(2, 11)));    // ack ahead of the client
}

Message offer(const std::string& text) { return serverMessage(1, 0, text); }

TEST(Offer, SecondLineUpTo512BytesAndTheKeepLine) {
    std::string line;
    bool keep = true;
    EXPECT_TRUE(parseOffer(offer("OFFR\n" + std::string(512, 'a') + "\n"), &line, &keep));
    EXPECT_EQ(line.size(), 512u);
    EXPECT_FALSE(keep);
    EXPECT_FALSE(parseOffer(offer("OFFR\n" + std::string(513, 'a') + "\n"), &line, &keep));
    EXPECT_TRUE(parseOffer(offer("OFFR\n\n"), &line, &keep));
    EXPECT_EQ(line, "");

    EXPECT_TRUE(parseOffer(offer("OFFR\nx\nkeep\n"), &line, &keep));
    EXPECT_TRUE(keep);
    for (const char* other : {"OFFR\nx\nkeep", "OFFR\nx\nkeeper\n", "OFFR\nx\nKEEP\n", "OFFR\nx\n"}) {
        EXPECT_TRUE(parseOffer(offer(other), &line, &keep)) << other;
        EXPECT_FALSE(keep) << other;
    }
    EXPECT_FALSE(parseOffer(offer("OFFR"), &line, &keep));
    EXPECT_FALSE(parseOffer(offer("OFFRx\n"), &line, &keep));
    EXPECT_FALSE(parseOffer(offer("OFFR\nno newline"), &line, &keep));
}

TEST(FileAnnouncement, NameAndSize) {
    std::string name;
    int32_t size = -5;
    EXPECT_TRUE(parseFileAnnouncement(serverMessage(2, 1, "FILE\nbase.vpk\n8152\n"), &name, &size));
    EXPECT_EQ(name, "base.vpk");
    EXPECT_EQ(size, 8152);
    EXPECT_TRUE(parseFileAnnouncement(serverMessage(2, 1, "FILE\nx.scr\nabc\n"), &name, &size));
    EXPECT_EQ(size, 0);
    EXPECT_TRUE(parseFileAnnouncement(serverMessage(2, 1, "FILE\nx\n-3\n"), &name, &size));
    EXPECT_EQ(size, -3);
    EXPECT_TRUE(parseFileAnnouncement(serverMessage(2, 1, "FILE\n" + std::string(100, 'n') + "\n1\n"), &name, &size));
    EXPECT_EQ(name.size(), 100u);  // whole: the flow classifies and bounds it
    for (const char* bad : {"FILE\nname\n12", "FILE\nname", "FILE", "DONE", "FILEname\n1\n"})
        EXPECT_FALSE(parseFileAnnouncement(serverMessage(2, 1, bad), &name, &size)) << bad;
}

TEST(Mac, FormattedUpperCase) {
    EXPECT_STREQ(proto::formatMac({0x02, 0xab, 0x0c, 0xde, 0xf0, 0x01}).data(), "02:AB:0C:DE:F0:01");
}

}  // namespace
