#include "virtual_host.h"

#include <cstdlib>
#include <cstring>
#include <utility>

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

constexpr std::uint8_t kConfigMac[6] = {kOurMac[0], kOurMac[1], kOurMac[2],
                                        kOurMac[3], kOurMac[4], kOurMac[5]};

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
        if (onFault == nullptr) {
            std::abort();
        }
        onFault("timers keep firing without time advancing");
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

}  // namespace tarnet::test
