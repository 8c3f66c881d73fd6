// TCP input and the state machine: validation of arriving segments, connection lookup and
// listener spawn, the state handlers that every event reaches (segments, the user's operations,
// timer expiries) with the actions of the state table, the segment procedures they run (RFC 9293
// 3.10.7), the processing of acknowledgments, and the delivery of data to the user. A segment's
// whole trip runs in this file; sending is tcp_output.cpp's, the pool and timers tcp.cpp's.
#include <algorithm>
#include <cassert>
#include <cstring>
#include <optional>

#include "byte_view.h"
#include "counters.h"
#include "tarnet/byteorder.h"
#include "tcp_internal.h"

namespace tarnet {

namespace {

constexpr std::uint8_t kOptionEnd = 0;
constexpr std::uint8_t kOptionNop = 1;
constexpr std::uint8_t kOptionMss = 2;

// The fields of one arriving segment, read once after its lengths and checksum were checked.
struct Segment {
    std::uint32_t srcAddr;
    std::uint32_t dstAddr;
    std::uint16_t srcPort;
    std::uint16_t dstPort;
    std::uint32_t seq;
    std::uint32_t ack;
    std::uint16_t flags;
    std::uint16_t window;
    const std::uint8_t* header;
    std::uint16_t headerLength;
    std::uint16_t payloadLength;

    bool Has(std::uint16_t flag) const { return (flags & flag) != 0; }

