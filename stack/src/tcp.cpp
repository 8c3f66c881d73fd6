// TCP layer: the configuration, the pool of control blocks with its free and active lists, the
// listener list, the per-connection timers, notifications and diagnostic reports, the name
// tables, and the operations the socket layer calls. The state handlers are in tcp_input.cpp.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "counters.h"
#include "diag.h"
#include "siphash.h"
#include "tarnet/byteorder.h"
#include "tcp_internal.h"

namespace tarnet {

namespace {

TcpLayer g_tcp;
// Counts shutdowns. TcpNotify compares it so that a user who shuts the layer down from inside a
// notification (freeing every block) is noticed without touching the freed block.
std::uint32_t g_epoch = 0;

constexpr std::uint32_t kDefaultRcvWindow    = TARNET_TCP_WINDOW;
constexpr std::uint32_t kMinRcvWindow        = 2048;
constexpr std::uint32_t kMaxRcvWindow        = 32768;
constexpr std::uint32_t kMinRto              = 50;
constexpr std::uint32_t kMaxRto              = 2000;
constexpr std::uint32_t kDefaultRetransmits  = 5;
constexpr std::uint32_t kMaxRetransmitsLimit = 10;
constexpr std::uint32_t kDefaultReservedMs   = 10000;
constexpr std::uint32_t kMinReservedMs       = 5000;
constexpr std::uint32_t kMaxReservedMs       = 60000;
constexpr std::uint32_t kDefaultReservedTry  = 3;
constexpr std::uint32_t kDefaultTimeWaitMs   = 5000;
constexpr std::uint32_t kDefaultRingSize     = 2048;
constexpr std::uint32_t kMaxRingSize         = 65535;  // the ring size is a 16-bit quantity
constexpr std::size_t kMaxAbortBlocks        = 64;     // more than any pool the stack sets up

// ---- Configuration ------------------------------------------------------------------------

constexpr std::uint32_t Clamp(std::uint32_t v, std::uint32_t lo, std::uint32_t hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}

constexpr std::uint32_t ZeroOr(std::uint32_t v, std::uint32_t dflt, std::uint32_t lo,
                               std::uint32_t hi) {
    return v == 0 ? dflt : Clamp(v, lo, hi);
}

TnTcpConfig Normalise(const TnTcpConfig& in) {
    TnTcpConfig c    = in;
    c.rcvWindow      = ZeroOr(in.rcvWindow, kDefaultRcvWindow, kMinRcvWindow, kMaxRcvWindow);
    c.rtoMax         = Clamp(in.rtoMax, kMinRto, kMaxRto);
    c.rtoFloor       = Clamp(in.rtoFloor, kMinRto, kMaxRto);
    c.maxRetransmits = ZeroOr(in.maxRetransmits, kDefaultRetransmits, 1, kMaxRetransmitsLimit);
    c.reservedTimeout =
        ZeroOr(in.reservedTimeout, kDefaultReservedMs, kMinReservedMs, kMaxReservedMs);
    c.reservedRetries = ZeroOr(in.reservedRetries, kDefaultReservedTry, 1, kMaxRetransmitsLimit);
    c.timeWaitMs      = in.timeWaitMs == 0 ? kDefaultTimeWaitMs : in.timeWaitMs;
    c.sendRingSize =
        in.sendRingSize == 0 ? kDefaultRingSize : std::min(in.sendRingSize, kMaxRingSize);
    return c;
}

bool ConfigComplete(const TnTcpConfig* c) {
    return c != nullptr && c->maxConnections > 0 && c->timerStart != nullptr &&
           c->timerStop != nullptr && c->getTickCount != nullptr && c->rxAlloc != nullptr &&
           c->logText != nullptr;
}

// ---- Pool ---------------------------------------------------------------------------------

TcpControlBlock* BlockOf(TnListNode* node) {
    return static_cast<TcpControlBlock*>(node->payload);
}

bool InList(const TnList& list, const TcpControlBlock* block) {
    for (TnListNode* n = list.first; n != nullptr; n = n->next) {
        if (BlockOf(n) == block) {
            return true;
        }
    }
    return false;
}

// A handle the user gave us is one of the pool's blocks.
bool IsOurBlock(const TcpControlBlock* block) {
    return InList(g_tcp.activeList, block) || InList(g_tcp.freeList, block);
}

// The default ring never has more than a few segments in flight and keeps the fixed ten slots; a
// larger ring gets one slot per full segment it holds, plus one for a remainder or the FIN.
int RetransmitSlotsFor(std::uint32_t sendRingSize) {
    const auto segments =
        static_cast<int>(sendRingSize / static_cast<std::uint32_t>(kTcpDefaultMss));
    return std::clamp(segments + 2, kTcpRtxSlots, kTcpRtxSlotsMax);
}

// A block's send ring, reorder buffer and retransmission slots, in one allocation: the slot
// records first (for their alignment), then the slots' areas, the ring and the reorder buffer.
bool AllocBuffers(TcpControlBlock* b) {
    const auto slots           = static_cast<std::size_t>(b->rtxCapacity);
    const std::size_t records  = slots * sizeof(TcpRetransmitSlot);
    const std::size_t ringSize = static_cast<std::size_t>(b->sendRing.capacity);
    void* area = std::calloc(1, records + slots * kTcpSlotBytes + ringSize + b->reorder.capacity);
    if (area == nullptr) {
        return false;
    }
    b->rtxSlots     = static_cast<TcpRetransmitSlot*>(area);
    std::uint8_t* p = static_cast<std::uint8_t*>(area) + records;
    for (std::size_t i = 0; i < slots; ++i, p += kTcpSlotBytes) {
        b->rtxSlots[i].data = p;
    }
    b->sendRing.buffer = p;
    b->reorder.buffer  = p + ringSize;
    return true;
}

void FreeBuffers(TcpControlBlock* b) {
    std::free(b->rtxSlots);
    b->rtxSlots        = nullptr;
    b->sendRing.buffer = nullptr;
    b->reorder.buffer  = nullptr;
}

// With TARNET_TCP_BUFFERS_ON_OPEN a block holds its buffers only while a connection uses it.
constexpr bool kBuffersOnOpen = TARNET_TCP_BUFFERS_ON_OPEN != 0;

bool AddPoolBlock() {
    static const TcpControlBlock kZeroBlock{};
    TnListNode* node = TnListAppendCopy(&g_tcp.freeList, &kZeroBlock, sizeof kZeroBlock);
    if (node == nullptr) {
        return false;
    }
    TcpControlBlock* block   = BlockOf(node);
    block->poolNode          = node;
    block->state             = TcpStateClosed;
    block->sendRing.capacity = static_cast<int>(g_tcp.config.sendRingSize);
    block->reorder.capacity  = g_tcp.config.rcvWindow;
    block->rtxCapacity       = RetransmitSlotsFor(g_tcp.config.sendRingSize);
    return kBuffersOnOpen || AllocBuffers(block);
}

void FreeRings(const TnList& list) {
    for (TnListNode* n = list.first; n != nullptr; n = n->next) {
        FreeBuffers(BlockOf(n));
    }
}

void StopAllTimers(TcpControlBlock* b) {
    TcpStopTimer(b->stateTimer);
    b->retryCount = 0;
    TcpStopTimer(b->rtxTimer);
    TcpStopTimer(b->finWaitTimer);
    TcpStopTimer(b->ackTimer);
}

// ---- Timers -------------------------------------------------------------------------------

TcpControlBlock* FromContext(std::uintptr_t context) {
    return reinterpret_cast<TcpControlBlock*>(context);
}

// A handle is invalid once its handler has run, so each expiry clears its member before the
// event can start the timer again.
void RtxExpired(std::uintptr_t context) {
    if (TcpControlBlock* b = FromContext(context)) {
        b->rtxTimer = nullptr;
        TcpRaise(b, TCP_EV_RTX_TIMER);
    }
}

void StateExpired(std::uintptr_t context) {
    if (TcpControlBlock* b = FromContext(context)) {
        b->stateTimer = nullptr;
        TcpRaise(b, TCP_EV_STATE_TIMER);
    }
}

void FinWaitExpired(std::uintptr_t context) {
    if (TcpControlBlock* b = FromContext(context)) {
        b->finWaitTimer = nullptr;
        TcpRaise(b, TCP_EV_FIN_WAIT_TIMER);
    }
}

// The delayed acknowledgment is due: whatever arrived since the last ACK is acknowledged now,
// whether or not the host ever ended its batch.
void AckExpired(std::uintptr_t context) {
    if (TcpControlBlock* b = FromContext(context)) {
        b->ackTimer = nullptr;
        if (b->state != TcpStateClosed && b->rcvAcked != b->rcvNxt) {
            TcpSendAck(b);
        }
    }
}

void StartTimer(TnTimerHandle& handle, TcpControlBlock* b, std::uint32_t ms,
                TnTimerHandlerFn expiry) {
    TcpStopTimer(handle);
    handle = g_tcp.config.timerStart(ms, reinterpret_cast<std::uintptr_t>(b), expiry);
}

TnSockDiagnostic ConnectionRecord(const TcpControlBlock* b, int kind) {
    TnSockDiagnostic d = DiagRecord(kind);
    d.endpoint         = b->endpoint;
    d.localAddress     = g_tcp.config.localAddr;
    d.localPort        = b->localPort;
    d.remoteAddress    = b->remoteAddr;
    d.remotePort       = b->remotePort;
    d.active           = b->activeOpen != 0 ? 1 : 0;
    d.initialSequence  = b->iss;
    return d;
}

struct StateName {
    TcpStateFn state;
    const char* name;
};

constexpr StateName kStateNames[] = {
    {TcpStateClosed,        "CLOSED"        },
    {TcpStateSynSent,       "SYN_SENT"      },
    {TcpStateAcceptPending, "ACCEPT_PENDING"},
    {TcpStateSynReceived,   "SYN_RECEIVED"  },
    {TcpStateEstablished,   "ESTABLISHED"   },
    {TcpStateLastAck,       "LAST_ACK"      },
    {TcpStateFinWait1,      "FIN_WAIT_1"    },
    {TcpStateFinWait2,      "FIN_WAIT_2"    },
    {TcpStateClosing,       "CLOSING"       },
    {TcpStateTimeWait,      "TIME_WAIT"     },
};

// Indexed by the event's value.
constexpr const char* kEventNames[] = {
    "TCP_EV_OPEN",    "TCP_EV_ACCEPT",    "TCP_EV_CLOSE",       "TCP_EV_SEND",
    "TCP_EV_SEGMENT", "TCP_EV_RTX_TIMER", "TCP_EV_STATE_TIMER", "TCP_EV_FIN_WAIT_TIMER",
};
static_assert(std::size(kEventNames) == kTcpEventCount, "one name per event");

}  // namespace

// ---- Internal interface -------------------------------------------------------------------

TcpLayer& TcpState() {
    return g_tcp;
}

const char* TcpEventName(TcpEvent event) {
    const auto i = static_cast<std::size_t>(event);
    return i < std::size(kEventNames) ? kEventNames[i] : "?";
}

const char* TcpStateName(TcpStateFn state) {
    for (const StateName& s : kStateNames) {
        if (s.state == state) {
            return s.name;
        }
    }
    return "?";
}

bool TcpInState(const TcpControlBlock* block, std::initializer_list<TcpStateFn> states) {
    return std::find(states.begin(), states.end(), block->state) != states.end();
}

TcpControlBlock* TcpTakeBlock() {
    TnListNode* node = g_tcp.freeList.first;
    if (node == nullptr || (kBuffersOnOpen && !AllocBuffers(BlockOf(node)))) {
        return nullptr;
    }
    TnListPopFront(&g_tcp.freeList);
    TnListAppendNode(&g_tcp.activeList, node);
    TcpControlBlock* b = BlockOf(node);
    TcpRingClear(b->sendRing);
    TcpRtxClear(b);
    TcpReorderClear(b->reorder);
    b->state            = TcpStateClosed;
    b->mss              = kTcpDefaultMss;
    b->persistShift     = 0;
    b->activeOpen       = 0;
    b->sndWnd           = 0;
    b->maxSndWnd        = 0;
    b->probesUnanswered = 0;
    b->diagPhase        = TcpDiagPhase::kNone;
    b->endReason        = 0;
    b->rcvPaused        = false;
    b->rcvHeld          = 0;
    b->rcvAcked         = b->rcvNxt;  // no window offered yet: nothing to keep
    b->rcvAdvEdge       = b->rcvNxt;
    b->noDelay          = false;
    b->endpoint         = nullptr;
    return b;
}

void TcpRelease(TcpControlBlock* block) {
    StopAllTimers(block);
    TcpRingClear(block->sendRing);
    TcpRtxClear(block);
    TcpReorderClear(block->reorder);
    block->rcvPaused = false;
    block->rcvHeld   = 0;
    block->state     = TcpStateClosed;
    ++block->generation;
    TnListUnlink(&g_tcp.activeList, block->poolNode);
    TnListAppendNode(&g_tcp.freeList, block->poolNode);
    if (kBuffersOnOpen) {
        FreeBuffers(block);
    }
}

void TcpReorderClear(TcpReorderBuffer& reorder) {
    reorder.rangeCount = 0;
    reorder.finHeld    = false;
}

static_assert(sizeof(TcpLayer::isnSecret) == kSipHashKeyLen, "the secret is the hash's key");

// RFC 6528: ISN = M + F(localip, localport, remoteip, remoteport, secretkey). M is the clock
// term (256 per millisecond, so a connection's successive incarnations move forward), F a keyed
// hash of the four-tuple: without the secret, one connection's ISN says nothing about another's.
std::uint32_t TcpNewIss(const TcpControlBlock* block) {
    const std::uint32_t clock = (g_tcp.config.getTickCount() << 8) + g_tcp.config.isnSeed;
    if (!g_tcp.isnKeyed) {
        return clock;
    }
    std::uint8_t tuple[12];
    TnWrite32(tuple, g_tcp.config.localAddr);
    TnWrite16(tuple + 4, block->localPort);
    TnWrite32(tuple + 6, block->remoteAddr);
    TnWrite16(tuple + 10, block->remotePort);
    return clock + static_cast<std::uint32_t>(SipHash24(g_tcp.isnSecret, tuple, sizeof tuple));
}

void TcpStopTimer(TnTimerHandle& handle) {
    if (handle != nullptr) {
        g_tcp.config.timerStop(handle);
        handle = nullptr;
    }
}

void TcpStartRtxTimer(TcpControlBlock* block, std::uint32_t ms) {
    StartTimer(block->rtxTimer, block, ms, RtxExpired);
}

void TcpStartStateTimer(TcpControlBlock* block, std::uint32_t ms) {
    StartTimer(block->stateTimer, block, ms, StateExpired);
}

void TcpStartFinWaitTimer(TcpControlBlock* block, std::uint32_t ms) {
    StartTimer(block->finWaitTimer, block, ms, FinWaitExpired);
}

void TcpStartAckTimer(TcpControlBlock* block, std::uint32_t ms) {
    StartTimer(block->ackTimer, block, ms, AckExpired);
}

bool TcpNotify(TcpControlBlock* block, int event, void* item, std::uint32_t number,
               std::uint32_t address) {
    const std::uint32_t epoch      = g_epoch;
    const std::uint32_t generation = block->generation;
    if (block->notifyFn != nullptr) {
        block->notifyFn(block->userContext, event, item, number, address);
    }
    // The user may have closed the connection, or shut the whole layer down, meanwhile.
    return epoch == g_epoch && block->generation == generation;
}

void TcpReportEstablished(TcpControlBlock* block) {
    block->diagPhase = TcpDiagPhase::kEstablished;
    DiagEmit(ConnectionRecord(block, TNSOCK_DIAG_TCP_ESTABLISHED));
}

void TcpReportEnded(TcpControlBlock* block, int reason, std::uint32_t refusedBytes,
                    bool unanswered) {
    if (block->diagPhase == TcpDiagPhase::kEnded) {
        return;
    }
    block->diagPhase   = TcpDiagPhase::kEnded;
    block->endReason   = reason;
    TnSockDiagnostic d = ConnectionRecord(block, TNSOCK_DIAG_TCP_ENDED);
    d.reason           = reason;
    d.refusedBytes     = refusedBytes;
    d.unanswered       = unanswered ? 1 : 0;
    DiagEmit(d);
}

void TcpForgetUser(TcpControlBlock* block) {
    if (block != nullptr) {
        block->notifyFn    = nullptr;
        block->userContext = 0;
        block->endpoint    = nullptr;
    }
}

}  // namespace tarnet

