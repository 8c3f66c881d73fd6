// sockbench's logic on the scripted peer: the session records, the commands, the stack's events
// and every log text, with a recording view in place of the window.
#include <memory>

#include "../tcp/tcp_peer.h"
#include "sockbench_logic.h"

namespace tarnet::test {
namespace {

using namespace sockbench;
using namespace tcpflag;

class ScriptedPort : public desktop::AdapterPort {
  public:
    bool List(std::vector<desktop::AdapterEntry>& out, std::string& error) override {
        out   = entries;
        error = listError;
        return listError.empty();
    }
    bool Open(const std::string& name, std::string& error) override {
        opened = name;
        error  = openError;
        open   = openError.empty();
        return open;
    }
    void Close() override { open = false; }
    bool IsOpen() const override { return open; }

    std::vector<desktop::AdapterEntry> entries{
        {"veth0", "Test link"},
        {"lo",    ""         }
    };
    std::string listError;
    std::string openError;
    std::string opened;
    bool open = false;
};

class RecordingView : public View {
  public:
    void LogAppended(const std::string&) override {}
    void LogFirstRemoved() override { ++logDrops; }
    void SessionAdded(int record) override { rows.push_back(record); }
    void SessionChanged(int) override {}
    void SessionRemoved(int record) override { std::erase(rows, record); }
    void ShowData(const std::string& utf8) override { shown = utf8; }
    void ShowLocalAddress(const std::string& text) override { address = text; }

    std::vector<int> rows;
    int logDrops = 0;
    std::string shown;
    std::string address;
};

class SockBenchTest : public TcpPeerTest {
  protected:
    void SetUp() override {
        TcpPeerTest::SetUp();
        TnSockSetPredictableIsn(1);
        bench = std::make_unique<SockBench>(
            view, port, [](TnSockConfig& c) { c = VirtualHost::Get().Config(); });
    }
    void TearDown() override {
        bench.reset();
        TcpPeerTest::TearDown();
    }

    void Up() {
        EXPECT_EQ(bench->LoadAdapters(), (std::vector<std::string>{"[1] Test link", "[2] lo"}));
        ASSERT_TRUE(bench->Initialise({0, "192.0.2.10", "02:54:4E:00:00:01", false}));
        LearnPeer();
    }

    static SessionFields Fields(int protocol, std::uint16_t localPort,
                                const std::string& remote = "192.0.2.1",
                                std::uint16_t remotePort  = kPeerPort) {
        return SessionFields{protocol, 0, remote, localPort, remotePort};
    }

    // A block of any size up to the receive window in one data event: the segments are kept
    // while delivery is paused and handed over together when it resumes.
    void PeerSendsBlock(TnSockEndpoint* endpoint, const Bytes& block) {
        ASSERT_EQ(TnSockTcpPauseReceive(endpoint, 1), TNSOCK_SUCCESS);
        for (std::size_t at = 0; at < block.size(); at += 1024) {
            const std::size_t n = std::min<std::size_t>(1024, block.size() - at);
            PeerSends(Bytes(block.begin() + static_cast<std::ptrdiff_t>(at),
                            block.begin() + static_cast<std::ptrdiff_t>(at + n)));
        }
        ASSERT_EQ(TnSockTcpPauseReceive(endpoint, 0), TNSOCK_SUCCESS);
    }

    std::string LastLog() const { return bench->LogRows().empty() ? "" : bench->LogRows().back(); }

