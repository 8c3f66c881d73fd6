// UDP (RFC 768) between the socket layer and IPv4.
#pragma once

#include <cstdint>

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
// The caller provides 8 writable bytes in front of `data`; the header is written there.
int UdpOutput(std::uint32_t dstAddress, std::uint16_t dstPort, std::uint16_t srcPort,
              std::uint8_t* data, std::uint32_t length);
// `data` starts at the UDP header, with the datagram's 20-byte IPv4 header in front of it.
void UdpInput(std::uint8_t* data, std::uint32_t length);

}  // namespace tarnet
