// The endpoint table and the UDP socket operations.
#include "socket.h"

#include "counters.h"

#include <cstring>

#include "tcp.h"

namespace tarnet {

namespace {

constexpr std::uint16_t kFirstEphemeralPort = 10000;
constexpr std::uint16_t kLastEphemeralPort  = 64999;
constexpr std::uint32_t kProtocolUdp        = 17;
constexpr std::uint32_t kProtocolTcp        = 6;

struct EndpointTable {
    TnSockEndpoint slots[kSockEndpoints];
    TnSockEndpoint* head;
    TnSockEndpoint* tail;
};

EndpointTable g_table;

#if TARNET_SOCKET_SHARED_TX
// One area for every endpoint: a datagram lives in it only until IPv4 has copied it into its
// frame buffers, which happens before anything else can send.
std::uint8_t g_sharedTxArea[kSockTxHeadroom + TNSOCK_UDP_MAX_PAYLOAD];

std::uint8_t* TxArea(TnSockEndpoint* /*endpoint*/) {
    return g_sharedTxArea;
}
#else
std::uint8_t* TxArea(TnSockEndpoint* endpoint) {
    return endpoint->txArea;
}
#endif

bool PortInUse(std::uint32_t protocol, std::uint16_t port) {
    for (const TnSockEndpoint& slot : g_table.slots) {
        if (slot.inUse != 0 && slot.protocol == protocol && slot.localPort == port) {
            return true;
        }
    }
    // A TCP connection lives on after its endpoint is gone (FIN_WAIT, TIME_WAIT): its port is
    // still taken at the peer.
    return protocol == kProtocolTcp && TnTcpPortInUse(port);
}

void Unlink(TnSockEndpoint* e) {
    (e->prev != nullptr ? e->prev->next : g_table.head) = e->next;
    (e->next != nullptr ? e->next->prev : g_table.tail) = e->prev;
    e->next                                             = nullptr;
    e->prev                                             = nullptr;
}

}  // namespace

void SockResetTable() {
    std::memset(&g_table, 0, sizeof g_table);
}

TnSockEndpoint* SockAllocEndpoint() {
    for (TnSockEndpoint& slot : g_table.slots) {
        if (slot.inUse == 0) {
            std::memset(&slot, 0, sizeof slot);
            slot.inUse = 1;
            return &slot;
        }
    }
    return nullptr;
}

void SockAppend(TnSockEndpoint* endpoint) {
    endpoint->next                                                = nullptr;
    endpoint->prev                                                = g_table.tail;
    (g_table.tail != nullptr ? g_table.tail->next : g_table.head) = endpoint;
    g_table.tail                                                  = endpoint;
}

bool SockIsEndpoint(const TnSockEndpoint* endpoint) {
    for (const TnSockEndpoint& slot : g_table.slots) {
        if (&slot == endpoint) {
            return slot.inUse != 0;
        }
    }
    return false;
}

bool SockIsUdpEndpointOf(const TnSockEndpoint* endpoint, TnSockEventFn callback,
                         std::uintptr_t appContext) {
    return SockIsEndpoint(endpoint) && endpoint->protocol == kProtocolUdp &&
           endpoint->callback == callback && endpoint->appContext == appContext;
}

// Releasing is safe for a slot taken but not yet appended (its links are null and it is not
// the head): only linked endpoints are unlinked.
void SockRelease(TnSockEndpoint* endpoint) {
    if (endpoint->tcpState != kTcpStateNone) {
        SockTcpDetach(endpoint);
    }
    if (endpoint->prev != nullptr || endpoint->next != nullptr || g_table.head == endpoint) {
        Unlink(endpoint);
    }
    endpoint->inUse = 0;
}

void SockReleaseAll() {
    while (g_table.head != nullptr) {
        SockRelease(g_table.head);
    }
}

TnSockEndpoint* SockLookup(std::uint32_t protocol, std::uint16_t localPort,
                           std::uint16_t remotePort, std::uint32_t remoteAddress) {
    for (TnSockEndpoint* e = g_table.head; e != nullptr; e = e->next) {
        if (e->protocol == protocol && (e->remotePort == 0 || e->remotePort == remotePort) &&
            (e->localPort == 0 || e->localPort == localPort) &&
            (e->remoteAddress == 0 || e->remoteAddress == remoteAddress)) {
            return e;
        }
    }
    return nullptr;
}

std::uint16_t SockAllocatePort(std::uint32_t protocol) {
    constexpr std::uint32_t range = kLastEphemeralPort - kFirstEphemeralPort + 1U;
    // A random start, then the next free port from there: with at most a few dozen ports in
    // use the first choice is nearly always free, and the walk ends on a full range.
    const std::uint32_t start = SockRandom32() % range;
    for (std::uint32_t i = 0; i < range; ++i) {
        const auto port = static_cast<std::uint16_t>(kFirstEphemeralPort + (start + i) % range);
        if (!PortInUse(protocol, port)) {
            return port;
        }
    }
    return 0;
}

std::uint32_t SockEndpointsInUse() {
    std::uint32_t n = 0;
    for (const TnSockEndpoint& slot : g_table.slots) {
        n += slot.inUse != 0 ? 1U : 0U;
    }
    return n;
}

void SockDatagramInput(std::uint32_t srcAddress, std::uint16_t srcPort, std::uint16_t dstPort,
                       int /*protocol*/, const std::uint8_t* payload, std::uint32_t length) {
    TnSockEndpoint* e = SockLookup(kProtocolUdp, dstPort, srcPort, srcAddress);
    if (e == nullptr) {
        ++g_counters.dropNoListener;
        return;
    }
    // The payload lies in the received frame and is valid only during the callback.
    e->callback(e->appContext, TNSOCK_EVENT_DATA, const_cast<std::uint8_t*>(payload), length,
                srcPort, srcAddress);
}

}  // namespace tarnet