// ---- Operations offered to the socket layer -----------------------------------------------

using namespace tarnet;

int TnTcpInit(const TnTcpConfig* config) {
    if (g_tcp.initialised) {
        return TNTCP_ALREADY_INITIALIZED;
    }
    if (!ConfigComplete(config)) {
        return TNTCP_BAD_PARAMETER;
    }
    g_tcp        = TcpLayer{};
    g_tcp.config = Normalise(*config);
    TnListInit(&g_tcp.freeList);
    TnListInit(&g_tcp.activeList);
    TnListInit(&g_tcp.listenerList);
    for (int i = 0; i < g_tcp.config.maxConnections; ++i) {
        if (!AddPoolBlock()) {
            TnTcpDeinit();
            return TNTCP_INIT_FAILED;
        }
    }
    g_tcp.initialised = true;
    return TNTCP_SUCCESS;
}

std::uint32_t TnTcpHoldings() {
    std::uint32_t held = 0;
    for (const TnList* list : {&g_tcp.freeList, &g_tcp.activeList, &g_tcp.listenerList}) {
        for (const TnListNode* n = list->first; n != nullptr; n = n->next) {
            ++held;
        }
    }
    return held;
}

void TnTcpDeinit() {
    FreeRings(g_tcp.freeList);
    for (TnListNode* n = g_tcp.activeList.first; n != nullptr; n = n->next) {
        TcpControlBlock* b = BlockOf(n);
        // A connection in TIME_WAIT is complete on both ends: it goes without a reset.
        const bool complete = b->state == TcpStateTimeWait;
        if (b->diagPhase == TcpDiagPhase::kEstablished) {
            TcpReportEnded(b, complete ? TNSOCK_TCP_END_CLOSED : TNSOCK_TCP_END_ABORTED);
        }
        if (!complete) {
            TcpSendReset(b, b->sndNxt);
        }
        TcpRtxClear(b);
        StopAllTimers(b);
    }
    FreeRings(g_tcp.activeList);
    TnListFreeAll(&g_tcp.freeList);
    TnListFreeAll(&g_tcp.activeList);
    TnListFreeAll(&g_tcp.listenerList);
    g_tcp.initialised = false;
    ++g_epoch;
}

