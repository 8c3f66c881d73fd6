// DHCP client: the RFC 2131 message flow (DISCOVER, OFFER, REQUEST, ACK/NAK, DECLINE, RELEASE)
// with the RFC 2132 options for address, mask, router, DNS server and lease times.
//
// One instance, driven by events: start and stop, replies on UDP port 68, four host timers and
// the ARP layer's report of a conflict. Each state is a handler function; the client keeps a
// reference to the current one and a transition replaces it.
//
// Once a lease has been held the client never gives up: a lost lease or a refusal sends it back
// to INIT for a new DISCOVER, for as long as the stack runs. Only the first acquisition ends
// when its retransmissions run out.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "arp.h"
#include "byte_view.h"
#include "counters.h"
#include "dhcp_internal.h"
#include "socket.h"
#include "tarnet/byteorder.h"
#include "tarnet/tndhcp.h"

namespace tarnet::dhcp {

namespace {

// Events; the timer events double as the timers' user values.
enum class Event : int {
    kStart      = 0,
    kOffer      = 1,
    kAck        = 2,
    kNak        = 3,
    kStop       = 4,
    kRetransmit = 5,
    kT1         = 6,
    kT2         = 7,
    kLeaseEnd   = 8,
    kConflict   = 9,  // another station answered the ARP probe
};

// Timer slots, one per timer event in the same order. The retransmission slot also times the
// ARP probe and the wait before a new DISCOVER.
enum class TimerSlot : int { kRetransmit = 0, kT1, kT2, kLease };
constexpr int kTimerCount = 4;

// The event a slot's timer delivers, which is also the timer's user value.
constexpr Event TimerEvent(TimerSlot slot) {
    return static_cast<Event>(static_cast<int>(Event::kRetransmit) + static_cast<int>(slot));
}
static_assert(TimerEvent(TimerSlot::kLease) == Event::kLeaseEnd);

constexpr std::size_t kBufferSize      = TARNET_DHCP_MESSAGE_BUFFER;
constexpr std::uint32_t kFirstInterval = 4;  // seconds (RFC 2131 §4.1)
constexpr std::uint32_t kLastInterval  = 64;
// RFC 2131 §4.4.5: a renewal is repeated after half the time left, but not sooner than 60 s.
constexpr std::uint32_t kMinRenewalGapMs = 60'000;
// How long an acknowledged address is watched for another owner before it is used. Shorter than
// RFC 5227's probing, so start-up stays fast; one answer is enough to decline.
constexpr std::uint32_t kProbeWaitMs = 500;
// RFC 2131 §3.1 step 5: after a DECLINE wait at least ten seconds before asking again.
constexpr std::uint32_t kDeclineWaitMs = 10'000;
constexpr std::uint32_t kBroadcast     = 0xFFFFFFFF;
constexpr std::uint16_t kBroadcastFlag = 0x8000;
constexpr std::uint32_t kNever         = 0xFFFFFFFF;  // a duration with no timer
constexpr std::uint32_t kLongestMs     = kMaxTimerSeconds * 1000;
constexpr std::uint8_t kBootRequest    = 1;  // BOOTP op (RFC 951)
constexpr std::uint8_t kBootReply      = 2;
constexpr std::uint8_t kHtypeEthernet  = 1;
constexpr std::uint8_t kHlenEthernet   = 6;
constexpr std::uint8_t kParamsWanted[] = {Wire(Option::kDnsServer), Wire(Option::kSubnetMask),
                                          Wire(Option::kRouter)};

// The client has one endpoint at a time, so its context is a constant (the transaction id
// changes while the endpoint stays open); it names the slot as ours when closing it.
constexpr std::uintptr_t kEndpointContext = 1;

static_assert(kNever > kLongestMs, "sentinel must not be a delay");
static_assert(kRequestLen <= kBufferSize && kBufferSize <= TNSOCK_UDP_MAX_PAYLOAD);

using StateHandler = void (*)(Event event, const DhcpReply* reply);

struct Client {
    bool initialised;
    TnDhcpConfig config;
    StateHandler state;
    std::uint32_t xid;
    std::uint32_t ownAddress;     // the address in use; 0 until bound
    std::uint32_t serverAddress;  // the server of the lease
    std::uint32_t requestedAddress;
    std::uint32_t offeredServer;
    TnTimerHandle timers[kTimerCount];  // by TimerSlot
    std::uint32_t interval;             // seconds
    std::uint32_t leaseMs;              // kNever: no timer
    std::uint32_t t1Ms;
    std::uint32_t t2Ms;
    // RENEWING: time left until T2; REBINDING: until the lease ends (less what was waited).
    std::uint32_t remainingMs;
    std::uint32_t restarts;  // new DISCOVERs since the last lease
    bool leaseHeld;          // a lease was held since the start: never give up again
    DhcpReply ack;           // the ACK under probe in CHECKING
    TnDhcpLease lease;       // the lease in use, reported again when it is lost
    std::uint16_t secs;
    TnSockEndpoint* endpoint;
};

Client g{};

void StateInit(Event event, const DhcpReply* reply);
void StateSelecting(Event event, const DhcpReply* reply);
void StateRequesting(Event event, const DhcpReply* reply);
void StateChecking(Event event, const DhcpReply* reply);
void StateBound(Event event, const DhcpReply* reply);
void StateRenewing(Event event, const DhcpReply* reply);
void StateRebinding(Event event, const DhcpReply* reply);

struct StateInfo {
    StateHandler handler;
    const char* name;
};

constexpr std::array<StateInfo, 7> kStates{
    {
     {StateInit, "INIT"},
     {StateSelecting, "SELECTING"},
     {StateRequesting, "REQUESTING"},
     {StateChecking, "CHECKING"},
     {StateBound, "BOUND"},
     {StateRenewing, "RENEWING"},
     {StateRebinding, "REBINDING"},
     }
};

void Deliver(Event event, const DhcpReply* reply) {
    if (g.state != nullptr) {
        g.state(event, reply);
    }
}

// ---- Timers -----------------------------------------------------------------------------------

TnTimerHandle& Timer(TimerSlot slot) {
    return g.timers[static_cast<int>(slot)];
}

void OnTimer(std::uintptr_t context) {
    const auto first = static_cast<std::uintptr_t>(TimerEvent(TimerSlot::kRetransmit));
    if (!g.initialised || context < first || context >= first + kTimerCount) {
        return;
    }
    const auto slot = static_cast<TimerSlot>(context - first);
    Timer(slot)     = nullptr;  // the handle is spent once its handler runs
    Deliver(TimerEvent(slot), nullptr);
}

void StopTimer(TimerSlot slot) {
    if (Timer(slot) != nullptr) {
        g.config.timerStop(Timer(slot));
        Timer(slot) = nullptr;
    }
}

void StopAllTimers() {
    for (int slot = 0; slot < kTimerCount; ++slot) {
        StopTimer(static_cast<TimerSlot>(slot));
    }
}

// Starts the timer of `slot` after stopping what it still holds. False when the host has no
// timer to give.
bool StartTimer(TimerSlot slot, std::uint32_t delayMs) {
    StopTimer(slot);
    const auto context = static_cast<std::uintptr_t>(TimerEvent(slot));
    Timer(slot)        = g.config.timerStart(delayMs, context, OnTimer);
    return Timer(slot) != nullptr;
}

// RFC 2131 §4.1: a delay randomised by ±1 s around the current interval.
std::uint32_t BackOffMs(std::uint32_t intervalSeconds) {
    const auto r = static_cast<std::uint32_t>(g.config.random());
    return ((intervalSeconds - 1) + r % 3) * 1000;
}

bool StartRetransmitTimer() {
    return StartTimer(TimerSlot::kRetransmit, BackOffMs(g.interval));
}

// Every exchange gets its own transaction id, so a reply to an earlier one is not taken for
// an answer to this one.
void NewXid() {
    g.xid = static_cast<std::uint32_t>(g.config.random());
}

// ---- Messages ---------------------------------------------------------------------------------

// kSelect takes up an offer (RFC 2131 §4.3.2, SELECTING); kRenew extends the lease in use
// (RENEWING and REBINDING), naming it by ciaddr alone.
enum class Message { kDiscover, kSelect, kRenew, kDecline, kRelease };

std::uint8_t* PutOption(std::uint8_t* p, Option code, std::uint8_t length) {
    p[0] = Wire(code);
    p[1] = length;
    return p + 2;
}

std::uint8_t* PutType(std::uint8_t* p, MessageType type) {
    p    = PutOption(p, Option::kMessageType, 1);
    *p++ = Wire(type);
    return p;
}

std::uint8_t* PutAddressOption(std::uint8_t* p, Option code, std::uint32_t address) {
    p = PutOption(p, code, 4);
    TnWrite32(p, address);
    return p + 4;
}

std::uint8_t* PutClientId(std::uint8_t* p) {
    p    = PutOption(p, Option::kClientId, 7);
    p[0] = kHtypeEthernet;
    std::memcpy(p + 1, g.config.macAddress, 6);
    return p + 7;
}

std::uint8_t* PutParamRequest(std::uint8_t* p) {
    p = PutOption(p, Option::kParamRequest, sizeof kParamsWanted);
    std::memcpy(p, kParamsWanted, sizeof kParamsWanted);
    return p + sizeof kParamsWanted;
}

std::uint8_t* PutOptions(std::uint8_t* p, Message kind) {
    switch (kind) {
        case Message::kDiscover:
            p = PutType(p, MessageType::kDiscover);
            p = PutClientId(p);
            return PutParamRequest(p);
        case Message::kSelect:
            p = PutType(p, MessageType::kRequest);
            p = PutClientId(p);
            p = PutAddressOption(p, Option::kRequestedAddr, g.requestedAddress);
            p = PutAddressOption(p, Option::kServerId, g.offeredServer);
            return PutParamRequest(p);
        case Message::kRenew:
            // RFC 2131 §4.3.2: no server identifier and no requested address here; a server
            // other than ours would refuse the request for naming someone else.
            p = PutType(p, MessageType::kRequest);
            p = PutClientId(p);
            return PutParamRequest(p);
        case Message::kDecline:
            p = PutType(p, MessageType::kDecline);
            p = PutClientId(p);
            p = PutAddressOption(p, Option::kRequestedAddr, g.requestedAddress);
            return PutAddressOption(p, Option::kServerId, g.offeredServer);
        case Message::kRelease:
            p = PutType(p, MessageType::kRelease);
            p = PutAddressOption(p, Option::kServerId, g.serverAddress);
            return PutClientId(p);
    }
    return p;
}

// Builds the message behind the headroom and hands it to UDP.
void Send(Message kind, std::uint32_t destination) {
    std::uint8_t buffer[kBufferSize] = {};
    std::uint8_t* msg                = buffer;

    msg[kOpOffset]    = kBootRequest;
    msg[kHtypeOffset] = kHtypeEthernet;
    msg[kHlenOffset]  = kHlenEthernet;
    TnWrite32(msg + kXidOffset, g.xid);
    TnWrite16(msg + kSecsOffset, g.secs);
    TnWrite16(msg + kFlagsOffset, kind == Message::kRelease ? kBroadcastFlag : 0);
    const bool named = kind == Message::kRenew || kind == Message::kRelease;
    TnWrite32(msg + kCiaddrOffset, named ? g.ownAddress : 0);
    std::memcpy(msg + kChaddrOffset, g.config.macAddress, 6);
    std::memcpy(msg + kCookieOffset, kMagicCookie, sizeof kMagicCookie);

    std::uint8_t* p = PutOptions(msg + kOptionsOffset, kind);
    *p++            = Wire(Option::kEnd);

    const auto length = static_cast<std::uint32_t>(p - msg);
    ++g_counters.dhcpSent;
    // Through the endpoint the client opened on port 68, as any other user of UDP sends.
    TnSockUdpSendto(g.endpoint, destination, kServerPort, msg, length);
}

// ---- Endpoint ---------------------------------------------------------------------------------

void CloseEndpoint() {
    // Close only the slot this client opened: after the socket layer's shutdown the slot may be
    // free or belong to someone else.
    TnSockEndpoint* endpoint = g.endpoint;
    g.endpoint               = nullptr;
    if (endpoint != nullptr && SockIsUdpEndpointOf(endpoint, OnDatagram, kEndpointContext)) {
        TnSockClose(endpoint);
    }
}

// ---- Common actions ---------------------------------------------------------------------------

void Report(int result, const TnDhcpLease* lease) {
    if (g.config.result != nullptr) {
        g.config.result(result, lease, 0);
    }
}

// Ends whatever the client was doing and leaves it idle in INIT.
void Quiesce() {
    StopAllTimers();
    ArpProbe(0, nullptr);
    CloseEndpoint();
    g.ownAddress = 0;
    g.state      = StateInit;
}

// Gives up: the client returns to INIT before the result is reported, so the callback may
// start a new acquisition.
void GiveUp() {
    Quiesce();
    Report(TNDHCP_LOST, nullptr);
}

// INIT to SELECTING: a new transaction and the first DISCOVER.
void Acquire();

// Back to INIT for a new DISCOVER (RFC 2131 §3.1 step 5, §4.4.5). The first new attempt since
// the last lease goes out at once; each further one waits one more back-off interval (4, 8, ...
// 64 s, ±1 s), so a server that refuses every request is not asked in a tight loop. `atLeastMs`
// lengthens the wait. The first acquisition gives up where the interval would pass 64 s, as it
// does when nobody answers, so a server that refuses everything cannot hold it for ever.
void Restart(std::uint32_t atLeastMs) {
    Quiesce();
    const std::uint32_t n = g.restarts;
    g.restarts            = std::min<std::uint32_t>(n + 1, 16);
    std::uint32_t waitMs  = 0;
    if (n > 0) {
        const std::uint32_t interval = kFirstInterval << std::min<std::uint32_t>(n - 1, 5);
        if (interval > kLastInterval && !g.leaseHeld) {
            Report(TNDHCP_LOST, nullptr);
            return;
        }
        waitMs = BackOffMs(std::min(interval, kLastInterval));
    }
    waitMs = std::max(waitMs, atLeastMs);
    if (waitMs == 0) {
        Acquire();
    } else if (!StartTimer(TimerSlot::kRetransmit, waitMs)) {
        Report(TNDHCP_LOST, nullptr);  // without a timer the client would wait for ever
    }
}

// RFC 2131 §4.4.6. The address is given back, so the stack must stop using it: when one was
// held the host learns it (TNDHCP_LOST without a lease: the host asked for this).
void Release(bool addressHeld) {
    StopAllTimers();
    ArpProbe(0, nullptr);
    Send(Message::kRelease, g.serverAddress);
    Quiesce();
    if (addressHeld) {
        Report(TNDHCP_LOST, nullptr);
    }
}

// The address in use was taken away (lease end, or a refusal to extend it): the stack drops
// it, the host is told which one, and the client asks for a new one.
void LoseAddress() {
    const TnDhcpLease lost = g.lease;
    Quiesce();
    Report(TNDHCP_LOST, &lost);
    if (g.initialised && g.state == StateInit && g.endpoint == nullptr &&
        Timer(TimerSlot::kRetransmit) == nullptr) {
        Restart(0);  // unless the result callback has already started over itself
    }
}

// Begins a new exchange: interval back to 4 s and the first retransmission timer.
void BeginExchange(Message kind, std::uint32_t destination, StateHandler next) {
    StopTimer(TimerSlot::kRetransmit);
    g.state    = next;
    g.interval = kFirstInterval;
    Send(kind, destination);
    if (!StartRetransmitTimer()) {
        GiveUp();  // without a timer the client would wait for ever
    }
}

// Out of retransmissions while acquiring: the first acquisition gives up; once a lease has
// been held the client starts over.
void OutOfRetries() {
    if (g.leaseHeld) {
        Restart(0);
    } else {
        GiveUp();
    }
}

// On a retransmission timeout while acquiring: double the interval; past 64 s the exchange
// is over, else send again.
void Retransmit(Message kind, std::uint32_t destination) {
    g.interval *= 2;
    if (g.interval > kLastInterval) {
        OutOfRetries();
        return;
    }
    Send(kind, destination);
    if (!StartRetransmitTimer()) {
        GiveUp();
    }
}

// RENEWING and REBINDING (RFC 2131 §4.4.5): send, then wait half the time left before the next
// deadline (T2, or the lease's end), at least 60 s. The deadline's own timer ends the state.
void SendRenewal(std::uint32_t destination) {
    Send(Message::kRenew, destination);
    const std::uint32_t waitMs = std::max(g.remainingMs / 2, kMinRenewalGapMs);
    g.remainingMs -= std::min(waitMs, g.remainingMs);
    StartTimer(TimerSlot::kRetransmit, waitMs);  // without it T2 and the lease's end still come
}

// Milliseconds, so that leases of a second or two get sensible times, cut to the longest delay
// the host timer's 32 bits hold.
std::uint32_t ClampMs(std::uint64_t ms) {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(ms, kLongestMs));
}

// RFC 2131 §4.4.5: without options 58 and 59 T1 = 0.5 × lease and T2 = 0.875 × lease; the
// same when the server's times are out of order (anything but 0 < T1 < T2 < lease). An
// infinite lease needs no timer at all.
void SetLeaseTimes(const DhcpReply& ack) {
    if (ack.leaseTime == kInfinite) {
        g.leaseMs = g.t1Ms = g.t2Ms = kNever;
        return;
    }
    const std::uint64_t lease = std::uint64_t{ack.leaseTime} * 1000;
    std::uint64_t t1          = ack.t1 != 0 ? std::uint64_t{ack.t1} * 1000 : lease / 2;
    std::uint64_t t2          = ack.t2 != 0 ? std::uint64_t{ack.t2} * 1000 : lease * 7 / 8;
    if (!(0 < t1 && t1 < t2 && t2 < lease)) {
        t1 = lease / 2;
        t2 = lease * 7 / 8;
    }
    g.leaseMs = ClampMs(lease);
    g.t1Ms    = ClampMs(t1);
    g.t2Ms    = ClampMs(t2);
}

void StartLeaseTimer(TimerSlot slot, std::uint32_t durationMs) {
    if (durationMs != kNever) {
        StartTimer(slot, durationMs);
    }
}

// The lease's clock starts when its ACK arrives.
void StartLeaseTimers(const DhcpReply& ack) {
    SetLeaseTimes(ack);
    StartLeaseTimer(TimerSlot::kT1, g.t1Ms);
    StartLeaseTimer(TimerSlot::kT2, g.t2Ms);
    StartLeaseTimer(TimerSlot::kLease, g.leaseMs);
}

// The address of `ack` is in use from now on.
void Bind(const DhcpReply& ack) {
    StopTimer(TimerSlot::kRetransmit);
    ArpProbe(0, nullptr);
    g.ownAddress    = ack.yiaddr;
    g.serverAddress = ack.serverId;
    g.restarts      = 0;
    g.leaseHeld     = true;
    g.state         = StateBound;
    // The record carries the times as the server sent them.
    g.lease                 = TnDhcpLease{ack.yiaddr,    ack.dnsServer, ack.router, ack.subnetMask,
                          ack.leaseTime, ack.t1,        ack.t2};
    const TnDhcpLease lease = g.lease;
    Report(TNDHCP_ACQUIRED, &lease);
}

// A renewal or rebinding ACK: new times, from now.
void Extend(const DhcpReply& ack) {
    StopAllTimers();
    StartLeaseTimers(ack);
    Bind(ack);
}

void OnArpConflict(std::uint32_t address) {
    if (g.initialised && g.state == StateChecking && address == g.ack.yiaddr) {
        Deliver(Event::kConflict, nullptr);
    }
}

// REQUESTING to CHECKING: the lease runs from the ACK, but the address is used only once no
// other station has claimed it for kProbeWaitMs (RFC 2131 §4.4.1, RFC 5227).
void Check(const DhcpReply& ack) {
    StopAllTimers();
    g.ack   = ack;
    g.state = StateChecking;
    StartLeaseTimers(ack);
    ArpProbe(ack.yiaddr, OnArpConflict);
    if (!StartTimer(TimerSlot::kRetransmit, kProbeWaitMs)) {
        Bind(g.ack);  // no timer to wait with: the address is taken unchecked
    }
}

void Decline() {
    Send(Message::kDecline, kBroadcast);
    if (g.config.logText != nullptr) {
        char dotted[16];
        TnSockFormatAddr(g.ack.yiaddr, dotted);
        char text[80];
        std::snprintf(text, sizeof text, "DHCP: %s is in use by another station; declined", dotted);
        g.config.logText(text);
    }
    Restart(kDeclineWaitMs);
}

void StartRenewing() {
    StopTimer(TimerSlot::kRetransmit);
    NewXid();
    g.state       = StateRenewing;
    g.remainingMs = g.t2Ms - std::min(g.t1Ms, g.t2Ms);
    SendRenewal(g.serverAddress);
}

// RFC 2131 §4.4.5: our server did not answer by T2; any server may extend the lease now.
void StartRebinding() {
    StopTimer(TimerSlot::kRetransmit);
    NewXid();
    g.state       = StateRebinding;
    g.remainingMs = g.leaseMs - std::min(g.t2Ms, g.leaseMs);
    SendRenewal(kBroadcast);
}

// ---- States -----------------------------------------------------------------------------------

void Acquire() {
    NewXid();
    g.ownAddress             = 0;
    g.serverAddress          = 0;
    g.requestedAddress       = 0;
    g.offeredServer          = 0;
    TnSockEndpoint* endpoint = nullptr;
    if (TnSockUdpOpen(kEndpointContext, OnDatagram, kClientPort, &endpoint) != TNSOCK_SUCCESS) {
        Report(TNDHCP_REFUSED, nullptr);
        return;
    }
    g.endpoint = endpoint;
    BeginExchange(Message::kDiscover, kBroadcast, StateSelecting);
}

void StateInit(Event event, const DhcpReply*) {
    switch (event) {
        case Event::kStart:  // a first acquisition, again
            g.leaseHeld = false;
            g.restarts  = 0;
            Acquire();
            break;
        case Event::kRetransmit:  // the wait before a new DISCOVER is over
            Acquire();
            break;
        case Event::kStop:
            StopAllTimers();
            break;
        default:
            break;
    }
}

void StateSelecting(Event event, const DhcpReply* reply) {
    switch (event) {
        case Event::kOffer:
            g.requestedAddress = reply->yiaddr;
            g.offeredServer    = reply->serverId;
            BeginExchange(Message::kSelect, kBroadcast, StateRequesting);
            break;
        case Event::kStop:
            Quiesce();
            break;
        case Event::kRetransmit:
            Retransmit(Message::kDiscover, kBroadcast);
            break;
        default:
            break;
    }
}

void StateRequesting(Event event, const DhcpReply* reply) {
    switch (event) {
        case Event::kAck:
            // Only the server chosen, for the address it offered: another server's ACK is an
            // answer to a request we did not make.
            if (reply->serverId == g.offeredServer && reply->yiaddr == g.requestedAddress) {
                Check(*reply);
            }
            break;
        case Event::kNak:
            if (reply->serverId == g.offeredServer) {
                Restart(0);
            }
            break;
        case Event::kStop:
            Release(false);
            break;
        case Event::kRetransmit:
            Retransmit(Message::kSelect, kBroadcast);
            break;
        default:
            break;
    }
}

void StateChecking(Event event, const DhcpReply*) {
    switch (event) {
        case Event::kRetransmit:  // nobody claimed the address
            Bind(g.ack);
            break;
        case Event::kConflict:
            Decline();
            break;
        case Event::kT1:
        case Event::kT2:
        case Event::kLeaseEnd:
            // A lease timer due within the probe: the wait is over, the bound client takes it.
            Bind(g.ack);
            Deliver(event, nullptr);
            break;
        case Event::kStop:
            Quiesce();
            break;
        default:
            break;
    }
}

void StateBound(Event event, const DhcpReply*) {
    switch (event) {
        case Event::kStop:
            Release(true);
            break;
        case Event::kT1:
            StartRenewing();
            break;
        case Event::kT2:  // T1 never came (a host timer was refused)
            StartRebinding();
            break;
        case Event::kLeaseEnd:
            LoseAddress();
            break;
        default:
            break;
    }
}

// A reply about the lease in use, for our address.
bool ForOurAddress(const DhcpReply& reply) {
    return reply.yiaddr == g.ownAddress;
}

void StateRenewing(Event event, const DhcpReply* reply) {
    switch (event) {
        case Event::kAck:
            if (reply->serverId == g.serverAddress && ForOurAddress(*reply)) {
                Extend(*reply);
            }
            break;
        case Event::kNak:
            // RFC 2131 §4.4.5: only the server asked may refuse; anyone else's NAK is forged
            // or mistaken.
            if (reply->serverId == g.serverAddress) {
                LoseAddress();
            }
            break;
        case Event::kStop:
            Release(true);
            break;
        case Event::kRetransmit:
            SendRenewal(g.serverAddress);
            break;
        case Event::kT2:
            StartRebinding();
            break;
        case Event::kLeaseEnd:
            LoseAddress();
            break;
        default:
            break;
    }
}

void StateRebinding(Event event, const DhcpReply* reply) {
    switch (event) {
        case Event::kAck:
            // Any server may extend the lease, and becomes its server.
            if (reply->serverId != 0 && ForOurAddress(*reply)) {
                Extend(*reply);
            }
            break;
        case Event::kNak:
            LoseAddress();
            break;
        case Event::kStop:
            // No server address to send a RELEASE to; the address is still dropped.
            Quiesce();
            Report(TNDHCP_LOST, nullptr);
            break;
        case Event::kRetransmit:
            SendRenewal(kBroadcast);
            break;
        case Event::kLeaseEnd:
            LoseAddress();
            break;
        default:
            break;
    }
}

// An address a server may hand out: not 0/8 ("this network"), loopback, multicast or class E
// (which holds the limited broadcast), not the server's own, and neither the network nor the
// broadcast address of the subnet offered with it.
bool Assignable(std::uint32_t address, std::uint32_t server, std::uint32_t mask) {
    const std::uint32_t first = address >> 24;
    if (first == 0 || first == 127 || first >= 224 || address == server) {
        return false;
    }
    const std::uint32_t host = ~mask;
    if (mask != 0 && host > 1) {
        const std::uint32_t part = address & host;
        return part != 0 && part != host;
    }
    return true;
}

// ---- Reply parsing ----------------------------------------------------------------------------

// Takes one complete option into the record (RFC 2132). Address and time options must be
// exactly 4 bytes; the router and DNS server options list one address or more (§3.5, §3.8), of
// which the first is taken. Any other length is malformed and the option is ignored whole.
void TakeOption(Option code, ByteView data, DhcpReply& out, bool& typeSeen, bool& serverSeen) {
    if (code == Option::kMessageType) {
        if (data.Length() != 0) {
            out.messageType = static_cast<MessageType>(data.Read8(0));
            typeSeen        = true;
        }
        return;
    }
    const bool list = code == Option::kRouter || code == Option::kDnsServer;
    if (list ? (data.Length() == 0 || data.Length() % 4 != 0) : data.Length() != 4) {
        return;
    }
    const std::uint32_t value = data.Read32(0);
    switch (code) {
        case Option::kSubnetMask:
            out.subnetMask = value;
            break;
        case Option::kRouter:
            out.router = value;
            break;
        case Option::kDnsServer:
            out.dnsServer = value;
            break;
        case Option::kLeaseTime:
            out.leaseTime = value;
            break;
        case Option::kServerId:
            out.serverId = value;
            serverSeen   = true;
            break;
        case Option::kRenewalTime:
            out.t1 = value;
            break;
        case Option::kRebindingTime:
            out.t2 = value;
            break;
        default:
            break;
    }
}

}  // namespace

