// DHCP client: the three messages byte for byte, every state transition driven by a scripted
// server, the retransmission schedule and give-up time on the virtual clock, the reply checks,
// the option walk, and the lease timers (server defaults, clamps, infinite leases).
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>

#include "dhcp_internal.h"
#include "harness.h"
#include "tarnet/tndhcp.h"
#include "tarnet/tndns.h"

namespace tarnet::test {
namespace {

namespace dhcp = tarnet::dhcp;

constexpr std::uint32_t kXid      = 0x1234ABCD;
constexpr std::uint32_t kServerIp = kPeerIp;
constexpr std::uint32_t kDnsIp    = Ip(192, 0, 2, 53);
constexpr std::uint32_t kBcastIp  = 0xFFFFFFFF;
constexpr std::uint32_t kNoTime   = 0;  // option left out

constexpr std::uint8_t kOurMacBytes[6] = {kOurMac[0], kOurMac[1], kOurMac[2],
                                          kOurMac[3], kOurMac[4], kOurMac[5]};

std::uint32_t Get32(const Bytes& b, std::size_t at) {
    return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) |
           (std::uint32_t{b[at + 2]} << 8) | b[at + 3];
}

std::uint16_t Get16(const Bytes& b, std::size_t at) {
    return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]);
}

Bytes Be32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
            static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

