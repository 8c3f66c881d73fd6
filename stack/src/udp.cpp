// UDP (RFC 768): length and checksum verification on input, header and checksum on output.
#include "udp.h"

#include <optional>

#include "byte_view.h"
#include "checksum.h"
#include "counters.h"
#include "ipv4.h"
#include "tarnet/byteorder.h"

namespace tarnet {

namespace {

namespace field {
constexpr std::uint32_t kSrcPort  = 0;
constexpr std::uint32_t kDstPort  = 2;
constexpr std::uint32_t kLength   = 4;
constexpr std::uint32_t kChecksum = 6;
}  // namespace field

struct UdpState {
    bool initialised;
    std::uint32_t ownAddress;
    UdpDeliverFn deliver;
    TnLogTextFn logText;
};

UdpState g_udp;

// RFC 768: the checksum covers a pseudo-header of both addresses, the protocol and the UDP
// length, then the datagram (an odd length padded with a zero byte). Not inverted.
std::uint16_t ChecksumSum(std::uint32_t src, std::uint32_t dst, const std::uint8_t* datagram,
                          std::uint32_t length) {
    const std::uint32_t pseudo =
        (src >> 16) + (src & 0xFFFF) + (dst >> 16) + (dst & 0xFFFF) + kProtoUdp + length;
    return OnesComplementSum(datagram, length, pseudo);
}

// The fields of one received datagram, read once its length and checksum were checked. `data`
// starts at the UDP header; the pseudo-header's addresses come with the IPv4 datagram.
struct UdpHeader {
    std::uint32_t srcAddress;
    std::uint16_t srcPort;
    std::uint16_t dstPort;
    const std::uint8_t* payload;
    std::uint32_t payloadLength;

    static std::optional<UdpHeader> Check(const Ipv4Datagram& ip, ByteView data) {
        if (data.Length() <= kUdpHeaderLen) {
            ++g_counters.dropMalformed;
            return std::nullopt;
        }
        // The length field rules: bytes after it in the IPv4 payload are not part of the
        // datagram (RFC 768), a field beyond the IPv4 payload or below the header is malformed.
        // A field of 8 leaves no payload: like a datagram without payload, it is not delivered.
        const std::uint32_t datagramLength = data.Read16(field::kLength);
        if (datagramLength <= kUdpHeaderLen || datagramLength > data.Length()) {
            ++g_counters.dropMalformed;
            return std::nullopt;
        }
        const std::uint32_t srcAddress = ip.src;
        // Summed with its nonzero checksum field, a correct datagram adds up to all ones (either
        // form of a computed zero included). The destination is the one the datagram was sent
        // to, the limited broadcast included.
        if (data.Read16(field::kChecksum) != 0 &&
            ChecksumSum(srcAddress, ip.dst, data.Bytes(0, datagramLength), datagramLength) !=
                0xFFFF) {
            ++g_counters.dropChecksum;
            return std::nullopt;
        }
        const std::uint32_t payloadLength = datagramLength - kUdpHeaderLen;
        return UdpHeader{srcAddress, data.Read16(field::kSrcPort), data.Read16(field::kDstPort),
                         data.Bytes(kUdpHeaderLen, payloadLength), payloadLength};
    }
};

}  // namespace

void UdpInit(std::uint32_t ownAddress, UdpDeliverFn deliver, TnLogTextFn logText) {
    if (g_udp.initialised || deliver == nullptr) {
        return;
    }
    g_udp = UdpState{true, ownAddress, deliver, logText};
}

void UdpSetAddress(const std::uint32_t* address) {
    if (address != nullptr) {
        g_udp.ownAddress = *address;
    }
}

void UdpDeinit() {
    g_udp = UdpState{};
}

int UdpOutput(std::uint32_t dstAddress, std::uint16_t dstPort, std::uint16_t srcPort,
              std::uint8_t* datagram, std::uint32_t length) {
    if (datagram == nullptr || length > 0xFFFF - kUdpHeaderLen) {
        return 0;
    }
    std::uint8_t* header = datagram;
    TnWrite16(header + field::kSrcPort, srcPort);
    TnWrite16(header + field::kDstPort, dstPort);
    TnWrite16(header + field::kLength, static_cast<std::uint16_t>(length + kUdpHeaderLen));
    // RFC 1122 4.1.3.4: checksums are on. The source is the one IPv4 output is about to write
    // (0.0.0.0 while DHCP runs); a computed zero goes out as all ones, zero meaning "none".
    const std::uint32_t total = length + kUdpHeaderLen;
    TnWrite16(header + field::kChecksum, 0);
    std::uint16_t checksum =
        static_cast<std::uint16_t>(~ChecksumSum(Ipv4SourceAddress(), dstAddress, header, total));
    if (checksum == 0) {
        checksum = 0xFFFF;
    }
    TnWrite16(header + field::kChecksum, checksum);
    ++g_counters.udpOut;
    return Ipv4Output(dstAddress, kProtoUdp, header, total);
}

void UdpInput(const Ipv4Datagram& ip, const std::uint8_t* data, std::uint32_t length) {
    if (!g_udp.initialised) {
        return;
    }
    const std::optional<UdpHeader> d = UdpHeader::Check(ip, ByteView(data, length));
    if (!d) {
        return;
    }
    ++g_counters.udpIn;
    g_udp.deliver(d->srcAddress, d->srcPort, d->dstPort, kProtoUdp, d->payload, d->payloadLength);
}

}  // namespace tarnet
