// TCP retransmission timing: the round-trip estimator and its rto, Karn's rule, recovery of the
// rto after back-off, and fast retransmit on duplicate acknowledgments.
#include "needs_size.h"
#include "tcp_peer.h"

namespace tarnet::test {
namespace {

using namespace tcpflag;

class TcpTimingTest : public TcpPeerTest {
  protected:
    void SetUp() override {
        TcpPeerTest::SetUp();
        StartStack();
    }

    // Sends `count` segments of 100 bytes (the connection's MSS is 100).
    std::vector<TcpSegment> Flight(TcpControlBlock* b, int count) {
        Send(b, Pattern(static_cast<std::size_t>(count) * 100));
        std::vector<TcpSegment> out;
        for (int i = 0; i < count; ++i) {
            out.push_back(Out());
        }
        ExpectNoTx();
        return out;
    }

    // One segment acknowledged `rttMs` after it was sent, with nothing sent meanwhile.
    void RoundTrip(TcpControlBlock* b, std::uint64_t rttMs) {
        Send(b, Pattern(100));
        const TcpSegment s = Out();
        ExpectNoTx(rttMs);
        PeerAcks(s.seq + 100);
        EXPECT_EQ(b->sndUna, b->sndNxt);
    }

    void DuplicateAcks(int count) {
        for (int i = 0; i < count; ++i) {
            InjectTcp(Peer(kAck));
        }
    }
};

// RFC 6298: the handshake gives the first sample (rto = 3 x R, within the 200 ms floor and the
// 2000 ms rtoMax); steady samples then bring SRTT to the round trip and the rto just above it.
TEST_F(TcpTimingTest, EstimatorFollowsTheRoundTrip) {
    struct Case {
        std::uint64_t rtt;
        int firstRto;
        int lowest;
        int highest;
    };
    const Case cases[] = {
        {2,   200,  200, 200},
        {300, 900,  301, 320},
        {700, 2000, 701, 750},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rtt);
        TcpControlBlock* b = Connect(0x40000000, 100, c.rtt);
        EXPECT_EQ(b->rto, c.firstRto);
        for (int i = 0; i < 30; ++i) {
            RoundTrip(b, c.rtt);
        }
        EXPECT_EQ(b->srttScaled / 8, c.rtt);
        EXPECT_GE(b->rto, c.lowest);
        EXPECT_LE(b->rto, c.highest);
        TcpRelease(b);  // quietly: the next case opens afresh
        TakeSent();
    }
}

// Karn's rule: the acknowledgment of a segment that was sent more than once says nothing about
// the round trip, whether the segment was a SYN or data.
TEST_F(TcpTimingTest, NoSampleFromARepeatedSegment) {
    TcpControlBlock* b = Connect(0x40000000, 100, 1100);  // the SYN went out twice
    EXPECT_FALSE(b->rttMeasured);
    EXPECT_EQ(b->rto, 1000);
    RoundTrip(b, 100);
    const std::uint32_t srtt = b->srttScaled;
    EXPECT_EQ(srtt, 100u * 8);
    Send(b, Pattern(100));
    const TcpSegment s = Out();
    Advance(static_cast<std::uint64_t>(b->rto));
    EXPECT_EQ(Out().seq, s.seq);
    const int backedOff = b->rto;
    Advance(5);  // a late acknowledgment, of the first transmission or of the second
    PeerAcks(s.seq + 100);
    EXPECT_EQ(b->srttScaled, srtt);
    EXPECT_EQ(b->rto, backedOff);
}

// RFC 6298 5.7: the backed-off rto holds until a segment sent after the loss is acknowledged;
// its sample recomputes the rto from the estimator, which the losses did not disturb.
TEST_F(TcpTimingTest, RtoFallsAgainAfterRecovery) {
    TcpControlBlock* b = Connect(0x40000000, 100);
    Send(b, Pattern(100));
    const TcpSegment s    = Out();
    std::vector<int> rtos = {b->rto};
    for (int timeout = 0; timeout < 4; ++timeout) {
        Advance(static_cast<std::uint64_t>(b->rto));
        EXPECT_EQ(Out().seq, s.seq);
        rtos.push_back(b->rto);
    }
    PeerAcks(s.seq + 100);
    rtos.push_back(b->rto);
    RoundTrip(b, 10);
    rtos.push_back(b->rto);
    EXPECT_EQ(rtos, (std::vector<int>{200, 400, 800, 1600, 2000, 2000, 200}));
    EXPECT_EQ(b->retryCount, 0);
}

// RFC 5681 3.2: the third duplicate acknowledgment (not the second) resends the oldest segment
// at once, without backing off and without counting against the retransmission limit. Further
// duplicates of the same loss resend nothing; the next loss, after sndUna moved, does again.
TEST_F(TcpTimingTest, FastRetransmitOnTheThirdDuplicateAck) {
    TARNET_NEEDS_SIZE(TARNET_TCP_RTX_SLOTS, 6);
    TcpControlBlock* b = Connect(0x40000000, 100);
    for (int episode = 0; episode < 2; ++episode) {
        SCOPED_TRACE(episode);
        const std::vector<TcpSegment> flight = Flight(b, 6);
        peerAck                              = flight[0].seq;  // the first was lost
        DuplicateAcks(2);
        ExpectNoTx();
        DuplicateAcks(1);
        const TcpSegment again = Out();
        EXPECT_EQ(again.seq, flight[0].seq);
        EXPECT_EQ(again.payload, flight[0].payload);
        EXPECT_EQ(b->rto, 200);
        EXPECT_EQ(b->retryCount, 0);
        DuplicateAcks(10);
        ExpectNoTx();
        PeerAcks(b->sndNxt);
        ExpectNoTx(3000);
    }
}

// After a timeout, each partial acknowledgment resends the next segment at once: a flight lost
// whole (an outage) comes back a round trip per segment, not a timeout per segment. Duplicates
// of a hole already resent resend nothing.
TEST_F(TcpTimingTest, AfterATimeoutEachPartialAckResendsTheNextSegment) {
    TARNET_NEEDS_SIZE(TARNET_TCP_RTX_SLOTS, 4);
    TcpControlBlock* b                   = Connect(0x40000000, 100);
    const std::vector<TcpSegment> flight = Flight(b, 4);  // all lost
    Advance(static_cast<std::uint64_t>(b->rto));
    EXPECT_EQ(Out().seq, flight[0].seq);
    const int backedOff = b->rto;
    peerAck             = flight[0].seq;
    DuplicateAcks(4);
    ExpectNoTx();
    for (std::size_t i = 1; i < flight.size(); ++i) {
        PeerAcks(flight[i].seq);
        EXPECT_EQ(Out().seq, flight[i].seq);
        DuplicateAcks(3);
        ExpectNoTx();
    }
    PeerAcks(b->sndNxt);
    EXPECT_EQ(b->rto, backedOff);  // no sample from any of them
    EXPECT_EQ(b->retryCount, 0);
    ExpectNoTx(3000);
}

// A peer that acknowledges a byte at a time during a recovery gets each segment resent once.
TEST_F(TcpTimingTest, ByteByByteAcksResendEachSegmentOnce) {
    TARNET_NEEDS_SIZE(TARNET_TCP_RTX_SLOTS, 4);
    TcpControlBlock* b                   = Connect(0x40000000, 100);
    const std::vector<TcpSegment> flight = Flight(b, 4);
    Advance(static_cast<std::uint64_t>(b->rto));
    EXPECT_EQ(Out().seq, flight[0].seq);
    for (std::uint32_t ack = flight[0].seq + 1; ack != flight[3].seq + 100; ++ack) {
        PeerAcks(ack);
    }
    std::vector<std::uint32_t> resent;
    while (SentCount() > 0) {
        resent.push_back(Out().seq);
    }
    EXPECT_EQ(resent, (std::vector<std::uint32_t>{flight[1].seq, flight[2].seq, flight[3].seq}));
}

// Only a bare acknowledgment with an unchanged window counts as a duplicate (RFC 5681 2).
TEST_F(TcpTimingTest, AcknowledgmentsThatAreNoDuplicates) {
    TARNET_NEEDS_SIZE(TARNET_TCP_RTX_SLOTS, 6);
    struct Case {
        const char* name;
        bool withData;
        bool windowChanges;
    };
    const Case cases[] = {
        {"carries data",   true,  false},
        {"window changes", false, true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TcpControlBlock* b                   = Connect(0x40000000, 100);
        const std::vector<TcpSegment> flight = Flight(b, 6);
        peerAck                              = flight[0].seq;
        for (int i = 0; i < 3; ++i) {
            peerWindow = static_cast<std::uint16_t>(c.windowChanges ? 8000 + i : 8192);
            if (c.withData) {
                PeerSends(Text("x"));
                EXPECT_TRUE(Out().payload.empty()) << "only our acknowledgment of the data";
            } else {
                InjectTcp(Peer(kAck));
            }
        }
        ExpectNoTx();
        TcpRelease(b);  // quietly: the next case opens afresh
        TakeSent();
        peerWindow = 8192;
    }
}

// After a fast retransmit, an acknowledgment that covers only part of what was in flight shows
// the next hole, which is resent at once instead of after a timeout (RFC 6582).
TEST_F(TcpTimingTest, PartialAckResendsTheNextHole) {
    TARNET_NEEDS_SIZE(TARNET_TCP_RTX_SLOTS, 6);
    TcpControlBlock* b                   = Connect(0x40000000, 100);
    const std::vector<TcpSegment> flight = Flight(b, 6);  // the first and the third are lost
    peerAck                              = flight[0].seq;
    DuplicateAcks(3);
    EXPECT_EQ(Out().seq, flight[0].seq);
    PeerAcks(flight[2].seq);
    EXPECT_EQ(Out().seq, flight[2].seq);
    ExpectNoTx();
    PeerAcks(b->sndNxt);
    ExpectNoTx(3000);
    EXPECT_STREQ(StateOf(b), "ESTABLISHED");
}

}  // namespace
}  // namespace tarnet::test
