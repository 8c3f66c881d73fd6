// IPv4 output (fragmentation, next hop, ARP wait), input (validation, reassembly, dispatch),
// ICMP echo answering and the echo client.
#include "ipv4.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>

#include "arp.h"
#include "byte_view.h"
#include "checksum.h"
#include "counters.h"
#include "diag.h"
#include "ethernet.h"
#include "tarnet/byteorder.h"
#include "tcp.h"
#include "udp.h"

namespace tarnet {

namespace {

// ---- Wire layout -------------------------------------------------------------------------------

namespace field {
constexpr std::uint32_t kVersionIhl  = 0;
constexpr std::uint32_t kTos         = 1;
constexpr std::uint32_t kTotalLength = 2;
constexpr std::uint32_t kId          = 4;
constexpr std::uint32_t kFlagsOffset = 6;
constexpr std::uint32_t kTtl         = 8;
constexpr std::uint32_t kProtocol    = 9;
constexpr std::uint32_t kChecksum    = 10;
constexpr std::uint32_t kSrc         = 12;
constexpr std::uint32_t kDst         = 16;
}  // namespace field

// ICMP message offsets (echo request and reply).
namespace icmpfield {
constexpr std::uint32_t kType       = 0;
constexpr std::uint32_t kCode       = 1;
constexpr std::uint32_t kChecksum   = 2;
constexpr std::uint32_t kIdentifier = 4;
constexpr std::uint32_t kSequence   = 6;
}  // namespace icmpfield

constexpr std::uint8_t kVersionIhl5     = 0x45;  // version 4, no options
constexpr std::uint8_t kTtl             = 0xFE;
constexpr std::uint16_t kMoreFragments  = 0x2000;
constexpr std::uint16_t kOffsetMask     = 0x1FFF;
constexpr std::uint32_t kLimitedBcast   = 0xFFFFFFFF;
constexpr std::uint16_t kDhcpClientPort = 68;
constexpr std::uint32_t kUdpDstPort     = 2;  // offset of the destination port in UDP
constexpr std::uint8_t kIcmpEchoReply   = 0;
constexpr std::uint8_t kIcmpEchoRequest = 8;
constexpr std::uint32_t kIcmpHeaderLen  = 8;

// ---- Output: frame buffer pool -----------------------------------------------------------------

struct FrameBuffer {
    std::uint32_t source;  // our address when the datagram was handed to IPv4
    std::uint32_t destination;
    std::uint8_t protocol;
    std::uint32_t length;  // fragment data length
    bool moreFragments;
    std::uint32_t byteOffset;
    FrameBuffer* next;
    std::uint8_t data[kMaxFrameLen];  // fragment data starts at kFrameHeadroom
};

struct Queue {
    FrameBuffer* head;
    FrameBuffer* tail;
};

void QueuePush(Queue& q, FrameBuffer* b) {
    b->next                                     = nullptr;
    (q.tail != nullptr ? q.tail->next : q.head) = b;
    q.tail                                      = b;
}

// A buffer given back goes to the front of the free queue, so the next datagram is built in the
// buffer the last one left, whose lines are still in the caches; taking them in turn would walk
// the whole pool (tens of KiB, more than a first-level cache) one frame after another.
void QueueReturn(Queue& q, FrameBuffer* b) {
    b->next = q.head;
    q.head  = b;
    if (q.tail == nullptr) {
        q.tail = b;
    }
}

FrameBuffer* QueuePop(Queue& q) {
    FrameBuffer* b = q.head;
    if (b != nullptr) {
        q.head = b->next;
        if (q.head == nullptr) {
            q.tail = nullptr;
        }
    }
    return b;
}

// ---- Input: the checked header ----------------------------------------------------------------

// The fields of one received datagram's header, read once its version, lengths and header
// checksum were checked. The payload (at least one byte) fits the frame and the reassembly area.
struct Ipv4Header {
    std::uint32_t headerLength;  // options included
    std::uint32_t payloadLength;
    std::uint8_t protocol;
    std::uint16_t id;
    bool moreFragments;
    std::uint32_t byteOffset;
    std::uint32_t src;
    std::uint32_t dst;

    bool IsFragment() const { return moreFragments || byteOffset != 0; }

