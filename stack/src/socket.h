// The socket layer's endpoint table, shared by the UDP operations, the TCP operations and the
// stack's start and shutdown.
#pragma once

#include <cstdint>

#include "tarnet/tnlist.h"
#include "tarnet/tnsock.h"
#include "udp.h"

struct TcpControlBlock;

inline constexpr int kSockEndpoints = TARNET_SOCKET_ENDPOINTS;

inline constexpr int kTcpStateNone       = 0;
inline constexpr int kTcpStateConnecting = 1;
inline constexpr int kTcpStateListening  = 2;
inline constexpr int kTcpStateConnected  = 3;

inline constexpr std::uint32_t kSockTxHeadroom = 100;

struct TnSockEndpoint {
    int inUse;
    std::uintptr_t appContext;
    TnListNode* listenerHandle;
    TcpControlBlock* connection;
    int tcpState;
    std::uint16_t localPort;
    std::uint16_t remotePort;
    std::uint32_t remoteAddress;
    std::uint32_t protocol;
    bool receivePaused;  // TCP: TnSockTcpPauseReceive holds arriving data in the stack
    bool resetOnClose;   // TCP: TnSockTcpReset ends the connection with a reset
    int endReason;       // TCP: how the connection ended (TNSOCK_TCP_END_...), while it is told
#if !TARNET_SOCKET_SHARED_TX
    std::uint8_t txArea[kSockTxHeadroom + TNSOCK_UDP_MAX_PAYLOAD];
#endif
    TnSockEventFn callback;
    TnSockEndpoint* next;
    TnSockEndpoint* prev;
};

namespace tarnet {

// Stack-wide state kept by the socket layer.
bool SockIsInitialised();
std::uint32_t SockLocalAddress();

// Endpoint table.
void SockResetTable();                // clears the table and the list
TnSockEndpoint* SockAllocEndpoint();  // lowest free slot, cleared and marked in use; null if full
void SockAppend(TnSockEndpoint* endpoint);
void SockRelease(TnSockEndpoint* endpoint);  // detach from TCP, unlink, free the slot
void SockReleaseAll();  // every endpoint in list order, no application callback
TnSockEndpoint* SockLookup(std::uint32_t protocol, std::uint16_t localPort,
                           std::uint16_t remotePort, std::uint32_t remoteAddress);
// A random free port in 10000-64999 for `protocol` (6 or 17), or 0 when every one is taken
// (RFC 6056 3.3.1: a fresh random choice per allocation, skipping ports in use).
std::uint16_t SockAllocatePort(std::uint32_t protocol);
// 32 random bits from the host's random callback (which TnSockInit requires).
std::uint32_t SockRandom32();
bool SockIsEndpoint(const TnSockEndpoint* endpoint);  // a slot of the table, in use
std::uint32_t SockEndpointsInUse();                   // slots in use (0 after a shut-down)
// A UDP endpoint in use that was opened with this callback and context: lets a layer that
// opened an endpoint tell whether the slot is still its own before closing it (after a shutdown
// the slot may be free, or reused by someone else).
bool SockIsUdpEndpointOf(const TnSockEndpoint* endpoint, TnSockEventFn callback,
                         std::uintptr_t appContext);

// UDP's delivery function.
void SockDatagramInput(std::uint32_t srcAddress, std::uint16_t srcPort, std::uint16_t dstPort,
                       int protocol, const std::uint8_t* payload, std::uint32_t length);

// TCP side (socket_tcp.cpp).
void SockTcpEvent(std::uintptr_t endpoint, int notification, void* item, std::uint32_t a,
                  std::uint32_t b);
void SockTcpDetach(TnSockEndpoint* endpoint);

}  // namespace tarnet