using namespace tarnet;

int TnSockUdpOpen(std::uintptr_t appContext, TnSockEventFn callback, std::uint16_t localPort,
                  TnSockEndpoint** out) {
    if (!SockIsInitialised()) {
        return TNSOCK_NOT_INITIALIZED;
    }
    if (out == nullptr || callback == nullptr) {
        return TNSOCK_BAD_PARAMETER;
    }
    if (localPort == 0) {
        localPort = SockAllocatePort(kProtocolUdp);
        if (localPort == 0) {
            return TNSOCK_BIND_FAILED;
        }
    }
    for (const TnSockEndpoint* e = g_table.head; e != nullptr; e = e->next) {
        if (e->protocol == kProtocolUdp && e->localPort == localPort) {
            return TNSOCK_BIND_FAILED;
        }
    }
    TnSockEndpoint* e = SockAllocEndpoint();
    if (e == nullptr) {
        return TNSOCK_NO_MEMORY;
    }
    e->appContext = appContext;
    e->callback   = callback;
    e->localPort  = localPort;
    e->protocol   = kProtocolUdp;
    SockAppend(e);
    *out = e;
    return TNSOCK_SUCCESS;
}

int TnSockUdpSendto(TnSockEndpoint* endpoint, std::uint32_t remoteAddress, std::uint16_t remotePort,
                    const std::uint8_t* data, std::uint32_t length) {
    if (!SockIsInitialised()) {
        return TNSOCK_NOT_INITIALIZED;
    }
    // The endpoint's area holds at most TNSOCK_UDP_MAX_PAYLOAD bytes: larger sends are refused
    // rather than written past it.
    if (endpoint == nullptr || data == nullptr || length == 0 || length > TNSOCK_UDP_MAX_PAYLOAD ||
        !SockIsEndpoint(endpoint)) {
        return TNSOCK_BAD_PARAMETER;
    }
    // The datagram is built from the start of the area: header room, then the payload.
    static_assert(kSockTxHeadroom >= kUdpHeaderLen, "the area holds the header and the payload");
    std::uint8_t* datagram = TxArea(endpoint);
    std::memcpy(datagram + kUdpHeaderLen, data, length);
    return UdpOutput(remoteAddress, remotePort, endpoint->localPort, datagram, length) == 1
               ? TNSOCK_SUCCESS
               : TNSOCK_GENERAL;
}

int TnSockClose(TnSockEndpoint* endpoint) {
    if (!SockIsInitialised()) {
        return TNSOCK_NOT_INITIALIZED;
    }
    if (endpoint == nullptr) {
        return TNSOCK_BAD_PARAMETER;
    }
    // A handle that is not a slot in use (closed twice, or never ours) is refused instead of
    // corrupting the list.
    if (!SockIsEndpoint(endpoint)) {
        return TNSOCK_BAD_PARAMETER;
    }
    SockRelease(endpoint);
    return TNSOCK_SUCCESS;
}
