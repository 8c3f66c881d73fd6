// TCP internals shared by the layer's three files, the socket bridge and the tests: the control
// block, the send ring, the retransmission queue, the state handlers and the procedures between
// them. An arriving segment runs through tcp_input.cpp alone (check, lookup, state handler,
// segment procedure, acknowledgment processing, delivery, the state's follow-up). It calls out
// to tcp_output.cpp to send and to tcp.cpp for the pool, timers and notifications, and those
// return without coming back into input (only the user's own calls from inside a notification
// raise new events).
//
// Sequence numbers live in a 32-bit space that wraps; every comparison of two of them goes
// through the Seq* helpers below (RFC 9293 3.4), never through plain < or >.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "tarnet/tnlist.h"
#include "tcp.h"

// ---- Sizes and durations ------------------------------------------------------------------

inline constexpr int kTcpRtxSlots                  = TARNET_TCP_RTX_SLOTS;  // default ring
inline constexpr int kTcpRtxSlotsMax               = 64;  // with an opt-in larger ring
inline constexpr std::size_t kTcpSlotHeadroom      = 94;  // room for the header in front of data
inline constexpr std::uint32_t kTcpHeaderLen       = 20;
inline constexpr std::uint32_t kTcpMaxHeaderLen    = 60;
inline constexpr std::uint32_t kTcpMaxOptionsLen   = 40;
inline constexpr int kTcpDefaultMss                = 1356;
inline constexpr std::uint32_t kTcpMssOptionLen    = 4;
inline constexpr int kTcpHandshakeTries            = 3;
inline constexpr std::uint32_t kTcpHandshakeRtoMs  = 1000;
inline constexpr int kTcpInitialRtoMs              = 1000;
inline constexpr std::uint32_t kTcpAcceptWaitMs    = 1000;
inline constexpr std::uint32_t kTcpFinWait1LimitMs = 10000;
inline constexpr std::uint32_t kTcpFinWait2LimitMs = 5000;
inline constexpr std::uint32_t kTcpClosingLimitMs  = 5000;
// Zero-window probes back off from the current rto up to this interval (RFC 9293 3.8.6.1).
inline constexpr std::uint32_t kTcpPersistMaxMs = 60000;
inline constexpr int kTcpPersistMaxShift        = 9;  // 200 << 9 > 60000: the cap is always reached
// Zero-window probes in a row that get no answer at all before the connection is reset
// (RFC 1122 4.2.2.17 lets answered probes go on for as long as the window stays closed).
inline constexpr int kTcpProbeLimit = 8;
// LAST_ACK ends when no new acknowledgment arrives for this long: a peer that closed and then
// went silent (or keeps its window shut) must not hold the block forever.
inline constexpr std::uint32_t kTcpLastAckLimitMs = 30000;

// Retransmission timing. The lower bound of a measured rto keeps a delayed acknowledgment (up
// to 200 ms at a kernel peer) from being taken for a loss on a LAN whose round trip is a
// millisecond; G is the clock granularity of RFC 6298 (the tick counts milliseconds); the third
// duplicate acknowledgment triggers fast retransmit (RFC 5681 3.2).
inline constexpr std::uint32_t kTcpRtoFloorMs         = 200;
inline constexpr std::uint32_t kTcpClockGranularityMs = 1;
inline constexpr int kTcpDupAckThreshold              = 3;

// Holes in the received stream remembered at once (each with the data beyond it).
inline constexpr int kTcpReorderRanges = 4;

// Received data is acknowledged at least once per this many full-sized segments, at the end of
// the host's batch of frames, and never later than kTcpDelayedAckMs after it arrived (RFC 1122
// 4.2.3.2, RFC 5681 4.2).
inline constexpr std::uint32_t kTcpAckEverySegments = 2;
inline constexpr std::uint32_t kTcpDelayedAckMs     = 200;
// The window is offered in whole segments where at least this many fit: a lost one then still
// draws the duplicate acknowledgments that start the peer's fast retransmit.
inline constexpr std::uint32_t kTcpWholeSegmentsMin =
    static_cast<std::uint32_t>(kTcpDupAckThreshold) + 1;

