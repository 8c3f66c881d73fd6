// TCP output: segmentation, the peer's window and the 10-slot queue, FIN placement,
// retransmission timing with back-off and limit, acknowledgment processing, and zero-window
// probing.
#include "needs_size.h"
#include "tcp_peer.h"

namespace tarnet::test {
namespace {

using namespace tcpflag;

class TcpOutputTest : public TcpPeerTest {
  protected:
    void SetUp() override {
        TcpPeerTest::SetUp();
        StartStack();
    }

    // Runs the TCP layer with other limits (0 gives the layer's own defaults, 50 ms and 5).
    void UseLimits(std::uint32_t rtoMax, std::uint32_t maxRetransmits) {
        TnTcpConfig c    = TcpState().config;
        c.rtoMax         = rtoMax;
        c.maxRetransmits = maxRetransmits;
        TnTcpDeinit();
        ASSERT_EQ(TnTcpInit(&c), TNTCP_SUCCESS);
    }

    // Times (relative to now) at which segments go out within `ms`.
    std::vector<std::uint64_t> SendTimes(std::uint64_t ms, std::vector<TcpSegment>* segments) {
        std::vector<std::uint64_t> times;
        const std::uint64_t start = host().Now();
        for (std::uint64_t t = 0; t < ms; ++t) {
            Advance(1);
            while (!host().sent.empty()) {
                times.push_back(host().Now() - start);
                segments->push_back(Out());
            }
        }
        return times;
    }
};

TEST_F(TcpOutputTest, OnePassSegmentsByMss) {
    TARNET_NEEDS_SIZE(TARNET_TCP_SEND_RING, 4096);
    TcpControlBlock* b = Connect();
    EXPECT_EQ(Send(b, Pattern(5000)), 4096u);
    Bytes sent;
    std::uint32_t seq              = iss + 1;
    const std::vector<int> lengths = {1356, 1356, 1356, 28};
    for (int length : lengths) {
        const TcpSegment s = Out();
        EXPECT_EQ(s.seq, seq);
        EXPECT_EQ(s.flags, kAck) << "ACK, never PSH";
        EXPECT_EQ(s.ack, peerSeq);
        EXPECT_EQ(s.payload.size(), static_cast<std::size_t>(length));
        seq += static_cast<std::uint32_t>(s.payload.size());
        sent.insert(sent.end(), s.payload.begin(), s.payload.end());
    }
    ExpectNoTx();
    EXPECT_EQ(sent, Pattern(4096));
    EXPECT_EQ(b->sndNxt, seq);
    EXPECT_EQ(b->rtxCount, 4);
}

// Bytes in flight count against the peer's window: sndUna + sndWnd - sndNxt.
TEST_F(TcpOutputTest, InFlightBytesUseUpTheWindow) {
    TARNET_NEEDS_SIZE(TARNET_TCP_SEND_RING, 4096);
    peerWindow         = 1000;
    TcpControlBlock* b = Connect();
    Send(b, Pattern(3000));
    const TcpSegment first = Out();
    EXPECT_EQ(first.payload.size(), 1000u);
    ExpectNoTx();
    // A window update that acknowledges nothing opens no room.
    InjectTcp(Peer(kAck));
    ExpectNoTx();
    PeerAcks(first.seq + 600);
    EXPECT_EQ(Out().payload.size(), 600u);
    ExpectNoTx();
    EXPECT_EQ(b->sendRing.count, 1400);
}

TEST_F(TcpOutputTest, TenSegmentsInFlightAtMost) {
    TARNET_NEEDS_SIZE(TARNET_TCP_RTX_SLOTS, 10);
    peerWindow         = 60000;
    TcpControlBlock* b = Connect(0x40000000, 100);
    EXPECT_EQ(Send(b, Pattern(1100)), 1100u);
    std::uint32_t firstEnd = 0;
    for (int i = 0; i < 10; ++i) {
        const TcpSegment s = Out();
        EXPECT_EQ(s.payload.size(), 100u);
        if (i == 0) {
            firstEnd = s.seq + 100;
        }
    }
    ExpectNoTx();
    EXPECT_EQ(b->rtxCount, 10);
    EXPECT_EQ(b->sendRing.count, 100);
    PeerAcks(firstEnd);
    const TcpSegment eleventh = Out();
    EXPECT_EQ(eleventh.seq, firstEnd + 900);
    EXPECT_EQ(b->rtxCount, 10);
}

TEST_F(TcpOutputTest, CloseSendsRemainingDataWithFin) {
    peerWindow         = 0;
    TcpControlBlock* b = Connect();
    Send(b, Pattern(100));
    ASSERT_EQ(TnTcpClose(b), TNTCP_SUCCESS);
    ExpectNoTx();
    const std::uint32_t before = b->sndNxt;
    peerWindow                 = 8192;
    PeerAcks(iss + 1);
    const TcpSegment s = Out();
    EXPECT_EQ(s.flags, kAck | kFin);
    EXPECT_EQ(s.payload, Pattern(100));
    EXPECT_EQ(b->sndNxt, before + 101);
    ExpectNoTx();
    PeerAcks(before + 101);
    EXPECT_EQ(b->rtxCount, 0);
    EXPECT_STREQ(StateOf(b), "FIN_WAIT_2");
}

// The acknowledgment of the data in front of our FIN does not acknowledge the FIN: a lost FIN
// must still be retransmitted.
TEST_F(TcpOutputTest, LostFinIsRetransmitted) {
    TcpControlBlock* b = Connect();
    Send(b, Pattern(50));
    const TcpSegment data = Out();
    TnTcpClose(b);
    const TcpSegment fin = Out();
    EXPECT_EQ(fin.flags, kAck | kFin);
    EXPECT_TRUE(fin.payload.empty());
    EXPECT_EQ(fin.seq, data.seq + 50);
    EXPECT_EQ(b->sndNxt, fin.seq + 1);
    PeerAcks(fin.seq);  // data only
    EXPECT_STREQ(StateOf(b), "FIN_WAIT_1");
    EXPECT_EQ(b->rtxCount, 1);
    Advance(1000);
    const TcpSegment again = Out();
    EXPECT_EQ(again.flags, kAck | kFin);
    EXPECT_EQ(again.seq, fin.seq);
    PeerAcks(fin.seq + 1);
    EXPECT_STREQ(StateOf(b), "FIN_WAIT_2");
}

// Consecutive timeouts double the rto up to rtoMax, and the limit-th expiry resets. The
// handshake of Connect() is answered at once, so its sample gives the 200 ms floor; with the
// stack's setting (2000 ms, 10) an unanswered segment lasts 15 s. A SYN that had to be repeated
// gives no sample, so the rto is still the initial 1000 ms and the segment lasts 19 s.
TEST_F(TcpOutputTest, BackOffUpToRtoMaxThenReset) {
    struct Case {
        const char* name;
        std::uint32_t rtoMax;
        std::uint32_t maxRetransmits;
        bool synRepeated;
        std::vector<std::uint64_t> times;  // retransmissions, then the reset
    };
    const Case cases[] = {
        {"stack's setting",
         2000,                            10,
         false,                                      {200, 600, 1400, 3000, 5000, 7000, 9000, 11000, 13000, 15000}    },
        {"stack's setting, no sample",
         2000,                            10,
         true,                                       {1000, 3000, 5000, 7000, 9000, 11000, 13000, 15000, 17000, 19000}},
        {"layer's defaults",           0, 0,  false, {50, 100, 150, 200, 250}                                         },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UseLimits(c.rtoMax, c.maxRetransmits);
        TcpNotes().clear();
        TcpControlBlock* b = Connect(0x40000000, 0, c.synRepeated ? 1100 : 0);
        Send(b, Pattern(10));
        const TcpSegment first = Out();
        std::vector<TcpSegment> segments;
        EXPECT_EQ(SendTimes(c.times.back() + 1000, &segments), c.times);
        ASSERT_EQ(segments.size(), c.times.size());
        for (std::size_t i = 0; i + 1 < segments.size(); ++i) {
            EXPECT_EQ(segments[i].seq, first.seq);
            EXPECT_EQ(segments[i].payload, first.payload);
        }
        EXPECT_EQ(segments.back().flags, kRst);
        EXPECT_EQ(segments.back().seq, first.seq + 10);
        EXPECT_EQ(segments.back().ack, 0u);
        ASSERT_EQ(TcpNotes().size(), 1u);
        EXPECT_EQ(TcpNotes()[0].event, TNTCP_NOTIFY_CLOSED);
        ExpectPoolFull();
    }
}

// A retransmission carries the acknowledgment number of the moment it is sent.
TEST_F(TcpOutputTest, RetransmissionCarriesCurrentAcknowledgment) {
    TcpControlBlock* b = Connect();
    Send(b, Pattern(10));
    const TcpSegment first = Out();
    peerAck                = iss + 1;  // acknowledges nothing new
    PeerSends(Text("hello"));
    EXPECT_EQ(Out().ack, peerSeq);
    Advance(1000);
    const TcpSegment again = Out();
    EXPECT_EQ(again.seq, first.seq);
    EXPECT_EQ(again.ack, first.ack + 5);
}

TEST_F(TcpOutputTest, AcknowledgmentsFreeSlotsFromTheOldest) {
    TcpControlBlock* b = Connect(0x40000000, 100);
    Send(b, Pattern(300));
    const TcpSegment s1 = Out();
    Out();
    const TcpSegment s3 = Out();
    Advance(100);
    PeerAcks(s1.seq + 100);
    EXPECT_EQ(b->rtxCount, 2);
    EXPECT_NE(b->rtxTimer, nullptr);
    PeerAcks(s3.seq + 99);  // inside the last segment
    EXPECT_EQ(b->rtxCount, 1);
    PeerAcks(b->sndNxt);
    EXPECT_EQ(b->rtxCount, 0);
    EXPECT_EQ(b->rtxTimer, nullptr);
    ExpectNoTx(3000);
}

// RFC 6298 5.3: an acknowledgment of new data restarts the timer for what is still in flight,
// so a connection that keeps being acknowledged never retransmits spuriously...
TEST_F(TcpOutputTest, AcknowledgedProgressRestartsTheTimer) {
    TcpControlBlock* b = Connect(0x40000000, 100);
    Send(b, Pattern(100));
    const TcpSegment a = Out();
    Advance(100);
    Send(b, Pattern(100));
    const TcpSegment second = Out();
    Advance(50);
    PeerAcks(a.seq + 100);  // t = 150: the first is acknowledged, the second is in flight
    ASSERT_EQ(b->rto, 200);
    ExpectNoTx(199);  // the timer that ran from t = 0 would have expired at t = 200
    PeerAcks(second.seq + 100);
    ExpectNoTx(3000);
}

// ...and one that is being acknowledged, however slowly, is never reset by the limit.
TEST_F(TcpOutputTest, ProgressResetsTheRetryCount) {
    TARNET_NEEDS_SIZE(TARNET_TCP_RTX_SLOTS, 10);
    TcpControlBlock* b = Connect(0x40000000, 100);
    Send(b, Pattern(1000));
    std::vector<TcpSegment> flight;
    for (int i = 0; i < 10; ++i) {
        flight.push_back(Out());
    }
    // Each segment is acknowledged only after three retransmissions of it.
    for (int i = 0; i < 10; ++i) {
        for (int retry = 0; retry < 3; ++retry) {
            Advance(static_cast<std::uint64_t>(b->rto));
            EXPECT_EQ(Out().seq, flight[static_cast<std::size_t>(i)].seq);
        }
        PeerAcks(flight[static_cast<std::size_t>(i)].seq + 100);
        EXPECT_EQ(b->retryCount, 0);
        if (i + 1 < 10) {  // a partial acknowledgment after a timeout resends the next at once
            EXPECT_EQ(Out().seq, flight[static_cast<std::size_t>(i) + 1].seq);
        }
    }
    EXPECT_STREQ(StateOf(b), "ESTABLISHED");
    EXPECT_TRUE(TcpNotes().empty());
}

TEST_F(TcpOutputTest, WindowUpdateRules) {
    peerWindow         = 100;
    TcpControlBlock* b = Connect();
    // Same acknowledgment, later sequence number (the peer sent data): the window is taken.
    peerWindow = 2000;
    PeerSends(Text("abc"));
    Out();
    EXPECT_EQ(b->sndWnd, 2000);
    PeerSends(Text("def"));
    Out();
    // A retransmission from before the segment that last set the window does not set it; its
    // new bytes are still delivered.
    peerSeq -= 6;
    peerWindow = 50;
    PeerSends(Text("abcdefgh"));
    EXPECT_EQ(Out().ack, peerSeq);
    EXPECT_EQ(b->sndWnd, 2000);
    ASSERT_EQ(TcpNotes().size(), 3u);
    EXPECT_EQ(TcpNotes()[2].data, Text("gh"));
}

// RFC 5961 5.2: an acknowledgment is acceptable from sndUna minus the largest window the peer
// has offered up to sndNxt. Below sndUna the segment's ACK is ignored (no window update) but its
// data and FIN are processed (RFC 9293 3.10.7.4); outside the range the segment is answered
// with an ACK and dropped.
TEST_F(TcpOutputTest, OldAndFutureAcknowledgments) {
    TcpControlBlock* b = Connect();
    Send(b, Pattern(100));
    const TcpSegment s = Out();
    PeerAcks(s.seq + 50);
    peerWindow = 10;  // the largest window offered stays 8192
    PeerAcks(s.seq + 50);
    const std::uint32_t sndUna = s.seq + 50;
    // 40 behind sndUna, more than the current window: old but acceptable.
    peerAck    = sndUna - 40;
    peerWindow = 3000;
    PeerSends(Text("taken"));
    EXPECT_EQ(Out().ack, peerSeq);
    ASSERT_EQ(TcpNotes().size(), 1u);
    EXPECT_EQ(TcpNotes()[0].data, Text("taken"));
    EXPECT_EQ(b->sndWnd, 10) << "an old acknowledgment updates no window";
    // Further back than the largest window: answered with an ACK, the data is not taken.
    peerAck = sndUna - 8193;
    InjectTcp(Peer(kAck, Text("ignored")));
    // Beyond sndNxt: the same.
    TcpSegment future = Peer(kAck, Text("ignored"));
    future.ack        = s.seq + 500;
    InjectTcp(future);
    for (int i = 0; i < 2; ++i) {
        const TcpSegment ack = Out();
        EXPECT_EQ(ack.flags, kAck);
        EXPECT_EQ(ack.seq, b->sndNxt);
        EXPECT_EQ(ack.ack, peerSeq);
    }
    EXPECT_EQ(TcpNotes().size(), 1u);
    // An old acknowledgment on the peer's FIN: the FIN is taken.
    peerAck = sndUna - 1;
    PeerSends({}, kFin);
    EXPECT_EQ(Out().ack, peerSeq);
    EXPECT_STREQ(StateOf(b), "LAST_ACK");
    EXPECT_EQ(b->sndUna, sndUna);
}

// A zero window with data waiting starts probing (on rtxTimer, which is otherwise idle then):
// the probe sits just before the peer's window, so the peer answers with its current window.
// Probes back off, never reset the connection, and recover a lost window update.
TEST_F(TcpOutputTest, ZeroWindowProbingRecoversLostWindowUpdate) {
    TcpControlBlock* b = Connect();
    Send(b, Pattern(2000));
    EXPECT_EQ(Out().payload.size(), 1356u);
    EXPECT_EQ(Out().payload.size(), 644u);
    // The peer takes everything and closes its window; more data waits.
    peerWindow = 0;
    PeerAcks(iss + 1 + 2000);
    Send(b, Pattern(500));
    ExpectNoTx();
    std::vector<TcpSegment> probes;
    const auto times = SendTimes(6000, &probes);
    // rto has backed off nowhere (no retransmission): probes at the 200 ms the handshake
    // measured, then doubling.
    EXPECT_EQ(times, (std::vector<std::uint64_t>{200, 600, 1400, 3000}));
    for (const TcpSegment& p : probes) {
        EXPECT_EQ(p.flags, kAck);
        EXPECT_TRUE(p.payload.empty());
        EXPECT_EQ(p.seq, iss + 2000);  // sndUna - 1
        EXPECT_EQ(p.ack, peerSeq);
    }
    // Each probe answered with a zero window: probing goes on, the connection stays.
    InjectTcp(Peer(kAck));
    ExpectNoTx();
    EXPECT_STREQ(StateOf(b), "ESTABLISHED");
    EXPECT_TRUE(TcpNotes().empty());
    // The window update the peer sent was lost; the next probe's answer carries it.
    std::vector<TcpSegment> next;
    SendTimes(40000, &next);
    ASSERT_FALSE(next.empty());
    EXPECT_TRUE(next[0].payload.empty());
    peerWindow = 4096;
    InjectTcp(Peer(kAck));
    const TcpSegment data = Out();
    EXPECT_EQ(data.seq, iss + 1 + 2000);
    EXPECT_EQ(data.payload, Pattern(500));
    // Back to ordinary retransmission timing for the data now in flight.
    Advance(199);
    EXPECT_TRUE(host().sent.empty());
    Advance(1);
    EXPECT_EQ(Out().seq, data.seq);
}

// Data that arrives while nothing of ours can go out (zero window) is still acknowledged.
TEST_F(TcpOutputTest, ReceivedDataIsAcknowledgedWhenOutputIsBlocked) {
    peerWindow         = 0;
    TcpControlBlock* b = Connect();
    Send(b, Pattern(10));
    ExpectNoTx();
    PeerSends(Text("ping"));
    const TcpSegment ack = Out();
    EXPECT_EQ(ack.flags, kAck);
    EXPECT_EQ(ack.ack, peerSeq);
    EXPECT_TRUE(ack.payload.empty());
    EXPECT_EQ(b->sendRing.count, 10);
}

}  // namespace
}  // namespace tarnet::test

