// ARP: answers for our address, learning and refreshing, first-in first-out replacement in the
// 50-entry cache, the request we send, malformed and foreign packets, and the bucket hash.
#include <set>
#include <string>

#include "arp.h"
#include "harness.h"
#include "needs_size.h"

namespace tarnet::test {
namespace {

// Jenkins one-at-a-time over a byte string, written from its published description.
std::uint32_t OneAtATime(const std::uint8_t* bytes, std::size_t length) {
    std::uint32_t h = 0;
    for (std::size_t i = 0; i < length; ++i) {
        h += bytes[i];
        h += h << 10;
        h ^= h >> 6;
    }
    h += h << 3;
    h ^= h >> 11;
    h += h << 15;
    return h;
}

// The bucket of an address: the hash of its four bytes, least significant first, mod 256.
std::uint32_t ReferenceBucket(std::uint32_t address) {
    const std::uint8_t bytes[4] = {
        static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8),
        static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 24)};
    return OneAtATime(bytes, 4) % 256;
}

Mac MacOf(std::uint32_t ip) {
    return Mac{0x02,
               0xA0,
               static_cast<std::uint8_t>(ip >> 24),
               static_cast<std::uint8_t>(ip >> 16),
               static_cast<std::uint8_t>(ip >> 8),
               static_cast<std::uint8_t>(ip)};
}

Bytes Request(std::uint32_t ip, const Mac& mac, std::uint32_t target, const Mac& dst = kBroadcast) {
    return ArpFrame(dst, mac, ArpPacket{1, mac, ip, Mac{}, target});
}

class ArpTest : public StackTest {
  protected:
    void SetUp() override {
        StackTest::SetUp();
        ASSERT_EQ(Start(), TNSOCK_SUCCESS);
    }

    // Teaches the cache (ip, MacOf(ip)) through a request for our address; drops our reply.
    void Learn(std::uint32_t ip) {
        Inject(Request(ip, MacOf(ip), kOurIp));
        ASSERT_EQ(TakeSent().size(), 1u) << "no reply while learning";
    }

    // The cached MAC of `ip`; on a miss, checks that exactly one request for it went out.
    std::optional<Mac> Cached(std::uint32_t ip) {
        Mac mac{};
        if (ArpResolve(ip, mac.data()) == 1) {
            EXPECT_TRUE(host().sent.empty()) << "a hit sent a request";
            return mac;
        }
        const auto sent = TakeSent();
        EXPECT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent.at(0),
                  ArpFrame(kBroadcast, kOurMac, ArpPacket{1, kOurMac, kOurIp, Mac{}, ip}))
            << "a miss did not send the 42-byte request";
        return std::nullopt;
    }
};

TEST_F(ArpTest, RequestForOurAddressIsAnsweredAndTheSenderLearned) {
    Bytes padded = Request(kPeerIp, kPeerMac, kOurIp);
    padded.resize(60, 0xCC);  // Ethernet padding
    Inject(padded);
    const Bytes reply =
        ArpFrame(kPeerMac, kOurMac, ArpPacket{2, kOurMac, kOurIp, kPeerMac, kPeerIp});
    ASSERT_EQ(host().sent.size(), 1u);
    EXPECT_EQ(host().sent.front(), reply);  // all 42 bytes
    host().sent.clear();
    EXPECT_EQ(Cached(kPeerIp), kPeerMac);

    // Sent to our MAC instead of broadcast: answered the same.
    Inject(Request(kPeerIp, kPeerMac, kOurIp, kOurMac));
    EXPECT_EQ(TakeSent(), std::vector<Bytes>{reply});
    // RFC 5227: a station probing for our address (sender address 0) hears it is taken.
    Inject(Request(0, kOtherMac, kOurIp));
    const Decoded probe = NextSent();
    ASSERT_TRUE(probe.arp.has_value());
    EXPECT_EQ(probe.eth.dst, kOtherMac);
    EXPECT_EQ(probe.arp->targetIp, 0u);
}

