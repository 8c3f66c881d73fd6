// DNS resolver internals shared with its unit tests and fuzz target: the query encoder, the
// response reader, the datagram handler of a query's endpoint and the table counts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "tarnet/tnsizes.h"
#include "tarnet/tnsock.h"

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
inline constexpr std::uint16_t kClassIn    = 1;
inline constexpr int kMaxCnameHops         = 16;  // a longer chain is taken for a loop

// Record types the resolver asks for or follows (RFC 1035 §3.2.2); any other is kept as it came
// and passed over.
enum class RecordType : std::uint16_t { kA = 1, kCname = 5 };

// What reading one datagram found. kNotTheAnswer leaves the query pending; every other value
// ends the lookup and is its public TNSOCK_DNS_ outcome code.
enum class Outcome : int {
    kNotTheAnswer = 0,
    kAnswer       = TNSOCK_DNS_ANSWER,
    kNxdomain     = TNSOCK_DNS_NXDOMAIN,
    kNoAddress    = TNSOCK_DNS_NO_ADDRESS,
    kServfail     = TNSOCK_DNS_SERVFAIL,
    kRefused      = TNSOCK_DNS_REFUSED,
    kTruncated    = TNSOCK_DNS_TRUNCATED,
    kNoResponse   = TNSOCK_DNS_NO_RESPONSE,
    kOtherError   = TNSOCK_DNS_OTHER_ERROR,
};

constexpr int OutcomeCode(Outcome outcome) {
    return static_cast<int>(outcome);
}

// Writes the query for `name` (RFC 1035 §4.1) into `out`. Returns its length, or 0 when the
// name is not a usable host name (empty, an empty label, a label over 63 bytes, over 255
// octets on the wire) or `out` is too small.
std::size_t EncodeQuery(std::uint16_t id, const char* name, std::span<std::uint8_t> out);

// Reads a response to the query for `name` with `id`. Returns kNotTheAnswer when the message is
// not an answer to that query (another id, not a response, a question other than the one asked,
// a malformed answer section): the query stays pending. Otherwise the lookup's outcome, kAnswer
// with the address of the CNAME chain's end in `address`, or another. Never reads outside
// `message`.
Outcome ReadResponse(std::span<const std::uint8_t> message, std::uint16_t id, const char* name,
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
