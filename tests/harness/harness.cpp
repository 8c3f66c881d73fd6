#include "harness.h"

#include <cstring>
#include <utility>

#include "dns_internal.h"
#include "ipv4.h"
#include "socket.h"
#include "tcp.h"

namespace tarnet::test {

namespace {

void RecordFrame(void* context, const std::uint8_t* frame, std::uint32_t length) {
    static_cast<VirtualHost*>(context)->sent.emplace_back(frame, frame + length);
}

int NextRandom(void* context) {
    auto& values = static_cast<VirtualHost*>(context)->randomValues;
    if (values.empty()) {
        return 0;
    }
    const int v = values.front();
    values.pop_front();
    return v;
}

void RecordLog(void* context, const char* text) {
    static_cast<VirtualHost*>(context)->logs.emplace_back(text);
}

void RecordStatus(void* context, int event, void* data) {
    StatusRecord record{event, {}};
    if (event == TNSOCK_EVENT_ADDRESS && data != nullptr) {
        std::memcpy(&record.lease, data, sizeof record.lease);
    }
    static_cast<VirtualHost*>(context)->status.push_back(record);
}

void RecordPing(void* context, int event, std::uint32_t value, std::uint32_t received) {
    static_cast<VirtualHost*>(context)->pings.push_back({event, value, received});
}

}  // namespace

std::uintptr_t RecordSockEvent(std::uintptr_t appContext, int event, void* data, std::uint32_t a,
                               std::uint32_t b, std::uint32_t c) {
    SockEventRecord record{appContext, event, data, {}, a, b, c};
    if (event == TNSOCK_EVENT_DATA && data != nullptr) {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        record.bytes.assign(bytes, bytes + a);
    }
    VirtualHost::Get().sockEvents.push_back(std::move(record));
    return 0;
}

namespace {

constexpr std::uint8_t kConfigMac[6] = {kOurMac[0], kOurMac[1], kOurMac[2],
                                        kOurMac[3], kOurMac[4], kOurMac[5]};

}  // namespace

Ipv4Packet MakeIpv4(std::uint8_t protocol, const Bytes& payload, std::uint32_t src,
                    std::uint32_t dst, std::uint16_t id) {
    Ipv4Packet p;
    p.src      = src;
    p.dst      = dst;
    p.protocol = protocol;
    p.id       = id;
    p.payload  = payload;
    return p;
}

Ipv4Packet MakeUdp(std::uint16_t srcPort, std::uint16_t dstPort, const Bytes& payload,
                   std::uint32_t src, std::uint32_t dst, std::uint16_t id) {
    UdpDatagram udp;
    udp.srcPort = srcPort;
    udp.dstPort = dstPort;
    udp.payload = payload;
    return MakeIpv4(17, udp.Build(src, dst), src, dst, id);
}

VirtualHost& VirtualHost::Get() {
    static VirtualHost host;
    return host;
}

void VirtualHost::Reset(std::uint64_t start) {
    fakehost::FakeHost& host = fakehost::FakeHost::Get();
    host.Reset(start);
    host.SetFrameSink(RecordFrame, this);
    host.SetRandomSource(NextRandom, this);
    host.SetLogSink(RecordLog, this);
    host.SetStatusSink(RecordStatus, this);
    host.SetPingSink(RecordPing, this);
    sent.clear();
    logs.clear();
    status.clear();
    pings.clear();
    sockEvents.clear();
    randomValues.clear();
}

void VirtualHost::Advance(std::uint64_t ms) {
    // A bound on timer firings per step catches a layer that re-arms zero-delay timers forever.
    if (!fakehost::FakeHost::Get().Advance(ms, 1'000'000)) {
        ADD_FAILURE() << "timers keep firing without time advancing";
    }
}

void VirtualHost::RunDue() {
    fakehost::FakeHost::Get().RunDue();
}

TnSockConfig VirtualHost::Config() {
    TnSockConfig c = fakehost::FakeHost::Config();
    c.macAddress   = kConfigMac;
    c.useDhcp      = 0;
    c.localIp      = "192.0.2.10";
    c.gateway      = "192.0.2.254";
    c.subnetMask   = "255.255.255.0";
    c.dnsServer    = "0.0.0.0";
    c.isnSeed      = 0x10000000;
    c.reserved     = 0;
    return c;
}

void StackTest::SetUp() {
    host().Reset();
    config = host().Config();
}

void StackTest::TearDown() {
    TnSockDeinit();
    EXPECT_EQ(host().timers.ActiveCount(), 0u) << "a timer outlived the stack";
    host().timers.Clear();
    // Whatever a test took, the shut-down gives back: endpoints, control blocks, frame buffers,
    // reassembly entries and pending lookups.
    EXPECT_EQ(SockEndpointsInUse(), 0u) << "an endpoint outlived the stack";
    EXPECT_EQ(TnTcpHoldings(), 0u) << "a TCP control block or listener outlived the stack";
    if (started) {
        EXPECT_EQ(Ipv4Holdings(), 0u) << "a frame buffer or reassembly entry outlived the stack";
    }
    EXPECT_EQ(dns::PendingCount(), 0u) << "a DNS lookup outlived the stack";
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