namespace tarnet::test {
namespace {

using namespace tcpflag;

// Sender-side silly-window avoidance (RFC 1122 4.2.3.4, RFC 896). With `inFlight`, a full
// segment is outstanding before the user writes; the pass that follows the write sends `now`,
// and once the peer acknowledges everything sent so far the next pass sends `afterAck`.
TEST_F(TcpOutputTest, ShortSegmentsWaitForTheDataInFlight) {
    TARNET_NEEDS_SIZE(TARNET_TCP_SEND_RING, 4096);
    enum class NoDelay { kOff, kBefore, kAfter };
    struct Case {
        const char* name;
        std::uint16_t window;
        bool inFlight;
        NoDelay noDelay;
        bool close;
        std::uint32_t write;
        std::vector<std::size_t> now;
        std::vector<std::size_t> afterAck;
    };
    const Case cases[] = {
        {"idle: the short end goes",                          8192, false, NoDelay::kOff,    false, 1000, {1000}, {}    },
        {"in flight: the short end waits",                    8192, true,  NoDelay::kOff,    false, 1000, {},     {1000}},
        {"in flight: full segments go, the rest waits",
         8192,                                                      true,
         NoDelay::kOff,
         false,                                                                                     3000,
         {1356, 1356},
         {288}                                                                                                          },
        {"no-delay: the short end goes",                      8192, true,  NoDelay::kBefore, false, 1000, {1000}, {}    },
        {"no-delay set later releases it",                    8192, true,  NoDelay::kAfter,  false, 1000, {1000}, {}    },
        {"closing: the short end goes with the FIN",
         8192,                                                      true,
         NoDelay::kOff,
         true,                                                                                      1000,
         {1000},
         {}                                                                                                             },
        {"no runt cut by the window while data is in flight",
         3000,                                                      false,
         NoDelay::kOff,
         false,                                                                                     4096,
         {1356, 1356},
         {1356, 28}                                                                                                     },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        peerWindow         = c.window;
        TcpControlBlock* b = Connect();
        if (c.noDelay == NoDelay::kBefore) {
            ASSERT_EQ(TnTcpSetNoDelay(b, 1), TNTCP_SUCCESS);
        }
        if (c.inFlight) {
            Send(b, Pattern(1356));
            EXPECT_EQ(Out().payload.size(), 1356u);
        }
        Send(b, Pattern(c.write));
        if (c.close) {
            TnTcpClose(b);
        }
        if (c.noDelay == NoDelay::kAfter) {
            ASSERT_EQ(TnTcpSetNoDelay(b, 1), TNTCP_SUCCESS);
        }
        std::vector<std::size_t> now;
        while (!host().sent.empty()) {
            const TcpSegment s = Out();
            EXPECT_EQ(s.Has(kFin), c.close);
            now.push_back(s.payload.size());
        }
        EXPECT_EQ(now, c.now);
        PeerAcks(b->sndNxt);
        std::vector<std::size_t> afterAck;
        while (!host().sent.empty()) {
            afterAck.push_back(Out().payload.size());
        }
        EXPECT_EQ(afterAck, c.afterAck);
        TnTcpAbortAll();
        TakeSent();
        ourPort = static_cast<std::uint16_t>(ourPort + 1);
    }
}

}  // namespace
}  // namespace tarnet::test
