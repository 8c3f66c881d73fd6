// The stack's counters: every kind of dropped frame moves exactly one drop counter, and the
// traffic counters follow what passes.
#include <array>
#include <cstdlib>
#include <functional>
#include <string>

#include "../tcp/tcp_peer.h"
#include "ipv4.h"

namespace tarnet::test {
namespace {

using Counter = std::uint32_t TnSockCounters::*;

struct DropCounter {
    const char* name;
    Counter member;
};

constexpr std::array<DropCounter, 10> kDropCounters{
    {
     {"checksum", &TnSockCounters::dropChecksum},
     {"not for us", &TnSockCounters::dropNotForUs},
     {"malformed", &TnSockCounters::dropMalformed},
     {"unknown protocol", &TnSockCounters::dropUnknownProtocol},
     {"no listener", &TnSockCounters::dropNoListener},
     {"out of window", &TnSockCounters::dropOutOfWindow},
     {"no memory", &TnSockCounters::dropNoMemory},
     {"reassembly timeout", &TnSockCounters::dropReassemblyTimeout},
     {"reassembly overflow", &TnSockCounters::dropReassemblyOverflow},
     {"ARP queue full", &TnSockCounters::dropArpQueueFull},
     }
};

TnSockCounters Read() {
    TnSockCounters c{};
    TnSockGetCounters(&c);
    return c;
}

// A first fragment of a UDP datagram that never completes.
Ipv4Packet FirstFragment(std::uint16_t id) {
    Ipv4Packet p     = MakeUdp(4000, 53, Pattern(64), kPeerIp, kOurIp, id);
    p.moreFragments  = true;
    p.fragmentOffset = 0;
    return p;
}

// The fixture, with the scripted peer's helpers open to the table of drop cases below.
class CountersTest : public TcpPeerTest {
  public:
    using StackTest::Advance;
    using TcpPeerTest::Connect;
    using TcpPeerTest::Inject;
    using TcpPeerTest::InjectIp;
    using TcpPeerTest::InjectTcp;
    using TcpPeerTest::InjectUdp;
    using TcpPeerTest::OpenUdp;
    using TcpPeerTest::Peer;

