// TCP control blocks and state machine: configuration, pool, handshakes with their retries,
// the closing sequences and their timers, shutdown, and users that call back into the layer
// from inside a notification.
#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "needs_size.h"
#include "tcp_peer.h"

namespace tarnet::test {
namespace {

using namespace tcpflag;

class TcpStateTest : public TcpPeerTest {
  protected:
    void SetUp() override {
        TcpPeerTest::SetUp();
        StartStack();
    }

    // Replaces the layer's configuration (the stack stays up around it).
    int Reinit(TnTcpConfig c) {
        TnTcpDeinit();
        return TnTcpInit(&c);
    }

    TnTcpConfig BaseConfig() const {
        TnTcpConfig c{};
        c.localAddr      = kOurIp;
        c.maxConnections = 11;
        c.getTickCount   = config.getTickCount;
        c.timerStart     = config.timerStart;
        c.timerStop      = config.timerStop;
        c.rxAlloc        = [](std::uintptr_t, std::uint16_t n) { return std::malloc(n); };
        c.logText        = config.logText;
        return c;
    }

    // Established, then closed by the user with our FIN acknowledged: FIN_WAIT_2.
    TcpControlBlock* ToFinWait2() {
        TcpControlBlock* b = Connect();
        EXPECT_EQ(TnTcpClose(b), TNTCP_SUCCESS);
        const TcpSegment fin = Out();
        EXPECT_EQ(fin.flags, kFin | kAck);
        PeerAcks(fin.seq + 1);
        EXPECT_STREQ(StateOf(b), "FIN_WAIT_2");
        return b;
    }
};

TEST_F(TcpStateTest, ConfigurationDefaultsAndClamps) {
    TARNET_NEEDS_SIZE(TARNET_TCP_WINDOW, 4096);
    const TnTcpConfig& c = TcpState().config;
    EXPECT_EQ(c.rcvWindow, 4096u);
    EXPECT_EQ(c.rtoMax, 2000u);  // the stack passes the largest back-off bound and limit
    EXPECT_EQ(c.maxRetransmits, 10u);
    EXPECT_EQ(c.timeWaitMs, 5000u);
    EXPECT_EQ(c.reservedTimeout, 10000u);
    EXPECT_EQ(c.reservedRetries, 3u);
    EXPECT_EQ(c.sendRingSize, 4096u);

    ASSERT_EQ(Reinit(BaseConfig()), TNTCP_SUCCESS);
    EXPECT_EQ(TcpState().config.sendRingSize, 2048u);
    EXPECT_EQ(TcpState().config.rtoMax, 50u);  // the layer's own defaults for zero
    EXPECT_EQ(TcpState().config.maxRetransmits, 5u);
    EXPECT_EQ(static_cast<TcpControlBlock*>(TcpState().freeList.first->payload)->sendRing.capacity,
              2048);

    TnTcpConfig odd     = BaseConfig();
    odd.rcvWindow       = 1000;
    odd.maxRetransmits  = 20;
    odd.rtoMax          = 5000;
    odd.reservedTimeout = 100;
    ASSERT_EQ(Reinit(odd), TNTCP_SUCCESS);
    EXPECT_EQ(TcpState().config.rcvWindow, 2048u);
    EXPECT_EQ(TcpState().config.maxRetransmits, 10u);
    EXPECT_EQ(TcpState().config.rtoMax, 2000u);
    EXPECT_EQ(TcpState().config.reservedTimeout, 5000u);
    odd.rcvWindow = 40000;
    ASSERT_EQ(Reinit(odd), TNTCP_SUCCESS);
    EXPECT_EQ(TcpState().config.rcvWindow, 32768u);
    EXPECT_EQ(TnTcpInit(&odd), TNTCP_ALREADY_INITIALIZED);
    TnTcpDeinit();
    odd.maxConnections = 0;
    EXPECT_EQ(TnTcpInit(&odd), TNTCP_BAD_PARAMETER);
    odd         = BaseConfig();
    odd.logText = nullptr;
    EXPECT_EQ(TnTcpInit(&odd), TNTCP_BAD_PARAMETER);
    TcpControlBlock* b = nullptr;
    EXPECT_EQ(TnTcpConnect(1, kPeerIp, 1, 2, RecordTcpNote, &b), TNTCP_NOT_INITIALIZED);
}

TEST_F(TcpStateTest, PoolRunsOutAndReusesReleasedBlocks) {
    TARNET_NEEDS_SIZE(TARNET_SOCKET_ENDPOINTS, 11);
    TcpControlBlock* blocks[11] = {};
    for (int i = 0; i < 11; ++i) {
        ASSERT_EQ(TnTcpConnect(1, kPeerIp, static_cast<std::uint16_t>(6000 + i), 80, RecordTcpNote,
                               &blocks[i]),
                  TNTCP_SUCCESS);
    }
    EXPECT_EQ(SentCount(), 11u);
    TakeSent();
    TcpControlBlock* extra = nullptr;
    EXPECT_EQ(TnTcpConnect(1, kPeerIp, 7000, 80, RecordTcpNote, &extra), TNTCP_NO_RESOURCE);
    ExpectNoTx();
    // A close in SYN_SENT releases silently; the next connect takes that very block.
    EXPECT_EQ(TnTcpClose(blocks[4]), TNTCP_SUCCESS);
    ExpectNoTx();
    EXPECT_TRUE(TcpNotes().empty());
    EXPECT_EQ(TnTcpConnect(1, kPeerIp, 7000, 80, RecordTcpNote, &extra), TNTCP_SUCCESS);
    EXPECT_EQ(extra, blocks[4]);
    EXPECT_EQ(TnTcpConnect(1, kPeerIp, 0, 0, nullptr, &extra), TNTCP_BAD_PARAMETER);
}

TEST_F(TcpStateTest, UnansweredSynIsSentThreeTimesThenReported) {
    TARNET_NEEDS_SIZE(TARNET_TCP_WINDOW, 4096);
    TcpControlBlock* b = nullptr;
    ASSERT_EQ(TnTcpConnect(3, kPeerIp, kOurPort, kPeerPort, RecordTcpNote, &b), TNTCP_SUCCESS);
    const TcpSegment first = Out();
    EXPECT_EQ(first.flags, kSyn);
    EXPECT_EQ(first.ack, 0u);
    EXPECT_EQ(first.Mss(), 1356);
    EXPECT_EQ(first.window, 4096);
    for (int retry = 0; retry < 2; ++retry) {
        ExpectNoTx(999);
        Advance(1);
        const TcpSegment again = Out();
        EXPECT_EQ(again.flags, kSyn);
        EXPECT_EQ(again.seq, first.seq);
    }
    Advance(999);
    EXPECT_TRUE(TcpNotes().empty());
    Advance(1);
    ASSERT_EQ(TcpNotes().size(), 1u);
    EXPECT_EQ(TcpNotes()[0].event, TNTCP_NOTIFY_CLOSED);
    EXPECT_EQ(TcpNotes()[0].context, 3u);
    ExpectNoTx();
    ExpectPoolFull();
}

TEST_F(TcpStateTest, SynAckCompletesActiveOpenAndAppliesMss) {
    TcpControlBlock* b = nullptr;
    ASSERT_EQ(TnTcpConnect(3, kPeerIp, kOurPort, kPeerPort, RecordTcpNote, &b), TNTCP_SUCCESS);
    iss               = Out().seq;
    peerSeq           = 900;
    peerAck           = iss + 1;
    TcpSegment synAck = Peer(kSyn | kAck);
    synAck.options    = MssOption(536);
    synAck.window     = 3000;
    InjectTcp(synAck);
    const TcpSegment ack = Out();
    EXPECT_EQ(ack.flags, kAck);
    EXPECT_EQ(ack.seq, iss + 1);
    EXPECT_EQ(ack.ack, 901u);
    ExpectNoTx();
    EXPECT_STREQ(StateOf(b), "ESTABLISHED");
    EXPECT_EQ(b->mss, 536);
    EXPECT_EQ(b->sndWnd, 3000);
    ASSERT_EQ(TcpNotes().size(), 1u);
    EXPECT_EQ(TcpNotes()[0].event, TNTCP_NOTIFY_CONNECTED);
}

// An MSS option never raises the segment size, and an MSS of 0 (which would leave the
// connection unable to send anything) is ignored.
TEST_F(TcpStateTest, MssOptionOnlyLowersAndZeroIsIgnored) {
    for (const std::uint16_t option : std::initializer_list<std::uint16_t>{1460, 0xFFFF, 0}) {
        TnSockDeinit();
        ASSERT_EQ(Start(), TNSOCK_SUCCESS);
        LearnPeer();
        TcpControlBlock* z = nullptr;
        ASSERT_EQ(TnTcpConnect(3, kPeerIp, kOurPort, kPeerPort, RecordTcpNote, &z), TNTCP_SUCCESS);
        iss               = Out().seq;
        peerSeq           = 5;
        peerAck           = iss + 1;
        TcpSegment synAck = Peer(kSyn | kAck);
        synAck.options    = MssOption(option);
        InjectTcp(synAck);
        Out();
        EXPECT_EQ(z->mss, 1356) << option;
        Send(z, Pattern(100));
        EXPECT_EQ(Out().payload.size(), 100u);
    }
}

TEST_F(TcpStateTest, SynSentResetsAndBadAcknowledgments) {
    TcpControlBlock* b = nullptr;
    ASSERT_EQ(TnTcpConnect(3, kPeerIp, kOurPort, kPeerPort, RecordTcpNote, &b), TNTCP_SUCCESS);
    iss     = Out().seq;
    peerSeq = 77;
    // RST without ACK, and RST with an acknowledgment of something else, are dropped.
    peerAck = 0;
    InjectTcp(Peer(kRst));
    peerAck = iss + 5;
    InjectTcp(Peer(kRst | kAck));
    ExpectNoTx();
    EXPECT_STREQ(StateOf(b), "SYN_SENT");
    // A SYN+ACK acknowledging iss itself is answered with a reset at that number.
    peerAck = iss;
    InjectTcp(Peer(kSyn | kAck));
    const TcpSegment rst = Out();
    EXPECT_EQ(rst.flags, kRst);
    EXPECT_EQ(rst.seq, iss);
    EXPECT_STREQ(StateOf(b), "SYN_SENT");
    // RST+ACK for our SYN: connection refused.
    peerAck = iss + 1;
    InjectTcp(Peer(kRst | kAck));
    ExpectNoTx();
    ASSERT_EQ(TcpNotes().size(), 1u);
    EXPECT_EQ(TcpNotes()[0].event, TNTCP_NOTIFY_CLOSED);
    ExpectPoolFull();
}

// Simultaneous open: the user of an active open hears that it is connected also when the
// handshake completes through SYN_RECEIVED.
TEST_F(TcpStateTest, SimultaneousOpenReportsConnected) {
    TcpControlBlock* b = nullptr;
    ASSERT_EQ(TnTcpConnect(3, kPeerIp, kOurPort, kPeerPort, RecordTcpNote, &b), TNTCP_SUCCESS);
    iss     = Out().seq;
    peerSeq = 1000;
    peerAck = 0;
    InjectTcp(Peer(kSyn));
    const TcpSegment synAck = Out();
    EXPECT_EQ(synAck.flags, kSyn | kAck);
    EXPECT_EQ(synAck.seq, iss);
    EXPECT_EQ(synAck.ack, 1001u);
    EXPECT_TRUE(synAck.options.empty());
    EXPECT_STREQ(StateOf(b), "SYN_RECEIVED");
    EXPECT_TRUE(TcpNotes().empty());
    peerSeq = 1001;
    PeerAcks(iss + 1);
    EXPECT_STREQ(StateOf(b), "ESTABLISHED");
    ASSERT_EQ(TcpNotes().size(), 1u);
    EXPECT_EQ(TcpNotes()[0].event, TNTCP_NOTIFY_CONNECTED);
}

// RFC 6528: with a secret, ISN = (ticks << 8) + isnSeed + a keyed hash of the four-tuple, so
// connections to different ports get unrelated ISNs while one four-tuple's ISN still advances
// by 256 a millisecond. Without a secret (the test mode) the hash term is left out.
TEST_F(TcpStateTest, InitialSequenceNumbersAreKeyedByTheFourTuple) {
    auto issOf = [this](std::uint16_t remotePort) {
        TcpControlBlock* b = nullptr;
        EXPECT_EQ(TnTcpConnect(1, kPeerIp, 6000, remotePort, RecordTcpNote, &b), TNTCP_SUCCESS);
        const std::uint32_t seq = Out().seq;
        TnTcpClose(b);
        return seq;
    };
    auto clock = [this] { return (static_cast<std::uint32_t>(host().Now()) << 8) + 0x10000000u; };
    EXPECT_EQ(issOf(80), clock());
    std::uint8_t secret[16];
    for (std::uint8_t i = 0; i < sizeof secret; ++i) {
        secret[i] = static_cast<std::uint8_t>(0xA5 ^ (i * 37));
    }
    TnTcpSetIsnSecret(secret);
    const std::uint32_t to80 = issOf(80);
    const std::uint32_t to81 = issOf(81);
    EXPECT_NE(to80, clock());
    const std::uint32_t apart = to81 - to80;
    EXPECT_GT(std::min(apart, 0u - apart), 1u << 20) << "neighbouring ports, unrelated ISNs";
    Advance(10);
    EXPECT_EQ(issOf(80), to80 + 10 * 256);
    TnTcpSetIsnSecret(nullptr);
    EXPECT_EQ(issOf(80), clock());
}

TEST_F(TcpStateTest, ListenerSynWaitsForTheUser) {
    TnListNode* listener = nullptr;
    ASSERT_EQ(TnTcpListen(9, kOurPort, 0, RecordTcpNote, &listener), TNTCP_SUCCESS);
    peerSeq        = 0x1234;
    TcpSegment syn = Peer(kSyn, Text("ignored"));
    syn.options    = MssOption(1000);
    InjectTcp(syn);
    ExpectNoTx();
    ASSERT_EQ(TcpNotes().size(), 1u);
    const TcpNote& request = TcpNotes()[0];
    EXPECT_EQ(request.event, TNTCP_NOTIFY_CONNECT_REQUEST);
    EXPECT_EQ(request.context, 9u);
    EXPECT_EQ(request.number, kPeerPort);
    EXPECT_EQ(request.address, kPeerIp);
    auto* b = static_cast<TcpControlBlock*>(request.item);
    EXPECT_STREQ(StateOf(b), "ACCEPT_PENDING");
    EXPECT_EQ(b->mss, 1000);
    ASSERT_EQ(TnTcpAccept(b, 21), TNTCP_SUCCESS);
    const TcpSegment synAck = Out();
    EXPECT_EQ(synAck.flags, kSyn | kAck);
    EXPECT_EQ(synAck.ack, 0x1235u);
    EXPECT_EQ(synAck.Mss(), 1000);
    peerSeq = 0x1235;
    PeerAcks(synAck.seq + 1);
    EXPECT_STREQ(StateOf(b), "ESTABLISHED");
    EXPECT_EQ(TcpNotes().size(), 1u) << "a passive open is not reported as connected";
    EXPECT_EQ(b->userContext, 21u);
    // The accept wait ended with the accept: nothing fires a second later.
    ExpectNoTx(2000);
    EXPECT_STREQ(StateOf(b), "ESTABLISHED");
}

TEST_F(TcpStateTest, ListenerMatchingByAddressAndOrder) {
    TnListNode* picky  = nullptr;
    TnListNode* first  = nullptr;
    TnListNode* second = nullptr;
    ASSERT_EQ(TnTcpListen(1, kOurPort, Ip(10, 9, 9, 9), RecordTcpNote, &picky), TNTCP_SUCCESS);
    ASSERT_EQ(TnTcpListen(2, kOurPort, 0, RecordTcpNote, &first), TNTCP_SUCCESS);
    ASSERT_EQ(TnTcpListen(3, kOurPort, 0, RecordTcpNote, &second), TNTCP_SUCCESS);
    InjectTcp(Peer(kSyn));
    ASSERT_EQ(TcpNotes().size(), 1u);
    EXPECT_EQ(TcpNotes()[0].context, 2u);
    EXPECT_EQ(TnTcpUnlisten(first), TNTCP_SUCCESS);
    EXPECT_EQ(TnTcpUnlisten(first), TNTCP_BAD_PARAMETER) << "a removed handle is refused";
    TcpSegment other = Peer(kSyn);
    other.srcPort    = 4001;
    InjectTcp(other);
    ASSERT_EQ(TcpNotes().size(), 2u);
    EXPECT_EQ(TcpNotes()[1].context, 3u);
}

// Refusals of a waiting SYN, by the user or by the accept wait running out, answer with RST+ACK,
// sequence 0, acknowledging the SYN: the only reset a peer in SYN-SENT accepts.
TEST_F(TcpStateTest, RefusedOrUnansweredRequestIsReset) {
    TnListNode* listener = nullptr;
    ASSERT_EQ(TnTcpListen(9, kOurPort, 0, RecordTcpNote, &listener), TNTCP_SUCCESS);
    peerSeq = 0xFFFFFFFF;  // the acknowledgment wraps
    peerAck = 0x777;       // a SYN's acknowledgment field carries nothing
    InjectTcp(Peer(kSyn));
    auto* b = static_cast<TcpControlBlock*>(TcpNotes().at(0).item);
    ASSERT_EQ(TnTcpClose(b), TNTCP_SUCCESS);
    TcpSegment rst = Out();
    EXPECT_EQ(rst.flags, kRst | kAck);
    EXPECT_EQ(rst.seq, 0u);
    EXPECT_EQ(rst.ack, 0u);
    ExpectPoolFull();

    peerSeq = 500;
    InjectTcp(Peer(kSyn));
    ExpectNoTx(999);
    Advance(1);
    rst = Out();
    EXPECT_EQ(rst.flags, kRst | kAck);
    EXPECT_EQ(rst.seq, 0u);
    EXPECT_EQ(rst.ack, 501u);
    EXPECT_EQ(TcpNotes().size(), 2u) << "the expiry is silent";
    ExpectPoolFull();
}

// A listener's SYN that also carries ACK is reset; the block it took goes back to the pool at
// once instead of lingering in the active list.
TEST_F(TcpStateTest, ListenerSynWithAckReturnsTheBlock) {
    TnListNode* listener = nullptr;
    ASSERT_EQ(TnTcpListen(9, kOurPort, 0, RecordTcpNote, &listener), TNTCP_SUCCESS);
    peerAck = 0xABCD;
    InjectTcp(Peer(kSyn | kAck));
    const TcpSegment rst = Out();
    EXPECT_EQ(rst.flags, kRst);
    EXPECT_EQ(rst.seq, 0xABCDu);
    EXPECT_TRUE(TcpNotes().empty());
    ExpectPoolFull();
}

TEST_F(TcpStateTest, UnansweredSynAckEndsInReset) {
    TnListNode* listener = nullptr;
    ASSERT_EQ(TnTcpListen(9, kOurPort, 0, RecordTcpNote, &listener), TNTCP_SUCCESS);
    peerSeq = 300;
    InjectTcp(Peer(kSyn));
    auto* b = static_cast<TcpControlBlock*>(TcpNotes().at(0).item);
    TnTcpAccept(b, 5);
    const std::uint32_t ourIss = Out().seq;
    for (int retry = 0; retry < 2; ++retry) {
        ExpectNoTx(999);
        Advance(1);
        const TcpSegment again = Out();
        EXPECT_EQ(again.flags, kSyn | kAck);
        EXPECT_EQ(again.Mss(), 1356);
    }
    Advance(1000);
    const TcpSegment rst = Out();
    EXPECT_TRUE(rst.Has(kRst));
    EXPECT_EQ(rst.seq, ourIss + 1) << "the peer, if synchronized, expects iss + 1";
    EXPECT_EQ(rst.ack, 301u);
    ASSERT_EQ(TcpNotes().size(), 2u);
    EXPECT_EQ(TcpNotes()[1].event, TNTCP_NOTIFY_CLOSED);
    EXPECT_EQ(TcpNotes()[1].context, 5u);
    ExpectPoolFull();
}

TEST_F(TcpStateTest, SendIsAllowedOnlyOnceSynchronizedOrAccepting) {
    TARNET_NEEDS_SIZE(TARNET_TCP_SEND_RING, 4096);
    TcpControlBlock* active = nullptr;
    ASSERT_EQ(TnTcpConnect(3, kPeerIp, 6000, kPeerPort, RecordTcpNote, &active), TNTCP_SUCCESS);
    TakeSent();
    std::uint32_t taken = 0;
    const Bytes data    = Pattern(5000);
    EXPECT_EQ(TnTcpSend(active, data.data(), 10, &taken), TNTCP_WRONG_STATE);
    EXPECT_EQ(TnTcpSend(active, data.data(), 0, &taken), TNTCP_BAD_PARAMETER);
    EXPECT_EQ(TnTcpSend(active, data.data(), 10, nullptr), TNTCP_BAD_PARAMETER);

    TnListNode* listener = nullptr;
    ASSERT_EQ(TnTcpListen(9, kOurPort, 0, RecordTcpNote, &listener), TNTCP_SUCCESS);
    peerSeq = 10;
    InjectTcp(Peer(kSyn));
    auto* b = static_cast<TcpControlBlock*>(TcpNotes().at(0).item);
    TnTcpAccept(b, 5);
    const std::uint32_t ourIss = Out().seq;
    EXPECT_EQ(TnTcpSend(b, data.data(), 5000, &taken), TNTCP_SUCCESS);
    EXPECT_EQ(taken, 4096u);
    EXPECT_EQ(TnTcpSend(b, data.data(), 5000, &taken), TNTCP_SEND_BUFFER_FULL);
    ExpectNoTx();
    // The handshake's ACK lets the waiting bytes go, within the peer's window.
    peerSeq    = 11;
    peerWindow = 3000;
    PeerAcks(ourIss + 1);
    const TcpSegment first = Out();
    EXPECT_EQ(first.seq, ourIss + 1);
    EXPECT_EQ(first.payload.size(), 1356u);
    EXPECT_EQ(Out().payload.size(), 1356u);
    ExpectNoTx();  // the 288 bytes the window leaves would be a runt: they wait
}

TEST_F(TcpStateTest, CloseDuringHandshake) {
    TnListNode* listener = nullptr;
    ASSERT_EQ(TnTcpListen(9, kOurPort, 0, RecordTcpNote, &listener), TNTCP_SUCCESS);
    peerSeq = 10;
    InjectTcp(Peer(kSyn));
    auto* b = static_cast<TcpControlBlock*>(TcpNotes().at(0).item);
    TnTcpAccept(b, 5);
    const std::uint32_t ourIss = Out().seq;
    ASSERT_EQ(TnTcpClose(b), TNTCP_SUCCESS);
    const TcpSegment rst = Out();
    EXPECT_TRUE(rst.Has(kRst));
    EXPECT_EQ(rst.seq, ourIss + 1);
    EXPECT_EQ(TcpNotes().size(), 1u);
    ExpectPoolFull();
    EXPECT_EQ(TnTcpClose(b), TNTCP_SUCCESS) << "a released block ignores a second close";
    ExpectNoTx();
}

TEST_F(TcpStateTest, ActiveCloseThroughTimeWait) {
    TcpControlBlock* b = ToFinWait2();
    ExpectNoTx();
    PeerSends({}, kFin);
    const TcpSegment ack = Out();
    EXPECT_EQ(ack.flags, kAck);
    EXPECT_EQ(ack.ack, peerSeq);
    EXPECT_STREQ(StateOf(b), "TIME_WAIT");
    EXPECT_TRUE(TcpNotes().empty()) << "the user closed; nothing to report";
    Advance(4999);
    EXPECT_STREQ(StateOf(b), "TIME_WAIT");
    Advance(1);
    ExpectNoTx();
    ExpectPoolFull();
}

TEST_F(TcpStateTest, FinWait2GivesUpAfterFiveSeconds) {
    TcpControlBlock* b = ToFinWait2();
    Advance(4999);
    EXPECT_STREQ(StateOf(b), "FIN_WAIT_2");
    Advance(1);
    const TcpSegment rst = Out();
    EXPECT_EQ(rst.flags, kRst);
    EXPECT_EQ(rst.seq, b->sndNxt);
    ExpectPoolFull();
}

TEST_F(TcpStateTest, SimultaneousCloseThroughClosing) {
    TcpControlBlock* b = Connect();
    TnTcpClose(b);
    const TcpSegment fin = Out();
    // The peer's FIN crosses ours: it does not acknowledge our FIN yet.
    PeerSends({}, kFin);
    EXPECT_EQ(Out().ack, peerSeq);
    EXPECT_STREQ(StateOf(b), "CLOSING");
    PeerAcks(fin.seq + 1);
    EXPECT_STREQ(StateOf(b), "TIME_WAIT");
    Advance(5000);
    ExpectPoolFull();
}

TEST_F(TcpStateTest, PeerCloseNotifiesThenSendsOurFin) {
    TcpControlBlock* b = Connect();
    PeerSends(Text("bye"), kFin);
    EXPECT_EQ(Out().ack, peerSeq) << "one acknowledgment covers the data and the FIN";
    const TcpSegment fin = Out();
    EXPECT_EQ(fin.flags, kFin | kAck);
    ASSERT_EQ(TcpNotes().size(), 2u);
    EXPECT_EQ(TcpNotes()[0].event, TNTCP_NOTIFY_DATA);
    EXPECT_EQ(TcpNotes()[0].data, Text("bye"));
    EXPECT_EQ(TcpNotes()[1].event, TNTCP_NOTIFY_CLOSED);
    EXPECT_STREQ(StateOf(b), "LAST_ACK");
    std::uint32_t taken     = 0;
    const std::uint8_t byte = 1;
    EXPECT_EQ(TnTcpSend(b, &byte, 1, &taken), TNTCP_WRONG_STATE);
    EXPECT_EQ(TnTcpClose(b), TNTCP_SUCCESS);
    ExpectNoTx();
    PeerAcks(fin.seq + 1);
    ExpectNoTx();
    EXPECT_EQ(TcpNotes().size(), 2u);
    ExpectPoolFull();
}

// RFC 9293: in TIME_WAIT a retransmitted FIN is acknowledged but does not prolong the wait; a
// FIN at rcvNxt is acknowledged and restarts it.
TEST_F(TcpStateTest, TimeWaitFinHandling) {
    TcpControlBlock* b = ToFinWait2();
    PeerSends({}, kFin);
    Out();
    Advance(3000);
    peerSeq -= 1;
    PeerSends({}, kFin);  // the same FIN again
    EXPECT_EQ(Out().ack, peerSeq);
    Advance(2000);
    ExpectPoolFull();

    TcpNotes().clear();
    b = ToFinWait2();
    PeerSends({}, kFin);
    Out();
    Advance(3000);
    PeerSends({}, kFin);  // a FIN at rcvNxt
    const TcpSegment ack = Out();
    EXPECT_EQ(ack.ack, peerSeq);
    Advance(4999);
    EXPECT_STREQ(StateOf(b), "TIME_WAIT");
    Advance(1);
    ExpectPoolFull();
}

// Shut-down resets every active connection except one in TIME_WAIT, which is complete on both
// ends.
TEST_F(TcpStateTest, DeinitResetsEveryActiveConnectionSilently) {
    ToFinWait2();
    PeerSends({}, kFin);
    Out();
    ourPort              = kOurPort + 1;
    TcpControlBlock* b   = Connect();
    TcpControlBlock* syn = nullptr;
    ASSERT_EQ(TnTcpConnect(1, kPeerIp, 6001, 80, RecordTcpNote, &syn), TNTCP_SUCCESS);
    Out();
    const std::uint32_t sndNxt = b->sndNxt;
    TnTcpDeinit();
    const TcpSegment first = Out();
    EXPECT_EQ(first.flags, kRst);
    EXPECT_EQ(first.srcPort, kOurPort + 1);
    EXPECT_EQ(first.seq, sndNxt);
    EXPECT_EQ(Out().flags, kRst);
    ExpectNoTx();
    EXPECT_TRUE(TcpNotes().empty());
    EXPECT_EQ(host().timers.ActiveCount(), 0u);
}

// ---- Users that call back from inside a notification ---------------------------------------

// The user closes on the data of a segment that also carries the peer's FIN: processing
// continues in the state the close left (FIN_WAIT_1), so the FIN leads to CLOSING.
TEST_F(TcpStateTest, CloseInsideDataNotificationBeforeFin) {
    TcpControlBlock* b = Connect();
    TcpNoteHook()      = [b](const TcpNote& note) {
        if (note.event == TNTCP_NOTIFY_DATA) {
            TnTcpClose(b);
        }
    };
    PeerSends(Text("last words"), kFin);
    EXPECT_TRUE(Out().Has(kFin));  // it acknowledges the data
    EXPECT_EQ(Out().ack, peerSeq);
    EXPECT_STREQ(StateOf(b), "CLOSING");
    ASSERT_EQ(TcpNotes().size(), 1u) << "the user closed: no CLOSED report";
}

// A close and a second close (an abort) inside the data notification release the block; the FIN
// on the same segment must then not be processed on it.
TEST_F(TcpStateTest, AbortInsideDataNotificationStopsProcessing) {
    TARNET_NEEDS_SIZE(TARNET_SOCKET_ENDPOINTS, 11);
    TcpControlBlock* b = Connect();
    // Every other block is taken, so the one released inside the notification is the one the
    // user's next connect gets.
    TcpControlBlock* others[10] = {};
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(TnTcpConnect(1, kPeerIp, static_cast<std::uint16_t>(6000 + i), 80, RecordTcpNote,
                               &others[i]),
                  TNTCP_SUCCESS);
    }
    TakeSent();
    TcpNoteHook() = [b](const TcpNote& note) {
        if (note.event == TNTCP_NOTIFY_DATA) {
            TnTcpClose(b);
            TnTcpClose(b);
            TcpControlBlock* again = nullptr;
            EXPECT_EQ(TnTcpConnect(4, kPeerIp, 6100, 80, RecordTcpNote, &again), TNTCP_SUCCESS);
            EXPECT_EQ(again, b);
        }
    };
    PeerSends(Text("late"), kFin);
    EXPECT_TRUE(Out().Has(kFin));  // it acknowledges the data
    EXPECT_EQ(Out().flags, kRst);
    EXPECT_EQ(Out().flags, kSyn);
    ExpectNoTx();
    EXPECT_STREQ(StateOf(b), "SYN_SENT");
    EXPECT_EQ(b->localPort, 6100);
    EXPECT_EQ(b->rcvNxt, peerSeq - 1) << "the FIN was not applied to the new connection";
}

// A user that closes the block from inside the report that precedes its release (which it
// should not do) must not get it released twice.
TEST_F(TcpStateTest, CloseInsideClosedReportReleasesOnce) {
    TARNET_NEEDS_SIZE(TARNET_SOCKET_ENDPOINTS, 11);
    TcpControlBlock* b = nullptr;
    ASSERT_EQ(TnTcpConnect(3, kPeerIp, kOurPort, kPeerPort, RecordTcpNote, &b), TNTCP_SUCCESS);
    TcpNoteHook() = [b](const TcpNote& note) {
        if (note.event == TNTCP_NOTIFY_CLOSED) {
            TnTcpClose(b);
        }
    };
    Advance(3000);
    EXPECT_EQ(Notes(TNTCP_NOTIFY_CLOSED), 1);
    ExpectPoolFull();
    TcpNoteHook() = nullptr;
    for (int i = 0; i < 11; ++i) {
        TcpControlBlock* c = nullptr;
        EXPECT_EQ(
            TnTcpConnect(1, kPeerIp, static_cast<std::uint16_t>(6000 + i), 80, RecordTcpNote, &c),
            TNTCP_SUCCESS);
    }
    EXPECT_EQ(ListLength(TcpState().activeList), 11);
    EXPECT_EQ(ListLength(TcpState().freeList), 0);
}

TEST_F(TcpStateTest, DeinitInsideNotificationIsSafe) {
    Connect();
    TcpNoteHook() = [](const TcpNote& note) {
        if (note.event == TNTCP_NOTIFY_DATA) {
            TnTcpDeinit();
        }
    };
    PeerSends(Text("x"), kFin);
    EXPECT_FALSE(TcpState().initialised);
    EXPECT_EQ(Notes(TNTCP_NOTIFY_CLOSED), 0);
}

// Logs and diagnostics name states and events from one table each: every state and event has a
// name of its own, and a value outside the table gets "?", never a neighbour's name.
TEST(TcpNames, EveryStateAndEventHasItsOwnName) {
    const TcpStateFn states[] = {TcpStateClosed,      TcpStateSynSent,     TcpStateAcceptPending,
                                 TcpStateSynReceived, TcpStateEstablished, TcpStateLastAck,
                                 TcpStateFinWait1,    TcpStateFinWait2,    TcpStateClosing,
                                 TcpStateTimeWait};
    std::set<std::string> stateNames;
    for (const TcpStateFn state : states) {
        EXPECT_STRNE(TcpStateName(state), "?");
        stateNames.insert(TcpStateName(state));
    }
    EXPECT_EQ(stateNames.size(), std::size(states));
    EXPECT_STREQ(TcpStateName(nullptr), "?");

    std::set<std::string> eventNames;
    for (std::size_t i = 0; i < kTcpEventCount; ++i) {
        const char* name = TcpEventName(static_cast<TcpEvent>(i));
        EXPECT_EQ(std::string(name).rfind("TCP_EV_", 0), 0U) << name;
        eventNames.insert(name);
    }
    EXPECT_EQ(eventNames.size(), kTcpEventCount);
    EXPECT_STREQ(TcpEventName(TCP_EV_SEGMENT), "TCP_EV_SEGMENT");
    EXPECT_STREQ(TcpEventName(static_cast<TcpEvent>(kTcpEventCount)), "?");
}

// The options are read within the length they come with: an option cut short by the end of the
// header is not taken, and nothing beyond the end is read (each case lies in a buffer of exactly
// its size, which the sanitizer build checks; debug builds assert it inside the reader).
TEST(TcpMssOption, TruncatedOptionsAreNotRead) {
    const std::pair<std::vector<std::uint8_t>, int> cases[] = {
        {{2},                         1356},
        {{2, 4},                      1356},
        {{2, 4, 0x02},                1356},
        {{1, 1, 2, 4, 0x02},          1356},
        {{2, 5, 0x02, 0x18},          1356},
        {{2, 1},                      1356},
        {{3, 3, 1, 2, 4, 0x02},       1356},
        {{2, 4, 0x02, 0x18},          536 },
        {{1, 3, 3, 1, 2, 4, 2, 0x18}, 536 },
    };
    for (const auto& [bytes, mss] : cases) {
        const auto options = std::make_unique<std::uint8_t[]>(bytes.size());
        std::copy(bytes.begin(), bytes.end(), options.get());
        TcpControlBlock block{};
        block.mss = kTcpDefaultMss;
        TcpReadMssOption(&block, options.get(), bytes.size());
        EXPECT_EQ(block.mss, mss) << bytes.size();
    }
}

}  // namespace
}  // namespace tarnet::test