    // A view of a segment that passed the length and checksum checks. The pseudo-header's
    // addresses come with the IPv4 datagram.
    static std::optional<Segment> Check(const Ipv4Datagram& ip, ByteView segment) {
        const auto length = static_cast<std::uint16_t>(segment.Length());
        if (length < kTcpHeaderLen) {
            ++g_counters.dropMalformed;
            return std::nullopt;
        }
        const auto headerLength =
            static_cast<std::uint16_t>((segment.Read8(tcpfield::kDataOffset) >> 4) * 4);
        if (headerLength < kTcpHeaderLen || headerLength > length) {
            ++g_counters.dropMalformed;
            return std::nullopt;
        }
        Segment s{};
        s.srcAddr = ip.src;
        s.dstAddr = ip.dst;
        // RFC 1071: summed with its checksum field, a segment adds up to all ones. This accepts
        // either form of a zero checksum (0x0000 or 0xFFFF, RFC 1624 section 3).
        const std::uint16_t pseudo = TcpPseudoHeaderSum(s.srcAddr, s.dstAddr, length);
        if (TcpChecksum(segment.Bytes(0, length), length, pseudo) != 0xFFFF) {
            ++g_counters.dropChecksum;
            return std::nullopt;
        }
        s.srcPort       = segment.Read16(tcpfield::kSrcPort);
        s.dstPort       = segment.Read16(tcpfield::kDstPort);
        s.seq           = segment.Read32(tcpfield::kSeq);
        s.ack           = segment.Read32(tcpfield::kAck);
        s.flags         = segment.Read8(tcpfield::kFlags) & kTcpFlagMask;
        s.window        = segment.Read16(tcpfield::kWindow);
        s.header        = segment.Bytes(0, headerLength);
        s.headerLength  = headerLength;
        s.payloadLength = static_cast<std::uint16_t>(length - headerLength);
        return s;
    }
};

// TCP is unicast: a segment sent to a broadcast or multicast address is neither taken nor
// answered (RFC 1122 4.2.3.10). Sources that are no single host were discarded by IPv4 input.
bool Addressable(const Segment& s) {
    const std::uint32_t local = TcpState().config.localAddr;
    return local != 0 && s.dstAddr == local;
}

TcpControlBlock* FindConnection(const Segment& s) {
    for (TnListNode* n = TcpState().activeList.first; n != nullptr; n = n->next) {
        auto* b = static_cast<TcpControlBlock*>(n->payload);
        if (b->localPort == s.dstPort && b->remotePort == s.srcPort && b->remoteAddr == s.srcAddr) {
            return b;
        }
    }
    return nullptr;
}

const TcpListener* FindListener(const Segment& s) {
    for (TnListNode* n = TcpState().listenerList.first; n != nullptr; n = n->next) {
        const auto* l = static_cast<const TcpListener*>(n->payload);
        if (l->localPort == s.dstPort && (l->remoteAddr == 0 || l->remoteAddr == s.srcAddr)) {
            return l;
        }
    }
    return nullptr;
}

// A segment that no connection takes is answered with a reset built from the segment itself
// (RFC 9293 3.10.7.1), so that a peer holding a connection we no longer know learns at once
// that it is gone: with ACK the reset takes its sequence number from the acknowledgment, which
// the peer accepts; without, it has sequence 0 and acknowledges everything the segment occupied.
void RefuseUnmatched(const Segment& s) {
    if (s.Has(kTcpAck)) {
        TcpSendResetTo(s.srcAddr, s.dstPort, s.srcPort, s.ack, 0, kTcpRst);
        return;
    }
    const std::uint32_t length =
        s.payloadLength + (s.Has(kTcpSyn) ? 1u : 0u) + (s.Has(kTcpFin) ? 1u : 0u);
    TcpSendResetTo(s.srcAddr, s.dstPort, s.srcPort, 0, s.seq + length, kTcpRst | kTcpAck);
}

// A segment for which no connection exists. A listener takes a SYN into a new control block.
// Everything else that carries no RST is refused with a reset: on a port nobody listens on
// every such segment (RFC 9293 3.10.7.1), at a listener any segment with an ACK, which cannot
// belong to a connection still in LISTEN (3.10.7.2), and a SYN when no control block is free.
// At a listener a segment with neither SYN nor ACK is dropped (3.10.7.2). A reset is never
// answered.
TcpControlBlock* Spawn(const Segment& s) {
    if (s.Has(kTcpRst)) {
        ++g_counters.dropNoListener;
        return nullptr;
    }
    const TcpListener* listener = FindListener(s);
    if (listener != nullptr && !s.Has(kTcpSyn) && !s.Has(kTcpAck)) {
        ++g_counters.dropNoListener;
        return nullptr;
    }
    const bool opens   = listener != nullptr && s.Has(kTcpSyn) && !s.Has(kTcpAck);
    TcpControlBlock* b = opens ? TcpTakeBlock() : nullptr;
    if (b == nullptr) {
        ++(opens ? g_counters.dropNoMemory : g_counters.dropNoListener);
        RefuseUnmatched(s);
        return nullptr;
    }
    b->notifyFn     = listener->notifyFn;
    b->userContext  = listener->userContext;
    b->localPort    = listener->localPort;
    b->remoteAddr   = s.srcAddr;
    b->remotePort   = s.srcPort;
    b->closedByUser = 0;
    return b;
}

void Store(TcpControlBlock* b, const Segment& s) {
    b->segHeader     = s.header;
    b->segHeaderLen  = s.headerLength;
    b->segPayload    = s.header + s.headerLength;
    b->segPayloadLen = s.payloadLength;
    b->segFlags      = s.flags;
    b->segSeq        = s.seq;
    b->segAck        = s.ack;
    b->segWnd        = s.window;
}

bool Has(const TcpControlBlock* b, std::uint16_t flag) {
    return (b->segFlags & flag) != 0;
}

void ApplyMssOption(TcpControlBlock* b) {
    TcpReadMssOption(b, b->segHeader + kTcpHeaderLen, b->segHeaderLen - kTcpHeaderLen);
}

// States in which the peer's stream is still open. After its FIN (LAST_ACK, CLOSING,
// TIME_WAIT) text and FIN can only be duplicates and are ignored (RFC 9293 3.10.7.4).
bool ReceivesData(const TcpControlBlock* b) {
    return TcpInState(b, {TcpStateEstablished, TcpStateFinWait1, TcpStateFinWait2});
}

// Acknowledges received data: on our own data segments when output sends any, else alone,
// at once when `now` (data that filled a hole, RFC 5681 4.2) and otherwise by the delayed-ACK
// policy.
void AcknowledgeData(TcpControlBlock* b, bool now) {
    const bool somethingToSend = b->sendRing.count > 0 || b->finPending != 0;
    if (somethingToSend && TcpOutput(b) > 0) {
        return;
    }
    if (now) {
        TcpSendAck(b);
    } else {
        TcpDelayAck(b);
    }
}

// Sequence number of the byte at the start of the hold buffer: rcvNxt, unless a receive pause
// holds acknowledged data in front of it.
std::uint32_t RcvBase(const TcpControlBlock* b) {
    return b->rcvNxt - b->rcvHeld;
}

// Remembers the data of a segment that starts beyond rcvNxt, inside the window. When the holes
// remembered already leave no room for another, the data is dropped; the peer sends it again.
void HoldBeyondHole(TcpControlBlock* b) {
    TcpReorderBuffer& r        = b->reorder;
    const std::uint32_t base   = RcvBase(b);
    const std::uint32_t offset = b->segSeq - base;
    if (r.buffer == nullptr || offset >= r.capacity) {
        ++g_counters.dropNoMemory;
        return;
    }
    const std::uint32_t length =
        std::min(static_cast<std::uint32_t>(b->segPayloadLen), r.capacity - offset);
    // Merge the new range with those it overlaps or touches; positions relative to the base.
    TcpReorderRange merged[kTcpReorderRanges + 1];
    int count          = 0;
    std::uint32_t from = offset;
    std::uint32_t to   = offset + length;
    bool placed        = false;
    for (int i = 0; i < r.rangeCount; ++i) {
        const std::uint32_t start = r.ranges[i].seq - base;
        const std::uint32_t end   = start + r.ranges[i].length;
        if (end < from) {
            merged[count++] = r.ranges[i];
        } else if (start > to) {
            if (!placed) {
                merged[count++] = {base + from, to - from};
                placed          = true;
            }
            merged[count++] = r.ranges[i];
        } else {
            from = std::min(from, start);
            to   = std::max(to, end);
        }
    }
    if (!placed) {
        merged[count++] = {base + from, to - from};
    }
    if (count > kTcpReorderRanges) {
        ++g_counters.dropNoMemory;
        return;
    }
    std::memcpy(r.buffer + offset, b->segPayload, length);
    std::copy(merged, merged + count, r.ranges);
    r.rangeCount = count;
}

// Bytes held that continue the stream from sequence number `from` (at or beyond rcvNxt).
std::uint32_t HeldFrom(const TcpControlBlock* b, std::uint32_t from) {
    const TcpReorderBuffer& r = b->reorder;
    if (r.rangeCount == 0) {
        return 0;
    }
    const std::uint32_t start = r.ranges[0].seq - RcvBase(b);
    const std::uint32_t end   = start + r.ranges[0].length;
    const std::uint32_t at    = from - RcvBase(b);
    return start <= at && at < end ? end - at : 0;
}

// Forgets the ranges, or their parts, that rcvNxt has passed.
void DropRangesBehindRcvNxt(TcpControlBlock* b) {
    TcpReorderBuffer& r = b->reorder;
    int kept            = 0;
    for (int i = 0; i < r.rangeCount; ++i) {
        TcpReorderRange range   = r.ranges[i];
        const std::uint32_t end = range.seq + range.length;
        if (SeqLeq(end, b->rcvNxt)) {
            continue;
        }
        if (SeqLt(range.seq, b->rcvNxt)) {
            range = {b->rcvNxt, end - b->rcvNxt};
        }
        r.ranges[kept++] = range;
    }
    r.rangeCount = kept;
}

// Moves rcvNxt forward by `n` and the held data with it (nothing is held in front of rcvNxt).
void AdvanceRcvNxt(TcpControlBlock* b, std::uint32_t n) {
    b->rcvNxt += n;
    TcpReorderBuffer& r = b->reorder;
    if (r.rangeCount == 0) {
        return;
    }
    if (n >= r.capacity) {
        TcpReorderClear(r);  // every held byte lay inside the old window, so behind rcvNxt now
        return;
    }
    DropRangesBehindRcvNxt(b);
    if (r.rangeCount > 0) {
        std::memmove(r.buffer, r.buffer + n, r.capacity - n);
    }
}

// While receiving is paused, the new bytes that fit the window are acknowledged and held behind
// those held already, together with held data beyond a former hole that they now reach. The
// window shrinks by as much as rcvNxt advances, so its right edge stays put. Bytes beyond the
// window are dropped; the acknowledgment tells the peer where to go on.
void HoldInOrder(TcpControlBlock* b, std::uint32_t skip, std::uint32_t fresh) {
    TcpReorderBuffer& r       = b->reorder;
    const bool fillsGap       = r.rangeCount > 0;
    const std::uint32_t taken = std::min(fresh, static_cast<std::uint32_t>(b->rcvWnd));
    std::memcpy(r.buffer + b->rcvHeld, b->segPayload + skip, taken);
    const std::uint32_t joined = HeldFrom(b, b->rcvNxt + taken);
    b->rcvNxt += taken + joined;
    b->rcvHeld += taken + joined;
    DropRangesBehindRcvNxt(b);
    b->rcvWnd = static_cast<std::uint16_t>(r.capacity - b->rcvHeld);
    AcknowledgeData(b, fillsGap);
}

// The user has closed the connection, or has gone: nobody can take new data any more.
bool UserHasClosed(const TcpControlBlock* b) {
    return b->closedByUser != 0 || b->notifyFn == nullptr;
}

// Bytes of the segment's data at or beyond rcvNxt: data the peer sends for the first time.
std::uint32_t NewBytes(const TcpControlBlock* b) {
    const auto length = static_cast<std::uint32_t>(b->segPayloadLen);
    if (SeqGeq(b->segSeq, b->rcvNxt)) {
        return length;
    }
    const std::uint32_t skip = b->rcvNxt - b->segSeq;
    return skip >= length ? 0 : length - skip;
}

// New data after the user's close can reach nobody. Acknowledging and discarding it would let
// the sender believe it was delivered; a reset tells it the data was lost (RFC 1122 4.2.2.13).
void RefuseAfterClose(TcpControlBlock* b, std::uint32_t refused) {
    TcpReportEnded(b, TNSOCK_TCP_END_ABORTED, refused);
    TcpSendReset(b, b->sndNxt);
    TcpRelease(b);
}

// Delivers the part of the segment's data that continues the stream at rcvNxt, together with
// held data that continues it further: bytes already delivered are trimmed off, and a segment
// that starts beyond rcvNxt (a hole in front of it) is held back and answered with an
// acknowledgment of rcvNxt so the peer fills the hole (RFC 9293 3.10.7.4). New data after the
// user's close is refused. Returns false when the block was released.
bool DeliverInOrder(TcpControlBlock* b) {
    const auto length = static_cast<std::uint32_t>(b->segPayloadLen);
    if (UserHasClosed(b) && NewBytes(b) > 0) {
        RefuseAfterClose(b, NewBytes(b));
        return false;
    }
    if (SeqGt(b->segSeq, b->rcvNxt)) {
        HoldBeyondHole(b);
        TcpSendAck(b);
        return true;
    }
    const std::uint32_t skip = b->rcvNxt - b->segSeq;
    if (skip >= length) {
        TcpSendAck(b);
        return true;
    }
    const std::uint32_t fresh = length - skip;
    if (b->rcvPaused) {
        HoldInOrder(b, skip, fresh);
        return true;
    }
    // One delivery carries at most 65535 bytes (rxAlloc takes a 16-bit length); held bytes
    // beyond that wait for the next segment.
    const std::uint32_t held  = std::min(HeldFrom(b, b->rcvNxt + fresh), 0xFFFFU - fresh);
    const std::uint32_t total = fresh + held;
    auto* buffer              = static_cast<std::uint8_t*>(
        TcpState().config.rxAlloc(b->userContext, static_cast<std::uint16_t>(total)));
    if (buffer == nullptr) {
        ++g_counters.dropNoMemory;
        return true;  // not delivered, not acknowledged: the peer sends it again
    }
    std::memcpy(buffer, b->segPayload + skip, fresh);
    if (held > 0) {
        std::memcpy(buffer + fresh, b->reorder.buffer + fresh, held);
    }
    const bool filledHole = b->reorder.rangeCount > 0;
    AdvanceRcvNxt(b, total);
    AcknowledgeData(b, filledHole);
    return TcpNotify(b, TNTCP_NOTIFY_DATA, buffer, total, 0);
}

// A FIN remembered earlier now continues the stream, and no data is held in front of it.
bool HeldFinDue(const TcpControlBlock* b) {
    return b->reorder.finHeld && b->reorder.finSeq == b->rcvNxt && b->rcvHeld == 0;
}

void TakeFinNow(TcpControlBlock* b) {
    b->rcvNxt += 1;
    TcpReorderClear(b->reorder);  // nothing follows the peer's FIN
    TcpSendAck(b);
}

// The peer's FIN counts only where it continues the stream, directly after data that has been
// delivered. One that arrives beyond a hole, or behind data that a receive pause holds, is
// remembered (inside the window) and taken once the data in front of it has gone up; meanwhile
// it is answered with an acknowledgment of rcvNxt.
bool TakeFin(TcpControlBlock* b) {
    if (!ReceivesData(b)) {
        return false;
    }
    TcpReorderBuffer& r = b->reorder;
    if (Has(b, kTcpFin)) {
        const std::uint32_t finSeq = b->segSeq + static_cast<std::uint32_t>(b->segPayloadLen);
        if (finSeq != b->rcvNxt || b->rcvHeld > 0) {
            if (SeqGeq(finSeq, b->rcvNxt) && finSeq - RcvBase(b) < r.capacity) {
                r.finHeld = true;
                r.finSeq  = finSeq;
            }
            if (b->segPayloadLen == 0) {
                TcpSendAck(b);
            }
            return false;
        }
    } else if (!HeldFinDue(b)) {
        return false;
    }
    TakeFinNow(b);
    return true;
}

// What a RST or SYN does to a synchronized connection, once the segment passed the sequence
// check (RFC 5961 3.2 and 4.2, as RFC 9293 3.10.7.4 adopts them).
enum class ControlCheck {
    kNone,        // neither RST nor SYN: go on with the segment
    kReset,       // a RST at exactly rcvNxt: the connection ends
    kChallenged,  // answered with a challenge ACK; nothing else changes
};

// Only a RST whose sequence number is exactly rcvNxt resets. Any other RST inside the window,
// and any SYN, is answered with a challenge ACK (<SEQ=SND.NXT><ACK=RCV.NXT><CTL=ACK>) and
// otherwise ignored: a blind attacker must then hit one number out of 2^32 instead of any
// number in the window, while a peer that really lost the connection answers the challenge
// with a RST at the exact number (or, restarting with a new SYN, learns of our state).
ControlCheck CheckControl(TcpControlBlock* b) {
    if (Has(b, kTcpRst)) {
        if (b->segSeq == b->rcvNxt) {
            return ControlCheck::kReset;
        }
        ++g_counters.tcpChallengeAcks;
        TcpSendAck(b);
        return ControlCheck::kChallenged;
    }
    if (Has(b, kTcpSyn)) {
        ++g_counters.tcpChallengeAcks;
        TcpSendAck(b);
        return ControlCheck::kChallenged;
    }
    return ControlCheck::kNone;
}

// RST in a synchronized state ends the connection; the user hears of it unless the user
// closed it already.
void PeerAborted(TcpControlBlock* b) {
    TcpReportEnded(b, TNSOCK_TCP_END_PEER_RESET);
    if (b->closedByUser == 0 && !TcpNotify(b, TNTCP_NOTIFY_CLOSED)) {
        return;
    }
    TcpRelease(b);
}

// ---- Shared actions of the state table ----------------------------------------------------

void NotifyClosedAndRelease(TcpControlBlock* b, int reason) {
    TcpReportEnded(b, reason);
    if (TcpNotify(b, TNTCP_NOTIFY_CLOSED)) {
        TcpRelease(b);
    }
}

// The handshake's retransmissions ran out with nothing back from the peer, not even a reset.
void HandshakeUnanswered(TcpControlBlock* b, int reason) {
    TcpReportEnded(b, reason, 0, true);
    if (TcpNotify(b, TNTCP_NOTIFY_CLOSED)) {
        TcpRelease(b);
    }
}

// A handshake that failed on our side of a connection the user opened or accepted: an active
// open counts as refused (no answer included), a passive one as timed out.
int HandshakeFailure(const TcpControlBlock* b) {
    return b->activeOpen != 0 ? TNSOCK_TCP_END_REFUSED : TNSOCK_TCP_END_TIMED_OUT;
}

void ActiveOpen(TcpControlBlock* b) {
    b->iss        = TcpNewIss(b);
    b->sndUna     = b->iss;
    b->sndNxt     = b->iss + 1;
    b->sndWnd     = 0;
    b->finPending = 0;
    b->rcvWnd     = static_cast<std::uint16_t>(TcpState().config.rcvWindow);
    b->state      = TcpStateSynSent;
    TcpTimingReset(b);
    TcpSendSyn(b, kTcpSyn, true);
    TcpTimeSegment(b, b->iss + 1);  // the SYN's round trip is the first sample
    b->retryCount = 0;
    TcpStartRtxTimer(b, kTcpHandshakeRtoMs);
}

// Handshake retry: true when the handshake is given up (the caller ends it).
bool HandshakeGivesUp(TcpControlBlock* b, std::uint16_t flags) {
    ++g_counters.tcpTimeouts;
    if (++b->retryCount >= kTcpHandshakeTries) {
        return true;
    }
    ++g_counters.tcpRetransmissions;
    TcpSendSyn(b, flags, true);
    b->rttTiming = false;  // Karn's rule: a repeated SYN gives no sample
    TcpStartRtxTimer(b, kTcpHandshakeRtoMs);
    return false;
}

void Accept(TcpControlBlock* b, std::uintptr_t userContext) {
    b->userContext = userContext;
    TcpStopTimer(b->stateTimer);  // the accept wait is over
    b->state = TcpStateSynReceived;
    TcpSendSyn(b, kTcpSyn | kTcpAck, true);
    TcpTimeSegment(b, b->iss + 1);  // the SYN+ACK's round trip is the first sample
    b->retryCount = 0;
    TcpStartRtxTimer(b, kTcpHandshakeRtoMs);
}

void StartClose(TcpControlBlock* b) {
    b->finPending = 1;
    TcpStartFinWaitTimer(b, kTcpFinWait1LimitMs);
    b->state = TcpStateFinWait1;
    TcpOutput(b);
}

// The peer closed (RFC 9293 3.10.7.4, FIN in ESTABLISHED): there is no half-close, so the user
// is told at once and our remaining data and FIN follow, within the LAST_ACK limit.
void PeerClosed(TcpControlBlock* b) {
    b->finPending = 1;
    b->state      = TcpStateLastAck;
    b->lastAckUna = b->sndUna;
    TcpStartStateTimer(b, kTcpLastAckLimitMs);
    if (!TcpNotify(b, TNTCP_NOTIFY_CLOSED)) {
        return;
    }
    if (b->state == TcpStateLastAck) {
        TcpOutput(b);
    }
}

void FinWait1FollowUp(TcpControlBlock* b, bool finTaken) {
    const bool acked = TcpAllAcked(b);
    if (!finTaken && !acked) {
        return;
    }
    TcpStopTimer(b->finWaitTimer);
    if (finTaken && acked) {
        TcpEnterTimeWait(b);
    } else if (finTaken) {
        b->state = TcpStateClosing;
        TcpStartStateTimer(b, kTcpClosingLimitMs);
    } else {
        b->state = TcpStateFinWait2;
        TcpStartStateTimer(b, kTcpFinWait2LimitMs);
    }
}

// Retransmission (or zero-window probing) in the states where our data or FIN may be
// outstanding; at the limit the reset has gone out.
void RetransmitOrRelease(TcpControlBlock* b, bool notifyAtLimit) {
    if (TcpRetransmit(b) != TcpRtxResult::kLimit) {
        return;
    }
    if (notifyAtLimit) {
        NotifyClosedAndRelease(b, TNSOCK_TCP_END_TIMED_OUT);
    } else {
        TcpReportEnded(b, TNSOCK_TCP_END_TIMED_OUT);
        TcpRelease(b);
    }
}

// LAST_ACK after a segment: done once everything is acknowledged; any new acknowledgment is
// progress and restarts the limit.
void LastAckFollowUp(TcpControlBlock* b) {
    if (TcpAllAcked(b)) {
        TcpReportEnded(b, TNSOCK_TCP_END_PEER_CLOSED);
        TcpRelease(b);
    } else if (b->sndUna != b->lastAckUna) {
        b->lastAckUna = b->sndUna;
        TcpStartStateTimer(b, kTcpLastAckLimitMs);
    }
}

// ---- Acknowledgment processing helpers ----------------------------------------------------

// Returns whether any slot was released.
bool ReleaseAckedSlots(TcpControlBlock* b) {
    const int before = b->rtxCount;
    while (b->rtxCount > 0) {
        const TcpRetransmitSlot& slot = b->rtxSlots[b->rtxOldestIndex];
        // A FIN occupies one sequence number of its own: the slot is done only when the FIN
        // itself is acknowledged, or a lost FIN would never be sent again.
        const std::uint32_t end = slot.seq + slot.length + static_cast<std::uint32_t>(slot.fin);
        if (SeqGt(end, b->sndUna)) {
            break;
        }
        b->rtxOldestIndex = (b->rtxOldestIndex + 1) % b->rtxCapacity;
        --b->rtxCount;
    }
    return b->rtxCount != before;
}

// rto = SRTT + max(G, 4 * RTTVAR) (RFC 6298 2.2/2.3), no lower than the floor, no higher than
// the layer's rtoMax.
void ComputeRto(TcpControlBlock* b) {
    const std::uint32_t variation = std::max(kTcpClockGranularityMs, b->rttvarScaled);
    const std::uint64_t rto       = std::max<std::uint64_t>(
        kTcpRtoFloorMs, std::uint64_t{b->srttScaled / 8} + std::uint64_t{variation});
    b->rto = static_cast<int>(std::min<std::uint64_t>(rto, TcpState().config.rtoMax));
}

// RFC 6298 2.2/2.3, in the scaled integers of the control block (RTTVAR first, from the old
// SRTT).
void TakeSample(TcpControlBlock* b, std::uint32_t sampleMs) {
    const auto r = static_cast<std::int64_t>(std::min<std::uint32_t>(sampleMs, 1U << 20));
    if (!b->rttMeasured) {
        b->srttScaled   = static_cast<std::uint32_t>(r * 8);
        b->rttvarScaled = static_cast<std::uint32_t>(r * 2);  // 4 * R/2
        b->rttMeasured  = true;
    } else {
        const std::int64_t srtt   = b->srttScaled;
        const std::int64_t rttvar = b->rttvarScaled;
        const std::int64_t error  = r - srtt / 8;
        const std::int64_t diff   = error < 0 ? -error : error;
        // RTTVAR += (|error| - RTTVAR) / 4, SRTT += error / 8, in the scaled units.
        b->rttvarScaled = static_cast<std::uint32_t>(rttvar + diff - rttvar / 4);
        b->srttScaled   = static_cast<std::uint32_t>(srtt + error);
    }
    ComputeRto(b);
}

// sndUna moved, possibly to a new oldest segment, not resent yet. In a recovery, an
// acknowledgment short of `recover` shows the next hole in what was in flight when the loss was
// detected, which is resent at once (the NewReno answer to a partial acknowledgment, RFC 6582,
// without the congestion window); one that reaches `recover` ends the recovery. One that ends
// inside the oldest segment leaves it as it was, so that a peer acknowledging a byte at a time
// gets each segment resent once, not once per byte.
void AdvanceLossRecovery(TcpControlBlock* b, bool newOldest) {
    b->dupAcks = 0;
    if (newOldest) {
        b->holeResent = false;
    }
    if (!b->inRecovery) {
        return;
    }
    if (SeqGeq(b->sndUna, b->recover)) {
        b->inRecovery = false;
    } else if (b->rtxCount > 0 && !b->holeResent) {
        TcpResendOldest(b);
    }
}

void NewDataAcked(TcpControlBlock* b) {
    b->sndUna            = b->segAck;
    const bool newOldest = ReleaseAckedSlots(b);
    TcpRttAcknowledged(b);
    AdvanceLossRecovery(b, newOldest);
    // RFC 6298 5.2/5.3: stop the timer when everything is acknowledged, otherwise restart it so
    // that the oldest outstanding segment gets a full rto; the connection is making progress,
    // so the retransmission count starts again.
    b->retryCount = 0;
    if (b->rtxCount == 0) {
        TcpStopTimer(b->rtxTimer);
    } else {
        TcpStartRtxTimer(b, static_cast<std::uint32_t>(b->rto));
    }
}

// RFC 5681 2: an acknowledgment is a duplicate when data is outstanding and it carries the
// same acknowledgment (sndUna) and window as before, no data, no SYN and no FIN. The third in a
// row resends the oldest segment at once (3.2), unless it has been resent already (by a
// timeout, a fast retransmit or a partial acknowledgment): further duplicates of the same loss
// resend nothing. The rto is not backed off and the retransmission limit does not count it,
// since the peer is evidently there.
void DuplicateAck(TcpControlBlock* b) {
    const bool duplicate = b->rtxCount > 0 && b->segPayloadLen == 0 &&
                           (b->segFlags & (kTcpSyn | kTcpFin)) == 0 && b->segWnd == b->sndWnd;
    if (!duplicate || b->holeResent || ++b->dupAcks < kTcpDupAckThreshold) {
        return;
    }
    b->recover    = b->sndNxt;
    b->inRecovery = true;
    ++g_counters.tcpFastRetransmits;
    TcpResendOldest(b);
    TcpStartRtxTimer(b, static_cast<std::uint32_t>(b->rto));
}

void UpdateWindow(TcpControlBlock* b) {
    // An acceptable acknowledgment shows the peer is there: it answers our zero-window probes.
    b->probesUnanswered = 0;
    // RFC 9293 3.10.7.4: take the window only from a segment at least as recent as the one that
    // last set it.
    if (SeqLt(b->sndWl1, b->segSeq) || (b->sndWl1 == b->segSeq && SeqLeq(b->sndWl2, b->segAck))) {
        b->sndWnd = b->segWnd;
        b->sndWl1 = b->segSeq;
        b->sndWl2 = b->segAck;
    }
}

}  // namespace

int TcpResumeReceive(TcpControlBlock* b) {
    TcpReorderBuffer& r      = b->reorder;
    const std::uint32_t held = b->rcvHeld;
    std::uint8_t* buffer     = nullptr;
    if (held > 0) {
        // At most rcvWindow (32768) bytes: one delivery takes them all.
        buffer = static_cast<std::uint8_t*>(
            TcpState().config.rxAlloc(b->userContext, static_cast<std::uint16_t>(held)));
        if (buffer == nullptr) {
            return TNTCP_NO_RESOURCE;
        }
        std::memcpy(buffer, r.buffer, held);
        if (r.rangeCount > 0) {
            std::memmove(r.buffer, r.buffer + held, r.capacity - held);
        }
    }
    b->rcvPaused = false;
    b->rcvHeld   = 0;
    b->rcvWnd    = static_cast<std::uint16_t>(r.capacity);
    if (held > 0) {
        TcpSendAck(b);  // the window update: the peer may send again
        if (!TcpNotify(b, TNTCP_NOTIFY_DATA, buffer, held, 0)) {
            return TNTCP_SUCCESS;
        }
    }
    if (ReceivesData(b) && HeldFinDue(b)) {
        TakeFinNow(b);
        TcpAfterSynchronized(b, TcpSyncResult::kFinTaken);
    }
    return TNTCP_SUCCESS;
}

// ---- Segment procedures -------------------------------------------------------------------

bool TcpAcceptable(TcpControlBlock* block) {
    const auto length          = static_cast<std::uint32_t>(block->segPayloadLen);
    const std::uint32_t window = block->rcvWnd;
    bool ok                    = false;
    if (window == 0) {
        ok = length == 0 && block->segSeq == block->rcvNxt;
    } else {
        ok = SeqInWindow(block->segSeq, block->rcvNxt, window) ||
             (length > 0 && SeqInWindow(block->segSeq + length - 1, block->rcvNxt, window));
    }
    if (!ok) {
        ++g_counters.dropOutOfWindow;
        if (!Has(block, kTcpRst)) {
            TcpSendAck(block);
        }
    }
    return ok;
}

// Walks the options by their kind and length fields (RFC 9293 3.1); a malformed list ends the
// walk. An MSS of 0 would leave the connection unable to send and is ignored.
void TcpReadMssOption(TcpControlBlock* block, const std::uint8_t* options, std::size_t length) {
    std::size_t i = 0;
    while (i < length) {
        const std::uint8_t kind = options[i];
        if (kind == kOptionEnd) {
            return;
        }
        if (kind == kOptionNop) {
            ++i;
            continue;
        }
        if (i + 1 >= length || options[i + 1] < 2 || options[i + 1] > length - i) {
            return;
        }
        if (kind == kOptionMss && options[i + 1] == kTcpMssOptionLen) {
            // The length checks above keep the whole option inside the header.
            assert(i + kTcpMssOptionLen <= length);
            const std::uint16_t value = TnRead16(options + i + 2);
            if (value != 0 && value < block->mss) {
                block->mss = value;
            }
            return;
        }
        i += options[i + 1];
    }
}

void TcpListenerSyn(TcpControlBlock* b) {
    if (Has(b, kTcpAck) && !Has(b, kTcpRst)) {
        TcpSendReset(b, b->segAck);
    }
    if (Has(b, kTcpRst) || Has(b, kTcpAck) || !Has(b, kTcpSyn)) {
        TcpRelease(b);  // nothing to set up: the block goes straight back to the pool
        return;
    }
    b->iss        = TcpNewIss(b);
    b->rcvNxt     = b->segSeq + 1;
    b->rcvAcked   = b->rcvNxt;
    b->rcvAdvEdge = b->rcvNxt;
    ApplyMssOption(b);
    b->finPending = 0;
    b->rcvWnd     = static_cast<std::uint16_t>(TcpState().config.rcvWindow);
    TcpTimingReset(b);
    b->retryCount = 0;
    b->state      = TcpStateAcceptPending;
    b->sndUna     = b->iss;
    b->sndNxt     = b->iss + 1;
    b->sndWnd     = 0;
    TcpStartStateTimer(b, kTcpAcceptWaitMs);
    TcpNotify(b, TNTCP_NOTIFY_CONNECT_REQUEST, b, b->remotePort, b->remoteAddr);
}

void TcpSynSentSegment(TcpControlBlock* b) {
    const bool ack = Has(b, kTcpAck);
    bool ackOk     = false;
    if (ack) {
        if (SeqLeq(b->segAck, b->iss) || SeqGt(b->segAck, b->sndNxt)) {
            if (!Has(b, kTcpRst)) {
                TcpSendReset(b, b->segAck);
            }
            return;
        }
        ackOk = SeqLeq(b->sndUna, b->segAck) && SeqLeq(b->segAck, b->sndNxt);
    }
    if (Has(b, kTcpRst)) {
        if (ackOk) {
            TcpReportEnded(b, TNSOCK_TCP_END_REFUSED);
            if (TcpNotify(b, TNTCP_NOTIFY_CLOSED)) {
                TcpRelease(b);
            }
        }
        return;
    }
    if (!Has(b, kTcpSyn) || (ack && !ackOk)) {
        return;
    }
    b->rcvNxt     = b->segSeq + 1;
    b->rcvAcked   = b->rcvNxt;
    b->rcvAdvEdge = b->rcvNxt;
    if (ack) {
        b->sndUna     = b->segAck;
        b->retryCount = 0;
        TcpStopTimer(b->rtxTimer);
        TcpRttAcknowledged(b);
    }
    if (SeqGt(b->sndUna, b->iss)) {
        b->sndWl1 = b->segSeq;
        b->sndWl2 = b->segAck;
        b->sndWnd = b->segWnd;
        ApplyMssOption(b);
        b->state = TcpStateEstablished;
        TcpReportEstablished(b);
        TcpSendAck(b);
        TcpNotify(b, TNTCP_NOTIFY_CONNECTED);
        return;
    }
    // Simultaneous open (RFC 9293 3.5, figure 8).
    b->state = TcpStateSynReceived;
    TcpSendSyn(b, kTcpSyn | kTcpAck, false);
    b->retryCount = 0;
    TcpStartRtxTimer(b, kTcpHandshakeRtoMs);
}

TcpSyncResult TcpSynReceivedSegment(TcpControlBlock* b) {
    if (!TcpAcceptable(b)) {
        return TcpSyncResult::kStopped;
    }
    const ControlCheck control = CheckControl(b);
    if (control == ControlCheck::kReset) {
        TcpReportEnded(b, b->activeOpen != 0 ? TNSOCK_TCP_END_REFUSED : TNSOCK_TCP_END_PEER_RESET);
        if (TcpNotify(b, TNTCP_NOTIFY_CLOSED)) {
            TcpRelease(b);
        }
    }
    if (control != ControlCheck::kNone) {
        return TcpSyncResult::kStopped;
    }
    if (!Has(b, kTcpAck)) {
        return TcpSyncResult::kStopped;
    }
    if (!(SeqLt(b->sndUna, b->segAck) && SeqLeq(b->segAck, b->sndNxt))) {
        TcpSendReset(b, b->segAck);
        return TcpSyncResult::kStopped;
    }
    b->retryCount = 0;
    TcpStopTimer(b->rtxTimer);
    b->sndWl1 = b->segSeq;
    b->sndWl2 = b->segAck;
    b->sndWnd = b->segWnd;
    b->state  = TcpStateEstablished;
    TcpReportEstablished(b);
    // An active open that completed through a simultaneous open is as established for its user
    // as one that met a SYN+ACK; a passive one was accepted by the user and hears nothing.
    if (b->activeOpen != 0 && !TcpNotify(b, TNTCP_NOTIFY_CONNECTED)) {
        return TcpSyncResult::kStopped;
    }
    return TcpSynchronizedSegment(b);
}

TcpSyncResult TcpSynchronizedSegment(TcpControlBlock* b) {
    if (!TcpAcceptable(b)) {
        return TcpSyncResult::kStopped;
    }
    const ControlCheck control = CheckControl(b);
    if (control == ControlCheck::kReset) {
        PeerAborted(b);
    }
    if (control != ControlCheck::kNone) {
        return TcpSyncResult::kStopped;
    }
    if (!Has(b, kTcpAck) || TcpProcessAck(b) == TcpAckResult::kDropped) {
        return TcpSyncResult::kStopped;
    }
    if (b->segPayloadLen > 0 && ReceivesData(b)) {
        if (!DeliverInOrder(b)) {
            return TcpSyncResult::kStopped;
        }
    } else {
        TcpOutput(b);  // the acknowledgment may have opened room
    }
    return TakeFin(b) ? TcpSyncResult::kFinTaken : TcpSyncResult::kCompleted;
}

void TcpClosingSegment(TcpControlBlock* b) {
    if (!TcpAcceptable(b)) {
        return;
    }
    const ControlCheck control = CheckControl(b);
    if (control == ControlCheck::kReset) {
        TcpReportEnded(b, TNSOCK_TCP_END_PEER_RESET);
        TcpRelease(b);
    }
    if (control != ControlCheck::kNone) {
        return;
    }
    if (!Has(b, kTcpAck) || TcpProcessAck(b) == TcpAckResult::kDropped) {
        return;
    }
    if (TcpAllAcked(b)) {
        TcpEnterTimeWait(b);
        return;
    }
    // Text after the peer's FIN cannot be new; rcvNxt stays where the FIN put it.
    if (b->segPayloadLen > 0 && b->sendRing.count == 0) {
        TcpSendAck(b);
        return;
    }
    TcpOutput(b);
}

void TcpTimeWaitSegment(TcpControlBlock* b) {
    if (!TcpAcceptable(b)) {
        return;  // a retransmitted FIN lands here and has been acknowledged by the test
    }
    const ControlCheck control = CheckControl(b);
    if (control == ControlCheck::kReset) {
        // Both FINs were exchanged and acknowledged: the connection closed cleanly, whatever
        // cuts the wait short.
        TcpReportEnded(b, TNSOCK_TCP_END_CLOSED);
        TcpRelease(b);
    }
    if (control != ControlCheck::kNone) {
        return;
    }
    if (!Has(b, kTcpAck) || !Has(b, kTcpFin)) {
        return;
    }
    b->rcvNxt = b->segSeq + static_cast<std::uint32_t>(b->segPayloadLen) + 1;
    TcpSendAck(b);
    TcpStartStateTimer(b, TcpState().config.timeWaitMs);
}

// ---- Acknowledgment processing -------------------------------------------------------------

void TcpRttAcknowledged(TcpControlBlock* block) {
    if (block->rttTiming && SeqGeq(block->sndUna, block->rttSeq)) {
        block->rttTiming = false;
        TakeSample(block, TcpState().config.getTickCount() - block->rttStart);
    }
}

TcpAckResult TcpProcessAck(TcpControlBlock* block) {
    const std::uint32_t ack = block->segAck;
    if (SeqLt(block->sndUna, ack) && SeqLeq(ack, block->sndNxt)) {
        NewDataAcked(block);
    } else if (SeqLt(ack, block->sndUna)) {
        // RFC 5961 5.2: an acknowledgment further back than the largest window the peer has
        // offered cannot be a reordered one of this connection; a blind guess is answered with
        // an ACK and dropped. Within that range the segment is only old: its ACK is ignored,
        // its text and FIN are processed (RFC 9293 3.10.7.4).
        if (block->sndUna - ack > block->maxSndWnd) {
            ++g_counters.tcpChallengeAcks;
            ++g_counters.dropOutOfWindow;
            TcpSendAck(block);
            return TcpAckResult::kDropped;
        }
        return TcpAckResult::kAccepted;
    } else if (SeqGt(ack, block->sndNxt)) {
        ++g_counters.dropOutOfWindow;
        TcpSendAck(block);  // acknowledges what was never sent (RFC 9293 3.10.7.4)
        return TcpAckResult::kDropped;
    } else {
        DuplicateAck(block);  // ack == sndUna; compared with the window before the update
    }
    UpdateWindow(block);
    return TcpAckResult::kAccepted;
}

// ---- Events and state handlers ----------------------------------------------------------

void TcpResetAndRelease(TcpControlBlock* b, int reason) {
    TcpReportEnded(b, reason);
    TcpSendReset(b, b->sndNxt);
    TcpRelease(b);
}

// Aborting a connection whose SYN+ACK may or may not have arrived: RST+ACK at sndNxt reaches a
// peer in SYN-SENT (it checks the acknowledgment) and one that already counts itself
// synchronized (it expects our sequence number iss + 1) alike (RFC 9293 3.10.7.3, 3.10.7.4).
void TcpAbortHandshake(TcpControlBlock* b) {
    TcpSendSegment(b, b->sndNxt, b->rcvNxt, kTcpRst | kTcpAck, nullptr, 0, nullptr);
}

// Refusing a SYN that is waiting for the user: RST+ACK, sequence 0, acknowledging the SYN, the
// form a peer in SYN-SENT accepts (RFC 9293 3.10.7.1).
void TcpRefuseSyn(TcpControlBlock* b) {
    TcpSendResetTo(b->remoteAddr, b->localPort, b->remotePort, 0, b->rcvNxt, kTcpRst | kTcpAck);
    TcpRelease(b);
}

void TcpRaise(TcpControlBlock* block, TcpEvent event, std::uintptr_t argument) {
    if (block->state != nullptr) {
        block->state(block, event, argument);
    }
}

void TcpEnterTimeWait(TcpControlBlock* block) {
    // Both FINs are exchanged and acknowledged: for the user the connection has ended well now.
    // TIME_WAIT only keeps the addresses quiet for a while, so nobody waits for its end.
    TcpReportEnded(block, TNSOCK_TCP_END_CLOSED);
    block->state = TcpStateTimeWait;
    TcpStopTimer(block->rtxTimer);  // nothing is outstanding any more
    TcpStartStateTimer(block, TcpState().config.timeWaitMs);
}

void TcpAfterSynchronized(TcpControlBlock* block, TcpSyncResult result) {
    if (result == TcpSyncResult::kStopped) {
        return;
    }
    const bool finTaken = result == TcpSyncResult::kFinTaken;
    if (block->state == TcpStateEstablished) {
        if (finTaken) {
            PeerClosed(block);
        }
    } else if (block->state == TcpStateLastAck) {
        LastAckFollowUp(block);
    } else if (block->state == TcpStateFinWait1) {
        FinWait1FollowUp(block, finTaken);
    } else if (block->state == TcpStateFinWait2) {
        if (finTaken && TcpAllAcked(block)) {
            TcpEnterTimeWait(block);
        }
    }
}

void TcpStateClosed(TcpControlBlock* b, TcpEvent event, std::uintptr_t /*argument*/) {
    switch (event) {
        case TCP_EV_OPEN:
            ActiveOpen(b);
            break;
        case TCP_EV_SEGMENT:
            TcpListenerSyn(b);
            break;
        default:
            break;
    }
}

void TcpStateSynSent(TcpControlBlock* b, TcpEvent event, std::uintptr_t /*argument*/) {
    switch (event) {
        case TCP_EV_CLOSE:
            TcpRelease(b);
            break;
        case TCP_EV_SEGMENT:
            TcpSynSentSegment(b);
            break;
        case TCP_EV_RTX_TIMER:
            if (HandshakeGivesUp(b, kTcpSyn)) {
                HandshakeUnanswered(b, TNSOCK_TCP_END_REFUSED);
            }
            break;
        default:
            break;
    }
}

void TcpStateAcceptPending(TcpControlBlock* b, TcpEvent event, std::uintptr_t argument) {
    switch (event) {
        case TCP_EV_ACCEPT:
            Accept(b, argument);
            break;
        case TCP_EV_CLOSE:
        case TCP_EV_STATE_TIMER:
            TcpRefuseSyn(b);
            break;
        default:
            break;
    }
}

void TcpStateSynReceived(TcpControlBlock* b, TcpEvent event, std::uintptr_t /*argument*/) {
    switch (event) {
        case TCP_EV_CLOSE:
            TcpAbortHandshake(b);
            TcpRelease(b);
            break;
        case TCP_EV_SEGMENT:
            TcpAfterSynchronized(b, TcpSynReceivedSegment(b));
            break;
        case TCP_EV_RTX_TIMER:
            if (HandshakeGivesUp(b, kTcpSyn | kTcpAck)) {
                TcpAbortHandshake(b);
                HandshakeUnanswered(b, HandshakeFailure(b));
            }
            break;
        default:
            break;
    }
}

void TcpStateEstablished(TcpControlBlock* b, TcpEvent event, std::uintptr_t /*argument*/) {
    switch (event) {
        case TCP_EV_SEND:
            TcpOutput(b);
            break;
        case TCP_EV_CLOSE:
            StartClose(b);
            break;
        case TCP_EV_SEGMENT:
            TcpAfterSynchronized(b, TcpSynchronizedSegment(b));
            break;
        case TCP_EV_RTX_TIMER:
            RetransmitOrRelease(b, true);
            break;
        default:
            break;
    }
}

void TcpStateLastAck(TcpControlBlock* b, TcpEvent event, std::uintptr_t /*argument*/) {
    switch (event) {
        case TCP_EV_SEGMENT:
            TcpAfterSynchronized(b, TcpSynchronizedSegment(b));
            break;
        case TCP_EV_RTX_TIMER:
            RetransmitOrRelease(b, false);
            break;
        case TCP_EV_STATE_TIMER:
            TcpResetAndRelease(b, TNSOCK_TCP_END_TIMED_OUT);  // no progress within the limit
            break;
        default:
            break;
    }
}

void TcpStateFinWait1(TcpControlBlock* b, TcpEvent event, std::uintptr_t /*argument*/) {
    switch (event) {
        case TCP_EV_CLOSE:
            TcpResetAndRelease(b, TNSOCK_TCP_END_ABORTED);
            break;
        case TCP_EV_FIN_WAIT_TIMER:
            TcpResetAndRelease(b, TNSOCK_TCP_END_TIMED_OUT);
            break;
        case TCP_EV_SEGMENT:
            TcpAfterSynchronized(b, TcpSynchronizedSegment(b));
            break;
        case TCP_EV_RTX_TIMER:
            RetransmitOrRelease(b, false);
            break;
        default:
            break;
    }
}

void TcpStateFinWait2(TcpControlBlock* b, TcpEvent event, std::uintptr_t /*argument*/) {
    switch (event) {
        case TCP_EV_CLOSE:
            TcpResetAndRelease(b, TNSOCK_TCP_END_ABORTED);
            break;
        case TCP_EV_STATE_TIMER:
            TcpResetAndRelease(b, TNSOCK_TCP_END_TIMED_OUT);
            break;
        case TCP_EV_SEGMENT:
            TcpAfterSynchronized(b, TcpSynchronizedSegment(b));
            break;
        default:
            break;
    }
}

void TcpStateClosing(TcpControlBlock* b, TcpEvent event, std::uintptr_t /*argument*/) {
    switch (event) {
        case TCP_EV_SEGMENT:
            TcpClosingSegment(b);
            break;
        case TCP_EV_RTX_TIMER:
            RetransmitOrRelease(b, false);
            break;
        case TCP_EV_STATE_TIMER:
            TcpResetAndRelease(b, TNSOCK_TCP_END_TIMED_OUT);
            break;
        default:
            break;
    }
}

void TcpStateTimeWait(TcpControlBlock* b, TcpEvent event, std::uintptr_t /*argument*/) {
    switch (event) {
        case TCP_EV_SEGMENT:
            TcpTimeWaitSegment(b);
            break;
        case TCP_EV_STATE_TIMER:
            TcpReportEnded(b, TNSOCK_TCP_END_CLOSED);
            TcpRelease(b);
            break;
        default:
            break;
    }
}
}  // namespace tarnet

using namespace tarnet;

void TnTcpInput(const tarnet::Ipv4Datagram& ip, std::uint8_t* segment, std::uint16_t length) {
    if (!TcpState().initialised) {
        return;
    }
    const std::optional<Segment> s = Segment::Check(ip, ByteView(segment, length));
    if (!s) {
        return;
    }
    if (!Addressable(*s)) {
        ++g_counters.dropNotForUs;
        return;
    }
    ++g_counters.tcpIn;
    g_counters.tcpResetsReceived += s->Has(kTcpRst) ? 1U : 0U;
    TcpControlBlock* b = FindConnection(*s);
    if (b == nullptr) {
        b = Spawn(*s);
    }
    if (b == nullptr) {
        return;
    }
    Store(b, *s);
    // The window offered so far, taken from earlier segments; this one's may lower sndWnd.
    b->maxSndWnd = std::max(b->maxSndWnd, b->sndWnd);
    TcpRaise(b, TCP_EV_SEGMENT);
}
