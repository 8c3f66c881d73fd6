// ICMP echo: answering requests (broadcast and reassembled ones too) and the echo client's
// series: request contents, events and their order, timing, reply matching and stop.
#include "harness.h"
#include "needs_size.h"

namespace tarnet::test {
namespace {

Bytes Echo(std::uint8_t type, std::uint16_t id, std::uint16_t seq, const Bytes& data,
           bool badChecksum = false) {
    return IcmpEcho{type, 0, id, seq, data, badChecksum}.Build();
}

class IcmpTest : public StackTest {
  protected:
    void SetUp() override {
        StackTest::SetUp();
        ASSERT_EQ(Start(), TNSOCK_SUCCESS);
        LearnPeer();
    }

    // The next frame, which must be a valid echo message to the peer.
    IcmpEcho ExpectEchoToPeer() {
        const Decoded d = NextSent();
        EXPECT_TRUE(d.icmp.has_value()) << "no valid ICMP message (checksum?)";
        if (!d.icmp) {
            return IcmpEcho{};
        }
        EXPECT_EQ(d.eth.dst, kPeerMac);
        EXPECT_EQ(d.ip->src, kOurIp);
        EXPECT_EQ(d.ip->dst, kPeerIp);
        return *d.icmp;
    }
};

TEST_F(IcmpTest, RequestIsAnsweredWithItsIdentifierSequenceAndData) {
    for (std::size_t length : {0u, 1u, 3u, 57u, 1001u}) {  // odd lengths: padded checksum
        const Bytes data = Pattern(length, static_cast<std::uint32_t>(length));
        InjectIp(MakeIpv4(1, Echo(8, 0xBEEF, static_cast<std::uint16_t>(length), data)));
        const IcmpEcho reply = ExpectEchoToPeer();
        EXPECT_EQ(reply.type, 0);
        EXPECT_EQ(reply.code, 0);
        EXPECT_EQ(reply.identifier, 0xBEEF);
        EXPECT_EQ(reply.sequence, length);
        EXPECT_EQ(reply.data, data);
    }
    // Sent to the broadcast address: answered to the sender.
    InjectIp(MakeIpv4(1, Echo(8, 2, 9, Text("anyone")), kPeerIp, 0xFFFFFFFF), kPeerMac, kBroadcast);
    EXPECT_EQ(ExpectEchoToPeer().data, Text("anyone"));
    ExpectNoTx();
}

// Each reply is built in the frame buffer the one before it left (the pool's free buffers are
// taken last-in first-out), so answering touches the same memory every time instead of walking
// the whole pool.
TEST_F(IcmpTest, RepliesAreBuiltInTheBufferTheLastOneLeft) {
    std::vector<const std::uint8_t*> frames;
    fakehost::FakeHost::Get().SetFrameSink(
        [](void* context, const std::uint8_t* frame, std::uint32_t) {
            static_cast<std::vector<const std::uint8_t*>*>(context)->push_back(frame);
        },
        &frames);
    for (std::uint16_t seq = 1; seq <= 4; ++seq) {
        InjectIp(MakeIpv4(1, Echo(8, 7, seq, Text("again"))));
    }
    ASSERT_EQ(frames.size(), 4U);
    for (const std::uint8_t* frame : frames) {
        EXPECT_EQ(frame, frames.front());
    }
}

TEST_F(IcmpTest, OnlyValidRequestsAreAnswered) {
    InjectIp(MakeIpv4(1, Echo(8, 1, 1, Text("odd"), true)));  // bad checksum
    InjectIp(MakeIpv4(1, Echo(0, 1, 1, Text("unasked reply"))));
    InjectIp(MakeIpv4(1, Echo(13, 1, 1, Bytes(12))));                  // timestamp request
    InjectIp(MakeIpv4(1, Bytes{8, 0, 0xF7, 0xFF}));                    // cut short of its header
    InjectIp(MakeIpv4(1, Echo(8, 1, 1, Text("forged")), 0xFFFFFFFF));  // from everyone
    ExpectNoTx(100);
}

TEST_F(IcmpTest, RequestIsAnsweredWithoutTheEchoClient) {
    TnSockDeinit();
    config.pingEvent = nullptr;
    ASSERT_EQ(Start(), TNSOCK_SUCCESS);
    LearnPeer();
    InjectIp(MakeIpv4(1, Echo(8, 4, 4, Text("still"))));
    EXPECT_EQ(ExpectEchoToPeer().data, Text("still"));
}

TEST_F(IcmpTest, FragmentedRequestIsAnsweredWithAFragmentedReply) {
    TARNET_NEEDS_SIZE(TARNET_REASSEMBLY_MAX, 3008);
    TARNET_NEEDS_SIZE(TARNET_MAX_DATAGRAM, 3028);
    const Bytes data = Pattern(3000, 77);
    for (const Ipv4Packet& f : Fragment(MakeIpv4(1, Echo(8, 0x0101, 3, data)), 1024)) {
        InjectIp(f);
    }
    std::vector<Ipv4Packet> fragments;
    for (const Bytes& frame : TakeSent()) {
        fragments.push_back(Decode(frame)->ip.value());
    }
    ASSERT_EQ(fragments.size(), 3u);  // 3008 bytes of ICMP: 1376 + 1376 + 256
    const auto whole = Reassemble(fragments);
    ASSERT_TRUE(whole.has_value());
    const auto reply = IcmpEcho::Parse(whole->payload);
    ASSERT_TRUE(reply.has_value()) << "bad checksum on the reassembled reply";
    EXPECT_EQ(reply->type, 0);
    EXPECT_EQ(reply->identifier, 0x0101);
    EXPECT_EQ(reply->data, data);
}

// ---- Echo client -----------------------------------------------------------------------------

class PingTest : public IcmpTest {
  protected:
    static constexpr std::uint32_t kTimeout = 1000;

