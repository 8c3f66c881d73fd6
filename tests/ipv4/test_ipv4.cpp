// IPv4 output (fragments, header fields, next hop, the ARP wait), input validation (lengths,
// options, invalid sources) and reassembly (RFC 815 holes, limits, timeout, duplicates, discards).
#include <algorithm>
#include <optional>
#include <random>

#include "arp.h"
#include "harness.h"
#include "ipv4.h"
#include "needs_size.h"
#include "tcp_internal.h"

namespace tarnet::test {
namespace {

constexpr std::uint32_t kNewIp = Ip(192, 0, 2, 77);  // on-link, not in the cache
const Mac kNewMac{0x02, 0x4E, 0x45, 0x57, 0x00, 0x01};

class Ipv4Test : public StackTest {
  protected:
    void SetUp() override {
        StackTest::SetUp();
        ASSERT_EQ(Start(), TNSOCK_SUCCESS);
        LearnPeer();
    }

    static int Send(std::uint32_t dst, const Bytes& data) {
        return Ipv4Output(dst, 17, data.data(), static_cast<std::uint32_t>(data.size()));
    }

    // Every captured frame, decoded down to IPv4.
    std::vector<Decoded> SentIp() {
        std::vector<Decoded> out;
        for (const Bytes& frame : TakeSent()) {
            const auto d = Decode(frame);
            EXPECT_TRUE(d && d->ip) << "not a valid IPv4 frame";
            if (d && d->ip) {
                out.push_back(*d);
            }
        }
        return out;
    }

    void ExpectArpRequest(std::uint32_t ip) {
        const Decoded d = NextSent();
        ASSERT_TRUE(d.arp.has_value()) << "expected an ARP request";
        EXPECT_EQ(d.arp->targetIp, ip);
    }

    void ArpReply(std::uint32_t ip, const Mac& mac) {
        Inject(ArpFrame(kOurMac, mac, ArpPacket{2, mac, ip, kOurMac, kOurIp}));
    }
};

// ---- Output ----------------------------------------------------------------------------------

TEST_F(Ipv4Test, UnfragmentedDatagramHeader) {
    const Bytes data = Pattern(1376);
    ASSERT_EQ(Send(kPeerIp, data), 1);
    ASSERT_EQ(host().sent.size(), 1u);
    EXPECT_EQ(host().sent.front().size(), 1410u);
    EXPECT_EQ(host().sent.front()[14], 0x45);
    const auto d = SentIp();
    ASSERT_EQ(d.size(), 1u);
    const Ipv4Packet& ip = *d[0].ip;
    EXPECT_EQ(d[0].eth.dst, kPeerMac);
    EXPECT_EQ(d[0].eth.src, kOurMac);
    EXPECT_EQ(ip.tos, 0);
    EXPECT_EQ(ip.ttl, 254);
    EXPECT_EQ(ip.protocol, 17);
    EXPECT_EQ(ip.src, kOurIp);
    EXPECT_EQ(ip.dst, kPeerIp);
    EXPECT_EQ(ip.id, 1) << "the first datagram carries identification 1";
    EXPECT_FALSE(ip.moreFragments || ip.dontFragment || ip.fragmentOffset != 0);
    EXPECT_EQ(ip.payload, data);
}

TEST_F(Ipv4Test, FragmentsOf1376Bytes) {
    TARNET_NEEDS_SIZE(TARNET_MAX_DATAGRAM, 65535);
    ASSERT_EQ(Send(kPeerIp, Pattern(1377)), 1);
    auto d = SentIp();
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0].ip->payload.size(), 1376u);
    EXPECT_TRUE(d[0].ip->moreFragments);
    EXPECT_EQ(d[1].ip->payload, Bytes{Pattern(1377)[1376]});
    EXPECT_FALSE(d[1].ip->moreFragments);
    EXPECT_EQ(d[1].ip->fragmentOffset, 172);
    EXPECT_EQ(d[0].ip->id, d[1].ip->id);

    // The largest datagram takes all 48 buffers; the pool is whole again afterwards.
    const Bytes big = Pattern(65515, 9);
    ASSERT_EQ(Send(kPeerIp, big), 1);
    d = SentIp();
    ASSERT_EQ(d.size(), 48u);
    std::vector<Ipv4Packet> fragments;
    for (const Decoded& f : d) {
        fragments.push_back(*f.ip);
    }
    EXPECT_EQ(Reassemble(fragments)->payload, big);
    ASSERT_EQ(Send(kPeerIp, Pattern(3000)), 1);
    EXPECT_EQ(SentIp().size(), 3u);

