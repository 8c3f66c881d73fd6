// TCP layer interface used by the socket layer and IPv4 input: a fixed pool of control blocks,
// listeners, and per-connection state machines. The control block itself is defined in
// tcp_internal.h.
#pragma once

#include <cstdint>

#include "ipv4.h"
#include "tarnet/tnlist.h"
#include "tarnet/tnsock.h"

struct TcpControlBlock;

// Notification events.
inline constexpr int TNTCP_NOTIFY_CONNECT_REQUEST = 0;  // (listener ctx, new block, port, addr)
inline constexpr int TNTCP_NOTIFY_DATA            = 1;  // (ctx, buffer from rxAlloc, length, 0)
inline constexpr int TNTCP_NOTIFY_CLOSED          = 2;
inline constexpr int TNTCP_NOTIFY_CONNECTED       = 3;

// Result codes.
inline constexpr int TNTCP_SUCCESS             = 0;
inline constexpr int TNTCP_ALREADY_INITIALIZED = 1;
inline constexpr int TNTCP_NOT_INITIALIZED     = 2;
inline constexpr int TNTCP_BAD_PARAMETER       = 3;
inline constexpr int TNTCP_INIT_FAILED         = 4;
inline constexpr int TNTCP_NO_RESOURCE         = 5;
inline constexpr int TNTCP_SEND_BUFFER_FULL    = 6;
inline constexpr int TNTCP_WRONG_STATE         = 7;

// (user context, event, item, number, address); the result is ignored.
using TnTcpNotifyFn = void (*)(std::uintptr_t userContext, int event, void* item,
                               std::uint32_t number, std::uint32_t address);
// Allocates the buffer in which received data is handed to the user, who frees it.
using TnTcpRxAllocFn = void* (*)(std::uintptr_t userContext, std::uint16_t length);

struct TnTcpConfig {
    std::uint32_t localAddr;
    int maxConnections;
    std::uint32_t rcvWindow;
    std::uint32_t rtoMax;
    std::uint32_t rtoFloor;
    std::uint32_t maxRetransmits;
    std::uint32_t reservedTimeout;
    std::uint32_t reservedRetries;
    std::uint32_t timeWaitMs;
    TnGetTickCountFn getTickCount;
    std::uint32_t isnSeed;
    TnTimerStartFn timerStart;
    TnTimerStopFn timerStop;
    TnTcpRxAllocFn rxAlloc;
    TnLogTextFn logText;
    std::uint32_t sendRingSize;
};

int TnTcpInit(const TnTcpConfig* config);
void TnTcpDeinit();
// Control blocks and listeners allocated, in use or pooled, and armed timers of the blocks: 0
// once the layer has been shut down and gave everything back (a check for tests).
std::uint32_t TnTcpHoldings();
// Resets every connection that is not complete (one in TIME_WAIT stays, quietly), telling each
// user still attached that it closed; the layer stays up.
void TnTcpAbortAll();
void TnTcpSetLocalAddress(const std::uint32_t* address);
// Sets the 16-byte secret of the keyed hash that every initial sequence number carries (RFC 6528);
// null leaves the hash out, so that ISNs are (tick << 8) + isnSeed (a test mode). Call after
// TnTcpInit, which forgets the secret.
void TnTcpSetIsnSecret(const std::uint8_t* secret);
// True when a control block (in any state, TIME_WAIT included) uses this local port.
bool TnTcpPortInUse(std::uint16_t localPort);
int TnTcpConnect(std::uintptr_t userContext, std::uint32_t remoteAddr, std::uint16_t localPort,
                 std::uint16_t remotePort, TnTcpNotifyFn notify, TcpControlBlock** out);
int TnTcpListen(std::uintptr_t userContext, std::uint16_t localPort, std::uint32_t remoteAddr,
                TnTcpNotifyFn notify, TnListNode** out);
int TnTcpUnlisten(TnListNode* handle);
int TnTcpAccept(TcpControlBlock* block, std::uintptr_t userContext);
// Names the socket layer's endpoint that holds the connection, for the diagnostic reports (the
// socket layer calls it when it opens or accepts a connection). TCP never looks inside it.
void TnTcpSetEndpoint(TcpControlBlock* block, const TnSockEndpoint* endpoint);
int TnTcpSend(TcpControlBlock* block, const std::uint8_t* data, std::uint32_t length,
              std::uint32_t* outCount);
int TnTcpClose(TcpControlBlock* block);
// Ends the connection with a reset (RFC 9293 3.10.7 ABORT) where the peer has been synchronized,
// so that it learns the stream was cut, not ended; otherwise as TnTcpClose.
int TnTcpAbort(TcpControlBlock* block);
// How the connection ended (TNSOCK_TCP_END_...) once that has been reported, else 0.
int TnTcpEndReason(const TcpControlBlock* block);
// Pauses (on != 0) or resumes receiving. While paused, arriving data is acknowledged and held
// (up to the receive window, which shrinks accordingly), not delivered; resuming delivers it
// from inside this call and sends a window update. TNTCP_WRONG_STATE once the user has closed
// the connection.
int TnTcpPauseReceive(TcpControlBlock* block, int on);
// `segment` is the IPv4 payload, `length` bytes starting at the TCP header; `ip` its addresses.
void TnTcpInput(const tarnet::Ipv4Datagram& ip, std::uint8_t* segment, std::uint16_t length);
// End of the host's batch of frames: acknowledges the data whose acknowledgment was delayed.
// Returns at once when nothing waits.
void TnTcpFlushAcks();
// on != 0: a short segment at the end of the user's data goes out at once even while earlier
// data is unacknowledged (no Nagle hold). TNTCP_WRONG_STATE for a block not in use.
int TnTcpSetNoDelay(TcpControlBlock* block, int on);

namespace tarnet {

// Cuts the link to the user: no further notification reaches the old user context, and new
// data that still arrives is refused with a reset (RFC 1122 4.2.2.13). The socket layer calls it
// when its endpoint lets go of a connection that may live on (FIN_WAIT, TIME_WAIT).
void TcpForgetUser(TcpControlBlock* block);

}  // namespace tarnet