bool ParseReply(std::span<const std::uint8_t> datagram, std::uint32_t xid,
                const std::uint8_t (&mac)[6], DhcpReply& out) {
    out = DhcpReply{};
    const ByteView d(datagram.data(), datagram.size());
    if (d.Length() <= kOptionsOffset) {
        return false;
    }
    if (d.Read8(kOpOffset) != kBootReply || d.Read8(kHtypeOffset) != kHtypeEthernet ||
        d.Read8(kHlenOffset) != kHlenEthernet) {
        return false;
    }
    if (d.Read32(kXidOffset) != xid) {
        return false;
    }
    if (std::memcmp(d.Bytes(kChaddrOffset, 6), mac, 6) != 0) {
        return false;
    }
    if (std::memcmp(d.Bytes(kCookieOffset, sizeof kMagicCookie), kMagicCookie,
                    sizeof kMagicCookie) != 0) {
        return false;
    }

    // RFC 2132 §2: pad bytes stand alone, the end option closes the field, every other option
    // is code, length, data. An option whose length runs past the datagram is not taken and
    // ends the walk.
    bool typeSeen   = false;
    bool serverSeen = false;
    std::size_t pos = kOptionsOffset;
    while (pos < d.Length()) {
        const auto code = static_cast<Option>(d.Read8(pos++));
        if (code == Option::kPad) {
            continue;
        }
        if (code == Option::kEnd || pos >= d.Length()) {
            break;
        }
        const std::size_t length = d.Read8(pos++);
        if (length > d.Length() - pos) {
            break;
        }
        TakeOption(code, d.Sub(pos, length), out, typeSeen, serverSeen);
        pos += length;
    }

    if (!typeSeen || (out.messageType == MessageType::kOffer && !serverSeen)) {
        return false;
    }
    out.yiaddr = d.Read32(kYiaddrOffset);
    return true;
}

