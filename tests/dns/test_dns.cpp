// DNS resolver: the query bytes, a scripted server's answers through the whole stack, the
// cache and pending-list bounds, retransmission on the virtual clock, the response reader
// against malformed, lying and forged messages, and the outcome each lookup reports.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "dns_internal.h"
#include "harness.h"
#include "needs_size.h"
#include "tarnet/tndns.h"

namespace tarnet::test {
namespace {

namespace dns = tarnet::dns;

constexpr std::uint32_t kServerIp = kPeerIp;
constexpr std::uint32_t kAddrA    = Ip(198, 51, 100, 1);
constexpr std::uint32_t kAddrB    = Ip(198, 51, 100, 2);
constexpr std::uint32_t kAddrC    = Ip(198, 51, 100, 3);
constexpr std::uint16_t kFlagsOk  = 0x8180;  // QR, RD, RA; RCODE 0

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

Bytes Cname(const std::string& alias, const Bytes& owner = QuestionPtr()) {
    return Rr(owner, 5, Name(alias));
}

struct Response {
    std::uint16_t id      = 0;  // the harness's random source gives 0 unless fed
    std::uint16_t flags   = kFlagsOk;
    std::uint16_t qdcount = 1;
    std::string qname     = "example.com";
    std::uint16_t qtype   = 1;
    std::uint16_t qclass  = 1;
    std::vector<Bytes> answers{};
    int ancount = -1;                 // -1: the number of answers
    std::vector<Bytes> additional{};  // after the answers, counted in ARCOUNT

