// The sizes of the stack's fixed tables and buffers and of the client libraries' session pools,
// in one place. The defaults are the Linux build's. A port chooses others on the compiler's
// command line, for the libraries and for every program that includes their headers alike:
// -DTARNET_PROFILE_SMALL for the microcontroller profile below, or any one size, such as
// -DTARNET_ARP_ENTRIES=16. A smaller table gives the usual "no resources" answers when it is
// full (a refused endpoint, connection or session, a datagram too large to send, a fragment
// not reassembled, an ARP entry replaced sooner), never a write past its end.
#pragma once

#if defined(TARNET_PROFILE_SMALL)
// Two or three connections, one UDP endpoint and a resolver on a part with 64 KiB of RAM: no
// 64 KiB pings, fragments only of datagrams up to a full Ethernet frame.
#ifndef TARNET_MAX_DATAGRAM
#define TARNET_MAX_DATAGRAM 1528  // the largest UDP payload (1500 bytes) still goes out
#endif
#ifndef TARNET_REASSEMBLY_ENTRIES
#define TARNET_REASSEMBLY_ENTRIES 1
#endif
#ifndef TARNET_REASSEMBLY_MAX
#define TARNET_REASSEMBLY_MAX 1528
#endif
#ifndef TARNET_SOCKET_ENDPOINTS
#define TARNET_SOCKET_ENDPOINTS 4
#endif
#ifndef TARNET_ARP_ENTRIES
#define TARNET_ARP_ENTRIES 8
#endif
#ifndef TARNET_ARP_BUCKETS
#define TARNET_ARP_BUCKETS 16
#endif
#ifndef TARNET_TCP_WINDOW
#define TARNET_TCP_WINDOW 2048
#endif
#ifndef TARNET_TCP_SEND_RING
#define TARNET_TCP_SEND_RING 2048
#endif
#ifndef TARNET_TCP_RTX_SLOTS
#define TARNET_TCP_RTX_SLOTS 3  // the ring's one full segment, its remainder and the FIN
#endif
#ifndef TARNET_TCP_BUFFERS_ON_OPEN
#define TARNET_TCP_BUFFERS_ON_OPEN 1
#endif
#ifndef TARNET_SOCKET_SHARED_TX
#define TARNET_SOCKET_SHARED_TX 1
#endif
#endif

// The largest IPv4 datagram the stack sends, header included; sizes the pool of frame buffers
// that fragments are cut into and the echo client's message (65535: 64 KiB pings).
#ifndef TARNET_MAX_DATAGRAM
#define TARNET_MAX_DATAGRAM 65535
#endif
// Datagrams reassembled at once, and the largest reassembled payload.
#ifndef TARNET_REASSEMBLY_ENTRIES
#define TARNET_REASSEMBLY_ENTRIES 8
#endif
#ifndef TARNET_REASSEMBLY_MAX
#define TARNET_REASSEMBLY_MAX 4096
#endif
// Socket endpoints (UDP, TCP listeners and connections together); TCP keeps as many control
// blocks, each with its send ring and receive buffers from the heap at TnSockInit.
#ifndef TARNET_SOCKET_ENDPOINTS
#define TARNET_SOCKET_ENDPOINTS 11
#endif
// ARP cache entries and hash buckets.
#ifndef TARNET_ARP_ENTRIES
#define TARNET_ARP_ENTRIES 50
#endif
#ifndef TARNET_ARP_BUCKETS
#define TARNET_ARP_BUCKETS 256
#endif
// Each TCP connection's receive window and send ring (until TnSockSetTcpBuffers sets others),
// and its retransmission slots (one unacknowledged segment each, at least two more than the
// send ring has full segments).
#ifndef TARNET_TCP_WINDOW
#define TARNET_TCP_WINDOW 4096
#endif
#ifndef TARNET_TCP_SEND_RING
#define TARNET_TCP_SEND_RING 4096
#endif
#ifndef TARNET_TCP_RTX_SLOTS
#define TARNET_TCP_RTX_SLOTS 10
#endif
// TCP control blocks: connections open at once, those in TIME_WAIT included.
#ifndef TARNET_TCP_CONNECTIONS
#define TARNET_TCP_CONNECTIONS TARNET_SOCKET_ENDPOINTS
#endif
// 0: every control block gets its send ring, reorder buffer and retransmission slots at
// TnSockInit. 1: a block takes them from the heap when its connection opens and gives them back
// when it ends, so that RAM grows with the connections open; a connection whose buffers cannot
// be allocated is refused as one that finds no free block.
#ifndef TARNET_TCP_BUFFERS_ON_OPEN
#define TARNET_TCP_BUFFERS_ON_OPEN 0
#endif
// 0: every endpoint has its own area in which a UDP datagram is put together before IPv4 copies
// it into frame buffers. 1: all endpoints share one such area (IPv4 has copied the datagram
// before anything else can send), which saves an area of TNSOCK_UDP_MAX_PAYLOAD bytes and more
// per endpoint.
#ifndef TARNET_SOCKET_SHARED_TX
#define TARNET_SOCKET_SHARED_TX 0
#endif

