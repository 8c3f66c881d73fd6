// UDP (RFC 768) between the socket layer and IPv4.
#pragma once

#include <cstdint>

#include "ipv4.h"
#include "tarnet/tnsock.h"

namespace tarnet {

inline constexpr std::uint32_t kUdpHeaderLen = 8;

// Receives every valid datagram: (source address, source port, destination port, 17, payload,
// payload length). The payload lies in the received frame and is valid only during the call.
using UdpDeliverFn = void (*)(std::uint32_t srcAddress, std::uint16_t srcPort,
                              std::uint16_t dstPort, int protocol, const std::uint8_t* payload,
                              std::uint32_t length);

void UdpInit(std::uint32_t ownAddress, UdpDeliverFn deliver, TnLogTextFn logText);
void UdpSetAddress(const std::uint32_t* address);
void UdpDeinit();
// `datagram` starts with kUdpHeaderLen bytes of room, where the header is written, and the
// `length` bytes of payload follow them.
int UdpOutput(std::uint32_t dstAddress, std::uint16_t dstPort, std::uint16_t srcPort,
              std::uint8_t* datagram, std::uint32_t length);
// `data` is the IPv4 payload, `length` bytes starting at the UDP header; `ip` its addresses.
void UdpInput(const Ipv4Datagram& ip, const std::uint8_t* data, std::uint32_t length);

}  // namespace tarnet