TEST_F(ArpTest, ResolvingNothingSendsNothing) {
    Mac mac{};
    EXPECT_EQ(ArpResolve(0, mac.data()), 0);
    EXPECT_EQ(ArpResolve(kPeerIp, nullptr), 0);
    ExpectNoTx();
}

TEST_F(ArpTest, LearnsOnlyFromPacketsForUsButRefreshesKnownSenders) {
    Inject(Request(kPeerIp, kPeerMac, Ip(192, 0, 2, 200)));  // for another station
    ExpectNoTx();
    EXPECT_EQ(Cached(kPeerIp), std::nullopt);
    Inject(ArpFrame(kOurMac, kPeerMac, ArpPacket{2, kPeerMac, kPeerIp, kOurMac, kOurIp}));
    ExpectNoTx();  // a reply to us is learned, not answered
    EXPECT_EQ(Cached(kPeerIp), kPeerMac);

    // A known sender on another MAC: any packet from it updates the entry.
    Inject(Request(kPeerIp, kOtherMac, Ip(192, 0, 2, 200)));
    EXPECT_EQ(Cached(kPeerIp), kOtherMac);
    Inject(Request(kPeerIp, kPeerMac, kPeerIp));  // gratuitous
    EXPECT_EQ(Cached(kPeerIp), kPeerMac);
    // A gratuitous packet from an unknown address teaches nothing.
    Inject(Request(Ip(192, 0, 2, 66), kOtherMac, Ip(192, 0, 2, 66)));
    EXPECT_EQ(Cached(Ip(192, 0, 2, 66)), std::nullopt);
    ExpectNoTx();
}

TEST_F(ArpTest, AReplyToOurOwnRequestIsLearnedWhateverItsTarget) {
    const std::uint32_t neighbour = Ip(192, 0, 2, 77);
    const Mac mac                 = MacOf(neighbour);
    const Bytes replyElsewhere =
        ArpFrame(kOurMac, mac, ArpPacket{2, mac, neighbour, kOurMac, Ip(192, 0, 2, 200)});
    Inject(replyElsewhere);                      // unsolicited, and not for our address: ignored
    EXPECT_EQ(Cached(neighbour), std::nullopt);  // ... and now we have asked
    // A request from it for another station is still not an answer.
    Inject(Request(neighbour, mac, Ip(192, 0, 2, 200)));
    ExpectNoTx();
    Inject(replyElsewhere);  // the answer to our question: learned although our address moved
    EXPECT_EQ(Cached(neighbour), mac);
}

TEST_F(ArpTest, IgnoresMalformedAndForeignPackets) {
    const Bytes good = Request(kPeerIp, kPeerMac, kOurIp);
    std::vector<Bytes> bad;
    // Hardware type 6, protocol type IPv6, address lengths 8 and 16: one field at a time.
    for (auto [at, value] : {
             std::pair<std::size_t, std::uint8_t>{15, 6   },
              {16, 0x86},
              {18, 8   },
              {19, 16  }
    }) {
        bad.push_back(good);
        bad.back()[at] = value;
    }
    bad.emplace_back(good.begin(), good.end() - 1);  // 41 bytes
    bad.push_back(Request(kPeerIp, kPeerMac, kOurIp, kOtherMac));
    bad.push_back(Request(kPeerIp, kPeerMac, kOurIp, Mac{0x01, 0x00, 0x5E, 0x00, 0x00, 0x01}));
    for (const Bytes& frame : bad) {
        Inject(frame);
    }
    ExpectNoTx();
    EXPECT_EQ(Cached(kPeerIp), std::nullopt);
    // An operation other than request is learned but not answered.
    Inject(ArpFrame(kBroadcast, kPeerMac, ArpPacket{3, kPeerMac, kPeerIp, Mac{}, kOurIp}));
    ExpectNoTx();
    EXPECT_EQ(Cached(kPeerIp), kPeerMac);
}

