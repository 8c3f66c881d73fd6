// Tarnet socket interface: stack start and shutdown, the configuration record, result codes,
// UDP and TCP endpoints, the Ethernet input the host feeds, and the echo (ping) client.
//
// Everything runs on one thread. Addresses and ports are host-order integers across this
// interface; only wire headers are big-endian.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tarnet/tnexport.h"
#include "tarnet/tnsizes.h"

TARNET_API_BEGIN

// ---- Host callbacks -------------------------------------------------------------------------

// Opaque handle of a one-shot host timer; null means "no timer".
using TnTimerHandle = void*;
// Runs once on the stack's thread with the context given to TnTimerStartFn.
using TnTimerHandlerFn = void (*)(std::uintptr_t context);
// Starts a one-shot timer. Returns null when no timer could be started. A handle stays valid
// until its handler has run or it has been stopped.
using TnTimerStartFn = TnTimerHandle (*)(std::uint32_t delayMs, std::uintptr_t context,
                                         TnTimerHandlerFn handler);
// Cancels a running timer; its handler will not run afterwards.
using TnTimerStopFn = void (*)(TnTimerHandle handle);
// Transmits one complete Ethernet frame (no preamble, no FCS). The result is not used.
using TnSendFrameFn = int (*)(const std::uint8_t* frame, std::uint32_t length);
// Monotonic millisecond clock.
using TnGetTickCountFn = std::uint32_t (*)();
// Nonnegative pseudo-random number.
using TnRandomFn = int (*)();
// One line of diagnostic text.
using TnLogTextFn = int (*)(const char* text);

// Application event callback: (appContext, event, data, a, b, c). The result is used only for
// TNSOCK_EVENT_INCOMING, where it becomes the new endpoint's appContext (0 refuses).
using TnSockEventFn = std::uintptr_t (*)(std::uintptr_t appContext, int event, void* data,
                                         std::uint32_t a, std::uint32_t b, std::uint32_t c);

// Echo client result callback: (event, sequence or sent count, 0 or received count).
using TnPingEventFn = void (*)(int event, std::uint32_t value, std::uint32_t received);

// ---- Configuration --------------------------------------------------------------------------

struct TnSockConfig {
    const std::uint8_t* macAddress;  // 6 bytes, first byte first
    int useDhcp;                     // nonzero: obtain the address by DHCP
    const char* localIp;             // dotted quad; "0.0.0.0" with DHCP
    const char* gateway;             // dotted quad or null (0)
    const char* subnetMask;          // dotted quad or null (0)
    const char* dnsServer;           // dotted quad, may be "0.0.0.0"
    TnSockEventFn statusEvent;
    TnTimerStartFn timerStart;
    TnTimerStopFn timerStop;
    TnSendFrameFn sendFrame;
    TnGetTickCountFn getTickCount;
    TnRandomFn random;
    TnLogTextFn logText;
    std::uint32_t isnSeed;    // added to every TCP initial sequence number
    std::uint32_t reserved;   // stored, read by nothing
    TnPingEventFn pingEvent;  // null disables the echo client
};

// ---- Result codes ---------------------------------------------------------------------------

inline constexpr int TNSOCK_GENERAL             = 0;
inline constexpr int TNSOCK_SUCCESS             = 1;
inline constexpr int TNSOCK_ALREADY_INITIALIZED = 2;
inline constexpr int TNSOCK_BAD_PARAMETER       = 3;
inline constexpr int TNSOCK_NOT_INITIALIZED     = 4;
inline constexpr int TNSOCK_LOWER_LAYER_INIT    = 5;
inline constexpr int TNSOCK_LOWER_LAYER_CREATE  = 6;
inline constexpr int TNSOCK_BIND_FAILED         = 7;
inline constexpr int TNSOCK_NO_MEMORY           = 8;
inline constexpr int TNSOCK_CONNECT_FAILED      = 9;
inline constexpr int TNSOCK_OPERATION_PENDING   = 10;
inline constexpr int TNSOCK_ALREADY_LISTENING   = 11;
inline constexpr int TNSOCK_TRANSMITTER_BUSY    = 12;

// ---- Events of TnSockEventFn ----------------------------------------------------------------