    // `ip` holds the datagram and whatever the link added behind it (padding).
    static std::optional<Ipv4Header> Check(ByteView ip) {
        if (ip.Length() <= kIpv4HeaderLen || (ip.Read8(field::kVersionIhl) >> 4) != 4) {
            ++g_counters.dropMalformed;
            return std::nullopt;
        }
        const std::uint32_t headerLength = (ip.Read8(field::kVersionIhl) & 0x0Fu) * 4;
        const std::uint32_t total        = ip.Read16(field::kTotalLength);
        if (headerLength < kIpv4HeaderLen || total <= headerLength || ip.Length() < total ||
            total - headerLength > kReassemblyMax) {
            ++g_counters.dropMalformed;
            return std::nullopt;
        }
        if (ip.Read16(field::kChecksum) != HeaderChecksum(ip.Sub(0, headerLength))) {
            ++g_counters.dropChecksum;
            return std::nullopt;
        }
        const std::uint16_t flagsOffset = ip.Read16(field::kFlagsOffset);
        Ipv4Header h{};
        h.headerLength  = headerLength;
        h.payloadLength = total - headerLength;
        h.protocol      = ip.Read8(field::kProtocol);
        h.id            = ip.Read16(field::kId);
        h.moreFragments = (flagsOffset & kMoreFragments) != 0;
        h.byteOffset    = static_cast<std::uint32_t>(flagsOffset & kOffsetMask) * 8;
        h.src           = ip.Read32(field::kSrc);
        h.dst           = ip.Read32(field::kDst);
        return h;
    }

