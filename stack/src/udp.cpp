// UDP (RFC 768): checksum verification on input, header construction on output.
#include "udp.h"

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

// The pseudo-header overwrites the last 12 bytes of the IPv4 header in front of the datagram;
// the addresses are read from that header first.
constexpr std::uint32_t kPseudoHeaderLen = 12;
constexpr std::uint32_t kIpSrcBefore     = 8;  // IPv4 source address: 8 bytes before the header
constexpr std::uint32_t kIpDstBefore     = 4;  // IPv4 destination address: 4 bytes before

struct UdpState {
    bool          initialised;
    std::uint32_t ownAddress;
    UdpDeliverFn  deliver;
    TnLogTextFn   logText;
};

UdpState g_udp;

// RFC 768: the checksum covers a pseudo-header of both addresses, the protocol and the UDP
// length. The destination stays the one the datagram was sent to (broadcast included).
bool ChecksumValid(std::uint8_t* datagram, std::uint32_t length) {
    const std::uint32_t src    = TnRead32(datagram - kIpSrcBefore);
    const std::uint32_t dst    = TnRead32(datagram - kIpDstBefore);
    std::uint8_t*       pseudo = datagram - kPseudoHeaderLen;
    TnWrite32(pseudo, src);
    TnWrite32(pseudo + 4, dst);
    pseudo[8] = 0;
    pseudo[9] = kProtoUdp;
    TnWrite16(pseudo + 10, static_cast<std::uint16_t>(length));
    const std::uint16_t stored = TnRead16(datagram + field::kChecksum);
    TnWrite16(datagram + field::kChecksum, 0);
    std::uint16_t computed = InetChecksum(pseudo, kPseudoHeaderLen + length);
    TnWrite16(datagram + field::kChecksum, stored);
    if (computed == 0) {
        computed = 0xFFFF;  // a computed zero is transmitted as all ones
    }
    return computed == stored;
}

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

void UdpDeinit() { g_udp = UdpState{}; }

int UdpOutput(std::uint32_t dstAddress, std::uint16_t dstPort, std::uint16_t srcPort,
              std::uint8_t* data, std::uint32_t length) {
    if (data == nullptr || length > 0xFFFF - kUdpHeaderLen) {
        return 0;
    }
    std::uint8_t* header = data - kUdpHeaderLen;
    TnWrite16(header + field::kSrcPort, srcPort);
    TnWrite16(header + field::kDstPort, dstPort);
    TnWrite16(header + field::kLength, static_cast<std::uint16_t>(length + kUdpHeaderLen));
    TnWrite16(header + field::kChecksum, 0);  // optional over IPv4; not computed
    return Ipv4Output(dstAddress, kProtoUdp, header, length + kUdpHeaderLen);
}

void UdpInput(std::uint8_t* data, std::uint32_t length) {
    if (!g_udp.initialised || data == nullptr || length <= kUdpHeaderLen) {
        return;
    }
    const std::uint32_t srcAddress = TnRead32(data - kIpSrcBefore);
    if (TnRead16(data + field::kChecksum) != 0 && !ChecksumValid(data, length)) {
        return;
    }
    // A length field of 8 leaves no payload even when the IPv4 payload is longer: like a
    // datagram without payload, it is not delivered.
    const std::uint32_t lengthField = TnRead16(data + field::kLength);
    if (lengthField <= kUdpHeaderLen || lengthField > length) {
        return;
    }
    g_udp.deliver(srcAddress, TnRead16(data + field::kSrcPort), TnRead16(data + field::kDstPort),
                  kProtoUdp, data + kUdpHeaderLen, lengthField - kUdpHeaderLen);
}

}  // namespace tarnet
