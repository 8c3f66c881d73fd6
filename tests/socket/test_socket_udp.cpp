// The endpoint table and the UDP socket operations: argument checks, slot limits and reuse,
// port binding, ephemeral ports, sending, closing, and delivery to the right endpoint.
#include <cstdlib>

#include "harness.h"
#include "needs_size.h"
#include "socket.h"

namespace tarnet::test {
namespace {

// The local port an endpoint sends from, as seen on the wire (-1 when nothing went out).
int PortOf(TnSockEndpoint* endpoint) {
    const std::uint8_t byte = 0;
    auto& sent              = VirtualHost::Get().sent;
    sent.clear();
    if (TnSockUdpSendto(endpoint, 0xFFFFFFFF, 7, &byte, 1) != TNSOCK_SUCCESS || sent.size() != 1) {
        return -1;
    }
    const auto d = Decode(sent.front());
    sent.clear();
    return d && d->udp ? d->udp->srcPort : -1;
}

int OpenEphemeral() {
    TnSockEndpoint* e = nullptr;
    if (TnSockUdpOpen(1, RecordSockEvent, 0, &e) != TNSOCK_SUCCESS) {
        return -1;
    }
    const int port = PortOf(e);
    TnSockClose(e);
    return port;
}

class SocketUdpTest : public StackTest {
  protected:
    void SetUp() override {
        StackTest::SetUp();
        ASSERT_EQ(Start(), TNSOCK_SUCCESS);
        LearnPeer();
    }
};

TEST(SocketUdpNotStarted, EveryOperationIsRefused) {
    TnSockEndpoint* endpoint = nullptr;
    const std::uint8_t byte  = 0;
    EXPECT_EQ(TnSockUdpOpen(1, RecordSockEvent, 2000, &endpoint), TNSOCK_NOT_INITIALIZED);
    EXPECT_EQ(TnSockUdpSendto(nullptr, 1, 1, &byte, 1), TNSOCK_NOT_INITIALIZED);
    EXPECT_EQ(TnSockClose(nullptr), TNSOCK_NOT_INITIALIZED);
}

TEST_F(SocketUdpTest, RefusesBadArguments) {
    TnSockEndpoint* endpoint = nullptr;
    EXPECT_EQ(TnSockUdpOpen(1, RecordSockEvent, 2000, nullptr), TNSOCK_BAD_PARAMETER);
    EXPECT_EQ(TnSockUdpOpen(1, nullptr, 2000, &endpoint), TNSOCK_BAD_PARAMETER);
    endpoint = OpenUdp(2000);
    const Bytes data(1501, 0xAB);
    EXPECT_EQ(TnSockUdpSendto(nullptr, kPeerIp, 9, data.data(), 1), TNSOCK_BAD_PARAMETER);
    EXPECT_EQ(TnSockUdpSendto(endpoint, kPeerIp, 9, nullptr, 1), TNSOCK_BAD_PARAMETER);
    EXPECT_EQ(TnSockUdpSendto(endpoint, kPeerIp, 9, data.data(), 0), TNSOCK_BAD_PARAMETER);
    // The endpoint's area holds 1500 bytes: more is refused rather than written past it.
    EXPECT_EQ(TnSockUdpSendto(endpoint, kPeerIp, 9, data.data(), 1501), TNSOCK_BAD_PARAMETER);
    EXPECT_EQ(TnSockClose(nullptr), TNSOCK_BAD_PARAMETER);
    EXPECT_EQ(TnSockUdpSendto(endpoint, 0, 9, data.data(), 10), TNSOCK_GENERAL);  // IPv4 refuses
    ExpectNoTx(100);

    // 1500 bytes go out in two fragments; waiting for ARP counts as sent.
    ASSERT_EQ(TnSockUdpSendto(endpoint, kPeerIp, 9, data.data(), 1500), TNSOCK_SUCCESS);
    std::vector<Ipv4Packet> fragments;
    for (const Bytes& frame : TakeSent()) {
        fragments.push_back(Decode(frame)->ip.value());
    }
    ASSERT_EQ(fragments.size(), 2u);
    const auto whole = Reassemble(fragments);
    ASSERT_TRUE(whole.has_value());
    EXPECT_EQ(UdpDatagram::Parse(whole->payload, kOurIp, kPeerIp)->payload,
              Bytes(data.begin(), data.end() - 1));
    EXPECT_EQ(TnSockUdpSendto(endpoint, Ip(192, 0, 2, 77), 9, data.data(), 5), TNSOCK_SUCCESS);
    EXPECT_TRUE(NextSent().arp.has_value());
}

TEST_F(SocketUdpTest, TableHoldsElevenEndpointsAndReusesTheLowestFreeSlot) {
    TARNET_NEEDS_SIZE(TARNET_SOCKET_ENDPOINTS, 11);
    TnSockEndpoint* endpoints[11] = {};
    for (int i = 0; i < 11; ++i) {
        endpoints[i] = OpenUdp(static_cast<std::uint16_t>(3000 + i));
        ASSERT_NE(endpoints[i], nullptr);
    }
    TnSockEndpoint* extra = nullptr;
    EXPECT_EQ(TnSockUdpOpen(1, RecordSockEvent, 4000, &extra), TNSOCK_NO_MEMORY);
    EXPECT_EQ(TnSockUdpOpen(1, RecordSockEvent, 0, &extra), TNSOCK_NO_MEMORY);
    EXPECT_EQ(TnSockUdpOpen(1, RecordSockEvent, 3005, &extra), TNSOCK_BIND_FAILED);

    EXPECT_EQ(TnSockClose(endpoints[7]), TNSOCK_SUCCESS);
    EXPECT_EQ(TnSockClose(endpoints[3]), TNSOCK_SUCCESS);
    EXPECT_EQ(OpenUdp(3007), endpoints[3]) << "a closed port is free at once";
    EXPECT_EQ(OpenUdp(4001), endpoints[7]);
    EXPECT_EQ(TnSockUdpOpen(1, RecordSockEvent, 4002, &extra), TNSOCK_NO_MEMORY);
    // The reused slot carries only its new binding.
    InjectUdp(50, 3003, Text("old port"));
    InjectUdp(50, 3007, Text("new port"));
    ASSERT_EQ(host().sockEvents.size(), 1u);
    EXPECT_EQ(host().sockEvents[0].bytes, Text("new port"));
}

TEST_F(SocketUdpTest, ClosingTwiceIsRefused) {
    TnSockEndpoint* a = OpenUdp(2000);
    OpenUdp(2001);
    ASSERT_EQ(TnSockClose(a), TNSOCK_SUCCESS);
    EXPECT_EQ(TnSockClose(a), TNSOCK_BAD_PARAMETER);
    const std::uint8_t byte = 1;
    EXPECT_EQ(TnSockUdpSendto(a, kPeerIp, 9, &byte, 1), TNSOCK_BAD_PARAMETER);
    static TnSockEndpoint fake{};  // never a slot of the table
    fake.inUse = 1;
    EXPECT_EQ(TnSockClose(&fake), TNSOCK_BAD_PARAMETER);
    ExpectNoTx();
    // The list survived: the other endpoint still receives, a closed one does not.
    InjectUdp(50, 2000, Text("closed"));
    InjectUdp(50, 2001, Text("open"));
    ASSERT_EQ(host().sockEvents.size(), 1u);
    EXPECT_EQ(host().sockEvents[0].bytes, Text("open"));
    EXPECT_EQ(OpenUdp(2002), a);
}

std::uintptr_t OtherCallback(std::uintptr_t, int, void*, std::uint32_t, std::uint32_t,
                             std::uint32_t) {
    return 0;
}

// A layer that opened an endpoint asks whether the slot is still its own before closing it.
TEST_F(SocketUdpTest, OwnerQueryNamesOnlyTheOpenersUdpSlot) {
    TnSockEndpoint* udp = nullptr;
    TnSockEndpoint* tcp = nullptr;
    ASSERT_EQ(TnSockUdpOpen(5, RecordSockEvent, 2000, &udp), TNSOCK_SUCCESS);
    ASSERT_EQ(TnSockTcpListen(2001, 5, RecordSockEvent, &tcp), TNSOCK_SUCCESS);
    EXPECT_TRUE(SockIsUdpEndpointOf(udp, RecordSockEvent, 5));
    EXPECT_FALSE(SockIsUdpEndpointOf(udp, RecordSockEvent, 6)) << "another context";
    EXPECT_FALSE(SockIsUdpEndpointOf(udp, OtherCallback, 5)) << "another callback";
    EXPECT_FALSE(SockIsUdpEndpointOf(tcp, RecordSockEvent, 5)) << "not UDP";
    EXPECT_FALSE(SockIsUdpEndpointOf(nullptr, RecordSockEvent, 5));
    ASSERT_EQ(TnSockClose(udp), TNSOCK_SUCCESS);
    EXPECT_FALSE(SockIsUdpEndpointOf(udp, RecordSockEvent, 5)) << "closed";
    TnSockEndpoint* reused = nullptr;
    ASSERT_EQ(TnSockUdpOpen(7, OtherCallback, 2002, &reused), TNSOCK_SUCCESS);
    ASSERT_EQ(reused, udp);
    EXPECT_FALSE(SockIsUdpEndpointOf(udp, RecordSockEvent, 5)) << "reused by someone else";
}

// Each ephemeral port is a fresh random draw from 10000-64999 (two calls of the random
// callback make 32 bits); a port in use is skipped for the next one, wrapping at the top.
TEST_F(SocketUdpTest, EphemeralPortsAreRandomAndSkipPortsInUse) {
    auto draw = [&](int offset) {
        host().randomValues = {0, offset};  // (0 << 16) ^ offset
        return OpenEphemeral();
    };
    EXPECT_EQ(draw(12345), 22345);
    EXPECT_EQ(draw(54999), 64999);
    OpenUdp(30000);
    OpenUdp(30001);
    EXPECT_EQ(draw(20000), 30002);
    OpenUdp(64999);
    EXPECT_EQ(draw(54999), 10000);
    host().randomValues = {1, 0};  // 65536 % 55000
    EXPECT_EQ(OpenEphemeral(), 20536);
}

TEST_F(SocketUdpTest, DatagramReachesTheEndpointOfItsPort) {
    OpenUdp(2000, 0xA);
    OpenUdp(2001, 0xB);
    InjectUdp(53, 2001, Text("for b"));
    InjectUdp(53, 2002, Text("nobody"));  // no endpoint: dropped without a report
    InjectUdp(1234, 2000, Text("for a"), Ip(192, 0, 2, 33));
    ASSERT_EQ(host().sockEvents.size(), 2u);
    const auto& b = host().sockEvents[0];
    EXPECT_EQ(b.context, 0xBu);
    EXPECT_EQ(b.event, TNSOCK_EVENT_DATA);
    EXPECT_EQ(b.bytes, Text("for b"));
    EXPECT_EQ(b.a, 5u);
    EXPECT_EQ(b.b, 53u);
    EXPECT_EQ(b.c, kPeerIp);
    const auto& a = host().sockEvents[1];
    EXPECT_EQ(a.context, 0xAu);
    EXPECT_EQ(a.b, 1234u);
    EXPECT_EQ(a.c, Ip(192, 0, 2, 33));
    ExpectNoTx();
}

// Applications answer from inside their data event, and may close or shut everything down there.
std::uintptr_t EchoAndClose(std::uintptr_t context, int event, void* data, std::uint32_t length,
                            std::uint32_t port, std::uint32_t address) {
    auto* self = reinterpret_cast<TnSockEndpoint*>(context);
    RecordSockEvent(context, event, data, length, port, address);
    TnSockUdpSendto(self, address, static_cast<std::uint16_t>(port),
                    static_cast<const std::uint8_t*>(data), length);
    TnSockClose(self);
    return 0;
}

std::uintptr_t ShutDown(std::uintptr_t context, int event, void* data, std::uint32_t length,
                        std::uint32_t port, std::uint32_t address) {
    RecordSockEvent(context, event, data, length, port, address);
    TnSockDeinit();
    return 0;
}

TEST_F(SocketUdpTest, ApplicationMayAnswerAndCloseInsideItsEvent) {
    // The callback's context is its own handle: the lowest free slot, learned by a first open.
    TnSockEndpoint* slot = OpenUdp(7);
    ASSERT_EQ(TnSockClose(slot), TNSOCK_SUCCESS);
    TnSockEndpoint* endpoint = nullptr;
    ASSERT_EQ(TnSockUdpOpen(reinterpret_cast<std::uintptr_t>(slot), EchoAndClose, 7, &endpoint),
              TNSOCK_SUCCESS);
    ASSERT_EQ(endpoint, slot);
    InjectUdp(40000, 7, Text("ping me"));
    const Decoded echo = NextSent();
    ASSERT_TRUE(echo.udp.has_value());
    EXPECT_EQ(echo.udp->payload, Text("ping me"));
    EXPECT_EQ(echo.udp->srcPort, 7);
    EXPECT_EQ(echo.udp->dstPort, 40000);
    InjectUdp(40000, 7, Text("again"));
    EXPECT_EQ(host().sockEvents.size(), 1u);
    ExpectNoTx();
}

TEST_F(SocketUdpTest, ApplicationMayShutTheStackDownInsideItsEvent) {
    TARNET_NEEDS_SIZE(TARNET_REASSEMBLY_ENTRIES, 2);
    TARNET_NEEDS_SIZE(TARNET_REASSEMBLY_MAX, 2008);
    TnSockEndpoint* endpoint = nullptr;
    ASSERT_EQ(TnSockUdpOpen(1, ShutDown, 7, &endpoint), TNSOCK_SUCCESS);
    OpenUdp(8);
    // Delivered from a reassembled datagram, while another reassembly is open.
    Ipv4Packet other    = MakeIpv4(17, Pattern(64), kPeerIp, kOurIp, 99);
    other.moreFragments = true;
    InjectIp(other);
    for (const Ipv4Packet& f : Fragment(MakeUdp(9, 7, Pattern(2000), kPeerIp, kOurIp, 100), 1024)) {
        InjectIp(f);
    }
    ASSERT_EQ(host().sockEvents.size(), 1u);
    EXPECT_EQ(host().sockEvents[0].bytes, Pattern(2000));
    EXPECT_EQ(host().timers.ActiveCount(), 0u);
    InjectUdp(9, 8, Text("after"));
    EXPECT_EQ(host().sockEvents.size(), 1u);
    ExpectNoTx();
}

}  // namespace
}  // namespace tarnet::test