// A retransmission slot's area: the header room and one segment of the largest size (we
// announce kTcpDefaultMss; the peer's MSS option only lowers it).
inline constexpr std::size_t kTcpSlotBytes = kTcpSlotHeadroom + kTcpDefaultMss;

static_assert(kTcpSlotHeadroom >= kTcpMaxHeaderLen, "a data segment's header goes in front of it");
static_assert(kTcpHeaderLen + kTcpMaxOptionsLen == kTcpMaxHeaderLen, "the data offset's range");
static_assert(kTcpSlotHeadroom + kTcpDefaultMss <= kTcpSlotBytes, "a full segment fits a slot");

// Control bits (byte 13 of the header).
inline constexpr std::uint16_t kTcpFin      = 0x01;
inline constexpr std::uint16_t kTcpSyn      = 0x02;
inline constexpr std::uint16_t kTcpRst      = 0x04;
inline constexpr std::uint16_t kTcpPsh      = 0x08;
inline constexpr std::uint16_t kTcpAck      = 0x10;
inline constexpr std::uint16_t kTcpUrg      = 0x20;
inline constexpr std::uint16_t kTcpFlagMask = 0x3F;

// Header field offsets.
namespace tcpfield {
inline constexpr std::size_t kSrcPort    = 0;
inline constexpr std::size_t kDstPort    = 2;
inline constexpr std::size_t kSeq        = 4;
inline constexpr std::size_t kAck        = 8;
inline constexpr std::size_t kDataOffset = 12;
inline constexpr std::size_t kFlags      = 13;
inline constexpr std::size_t kWindow     = 14;
inline constexpr std::size_t kChecksum   = 16;
inline constexpr std::size_t kUrgent     = 18;
}  // namespace tcpfield

// ---- Events -------------------------------------------------------------------------------

// What a state handler is called with. The names are visible unqualified, but an event is no
// integer: it converts to none and none converts to it.
enum class TcpEvent : std::uint8_t {
    TCP_EV_OPEN           = 0,
    TCP_EV_ACCEPT         = 1,  // argument: the new user context
    TCP_EV_CLOSE          = 2,
    TCP_EV_SEND           = 3,
    TCP_EV_SEGMENT        = 4,
    TCP_EV_RTX_TIMER      = 5,
    TCP_EV_STATE_TIMER    = 6,
    TCP_EV_FIN_WAIT_TIMER = 7,
};
using enum TcpEvent;
inline constexpr std::size_t kTcpEventCount = static_cast<std::size_t>(TCP_EV_FIN_WAIT_TIMER) + 1;

// ---- Records ------------------------------------------------------------------------------

struct TcpControlBlock;

// A state is the handler that receives the connection's events.
using TcpStateFn = void (*)(TcpControlBlock* block, TcpEvent event, std::uintptr_t argument);

struct TcpSendRing {
    int capacity;
    int count;
    int readIndex;
    int writeIndex;
    std::uint8_t* buffer;
};

struct TcpRetransmitSlot {
    std::uint8_t* data;    // kTcpSlotBytes; the segment's data starts kTcpSlotHeadroom bytes in
    std::uint16_t length;  // data length (0 for a FIN alone)
    std::uint32_t seq;     // sequence number of the first data byte (or the FIN)
    int fin;
};

// Data that arrived beyond a hole in the received stream, held until the bytes in front of it
// arrive (RFC 9293 3.10.7.4: segments with higher beginning sequence numbers may be held). A
// peer that is not told of the data beyond the hole (there is no SACK) goes on resending it
// after its retransmission timeout; a kernel that meanwhile sends new data behind the hole
// would find that dropped too, back off again and again, and never finish.
//
// While the user has paused receiving, the buffer also holds in-order data that was
// acknowledged but not yet delivered: rcvHeld bytes in front of rcvNxt, at the buffer's start.
// The byte with sequence number s lies at buffer[s - (rcvNxt - rcvHeld)]; the ranges are sorted,
// disjoint and not adjacent, and all lie inside the window.
struct TcpReorderRange {
    std::uint32_t seq;
    std::uint32_t length;
};

