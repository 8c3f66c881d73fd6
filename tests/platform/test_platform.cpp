// The Linux platform binding without a network: MAC text, the impairment's parser and its
// decisions on a fake clock, the host's receive path into a running stack, and the loop's timer
// service. Nothing here waits for real time to pass.
#include <gtest/gtest.h>
#include <net/if_arp.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "adapter.h"
#include "event_loop.h"
#include "fault_injector.h"
#include "frames.h"
#include "host.h"
#include "tarnet/tnsock.h"

namespace tarnet::platform {
namespace {

using test::ArpFrame;
using test::ArpPacket;
using test::Bytes;
using test::EthFrame;
using test::Ip;

// ---- Adapters ----------------------------------------------------------------------------------

TEST(AdapterList, OnlyEthernetFramedAdaptersCountAsUsable) {
    constexpr int kNone = -1;
    struct Case {
        const char* name;
        unsigned flags;
        int hardwareType;
        bool ethernet;
    };
    const Case cases[] = {
        {"eth0",              PCAP_IF_UP,       ARPHRD_ETHER,    true },
        {"veth1",             0,                ARPHRD_ETHER,    true },
        {"lo",                PCAP_IF_LOOPBACK, ARPHRD_LOOPBACK, true },
        {"tun0",              PCAP_IF_UP,       ARPHRD_NONE,     false},
        {"wg0",               PCAP_IF_UP,       ARPHRD_NONE,     false},
        {"any",               PCAP_IF_UP,       kNone,           false},
        {"nflog",             0,                kNone,           false},
        {"nfqueue",           0,                kNone,           false},
        {"dbus-system",       0,                kNone,           false},
        {"bluetooth-monitor", 0,                kNone,           false},
        {"usbmon1",           0,                kNone,           false},
        {"any",               0,                ARPHRD_ETHER,    false}, // the name wins
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CarriesEthernet(c.name, c.flags, c.hardwareType), c.ethernet) << c.name;
    }
}

// The capture ring holds the same number of frames whatever their size, up to a cap: small
// enough at MTU 1500 to stay in the caches, and never fewer bytes than before for large slots.
TEST(AdapterRing, HoldsTheSameNumberOfFramesUpToTheCap) {
    constexpr int kMiB = 1024 * 1024;
    struct Case {
        int mtu;
        bool offloads;
        int bytes;
    };
    const Case cases[] = {
        {1500,  false, 4 * kMiB }, // 2048 slots of 2 KiB
        {0,     false, 4 * kMiB }, // MTU unknown: Ethernet's
        {576,   false, 4 * kMiB }, // never less than two slots to a page
        {1900,  false, 4 * kMiB }, // 1900 + 146 still fits a 2 KiB slot
        {1950,  false, 8 * kMiB }, // does not
        {4000,  false, 16 * kMiB},
        {9000,  false, 32 * kMiB}, // jumbo frames: the cap
        {65535, false, 32 * kMiB},
        {1500,  true,  32 * kMiB}, // offloads: 64 KiB slots, the cap
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Adapter::RingBytes(c.mtu, c.offloads), c.bytes) << c.mtu << " " << c.offloads;
    }
    static_assert(Adapter::kRingBytesMax / Adapter::kRingFrames >= 2048);
}

// ---- MAC text ----------------------------------------------------------------------------------

TEST(MacText, ReadsEitherCaseAndIgnoresSeparators) {
    MacAddress lower{};
    MacAddress upper{};
    MacAddress dashes{};
    std::string error;
    ASSERT_TRUE(ParseMac("02:ab:cd:ef:00:9f", lower, error));
    ASSERT_TRUE(ParseMac("02:AB:CD:EF:00:9F", upper, error));
    ASSERT_TRUE(ParseMac("02-ab-cd-ef-00-9f", dashes, error));
    EXPECT_EQ(lower, (MacAddress{0x02, 0xAB, 0xCD, 0xEF, 0x00, 0x9F}));
    EXPECT_EQ(lower, upper);
    EXPECT_EQ(lower, dashes);
    EXPECT_EQ(FormatMac(lower), "02:ab:cd:ef:00:9f");
}