    // Refused: too long for a 16-bit total length, no destination, no data.
    EXPECT_EQ(Send(kPeerIp, Bytes(65516)), 0);
    EXPECT_EQ(Send(0, big), 0);
    EXPECT_EQ(Ipv4Output(kPeerIp, 17, nullptr, 10), 0);
    EXPECT_EQ(Ipv4Output(kPeerIp, 17, big.data(), 0), 0);
    ExpectNoTx(100);
}

TEST_F(Ipv4Test, IdentificationCountsDatagramsAndRestartsWithTheStack) {
    TARNET_NEEDS_SIZE(TARNET_MAX_DATAGRAM, 2020);
    for (std::uint16_t expected = 1; expected <= 3; ++expected) {
        ASSERT_EQ(Send(kPeerIp, Pattern(2000)), 1);
        for (const Decoded& d : SentIp()) {
            EXPECT_EQ(d.ip->id, expected);
        }
    }
    TnSockDeinit();
    ASSERT_EQ(Start(), TNSOCK_SUCCESS);
    LearnPeer();
    ASSERT_EQ(Send(kPeerIp, Pattern(10)), 1);
    EXPECT_EQ(SentIp().at(0).ip->id, 1);
}

TEST_F(Ipv4Test, NextHopIsTheGatewayOffLinkAndAnyAddressOnLink) {
    const Mac gatewayMac{0x02, 0x47, 0x57, 0x00, 0x00, 0x01};
    ASSERT_EQ(Send(Ip(198, 51, 100, 7), Text("far away")), 1);
    ExpectArpRequest(kGatewayIp);
    ArpReply(kGatewayIp, gatewayMac);
    Advance(50);
    const auto d = SentIp();
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].eth.dst, gatewayMac);
    EXPECT_EQ(d[0].ip->dst, Ip(198, 51, 100, 7));

    // The subnet broadcast address has no special case: ARP is asked, twice, in vain.
    ASSERT_EQ(Send(Ip(192, 0, 2, 255), Text("all of you")), 1);
    ExpectArpRequest(Ip(192, 0, 2, 255));
    Advance(50);
    ExpectArpRequest(Ip(192, 0, 2, 255));
    ExpectNoTx(1000);
}

TEST_F(Ipv4Test, LimitedBroadcastNeedsNoArp) {
    TnSockDeinit();
    config.localIp = "0.0.0.0";  // as while DHCP runs
    ASSERT_EQ(Start(), TNSOCK_SUCCESS);
    ASSERT_EQ(Send(0xFFFFFFFF, Text("anyone")), 1);
    const auto d = SentIp();
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].eth.dst, kBroadcast);
    EXPECT_EQ(d[0].ip->dst, 0xFFFFFFFFu);
    EXPECT_EQ(d[0].ip->src, 0u);
}

TEST_F(Ipv4Test, DatagramWaitingForArpLeavesWhenTheAnswerArrives) {
    TARNET_NEEDS_SIZE(TARNET_MAX_DATAGRAM, 3020);
    ASSERT_EQ(Send(kNewIp, Pattern(3000)), 1);
    ExpectArpRequest(kNewIp);
    Advance(20);
    ArpReply(kNewIp, kNewMac);
    const auto d = SentIp();  // at once, not at the end of the 50 ms wait
    ASSERT_EQ(d.size(), 3u);
    for (const Decoded& f : d) {
        EXPECT_EQ(f.eth.dst, kNewMac);
        EXPECT_EQ(f.ip->id, 1);
    }
    EXPECT_EQ(host().timers.ActiveCount(), 0u) << "the wait was not cancelled";
    ExpectNoTx(1000);  // sent once
}

TEST_F(Ipv4Test, UnansweredArpIsRetriedOnceAndALateAnswerStillSendsTheDatagram) {
    ASSERT_EQ(Send(kNewIp, Text("first")), 1);
    ExpectArpRequest(kNewIp);
    Advance(50);
    ExpectArpRequest(kNewIp);
    ExpectNoTx(1000);  // no further retry
    ArpReply(kNewIp, kNewMac);
    EXPECT_EQ(SentIp().at(0).ip->payload, Text("first"));
    ExpectNoTx(100);
}

