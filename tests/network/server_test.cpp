// The server's protocol logic, fed datagrams directly.
#include "server.h"

#include <arpa/inet.h>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "frame.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <vector>

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
    // Sends and returns the reply's text ("-" when there is none); the
    // server's clock moves on 20 ms with every request, as a client's would.
    std::string ask(Server& s, const Message& m, Message* out = nullptr) {
        Message reply;
        clockUs += 20000;
        if (!s.handle(m, m.size(), reply, clockUs)) return "-";
        if (out) *out = reply;
        return std::string(reply.text());
    }
    Config config;
    int64_t clockUs = 0;
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

// A client fetching one large file over a simulated line; the server's clock
// is the line's. A frame is lost when `lost` says so; a reply larger than one
// frame travels as three fragments, any of which loses it.
struct Line {
    std::function<bool(int64_t nowUs, bool fragment)> lost;
    int64_t exchangeUs = 500;  // the client's work per reply
};

struct Transfer {
    std::vector<int> data;          // file data per reply, in order
    std::vector<int64_t> madeAtUs;  // when each reply was first made
    std::vector<size_t> changes;    // replies delivered when the size changed
    std::vector<std::string> why;
    std::vector<int> repeatsBefore; // repeats the server saw before each reply was delivered
    int64_t endUs = 0;
    int stallRun = 0;               // at the end
    int64_t offset = 0;             // the server's position in the file at the end
};

class ReplySizes : public ServerLogic {
protected:
    void SetUp() override {
        ServerLogic::SetUp();
        char path[] = "/tmp/served-XXXXXX";
        int fd = mkstemp(path);
        unlink(path);
        if (fd < 0 || ftruncate(fd, int64_t{1} << 32) != 0) std::abort();  // sparse
        config.files = {{path, "big.vpk", fd, int64_t{1} << 32}};
    }

    Transfer fetch(const Line& line, int replies) {
        Server s(config);
        Transfer t;
        s.onEvent = [&](const Event& e) {
            if (e.kind != Event::ChunkChanged) return;
            t.changes.push_back(t.data.size());
            t.why.push_back(e.text);
        };
        int64_t now = 0;
        uint16_t seq = 1;
        auto exchange = [&](const std::string& word, Message* out) {
            Message req = request(kA, kServer, seq, word), reply;
            int repeats = 0;
            bool made = false;
            for (int attempt = 0; attempt < 300; ++attempt) {
                if (line.lost(now, false)) {
                    now += 20000;
                    continue;
                }
                if (!s.handle(req, req.size(), reply, now)) std::abort();
                if (!made) t.madeAtUs.push_back(now);
                repeats += made;
                made = true;
                bool fragmented = reply.size() + 28 > 1500;
                bool gone = false;
                for (int f = 0; f < (fragmented ? 3 : 1); ++f) gone |= line.lost(now, fragmented);
                if (gone) {
                    now += 20000;
                    continue;
                }
                now += line.exchangeUs;
                ++seq;
                *out = reply;
                t.repeatsBefore.push_back(repeats);
                return true;
            }
            return false;
        };
        Message reply;
        ask(s, request(kA, {}, 1, "DSCV\ninfo\n\nLAB\ni386\n", true));
        if (!exchange("YACK\n", &reply) || !exchange("STRT", &reply) || !exchange("RETR", &reply)) std::abort();
        t.madeAtUs.clear();
        t.repeatsBefore.clear();
        for (int i = 0; i < replies; ++i) {
            if (!exchange("RETR", &reply)) {
                ADD_FAILURE() << "the client gave up after reply " << i;
                break;
            }
            t.data.push_back(reply.length());
        }
        t.endUs = now;
        t.stallRun = s.sessions().at(kA).sizer.stallRun();
        t.offset = s.sessions().at(kA).offset;
        return t;
    }

    static double shareOf(const Transfer& t, int size) {
        double all = 0, some = 0;
        for (int n : t.data) {
            all += n;
            if (n == size) some += n;
        }
        return some / all;
    }

