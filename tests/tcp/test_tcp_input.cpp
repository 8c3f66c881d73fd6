// TCP input: validation, lookup and refusal of segments without a connection, acceptability,
// in-order delivery (trimming, holes, FIN placement), the MSS option, and sequence numbers that
// wrap past 2^32 in both directions.
#include <cstdlib>
#include <functional>

#include "needs_size.h"
#include "tcp_peer.h"

namespace tarnet::test {
namespace {

using namespace tcpflag;

bool g_failAlloc = false;

void* MaybeAlloc(std::uintptr_t, std::uint16_t length) {
    return g_failAlloc ? nullptr : std::malloc(length);
}

class TcpInputTest : public TcpPeerTest {
  protected:
    void SetUp() override {
        TcpPeerTest::SetUp();
        g_failAlloc = false;
        StartStack();
    }

    static Bytes Slice(const Bytes& b, std::size_t from, std::size_t length) {
        return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
                     b.begin() + static_cast<std::ptrdiff_t>(from + length));
    }

    // Sends `payload` at an offset from the peer's current sequence number, which stays put.
    void PeerSendsAt(std::uint32_t offset, const Bytes& payload, std::uint8_t extra = 0) {
        TcpSegment s = Peer(kAck | extra, payload);
        s.seq += offset;
        InjectTcp(s);
    }
};

TEST_F(TcpInputTest, MalformedSegmentsAreDroppedSilently) {
    TcpControlBlock* b          = Connect();
    TcpSegment shortHeader      = Peer(kAck, Text("data"));
    shortHeader.dataOffsetWords = 4;  // 16 bytes
    InjectTcp(shortHeader);
    TcpSegment longHeader      = Peer(kAck, Text("data"));
    longHeader.dataOffsetWords = 15;  // 60 bytes, more than the segment
    InjectTcp(longHeader);
    TcpSegment corrupt  = Peer(kAck, Text("data"));
    corrupt.badChecksum = true;
    InjectTcp(corrupt);
    Ipv4Packet tiny;
    tiny.src      = kPeerIp;
    tiny.dst      = kOurIp;
    tiny.protocol = 6;
    tiny.payload  = Slice(Peer(kAck).Build(kPeerIp, kOurIp), 0, 19);
    InjectIp(tiny);
    ExpectNoTx();
    EXPECT_TRUE(TcpNotes().empty());
    EXPECT_STREQ(StateOf(b), "ESTABLISHED");
    // The intact segment still gets through afterwards.
    PeerSends(Text("data"));
    EXPECT_EQ(Out().ack, peerSeq);
    EXPECT_EQ(Delivered(), Text("data"));
}

// A checksum may arrive in either ones'-complement form of zero.
TEST_F(TcpInputTest, NegativeZeroChecksumIsAccepted) {
    Connect();
    Bytes raw = Peer(kAck, Bytes(4, 0)).Build(kPeerIp, kOurIp);
    // Make the payload's first word equal the checksum: the segment then sums to all ones with
    // a checksum of 0x0000, which is sent as 0xFFFF instead.
    raw[20] = raw[16];
    raw[21] = raw[17];
    raw[16] = 0xFF;
    raw[17] = 0xFF;
    Ipv4Packet ip;
    ip.src      = kPeerIp;
    ip.dst      = kOurIp;
    ip.protocol = 6;
    ip.payload  = raw;
    InjectIp(ip);
    EXPECT_EQ(Out().ack, peerSeq + 4);
    EXPECT_EQ(Delivered(), Slice(raw, 20, 4));
}

// A segment no connection takes is answered with a reset built from it (RFC 9293 3.10.7.1):
// with ACK, <SEQ=SEG.ACK><CTL=RST>; without, <SEQ=0><ACK=SEG.SEQ+SEG.LEN><CTL=RST,ACK>. At a
// listener only segments with ACK are refused (3.10.7.2). A reset is never answered, nor is
// anything sent to or from a broadcast or multicast address.
TEST_F(TcpInputTest, SegmentsWithoutConnectionAreReset) {
    struct Case {
        const char* what;
        std::uint8_t flags;
        std::size_t dataLength;
        std::uint8_t answer;  // 0: none
        std::uint32_t seq;
        std::uint32_t ack;
    };
    // The peer's segments carry SEQ 100, ACK 200.
    const Case closedPort[] = {
        {"ACK",          kAck,        0, kRst,        200, 0  },
        {"data",         kAck | kPsh, 5, kRst,        200, 0  },
        {"FIN+ACK",      kFin | kAck, 0, kRst,        200, 0  },
        {"FIN alone",    kFin,        0, kRst | kAck, 0,   101},
        {"data, no ACK", 0,           5, kRst | kAck, 0,   105},
        {"SYN, data",    kSyn,        3, kRst | kAck, 0,   104},
        {"SYN+FIN",      kSyn | kFin, 0, kRst | kAck, 0,   102},
        {"SYN+ACK",      kSyn | kAck, 0, kRst,        200, 0  },
        {"RST",          kRst,        0, 0,           0,   0  },
        {"RST+ACK",      kRst | kAck, 4, 0,           0,   0  },
    };
    const Case atListener[] = {
        {"ACK",       kAck,        0, kRst, 200, 0},
        {"data",      kAck,        5, kRst, 200, 0},
        {"SYN+ACK",   kSyn | kAck, 0, kRst, 200, 0},
        {"FIN alone", kFin,        0, 0,    0,   0},
        {"RST",       kRst,        0, 0,    0,   0},
    };
    auto run = [this](const Case& c) {
        SCOPED_TRACE(c.what);
        peerSeq = 100;
        peerAck = 200;
        InjectTcp(Peer(c.flags, Bytes(c.dataLength, 'x')));
        if (c.answer == 0) {
            ExpectNoTx();
            return;
        }
        const TcpSegment rst = Out();
        EXPECT_EQ(rst.flags, c.answer);
        EXPECT_EQ(rst.seq, c.seq);
        EXPECT_EQ(rst.ack, c.ack);
        EXPECT_EQ(rst.srcPort, kOurPort);
        EXPECT_EQ(rst.dstPort, kPeerPort);
    };
    for (const Case& c : closedPort) {
        run(c);
    }
    TnListNode* listener = nullptr;
    ASSERT_EQ(TnTcpListen(9, kOurPort, 0, RecordTcpNote, &listener), TNTCP_SUCCESS);
    for (const Case& c : atListener) {
        run(c);
    }
    ASSERT_EQ(TnTcpUnlisten(listener), TNTCP_SUCCESS);
    InjectTcp(Peer(kAck), kPeerIp, 0xFFFFFFFF);
    InjectTcp(Peer(kSyn), kPeerIp, 0xFFFFFFFF);
    InjectTcp(Peer(kAck), Ip(224, 0, 0, 1));
    InjectTcp(Peer(kSyn), Ip(240, 0, 0, 1));
    ExpectNoTx();
    EXPECT_TRUE(TcpNotes().empty());
    ExpectPoolFull();
}

TEST_F(TcpInputTest, SynWithEmptyPoolIsRefused) {
    TARNET_NEEDS_SIZE(TARNET_SOCKET_ENDPOINTS, 11);
    TnListNode* listener = nullptr;
    ASSERT_EQ(TnTcpListen(9, kOurPort, 0, RecordTcpNote, &listener), TNTCP_SUCCESS);
    for (int i = 0; i < 11; ++i) {
        TcpControlBlock* b = nullptr;
        ASSERT_EQ(
            TnTcpConnect(1, kPeerIp, static_cast<std::uint16_t>(6000 + i), 80, RecordTcpNote, &b),
            TNTCP_SUCCESS);
    }
    TakeSent();
    peerSeq = 41;
    InjectTcp(Peer(kSyn));
    const TcpSegment rst = Out();
    EXPECT_EQ(rst.flags, kRst | kAck);
    EXPECT_EQ(rst.ack, 42u);
    EXPECT_TRUE(TcpNotes().empty());
}

TEST_F(TcpInputTest, UnacceptableSegmentsAreAnsweredWithAnAck) {
    TcpControlBlock* b = Connect();
    PeerSends(Text("0123456789"));
    Out();
    // Wholly old data: acknowledged, not delivered again.
    PeerSendsAt(static_cast<std::uint32_t>(-10), Text("0123456789"));
    TcpSegment ack = Out();
    EXPECT_EQ(ack.ack, peerSeq);
    EXPECT_EQ(ack.seq, b->sndNxt);
    // Beyond the window (4096): acknowledged, not delivered.
    PeerSendsAt(5000, Text("far"));
    EXPECT_EQ(Out().ack, peerSeq);
    // An out-of-window reset is ignored without an answer.
    PeerSendsAt(5000, {}, kRst);
    ExpectNoTx();
    EXPECT_EQ(Delivered(), Text("0123456789"));
    EXPECT_STREQ(StateOf(b), "ESTABLISHED");
}

TEST_F(TcpInputTest, ExactResetEndsTheConnectionQuietly) {
    Connect();
    PeerSendsAt(0, {}, kRst);
    ExpectNoTx();
    ASSERT_EQ(TcpNotes().size(), 1u);
    EXPECT_EQ(TcpNotes()[0].event, TNTCP_NOTIFY_CLOSED);
    ExpectPoolFull();
}

// RFC 5961 3.2 and 4.2 in every synchronized state: a RST inside the window but not at rcvNxt,
// and a SYN anywhere, draw a challenge ACK (<SEQ=SND.NXT><ACK=RCV.NXT>) and change nothing; a
// RST outside the window is dropped silently. Only the exact RST then ends the connection.
TEST_F(TcpInputTest, BlindResetsAndSynsDrawAChallengeAck) {
    TARNET_NEEDS_SIZE(TARNET_TCP_WINDOW, 4096);
    constexpr std::uint32_t kWindow = 4096;
    struct Probe {
        const char* what;
        std::uint8_t flags;
        std::uint32_t offset;  // from rcvNxt
        bool challenged;
    };
    constexpr Probe kProbes[] = {
        {"RST one past rcvNxt",       kRst,        1,                                 true },
        {"RST+ACK at the window end", kRst | kAck, kWindow - 1,                       true },
        {"RST beyond the window",     kRst,        kWindow,                           false},
        {"RST before rcvNxt",         kRst,        static_cast<std::uint32_t>(-1),    false},
        {"SYN at rcvNxt",             kSyn,        0,                                 true },
        {"SYN+ACK in the window",     kSyn | kAck, 100,                               true },
        {"SYN before the window",     kSyn,        static_cast<std::uint32_t>(-1000), true },
        {"SYN beyond the window",     kSyn,        kWindow + 10,                      true },
    };
    auto finWait2 = [this] {
        TcpControlBlock* b = Connect();
        TnTcpClose(b);
        PeerAcks(Out().seq + 1);
        return b;
    };
    auto timeWait = [this, finWait2] {
        TcpControlBlock* b = finWait2();
        PeerSends({}, kFin);
        Out();
        return b;
    };
    auto synReceived = [this] {
        TnListNode* listener = nullptr;
        EXPECT_EQ(TnTcpListen(9, kOurPort, 0, RecordTcpNote, &listener), TNTCP_SUCCESS);
        peerSeq = 0x500;
        InjectTcp(Peer(kSyn));
        auto* b = static_cast<TcpControlBlock*>(TcpNotes().at(0).item);
        TnTcpAccept(b, 3);
        peerSeq = 0x501;
        peerAck = Out().seq + 1;
        return b;
    };
    struct State {
        const char* name;
        std::function<TcpControlBlock*()> open;
    };
    const State states[] = {
        {"ESTABLISHED",  [this] { return Connect(); }},
        {"FIN_WAIT_2",   finWait2                    },
        {"TIME_WAIT",    timeWait                    },
        {"SYN_RECEIVED", synReceived                 },
    };
    for (const State& state : states) {
        SCOPED_TRACE(state.name);
        TcpNotes().clear();
        TcpControlBlock* b = state.open();
        ASSERT_STREQ(StateOf(b), state.name);
        TcpNotes().clear();
        for (const Probe& p : kProbes) {
            SCOPED_TRACE(p.what);
            TcpSegment probe = Peer(p.flags);
            probe.seq += p.offset;
            InjectTcp(probe);
            if (p.challenged) {
                const TcpSegment ack = Out();
                EXPECT_EQ(ack.flags, kAck);
                EXPECT_EQ(ack.seq, b->sndNxt);
                EXPECT_EQ(ack.ack, peerSeq);
            }
            ExpectNoTx();
            EXPECT_STREQ(StateOf(b), state.name);
        }
        EXPECT_TRUE(TcpNotes().empty());
        InjectTcp(Peer(kRst));
        ExpectNoTx();
        ExpectPoolFull();
    }
}

// Only bytes that continue the stream are delivered: repeated bytes are trimmed off, and data
// beyond a hole is held until the hole is filled (meanwhile rcvNxt is acknowledged).
TEST_F(TcpInputTest, DeliveryIsInOrderWithoutRepeatsOrHoles) {
    Connect();
    const Bytes stream = Pattern(600, 7);
    PeerSendsAt(0, Slice(stream, 0, 100));
    EXPECT_EQ(Out().ack, peerSeq + 100);
    // A retransmission that overlaps what was delivered: only the new 50 bytes go up.
    PeerSendsAt(0, Slice(stream, 0, 150));
    EXPECT_EQ(Out().ack, peerSeq + 150);
    // A segment 100 bytes beyond rcvNxt: held, rcvNxt acknowledged.
    PeerSendsAt(250, Slice(stream, 250, 100));
    EXPECT_EQ(Out().ack, peerSeq + 150);
    EXPECT_EQ(Delivered(), Slice(stream, 0, 150));
    // The hole is filled: its bytes and the held ones go up in one delivery.
    PeerSendsAt(150, Slice(stream, 150, 100));
    EXPECT_EQ(Out().ack, peerSeq + 350);
    EXPECT_EQ(TcpNotes().back().data, Slice(stream, 150, 200));
    // The peer's retransmission of what lay beyond the hole brings only the rest.
    PeerSendsAt(250, Slice(stream, 250, 350));
    EXPECT_EQ(Out().ack, peerSeq + 600);
    ExpectNoTx();
    EXPECT_EQ(Delivered(), stream);
}

// Several holes at once, overlapping and touching pieces beyond them, a piece that would need a
// fifth hole (dropped: the peer sends it again) and pieces reaching past the window; all across
// the wrap of the peer's sequence numbers.
TEST_F(TcpInputTest, DataBeyondHolesIsHeldUntilTheHolesAreFilled) {
    TARNET_NEEDS_SIZE(TARNET_TCP_WINDOW, 4096);
    Connect(0xFFFFFE00);
    const Bytes stream = Pattern(4400, 3);
    auto piece         = [&](std::uint32_t from, std::uint32_t length) {
        PeerSendsAt(from, Slice(stream, from, length));
        return Out().ack - peerSeq;
    };
    EXPECT_EQ(piece(1000, 100), 0u);
    EXPECT_EQ(piece(2000, 100), 0u);
    EXPECT_EQ(piece(300, 100), 0u);
    EXPECT_EQ(piece(1050, 100), 0u);  // overlaps the piece at 1000
    EXPECT_EQ(piece(1150, 50), 0u);   // touches it: still one piece, 1000 to 1200
    EXPECT_EQ(piece(3000, 100), 0u);  // the fourth hole
    EXPECT_EQ(piece(3500, 100), 0u);  // a fifth: not held
    EXPECT_EQ(piece(4000, 400), 0u);  // reaches past the 4096-byte window: only 96 bytes held
    EXPECT_TRUE(TcpNotes().empty());

    EXPECT_EQ(piece(0, 300), 400u);
    EXPECT_EQ(TcpNotes().back().data, Slice(stream, 0, 400));
    EXPECT_EQ(piece(400, 600), 1200u);
    EXPECT_EQ(piece(1200, 800), 2100u);
    EXPECT_EQ(piece(2100, 900), 3100u);
    EXPECT_EQ(piece(3100, 900), 4000u);  // 3500 to 3600 was not held, so the peer resent it
    EXPECT_EQ(piece(4000, 400), 4400u);
    EXPECT_EQ(Delivered(), stream);
}

// Data and FIN that arrived beyond a hole go up, and the FIN is taken, as soon as the hole fills.
TEST_F(TcpInputTest, HeldDataAndFinAreTakenWhenTheHoleFills) {
    TcpControlBlock* b = Connect();
    PeerSendsAt(10, Text("tail"), kFin);
    EXPECT_EQ(Out().ack, peerSeq);
    EXPECT_STREQ(StateOf(b), "ESTABLISHED");
    PeerSendsAt(0, Text("0123456789"));
    EXPECT_EQ(Out().ack, peerSeq + 14);
    EXPECT_EQ(Out().ack, peerSeq + 15);
    EXPECT_TRUE(Out().Has(kFin));
    EXPECT_STREQ(StateOf(b), "LAST_ACK");
    EXPECT_EQ(Delivered(), Text("0123456789tail"));
    EXPECT_EQ(TcpNotes().back().event, TNTCP_NOTIFY_CLOSED);
}

// The peer's FIN counts only directly after the last byte delivered.
TEST_F(TcpInputTest, FinBeyondAHoleWaits) {
    TcpControlBlock* b = Connect();
    PeerSendsAt(10, Text("tail"), kFin);
    EXPECT_EQ(Out().ack, peerSeq);
    PeerSendsAt(14, {}, kFin);
    EXPECT_EQ(Out().ack, peerSeq);
    EXPECT_STREQ(StateOf(b), "ESTABLISHED");
    EXPECT_TRUE(TcpNotes().empty());
    PeerSendsAt(0, Text("0123456789tail"), kFin);
    EXPECT_EQ(Out().ack, peerSeq + 14);
    EXPECT_EQ(Out().ack, peerSeq + 15);
    EXPECT_TRUE(Out().Has(kFin));
    EXPECT_STREQ(StateOf(b), "LAST_ACK");
    EXPECT_EQ(Delivered(), Text("0123456789tail"));
    EXPECT_EQ(Notes(TNTCP_NOTIFY_CLOSED), 1);
}

// Data that could not be handed to the user is not acknowledged, and neither is a FIN behind
// it: the peer retransmits both and nothing is lost.
TEST_F(TcpInputTest, UndeliverableDataIsNeitherAcknowledgedNorSkipped) {
    TnTcpConfig c = TcpState().config;
    c.rxAlloc     = MaybeAlloc;
    TnTcpDeinit();
    ASSERT_EQ(TnTcpInit(&c), TNTCP_SUCCESS);
    TcpControlBlock* b = Connect();
    g_failAlloc        = true;
    PeerSendsAt(0, Text("precious"), kFin);
    ExpectNoTx();
    EXPECT_STREQ(StateOf(b), "ESTABLISHED");
    g_failAlloc = false;
    PeerSendsAt(0, Text("precious"), kFin);
    EXPECT_EQ(Out().ack, peerSeq + 9);  // the data and the FIN
    EXPECT_EQ(Delivered(), Text("precious"));
}

TEST_F(TcpInputTest, DataIsAcknowledgedOnceOrRidesOnOurData) {
    peerWindow         = 1000;
    TcpControlBlock* b = Connect();
    PeerSends(Text("one"));
    const TcpSegment ack = Out();
    EXPECT_EQ(ack.ack, peerSeq);
    ExpectNoTx();
    Send(b, Pattern(3000));
    const TcpSegment first = Out();
    ExpectNoTx();
    // The peer's data acknowledges our first 1000 bytes; the next 1000 carry its acknowledgment.
    peerAck = first.seq + 1000;
    PeerSends(Text("two"));
    const TcpSegment data = Out();
    EXPECT_EQ(data.payload.size(), 1000u);
    EXPECT_EQ(data.ack, peerSeq);
    ExpectNoTx();
}

// Options are walked by their lengths: bytes inside another option are never taken for an MSS.
TEST_F(TcpInputTest, MssOptionIsFoundByWalkingTheOptions) {
    TnListNode* listener = nullptr;
    ASSERT_EQ(TnTcpListen(9, kOurPort, 0, RecordTcpNote, &listener), TNTCP_SUCCESS);
    TcpSegment syn = Peer(kSyn);
    // NOP, timestamps whose value holds the bytes 02 04 00 10, then MSS 536.
    syn.options = {1, 8, 10, 0x02, 0x04, 0x00, 0x10, 0, 0, 0, 0, 0x02, 0x04, 0x02, 0x18};
    InjectTcp(syn);
    auto* b = static_cast<TcpControlBlock*>(TcpNotes().at(0).item);
    EXPECT_EQ(b->mss, 536);
    TnTcpClose(b);
    Out();
    // A malformed option (length 0) ends the walk.
    syn.srcPort = 4001;
    syn.options = {3, 0, 0x02, 0x04, 0x01, 0x00};
    InjectTcp(syn);
    b = static_cast<TcpControlBlock*>(TcpNotes().at(1).item);
    EXPECT_EQ(b->mss, 1356);
    // An option running past the header ends it too.
    syn.srcPort = 4002;
    syn.options = {8, 10, 0x02, 0x04};
    InjectTcp(syn);
    b = static_cast<TcpControlBlock*>(TcpNotes().at(2).item);
    EXPECT_EQ(b->mss, 1356);
}

// Both sequence spaces wrap past 2^32 in the middle of the transfer; comparisons modulo 2^32
// keep acknowledgments, windows and delivery working across the wrap.
TEST_F(TcpInputTest, SequenceNumbersWrapMidTransfer) {
    TARNET_NEEDS_SIZE(TARNET_TCP_SEND_RING, 4000);
    TnSockDeinit();
    // ISS = (ticks << 8) + isnSeed; pick the seed that puts it 2000 below the wrap.
    config.isnSeed = 0xFFFFF830u - (static_cast<std::uint32_t>(host().Now()) << 8);
    ASSERT_EQ(Start(), TNSOCK_SUCCESS);
    LearnPeer();
    TcpControlBlock* b = Connect(0xFFFFFC00u);
    ASSERT_EQ(iss, 0xFFFFF830u);

    // Outgoing: 4000 bytes cross our wrap; every acknowledgment is taken as new.
    const Bytes out = Pattern(4000, 3);
    EXPECT_EQ(Send(b, out), 4000u);
    Bytes received;
    while (!host().sent.empty()) {
        const TcpSegment s = Out();
        received.insert(received.end(), s.payload.begin(), s.payload.end());
        PeerAcks(s.seq + static_cast<std::uint32_t>(s.payload.size()));
        EXPECT_EQ(b->sndUna, s.seq + static_cast<std::uint32_t>(s.payload.size()));
    }
    EXPECT_EQ(received, out);
    EXPECT_LT(b->sndNxt, 0x1000u) << "our sequence space wrapped";
    EXPECT_EQ(b->rtxCount, 0);
    EXPECT_EQ(b->rtxTimer, nullptr);

    // Incoming: 3000 bytes cross the peer's wrap; an overlapping retransmission is trimmed.
    const Bytes in = Pattern(3000, 5);
    for (std::size_t at = 0; at < in.size(); at += 1000) {
        PeerSends(Slice(in, at, 1000));
        EXPECT_EQ(Out().ack, peerSeq);
    }
    PeerSendsAt(static_cast<std::uint32_t>(-1500), Slice(in, 1500, 1500));
    EXPECT_EQ(Out().ack, peerSeq);
    EXPECT_EQ(Delivered(), in);
    EXPECT_LT(peerSeq, 0x1000u) << "the peer's sequence space wrapped";

    // The close works across the wrap too.
    TnTcpClose(b);
    const TcpSegment fin = Out();
    PeerAcks(fin.seq + 1);
    PeerSends({}, kFin);
    EXPECT_EQ(Out().ack, peerSeq);
    EXPECT_STREQ(StateOf(b), "TIME_WAIT");
}

}  // namespace
}  // namespace tarnet::test