TEST(MacText, NonHexDigitCountsAsZeroForItsHalf) {
    MacAddress mac{};
    std::string error;
    ASSERT_TRUE(ParseMac("0g:x1:ff:zz:10:01", mac, error));
    EXPECT_EQ(mac, (MacAddress{0x00, 0x01, 0xFF, 0x00, 0x10, 0x01}));
}

TEST(MacText, RefusesAnyOtherLengthAndLeavesTheAddressAlone) {
    for (const char* text : {"", "02:54:4e:00:00:1", "02:54:4e:00:00:011", "2:54:4e:0:0:1"}) {
        MacAddress mac{1, 2, 3, 4, 5, 6};
        std::string error;
        EXPECT_FALSE(ParseMac(text, mac, error)) << text;
        EXPECT_NE(error.find("17 characters"), std::string::npos) << error;
        EXPECT_EQ(mac, (MacAddress{1, 2, 3, 4, 5, 6}));
    }
}

TEST(MacText, DefaultStackMacIsLocalUnicastAndNeverTheInterfaces) {
    const MacAddress iface{0x3a, 0x11, 0x22, 0x33, 0x44, 0x55};
    const MacAddress mac = DefaultStackMac(&iface);
    EXPECT_EQ(mac, (MacAddress{0x02, 0x54, 0x4E, 0x33, 0x44, 0x55}));
    EXPECT_EQ(mac[0] & 0x01, 0) << "multicast bit set";
    EXPECT_EQ(mac[0] & 0x02, 0x02) << "not locally administered";

    const MacAddress same{0x02, 0x54, 0x4E, 0x33, 0x44, 0x55};
    EXPECT_NE(DefaultStackMac(&same), same);
    EXPECT_EQ(DefaultStackMac(nullptr), (MacAddress{0x02, 0x54, 0x4E, 0x00, 0x00, 0x01}));
}

// ---- Impairment text ---------------------------------------------------------------------------

TEST(FaultText, ReadsEveryFieldAndWritesItBack) {
    FaultConfig config;
    ASSERT_EQ(ParseFaultConfig("loss=2,dup=1,reorder=5,delay=20,seed=7", config), "");
    EXPECT_EQ(config.lossBp, 200u);
    EXPECT_EQ(config.dupBp, 100u);
    EXPECT_EQ(config.reorderBp, 500u);
    EXPECT_EQ(config.delayMs, 20u);
    EXPECT_EQ(config.seed, 7u);
    EXPECT_TRUE(config.seedGiven);
    EXPECT_TRUE(config.Enabled());

    ASSERT_EQ(ParseFaultConfig("loss=0.25,dup=100,span=3", config), "");
    EXPECT_EQ(config.lossBp, 25u);
    EXPECT_EQ(config.dupBp, 10000u);
    EXPECT_EQ(config.reorderSpanMs, 3u);
    EXPECT_EQ(FormatFaultConfig(config), "loss=0.25,dup=100,reorder=5,delay=20,span=3,seed=7");

    FaultConfig again;
    ASSERT_EQ(ParseFaultConfig(FormatFaultConfig(config), again), "");
    EXPECT_EQ(FormatFaultConfig(again), FormatFaultConfig(config));
}

TEST(FaultText, RefusesBadTextWithoutChangingTheConfiguration) {
    for (const char* text : {"", "loss", "loss=", "loss=101", "loss=1.234", "loss=-1", "loss=1x",
                             "jitter=5", "delay=10001", "span=0", "seed=abc", "loss=2,,dup=1"}) {
        FaultConfig config;
        config.lossBp = 42;
        EXPECT_NE(ParseFaultConfig(text, config), "") << text;
        EXPECT_EQ(config.lossBp, 42u) << text;
    }
    FaultConfig none;
    EXPECT_FALSE(none.Enabled());
}

// ---- Impairment decisions ----------------------------------------------------------------------

struct Delivered {
    Direction direction;
    std::uint8_t tag;  // first byte of the frame
    std::uint32_t length;
};

