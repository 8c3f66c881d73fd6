#include "frames.h"

#include <algorithm>
#include <iterator>

#include "tarnet/byteorder.h"

namespace tarnet::cli {

namespace {

constexpr std::size_t kEthernetHeader   = 14;
constexpr std::uint16_t kEtherTypeIpv4  = 0x0800;
constexpr std::size_t kIpv4MinHeader    = 20;
constexpr std::uint8_t kProtocolUdp     = 17;
constexpr std::uint16_t kMoreFragments  = 0x2000;
constexpr std::uint16_t kFragmentOffset = 0x1FFF;
constexpr std::size_t kUdpHeader        = 8;

}  // namespace

std::optional<Ipv4Payload> ReadIpv4Frame(std::span<const std::uint8_t> frame,
                                         std::uint8_t protocol) {
    if (frame.size() < kEthernetHeader + kIpv4MinHeader ||
        TnRead16(frame.data() + 12) != kEtherTypeIpv4) {
        return std::nullopt;
    }
    const std::span<const std::uint8_t> ip = frame.subspan(kEthernetHeader);
    const std::size_t headerLength         = std::size_t{ip[0] & 0x0Fu} * 4;
    const std::size_t totalLength          = TnRead16(ip.data() + 2);
    if ((ip[0] >> 4) != 4 || headerLength < kIpv4MinHeader || totalLength < headerLength ||
        totalLength > ip.size() || ip[9] != protocol ||
        (TnRead16(ip.data() + 6) & (kMoreFragments | kFragmentOffset)) != 0) {
        return std::nullopt;
    }
    Ipv4Payload out;
    out.source      = TnRead32(ip.data() + 12);
    out.destination = TnRead32(ip.data() + 16);
    out.protocol    = protocol;
    out.payload     = ip.subspan(headerLength, totalLength - headerLength);
    return out;
}

std::optional<UdpFrame> ReadUdpFrame(std::span<const std::uint8_t> frame) {
    const auto ip = ReadIpv4Frame(frame, kProtocolUdp);
    if (!ip || ip->payload.size() < kUdpHeader) {
        return std::nullopt;
    }
    const std::span<const std::uint8_t> udp = ip->payload;
    const std::size_t udpLength             = TnRead16(udp.data() + 4);
    if (udpLength < kUdpHeader || udpLength > udp.size()) {
        return std::nullopt;
    }
    UdpFrame out;
    out.source      = ip->source;
    out.destination = ip->destination;
    out.sourcePort  = TnRead16(udp.data());
    out.destPort    = TnRead16(udp.data() + 2);
    out.payload     = udp.subspan(kUdpHeader, udpLength - kUdpHeader);
    return out;
}

}  // namespace tarnet::cli