    static size_t closestChanges(const Transfer& t) {
        size_t gap = SIZE_MAX;
        for (size_t i = 1; i < t.changes.size(); ++i) gap = std::min(gap, t.changes[i] - t.changes[i - 1]);
        return gap;
    }
};

TEST_F(ReplySizes, CleanLineKeepsFullReplies) {
    Transfer t = fetch({[](int64_t, bool) { return false; }}, 5000);
    EXPECT_EQ(shareOf(t, 4076), 1.0);
    EXPECT_TRUE(t.changes.empty());
    EXPECT_EQ(t.stallRun, 3);
}

TEST_F(ReplySizes, RandomLossKeepsFullRepliesThatDeliverMore) {
    // 5% of frames lost: a full reply is lost 14% of the time, a small one 5%,
    // but a small one carries a quarter: full replies deliver more.
    std::mt19937 random(11);
    Transfer t = fetch({[&](int64_t, bool) { return random() % 100 < 5; }}, 12000);
    EXPECT_GT(shareOf(t, 4076), 0.75);
    // Small replies are tried now and then, ever more rarely, and judged over
    // hundreds of replies each time.
    EXPECT_LE(t.changes.size(), 4u);
    EXPECT_GE(closestChanges(t), 128u);
    // A run taken for a pile-up must be one that 14% loss hardly ever makes.
    EXPECT_GE(t.stallRun, 7);
    EXPECT_LE(t.stallRun, 9);
}

TEST_F(ReplySizes, LineThatLosesFragmentsKeepsSmallReplies) {
    // Fragments are lost a third of the time, whole frames rarely.
    std::mt19937 random(5);
    Transfer t = fetch({[&](int64_t, bool fragment) { return random() % 100 < (fragment ? 33 : 1); }}, 12000);
    ASSERT_FALSE(t.changes.empty());
    EXPECT_LT(t.changes.front(), 200u);
    EXPECT_GT(shareOf(t, 1000), 0.8);
    EXPECT_LE(t.changes.size(), 4u);
    EXPECT_GE(closestChanges(t), 128u);
    EXPECT_EQ(t.data.back(), 1000);
}

TEST_F(ReplySizes, PileUpFallsBackAtOnceAndFullRepliesReturnWhenItClears) {
    // Every fragment is lost for 3 s from 1 s on, as when half-reassembled
    // datagrams fill the client's kernel; a clean line before and after.
    const int64_t from = 1000000, until = 4000000;
    Transfer t = fetch({[&](int64_t now, bool fragment) { return fragment && now >= from && now < until; }}, 40000);
    // The first reply sent into the pile-up is repeated unchanged until it clears.
    size_t stuck = 0;
    while (t.madeAtUs[stuck] < from) ++stuck;
    EXPECT_EQ(t.data[stuck], 4076);
    EXPECT_GT(t.repeatsBefore[stuck], 100);
    ASSERT_FALSE(t.changes.empty());
    EXPECT_EQ(t.changes.front(), stuck);  // while it was being repeated
    EXPECT_EQ(t.why.front(), "one reply lost 3 times in a row: replies of 1000 bytes");
    EXPECT_EQ(t.data[stuck + 1], 1000);
    // Full replies are not tried again for a while, then kept: the line is clean.
    size_t back = stuck + 1;
    while (back < t.data.size() && t.data[back] != 4076) ++back;
    ASSERT_LT(back, t.data.size());
    EXPECT_GE(t.madeAtUs[back], until + 5000000);
    EXPECT_EQ(t.changes.size(), 2u);
    EXPECT_EQ(std::count(t.data.begin() + static_cast<long>(back), t.data.end() - 1, 1000), 0);
    // Changing sizes loses no data: the server is where the client is.
    EXPECT_EQ(std::accumulate(t.data.begin(), t.data.end(), int64_t{0}), t.offset);
}