    IcmpEcho ExpectRequest(std::uint16_t sequence) {
        const IcmpEcho e = ExpectEchoToPeer();
        EXPECT_EQ(e.type, 8);
        EXPECT_EQ(e.code, 0);
        EXPECT_EQ(e.sequence, sequence);
        return e;
    }

    void Answer(const IcmpEcho& request, std::uint32_t src = kPeerIp) {
        InjectIp(MakeIpv4(1, Echo(0, request.identifier, request.sequence, request.data), src));
    }

    // Takes the events reported so far and compares them with {event, value, received}.
    void ExpectEvents(std::vector<PingRecord> expected) {
        auto& got = host().pings;
        ASSERT_EQ(got.size(), expected.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].event, expected[i].event) << i;
            EXPECT_EQ(got[i].value, expected[i].value) << i;
            EXPECT_EQ(got[i].received, expected[i].received) << i;
        }
        got.clear();
    }

    void Restart(TnPingEventFn handler) {
        TnSockDeinit();
        config.pingEvent = handler;
        ASSERT_EQ(Start(), TNSOCK_SUCCESS);
        LearnPeer();
    }
};

TEST_F(PingTest, StartRefusals) {
    EXPECT_EQ(TnSockPingStart(0, kTimeout, 1, 8), TNSOCK_PING_BAD_PARAMETER);
    EXPECT_EQ(TnSockPingStart(kPeerIp, 0, 1, 8), TNSOCK_PING_BAD_PARAMETER);
    EXPECT_EQ(TnSockPingStart(kPeerIp, kTimeout, 0, 8), TNSOCK_PING_BAD_PARAMETER);
    ExpectNoTx();
    ASSERT_EQ(TnSockPingStart(kPeerIp, kTimeout, 1, 8), TNSOCK_PING_STARTED);
    EXPECT_EQ(TnSockPingStart(kPeerIp, kTimeout, 1, 8), TNSOCK_PING_RUNNING);
    TnSockPingStop();
    Restart(nullptr);
    EXPECT_EQ(TnSockPingStart(kPeerIp, kTimeout, 1, 8), TNSOCK_PING_NOT_INITIALIZED);
    TnSockDeinit();
    EXPECT_EQ(TnSockPingStart(kPeerIp, kTimeout, 1, 8), TNSOCK_PING_NOT_INITIALIZED);
}