TEST_F(Ipv4Test, SourceAddressIsTheOneWhenTheDatagramWasSent) {
    // A datagram that waits for ARP while our address goes away (a DHCP release, say) still
    // leaves from the address it was sent with, and the answer to our request is still taken.
    ASSERT_EQ(Send(kNewIp, Text("bye")), 1);
    ExpectArpRequest(kNewIp);
    Ipv4Reconfigure(0, 0, 0, 0);
    const std::uint32_t none = 0;
    ArpSetAddress(&none);
    ArpReply(kNewIp, kNewMac);  // its target, kOurIp, is no longer our address
    const auto d = SentIp();
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].ip->src, kOurIp);
    EXPECT_EQ(d[0].eth.dst, kNewMac);
}

TEST_F(Ipv4Test, ANewDatagramReplacesTheOneWaitingForArp) {
    ASSERT_EQ(Send(kNewIp, Text("first")), 1);
    ExpectArpRequest(kNewIp);
    Advance(30);
    ASSERT_EQ(Send(kNewIp, Text("second")), 1);
    ExpectArpRequest(kNewIp);
    ArpReply(kNewIp, kNewMac);
    auto d = SentIp();
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].ip->payload, Text("second"));
    ExpectNoTx(1000);

    // A datagram that can go at once also drops the waiting one.
    ASSERT_EQ(Send(Ip(192, 0, 2, 78), Text("stuck")), 1);
    ExpectArpRequest(Ip(192, 0, 2, 78));
    ASSERT_EQ(Send(kPeerIp, Text("direct")), 1);
    EXPECT_EQ(SentIp().at(0).ip->payload, Text("direct"));
    EXPECT_EQ(host().timers.ActiveCount(), 0u);
}

// ---- Reports of datagrams handed to the link -------------------------------------------------

std::vector<TnSockDiagnostic> g_sent;

void RecordSent(std::uintptr_t, const TnSockDiagnostic* d) {
    if (d->kind == TNSOCK_DIAG_DATAGRAM_SENT) {
        g_sent.push_back(*d);
    }
}

class SentReportTest : public Ipv4Test {
  protected:
    void SetUp() override {
        Ipv4Test::SetUp();
        g_sent.clear();
        TnSockSetDiagnostics(RecordSent, 0);
    }
    void TearDown() override {
        TnSockSetDiagnostics(nullptr, 0);
        Ipv4Test::TearDown();
    }
};

// A transport message of `length` bytes that starts with the two ports.
Bytes WithPorts(std::uint16_t source, std::uint16_t destination, std::size_t length) {
    Bytes b = Pattern(length);
    b[0]    = static_cast<std::uint8_t>(source >> 8);
    b[1]    = static_cast<std::uint8_t>(source);
    b[2]    = static_cast<std::uint8_t>(destination >> 8);
    b[3]    = static_cast<std::uint8_t>(destination);
    return b;
}

TEST_F(SentReportTest, EachDatagramIsReportedOnceAfterItsLastFragment) {
    TARNET_NEEDS_SIZE(TARNET_MAX_DATAGRAM, 3020);
    struct Case {
        const char* what;
        std::uint8_t protocol;
        Bytes message;
        std::uint16_t localPort;
        std::uint16_t remotePort;
        std::size_t frames;
    };
    const Case cases[] = {
        {"udp",  17,                                          WithPorts(1234,                                    53,    20),                                                                                              1234,53, 1},
        {"udp in three fragments",     17,                                                WithPorts(40000,                                                                          7,                                                                         3000),                                                                                                           40000,7, 3},
        {"tcp", 6,                                           WithPorts(50000,                                                                                           80,                                                                                                20),                                                                                  50000,                                                 80, 1},
        {"echo request",    1,                                            IcmpEcho{8, 0, 0x1234, 9, Text("x")}.Build(),0x1234,9,1},
        {"echo reply",  1,IcmpEcho{0, 0, 0x1234, 9, Text("x")}.Build(),    0,                                                                                                       0,                                                                                                                                                                                                                                                                                       1                                                                                                                                                                                                                                                                                                                                                                                                                       },
    };
    for (const Case& c : cases) {
        ASSERT_EQ(Ipv4Output(kPeerIp, c.protocol, c.message.data(),
                             static_cast<std::uint32_t>(c.message.size())),
                  1);
        EXPECT_EQ(TakeSent().size(), c.frames) << c.what;
        ASSERT_EQ(g_sent.size(), 1u) << c.what;
        EXPECT_EQ(g_sent[0].protocol, c.protocol) << c.what;
        EXPECT_EQ(g_sent[0].localAddress, kOurIp) << c.what;
        EXPECT_EQ(g_sent[0].remoteAddress, kPeerIp) << c.what;
        EXPECT_EQ(g_sent[0].localPort, c.localPort) << c.what;
        EXPECT_EQ(g_sent[0].remotePort, c.remotePort) << c.what;
        g_sent.clear();
    }
}