Bytes Opt(std::uint8_t code, const Bytes& data) {
    Bytes out{code, static_cast<std::uint8_t>(data.size())};
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

Bytes Opt32(std::uint8_t code, std::uint32_t value) {
    return Opt(code, Be32(value));
}

// A BOOTREPLY as a server sends it.
struct Reply {
    std::uint8_t op      = 2;
    std::uint32_t xid    = kXid;
    Mac chaddr           = kOurMac;
    std::uint32_t yiaddr = kOurIp;
    bool cookie          = true;
    Bytes options;

    Bytes Build() const {
        Bytes m(240, 0);
        m[0]          = op;
        m[1]          = 1;
        m[2]          = 6;
        const Bytes x = Be32(xid);
        std::copy(x.begin(), x.end(), m.begin() + 4);
        const Bytes y = Be32(yiaddr);
        std::copy(y.begin(), y.end(), m.begin() + 16);
        std::copy(chaddr.begin(), chaddr.end(), m.begin() + 28);
        if (cookie) {
            m[236] = 99;
            m[237] = 130;
            m[238] = 83;
            m[239] = 99;
        }
        m.insert(m.end(), options.begin(), options.end());
        return m;
    }
};

// Message type, server identifier, mask, router, DNS server and the three times; a time of
// kNoTime leaves its option out.
Bytes ServerOptions(std::uint8_t type, std::uint32_t lease = 3600, std::uint32_t t1 = 1800,
                    std::uint32_t t2 = 3150) {
    Bytes o = Cat({Opt(53, {type}), Opt32(54, kServerIp), Opt32(1, kMask), Opt32(3, kGatewayIp),
                   Opt32(6, kDnsIp)});
    if (lease != kNoTime) {
        o = Cat({o, Opt32(51, lease)});
    }
    if (t1 != kNoTime) {
        o = Cat({o, Opt32(58, t1)});
    }
    if (t2 != kNoTime) {
        o = Cat({o, Opt32(59, t2)});
    }
    o.push_back(255);
    return o;
}

Reply Offer() {
    return Reply{.options = ServerOptions(2)};
}
Reply Ack(std::uint32_t lease = 3600, std::uint32_t t1 = 1800, std::uint32_t t2 = 3150) {
    return Reply{.options = ServerOptions(5, lease, t1, t2)};
}
Reply Nak() {
    return Reply{.yiaddr = 0, .options = Cat({Opt(53, {6}), Opt32(54, kServerIp), {255}})};
}

class DhcpTest : public StackTest {
  protected:
    void SetUp() override {
        StackTest::SetUp();
        config.useDhcp = 1;
        config.localIp = "0.0.0.0";
    }

    void TearDown() override {
        for (TnTimerHandle h : dummyTimers) {
            host().timers.Stop(h);
        }
        StackTest::TearDown();
    }

    // Starts the stack with the given back-off random values after the xid.
    void StartWith(std::initializer_list<int> backoff = {}) {
        host().randomValues.push_back(static_cast<int>(kXid));
        host().randomValues.insert(host().randomValues.end(), backoff.begin(), backoff.end());
        ASSERT_EQ(Start(), TNSOCK_SUCCESS);
    }

    // A server reply, by default broadcast at the link and IP layers from port 67 to 68.
    void Inject(const Reply& reply, std::uint32_t dstIp = kBcastIp, const Mac& dstMac = kBroadcast,
                std::uint16_t dstPort = 68) {
        InjectRaw(reply.Build(), dstIp, dstMac, dstPort);
    }

    void InjectRaw(const Bytes& payload, std::uint32_t dstIp = kBcastIp,
                   const Mac& dstMac = kBroadcast, std::uint16_t dstPort = 68) {
        UdpDatagram udp;
        udp.srcPort = 67;
        udp.dstPort = dstPort;
        udp.payload = payload;
        Ipv4Packet ip;
        ip.src      = kServerIp;
        ip.dst      = dstIp;
        ip.protocol = 17;
        ip.id       = 0x77;
        ip.payload  = udp.Build(kServerIp, dstIp);
        StackTest::Inject(Ipv4Frame(dstMac, kPeerMac, ip));
    }

    // The next frame must be a DHCP message from 68 to 67 at `dstIp`; returns its payload.
    Bytes ExpectDhcp(std::uint32_t dstIp, const Mac& dstMac = kBroadcast) {
        const Decoded d = NextSent();
        EXPECT_EQ(d.eth.dst, dstMac);
        EXPECT_EQ(d.eth.src, kOurMac);
        if (!d.ip || !d.udp) {
            ADD_FAILURE() << "not a checked IPv4/UDP frame";
            return {};
        }
        EXPECT_EQ(d.ip->dst, dstIp);
        EXPECT_EQ(d.udp->srcPort, 68);
        EXPECT_EQ(d.udp->dstPort, 67);
        return d.udp->payload;
    }

    // Checks the fixed BOOTP part every client message shares.
    static void ExpectHeader(const Bytes& m, std::uint16_t flags, std::uint32_t ciaddr) {
        ASSERT_GE(m.size(), 240u);
        EXPECT_EQ(m[0], 1);  // BOOTREQUEST
        EXPECT_EQ(m[1], 1);
        EXPECT_EQ(m[2], 6);
        EXPECT_EQ(m[3], 0);
        EXPECT_EQ(Get32(m, 4), kXid);
        EXPECT_EQ(Get16(m, 8), 0);  // secs
        EXPECT_EQ(Get16(m, 10), flags);
        EXPECT_EQ(Get32(m, 12), ciaddr);
        EXPECT_EQ(Get32(m, 16), 0u);
        EXPECT_EQ(Get32(m, 20), 0u);
        EXPECT_EQ(Get32(m, 24), 0u);
        EXPECT_TRUE(std::equal(kOurMac.begin(), kOurMac.end(), m.begin() + 28));
        for (std::size_t i = 34; i < 236; ++i) {
            ASSERT_EQ(m[i], 0) << "chaddr padding, sname and file are zero; offset " << i;
        }
        EXPECT_EQ(Bytes(m.begin() + 236, m.begin() + 240), (Bytes{99, 130, 83, 99}));
    }

    static Bytes ClientId() {
        return Cat({
            Bytes{61, 7, 1},
            Bytes(kOurMac.begin(), kOurMac.end())
        });
    }

    static Bytes Options(const Bytes& m) { return Bytes(m.begin() + 240, m.end()); }

    void ExpectRequest(const Bytes& m, std::uint32_t ciaddr) {
        ASSERT_EQ(m.size(), dhcp::kRequestLen);
        ExpectHeader(m, 0, ciaddr);
        EXPECT_EQ(Options(m), Cat({
                                  Bytes{53, 1, 3  },
                                  ClientId(), Opt32(50, kOurIp),
                                  Opt32(54, kServerIp), Bytes{ 55, 3, 6, 1, 3, 255}
        }));
    }

    // DISCOVER, OFFER, REQUEST, ACK with the given times; the server's MAC is learnt so unicast
    // renewals and releases go out without ARP.
    void Bind(std::uint32_t lease = 3600, std::uint32_t t1 = 1800, std::uint32_t t2 = 3150,
              std::initializer_list<int> backoff = {}) {
        StartWith(backoff);
        ExpectDhcp(kBcastIp);
        Inject(Offer());
        ExpectDhcp(kBcastIp);
        Inject(Ack(lease, t1, t2));
        ASSERT_STREQ(dhcp::StateName(), "BOUND");
        LearnPeer(kServerIp, kPeerMac);
        host().status.clear();
        host().logs.clear();
    }

    // The time (ms after now) at which the next frame leaves, advancing the clock to it.
    std::optional<std::uint64_t> NextFrameAfter(std::uint64_t limitMs) {
        const std::uint64_t start = host().Now();
        while (host().sent.empty()) {
            const auto next = host().timers.NextDeadline();
            if (!next || *next > start + limitMs) {
                return std::nullopt;
            }
            Advance(*next - host().Now());
        }
        return host().Now() - start;
    }

    bool LostReported() {
        for (const std::string& line : host().logs) {
            if (line == "Lost of failed to aquire local IP address") {
                return true;
            }
        }
        return false;
    }

    // Takes every free host timer so the next timerStart fails.
    void ExhaustTimers() {
        for (;;) {
            TnTimerHandle h =
                host().timers.Start(host().Now(), 0xFFFFFFFF, 0, [](std::uintptr_t) {});
            if (h == nullptr) {
                return;
            }
            dummyTimers.push_back(h);
        }
    }

    std::vector<TnTimerHandle> dummyTimers;
};

// ---- Messages ---------------------------------------------------------------------------------

TEST_F(DhcpTest, DiscoverIs258BytesBroadcastFromNoAddress) {
    StartWith();
    const Decoded d = NextSent();
    ASSERT_TRUE(d.ip && d.udp);
    EXPECT_EQ(d.eth.dst, kBroadcast);
    EXPECT_EQ(d.ip->src, 0u);
    EXPECT_EQ(d.ip->dst, kBcastIp);
    EXPECT_EQ(d.udp->srcPort, 68);
    EXPECT_EQ(d.udp->dstPort, 67);
    const Bytes& m = d.udp->payload;
    ASSERT_EQ(m.size(), dhcp::kDiscoverLen);
    ExpectHeader(m, 0, 0);
    EXPECT_EQ(Options(m), Cat({
                              Bytes{53, 1, 1  },
                              ClientId(), Bytes{ 55, 3, 6, 1, 3, 255}
    }));
    EXPECT_STREQ(dhcp::StateName(), "SELECTING");
}

TEST_F(DhcpTest, OfferThenAckBindsAndReportsTheLease) {
    StartWith();
    ExpectDhcp(kBcastIp);
    Inject(Offer());
    EXPECT_STREQ(dhcp::StateName(), "REQUESTING");
    ExpectRequest(ExpectDhcp(kBcastIp), 0);

    Inject(Ack());
    EXPECT_STREQ(dhcp::StateName(), "BOUND");
    ASSERT_EQ(host().status.size(), 1u);
    EXPECT_EQ(host().status[0].event, TNSOCK_EVENT_ADDRESS);
    const TnDhcpLease& l = host().status[0].lease;
    EXPECT_EQ(l.address, kOurIp);
    EXPECT_EQ(l.dnsServer, kDnsIp);
    EXPECT_EQ(l.router, kGatewayIp);
    EXPECT_EQ(l.subnetMask, kMask);
    EXPECT_EQ(l.leaseTime, 3600u);
    EXPECT_EQ(l.t1, 1800u);
    EXPECT_EQ(l.t2, 3150u);
    ASSERT_FALSE(host().logs.empty());
    EXPECT_EQ(host().logs.back(), "Local IP address aquired: 192.0.2.10");

    // The stack now owns the address: it answers ARP for it, and the resolver asks the
    // lease's DNS server.
    ArpPacket request{1, kPeerMac, kPeerIp, Mac{}, kOurIp};
    StackTest::Inject(ArpFrame(kBroadcast, kPeerMac, request));
    const Decoded reply = NextSent();
    ASSERT_TRUE(reply.arp);
    EXPECT_EQ(reply.arp->op, 2);
    EXPECT_EQ(reply.arp->senderIp, kOurIp);
    std::uint32_t address = 0;
    EXPECT_EQ(TnDnsResolve("example.com", &address), TNDNS_PENDING);
    const Decoded query = NextSent();  // the DNS server is on-link: ARP for it first
    ASSERT_TRUE(query.arp);
    EXPECT_EQ(query.arp->targetIp, kDnsIp);
}

TEST_F(DhcpTest, StrayRepliesInTheWrongStateAreIgnored) {
    StartWith();
    ExpectDhcp(kBcastIp);
    Inject(Ack());  // ACK while SELECTING
    Inject(Nak());
    EXPECT_STREQ(dhcp::StateName(), "SELECTING");
    EXPECT_TRUE(host().status.empty());
    Inject(Offer());
    ExpectDhcp(kBcastIp);
    Inject(Offer());  // a second OFFER while REQUESTING
    ExpectNoTx();
    EXPECT_STREQ(dhcp::StateName(), "REQUESTING");
    Inject(Ack());
    Inject(Offer());  // OFFER while BOUND
    ExpectNoTx();
    EXPECT_STREQ(dhcp::StateName(), "BOUND");
}

// ---- Retransmission ---------------------------------------------------------------------------

// Delay = (I − 1) + r mod 3 seconds with I = 4, 8, 16, 32, 64; give up when I passes 64.
TEST_F(DhcpTest, DiscoverBackOffFollowsTheRandomValues) {
    StartWith({2, 3, 7, 1, 5});  // delays 5, 7, 16, 32, 65 s
    ExpectDhcp(kBcastIp);
    for (std::uint64_t delay : {5000u, 7000u, 16000u, 32000u}) {
        ASSERT_EQ(NextFrameAfter(200'000), delay);
        const Bytes m = ExpectDhcp(kBcastIp);
        ASSERT_EQ(m.size(), dhcp::kDiscoverLen);
        EXPECT_EQ(Get32(m, 4), kXid) << "the xid holds for the whole exchange";
    }
    EXPECT_FALSE(NextFrameAfter(200'000)) << "five transmissions only";
    EXPECT_EQ(host().status.size(), 0u);
    EXPECT_TRUE(LostReported());
    EXPECT_STREQ(dhcp::StateName(), "INIT");
}

class DhcpGiveUpTest : public DhcpTest, public ::testing::WithParamInterface<int> {};

TEST_P(DhcpGiveUpTest, GivesUpBetween119And129Seconds) {
    const int r = GetParam();
    StartWith({r, r, r, r, r});
    ExpectDhcp(kBcastIp);
    const std::uint64_t expected = r == 0 ? 119'000 : 129'000;
    Advance(expected - 1);
    EXPECT_FALSE(LostReported());
    EXPECT_EQ(TakeSent().size(), 4u);
    Advance(1);
    EXPECT_TRUE(LostReported());
    EXPECT_STREQ(dhcp::StateName(), "INIT");
    EXPECT_EQ(host().timers.ActiveCount(), 0u);
    // The port-68 endpoint was closed with it.
    TnSockEndpoint* ep = nullptr;
    EXPECT_EQ(TnSockUdpOpen(
                  1,
                  [](std::uintptr_t, int, void*, std::uint32_t, std::uint32_t,
                     std::uint32_t) -> std::uintptr_t { return 0; },
                  68, &ep),
              TNSOCK_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Extremes, DhcpGiveUpTest, ::testing::Values(0, 2));

TEST_F(DhcpTest, RequestRetransmitsWithAFreshIntervalThenGivesUp) {
    StartWith({2, 2, 0, 0, 0, 0, 0});  // DISCOVER waits 5 s, REQUEST 3, 7, 15, 31, 63
    ExpectDhcp(kBcastIp);
    Advance(5000);
    ExpectDhcp(kBcastIp);  // second DISCOVER; I is now 8
    Inject(Offer());
    ExpectRequest(ExpectDhcp(kBcastIp), 0);
    for (std::uint64_t delay : {3000u, 7000u, 15000u, 31000u}) {
        ASSERT_EQ(NextFrameAfter(100'000), delay);
        ExpectRequest(ExpectDhcp(kBcastIp), 0);
    }
    Advance(63'000 - 1);
    EXPECT_FALSE(LostReported());
    Advance(1);
    EXPECT_TRUE(LostReported());
    EXPECT_TRUE(host().sent.empty());
    EXPECT_STREQ(dhcp::StateName(), "INIT");
}

TEST_F(DhcpTest, NoTimerForTheRetransmissionGivesUpAtOnce) {
    StartWith();
    ExpectDhcp(kBcastIp);
    TnDhcpStop();
    ExhaustTimers();
    host().randomValues.push_back(static_cast<int>(kXid));
    TnDhcpStart();
    ExpectDhcp(kBcastIp);  // the DISCOVER went out, but nothing would ever repeat it
    EXPECT_TRUE(LostReported());
    EXPECT_STREQ(dhcp::StateName(), "INIT");
}

// ---- Reply checks -----------------------------------------------------------------------------

TEST_F(DhcpTest, RepliesFailingAnyCheckAreDropped) {
    StartWith();
    ExpectDhcp(kBcastIp);

    Bytes exact = Offer().Build();
    exact.resize(240);
    InjectRaw(exact);
    InjectRaw(Reply{.options = {0}}.Build());  // 241 bytes: parsed, no message type
    Inject(Reply{.xid = kXid + 1, .options = ServerOptions(2)});
    Inject(Reply{.chaddr = kOtherMac, .options = ServerOptions(2)});
    Inject(Reply{.cookie = false, .options = ServerOptions(2)});
    Inject(Reply{.op = 1, .options = ServerOptions(2)});
    Inject(Reply{.options = Cat({Opt(53, {2}), Opt32(1, kMask), {255}})});       // OFFER without 54
    Inject(Reply{.options = Cat({Opt(53, {}), Opt32(54, kServerIp), {255}})});   // empty type
    Inject(Reply{.options = Cat({Opt(53, {3}), Opt32(54, kServerIp), {255}})});  // a REQUEST
    Inject(Reply{.yiaddr = 0, .options = ServerOptions(2)});  // an OFFER of no address
    ExpectNoTx();
    EXPECT_STREQ(dhcp::StateName(), "SELECTING");

    // The DISCOVER retransmissions carry on, and a proper OFFER is still taken.
    ASSERT_TRUE(NextFrameAfter(10'000));
    EXPECT_EQ(ExpectDhcp(kBcastIp).size(), dhcp::kDiscoverLen);
    Inject(Offer());
    ExpectRequest(ExpectDhcp(kBcastIp), 0);
}

TEST_F(DhcpTest, AckWithoutAnAddressIsDropped) {
    StartWith();
    ExpectDhcp(kBcastIp);
    Inject(Offer());
    ExpectDhcp(kBcastIp);
    Inject(Reply{.yiaddr = 0, .options = ServerOptions(5)});
    EXPECT_STREQ(dhcp::StateName(), "REQUESTING");
    EXPECT_TRUE(host().status.empty());
    Inject(Ack());
    EXPECT_EQ(host().status.size(), 1u);
}

TEST_F(DhcpTest, AckWithoutServerIdBindsWithServerZero) {
    StartWith();
    ExpectDhcp(kBcastIp);
    Inject(Offer());
    ExpectDhcp(kBcastIp);
    Inject(Reply{.options = Cat({Opt(53, {5}), Opt32(51, 600), {255}})});
    EXPECT_STREQ(dhcp::StateName(), "BOUND");
    ASSERT_EQ(host().status.size(), 1u);
    EXPECT_EQ(host().status[0].lease.address, kOurIp);
    // With no server address the RELEASE has nowhere to go: IPv4 refuses destination 0.
    TnDhcpStop();
    ExpectNoTx();
    EXPECT_TRUE(LostReported());
}

TEST_F(DhcpTest, UnicastOfferToTheOfferedAddressIsTakenUp) {
    StartWith();
    ExpectDhcp(kBcastIp);
    Inject(Offer(), kOurIp, kOtherMac);  // for another station: not ours
    ExpectNoTx();
    Inject(Offer(), kOurIp, kOurMac);
    ExpectRequest(ExpectDhcp(kBcastIp), 0);
    Inject(Ack(), kOurIp, kOurMac);
    EXPECT_STREQ(dhcp::StateName(), "BOUND");
    EXPECT_EQ(host().status.size(), 1u);
}

// ---- Option walk ------------------------------------------------------------------------------

class DhcpParseTest : public ::testing::Test {
  protected:
    static std::optional<dhcp::DhcpReply> Parse(const Bytes& options, std::uint32_t yiaddr = 0) {
        // An exact-size heap copy, so a read past the end is caught by the sanitizer build.
        Bytes m = Reply{.yiaddr = yiaddr, .options = options}.Build();
        dhcp::DhcpReply r;
        if (!dhcp::ParseReply(m, kXid, kOurMacBytes, r)) {
            return std::nullopt;
        }
        return r;
    }
};

TEST_F(DhcpParseTest, TakesTheKnownOptionsWithPadBetween) {
    const Bytes pad(3, 0);
    const Bytes end{255, 0, 0};
    const auto r = Parse(Cat({pad, Opt(53, {5}), pad, Opt32(54, kServerIp), Opt32(1, kMask), pad,
                              Opt32(3, kGatewayIp), Opt32(6, kDnsIp), Opt32(51, 100),
                              Opt(12, Text("host")), Opt32(58, 50), Opt32(59, 80), end}),
                         kOurIp);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->messageType, 5u);
    EXPECT_EQ(r->yiaddr, kOurIp);
    EXPECT_EQ(r->serverId, kServerIp);
    EXPECT_EQ(r->subnetMask, kMask);
    EXPECT_EQ(r->router, kGatewayIp);
    EXPECT_EQ(r->dnsServer, kDnsIp);
    EXPECT_EQ(r->leaseTime, 100u);
    EXPECT_EQ(r->t1, 50u);
    EXPECT_EQ(r->t2, 80u);
}

TEST_F(DhcpParseTest, MultiAddressAndWrongLengthOptionsAreIgnoredWhole) {
    const auto r = Parse(Cat({Opt(53, {5}),
                              Opt(3, Cat({Be32(kGatewayIp), Be32(kPeerIp)})),
                              Opt(6, Cat({Be32(kDnsIp), Be32(kPeerIp), Be32(kGatewayIp)})),
                              Opt(1, {255, 255, 255}),
                              Opt(51, {0, 0, 0, 0, 100}),
                              {255}}));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->router, 0u);
    EXPECT_EQ(r->dnsServer, 0u);
    EXPECT_EQ(r->subnetMask, 0u);
    EXPECT_EQ(r->leaseTime, 0u);
}

TEST_F(DhcpParseTest, TruncatedOptionsAreNotTaken) {
    // The lease option claims 4 bytes but 2 remain: the walk stops without reading them.
    auto r = Parse(Cat({
        Opt(53, {5 }
         ), Opt32(3, kGatewayIp), Bytes{ 51, 4, 0, 0}
    }));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->router, kGatewayIp);
    EXPECT_EQ(r->leaseTime, 0u);
    // A code with no length byte after it.
    r = Parse(Cat({Opt(53, {5}), Bytes{54}}));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->serverId, 0u);
    // A message type option running off the end is no message type.
    EXPECT_FALSE(Parse(Bytes{53, 200, 2}));
    // An OFFER whose server identifier is cut short is no OFFER.
    EXPECT_FALSE(Parse(Cat({
        Opt(53, {2 }
         ), Bytes{ 54, 4, 192, 0}
    })));
}

TEST_F(DhcpParseTest, NothingAfterTheEndOptionCounts) {
    EXPECT_FALSE(Parse(Cat({
        Bytes{255, 0},
        Opt(53, {5  }
        )
    })));
    const auto r = Parse(Cat({Opt(53, {5}), Bytes{255}, Opt32(3, kGatewayIp)}));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->router, 0u);
}

TEST_F(DhcpTest, TwoRoutersYieldRouterZeroInTheLease) {
    StartWith();
    ExpectDhcp(kBcastIp);
    Inject(Offer());
    ExpectDhcp(kBcastIp);
    Inject(Reply{.options = Cat({Opt(53, {5}),
                                 Opt32(54, kServerIp),
                                 Opt32(51, 3600),
                                 Opt(3, Cat({Be32(kGatewayIp), Be32(Ip(192, 0, 2, 253))})),
                                 {255}})});
    ASSERT_EQ(host().status.size(), 1u);
    EXPECT_EQ(host().status[0].lease.router, 0u);
}

// ---- Renewal, rebinding, lease end --------------------------------------------------------------

TEST_F(DhcpTest, RenewalAtT1IsUnicastAndItsAckRestartsTheTimers) {
    Bind(3600, 1800, 3150);
    ExpectNoTx(1800'000 - 1);
    Advance(1);
    EXPECT_STREQ(dhcp::StateName(), "RENEWING");
    ExpectRequest(ExpectDhcp(kServerIp, kPeerMac), kOurIp);

    // The renewal ACK, 2 s later, brings new times; every lease timer runs from now.
    Advance(2'000);
    Inject(Ack(7200, 600, 6000), kOurIp, kOurMac);
    EXPECT_STREQ(dhcp::StateName(), "BOUND");
    ASSERT_EQ(host().status.size(), 1u);
    EXPECT_EQ(host().status[0].lease.leaseTime, 7200u);
    EXPECT_EQ(host().status[0].lease.t1, 600u);
    EXPECT_EQ(host().logs.back(), "Local IP address aquired: 192.0.2.10");
    ExpectNoTx(600'000 - 1);
    Advance(1);
    ExpectRequest(ExpectDhcp(kServerIp, kPeerMac), kOurIp);
}

TEST_F(DhcpTest, RenewalRetransmitsToTheServerThenRebindsByBroadcast) {
    // T2 comes 50 s after T1: renewing gets three transmissions (0, 3, 10, 25 s) before it.
    Bind(400, 200, 250, {0, 0, 0, 0, 0, 0});
    Advance(200'000);
    ExpectRequest(ExpectDhcp(kServerIp, kPeerMac), kOurIp);
    for (std::uint64_t delay : {3000u, 7000u, 15000u}) {
        ASSERT_EQ(NextFrameAfter(60'000), delay);
        ExpectRequest(ExpectDhcp(kServerIp, kPeerMac), kOurIp);
    }
    // At T2 (25 s later) the interval stays at 32: the REQUEST goes to everyone, and the next
    // one 31 s after it.
    ASSERT_EQ(NextFrameAfter(60'000), 25'000u);
    EXPECT_STREQ(dhcp::StateName(), "REBINDING");
    ExpectRequest(ExpectDhcp(kBcastIp), kOurIp);
    ASSERT_EQ(NextFrameAfter(60'000), 31'000u);
    ExpectRequest(ExpectDhcp(kBcastIp), kOurIp);

    // Any server may answer the rebinding request.
    Inject(Ack(400, 200, 250));
    EXPECT_STREQ(dhcp::StateName(), "BOUND");
    EXPECT_EQ(host().status.size(), 1u);
}

TEST_F(DhcpTest, LeaseEndWhileRebindingLosesTheAddress) {
    Bind(120, 60, 90, {0, 0, 0, 0, 0, 0, 0, 0});
    Advance(120'000 - 1);
    EXPECT_FALSE(LostReported());
    EXPECT_STREQ(dhcp::StateName(), "REBINDING");
    Advance(1);
    EXPECT_TRUE(LostReported());
    EXPECT_STREQ(dhcp::StateName(), "INIT");
    // The address is gone: ARP for it is no longer answered.
    TakeSent();
    ArpPacket request{1, kPeerMac, kPeerIp, Mac{}, kOurIp};
    StackTest::Inject(ArpFrame(kBroadcast, kPeerMac, request));
    ExpectNoTx();
}

TEST_F(DhcpTest, LeaseEndWhileBoundLosesTheAddress) {
    Bind(60, 100, 120);  // the server's T1 and T2 lie beyond the lease
    ExpectNoTx(60'000 - 1);
    Advance(1);
    EXPECT_TRUE(LostReported());
    EXPECT_STREQ(dhcp::StateName(), "INIT");
    ExpectNoTx(100'000);
}

TEST_F(DhcpTest, RenewingGivesUpWhenRetransmissionsRunOut) {
    Bind(100'000, 1000, 90'000, {0, 0, 0, 0, 0});
    Advance(1000'000);
    ExpectDhcp(kServerIp, kPeerMac);
    Advance(119'000 - 1);
    EXPECT_EQ(TakeSent().size(), 4u);
    EXPECT_FALSE(LostReported());
    Advance(1);
    EXPECT_TRUE(LostReported());
}

TEST_F(DhcpTest, NakWhileRequestingRefuses) {
    StartWith();
    ExpectDhcp(kBcastIp);
    Inject(Offer());
    ExpectDhcp(kBcastIp);
    Inject(Nak());
    EXPECT_STREQ(dhcp::StateName(), "INIT");
    EXPECT_TRUE(LostReported());
    EXPECT_TRUE(host().status.empty());
    EXPECT_EQ(host().timers.ActiveCount(), 0u);
    ExpectNoTx(200'000);
}

TEST_F(DhcpTest, NakWhileRenewingRefuses) {
    Bind();
    Advance(1800'000);
    ExpectDhcp(kServerIp, kPeerMac);
    Inject(Nak(), kOurIp, kOurMac);
    EXPECT_STREQ(dhcp::StateName(), "INIT");
    EXPECT_TRUE(LostReported());
    ExpectNoTx(4000'000);
}

// ---- Lease times ------------------------------------------------------------------------------

TEST_F(DhcpTest, MissingT1AndT2DefaultToHalfAndSevenEighthsOfTheLease) {
    Bind(200, kNoTime, kNoTime);
    ExpectNoTx(100'000 - 1);
    Advance(1);
    EXPECT_STREQ(dhcp::StateName(), "RENEWING");
    ExpectDhcp(kServerIp, kPeerMac);
    Advance(75'000 - 1);  // T2 = 175 s
    EXPECT_STREQ(dhcp::StateName(), "RENEWING");
    Advance(1);
    EXPECT_STREQ(dhcp::StateName(), "REBINDING");
    Advance(25'000 - 1);
    EXPECT_FALSE(LostReported());
    Advance(1);
    EXPECT_TRUE(LostReported());
}

TEST_F(DhcpTest, LeaseRecordCarriesTheServersTimes) {
    StartWith();
    ExpectDhcp(kBcastIp);
    Inject(Offer());
    ExpectDhcp(kBcastIp);
    Inject(Ack(1000, kNoTime, kNoTime));
    ASSERT_EQ(host().status.size(), 1u);
    EXPECT_EQ(host().status[0].lease.leaseTime, 1000u);
    EXPECT_EQ(host().status[0].lease.t1, 0u);
    EXPECT_EQ(host().status[0].lease.t2, 0u);
}

TEST_F(DhcpTest, TimesBeyondTheTimerRangeAreClamped) {
    // 5,000,000 s does not fit a 32-bit millisecond delay (it would wrap to about 705,033 s).
    // T1 fits; the default T2 (4,375,000 s) and the lease are cut to 4,294,967 s.
    Bind(5'000'000, 4'000'000, kNoTime, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    Advance(4'000'000'000 - 1);
    EXPECT_STREQ(dhcp::StateName(), "BOUND");
    Advance(1);
    EXPECT_STREQ(dhcp::StateName(), "RENEWING");
    TakeSent();
    // Renewing retransmissions run out after 119 s.
    Advance(119'000);
    EXPECT_TRUE(LostReported());
}

TEST_F(DhcpTest, ClampedT2AndLeaseFireAtTheLongestDelay) {
    // T2 and the lease are both cut to 4,294,967 s; T1 comes 67 s before that. Unclamped, the
    // lease would wrap to 4,294,965.296 s and end the lease while still renewing.
    Bind(0xFFFFFFFE, 4'294'900, 0xFFFFFF00);
    Advance(4'294'900'000);
    EXPECT_STREQ(dhcp::StateName(), "RENEWING");
    Advance(67'000 - 1);
    EXPECT_STREQ(dhcp::StateName(), "RENEWING");
    EXPECT_FALSE(LostReported());
    TakeSent();
    // At T2 the rebinding REQUEST goes out, and the lease timer, due at the same moment, ends it.
    Advance(1);
    ExpectRequest(ExpectDhcp(kBcastIp), kOurIp);
    EXPECT_TRUE(LostReported());
    EXPECT_STREQ(dhcp::StateName(), "INIT");
}

TEST_F(DhcpTest, InfiniteLeaseArmsNoTimer) {
    Bind(0xFFFFFFFF, 100, 200);  // T1 and T2 mean nothing for a lease that never ends
    EXPECT_EQ(host().timers.ActiveCount(), 0u);
    ExpectNoTx(10'000'000'000);
    EXPECT_STREQ(dhcp::StateName(), "BOUND");
    EXPECT_FALSE(LostReported());
}

// ---- Stop -------------------------------------------------------------------------------------

TEST_F(DhcpTest, StopWhileSelectingSendsNothing) {
    StartWith();
    ExpectDhcp(kBcastIp);
    EXPECT_EQ(TnDhcpStop(), 0);
    EXPECT_STREQ(dhcp::StateName(), "INIT");
    EXPECT_EQ(host().timers.ActiveCount(), 0u);
    EXPECT_FALSE(LostReported()) << "no result is reported";
    ExpectNoTx(200'000);
    Inject(Offer());  // the endpoint is closed
    ExpectNoTx();
}

TEST_F(DhcpTest, StopWhileRequestingReleasesToAnUnknownServer) {
    StartWith();
    ExpectDhcp(kBcastIp);
    Inject(Offer());
    ExpectDhcp(kBcastIp);
    EXPECT_EQ(TnDhcpStop(), 0);
    // The RELEASE would go to server address 0.0.0.0, which IPv4 refuses.
    ExpectNoTx(200'000);
    EXPECT_STREQ(dhcp::StateName(), "INIT");
    EXPECT_FALSE(LostReported());
}

TEST_F(DhcpTest, StopWhileBoundReleasesAndDropsTheAddress) {
    Bind();
    EXPECT_EQ(TnDhcpStop(), 0);
    const Bytes m = ExpectDhcp(kServerIp, kPeerMac);
    ASSERT_EQ(m.size(), dhcp::kReleaseLen);
    ExpectHeader(m, 0x8000, kOurIp);
    EXPECT_EQ(Options(m), Cat({
                              Bytes{53, 1, 7},
                              Opt32(54, kServerIp), ClientId(), Bytes{255}
    }));
    EXPECT_STREQ(dhcp::StateName(), "INIT");
    EXPECT_TRUE(LostReported());
    EXPECT_EQ(host().timers.ActiveCount(), 0u);
    ExpectNoTx(4000'000);
}

TEST_F(DhcpTest, StopWhileRenewingReleases) {
    Bind();
    Advance(1800'000);
    ExpectDhcp(kServerIp, kPeerMac);
    TnDhcpStop();
    EXPECT_EQ(ExpectDhcp(kServerIp, kPeerMac).size(), dhcp::kReleaseLen);
    EXPECT_TRUE(LostReported());
    EXPECT_EQ(host().timers.ActiveCount(), 0u);
}

TEST_F(DhcpTest, StopWhileRebindingSendsNothingButDropsTheAddress) {
    Bind(400, 200, 250, {0, 0, 0, 0, 0, 0});
    Advance(250'000);
    EXPECT_STREQ(dhcp::StateName(), "REBINDING");
    TakeSent();
    TnDhcpStop();
    ExpectNoTx(1000'000);
    EXPECT_TRUE(LostReported());
    EXPECT_EQ(host().timers.ActiveCount(), 0u);
}

TEST_F(DhcpTest, StartAgainAfterStopDrawsANewXid) {
    StartWith();
    ExpectDhcp(kBcastIp);
    TnDhcpStop();
    EXPECT_EQ(TnDhcpStop(), 0);  // STOP in INIT is ignored
    host().randomValues.push_back(0x0BADCAFE);
    EXPECT_EQ(TnDhcpStart(), 0);
    const Bytes m = ExpectDhcp(kBcastIp);
    ASSERT_EQ(m.size(), dhcp::kDiscoverLen);
    EXPECT_EQ(Get32(m, 4), 0x0BADCAFEu);
    EXPECT_EQ(dhcp::CurrentXid(), 0x0BADCAFEu);
    EXPECT_EQ(TnDhcpStart(), 0);  // START outside INIT is ignored
    ExpectNoTx();
}

TEST_F(DhcpTest, PortInUseAtStartIsARefusal) {
    StartWith();
    ExpectDhcp(kBcastIp);
    TnDhcpStop();
    TnSockEndpoint* ep = nullptr;
    ASSERT_EQ(TnSockUdpOpen(
                  1,
                  [](std::uintptr_t, int, void*, std::uint32_t, std::uint32_t,
                     std::uint32_t) -> std::uintptr_t { return 0; },
                  68, &ep),
              TNSOCK_SUCCESS);
    EXPECT_EQ(TnDhcpStart(), 0);
    EXPECT_TRUE(LostReported());
    EXPECT_STREQ(dhcp::StateName(), "INIT");
    ExpectNoTx();
}

TEST_F(DhcpTest, EntryPointsCheckInitialisation) {
    StartWith();
    TnDhcpConfig again{};
    EXPECT_EQ(TnDhcpInit(&again), 3);
    TnSockDeinit();
    EXPECT_EQ(TnDhcpStart(), 2);
    EXPECT_EQ(TnDhcpStop(), 2);
    EXPECT_EQ(TnDhcpInit(nullptr), 1);
    TnDhcpConfig noTimers{};
    EXPECT_EQ(TnDhcpInit(&noTimers), 1);
    EXPECT_EQ(TnDhcpStart(), 2);
}

}  // namespace
}  // namespace tarnet::test
