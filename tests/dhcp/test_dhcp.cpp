// DHCP client: its messages byte for byte, every state transition driven by a scripted server,
// the retransmission schedules and give-up time on the virtual clock, the reply checks, the
// option walk, the lease timers (server defaults, clamps, infinite leases), the ARP probe before
// binding, and what the host hears when an address comes and goes.
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
constexpr std::uint32_t kNoTime   = 0;    // option left out
constexpr std::uint64_t kProbeMs  = 500;  // the ARP probe's wait between ACK and binding

constexpr std::uint8_t kOurMacBytes[6] = {kOurMac[0], kOurMac[1], kOurMac[2],
                                          kOurMac[3], kOurMac[4], kOurMac[5]};

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
Reply Nak(std::uint32_t server = kServerIp) {
    return Reply{.yiaddr = 0, .options = Cat({Opt(53, {6}), Opt32(54, server), {255}})};
}
// An ACK or NAK for the exchange under way (renewals and rebinds draw their own xid).
Reply Current(Reply reply) {
    reply.xid = dhcp::CurrentXid();
    return reply;
}

// What the host heard besides the lease records: the address of each loss (status event 6)
// and the DHCP diagnostics.
struct Heard {
    std::vector<std::uint32_t> lost;
    std::vector<int> diagKinds;
    std::vector<std::uint32_t> diagAddresses;  // lease address or lost address
};
Heard g_heard;

std::uintptr_t RecordStatus(std::uintptr_t, int event, void* data, std::uint32_t a, std::uint32_t,
                            std::uint32_t) {
    StatusRecord record{event, {}};
    if (event == TNSOCK_EVENT_ADDRESS && data != nullptr) {
        std::memcpy(&record.lease, data, sizeof record.lease);
    }
    if (event == TNSOCK_EVENT_ADDRESS_LOST) {
        g_heard.lost.push_back(a);
    }
    VirtualHost::Get().status.push_back(record);
    return 0;
}

void RecordDiagnostic(std::uintptr_t, const TnSockDiagnostic* d) {
    if (d->kind == TNSOCK_DIAG_DHCP_LEASE || d->kind == TNSOCK_DIAG_DHCP_LOST) {
        g_heard.diagKinds.push_back(d->kind);
        g_heard.diagAddresses.push_back(d->lease != nullptr ? d->lease->address : d->address);
    }
}

class DhcpTest : public StackTest {
  protected:
    void SetUp() override {
        StackTest::SetUp();
        config.useDhcp     = 1;
        config.localIp     = "0.0.0.0";
        config.statusEvent = RecordStatus;
        g_heard            = Heard{};
        TnSockSetDiagnostics(RecordDiagnostic, 0);
    }