TEST_F(PingTest, RequestCarriesTheClockIdentifierAndTheLetterPattern) {
    Bytes expected;
    for (char c = 'A'; c <= 'a'; ++c) {
        expected.push_back(static_cast<std::uint8_t>(c));
    }
    for (int run = 0; run < 3; ++run) {
        for (char c = 'A'; c <= '`'; ++c) {
            expected.push_back(static_cast<std::uint8_t>(c));
        }
    }
    expected.resize(100);
    ASSERT_EQ(TnSockPingStart(kPeerIp, kTimeout, 1, 100), TNSOCK_PING_STARTED);
    const IcmpEcho request = ExpectRequest(1);
    EXPECT_EQ(request.identifier, static_cast<std::uint16_t>(host().Now()));
    EXPECT_EQ(request.data, expected);
    TnSockPingStop();
    ExpectEvents({
        {TNSOCK_PING_SENT, 1, 0}
    });

    ASSERT_EQ(TnSockPingStart(kPeerIp, kTimeout, 1, 0), TNSOCK_PING_STARTED);
    Answer(ExpectRequest(1));  // an empty payload is allowed, and so is its reply
    ExpectEvents({
        {TNSOCK_PING_SENT,  1, 0},
        {TNSOCK_PING_REPLY, 1, 0},
        {TNSOCK_PING_DONE,  1, 1}
    });
}

TEST_F(PingTest, SeriesReportsEveryStepInOrder) {
    ASSERT_EQ(TnSockPingStart(kPeerIp, kTimeout, 3, 40), TNSOCK_PING_STARTED);
    Answer(ExpectRequest(1));
    ExpectEvents({
        {TNSOCK_PING_SENT,  1, 0},
        {TNSOCK_PING_REPLY, 1, 0}
    });
    ExpectNoTx(49);  // the next request follows 50 ms after the reply
    Advance(1);
    const IcmpEcho second = ExpectRequest(2);
    ExpectEvents({
        {TNSOCK_PING_SENT, 2, 0}
    });
    Advance(kTimeout - 1);
    ExpectEvents({});
    Advance(1);
    ExpectEvents({
        {TNSOCK_PING_TIMEOUT, 2, 0}
    });
    Answer(second);  // too late
    ExpectEvents({});
    ExpectNoTx(49);
    Advance(1);
    Answer(ExpectRequest(3));
    ExpectEvents({
        {TNSOCK_PING_SENT,  3, 0},
        {TNSOCK_PING_REPLY, 3, 0},
        {TNSOCK_PING_DONE,  3, 2}
    });
    EXPECT_EQ(host().timers.ActiveCount(), 0u);
    ExpectNoTx(5000);
    ExpectEvents({});
}

TEST_F(PingTest, RepliesThatDoNotMatchAreIgnored) {
    ASSERT_EQ(TnSockPingStart(kPeerIp, kTimeout, 1, 16), TNSOCK_PING_STARTED);
    const IcmpEcho r = ExpectRequest(1);
    host().pings.clear();
    const Bytes shorter(r.data.begin(), r.data.end() - 1);
    Bytes longer = r.data;
    longer.push_back('x');
    for (const Bytes& wrong :
         {Echo(0, static_cast<std::uint16_t>(r.identifier + 1), 1, r.data),
          Echo(0, r.identifier, 2, r.data), Echo(0, r.identifier, 1, shorter),
          Echo(0, r.identifier, 1, longer), Echo(0, r.identifier, 1, r.data, true)}) {
        InjectIp(MakeIpv4(1, wrong));
    }
    Answer(r, Ip(192, 0, 2, 33));  // from another station
    ExpectEvents({});
    Answer(r);
    ExpectEvents({
        {TNSOCK_PING_REPLY, 1, 0},
        {TNSOCK_PING_DONE,  1, 1}
    });
    Answer(r);  // a duplicate after the end
    ExpectEvents({});
}

TEST_F(PingTest, StopEndsTheSeriesSilently) {
    ASSERT_EQ(TnSockPingStart(kPeerIp, kTimeout, 5, 8), TNSOCK_PING_STARTED);
    const IcmpEcho first = ExpectRequest(1);
    TnSockPingStop();  // while waiting for the reply
    EXPECT_EQ(host().timers.ActiveCount(), 0u);
    Answer(first);
    ExpectNoTx(10000);
    ExpectEvents({
        {TNSOCK_PING_SENT, 1, 0}
    });
    ASSERT_EQ(TnSockPingStart(kPeerIp, kTimeout, 5, 8), TNSOCK_PING_STARTED);
    Answer(ExpectRequest(1));
    Advance(20);
    TnSockPingStop();  // in the gap between two requests
    EXPECT_EQ(host().timers.ActiveCount(), 0u);
    ExpectNoTx(10000);
    ExpectEvents({
        {TNSOCK_PING_SENT,  1, 0},
        {TNSOCK_PING_REPLY, 1, 0}
    });
    TnSockPingStop();  // stopping an idle client is harmless
}

