// How connections end and who learns of it: new data after the user's close is refused with a
// reset, zero-window probing and LAST_ACK have limits, and the diagnostic hook hears of every
// establishment and every end with its reason.
#include <functional>
#include <string>

#include "tcp_peer.h"

namespace tarnet::test {
namespace {

using namespace tcpflag;

std::vector<TnSockDiagnostic>& Diags() {
    static std::vector<TnSockDiagnostic> diags;
    return diags;
}

// The connections' reports; the segments' own departures are not what these tests are about.
void RecordDiag(std::uintptr_t /*context*/, const TnSockDiagnostic* d) {
    if (d->kind != TNSOCK_DIAG_DATAGRAM_SENT) {
        Diags().push_back(*d);
    }
}

class TcpCloseTest : public TcpPeerTest {
  protected:
    void SetUp() override {
        TcpPeerTest::SetUp();
        Diags().clear();
        TnSockSetDiagnostics(RecordDiag, 0);
        StartStack();
    }

    void TearDown() override {
        TcpPeerTest::TearDown();
        TnSockSetDiagnostics(nullptr, 0);
    }

    // A fresh stack for the next case of a table.
    void Restart() {
        TnSockDeinit();
        TcpNotes().clear();
        Diags().clear();
        StartStack();
    }

    // Established, then closed by the user: FIN_WAIT_1, or FIN_WAIT_2 once the FIN is acked.
    TcpControlBlock* Closed(bool finAcked) {
        TcpControlBlock* b = Connect();
        EXPECT_EQ(TnTcpClose(b), TNTCP_SUCCESS);
        const TcpSegment fin = Out();
        EXPECT_TRUE(fin.Has(kFin));
        if (finAcked) {
            PeerAcks(fin.seq + 1);
        }
        return b;
    }

    // The TCP_ENDED records so far.
    std::vector<TnSockDiagnostic> Ended() const {
        std::vector<TnSockDiagnostic> ended;
        for (const TnSockDiagnostic& d : Diags()) {
            if (d.kind == TNSOCK_DIAG_TCP_ENDED) {
                ended.push_back(d);
            }
        }
        return ended;
    }

