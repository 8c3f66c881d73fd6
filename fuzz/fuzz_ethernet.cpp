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
#include <cstring>
#include <vector>

#include "fuzz_support.h"

namespace {

using tarnet::fuzz::Put16;

using tarnet::fuzz::Input;

constexpr int kMaxOperations      = 64;
constexpr std::uint16_t kEchoPort = 7;

constexpr std::uint8_t kBroadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

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
    tarnet::fuzz::Ipv4Fields fields;
    fields.protocol = (flags & 3) == 3 ? in.U8() : kProtocols[flags & 3];
    fields.id       = in.U8();  // a small space, so that fragments of one datagram meet
    if ((flags & 4) != 0) {
        fields.flagsOffset = in.U16();
    }
    if ((flags & 8) != 0) {
        fields.dst = 0xFFFFFFFF;
    }
    std::vector<std::uint8_t> payload;
    const auto bytes = in.Bytes(in.U16() % 4200);
    payload.assign(bytes.begin(), bytes.end());
    if ((flags & 16) != 0 && fields.protocol == 1 && payload.size() >= 8) {
        // A well-formed echo request: type 8 and a right checksum over the whole message.
        payload[0] = 8;
        payload[2] = 0;
        payload[3] = 0;
        Put16(payload.data() + 2, tarnet::fuzz::Checksum(payload));
    }
    if ((flags & 32) != 0) {
        tarnet::fuzz::InjectUdp(in.U16(), (flags & 64) != 0 ? kEchoPort : in.U16(), payload,
                                (flags & 128) != 0);
        return;
    }
    tarnet::fuzz::InjectIpv4(fields, payload);
}

// An IPv4 datagram whose header length (IHL) and total length come from the input, with option
// bytes after the fixed header and a header checksum that holds over IHL x 4 bytes (as far as
// the frame has them), so option stripping and the length checks behind the checksum run.
void Ipv4WithOptions(Input& in) {
    const std::uint8_t flags = in.U8();
    const std::uint32_t ihl  = in.U8() & 0x0Fu;
    const auto options       = in.Bytes(ihl > 5 ? (ihl - 5) * 4 : 0);
    const auto payload       = in.Bytes(in.U16() % 4200);
    std::vector<std::uint8_t> frame(14 + 20);
    frame.insert(frame.end(), options.begin(), options.end());
    frame.insert(frame.end(), payload.begin(), payload.end());
    std::memcpy(frame.data(), (flags & 1) != 0 ? kBroadcast : tarnet::fuzz::kOurMac, 6);
    std::memcpy(frame.data() + 6, tarnet::fuzz::kPeerMac, 6);
    Put16(frame.data() + 12, 0x0800);
    std::uint8_t* ip = frame.data() + 14;
    ip[0]            = static_cast<std::uint8_t>(0x40 | ihl);
    Put16(ip + 2, (flags & 2) != 0 ? in.U16() : static_cast<std::uint32_t>(frame.size() - 14));
    Put16(ip + 4, in.U8());
    Put16(ip + 6, (flags & 4) != 0 ? in.U16() : 0);
    ip[8] = 64;
    ip[9] = (flags & 8) != 0 ? 1 : 17;
    for (int i = 0; i < 4; ++i) {
        ip[12 + i] = static_cast<std::uint8_t>(tarnet::fuzz::kPeerIp >> (24 - 8 * i));
        ip[16 + i] = static_cast<std::uint8_t>(tarnet::fuzz::kOurIp >> (24 - 8 * i));
    }
    const std::size_t covered = std::min<std::size_t>(ihl * 4, frame.size() - 14);
    Put16(ip + 10, tarnet::fuzz::Checksum({ip, covered}));
    tarnet::fuzz::InjectFrame(frame);
}

void ArpPacket(Input& in) {
    const std::uint8_t flags = in.U8();
    std::uint8_t frame[42]{};
    std::memcpy(frame, (flags & 1) != 0 ? tarnet::fuzz::kOurMac : kBroadcast, 6);
    std::memcpy(frame + 6, tarnet::fuzz::kPeerMac, 6);
    Put16(frame + 12, 0x0806);
    const auto body = in.Bytes(28);
    std::memcpy(frame + 14, body.data(), body.size());
    if ((flags & 2) != 0) {
        // Ethernet/IPv4 fields right, so the packet is parsed.
        Put16(frame + 14, 1);
        Put16(frame + 16, 0x0800);
        frame[18] = 6;
        frame[19] = 4;
    }
    if ((flags & 4) != 0) {
        // Target: our address.
        frame[38] = 192;
        frame[39] = 0;
        frame[40] = 2;
        frame[41] = 10;
    }
    const std::size_t length = (flags & 8) != 0 ? 14 + in.U8() % 29 : sizeof frame;
    tarnet::fuzz::InjectFrame({frame, length});
}

// Answers the last frame the stack sent, as the peer would, then perhaps mutates the answer.
void Answer(Input& in) {
    const tarnet::fuzz::SentFrame* sent = tarnet::fuzz::LastSent(in.U8() % 4);
    if (sent == nullptr || sent->length < 42 || sent->length > tarnet::fuzz::kKeptBytes) {
        return;
    }
    std::vector<std::uint8_t> frame(sent->bytes, sent->bytes + sent->length);
    std::memcpy(frame.data(), tarnet::fuzz::kOurMac, 6);
    std::memcpy(frame.data() + 6, tarnet::fuzz::kPeerMac, 6);
    const std::uint16_t type = static_cast<std::uint16_t>((frame[12] << 8) | frame[13]);
    if (type == 0x0806) {
        // ARP request -> reply from the address asked for.
        std::uint8_t* arp = frame.data() + 14;
        std::uint8_t asked[4];
        std::memcpy(asked, arp + 24, 4);
        Put16(arp + 6, 2);
        std::memcpy(arp + 18, arp + 8, 10);  // target := the requester
        std::memcpy(arp + 8, tarnet::fuzz::kPeerMac, 6);
        std::memcpy(arp + 14, asked, 4);
    } else if (type == 0x0800 && frame.size() >= 34 + 8) {
        std::uint8_t* ip = frame.data() + 14;
        std::uint8_t address[4];
        std::memcpy(address, ip + 12, 4);  // swap source and destination
        std::memcpy(ip + 12, ip + 16, 4);
        std::memcpy(ip + 16, address, 4);
        if (ip[9] == 1 && ip[20] == 8) {
            ip[20] = 0;  // echo request -> echo reply
            ip[22] = 0;
            ip[23] = 0;
            Put16(ip + 22, tarnet::fuzz::Checksum({ip + 20, frame.size() - 34}));
        }
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