TEST_F(ReplySizes, FixedSizeIsKept) {
    config.adaptive = false;
    config.fullChunk = 1000;
    std::mt19937 random(3);
    Transfer t = fetch({[&](int64_t, bool fragment) { return random() % 100 < (fragment ? 50 : 5); }}, 2000);
    EXPECT_EQ(shareOf(t, 1000), 1.0);
    config.fullChunk = 4076;
    t = fetch({[&](int64_t now, bool fragment) { return fragment && now < 100000 && random() % 2; }}, 2000);
    EXPECT_EQ(shareOf(t, 4076), 1.0);
    EXPECT_TRUE(t.changes.empty());
}

// A machine whose path takes smaller frames than the server's interface (a
// bridge drops the larger ones without a word): its repeats lead the server
// to smaller frames, down to the least every IPv4 link carries, and it gets
// the whole file.
TEST_F(ServerLogic, RepeatsLeadToFramesTheMachineCanTake) {
    struct Case {
        int linkMtu, pathMtu;
    } cases[] = {{9000, 1500}, {1500, 576}, {1500, 68}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.linkMtu) + " to " + std::to_string(c.pathMtu));
        config.linkMtu = c.linkMtu;
        config.mtuChunk = std::min(c.linkMtu - 48, 4076);
        Server s(config);
        ask(s, request(kA, {}, 1, "DSCV\ninfo\n\nLAB\ni386\n", true));
        ask(s, request(kA, kServer, 1, "YACK\n"));
        ask(s, request(kA, kServer, 2, "STRT"));
        ASSERT_EQ(ask(s, request(kA, kServer, 3, "RETR")), "FILE\na.vpk\n10000\n");
        size_t got = 0;
        int attempts = 0, worst = 0, run = 0;
        for (uint16_t seq = 4; attempts < 2000; ++attempts) {
            Message r;
            clockUs += 20000;
            Message q = request(kA, kServer, seq, "RETR");
            ++run;
            if (!s.handle(q, q.size(), r, clockUs)) continue;
            if (std::min(r.size() + 28, s.frameMtu(kA)) > c.pathMtu) continue;  // dropped on the way
            worst = std::max(worst, run);
            run = 0;
            if (r.length() == 0) break;
            got += r.length();
            ++seq;
        }
        EXPECT_EQ(got, 10000u);
        EXPECT_LE(worst, 3 * kShrinkRun + 1);
        EXPECT_LE(s.frameMtu(kA), c.pathMtu);
    }
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
    EXPECT_EQ(ask(s, request(kA, kServer, 2, "STRT")), "OKAY");
    uint16_t seq = 3;
    while (seq < 20 && ask(s, request(kA, kServer, seq, "RETR")) != "DONE") ++seq;
    EXPECT_EQ(ask(s, request(kA, kServer, ++seq, "WTRM")), "TERM");
    EXPECT_EQ(s.completedInstallations(), 1);
}

