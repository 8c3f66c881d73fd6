// DNS resolver: the query bytes, a scripted server's answers through the whole stack, the
// cache and pending-list bounds, retransmission on the virtual clock, and the response reader
// against malformed and lying messages.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "dns_internal.h"
#include "harness.h"
#include "tarnet/tndns.h"

namespace tarnet::test {
namespace {

namespace dns = tarnet::dns;

constexpr std::uint32_t kServerIp = kPeerIp;
constexpr std::uint32_t kAddrA    = Ip(198, 51, 100, 1);
constexpr std::uint32_t kAddrB    = Ip(198, 51, 100, 2);
constexpr std::uint32_t kAddrC    = Ip(198, 51, 100, 3);
constexpr std::uint16_t kFlagsOk  = 0x8180;  // QR, RD, RA; RCODE 0

std::uint16_t Get16(const Bytes& b, std::size_t at) {
    return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]);
}

Bytes Be16(std::uint16_t v) {
    return {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
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

// "a.bc" -> 1 'a' 2 'b' 'c' 0
Bytes Name(const std::string& dotted) {
    Bytes out;
    std::size_t start = 0;
    while (start <= dotted.size()) {
        std::size_t end = dotted.find('.', start);
        if (end == std::string::npos) {
            end = dotted.size();
        }
        out.push_back(static_cast<std::uint8_t>(end - start));
        out.insert(out.end(), dotted.begin() + static_cast<std::ptrdiff_t>(start),
                   dotted.begin() + static_cast<std::ptrdiff_t>(end));
        start = end + 1;
    }
    out.push_back(0);
    return out;
}

// A compression pointer to the question name.
Bytes QuestionPtr() {
    return {0xC0, 0x0C};
}

Bytes Rr(const Bytes& owner, std::uint16_t type, const Bytes& rdata) {
    return Cat({owner, Be16(type), Be16(1), Be32(300),
                Be16(static_cast<std::uint16_t>(rdata.size())), rdata});
}

Bytes A(std::uint32_t address, const Bytes& owner = QuestionPtr()) {
    return Rr(owner, 1, Be32(address));
}

struct Response {
    std::uint16_t id      = 1;
    std::uint16_t flags   = kFlagsOk;
    std::uint16_t qdcount = 1;
    std::string qname     = "example.com";
    std::vector<Bytes> answers{};
    int ancount = -1;  // -1: the number of answers

    Bytes Build() const {
        const auto an =
            static_cast<std::uint16_t>(ancount < 0 ? static_cast<int>(answers.size()) : ancount);
        Bytes m = Cat({Be16(id), Be16(flags), Be16(qdcount), Be16(an), Be16(0), Be16(0),
                       Name(qname), Be16(1), Be16(1)});
        for (const Bytes& a : answers) {
            m.insert(m.end(), a.begin(), a.end());
        }
        return m;
    }
};

bool Read(const Bytes& message, std::uint16_t id, std::uint32_t* address = nullptr) {
    const Bytes copy(message);  // exact size on the heap: an over-read trips the sanitizer
    std::uint32_t a = 0;
    const bool ok   = dns::ReadResponse(copy, id, a);
    if (address != nullptr) {
        *address = a;
    }
    return ok;
}

// ---- Response reader --------------------------------------------------------------------------

TEST(DnsReader, TakesTheFirstARecordAfterOtherRecords) {
    std::uint32_t addr = 0;
    // The CNAME record starts at 29 (12 + 13 + 4); its data, the alias, at 41.
    const Bytes cname = Rr(QuestionPtr(), 5, Name("www.example.net"));
    EXPECT_TRUE(Read(
        Response{
            .answers = {cname, A(kAddrB, {0xC0, 41}), A(kAddrC)}
    }
            .Build(),
        1, &addr));
    EXPECT_EQ(addr, kAddrB);
}

TEST(DnsReader, SkipsUncompressedAndPartlyCompressedNames) {
    std::uint32_t addr = 0;
    EXPECT_TRUE(Read(Response{.answers = {A(kAddrA, Name("example.com"))}}.Build(), 1, &addr));
    EXPECT_EQ(addr, kAddrA);
    // A CNAME owned by "www" + pointer, then an A whose name is written out in full.
    const Bytes cname = Rr(Cat({
                               Bytes{3, 'w', 'w', 'w'},
                               QuestionPtr()
    }),
                           5, Name("host.example"));
    EXPECT_TRUE(Read(
        Response{
            .answers = {cname, A(kAddrC, Name("host.example"))}
    }
            .Build(),
        1, &addr));
    EXPECT_EQ(addr, kAddrC);
}

TEST(DnsReader, SkipsTheQuestionNameByLabels) {
    // A label holding a zero byte: searching for the first 0 would end the name inside it.
    Bytes m            = Cat({
                   Be16(1), Be16(kFlagsOk), Be16(1), Be16(1), Be16(0), Be16(0), Bytes{3, 'a', 0, 'b', 0},
                   Be16(1), Be16(1), A(kAddrA)
    });
    std::uint32_t addr = 0;
    EXPECT_TRUE(Read(m, 1, &addr));
    EXPECT_EQ(addr, kAddrA);
}

TEST(DnsReader, RefusesHeadersThatDoNotAnswerTheQuery) {
    const Response ok{.answers = {A(kAddrA)}};
    EXPECT_TRUE(Read(ok.Build(), 1));
    EXPECT_FALSE(Read(ok.Build(), 2)) << "another id";
    Response r = ok;
    r.flags    = 0x0180;
    EXPECT_FALSE(Read(r.Build(), 1)) << "QR clear";
    r.flags = 0x8983;
    EXPECT_FALSE(Read(r.Build(), 1)) << "RCODE 3";
    r.flags = 0x8980;
    EXPECT_FALSE(Read(r.Build(), 1)) << "OPCODE 1";
    r.flags = 0x8380;  // TC: not examined when an answer is there
    EXPECT_TRUE(Read(r.Build(), 1));
    r         = ok;
    r.qdcount = 2;
    EXPECT_FALSE(Read(r.Build(), 1));
    EXPECT_FALSE(Read(Response{.flags = 0x8380}.Build(), 1)) << "TC and no answers";
}

TEST(DnsReader, EveryTruncationOfAGoodResponseIsRefused) {
    const Bytes cname = Rr(QuestionPtr(), 5, Name("alias.example"));
    const Bytes full  = Response{
         .answers = {
                     cname, A(kAddrA)}
    }.Build();
    ASSERT_TRUE(Read(full, 1));
    for (std::size_t n = 0; n < full.size(); ++n) {
        EXPECT_FALSE(Read(Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n)), 1))
            << "cut to " << n << " bytes";
    }
}