  private:
    // The checksum the header should carry: the one computed with the field taken as zero, so
    // the sum skips the field's two bytes (the part before them holds the nonzero version, so
    // the split sum folds to the same value as the whole).
    static std::uint16_t HeaderChecksum(ByteView header) {
        constexpr std::uint32_t after = field::kChecksum + 2;
        const std::size_t rest        = header.Length() - after;
        const std::uint16_t before =
            OnesComplementSum(header.Bytes(0, field::kChecksum), field::kChecksum);
        return static_cast<std::uint16_t>(
            ~OnesComplementSum(header.Bytes(after, rest), rest, before));
    }
};

// ---- Input: reassembly (RFC 815 hole descriptors) ----------------------------------------------

// A handful of datagrams in reassembly at once is plenty for a host; a flood of first fragments
// recycles the oldest entry instead of exhausting memory.
constexpr int kReassemblyEntries = TARNET_REASSEMBLY_ENTRIES;
// Holes per datagram. Real fragmentation of a 4096-byte datagram leaves at most a few; even
// 48-byte fragments (a 68-byte MTU) in random order rarely need more than this. A datagram cut
// into more pieces in a pathological order is dropped.
constexpr int kMaxHoles = 64;

struct Hole {
    std::uint32_t first;
    std::uint32_t last;
};

struct Reassembly {
    bool inUse;
    std::uint64_t age;  // creation order; the smallest is the oldest
    std::uint8_t protocol;
    std::uint16_t id;
    std::uint32_t src;
    std::uint32_t dst;
    std::uint32_t payloadLength;  // known once the last fragment has arrived
    bool lastSeen;
    TnTimerHandle timer;
    Hole holes[kMaxHoles];  // ordered by position, disjoint
    int holeCount;
    std::uint8_t data[kReassemblyMax];
};

// ---- Echo client -------------------------------------------------------------------------------

constexpr std::uint32_t kPingGapMs      = 50;
constexpr std::uint32_t kPingMaxPayload = kMaxDatagram - kIpv4HeaderLen - kIcmpHeaderLen;

struct Ping {
    std::uint32_t series;  // counts starts, so code running across an event can tell whether
                           // the handler ended this series and started another
    bool running;
    bool awaitingReply;
    std::uint32_t target;
    std::uint32_t timeoutMs;
    std::uint32_t count;
    std::uint32_t payloadSize;
    std::uint32_t intervalMs;  // 0: kPingGapMs after each reply or timeout
    std::uint32_t sentTick;    // when the request being answered was sent
    std::uint16_t identifier;
    std::uint16_t sequence;
    std::uint32_t sent;
    std::uint32_t received;
    TnTimerHandle timeoutTimer;
    TnTimerHandle gapTimer;
};

// ---- Layer state -------------------------------------------------------------------------------

struct Ipv4State {
    bool initialised;
    Ipv4Config config;
    std::uint8_t mac[6];
    std::uint16_t identification;
    TnTimerHandle arpWaitTimer;
    std::uint32_t waitingHop;  // next hop the ready queue waits for
    Queue freeQueue;
    Queue readyQueue;
    std::uint64_t reassemblyAge;
    Ping ping;
};

Ipv4State g_ip;
FrameBuffer g_frames[kFrameBuffers];
Reassembly g_reassembly[kReassemblyEntries];
// ICMP message built by the echo client (header and payload).
std::uint8_t g_pingMessage[kIcmpHeaderLen + kPingMaxPayload];

void StopTimer(TnTimerHandle& handle) {
    if (handle != nullptr) {
        g_ip.config.timerStop(handle);
        handle = nullptr;
    }
}

// ---- Output ------------------------------------------------------------------------------------

void DropReadyQueue() {
    while (FrameBuffer* b = QueuePop(g_ip.readyQueue)) {
        QueueReturn(g_ip.freeQueue, b);
    }
}

// Cuts the datagram into fragments of at most kFragmentPayload bytes on the ready queue.
void CutIntoFragments(std::uint32_t destination, std::uint8_t protocol, const std::uint8_t* data,
                      std::uint32_t length) {
    std::uint32_t offset = 0;
    while (offset < length) {
        FrameBuffer* b = QueuePop(g_ip.freeQueue);
        if (b == nullptr) {
            return;  // cannot happen: the pool covers the largest datagram (ipv4.h)
        }
        const std::uint32_t n = std::min(length - offset, kFragmentPayload);
        std::memcpy(b->data + kFrameHeadroom, data + offset, n);
        b->source        = g_ip.config.ownAddress;
        b->destination   = destination;
        b->protocol      = protocol;
        b->length        = n;
        b->byteOffset    = offset;
        b->moreFragments = length - offset > kFragmentPayload;
        QueuePush(g_ip.readyQueue, b);
        offset += n;
    }
}

// The next hop: the destination itself on the local subnet, else the gateway. The limited
// broadcast address needs no next hop.
std::uint32_t NextHop(std::uint32_t destination) {
    const std::uint32_t mask = g_ip.config.subnetMask;
    if ((destination & mask) != (g_ip.config.ownAddress & mask)) {
        return g_ip.config.gateway;
    }
    return destination;
}

// Resolves the link address for `destination`; false when ARP has no answer yet.
bool ResolveLink(std::uint32_t destination, std::uint8_t* mac) {
    if (destination == kLimitedBcast) {
        std::memcpy(mac, kBroadcastMac, 6);
        return true;
    }
    return ArpResolve(NextHop(destination), mac) == 1;
}

void WriteHeader(FrameBuffer& b) {
    std::uint8_t* h       = b.data + kEthHeaderLen;
    h[field::kVersionIhl] = kVersionIhl5;
    h[field::kTos]        = 0;
    TnWrite16(h + field::kTotalLength, static_cast<std::uint16_t>(b.length + kIpv4HeaderLen));
    TnWrite16(h + field::kId, g_ip.identification);
    std::uint16_t flagsOffset = static_cast<std::uint16_t>(b.byteOffset / 8);
    if (b.moreFragments) {
        flagsOffset |= kMoreFragments;
    }
    TnWrite16(h + field::kFlagsOffset, flagsOffset);
    h[field::kTtl]      = kTtl;
    h[field::kProtocol] = b.protocol;
    TnWrite16(h + field::kChecksum, 0);
    TnWrite32(h + field::kSrc, b.source);
    TnWrite32(h + field::kDst, b.destination);
    TnWrite16(h + field::kChecksum, InetChecksum(h, kIpv4HeaderLen));
}

// The report of a datagram leaving, from its first fragment, which carries the transport
// header this stack wrote: the ports of UDP and TCP, the identifier and sequence number of an
// echo request.
TnSockDiagnostic SentReport(const FrameBuffer& first) {
    TnSockDiagnostic d    = DiagRecord(TNSOCK_DIAG_DATAGRAM_SENT);
    d.protocol            = first.protocol;
    d.localAddress        = first.source;
    d.remoteAddress       = first.destination;
    const std::uint8_t* t = first.data + kFrameHeadroom;
    if ((first.protocol == kProtoUdp || first.protocol == kProtoTcp) && first.length >= 4) {
        d.localPort  = TnRead16(t);
        d.remotePort = TnRead16(t + 2);
    } else if (first.protocol == kProtoIcmp && first.length >= kIcmpHeaderLen &&
               t[0] == kIcmpEchoRequest) {
        d.localPort  = TnRead16(t + 4);
        d.remotePort = TnRead16(t + 6);
    }
    return d;
}

// Sends every fragment on the ready queue as one datagram with a fresh identification.
void TransmitReady(const std::uint8_t* nextHopMac) {
    if (g_ip.readyQueue.head == nullptr) {
        return;
    }
    // The report is read off the first fragment before it goes, and only when someone listens:
    // this runs for every datagram sent.
    const bool report           = DiagWanted();
    const TnSockDiagnostic sent = report ? SentReport(*g_ip.readyQueue.head) : TnSockDiagnostic{};
    ++g_ip.identification;
    ++g_counters.ipOut;
    while (FrameBuffer* b = QueuePop(g_ip.readyQueue)) {
        EthernetWriteHeader(b->data, nextHopMac, g_ip.mac, kEtherTypeIpv4);
        WriteHeader(*b);
        g_ip.config.sendFrame(b->data, kFrameHeadroom + b->length);
        ++g_counters.framesOut;
        QueueReturn(g_ip.freeQueue, b);
    }
    if (report) {
        DiagEmit(sent);
    }
}

// One retry after an ARP request: the datagram goes out if the answer has arrived, otherwise
// it stays queued until the next output replaces it.
void ArpWaitExpired(std::uintptr_t context) {
    g_ip.arpWaitTimer = nullptr;
    if (!g_ip.initialised || g_ip.readyQueue.head == nullptr) {
        return;
    }
    std::uint8_t mac[6];
    if (ResolveLink(static_cast<std::uint32_t>(context), mac)) {
        TransmitReady(mac);
    }
}

// ---- Reassembly ------------------------------------------------------------------------------

void ReleaseEntry(Reassembly& r) {
    StopTimer(r.timer);
    r.inUse = false;
}

void ReassemblyExpired(std::uintptr_t context) {
    auto* r  = reinterpret_cast<Reassembly*>(context);
    r->timer = nullptr;
    r->inUse = false;  // the datagram is discarded
    ++g_counters.dropReassemblyTimeout;
}

Reassembly* FindEntry(std::uint8_t protocol, std::uint32_t src, std::uint32_t dst,
                      std::uint16_t id) {
    for (Reassembly& r : g_reassembly) {
        if (r.inUse && r.protocol == protocol && r.src == src && r.dst == dst && r.id == id) {
            return &r;
        }
    }
    return nullptr;
}

Reassembly* NewEntry(std::uint8_t protocol, std::uint32_t src, std::uint32_t dst,
                     std::uint16_t id) {
    Reassembly* slot = nullptr;
    for (Reassembly& r : g_reassembly) {
        if (!r.inUse) {
            slot = &r;
            break;
        }
        if (slot == nullptr || r.age < slot->age) {
            slot = &r;  // oldest so far, recycled when every entry is busy
        }
    }
    if (slot->inUse) {
        ReleaseEntry(*slot);
        ++g_counters.dropReassemblyOverflow;
    }
    Reassembly& r   = *slot;
    r.inUse         = true;
    r.age           = ++g_ip.reassemblyAge;
    r.protocol      = protocol;
    r.id            = id;
    r.src           = src;
    r.dst           = dst;
    r.payloadLength = 0;
    r.lastSeen      = false;
    r.holes[0]      = Hole{0, kReassemblyMax - 1};
    r.holeCount     = 1;
    r.timer = g_ip.config.timerStart(kReassemblyTimeoutMs, reinterpret_cast<std::uintptr_t>(&r),
                                     ReassemblyExpired);
    return &r;
}

void RemoveHole(Reassembly& r, int index) {
    for (int i = index; i + 1 < r.holeCount; ++i) {
        r.holes[i] = r.holes[i + 1];
    }
    --r.holeCount;
}

// Removes [first, last] from the holes it touches. False when a hole would have to split and
// the entry has no room for another.
bool FillHoles(Reassembly& r, std::uint32_t first, std::uint32_t last) {
    int i = 0;
    while (i < r.holeCount) {
        Hole& hole = r.holes[i];
        if (hole.last < first || hole.first > last) {
            ++i;
        } else if (hole.first < first && last < hole.last) {
            if (r.holeCount == kMaxHoles) {
                return false;
            }
            for (int j = r.holeCount; j > i + 1; --j) {
                r.holes[j] = r.holes[j - 1];
            }
            r.holes[i + 1] = Hole{last + 1, hole.last};
            hole.last      = first - 1;
            ++r.holeCount;
            return true;
        } else if (hole.first < first) {
            hole.last = first - 1;
            ++i;
        } else if (last < hole.last) {
            hole.first = last + 1;
            ++i;
        } else {
            RemoveHole(r, i);
        }
    }
    return true;
}

// True when every byte of [first, last] that lies outside the holes (received already) equals
// the fragment's byte there. A fragment that repeats what is held is a duplicate, not an attack.
bool AgreesWithHeld(const Reassembly& r, std::uint32_t first, std::uint32_t last,
                    ByteView payload) {
    std::uint32_t at = first;  // the first byte not yet compared
    for (int i = 0; i < r.holeCount && at <= last; ++i) {
        const Hole& hole = r.holes[i];
        if (hole.last < at) {
            continue;
        }
        const std::uint32_t heldEnd = std::min(hole.first, last + 1);  // held: [at, heldEnd)
        if (heldEnd > at &&
            std::memcmp(r.data + at, payload.Bytes(at - first, heldEnd - at), heldEnd - at) != 0) {
            return false;
        }
        at = hole.last + 1;
    }
    return at > last ||
           std::memcmp(r.data + at, payload.Bytes(at - first, last - at + 1), last - at + 1) == 0;
}

// The final fragment fixes the payload length at last + 1. False when that contradicts what came
// before: another final fragment with another end, or data held beyond the end.
bool TakeFinalFragment(Reassembly& r, std::uint32_t last) {
    if (r.lastSeen) {
        return r.payloadLength == last + 1;
    }
    // Until the final fragment arrives, the last hole runs to the end of the area (a non-final
    // fragment never reaches it), so bytes after `last` are held exactly when it starts later.
    if (r.holeCount == 0 || r.holes[r.holeCount - 1].first > last + 1) {
        return false;
    }
    Hole& tail      = r.holes[r.holeCount - 1];
    r.lastSeen      = true;
    r.payloadLength = last + 1;
    if (tail.first == last + 1) {
        --r.holeCount;  // everything up to the end was held already
    } else {
        tail.last = last;
    }
    return true;
}

void Deliver(std::uint8_t protocol, const Ipv4Datagram& datagram, std::uint8_t* payload,
             std::uint32_t length);

// `payload` is the fragment's data, h.payloadLength bytes.
void Reassemble(const Ipv4Header& h, ByteView payload) {
    Reassembly* r = FindEntry(h.protocol, h.src, h.dst, h.id);
    if (r == nullptr) {
        r = NewEntry(h.protocol, h.src, h.dst, h.id);
    }
    const bool moreFragments   = h.moreFragments;
    const std::uint32_t length = h.payloadLength;
    const std::uint32_t first  = h.byteOffset;
    const std::uint32_t last   = first + length - 1;
    // Beyond the reassembly area, a non-final fragment reaching its end (the datagram would be
    // larger than the area), beyond a known end, bytes that differ from those held (an overlap
    // rewriting data, the classic way to slip other bytes past a filter that saw the first
    // copy), or a final fragment that contradicts the held data: discard the whole datagram. A
    // fragment that only repeats held bytes falls through and changes nothing (links and impaired
    // paths duplicate frames).
    const bool consistent =
        last < kReassemblyMax && !(moreFragments && last == kReassemblyMax - 1) &&
        !(r->lastSeen && last >= r->payloadLength) && AgreesWithHeld(*r, first, last, payload) &&
        (moreFragments || TakeFinalFragment(*r, last));
    if (!consistent) {
        ReleaseEntry(*r);
        ++g_counters.dropMalformed;
        return;
    }
    std::memcpy(r->data + first, payload.Bytes(0, length), length);
    if (!FillHoles(*r, first, last)) {
        ReleaseEntry(*r);
        ++g_counters.dropReassemblyOverflow;
        return;
    }
    if (r->holeCount == 0) {
        StopTimer(r->timer);
        r->inUse = false;
        Deliver(r->protocol, Ipv4Datagram{r->src, r->dst}, r->data, r->payloadLength);
    }
}

// ---- ICMP --------------------------------------------------------------------------------------

void PingSendRequest();

std::uint32_t PingClock() {
    return g_ip.config.getTickCount != nullptr ? g_ip.config.getTickCount() : 0;
}

void PingFinishRound() {
    Ping& p = g_ip.ping;
    if (p.sent >= p.count) {
        p.running = false;
        StopTimer(p.gapTimer);
        g_ip.config.pingEvent(TNSOCK_PING_DONE, p.sent, p.received);
        return;
    }
    ++p.sequence;
    std::uint32_t delayMs = kPingGapMs;
    if (p.intervalMs != 0) {
        const std::uint32_t elapsed = PingClock() - p.sentTick;
        delayMs                     = elapsed < p.intervalMs ? p.intervalMs - elapsed : 0;
    }
    p.gapTimer = g_ip.config.timerStart(delayMs, 0, [](std::uintptr_t) {
        g_ip.ping.gapTimer = nullptr;
        if (g_ip.ping.running) {
            PingSendRequest();
        }
    });
}

void PingTimeout(std::uintptr_t) {
    Ping& p        = g_ip.ping;
    p.timeoutTimer = nullptr;
    if (!p.running || !p.awaitingReply) {
        return;
    }
    p.awaitingReply            = false;
    const std::uint32_t series = p.series;
    g_ip.config.pingEvent(TNSOCK_PING_TIMEOUT, p.sequence, 0);
    // The event handler may have stopped the series or shut the stack down.
    if (p.running && p.series == series) {
        PingFinishRound();
    }
}

// Request payload: the 33 bytes 'A'..'a', then runs of the 32 bytes 'A'..'`'.
std::uint8_t PingPayloadByte(std::uint32_t i) {
    return static_cast<std::uint8_t>(i < 33 ? 65 + i : 65 + (i - 33) % 32);
}

void PingSendRequest() {
    Ping& p                    = g_ip.ping;
    const std::uint32_t length = kIcmpHeaderLen + p.payloadSize;
    std::uint8_t* m            = g_pingMessage;
    m[icmpfield::kType]        = kIcmpEchoRequest;
    m[icmpfield::kCode]        = 0;
    TnWrite16(m + icmpfield::kChecksum, 0);
    TnWrite16(m + icmpfield::kIdentifier, p.identifier);
    TnWrite16(m + icmpfield::kSequence, p.sequence);
    for (std::uint32_t i = 0; i < p.payloadSize; ++i) {
        m[kIcmpHeaderLen + i] = PingPayloadByte(i);
    }
    TnWrite16(m + icmpfield::kChecksum, InetChecksum(m, length));
    p.sentTick = PingClock();
    ++g_counters.icmpOut;
    Ipv4Output(p.target, kProtoIcmp, m, length);
    ++p.sent;
    p.awaitingReply            = true;
    const std::uint32_t series = p.series;
    g_ip.config.pingEvent(TNSOCK_PING_SENT, p.sequence, 0);
    // The event handler may have stopped the series, or stopped it and started another.
    if (p.running && p.series == series) {
        p.timeoutTimer = g_ip.config.timerStart(p.timeoutMs, 0, PingTimeout);
    }
}

// The fields of one received ICMP message (RFC 792), read once its length and checksum were
// checked. Identifier and sequence are those of an echo message.
struct IcmpHeader {
    std::uint8_t type;
    std::uint16_t identifier;
    std::uint16_t sequence;
    std::uint32_t length;  // header and data