    ScriptedPort port;
    RecordingView view;
    std::unique_ptr<SockBench> bench;
};

TEST_F(SockBenchTest, InitialiseReportsEachOutcome) {
    struct Case {
        int adapter;
        const char* ip;
        const char* mac;
        const char* openError;
        const char* lastLog;
        bool ok;
    };
    const std::string badIp =
        std::string("TnSockInit failed, rc=") + TnSockResultName(TNSOCK_BAD_PARAMETER);
    const Case cases[] = {
        {-1, "192.0.2.10", "02:54:4e:00:00:01", "",              "Local adapter not selected from list", false},
        {0,  "192.0.2.10", "02:54:4e:00:00",    "",
         "Local ethernet address must be 17 characters, e.g. 00:1E:68:A4:FB:15",                         false},
        {0,  "192.0.2.",   "02:54:4e:00:00:01", "",              badIp.c_str(),                          false},
        {0,  "192.0.2.10", "02:54:4e:00:00:01", "no permission",
         "Unable to open the adapter : no permission",                                                   false},
        {1,  "192.0.2.10", "02:54:4e:00:00:01", "",              "TnSock initialized OK",                true },
    };
    bench->LoadAdapters();
    for (const Case& c : cases) {
        port.openError = c.openError;
        EXPECT_EQ(bench->Initialise({c.adapter, c.ip, c.mac, false}), c.ok) << c.lastLog;
        EXPECT_EQ(LastLog(), c.lastLog);
        EXPECT_EQ(port.IsOpen(), c.ok) << c.lastLog;
    }
    EXPECT_EQ(port.opened, "lo");
    EXPECT_EQ(bench->LogRows()[bench->LogRows().size() - 2],
              "Initializing with eth addr: 02:54:4e:00:00:01:");
}

TEST_F(SockBenchTest, AdapterListFailureLeavesTheSelectorEmpty) {
    port.listError = "no devices";
    EXPECT_TRUE(bench->LoadAdapters().empty());
    EXPECT_EQ(LastLog(), "Error in pcap_findalldevs: no devices");
    EXPECT_FALSE(bench->Initialise({0, "192.0.2.10", "02:54:4e:00:00:01", false}));
    EXPECT_EQ(LastLog(), "Local adapter not selected from list");
}

TEST_F(SockBenchTest, TenSessionsAtMostAndClosingFreesThem) {
    Up();
    bench->Connect(Fields(kProtocolTcp, 0, "host.example"));
    EXPECT_EQ(LastLog(), "Cannot add new session, invalid remote ip address.");
    EXPECT_EQ(bench->SessionsInUse(), 0u);
    for (int round = 0; round < 2; ++round) {
        for (std::uint16_t i = 0; i < kSessions; ++i) {
            bench->Connect(Fields(kProtocolUdp, static_cast<std::uint16_t>(2000 + i)));
            ASSERT_EQ(LastLog(), "TnSockUdpOpen OK.");
        }
        bench->Connect(Fields(kProtocolUdp, 2100));
        EXPECT_EQ(LastLog(), "Cannot add new session, max number of sessions reached.");
        EXPECT_EQ(view.rows.size(), kSessions);
        for (int record = 0; record < static_cast<int>(kSessions); ++record) {
            bench->CloseSession(record);
            EXPECT_EQ(LastLog(), "Session closed by user");
        }
        EXPECT_EQ(bench->SessionsInUse(), 0u);
        EXPECT_TRUE(view.rows.empty());
    }
}

TEST_F(SockBenchTest, FailedOpensAndMissingSelectionConsumeNothing) {
    Up();
    bench->Connect(Fields(kProtocolUdp, 2000));
    bench->Connect(Fields(kProtocolUdp, 2000));
    EXPECT_EQ(LastLog(),
              std::string("TnSockUdpOpen failed rc=") + TnSockResultName(TNSOCK_BIND_FAILED));
    bench->Connect(SessionFields{-1, 0, "192.0.2.1", 2001, 1});
    EXPECT_EQ(bench->SessionsInUse(), 1u);
    bench->SendData(-1, "x");
    EXPECT_EQ(LastLog(), "No session is selected, cannot send");
    bench->CloseSession(5);
    EXPECT_EQ(LastLog(), "No session is selected, cannot send");
}

TEST_F(SockBenchTest, TcpClientSessionExchangesUtf8AndEnds) {
    Up();
    bench->Connect(Fields(kProtocolTcp, 0));
    EXPECT_EQ(LastLog(), "TnSockTcpConnect initiated OK.");
    EXPECT_EQ(bench->RowOf(0).stat, "Trying");
    const TcpSegment syn = Out();
    ourPort              = syn.srcPort;
    peerSeq              = 0x9000;
    peerAck              = syn.seq + 1;
    InjectTcp(Peer(kSyn | kAck));
    peerSeq = 0x9001;
    Out();
    EXPECT_EQ(LastLog(), "TCP session connected");
    const SessionRow row = bench->RowOf(0);
    EXPECT_EQ(row.src, "192.0.2.10:0");
    EXPECT_EQ(row.dst, "192.0.2.1:4000");
    EXPECT_EQ(row.prot + "/" + row.stat, "TCP/Up");

    const std::string text = "h\xC3\xA9llo \xE2\x82\xAC";  // 7 characters, 10 bytes
    bench->SendData(0, text);
    EXPECT_EQ(LastLog(), std::string("TnSockTcpSend rc=") + TnSockResultName(TNSOCK_SUCCESS));
    EXPECT_EQ(Out().payload, Bytes(text.begin(), text.end()));

    struct Received {
        Bytes data;
        std::string shown;
    };
    const Received blocks[] = {
        {{'o', 'k', 0xFF, 0xC3}, "ok\xEF\xBF\xBD\xEF\xBF\xBD"},
        { Bytes(4095, 'a'),                              std::string(4095, 'a')},
        { Bytes(4096, 'b'),                              std::string(4095, 'a')}, // logged, not shown
    };
    for (const Received& block : blocks) {
        PeerSendsBlock(bench->At(0).endpoint, block.data);
        while (SentCount() != 0) {
            Out();
        }
        EXPECT_EQ(LastLog(), "TCP Socket data received len=" + std::to_string(block.data.size()));
        EXPECT_EQ(view.shown, block.shown);
    }
    PeerSends({}, kFin);
    EXPECT_EQ(LastLog(), "TCP session closed");
    EXPECT_EQ(bench->SessionsInUse(), 0u);
    EXPECT_TRUE(view.rows.empty());
}

TEST_F(SockBenchTest, UdpSessionSendsBytesAndShowsShortDatagrams) {
    Up();
    bench->Connect(Fields(kProtocolUdp, 2000, "192.0.2.1", 2001));
    const std::string euros(kDataChars + 20, 'x');
    struct Send {
        std::string text;
        int rc;
        std::size_t bytes;
    };
    std::string wide;
    for (std::size_t i = 0; i < kDataChars; ++i) {
        wide += "\xE2\x82\xAC";  // 511 characters, 1533 bytes: above the datagram limit
    }
    const Send sends[] = {
        {"\xC3\xA9t\xC3\xA9", TNSOCK_SUCCESS,       5         },
        {euros,               TNSOCK_SUCCESS,       kDataChars}, // the field's limit: 511 characters
        {wide,                TNSOCK_BAD_PARAMETER, 0         },
    };
    for (const Send& s : sends) {
        bench->SendData(0, s.text);
        EXPECT_EQ(LastLog(), std::string("TnSockUdpSendto rc=") + TnSockResultName(s.rc));
        if (s.bytes != 0) {
            const Decoded d = NextSent();
            ASSERT_TRUE(d.udp);
            EXPECT_EQ(d.udp->payload.size(), s.bytes);
            EXPECT_EQ(d.udp->dstPort, 2001);
        }
    }
    EXPECT_EQ(SentCount(), 0u);
    InjectUdp(2001, 2000, Bytes(2047, 'u'));
    EXPECT_EQ(LastLog(), "Socket data received len=2047");
    EXPECT_EQ(view.shown, std::string(2047, 'u'));
    InjectUdp(2001, 2000, Bytes(2048, 'v'));
    EXPECT_EQ(LastLog(), "Socket data received len=2048");
    EXPECT_EQ(view.shown, std::string(2047, 'u'));
}

TEST_F(SockBenchTest, ListenerAcceptsUntilTheRecordsRunOut) {
    Up();
    bench->Listen(Fields(kProtocolTcp, kOurPort));
    EXPECT_EQ(LastLog(), "TnSockTcpListen OK. Listening on local port 5000");
    EXPECT_TRUE(view.rows.empty()) << "a listener has no row";
    for (std::uint16_t i = 0; i < kSessions - 1; ++i) {
        bench->Listen(Fields(kProtocolUdp, static_cast<std::uint16_t>(2000 + i)));
    }
    peerSeq = 0x7000;
    InjectTcp(Peer(kSyn));
    const TcpSegment accepted = Out();
    EXPECT_TRUE(accepted.Has(kSyn | kAck));
    EXPECT_EQ(LastLog(), "TCP session connected");
    const SessionRow row = bench->RowOf(view.rows.back());
    EXPECT_EQ(row.src + " " + row.dst + " " + row.stat, "192.0.2.10:5000 192.0.2.1:4000 Up");

    TcpSegment second = Peer(kSyn);
    second.srcPort    = kPeerPort + 1;
    InjectTcp(second);
    const TcpSegment refused = Out();
    EXPECT_TRUE(refused.Has(kRst)) << "all ten records taken: refused";
    EXPECT_EQ(view.rows.size(), kSessions);
}

TEST_F(SockBenchTest, LeasedAddressFillsTheFieldAndLaterRows) {
    EXPECT_EQ(bench->LoadAdapters().size(), 2u);
    ASSERT_TRUE(bench->Initialise({0, "", "02:54:4E:00:00:01", true}));
    EXPECT_EQ(bench->Stack().LocalIpText(), "0.0.0.0");
    host().sent.clear();  // the DHCP discovery
    bench->OnStatus(TNSOCK_EVENT_ADDRESS_LOST, nullptr);
    EXPECT_EQ(view.address, "");
    const TnDhcpLease lease{Ip(192, 0, 2, 55), 0, 0, kMask, 3600, 1800, 3150};
    bench->OnStatus(TNSOCK_EVENT_ADDRESS, &lease);
    EXPECT_EQ(view.address, "192.0.2.55");
    bench->Connect(Fields(kProtocolUdp, 2000));
    EXPECT_EQ(bench->RowOf(view.rows.back()).src, "192.0.2.55:2000");
}

TEST_F(SockBenchTest, LogKeepsTheNewestThousandRowsCutTo79Characters) {
    std::string wide;
    for (int i = 0; i < 100; ++i) {
        wide += "\xC3\xBC";
    }
    bench->Log(wide);
    EXPECT_EQ(LastLog().size(), 79u * 2) << "79 characters of two bytes each";
    bench->Log(std::string(100, 'x'));
    EXPECT_EQ(LastLog(), std::string(79, 'x'));
    for (int i = 0; i < 999; ++i) {
        bench->Log("row " + std::to_string(i));
    }
    EXPECT_EQ(bench->LogRows().size(), kLogRows);
    EXPECT_EQ(view.logDrops, 1);
    EXPECT_EQ(bench->LogRows().front(), std::string(79, 'x'));
    EXPECT_EQ(LastLog(), "row 998");
}

// The counters go into the log whole: every field once, no row cut short.
TEST_F(SockBenchTest, CountersButtonLogsEveryCounterInWholeRows) {
    Up();  // one ARP request in, one reply out
    const std::size_t before = bench->LogRows().size();
    bench->LogCounters();
    std::string all;
    for (std::size_t i = before; i < bench->LogRows().size(); ++i) {
        const std::string& row = bench->LogRows()[i];
        EXPECT_LE(row.size(), 79u) << row;
        all += row;
    }
    EXPECT_NE(all.find("counters frames: in 1, out 1"), std::string::npos) << all;
    EXPECT_NE(all.find("arp queue full 0"), std::string::npos) << all;
    EXPECT_NE(all.find("challenge acks 0"), std::string::npos) << all;
    EXPECT_NE(all.find("dhcp: sent 0, received 0"), std::string::npos) << all;
}

}  // namespace
}  // namespace tarnet::test
