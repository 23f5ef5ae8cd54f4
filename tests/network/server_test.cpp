// The server's protocol logic, fed datagrams directly.
#include "server.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

using namespace castdeploy;

const MacAddress kServer{0x02, 0x5e, 0, 0, 0, 1};
const MacAddress kA{0x02, 0xc1, 0, 0, 0, 1};
const MacAddress kB{0x02, 0xc1, 0, 0, 0, 2};

ServedFile served(const std::string& name, const std::string& content) {
    char path[] = "/tmp/served-XXXXXX";
    int fd = mkstemp(path);
    if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) std::abort();
    unlink(path);
    return {path, name, fd, static_cast<int64_t>(content.size())};
}

Message request(const MacAddress& from, const MacAddress& to, uint16_t seq, const std::string& text,
                bool withZero = false) {
    Message m;
    m.clear();
    m.setSource(from);
    m.setDestination(to);
    m.setSequence(seq);
    m.setAck(seq ? seq : 0);
    int n = m.setText(text);
    if (withZero) m.setLength(static_cast<uint16_t>(n + 1));
    return m;
}

class ServerLogic : public ::testing::Test {
protected:
    void SetUp() override {
        config.ownAddress = kServer;
        config.drivers = served("drivers.vpk", "DRV");
        config.files = {served("a.vpk", std::string(10000, 'a')), served("b.scr", "echo\n")};
        config.mtuChunk = 1000;
    }
    // Sends and returns the reply's text ("-" when there is none).
    std::string ask(Server& s, const Message& m, Message* out = nullptr) {
        Message reply;
        if (!s.handle(m, m.size(), reply)) return "-";
        if (out) *out = reply;
        return std::string(reply.text());
    }
    Config config;
};

TEST_F(ServerLogic, OfferThenFirstRequestWithSequenceOneIsNew) {
    Server s(config);
    Message reply;
    EXPECT_EQ(ask(s, request(kA, {}, 1, "DRVR\n6.1", true), &reply), "OFDR");
    EXPECT_EQ(reply.destination(), kA);
    EXPECT_EQ(reply.sequence(), 1);
    EXPECT_EQ(reply.ack(), 0);
    // The broadcast carried 1, and so does the first request after the offer.
    EXPECT_EQ(ask(s, request(kA, kServer, 1, "RETR"), &reply), "FILE\ndrivers.vpk\n3\n");
    EXPECT_EQ(reply.sequence(), 2);
    EXPECT_EQ(reply.ack(), 1);
    EXPECT_EQ(ask(s, request(kA, kServer, 2, "RETR")), "DRV");
    EXPECT_EQ(ask(s, request(kA, kServer, 3, "RETR")), "");
    EXPECT_EQ(ask(s, request(kA, kServer, 4, "RETR")), "DONE");

    EXPECT_EQ(ask(s, request(kA, {}, 1, "DSCV\ninfo\n\nLAB\ni386\n", true)), "OFFR\ncastdeploy\n");
    EXPECT_EQ(ask(s, request(kA, kServer, 1, "YACK\n")), "OKAY");
    EXPECT_EQ(s.sessions().at(kA).phase, Session::Accepted);
}

