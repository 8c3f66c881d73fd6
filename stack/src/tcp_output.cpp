// TCP output and retransmission: the send ring, the retransmission queue, the segment builder
// with its checksum, the output pass, retransmission with back-off and limit, and zero-window
// probing. Acknowledgments are processed on input (tcp_input.cpp).
#include <algorithm>
#include <cstring>

#include "checksum.h"
#include "counters.h"
#include "ipv4.h"
#include "tarnet/byteorder.h"
#include "tcp_internal.h"

namespace tarnet {

namespace {

std::uint32_t Min(std::uint32_t a, std::uint32_t b) {
    return a < b ? a : b;
}

// Writes the header (and options) at `header`; the data, if any, follows it directly.
void Emit(std::uint8_t* header, std::uint32_t remoteAddr, std::uint16_t localPort,
          std::uint16_t remotePort, std::uint32_t seq, std::uint32_t ack, std::uint16_t flags,
          std::uint16_t window, const std::uint8_t* options, std::uint32_t optionsLength,
          std::uint32_t dataLength) {
    const std::uint32_t headerLength = kTcpHeaderLen + optionsLength;
    const std::uint32_t total        = headerLength + dataLength;
    TnWrite16(header + tcpfield::kSrcPort, localPort);
    TnWrite16(header + tcpfield::kDstPort, remotePort);
    TnWrite32(header + tcpfield::kSeq, seq);
    TnWrite32(header + tcpfield::kAck, ack);
    header[tcpfield::kDataOffset] = static_cast<std::uint8_t>((headerLength / 4) << 4);
    header[tcpfield::kFlags]      = static_cast<std::uint8_t>(flags & kTcpFlagMask);
    TnWrite16(header + tcpfield::kWindow, window);
    TnWrite16(header + tcpfield::kChecksum, 0);
    TnWrite16(header + tcpfield::kUrgent, 0);
    if (optionsLength > 0) {
        std::memcpy(header + kTcpHeaderLen, options, optionsLength);
    }
    const std::uint16_t pseudo = TcpPseudoHeaderSum(TcpState().config.localAddr, remoteAddr, total);
    const auto sum             = static_cast<std::uint16_t>(~TcpChecksum(header, total, pseudo));
    TnWrite16(header + tcpfield::kChecksum, sum);
    ++g_counters.tcpOut;
    g_counters.tcpResetsSent += (flags & kTcpRst) != 0 ? 1U : 0U;
    // IPv4 copies the segment; a frame that cannot go out now is covered by retransmission.
    Ipv4Output(remoteAddr, kProtoTcp, header, total);
}

// Copies n bytes out of the ring in at most two pieces (the ring wraps at its capacity).
void RingRead(TcpSendRing& ring, std::uint8_t* out, std::uint32_t n) {
    const auto capacity       = static_cast<std::uint32_t>(ring.capacity);
    const auto start          = static_cast<std::uint32_t>(ring.readIndex);
    const std::uint32_t first = Min(n, capacity - start);
    std::memcpy(out, ring.buffer + start, first);
    std::memcpy(out + first, ring.buffer, n - first);
    ring.readIndex = static_cast<int>((start + n) % capacity);
    ring.count -= static_cast<int>(n);
}

// Bytes the peer's window still allows: sndUna + sndWnd - sndNxt (RFC 9293 3.8.6), never
// negative (the peer may have shrunk its window).
std::uint32_t UsableWindow(const TcpControlBlock* b) {
    const std::uint32_t inFlight = b->sndNxt - b->sndUna;
    return inFlight >= b->sndWnd ? 0 : b->sndWnd - inFlight;
}

TcpRetransmitSlot& EnqueueSlot(TcpControlBlock* b) {
    TcpRetransmitSlot& slot = b->rtxSlots[b->rtxWriteIndex];
    b->rtxWriteIndex        = (b->rtxWriteIndex + 1) % b->rtxCapacity;
    ++b->rtxCount;
    return slot;
}

// The first segment into an empty queue starts the retransmission timer afresh: a timer that
// runs then is the zero-window probe timer, which must not time the new segment. `end` is the
// acknowledgment that covers the segment just sent for the first time.
void ArmRetransmission(TcpControlBlock* b, bool queueWasEmpty, std::uint32_t end) {
    TcpTimeSegment(b, end);
    if (queueWasEmpty || b->rtxTimer == nullptr) {
        b->retryCount   = 0;
        b->persistShift = 0;
        TcpStartRtxTimer(b, static_cast<std::uint32_t>(b->rto));
    }
}

void SendFinAlone(TcpControlBlock* b) {
    const bool wasEmpty     = b->rtxCount == 0;
    TcpRetransmitSlot& slot = EnqueueSlot(b);
    slot.fin                = 1;
    slot.length             = 0;
    slot.seq                = b->sndNxt;
    TcpSendSegment(b, b->sndNxt, b->rcvNxt, kTcpFin | kTcpAck, nullptr, 0, nullptr);
    b->sndNxt += 1;
    ArmRetransmission(b, wasEmpty, b->sndNxt);
    b->finPending = 0;
}

// Moves `n` bytes from the ring into one segment, with the FIN when they empty the ring of a
// connection that is closing.
void SendDataSegment(TcpControlBlock* b, std::uint32_t n) {
    const bool wasEmpty     = b->rtxCount == 0;
    TcpRetransmitSlot& slot = EnqueueSlot(b);
    std::uint8_t* data      = slot.data + kTcpSlotHeadroom;
    RingRead(b->sendRing, data, n);
    slot.length         = static_cast<std::uint16_t>(n);
    slot.seq            = b->sndNxt;
    std::uint16_t flags = kTcpAck;
    slot.fin            = 0;
    if (b->sendRing.count == 0 && b->finPending != 0) {
        flags |= kTcpFin;
        b->finPending = 0;
        slot.fin      = 1;
    }
    TcpSendSegment(b, b->sndNxt, b->rcvNxt, flags, nullptr, 0, &slot);
    b->sndNxt += n + static_cast<std::uint32_t>(slot.fin);
    ArmRetransmission(b, wasEmpty, b->sndNxt);
}

// Sender-side silly-window avoidance (RFC 1122 4.2.3.4) for a segment of `n` bytes, shorter
// than the MSS. One that the peer's window cuts short of the data waiting goes only when nothing
// is in flight (the window cannot open otherwise) or when it is at least half the largest window
// the peer has offered. One that ends the data waiting goes when nothing was in flight as the
// pass began (RFC 896: a short segment waits for the acknowledgment of what is outstanding),
// when the user has turned that hold off, or when the FIN follows it.
bool ShortSegmentGoes(const TcpControlBlock* b, std::uint32_t n, bool idleAtStart) {
    if (n < static_cast<std::uint32_t>(b->sendRing.count)) {
        const std::uint32_t largest = std::max(b->maxSndWnd, b->sndWnd);
        return b->sndNxt == b->sndUna || n >= largest / 2U;
    }
    return idleAtStart || b->noDelay || b->finPending != 0;
}

// Probe interval: the current rto, doubled per probe already sent, at most kTcpPersistMaxMs.
std::uint32_t PersistInterval(const TcpControlBlock* b) {
    const auto base = static_cast<std::uint64_t>(std::max(b->rto, 1));
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(base << b->persistShift, kTcpPersistMaxMs));
}

bool NeedsPersist(const TcpControlBlock* b) {
    return b->sendRing.count > 0 && b->rtxCount == 0 && b->sndWnd == 0;
}

// Zero-window probe (RFC 9293 3.8.6.1, RFC 1122 4.2.2.17). It runs on rtxTimer, which is idle
// whenever nothing is in flight. The probe carries no data and the sequence number sndUna - 1,
// which lies before the peer's window, so the peer answers it with an acknowledgment that
// carries its current window. Probes are not retransmissions: retryCount is left alone. A peer
// that answers may keep its window shut for as long as it likes; one that has answered none of
// kTcpProbeLimit probes in a row is gone, and the connection is reset (reported as the limit).
TcpRtxResult Probe(TcpControlBlock* b) {
    if (!NeedsPersist(b)) {
        TcpOutput(b);
        return TcpRtxResult::kContinue;
    }
    if (b->probesUnanswered >= kTcpProbeLimit) {
        TcpSendReset(b, b->sndNxt);
        return TcpRtxResult::kLimit;
    }
    TcpSendSegment(b, b->sndUna - 1, b->rcvNxt, kTcpAck, nullptr, 0, nullptr);
    ++b->probesUnanswered;
    b->persistShift = std::min(b->persistShift + 1, kTcpPersistMaxShift);
    TcpStartRtxTimer(b, PersistInterval(b));
    return TcpRtxResult::kContinue;
}

}  // namespace

