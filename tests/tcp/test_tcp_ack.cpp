// TCP acknowledgment policy and the window offered: received data is acknowledged once per two
// full-sized segments, at the end of the host's batch, and 200 ms after it arrived at the
// latest; out-of-order data, a filled hole, old data and the FIN at once; the window is offered
// in whole segments where at least four fit.
#include <algorithm>

#include "needs_size.h"
#include "tcp_peer.h"

namespace tarnet::test {
namespace {

using namespace tcpflag;

constexpr std::uint32_t kMss = 1356;

class TcpAckTest : public TcpPeerTest {
  protected:
    void TearDown() override {
        TcpPeerTest::TearDown();
        TnSockSetTcpBuffers(0, 0);  // the sizes outlive the stack: back to the defaults
    }

    // The peer's segment at `offset` from its initial stream position (peerSeq stays put).
    void PeerAt(std::uint32_t offset, std::uint32_t length, std::uint8_t extra = 0) {
        TcpSegment s = Peer(kAck | extra, Pattern(length, offset));
        s.seq += offset;
        InjectTcp(s);
    }

    // The acknowledgment numbers sent since the last call, relative to the peer's stream start.
    std::vector<std::uint32_t> Acks() {
        std::vector<std::uint32_t> acks;
        while (!host().sent.empty()) {
            const TcpSegment s = Out();
            EXPECT_TRUE(s.payload.empty());
            EXPECT_FALSE(s.Has(kSyn | kRst));
            acks.push_back(s.ack - peerSeq);
        }
        return acks;
    }
};

// Segments read in one batch: an acknowledgment once two full segments' worth is waiting, and
// one at the end of the batch for the rest.
TEST_F(TcpAckTest, OncePerTwoFullSegmentsAndAtTheEndOfTheBatch) {
    struct Case {
        const char* name;
        std::vector<std::uint32_t> lengths;
        std::vector<std::vector<std::uint32_t>> acksAfterEach;  // after each segment
        std::vector<std::uint32_t> acksAtEnd;
    };
    const Case cases[] = {
        {"one full segment",    {kMss},             {{}},                       {kMss}    },
        {"two full segments",   {kMss, kMss},       {{}, {2 * kMss}},           {}        },
        {"three full segments", {kMss, kMss, kMss}, {{}, {2 * kMss}, {}},       {3 * kMss}},
        {"small segments",      {100, 100, 100},    {{}, {}, {}},               {300}     },
        {"small, then full",    {100, kMss, kMss},  {{}, {}, {100 + 2 * kMss}}, {}        },
    };
    StartStack();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Connect();
        BeginBatch();
        std::uint32_t at = 0;
        for (std::size_t i = 0; i < c.lengths.size(); ++i) {
            PeerAt(at, c.lengths[i]);
            at += c.lengths[i];
            EXPECT_EQ(Acks(), c.acksAfterEach[i]) << "after segment " << i;
        }
        EndBatch();
        EXPECT_EQ(Acks(), c.acksAtEnd);
        TnTcpAbortAll();
        TakeSent();
        ourPort = static_cast<std::uint16_t>(ourPort + 1);
    }
}

// A host that never ends its batch still has the data acknowledged, 200 ms after it arrived;
// an end of batch that finds nothing waiting sends nothing.
TEST_F(TcpAckTest, DelayedAcknowledgmentWithoutEndOfBatch) {
    StartStack();
    TcpControlBlock* b = Connect();
    BeginBatch();
    PeerAt(0, 100);
    ExpectNoTx(kTcpDelayedAckMs - 1);
    Advance(1);
    EXPECT_EQ(Acks(), std::vector<std::uint32_t>{100});
    EXPECT_EQ(b->ackTimer, nullptr);
    EndBatch();
    ExpectNoTx(1000);
}

// Inside an open batch, these are answered at once (RFC 5681 4.2, RFC 9293 3.10.7.4): data
// beyond a hole (a duplicate acknowledgment), data that fills a hole, data already received,
// and the FIN. The peer's first 100 bytes have arrived and been acknowledged.
TEST_F(TcpAckTest, ImmediateAcknowledgments) {
    struct Segment {
        std::uint32_t offset;
        std::uint32_t length;
        std::uint8_t flags;
        std::vector<std::uint32_t> acks;  // expected at once
    };
    struct Case {
        const char* name;
        std::vector<Segment> segments;
    };
    const Case cases[] = {
        {"beyond a hole, then the hole filled", {{300, 100, 0, {100}}, {100, 200, 0, {400}}}},
        {"already received",                    {{0, 100, 0, {100}}}                        },
 // Our FIN follows the acknowledgment at once (there is no half-close).
        {"FIN alone",                           {{100, 0, kFin, {101, 101}}}                },
        {"data with FIN",                       {{100, 50, kFin, {151, 151}}}               },
    };
    StartStack();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Connect();
        PeerAt(0, 100);
        EXPECT_EQ(Acks(), std::vector<std::uint32_t>{100});
        BeginBatch();
        for (const Segment& s : c.segments) {
            PeerAt(s.offset, s.length, s.flags);
            EXPECT_EQ(Acks(), s.acks) << "at offset " << s.offset;
        }
        EndBatch();
        TnTcpAbortAll();
        TakeSent();
        ourPort = static_cast<std::uint16_t>(ourPort + 1);
    }
}