TEST_F(ServerLogic, RepeatedRequestGetsTheSameReplyAndOthersAreIgnored) {
    config.keep = true;
    Server s(config);
    EXPECT_EQ(ask(s, request(kA, {}, 1, "DSCV\ninfo\n\nLAB\ni386\n", true)), "OFFR\ncastdeploy\nkeep\n");
    Message first, again;
    ask(s, request(kA, kServer, 1, "YACK\n"));
    ask(s, request(kA, kServer, 2, "STRT"));
    ASSERT_EQ(ask(s, request(kA, kServer, 3, "RETR"), &first), "FILE\na.vpk\n10000\n");
    ASSERT_EQ(ask(s, request(kA, kServer, 3, "RETR"), &again), "FILE\na.vpk\n10000\n");
    EXPECT_EQ(std::memcmp(first.bytes, again.bytes, static_cast<size_t>(first.size())), 0);
    EXPECT_EQ(ask(s, request(kA, kServer, 5, "RETR")), "-");       // skips one
    EXPECT_EQ(ask(s, request(kB, kServer, 4, "RETR")), "-");       // no session
    EXPECT_EQ(ask(s, request(kA, kB, 4, "RETR")), "-");            // for another server
    EXPECT_EQ(ask(s, request(kServer, kServer, 4, "RETR")), "-");  // our own, looped back
    Message bad = request(kA, kServer, 4, "RETR");
    Message reply;
    EXPECT_FALSE(s.handle(bad, bad.size() - 1, reply));
    Message data;
    EXPECT_EQ(ask(s, request(kA, kServer, 4, "RETR"), &data).size(), 4076u);
}

TEST_F(ServerLogic, FallsBackToMtuSizedRepliesWhenRequestsRepeat) {
    Server s(config);
    ask(s, request(kA, {}, 1, "DSCV\ninfo\n\nLAB\ni386\n", true));
    ask(s, request(kA, kServer, 1, "YACK\n"));
    ask(s, request(kA, kServer, 2, "STRT"));
    ask(s, request(kA, kServer, 3, "RETR"));
    Message reply;
    EXPECT_EQ(ask(s, request(kA, kServer, 4, "RETR"), &reply).size(), 4076u);
    // Two repeats: the repeated reply stays as it was, the next one is smaller.
    EXPECT_EQ(ask(s, request(kA, kServer, 4, "RETR")).size(), 4076u);
    EXPECT_EQ(ask(s, request(kA, kServer, 4, "RETR")).size(), 4076u);
    std::string next = ask(s, request(kA, kServer, 5, "RETR"));
    EXPECT_EQ(next.size(), 1000u);
    EXPECT_EQ(next, std::string(1000, 'a'));
    // The rest of the file follows without a gap.
    size_t total = 4076 + 1000;
    for (uint16_t seq = 6;; ++seq) {
        std::string d = ask(s, request(kA, kServer, seq, "RETR"));
        if (d.empty()) break;
        total += d.size();
    }
    EXPECT_EQ(total, 10000u);
}

TEST_F(ServerLogic, LabelPatternAndSeparateSessions) {
    config.labelPattern = "LAB-*";
    Server s(config);
    EXPECT_EQ(ask(s, request(kA, {}, 1, "DSCV\ninfo\n\nOTHER\ni386\n", true)), "-");
    EXPECT_EQ(ask(s, request(kA, {}, 1, "DSCV\ninfo\nmore\nlines\nLAB-7\ni386\n", true)).substr(0, 4), "OFFR");
    EXPECT_EQ(s.sessions().at(kA).label, "LAB-7");
    EXPECT_EQ(ask(s, request(kB, {}, 1, "DRVR\n6.1", true)), "OFDR");
    EXPECT_EQ(ask(s, request(kB, kServer, 1, "RETR")).substr(0, 4), "FILE");
    EXPECT_EQ(ask(s, request(kA, kServer, 1, "YACK\n")), "OKAY");
    EXPECT_EQ(ask(s, request(kA, kServer, 2, "WTRM")), "TERM");
    EXPECT_EQ(s.completedInstallations(), 1);
}

TEST(Discover, FieldsFromTheEnd) {
    std::string info, label, arch;
    EXPECT_TRUE(parseDiscover(std::string("DSCV\nx\n\nL\ni386\n\0", 16), &info, &label, &arch));
    EXPECT_EQ(label, "L");
    EXPECT_EQ(arch, "i386");
    EXPECT_FALSE(parseDiscover("DSCV\nL\ni386\n", &info, &label, &arch));
    EXPECT_FALSE(parseDiscover("DSCV\nx\n\nL\ni386", &info, &label, &arch));
}

}  // namespace