// ---- Checksum and segment builder ----------------------------------------------------------

std::uint16_t TcpChecksum(const std::uint8_t* bytes, std::size_t length, std::uint32_t initial) {
    return OnesComplementSum(bytes, length, initial);
}

// The pseudo-header's 16-bit words (RFC 9293 3.1: both addresses, zero and the protocol, the
// TCP length) summed as numbers, which is what summing its bytes would give.
std::uint16_t TcpPseudoHeaderSum(std::uint32_t src, std::uint32_t dst, std::uint32_t tcpLength) {
    return FoldSum(std::uint64_t{src >> 16} + (src & 0xFFFF) + (dst >> 16) + (dst & 0xFFFF) +
                   kProtoTcp + (tcpLength & 0xFFFF));
}

void TcpSendSegment(TcpControlBlock* block, std::uint32_t seq, std::uint32_t ack,
                    std::uint16_t flags, const std::uint8_t* options, std::uint32_t optionsLength,
                    TcpRetransmitSlot* slot) {
    std::uint8_t local[kTcpMaxHeaderLen];
    optionsLength                  = Min(optionsLength, kTcpMaxOptionsLen);
    const std::uint32_t dataLength = slot != nullptr ? slot->length : 0U;
    // A data segment's header ends where its data starts, kTcpSlotHeadroom bytes into the slot.
    std::uint8_t* header = slot != nullptr
                               ? slot->data + (kTcpSlotHeadroom - (kTcpHeaderLen + optionsLength))
                               : static_cast<std::uint8_t*>(local);
    // Any segment that acknowledges everything received ends the wait of a delayed ACK.
    if ((flags & (kTcpAck | kTcpRst)) == kTcpAck && ack == block->rcvNxt) {
        block->rcvAcked = ack;
        TcpStopTimer(block->ackTimer);
    }
    Emit(header, block->remoteAddr, block->localPort, block->remotePort, seq, ack, flags,
         TcpOfferWindow(block), options, optionsLength, dataLength);
}