    void TearDown() override {
        for (TnTimerHandle h : dummyTimers) {
            host().timers.Stop(h);
        }
        StackTest::TearDown();
        TnSockSetDiagnostics(nullptr, 0);
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
    static void ExpectHeader(const Bytes& m, std::uint16_t flags, std::uint32_t ciaddr,
                             std::uint32_t xid = kXid) {
        ASSERT_GE(m.size(), 240u);
        EXPECT_EQ(m[0], 1);  // BOOTREQUEST
        EXPECT_EQ(m[1], 1);
        EXPECT_EQ(m[2], 6);
        EXPECT_EQ(m[3], 0);
        EXPECT_EQ(Get32(m, 4), xid);
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

    void ExpectRequest(const Bytes& m, std::uint32_t ciaddr, std::uint32_t xid = kXid) {
        ASSERT_EQ(m.size(), dhcp::kRequestLen);
        ExpectHeader(m, 0, ciaddr, xid);
        EXPECT_EQ(Options(m), Cat({
                                  Bytes{53, 1, 3  },
                                  ClientId(), Opt32(50, kOurIp),
                                  Opt32(54, kServerIp), Bytes{ 55, 3, 6, 1, 3, 255}
        }));
    }

    // A renewal or rebinding REQUEST (RFC 2131 §4.3.2): the address in ciaddr, neither the
    // server identifier nor the requested address, and the exchange's own xid.
    void ExpectRenewal(const Bytes& m) {
        ASSERT_EQ(m.size(), dhcp::kRenewLen);
        ExpectHeader(m, 0, kOurIp, dhcp::CurrentXid());
        EXPECT_EQ(Options(m), Cat({
                                  Bytes{53, 1, 3  },
                                  ClientId(), Bytes{ 55, 3, 6, 1, 3, 255}
        }));
    }

    // The next frame must be the ARP probe for `address`: a broadcast request from sender
    // address 0 (RFC 5227).
    void ExpectProbe(std::uint32_t address = kOurIp) {
        const Decoded d = NextSent();
        ASSERT_TRUE(d.arp) << "not an ARP frame";
        EXPECT_EQ(d.eth.dst, kBroadcast);
        EXPECT_EQ(d.arp->op, 1);
        EXPECT_EQ(d.arp->senderMac, kOurMac);
        EXPECT_EQ(d.arp->senderIp, 0u);
        EXPECT_EQ(d.arp->targetMac, Mac{});
        EXPECT_EQ(d.arp->targetIp, address);
    }

    // An ACK in REQUESTING: the probe goes out, and after 500 ms unanswered the address is bound.
    void AckAndBind(const Reply& ack = Ack()) {
        Inject(ack);
        EXPECT_STREQ(dhcp::StateName(), "CHECKING");
        ExpectProbe();
        Advance(500);
        EXPECT_STREQ(dhcp::StateName(), "BOUND");
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
        ExpectProbe();
        Advance(500);
        ASSERT_STREQ(dhcp::StateName(), "BOUND");
        LearnPeer(kServerIp, kPeerMac);
        host().status.clear();
        host().logs.clear();
        g_heard = Heard{};
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

    // The ACK's address is probed for first, and used only after 500 ms without an answer.
    Inject(Ack());
    ExpectProbe();
    Advance(kProbeMs - 1);
    EXPECT_STREQ(dhcp::StateName(), "CHECKING");
    EXPECT_TRUE(host().status.empty());
    Advance(1);
    EXPECT_STREQ(dhcp::StateName(), "BOUND");
    EXPECT_EQ(g_heard.diagKinds, std::vector<int>{TNSOCK_DIAG_DHCP_LEASE});
    EXPECT_EQ(g_heard.diagAddresses, std::vector<std::uint32_t>{kOurIp});
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
    ExpectProbe();
    Inject(Offer());  // OFFER and NAK while CHECKING
    Inject(Nak());
    ExpectNoTx();
    Advance(kProbeMs);
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
    AckAndBind();
    EXPECT_EQ(host().status.size(), 1u);
}

// In REQUESTING only the chosen server's ACK for the offered address counts (RFC 2131 §4.4.1);
// a rogue server's ACK, for this or another address, is no answer to our request.
TEST_F(DhcpTest, AckOnlyFromTheChosenServerForTheOfferedAddress) {
    StartWith();
    ExpectDhcp(kBcastIp);
    Inject(Offer());
    ExpectDhcp(kBcastIp);
    const Bytes lease    = Opt32(51, 600);
    const Reply rogues[] = {
        {.options = Cat({Opt(53, {5}), lease, {255}})}, // no server id
        { .options = Cat({Opt(53, {5}), Opt32(54, kGatewayIp), lease, {255}})}, // other server
        { .yiaddr = Ip(192,  0, 2, 99), .options = ServerOptions(5)}, // other address
        {                                                                                .yiaddr  = Ip(192, 0, 2, 99),
         .options = Cat({Opt(53, {5}), Opt32(54, kGatewayIp), lease, {255}})}, // both
    };
    for (const Reply& rogue : rogues) {
        Inject(rogue);
        EXPECT_STREQ(dhcp::StateName(), "REQUESTING");
    }
    ExpectNoTx();
    EXPECT_TRUE(host().status.empty());
    AckAndBind();
    EXPECT_EQ(host().status.size(), 1u);
}

// RFC 2131 table 3: an ACK must carry the lease time; without it, or with 0, it grants nothing.
TEST_F(DhcpTest, AckWithoutALeaseTimeIsIgnored) {
    StartWith();
    ExpectDhcp(kBcastIp);
    Inject(Offer());
    ExpectDhcp(kBcastIp);
    Inject(Ack(kNoTime, kNoTime, kNoTime));
    Inject(Ack(0, 10, 20));
    EXPECT_STREQ(dhcp::StateName(), "REQUESTING");
    ExpectNoTx();
    AckAndBind();
}

// An offer of an address no host may hold is refused; the DISCOVER exchange goes on.
TEST_F(DhcpTest, OffersOfImpossibleAddressesAreRefused) {
    StartWith();
    ExpectDhcp(kBcastIp);
    for (std::uint32_t address :
         {Ip(0, 0, 0, 0), Ip(0, 1, 2, 3), Ip(255, 255, 255, 255), Ip(224, 0, 0, 1),
          Ip(239, 1, 2, 3), Ip(127, 0, 0, 1), Ip(127, 9, 9, 9), Ip(240, 0, 0, 1), kServerIp,
          Ip(192, 0, 2, 0), Ip(192, 0, 2, 255)}) {
        SCOPED_TRACE(address);
        Inject(Reply{.yiaddr = address, .options = ServerOptions(2)});
        EXPECT_STREQ(dhcp::StateName(), "SELECTING");
        ExpectNoTx();
    }
    Inject(Offer());
    ExpectRequest(ExpectDhcp(kBcastIp), 0);
}

// The ACK's address is probed for (sender address 0) and watched for 500 ms. Another station
// that sends from it, or probes for it too, makes the client DECLINE it and ask again after
// 10 s (RFC 2131 §3.1, §4.4.1); our own frames, and ARP about other addresses, do not.
TEST_F(DhcpTest, AnAddressInUseIsDeclined) {
    struct Case {
        const char* what;
        Mac from;
        ArpPacket arp;
        bool conflict;
    };
    const Case cases[] = {
        {"reply from the owner",         kOtherMac, {2, kOtherMac, kOurIp, kOurMac, 0},        true },
        {"announcement",                 kOtherMac, {1, kOtherMac, kOurIp, Mac{}, kOurIp},     true },
        {"probe of another station",     kOtherMac, {1, kOtherMac, 0, Mac{}, kOurIp},          true },
        {"our own probe looped back",    kOurMac,   {1, kOurMac, 0, Mac{}, kOurIp},            false},
        {"question for another address",
         kPeerMac,                                  {1, kPeerMac, kPeerIp, Mac{}, kGatewayIp},
         false                                                                                      },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        StartWith({0, 0, 0x7777});
        ExpectDhcp(kBcastIp);
        Inject(Offer());
        ExpectDhcp(kBcastIp);
        Inject(Ack());
        ExpectProbe();
        Advance(kProbeMs - 1);
        StackTest::Inject(ArpFrame(kBroadcast, c.from, c.arp));
        if (!c.conflict) {
            Advance(1);
            EXPECT_STREQ(dhcp::StateName(), "BOUND");
            continue;
        }
        EXPECT_STREQ(dhcp::StateName(), "INIT");
        const Bytes m = ExpectDhcp(kBcastIp);
        ASSERT_EQ(m.size(), dhcp::kDeclineLen);
        ExpectHeader(m, 0, 0);
        EXPECT_EQ(Options(m), Cat({
                                  Bytes{53, 1, 4},
                                  ClientId(), Opt32(50, kOurIp),
                                  Opt32(54, kServerIp), Bytes{255}
        }));
        EXPECT_TRUE(host().status.empty());
        EXPECT_TRUE(g_heard.lost.empty());
        ExpectNoTx(10'000 - 1);
        Advance(1);
        const Bytes discover = ExpectDhcp(kBcastIp);
        ASSERT_EQ(discover.size(), dhcp::kDiscoverLen);
        EXPECT_EQ(Get32(discover, 4), 0x7777u);
    }
}

TEST_F(DhcpTest, UnicastOfferToTheOfferedAddressIsTakenUp) {
    StartWith();
    ExpectDhcp(kBcastIp);
    Inject(Offer(), kOurIp, kOtherMac);  // for another station: not ours
    ExpectNoTx();
    Inject(Offer(), kOurIp, kOurMac);
    ExpectRequest(ExpectDhcp(kBcastIp), 0);
    Inject(Ack(), kOurIp, kOurMac);
    ExpectProbe();
    Advance(kProbeMs);
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
    EXPECT_EQ(r->messageType, dhcp::MessageType::kAck);
    EXPECT_EQ(r->yiaddr, kOurIp);
    EXPECT_EQ(r->serverId, kServerIp);
    EXPECT_EQ(r->subnetMask, kMask);
    EXPECT_EQ(r->router, kGatewayIp);
    EXPECT_EQ(r->dnsServer, kDnsIp);
    EXPECT_EQ(r->leaseTime, 100u);
    EXPECT_EQ(r->t1, 50u);
    EXPECT_EQ(r->t2, 80u);
}

// Router and DNS server lists give their first address (RFC 2132 §3.5, §3.8); a list whose
// length is no multiple of 4, and any other option of the wrong length, is ignored whole.
TEST_F(DhcpParseTest, AddressListsGiveTheirFirstAndWrongLengthsAreIgnored) {
    auto r = Parse(Cat({Opt(53, {5}),
                        Opt(3, Cat({Be32(kGatewayIp), Be32(kPeerIp)})),
                        Opt(6, Cat({Be32(kDnsIp), Be32(kPeerIp), Be32(kGatewayIp)})),
                        Opt(1, {255, 255, 255}),
                        Opt(51, {0, 0, 0, 0, 100}),
                        {255}}));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->router, kGatewayIp);
    EXPECT_EQ(r->dnsServer, kDnsIp);
    EXPECT_EQ(r->subnetMask, 0u);
    EXPECT_EQ(r->leaseTime, 0u);
    r = Parse(Cat({
        Opt(53, {5                    }
         ), Opt(3, Cat({Be32(kGatewayIp),      Bytes{1, 2}}
         )), Opt(6, {                     }
         ), {255                    }
    }));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->router, 0u);
    EXPECT_EQ(r->dnsServer, 0u);
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

// Every prefix of a good ACK, each in a buffer of its own size: an option the prefix cuts is not
// taken, and nothing behind the prefix is read.
TEST_F(DhcpParseTest, EveryPrefixIsReadWithinItsBytes) {
    const Bytes whole =
        Reply{.options = Cat({Opt(53, {5}), Opt32(54, kServerIp), Opt32(51, 100), Bytes{255}})}
            .Build();
    const std::size_t typeEnd  = dhcp::kOptionsOffset + 3;
    const std::size_t leaseEnd = whole.size() - 1;
    for (std::size_t n = 0; n <= whole.size(); ++n) {
        const Bytes prefix(whole.begin(), whole.begin() + static_cast<long>(n));
        dhcp::DhcpReply r;
        EXPECT_EQ(dhcp::ParseReply(prefix, kXid, kOurMacBytes, r), n >= typeEnd) << n;
        EXPECT_EQ(r.leaseTime, n >= leaseEnd ? 100u : 0u) << n;
    }
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

TEST_F(DhcpTest, TwoRoutersAndTwoDnsServersGiveTheFirstOfEach) {
    StartWith();
    ExpectDhcp(kBcastIp);
    Inject(Offer());
    ExpectDhcp(kBcastIp);
    AckAndBind(Reply{.options = Cat({Opt(53, {5}),
                                     Opt32(54, kServerIp),
                                     Opt32(51, 3600),
                                     Opt(3, Cat({Be32(kGatewayIp), Be32(Ip(192, 0, 2, 253))})),
                                     Opt(6, Cat({Be32(kDnsIp), Be32(Ip(192, 0, 2, 54))})),
                                     {255}})});
    ASSERT_EQ(host().status.size(), 1u);
    EXPECT_EQ(host().status[0].lease.router, kGatewayIp);
    EXPECT_EQ(host().status[0].lease.dnsServer, kDnsIp);
}

// ---- Renewal, rebinding, lease end --------------------------------------------------------------

TEST_F(DhcpTest, RenewalAtT1IsUnicastAndItsAckRestartsTheTimers) {
    Bind(3600, 1800, 3150);
    host().randomValues.push_back(0x2222);  // the renewal's own xid
    ExpectNoTx(1800'000 - kProbeMs - 1);
    Advance(1);
    EXPECT_STREQ(dhcp::StateName(), "RENEWING");
    EXPECT_EQ(dhcp::CurrentXid(), 0x2222u);
    ExpectRenewal(ExpectDhcp(kServerIp, kPeerMac));

    // The renewal ACK, 2 s later, brings new times; every lease timer runs from now.
    Advance(2'000);
    Inject(Current(Ack(7200, 600, 6000)), kOurIp, kOurMac);
    EXPECT_STREQ(dhcp::StateName(), "BOUND");
    ExpectNoTx();  // no ARP probe for an address already in use
    ASSERT_EQ(host().status.size(), 1u);
    EXPECT_EQ(host().status[0].lease.leaseTime, 7200u);
    EXPECT_EQ(host().status[0].lease.t1, 600u);
    EXPECT_EQ(host().logs.back(), "Local IP address aquired: 192.0.2.10");
    EXPECT_EQ(g_heard.diagKinds, std::vector<int>{TNSOCK_DIAG_DHCP_LEASE});
    ExpectNoTx(600'000 - 1);
    Advance(1);
    ExpectRenewal(ExpectDhcp(kServerIp, kPeerMac));
}

// RFC 2131 §4.4.5: renew until T2, rebind until the lease ends, each time repeating after half
// the time left but at least 60 s apart; the address goes only at the lease's end. A server
// silent for most of the lease does not cost the address early.
TEST_F(DhcpTest, RenewsUntilT2AndRebindsUntilTheLeaseEnds) {
    Bind(4000, 1000, 3000);
    Advance(1000'000 - kProbeMs);
    EXPECT_STREQ(dhcp::StateName(), "RENEWING");
    ExpectRenewal(ExpectDhcp(kServerIp, kPeerMac));
    for (std::uint64_t gap : {1000'000u, 500'000u, 250'000u, 125'000u, 62'500u, 60'000u}) {
        ASSERT_EQ(NextFrameAfter(2000'000), gap);
        ExpectRenewal(ExpectDhcp(kServerIp, kPeerMac));
    }
    ASSERT_EQ(NextFrameAfter(2000'000), 2'500u);  // T2 comes before the next 60 s are up
    EXPECT_STREQ(dhcp::StateName(), "REBINDING");
    ExpectRenewal(ExpectDhcp(kBcastIp));
    for (std::uint64_t gap : {500'000u, 250'000u, 125'000u, 62'500u, 60'000u}) {
        ASSERT_EQ(NextFrameAfter(2000'000), gap);
        ExpectRenewal(ExpectDhcp(kBcastIp));
    }
    EXPECT_FALSE(LostReported());
    EXPECT_TRUE(host().status.empty());

    // Any server may answer the rebinding request, and becomes the lease's server.
    const std::uint32_t other = Ip(192, 0, 2, 2);
    Reply ack                 = Current(Ack(4000, 1000, 3000));
    ack.options               = Cat({Opt(53, {5}), Opt32(54, other), Opt32(51, 4000), {255}});
    Inject(ack);
    EXPECT_STREQ(dhcp::StateName(), "BOUND");
    EXPECT_EQ(host().status.size(), 1u);
    LearnPeer(other, kOtherMac);
    Advance(2000'000);
    EXPECT_STREQ(dhcp::StateName(), "RENEWING");
    ExpectRenewal(ExpectDhcp(other, kOtherMac));
}

// At the lease's end the address goes: the stack stops answering for it, the host hears which
// address was lost (status event 6 and the diagnostic), and a new DISCOVER starts at once.
TEST_F(DhcpTest, LeaseEndDropsTheAddressTellsTheHostAndStartsOver) {
    Bind(120, 60, 90);
    host().randomValues.push_back(0x2222);
    host().randomValues.push_back(0x3333);
    host().randomValues.push_back(0x4444);
    Advance(120'000 - kProbeMs - 1);
    EXPECT_STREQ(dhcp::StateName(), "REBINDING");
    EXPECT_FALSE(LostReported());
    TakeSent();
    Advance(1);
    EXPECT_TRUE(LostReported());
    EXPECT_EQ(g_heard.lost, std::vector<std::uint32_t>{kOurIp});
    EXPECT_EQ(g_heard.diagKinds, std::vector<int>{TNSOCK_DIAG_DHCP_LOST});
    EXPECT_EQ(g_heard.diagAddresses, std::vector<std::uint32_t>{kOurIp});
    ASSERT_EQ(host().status.size(), 1u);
    EXPECT_EQ(host().status[0].event, TNSOCK_EVENT_ADDRESS_LOST);

    EXPECT_STREQ(dhcp::StateName(), "SELECTING");
    const Decoded discover = NextSent();
    ASSERT_TRUE(discover.ip && discover.udp);
    EXPECT_EQ(discover.ip->src, 0u);
    EXPECT_EQ(discover.udp->payload.size(), dhcp::kDiscoverLen);
    EXPECT_EQ(Get32(discover.udp->payload, 4), 0x4444u);
    // The address is gone: ARP for it is no longer answered.
    ArpPacket request{1, kPeerMac, kPeerIp, Mac{}, kOurIp};
    StackTest::Inject(ArpFrame(kBroadcast, kPeerMac, request));
    ExpectNoTx();
}

// Once a lease has been held the client never gives up: exchange after exchange of DISCOVERs,
// the later ones after a growing pause, until a server answers.
TEST_F(DhcpTest, AfterALostLeaseTheClientKeepsAsking) {
    Bind(120, 60, 90);
    Advance(120'000 - kProbeMs);
    ASSERT_EQ(g_heard.lost.size(), 1u);
    host().logs.clear();
    std::size_t discovers = 0;
    while (NextFrameAfter(300'000)) {
        for (const Bytes& frame : TakeSent()) {
            const auto d = Decode(frame);
            discovers += d && d->udp && d->udp->payload.size() == dhcp::kDiscoverLen ? 1u : 0u;
        }
        if (host().Now() > 4'000'000 + 1'000'000) {
            break;
        }
    }
    EXPECT_GT(discovers, 20u) << "an hour of asking";
    EXPECT_TRUE(host().logs.empty()) << "nothing more is reported while asking";
    EXPECT_EQ(g_heard.lost.size(), 1u);

    ASSERT_TRUE(NextFrameAfter(300'000));
    TakeSent();
    Inject(Current(Offer()));
    ExpectRequest(ExpectDhcp(kBcastIp), 0, dhcp::CurrentXid());
    AckAndBind(Current(Ack()));
    ASSERT_FALSE(host().status.empty());
    EXPECT_EQ(host().status.back().event, TNSOCK_EVENT_ADDRESS);
}

TEST_F(DhcpTest, MissingT1AndT2DefaultToHalfAndSevenEighthsOfTheLease) {
    Bind(200, kNoTime, kNoTime);
    ExpectNoTx(100'000 - kProbeMs - 1);
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

// Times are kept in milliseconds from the ACK; unless 0 < T1 < T2 < lease holds (after the
// defaults for a missing T1 or T2), both fall back to half and seven eighths of the lease. A
// one-second lease renews at 500 ms, not at once and again and again.
TEST_F(DhcpTest, TimesOutOfOrderFallBackToTheDefaults) {
    struct Case {
        std::uint32_t lease, t1, t2;
        std::uint64_t t1Ms, t2Ms;
    };
    const Case cases[] = {
        {1,   kNoTime, kNoTime, 500,    875   },
        {1,   1,       1,       500,    875   },
        {60,  100,     120,     30'000, 52'500},
        {100, 80,      50,      50'000, 87'500},
        {100, 50,      100,     50'000, 87'500},
        {100, kNoTime, 60,      50'000, 60'000},
        {100, 90,      kNoTime, 50'000, 87'500},
        {100, 10,      20,      10'000, 20'000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.lease << " " << c.t1 << " " << c.t2);
        TearDown();
        SetUp();
        StartWith();
        ExpectDhcp(kBcastIp);
        Inject(Offer());
        ExpectDhcp(kBcastIp);
        Inject(Ack(c.lease, c.t1, c.t2));
        Advance(c.t1Ms - 1);
        EXPECT_STRNE(dhcp::StateName(), "RENEWING");
        Advance(1);
        EXPECT_STREQ(dhcp::StateName(), "RENEWING");
        Advance(c.t2Ms - c.t1Ms - 1);
        EXPECT_STREQ(dhcp::StateName(), "RENEWING");
        Advance(1);
        EXPECT_STREQ(dhcp::StateName(), "REBINDING");
        Advance(std::uint64_t{c.lease} * 1000 - c.t2Ms - 1);
        EXPECT_FALSE(LostReported());
        Advance(1);
        EXPECT_TRUE(LostReported());
    }
}

// ---- NAK ---------------------------------------------------------------------------------------

// A NAK counts only from the server asked (RFC 2131 §4.4.1); the client then starts over with a
// new DISCOVER at once.
TEST_F(DhcpTest, NakWhileRequestingStartsOverButOnlyFromTheChosenServer) {
    StartWith({0, 0, 0x5555});
    ExpectDhcp(kBcastIp);
    Inject(Offer());
    ExpectDhcp(kBcastIp);
    Inject(Nak(kGatewayIp));  // forged, from another server
    ExpectNoTx();
    EXPECT_STREQ(dhcp::StateName(), "REQUESTING");

    Inject(Nak());
    EXPECT_STREQ(dhcp::StateName(), "SELECTING");
    EXPECT_FALSE(LostReported()) << "the first acquisition goes on";
    EXPECT_TRUE(host().status.empty());
    const Bytes m = ExpectDhcp(kBcastIp);
    ASSERT_EQ(m.size(), dhcp::kDiscoverLen);
    EXPECT_EQ(Get32(m, 4), 0x5555u);
}

// The first acquisition refused again and again gives up after the back-off's last interval,
// as it does when nobody answers: seven refusals, the second DISCOVER at once and then pauses
// of 4, 8, 16, 32 and 64 s (less 1 s each, for random values of 0).
TEST_F(DhcpTest, FirstAcquisitionRefusedAgainAndAgainGivesUp) {
    StartWith();  // every random value 0: waits of 3, 7, 15, 31, 63 s
    std::uint64_t waited = 0;
    for (int refusal = 1; refusal <= 7; ++refusal) {
        SCOPED_TRACE(refusal);
        const auto wait = NextFrameAfter(100'000);
        ASSERT_TRUE(wait);
        waited += *wait;
        ASSERT_EQ(ExpectDhcp(kBcastIp).size(), dhcp::kDiscoverLen);
        Inject(Current(Offer()));
        ExpectDhcp(kBcastIp);
        EXPECT_FALSE(LostReported());
        Inject(Current(Nak()));
    }
    EXPECT_EQ(waited, 119'000u);
    EXPECT_TRUE(LostReported());
    EXPECT_STREQ(dhcp::StateName(), "INIT");
    ExpectNoTx(1000'000);
}

// While renewing only our server may refuse; while rebinding any server may (RFC 2131 §4.4.5).
// A refusal costs the address, the host hears it, and a new DISCOVER goes out.
TEST_F(DhcpTest, NakWhileRenewingOnlyFromOurServerWhileRebindingFromAny) {
    const std::uint32_t other = Ip(192, 0, 2, 2);
    struct Case {
        std::uint64_t at;  // ms after binding
        const char* state;
    };
    for (const Case& c : {
             Case{1800'000, "RENEWING" },
             Case{3150'000, "REBINDING"}
    }) {
        SCOPED_TRACE(c.state);
        TearDown();
        SetUp();
        Bind();
        Advance(c.at - kProbeMs);
        ASSERT_STREQ(dhcp::StateName(), c.state);
        TakeSent();
        const bool renewing = std::string(c.state) == "RENEWING";
        Inject(Current(Nak(other)), kOurIp, kOurMac);
        EXPECT_EQ(dhcp::StateName(), std::string(renewing ? c.state : "SELECTING"));
        if (renewing) {
            Inject(Current(Nak()), kOurIp, kOurMac);
            EXPECT_STREQ(dhcp::StateName(), "SELECTING");
        }
        EXPECT_EQ(g_heard.lost, std::vector<std::uint32_t>{kOurIp});
        EXPECT_TRUE(LostReported());
        EXPECT_EQ(ExpectDhcp(kBcastIp).size(), dhcp::kDiscoverLen);
    }
}

// Every exchange has its own xid: a reply to an earlier one is not taken.
TEST_F(DhcpTest, EachExchangeDrawsAFreshXid) {
    Bind(400, 200, 300);
    host().randomValues.push_back(0x2222);
    host().randomValues.push_back(0x3333);
    Advance(200'000 - kProbeMs);
    EXPECT_EQ(dhcp::CurrentXid(), 0x2222u);
    Inject(Ack(400, 200, 300), kOurIp, kOurMac);  // the binding exchange's xid
    EXPECT_STREQ(dhcp::StateName(), "RENEWING");
    Advance(100'000);
    EXPECT_STREQ(dhcp::StateName(), "REBINDING");
    EXPECT_EQ(dhcp::CurrentXid(), 0x3333u);
    Reply late = Ack(400, 200, 300);
    late.xid   = 0x2222;  // the renewal's xid
    Inject(late);
    EXPECT_STREQ(dhcp::StateName(), "REBINDING");
    Inject(Current(Ack(400, 200, 300)));
    EXPECT_STREQ(dhcp::StateName(), "BOUND");
}

// ---- Lease times ------------------------------------------------------------------------------

TEST_F(DhcpTest, LeaseRecordCarriesTheServersTimes) {
    StartWith();
    ExpectDhcp(kBcastIp);
    Inject(Offer());
    ExpectDhcp(kBcastIp);
    AckAndBind(Ack(1000, kNoTime, kNoTime));
    ASSERT_EQ(host().status.size(), 1u);
    EXPECT_EQ(host().status[0].lease.leaseTime, 1000u);
    EXPECT_EQ(host().status[0].lease.t1, 0u);
    EXPECT_EQ(host().status[0].lease.t2, 0u);
}

TEST_F(DhcpTest, TimesBeyondTheTimerRangeAreClamped) {
    // 5,000,000 s does not fit a 32-bit millisecond delay (it would wrap to about 705,033 s).
    // T1 fits; the default T2 (4,375,000 s) and the lease are cut to 4,294,967 s.
    Bind(5'000'000, 4'000'000, kNoTime);
    Advance(4'000'000'000 - kProbeMs - 1);
    EXPECT_STREQ(dhcp::StateName(), "BOUND");
    Advance(1);
    EXPECT_STREQ(dhcp::StateName(), "RENEWING");
    // Renewing lasts until T2, 294,967 s later (cut like the lease).
    Advance(294'967'000 - 1);
    EXPECT_STREQ(dhcp::StateName(), "RENEWING");
    EXPECT_FALSE(LostReported());
}

TEST_F(DhcpTest, ClampedT2AndLeaseFireAtTheLongestDelay) {
    // T2 and the lease are both cut to 4,294,967 s; T1 comes 67 s before that. Unclamped, the
    // lease would wrap to 4,294,965.296 s and end the lease while still renewing.
    Bind(0xFFFFFFFE, 4'294'900, 0xFFFFFF00);
    Advance(4'294'900'000 - kProbeMs);
    EXPECT_STREQ(dhcp::StateName(), "RENEWING");
    Advance(67'000 - 1);
    EXPECT_STREQ(dhcp::StateName(), "RENEWING");
    EXPECT_FALSE(LostReported());
    TakeSent();
    // At T2 the rebinding REQUEST goes out, and the lease timer, due at the same moment, ends
    // it: the client starts over.
    Advance(1);
    ExpectRenewal(ExpectDhcp(kBcastIp));
    EXPECT_TRUE(LostReported());
    EXPECT_STREQ(dhcp::StateName(), "SELECTING");
    EXPECT_EQ(ExpectDhcp(kBcastIp).size(), dhcp::kDiscoverLen);
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
    EXPECT_TRUE(g_heard.lost.empty()) << "given back on request: not a loss";
    EXPECT_EQ(host().timers.ActiveCount(), 0u);
    ExpectNoTx(4000'000);
}

TEST_F(DhcpTest, StopWhileRenewingReleases) {
    Bind();
    Advance(1800'000 - kProbeMs);
    ExpectDhcp(kServerIp, kPeerMac);
    TnDhcpStop();
    EXPECT_EQ(ExpectDhcp(kServerIp, kPeerMac).size(), dhcp::kReleaseLen);
    EXPECT_TRUE(LostReported());
    EXPECT_EQ(host().timers.ActiveCount(), 0u);
}

TEST_F(DhcpTest, StopWhileRebindingSendsNothingButDropsTheAddress) {
    Bind(400, 200, 250);
    Advance(250'000 - kProbeMs);
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