// What a hostile station may try, one case at a time against a fresh server:
// each line of `steps` is sent in order, `expect` holds the replies' words
// ("-" for none); `clock` is the server's time for each step in ms.
TEST_F(ServerLogic, HostileRequestsGetNothingTheyShouldNot) {
    struct Step {
        MacAddress from;
        bool broadcast;
        uint16_t seq;
        std::string text;
        int atMs;
        std::string expect;
    };
    config.labelPattern = "LAB-*";
    const std::string scan = "DSCV\ninfo\n\nLAB-1\ni386\n";
    struct Case {
        const char* name;
        std::vector<Step> steps;
        int completed;
    } cases[] = {
        {"a machine refused by the label is never served the list",
         {{kA, true, 1, "DSCV\ninfo\n\nOTHER\ni386\n", 0, "-"},
          {kA, false, 1, "RETR", 20, "-"},
          {kA, false, 1, "YACK\n", 40, "-"}},
         0},
        {"the list only after the offer was accepted and started",
         {{kA, true, 1, scan, 0, "OFFR"}, {kA, false, 1, "RETR", 20, "-"}, {kA, false, 1, "STRT", 40, "-"},
          {kA, false, 1, "YACK\n", 60, "OKAY"}, {kA, false, 2, "RETR", 80, "-"}, {kA, false, 2, "STRT", 100, "OKAY"},
          {kA, false, 3, "RETR", 120, "FILE"}},
         0},
        {"an early WTRM ends nothing and is not answered (anyone may send it in the machine's name)",
         {{kA, true, 1, scan, 0, "OFFR"}, {kA, false, 1, "YACK\n", 20, "OKAY"}, {kA, false, 2, "WTRM", 40, "-"},
          {kA, false, 2, "STRT", 60, "OKAY"}, {kA, false, 3, "WTRM", 80, "-"}, {kA, false, 3, "RETR", 100, "FILE"}},
         0},
        {"a repeat is the same request: another word with its number is not answered",
         {{kA, true, 1, scan, 0, "OFFR"}, {kA, false, 1, "YACK\n", 20, "OKAY"}, {kA, false, 1, "RETR", 40, "-"}},
         0},
        {"a drivers session asks for nothing but its file",
         {{kA, true, 1, "DRVR\n6.1", 0, "OFDR"}, {kA, false, 1, "WTRM", 20, "-"}, {kA, false, 1, "YACK\n", 40, "-"}},
         0},
        {"a repeat is resent once per 15 ms, however often it comes",
         {{kA, true, 1, scan, 0, "OFFR"}, {kA, true, 1, scan, 1, "-"}, {kA, true, 1, scan, 16, "OFFR"},
          {kA, false, 1, "YACK\n", 20, "OKAY"}, {kA, false, 1, "YACK\n", 21, "-"}, {kA, false, 1, "YACK\n", 34, "-"},
          {kA, false, 1, "YACK\n", 36, "OKAY"}, {kA, false, 1, "YACK\n", 37, "-"}},
         0},
    };
    for (const Case& c : cases) {
        Server s(config);
        std::string got, want;
        for (const Step& step : c.steps) {
            Message m = request(step.from, step.broadcast ? MacAddress{} : kServer, step.seq, step.text, step.broadcast);
            Message reply;
            bool answered = s.handle(m, m.size(), reply, int64_t{step.atMs} * 1000);
            got += (answered ? std::string(reply.text().substr(0, 4)) : "-") + " ";
            want += step.expect + " ";
        }
        EXPECT_EQ(got, want) << c.name;
        EXPECT_EQ(s.completedInstallations(), c.completed) << c.name;
        if (std::string(c.name).rfind("a machine refused", 0) == 0) {
            EXPECT_TRUE(s.sessions().empty()) << c.name;
        }
    }
}