void TcpSendAck(TcpControlBlock* block) {
    TcpSendSegment(block, block->sndNxt, block->rcvNxt, kTcpAck, nullptr, 0, nullptr);
}

void TcpDelayAck(TcpControlBlock* block) {
    const auto segment = static_cast<std::uint32_t>(std::max(block->mss, 1));
    if (block->rcvNxt - block->rcvAcked >= kTcpAckEverySegments * segment) {
        TcpSendAck(block);
        return;
    }
    if (block->ackTimer == nullptr) {
        TcpStartAckTimer(block, kTcpDelayedAckMs);
    }
    TcpState().acksPending = true;
}

// Receiver-side silly-window avoidance (RFC 1122 4.2.3.3): the window offered is a whole number
// of segments, so that the peer fills it with full-sized ones and no runt (16384 bytes of room
// invite twelve segments of 1356). Only where at least kTcpWholeSegmentsMin fit, though: in a
// window of three, a lost segment is followed by two at most, too few for the three duplicate
// acknowledgments that start the peer's fast retransmit (RFC 5681 3.2; there is no SACK), and
// every loss would wait for the peer's timeout. Measured against a kernel sender with 2 % loss,
// rounding 4096 bytes down to three segments made a transfer 1.5 times slower. Room for less
// than one segment is offered only when it is at least half the buffer. The right edge offered
// before is kept even when the rounded room falls short of it (a receive pause shrinks the room
// as data is held).
std::uint16_t TcpOfferWindow(TcpControlBlock* block) {
    const std::uint32_t room   = block->rcvWnd;
    const auto segment         = static_cast<std::uint32_t>(std::max(block->mss, 1));
    const std::uint32_t buffer = block->reorder.capacity;
    std::uint32_t offer        = room - room % segment;
    if ((buffer < kTcpWholeSegmentsMin * segment && room >= segment) ||
        (room < segment && room >= buffer / 2)) {
        offer = room;
    }
    const std::uint32_t edge = block->rcvNxt + offer;
    if (SeqLt(edge, block->rcvAdvEdge)) {
        offer = block->rcvAdvEdge - block->rcvNxt;
    } else {
        block->rcvAdvEdge = edge;
    }
    return static_cast<std::uint16_t>(Min(offer, 0xFFFFU));
}