  protected:
    // Runs `drop` and expects exactly `expected` among the drop counters to have moved, by one.
    void ExpectOneDrop(const char* what, Counter expected, const std::function<void()>& drop) {
        const TnSockCounters before = Read();
        drop();
        const TnSockCounters after = Read();
        for (const DropCounter& d : kDropCounters) {
            const std::uint32_t moved = after.*d.member - before.*d.member;
            EXPECT_EQ(moved, d.member == expected ? 1u : 0u) << what << ": counter " << d.name;
        }
    }
};

struct DropCase {
    const char* what;
    Counter counter;
    std::function<void(CountersTest&)> setUp;
    std::function<void(CountersTest&)> drop;
};

Bytes Ipv4FrameTo(const Mac& dst, const Ipv4Packet& p) {
    return Ipv4Frame(dst, kPeerMac, p);
}

void* NoBuffer(std::uintptr_t, std::uint16_t) {
    return nullptr;
}

const std::vector<DropCase>& DropCases() {
    static const std::vector<DropCase> cases{
        {"bad IPv4 header checksum",                        &TnSockCounters::dropChecksum,           nullptr,
         [](CountersTest& t) {
             Ipv4Packet p  = MakeUdp(4000, 7, Text("x"));
             p.badChecksum = true;
             t.InjectIp(p);
         }                                                                                                                                                                             },
        {"bad UDP checksum",                                &TnSockCounters::dropChecksum,           nullptr,
         [](CountersTest& t) {
             t.InjectUdp(4000, 7, Text("x"), kPeerIp, kOurIp, UdpDatagram::Checksum::kWrong);
         }                                                                                                                                                                             },
        {"bad TCP checksum",                                &TnSockCounters::dropChecksum,           nullptr,
         [](CountersTest& t) {
             TcpSegment s  = t.Peer(tcpflag::kSyn);
             s.badChecksum = true;
             t.InjectTcp(s);
         }                                                                                                                                                                             },
        {"bad ICMP checksum",                               &TnSockCounters::dropChecksum,           nullptr,
         [](CountersTest& t) {
             IcmpEcho echo{8, 0, 1, 1, Text("ping"), true};
             t.InjectIp(MakeIpv4(1, echo.Build()));
         }                                                                                                                                                                             },
        {"another station's MAC",                           &TnSockCounters::dropNotForUs,           nullptr,
         [](CountersTest& t) { t.Inject(Ipv4FrameTo(kOtherMac, MakeUdp(1, 7, Text("x")))); }                                                                                           },
        {"another host's IPv4 address",                     &TnSockCounters::dropNotForUs,           nullptr,
         [](CountersTest& t) { t.InjectIp(MakeUdp(1, 7, Text("x"), kPeerIp, Ip(192, 0, 2, 77))); }                                                                                     },
        {"ARP request for another address",                 &TnSockCounters::dropNotForUs,           nullptr,
         [](CountersTest& t) {
             ArpPacket request{1, kOtherMac, Ip(192, 0, 2, 50), Mac{}, Ip(192, 0, 2, 51)};
             t.Inject(ArpFrame(kBroadcast, kOtherMac, request));
         }                                                                                                                                                                             },
        {"runt frame",                                      &TnSockCounters::dropMalformed,          nullptr,
         [](CountersTest& t) { t.Inject(Bytes(10, 0xFF)); }                                                                                                                            },
        {"IPv4 total length beyond the frame",              &TnSockCounters::dropMalformed,          nullptr,
         [](CountersTest& t) {
             Ipv4Packet p  = MakeUdp(1, 7, Text("x"));
             p.totalLength = 600;
             t.InjectIp(p);
         }                                                                                                                                                                             },
        {"TCP data offset below the header",                &TnSockCounters::dropMalformed,          nullptr,
         [](CountersTest& t) {
             TcpSegment s      = t.Peer(tcpflag::kSyn);
             s.dataOffsetWords = 4;
             t.InjectTcp(s);
         }                                                                                                                                                                             },
        {"IPv6 EtherType",                                  &TnSockCounters::dropUnknownProtocol,    nullptr,
         [](CountersTest& t) {
             EthFrame f{kOurMac, kPeerMac, 0x86DD, Pattern(60)};
             t.Inject(f.Build());
         }                                                                                                                                                                             },
        {"GRE protocol",                                    &TnSockCounters::dropUnknownProtocol,    nullptr,
         [](CountersTest& t) { t.InjectIp(MakeIpv4(47, Pattern(40))); }                                                                                                                },
        {"UDP to a closed port",                            &TnSockCounters::dropNoListener,         nullptr,
         [](CountersTest& t) { t.InjectUdp(4000, 9999, Text("x")); }                                                                                                                   },
        {"TCP SYN to a closed port",                        &TnSockCounters::dropNoListener,         nullptr,
         [](CountersTest& t) { t.InjectTcp(t.Peer(tcpflag::kSyn)); }                                                                                                                   },
        {"TCP data outside the window",                     &TnSockCounters::dropOutOfWindow,
         [](CountersTest& t) { t.Connect(); },
         [](CountersTest& t) {
             TcpSegment s = t.Peer(tcpflag::kAck, Text("far"));
             s.seq += 100000;
             t.InjectTcp(s);
         }                                                                                                                                                                             },
        {"TCP data without a receive buffer",               &TnSockCounters::dropNoMemory,
         [](CountersTest& t) {
             TnTcpConfig c = TcpState().config;
             c.rxAlloc     = NoBuffer;
             TnTcpDeinit();
             ASSERT_EQ(TnTcpInit(&c), TNTCP_SUCCESS);
             t.Connect();
         },                                                                                                   [](CountersTest& t) { t.InjectTcp(t.Peer(tcpflag::kAck, Text("data"))); }},
        {"fragment never completed",                        &TnSockCounters::dropReassemblyTimeout,
         [](CountersTest& t) { t.InjectIp(FirstFragment(1)); },
         [](CountersTest& t) { t.Advance(kReassemblyTimeoutMs); }                                                                                                                      },
        {"more datagrams in reassembly than entries",       &TnSockCounters::dropReassemblyOverflow,
         [](CountersTest& t) {
             for (std::uint16_t id = 1; id <= 8; ++id) {
                 t.InjectIp(FirstFragment(id));
             }
         },                                                                                                   [](CountersTest& t) { t.InjectIp(FirstFragment(9)); }                    },
        {"a second datagram while the first waits for ARP", &TnSockCounters::dropArpQueueFull,
         [](CountersTest&) {},
         [](CountersTest& t) {
             TnSockEndpoint* e            = t.OpenUdp(3000);
             const std::uint8_t data[]    = {1, 2, 3};
             const std::uint32_t stranger = Ip(192, 0, 2, 99);
             EXPECT_EQ(TnSockUdpSendto(e, stranger, 7, data, 3), TNSOCK_SUCCESS);
             EXPECT_EQ(TnSockUdpSendto(e, stranger, 7, data, 3), TNSOCK_SUCCESS);
         }                                                                                                                                                                             },
    };
    return cases;
}

TEST_F(CountersTest, EachDropMovesExactlyOneCounter) {
    for (const DropCase& c : DropCases()) {
        SCOPED_TRACE(c.what);
        StartStack();
        if (c.setUp) {
            c.setUp(*this);
        }
        ExpectOneDrop(c.what, c.counter, [&] { c.drop(*this); });
        TnSockDeinit();
        TcpNotes().clear();
        host().Reset();
    }
}

TEST_F(CountersTest, TrafficIsCountedPerLayerAndStartsAtZero) {
    StartStack();  // one ARP request in, one reply out
    TnSockCounters c = Read();
    EXPECT_EQ(c.framesIn, 1u);
    EXPECT_EQ(c.arpIn, 1u);
    EXPECT_EQ(c.arpOut, 1u);
    EXPECT_EQ(c.framesOut, 1u);
    Connect();  // SYN out, SYN+ACK in, ACK out
    PeerSends(Text("hello"));
    ASSERT_EQ(Out().ack, peerSeq);
    InjectTcp(Peer(tcpflag::kRst));
    EXPECT_EQ(Notes(TNTCP_NOTIFY_CLOSED), 1);
    c = Read();
    EXPECT_EQ(c.tcpIn, 3u);
    EXPECT_EQ(c.tcpOut, 3u);
    EXPECT_EQ(c.ipIn, 3u);
    EXPECT_EQ(c.ipOut, 3u);
    EXPECT_EQ(c.tcpResetsReceived, 1u);
    EXPECT_EQ(c.framesIn, 4u);
    EXPECT_EQ(c.framesOut, 4u);
    // A new start counts from zero; the counts stay readable after shut-down.
    TnSockDeinit();
    EXPECT_EQ(Read().framesIn, 4u);
    ASSERT_EQ(Start(), TNSOCK_SUCCESS);
    EXPECT_EQ(Read().framesIn, 0u);
}

TEST_F(CountersTest, RetransmissionsTimeoutsAndFastRetransmitsAreCounted) {
    StartStack();
    TcpControlBlock* b = Connect();
    Send(b, Pattern(4 * 1000));
    const std::size_t flight = SentCount();
    ASSERT_GE(flight, 2u);
    TakeSent();
    // Three duplicate acknowledgments resend the oldest segment at once.
    for (int i = 0; i < 3; ++i) {
        PeerAcks(iss + 1);
    }
    TnSockCounters c = Read();
    EXPECT_EQ(c.tcpFastRetransmits, 1u);
    EXPECT_EQ(c.tcpRetransmissions, 1u);
    EXPECT_EQ(c.tcpTimeouts, 0u);
    // Then the timer runs out and resends it again.
    TakeSent();
    Advance(static_cast<std::uint64_t>(b->rto));
    c = Read();
    EXPECT_EQ(c.tcpTimeouts, 1u);
    EXPECT_EQ(c.tcpRetransmissions, 2u);
    EXPECT_EQ(c.tcpFastRetransmits, 1u);
    // An in-window SYN is answered with a challenge ACK.
    InjectTcp(Peer(tcpflag::kSyn));
    EXPECT_EQ(Read().tcpChallengeAcks, 1u);
    TnTcpAbort(b);
    EXPECT_EQ(Read().tcpResetsSent, 1u);
}

}  // namespace
}  // namespace tarnet::test