inline constexpr int TNSOCK_EVENT_DATA      = 0;  // data, length, UDP source port, UDP source addr
inline constexpr int TNSOCK_EVENT_CLOSED    = 1;  // TCP connection closed
inline constexpr int TNSOCK_EVENT_CONNECTED = 2;  // outgoing TCP connection established
inline constexpr int TNSOCK_EVENT_INCOMING  = 3;  // new endpoint, remote port, remote addr, port
inline constexpr int TNSOCK_EVENT_ADDRESS   = 5;  // statusEvent only: data = TnDhcpLease*
// statusEvent only: the address (a = the address lost) was taken away, because its lease ended
// or the server refused it. The stack goes on asking for a new one.
inline constexpr int TNSOCK_EVENT_ADDRESS_LOST = 6;

// ---- Echo client events ---------------------------------------------------------------------

inline constexpr int TNSOCK_PING_TIMEOUT = 0;  // value = sequence
inline constexpr int TNSOCK_PING_SENT    = 1;  // value = sequence
inline constexpr int TNSOCK_PING_REPLY   = 2;  // value = sequence
inline constexpr int TNSOCK_PING_DONE    = 3;  // value = sent count, received = received count

// Results of TnSockPingStart.
inline constexpr int TNSOCK_PING_STARTED         = 0;
inline constexpr int TNSOCK_PING_BAD_PARAMETER   = 1;
inline constexpr int TNSOCK_PING_NOT_INITIALIZED = 2;
inline constexpr int TNSOCK_PING_RUNNING         = 4;

// Largest payload TnSockUdpSendto takes.
inline constexpr std::uint32_t TNSOCK_UDP_MAX_PAYLOAD = 1500;

// One slot of the endpoint table; its address is the handle given to the application.
struct TnSockEndpoint;

// ---- Stack ----------------------------------------------------------------------------------

int TnSockInit(const TnSockConfig* config);
void TnSockDeinit();
const char* TnSockResultName(int code);

// The host hands every received Ethernet frame here. The layers may modify the frame in place
// while processing it; it is not used after the call returns.
void TnSockEthernetInput(std::uint8_t* frame, std::uint32_t length);
// The host calls this after handing in the frames that were waiting in one pass of its loop
// (every host must: the Linux loop, the Qt binding and the test harness do). TCP acknowledges
// received data once per two full-sized segments and at the end of each batch, so that a burst
// of frames read together is answered by one acknowledgment per two segments, not one per
// segment. Cheap when nothing waits. A host that never calls it still has every byte
// acknowledged, 200 ms after it arrived at the latest, at the cost of a slower peer.
void TnSockEndOfInput();

// Opt-in TCP buffer sizes beside the configuration record, for a host that trades memory for
// speed on a long path. They apply from the next TnSockInit on and stay set across TnSockDeinit;
// 0 keeps the default (a 4096-byte receive window and send ring). The receive window is offered
// to every peer (2048 to 32768 bytes; there is no window scaling) and also sizes the data held
// beyond a hole and during a receive pause; the send ring (1 to 65535 bytes) takes what
// TnSockTcpSend hands over until it is sent. Memory per connection grows with both.
// TNSOCK_BAD_PARAMETER for a size out of range (the settings then stay as they were).
inline constexpr std::uint32_t TNSOCK_TCP_WINDOW_MIN = 2048;
inline constexpr std::uint32_t TNSOCK_TCP_WINDOW_MAX = 32768;
inline constexpr std::uint32_t TNSOCK_TCP_RING_MAX   = 65535;
int TnSockSetTcpBuffers(std::uint32_t receiveWindow, std::uint32_t sendRing);

// ---- UDP ------------------------------------------------------------------------------------

int TnSockUdpOpen(std::uintptr_t appContext, TnSockEventFn callback, std::uint16_t localPort,
                  TnSockEndpoint** out);
int TnSockUdpSendto(TnSockEndpoint* endpoint, std::uint32_t remoteAddress, std::uint16_t remotePort,
                    const std::uint8_t* data, std::uint32_t length);
int TnSockClose(TnSockEndpoint* endpoint);

// ---- TCP ------------------------------------------------------------------------------------

