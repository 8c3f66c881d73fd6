// UDP: checksum verification on input (none, right, wrong, broadcast, the all-ones form),
// length checks, the header we send, and datagrams for DHCP while we have no address.
#include "harness.h"
#include "needs_size.h"

namespace tarnet::test {
namespace {

using Checksum = UdpDatagram::Checksum;

class UdpTest : public StackTest {
  protected:
    void SetUp() override {
        StackTest::SetUp();
        ASSERT_EQ(Start(), TNSOCK_SUCCESS);
        LearnPeer();
        endpoint = OpenUdp(2000);
    }

    // Injects a datagram to port 2000 built by the caller's rules.
    void Inject(const UdpDatagram& udp, std::uint32_t dst = kOurIp, const Mac& mac = kOurMac) {
        InjectIp(MakeIpv4(17, udp.Build(kPeerIp, dst), kPeerIp, dst), kPeerMac, mac);
    }
    using StackTest::Inject;

    static UdpDatagram Datagram(const Bytes& payload, Checksum checksum = Checksum::kCorrect) {
        UdpDatagram d;
        d.srcPort  = 5353;
        d.dstPort  = 2000;
        d.payload  = payload;
        d.checksum = checksum;
        return d;
    }

    std::vector<SockEventRecord>& Events() { return host().sockEvents; }