TEST_F(PingTest, PacedSeriesKeepsTheIntervalFromRequestToRequest) {
    constexpr std::uint32_t kInterval = 200;
    ASSERT_EQ(TnSockPingStartEvery(kPeerIp, kTimeout, 4, 8, kInterval), TNSOCK_PING_STARTED);
    const IcmpEcho first = ExpectRequest(1);
    Advance(30);
    Answer(first);  // a quick reply: the next request waits for the rest of the interval
    ExpectNoTx(kInterval - 30 - 1);
    Advance(1);
    ExpectRequest(2);
    Advance(kTimeout);  // unanswered: the next request leaves with the timeout
    const IcmpEcho third = ExpectRequest(3);
    Advance(kInterval + 50);
    Answer(third);  // a reply later than the interval: the next request leaves at once
    Advance(0);
    Answer(ExpectRequest(4));
    ExpectEvents({
        {TNSOCK_PING_SENT,    1, 0},
        {TNSOCK_PING_REPLY,   1, 0},
        {TNSOCK_PING_SENT,    2, 0},
        {TNSOCK_PING_TIMEOUT, 2, 0},
        {TNSOCK_PING_SENT,    3, 0},
        {TNSOCK_PING_REPLY,   3, 0},
        {TNSOCK_PING_SENT,    4, 0},
        {TNSOCK_PING_REPLY,   4, 0},
        {TNSOCK_PING_DONE,    4, 3}
    });
    EXPECT_EQ(host().timers.ActiveCount(), 0u);
}

// Result handlers that give up at the first timeout, by stopping or by shutting down.
void StopOnTimeout(int event, std::uint32_t value, std::uint32_t received) {
    VirtualHost::Get().pings.push_back({event, value, received});
    if (event == TNSOCK_PING_TIMEOUT) {
        TnSockPingStop();
    }
}

void ShutDownOnTimeout(int event, std::uint32_t value, std::uint32_t received) {
    VirtualHost::Get().pings.push_back({event, value, received});
    if (event == TNSOCK_PING_TIMEOUT) {
        TnSockDeinit();
    }
}

TEST_F(PingTest, TimeoutHandlerMayEndTheSeries) {
    for (TnPingEventFn handler : {StopOnTimeout, ShutDownOnTimeout}) {
        for (std::uint32_t count : {1u, 3u}) {
            Restart(handler);
            ASSERT_EQ(TnSockPingStart(kPeerIp, kTimeout, count, 8), TNSOCK_PING_STARTED);
            ExpectRequest(1);
            Advance(kTimeout);
            EXPECT_EQ(host().timers.ActiveCount(), 0u) << "count " << count;
            ExpectNoTx(1000);
            ExpectEvents({
                {TNSOCK_PING_SENT,    1, 0},
                {TNSOCK_PING_TIMEOUT, 1, 0}
            });
        }
    }
}

// A handler that, at the first request sent, abandons the series and starts a fresh one.
void RestartOnFirstSend(int event, std::uint32_t value, std::uint32_t received) {
    auto& pings = VirtualHost::Get().pings;
    pings.push_back({event, value, received});
    if (event == TNSOCK_PING_SENT && pings.size() == 1) {
        TnSockPingStop();
        EXPECT_EQ(TnSockPingStart(kPeerIp, 1000, 1, 8), TNSOCK_PING_STARTED);
    }
}

TEST_F(PingTest, SeriesRestartedInsideAnEventLeavesOneTimer) {
    Restart(RestartOnFirstSend);
    ASSERT_EQ(TnSockPingStart(kPeerIp, kTimeout, 3, 8), TNSOCK_PING_STARTED);
    ExpectRequest(1);  // the abandoned series' request
    ExpectRequest(1);  // the new series' request
    // Only the new series' timeout runs: one timeout, then the end of a one-echo series.
    EXPECT_EQ(host().timers.ActiveCount(), 1u);
    Advance(kTimeout);
    ExpectEvents({
        {TNSOCK_PING_SENT,    1, 0},
        {TNSOCK_PING_SENT,    1, 0},
        {TNSOCK_PING_TIMEOUT, 1, 0},
        {TNSOCK_PING_DONE,    1, 0}
    });
    EXPECT_EQ(host().timers.ActiveCount(), 0u);
}

}  // namespace
}  // namespace tarnet::test
