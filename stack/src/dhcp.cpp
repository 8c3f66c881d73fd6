// DHCP client: the RFC 2131 message flow (DISCOVER, OFFER, REQUEST, ACK/NAK, RELEASE) with
// the RFC 2132 options for address, mask, router, DNS server and lease times.
//
// One instance, driven by events: start and stop, replies on UDP port 68 and four host timers.
// Each state is a handler function; the client keeps a reference to the current one and a
// transition replaces it.
#include <algorithm>
#include <array>
#include <cstring>

#include "dhcp_internal.h"
#include "socket.h"
#include "tarnet/byteorder.h"
#include "tarnet/tndhcp.h"
#include "udp.h"

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
};

// Timer slots, indexed by event number minus kRetransmit.
enum TimerSlot : int { kRetransmitTimer = 0, kT1Timer, kT2Timer, kLeaseTimer, kTimerCount };

constexpr std::size_t kBufferSize      = 512;
constexpr std::size_t kHeadroom        = 42;  // Ethernet 14 + IPv4 20 + UDP 8
constexpr std::uint32_t kFirstInterval = 4;   // seconds (RFC 2131 §4.1)
constexpr std::uint32_t kLastInterval  = 64;
constexpr std::uint32_t kBroadcast     = 0xFFFFFFFF;
constexpr std::uint16_t kBroadcastFlag = 0x8000;
constexpr std::uint32_t kNever         = 0xFFFFFFFF;  // a duration with no timer
constexpr std::uint8_t kBootRequest    = 1;
constexpr std::uint8_t kBootReply      = 2;
constexpr std::uint8_t kHtypeEthernet  = 1;
constexpr std::uint8_t kHlenEthernet   = 6;
constexpr std::uint8_t kParamsWanted[] = {kOptDnsServer, kOptSubnetMask, kOptRouter};

static_assert(kNever > std::uint64_t{kMaxTimerSeconds} * 1000, "sentinel must not be a delay");
static_assert(kHeadroom + kRequestLen <= kBufferSize);

using StateHandler = void (*)(Event event, const DhcpReply* reply);

struct Client {
    bool initialised;
    TnDhcpConfig config;
    StateHandler state;
    std::uint32_t xid;
    std::uint32_t ownAddress;
    std::uint32_t serverAddress;
    std::uint32_t requestedAddress;
    std::uint32_t offeredServer;
    TnTimerHandle timers[kTimerCount];
    std::uint32_t interval;  // seconds
    std::uint32_t leaseMs;   // kNever: no timer
    std::uint32_t t1Ms;
    std::uint32_t t2Ms;
    std::uint16_t secs;
    TnSockEndpoint* endpoint;
};

Client g{};

void StateInit(Event event, const DhcpReply* reply);
void StateSelecting(Event event, const DhcpReply* reply);
void StateRequesting(Event event, const DhcpReply* reply);
void StateBound(Event event, const DhcpReply* reply);
void StateRenewing(Event event, const DhcpReply* reply);
void StateRebinding(Event event, const DhcpReply* reply);

struct StateInfo {
    StateHandler handler;
    const char* name;
};

