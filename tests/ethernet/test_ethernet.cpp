// Ethernet input: the length gate, demultiplexing by EtherType, and the destination filter that
// keeps other stations' traffic out of a promiscuous adapter.
#include "harness.h"

namespace tarnet::test {
namespace {

Bytes ArpForUs(const Mac& dst = kBroadcast) {
    return ArpFrame(dst, kPeerMac, ArpPacket{1, kPeerMac, kPeerIp, Mac{}, kOurIp});
}

Bytes EchoForUs(const Mac& dst = kOurMac, std::uint32_t ipDst = kOurIp) {
    return Ipv4Frame(dst, kPeerMac,
                     MakeIpv4(1, IcmpEcho{8, 0, 7, 1, Text("abc"), false}.Build(), kPeerIp, ipDst));
}

class EthernetTest : public StackTest {
  protected:
    void SetUp() override {
        StackTest::SetUp();
        ASSERT_EQ(Start(), TNSOCK_SUCCESS);
        LearnPeer();
    }
};

TEST_F(EthernetTest, EtherTypeSelectsTheProtocol) {
    Inject(ArpForUs());
    EXPECT_TRUE(NextSent().arp.has_value());
    Inject(EchoForUs());
    EXPECT_TRUE(NextSent().icmp.has_value());
    // The same frames as IPv6, behind an 802.1Q tag, as 802.3 lengths, as RARP: dropped.
    for (Bytes frame : {ArpForUs(), EchoForUs()}) {
        for (int type : {0x86DD, 0x8100, 0x0040, 0x8035, 0x0000, 0xFFFF}) {
            frame[12] = static_cast<std::uint8_t>(type >> 8);
            frame[13] = static_cast<std::uint8_t>(type);
            Inject(frame);
        }
    }
    ExpectNoTx();
}

TEST_F(EthernetTest, OnlyBroadcastAndOurAddressAreAccepted) {
    for (const Mac& dst : {
             kOtherMac, kPeerMac, Mac{0x01, 0x00, 0x5E, 0x00, 0x00, 0x01}
    }) {
        Inject(EchoForUs(dst));
        Inject(ArpForUs(dst));
    }
    // A broadcast frame carries only IPv4 broadcasts: our unicast address in one is the sender's
    // mistake or a trick to make every station answer (RFC 1122 3.3.6).
    Inject(EchoForUs(kBroadcast));
    ExpectNoTx();
    Inject(EchoForUs(kBroadcast, 0xFFFFFFFF));
    EXPECT_TRUE(NextSent().icmp.has_value());
    Inject(ArpForUs(kOurMac));
    EXPECT_TRUE(NextSent().arp.has_value());
}

// Every prefix of valid frames, each in a buffer of exactly its size: the sanitizer build catches
// a read past the end. Only whole frames may be answered.
TEST_F(EthernetTest, ShortAndTruncatedFramesAreDropped) {
    Inject(Bytes{});  // null frame
    Ipv4Packet fragment    = MakeUdp(1, 2, Pattern(16));
    fragment.moreFragments = true;
    for (const Bytes& whole : {ArpForUs(), EchoForUs(), Ipv4Frame(kOurMac, kPeerMac, fragment)}) {
        for (std::size_t n = 1; n < whole.size(); ++n) {
            Inject(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n)));
        }
    }
    ExpectNoTx(3000);
}

TEST_F(EthernetTest, FramesAfterShutdownAreIgnored) {
    TnSockDeinit();
    Inject(ArpForUs());
    Inject(EchoForUs());
    ExpectNoTx();
}

}  // namespace
}  // namespace tarnet::test