    // Expects a zero-window probe exactly `interval` ms from now.
    void ExpectProbeAfter(std::uint64_t interval, std::uint32_t sndUna) {
        ExpectNoTx(interval - 1);
        Advance(1);
        const TcpSegment probe = Out();
        EXPECT_EQ(probe.flags, kAck);
        EXPECT_EQ(probe.seq, sndUna - 1);
        EXPECT_TRUE(probe.payload.empty());
    }
};

// The probe interval after `shift` probes: rto doubled per probe, within its bounds.
std::uint64_t ProbeInterval(const TcpControlBlock* b, int shift) {
    const auto base = static_cast<std::uint64_t>(b->rto) << std::min(shift, kTcpPersistMaxShift);
    return std::min<std::uint64_t>(base, kTcpPersistMaxMs);
}

// RFC 1122 4.2.2.13: new data after the user's close is answered with a reset at sndNxt, the
// connection ends and the refused bytes are reported; a FIN alone or data already received is
// handled as before.
TEST_F(TcpCloseTest, NewDataAfterCloseIsRefusedWithReset) {
    struct Case {
        const char* name;
        bool finAcked;        // FIN_WAIT_2 rather than FIN_WAIT_1
        bool forgetOnly;      // the user is gone without closing (socket layer detach)
        std::int32_t offset;  // segment start relative to rcvNxt
        std::size_t length;
        std::uint8_t extra;     // FIN on the segment
        std::uint32_t refused;  // 0: no reset expected
    };
    const Case cases[] = {
        {"FIN_WAIT_1 new data",          false, false, 0,  10, 0,    10},
        {"FIN_WAIT_2 new data with FIN", true,  false, 0,  10, kFin, 10},
        {"partly received before",       true,  false, -3, 10, 0,    7 },
        {"beyond a hole",                true,  false, 5,  10, 0,    10},
        {"user gone, still ESTABLISHED", false, true,  0,  4,  0,    4 },
        {"duplicate data only",          true,  false, -3, 3,  0,    0 },
        {"FIN alone",                    true,  false, 0,  0,  kFin, 0 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        TcpControlBlock* b = Connect();
        PeerSends(Text("abc"));  // received while the user is there
        Out();
        std::uint32_t sndNxt = b->sndNxt;
        if (c.forgetOnly) {
            TcpForgetUser(b);
        } else {
            TnTcpClose(b);
            sndNxt = Out().seq + 1;
            if (c.finAcked) {
                PeerAcks(sndNxt);
            }
        }
        TcpNotes().clear();
        const std::uint32_t seq = peerSeq + static_cast<std::uint32_t>(c.offset);
        TcpSegment s            = Peer(kAck | c.extra, Pattern(c.length));
        s.seq                   = seq;
        InjectTcp(s);
        const TcpSegment answer = Out();
        ExpectNoTx();
        EXPECT_TRUE(TcpNotes().empty()) << "the user closed or is gone: nothing to report";
        if (c.refused == 0) {
            EXPECT_EQ(answer.flags, kAck);
            EXPECT_NE(StateOf(b), std::string("CLOSED"));
            if ((c.extra & kFin) != 0) {
                // The peer's FIN completes the close: reported as it enters TIME_WAIT.
                ASSERT_EQ(Ended().size(), 1u);
                EXPECT_EQ(Ended()[0].reason, TNSOCK_TCP_END_CLOSED);
            } else {
                EXPECT_TRUE(Ended().empty());
            }
            continue;
        }
        EXPECT_EQ(answer.flags, kRst);
        EXPECT_EQ(answer.seq, sndNxt);
        ExpectPoolFull();
        ASSERT_EQ(Ended().size(), 1u);
        EXPECT_EQ(Ended()[0].reason, TNSOCK_TCP_END_ABORTED);
        EXPECT_EQ(Ended()[0].refusedBytes, c.refused);
    }
}

// Before a host gives its address back, every unfinished connection is reset from that address:
// one the user holds hears CLOSED, one the user closed goes quietly, TIME_WAIT stays untouched,
// and each established one is reported ABORTED.
TEST_F(TcpCloseTest, AbortAllResetsWhatIsUnfinishedAndLeavesTimeWait) {
    TcpControlBlock* held = Connect();
    ourPort               = kOurPort + 1;
    TcpControlBlock* fw2  = Closed(true);
    ourPort               = kOurPort + 2;
    TcpControlBlock* tw   = Closed(true);
    PeerSends({}, kFin);  // both FINs exchanged: TIME_WAIT
    Out();
    ASSERT_STREQ(StateOf(tw), "TIME_WAIT");
    TcpNotes().clear();
    Diags().clear();
    const std::uint32_t heldNxt = held->sndNxt;
    const std::uint32_t fw2Nxt  = fw2->sndNxt;

    TnTcpAbortAll();
    const TcpSegment first  = Out();
    const TcpSegment second = Out();
    ExpectNoTx();
    EXPECT_EQ(first.flags, kRst);
    EXPECT_EQ(first.srcPort, kOurPort);
    EXPECT_EQ(first.seq, heldNxt);
    EXPECT_EQ(second.flags, kRst);
    EXPECT_EQ(second.srcPort, kOurPort + 1);
    EXPECT_EQ(second.seq, fw2Nxt);
    ASSERT_EQ(TcpNotes().size(), 1u);
    EXPECT_EQ(TcpNotes()[0].event, TNTCP_NOTIFY_CLOSED);
    ASSERT_EQ(Ended().size(), 2u);
    EXPECT_EQ(Ended()[0].reason, TNSOCK_TCP_END_ABORTED);
    EXPECT_EQ(Ended()[1].reason, TNSOCK_TCP_END_ABORTED);
    EXPECT_STREQ(StateOf(tw), "TIME_WAIT");
}

// A peer with a shut window that answers no probe is reset after the 8th unanswered probe, on
// the probes' back-off schedule. Answered probes go on without limit, and every acceptable
// acknowledgment starts the count again.
TEST_F(TcpCloseTest, ZeroWindowProbingGivesUpAfterEightUnansweredProbes) {
    peerWindow         = 0;
    TcpControlBlock* b = Connect();
    Send(b, Pattern(100));
    const std::uint32_t una = b->sndUna;
    int shift               = 0;
    for (int answered = 0; answered < 12; ++answered) {
        ExpectProbeAfter(ProbeInterval(b, shift++), una);
        PeerAcks(una);  // window still 0
    }
    ASSERT_STREQ(StateOf(b), "ESTABLISHED");
    for (int silent = 0; silent < 8; ++silent) {
        ExpectProbeAfter(ProbeInterval(b, shift++), una);
    }
    const std::uint64_t last = ProbeInterval(b, shift);
    ExpectNoTx(last - 1);
    EXPECT_TRUE(TcpNotes().empty());
    Advance(1);
    const TcpSegment rst = Out();
    EXPECT_EQ(rst.flags, kRst);
    EXPECT_EQ(rst.seq, b->sndNxt);
    EXPECT_EQ(Notes(TNTCP_NOTIFY_CLOSED), 1);
    ExpectPoolFull();
    ASSERT_EQ(Ended().size(), 1u);
    EXPECT_EQ(Ended()[0].reason, TNSOCK_TCP_END_TIMED_OUT);
}

// LAST_ACK with our data stuck behind a shut window ends (reset, release) 30 s after the last
// new acknowledgment; answered probes do not count as progress.
TEST_F(TcpCloseTest, LastAckEndsThirtySecondsWithoutProgress) {
    for (const bool progress : {false, true}) {
        SCOPED_TRACE(progress ? "new ACK at 20 s" : "no progress");
        Restart();
        peerWindow         = 0;
        TcpControlBlock* b = Connect();
        Send(b, Pattern(100));
        PeerSends({}, kFin);
        TakeSent();
        ASSERT_STREQ(StateOf(b), "LAST_ACK");
        std::uint64_t endAt = 30000;
        Advance(20000);
        PeerAcks(b->sndUna);  // answers the probes; no progress
        if (progress) {
            peerWindow = 40;
            PeerAcks(b->sndUna);  // 40 bytes go out
            peerWindow = 0;
            PeerAcks(b->sndUna + 40);
            endAt = 50000;
        }
        TakeSent();
        Advance(endAt - 20000 - 1);
        TakeSent();
        ASSERT_STREQ(StateOf(b), "LAST_ACK");
        Advance(1);
        const TcpSegment rst = Out();
        EXPECT_EQ(rst.flags, kRst);
        EXPECT_EQ(rst.seq, b->sndNxt);
        ExpectPoolFull();
        ASSERT_EQ(Ended().size(), 1u);
        EXPECT_EQ(Ended()[0].reason, TNSOCK_TCP_END_TIMED_OUT);
    }
}

// Every way a connection ends, and the one TCP_ENDED record it produces: established ones are
// announced first (with addresses, ports and which side opened), failed handshakes only end.
TEST_F(TcpCloseTest, DiagnosticsReportEachEndWithItsReason) {
    TnListNode* listener = nullptr;
    struct Case {
        const char* name;
        std::function<void()> run;
        bool established;
        int active;
        int reason;
        std::uint32_t refused;
        int unanswered;  // no reset, no answer at all: the handshake gave up
    };
    const auto passive = [&]() {
        TnTcpListen(9, kOurPort, 0, RecordTcpNote, &listener);
        peerSeq = 300;
        InjectTcp(Peer(kSyn));
        auto* b = static_cast<TcpControlBlock*>(TcpNotes().back().item);
        TnTcpAccept(b, 5);
        iss     = Out().seq;
        peerSeq = 301;
        return b;
    };
    const Case cases[] = {
        {"peer closes first",
         [&] {
             Connect();
             PeerSends({}, kFin);
             Out();
             PeerAcks(Out().seq + 1);
         }, true,  1, TNSOCK_TCP_END_PEER_CLOSED, 0,  0},
        {"we close first, TIME_WAIT runs out",
         [&] {
             Closed(true);
             PeerSends({}, kFin);
             Advance(5000);
         }, true,  1, TNSOCK_TCP_END_CLOSED,      0,  0},
        {"peer resets",
         [&] {
             Connect();
             InjectTcp(Peer(kRst));
         }, true,  1, TNSOCK_TCP_END_PEER_RESET,  0,  0},
        {"peer resets after our close",
         [&] {
             Closed(true);
             InjectTcp(Peer(kRst));
         }, true,  1, TNSOCK_TCP_END_PEER_RESET,  0,  0},
        {"retransmissions run out",
         [&] {
             Send(Connect(), Pattern(10));
             Advance(120000);
         }, true,  1, TNSOCK_TCP_END_TIMED_OUT,   0,  0},
        {"FIN_WAIT_2 runs out",
         [&] {
             Closed(true);
             Advance(5000);
         }, true,  1, TNSOCK_TCP_END_TIMED_OUT,   0,  0},
        {"user aborts",
         [&] {
             TcpControlBlock* b = Closed(false);
             TnTcpClose(b);
         }, true,  1, TNSOCK_TCP_END_ABORTED,     0,  0},
        {"data after our close",
         [&] {
             Closed(true);
             PeerSends(Pattern(33));
         }, true,  1, TNSOCK_TCP_END_ABORTED,     33, 0},
        {"shut-down",
         [&] {
             Connect();
             TnTcpDeinit();
         }, true,  1, TNSOCK_TCP_END_ABORTED,     0,  0},
        {"shut-down in TIME_WAIT",
         [&] {
             Closed(true);
             PeerSends({}, kFin);
             TnTcpDeinit();
         }, true,  1, TNSOCK_TCP_END_CLOSED,      0,  0},
        {"SYN refused",
         [&] {
             TcpControlBlock* b = nullptr;
             TnTcpConnect(3, kPeerIp, kOurPort, kPeerPort, RecordTcpNote, &b);
             peerAck = Out().seq + 1;
             InjectTcp(Peer(kRst | kAck));
         }, false, 1, TNSOCK_TCP_END_REFUSED,     0,  0},
        {"SYN unanswered",
         [&] {
             TcpControlBlock* b = nullptr;
             TnTcpConnect(3, kPeerIp, kOurPort, kPeerPort, RecordTcpNote, &b);
             Advance(3000);
         }, false, 1, TNSOCK_TCP_END_REFUSED,     0,  1},
        {"passive, peer closes first",
         [&] {
             TcpControlBlock* b = passive();
             PeerAcks(iss + 1);
             PeerSends({}, kFin);
             TakeSent();
             PeerAcks(b->sndNxt);
         }, true,  0, TNSOCK_TCP_END_PEER_CLOSED, 0,  0},
        {"passive, SYN+ACK unanswered",
         [&] {
             passive();
             Advance(3000);
         }, false, 0, TNSOCK_TCP_END_TIMED_OUT,   0,  1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        c.run();
        TakeSent();
        ASSERT_EQ(Diags().size(), c.established ? 2u : 1u);
        const TnSockDiagnostic& end = Diags().back();
        EXPECT_EQ(end.kind, TNSOCK_DIAG_TCP_ENDED);
        EXPECT_EQ(end.reason, c.reason);
        EXPECT_EQ(end.refusedBytes, c.refused);
        EXPECT_EQ(end.unanswered, c.unanswered);
        for (const TnSockDiagnostic& d : Diags()) {
            EXPECT_EQ(d.active, c.active);
            EXPECT_EQ(d.localAddress, kOurIp);
            EXPECT_EQ(d.localPort, kOurPort);
            EXPECT_EQ(d.remoteAddress, kPeerIp);
            EXPECT_EQ(d.remotePort, kPeerPort);
            EXPECT_EQ(d.endpoint, nullptr) << "not a socket-layer connection";
        }
        if (c.established) {
            EXPECT_EQ(Diags().front().kind, TNSOCK_DIAG_TCP_ESTABLISHED);
        }
    }
}

}  // namespace
}  // namespace tarnet::test