    Bytes Build() const {
        const auto an =
            static_cast<std::uint16_t>(ancount < 0 ? static_cast<int>(answers.size()) : ancount);
        Bytes m = Cat({Be16(id), Be16(flags), Be16(qdcount), Be16(an), Be16(0),
                       Be16(static_cast<std::uint16_t>(additional.size())), Name(qname),
                       Be16(qtype), Be16(qclass)});
        for (const std::vector<Bytes>* section : {&answers, &additional}) {
            for (const Bytes& rr : *section) {
                m.insert(m.end(), rr.begin(), rr.end());
            }
        }
        return m;
    }
};

// The outcome the reader gives a response to the query for `name` with `id` (0: ignored).
int Read(const Bytes& message, std::uint16_t id, std::uint32_t* address = nullptr,
         const char* name = "example.com") {
    const Bytes copy(message);  // exact size on the heap: an over-read trips the sanitizer
    std::uint32_t a   = 0;
    const int outcome = dns::OutcomeCode(dns::ReadResponse(copy, id, name, a));
    if (address != nullptr) {
        *address = a;
    }
    return outcome;
}

constexpr int kIgnored  = 0;
constexpr int kAnswered = TNSOCK_DNS_ANSWER;

// ---- Response reader --------------------------------------------------------------------------

TEST(DnsReader, TakesTheARecordAtTheEndOfTheCnameChain) {
    std::uint32_t addr = 0;
    // The CNAME record starts at 29 (12 + 13 + 4); its data, the alias, at 41.
    const Bytes cname = Rr(QuestionPtr(), 5, Name("www.example.net"));
    EXPECT_EQ(Read(
                  Response{
                      .answers = {cname, A(kAddrB, {0xC0, 41}), A(kAddrC)}
    }
                      .Build(),
                  0, &addr),
              kAnswered);
    EXPECT_EQ(addr, kAddrB);
}

TEST(DnsReader, ReadsUncompressedAndPartlyCompressedNames) {
    std::uint32_t addr = 0;
    EXPECT_EQ(Read(Response{.answers = {A(kAddrA, Name("example.com"))}}.Build(), 0, &addr),
              kAnswered);
    EXPECT_EQ(addr, kAddrA);
    // Asked for www.example.com: a CNAME owned by "www" + a pointer to "example.com" inside the
    // question (offset 16), then an A whose name is written out in full.
    const Bytes cname = Rr(Cat({
                               Bytes{3,    'w', 'w', 'w'},
                               Bytes{0xC0, 16   }
    }),
                           5, Name("host.example"));
    EXPECT_EQ(
        Read(
            Response{
                .qname = "www.example.com", .answers = {cname, A(kAddrC, Name("host.example"))}
    }
                .Build(),
            0, &addr, "www.example.com"),
        kAnswered);
    EXPECT_EQ(addr, kAddrC);
}

// Only a response whose question echoes the one asked (RFC 5452 9.1) is read. (Ids, ports and
// each RCODE's outcome are checked through the stack below.)
TEST(DnsReader, HeaderAndQuestionDecideWhetherAndHowTheQueryIsAnswered) {
    const auto with = [](auto change) {
        Response r{.id = 7, .answers = {A(kAddrA)}};
        change(r);
        return r.Build();
    };
    // The question's name as the bytes of one label holding a dot, and as a pointer into the
    // header.
    Bytes oneLabel = with([](Response&) {});
    oneLabel.erase(oneLabel.begin() + 12, oneLabel.begin() + 25);
    const Bytes dotted{11, 'e', 'x', 'a', 'm', 'p', 'l', 'e', '.', 'c', 'o', 'm', 0};
    oneLabel.insert(oneLabel.begin() + 12, dotted.begin(), dotted.end());
    Bytes pointer = oneLabel;
    pointer.erase(pointer.begin() + 12, pointer.begin() + 25);
    pointer.insert(pointer.begin() + 12, {0xC0, 0x02});

    const struct {
        const char* what;
        Bytes message;
        int outcome;
    } cases[] = {
        {"the query's answer",        with([](Response&) {}),                                 kAnswered},
        {"QR clear",                  with([](Response& r) { r.flags = 0x0180; }),            kIgnored },
        {"OPCODE 1",                  with([](Response& r) { r.flags = 0x8980; }),            kIgnored },
        {"no question",               with([](Response& r) { r.qdcount = 0; }),               kIgnored },
        {"two questions",             with([](Response& r) { r.qdcount = 2; }),               kIgnored },
        {"another name",              with([](Response& r) { r.qname = "example.org"; }),     kIgnored },
        {"a longer name",             with([](Response& r) { r.qname = "www.example.com"; }), kIgnored },
        {"the name in another case",  with([](Response& r) { r.qname = "eXAMPLE.COM"; }),     kAnswered},
        {"one label holding a dot",   oneLabel,                                               kIgnored },
        {"a pointer into the header", pointer,                                                kIgnored },
        {"type AAAA",                 with([](Response& r) { r.qtype = 28; }),                kIgnored },
        {"class CH",                  with([](Response& r) { r.qclass = 3; }),                kIgnored },
        {"TC and no answers",         with([](Response& r) {
             r.flags = 0x8380;
             r.answers.clear();
         }),
         TNSOCK_DNS_TRUNCATED                                                                          },
        {"NXDOMAIN for another name", with([](Response& r) {
             r.flags = 0x8183;
             r.qname = "other.example";
         }),
         kIgnored                                                                                      },
    };
    for (const auto& c : cases) {
        std::uint32_t addr = 0;
        EXPECT_EQ(Read(c.message, 7, &addr), c.outcome) << c.what;
        EXPECT_EQ(addr, c.outcome == kAnswered ? kAddrA : 0) << c.what;
    }
}

// Only the chain from the name asked is believed (RFC 1034 5.3.3, RFC 2181 5.4.1).
TEST(DnsReader, BelievesOnlyTheChainFromTheNameAsked) {
    const Bytes alias  = Cname("alias.example");
    const Bytes aliasA = A(kAddrB, Name("alias.example"));
    const Bytes otherA = A(kAddrC, Name("bank.example"));
    Bytes chaosA       = A(kAddrC);
    chaosA[5]          = 3;  // class CH
    const struct {
        const char* what;
        Response response;
        int outcome;
        std::uint32_t address;
    } cases[] = {
        {"A for another name first",           {.answers = {otherA, A(kAddrA)}},              kAnswered,             kAddrA},
        {"owner in another case",              {.answers = {A(kAddrA, Name("EXAMPLE.com"))}}, kAnswered,             kAddrA},
        {"alias, its A behind a poisoned one",
         {.answers = {alias, otherA, A(kAddrC), aliasA}},
         kAnswered,                                                                                                  kAddrB},
        {"two hops",
         {.answers = {Cname("c.example", Name("alias.example")), alias,
                      A(kAddrC, Name("c.example"))}},
         kAnswered,                                                                                                  kAddrC},
        {"only A records for another name",    {.answers = {otherA}},                         kIgnored,              0     },
        {"alias and a poisoned A",             {.answers = {alias, otherA}},                  kIgnored,              0     },
        {"A in the additional section only",   {.additional = {A(kAddrA)}},                   TNSOCK_DNS_NO_ADDRESS, 0     },
        {"no answers",                         {},                                            TNSOCK_DNS_NO_ADDRESS, 0     },
        {"alias without its A",                {.answers = {alias}},                          TNSOCK_DNS_NO_ADDRESS, 0     },
        {"a CNAME loop",
         {.answers = {alias, Cname("example.com", Name("alias.example"))}},
         TNSOCK_DNS_NO_ADDRESS,                                                                                      0     },
        {"class CH",                           {.answers = {chaosA}},                         TNSOCK_DNS_NO_ADDRESS, 0     },
    };
    for (const auto& c : cases) {
        std::uint32_t addr = 0;
        EXPECT_EQ(Read(c.response.Build(), 0, &addr), c.outcome) << c.what;
        EXPECT_EQ(addr, c.address) << c.what;
    }
}

TEST(DnsReader, EveryTruncationOfAGoodResponseIsRefused) {
    const Bytes cname = Rr(QuestionPtr(), 5, Name("alias.example"));
    const Bytes full =
        Response{
            .answers = {cname, A(kAddrA, Name("alias.example"))}
    }
            .Build();
    ASSERT_EQ(Read(full, 0), kAnswered);
    for (std::size_t n = 0; n < full.size(); ++n) {
        EXPECT_EQ(Read(Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n)), 0),
                  kIgnored)
            << "cut to " << n << " bytes";
    }
}