class FaultInjectorTest : public ::testing::Test {
  protected:
    static void Record(void* context, Direction direction, const std::uint8_t* frame,
                       std::uint32_t length) {
        auto* self = static_cast<FaultInjectorTest*>(context);
        self->out.push_back({direction, frame[0], length});
        if (self->resubmit) {
            self->resubmit              = false;
            const std::uint8_t again[1] = {0xEE};
            self->injector.Submit(Direction::kTx, again, 1, self->now);
        }
    }

    void Configure(const char* text) {
        FaultConfig config;
        ASSERT_EQ(ParseFaultConfig(text, config), "");
        injector.Configure(config, Record, this);
    }

    void Submit(std::uint8_t tag, Direction direction = Direction::kRx) {
        const std::uint8_t frame[4] = {tag, 1, 2, 3};
        injector.Submit(direction, frame, sizeof frame, now);
    }

    std::vector<std::uint8_t> Tags() const {
        std::vector<std::uint8_t> tags;
        for (const auto& d : out) {
            tags.push_back(d.tag);
        }
        return tags;
    }

    FaultInjector injector;
    std::vector<Delivered> out;
    std::uint64_t now = 5000;
    bool resubmit     = false;
};

TEST_F(FaultInjectorTest, WithoutImpairmentEveryFramePassesAtOnceInBothDirections) {
    injector.Configure(FaultConfig{}, Record, this);
    Submit(1, Direction::kRx);
    Submit(2, Direction::kTx);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].direction, Direction::kRx);
    EXPECT_EQ(out[1].direction, Direction::kTx);
    EXPECT_EQ(out[1].length, 4u);
    EXPECT_FALSE(injector.NextDue().has_value());
    EXPECT_EQ(injector.Counters(Direction::kRx).passed, 1u);
}

TEST_F(FaultInjectorTest, FullLossDropsEverythingAndFullDuplicationDoublesIt) {
    Configure("loss=100,seed=1");
    for (std::uint8_t i = 0; i < 10; ++i) {
        Submit(i);
    }
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(injector.Counters(Direction::kRx).lost, 10u);

    Configure("dup=100,seed=1");
    Submit(7);
    Submit(8);
    EXPECT_EQ(Tags(), (std::vector<std::uint8_t>{7, 7, 8, 8}));
    EXPECT_EQ(injector.Counters(Direction::kRx).duplicated, 2u);
}

TEST_F(FaultInjectorTest, DelayHoldsFramesForTheirTimeAndKeepsTheirOrder) {
    Configure("delay=20,seed=3");
    Submit(1);
    now += 5;
    Submit(2);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(injector.NextDue(), 5020u);
    injector.Service(5019);
    EXPECT_TRUE(out.empty());
    injector.Service(5020);
    EXPECT_EQ(Tags(), (std::vector<std::uint8_t>{1}));
    injector.Service(5025);
    EXPECT_EQ(Tags(), (std::vector<std::uint8_t>{1, 2}));
    EXPECT_EQ(injector.HeldCount(), 0u);
}

TEST_F(FaultInjectorTest, ReorderedFramesAreOvertakenButNoneIsLostOrRepeated) {
    Configure("reorder=30,span=10,seed=11");
    for (std::uint8_t i = 0; i < 100; ++i) {
        Submit(i);
        now += 1;
        injector.Service(now);
    }
    now += 20;
    injector.Service(now);
    std::vector<std::uint8_t> tags = Tags();
    ASSERT_EQ(tags.size(), 100u);
    EXPECT_FALSE(std::is_sorted(tags.begin(), tags.end())) << "nothing was reordered";
    std::sort(tags.begin(), tags.end());
    for (std::uint8_t i = 0; i < 100; ++i) {
        EXPECT_EQ(tags[i], i);
    }
    const auto reordered = injector.Counters(Direction::kRx).reordered;
    EXPECT_GT(reordered, 15u);
    EXPECT_LT(reordered, 45u);
}

TEST_F(FaultInjectorTest, TheSameSeedGivesTheSameFaults) {
    auto run = [this](const char* text) {
        out.clear();
        Configure(text);
        for (int i = 0; i < 200; ++i) {
            Submit(static_cast<std::uint8_t>(i));
        }
        return Tags();
    };
    const auto first  = run("loss=20,dup=10,seed=99");
    const auto second = run("loss=20,dup=10,seed=99");
    const auto other  = run("loss=20,dup=10,seed=100");
    EXPECT_EQ(first, second);
    EXPECT_NE(first, other);
}

