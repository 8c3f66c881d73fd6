// Ethernet II framing: the input dispatcher in front of ARP and IPv4, and the header writer
// used by ARP and IPv4 output.
#pragma once

#include <cstdint>

namespace tarnet {

inline constexpr std::uint32_t kEthHeaderLen   = 14;
inline constexpr std::uint16_t kEtherTypeIpv4  = 0x0800;
inline constexpr std::uint16_t kEtherTypeArp   = 0x0806;
inline constexpr std::uint8_t kBroadcastMac[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// Frame offsets.
namespace eth {
inline constexpr std::uint32_t kDst  = 0;
inline constexpr std::uint32_t kSrc  = 6;
inline constexpr std::uint32_t kType = 12;
}  // namespace eth

// Drops frames addressed to other stations (only broadcast and our own address pass), then
// demultiplexes by EtherType (TnSockEthernetInput forwards here).
void EthernetInput(std::uint8_t* frame, std::uint32_t length);

// Writes destination, source and EtherType into the 14 bytes at `frame`.
void EthernetWriteHeader(std::uint8_t* frame, const std::uint8_t* dst, const std::uint8_t* src,
                         std::uint16_t etherType);

// Sets the station address the destination filter accepts besides broadcast (IPv4 start-up).
void EthernetSetAddress(const std::uint8_t* mac);

}  // namespace tarnet