TEST(DnsReader, LyingCountsAndLengthsStopTheReading) {
    const Bytes cname = Rr(QuestionPtr(), 5, Name("alias.example"));
    // More answers claimed than present.
    EXPECT_FALSE(Read(Response{.answers = {cname}, .ancount = 40}.Build(), 1));
    // An A record after the claimed count is not read.
    EXPECT_FALSE(Read(
        Response{
            .answers = {cname, A(kAddrA)},
              .ancount = 1
    }
            .Build(),
        1));
    // RDLENGTH of a CNAME running past the end.
    Bytes big                                          = Response{.answers = {cname}}.Build();
    big[big.size() - Name("alias.example").size() - 2] = 0xFF;
    EXPECT_FALSE(Read(big, 1));
    // An A record whose RDLENGTH is not 4 ends the reading even with more records behind it.
    const Bytes a5 = Rr(QuestionPtr(), 1, Bytes{1, 2, 3, 4, 5});
    EXPECT_FALSE(Read(
        Response{
            .answers = {a5, A(kAddrA)}
    }
            .Build(),
        1));
    // A label length running past the end, a pointer cut in half, a reserved label type.
    EXPECT_FALSE(Read(Response{.answers = {Bytes{60, 'x'}}}.Build(), 1));
    EXPECT_FALSE(Read(Response{.answers = {Bytes{0xC0}}}.Build(), 1));
    EXPECT_FALSE(Read(Response{.answers = {Rr(Bytes{0x41, 0}, 1, Be32(kAddrA))}}.Build(), 1));
}

