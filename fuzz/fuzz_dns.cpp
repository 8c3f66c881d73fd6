// The DNS resolver's response reader, alone and against a pending query.
//
// The first input byte chooses the mode. Reader mode hands the rest to the response reader with
// the id it carries and one of a few names, either as it is or behind a header and the question
// of that name, so inputs get past the id and question checks to the answer section. Resolver
// mode starts the stack, starts a query and runs a list of operations: a response (the input's
// bytes, with the pending query's id written over its first two bytes, behind the pending
// query's header and question, or as they are) handed to the query's endpoint handler or sent
// through the whole stack from the server's port 53; steps of the virtual clock
// (retransmission, abandonment); more lookups that fill the pending list and evict queries.
#include <cstring>
#include <vector>

#include "dns_internal.h"
#include "fuzz_support.h"
#include "tarnet/tndns.h"

namespace {

namespace dns  = tarnet::dns;
namespace test = tarnet::test;
using tarnet::fuzz::Input;

constexpr int kMaxOperations      = 32;
constexpr std::uint32_t kServerIp = 0xC0000235;  // 192.0.2.53, the configured server
constexpr test::Mac kServerMac{0x02, 0x53, 0x53, 0x53, 0x53, 0x53};

constexpr const char* kNames[4] = {"example.com", "www.example.com", "Example.com", "a.b"};

struct Header {
    std::uint8_t flags;  // RCODE in the low four bits, TC in the fifth
    std::uint8_t count;  // ANCOUNT, modulo 8
};

Header ReadHeader(Input& in) {
    const std::uint8_t flags = in.U8();
    return {flags, in.U8()};
}

// A response header and question for `name` with `id`, then `body`; empty when the name cannot
// be asked.
std::vector<std::uint8_t> WithQuestion(Header h, std::uint16_t id, const char* name,
                                       std::span<const std::uint8_t> body) {
    std::uint8_t query[dns::kBufferSize];
    const std::size_t length = dns::EncodeQuery(id, name, query);
    if (length == 0) {
        return {};
    }
    const unsigned tc = (h.flags & 0x10U) << 5;
    test::Put16(query, 2, static_cast<std::uint16_t>(0x8180U | (h.flags & 0x0FU) | tc));
    test::Put16(query, 6, static_cast<std::uint16_t>(h.count % 8));
    std::vector<std::uint8_t> m(query, query + length);
    m.insert(m.end(), body.begin(), body.end());
    return m;
}

void ReaderMode(Input& in) {
    const std::uint8_t choice = in.U8();
    const char* name          = kNames[choice % 4];
    std::vector<std::uint8_t> m;
    if ((choice & 4) != 0) {
        const std::uint16_t id = in.U16();
        const Header h         = ReadHeader(in);
        m                      = WithQuestion(h, id, name, in.Rest());
    } else {
        const auto rest = in.Rest();
        m.assign(rest.begin(), rest.end());
    }
    m.shrink_to_fit();
    const std::uint16_t id = m.size() >= 2 ? test::Get16(m, 0) : 0;
    std::uint32_t address  = 0;
    dns::ReadResponse(m, id, name, address);
}

// An ARP request from the server for our address: the stack learns the server's MAC, so queries
// leave at once and the last sent frame names the query's port.
void IntroduceServer() {
    tarnet::fuzz::Introduce(kServerMac, kServerIp);
}

// The source port of the last query sent, 0 when the last frame was not one.
std::uint16_t LastQueryPort() {
    const auto sent = tarnet::fuzz::DecodeSent();
    if (!sent || !sent->udp || sent->udp->dstPort != dns::kServerPort) {
        return 0;
    }
    return sent->udp->srcPort;
}

std::vector<std::uint8_t> Response(Input& in) {
    const std::uint8_t flags = in.U8();
    const Header h           = ReadHeader(in);
    const auto bytes         = in.Bytes(in.U16() % 1400);
    if ((flags & 2) != 0) {
        return WithQuestion(h, dns::NewestPendingId(), dns::NewestPendingName(), bytes);
    }
    std::vector<std::uint8_t> m(bytes.begin(), bytes.end());
    if ((flags & 1) != 0 && m.size() >= 2) {
        test::Put16(m, 0, dns::NewestPendingId());
    }
    return m;
}

void ResolverMode(Input& in) {
    tarnet::fuzz::StartStack();
    IntroduceServer();
    std::uint32_t address = 0;
    TnDnsResolve(kNames[0], &address);
    std::uint16_t port = LastQueryPort();

    for (int op = 0; op < kMaxOperations && !in.Empty(); ++op) {
        switch (in.U8() % 5) {
            case 0: {
                std::vector<std::uint8_t> m = Response(in);
                m.shrink_to_fit();
                dns::OnDatagram(dns::NewestPendingContext(), TNSOCK_EVENT_DATA,
                                m.empty() ? nullptr : m.data(),
                                static_cast<std::uint32_t>(m.size()), dns::kServerPort, kServerIp);
                break;
            }
            case 1: {
                const std::vector<std::uint8_t> m = Response(in);
                tarnet::fuzz::InjectUdp(dns::kServerPort, port, m, true, kServerIp);
                break;
            }
            case 2:
                tarnet::fuzz::Advance(in.U16() % 4000);
                break;
            case 3: {
                const int result = TnDnsResolve(kNames[in.U8() % 4], &address);
                if (result == TNDNS_PENDING) {
                    port = LastQueryPort();
                }
                break;
            }
            default: {
                const std::uint32_t server = in.U8() == 0 ? 0 : kServerIp;
                TnDnsSetServer(&server);
                break;
            }
        }
        if (dns::PendingCount() > 3 || dns::CacheCount() > 3) {
            __builtin_trap();  // the stack's limits are 3 and 3
        }
    }
    tarnet::fuzz::StopStack();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    if ((in.U8() & 1) == 0) {
        ReaderMode(in);
    } else {
        ResolverMode(in);
    }
    return 0;
}
