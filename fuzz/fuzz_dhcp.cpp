// The DHCP client's reply parser, and server replies delivered to the client in every state.
//
// The first input byte chooses the mode. Parser mode hands the rest, as it stands or behind a
// valid BOOTREPLY header for this client, to the reply parser. Client mode starts the stack
// with DHCP and runs a list of operations: a reply (built for this client with the chosen
// message type, times and free-form option bytes, or raw bytes) delivered through the whole
// stack or straight to the port-68 handler; ARP packets from another station that may claim the
// address under probe; steps of the virtual clock, long enough to reach renewal, rebinding and
// lease end; stop and start.
#include <algorithm>
#include <cstring>
#include <vector>

#include "dhcp_internal.h"
#include "fuzz_support.h"
#include "tarnet/tndhcp.h"

namespace {

namespace dhcp = tarnet::dhcp;
namespace test = tarnet::test;
using tarnet::fuzz::Input;

constexpr int kMaxOperations      = 48;
constexpr std::size_t kMaxOptions = 600;

constexpr std::uint8_t kTypes[4] = {dhcp::Wire(dhcp::MessageType::kOffer),
                                    dhcp::Wire(dhcp::MessageType::kAck),
                                    dhcp::Wire(dhcp::MessageType::kNak), 0};

// A BOOTREPLY header for this client and transaction, then the option bytes.
std::vector<std::uint8_t> ReplyHeader(std::uint32_t xid, std::uint32_t yiaddr) {
    std::vector<std::uint8_t> m(dhcp::kOptionsOffset, 0);
    m[dhcp::kOpOffset]    = 2;
    m[dhcp::kHtypeOffset] = 1;
    m[dhcp::kHlenOffset]  = 6;
    test::Put32(m, dhcp::kXidOffset, xid);
    test::Put32(m, dhcp::kYiaddrOffset, yiaddr);
    std::copy(test::kOurMac.begin(), test::kOurMac.end(), m.begin() + dhcp::kChaddrOffset);
    std::memcpy(m.data() + dhcp::kCookieOffset, dhcp::kMagicCookie, 4);
    return m;
}

void PutOption32(std::vector<std::uint8_t>& m, dhcp::Option code, std::uint32_t value) {
    m.push_back(dhcp::Wire(code));
    m.push_back(4);
    test::Append(m, test::Be32(value));
}

void ParserMode(Input& in) {
    const std::uint8_t flags = in.U8();
    std::vector<std::uint8_t> m;
    if ((flags & 1) != 0) {
        m = ReplyHeader(0x01020304, in.U32());
    }
    const auto rest = in.Rest();
    m.insert(m.end(), rest.begin(), rest.end());
    m.shrink_to_fit();  // an exact-size buffer: ASan catches any read past the end

    static constexpr std::uint8_t kMac[6] = {0x02, 0x54, 0x4E, 0x00, 0x00, 0x01};
    dhcp::DhcpReply reply;
    if (dhcp::ParseReply(m, 0x01020304, kMac, reply) &&
        reply.yiaddr != test::Get32(m, dhcp::kYiaddrOffset)) {
        __builtin_trap();
    }
}

// One reply for the client's current transaction.
std::vector<std::uint8_t> BuildReply(Input& in) {
    const std::uint8_t flags = in.U8();
    if ((flags & 0x80) != 0) {
        const auto raw = in.Bytes(in.U16() % 1200);
        return {raw.begin(), raw.end()};
    }
    const std::uint32_t yiaddr  = (flags & 0x40) != 0 ? in.U32() : tarnet::fuzz::kOurIp;
    const std::uint32_t xid     = (flags & 0x20) != 0 ? in.U32() : dhcp::CurrentXid();
    std::vector<std::uint8_t> m = ReplyHeader(xid, yiaddr);
    const std::uint8_t type     = kTypes[flags & 3];
    if (type != 0) {
        m.insert(m.end(), {dhcp::Wire(dhcp::Option::kMessageType), 1, type});
    }
    if ((flags & 4) != 0) {
        PutOption32(m, dhcp::Option::kServerId, tarnet::fuzz::kPeerIp);
    }
    if ((flags & 8) != 0) {
        // Times: small ones so the timers fire within a run, or anything at all.
        const bool small = (flags & 0x10) != 0;
        for (dhcp::Option code :
             {dhcp::Option::kLeaseTime, dhcp::Option::kRenewalTime, dhcp::Option::kRebindingTime}) {
            const std::uint32_t v = in.U32();
            PutOption32(m, code, small ? v % 400 : v);
        }
    }
    const auto options = in.Bytes(in.U16() % kMaxOptions);
    m.insert(m.end(), options.begin(), options.end());
    return m;
}

// An ARP packet from another station: its sender address is the offered one or any, so it may
// or may not claim the address the client probes for.
void InjectArp(Input& in) {
    const std::uint8_t flags = in.U8();
    test::ArpPacket arp;
    arp.op                     = (flags & 1) != 0 ? 2 : 1;
    arp.senderMac              = test::kOtherMac;
    const std::uint32_t sender = (flags & 2) != 0 ? in.U32() : tarnet::fuzz::kOurIp;
    arp.senderIp               = (flags & 4) != 0 ? 0 : sender;
    arp.targetIp               = (flags & 4) != 0 ? sender : in.U32();
    tarnet::fuzz::InjectFrame(test::ArpFrame(test::kBroadcast, test::kOtherMac, arp));
}

void ClientMode(Input& in) {
    tarnet::fuzz::StackOptions options;
    options.useDhcp = true;
    tarnet::fuzz::StartStack(options);

    for (int op = 0; op < kMaxOperations && !in.Empty(); ++op) {
        switch (in.U8() % 7) {
            case 0: {  // through Ethernet, IPv4 and UDP to port 68
                const auto m = BuildReply(in);
                tarnet::fuzz::InjectUdp(67, 68, m, false);
                break;
            }
            case 1: {  // straight to the endpoint's handler
                std::vector<std::uint8_t> m = BuildReply(in);
                m.shrink_to_fit();
                dhcp::OnDatagram(0, TNSOCK_EVENT_DATA, m.empty() ? nullptr : m.data(),
                                 static_cast<std::uint32_t>(m.size()), 67, tarnet::fuzz::kPeerIp);
                break;
            }
            case 2:
                tarnet::fuzz::Advance(in.U16());
                break;
            case 3:
                // Up to 18 hours: once it has held a lease the client asks again for as long
                // as it runs, a timer every half minute or so, and the harness bounds the
                // timer runs of one step.
                tarnet::fuzz::Advance(std::uint64_t{in.U32() % (1u << 22)} * 16);
                break;
            case 4:
                TnDhcpStop();
                break;
            case 6:
                InjectArp(in);
                break;
            default:
                TnDhcpStart();
                break;
        }
    }
    tarnet::fuzz::StopStack();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    if ((in.U8() & 1) == 0) {
        ParserMode(in);
    } else {
        ClientMode(in);
    }
    return 0;
}