struct TcpReorderBuffer {
    std::uint8_t* buffer;    // rcvWindow bytes, with the block's other buffers
    std::uint32_t capacity;  // rcvWindow
    int rangeCount;
    TcpReorderRange ranges[kTcpReorderRanges];
    bool finHeld;          // the peer's FIN arrived beyond a hole
    std::uint32_t finSeq;  // the sequence number it occupies
};

struct TcpListener {
    std::uint16_t localPort;
    std::uint32_t remoteAddr;  // 0 = any
    std::uintptr_t userContext;
    TnTcpNotifyFn notifyFn;
};

// What the diagnostic hook has heard of a connection, so that its end is reported exactly once.
enum class TcpDiagPhase : std::uint8_t {
    kNone,
    kEstablished,  // established reported; the end is still due
    kEnded,
};

struct TcpControlBlock {
    TnListNode* poolNode;
    int retryCount;
    int rto;
    TnTimerHandle rtxTimer;
    TnTimerHandle stateTimer;
    TnTimerHandle finWaitTimer;
    // Runs while received data waits for its acknowledgment (the delayed ACK).
    TnTimerHandle ackTimer;
    std::uint16_t localPort;
    std::uint32_t remoteAddr;
    std::uint16_t remotePort;
    int mss;
    const std::uint8_t* segHeader;
    std::uint16_t segHeaderLen;
    const std::uint8_t* segPayload;
    int segPayloadLen;
    TcpSendRing sendRing;
    int rtxCount;
    int rtxWriteIndex;
    int rtxOldestIndex;
    // Segments sent and not yet acknowledged: kTcpRtxSlots, or one per full segment of a larger
    // opt-in send ring (up to kTcpRtxSlotsMax), so that such a ring can have its data in flight.
    TcpRetransmitSlot* rtxSlots;
    int rtxCapacity;
    TcpStateFn state;
    TnTcpNotifyFn notifyFn;
    std::uintptr_t userContext;
    // The socket layer's endpoint while the application holds the connection, for the
    // diagnostic hook; null for a user of TCP without the socket layer, or once it has gone.
    const TnSockEndpoint* endpoint;
    std::uint32_t sndUna;
    std::uint32_t sndNxt;
    std::uint16_t sndWnd;
    std::uint32_t sndWl1;
    std::uint32_t sndWl2;
    std::uint32_t rcvNxt;
    std::uint16_t rcvWnd;  // room to take data in: the window before rounding
    // rcvNxt as last acknowledged to the peer, and the right edge of the window last offered,
    // which never moves left (RFC 9293 3.8.6.2.2).
    std::uint32_t rcvAcked;
    std::uint32_t rcvAdvEdge;
    std::uint32_t iss;
    std::uint32_t segSeq;
    std::uint32_t segAck;
    std::uint16_t segWnd;
    std::uint16_t segFlags;
    int finPending;
    int closedByUser;
    // Bumped at every release, so that code which called out to the user can tell whether the
    // block was released (and possibly reused) meanwhile.
    std::uint32_t generation;
    // Zero-window probing: number of probes sent since the window was last open.
    int persistShift;
    // Opened by TnTcpConnect: the user is told when the connection is up, whichever way the
    // handshake completes.
    int activeOpen;
    // Set by the user (TnTcpSetNoDelay): the end of what was written goes out at once even while
    // earlier data is unacknowledged (no Nagle hold, RFC 896), for interactive use.
    bool noDelay;
    TcpReorderBuffer reorder;
    // Receive pause (TnTcpPauseReceive): arriving data is acknowledged and held, not delivered,
    // and the window offered shrinks by the bytes held (rcvWnd = capacity - rcvHeld), so that its
    // right edge stays where it was (RFC 9293 3.8.6.2.2) and closes to zero once the buffer is
    // full. The peer's FIN waits until no data is held.
    bool rcvPaused;
    std::uint32_t rcvHeld;
    // Blind attacks: the largest window the peer has offered on this connection, the range
    // below sndUna in which an acknowledgment is old but acceptable (RFC 5961 5.2).
    std::uint16_t maxSndWnd;
    // Peers and the diagnostic hook learn what happened: probe and LAST_ACK limits, the reports.
    int probesUnanswered;      // zero-window probes sent since the last acceptable ACK
    std::uint32_t lastAckUna;  // sndUna when LAST_ACK last made progress
    TcpDiagPhase diagPhase;    // what the diagnostic hook has been told
    int endReason;             // TNSOCK_TCP_END_... once reported, else 0
    // Retransmission timing
    // RFC 6298 estimator, kept scaled as integers: srtt in 1/8 ms, rttvar in 1/4 ms (so that
    // rttvarScaled is 4 * RTTVAR in ms). rttMeasured is false until the first sample.
    std::uint32_t srttScaled;
    std::uint32_t rttvarScaled;
    bool rttMeasured;
    // One segment at a time is timed: the acknowledgment of rttSeq ends the measurement that
    // started at tick rttStart. A retransmission cancels it (Karn's rule).
    bool rttTiming;
    std::uint32_t rttSeq;
    std::uint32_t rttStart;
    // Duplicate acknowledgments in a row (RFC 5681 3.2); holeResent: the oldest segment has been
    // resent since it became the oldest, so further duplicates resend nothing. inRecovery: a fast
    // retransmit or a timeout went out when sndNxt was `recover`; until sndUna reaches it, each
    // partial acknowledgment resends the next hole at once (RFC 6582).
    int dupAcks;
    bool holeResent;
    std::uint32_t recover;
    bool inRecovery;
};

