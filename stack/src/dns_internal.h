// DNS resolver internals shared with its unit tests and fuzz target: the query encoder, the
// response reader, the datagram handler of a query's endpoint and the table counts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "tarnet/tnsizes.h"

namespace tarnet::dns {

inline constexpr std::uint16_t kServerPort = 53;
inline constexpr std::size_t kHeaderLen    = 12;
// A name takes at most 255 octets on the wire (RFC 1035 2.3.4): 253 characters of text, one more
// with the trailing dot of an absolute name; a label at most 63.
inline constexpr std::size_t kMaxWireName = 255;
inline constexpr std::size_t kMaxNameLen  = 254;  // characters, without the terminator
inline constexpr std::size_t kMaxLabelLen = 63;
inline constexpr std::size_t kBufferSize  = TARNET_DNS_QUERY_BUFFER;
inline constexpr std::size_t kHeadroom    = 42;  // Ethernet 14 + IPv4 20 + UDP 8
inline constexpr std::uint32_t kRetryMs   = 1000;
inline constexpr int kTransmissions       = 3;  // at 0, 1 and 2 s; abandoned at 3 s

inline constexpr std::uint16_t kFlagsQuery = 0x0100;  // RD
inline constexpr std::uint16_t kTypeA      = 1;
inline constexpr std::uint16_t kTypeCname  = 5;
inline constexpr std::uint16_t kClassIn    = 1;
inline constexpr int kMaxCnameHops         = 16;  // a longer chain is taken for a loop

// Writes the query for `name` (RFC 1035 §4.1) into `out`. Returns its length, or 0 when the
// name is not a usable host name (empty, an empty label, a label over 63 bytes, over 255
// octets on the wire) or `out` is too small.
std::size_t EncodeQuery(std::uint16_t id, const char* name, std::span<std::uint8_t> out);

// Reads a response to the query for `name` with `id`. Returns 0 when the message is not an
// answer to that query (another id, not a response, a question other than the one asked, a
// malformed answer section): the query stays pending. Otherwise the lookup's outcome,
// TNSOCK_DNS_ANSWER with the address of the CNAME chain's end in `address`, or another
// TNSOCK_DNS_ outcome. Never reads outside `message`.
int ReadResponse(std::span<const std::uint8_t> message, std::uint16_t id, const char* name,
                 std::uint32_t& address);

// The datagram handler registered with each query's endpoint; the context is the query.
std::uintptr_t OnDatagram(std::uintptr_t context, int event, void* data, std::uint32_t length,
                          std::uint32_t srcPort, std::uint32_t srcAddress);

std::uint32_t CacheCount();
std::uint32_t PendingCount();
// The newest pending query: its id, its name, and the user value its endpoint and timer carry
// (0, "" and 0 when nothing is pending).
std::uint16_t NewestPendingId();
const char* NewestPendingName();
std::uintptr_t NewestPendingContext();

}  // namespace tarnet::dns
