// Arbitrary frames into the Ethernet input of a running stack.
//
// The input is a list of operations, each starting with one byte that chooses it: a raw frame;
// an IPv4 datagram with a valid header (so the bytes behind the header checksum gate are
// reached: ICMP, UDP, TCP, fragments for reassembly); an ARP packet; a step of the virtual clock
// (reassembly, ARP-wait and echo timers run); an answer to the last frame the stack sent (ARP
// reply, echo reply), optionally mutated; starting or stopping the echo client. A UDP endpoint on
// port 7 echoes what it receives, so the socket layer and the output path with fragmentation run
// too. Datagrams with IP options of any header length are built as well.
#include <algorithm>
#include <utility>

#include "fuzz_support.h"

namespace {

namespace test = tarnet::test;
using tarnet::fuzz::Input;

constexpr int kMaxOperations      = 64;
constexpr std::uint16_t kEchoPort = 7;

TnSockEndpoint* g_echo = nullptr;

std::uintptr_t EchoEvent(std::uintptr_t, int event, void* data, std::uint32_t length,
                         std::uint32_t srcPort, std::uint32_t srcAddress) {
    if (event == TNSOCK_EVENT_DATA && g_echo != nullptr && data != nullptr) {
        TnSockUdpSendto(g_echo, srcAddress, static_cast<std::uint16_t>(srcPort),
                        static_cast<const std::uint8_t*>(data),
                        std::min(length, TNSOCK_UDP_MAX_PAYLOAD));
    }
    return 0;
}

void RawFrame(Input& in) {
    const std::uint16_t length = in.U16();
    tarnet::fuzz::InjectFrame(in.Bytes(length));
}

void Ipv4Datagram(Input& in) {
    static constexpr std::uint8_t kProtocols[3] = {1, 6, 17};
    const std::uint8_t flags                    = in.U8();
    test::Ipv4Packet packet =
        test::MakeIpv4((flags & 3) == 3 ? in.U8() : kProtocols[flags & 3], {});
    packet.id = in.U8();  // a small space, so that fragments of one datagram meet
    if ((flags & 4) != 0) {
        packet.flagsField = in.U16();
    }
    if ((flags & 8) != 0) {
        packet.dst = 0xFFFFFFFF;
    }
    const auto bytes = in.Bytes(in.U16() % 4200);
    packet.payload.assign(bytes.begin(), bytes.end());
    if ((flags & 16) != 0 && packet.protocol == 1 && packet.payload.size() >= 8) {
        // A well-formed echo request: type 8 and a right checksum over the whole message.
        const test::Bytes& p = packet.payload;
        test::IcmpEcho echo;
        echo.code       = p[1];
        echo.identifier = test::Get16(p, 4);
        echo.sequence   = test::Get16(p, 6);
        echo.data.assign(p.begin() + 8, p.end());
        packet.payload = echo.Build();
    }
    if ((flags & 32) != 0) {
        tarnet::fuzz::InjectUdp(in.U16(), (flags & 64) != 0 ? kEchoPort : in.U16(), packet.payload,
                                (flags & 128) != 0);
        return;
    }
    tarnet::fuzz::InjectIpv4(packet);
}

// An IPv4 datagram whose header length (IHL) and total length come from the input, with option
// bytes after the fixed header and a header checksum that holds over IHL x 4 bytes (as far as
// the frame has them), so option stripping and the length checks behind the checksum run.
void Ipv4WithOptions(Input& in) {
    const std::uint8_t flags = in.U8();
    const std::uint32_t ihl  = in.U8() & 0x0Fu;
    const auto options       = in.Bytes(ihl > 5 ? (ihl - 5) * 4 : 0);
    const auto payload       = in.Bytes(in.U16() % 4200);
    test::Ipv4Packet packet;
    packet.src        = tarnet::fuzz::kPeerIp;
    packet.dst        = tarnet::fuzz::kOurIp;
    packet.versionIhl = static_cast<std::uint8_t>(0x40 | ihl);
    packet.options.assign(options.begin(), options.end());
    packet.payload.assign(payload.begin(), payload.end());
    if ((flags & 2) != 0) {
        packet.totalLength = in.U16();
    }
    packet.id       = in.U8();
    packet.protocol = (flags & 8) != 0 ? 1 : 17;
    if ((flags & 4) != 0) {
        packet.flagsField = in.U16();
    }
    const test::Mac& to = (flags & 1) != 0 ? test::kBroadcast : tarnet::fuzz::kOurMac;
    tarnet::fuzz::InjectFrame(test::Ipv4Frame(to, tarnet::fuzz::kPeerMac, packet));
}

void ArpPacket(Input& in) {
    const std::uint8_t flags = in.U8();
    const auto body          = in.Bytes(28);
    test::Bytes arp(28, 0);
    std::copy(body.begin(), body.end(), arp.begin());
    if ((flags & 2) != 0) {
        // Ethernet/IPv4 fields right, so the packet is parsed.
        test::Put16(arp, 0, 1);
        test::Put16(arp, 2, 0x0800);
        arp[4] = 6;
        arp[5] = 4;
    }
    if ((flags & 4) != 0) {
        test::Put32(arp, 24, tarnet::fuzz::kOurIp);  // target: our address
    }
    const test::Mac& to = (flags & 1) != 0 ? tarnet::fuzz::kOurMac : test::kBroadcast;
    test::Bytes frame   = test::EthFrame{to, tarnet::fuzz::kPeerMac, 0x0806, arp}.Build();
    if ((flags & 8) != 0) {
        frame.resize(14 + in.U8() % 29);
    }
    tarnet::fuzz::InjectFrame(frame);
}

// The peer's answer to a frame the stack sent: an ARP reply from the address asked for, or the
// datagram sent back with source and destination swapped (an echo request turned into a reply).
// Empty when the frame is neither.
test::Bytes AnswerTo(const test::Decoded& sent) {
    if (sent.arp) {
        const test::ArpPacket reply{2, tarnet::fuzz::kPeerMac, sent.arp->targetIp,
                                    sent.arp->senderMac, sent.arp->senderIp};
        return test::ArpFrame(tarnet::fuzz::kOurMac, tarnet::fuzz::kPeerMac, reply);
    }
    if (!sent.ip) {
        return {};
    }
    test::Ipv4Packet back = *sent.ip;
    std::swap(back.src, back.dst);
    if (sent.icmp && sent.icmp->type == 8) {
        test::IcmpEcho reply = *sent.icmp;
        reply.type           = 0;
        back.payload         = reply.Build();
    }
    return test::Ipv4Frame(tarnet::fuzz::kOurMac, tarnet::fuzz::kPeerMac, back);
}

// Answers the last frame the stack sent, as the peer would, then perhaps mutates the answer.
void Answer(Input& in) {
    const auto sent = tarnet::fuzz::DecodeSent(in.U8() % 4);
    if (!sent) {
        return;
    }
    test::Bytes frame = AnswerTo(*sent);
    if (frame.empty()) {
        return;
    }
    const int mutations = in.U8() % 4;
    for (int i = 0; i < mutations; ++i) {
        const std::size_t at = in.U16() % frame.size();
        frame[at]            = in.U8();
    }
    tarnet::fuzz::InjectFrame(frame);
}

void EchoClient(Input& in) {
    const std::uint8_t choice = in.U8();
    if ((choice & 1) != 0) {
        TnSockPingStop();
        return;
    }
    const std::uint32_t target  = (choice & 2) != 0 ? tarnet::fuzz::kPeerIp : in.U32();
    const std::uint32_t timeout = 1 + in.U16();
    const std::uint32_t count   = 1 + in.U8() % 8;
    const std::uint32_t size    = in.U16() % 4200;
    TnSockPingStart(target, timeout, count, size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tarnet::fuzz::StartStack();
    g_echo = nullptr;
    if (TnSockUdpOpen(0, EchoEvent, kEchoPort, &g_echo) != TNSOCK_SUCCESS) {
        __builtin_trap();
    }
    Input in(data, size);
    for (int op = 0; op < kMaxOperations && !in.Empty(); ++op) {
        switch (in.U8() % 7) {
            case 0:
                RawFrame(in);
                break;
            case 1:
                Ipv4Datagram(in);
                break;
            case 2:
                ArpPacket(in);
                break;
            case 3:
                tarnet::fuzz::Advance(in.U16() % 5000);
                break;
            case 4:
                Answer(in);
                break;
            case 5:
                Ipv4WithOptions(in);
                break;
            default:
                EchoClient(in);
                break;
        }
    }
    // Let every timer that is still running expire: reassembly, ARP wait, echo client.
    tarnet::fuzz::Advance(10'000);
    TnSockClose(g_echo);
    g_echo = nullptr;
    tarnet::fuzz::StopStack();
    return 0;
}