// The layer's one instance.
struct TcpLayer {
    bool initialised;
    TnTcpConfig config;  // normalised
    TnList freeList;
    TnList activeList;
    TnList listenerList;
    // Some connection may hold received data whose acknowledgment waits for the end of the
    // host's batch (TnTcpFlushAcks): lets the end-of-batch call return at once when none does.
    bool acksPending;
    bool isnKeyed;               // false: the predictable test mode
    std::uint8_t isnSecret[16];  // key of the ISN hash (RFC 6528)
};

namespace tarnet {

TcpLayer& TcpState();

// ---- Sequence space (RFC 9293 3.4: comparisons modulo 2^32) ---------------------------------

constexpr bool SeqLt(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(a - b) < 0;
}
constexpr bool SeqLeq(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(a - b) <= 0;
}
constexpr bool SeqGt(std::uint32_t a, std::uint32_t b) {
    return SeqLt(b, a);
}
constexpr bool SeqGeq(std::uint32_t a, std::uint32_t b) {
    return SeqLeq(b, a);
}
// lo <= x < lo + size, in sequence space.
constexpr bool SeqInWindow(std::uint32_t x, std::uint32_t lo, std::uint32_t size) {
    return x - lo < size;
}

// ---- Layer, pool, timers, notifications, name tables (tcp.cpp) -----------------------------

// Names for logs, diagnostics and tests, from one table each: "ESTABLISHED", "TIME_WAIT", ...;
// "TCP_EV_SEGMENT", ...; "?" for anything else.
const char* TcpStateName(TcpStateFn state);
const char* TcpEventName(TcpEvent event);
bool TcpInState(const TcpControlBlock* block, std::initializer_list<TcpStateFn> states);

// Pool: takes the first free block into the active list (null when none is free); release
// stops the timers, empties both queues and appends the block to the end of the free list.
TcpControlBlock* TcpTakeBlock();
void TcpRelease(TcpControlBlock* block);
// Forgets the data held beyond holes (the buffer stays).
void TcpReorderClear(TcpReorderBuffer& reorder);
// The initial sequence number of a connection whose addresses and ports are set.
std::uint32_t TcpNewIss(const TcpControlBlock* block);

// Timers: starting one stops the one held in the same member first.
void TcpStartRtxTimer(TcpControlBlock* block, std::uint32_t ms);
void TcpStartStateTimer(TcpControlBlock* block, std::uint32_t ms);
void TcpStartFinWaitTimer(TcpControlBlock* block, std::uint32_t ms);
void TcpStartAckTimer(TcpControlBlock* block, std::uint32_t ms);
void TcpStopTimer(TnTimerHandle& handle);

// Diagnostics (the stack-wide hook): the connection reached ESTABLISHED; the connection ends
// with `reason` (TNSOCK_TCP_END_...). The end is reported once, before the release and before
// any CLOSED notification (so that the endpoint is still the user's); the callers decide which
// ends are reported: every end of an established connection, and handshakes refused or timed
// out.
void TcpReportEstablished(TcpControlBlock* block);
void TcpReportEnded(TcpControlBlock* block, int reason, std::uint32_t refusedBytes = 0,
                    bool unanswered = false);

// Calls the user's notification. Returns false when the block was released during the call
// (the caller must then leave it alone: it may already serve another connection).
bool TcpNotify(TcpControlBlock* block, int event, void* item = nullptr, std::uint32_t number = 0,
               std::uint32_t address = 0);

// ---- Output (tcp_output.cpp) ------------------------------------------------------------------

// Folded 16-bit ones'-complement sum (RFC 1071), not inverted.
std::uint16_t TcpChecksum(const std::uint8_t* bytes, std::size_t length, std::uint32_t initial);
std::uint16_t TcpPseudoHeaderSum(std::uint32_t src, std::uint32_t dst, std::uint32_t tcpLength);

// Builds one segment and hands it to IPv4. A data segment is sent from its retransmission slot
// (its `length` bytes, the header written into the slot's headroom in front of them); a segment
// without data (slot null) is built in a local buffer.
void TcpSendSegment(TcpControlBlock* block, std::uint32_t seq, std::uint32_t ack,
                    std::uint16_t flags, const std::uint8_t* options, std::uint32_t optionsLength,
                    TcpRetransmitSlot* slot);
void TcpSendAck(TcpControlBlock* block);
// Acknowledges received data now when enough is waiting (every second full-sized segment),
// otherwise leaves it to the end of the batch or the delayed-ACK timer.
void TcpDelayAck(TcpControlBlock* block);
// The window to offer in the next segment: the room rounded down to whole segments, but never
// left of the edge offered before (RFC 1122 4.2.3.3). Records the edge.
std::uint16_t TcpOfferWindow(TcpControlBlock* block);
void TcpSendReset(TcpControlBlock* block, std::uint32_t seq);
void TcpSendSyn(TcpControlBlock* block, std::uint16_t flags, bool withMss);
// A reset for a segment that has no control block: built from the segment's own addresses
// and ports (RFC 9293 3.10.7.1).
void TcpSendResetTo(std::uint32_t remoteAddr, std::uint16_t localPort, std::uint16_t remotePort,
                    std::uint32_t seq, std::uint32_t ack, std::uint16_t flags);

// Ring write: bytes taken (0 when full).
int TcpRingWrite(TcpSendRing& ring, const std::uint8_t* data, std::uint32_t length);
void TcpRingClear(TcpSendRing& ring);
void TcpRtxClear(TcpControlBlock* block);
// Nothing left to send or to be acknowledged: ring empty, queue empty, no FIN pending.
bool TcpAllAcked(const TcpControlBlock* block);

// Moves bytes (and a pending FIN) from the ring into segments. Returns the segments sent.
int TcpOutput(TcpControlBlock* block);

// Round-trip timing (RFC 6298). Reset: rto 1000 ms, no sample yet, nothing timed, no loss
// recovery; call when a connection opens. TimeSegment starts timing a segment sent for the first
// time whose acknowledgment is `end`, unless one is already timed (the acknowledgment processing
// takes the sample, TcpRttAcknowledged).
void TcpTimingReset(TcpControlBlock* block);
void TcpTimeSegment(TcpControlBlock* block, std::uint32_t end);
// Sends the oldest queued segment again (a timeout, a fast retransmit or a partial
// acknowledgment in a recovery).
void TcpResendOldest(TcpControlBlock* block);

enum class TcpRtxResult { kContinue, kLimit };
TcpRtxResult TcpRetransmit(TcpControlBlock* block);

// ---- Input: events, state handlers, segments, acknowledgments (tcp_input.cpp) ---------------

// Every event reaches the connection through its current state handler.
void TcpRaise(TcpControlBlock* block, TcpEvent event, std::uintptr_t argument = 0);

void TcpStateClosed(TcpControlBlock* block, TcpEvent event, std::uintptr_t argument);
void TcpStateSynSent(TcpControlBlock* block, TcpEvent event, std::uintptr_t argument);
void TcpStateAcceptPending(TcpControlBlock* block, TcpEvent event, std::uintptr_t argument);
void TcpStateSynReceived(TcpControlBlock* block, TcpEvent event, std::uintptr_t argument);
void TcpStateEstablished(TcpControlBlock* block, TcpEvent event, std::uintptr_t argument);
void TcpStateLastAck(TcpControlBlock* block, TcpEvent event, std::uintptr_t argument);
void TcpStateFinWait1(TcpControlBlock* block, TcpEvent event, std::uintptr_t argument);
void TcpStateFinWait2(TcpControlBlock* block, TcpEvent event, std::uintptr_t argument);
void TcpStateClosing(TcpControlBlock* block, TcpEvent event, std::uintptr_t argument);
void TcpStateTimeWait(TcpControlBlock* block, TcpEvent event, std::uintptr_t argument);

// Shared actions of the state table, also used by the operations: a reset at sndNxt and
// release; RST+ACK at sndNxt for a handshake in progress; RST+ACK refusing a waiting SYN, and
// release.
void TcpResetAndRelease(TcpControlBlock* block, int reason);
void TcpAbortHandshake(TcpControlBlock* block);
void TcpRefuseSyn(TcpControlBlock* block);

// Outcome of synchronized processing for the state handlers' follow-up.
enum class TcpSyncResult {
    kStopped,    // not completed, or the block was released
    kCompleted,  // processed; no FIN taken
    kFinTaken,   // processed, and the peer's FIN was in order and taken
};
// The follow-up of the synchronized states, chosen by the state the block is in after the
// segment was processed (a notification may have moved it).
void TcpAfterSynchronized(TcpControlBlock* block, TcpSyncResult result);
void TcpEnterTimeWait(TcpControlBlock* block);

// Ends a receive pause: delivers the data held (the user hears it during the call), offers the
// whole window again and takes a FIN that waited behind the data. TNTCP_NO_RESOURCE when the
// data could not be handed over (the pause then stays).
int TcpResumeReceive(TcpControlBlock* block);

bool TcpAcceptable(TcpControlBlock* block);
void TcpReadMssOption(TcpControlBlock* block, const std::uint8_t* options, std::size_t length);
void TcpListenerSyn(TcpControlBlock* block);
void TcpSynSentSegment(TcpControlBlock* block);
TcpSyncResult TcpSynReceivedSegment(TcpControlBlock* block);
TcpSyncResult TcpSynchronizedSegment(TcpControlBlock* block);
void TcpClosingSegment(TcpControlBlock* block);
void TcpTimeWaitSegment(TcpControlBlock* block);

// Takes the round-trip sample once sndUna has reached the timed segment.
void TcpRttAcknowledged(TcpControlBlock* block);
enum class TcpAckResult { kAccepted, kDropped };
TcpAckResult TcpProcessAck(TcpControlBlock* block);

}  // namespace tarnet
