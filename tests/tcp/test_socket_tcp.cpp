// The socket layer's TCP side: opens, sending, the bridge from TCP's notifications to the
// application's events, and the guarantee that a released endpoint's slot never receives a
// report about the connection it used to have.
#include <cstdlib>
#include <functional>

#include "needs_size.h"
#include "socket.h"
#include "tcp_peer.h"

namespace tarnet::test {
namespace {

using namespace tcpflag;

struct AppEvent {
    std::uintptr_t context;
    int event;
    TnSockEndpoint* endpoint;  // the new endpoint of event 3
    Bytes data;
    std::uint32_t a;
    std::uint32_t b;
    std::uint32_t c;
};

std::vector<AppEvent> g_events;
std::uintptr_t g_incomingResult = 0;
std::function<void(const AppEvent&)> g_hook;

std::uintptr_t App(std::uintptr_t context, int event, void* data, std::uint32_t a, std::uint32_t b,
                   std::uint32_t c) {
    AppEvent e{context, event, nullptr, {}, a, b, c};
    if (event == TNSOCK_EVENT_DATA) {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        e.data.assign(bytes, bytes + a);
    } else if (event == TNSOCK_EVENT_INCOMING) {
        e.endpoint = static_cast<TnSockEndpoint*>(data);
    }
    g_events.push_back(e);
    if (g_hook) {
        g_hook(g_events.back());
    }
    return event == TNSOCK_EVENT_INCOMING ? g_incomingResult : 0;
}

class SocketTcpTest : public TcpPeerTest {
  protected:
    void SetUp() override {
        TcpPeerTest::SetUp();
        g_events.clear();
        g_incomingResult = 0;
        g_hook           = nullptr;
        StartStack();
    }

    void TearDown() override {
        g_hook = nullptr;
        TcpPeerTest::TearDown();
        TnSockSetDiagnostics(nullptr, 0);
    }

    // An active open through the socket layer, completed by the peer.
    TnSockEndpoint* Connected(std::uintptr_t context = 1) {
        TnSockEndpoint* e = nullptr;
        EXPECT_EQ(TnSockTcpConnect(context, App, "192.0.2.1", kPeerPort, &e), TNSOCK_SUCCESS);
        const TcpSegment syn = Out();
        ourPort              = syn.srcPort;
        iss                  = syn.seq;
        peerSeq              = 0x9000;
        peerAck              = iss + 1;
        InjectTcp(Peer(kSyn | kAck));
        peerSeq = 0x9001;
        Out();
        return e;
    }

    TnSockEndpoint* Listening(std::uintptr_t context = 2) {
        TnSockEndpoint* e = nullptr;
        EXPECT_EQ(TnSockTcpListen(kOurPort, context, App, &e), TNSOCK_SUCCESS);
        return e;
    }