    TnSockEndpoint* endpoint = nullptr;
};

TEST_F(UdpTest, ChecksumIsVerifiedOnlyWhenPresent) {
    TARNET_NEEDS_SIZE(TARNET_REASSEMBLY_MAX, 3008);
    Inject(Datagram(Text("no checksum"), Checksum::kNone));
    Inject(Datagram(Text("right")));
    Inject(Datagram(Text("wrong"), Checksum::kWrong));
    ASSERT_EQ(Events().size(), 2u);
    EXPECT_EQ(Events()[0].bytes, Text("no checksum"));
    EXPECT_EQ(Events()[1].bytes, Text("right"));
    EXPECT_EQ(Events()[1].b, 5353u);
    EXPECT_EQ(Events()[1].c, kPeerIp);

    // To the limited broadcast: the checksum must be right for that address.
    Inject(Datagram(Text("to all")), 0xFFFFFFFF, kBroadcast);
    ASSERT_EQ(Events().size(), 3u);
    InjectIp(MakeIpv4(17, Datagram(Text("to all")).Build(kPeerIp, kOurIp), kPeerIp, 0xFFFFFFFF),
             kPeerMac, kBroadcast);
    EXPECT_EQ(Events().size(), 3u);

    // Over a reassembled datagram, the checksum covers the whole of it.
    for (const Ipv4Packet& f : Fragment(MakeUdp(5353, 2000, Pattern(3000)), 1480)) {
        InjectIp(f);
    }
    ASSERT_EQ(Events().size(), 4u);
    EXPECT_EQ(Events()[3].bytes, Pattern(3000));
}

TEST_F(UdpTest, ComputedZeroTravelsAsAllOnes) {
    // Two payload bytes chosen so that the checksum computes to zero (RFC 768: sent as FFFF).
    UdpDatagram d            = Datagram(Bytes{0, 0, 'z'}, Checksum::kNone);
    const std::uint16_t fill = PseudoChecksum(kPeerIp, kOurIp, 17, d.Build(kPeerIp, kOurIp));
    d.payload[0]             = static_cast<std::uint8_t>(fill >> 8);
    d.payload[1]             = static_cast<std::uint8_t>(fill);
    d.checksum               = Checksum::kCorrect;
    const Bytes bytes        = d.Build(kPeerIp, kOurIp);
    ASSERT_EQ(bytes[6] & bytes[7], 0xFF);
    Inject(d);
    ASSERT_EQ(Events().size(), 1u);
    EXPECT_EQ(Events()[0].bytes, d.payload);
}

TEST_F(UdpTest, LengthFieldIsChecked) {
    Inject(Datagram({}));  // no payload: never delivered
    for (std::uint16_t field : {std::uint16_t{7}, std::uint16_t{8}, std::uint16_t{8 + 4}}) {
        // Below the header; header only (the IPv4 payload goes on); beyond the datagram.
        for (Checksum checksum : {Checksum::kCorrect, Checksum::kNone}) {
            UdpDatagram d = Datagram(Text("abc"), checksum);
            d.lengthField = field;
            Inject(d);
        }
    }
    EXPECT_TRUE(Events().empty());

    // A length field shorter than the IPv4 payload (RFC 768): the datagram, its checksum included,
    // ends where the field says; the bytes after it are not part of it.
    for (Checksum checksum : {Checksum::kCorrect, Checksum::kNone}) {
        Bytes shorter = Datagram(Text("abcd"), checksum).Build(kPeerIp, kOurIp);
        shorter.insert(shorter.end(), {'e', 'f'});
        InjectIp(MakeIpv4(17, shorter));
    }
    ASSERT_EQ(Events().size(), 2u);
    EXPECT_EQ(Events()[0].bytes, Text("abcd"));
    EXPECT_EQ(Events()[1].bytes, Text("abcd"));
}

// RFC 1122 4.1.3.4: every datagram we send is checksummed (Decode verifies a nonzero one), over
// the pseudo-header of the source IPv4 writes, 0.0.0.0 while unaddressed included.
TEST_F(UdpTest, EveryDatagramWeSendIsChecksummed) {
    for (std::uint32_t length : {1u, 7u, 1368u}) {
        const Bytes data = Pattern(length, length);
        ASSERT_EQ(TnSockUdpSendto(endpoint, kPeerIp, 53, data.data(), length), TNSOCK_SUCCESS);
        ASSERT_EQ(host().sent.size(), 1u);
        const Bytes frame = host().sent.front();
        EXPECT_EQ((frame[38] << 8) | frame[39], static_cast<int>(length + 8));  // length
        const Decoded d = NextSent();
        ASSERT_TRUE(d.udp.has_value());
        EXPECT_NE(d.udp->sentChecksum, 0);
        EXPECT_EQ(d.udp->srcPort, 2000);
        EXPECT_EQ(d.udp->dstPort, 53);
        EXPECT_EQ(d.udp->payload, data);
    }
    // Fragmented: the header in the first fragment covers the whole datagram.
    const Bytes data = Pattern(1500);
    ASSERT_EQ(TnSockUdpSendto(endpoint, kPeerIp, 53, data.data(), 1500), TNSOCK_SUCCESS);
    std::vector<Ipv4Packet> fragments;
    for (const Bytes& frame : TakeSent()) {
        fragments.push_back(*Decode(frame).value().ip);
    }
    const auto whole = Reassemble(fragments);
    ASSERT_TRUE(whole.has_value());
    const auto udp = UdpDatagram::Parse(whole->payload, kOurIp, kPeerIp);
    ASSERT_TRUE(udp.has_value());
    EXPECT_NE(udp->sentChecksum, 0);
    EXPECT_EQ(udp->payload, data);

    // A checksum that computes to zero travels as all ones (RFC 768). Two payload bytes make it
    // so: they add the complement of what the rest sums to.
    Bytes zero{0, 0, 'z'};
    UdpDatagram probe;
    probe.srcPort            = 2000;
    probe.dstPort            = 53;
    probe.payload            = zero;
    probe.checksum           = Checksum::kNone;
    const std::uint16_t fill = PseudoChecksum(kOurIp, kPeerIp, 17, probe.Build(kOurIp, kPeerIp));
    zero[0]                  = static_cast<std::uint8_t>(fill >> 8);
    zero[1]                  = static_cast<std::uint8_t>(fill);
    ASSERT_EQ(TnSockUdpSendto(endpoint, kPeerIp, 53, zero.data(), 3), TNSOCK_SUCCESS);
    const Decoded allOnes = NextSent();
    ASSERT_TRUE(allOnes.udp.has_value());
    EXPECT_EQ(allOnes.udp->sentChecksum, 0xFFFF);

    // While unaddressed (DHCP), the pseudo-header carries source 0.0.0.0.
    TnSockDeinit();
    config.localIp = "0.0.0.0";
    ASSERT_EQ(Start(), TNSOCK_SUCCESS);
    TnSockEndpoint* unaddressed = OpenUdp(68);
    ASSERT_EQ(TnSockUdpSendto(unaddressed, 0xFFFFFFFF, 67, data.data(), 300), TNSOCK_SUCCESS);
    const Decoded dhcp = NextSent();
    ASSERT_TRUE(dhcp.udp.has_value());
    EXPECT_EQ(dhcp.ip->src, 0u);
    EXPECT_NE(dhcp.udp->sentChecksum, 0);
}

// A DHCP server may answer by unicast to the address it offers, at our MAC (RFC 2131 4.1):
// while we have no address, exactly those datagrams are taken beside broadcasts.
TEST_F(UdpTest, DhcpReplyByUnicastWhileUnaddressed) {
    const std::uint32_t offered = Ip(192, 0, 2, 123);
    const auto offer            = [&](std::uint16_t port, const Mac& mac, bool fragmented) {
        const Ipv4Packet p = MakeUdp(67, port, Text("offer"), kPeerIp, offered, 0x6767);
        for (const Ipv4Packet& f : fragmented ? Fragment(p, 8) : std::vector<Ipv4Packet>{p}) {
            InjectIp(f, kPeerMac, mac);
        }
    };
    TnSockEndpoint* client = OpenUdp(68);
    offer(68, kOurMac, false);  // with an address, another address is not ours
    EXPECT_TRUE(Events().empty());
    TnSockClose(client);

    TnSockDeinit();
    config.localIp = "0.0.0.0";
    ASSERT_EQ(Start(), TNSOCK_SUCCESS);
    OpenUdp(68);
    OpenUdp(69);
    offer(68, kOurMac, false);
    ASSERT_EQ(Events().size(), 1u);
    EXPECT_EQ(Events()[0].bytes, Text("offer"));
    offer(69, kOurMac, false);     // another port
    offer(68, kBroadcast, false);  // not sent to our MAC
    offer(68, kOtherMac, false);
    offer(68, kOurMac, true);  // fragmented
    // 0.0.0.0 is nobody's address, also while it is ours.
    InjectIp(MakeUdp(67, 68, Text("to nobody"), kPeerIp, 0));
    EXPECT_EQ(Events().size(), 1u);
    Advance(3000);
}

}  // namespace
}  // namespace tarnet::test
