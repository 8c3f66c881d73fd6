// Read-only looks at frames passing between the stack and the wire, for the commands that watch
// an exchange the stack does not report itself (a DNS answer that the resolver drops, the DHCP
// release leaving). Every byte is checked before it is read: these frames come from the wire.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace tarnet::cli {

// An unfragmented UDP datagram in an Ethernet II frame carrying IPv4.
struct UdpFrame {
    std::uint32_t source      = 0;  // host order
    std::uint32_t destination = 0;
    std::uint16_t sourcePort  = 0;
    std::uint16_t destPort    = 0;
    std::span<const std::uint8_t> payload;
};

// The transport part of an IPv4 frame: addresses, protocol and the payload.
struct Ipv4Payload {
    std::uint32_t source      = 0;  // host order
    std::uint32_t destination = 0;
    std::uint8_t protocol     = 0;
    std::span<const std::uint8_t> payload;
};

// The payload of a whole, unfragmented IPv4 datagram of `protocol` in an Ethernet frame: version
// 4, a header of at least 20 bytes inside the total length, the total length inside the frame.
std::optional<Ipv4Payload> ReadIpv4Frame(std::span<const std::uint8_t> frame,
                                         std::uint8_t protocol);

// The datagram, when the frame holds a whole one: IPv4 version 4 with a header length of at
// least 20 bytes inside the total length, which itself lies inside the frame; protocol 17; not
// a fragment; a UDP length of at least 8 that fits the IPv4 payload.
std::optional<UdpFrame> ReadUdpFrame(std::span<const std::uint8_t> frame);

// What a DNS response says about the A record asked for (RFC 1035 §4.1).
enum class DnsVerdict {
    kAddress,     // RCODE 0 and at least one A record of class IN with 4 bytes of data
    kNoAddress,   // RCODE 0 but no such record (the name exists without an IPv4 address)
    kNoSuchName,  // RCODE 3, NXDOMAIN
    kError,       // another RCODE (SERVFAIL, REFUSED, ...) or a truncated answer
};

struct DnsResponse {
    std::uint16_t id   = 0;
    std::uint8_t rcode = 0;
    DnsVerdict verdict = DnsVerdict::kError;
};

// Reads a response: QR set, and the question and answer sections walked with full name parsing
// (labels and compression pointers). Nothing when the message is not a response or is cut
// short.
std::optional<DnsResponse> ReadDnsResponse(std::span<const std::uint8_t> message);

// The id of a DNS query (the first two bytes), if the message is long enough to hold a header.
std::optional<std::uint16_t> DnsQueryId(std::span<const std::uint8_t> message);

// "NOERROR", "FORMERR", "SERVFAIL", "NXDOMAIN", "NOTIMP", "REFUSED", or "RCODE n".
std::string DnsRcodeName(std::uint8_t rcode);

}  // namespace tarnet::cli
