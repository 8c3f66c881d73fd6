// Ethernet input: the length gate, demultiplexing by EtherType, and the destination filter that
// keeps other stations' traffic out of a promiscuous adapter.
#include <cstdint>
#include <functional>

#include "byte_view.h"
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

// Frames dropped for any reason, summed over the reasons.
std::uint32_t Drops() {
    TnSockCounters c{};
    TnSockGetCounters(&c);
    return c.dropChecksum + c.dropNotForUs + c.dropMalformed + c.dropUnknownProtocol +
           c.dropNoListener + c.dropOutOfWindow + c.dropNoMemory + c.dropReassemblyTimeout +
           c.dropReassemblyOverflow + c.dropArpQueueFull;
}

// One message per layer, and the frame that carries any prefix of it with every layer below
// built whole around the prefix: the innermost layer's view then ends where the frame's buffer
// ends, so a read past it trips the view's check or the sanitizer.
struct Truncation {
    const char* layer;
    Bytes message;
    std::function<Bytes(const Bytes&)> frame;
};

TEST_F(EthernetTest, EachLayerDropsItsTruncatedPacketUnread) {
    OpenUdp(2000);
    TcpSegment syn;  // to a closed port: answered with a reset
    syn.srcPort = 3000;
    syn.dstPort = 4000;
    syn.flags   = tcpflag::kSyn;
    syn.options = {2, 4, 0x05, 0xB4};
    UdpDatagram udp;  // to the open port
    udp.srcPort       = 5000;
    udp.dstPort       = 2000;
    udp.payload       = Text("hello");
    const auto inIpv4 = [](std::uint8_t protocol) {
        return [protocol](const Bytes& p) {
            return Ipv4Frame(kOurMac, kPeerMac, MakeIpv4(protocol, p));
        };
    };
    const Truncation cases[] = {
        {"ARP",                                                  ArpPacket{1, kPeerMac, kPeerIp, Mac{}, kOurIp}.Build(),
         [](const Bytes& p) {
             return EthFrame{.dst = kOurMac, .src = kPeerMac, .type = 0x0806, .payload = p}.Build();
         }                                                                                                               },
        {     "ICMP", IcmpEcho{8, 0, 7, 1, Text("abcdefgh"), false}.Build(),                                              inIpv4(1)},
        { "UDP",                                               udp.Build(kPeerIp,                                                                                           kOurIp), inIpv4(17)},
        { "TCP",                                               syn.Build(kPeerIp,                                                                                            kOurIp), inIpv4(6)},
    };
    for (const Truncation& c : cases) {
        SCOPED_TRACE(c.layer);
        // Whole, the message is answered (ARP, ICMP, a reset from TCP) or delivered (UDP).
        Inject(c.frame(c.message));
        EXPECT_FALSE(TakeSent().empty() && host().sockEvents.empty());
        host().sockEvents.clear();
        const std::uint32_t before = Drops();
        for (std::size_t n = 0; n < c.message.size(); ++n) {
            Inject(c.frame(Bytes(c.message.begin(), c.message.begin() + static_cast<long>(n))));
        }
        EXPECT_EQ(Drops() - before, c.message.size());  // each prefix dropped, and counted
        EXPECT_TRUE(TakeSent().empty());
        EXPECT_TRUE(host().sockEvents.empty());
    }
}

// A checked build stops at the first access outside a view, also where the bytes behind the view
// are in memory (the rest of the frame) and no memory checker would object.
TEST(ByteViewDeathTest, AccessOutsideTheViewStopsTheProgram) {
    if (!kCheckedViews) {
        GTEST_SKIP() << "built with NDEBUG: views are not checked";
    }
    static constexpr std::uint8_t kBytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const ByteView view(kBytes, 6);
    EXPECT_EQ(view.Read32(2), 0x03040506u);  // the last four bytes inside
    EXPECT_EQ(view.Sub(4, 2).Read16(0), 0x0506);
    const std::function<void()> outside[] = {
        [&] { view.Read8(6); },         [&] { view.Read16(5); }, [&] { view.Read32(3); },
        [&] { view.Bytes(2, 5); },      [&] { view.Sub(4, 3); }, [&] { view.Sub(2, 2).Read8(2); },
        [&] { view.Read16(SIZE_MAX); },  // an offset whose sum with the size wraps
    };
    for (const std::function<void()>& access : outside) {
        EXPECT_DEATH(access(), "");
    }
}

TEST_F(EthernetTest, FramesAfterShutdownAreIgnored) {
    TnSockDeinit();
    Inject(ArpForUs());
    Inject(EchoForUs());
    ExpectNoTx();
}

}  // namespace
}  // namespace tarnet::test