void TcpSendReset(TcpControlBlock* block, std::uint32_t seq) {
    TcpSendSegment(block, seq, 0, kTcpRst, nullptr, 0, nullptr);
}

void TcpSendSyn(TcpControlBlock* block, std::uint16_t flags, bool withMss) {
    const auto mss                              = static_cast<std::uint16_t>(block->mss);
    const std::uint8_t option[kTcpMssOptionLen] = {0x02, 0x04, static_cast<std::uint8_t>(mss >> 8),
                                                   static_cast<std::uint8_t>(mss)};
    const std::uint32_t ack                     = (flags & kTcpAck) != 0 ? block->rcvNxt : 0;
    TcpSendSegment(block, block->iss, ack, flags, withMss ? option : nullptr,
                   withMss ? kTcpMssOptionLen : 0, nullptr);
}

void TcpSendResetTo(std::uint32_t remoteAddr, std::uint16_t localPort, std::uint16_t remotePort,
                    std::uint32_t seq, std::uint32_t ack, std::uint16_t flags) {
    std::uint8_t header[kTcpHeaderLen];
    Emit(header, remoteAddr, localPort, remotePort, seq, ack, flags, 0, nullptr, 0, 0);
}

// ---- Send ring and retransmission queue ----------------------------------------------------

int TcpRingWrite(TcpSendRing& ring, const std::uint8_t* data, std::uint32_t length) {
    const auto room = static_cast<std::uint32_t>(ring.capacity - ring.count);
    if (room == 0) {
        return 0;
    }
    const std::uint32_t n     = Min(length, room);
    const auto capacity       = static_cast<std::uint32_t>(ring.capacity);
    const auto start          = static_cast<std::uint32_t>(ring.writeIndex);
    const std::uint32_t first = Min(n, capacity - start);
    std::memcpy(ring.buffer + start, data, first);
    std::memcpy(ring.buffer, data + first, n - first);
    ring.writeIndex = static_cast<int>((start + n) % capacity);
    ring.count += static_cast<int>(n);
    return static_cast<int>(n);
}

void TcpRingClear(TcpSendRing& ring) {
    ring.count      = 0;
    ring.readIndex  = 0;
    ring.writeIndex = 0;
}

void TcpRtxClear(TcpControlBlock* block) {
    block->rtxCount       = 0;
    block->rtxWriteIndex  = 0;
    block->rtxOldestIndex = 0;
}

bool TcpAllAcked(const TcpControlBlock* block) {
    return block->sendRing.count == 0 && block->rtxCount == 0 && block->finPending == 0;
}

