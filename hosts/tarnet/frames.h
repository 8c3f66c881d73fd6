// Read-only looks at frames passing between the stack and the wire, for the commands that watch
// an exchange the stack does not report itself (a datagram or echo request leaving, the DHCP
// release leaving). Every byte is checked before it is read: these frames come from the wire.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

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

}  // namespace tarnet::cli