TEST_F(ServerLogic, SessionsAreBoundedAndExpireByPhase) {
    config.maxSessions = 64;
    config.newPerSecond = 1e9;  // every new machine answered at once
    Server s(config);
    auto mac = [](int i) { return MacAddress{0x02, 0xee, 0, 0, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)}; };
    auto at = [&](const MacAddress& m, uint16_t seq, const std::string& text, int64_t us, bool bc = false) {
        Message q = request(m, bc ? MacAddress{} : kServer, seq, text, bc), reply;
        return s.handle(q, q.size(), reply, us) ? std::string(reply.text().substr(0, 4)) : "-";
    };
    // A machine at work: offered, accepted, started, in its first file.
    ASSERT_EQ(at(kA, 1, "DSCV\ninfo\n\nLAB\ni386\n", 0, true), "OFFR");
    ASSERT_EQ(at(kA, 1, "YACK\n", 1000), "OKAY");
    // A flood of made-up machines never grows the table past its bound and
    // never pushes out the one at work.
    for (int i = 0; i < 5000; ++i) at(mac(i), 1, i % 2 ? "DRVR\n6.1" : "DSCV\nx\n\nL\ni386\n", 2000 + i, true);
    EXPECT_LE(s.sessions().size(), 64u);
    ASSERT_TRUE(s.sessions().count(kA));
    // The newest offers are the ones kept; an older one pushed out is made
    // again when its machine answers, but only an offer that was made.
    EXPECT_TRUE(s.sessions().count(mac(4999)));
    ASSERT_FALSE(s.sessions().count(mac(0)));
    EXPECT_EQ(at(mac(0), 1, "YACK\n", 8000), "OKAY");
    EXPECT_EQ(at(mac(1), 1, "RETR", 8001), "FILE");
    EXPECT_EQ(at(mac(2), 1, "RETR", 8002), "-");   // an install offer is answered by YACK
    EXPECT_EQ(at(mac(6000), 1, "YACK\n", 8003), "-");
    EXPECT_EQ(at(mac(4), 1, "YACK\n", 62000000), "-");  // an offer lives a minute
    EXPECT_EQ(s.sessions().at(mac(0)).phase, Session::Accepted);
    // A machine preparing its disk for 20 minutes in silence is still known;
    // the offers not taken up are gone after a minute.
    s.expire(int64_t{20} * 60 * 1000000);
    EXPECT_EQ(s.sessions().size(), 3u);  // kA and the two taken up above
    EXPECT_EQ(at(kA, 2, "STRT", int64_t{20} * 60 * 1000000 + 1), "OKAY");
    // Ended: kept a minute to repeat a lost TERM, then forgotten.
    int64_t t = int64_t{21} * 60 * 1000000;
    uint16_t seq = 3;
    while (seq < 20 && at(kA, seq, "RETR", t + seq) != "DONE") ++seq;
    EXPECT_EQ(at(kA, ++seq, "WTRM", t + 100), "TERM");
    EXPECT_EQ(s.completedInstallations(), 1);
    s.expire(t + 30 * 1000000);
    EXPECT_EQ(at(kA, seq, "WTRM", t + 30 * 1000000), "TERM");
    s.expire(t + 95 * 1000000);
    EXPECT_FALSE(s.sessions().count(kA));
    // Every session transferring: a new machine waits, nobody is pushed out.
    config.maxSessions = 2;
    Server full(config);
    auto into = [&](Server& srv, const MacAddress& m, int steps, int64_t us) {
        const char* words[] = {"YACK\n", "STRT", "RETR", "RETR"};
        Message q = request(m, {}, 1, "DSCV\ninfo\n\nLAB\ni386\n", true), r;
        bool ok = srv.handle(q, q.size(), r, us);
        for (int k = 0; k < steps; ++k) {
            Message y = request(m, kServer, static_cast<uint16_t>(k + 1), words[k]);
            ok = ok && srv.handle(y, y.size(), r, us + k + 1);
        }
        return ok;
    };
    ASSERT_TRUE(into(full, kA, 4, 0));
    ASSERT_TRUE(into(full, kB, 4, 10));
    Message q = request(mac(1), {}, 1, "DRVR\n6.1", true), r;
    EXPECT_FALSE(full.handle(q, q.size(), r, 20));
    EXPECT_EQ(full.sessions().size(), 2u);
    // Accepted offers (preparing a disk, or made up) make room, made longest
    // ago first; a machine pushed out so is made again from its mark at its STRT.
    Server accepted(config);
    ASSERT_TRUE(into(accepted, kA, 1, 0));
    ASSERT_TRUE(into(accepted, kB, 1, 10));
    EXPECT_TRUE(accepted.handle(q, q.size(), r, 20));
    EXPECT_FALSE(accepted.sessions().count(kA));
    Message strt = request(kA, kServer, 2, "STRT");
    ASSERT_TRUE(accepted.handle(strt, strt.size(), r, 30));
    EXPECT_EQ(r.text(), "OKAY");
    EXPECT_EQ(r.sequence(), 3);
    EXPECT_EQ(accepted.sessions().at(kA).phase, Session::Started);
}