TEST_F(ArpTest, ReplacementIsFirstInFirstOut) {
    TARNET_NEEDS_SIZE(TARNET_ARP_ENTRIES, 50);
    // Fifty addresses fill the cache. The first two share a bucket, so replacing the first has
    // to unlink the head of a chain that goes on.
    std::vector<std::uint32_t> addresses{Ip(10, 0, 0, 1)};
    for (std::uint32_t a = Ip(10, 0, 0, 2); addresses.size() < 2; ++a) {
        if (ReferenceBucket(a) == ReferenceBucket(addresses[0])) {
            addresses.push_back(a);
        }
    }
    for (std::uint32_t a = Ip(10, 1, 0, 1); addresses.size() < 50; ++a) {
        addresses.push_back(a);
    }
    for (std::uint32_t a : addresses) {
        Learn(a);
    }
    for (std::uint32_t a : addresses) {
        EXPECT_EQ(Cached(a), MacOf(a));  // looking up does not make an entry younger
    }
    Learn(Ip(10, 2, 0, 1));
    EXPECT_EQ(Cached(addresses[0]), std::nullopt);
    EXPECT_EQ(Cached(addresses[1]), MacOf(addresses[1])) << "the bucket's chain was broken";

    // Refreshing does not make an entry younger either: the second is next to go.
    Inject(Request(addresses[1], kOtherMac, Ip(192, 0, 2, 200)));
    Learn(Ip(10, 2, 0, 2));
    EXPECT_EQ(Cached(addresses[1]), std::nullopt);
    for (std::size_t i = 2; i < addresses.size(); ++i) {
        EXPECT_EQ(Cached(addresses[i]), MacOf(addresses[i])) << i;
    }
    EXPECT_EQ(Cached(Ip(10, 2, 0, 1)), MacOf(Ip(10, 2, 0, 1)));
    EXPECT_EQ(Cached(Ip(10, 2, 0, 2)), MacOf(Ip(10, 2, 0, 2)));

    // A restart empties the cache.
    TnSockDeinit();
    ASSERT_EQ(Start(), TNSOCK_SUCCESS);
    EXPECT_EQ(Cached(Ip(10, 2, 0, 2)), std::nullopt);
}

TEST_F(ArpTest, WithoutAnAddressOnlyRequestsForAddressZeroAreAnswered) {
    TnSockDeinit();
    config.localIp = "0.0.0.0";
    ASSERT_EQ(Start(), TNSOCK_SUCCESS);
    Inject(Request(kPeerIp, kPeerMac, kOurIp));
    ExpectNoTx();
    Inject(Request(kPeerIp, kPeerMac, 0));
    EXPECT_EQ(TakeSent(), std::vector<Bytes>{ArpFrame(
                              kPeerMac, kOurMac, ArpPacket{2, kOurMac, 0, kPeerMac, kPeerIp})});
}

TEST(ArpHashTest, MatchesOneAtATimeOverTheAddressBytes) {
    TARNET_NEEDS_SIZE(TARNET_ARP_BUCKETS, 256);
    // The reference itself, against published values of the one-at-a-time hash.
    const std::string a = "a", fox = "The quick brown fox jumps over the lazy dog";
    EXPECT_EQ(OneAtATime(reinterpret_cast<const std::uint8_t*>(a.data()), 1), 0xCA2E9442u);
    EXPECT_EQ(OneAtATime(reinterpret_cast<const std::uint8_t*>(fox.data()), fox.size()),
              0x519E91F5u);
    std::uint32_t x = 12345;
    for (int i = 0; i < 5000; ++i) {
        x = x * 2654435761u + 97u;
        ASSERT_EQ(ArpHash(x), ReferenceBucket(x)) << std::hex << x;
    }
    // A subnet spreads: a uniform hash fills about 256 * (1 - 1/e) = 162 buckets with 256 keys.
    std::set<std::uint32_t> used;
    for (std::uint32_t host = 0; host < 256; ++host) {
        used.insert(ArpHash(Ip(192, 168, 1, host)));
    }
    EXPECT_GT(used.size(), 140u);
    EXPECT_LT(*used.rbegin(), 256u);
}

}  // namespace
}  // namespace tarnet::test