constexpr std::array<StateInfo, 6> kStates{
    {
     {StateInit, "INIT"},
     {StateSelecting, "SELECTING"},
     {StateRequesting, "REQUESTING"},
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

void OnTimer(std::uintptr_t context) {
    if (!g.initialised || context < static_cast<std::uintptr_t>(Event::kRetransmit) ||
        context > static_cast<std::uintptr_t>(Event::kLeaseEnd)) {
        return;
    }
    const auto slot =
        static_cast<std::size_t>(context) - static_cast<std::size_t>(Event::kRetransmit);
    g.timers[slot] = nullptr;  // the handle is spent once its handler runs
    Deliver(static_cast<Event>(context), nullptr);
}

void StopTimer(int slot) {
    if (g.timers[slot] != nullptr) {
        g.config.timerStop(g.timers[slot]);
        g.timers[slot] = nullptr;
    }
}

void StopAllTimers() {
    for (int slot = 0; slot < kTimerCount; ++slot) {
        StopTimer(slot);
    }
}

// Starts the timer of `slot` after stopping what it still holds. False when the host has no
// timer to give.
bool StartTimer(int slot, std::uint32_t delayMs) {
    StopTimer(slot);
    const auto context = static_cast<std::uintptr_t>(slot + static_cast<int>(Event::kRetransmit));
    g.timers[slot]     = g.config.timerStart(delayMs, context, OnTimer);
    return g.timers[slot] != nullptr;
}

// RFC 2131 §4.1: a delay randomised by ±1 s around the current interval.
bool StartRetransmitTimer() {
    const auto r       = static_cast<std::uint32_t>(g.config.random());
    const auto seconds = (g.interval - 1) + r % 3;
    return StartTimer(kRetransmitTimer, seconds * 1000);
}

// ---- Messages ---------------------------------------------------------------------------------

enum class Message { kDiscover, kRequest, kRelease };

std::uint8_t* PutOption(std::uint8_t* p, std::uint8_t code, std::uint8_t length) {
    p[0] = code;
    p[1] = length;
    return p + 2;
}

std::uint8_t* PutAddressOption(std::uint8_t* p, std::uint8_t code, std::uint32_t address) {
    p = PutOption(p, code, 4);
    TnWrite32(p, address);
    return p + 4;
}

std::uint8_t* PutClientId(std::uint8_t* p) {
    p    = PutOption(p, kOptClientId, 7);
    p[0] = kHtypeEthernet;
    std::memcpy(p + 1, g.config.macAddress, 6);
    return p + 7;
}

std::uint8_t* PutParamRequest(std::uint8_t* p) {
    p = PutOption(p, kOptParamRequest, sizeof kParamsWanted);
    std::memcpy(p, kParamsWanted, sizeof kParamsWanted);
    return p + sizeof kParamsWanted;
}

// Builds the message behind the headroom and hands it to UDP.
void Send(Message kind, std::uint32_t destination) {
    std::uint8_t buffer[kBufferSize] = {};
    std::uint8_t* msg                = buffer + kHeadroom;

    msg[kOpOffset]    = kBootRequest;
    msg[kHtypeOffset] = kHtypeEthernet;
    msg[kHlenOffset]  = kHlenEthernet;
    TnWrite32(msg + kXidOffset, g.xid);
    TnWrite16(msg + kSecsOffset, g.secs);
    TnWrite16(msg + kFlagsOffset, kind == Message::kRelease ? kBroadcastFlag : 0);
    TnWrite32(msg + kCiaddrOffset, kind == Message::kDiscover ? 0 : g.ownAddress);
    std::memcpy(msg + kChaddrOffset, g.config.macAddress, 6);
    std::memcpy(msg + kCookieOffset, kMagicCookie, sizeof kMagicCookie);

    std::uint8_t* p = msg + kOptionsOffset;
    switch (kind) {
        case Message::kDiscover:
            p    = PutOption(p, kOptMessageType, 1);
            *p++ = kDiscover;
            p    = PutClientId(p);
            p    = PutParamRequest(p);
            break;
        case Message::kRequest:
            // Every REQUEST names the OFFER that was taken up, also when renewing.
            p    = PutOption(p, kOptMessageType, 1);
            *p++ = kRequest;
            p    = PutClientId(p);
            p    = PutAddressOption(p, kOptRequestedAddr, g.requestedAddress);
            p    = PutAddressOption(p, kOptServerId, g.offeredServer);
            p    = PutParamRequest(p);
            break;
        case Message::kRelease:
            p    = PutOption(p, kOptMessageType, 1);
            *p++ = kRelease;
            p    = PutAddressOption(p, kOptServerId, g.serverAddress);
            p    = PutClientId(p);
            break;
    }
    *p++ = kOptEnd;

    const auto length = static_cast<std::uint32_t>(p - msg);
    UdpOutput(destination, kServerPort, kClientPort, msg, length);
}

// ---- Endpoint ---------------------------------------------------------------------------------

void CloseEndpoint() {
    // Close only the slot this client opened: after the socket layer's shutdown the slot may be
    // free or belong to someone else.
    TnSockEndpoint* endpoint = g.endpoint;
    g.endpoint               = nullptr;
    if (endpoint != nullptr && SockIsEndpoint(endpoint) && endpoint->callback == OnDatagram) {
        TnSockClose(endpoint);
    }
}

// ---- Common actions ---------------------------------------------------------------------------

void Report(int result, const TnDhcpLease* lease) {
    if (g.config.result != nullptr) {
        g.config.result(result, lease, 0);
    }
}

// Gives up (TNDHCP_LOST) or accepts a refusal (TNDHCP_REFUSED): the client returns to INIT
// before the result is reported, so the callback may start a new acquisition.
void Finish(int result) {
    StopAllTimers();
    CloseEndpoint();
    g.state = StateInit;
    Report(result, nullptr);
}

// RFC 2131 §4.4.6. The address is given back, so the stack must stop using it: when one was
// held the loss is reported.
void Release(bool addressHeld) {
    StopAllTimers();
    Send(Message::kRelease, g.serverAddress);
    CloseEndpoint();
    g.state = StateInit;
    if (addressHeld) {
        Report(TNDHCP_LOST, nullptr);
    }
}

// Begins a new exchange: interval back to 4 s and the first retransmission timer.
void BeginExchange(Message kind, std::uint32_t destination, StateHandler next) {
    StopTimer(kRetransmitTimer);
    g.state    = next;
    g.interval = kFirstInterval;
    Send(kind, destination);
    if (!StartRetransmitTimer()) {
        Finish(TNDHCP_LOST);  // without a timer the client would wait for ever
    }
}

// On a retransmission timeout: double the interval; past 64 s give up, else send again.
void Retransmit(Message kind, std::uint32_t destination) {
    g.interval *= 2;
    if (g.interval > kLastInterval) {
        Finish(TNDHCP_LOST);
        return;
    }
    Send(kind, destination);
    if (!StartRetransmitTimer()) {
        Finish(TNDHCP_LOST);
    }
}

// Seconds to a timer delay. An infinite time gets no timer; anything longer than the host
// timer's 32-bit millisecond delay can hold is cut to the longest delay it can.
std::uint32_t DurationMs(std::uint32_t seconds) {
    if (seconds == kInfinite) {
        return kNever;
    }
    return std::min(seconds, kMaxTimerSeconds) * 1000;
}

void StartLeaseTimer(int slot, std::uint32_t durationMs) {
    if (durationMs != kNever) {
        StartTimer(slot, durationMs);
    }
}

void Bind(const DhcpReply& ack) {
    StopAllTimers();
    g.ownAddress    = ack.yiaddr;
    g.serverAddress = ack.serverId;

    // RFC 2131 §4.4.5: without options 58 and 59 the client uses T1 = 0.5 × lease and
    // T2 = 0.875 × lease. An infinite lease needs no renewal at all.
    std::uint32_t t1 = ack.t1;
    std::uint32_t t2 = ack.t2;
    if (ack.leaseTime == kInfinite) {
        t1 = kInfinite;
        t2 = kInfinite;
    } else {
        if (t1 == 0) {
            t1 = ack.leaseTime / 2;
        }
        if (t2 == 0) {
            t2 = static_cast<std::uint32_t>(std::uint64_t{ack.leaseTime} * 7 / 8);
        }
    }
    g.leaseMs = DurationMs(ack.leaseTime);
    g.t1Ms    = DurationMs(t1);
    g.t2Ms    = DurationMs(t2);

    g.state = StateBound;
    StartLeaseTimer(kT1Timer, g.t1Ms);
    StartLeaseTimer(kT2Timer, g.t2Ms);
    StartLeaseTimer(kLeaseTimer, g.leaseMs);

    // The record carries the times as the server sent them.
    const TnDhcpLease lease{ack.yiaddr,    ack.dnsServer, ack.router, ack.subnetMask,
                            ack.leaseTime, ack.t1,        ack.t2};
    Report(TNDHCP_ACQUIRED, &lease);
}

// ---- States -----------------------------------------------------------------------------------

void StateInit(Event event, const DhcpReply*) {
    if (event != Event::kStart) {
        return;
    }
    g.xid                    = static_cast<std::uint32_t>(g.config.random());
    g.ownAddress             = 0;
    g.serverAddress          = 0;
    g.requestedAddress       = 0;
    g.offeredServer          = 0;
    TnSockEndpoint* endpoint = nullptr;
    if (TnSockUdpOpen(g.xid, OnDatagram, kClientPort, &endpoint) != TNSOCK_SUCCESS) {
        Report(TNDHCP_REFUSED, nullptr);
        return;
    }
    g.endpoint = endpoint;
    BeginExchange(Message::kDiscover, kBroadcast, StateSelecting);
}

void StateSelecting(Event event, const DhcpReply* reply) {
    switch (event) {
        case Event::kOffer:
            g.requestedAddress = reply->yiaddr;
            g.offeredServer    = reply->serverId;
            BeginExchange(Message::kRequest, kBroadcast, StateRequesting);
            break;
        case Event::kStop:
            StopTimer(kRetransmitTimer);
            CloseEndpoint();
            g.state = StateInit;
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
            Bind(*reply);
            break;
        case Event::kNak:
            Finish(TNDHCP_REFUSED);
            break;
        case Event::kStop:
            Release(false);
            break;
        case Event::kRetransmit:
            Retransmit(Message::kRequest, kBroadcast);
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
            BeginExchange(Message::kRequest, g.serverAddress, StateRenewing);
            break;
        case Event::kLeaseEnd:
            Finish(TNDHCP_LOST);
            break;
        default:
            break;
    }
}

void StateRenewing(Event event, const DhcpReply* reply) {
    switch (event) {
        case Event::kAck:
            Bind(*reply);
            break;
        case Event::kNak:
            Finish(TNDHCP_REFUSED);
            break;
        case Event::kStop:
            Release(true);
            break;
        case Event::kRetransmit:
            Retransmit(Message::kRequest, g.serverAddress);
            break;
        case Event::kT2:
            // RFC 2131 §4.4.5: the server did not answer; ask any server. The interval carries
            // on from where renewing left it.
            StopTimer(kRetransmitTimer);
            g.serverAddress = 0;
            g.state         = StateRebinding;
            Send(Message::kRequest, kBroadcast);
            if (!StartRetransmitTimer()) {
                Finish(TNDHCP_LOST);
            }
            break;
        case Event::kLeaseEnd:
            Finish(TNDHCP_LOST);
            break;
        default:
            break;
    }
}

void StateRebinding(Event event, const DhcpReply* reply) {
    switch (event) {
        case Event::kAck:
            Bind(*reply);
            break;
        case Event::kNak:
            Finish(TNDHCP_REFUSED);
            break;
        case Event::kStop:
            // No server address to send a RELEASE to; the address is still dropped.
            StopAllTimers();
            CloseEndpoint();
            g.state = StateInit;
            Report(TNDHCP_LOST, nullptr);
            break;
        case Event::kRetransmit:
            Retransmit(Message::kRequest, kBroadcast);
            break;
        case Event::kLeaseEnd:
            Finish(TNDHCP_LOST);
            break;
        default:
            break;
    }
}

// ---- Reply parsing ----------------------------------------------------------------------------

// Takes one complete option into the record (RFC 2132). Address and time options must be
// exactly 4 bytes: a router or DNS option listing several addresses is ignored as a whole.
void TakeOption(std::uint8_t code, std::span<const std::uint8_t> data, DhcpReply& out,
                bool& typeSeen, bool& serverSeen) {
    if (code == kOptMessageType) {
        if (!data.empty()) {
            out.messageType = data[0];
            typeSeen        = true;
        }
        return;
    }
    if (data.size() != 4) {
        return;
    }
    const std::uint32_t value = TnRead32(data.data());
    switch (code) {
        case kOptSubnetMask:
            out.subnetMask = value;
            break;
        case kOptRouter:
            out.router = value;
            break;
        case kOptDnsServer:
            out.dnsServer = value;
            break;
        case kOptLeaseTime:
            out.leaseTime = value;
            break;
        case kOptServerId:
            out.serverId = value;
            serverSeen   = true;
            break;
        case kOptRenewalTime:
            out.t1 = value;
            break;
        case kOptRebindingTime:
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
    if (datagram.size() <= kOptionsOffset) {
        return false;
    }
    const std::uint8_t* d = datagram.data();
    if (d[kOpOffset] != kBootReply || d[kHtypeOffset] != kHtypeEthernet ||
        d[kHlenOffset] != kHlenEthernet) {
        return false;
    }
    if (TnRead32(d + kXidOffset) != xid) {
        return false;
    }
    if (std::memcmp(d + kChaddrOffset, mac, 6) != 0) {
        return false;
    }
    if (std::memcmp(d + kCookieOffset, kMagicCookie, sizeof kMagicCookie) != 0) {
        return false;
    }

    // RFC 2132 §2: pad bytes stand alone, the end option closes the field, every other option
    // is code, length, data. An option whose length runs past the datagram is not taken and
    // ends the walk.
    bool typeSeen   = false;
    bool serverSeen = false;
    std::size_t pos = kOptionsOffset;
    while (pos < datagram.size()) {
        const std::uint8_t code = d[pos++];
        if (code == kOptPad) {
            continue;
        }
        if (code == kOptEnd || pos >= datagram.size()) {
            break;
        }
        const std::size_t length = d[pos++];
        if (length > datagram.size() - pos) {
            break;
        }
        TakeOption(code, datagram.subspan(pos, length), out, typeSeen, serverSeen);
        pos += length;
    }

    if (!typeSeen || (out.messageType == kOffer && !serverSeen)) {
        return false;
    }
    out.yiaddr = TnRead32(d + kYiaddrOffset);
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
    switch (reply.messageType) {
        case kOffer:
            // An OFFER or ACK without an address (yiaddr 0) would bind the stack to 0.0.0.0
            // and report it as acquired.
            if (reply.yiaddr != 0) {
                Deliver(Event::kOffer, &reply);
            }
            break;
        case kAck:
            if (reply.yiaddr != 0) {
                Deliver(Event::kAck, &reply);
            }
            break;
        case kNak:
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