TEST_F(FaultInjectorTest, LossRateFollowsTheConfiguredProbability) {
    Configure("loss=10,seed=5");
    for (int i = 0; i < 10000; ++i) {
        Submit(0);
    }
    EXPECT_GT(out.size(), 8700u);
    EXPECT_LT(out.size(), 9300u);
}

TEST_F(FaultInjectorTest, AFullQueueDropsAndCountsInsteadOfGrowing) {
    Configure("delay=10,seed=1");
    for (std::size_t i = 0; i < FaultInjector::kQueueSlots + 5; ++i) {
        Submit(static_cast<std::uint8_t>(i));
    }
    EXPECT_EQ(injector.HeldCount(), FaultInjector::kQueueSlots);
    EXPECT_EQ(injector.Counters(Direction::kRx).overflowed, 5u);

    std::uint8_t big[FaultInjector::kMaxFrame + 1] = {};
    injector.Service(now + 10);
    injector.Submit(Direction::kTx, big, sizeof big, now);
    EXPECT_EQ(injector.Counters(Direction::kTx).overflowed, 1u);
    EXPECT_EQ(out.size(), FaultInjector::kQueueSlots);
}

TEST_F(FaultInjectorTest, AFrameSubmittedWhileDeliveringWaitsForItsOwnTime) {
    Configure("delay=5,seed=1");
    Submit(1);
    resubmit = true;  // the receiver answers with a frame of its own
    now += 5;
    injector.Service(now);
    EXPECT_EQ(Tags(), (std::vector<std::uint8_t>{1}));
    EXPECT_EQ(injector.NextDue(), now + 5);
    injector.Service(now + 5);
    EXPECT_EQ(Tags(), (std::vector<std::uint8_t>{1, 0xEE}));
}

// ---- Host receive path and loop ----------------------------------------------------------------

constexpr test::Mac kHostMac{0x02, 0x54, 0x4E, 0x00, 0x00, 0x07};
constexpr test::Mac kPeerMac{0x02, 0x50, 0x45, 0x45, 0x52, 0x07};

struct Seen {
    std::vector<Bytes> frames;
};

void Observe(void* context, const std::uint8_t* frame, std::uint32_t length) {
    static_cast<Seen*>(context)->frames.emplace_back(frame, frame + length);
}

class HostTest : public ::testing::Test {
  protected:
    void SetUp() override {
        HostReset();
        HostSetTxObserver(Observe, &seen);
        TnSockConfig config{};
        config.macAddress = kHostMac.data();
        config.localIp    = "192.0.2.20";
        config.gateway    = "0.0.0.0";
        config.subnetMask = "255.255.255.0";
        config.dnsServer  = "0.0.0.0";
        HostFillCallbacks(config);
        ASSERT_EQ(TnSockInit(&config), TNSOCK_SUCCESS);
    }
    void TearDown() override {
        TnSockDeinit();
        EXPECT_EQ(HostTimers().ActiveCount(), 0u);
        HostReset();
    }

    Bytes ArpRequestForUs() const {
        ArpPacket arp;
        arp.op        = 1;
        arp.senderMac = kPeerMac;
        arp.senderIp  = Ip(192, 0, 2, 1);
        arp.targetIp  = Ip(192, 0, 2, 20);
        return ArpFrame(test::kBroadcast, kPeerMac, arp);
    }

    Seen seen;
};

TEST_F(HostTest, AReceivedFrameReachesTheStackAndTheCapturedBytesStayUntouched) {
    const Bytes request  = ArpRequestForUs();
    const Bytes original = request;
    HostFrameReceived(request.data(), static_cast<std::uint32_t>(request.size()));
    EXPECT_EQ(request, original) << "the stack wrote into the capture buffer";

    ASSERT_EQ(seen.frames.size(), 1u);
    const auto eth = EthFrame::Parse(seen.frames[0]);
    ASSERT_TRUE(eth.has_value());
    const auto reply = ArpPacket::Parse(eth->payload);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->op, 2);
    EXPECT_EQ(reply->senderMac, kHostMac);
    EXPECT_EQ(reply->targetIp, Ip(192, 0, 2, 1));
    EXPECT_EQ(HostStats().framesDelivered, 1u);
    EXPECT_EQ(HostStats().framesSent, 1u);
}