// A machine walks a whole installation (drivers, offer, start, every file,
// WTRM until TERM) as the installer does, reading its replies as the
// installer's acceptance rules do, while a station sends what it likes beside
// it: the protocol from made-up addresses, broadcasts in the machine's name
// (which a station can always send), floods of offers. After every datagram
// the table stays within its bounds; at the end the machine has every byte.
TEST_F(ServerLogic, AMachineCompletesWhateverAStationSendsBesideIt) {
    config.maxSessions = 16;
    config.newPerSecond = 64;
    const std::string content(10000, 'a');
    for (unsigned seed = 1; seed <= 60; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Server s(config);
        std::mt19937 random(seed);
        int64_t now = 0;
        std::vector<Message> inbox;  // replies to the machine not read yet
        bool bounded = true;
        auto deliver = [&](const Message& q) {
            Message r;
            if (s.handle(q, q.size(), r, now) && r.destination() == kA) inbox.push_back(r);
            bounded = bounded && s.sessions().size() <= config.maxSessions &&
                      s.setAside().size() <= config.maxSessions / 8 + 1;
        };
        const char* words[] = {"YACK\n", "STRT", "RETR", "WTRM"};
        std::vector<uint16_t> at(64, 0);  // each made-up machine's last sequence
        auto station = [&] {
            for (int k = static_cast<int>(random() % 6); k > 0; --k) {
                int who = static_cast<int>(random() % 64);
                MacAddress m{0x02, 0xfa, 0, 0, 0, static_cast<uint8_t>(who)};
                switch (random() % 6) {
                case 0: deliver(request(kA, {}, 1, random() % 2 ? "DRVR\n6.1" : "DSCV\nx\n\nLAB\ni386\n", true)); break;
                case 1: deliver(request(m, {}, 1, random() % 2 ? "DRVR\n6.1" : "DSCV\nx\n\nL\ni386\n", true)); break;
                default: {
                    uint16_t seq = static_cast<uint16_t>(at[who] + random() % 2);
                    at[who] = seq;
                    deliver(request(m, kServer, seq, words[std::min<size_t>(random() % 5, 3)]));
                }
                }
                now += 50;
            }
        };
        // The installer's side: sequence counters and its acceptance rules.
        uint16_t sent = 0, received = 0;
        auto take = [&](const std::string& word) -> std::string {
            for (const Message& r : inbox) {
                if (r.source() != kServer || r.ack() > sent || r.sequence() != received + 1) continue;
                if (received == 0 && !r.startsWith(word)) continue;  // waiting for an offer
                ++received;
                inbox.clear();
                return std::string(r.text());
            }
            inbox.clear();
            return "-";
        };
        auto exchange = [&](const std::string& text, bool broadcast, int attempts) {
            Message q = request(kA, broadcast ? MacAddress{} : kServer, broadcast ? 1 : ++sent, text, broadcast);
            if (broadcast) sent = received = 0;
            else q.setAck(received);
            for (int i = 0; i < attempts; ++i) {
                station();
                deliver(q);
                station();
                now += broadcast ? 1000000 : 20000;
                std::string got = take(broadcast ? text.substr(0, 4) == "DRVR" ? "OFDR" : "OFFR" : "");
                if (got != "-") return got;
            }
            return std::string("-");
        };
        auto file = [&](std::string* into) {
            std::string got = exchange("RETR", false, 300);
            if (got.rfind("FILE", 0) != 0) return got;
            for (std::string data; (data = exchange("RETR", false, 300)) != "";) {
                if (data == "-") return std::string("broken");
                into->append(data);
            }
            return std::string("FILE");
        };
        std::string drivers, a, b;
        std::string offer = "-";
        for (int i = 0; i < 60 && offer == "-"; ++i) offer = exchange("DRVR\n6.1", true, 1);
        ASSERT_EQ(offer, "OFDR");
        ASSERT_EQ(file(&drivers), "FILE");
        offer = "-";
        for (int i = 0; i < 60 && offer == "-"; ++i) offer = exchange("DSCV\ninfo\n\nLAB\ni386\n", true, 1);
        ASSERT_EQ(offer.substr(0, 4), "OFFR");
        ASSERT_EQ(exchange("YACK\n", false, 5), "OKAY");
        ASSERT_EQ(exchange("STRT", false, 5), "OKAY");
        ASSERT_EQ(file(&a), "FILE");
        ASSERT_EQ(file(&b), "FILE");
        ASSERT_EQ(exchange("RETR", false, 300), "DONE");
        EXPECT_EQ(exchange("WTRM", false, 20), "TERM");
        EXPECT_EQ(drivers, "DRV");
        EXPECT_EQ(a, content);
        EXPECT_EQ(b, "echo\n");
        EXPECT_TRUE(bounded);
    }
}

