// The scripted-peer harness: a GoogleTest fixture that starts the stack on the recording host
// (support/virtual_host.h: a virtual millisecond clock, captured frames and events). Tests
// inject frames, advance the clock and decode what came out, and the fixture checks afterwards
// that the stack gave back everything the test made it take.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "frames.h"
#include "tarnet/tnsock.h"
#include "virtual_host.h"

namespace tarnet::test {

// Fixture for every test that drives the stack. TearDown shuts the stack down and checks that no
// timer, endpoint, TCP block, frame buffer, reassembly entry, DNS lookup or DHCP client outlived
// it.
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
