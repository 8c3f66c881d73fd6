// The socket layer's TCP side: active and passive opens and sending on endpoints, detaching an
// endpoint from TCP when it is released, and the bridge that turns TCP's notifications into
// the application's events.
#include <cstdlib>

#include "socket.h"
#include "tcp.h"

namespace tarnet {

namespace {

constexpr std::uint32_t kProtocolTcp = 6;

TnSockEndpoint* EndpointOf(std::uintptr_t context) {
    return reinterpret_cast<TnSockEndpoint*>(context);
}

// A report is for an endpoint only while it is a TCP endpoint in use in one of the given
// states; anything else is a report about a connection the endpoint no longer has.
bool IsTcpEndpoint(const TnSockEndpoint* e, int stateA, int stateB) {
    return SockIsEndpoint(e) && e->protocol == kProtocolTcp &&
           (e->tcpState == stateA || e->tcpState == stateB);
}

void Refuse(TcpControlBlock* connection) {
    TnTcpClose(connection);
}

// A listener's SYN: a new endpoint is offered to the application with event 3. The endpoint is
// complete while the application sees it, so it may already send on it or close it.
void ConnectRequest(TnSockEndpoint* listener, TcpControlBlock* connection, std::uint16_t remotePort,
                    std::uint32_t remoteAddress) {
    if (!IsTcpEndpoint(listener, kTcpStateListening, kTcpStateListening)) {
        Refuse(connection);
        return;
    }
    TnSockEndpoint* e = SockAllocEndpoint();
    if (e == nullptr) {
        Refuse(connection);
        return;
    }
    e->localPort     = listener->localPort;
    e->remotePort    = remotePort;
    e->remoteAddress = remoteAddress;
    e->protocol      = kProtocolTcp;
    e->callback      = listener->callback;
    e->connection    = connection;
    e->tcpState      = kTcpStateConnected;
    SockAppend(e);
    const std::uintptr_t context =
        listener->callback(listener->appContext, TNSOCK_EVENT_INCOMING, e, remotePort,
                           remoteAddress, listener->localPort);
    // Closing the endpoint inside the callback has refused the connection already.
    if (!SockIsEndpoint(e) || e->connection != connection) {
        return;
    }
    if (context == 0) {
        SockRelease(e);  // detaching closes, and so refuses, the connection
        return;
    }
    e->appContext = context;
    if (TnTcpAccept(connection, reinterpret_cast<std::uintptr_t>(e)) != TNTCP_SUCCESS) {
        SockRelease(e);
        e->callback(context, TNSOCK_EVENT_CLOSED, nullptr, 0, 0, 0);
        return;
    }
    TnTcpSetEndpoint(connection, e);
}

void Closed(TnSockEndpoint* e) {
    if (!IsTcpEndpoint(e, kTcpStateConnecting, kTcpStateConnected)) {
        return;
    }
    TcpControlBlock* connection = e->connection;
    // TCP may go on (sending our FIN) after this report; nothing it says later may reach this
    // slot, which the application may already have reused.
    // A connection that ends without a report so far ended by the peer's FIN: it lives on in
    // LAST_ACK, whose end is reported later.
    const int reported = connection != nullptr ? TnTcpEndReason(connection) : 0;
    e->endReason       = reported != 0 ? reported : TNSOCK_TCP_END_PEER_CLOSED;
    TcpForgetUser(connection);
    e->tcpState = kTcpStateNone;
    e->callback(e->appContext, TNSOCK_EVENT_CLOSED, nullptr, 0, 0, 0);
    // The layer releases the endpoint itself, unless the application has done so already (and
    // perhaps opened another in the same slot).
    if (SockIsEndpoint(e) && e->tcpState == kTcpStateNone && e->connection == connection &&
        e->protocol == kProtocolTcp) {
        SockRelease(e);
    }
}

}  // namespace

void SockTcpEvent(std::uintptr_t endpoint, int notification, void* item, std::uint32_t a,
                  std::uint32_t b) {
    TnSockEndpoint* e = EndpointOf(endpoint);
    switch (notification) {
        case TNTCP_NOTIFY_CONNECT_REQUEST:
            ConnectRequest(e, static_cast<TcpControlBlock*>(item), static_cast<std::uint16_t>(a),
                           b);
            break;
        case TNTCP_NOTIFY_DATA:
            if (IsTcpEndpoint(e, kTcpStateConnecting, kTcpStateConnected)) {
                e->callback(e->appContext, TNSOCK_EVENT_DATA, item, a, 0, 0);
            }
            std::free(item);  // the block is valid only during the callback
            break;
        case TNTCP_NOTIFY_CLOSED:
            Closed(e);
            break;
        case TNTCP_NOTIFY_CONNECTED:
            if (IsTcpEndpoint(e, kTcpStateConnecting, kTcpStateConnecting)) {
                e->tcpState = kTcpStateConnected;
                e->callback(e->appContext, TNSOCK_EVENT_CONNECTED, nullptr, 0, 0, 0);
            }
            break;
        default:
            break;
    }
}

void SockTcpDetach(TnSockEndpoint* endpoint) {
    if (endpoint->tcpState == kTcpStateListening) {
        TnTcpUnlisten(endpoint->listenerHandle);
        endpoint->listenerHandle = nullptr;
    } else if (endpoint->connection != nullptr) {
        TcpControlBlock* connection = endpoint->connection;
        if (endpoint->resetOnClose) {
            TnTcpAbort(connection);
        } else {
            TnTcpClose(connection);
        }
        // The connection may live on (FIN_WAIT, TIME_WAIT); cut its link to this slot.
        TcpForgetUser(connection);
        endpoint->connection = nullptr;
    }
    endpoint->tcpState = kTcpStateNone;
}

}  // namespace tarnet