    int Events(int event) const {
        int n = 0;
        for (const AppEvent& e : g_events) {
            n += e.event == event ? 1 : 0;
        }
        return n;
    }
};

TEST_F(SocketTcpTest, ActiveOpenDataAndPeerClose) {
    TnSockEndpoint* e = nullptr;
    ASSERT_EQ(TnSockTcpConnect(5, App, "192.0.2.1", kPeerPort, &e), TNSOCK_SUCCESS);
    const TcpSegment syn = Out();
    EXPECT_EQ(syn.srcPort, e->localPort);
    EXPECT_EQ(e->tcpState, kTcpStateConnecting);
    std::uint32_t count = 0;
    const Bytes hello   = Text("hello");
    EXPECT_EQ(TnSockTcpSend(e, hello.data(), 5, &count), TNSOCK_GENERAL) << "still connecting";
    ourPort = syn.srcPort;
    peerSeq = 1;
    peerAck = syn.seq + 1;
    InjectTcp(Peer(kSyn | kAck));
    peerSeq = 2;
    Out();
    ASSERT_EQ(g_events.size(), 1u);
    EXPECT_EQ(g_events[0].event, TNSOCK_EVENT_CONNECTED);
    EXPECT_EQ(g_events[0].context, 5u);
    EXPECT_EQ(e->tcpState, kTcpStateConnected);
    EXPECT_EQ(TnSockTcpSend(e, hello.data(), 5, &count), TNSOCK_SUCCESS);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(Out().payload, hello);
    PeerSends(Text("world"));
    Out();
    ASSERT_EQ(g_events.size(), 2u);
    EXPECT_EQ(g_events[1].event, TNSOCK_EVENT_DATA);
    EXPECT_EQ(g_events[1].data, Text("world"));
    EXPECT_EQ(g_events[1].a, 5u);
    PeerSends({}, kFin);
    ASSERT_EQ(g_events.size(), 3u);
    EXPECT_EQ(g_events[2].event, TNSOCK_EVENT_CLOSED);
    EXPECT_FALSE(SockIsEndpoint(e)) << "the layer releases the endpoint after event 1";
}

TEST_F(SocketTcpTest, ConnectArgumentsAndRefusal) {
    TARNET_NEEDS_SIZE(TARNET_SOCKET_ENDPOINTS, 11);
    TnSockEndpoint* e = nullptr;
    EXPECT_EQ(TnSockTcpConnect(1, App, "1.2.3.256", 80, &e), TNSOCK_BAD_PARAMETER);
    EXPECT_EQ(TnSockTcpConnect(1, nullptr, "1.2.3.4", 80, &e), TNSOCK_BAD_PARAMETER);
    EXPECT_EQ(TnSockTcpConnect(1, App, nullptr, 80, &e), TNSOCK_BAD_PARAMETER);
    // TCP out of control blocks: the endpoint is released again.
    for (int i = 0; i < 11; ++i) {
        TcpControlBlock* b = nullptr;
        ASSERT_EQ(
            TnTcpConnect(1, kPeerIp, static_cast<std::uint16_t>(6000 + i), 80, RecordTcpNote, &b),
            TNTCP_SUCCESS);
    }
    EXPECT_EQ(TnSockTcpConnect(1, App, "192.0.2.1", 80, &e), TNSOCK_GENERAL);
    EXPECT_FALSE(SockIsEndpoint(e));
}

TEST_F(SocketTcpTest, SendTakesWhatFitsThenReportsBusy) {
    TARNET_NEEDS_SIZE(TARNET_TCP_SEND_RING, 4096);
    peerWindow          = 0;  // nothing leaves the ring
    TnSockEndpoint* e   = Connected();
    const Bytes big     = Pattern(5000);
    std::uint32_t count = 0;
    EXPECT_EQ(TnSockTcpSend(e, big.data(), 5000, &count), TNSOCK_SUCCESS);
    EXPECT_EQ(count, 4096u);
    count = 0;
    EXPECT_EQ(TnSockTcpSend(e, big.data(), 10, &count), TNSOCK_TRANSMITTER_BUSY);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(TnSockTcpSend(e, big.data(), 0, &count), TNSOCK_BAD_PARAMETER);
    EXPECT_EQ(TnSockTcpSend(e, nullptr, 10, &count), TNSOCK_BAD_PARAMETER);
    ASSERT_EQ(TnSockClose(e), TNSOCK_SUCCESS);
    EXPECT_EQ(TnSockTcpSend(e, big.data(), 10, &count), TNSOCK_GENERAL) << "closed endpoint";
}

TEST_F(SocketTcpTest, RefusedIncomingConnectionLeavesNoEndpoint) {
    Listening();
    peerSeq = 700;
    InjectTcp(Peer(kSyn));
    ASSERT_EQ(g_events.size(), 1u);
    const AppEvent& incoming = g_events[0];
    EXPECT_EQ(incoming.event, TNSOCK_EVENT_INCOMING);
    EXPECT_EQ(incoming.context, 2u);
    EXPECT_EQ(incoming.a, kPeerPort);
    EXPECT_EQ(incoming.b, kPeerIp);
    EXPECT_EQ(incoming.c, kOurPort);
    EXPECT_FALSE(SockIsEndpoint(incoming.endpoint));
    const TcpSegment rst = Out();
    EXPECT_EQ(rst.flags, kRst | kAck);
    EXPECT_EQ(rst.ack, 701u);
    ExpectPoolFull();
}

TEST_F(SocketTcpTest, AcceptedConnectionMaySendFromTheIncomingEvent) {
    Listening();
    g_incomingResult = 77;
    g_hook           = [](const AppEvent& e) {
        if (e.event == TNSOCK_EVENT_INCOMING) {
            const Bytes banner  = Text("220 ready");
            std::uint32_t count = 0;
            EXPECT_EQ(TnSockTcpSend(e.endpoint, banner.data(), 9, &count), TNSOCK_SUCCESS);
        }
    };
    peerSeq = 700;
    InjectTcp(Peer(kSyn));
    TnSockEndpoint* e = g_events.at(0).endpoint;
    ASSERT_TRUE(SockIsEndpoint(e));
    EXPECT_EQ(e->appContext, 77u);
    EXPECT_EQ(e->tcpState, kTcpStateConnected);
    EXPECT_EQ(e->localPort, kOurPort);
    const TcpSegment synAck = Out();
    EXPECT_EQ(synAck.flags, kSyn | kAck);
    ExpectNoTx();
    peerSeq = 701;
    PeerAcks(synAck.seq + 1);
    EXPECT_EQ(Out().payload, Text("220 ready"));
    PeerSends(Text("HELO"));
    ASSERT_EQ(g_events.size(), 2u);
    EXPECT_EQ(g_events[1].context, 77u);
    EXPECT_EQ(g_events[1].data, Text("HELO"));
}

TEST_F(SocketTcpTest, ClosingTheNewEndpointInsideTheIncomingEventRefuses) {
    Listening();
    g_incomingResult = 77;
    g_hook           = [](const AppEvent& e) {
        if (e.event == TNSOCK_EVENT_INCOMING) {
            TnSockClose(e.endpoint);
        }
    };
    InjectTcp(Peer(kSyn));
    EXPECT_EQ(Out().flags, kRst | kAck);
    ExpectNoTx();
    EXPECT_FALSE(SockIsEndpoint(g_events.at(0).endpoint));
    ExpectPoolFull();
}

TEST_F(SocketTcpTest, ClosedListenerOffersNothing) {
    TnSockEndpoint* listener = Listening();
    ASSERT_EQ(TnSockClose(listener), TNSOCK_SUCCESS);
    InjectTcp(Peer(kSyn));
    EXPECT_TRUE(g_events.empty());
    EXPECT_EQ(Out().flags, kRst | kAck);
}

TEST_F(SocketTcpTest, FullTableRefusesIncomingWithoutAsking) {
    Listening();
    std::vector<TnSockEndpoint*> udp;
    for (int i = 0; i < kSockEndpoints - 1; ++i) {
        TnSockEndpoint* e = nullptr;
        ASSERT_EQ(TnSockUdpOpen(3, App, static_cast<std::uint16_t>(7000 + i), &e), TNSOCK_SUCCESS);
    }
    g_incomingResult = 77;
    InjectTcp(Peer(kSyn));
    EXPECT_TRUE(g_events.empty());
    EXPECT_EQ(Out().flags, kRst | kAck);
    ExpectPoolFull();
}

// A released endpoint's slot may be reused while TCP still finishes the old connection; what
// TCP reports later about that connection must not reach the slot's new owner.
TEST_F(SocketTcpTest, LateReportsNeverReachAReusedSlot) {
    TnSockEndpoint* old = Connected(1);
    ASSERT_EQ(TnSockClose(old), TNSOCK_SUCCESS);
    const TcpSegment fin = Out();
    EXPECT_TRUE(fin.Has(kFin));
    // The slot goes to a new TCP connection, which is as ready to take reports as the old one.
    TnSockEndpoint* reused = nullptr;
    ASSERT_EQ(TnSockTcpConnect(9, App, "192.0.2.1", 81, &reused), TNSOCK_SUCCESS);
    ASSERT_EQ(reused, old) << "the lowest free slot is taken again";
    EXPECT_EQ(Out().flags, kSyn);
    g_events.clear();
    // The old connection receives data and the peer's FIN in FIN_WAIT_1: refused with a reset,
    // reported to nobody.
    PeerSends(Text("for the old owner"), kFin);
    const TcpSegment rst = Out();
    EXPECT_EQ(rst.flags, kRst);
    EXPECT_EQ(rst.seq, fin.seq + 1);
    ExpectNoTx();
    EXPECT_TRUE(g_events.empty());
    EXPECT_EQ(reused->tcpState, kTcpStateConnecting);
}

// The diagnostic hook names the socket-layer endpoint while the application holds it, and
// reports the end before the application hears of it; once the application has closed, the end
// names no endpoint.
TEST_F(SocketTcpTest, DiagnosticsNameTheEndpointWhileTheApplicationHoldsIt) {
    static std::vector<TnSockDiagnostic> diags;
    diags.clear();
    TnSockSetDiagnostics(
        [](std::uintptr_t, const TnSockDiagnostic* d) {
            if (d->kind != TNSOCK_DIAG_DATAGRAM_SENT) {  // the connection's reports only
                diags.push_back(*d);
            }
        },
        0);
    TnSockEndpoint* e = Connected(1);
    ASSERT_EQ(diags.size(), 1u);
    EXPECT_EQ(diags[0].kind, TNSOCK_DIAG_TCP_ESTABLISHED);
    EXPECT_EQ(diags[0].endpoint, e);
    g_hook = [](const AppEvent& event) {
        if (event.event == TNSOCK_EVENT_CLOSED) {
            EXPECT_EQ(diags.size(), 2u) << "the end comes before the application's event";
        }
    };
    InjectTcp(Peer(kRst));
    ASSERT_EQ(diags.size(), 2u);
    EXPECT_EQ(diags[1].kind, TNSOCK_DIAG_TCP_ENDED);
    EXPECT_EQ(diags[1].reason, TNSOCK_TCP_END_PEER_RESET);
    EXPECT_EQ(diags[1].endpoint, e);
    ASSERT_FALSE(g_events.empty());
    EXPECT_EQ(g_events.back().event, TNSOCK_EVENT_CLOSED);

    e = Connected(1);
    ASSERT_EQ(TnSockClose(e), TNSOCK_SUCCESS);
    Out();  // our FIN
    InjectTcp(Peer(kRst));
    ASSERT_EQ(diags.size(), 4u);
    EXPECT_EQ(diags[3].reason, TNSOCK_TCP_END_PEER_RESET);
    EXPECT_EQ(diags[3].endpoint, nullptr);

    // An accepted connection names the endpoint the application accepted, not the listener.
    Listening();
    g_incomingResult = 77;
    ourPort          = kOurPort;
    peerSeq          = 700;
    InjectTcp(Peer(kSyn));
    peerSeq = 701;
    PeerAcks(Out().seq + 1);
    ASSERT_EQ(diags.size(), 5u);
    EXPECT_EQ(diags[4].kind, TNSOCK_DIAG_TCP_ESTABLISHED);
    EXPECT_EQ(diags[4].active, 0);
    EXPECT_EQ(diags[4].endpoint, g_events.back().endpoint);
}

// The bridge ignores reports for anything but a TCP endpoint of the table in use.
TEST_F(SocketTcpTest, BridgeIgnoresReportsForEndpointsNotInUse) {
    TnSockEndpoint* udp = nullptr;
    ASSERT_EQ(TnSockUdpOpen(9, App, 7000, &udp), TNSOCK_SUCCESS);
    TnSockEndpoint stranger{};  // looks like a connected TCP endpoint, but is no slot of the table
    stranger.inUse    = 1;
    stranger.protocol = 6;
    stranger.tcpState = kTcpStateConnected;
    stranger.callback = App;
    for (TnSockEndpoint* e : {udp, &stranger}) {
        const auto context = reinterpret_cast<std::uintptr_t>(e);
        SockTcpEvent(context, TNTCP_NOTIFY_DATA, std::malloc(4), 4, 0);  // freed by the bridge
        SockTcpEvent(context, TNTCP_NOTIFY_CLOSED, nullptr, 0, 0);
        SockTcpEvent(context, TNTCP_NOTIFY_CONNECTED, nullptr, 0, 0);
    }
    EXPECT_TRUE(g_events.empty());
    EXPECT_TRUE(SockIsEndpoint(udp));
}

// After the peer's close the application has its event 1 and the slot is free; TCP's own
// finish (our FIN, its acknowledgment) reports nothing more.
TEST_F(SocketTcpTest, PeerCloseReleasesTheSlotOnce) {
    TnSockEndpoint* e = Connected(1);
    PeerSends({}, kFin);
    Out();
    const TcpSegment fin = Out();
    EXPECT_TRUE(fin.Has(kFin));
    EXPECT_EQ(Events(TNSOCK_EVENT_CLOSED), 1);
    EXPECT_FALSE(SockIsEndpoint(e));
    TnSockEndpoint* next = nullptr;
    ASSERT_EQ(TnSockUdpOpen(9, App, 7000, &next), TNSOCK_SUCCESS);
    EXPECT_EQ(next, e);
    PeerAcks(fin.seq + 1);
    EXPECT_EQ(g_events.size(), 2u);
    ExpectPoolFull();
}

// The pause is for a TCP connection's endpoint. What it held comes up as event 0 from inside
// the resuming call, the application may pause again from that event, and closing with data
// held resets.
TEST_F(SocketTcpTest, PauseReceiveOnAConnectedEndpoint) {
    TARNET_NEEDS_SIZE(TARNET_TCP_WINDOW, 4096);
    TnSockEndpoint* e        = Connected();
    TnSockEndpoint* udp      = nullptr;
    TnSockEndpoint* listener = Listening();
    ASSERT_EQ(TnSockUdpOpen(9, App, 7000, &udp), TNSOCK_SUCCESS);
    EXPECT_EQ(TnSockTcpPauseReceive(nullptr, 1), TNSOCK_BAD_PARAMETER);
    EXPECT_EQ(TnSockTcpPauseReceive(udp, 1), TNSOCK_BAD_PARAMETER);
    EXPECT_EQ(TnSockTcpPauseReceive(listener, 1), TNSOCK_BAD_PARAMETER);
    ASSERT_EQ(TnSockTcpPauseReceive(e, 1), TNSOCK_SUCCESS);
    PeerSends(Pattern(100));
    EXPECT_EQ(Out().window, 4096 - 100);
    EXPECT_EQ(Events(TNSOCK_EVENT_DATA), 0);
    g_hook = [e](const AppEvent& event) {
        if (event.event == TNSOCK_EVENT_DATA) {
            EXPECT_EQ(TnSockTcpPauseReceive(e, 1), TNSOCK_SUCCESS);
        }
    };
    ASSERT_EQ(TnSockTcpPauseReceive(e, 0), TNSOCK_SUCCESS);
    EXPECT_EQ(Out().window, 4096);
    ASSERT_EQ(Events(TNSOCK_EVENT_DATA), 1);
    EXPECT_EQ(g_events.back().data, Pattern(100));
    PeerSends(Pattern(100));
    EXPECT_EQ(Out().window, 4096 - 100) << "paused again from the data event";
    EXPECT_EQ(Events(TNSOCK_EVENT_DATA), 1);
    ASSERT_EQ(TnSockClose(e), TNSOCK_SUCCESS);
    EXPECT_TRUE(Out().Has(kRst));
    EXPECT_EQ(TnSockTcpPauseReceive(e, 0), TNSOCK_GENERAL) << "closed endpoint";
}

TEST_F(SocketTcpTest, UnansweredConnectReportsClosed) {
    TnSockEndpoint* e = nullptr;
    ASSERT_EQ(TnSockTcpConnect(4, App, "192.0.2.1", kPeerPort, &e), TNSOCK_SUCCESS);
    Advance(3000);
    ASSERT_EQ(g_events.size(), 1u);
    EXPECT_EQ(g_events[0].event, TNSOCK_EVENT_CLOSED);
    EXPECT_EQ(g_events[0].context, 4u);
    EXPECT_FALSE(SockIsEndpoint(e));
}

// No-delay is set on a connection's endpoint only, and from then on the end of a write goes out
// while earlier data is still unacknowledged.
TEST_F(SocketTcpTest, NoDelayOnAConnectedEndpoint) {
    TnSockEndpoint* e        = Connected();
    TnSockEndpoint* udp      = nullptr;
    TnSockEndpoint* listener = Listening();
    ASSERT_EQ(TnSockUdpOpen(9, App, 7000, &udp), TNSOCK_SUCCESS);
    const std::pair<TnSockEndpoint*, int> cases[] = {
        {nullptr,  TNSOCK_BAD_PARAMETER},
        {udp,      TNSOCK_BAD_PARAMETER},
        {listener, TNSOCK_BAD_PARAMETER},
        {e,        TNSOCK_SUCCESS      },
    };
    for (const auto& [endpoint, result] : cases) {
        EXPECT_EQ(TnSockTcpSetNoDelay(endpoint, 1), result);
    }
    std::uint32_t taken = 0;
    for (const char* text : {"first", "second"}) {
        ASSERT_EQ(TnSockTcpSend(e, Text(text).data(), 5, &taken), TNSOCK_SUCCESS);
        EXPECT_EQ(Out().payload.size(), 5u) << text;
    }
}

}  // namespace
}  // namespace tarnet::test