// Resets one connection for TnTcpAbortAll, in the form its state calls for, and tells a user
// who is still attached.
void AbortOne(TcpControlBlock* b) {
    if (b->state == TcpStateAcceptPending) {
        TcpRefuseSyn(b);  // the user has not seen it yet
        return;
    }
    if (b->state == TcpStateSynSent) {
        // Nothing reached the peer that a reset would have to end.
    } else if (b->state == TcpStateSynReceived) {
        TcpAbortHandshake(b);
    } else {
        if (b->diagPhase == TcpDiagPhase::kEstablished) {
            TcpReportEnded(b, TNSOCK_TCP_END_ABORTED);
        }
        TcpSendReset(b, b->sndNxt);
    }
    if (b->closedByUser == 0 && !TcpNotify(b, TNTCP_NOTIFY_CLOSED)) {
        return;  // the user released or reused it meanwhile
    }
    TcpRelease(b);
}

void TnTcpAbortAll() {
    if (!g_tcp.initialised) {
        return;
    }
    // A user told of the end may open new connections from its notification: only the blocks
    // active now are aborted, each only while it still serves the connection it served.
    struct Taken {
        TcpControlBlock* block;
        std::uint32_t generation;
    };
    Taken taken[kMaxAbortBlocks];
    std::size_t count = 0;
    for (TnListNode* n = g_tcp.activeList.first; n != nullptr && count < kMaxAbortBlocks;
         n             = n->next) {
        if (BlockOf(n)->state != TcpStateTimeWait) {
            taken[count++] = {BlockOf(n), BlockOf(n)->generation};
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        TcpControlBlock* b = taken[i].block;
        if (b->generation == taken[i].generation && b->state != TcpStateClosed &&
            InList(g_tcp.activeList, b)) {
            AbortOne(b);
        }
    }
}

void TnTcpSetLocalAddress(const std::uint32_t* address) {
    if (address != nullptr) {
        g_tcp.config.localAddr = *address;
    }
}

void TnTcpSetIsnSecret(const std::uint8_t* secret) {
    g_tcp.isnKeyed = secret != nullptr;
    if (secret != nullptr) {
        std::memcpy(g_tcp.isnSecret, secret, sizeof g_tcp.isnSecret);
    }
}

bool TnTcpPortInUse(std::uint16_t localPort) {
    for (TnListNode* n = g_tcp.activeList.first; n != nullptr; n = n->next) {
        if (BlockOf(n)->localPort == localPort) {
            return true;
        }
    }
    for (TnListNode* n = g_tcp.listenerList.first; n != nullptr; n = n->next) {
        if (static_cast<const TcpListener*>(n->payload)->localPort == localPort) {
            return true;
        }
    }
    return false;
}

int TnTcpConnect(std::uintptr_t userContext, std::uint32_t remoteAddr, std::uint16_t localPort,
                 std::uint16_t remotePort, TnTcpNotifyFn notify, TcpControlBlock** out) {
    if (!g_tcp.initialised) {
        return TNTCP_NOT_INITIALIZED;
    }
    if (notify == nullptr || out == nullptr) {
        return TNTCP_BAD_PARAMETER;
    }
    TcpControlBlock* b = TcpTakeBlock();
    if (b == nullptr) {
        return TNTCP_NO_RESOURCE;
    }
    b->localPort    = localPort;
    b->remoteAddr   = remoteAddr;
    b->remotePort   = remotePort;
    b->userContext  = userContext;
    b->notifyFn     = notify;
    b->closedByUser = 0;
    b->activeOpen   = 1;
    *out            = b;
    TcpRaise(b, TCP_EV_OPEN);
    return TNTCP_SUCCESS;
}

int TnTcpListen(std::uintptr_t userContext, std::uint16_t localPort, std::uint32_t remoteAddr,
                TnTcpNotifyFn notify, TnListNode** out) {
    if (!g_tcp.initialised) {
        return TNTCP_NOT_INITIALIZED;
    }
    if (out == nullptr) {
        return TNTCP_BAD_PARAMETER;
    }
    const TcpListener listener{localPort, remoteAddr, userContext, notify};
    TnListNode* node = TnListAppendCopy(&g_tcp.listenerList, &listener, sizeof listener);
    if (node == nullptr) {
        return TNTCP_NO_RESOURCE;
    }
    *out = node;
    return TNTCP_SUCCESS;
}

int TnTcpUnlisten(TnListNode* handle) {
    if (!g_tcp.initialised) {
        return TNTCP_NOT_INITIALIZED;
    }
    // Only a node of the listener list may be removed from it.
    TnListNode* n = g_tcp.listenerList.first;
    while (n != nullptr && n != handle) {
        n = n->next;
    }
    if (handle == nullptr || n == nullptr) {
        return TNTCP_BAD_PARAMETER;
    }
    TnListRemove(&g_tcp.listenerList, handle);
    return TNTCP_SUCCESS;
}

void TnTcpSetEndpoint(TcpControlBlock* block, const TnSockEndpoint* endpoint) {
    if (block != nullptr) {
        block->endpoint = endpoint;
    }
}

int TnTcpAccept(TcpControlBlock* block, std::uintptr_t userContext) {
    if (!g_tcp.initialised) {
        return TNTCP_NOT_INITIALIZED;
    }
    if (block == nullptr || !IsOurBlock(block)) {
        return TNTCP_BAD_PARAMETER;
    }
    TcpRaise(block, TCP_EV_ACCEPT, userContext);
    return TNTCP_SUCCESS;
}

int TnTcpSend(TcpControlBlock* block, const std::uint8_t* data, std::uint32_t length,
              std::uint32_t* outCount) {
    if (!g_tcp.initialised) {
        return TNTCP_NOT_INITIALIZED;
    }
    if (data == nullptr || outCount == nullptr || length == 0 || block == nullptr ||
        !IsOurBlock(block)) {
        return TNTCP_BAD_PARAMETER;
    }
    if (!TcpInState(block, {TcpStateEstablished, TcpStateAcceptPending, TcpStateSynReceived})) {
        return TNTCP_WRONG_STATE;
    }
    const int taken = TcpRingWrite(block->sendRing, data, length);
    if (taken == 0) {
        return TNTCP_SEND_BUFFER_FULL;
    }
    *outCount = static_cast<std::uint32_t>(taken);
    TcpRaise(block, TCP_EV_SEND);
    return TNTCP_SUCCESS;
}

int TnTcpClose(TcpControlBlock* block) {
    if (!g_tcp.initialised) {
        return TNTCP_NOT_INITIALIZED;
    }
    if (block == nullptr || !IsOurBlock(block)) {
        return TNTCP_BAD_PARAMETER;
    }
    block->closedByUser = 1;
    // Closing with acknowledged data that the user never took: a FIN would let the peer believe
    // it was delivered; a reset tells it the data was lost (RFC 1122 4.2.2.13).
    if (block->rcvHeld > 0 && block->state == TcpStateEstablished) {
        TcpResetAndRelease(block, TNSOCK_TCP_END_ABORTED);
        return TNTCP_SUCCESS;
    }
    TcpRaise(block, TCP_EV_CLOSE);
    return TNTCP_SUCCESS;
}

int TnTcpAbort(TcpControlBlock* block) {
    if (!g_tcp.initialised) {
        return TNTCP_NOT_INITIALIZED;
    }
    if (block == nullptr || !IsOurBlock(block)) {
        return TNTCP_BAD_PARAMETER;
    }
    block->closedByUser = 1;
    // Only a synchronized connection has a peer that a reset must reach; before that (and after
    // our FIN was acknowledged on both sides) the ordinary close is the right end.
    const TcpStateFn state = block->state;
    if (state == TcpStateEstablished || state == TcpStateFinWait1 || state == TcpStateFinWait2) {
        TcpResetAndRelease(block, TNSOCK_TCP_END_ABORTED);
        return TNTCP_SUCCESS;
    }
    TcpRaise(block, TCP_EV_CLOSE);
    return TNTCP_SUCCESS;
}

int TnTcpEndReason(const TcpControlBlock* block) {
    return block != nullptr ? block->endReason : 0;
}

int TnTcpPauseReceive(TcpControlBlock* block, int on) {
    if (!g_tcp.initialised) {
        return TNTCP_NOT_INITIALIZED;
    }
    if (block == nullptr || !IsOurBlock(block)) {
        return TNTCP_BAD_PARAMETER;
    }
    if (block->state == TcpStateClosed || block->closedByUser != 0 || block->notifyFn == nullptr) {
        return TNTCP_WRONG_STATE;
    }
    if (on != 0) {
        block->rcvPaused = true;
        return TNTCP_SUCCESS;
    }
    return block->rcvPaused ? TcpResumeReceive(block) : TNTCP_SUCCESS;
}

void TnTcpFlushAcks() {
    if (!g_tcp.initialised || !g_tcp.acksPending) {
        return;
    }
    g_tcp.acksPending = false;
    for (TnListNode* n = g_tcp.activeList.first; n != nullptr; n = n->next) {
        TcpControlBlock* b = BlockOf(n);
        if (b->ackTimer != nullptr) {
            TcpSendAck(b);  // stops the timer
        }
    }
}

int TnTcpSetNoDelay(TcpControlBlock* block, int on) {
    if (!g_tcp.initialised) {
        return TNTCP_NOT_INITIALIZED;
    }
    if (block == nullptr || !IsOurBlock(block)) {
        return TNTCP_BAD_PARAMETER;
    }
    if (block->state == TcpStateClosed) {
        return TNTCP_WRONG_STATE;
    }
    block->noDelay = on != 0;
    if (block->noDelay && TcpInState(block, {TcpStateEstablished})) {
        TcpOutput(block);  // what Nagle held goes now
    }
    return TNTCP_SUCCESS;
}
