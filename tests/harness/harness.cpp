#include "harness.h"

#include "dns_internal.h"
#include "ipv4.h"
#include "socket.h"
#include "tarnet/tndhcp.h"
#include "tcp.h"

namespace tarnet::test {

namespace {

void ReportFault(const char* what) {
    ADD_FAILURE() << what;
}

}  // namespace

void StackTest::SetUp() {
    host().Reset();
    host().onFault = ReportFault;
    config         = VirtualHost::Config();
}

void StackTest::TearDown() {
    // The frame buffers exist once IPv4 was first brought up; a test may have started the stack
    // itself rather than through Start().
    const bool buffersExist = started || Ipv4IsInitialised();
    TnSockDeinit();
    EXPECT_EQ(host().timers.ActiveCount(), 0u) << "a timer outlived the stack";
    host().timers.Clear();
    // Whatever a test took, the shut-down gives back: endpoints (the DHCP and DNS ports among
    // them), control blocks, frame buffers (those of a datagram waiting for ARP included),
    // reassembly entries, pending lookups and the DHCP client.
    EXPECT_EQ(SockEndpointsInUse(), 0u) << "an endpoint outlived the stack";
    EXPECT_EQ(TnTcpHoldings(), 0u) << "a TCP control block or listener outlived the stack";
    if (buffersExist) {
        EXPECT_EQ(Ipv4Holdings(), 0u) << "a frame buffer or reassembly entry outlived the stack";
    }
    EXPECT_EQ(dns::PendingCount(), 0u) << "a DNS lookup outlived the stack";
    // A null record is refused with 1, unless the client is still initialised (3).
    EXPECT_NE(TnDhcpInit(nullptr), 3) << "the DHCP client outlived the stack";
}

int StackTest::Start() {
    TnSockSetPredictableIsn(1);  // the TCP tests steer initial sequence numbers by isnSeed
    const int rc = TnSockInit(&config);
    started      = rc == TNSOCK_SUCCESS;
    return rc;
}

void StackTest::Inject(const Bytes& frame) {
    Bytes copy = frame;  // the stack may write into the frame
    TnSockEthernetInput(copy.empty() ? nullptr : copy.data(),
                        static_cast<std::uint32_t>(copy.size()));
    if (!inBatch_) {
        TnSockEndOfInput();  // a frame on its own is a batch of one, as a host loop sees it
    }
}

void StackTest::BeginBatch() {
    inBatch_ = true;
}

void StackTest::EndBatch() {
    inBatch_ = false;
    TnSockEndOfInput();
}

void StackTest::InjectIp(const Ipv4Packet& packet, const Mac& src, const Mac& dst) {
    Inject(Ipv4Frame(dst, src, packet));
}

void StackTest::InjectUdp(std::uint16_t srcPort, std::uint16_t dstPort, const Bytes& payload,
                          std::uint32_t src, std::uint32_t dst, UdpDatagram::Checksum checksum) {
    UdpDatagram udp;
    udp.srcPort  = srcPort;
    udp.dstPort  = dstPort;
    udp.payload  = payload;
    udp.checksum = checksum;
    Ipv4Packet ip;
    ip.src      = src;
    ip.dst      = dst;
    ip.protocol = 17;
    ip.id       = 0x4242;
    ip.payload  = udp.Build(src, dst);
    InjectIp(ip);
}

void StackTest::InjectTcp(const TcpSegment& segment, std::uint32_t src, std::uint32_t dst) {
    Ipv4Packet ip;
    ip.src      = src;
    ip.dst      = dst;
    ip.protocol = 6;
    ip.id       = 0x5151;
    ip.payload  = segment.Build(src, dst);
    InjectIp(ip);
}

void StackTest::LearnPeer(std::uint32_t ip, const Mac& mac) {
    ArpPacket request{1, mac, ip, Mac{}, kOurIp};
    Inject(ArpFrame(kBroadcast, mac, request));
    host().sent.clear();
}

TnSockEndpoint* StackTest::OpenUdp(std::uint16_t port, std::uintptr_t context) {
    TnSockEndpoint* endpoint = nullptr;
    const int rc             = TnSockUdpOpen(context, RecordSockEvent, port, &endpoint);
    EXPECT_EQ(rc, TNSOCK_SUCCESS) << "UDP open of port " << port << ": " << TnSockResultName(rc);
    return rc == TNSOCK_SUCCESS ? endpoint : nullptr;
}

Decoded StackTest::NextSent() {
    if (host().sent.empty()) {
        ADD_FAILURE() << "expected a frame from the stack, none was sent";
        return Decoded{};
    }
    Bytes frame = host().sent.front();
    host().sent.pop_front();
    auto decoded = Decode(frame);
    if (!decoded) {
        ADD_FAILURE() << "the stack sent a frame shorter than an Ethernet header";
        return Decoded{};
    }
    return *decoded;
}

std::vector<Bytes> StackTest::TakeSent() {
    std::vector<Bytes> frames(host().sent.begin(), host().sent.end());
    host().sent.clear();
    return frames;
}

void StackTest::ExpectNoTx(std::uint64_t ms) {
    Advance(ms);
    EXPECT_TRUE(host().sent.empty()) << host().sent.size() << " unexpected frame(s)";
}

}  // namespace tarnet::test
