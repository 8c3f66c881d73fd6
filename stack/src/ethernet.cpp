// Ethernet II input dispatch and header writing.
#include "ethernet.h"

#include <cstring>
#include <optional>

#include "arp.h"
#include "counters.h"
#include "ipv4.h"
#include "tarnet/byteorder.h"

namespace tarnet {

namespace {

// The fields of one received frame's Ethernet II header, read once its length was checked.
struct EthernetHeader {
    std::uint16_t etherType;
    bool groupAddressed;

    static std::optional<EthernetHeader> Check(const std::uint8_t* frame, std::uint32_t length) {
        if (frame == nullptr || length < kEthHeaderLen) {
            return std::nullopt;
        }
        return EthernetHeader{TnRead16(frame + eth::kType), EthernetIsGroupAddressed(frame)};
    }
};

// Our own hardware address, the one unicast destination the filter lets through.
std::uint8_t g_ownMac[6];

// Broadcast or our own address. Multicast groups are not joined, so no other group frame is ours.
bool IsForUs(const std::uint8_t* frame) {
    return std::memcmp(frame + eth::kDst, kBroadcastMac, 6) == 0 ||
           std::memcmp(frame + eth::kDst, g_ownMac, 6) == 0;
}

}  // namespace

void EthernetSetAddress(const std::uint8_t* mac) {
    std::memcpy(g_ownMac, mac, 6);
}

void EthernetInput(std::uint8_t* frame, std::uint32_t length) {
    if (!Ipv4IsInitialised()) {
        return;
    }
    ++g_counters.framesIn;
    const std::optional<EthernetHeader> header = EthernetHeader::Check(frame, length);
    if (!header) {
        ++g_counters.dropMalformed;
        return;
    }
    if (!IsForUs(frame)) {
        ++g_counters.dropNotForUs;
        return;
    }
    switch (header->etherType) {
        case kEtherTypeIpv4:
            Ipv4Input(frame + kEthHeaderLen, length - kEthHeaderLen, header->groupAddressed);
            break;
        case kEtherTypeArp:
            ArpInput(frame + kEthHeaderLen, length - kEthHeaderLen);
            break;
        default:
            ++g_counters.dropUnknownProtocol;
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

}  // namespace tarnet

void TnSockEthernetInput(std::uint8_t* frame, std::uint32_t length) {
    tarnet::EthernetInput(frame, length);
}
