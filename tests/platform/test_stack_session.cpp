// The stack session on the scripted adapter: both start orders with their lines, the shut-down
// order with a lease (connections ended from the leased address before the RELEASE leaves),
// and a DHCP client that gives up ending the wait for a lease, on the virtual clock.
#include <memory>

#include "../tcp/tcp_peer.h"
#include "stack_session.h"

namespace tarnet::test {
namespace {

using platform::StackSession;
using platform::StartOrder;
using namespace tcpflag;

constexpr std::uint32_t kXid = 0x1234ABCD;

// A port whose loop is the virtual clock: Finish() lets virtual time pass, 10 ms at a time.
class ClockPort : public platform::AdapterPort {
  public:
    bool List(std::vector<platform::AdapterEntry>& out, std::string&) override {
        out = {
            {"veth0", "Test link"}
        };
        return true;
    }
    bool Open(const std::string& name, std::string& error) override {
        steps.push_back("open " + name);
        error = openError;
        open  = openError.empty();
        return open;
    }
    void Close() override {
        if (open) {
            steps.push_back("close");
        }
        open = false;
    }
    bool IsOpen() const override { return open; }
    void Finish(DoneFn done, void* context, std::uint64_t deadlineMs) override {
        while (!done(context) && NowMs() < deadlineMs) {
            VirtualHost::Get().Advance(10);
        }
    }
    std::uint64_t NowMs() const override { return VirtualHost::Get().Now(); }

    std::vector<std::string> steps;
    std::string openError;
    bool open = false;
};

struct GaveUpListener : platform::StackListener {
    void OnDhcpGaveUp() override { ++gaveUp; }
    void OnLease(const TnDhcpLease& lease) override { leased = lease.address; }
    int gaveUp           = 0;
    std::uint32_t leased = 0;
};

class StackSessionTest : public TcpPeerTest {
  protected:
    void SetUp() override {
        TcpPeerTest::SetUp();
        TnSockSetPredictableIsn(1);  // the first random value is then the DHCP transaction's
        session = std::make_unique<StackSession>(
            port,
            [this](TnSockConfig& c) {
                c = VirtualHost::Get().Config();
                port.steps.push_back("TnSockInit");
            },
            [this](const std::string& line) { lines.push_back(line); });
        session->AddListener(&listener);
    }
    void TearDown() override {
        session.reset();
        TcpPeerTest::TearDown();
    }

    platform::StackSettings Settings(StartOrder order, bool dhcp) const {
        platform::StackSettings s;
        s.adapter = "veth0";
        s.mac     = {kOurMac[0], kOurMac[1], kOurMac[2], kOurMac[3], kOurMac[4], kOurMac[5]};
        s.useDhcp = dhcp;
        s.localIp = "192.0.2.10";
        s.order   = order;
        return s;
    }

    // A server's OFFER (type 2) or ACK (type 5) of kOurIp for transaction kXid, from kPeerIp.
    void ServerSays(std::uint8_t type) {
        Bytes m(240, 0);
        m[0] = 2;
        m[1] = 1;
        m[2] = 6;
        const Bytes cookie{99, 130, 83, 99};
        for (std::size_t i = 0; i < 4; ++i) {
            m[4 + i]   = static_cast<std::uint8_t>(kXid >> (24 - 8 * i));
            m[16 + i]  = static_cast<std::uint8_t>(kOurIp >> (24 - 8 * i));
            m[236 + i] = cookie[i];
        }
        std::copy(kOurMac.begin(), kOurMac.end(), m.begin() + 28);
        const auto option32 = [&m](std::uint8_t code, std::uint32_t v) {
            m.insert(m.end(), {code, 4, static_cast<std::uint8_t>(v >> 24),
                               static_cast<std::uint8_t>(v >> 16),
                               static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)});
        };
        m.insert(m.end(), {53, 1, type});
        option32(54, kPeerIp);
        option32(1, kMask);
        option32(3, kGatewayIp);
        option32(51, 3600);
        m.push_back(255);
        InjectIp(MakeUdp(67, 68, m, kPeerIp, 0xFFFFFFFF), kPeerMac, kBroadcast);
    }