int TnSockTcpConnect(std::uintptr_t appContext, TnSockEventFn callback, const char* remoteAddress,
                     std::uint16_t remotePort, TnSockEndpoint** out);
int TnSockTcpListen(std::uint16_t localPort, std::uintptr_t appContext, TnSockEventFn callback,
                    TnSockEndpoint** out);
int TnSockTcpSend(TnSockEndpoint* endpoint, const std::uint8_t* data, std::uint32_t length,
                  std::uint32_t* outCount);
// Pauses (on != 0) or resumes the delivery of received data on a connected TCP endpoint, for an
// application that cannot take more for now. While paused the stack acknowledges and keeps what
// arrives, up to its receive window, and offers the peer only the room left, down to a zero
// window; the peer's close is reported only after the data in front of it. Resuming delivers
// what was kept, as TNSOCK_EVENT_DATA from inside this call, and reopens the window. Closing a
// connection while it keeps undelivered data resets it. TNSOCK_BAD_PARAMETER for anything but
// a TCP connection's endpoint, TNSOCK_GENERAL once the connection has closed.
int TnSockTcpPauseReceive(TnSockEndpoint* endpoint, int on);
// Short segments normally wait while earlier data is unacknowledged, so that a stream of small
// writes goes out in full-sized segments (RFC 896). With on != 0 the end of each write goes out
// at once, for interactive use where each write waits for an answer. Off for every new
// connection. TNSOCK_BAD_PARAMETER for anything but a TCP connection's endpoint, TNSOCK_GENERAL
// once the connection has closed.
int TnSockTcpSetNoDelay(TnSockEndpoint* endpoint, int on);
// Closes a TCP endpoint as TnSockClose does, but ends a synchronized connection with a reset
// instead of a FIN: the peer learns that the stream was cut, not ended (a receiver that takes
// a FIN as the end of a file would keep a truncated one). TNSOCK_BAD_PARAMETER for anything but
// a TCP connection's endpoint.
int TnSockTcpReset(TnSockEndpoint* endpoint);
// During TNSOCK_EVENT_CLOSED: how the connection ended (TNSOCK_TCP_END_PEER_CLOSED for the
// peer's FIN, TNSOCK_TCP_END_PEER_RESET for its reset, ...). 0 for anything but a TCP endpoint
// that is being told of its end. Read-only.
int TnSockTcpEndReason(const TnSockEndpoint* endpoint);
// Resets every TCP connection now, from the stack's current address, as TnSockDeinit would at
// shut-down: for a host that is about to give its address back (a DHCP release) and must not
// leave its peers with connections that a reset from no address can no longer end. Endpoints
// still connected hear TNSOCK_EVENT_CLOSED; listeners stay.
int TnSockTcpAbortAll();

// ---- Echo client ----------------------------------------------------------------------------

// Sends `count` echo requests to `target`, one at a time: each waits up to timeoutMs for its
// reply, and the next leaves 50 ms after that reply or timeout.
int TnSockPingStart(std::uint32_t target, std::uint32_t timeoutMs, std::uint32_t count,
                    std::uint32_t payloadSize);
// As TnSockPingStart, but paced: each request leaves intervalMs after the one before, or at once
// when the reply or timeout of the one before comes later than that (one request is out at a
// time). intervalMs 0 is TnSockPingStart's pacing.
int TnSockPingStartEvery(std::uint32_t target, std::uint32_t timeoutMs, std::uint32_t count,
                         std::uint32_t payloadSize, std::uint32_t intervalMs);
void TnSockPingStop();

// ---- Diagnostics ----------------------------------------------------------------------------
//
// A read-only report of what happens inside the stack, for programs that want to tell their
// users how a connection ended or how a lookup went without reading frames or log texts. Setting
// no hook changes nothing; the hook may be set at any time and stays set across TnSockInit and
// TnSockDeinit. It runs on the stack's thread, inside the stack: it must not call the stack.