TEST_F(HostTest, ReceiveImpairmentKeepsFramesFromTheStack) {
    FaultConfig config;
    ASSERT_EQ(ParseFaultConfig("loss=100,seed=1", config), "");
    HostConfigureFaults(config);
    const Bytes request = ArpRequestForUs();
    HostFrameReceived(request.data(), static_cast<std::uint32_t>(request.size()));
    EXPECT_TRUE(seen.frames.empty());
    EXPECT_EQ(HostStats().framesReceived, 1u);
    EXPECT_EQ(HostStats().framesDelivered, 0u);
}

TEST_F(HostTest, EverySessionGetsItsOwnSequenceNumberSeed) {
    TnSockConfig a{};
    TnSockConfig b{};
    HostFillCallbacks(a);
    HostFillCallbacks(b);
    EXPECT_NE(a.isnSeed, b.isnSeed);
}

// The random callback feeds ports, DNS IDs and ISN secrets: every value nonnegative, and all
// 31 bits in use (each bit seen both set and clear in 200 draws; a stuck bit would show).
TEST_F(HostTest, RandomNumbersAreNonnegativeAndUseAll31Bits) {
    TnSockConfig config{};
    HostFillCallbacks(config);
    ASSERT_NE(config.random, nullptr);
    std::uint32_t seenSet   = 0;
    std::uint32_t seenClear = 0;
    for (int i = 0; i < 200; ++i) {
        const int value = config.random();
        ASSERT_GE(value, 0);
        seenSet |= static_cast<std::uint32_t>(value);
        seenClear |= ~static_cast<std::uint32_t>(value);
    }
    EXPECT_EQ(seenSet, 0x7FFFFFFFu);
    EXPECT_EQ(seenClear & 0x7FFFFFFFu, 0x7FFFFFFFu);
}

bool FlagSet(void* context) {
    return *static_cast<bool*>(context);
}

TEST_F(HostTest, TheLoopRunsDueTimersWithoutWaiting) {
    static bool fired = false;
    fired             = false;
    HostTimers().Start(MonotonicMs(), 0, 0, [](std::uintptr_t) { fired = true; });
    EventLoop loop(nullptr);
    EXPECT_EQ(loop.Run(FlagSet, &fired, std::nullopt), EventLoop::Outcome::kDone);
    EXPECT_TRUE(fired);
    EXPECT_EQ(loop.Counters().timersRun, 1u);
    EXPECT_EQ(loop.Run(nullptr, nullptr, MonotonicMs()), EventLoop::Outcome::kDeadline);
}

// A descriptor the caller wants wakes the loop at once; one it does not want is left out of the
// wait. The deadline is a minute away, so a wait that ignored the descriptor would show.
TEST_F(HostTest, TheLoopWakesForAWantedDescriptorOnly) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    static bool wanted = false;
    EventLoop loop(nullptr);
    ASSERT_TRUE(loop.AddFd(
        fds[0], POLLIN, [](void*) { return wanted; }, nullptr));

    wanted                    = true;
    const std::uint64_t start = MonotonicMs();
    int checks                = 0;
    EXPECT_EQ(
        loop.Run([](void* n) { return ++*static_cast<int*>(n) > 1; }, &checks, start + 60'000),
        EventLoop::Outcome::kDone);
    EXPECT_LT(MonotonicMs() - start, 30'000u);

    wanted = false;
    EXPECT_EQ(loop.Run(nullptr, nullptr, MonotonicMs() + 20), EventLoop::Outcome::kDeadline);
    EXPECT_EQ(loop.Counters().passes, 2u) << "an unwanted ready descriptor made the loop spin";
    close(fds[0]);
    close(fds[1]);
}

}  // namespace
}  // namespace tarnet::platform
