// tcp_cost: one TCP transfer between the stack and a scripted peer in the same process, on a
// virtual clock, with no network: the frames the stack sends are captured, and the peer's frames
// go straight into TnSockEthernetInput. Used by bench/tcp_instructions, which runs it under
// callgrind and counts only what the stack executes (everything below TnSockEthernetInput and
// TnSockTcpSend, less the fake host's callbacks, tarnet_fakehost_*, and the application's,
// tarnet_bench_*).
//
//   tcp_cost receive|send [MIB]      (default 8 MiB)
//
// receive: the peer opens a connection to a listening endpoint and sends MIB MiB in 1356-byte
// segments, each after the stack's acknowledgment of the one before (the stack advertises 4 KiB).
// send: the application connects and writes MIB MiB as fast as the send ring takes it; the peer
// advertises 64 KiB and acknowledges every second segment, as a kernel receiver does.
// Prints the bytes moved, the segments each way and the wall-clock rate of the native run.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fake_host.h"
#include "frames.h"
#include "tarnet/tnsock.h"

using namespace tarnet::test;

namespace {

constexpr Mac kStackMac{0x02, 0x54, 0x4E, 0x00, 0x00, 0x01};
constexpr Mac kPeerMac{0x02, 0x50, 0x45, 0x45, 0x52, 0x01};
constexpr std::uint32_t kStackIp    = Ip(192, 0, 2, 2);
constexpr std::uint32_t kPeerIp     = Ip(192, 0, 2, 1);
constexpr std::uint16_t kStackPort  = 5000;
constexpr std::uint16_t kPeerPort   = 40000;
constexpr std::size_t kSegment      = 1356;
constexpr std::uint16_t kPeerWindow = 65535;
constexpr std::uint32_t kChunk      = 4096;

std::vector<Bytes> gSent;
std::uint64_t gDelivered  = 0;
bool gConnected           = false;
bool gClosed              = false;
TnSockEndpoint* gAccepted = nullptr;

}  // namespace

// The application. Its name starts with tarnet_bench_ so that the instruction count can leave it
// out, as it leaves out the fake host's tarnet_fakehost_* callbacks.
extern "C" {

std::uintptr_t tarnet_bench_app_event(std::uintptr_t context, int event, void* data,
                                      std::uint32_t a, std::uint32_t, std::uint32_t) {
    switch (event) {
        case TNSOCK_EVENT_DATA:
            gDelivered += a;
            break;
        case TNSOCK_EVENT_CONNECTED:
            gConnected = true;
            break;
        case TNSOCK_EVENT_CLOSED:
            gClosed = true;
            break;
        case TNSOCK_EVENT_INCOMING:
            gAccepted = static_cast<TnSockEndpoint*>(data);
            return context;
        default:
            break;
    }
    return 0;
}

}  // extern "C"