TEST(DnsReader, EncodesQueriesAndRefusesUnusableNames) {
    std::uint8_t buffer[dns::kBufferSize];
    ASSERT_EQ(dns::EncodeQuery(0x1234, "ab.c", buffer), 12u + 6 + 4);
    const Bytes q(buffer, buffer + 22);
    EXPECT_EQ(q, Cat({
                     Be16(0x1234), Be16(0x0100), Be16(1), Be16(0), Be16(0), Be16(0),
                     Bytes{2, 'a', 'b', 1, 'c', 0},
                     Be16(1), Be16(1)
    }));
    // A trailing dot names the same (absolute) host.
    ASSERT_EQ(dns::EncodeQuery(0x1234, "ab.c.", buffer), 22u);
    EXPECT_EQ(Bytes(buffer, buffer + 22), q);
    for (const char* bad : {"", ".", "a..b", ".a", "a.."}) {
        EXPECT_EQ(dns::EncodeQuery(1, bad, buffer), 0u) << '"' << bad << '"';
    }
    // The buffer must hold the whole query.
    EXPECT_EQ(dns::EncodeQuery(1, "ab.c", std::span(buffer, 21)), 0u);
}

// ---- Through the stack ------------------------------------------------------------------------

class DnsTest : public StackTest {
  protected:
    struct Query {
        std::uint16_t id      = 0;
        std::uint16_t srcPort = 0;
        Bytes payload;
    };

    void SetUp() override {
        StackTest::SetUp();
        config.dnsServer = "192.0.2.1";
        ASSERT_EQ(Start(), TNSOCK_SUCCESS);
        LearnPeer(kServerIp, kPeerMac);
    }

    void TearDown() override {
        for (TnSockEndpoint* ep : held) {
            TnSockClose(ep);
        }
        for (TnTimerHandle h : dummyTimers) {
            host().timers.Stop(h);
        }
        StackTest::TearDown();
    }

    static int Resolve(const char* name, std::uint32_t* out = nullptr) {
        std::uint32_t scratch = 0;
        return TnDnsResolve(name, out != nullptr ? out : &scratch);
    }

    // The next frame must be a query to the server's port 53.
    Query ExpectQuery(const std::string& name = {}) {
        const Decoded d = NextSent();
        Query q;
        if (!d.ip || !d.udp) {
            ADD_FAILURE() << "not a checked IPv4/UDP frame";
            return q;
        }
        EXPECT_EQ(d.ip->dst, kServerIp);
        EXPECT_EQ(d.udp->dstPort, 53);
        q.srcPort = d.udp->srcPort;
        q.payload = d.udp->payload;
        if (q.payload.size() < 12) {
            ADD_FAILURE() << "query shorter than its header";
            return q;
        }
        q.id = Get16(q.payload, 0);
        if (!name.empty()) {
            EXPECT_EQ(q.payload, Cat({Be16(q.id), Be16(0x0100), Be16(1), Be16(0), Be16(0), Be16(0),
                                      Name(name), Be16(1), Be16(1)}));
        }
        return q;
    }

    void Answer(const Query& q, const Bytes& message, std::uint32_t src = kServerIp,
                std::uint16_t srcPort = 53) {
        InjectUdp(srcPort, q.srcPort, message, src);
    }

    // Resolves `name` to `address` through one query and its answer.
    void Learn(const std::string& name, std::uint32_t address) {
        ASSERT_EQ(Resolve(name.c_str()), TNDNS_PENDING);
        const Query q = ExpectQuery(name);
        Answer(q, Response{.id = q.id, .qname = name, .answers = {A(address)}}.Build());
        ASSERT_EQ(dns::PendingCount(), 0u);
    }

    std::vector<TnSockEndpoint*> held;
    std::vector<TnTimerHandle> dummyTimers;
};

TEST_F(DnsTest, FirstQueryThenAnswerFromTheCache) {
    std::uint32_t addr = 0;
    EXPECT_EQ(Resolve("example.com", &addr), TNDNS_PENDING);
    const Query q = ExpectQuery("example.com");
    EXPECT_EQ(q.id, 1);
    EXPECT_EQ(q.payload.size(), 12u + 13 + 4);
    Answer(q, Response{.answers = {A(kAddrA)}}.Build());
    EXPECT_EQ(dns::PendingCount(), 0u);
    EXPECT_EQ(host().timers.ActiveCount(), 0u) << "the query's timer is stopped";
    EXPECT_EQ(Resolve("example.com", &addr), TNDNS_RESOLVED);
    EXPECT_EQ(addr, kAddrA);
    ExpectNoTx(5000);
}