using namespace tarnet;

int TnSockTcpConnect(std::uintptr_t appContext, TnSockEventFn callback, const char* remoteAddress,
                     std::uint16_t remotePort, TnSockEndpoint** out) {
    if (!SockIsInitialised()) {
        return TNSOCK_NOT_INITIALIZED;
    }
    std::uint32_t address = 0;
    if (out == nullptr || callback == nullptr || remoteAddress == nullptr ||
        TnSockParseAddr(remoteAddress, &address) != 1) {
        return TNSOCK_BAD_PARAMETER;
    }
    const std::uint16_t localPort = SockAllocatePort(kProtocolTcp);
    if (localPort == 0) {
        return TNSOCK_BIND_FAILED;
    }
    TnSockEndpoint* e = SockAllocEndpoint();
    if (e == nullptr) {
        return TNSOCK_NO_MEMORY;
    }
    e->appContext    = appContext;
    e->callback      = callback;
    e->localPort     = localPort;
    e->remotePort    = remotePort;
    e->remoteAddress = address;
    e->protocol      = kProtocolTcp;
    e->tcpState      = kTcpStateConnecting;
    SockAppend(e);
    *out = e;
    if (TnTcpConnect(reinterpret_cast<std::uintptr_t>(e), address, e->localPort, remotePort,
                     SockTcpEvent, &e->connection) != TNTCP_SUCCESS) {
        e->tcpState   = kTcpStateNone;  // there is no connection to detach
        e->connection = nullptr;
        SockRelease(e);
        return TNSOCK_GENERAL;
    }
    TnTcpSetEndpoint(e->connection, e);
    return TNSOCK_SUCCESS;
}

int TnSockTcpListen(std::uint16_t localPort, std::uintptr_t appContext, TnSockEventFn callback,
                    TnSockEndpoint** out) {
    if (!SockIsInitialised()) {
        return TNSOCK_NOT_INITIALIZED;
    }
    if (out == nullptr || callback == nullptr) {
        return TNSOCK_BAD_PARAMETER;
    }
    TnSockEndpoint* e = SockAllocEndpoint();
    if (e == nullptr) {
        return TNSOCK_NO_MEMORY;
    }
    e->appContext = appContext;
    e->callback   = callback;
    e->localPort  = localPort;
    e->protocol   = kProtocolTcp;
    e->tcpState   = kTcpStateListening;
    SockAppend(e);
    *out = e;
    return TnTcpListen(reinterpret_cast<std::uintptr_t>(e), localPort, 0, SockTcpEvent,
                       &e->listenerHandle) == TNTCP_SUCCESS
               ? TNSOCK_SUCCESS
               : TNSOCK_GENERAL;
}