TEST_F(SentReportTest, DatagramWaitingForArpIsReportedWhenItLeavesNotWhenReplaced) {
    ASSERT_EQ(Ipv4Output(kNewIp, 17, WithPorts(1, 2, 8).data(), 8), 1);
    ExpectArpRequest(kNewIp);
    ASSERT_EQ(Ipv4Output(kNewIp, 17, WithPorts(3, 4, 8).data(), 8), 1);  // replaces it
    ExpectArpRequest(kNewIp);
    Advance(50);
    ExpectArpRequest(kNewIp);
    EXPECT_TRUE(g_sent.empty());
    ArpReply(kNewIp, kNewMac);
    EXPECT_EQ(SentIp().size(), 1u);
    ASSERT_EQ(g_sent.size(), 1u);
    EXPECT_EQ(g_sent[0].remoteAddress, kNewIp);
    EXPECT_EQ(g_sent[0].localPort, 3);
    ExpectNoTx(1000);
    EXPECT_EQ(g_sent.size(), 1u);
}

// ---- Input -----------------------------------------------------------------------------------

class Ipv4InputTest : public Ipv4Test {
  protected:
    void SetUp() override {
        Ipv4Test::SetUp();
        OpenUdp(2000);
    }

    static Ipv4Packet Udp(const Bytes& payload, std::uint32_t dst = kOurIp,
                          std::uint32_t src = kPeerIp, std::uint16_t id = 0x1234) {
        return MakeUdp(5555, 2000, payload, src, dst, id);
    }

    std::size_t Delivered() const { return VirtualHost::Get().sockEvents.size(); }
    const Bytes& Last() const { return VirtualHost::Get().sockEvents.back().bytes; }
};

TEST_F(Ipv4InputTest, AcceptsOurAddressAndTheLimitedBroadcast) {
    InjectIp(Udp(Text("to us")));
    InjectIp(Udp(Text("to all"), 0xFFFFFFFF), kPeerMac, kBroadcast);
    ASSERT_EQ(Delivered(), 2u);
    EXPECT_EQ(Last(), Text("to all"));
    InjectIp(Udp(Text("to another host"), Ip(192, 0, 2, 99)));
    InjectIp(Udp(Text("to the subnet"), Ip(192, 0, 2, 255)), kPeerMac, kBroadcast);
    // RFC 1122 3.2.1.3: the limited broadcast address is never a source.
    InjectIp(Udp(Text("forged source"), kOurIp, 0xFFFFFFFF));
    EXPECT_EQ(Delivered(), 2u);
}

TEST_F(Ipv4InputTest, TotalLengthIsCheckedAgainstTheFrameAndTheLimit) {
    TARNET_NEEDS_SIZE(TARNET_REASSEMBLY_MAX, 4096);
    Ipv4Packet p = Udp(Text("abcdef"));
    for (std::uint16_t wrong : {std::uint16_t{20 + 14 + 1}, std::uint16_t{20}, std::uint16_t{19}}) {
        p.totalLength = wrong;  // longer than the frame; header only; shorter than a header
        InjectIp(p);
    }
    InjectIp(MakeIpv4(17, {}));  // a bare header
    EXPECT_EQ(Delivered(), 0u);
    // 4096 bytes of payload in one frame are taken, one more is not.
    InjectIp(Udp(Pattern(4096 - 8)));
    ASSERT_EQ(Delivered(), 1u);
    EXPECT_EQ(Last().size(), 4088u);
    InjectIp(Udp(Pattern(4096 - 7)));
    EXPECT_EQ(Delivered(), 1u);

    // Ethernet padding beyond the total length is ignored, also by the UDP checksum.
    Bytes padded = Ipv4Frame(kOurMac, kPeerMac, Udp(Text("x")));
    padded.resize(60, 0xCC);
    Inject(padded);
    ASSERT_EQ(Delivered(), 2u);
    EXPECT_EQ(Last(), Text("x"));
}