    static std::optional<IcmpHeader> Check(ByteView message) {
        const auto length = static_cast<std::uint32_t>(message.Length());
        if (length < kIcmpHeaderLen) {
            ++g_counters.dropMalformed;
            return std::nullopt;
        }
        if (InetChecksum(message.Bytes(0, length), length) != 0) {
            ++g_counters.dropChecksum;
            return std::nullopt;
        }
        return IcmpHeader{message.Read8(icmpfield::kType), message.Read16(icmpfield::kIdentifier),
                          message.Read16(icmpfield::kSequence), length};
    }
};

void PingReply(std::uint32_t src, const IcmpHeader& m) {
    Ping& p = g_ip.ping;
    if (!p.running || !p.awaitingReply || src != p.target ||
        m.length != kIcmpHeaderLen + p.payloadSize || m.identifier != p.identifier ||
        m.sequence != p.sequence) {
        ++g_counters.dropNotForUs;  // a reply to another request, or to no request of ours
        return;
    }
    StopTimer(p.timeoutTimer);
    p.awaitingReply = false;
    ++p.received;
    const std::uint32_t series = p.series;
    g_ip.config.pingEvent(TNSOCK_PING_REPLY, p.sequence, 0);
    if (p.running && p.series == series) {
        PingFinishRound();
    }
}

void IcmpInput(std::uint32_t src, std::uint8_t* message, std::uint32_t length) {
    const std::optional<IcmpHeader> m = IcmpHeader::Check(ByteView(message, length));
    if (!m) {
        return;
    }
    ++g_counters.icmpIn;
    switch (m->type) {
        case kIcmpEchoRequest:
            // Identifier, sequence and data go back unchanged.
            message[icmpfield::kType] = kIcmpEchoReply;
            TnWrite16(message + icmpfield::kChecksum, 0);
            TnWrite16(message + icmpfield::kChecksum, InetChecksum(message, length));
            ++g_counters.icmpOut;
            Ipv4Output(src, kProtoIcmp, message, length);
            break;
        case kIcmpEchoReply:
            if (g_ip.config.pingEvent != nullptr) {
                PingReply(src, *m);
            } else {
                ++g_counters.dropNotForUs;
            }
            break;
        default:
            ++g_counters.dropUnknownProtocol;  // errors and queries we do not act on
            break;
    }
}

// Hands a whole datagram's payload up, with the addresses it came with.
void Deliver(std::uint8_t protocol, const Ipv4Datagram& datagram, std::uint8_t* payload,
             std::uint32_t length) {
    ++g_counters.ipIn;
    switch (protocol) {
        case kProtoIcmp:
            IcmpInput(datagram.src, payload, length);
            break;
        case kProtoTcp:
            TnTcpInput(datagram, payload, static_cast<std::uint16_t>(length));
            break;
        case kProtoUdp:
            UdpInput(datagram, payload, length);
            break;
        default:
            break;
    }
}

// While we hold no address a DHCP server may answer by unicast to the address it offers, at our
// MAC (RFC 2131 4.1, RFC 1122 3.3.6 for the broadcast-flag-clear case). Accept exactly those:
// unfragmented UDP to port 68 (the caller has checked that the frame went to our MAC).
bool IsDhcpReplyWhileUnaddressed(const Ipv4Header& h, ByteView payload) {
    if (g_ip.config.ownAddress != 0 || h.dst == 0 || h.protocol != kProtoUdp ||
        h.payloadLength < kUdpHeaderLen || h.IsFragment()) {
        return false;
    }
    return payload.Read16(kUdpDstPort) == kDhcpClientPort;
}

// Our own address and the limited broadcast, the latter in any frame. A unicast datagram that
// arrived in a link-layer broadcast or multicast frame is discarded (RFC 1122 3.3.6): whoever
// sent it that way meant every station, not us.
bool IsForUs(const Ipv4Header& h, ByteView payload, bool linkGroup) {
    if (h.dst == kLimitedBcast) {
        return true;
    }
    if (linkGroup) {
        return false;
    }
    const std::uint32_t own = g_ip.config.ownAddress;
    return own != 0 ? h.dst == own : IsDhcpReplyWhileUnaddressed(h, payload);
}

// RFC 1122 3.2.1.3: a source must name one other host. Discarded: 0.0.0.0 (sent only by a host
// still learning its address; the DHCP servers we hear from answer from their own), loopback,
// multicast, the reserved 240/4 with the limited broadcast, our subnet's broadcast and our own
// address. A reply to any of them would go nowhere, to us, or to every station.
bool IsValidSource(std::uint32_t src) {
    if (src == 0 || (src >> 24) == 127 || (src >> 28) >= 0xE) {
        return false;
    }
    const std::uint32_t own = g_ip.config.ownAddress;
    if (own == 0) {
        return true;
    }
    // A /31 or /32 subnet has no broadcast address (RFC 3021).
    const std::uint32_t hostBits = ~g_ip.config.subnetMask;
    return src != own && !(hostBits > 1 && src == (own | hostBits));
}

// ARP has learned `address`: a datagram waiting for that next hop goes out now. The answer is
// used as soon as it arrives: waiting out the rest of the 50 ms retry would add that much to every
// first contact with a neighbour.
void NeighbourLearned(std::uint32_t address) {
    if (!g_ip.initialised || g_ip.readyQueue.head == nullptr || address != g_ip.waitingHop) {
        return;
    }
    std::uint8_t mac[6];
    if (ArpResolve(address, mac) == 1) {
        StopTimer(g_ip.arpWaitTimer);
        TransmitReady(mac);
    }
}

}  // namespace

// ---- Public functions --------------------------------------------------------------------------

std::uint16_t InetChecksum(const std::uint8_t* data, std::uint32_t length) {
    return static_cast<std::uint16_t>(~OnesComplementSum(data, length));
}

bool Ipv4Init(const Ipv4Config& config) {
    if (config.mac == nullptr || config.timerStart == nullptr || config.timerStop == nullptr ||
        config.sendFrame == nullptr || (config.addressAcquired != 0 && config.ownAddress == 0)) {
        return false;
    }
    g_ip        = Ipv4State{};
    g_ip.config = config;
    std::memcpy(g_ip.mac, config.mac, 6);
    g_ip.config.mac = g_ip.mac;
    for (FrameBuffer& b : g_frames) {
        QueuePush(g_ip.freeQueue, &b);
    }
    for (Reassembly& r : g_reassembly) {
        r.inUse = false;
        r.timer = nullptr;
    }
    EthernetSetAddress(g_ip.mac);
    ArpInit(config.ownAddress, g_ip.mac, config.sendFrame, config.logText, NeighbourLearned);
    g_ip.initialised = true;
    return true;
}

void Ipv4Reconfigure(std::uint32_t ownAddress, int addressAcquired, std::uint32_t gateway,
                     std::uint32_t subnetMask) {
    g_ip.config.ownAddress      = ownAddress;
    g_ip.config.addressAcquired = addressAcquired;
    g_ip.config.gateway         = gateway;
    g_ip.config.subnetMask      = subnetMask;
}

void Ipv4Deinit() {
    if (!g_ip.initialised) {
        return;
    }
    TnSockPingStop();
    for (Reassembly& r : g_reassembly) {
        if (r.inUse) {
            ReleaseEntry(r);
        }
    }
    DropReadyQueue();
    StopTimer(g_ip.arpWaitTimer);
    ArpDeinit();
    g_ip.initialised = false;
}

bool Ipv4IsInitialised() {
    return g_ip.initialised;
}

std::uint32_t Ipv4Holdings() {
    std::uint32_t free = 0;
    for (const FrameBuffer* b = g_ip.freeQueue.head; b != nullptr; b = b->next) {
        ++free;
    }
    std::uint32_t held = kFrameBuffers - free;
    for (const Reassembly& r : g_reassembly) {
        held += r.inUse ? 1U : 0U;
    }
    return held;
}

int Ipv4Output(std::uint32_t destination, std::uint8_t protocol, const std::uint8_t* data,
               std::uint32_t length) {
    if (!g_ip.initialised || destination == 0 || data == nullptr || length == 0 ||
        length > kMaxDatagram - kIpv4HeaderLen) {
        return 0;
    }
    // One datagram waits for ARP at most: a new one replaces it.
    if (g_ip.readyQueue.head != nullptr) {
        ++g_counters.dropArpQueueFull;
    }
    DropReadyQueue();
    StopTimer(g_ip.arpWaitTimer);
    CutIntoFragments(destination, protocol, data, length);
    std::uint8_t mac[6];
    if (!ResolveLink(destination, mac)) {
        g_ip.waitingHop   = NextHop(destination);
        g_ip.arpWaitTimer = g_ip.config.timerStart(kArpWaitMs, destination, ArpWaitExpired);
        return 1;
    }
    TransmitReady(mac);
    return 1;
}

std::uint32_t Ipv4SourceAddress() {
    return g_ip.config.ownAddress;
}

void Ipv4Input(std::uint8_t* ip, std::uint32_t length, bool linkGroup) {
    if (!g_ip.initialised) {
        return;
    }
    const ByteView datagram(ip, length);
    const std::optional<Ipv4Header> h = Ipv4Header::Check(datagram);
    if (!h) {
        return;
    }
    if (h->protocol != kProtoIcmp && h->protocol != kProtoTcp && h->protocol != kProtoUdp) {
        ++g_counters.dropUnknownProtocol;
        return;
    }
    // Options are ignored (RFC 1122 3.2.1.8): the payload starts behind them. Link padding
    // behind the total length is not part of it.
    const ByteView payloadView = datagram.Sub(h->headerLength, h->payloadLength);
    std::uint8_t* payload      = ip + h->headerLength;
    if (!IsForUs(*h, payloadView, linkGroup)) {
        ++g_counters.dropNotForUs;
        return;
    }
    if (!IsValidSource(h->src)) {
        ++g_counters.dropMalformed;  // no single host sends from there
        return;
    }
    if (!h->IsFragment()) {
        Deliver(h->protocol, Ipv4Datagram{h->src, h->dst}, payload, h->payloadLength);
        return;
    }
    Reassemble(*h, payloadView);
}

}  // namespace tarnet

