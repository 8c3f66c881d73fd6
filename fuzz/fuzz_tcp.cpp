// Arbitrary TCP segments into a connection that the stack was first brought into a chosen state.
//
// The first input byte picks the state (SYN_SENT, ESTABLISHED from either side, the closing
// states, ACCEPT_PENDING, SYN_RECEIVED, a bare listener, or a zero window with data waiting);
// the next bytes choose our ISS seed and the peer's ISS, so sequence numbers land anywhere,
// across the wrap included. The rest is a list of operations: a segment from the peer whose
// sequence and acknowledgment numbers are chosen relative to the connection (or raw), raw
// segment bytes with a right checksum, bytes with a wrong one, steps of the virtual clock, and
// the user's calls (send, close, a second connection). The application echoes, closes from
// inside its events or refuses connections as the input says, so re-entrant calls run too.
// After every operation the pool and each connection's queues are checked for consistency.
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "fuzz_support.h"
#include "socket.h"
#include "tcp.h"
#include "tcp_internal.h"

namespace {

namespace test = tarnet::test;
using tarnet::fuzz::Input;

constexpr std::uint16_t kPeerPort   = 4000;
constexpr std::uint16_t kListenPort = 5000;
constexpr int kMaxOperations        = 64;
constexpr std::size_t kMaxPayload   = 1600;

enum class Start : std::uint8_t {
    kSynSent,
    kEstablished,
    kFinWait1,
    kFinWait2,
    kClosing,
    kTimeWait,
    kLastAck,
    kAcceptPending,
    kSynReceived,
    kPassiveEstablished,
    kListening,
    kZeroWindow,
    kCount,
};

struct Session {
    TnSockEndpoint* endpoint = nullptr;  // the connection's endpoint (active or accepted)
    TcpControlBlock* pending = nullptr;  // block of a raw listener's request (ACCEPT_PENDING)
    std::uint16_t ourPort    = kListenPort;
    std::uint32_t ourIss     = 0;
    std::uint32_t ourNxt     = 0;  // end of the last segment we sent
    std::uint32_t peerSeq    = 0;  // next sequence number of the peer
    bool echo                = false;
    bool closeOnData         = false;
    bool refuse              = false;
    bool paused              = false;  // receiving paused on the endpoint
};

Session g;

std::uintptr_t App(std::uintptr_t, int event, void* data, std::uint32_t a, std::uint32_t,
                   std::uint32_t) {
    switch (event) {
        case TNSOCK_EVENT_INCOMING:
            if (g.refuse) {
                return 0;
            }
            g.endpoint = static_cast<TnSockEndpoint*>(data);
            return 1;
        case TNSOCK_EVENT_DATA:
            if (g.echo && g.endpoint != nullptr) {
                std::uint32_t taken = 0;
                TnSockTcpSend(g.endpoint, static_cast<const std::uint8_t*>(data), a, &taken);
            }
            if (g.closeOnData && g.endpoint != nullptr) {
                TnSockClose(g.endpoint);
                g.endpoint = nullptr;
            }
            return 0;
        case TNSOCK_EVENT_CLOSED:
            g.endpoint = nullptr;  // the layer releases it after this event
            return 0;
        default:
            return 0;
    }
}

// A raw TCP user: keeps the request waiting in ACCEPT_PENDING.
void RawNotify(std::uintptr_t, int event, void* item, std::uint32_t, std::uint32_t) {
    if (event == TNTCP_NOTIFY_CONNECT_REQUEST) {
        g.pending = static_cast<TcpControlBlock*>(item);
    } else if (event == TNTCP_NOTIFY_DATA) {
        std::free(item);
    }
}

// Follows the sequence numbers of what we send, from the last frame the stack sent.
void TrackOurOutput() {
    const auto sent = tarnet::fuzz::DecodeSent();
    if (!sent || !sent->tcp) {
        return;
    }
    const test::TcpSegment& s = *sent->tcp;
    g.ourNxt =
        s.seq + static_cast<std::uint32_t>(s.payload.size()) + ((s.flags & 0x03) != 0 ? 1 : 0);
    if (s.Has(test::tcpflag::kSyn)) {
        g.ourIss = s.seq;
    }
}

void PeerSegment(std::uint32_t seq, std::uint32_t ack, std::uint8_t flags, std::uint16_t window,
                 std::span<const std::uint8_t> options, std::span<const std::uint8_t> payload,
                 int dataOffsetWords = -1) {
    test::TcpSegment s;
    s.srcPort = kPeerPort;
    s.dstPort = g.ourPort;
    s.seq     = seq;
    s.ack     = ack;
    s.flags   = flags;
    s.window  = window;
    s.options.assign(options.begin(), options.begin() + std::min<std::size_t>(options.size(), 40));
    s.payload.assign(payload.begin(), payload.end());
    if (dataOffsetWords >= 0) {
        s.dataOffsetWords = static_cast<std::uint8_t>(dataOffsetWords);
    }
    tarnet::fuzz::InjectTcp(s);
    TrackOurOutput();
}

void PeerAck(std::uint8_t flags, std::uint16_t window) {
    PeerSegment(g.peerSeq, g.ourNxt, flags, window, {}, {});
    if ((flags & 0x03) != 0) {
        g.peerSeq += 1;
    }
}

void ActiveOpen(std::uint32_t peerIss, std::uint16_t window) {
    TnSockTcpConnect(1, App, "192.0.2.1", kPeerPort, &g.endpoint);
    TrackOurOutput();
    if (g.endpoint == nullptr) {
        return;
    }
    g.ourPort                             = g.endpoint->localPort;
    g.peerSeq                             = peerIss;
    static constexpr std::uint8_t kMss[4] = {2, 4, 0x02, 0x18};
    PeerSegment(g.peerSeq, g.ourIss + 1, 0x12, window, kMss, {});
    g.peerSeq += 1;
}

// Closes the connection through TCP while the endpoint stays, so data in the closing states
// still reaches the application.
void UserCloses() {
    if (g.endpoint != nullptr && tarnet::SockIsEndpoint(g.endpoint) &&
        g.endpoint->connection != nullptr) {
        TnTcpClose(g.endpoint->connection);
        TrackOurOutput();
    }
}

void PassiveOpen(std::uint32_t peerIss, bool complete) {
    TnSockEndpoint* listener = nullptr;
    TnSockTcpListen(kListenPort, 2, App, &listener);
    g.peerSeq = peerIss;
    PeerSegment(g.peerSeq, 0, 0x02, 8192, {}, {});
    g.peerSeq += 1;
    if (complete) {
        PeerAck(0x10, 8192);
    }
}

void Setup(Start start, std::uint32_t peerIss) {
    switch (start) {
        case Start::kSynSent:
            TnSockTcpConnect(1, App, "192.0.2.1", kPeerPort, &g.endpoint);
            TrackOurOutput();
            g.ourPort = g.endpoint != nullptr ? g.endpoint->localPort : 0;
            g.peerSeq = peerIss;
            break;
        case Start::kEstablished:
            ActiveOpen(peerIss, 8192);
            break;
        case Start::kFinWait1:
        case Start::kFinWait2:
        case Start::kClosing:
        case Start::kTimeWait:
            ActiveOpen(peerIss, 8192);
            UserCloses();
            if (start == Start::kFinWait2 || start == Start::kTimeWait) {
                PeerAck(0x10, 8192);
            }
            if (start == Start::kClosing || start == Start::kTimeWait) {
                PeerSegment(g.peerSeq, g.ourIss + 1, 0x11, 8192, {}, {});
                g.peerSeq += 1;
            }
            break;
        case Start::kLastAck:
            ActiveOpen(peerIss, 8192);
            PeerAck(0x11, 8192);
            break;
        case Start::kAcceptPending: {
            TnListNode* listener = nullptr;
            TnTcpListen(3, kListenPort, 0, RawNotify, &listener);
            g.peerSeq = peerIss;
            PeerSegment(g.peerSeq, 0, 0x02, 8192, {}, {});
            g.peerSeq += 1;
            break;
        }
        case Start::kSynReceived:
            PassiveOpen(peerIss, false);
            break;
        case Start::kPassiveEstablished:
            PassiveOpen(peerIss, true);
            break;
        case Start::kListening: {
            TnSockEndpoint* listener = nullptr;
            TnSockTcpListen(kListenPort, 2, App, &listener);
            g.peerSeq = peerIss;
            break;
        }
        case Start::kZeroWindow: {
            ActiveOpen(peerIss, 0);
            static const std::uint8_t kData[300] = {};
            std::uint32_t taken                  = 0;
            TnSockTcpSend(g.endpoint, kData, sizeof kData, &taken);
            break;
        }
        case Start::kCount:
            break;
    }
}

std::uint32_t PickSeq(Input& in) {
    switch (in.U8() & 3) {
        case 0:
            return g.peerSeq + static_cast<std::uint32_t>(static_cast<std::int8_t>(in.U8()));
        case 1:
            return g.peerSeq + in.U16();
        case 2:
            return in.U32();
        default:
            return g.peerSeq - 1;
    }
}

std::uint32_t PickAck(Input& in) {
    switch (in.U8() & 3) {
        case 0:
            return g.ourNxt + static_cast<std::uint32_t>(static_cast<std::int8_t>(in.U8()));
        case 1:
            return g.ourNxt;
        case 2:
            return in.U32();
        default:
            return g.ourIss;
    }
}

void FuzzSegment(Input& in) {
    const std::uint8_t control = in.U8();
    const std::uint32_t seq    = PickSeq(in);
    const std::uint32_t ack    = PickAck(in);
    const std::uint8_t flags   = in.U8();
    const std::uint16_t window = in.U16();
    const auto options         = in.Bytes(in.U8() % 41);
    const auto payload         = in.Bytes(in.U16() % kMaxPayload);
    const int offset           = (control & 1) != 0 ? in.U8() & 0x0F : -1;
    PeerSegment(seq, ack, flags, window, options, payload, offset);
    // A segment that continued the stream moves the peer on, so later ones can follow it.
    if (seq == g.peerSeq && (control & 2) != 0) {
        g.peerSeq += static_cast<std::uint32_t>(payload.size()) + ((flags & 0x03) != 0 ? 1 : 0);
    }
}

void UserSend(Input& in) {
    const auto bytes    = in.Bytes(in.U16() % 5000);
    std::uint32_t taken = 0;
    if (g.endpoint != nullptr && !bytes.empty()) {
        TnSockTcpSend(g.endpoint, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &taken);
        TrackOurOutput();
    }
}

void Operation(Input& in) {
    switch (in.U8() % 10) {
        case 0:
        case 1:
        case 2:
            FuzzSegment(in);
            break;
        case 3:
            PeerAck(in.U8() & 0x3F, in.U16());
            break;
        case 4:  // raw segment bytes, checksum made right
            tarnet::fuzz::InjectRawTcp(in.Bytes(in.U16() % kMaxPayload));
            TrackOurOutput();
            break;
        case 5: {  // raw bytes behind a valid IPv4 header: the TCP checksum is whatever it is
            const auto bytes = in.Bytes(in.U16() % kMaxPayload);
            tarnet::fuzz::InjectIpv4(test::MakeIpv4(6, test::Bytes(bytes.begin(), bytes.end())));
            break;
        }
        case 6:
            tarnet::fuzz::Advance(in.U16());
            TrackOurOutput();
            break;
        case 7:
            UserSend(in);
            break;
        case 8: {
            const std::uint8_t what = in.U8();
            g.echo                  = (what & 1) != 0;
            g.closeOnData           = (what & 2) != 0;
            g.refuse                = (what & 4) != 0;
            if ((what & 8) != 0) {
                UserCloses();
            }
            if ((what & 16) != 0 && g.endpoint != nullptr) {
                TnSockClose(g.endpoint);
                g.endpoint = nullptr;
            }
            if ((what & 32) != 0 && g.pending != nullptr) {
                (what & 64) != 0 ? TnTcpAccept(g.pending, 0) : TnTcpClose(g.pending);
                g.pending = nullptr;
            }
            if ((what & 128) != 0 && g.endpoint != nullptr) {
                g.paused = !g.paused;  // resuming may deliver, and so echo or close, right here
                TnSockTcpPauseReceive(g.endpoint, g.paused ? 1 : 0);
                TrackOurOutput();
            }
            break;
        }
        default: {  // another connection takes a block (and maybe the one just released)
            TnSockEndpoint* other = nullptr;
            TnSockTcpConnect(5, App, "192.0.2.1", static_cast<std::uint16_t>(kPeerPort + 1),
                             &other);
            break;
        }
    }
}

// Every block is in exactly one of the two lists, and every queue within its bounds.
void CheckInvariants() {
    const TcpLayer& tcp = tarnet::TcpState();
    int blocks          = 0;
    for (const TnList* list : {&tcp.freeList, &tcp.activeList}) {
        for (const TnListNode* n = list->first; n != nullptr; n = n->next) {
            const auto* b = static_cast<const TcpControlBlock*>(n->payload);
            if (b->rtxCount < 0 || b->rtxCount > b->rtxCapacity || b->sendRing.count < 0 ||
                b->sendRing.count > b->sendRing.capacity || b->poolNode != n ||
                (list == &tcp.freeList && b->state != tarnet::TcpStateClosed) ||
                b->rcvHeld > b->reorder.capacity ||
                (list == &tcp.activeList && b->state != tarnet::TcpStateClosed &&
                 b->rcvHeld + b->rcvWnd != b->reorder.capacity)) {
                __builtin_trap();
            }
            ++blocks;
        }
    }
    if (blocks != tcp.config.maxConnections) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const auto start = static_cast<Start>(in.U8() % static_cast<int>(Start::kCount));
    tarnet::fuzz::StackOptions options;
    options.isnSeed             = in.U32();
    const std::uint32_t peerIss = in.U32();
    tarnet::fuzz::StartStack(options);
    g = Session{};
    tarnet::fuzz::Introduce();
    Setup(start, peerIss);
    CheckInvariants();
    for (int op = 0; op < kMaxOperations && !in.Empty(); ++op) {
        Operation(in);
        CheckInvariants();
    }
    tarnet::fuzz::Advance(20000);  // let every timer of the connection run out
    CheckInvariants();
    tarnet::fuzz::StopStack();
    return 0;
}
