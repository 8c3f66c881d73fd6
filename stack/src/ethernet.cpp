// Ethernet II input dispatch and header writing.
#include "ethernet.h"

#include <cstring>

#include "arp.h"
#include "ipv4.h"
#include "tarnet/byteorder.h"

namespace tarnet {

void EthernetInput(std::uint8_t* frame, std::uint32_t length) {
    if (!Ipv4IsInitialised() || frame == nullptr || length < kEthHeaderLen) {
        return;
    }
    // Destination filtering is left to ARP and IPv4: each accepts only broadcast or our MAC.
    switch (TnRead16(frame + eth::kType)) {
        case kEtherTypeIpv4:
            Ipv4Input(frame, length, EthernetIsGroupAddressed(frame));
            break;
        case kEtherTypeArp:
            ArpInput(frame, length);
            break;
        default:
            break;  // IPv6, 802.1Q tags, 802.3 length fields: not ours
    }
}

void EthernetWriteHeader(std::uint8_t* frame, const std::uint8_t* dst, const std::uint8_t* src,
                         std::uint16_t etherType) {
    std::memcpy(frame + eth::kDst, dst, 6);
    std::memcpy(frame + eth::kSrc, src, 6);
    TnWrite16(frame + eth::kType, etherType);
}

bool EthernetIsGroupAddressed(const std::uint8_t* frame) {
    return (frame[eth::kDst] & 0x01) != 0;
}

bool EthernetIsForUs(const std::uint8_t* frame, const std::uint8_t* ownMac) {
    return std::memcmp(frame + eth::kDst, kBroadcastMac, 6) == 0 ||
           std::memcmp(frame + eth::kDst, ownMac, 6) == 0;
}

}  // namespace tarnet

void TnSockEthernetInput(std::uint8_t* frame, std::uint32_t length) {
    tarnet::EthernetInput(frame, length);
}