inline constexpr int TNSOCK_DIAG_TCP_ESTABLISHED = 1;  // a TCP connection reached ESTABLISHED
inline constexpr int TNSOCK_DIAG_TCP_ENDED       = 2;  // a TCP connection ended: reason, refused
inline constexpr int TNSOCK_DIAG_DNS_RESULT      = 3;  // a lookup ended: dnsOutcome, address
inline constexpr int TNSOCK_DIAG_DHCP_LEASE      = 4;  // a lease was bound or renewed: lease
inline constexpr int TNSOCK_DIAG_DHCP_LOST       = 5;  // the address was lost: address
// A datagram was handed to the link, all its fragments (after any wait for ARP): protocol,
// localAddress and remoteAddress (its source and destination), and in localPort and remotePort
// the ports of UDP and TCP, or the identifier and sequence number of an ICMP echo request (0
// for other ICMP messages).
inline constexpr int TNSOCK_DIAG_DATAGRAM_SENT = 6;
// The DHCP client stopped without an address: it gave up acquiring one (no server answered, or
// its port could not be opened), or it gave its lease back on request (TnDhcpStop).
inline constexpr int TNSOCK_DIAG_DHCP_STOPPED = 7;

// How a TCP connection ended.
inline constexpr int TNSOCK_TCP_END_PEER_CLOSED = 1;  // the peer sent its FIN
inline constexpr int TNSOCK_TCP_END_PEER_RESET  = 2;  // the peer reset it
// The handshake we opened failed: a reset refused the SYN, or (with `unanswered` set) nothing
// came back through all the SYN's retransmissions.
inline constexpr int TNSOCK_TCP_END_REFUSED   = 3;
inline constexpr int TNSOCK_TCP_END_TIMED_OUT = 4;  // retransmissions or a state timer ran out
inline constexpr int TNSOCK_TCP_END_ABORTED   = 5;  // reset by us (user abort, shut-down, refusal)
inline constexpr int TNSOCK_TCP_END_CLOSED =
    6;  // closed by us: both FINs exchanged and acknowledged

// Outcome of a DNS lookup.
inline constexpr int TNSOCK_DNS_ANSWER      = 1;  // address holds the answer
inline constexpr int TNSOCK_DNS_NXDOMAIN    = 2;  // the name does not exist
inline constexpr int TNSOCK_DNS_NO_ADDRESS  = 3;  // the name exists but has no A record
inline constexpr int TNSOCK_DNS_SERVFAIL    = 4;
inline constexpr int TNSOCK_DNS_REFUSED     = 5;
inline constexpr int TNSOCK_DNS_TRUNCATED   = 6;  // the answer did not fit a UDP reply
inline constexpr int TNSOCK_DNS_NO_RESPONSE = 7;  // no answer after the last retransmission
inline constexpr int TNSOCK_DNS_OTHER_ERROR = 8;  // another RCODE (FORMERR, NOTIMP, ...)

struct TnDhcpLease;

struct TnSockDiagnostic {
    int kind;  // TNSOCK_DIAG_...
    // TCP: the endpoint while the application still holds it (null once it closed its side),
    // the connection's addresses and ports, and whether we opened it.
    const TnSockEndpoint* endpoint;
    std::uint32_t localAddress;
    std::uint16_t localPort;
    std::uint32_t remoteAddress;
    std::uint16_t remotePort;
    int active;                     // 1: opened by TnSockTcpConnect; 0: accepted by a listener
    std::uint32_t initialSequence;  // our initial sequence number (TCP reports)
    int reason;                     // TNSOCK_DIAG_TCP_ENDED: TNSOCK_TCP_END_...
    std::uint32_t refusedBytes;     // TCP_ENDED: data that arrived after our close, refused by RST
    // DNS: the name asked for, the outcome and, with TNSOCK_DNS_ANSWER, the address.
    const char* name;
    int dnsOutcome;
    std::uint32_t address;  // DNS answer; DHCP_LOST: the address given up
    // DHCP_LEASE: the lease (valid during the call).
    const TnDhcpLease* lease;
    int protocol;  // DATAGRAM_SENT: the IPv4 protocol number (1 ICMP, 6 TCP, 17 UDP)
    // TCP_ENDED: 1 when the handshake gave up because our SYN (or SYN+ACK) went unanswered
    // through all its retransmissions, with no reset either; 0 otherwise.
    int unanswered;
};