// The acknowledgment rides on data we send; none follows at the end of the batch.
TEST_F(TcpAckTest, AcknowledgmentRidesOnOurData) {
    StartStack();
    TcpControlBlock* b = Connect();
    BeginBatch();
    PeerAt(0, 100);
    EXPECT_EQ(Send(b, Text("reply")), 5u);
    const TcpSegment data = Out();
    EXPECT_EQ(data.payload, Text("reply"));
    EXPECT_EQ(data.ack, peerSeq + 100);
    EndBatch();
    ExpectNoTx();
    peerSeq += 100;
    PeerAcks(data.seq + 5);
    ExpectNoTx(1000);
}

// The room to receive, offered as whole segments of the connection's MSS (RFC 1122 4.2.3.3)
// where at least four fit (a loss must still draw three duplicate acknowledgments), for the
// default and the opt-in window sizes.
TEST_F(TcpAckTest, WindowOfferedInWholeSegments) {
    TARNET_NEEDS_SIZE(TARNET_TCP_WINDOW, 4096);
    struct Case {
        std::uint32_t window;  // TnSockSetTcpBuffers; 0 = the default 4096
        std::uint16_t mssOption;
        std::uint16_t offered;
    };
    const Case cases[] = {
        {0,     0,    4096     }, // three segments and a runt: not rounded
        {0,     536,  7 * 536  },
        {2048,  0,    2048     },
        {8192,  1460, 6 * kMss },
        {16384, 0,    12 * kMss},
        {32768, 0,    24 * kMss},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.window << " bytes, MSS option " << c.mssOption);
        ASSERT_EQ(TnSockSetTcpBuffers(c.window, 0), TNSOCK_SUCCESS);
        StartStack();
        Connect(0x40000000, c.mssOption);
        PeerAt(0, 100);
        EXPECT_EQ(Out().window, c.offered);
        TnSockDeinit();
        TakeSent();
    }
}

// While a receive pause shrinks the room, the rounded window would pull the right edge left
// after each piece that is not a whole segment; the edge offered before is kept instead.
TEST_F(TcpAckTest, RoundedWindowNeverMovesTheRightEdgeLeft) {
    ASSERT_EQ(TnSockSetTcpBuffers(16384, 0), TNSOCK_SUCCESS);
    StartStack();
    TcpControlBlock* b = Connect();
    ASSERT_EQ(TnTcpPauseReceive(b, 1), TNTCP_SUCCESS);
    std::uint32_t edge = peerSeq + 12 * kMss;
    for (std::uint32_t at = 0; at < 10000; at += 1000) {
        PeerAt(at, 1000);
        const TcpSegment ack = Out();
        EXPECT_EQ(ack.ack, peerSeq + at + 1000);
        EXPECT_GE(ack.ack + ack.window, edge) << "after " << at + 1000 << " bytes";
        edge = ack.ack + ack.window;
    }
    EXPECT_EQ(edge, peerSeq + 12 * kMss) << "the edge stays where it was offered";
}

// Opt-in sizes: out-of-range values are refused and change nothing; accepted ones size the
// window, the hold buffer and the send ring from the next start on.
TEST_F(TcpAckTest, BufferSizesAreCheckedAndApplied) {
    struct Case {
        std::uint32_t window;
        std::uint32_t ring;
        int result;
    };
    const Case cases[] = {
        {2047,  0,     TNSOCK_BAD_PARAMETER},
        {32769, 0,     TNSOCK_BAD_PARAMETER},
        {0,     65536, TNSOCK_BAD_PARAMETER},
        {32768, 65535, TNSOCK_SUCCESS      },
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TnSockSetTcpBuffers(c.window, c.ring), c.result) << c.window << "/" << c.ring;
    }
    StartStack();
    EXPECT_EQ(TcpState().config.rcvWindow, 32768u);
    EXPECT_EQ(TcpState().config.sendRingSize, 65535u);
    peerWindow         = 65535;
    TcpControlBlock* b = Connect();
    EXPECT_EQ(b->reorder.capacity, 32768u);
    EXPECT_EQ(b->sendRing.capacity, 65535);
    // The larger ring has its data in flight at once, beyond the ten segments of the default.
    const Bytes data    = Pattern(40000, 0);
    std::uint32_t taken = 0;
    ASSERT_EQ(TnTcpSend(b, data.data(), static_cast<std::uint32_t>(data.size()), &taken),
              TNTCP_SUCCESS);
    ASSERT_EQ(taken, 40000u);
    std::size_t inFlight = 0;
    while (!host().sent.empty()) {
        inFlight += Out().payload.size();
    }
    EXPECT_EQ(inFlight, 40000u);
}

}  // namespace
}  // namespace tarnet::test