// ---- Echo client interface ---------------------------------------------------------------------

int TnSockPingStart(std::uint32_t target, std::uint32_t timeoutMs, std::uint32_t count,
                    std::uint32_t payloadSize) {
    return TnSockPingStartEvery(target, timeoutMs, count, payloadSize, 0);
}

int TnSockPingStartEvery(std::uint32_t target, std::uint32_t timeoutMs, std::uint32_t count,
                         std::uint32_t payloadSize, std::uint32_t intervalMs) {
    using namespace tarnet;
    if (target == 0 || timeoutMs == 0 || count == 0 || payloadSize > kPingMaxPayload) {
        return TNSOCK_PING_BAD_PARAMETER;
    }
    if (!g_ip.initialised || g_ip.config.pingEvent == nullptr) {
        return TNSOCK_PING_NOT_INITIALIZED;
    }
    Ping& p = g_ip.ping;
    if (p.running) {
        return TNSOCK_PING_RUNNING;
    }
    const std::uint32_t series = p.series + 1;
    p                          = Ping{};
    p.series                   = series;
    p.running                  = true;
    p.target                   = target;
    p.timeoutMs                = timeoutMs;
    p.count                    = count;
    p.payloadSize              = payloadSize;
    p.intervalMs               = intervalMs;
    p.identifier               = static_cast<std::uint16_t>(
        g_ip.config.getTickCount != nullptr ? g_ip.config.getTickCount() : 0);
    p.sequence = 1;
    PingSendRequest();
    return TNSOCK_PING_STARTED;
}

void TnSockPingStop() {
    using namespace tarnet;
    Ping& p = g_ip.ping;
    if (g_ip.initialised) {
        StopTimer(p.timeoutTimer);
        StopTimer(p.gapTimer);
    }
    p.running       = false;
    p.awaitingReply = false;
}