    ClockPort port;
    std::vector<std::string> lines;
    GaveUpListener listener;
    std::unique_ptr<StackSession> session;
};

TEST_F(StackSessionTest, EachStartOrderHasItsStepsAndLines) {
    const std::string macLine  = "Initializing with eth addr: 02:54:4e:00:00:01:";
    const std::string noDevice = "Unable to open the adapter : no such device";
    struct Case {
        StartOrder order;
        std::string openError;
        const char* localIp;
        StackSession::Start start;
        std::vector<std::string> steps;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {StartOrder::kStackFirst,
         "",               "192.0.2.10",
         StackSession::Start::kUp,
         {"TnSockInit", "open veth0"},
         {macLine, "TnSock initialized OK"}              },
        {StartOrder::kStackFirst,
         "no such device", "192.0.2.10",
         StackSession::Start::kAdapterFailed,
         {"TnSockInit", "open veth0"},
         {macLine, noDevice}                             },
        {StartOrder::kStackFirst,
         "",               "192.0.2.300",
         StackSession::Start::kInitFailed,
         {"TnSockInit"},
         {macLine, "TnSockInit failed, rc=Bad parameter"}},
        {StartOrder::kAdapterFirst,
         "",               "192.0.2.10",
         StackSession::Start::kUp,
         {"open veth0", "TnSockInit"},
         {}                                              },
        {StartOrder::kAdapterFirst,
         "no such device", "192.0.2.10",
         StackSession::Start::kAdapterFailed,
         {"open veth0"},
         {noDevice}                                      },
        {StartOrder::kAdapterFirst,
         "",               "192.0.2.300",
         StackSession::Start::kInitFailed,
         {"open veth0", "TnSockInit"},
         {"TnSockInit failed, rc=Bad parameter"}         },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.steps.front() + " / " + c.openError + " / " + c.localIp);
        port.steps.clear();
        port.openError = c.openError;
        lines.clear();
        platform::StackSettings settings = Settings(c.order, false);
        settings.localIp                 = c.localIp;
        EXPECT_EQ(session->Begin(settings), c.start);
        session->Shutdown();
        if (port.steps.size() > c.steps.size() && port.steps.back() == "close") {
            port.steps.pop_back();  // the shut-down closes what was opened
        }
        EXPECT_EQ(port.steps, c.steps);
        EXPECT_EQ(lines, c.lines);
        EXPECT_FALSE(port.open);
    }
}

TEST_F(StackSessionTest, ConnectionsEndFromTheLeasedAddressBeforeTheRelease) {
    host().randomValues.push_back(static_cast<int>(kXid));
    ASSERT_EQ(session->Begin(Settings(StartOrder::kStackFirst, true)), StackSession::Start::kUp);
    ServerSays(2);  // OFFER
    ServerSays(5);  // ACK, then the ARP probe's wait
    Advance(600);
    ASSERT_TRUE(session->Leased());
    EXPECT_EQ(listener.leased, kOurIp);
    LearnPeer();
    host().sent.clear();

    // The peer opens a connection to a listener; it is still open at the shut-down.
    TnSockEndpoint* listening  = nullptr;
    const TnSockEventFn accept = [](std::uintptr_t, int, void*, std::uint32_t, std::uint32_t,
                                    std::uint32_t) -> std::uintptr_t { return 1; };
    ASSERT_EQ(TnSockTcpListen(kOurPort, 1, accept, &listening), TNSOCK_SUCCESS);
    InjectTcp(Peer(kSyn));
    ++peerSeq;
    const TcpSegment synAck = Out();
    PeerAcks(synAck.seq + 1);
    ASSERT_EQ(session->OpenConnections(), 1u);
    host().sent.clear();

    session->Shutdown();
    std::vector<std::string> seen;
    for (const Bytes& frame : TakeSent()) {
        const std::optional<Decoded> d = Decode(frame);
        if (d && d->tcp && d->tcp->Has(kRst)) {
            seen.push_back("RST from " + std::to_string(d->ip->src == kOurIp));
        } else if (d && d->udp && d->udp->srcPort == 68) {
            seen.push_back("RELEASE from " + std::to_string(d->ip->src == kOurIp));
        }
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"RST from 1", "RELEASE from 1"}));
    EXPECT_EQ(port.steps.back(), "close");
    EXPECT_FALSE(session->StackUp());
}

TEST_F(StackSessionTest, AClientThatGivesUpEndsTheWaitForALease) {
    ASSERT_EQ(session->Begin(Settings(StartOrder::kAdapterFirst, true)), StackSession::Start::kUp);
    const std::uint64_t start = host().Now();
    EXPECT_FALSE(session->WaitForLease(start + 600'000));
    EXPECT_TRUE(session->GaveUp());
    EXPECT_EQ(listener.gaveUp, 1);
    const std::uint64_t waited = host().Now() - start;
    EXPECT_GT(waited, 60'000u) << "the client asks for about two minutes";
    EXPECT_LT(waited, 180'000u) << "and then the wait ends, not at the deadline";
}

}  // namespace
}  // namespace tarnet::test