// ---- DNS resolver and DHCP client --------------------------------------------------------------
#if defined(TARNET_PROFILE_SMALL)
// One query in flight (it takes an endpoint), two names remembered.
#ifndef TARNET_DNS_CACHE_ENTRIES
#define TARNET_DNS_CACHE_ENTRIES 2
#endif
#ifndef TARNET_DNS_PENDING
#define TARNET_DNS_PENDING 1
#endif
#ifndef TARNET_DNS_OUTCOMES
#define TARNET_DNS_OUTCOMES 2
#endif
#ifndef TARNET_DNS_QUERY_BUFFER
#define TARNET_DNS_QUERY_BUFFER 320
#endif
#ifndef TARNET_DHCP_MESSAGE_BUFFER
#define TARNET_DHCP_MESSAGE_BUFFER 288
#endif
#endif
// Answers cached (one heap list node of about 260 bytes each; the oldest goes first), queries in
// flight at once (a node and an endpoint each; a new one abandons the oldest), and the lookups
// whose outcome is remembered for TnDnsLastOutcome (static, about 260 bytes each). Every name
// buffer holds the longest name DNS allows, 254 characters.
#ifndef TARNET_DNS_CACHE_ENTRIES
#define TARNET_DNS_CACHE_ENTRIES 3
#endif
#ifndef TARNET_DNS_PENDING
#define TARNET_DNS_PENDING 3
#endif
#ifndef TARNET_DNS_OUTCOMES
#define TARNET_DNS_OUTCOMES 8
#endif
// The buffers a query and a DHCP message are built in, on the C stack while they are sent: the
// longest query (a 255-octet name) and the longest message the client sends must fit.
#ifndef TARNET_DNS_QUERY_BUFFER
#define TARNET_DNS_QUERY_BUFFER 512
#endif
#ifndef TARNET_DHCP_MESSAGE_BUFFER
#define TARNET_DHCP_MESSAGE_BUFFER 512
#endif

static_assert(TARNET_DNS_CACHE_ENTRIES >= 1 && TARNET_DNS_PENDING >= 1 && TARNET_DNS_OUTCOMES >= 1);
static_assert(TARNET_DNS_QUERY_BUFFER >= 313 && TARNET_DNS_QUERY_BUFFER <= 1500,
              "a query for a 255-octet name (and its 42 bytes of headroom) must fit");
static_assert(TARNET_DHCP_MESSAGE_BUFFER >= 270 && TARNET_DHCP_MESSAGE_BUFFER <= 1500,
              "the longest DHCP message the client sends must fit");
// -------------------------------------------------------------------------------------------------

static_assert(TARNET_MAX_DATAGRAM >= 576 && TARNET_MAX_DATAGRAM <= 65535,
              "every IPv4 host must take 576-byte datagrams (RFC 791)");