// The Internet checksum check as a receiver does it, written apart from the
// server's: the words of a correct header (checksum included) add up to 0xffff.
bool checksumHolds(const std::vector<uint8_t>& bytes) {
    uint32_t sum = 0;
    for (size_t i = 0; i < bytes.size(); i += 2) {
        sum += (bytes[i] << 8) + (i + 1 < bytes.size() ? bytes[i + 1] : 0);
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return sum == 0xffff;
}

TEST(ReplyPackets, ChecksumsFragmentsAndIdentificationsHold) {
    // A header whose checksum is known (0xb861) checks the checker itself.
    EXPECT_TRUE(checksumHolds({0x45, 0, 0, 0x73, 0, 0, 0x40, 0, 0x40, 0x11, 0xb8, 0x61, 0xc0, 0xa8, 0, 1, 0xc0, 0xa8,
                               0, 0xc7}));
    EXPECT_FALSE(checksumHolds({0x45, 0, 0, 0x73, 0, 0, 0x40, 0, 0x40, 0x11, 0xb8, 0x62, 0xc0, 0xa8, 0, 1, 0xc0, 0xa8,
                                0, 0xc7}));
    struct Case {
        size_t payload;
        int mtu;
        size_t packets;
    } cases[] = {
        {24, 1500, 1},    {1472, 1500, 1},  {1473, 1500, 2},   {4096, 1500, 3}, {4096, 9000, 1},
        {4096, 576, 8},   {4096, 68, 86},   {1476, 1500, 2},   {0, 1500, 1},    {1, 576, 1},
    };
    DatagramPackets maker(0xfffe);  // the identification wraps
    std::mt19937 random(5);
    uint16_t expectedId = 0xfffe;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.payload) + " bytes, MTU " + std::to_string(c.mtu));
        std::vector<uint8_t> payload(c.payload);
        for (auto& b : payload) b = static_cast<uint8_t>(random());
        UdpAddressing a{htonl(0x0a050001), htonl(0xffffffff), 5000, 5000};
        if (c.payload % 2) a.source = 0;  // an interface without an address
        const auto& packets = maker.make(a, payload.data(), payload.size(), c.mtu);
        ASSERT_EQ(packets.size(), c.packets);
        // Reassembled as a receiver does: each fragment's data at its offset.
        std::vector<uint8_t> datagram(8 + c.payload);
        std::vector<bool> covered(datagram.size());
        for (size_t k = 0; k < packets.size(); ++k) {
            const std::vector<uint8_t>& p = packets[k];
            ASSERT_GE(p.size(), 21u);
            EXPECT_LE(p.size(), static_cast<size_t>(c.mtu));
            EXPECT_EQ(p[0], 0x45);
            EXPECT_EQ((p[2] << 8 | p[3]), static_cast<int>(p.size()));
            EXPECT_EQ((p[4] << 8 | p[5]), expectedId);
            EXPECT_GT(p[8], 0);
            EXPECT_EQ(p[9], 17);
            EXPECT_TRUE(checksumHolds({p.begin(), p.begin() + 20}));
            EXPECT_EQ(0, std::memcmp(&p[12], &a.source, 4));
            EXPECT_EQ(0, std::memcmp(&p[16], &a.destination, 4));
            int flags = p[6] << 8 | p[7];
            bool more = flags & 0x2000;
            size_t offset = static_cast<size_t>(flags & 0x1fff) * 8;
            size_t n = p.size() - 20;
            EXPECT_FALSE(flags & 0x4000);  // "don't fragment" never set: routers may split further
            EXPECT_EQ(more, k + 1 < packets.size());
            if (more) {
                EXPECT_EQ(n % 8, 0u);
            }
            ASSERT_LE(offset + n, datagram.size());
            for (size_t i = 0; i < n; ++i) {
                EXPECT_FALSE(covered[offset + i]) << "overlap at " << offset + i;
                covered[offset + i] = true;
                datagram[offset + i] = p[20 + i];
            }
        }
        EXPECT_EQ(std::count(covered.begin(), covered.end(), false), 0);
        EXPECT_EQ((datagram[0] << 8 | datagram[1]), 5000);
        EXPECT_EQ((datagram[2] << 8 | datagram[3]), 5000);
        EXPECT_EQ((datagram[4] << 8 | datagram[5]), static_cast<int>(datagram.size()));
        EXPECT_NE((datagram[6] << 8 | datagram[7]), 0);  // computed, not left out
        std::vector<uint8_t> pseudo(12 + datagram.size());
        std::memcpy(pseudo.data(), &a.source, 4);
        std::memcpy(pseudo.data() + 4, &a.destination, 4);
        pseudo[9] = 17;
        pseudo[10] = datagram[4];
        pseudo[11] = datagram[5];
        std::copy(datagram.begin(), datagram.end(), pseudo.begin() + 12);
        EXPECT_TRUE(checksumHolds(pseudo));
        EXPECT_TRUE(std::equal(payload.begin(), payload.end(), datagram.begin() + 8));
        ++expectedId;
    }
}