TEST_F(Ipv4InputTest, HeaderMustBeVersionFourAndChecksummed) {
    for (std::uint8_t first : {std::uint8_t{0x65}, std::uint8_t{0x44}, std::uint8_t{0x05}}) {
        Ipv4Packet p = Udp(Text("version"));
        p.versionIhl = first;
        InjectIp(p);
    }
    Ipv4Packet bad  = Udp(Text("checksum"));
    bad.badChecksum = true;
    InjectIp(bad);
    EXPECT_EQ(Delivered(), 0u);
}

// `packet` in a frame with `options` after its fixed header: IHL, total length and the header
// checksum (over IHL x 4 bytes, as far as the frame holds them) made to match unless overridden.
Bytes WithOptions(const Ipv4Packet& packet, const Bytes& options,
                  std::optional<std::uint8_t> ihl    = std::nullopt,
                  std::optional<std::uint16_t> total = std::nullopt) {
    Bytes frame = Ipv4Frame(kOurMac, kPeerMac, packet);
    frame.insert(frame.begin() + 34, options.begin(), options.end());
    frame[14] = ihl.value_or(static_cast<std::uint8_t>(0x40 | (5 + options.size() / 4)));
    const std::uint16_t length  = total.value_or(static_cast<std::uint16_t>(frame.size() - 14));
    frame[16]                   = static_cast<std::uint8_t>(length >> 8);
    frame[17]                   = static_cast<std::uint8_t>(length);
    frame[24]                   = 0;
    frame[25]                   = 0;
    const std::size_t headerLen = std::min<std::size_t>((frame[14] & 0x0Fu) * 4, frame.size() - 14);
    const std::uint16_t sum     = FoldInvert(SumWords(frame.data() + 14, headerLen));
    frame[24]                   = static_cast<std::uint8_t>(sum >> 8);
    frame[25]                   = static_cast<std::uint8_t>(sum);
    return frame;
}

// Record route with room for `slots` addresses (what ping -R sends), then end-of-list padding.
Bytes RecordRoute(std::size_t slots) {
    Bytes o{7, static_cast<std::uint8_t>(3 + 4 * slots), 4};
    o.resize(3 + 4 * slots, 0);
    o.resize((o.size() + 3) / 4 * 4, 0);
    return o;
}

// RFC 1122 3.2.1.8: options are ignored and the payload goes up behind a plain 20-byte header
// (the UDP checksum reads its pseudo-header from there; an echo is answered without options).
TEST_F(Ipv4InputTest, OptionsAreIgnored) {
    TARNET_NEEDS_SIZE(TARNET_REASSEMBLY_MAX, 2008);
    const Bytes cases[] = {
        Bytes{1, 1, 1, 0},
        RecordRoute(1), RecordRoute(9), Bytes(40, 1)
    };
    for (const Bytes& options : cases) {
        Inject(WithOptions(Udp(Text("with options")), options));
        ASSERT_EQ(Delivered(), 1u) << options.size() << " option bytes";
        EXPECT_EQ(Last(), Text("with options"));
        VirtualHost::Get().sockEvents.clear();

        Inject(
            WithOptions(MakeIpv4(1, IcmpEcho{8, 0, 3, 4, Text("route"), false}.Build()), options));
        const Decoded reply = NextSent();
        ASSERT_TRUE(reply.icmp.has_value());
        EXPECT_EQ(reply.icmp->data, Text("route"));
        EXPECT_EQ(host().sent.size(), 0u);
    }
    // Fragments with options, in reverse order: each loses its options before reassembly.
    auto fragments = Fragment(Udp(Pattern(2000), kOurIp, kPeerIp, 77), 1024);
    std::reverse(fragments.begin(), fragments.end());
    for (const Ipv4Packet& f : fragments) {
        Inject(WithOptions(f, RecordRoute(9)));
    }
    ASSERT_EQ(Delivered(), 1u);
    EXPECT_EQ(Last(), Pattern(2000));
}

