// Ethernet II input dispatch and header writing.
#include "ethernet.h"

#include <cstring>
#include <optional>

#include "arp.h"
#include "byte_view.h"
#include "counters.h"
#include "ipv4.h"
#include "tarnet/byteorder.h"

namespace tarnet {

namespace {

// Our own hardware address, the one unicast destination the filter lets through.
std::uint8_t g_ownMac[6];

// Broadcast or our own address. Multicast groups are not joined, so no other group frame is ours.
bool IsForUs(const std::uint8_t* dst) {
    return std::memcmp(dst, kBroadcastMac, 6) == 0 || std::memcmp(dst, g_ownMac, 6) == 0;
}

// The fields of one received frame's Ethernet II header, read once its length was checked.
struct EthernetHeader {
    std::uint16_t etherType;
    bool groupAddressed;

    static std::optional<EthernetHeader> Check(ByteView frame) {
        if (frame.Length() < kEthHeaderLen) {
            return std::nullopt;
        }
        // The I/G bit of the destination marks a group address (broadcast or multicast).
        return EthernetHeader{frame.Read16(eth::kType), (frame.Read8(eth::kDst) & 0x01) != 0};
    }
};

}  // namespace

void EthernetSetAddress(const std::uint8_t* mac) {
    std::memcpy(g_ownMac, mac, 6);
}

void EthernetInput(std::uint8_t* frame, std::uint32_t length) {
    if (!Ipv4IsInitialised()) {
        return;
    }
    ++g_counters.framesIn;
    // The host's frame is the one pointer from outside; every view inside is cut from it.
    const ByteView view(frame, frame != nullptr ? length : 0);
    const std::optional<EthernetHeader> header = EthernetHeader::Check(view);
    if (!header) {
        ++g_counters.dropMalformed;
        return;
    }
    if (!IsForUs(view.Bytes(eth::kDst, 6))) {
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

}  // namespace tarnet

void TnSockEthernetInput(std::uint8_t* frame, std::uint32_t length) {
    tarnet::EthernetInput(frame, length);
}
