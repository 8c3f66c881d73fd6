// The recording host: the shared fake host with sinks that keep everything the stack reports
// (frames, log texts, status and echo events, application events), the addressing of the
// simulated link, and shorthands for datagrams on it. The unit tests' harness builds on it; a
// benchmark may use it as it stands. No real time passes and nothing touches a network.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "fake_host.h"
#include "frames.h"
#include "tarnet/tndhcp.h"
#include "tarnet/tnsock.h"
#include "timer_pool.h"

namespace tarnet::test {

// The simulated link: the stack's station, its peer, a third station, the gateway.
inline constexpr Mac kOurMac{0x02, 0x54, 0x4E, 0x00, 0x00, 0x01};
inline constexpr Mac kPeerMac{0x02, 0x50, 0x45, 0x45, 0x52, 0x01};
inline constexpr Mac kOtherMac{0x02, 0x0D, 0x0E, 0x0A, 0x0D, 0x01};
inline constexpr std::uint32_t kOurIp     = Ip(192, 0, 2, 10);
inline constexpr std::uint32_t kPeerIp    = Ip(192, 0, 2, 1);
inline constexpr std::uint32_t kGatewayIp = Ip(192, 0, 2, 254);
inline constexpr std::uint32_t kMask      = Ip(255, 255, 255, 0);

struct StatusRecord {
    int event;
    TnDhcpLease lease;  // copied when event is TNSOCK_EVENT_ADDRESS
};

struct PingRecord {
    int event;
    std::uint32_t value;
    std::uint32_t received;
};

// An unfragmented IPv4 packet with default header fields.
Ipv4Packet MakeIpv4(std::uint8_t protocol, const Bytes& payload, std::uint32_t src = kPeerIp,
                    std::uint32_t dst = kOurIp, std::uint16_t id = 0);
// A UDP datagram with a correct checksum, in an unfragmented IPv4 packet.
Ipv4Packet MakeUdp(std::uint16_t srcPort, std::uint16_t dstPort, const Bytes& payload,
                   std::uint32_t src = kPeerIp, std::uint32_t dst = kOurIp, std::uint16_t id = 0);

// One call of an application's TnSockEventFn.
struct SockEventRecord {
    std::uintptr_t context;
    int event;
    void* data;
    Bytes bytes;  // copy of the received data for TNSOCK_EVENT_DATA
    std::uint32_t a;
    std::uint32_t b;
    std::uint32_t c;
};

// An application callback that records every call in VirtualHost::sockEvents and returns 0.
std::uintptr_t RecordSockEvent(std::uintptr_t appContext, int event, void* data, std::uint32_t a,
                               std::uint32_t b, std::uint32_t c);

// The one virtual host of the process (the stack is a single instance, so is its host): the
// shared fake host with sinks that record everything.
class VirtualHost {
  public:
    static VirtualHost& Get();

    // Forgets frames, logs and events, stops every timer and sets the clock to `start`.
    void Reset(std::uint64_t start = 1'000'000);

    std::uint64_t Now() const { return fakehost::FakeHost::Get().Now(); }
    // Moves the clock forward by `ms`, running each timer at its own deadline, in order. Timers
    // that keep firing without time advancing are reported to `onFault` (set by the test
    // harness; without one the process aborts).
    void Advance(std::uint64_t ms);
    // Runs timers that are due at the current time.
    void RunDue();

    // A configuration with every host callback set and static addressing (kOurIp/kMask,
    // gateway kGatewayIp, DNS 0.0.0.0). The texts are constants.
    static TnSockConfig Config();

    // Values the `random` callback returns, in order; 0 once they run out.
    std::deque<int> randomValues;

    std::deque<Bytes> sent;  // frames handed to sendFrame, oldest first
    std::vector<std::string> logs;
    std::vector<StatusRecord> status;
    std::vector<PingRecord> pings;
    std::vector<SockEventRecord> sockEvents;  // calls of RecordSockEvent

    platform::TimerPool& timers = fakehost::FakeHost::Get().timers;

    void (*onFault)(const char* what) = nullptr;

  private:
    VirtualHost() { Reset(0); }
};

}  // namespace tarnet::test