TEST_F(Ipv4InputTest, MalformedHeaderLengthsAreDropped) {
    const Ipv4Packet p = Udp(Text("abcdefgh"));  // 16 bytes of UDP
    const struct {
        const char* what;
        std::size_t optionBytes;
        std::uint8_t versionIhl;
        std::uint16_t totalLength;  // 0: as the frame has it
    } cases[] = {
        {"IHL 4",                          0,  0x44, 0 },
        {"IHL 0",                          0,  0x40, 0 },
        {"header as long as the datagram", 16, 0x49, 36},
        {"IHL beyond the total length",    0,  0x4F, 0 },
        {"total length inside options",    8,  0x47, 24},
    };
    for (const auto& c : cases) {
        Inject(WithOptions(p, Bytes(c.optionBytes, 1), c.versionIhl,
                           c.totalLength != 0 ? std::optional{c.totalLength} : std::nullopt));
        EXPECT_EQ(Delivered(), 0u) << c.what;
    }
    Bytes unchecked = WithOptions(p, Bytes{1, 1, 1, 0});
    unchecked[37] ^= 1;  // an option byte: the checksum covers IHL x 4 bytes
    Inject(unchecked);
    EXPECT_EQ(Delivered(), 0u);
}

// RFC 1122 3.2.1.3: sources that do not name one other host. Nothing is answered, delivered or
// given a TCP slot.
TEST_F(Ipv4InputTest, InvalidSourcesAreDiscarded) {
    static int incoming        = 0;  // connections the listener was offered
    incoming                   = 0;
    const TnSockEventFn accept = [](std::uintptr_t, int event, void*, std::uint32_t, std::uint32_t,
                                    std::uint32_t) -> std::uintptr_t {
        incoming += event == TNSOCK_EVENT_INCOMING ? 1 : 0;
        return 9;
    };
    TnSockEndpoint* listener = nullptr;
    ASSERT_EQ(TnSockTcpListen(80, 3, accept, &listener), TNSOCK_SUCCESS);
    const auto probe = [&](std::uint32_t src) {
        InjectIp(MakeIpv4(1, IcmpEcho{8, 0, 1, 1, Text("ping"), false}.Build(), src));
        InjectIp(Udp(Text("udp"), kOurIp, src));
        TcpSegment syn;
        syn.srcPort = 4000;
        syn.dstPort = 80;
        syn.seq     = 1000;
        syn.flags   = tcpflag::kSyn;
        syn.window  = 8192;
        InjectTcp(syn, src);
    };
    const std::uint32_t invalid[] = {0,
                                     Ip(127, 0, 0, 1),
                                     Ip(127, 9, 8, 7),
                                     Ip(224, 0, 0, 1),
                                     Ip(239, 255, 255, 250),
                                     Ip(240, 0, 0, 1),
                                     0xFFFFFFFF,
                                     Ip(192, 0, 2, 255),  // our subnet's broadcast
                                     kOurIp};
    for (std::uint32_t src : invalid) {
        probe(src);
        EXPECT_TRUE(host().sent.empty()) << std::hex << src;
        EXPECT_EQ(Delivered(), 0u) << std::hex << src;
        EXPECT_EQ(TcpState().activeList.first, nullptr) << std::hex << src;
        EXPECT_EQ(incoming, 0) << std::hex << src;
        host().sent.clear();
    }
    probe(kPeerIp);  // the same from a neighbour: echo reply, datagram, SYN-ACK
    EXPECT_EQ(host().sent.size(), 2u);
    EXPECT_EQ(Delivered(), 1u);
    EXPECT_NE(TcpState().activeList.first, nullptr);
    EXPECT_EQ(incoming, 1);
    host().sent.clear();

    // A /31 has no broadcast address (RFC 3021): the other end's address is a source.
    Ipv4Reconfigure(kOurIp, 1, kGatewayIp, Ip(255, 255, 255, 254));
    InjectIp(Udp(Text("other end"), kOurIp, Ip(192, 0, 2, 11)));
    EXPECT_EQ(Delivered(), 2u);
}

// ---- Reassembly ------------------------------------------------------------------------------

class ReassemblyTest : public Ipv4InputTest {
  protected:
    // A checksummed UDP datagram of `size` payload bytes (pattern seeded by `id`) in fragments.
    static std::vector<Ipv4Packet> Fragments(std::size_t size, std::size_t chunk, std::uint16_t id,
                                             std::uint32_t src = kPeerIp) {
        return Fragment(Udp(Pattern(size, id), kOurIp, src, id), chunk);
    }