TEST_F(ServerLogic, TooManyNewMachinesAtOnceAreAnsweredWhenTheyAskAgain) {
    config.newPerSecond = 64;
    Server s(config);
    auto mac = [](int i) { return MacAddress{0x02, 0xee, 0, 0, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)}; };
    auto broadcast = [&](int i, int64_t us) {
        Message q = request(mac(i), {}, 1, "DRVR\n6.1", true), reply;
        return s.handle(q, q.size(), reply, us);
    };
    int answered = 0;
    for (int i = 0; i < 1000; ++i) answered += broadcast(i, 1000 + i);  // a millisecond
    EXPECT_EQ(answered, 64);
    EXPECT_EQ(s.heldBack(), 936u);
    // A second later one that was held back asks again and is answered; one
    // that asks only after six seconds is held back once more.
    EXPECT_TRUE(broadcast(500, 1000000));
    for (int i = 1000; i < 2000; ++i) broadcast(i, 1000000 + i);  // the flood goes on
    EXPECT_TRUE(broadcast(999, 2000000));
    for (int i = 2000; i < 2100; ++i) broadcast(i, 8000000 + i);
    EXPECT_FALSE(broadcast(998, 8000200));
    EXPECT_LE(s.sessions().size(), 64u + 64u + 64u + 2u);
    // Asking twice at once takes a token too: made-up machines that repeat
    // themselves get no more offers than the rate.
    Server twice(config);
    int offers = 0;
    for (int i = 0; i < 1000; ++i)
        for (int k = 0; k < 2; ++k) {
            Message q = request(mac(i), {}, 1, "DSCV\nx\n\nL\ni386\n", true), reply;
            offers += twice.handle(q, q.size(), reply, 1000 + i * 10 + k);
        }
    EXPECT_LE(offers, 64 + 1);
}

TEST(Printable, StationTextCannotDriveATerminal) {
    EXPECT_EQ(printable("LAB-7 rack_4.x"), "LAB-7 rack_4.x");
    EXPECT_EQ(printable("a\x1b[2J\nb\rc\\d\x7f\xc3\xa9"), "a\\x1B[2J\\x0Ab\\x0Dc\\\\d\\x7F\\xC3\\xA9");
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