// ---- Round-trip timing ------------------------------------------------------------------------

void TcpTimingReset(TcpControlBlock* block) {
    block->rto          = kTcpInitialRtoMs;
    block->srttScaled   = 0;
    block->rttvarScaled = 0;
    block->rttMeasured  = false;
    block->rttTiming    = false;
    block->dupAcks      = 0;
    block->holeResent   = false;
    block->recover      = block->iss;
    block->inRecovery   = false;
}

// A segment sent during a recovery is timed too: its acknowledgment may wait for a hole in
// front of it, which only overstates the round trip, and the backed-off rto needs a new sample
// to come down (RFC 6298 5.7).
void TcpTimeSegment(TcpControlBlock* block, std::uint32_t end) {
    if (block->rttTiming) {
        return;
    }
    block->rttTiming = true;
    block->rttSeq    = end;
    block->rttStart  = TcpState().config.getTickCount();
}

// ---- Output, retransmission, acknowledgments ------------------------------------------------

int TcpOutput(TcpControlBlock* block) {
    if (block->finPending != 0 && block->sendRing.count == 0 &&
        block->rtxCount < block->rtxCapacity) {
        SendFinAlone(block);
        return 1;
    }
    int sent               = 0;
    const bool idleAtStart = block->sndNxt == block->sndUna;
    const auto mss         = static_cast<std::uint32_t>(block->mss);
    while (block->rtxCount < block->rtxCapacity) {
        const std::uint32_t n =
            Min(Min(static_cast<std::uint32_t>(block->sendRing.count), UsableWindow(block)), mss);
        if (n == 0 || (n < mss && !ShortSegmentGoes(block, n, idleAtStart))) {
            break;
        }
        SendDataSegment(block, n);
        ++sent;
    }
    if (NeedsPersist(block) && block->rtxTimer == nullptr) {
        TcpStartRtxTimer(block, PersistInterval(block));
    }
    return sent;
}

// Sends the oldest queued segment (the one at sndUna) again, with the current acknowledgment
// number. Its acknowledgment is ambiguous now, and so is that of anything timed behind it: no
// sample until a segment sent afterwards is acknowledged (Karn's rule).
void TcpResendOldest(TcpControlBlock* b) {
    TcpRetransmitSlot& slot   = b->rtxSlots[b->rtxOldestIndex];
    const std::uint16_t flags = slot.fin != 0 ? kTcpAck | kTcpFin : kTcpAck;
    TcpSendSegment(b, slot.seq, b->rcvNxt, flags, nullptr, 0, slot.length > 0 ? &slot : nullptr);
    ++g_counters.tcpRetransmissions;
    b->rttTiming  = false;
    b->holeResent = true;
}

TcpRtxResult TcpRetransmit(TcpControlBlock* block) {
    if (block->rtxCount == 0) {
        return Probe(block);
    }
    ++g_counters.tcpTimeouts;
    ++block->retryCount;
    if (block->retryCount >= static_cast<int>(TcpState().config.maxRetransmits)) {
        TcpSendReset(block, block->sndNxt);
        return TcpRtxResult::kLimit;
    }
    TcpResendOldest(block);
    // After a timeout everything in flight is suspect, and TCP resends from sndUna on: here each
    // partial acknowledgment resends the next segment at once, so a flight lost whole, as in an
    // outage, comes back one round trip per segment rather than one timeout per segment.
    block->recover    = block->sndNxt;
    block->inRecovery = true;
    block->dupAcks    = 0;
    // RFC 6298 5.5: back off, bounded by rtoMax; the rto stays backed off until a sample
    // from a segment sent afterwards recomputes it.
    block->rto =
        static_cast<int>(Min(2 * static_cast<std::uint32_t>(block->rto), TcpState().config.rtoMax));
    TcpStartRtxTimer(block, static_cast<std::uint32_t>(block->rto));
    return TcpRtxResult::kContinue;
}

}  // namespace tarnet