    // Bytes [from, from + size) of the datagram Fragments(total, ..., id) cuts, as one fragment.
    static Ipv4Packet Piece(std::size_t total, std::uint16_t id, std::size_t from, std::size_t size,
                            bool more) {
        Ipv4Packet p     = Udp(Pattern(total, id), kOurIp, kPeerIp, id);
        p.payload        = Bytes(p.payload.begin() + static_cast<std::ptrdiff_t>(from),
                                 p.payload.begin() + static_cast<std::ptrdiff_t>(from + size));
        p.fragmentOffset = static_cast<std::uint16_t>(from / 8);
        p.moreFragments  = more;
        return p;
    }

    void InjectAll(const std::vector<Ipv4Packet>& fragments) {
        for (const Ipv4Packet& f : fragments) {
            InjectIp(f);
        }
    }

    void ExpectDelivered(std::size_t size, std::uint16_t id) {
        ASSERT_EQ(Delivered(), 1u);
        EXPECT_EQ(Last(), Pattern(size, id));
        VirtualHost::Get().sockEvents.clear();
    }

    std::size_t Entries() const { return VirtualHost::Get().timers.ActiveCount(); }
};

TEST_F(ReassemblyTest, FragmentsInAnyOrder) {
    TARNET_NEEDS_SIZE(TARNET_REASSEMBLY_MAX, 4096);
    auto three = Fragments(2500, 1024, 1);
    ASSERT_EQ(three.size(), 3u);
    InjectAll(three);
    ExpectDelivered(2500, 1);
    std::reverse(three.begin(), three.end());
    InjectAll(three);
    ExpectDelivered(2500, 1);

    // 4096 bytes of UDP, the most there is room for: shuffled, and in 8-byte pieces.
    std::mt19937 random(20240607);
    for (std::uint16_t id = 100; id < 110; ++id) {
        auto fragments = Fragments(4088, 256, id);
        std::shuffle(fragments.begin(), fragments.end(), random);
        InjectAll(fragments);
        ExpectDelivered(4088, id);
    }
    auto tiny = Fragments(4088, 8, 7);
    InjectAll(tiny);
    ExpectDelivered(4088, 7);
    std::reverse(tiny.begin(), tiny.end());
    InjectAll(tiny);
    ExpectDelivered(4088, 7);
    EXPECT_EQ(Entries(), 0u) << "a completed reassembly kept its timer";
}

TEST_F(ReassemblyTest, DatagramsAreKeptApartBySourceAndIdentification) {
    TARNET_NEEDS_SIZE(TARNET_REASSEMBLY_MAX, 4096);
    TARNET_NEEDS_SIZE(TARNET_REASSEMBLY_ENTRIES, 2);
    const auto a = Fragments(2000, 1024, 5, kPeerIp);
    const auto b = Fragments(2000, 1024, 5, Ip(192, 0, 2, 33));
    const auto c = Fragments(2000, 1024, 6, kPeerIp);
    InjectIp(a[0]);
    InjectIp(b[0]);
    InjectIp(c[0]);
    InjectIp(Udp(Text("unfragmented"), kOurIp, kPeerIp, 5));  // passes beside reassembly
    ASSERT_EQ(Delivered(), 1u);
    VirtualHost::Get().sockEvents.clear();
    InjectIp(b[1]);
    ExpectDelivered(2000, 5);
    InjectIp(c[1]);
    ExpectDelivered(2000, 6);
    InjectIp(a[1]);
    ExpectDelivered(2000, 5);
}

