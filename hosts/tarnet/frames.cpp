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

constexpr std::size_t kDnsHeader      = 12;
constexpr std::uint16_t kDnsQr        = 0x8000;
constexpr std::uint16_t kDnsTc        = 0x0200;
constexpr std::uint8_t kRcodeNoError  = 0;
constexpr std::uint8_t kRcodeNxDomain = 3;
constexpr std::uint16_t kTypeA        = 1;
constexpr std::uint16_t kClassIn      = 1;

// Sequential reads over one message; a read past the end fails and changes nothing.
class Cursor {
  public:
    explicit Cursor(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool Skip(std::size_t n) {
        if (n > bytes_.size() - pos_) {
            return false;
        }
        pos_ += n;
        return true;
    }

    bool U16(std::uint16_t& value) {
        if (2 > bytes_.size() - pos_) {
            return false;
        }
        value = TnRead16(bytes_.data() + pos_);
        pos_ += 2;
        return true;
    }

    // RFC 1035 §4.1.4: labels end with a zero length or with a compression pointer; the
    // pointer's target has been read already (or is not needed) and is not followed.
    bool SkipName() {
        for (;;) {
            if (pos_ >= bytes_.size()) {
                return false;
            }
            const std::uint8_t length = bytes_[pos_++];
            if (length == 0) {
                return true;
            }
            if ((length & 0xC0) == 0xC0) {
                return Skip(1);
            }
            if ((length & 0xC0) != 0 || !Skip(length)) {
                return false;  // a reserved label type, or a label past the end
            }
        }
    }

  private:
    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
};

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

std::optional<std::uint16_t> DnsQueryId(std::span<const std::uint8_t> message) {
    if (message.size() < kDnsHeader) {
        return std::nullopt;
    }
    return TnRead16(message.data());
}

std::optional<DnsResponse> ReadDnsResponse(std::span<const std::uint8_t> message) {
    if (message.size() < kDnsHeader) {
        return std::nullopt;
    }
    const std::uint16_t flags = TnRead16(message.data() + 2);
    if ((flags & kDnsQr) == 0) {
        return std::nullopt;
    }
    DnsResponse out;
    out.id    = TnRead16(message.data());
    out.rcode = static_cast<std::uint8_t>(flags & 0x0F);
    if (out.rcode == kRcodeNxDomain) {
        out.verdict = DnsVerdict::kNoSuchName;
        return out;
    }
    if (out.rcode != kRcodeNoError || (flags & kDnsTc) != 0) {
        out.verdict = DnsVerdict::kError;
        return out;
    }
    const std::uint16_t questions = TnRead16(message.data() + 4);
    const std::uint16_t answers   = TnRead16(message.data() + 6);
    Cursor cursor(message);
    cursor.Skip(kDnsHeader);
    for (std::uint16_t i = 0; i < questions; ++i) {
        if (!cursor.SkipName() || !cursor.Skip(4)) {
            return std::nullopt;
        }
    }
    out.verdict = DnsVerdict::kNoAddress;
    for (std::uint16_t i = 0; i < answers; ++i) {
        std::uint16_t type = 0, klass = 0, dataLength = 0;
        if (!cursor.SkipName() || !cursor.U16(type) || !cursor.U16(klass) || !cursor.Skip(4) ||
            !cursor.U16(dataLength) || !cursor.Skip(dataLength)) {
            return std::nullopt;
        }
        if (type == kTypeA && klass == kClassIn && dataLength == 4) {
            out.verdict = DnsVerdict::kAddress;
            break;
        }
    }
    return out;
}

std::string DnsRcodeName(std::uint8_t rcode) {
    static constexpr const char* kNames[] = {"NOERROR",  "FORMERR", "SERVFAIL",
                                             "NXDOMAIN", "NOTIMP",  "REFUSED"};
    if (rcode < std::size(kNames)) {
        return kNames[rcode];
    }
    return "RCODE " + std::to_string(rcode);
}

}  // namespace tarnet::cli