namespace {

void CaptureFrame(void*, const std::uint8_t* frame, std::uint32_t length) {
    gSent.emplace_back(frame, frame + length);
}

[[noreturn]] void Die(const char* what) {
    std::fprintf(stderr, "tcp_cost: %s\n", what);
    std::exit(1);
}

void Inject(const Bytes& frame) {
    Bytes copy = frame;  // the stack may rewrite the frame in place
    TnSockEthernetInput(copy.data(), static_cast<std::uint32_t>(copy.size()));
    TnSockEndOfInput();
}

void InjectTcp(const TcpSegment& segment) {
    Ipv4Packet ip;
    ip.src      = kPeerIp;
    ip.dst      = kStackIp;
    ip.protocol = 6;
    ip.payload  = segment.Build(kPeerIp, kStackIp);
    // The layers are built one by one and kept until the stack is done with the frame: the
    // stack's receive buffers come from the same heap, and what malloc spends on them depends
    // on what else the process holds, which the instruction count should not see change.
    EthFrame eth;
    eth.dst     = kStackMac;
    eth.src     = kPeerMac;
    eth.type    = 0x0800;
    eth.payload = ip.Build();
    Inject(eth.Build());
}

// The TCP segments the stack has sent since the last call.
std::vector<TcpSegment> TakeSegments() {
    std::vector<TcpSegment> out;
    for (const Bytes& frame : gSent) {
        const auto eth = EthFrame::Parse(frame);
        if (!eth || eth->type != 0x0800) {
            continue;
        }
        const auto ip = Ipv4Packet::Parse(eth->payload);
        if (!ip || ip->protocol != 6) {
            continue;
        }
        if (auto tcp = TcpSegment::Parse(ip->payload, ip->src, ip->dst)) {
            out.push_back(std::move(*tcp));
        }
    }
    gSent.clear();
    return out;
}

void Start() {
    tarnet::fakehost::FakeHost& host = tarnet::fakehost::FakeHost::Get();
    host.Reset(1'000'000);
    host.SetFrameSink(CaptureFrame, nullptr);
    host.UseConstantRandom(4);
    TnSockConfig c = tarnet::fakehost::FakeHost::Config();
    c.macAddress   = kStackMac.data();
    c.useDhcp      = 0;
    c.localIp      = "192.0.2.2";
    c.gateway      = "0.0.0.0";
    c.subnetMask   = "255.255.255.0";
    c.dnsServer    = "0.0.0.0";
    c.statusEvent  = tarnet_bench_app_event;
    c.pingEvent    = nullptr;
    c.isnSeed      = 0x12345678;
    if (TnSockInit(&c) != TNSOCK_SUCCESS) {
        Die("TnSockInit failed");
    }
    // An ARP request from the peer teaches the stack the peer's MAC address.
    Inject(ArpFrame(kBroadcast, kPeerMac, ArpPacket{1, kPeerMac, kPeerIp, Mac{}, kStackIp}));
    gSent.clear();
}

TcpSegment PeerSegment(std::uint32_t seq, std::uint32_t ack, std::uint8_t flags) {
    TcpSegment s;
    s.srcPort = kPeerPort;
    s.dstPort = kStackPort;
    s.seq     = seq;
    s.ack     = ack;
    s.flags   = flags;
    s.window  = kPeerWindow;
    return s;
}

struct Counts {
    std::uint64_t bytes       = 0;
    std::uint64_t segmentsIn  = 0;  // frames the peer handed to the stack
    std::uint64_t segmentsOut = 0;  // segments the stack sent
};

Counts Receive(std::uint64_t total) {
    Counts n;
    TnSockEndpoint* listener = nullptr;
    if (TnSockTcpListen(kStackPort, 1, tarnet_bench_app_event, &listener) != TNSOCK_SUCCESS) {
        Die("listen failed");
    }
    std::uint32_t seq = 0x70000000;
    TcpSegment syn    = PeerSegment(seq, 0, tcpflag::kSyn);
    syn.options       = {0x02, 0x04, 0x05, 0xB4};
    InjectTcp(syn);
    auto out = TakeSegments();
    if (out.size() != 1 || out[0].flags != (tcpflag::kSyn | tcpflag::kAck)) {
        Die("no SYN+ACK");
    }
    std::uint32_t ack = out[0].seq + 1;
    ++seq;
    InjectTcp(PeerSegment(seq, ack, tcpflag::kAck));
    const Bytes data = Pattern(kSegment, 9);
    while (n.bytes < total) {
        TcpSegment s = PeerSegment(seq, ack, tcpflag::kAck);
        s.payload    = data;
        InjectTcp(s);
        ++n.segmentsIn;
        seq += kSegment;
        n.bytes += kSegment;
        out = TakeSegments();
        n.segmentsOut += out.size();
        if (out.empty() || out.back().ack != seq) {
            Die("the stack did not acknowledge a segment");
        }
    }
    if (gDelivered != n.bytes) {
        Die("not every byte was delivered");
    }
    return n;
}

Counts Send(std::uint64_t total) {
    Counts n;
    TnSockEndpoint* endpoint = nullptr;
    if (TnSockTcpConnect(2, tarnet_bench_app_event, "192.0.2.1", kPeerPort, &endpoint) !=
        TNSOCK_SUCCESS) {
        Die("connect failed");
    }
    auto out = TakeSegments();
    if (out.size() != 1 || out[0].flags != tcpflag::kSyn) {
        Die("no SYN");
    }
    const std::uint16_t stackPort = out[0].srcPort;
    std::uint32_t peerSeq         = 0x50000000;
    std::uint32_t expected        = out[0].seq + 1;  // the next byte the peer expects
    TcpSegment synAck             = PeerSegment(peerSeq, expected, tcpflag::kSyn | tcpflag::kAck);
    synAck.dstPort                = stackPort;
    synAck.options                = {0x02, 0x04, 0x05, 0xB4};
    InjectTcp(synAck);
    ++peerSeq;
    TakeSegments();
    if (!gConnected) {
        Die("not connected");
    }
    const Bytes chunk     = Pattern(kChunk, 5);
    std::uint64_t written = 0;
    int unacked           = 0;
    while (n.bytes < total) {
        // The application writes until the ring is full.
        while (written < total) {
            std::uint32_t taken = 0;
            const auto length =
                static_cast<std::uint32_t>(std::min<std::uint64_t>(kChunk, total - written));
            if (TnSockTcpSend(endpoint, chunk.data(), length, &taken) != TNSOCK_SUCCESS) {
                break;
            }
            written += taken;
        }
        out = TakeSegments();
        if (out.empty()) {
            Die("the stack sent nothing");
        }
        for (std::size_t i = 0; i < out.size(); ++i) {
            const TcpSegment& s = out[i];
            ++n.segmentsOut;
            if (s.seq != expected) {
                Die("a segment out of order");
            }
            expected += static_cast<std::uint32_t>(s.payload.size());
            n.bytes += s.payload.size();
            // Every second segment, and the last of a burst, is acknowledged.
            if (++unacked == 2 || i + 1 == out.size()) {
                unacked        = 0;
                TcpSegment ack = PeerSegment(peerSeq, expected, tcpflag::kAck);
                ack.dstPort    = stackPort;
                InjectTcp(ack);
                ++n.segmentsIn;
            }
        }
    }
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode  = argc > 1 ? argv[1] : "";
    const std::uint64_t mib = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 8;
    if ((mode != "receive" && mode != "send") || mib == 0 || mib > 4096) {
        std::fprintf(stderr, "usage: tcp_cost receive|send [MIB]\n");
        return 2;
    }
    Start();
    const auto begin = std::chrono::steady_clock::now();
    const Counts n   = mode == "receive" ? Receive(mib << 20) : Send(mib << 20);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::printf(
        "%s: %llu bytes, %llu segments in, %llu segments out, %.3f s (%.1f MB/s, peer "
        "included)\n",
        mode.c_str(), static_cast<unsigned long long>(n.bytes),
        static_cast<unsigned long long>(n.segmentsIn),
        static_cast<unsigned long long>(n.segmentsOut), seconds,
        static_cast<double>(n.bytes) / seconds / 1e6);
    TnSockDeinit();
    return 0;
}