TEST_F(DnsTest, FailedChecksLeaveTheQueryPending) {
    ASSERT_EQ(Resolve("example.com"), TNDNS_PENDING);
    const Query q = ExpectQuery();
    Answer(q, Response{.id = q.id, .flags = 0x8183}.Build());  // NXDOMAIN
    Answer(q, Response{.id = q.id, .flags = 0x8380}.Build());  // TC, no answers
    Answer(q, Response{.id = static_cast<std::uint16_t>(q.id + 1), .answers = {A(kAddrA)}}.Build());
    Answer(q, Response{.id = q.id, .answers = {A(kAddrA)}}.Build(), kGatewayIp);  // not the server
    Answer(q, Response{.id = q.id, .answers = {A(kAddrA)}}.Build(), kServerIp, 5353);
    EXPECT_EQ(dns::PendingCount(), 1u);
    EXPECT_EQ(Resolve("example.com"), TNDNS_PENDING);  // a new query, not a cache hit
    ExpectQuery();
    Answer(q, Response{.id = q.id, .answers = {A(kAddrA)}}.Build());
    std::uint32_t addr = 0;
    EXPECT_EQ(Resolve("example.com", &addr), TNDNS_RESOLVED);
    EXPECT_EQ(addr, kAddrA);
}

TEST_F(DnsTest, RetransmitsAtOneAndTwoSecondsAndAbandonsAtThree) {
    ASSERT_EQ(Resolve("example.com"), TNDNS_PENDING);
    const Query first = ExpectQuery("example.com");
    ExpectNoTx(999);
    Advance(1);
    const Query second = ExpectQuery("example.com");
    EXPECT_EQ(second.payload, first.payload) << "the same query, same id";
    EXPECT_EQ(second.srcPort, first.srcPort);
    ExpectNoTx(999);
    Advance(1);
    EXPECT_EQ(ExpectQuery().payload, first.payload);
    ExpectNoTx(999);
    EXPECT_EQ(dns::PendingCount(), 1u);
    Advance(1);
    EXPECT_EQ(dns::PendingCount(), 0u);
    EXPECT_EQ(host().timers.ActiveCount(), 0u);
    ExpectNoTx(10'000);
    // The endpoint is closed: a late answer goes nowhere.
    Answer(first, Response{.answers = {A(kAddrA)}}.Build());
    EXPECT_EQ(dns::CacheCount(), 0u);
    EXPECT_EQ(Resolve("example.com"), TNDNS_PENDING);
    EXPECT_EQ(ExpectQuery().id, 2);
}

TEST_F(DnsTest, AnswerAfterTheCallerGaveUpStillFillsTheCache) {
    ASSERT_EQ(Resolve("example.com"), TNDNS_PENDING);
    const Query q = ExpectQuery();
    Advance(500);
    EXPECT_EQ(Resolve("example.com"), TNDNS_PENDING);  // a second query goes out
    ExpectQuery();
    Advance(1000);  // the caller's 500 ms retry is long past; the first query retransmits
    TakeSent();
    Answer(q, Response{.id = q.id, .answers = {A(kAddrA)}}.Build());
    std::uint32_t addr = 0;
    EXPECT_EQ(Resolve("example.com", &addr), TNDNS_RESOLVED);
    EXPECT_EQ(addr, kAddrA);
}

TEST_F(DnsTest, FourthLookupAbandonsTheOldest) {
    ASSERT_EQ(Resolve("a.example"), TNDNS_PENDING);
    const Query qa = ExpectQuery("a.example");
    ASSERT_EQ(Resolve("b.example"), TNDNS_PENDING);
    ExpectQuery("b.example");
    ASSERT_EQ(Resolve("c.example"), TNDNS_PENDING);
    ExpectQuery("c.example");
    ASSERT_EQ(Resolve("d.example"), TNDNS_PENDING);
    const Query qd = ExpectQuery("d.example");
    EXPECT_EQ(dns::PendingCount(), 3u);
    Answer(qa, Response{.id = qa.id, .qname = "a.example", .answers = {A(kAddrA)}}.Build());
    EXPECT_EQ(dns::CacheCount(), 0u) << "the abandoned query's endpoint is closed";
    Answer(qd, Response{.id = qd.id, .qname = "d.example", .answers = {A(kAddrB)}}.Build());
    EXPECT_EQ(Resolve("d.example"), TNDNS_RESOLVED);
    // Only b and c retransmit.
    Advance(1000);
    EXPECT_EQ(TakeSent().size(), 2u);
}

TEST_F(DnsTest, CacheEvictsTheOldestAndAHitDoesNotMoveIt) {
    Learn("a.example", kAddrA);
    Learn("b.example", kAddrB);
    Learn("c.example", kAddrC);
    std::uint32_t addr = 0;
    EXPECT_EQ(Resolve("a.example", &addr), TNDNS_RESOLVED);
    Learn("d.example", kAddrA);
    EXPECT_EQ(dns::CacheCount(), 3u);
    EXPECT_EQ(Resolve("b.example", &addr), TNDNS_RESOLVED);
    EXPECT_EQ(addr, kAddrB);
    EXPECT_EQ(Resolve("c.example"), TNDNS_RESOLVED);
    EXPECT_EQ(Resolve("d.example"), TNDNS_RESOLVED);
    EXPECT_EQ(Resolve("a.example"), TNDNS_PENDING) << "a was evicted despite its hit";
}

TEST_F(DnsTest, TwoAnswersForOneNameTakeOneCacheEntry) {
    ASSERT_EQ(Resolve("example.com"), TNDNS_PENDING);
    const Query q1 = ExpectQuery();
    ASSERT_EQ(Resolve("example.com"), TNDNS_PENDING);
    const Query q2 = ExpectQuery();
    Answer(q1, Response{.id = q1.id, .answers = {A(kAddrA)}}.Build());
    Answer(q2, Response{.id = q2.id, .answers = {A(kAddrB)}}.Build());
    EXPECT_EQ(dns::CacheCount(), 1u);
    std::uint32_t addr = 0;
    EXPECT_EQ(Resolve("example.com", &addr), TNDNS_RESOLVED);
    EXPECT_EQ(addr, kAddrB);
}

TEST_F(DnsTest, NamesAreCaseSensitive) {
    Learn("Host", kAddrA);
    EXPECT_EQ(Resolve("host"), TNDNS_PENDING);
    ExpectQuery("host");
    EXPECT_EQ(Resolve("Host"), TNDNS_RESOLVED);
}

TEST_F(DnsTest, NameLengthLimitIs255) {
    const std::string label(63, 'x');
    const std::string name255 = label + "." + label + "." + label + "." + label;
    ASSERT_EQ(name255.size(), 255u);
    EXPECT_EQ(Resolve(name255.c_str()), TNDNS_PENDING);
    const Query q = ExpectQuery(name255);
    EXPECT_EQ(q.payload.size(), 12u + 257 + 4);
    const std::string name256 = name255 + "y";
    EXPECT_EQ(Resolve(name256.c_str()), TNDNS_BAD_PARAMETER);
    ExpectNoTx();
    EXPECT_EQ(dns::PendingCount(), 1u);
}

TEST_F(DnsTest, BadArgumentsAndStates) {
    std::uint32_t addr = 0;
    EXPECT_EQ(TnDnsResolve(nullptr, &addr), TNDNS_BAD_PARAMETER);
    EXPECT_EQ(TnDnsResolve("example.com", nullptr), TNDNS_BAD_PARAMETER);
    EXPECT_EQ(TnDnsResolve("", &addr), TNDNS_BAD_PARAMETER);
    EXPECT_EQ(TnDnsResolve("a..b", &addr), TNDNS_BAD_PARAMETER);
    ExpectNoTx();

    TnDnsConfig c{3, 3, kServerIp, config.timerStart, config.timerStop};
    EXPECT_EQ(TnDnsInit(&c), TNDNS_ALREADY_INITIALIZED);
    TnSockDeinit();
    EXPECT_EQ(TnDnsResolve("example.com", &addr), TNDNS_NOT_INITIALIZED);
    EXPECT_EQ(TnDnsInit(nullptr), TNDNS_BAD_PARAMETER);
    c.cacheCapacity = 0;
    EXPECT_EQ(TnDnsInit(&c), TNDNS_BAD_PARAMETER);
    c.cacheCapacity = 3;
    c.pendingLimit  = 0;
    EXPECT_EQ(TnDnsInit(&c), TNDNS_BAD_PARAMETER);
    c.pendingLimit = 3;
    c.timerStart   = nullptr;
    EXPECT_EQ(TnDnsInit(&c), TNDNS_BAD_PARAMETER);
}

TEST_F(DnsTest, NoServerFailsAtOnce) {
    const std::uint32_t none = 0;
    TnDnsSetServer(&none);
    EXPECT_EQ(Resolve("example.com"), TNDNS_FAILED);
    EXPECT_EQ(dns::PendingCount(), 0u);
    ExpectNoTx();
    const std::uint32_t other = kGatewayIp;
    TnDnsSetServer(&other);
    TnDnsSetServer(nullptr);
    EXPECT_EQ(Resolve("example.com"), TNDNS_PENDING);
    const Decoded arp = NextSent();  // the new server is not known yet
    ASSERT_TRUE(arp.arp);
    EXPECT_EQ(arp.arp->targetIp, kGatewayIp);
}

TEST_F(DnsTest, NoEndpointOrNoTimerFailsAndLeavesNothingBehind) {
    auto quiet = [](std::uintptr_t, int, void*, std::uint32_t, std::uint32_t,
                    std::uint32_t) -> std::uintptr_t { return 0; };
    for (;;) {
        TnSockEndpoint* ep = nullptr;
        if (TnSockUdpOpen(0, quiet, 0, &ep) != TNSOCK_SUCCESS) {
            break;
        }
        held.push_back(ep);
    }
    EXPECT_EQ(Resolve("example.com"), TNDNS_FAILED);
    EXPECT_EQ(dns::PendingCount(), 0u);
    ExpectNoTx();

    TnSockClose(held.back());
    held.pop_back();
    for (;;) {
        TnTimerHandle h = host().timers.Start(host().Now(), 0xFFFFFFFF, 0, [](std::uintptr_t) {});
        if (h == nullptr) {
            break;
        }
        dummyTimers.push_back(h);
    }
    EXPECT_EQ(Resolve("example.com"), TNDNS_FAILED);
    EXPECT_EQ(dns::PendingCount(), 0u);
    ExpectNoTx();
    // The endpoint it opened was closed again.
    TnSockEndpoint* ep = nullptr;
    EXPECT_EQ(TnSockUdpOpen(0, quiet, 0, &ep), TNSOCK_SUCCESS);
    held.push_back(ep);
}

TEST_F(DnsTest, AnswerForAQueryNoLongerPendingIsIgnored) {
    ASSERT_EQ(Resolve("example.com"), TNDNS_PENDING);
    const Query q                = ExpectQuery();
    const std::uintptr_t context = dns::NewestPendingContext();
    ASSERT_NE(context, 0u);
    Advance(3000);  // abandoned, record freed
    ASSERT_EQ(dns::PendingCount(), 0u);
    // A datagram that still names the freed record is recognised as stale, not dereferenced.
    Bytes answer = Response{.id = q.id, .answers = {A(kAddrA)}}.Build();
    dns::OnDatagram(context, TNSOCK_EVENT_DATA, answer.data(),
                    static_cast<std::uint32_t>(answer.size()), 53, kServerIp);
    EXPECT_EQ(dns::CacheCount(), 0u);
}

TEST_F(DnsTest, ShutdownWithQueriesInFlightReleasesEverything) {
    ASSERT_EQ(Resolve("a.example"), TNDNS_PENDING);
    ASSERT_EQ(Resolve("b.example"), TNDNS_PENDING);
    TnSockDeinit();
    EXPECT_EQ(host().timers.ActiveCount(), 0u);
    EXPECT_EQ(dns::PendingCount(), 0u);
    // A new start finds every endpoint free and an empty cache.
    TakeSent();
    ASSERT_EQ(Start(), TNSOCK_SUCCESS);
    LearnPeer(kServerIp, kPeerMac);
    ASSERT_EQ(Resolve("a.example"), TNDNS_PENDING);
    EXPECT_EQ(ExpectQuery("a.example").id, 1);
}

}  // namespace
}  // namespace tarnet::test