static_assert(TARNET_REASSEMBLY_ENTRIES >= 1 && TARNET_REASSEMBLY_MAX >= 576);
static_assert(TARNET_SOCKET_ENDPOINTS >= 1 && TARNET_SOCKET_ENDPOINTS <= 255);
static_assert(TARNET_ARP_ENTRIES >= 1 && TARNET_ARP_BUCKETS >= 1);
static_assert(TARNET_TCP_WINDOW >= 2048 && TARNET_TCP_WINDOW <= 32768);
static_assert(TARNET_TCP_SEND_RING >= 1 && TARNET_TCP_SEND_RING <= 65535);
static_assert(TARNET_TCP_CONNECTIONS >= 1 && TARNET_TCP_CONNECTIONS <= 64);
static_assert(TARNET_TCP_RTX_SLOTS >= 3, "a full segment, a remainder and a FIN");

// ---- FTP and SMTP client libraries --------------------------------------------------------
// The small profile keeps one mail and one FTP session with its data connection, and every
// limit a caller can reach (names, addresses, command lines); a mail beyond its sessions is
// refused with TNSMTP_NO_MEMORY, an FTP session or data connection beyond its records with
// TNFTP_NO_FREE_CONTEXTS or TNFTP_EV_NO_FREE_CONTEXT.
#if defined(TARNET_PROFILE_SMALL)
#ifndef TARNET_SMTP_SESSIONS
#define TARNET_SMTP_SESSIONS 1
#endif
// RFC 5321 4.5.3.1.5: 512 octets is the longest reply line a server sends.
#ifndef TARNET_CLIENT_REPLY_LINE
#define TARNET_CLIENT_REPLY_LINE 512
#endif
#ifndef TARNET_SMTP_ATTACH_CHUNK
#define TARNET_SMTP_ATTACH_CHUNK 1536
#endif
#ifndef TARNET_FTP_LOCAL_DIR
#define TARNET_FTP_LOCAL_DIR 260
#endif
// The FTP folder walker (recursive delete, download and upload) is left out.
#ifndef TARNET_FTP_TREE
#define TARNET_FTP_TREE 0
#endif
#endif

// SMTP sessions open at once.
#ifndef TARNET_SMTP_SESSIONS
#define TARNET_SMTP_SESSIONS 5
#endif
// FTP session records: control sessions and their data connections share them, one logged-in
// session with a transfer running takes two.
#ifndef TARNET_FTP_SESSIONS
#define TARNET_FTP_SESSIONS 2
#endif
// The longest reply line (CR LF included) either client takes, and the joined text of one
// reply; each session holds one of each. A longer line ends the session.
#ifndef TARNET_CLIENT_REPLY_LINE
#define TARNET_CLIENT_REPLY_LINE 1024
#endif
// Attachment bytes SMTP reads (and base64-encodes) at once; each session holds the read buffer
// and its base64. A multiple of 3, so that only the last chunk ends in padding.
#ifndef TARNET_SMTP_ATTACH_CHUNK
#define TARNET_SMTP_ATTACH_CHUNK 3072
#endif
// 1: the FTP folder walker is built in (TnFtpTree...); 0: it is left out, and never starts.
#ifndef TARNET_FTP_TREE
#define TARNET_FTP_TREE 1
#endif
// The longest local folder path the FTP folder walker saves, to go back to when a walk fails.
#ifndef TARNET_FTP_LOCAL_DIR
#define TARNET_FTP_LOCAL_DIR 4096
#endif

static_assert(TARNET_SMTP_SESSIONS >= 1 && TARNET_SMTP_SESSIONS <= 255);
static_assert(TARNET_FTP_SESSIONS >= 2, "a logged-in session and its data connection");
static_assert(TARNET_CLIENT_REPLY_LINE >= 512, "RFC 5321 4.5.3.1.5");
static_assert(TARNET_SMTP_ATTACH_CHUNK >= 3 && TARNET_SMTP_ATTACH_CHUNK % 3 == 0);
static_assert(TARNET_FTP_LOCAL_DIR >= 260);