std::uintptr_t OnDatagram(std::uintptr_t, int event, void* data, std::uint32_t length,
                          std::uint32_t, std::uint32_t) {
    if (!g.initialised || event != TNSOCK_EVENT_DATA || data == nullptr) {
        return 0;
    }
    DhcpReply reply;
    const std::span<const std::uint8_t> datagram(static_cast<const std::uint8_t*>(data), length);
    if (!ParseReply(datagram, g.xid, g.config.macAddress, reply)) {
        return 0;
    }
    ++g_counters.dhcpReceived;
    switch (reply.messageType) {
        case MessageType::kOffer:
            if (Assignable(reply.yiaddr, reply.serverId, reply.subnetMask)) {
                Deliver(Event::kOffer, &reply);
            }
            break;
        case MessageType::kAck:
            // RFC 2131 table 3: an ACK carries the lease time; without one (or with 0) it
            // grants nothing.
            if (Assignable(reply.yiaddr, reply.serverId, reply.subnetMask) &&
                reply.leaseTime != 0) {
                Deliver(Event::kAck, &reply);
            }
            break;
        case MessageType::kNak:
            Deliver(Event::kNak, &reply);
            break;
        default:
            break;
    }
    return 0;
}

const char* StateName() {
    for (const StateInfo& info : kStates) {
        if (info.handler == g.state) {
            return info.name;
        }
    }
    return "NONE";
}

std::uint32_t CurrentXid() {
    return g.xid;
}

}  // namespace tarnet::dhcp

using namespace tarnet::dhcp;

int TnDhcpInit(const TnDhcpConfig* config) {
    if (g.initialised) {
        return 3;
    }
    // The client cannot run without its timers and random numbers; refuse rather than crash.
    if (config == nullptr || config->timerStart == nullptr || config->timerStop == nullptr ||
        config->random == nullptr) {
        return 1;
    }
    g             = Client{};
    g.config      = *config;
    g.state       = StateInit;
    g.initialised = true;
    return 0;
}

void TnDhcpDeinit() {
    if (!g.initialised) {
        return;
    }
    StopAllTimers();
    tarnet::ArpProbe(0, nullptr);
    g.initialised = false;
}

int TnDhcpStart() {
    if (!g.initialised) {
        return 2;
    }
    Deliver(Event::kStart, nullptr);
    return 0;
}

int TnDhcpStop() {
    if (!g.initialised) {
        return 2;
    }
    Deliver(Event::kStop, nullptr);
    return 0;
}
