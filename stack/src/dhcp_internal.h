// DHCP client internals shared with its unit tests and fuzz target: the reply parser, the
// datagram handler of the port-68 endpoint and the name of the current state.
#pragma once

#include <cstdint>
#include <span>

#include "tarnet/tndhcp.h"

namespace tarnet::dhcp {

inline constexpr std::uint16_t kServerPort = 67;
inline constexpr std::uint16_t kClientPort = 68;

// Offsets in the BOOTP part of a message (RFC 2131 §2, figure 1).
inline constexpr std::size_t kOpOffset      = 0;
inline constexpr std::size_t kHtypeOffset   = 1;
inline constexpr std::size_t kHlenOffset    = 2;
inline constexpr std::size_t kXidOffset     = 4;
inline constexpr std::size_t kSecsOffset    = 8;
inline constexpr std::size_t kFlagsOffset   = 10;
inline constexpr std::size_t kCiaddrOffset  = 12;
inline constexpr std::size_t kYiaddrOffset  = 16;
inline constexpr std::size_t kChaddrOffset  = 28;
inline constexpr std::size_t kCookieOffset  = 236;
inline constexpr std::size_t kOptionsOffset = 240;

inline constexpr std::uint8_t kMagicCookie[4] = {99, 130, 83, 99};

// Message types (option 53, RFC 2132 §9.6). A received value outside the list is kept as it
// came and matches no case.
enum class MessageType : std::uint8_t {
    kNone     = 0,  // no message type option seen
    kDiscover = 1,
    kOffer    = 2,
    kRequest  = 3,
    kDecline  = 4,
    kAck      = 5,
    kNak      = 6,
    kRelease  = 7,
};

// Option codes the client writes or reads (RFC 2132); any other code is walked over.
enum class Option : std::uint8_t {
    kPad           = 0,
    kSubnetMask    = 1,
    kRouter        = 3,
    kDnsServer     = 6,
    kRequestedAddr = 50,
    kLeaseTime     = 51,
    kMessageType   = 53,
    kServerId      = 54,
    kParamRequest  = 55,
    kRenewalTime   = 58,
    kRebindingTime = 59,
    kClientId      = 61,
    kEnd           = 255,
};

// The byte a message type or option code is on the wire.
constexpr std::uint8_t Wire(MessageType type) {
    return static_cast<std::uint8_t>(type);
}
constexpr std::uint8_t Wire(Option code) {
    return static_cast<std::uint8_t>(code);
}

// Lengths of the messages the client sends (UDP payload). A REQUEST that takes up an offer
// names the address and the server; one that renews or rebinds carries the address in ciaddr.
inline constexpr std::uint32_t kDiscoverLen = 258;
inline constexpr std::uint32_t kRequestLen  = 270;
inline constexpr std::uint32_t kRenewLen    = 258;
inline constexpr std::uint32_t kDeclineLen  = 265;
inline constexpr std::uint32_t kReleaseLen  = 259;

// An infinite lease or time (RFC 2131 §3.3).
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFF;
// The longest time in seconds whose millisecond value fits the host timer's 32-bit delay.
inline constexpr std::uint32_t kMaxTimerSeconds = 0xFFFFFFFF / 1000;

// What one reply carried. Times are seconds as received; absent options leave 0.
struct DhcpReply {
    MessageType messageType;
    std::uint32_t yiaddr;
    std::uint32_t serverId;
    std::uint32_t dnsServer;
    std::uint32_t subnetMask;
    std::uint32_t router;
    std::uint32_t leaseTime;
    std::uint32_t t1;
    std::uint32_t t2;
};

// Applies the acceptance checks to one datagram and walks its options. True when the datagram
// is a reply to this client (xid and chaddr) carrying a message type, and, for an OFFER, a
// server identifier. `out` is zeroed first.
bool ParseReply(std::span<const std::uint8_t> datagram, std::uint32_t xid,
                const std::uint8_t (&mac)[6], DhcpReply& out);

// The datagram handler registered with the port-68 endpoint.
std::uintptr_t OnDatagram(std::uintptr_t context, int event, void* data, std::uint32_t length,
                          std::uint32_t srcPort, std::uint32_t srcAddress);

// "INIT", "SELECTING", "REQUESTING", "CHECKING" (the ARP probe of an acknowledged address),
// "BOUND", "RENEWING" or "REBINDING".
const char* StateName();
// The transaction id of the current exchange.
std::uint32_t CurrentXid();

}  // namespace tarnet::dhcp