int TnSockTcpSend(TnSockEndpoint* endpoint, const std::uint8_t* data, std::uint32_t length,
                  std::uint32_t* outCount) {
    if (!SockIsInitialised()) {
        return TNSOCK_NOT_INITIALIZED;
    }
    if (endpoint == nullptr || data == nullptr || length == 0 || outCount == nullptr) {
        return TNSOCK_BAD_PARAMETER;
    }
    if (!SockIsEndpoint(endpoint)) {
        return TNSOCK_GENERAL;
    }
    switch (TnTcpSend(endpoint->connection, data, length, outCount)) {
        case TNTCP_SUCCESS:
            return TNSOCK_SUCCESS;
        case TNTCP_SEND_BUFFER_FULL:
            return TNSOCK_TRANSMITTER_BUSY;
        default:
            return TNSOCK_GENERAL;
    }
}

int TnSockTcpReset(TnSockEndpoint* endpoint) {
    if (!SockIsInitialised()) {
        return TNSOCK_NOT_INITIALIZED;
    }
    if (endpoint == nullptr || !SockIsEndpoint(endpoint)) {
        return TNSOCK_BAD_PARAMETER;
    }
    if (endpoint->protocol != kProtocolTcp || endpoint->tcpState == kTcpStateListening) {
        return TNSOCK_BAD_PARAMETER;
    }
    endpoint->resetOnClose = true;
    SockRelease(endpoint);
    return TNSOCK_SUCCESS;
}

int TnSockTcpEndReason(const TnSockEndpoint* endpoint) {
    if (endpoint == nullptr || !SockIsEndpoint(endpoint) || endpoint->protocol != kProtocolTcp) {
        return 0;
    }
    return endpoint->endReason;
}

int TnSockTcpAbortAll() {
    if (!SockIsInitialised()) {
        return TNSOCK_NOT_INITIALIZED;
    }
    TnTcpAbortAll();
    return TNSOCK_SUCCESS;
}

// Whether `endpoint` is a TCP connection's endpoint that per-connection settings may change:
// TNSOCK_SUCCESS, or the result the call returns.
namespace {
int CheckConnectionEndpoint(const TnSockEndpoint* endpoint) {
    if (!SockIsInitialised()) {
        return TNSOCK_NOT_INITIALIZED;
    }
    if (endpoint == nullptr) {
        return TNSOCK_BAD_PARAMETER;
    }
    if (!SockIsEndpoint(endpoint)) {
        return TNSOCK_GENERAL;
    }
    if (endpoint->protocol != kProtocolTcp || endpoint->tcpState == kTcpStateListening) {
        return TNSOCK_BAD_PARAMETER;
    }
    if (endpoint->connection == nullptr || endpoint->tcpState == kTcpStateNone) {
        return TNSOCK_GENERAL;
    }
    return TNSOCK_SUCCESS;
}
}  // namespace

int TnSockTcpPauseReceive(TnSockEndpoint* endpoint, int on) {
    if (const int checked = CheckConnectionEndpoint(endpoint); checked != TNSOCK_SUCCESS) {
        return checked;
    }
    const bool paused = on != 0;
    if (paused == endpoint->receivePaused) {
        return TNSOCK_SUCCESS;
    }
    // Set first: resuming delivers the held data from inside the call, and the application may
    // pause again from its data event.
    endpoint->receivePaused = paused;
    switch (TnTcpPauseReceive(endpoint->connection, paused ? 1 : 0)) {
        case TNTCP_SUCCESS:
            return TNSOCK_SUCCESS;
        case TNTCP_NO_RESOURCE:
            endpoint->receivePaused = true;  // nothing was delivered: still paused
            return TNSOCK_NO_MEMORY;
        default:
            endpoint->receivePaused = !paused;
            return TNSOCK_GENERAL;
    }
}

int TnSockTcpSetNoDelay(TnSockEndpoint* endpoint, int on) {
    if (const int checked = CheckConnectionEndpoint(endpoint); checked != TNSOCK_SUCCESS) {
        return checked;
    }
    return TnTcpSetNoDelay(endpoint->connection, on) == TNTCP_SUCCESS ? TNSOCK_SUCCESS
                                                                      : TNSOCK_GENERAL;
}