// Each script ends with a fragment that contradicts what came before: the whole datagram goes
// at once (no timer left), and the fragments that would have completed it complete nothing.
TEST_F(ReassemblyTest, ContradictionsDiscardTheDatagram) {
    TARNET_NEEDS_SIZE(TARNET_REASSEMBLY_MAX, 4096);
    const auto f       = Fragments(3000, 1024, 8);  // [0,1023] [1024,2047] [2048,2999]
    const auto shifted = [](Ipv4Packet p, std::uint16_t offset, std::size_t size, bool more) {
        p.fragmentOffset = offset;
        p.payload.resize(size);
        p.moreFragments = more;
        return p;
    };
    const auto altered = [](Ipv4Packet p, std::size_t at) {
        p.payload.at(at) ^= 0x55;
        return p;
    };
    // Pieces that straddle a hole and held bytes, with one held byte changed.
    const Ipv4Packet midOverlap = altered(Piece(3000, 8, 1000, 64, true), 40);
    const Ipv4Packet endOverlap = altered(Piece(3000, 8, 2000, 104, true), 80);
    const struct {
        const char* what;
        std::vector<Ipv4Packet> script;
        std::vector<Ipv4Packet> rest;
    } cases[] = {
        {"overlap",                         {f[0], shifted(f[0], 64, 1024, true)},  {f[1], f[2]}},
        {"same place, other bytes",         {f[1], altered(f[1], 1000)},            {f[0], f[2]}},
        {"overlap, other bytes",            {f[1], midOverlap},                     {f[0], f[2]}},
        {"overlap at the end, other bytes", {f[2], endOverlap},                     {f[0], f[1]}},
        {"another final",                   {f[2], shifted(f[2], 256, 100, false)}, {f[0], f[1]}},
        {"final before data",               {f[1], shifted(f[0], 8, 64, false)},    {f[0], f[2]}},
        {"beyond byte 4095",                {f[0], shifted(f[2], 512, 8, false)},   {f[1], f[2]}},
        {"non-final to 4095",               {shifted(f[0], 384, 1024, true)},       {}          },
    };
    for (const auto& c : cases) {
        InjectAll(c.script);
        EXPECT_EQ(Entries(), 0u) << c.what;
        InjectAll(c.rest);
        EXPECT_EQ(Delivered(), 0u) << c.what;
        Advance(3000);
    }
    // A non-final fragment one block short of the end is still possible.
    InjectIp(shifted(f[0], 384, 1016, true));
    EXPECT_EQ(Entries(), 1u);
    Advance(3000);
}

// A fragment that only repeats bytes already held changes nothing (duplicated frames are common
// on real links); the datagram completes as if it had come once.
TEST_F(ReassemblyTest, DuplicatesAreIgnored) {
    TARNET_NEEDS_SIZE(TARNET_REASSEMBLY_MAX, 4096);
    const auto f = Fragments(3000, 1024, 9);  // [0,1023] [1024,2047] [2048,3007]
    const struct {
        const char* what;
        std::vector<Ipv4Packet> script;
    } cases[] = {
        {"every fragment twice",      {f[0], f[0], f[1], f[1], f[2], f[2]}               },
        {"final twice, first",        {f[2], f[2], f[0], f[1]}                           },
        {"middle again at the end",   {f[1], f[0], f[1], f[2]}                           },
        {"a piece of a held one",     {f[1], Piece(3000, 9, 1536, 256, true), f[0], f[2]}},
        {"held bytes and a hole",     {f[0], Piece(3000, 9, 1000, 48, true), f[1], f[2]} },
        {"ends where held data ends", {f[0], f[1], Piece(3000, 9, 2048, 960, true), f[2]}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        InjectAll(c.script);
        ExpectDelivered(3000, 9);
        Advance(3000);  // a repeat after completion starts an entry that expires
    }
}

TEST_F(ReassemblyTest, IncompleteDatagramsExpireAfterThreeSeconds) {
    TARNET_NEEDS_SIZE(TARNET_REASSEMBLY_MAX, 4096);
    const auto late = Fragments(2000, 1024, 12);
    InjectIp(late[0]);
    Advance(2999);
    InjectIp(late[1]);
    ExpectDelivered(2000, 12);

    const auto lost = Fragments(2000, 1024, 13);
    InjectIp(lost[0]);
    Advance(3000);
    EXPECT_EQ(Entries(), 0u);
    InjectIp(lost[1]);  // starts a new reassembly that never completes
    Advance(3000);
    EXPECT_EQ(Delivered(), 0u);
}

TEST_F(ReassemblyTest, AtMostEightAtOnceAndTheOldestMakesRoom) {
    TARNET_NEEDS_SIZE(TARNET_REASSEMBLY_ENTRIES, 8);
    std::vector<std::vector<Ipv4Packet>> datagrams;
    for (std::uint16_t id = 1; id <= 9; ++id) {
        datagrams.push_back(Fragments(1500, 1024, id));
        InjectIp(datagrams.back()[0]);
    }
    EXPECT_EQ(Entries(), 8u);
    for (std::size_t i = 8; i >= 1; --i) {  // datagrams 2 to 9 complete
        InjectIp(datagrams[i][1]);
        ExpectDelivered(1500, static_cast<std::uint16_t>(i + 1));
    }
    InjectIp(datagrams[0][1]);  // datagram 1 made room for 9
    EXPECT_EQ(Delivered(), 0u);
    Advance(3000);
}

}  // namespace
}  // namespace tarnet::test