using TnSockDiagnosticFn = void (*)(std::uintptr_t context, const TnSockDiagnostic* diagnostic);

// Sets (or with null clears) the stack-wide diagnostic hook.
void TnSockSetDiagnostics(TnSockDiagnosticFn hook, std::uintptr_t context);

// ---- Counters -------------------------------------------------------------------------------
//
// What passed through each layer and what each dropped, and why: a trace of a dropped frame
// that a user can read without a log. Every count starts at 0 in TnSockInit, stays readable
// after TnSockDeinit, and wraps at 2^32.

struct TnSockCounters {
    // Frames handed in by the host (TnSockEthernetInput) and handed to sendFrame.
    std::uint32_t framesIn;
    std::uint32_t framesOut;
    // Per layer: packets that passed the layer's checks on input, and packets it sent. IPv4
    // counts whole datagrams (after reassembly); TCP and UDP count segments and datagrams.
    std::uint32_t arpIn;
    std::uint32_t arpOut;
    std::uint32_t ipIn;
    std::uint32_t ipOut;
    std::uint32_t icmpIn;
    std::uint32_t icmpOut;
    std::uint32_t udpIn;
    std::uint32_t udpOut;
    std::uint32_t tcpIn;
    std::uint32_t tcpOut;
    // Drops by reason; a dropped frame counts under exactly one of them.
    std::uint32_t dropChecksum;           // IPv4 header, ICMP, UDP or TCP checksum wrong
    std::uint32_t dropNotForUs;           // another station's MAC or IPv4 address, or an ARP target
    std::uint32_t dropMalformed;          // lengths, versions or fields no sender may use
    std::uint32_t dropUnknownProtocol;    // an EtherType or IPv4 protocol the stack does not speak
    std::uint32_t dropNoListener;         // UDP to a closed port, TCP to no connection or listener
    std::uint32_t dropOutOfWindow;        // TCP sequence or acknowledgment outside the window
    std::uint32_t dropNoMemory;           // no control block, receive buffer or room to hold data
    std::uint32_t dropReassemblyTimeout;  // a fragmented datagram never completed
    std::uint32_t dropReassemblyOverflow;  // too many datagrams or pieces in reassembly at once
    std::uint32_t dropArpQueueFull;        // a datagram waiting for ARP replaced by the next one
    // TCP: segments sent again (any cause), of those the fast retransmits after three duplicate
    // acknowledgments, retransmission-timer expiries, resets sent and received, and challenge
    // acknowledgments (RFC 5961) sent for a suspicious RST, SYN or acknowledgment.
    std::uint32_t tcpRetransmissions;
    std::uint32_t tcpFastRetransmits;
    std::uint32_t tcpTimeouts;
    std::uint32_t tcpResetsSent;
    std::uint32_t tcpResetsReceived;
    std::uint32_t tcpChallengeAcks;
    // DNS queries sent and answers that ended a lookup; DHCP messages sent and replies taken.
    std::uint32_t dnsQueries;
    std::uint32_t dnsAnswers;
    std::uint32_t dhcpSent;
    std::uint32_t dhcpReceived;
};

// Copies the counters into *out (nothing for null). Read-only; works before, during and after
// the stack runs.
void TnSockGetCounters(TnSockCounters* out);

// 1 when the ARP cache holds a hardware address for `address` (a neighbour that has answered),
// else 0. Read-only: sends nothing.
int TnSockNeighbourKnown(std::uint32_t address);

// Test hook: with on = 1 (set before TnSockInit), TCP initial sequence numbers leave out their
// keyed-hash term and are (tick count << 8) + isnSeed, so a test can steer them. Never for use
// on a real network: the numbers become predictable.
void TnSockSetPredictableIsn(int on);

// ---- Addresses ------------------------------------------------------------------------------

// Parses dotted-quad text (4.4BSD rules: 1 to 4 parts, decimal, octal or hexadecimal).
// Returns 1 and stores the host-order address when out is given, 0 when the text is invalid.
int TnSockParseAddr(const char* text, std::uint32_t* out);
// Writes "a.b.c.d" into buffer (at least 16 characters).
void TnSockFormatAddr(std::uint32_t address, char* buffer);

TARNET_API_END
