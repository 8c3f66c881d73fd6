// The scripted-peer harness: a virtual millisecond clock with the host's timer pool on it,
// captured output frames, and a GoogleTest fixture that starts the stack with host callbacks
// that record everything. Tests inject frames, advance the clock and decode what came out.
// No real time passes and nothing touches a network.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "fake_host.h"
#include "frames.h"
#include "tarnet/tndhcp.h"
#include "tarnet/tnsock.h"
#include "timer_pool.h"

namespace tarnet::test {

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

// The one virtual host of the test process (the stack is a single instance, so is its host): the
// shared fake host with sinks that record everything.
class VirtualHost {
  public:
    static VirtualHost& Get();

    // Forgets frames, logs and events, stops every timer and sets the clock to `start`.
    void Reset(std::uint64_t start = 1'000'000);

    std::uint64_t Now() const { return fakehost::FakeHost::Get().Now(); }
    // Moves the clock forward by `ms`, running each timer at its own deadline, in order.
    void Advance(std::uint64_t ms);
    // Runs timers that are due at the current time.
    void RunDue();

    // A configuration with every host callback set and static addressing (kOurIp/kMask,
    // gateway kGatewayIp, DNS 0.0.0.0). Texts live in the host.
    TnSockConfig Config();

    // Values the `random` callback returns, in order; 0 once they run out.
    std::deque<int> randomValues;

    std::deque<Bytes> sent;  // frames handed to sendFrame, oldest first
    std::vector<std::string> logs;
    std::vector<StatusRecord> status;
    std::vector<PingRecord> pings;
    std::vector<SockEventRecord> sockEvents;  // calls of RecordSockEvent

    platform::TimerPool& timers = fakehost::FakeHost::Get().timers;

  private:
    VirtualHost() { Reset(0); }
};

// Fixture for every test that drives the stack. TearDown shuts the stack down and checks that no
// timer is left running.
class StackTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    VirtualHost& host() { return VirtualHost::Get(); }

    // TnSockInit with `config` (prepared by SetUp from VirtualHost::Config()).
    int Start();

    void Advance(std::uint64_t ms) { host().Advance(ms); }

    // Hands a copy of the frame to the stack's Ethernet input and ends the host's batch
    // (TnSockEndOfInput), unless a batch is open.
    void Inject(const Bytes& frame);
    // Frames injected between these two form one batch, as a host loop reads them in one pass:
    // the end-of-batch call comes only at EndBatch().
    void BeginBatch();
    void EndBatch();
    void InjectIp(const Ipv4Packet& packet, const Mac& src = kPeerMac, const Mac& dst = kOurMac);
    void InjectUdp(std::uint16_t srcPort, std::uint16_t dstPort, const Bytes& payload,
                   std::uint32_t src = kPeerIp, std::uint32_t dst = kOurIp,
                   UdpDatagram::Checksum checksum = UdpDatagram::Checksum::kCorrect);
    void InjectTcp(const TcpSegment& segment, std::uint32_t src = kPeerIp,
                   std::uint32_t dst = kOurIp);

    // Teaches the stack the peer's MAC through an ARP request for our address and discards the
    // stack's reply, so that output to the peer goes out at once.
    void LearnPeer(std::uint32_t ip = kPeerIp, const Mac& mac = kPeerMac);

    // Opens a UDP endpoint whose events go to VirtualHost::sockEvents; fails the test and
    // returns null when the stack refuses.
    TnSockEndpoint* OpenUdp(std::uint16_t port, std::uintptr_t context = 1);

    // Takes the oldest captured frame, decoded; fails the test when there is none.
    Decoded NextSent();
    // Takes every captured frame.
    std::vector<Bytes> TakeSent();
    // Expects no frame within `ms` of virtual time.
    void ExpectNoTx(std::uint64_t ms = 0);

    TnSockConfig config{};
    bool started = false;

  private:
    bool inBatch_ = false;
};

}  // namespace tarnet::test