TEST(DnsReader, LyingCountsAndLengthsStopTheReading) {
    const Bytes cname = Rr(QuestionPtr(), 5, Name("alias.example"));
    // More answers claimed than present.
    EXPECT_EQ(Read(Response{.answers = {cname}, .ancount = 40}.Build(), 0), kIgnored);
    // An A record after the claimed count is not read.
    EXPECT_EQ(Read(
                  Response{
                      .answers = {cname, A(kAddrA, Name("alias.example"))},
                        .ancount = 1
    }
                      .Build(),
                  0),
              TNSOCK_DNS_NO_ADDRESS);
    // RDLENGTH of a CNAME running past the end.
    Bytes big                                          = Response{.answers = {cname}}.Build();
    big[big.size() - Name("alias.example").size() - 2] = 0xFF;
    EXPECT_EQ(Read(big, 0), kIgnored);
    // A CNAME whose data holds more than its name.
    EXPECT_EQ(
        Read(
            Response{.answers = {Rr(QuestionPtr(), 5, Cat({Name("a.example"), Bytes{0}}))}}.Build(),
            0),
        kIgnored);
    // An A record whose RDLENGTH is not 4 ends the reading even with more records behind it.
    const Bytes a5 = Rr(QuestionPtr(), 1, Bytes{1, 2, 3, 4, 5});
    EXPECT_EQ(Read(
                  Response{
                      .answers = {a5, A(kAddrA)}
    }
                      .Build(),
                  0),
              kIgnored);
    // A label length running past the end, a pointer cut in half, a reserved label type, a
    // pointer to itself (a loop).
    EXPECT_EQ(Read(Response{.answers = {Bytes{60, 'x'}}}.Build(), 0), kIgnored);
    EXPECT_EQ(Read(Response{.answers = {Bytes{0xC0}}}.Build(), 0), kIgnored);
    EXPECT_EQ(Read(Response{.answers = {Rr(Bytes{0x41, 0}, 1, Be32(kAddrA))}}.Build(), 0),
              kIgnored);
    EXPECT_EQ(Read(Response{.answers = {Rr(Bytes{0xC0, 29}, 1, Be32(kAddrA))}}.Build(), 0),
              kIgnored);
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

    struct Outcome {
        std::string name;
        int outcome;
        std::uint32_t address;
        bool operator==(const Outcome&) const = default;
    };

    static void RecordOutcome(std::uintptr_t context, const TnSockDiagnostic* d) {
        if (d->kind == TNSOCK_DIAG_DNS_RESULT) {
            reinterpret_cast<DnsTest*>(context)->outcomes.push_back(
                {d->name, d->dnsOutcome, d->address});
        }
    }

    void SetUp() override {
        StackTest::SetUp();
        TnSockSetDiagnostics(RecordOutcome, reinterpret_cast<std::uintptr_t>(this));
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
        TnSockSetDiagnostics(nullptr, 0);
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
    std::vector<Outcome> outcomes;  // reported to the diagnostic hook
};

TEST_F(DnsTest, FirstQueryThenAnswerFromTheCache) {
    std::uint32_t addr = 0;
    EXPECT_EQ(Resolve("example.com", &addr), TNDNS_PENDING);
    const Query q = ExpectQuery("example.com");
    EXPECT_EQ(q.payload.size(), 12u + 13 + 4);
    Answer(q, Response{.id = q.id, .answers = {A(kAddrA)}}.Build());
    EXPECT_EQ(dns::PendingCount(), 0u);
    EXPECT_EQ(host().timers.ActiveCount(), 0u) << "the query's timer is stopped";
    EXPECT_EQ(Resolve("example.com", &addr), TNDNS_RESOLVED);
    EXPECT_EQ(addr, kAddrA);
    ExpectNoTx(5000);
}

// Replies that do not answer the query, forged or confused, leave it pending for the real one.
TEST_F(DnsTest, ForgedRepliesAreIgnoredAndTheRealAnswerTaken) {
    struct Forged {
        const char* what;
        Response response;
        int idDelta             = 0;
        std::uint32_t src       = kServerIp;
        std::uint16_t srcPort   = 53;
        std::uint16_t portDelta = 0;  // added to the query's port
    };
    const Forged cases[] = {
        {"another id",              {.answers = {A(kAddrB)}},  1},
        {"from port 5353",                         {.answers = {A(kAddrB)}},                                   0, kServerIp, 5353},
        {"to another port",                        {.answers = {A(kAddrB)}},      0, kServerIp, 53, 1},
        {"from another server",                         {.answers = {A(kAddrB)}},                                  0, kGatewayIp},
        {"another question name",                        {.qname = "bank.example", .answers = {A(kAddrB)}}                                  },
        {"question type AAAA",                        {.qtype = 28, .answers = {A(kAddrB)}}                                                },
        {"question class CH",{.qclass = 3, .answers = {A(kAddrB)}}},
        {"an A record for another name",                         {.answers = {A(kAddrB, Name("bank.example"))}}                           },
        {"a CNAME chain and a poisoned A",
         {.answers = {Cname("alias.example"), A(kAddrB, Name("bank.example"))}}},
    };
    int n = 0;
    for (const Forged& c : cases) {
        const std::string name = "h" + std::to_string(n++) + ".example";
        ASSERT_EQ(Resolve(name.c_str()), TNDNS_PENDING) << c.what;
        const Query q = ExpectQuery(name);
        Query to      = q;
        to.srcPort    = static_cast<std::uint16_t>(q.srcPort + c.portDelta);
        Response r    = c.response;
        r.id          = static_cast<std::uint16_t>(q.id + c.idDelta);
        if (r.qname == "example.com") {
            r.qname = name;
        }
        Answer(to, r.Build(), c.src, c.srcPort);
        TakeSent();  // a port unreachable, for the datagram to another port
        EXPECT_EQ(dns::PendingCount(), 1u) << c.what;
        EXPECT_TRUE(outcomes.empty()) << c.what;
        EXPECT_EQ(Resolve(name.c_str()), TNDNS_PENDING) << c.what;

        Answer(q, Response{.id = q.id, .qname = name, .answers = {A(kAddrA)}}.Build());
        std::uint32_t addr = 0;
        EXPECT_EQ(Resolve(name.c_str(), &addr), TNDNS_RESOLVED) << c.what;
        EXPECT_EQ(addr, kAddrA) << c.what;
        EXPECT_EQ(outcomes, (std::vector<Outcome>{
                                {name, TNSOCK_DNS_ANSWER, kAddrA}
        }))
            << c.what;
        outcomes.clear();
        ExpectNoTx();
    }
}

// Each lookup's end goes to the diagnostic hook with its name, and ends the query.
TEST_F(DnsTest, EachOutcomeIsReportedAndEndsTheQuery) {
    TARNET_NEEDS_SIZE(TARNET_DNS_PENDING, 3);  // the lookups overlap
    const struct {
        const char* what;
        std::uint16_t flags;
        std::vector<Bytes> answers;
        int outcome;
    } cases[] = {
        {"answer",     kFlagsOk, {A(kAddrA)},              TNSOCK_DNS_ANSWER     },
        {"NXDOMAIN",   0x8183,   {},                       TNSOCK_DNS_NXDOMAIN   },
        {"no address", kFlagsOk, {Cname("alias.example")}, TNSOCK_DNS_NO_ADDRESS },
        {"SERVFAIL",   0x8182,   {},                       TNSOCK_DNS_SERVFAIL   },
        {"REFUSED",    0x8185,   {},                       TNSOCK_DNS_REFUSED    },
        {"truncated",  0x8380,   {A(kAddrA)},              TNSOCK_DNS_TRUNCATED  },
        {"FORMERR",    0x8181,   {},                       TNSOCK_DNS_OTHER_ERROR},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string name = "h" + std::to_string(n++) + ".example";
        ASSERT_EQ(Resolve(name.c_str()), TNDNS_PENDING);
        const Query q = ExpectQuery(name);
        Answer(q,
               Response{.id = q.id, .flags = c.flags, .qname = name, .answers = c.answers}.Build());
        EXPECT_EQ(outcomes, (std::vector<Outcome>{
                                {name, c.outcome, c.outcome == TNSOCK_DNS_ANSWER ? kAddrA : 0}
        }))
            << c.what;
        EXPECT_EQ(dns::PendingCount(), 0u) << c.what;
        EXPECT_EQ(TnDnsLastOutcome(name.c_str(), nullptr), c.outcome) << c.what;
        EXPECT_EQ(Resolve(name.c_str()),
                  c.outcome == TNSOCK_DNS_ANSWER ? TNDNS_RESOLVED : TNDNS_PENDING)
            << c.what << ": only an answer is cached; asking again asks the server again";
        TakeSent();
        outcomes.clear();
        TnSockDeinit();
        ASSERT_EQ(Start(), TNSOCK_SUCCESS);
        LearnPeer(kServerIp, kPeerMac);
    }
    // No answer at all, and a query abandoned to make room for a newer one.
    ASSERT_EQ(Resolve("silent.example"), TNDNS_PENDING);
    Advance(3000);
    ASSERT_EQ(Resolve("a.example"), TNDNS_PENDING);
    ASSERT_EQ(Resolve("b.example"), TNDNS_PENDING);
    ASSERT_EQ(Resolve("c.example"), TNDNS_PENDING);
    ASSERT_EQ(Resolve("d.example"), TNDNS_PENDING);
    EXPECT_EQ(outcomes, (std::vector<Outcome>{
                            {"silent.example", TNSOCK_DNS_NO_RESPONSE, 0},
                            {"a.example",      TNSOCK_DNS_NO_RESPONSE, 0}
    }));
}

// A caller polling TnDnsResolve tells a failure that ended after it asked by the serial.
TEST_F(DnsTest, LastOutcomeTellsEachEndedLookupApart) {
    std::uint32_t before = 99;
    EXPECT_EQ(TnDnsLastOutcome("gone.example", &before), 0);
    EXPECT_EQ(before, 0u);
    std::uint32_t serials[2] = {};
    for (std::uint32_t& serial : serials) {
        ASSERT_EQ(Resolve("gone.example"), TNDNS_PENDING);
        const Query q = ExpectQuery("gone.example");
        Answer(q, Response{.id = q.id, .flags = 0x8183, .qname = "gone.example"}.Build());
        EXPECT_EQ(TnDnsLastOutcome("gone.example", &serial), TNSOCK_DNS_NXDOMAIN);
    }
    EXPECT_NE(serials[0], 0u);
    EXPECT_NE(serials[1], serials[0]) << "asking again is a new lookup with its own end";
    Learn("other.example", kAddrA);
    EXPECT_EQ(TnDnsLastOutcome("other.example", nullptr), TNSOCK_DNS_ANSWER);
    EXPECT_EQ(TnDnsLastOutcome("gone.example", nullptr), TNSOCK_DNS_NXDOMAIN);
}

TEST_F(DnsTest, QueryIdAndPortAreRandomPerQuery) {
    TARNET_NEEDS_SIZE(TARNET_DNS_PENDING, 2);  // two queries in flight
    // Each draw takes two values, (high << 16) ^ low: first the id, then the port.
    host().randomValues = {0, 0x1234, 0, 777, 0, 0xBEEF, 0, 4321};
    ASSERT_EQ(Resolve("a.example"), TNDNS_PENDING);
    const Query a = ExpectQuery("a.example");
    ASSERT_EQ(Resolve("b.example"), TNDNS_PENDING);
    const Query b = ExpectQuery("b.example");
    EXPECT_EQ(a.id, 0x1234);
    EXPECT_EQ(a.srcPort, 10777);
    EXPECT_EQ(b.id, 0xBEEF);
    EXPECT_EQ(b.srcPort, 14321);
    // A retransmission repeats its query's id and port.
    Advance(1000);
    EXPECT_EQ(ExpectQuery("a.example").payload, a.payload);
    EXPECT_EQ(ExpectQuery().srcPort, b.srcPort);
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
    Answer(first, Response{.id = first.id, .answers = {A(kAddrA)}}.Build());
    EXPECT_EQ(dns::CacheCount(), 0u);
    EXPECT_EQ(Resolve("example.com"), TNDNS_PENDING);
    ExpectQuery("example.com");
}

// A caller that asks again while its query is in flight shares it: no second query goes out and
// no pending slot is taken, so an ask-again loop cannot crowd out other lookups.
TEST_F(DnsTest, AskingAgainSharesThePendingQuery) {
    TARNET_NEEDS_SIZE(TARNET_DNS_PENDING, 3);  // three queries in flight
    ASSERT_EQ(Resolve("example.com"), TNDNS_PENDING);
    const Query q = ExpectQuery();
    ASSERT_EQ(Resolve("b.example"), TNDNS_PENDING);
    ASSERT_EQ(Resolve("c.example"), TNDNS_PENDING);
    TakeSent();
    for (int ask = 0; ask < 5; ++ask) {
        Advance(100);
        EXPECT_EQ(Resolve("example.com"), TNDNS_PENDING);
    }
    ExpectNoTx();
    EXPECT_EQ(dns::PendingCount(), 3u) << "b and c were not abandoned";
    Advance(500);  // the caller's 500 ms retry is long past; the query retransmits
    EXPECT_EQ(TakeSent().size(), 3u);
    Answer(q, Response{.id = q.id, .answers = {A(kAddrA)}}.Build());
    std::uint32_t addr = 0;
    EXPECT_EQ(Resolve("example.com", &addr), TNDNS_RESOLVED);
    EXPECT_EQ(addr, kAddrA);
    EXPECT_EQ(outcomes.size(), 1u) << "one lookup, one outcome";
}

TEST_F(DnsTest, FourthLookupAbandonsTheOldest) {
    TARNET_NEEDS_SIZE(TARNET_DNS_PENDING, 3);  // three queries in flight
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
    TARNET_NEEDS_SIZE(TARNET_DNS_CACHE_ENTRIES, 3);  // three answers cached
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

TEST_F(DnsTest, NamesAreCaseSensitive) {
    Learn("Host", kAddrA);
    EXPECT_EQ(Resolve("host"), TNDNS_PENDING);
    ExpectQuery("host");
    EXPECT_EQ(Resolve("Host"), TNDNS_RESOLVED);
}

// A name takes at most 255 octets on the wire: 253 characters, 254 with the root's dot; a label
// at most 63 (RFC 1035 2.3.4).
TEST_F(DnsTest, LabelAndNameLimitsAre63And253) {
    const std::string l63(63, 'x');
    const std::string name253 = l63 + "." + l63 + "." + l63 + "." + std::string(61, 'y');
    ASSERT_EQ(name253.size(), 253u);
    const struct {
        std::string name;
        bool usable;
    } cases[] = {
        {l63 + ".example", true             },
        {std::string(64,   'x') + ".example", false},
        {"a." + std::string(64,                'x'),             false},
        {std::string(200,           'x'),                false},
        {name253,  true},
        {name253 + ".",          true                     },
        {name253 + "y",    false       },
        {name253 + "y.",    false            },
    };
    for (const auto& c : cases) {
        TnSockDeinit();
        ASSERT_EQ(Start(), TNSOCK_SUCCESS);
        LearnPeer(kServerIp, kPeerMac);
        EXPECT_EQ(Resolve(c.name.c_str()), c.usable ? TNDNS_PENDING : TNDNS_BAD_PARAMETER)
            << c.name.size() << " characters";
        if (c.usable) {
            const std::string bare =
                c.name.back() == '.' ? c.name.substr(0, c.name.size() - 1) : c.name;
            ExpectQuery(bare);
        }
        ExpectNoTx();
    }
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
    ExpectQuery("a.example");
}

}  // namespace
}  // namespace tarnet::test
