// Stack start and shutdown: the checks on the configuration record, what a refused start leaves
// behind, a second start, shutdown, and the result-code names.
#include <climits>
#include <cstring>
#include <iterator>

#include "harness.h"
#include "needs_size.h"
#include "tcp.h"

namespace tarnet::test {
namespace {

class SockInitTest : public StackTest {
  protected:
    // Socket calls are refused and frames ignored.
    void ExpectStopped() {
        TnSockEndpoint* endpoint = nullptr;
        EXPECT_EQ(TnSockUdpOpen(1, RecordSockEvent, 3000, &endpoint), TNSOCK_NOT_INITIALIZED);
        Inject(ArpFrame(kBroadcast, kPeerMac, ArpPacket{1, kPeerMac, kPeerIp, Mac{}, kOurIp}));
        EXPECT_TRUE(TakeSent().empty()) << "a stopped stack answered ARP";
    }

    // Sends a datagram to `dst` and returns the frames that went out at once.
    std::vector<Bytes> SendTo(std::uint32_t dst) {
        const std::uint8_t byte = 1;
        EXPECT_EQ(TnSockUdpSendto(OpenUdp(4000), dst, 9, &byte, 1), TNSOCK_SUCCESS);
        return TakeSent();
    }
};

TEST_F(SockInitTest, RefusesARecordWithoutARequiredMember) {
    EXPECT_EQ(TnSockInit(nullptr), TNSOCK_BAD_PARAMETER);
    using Clear         = void (*)(TnSockConfig&);
    const Clear clear[] = {
        [](TnSockConfig& c) { c.localIp = nullptr; },
        [](TnSockConfig& c) { c.macAddress = nullptr; },
        [](TnSockConfig& c) { c.timerStart = nullptr; },
        [](TnSockConfig& c) { c.timerStop = nullptr; },
        [](TnSockConfig& c) { c.sendFrame = nullptr; },
        [](TnSockConfig& c) { c.dnsServer = nullptr; },
        [](TnSockConfig& c) { c.statusEvent = nullptr; },
        // Ports, ISN secrets and DNS IDs come from it, with DHCP or without.
        [](TnSockConfig& c) { c.random = nullptr; },
    };
    for (std::size_t member = 0; member < std::size(clear); ++member) {
        config = host().Config();
        clear[member](config);
        EXPECT_EQ(Start(), TNSOCK_BAD_PARAMETER) << "member " << member;
        ExpectStopped();
    }
}

TEST_F(SockInitTest, RefusesAddressTextsThatDoNotParse) {
    const struct {
        const char* TnSockConfig::*member;
        const char* text;
    } cases[] = {
        {&TnSockConfig::localIp,    "1.2.3.256"      },
        {&TnSockConfig::localIp,    "x192.0.2.10"    },
        {&TnSockConfig::localIp,    ""               },
        {&TnSockConfig::dnsServer,  "dns.example"    },
        {&TnSockConfig::gateway,    "192.0.2.254."   },
        {&TnSockConfig::subnetMask, "255.255.255.0.0"},
    };
    for (const auto& c : cases) {
        config           = host().Config();
        config.*c.member = c.text;
        EXPECT_EQ(Start(), TNSOCK_BAD_PARAMETER) << '"' << c.text << '"';
        ExpectStopped();
    }
    config = host().Config();
    EXPECT_EQ(Start(), TNSOCK_SUCCESS) << "a refused start must not block the next one";
}

TEST_F(SockInitTest, GatewayAndMaskMayBeMissing) {
    config.gateway = nullptr;
    ASSERT_EQ(Start(), TNSOCK_SUCCESS);
    EXPECT_TRUE(SendTo(Ip(198, 51, 100, 7)).empty()) << "off-link without a gateway: no next hop";
    ExpectNoTx(1000);

    TnSockDeinit();
    config            = host().Config();
    config.subnetMask = nullptr;  // mask 0: every address is on the link
    ASSERT_EQ(Start(), TNSOCK_SUCCESS);
    const auto frames = SendTo(Ip(198, 51, 100, 7));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(Decode(frames[0])->arp->targetIp, Ip(198, 51, 100, 7));
}

TEST_F(SockInitTest, SecondStartKeepsTheFirstConfiguration) {
    ASSERT_EQ(Start(), TNSOCK_SUCCESS);
    TnSockConfig other = host().Config();
    other.localIp      = "192.0.2.99";
    EXPECT_EQ(TnSockInit(&other), TNSOCK_SUCCESS);
    Inject(
        ArpFrame(kBroadcast, kPeerMac, ArpPacket{1, kPeerMac, kPeerIp, Mac{}, Ip(192, 0, 2, 99)}));
    EXPECT_TRUE(TakeSent().empty()) << "the second configuration was taken";
    Inject(ArpFrame(kBroadcast, kPeerMac, ArpPacket{1, kPeerMac, kPeerIp, Mac{}, kOurIp}));
    EXPECT_EQ(TakeSent().size(), 1u);
}

TEST_F(SockInitTest, KeepsItsOwnCopyOfTheRecord) {
    std::uint8_t mac[6];
    std::memcpy(mac, kOurMac.data(), 6);
    char localIp[16]  = "192.0.2.10";
    config.macAddress = mac;
    config.localIp    = localIp;
    ASSERT_EQ(Start(), TNSOCK_SUCCESS);
    std::memset(mac, 0xEE, sizeof mac);
    std::strcpy(localIp, "10.9.9.9");

    Inject(ArpFrame(kOurMac, kPeerMac, ArpPacket{1, kPeerMac, kPeerIp, Mac{}, kOurIp}));
    const Decoded reply = NextSent();
    ASSERT_TRUE(reply.arp.has_value());
    EXPECT_EQ(reply.eth.src, kOurMac);
    EXPECT_EQ(reply.arp->senderMac, kOurMac);
    EXPECT_EQ(reply.arp->senderIp, kOurIp);
}

TEST_F(SockInitTest, ShutdownReleasesEndpointsSilentlyAndStopsEveryTimer) {
    TARNET_NEEDS_SIZE(TARNET_SOCKET_ENDPOINTS, 11);
    TnSockDeinit();  // before any start: nothing happens
    ExpectStopped();
    ASSERT_EQ(Start(), TNSOCK_SUCCESS);
    for (std::uint16_t port = 5000; port < 5011; ++port) {
        OpenUdp(port);
    }
    // Leave work in progress in every layer that keeps a timer.
    ASSERT_EQ(TnSockPingStart(Ip(192, 0, 2, 50), 1000, 3, 8), TNSOCK_PING_STARTED);
    Ipv4Packet first    = MakeIpv4(17, Pattern(64), kPeerIp, kOurIp, 9);
    first.moreFragments = true;
    InjectIp(first);
    EXPECT_GE(host().timers.ActiveCount(), 3u);  // ARP wait, echo timeout, reassembly

    TnSockDeinit();
    EXPECT_TRUE(host().sockEvents.empty()) << "the application heard of a close it asked for";
    EXPECT_EQ(host().timers.ActiveCount(), 0u);
    TakeSent();
    ExpectStopped();
    TnSockDeinit();

    ASSERT_EQ(Start(), TNSOCK_SUCCESS);  // with an empty table
    for (std::uint16_t port = 5000; port < 5011; ++port) {
        EXPECT_NE(OpenUdp(port), nullptr);
    }
}

TEST_F(SockInitTest, ClockAndLogAreRequiredByTcp) {
    // TCP refuses a configuration without its callbacks, and the stack's start with it.
    TnTcpConfig tcp{};
    ASSERT_EQ(TnTcpInit(&tcp), TNTCP_BAD_PARAMETER);
    config.getTickCount = nullptr;
    EXPECT_EQ(Start(), TNSOCK_LOWER_LAYER_INIT);
    ExpectStopped();
    config         = host().Config();
    config.logText = nullptr;
    EXPECT_EQ(Start(), TNSOCK_LOWER_LAYER_INIT);
    ExpectStopped();
    config = host().Config();
    EXPECT_EQ(Start(), TNSOCK_SUCCESS) << "a refused start left a layer running";
}

TEST(SockResultName, EveryCodeHasItsText) {
    const char* const names[] = {
        "General",          "Success",          "Already initialized", "Bad parameter",
        "Not initialized",  "Lower layer init", "Lower layer create",  "Bind failed",
        "No memory",        "Connect failed",   "Operation pending",   "Already listening",
        "Transmitter busy",
    };
    for (int code = 0; code <= 12; ++code) {
        EXPECT_STREQ(TnSockResultName(code), names[code]) << code;
    }
    for (int code : {13, -1, INT_MAX, INT_MIN}) {
        EXPECT_STREQ(TnSockResultName(code), "unknown") << code;
    }
}

}  // namespace
}  // namespace tarnet::test
