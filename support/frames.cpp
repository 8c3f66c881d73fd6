#include "frames.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace tarnet::test {

namespace {

Mac GetMac(const Bytes& b, std::size_t at) {
    Mac m{};
    for (std::size_t i = 0; i < 6; ++i) {
        m[i] = b[at + i];
    }
    return m;
}

void PutMac(Bytes& b, std::size_t at, const Mac& m) {
    for (std::size_t i = 0; i < 6; ++i) {
        b[at + i] = m[i];
    }
}

std::uint32_t PseudoSum(std::uint32_t src, std::uint32_t dst, std::uint8_t protocol,
                        std::size_t length) {
    Bytes pseudo(12, 0);
    Put32(pseudo, 0, src);
    Put32(pseudo, 4, dst);
    pseudo[9] = protocol;
    Put16(pseudo, 10, static_cast<std::uint16_t>(length));
    return SumWords(pseudo.data(), pseudo.size());
}

}  // namespace

std::string MacText(const Mac& mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

std::uint32_t SumWords(const std::uint8_t* data, std::size_t length, std::uint32_t initial) {
    std::uint64_t sum = initial;
    std::size_t i     = 0;
    for (; i + 1 < length; i += 2) {
        sum += static_cast<std::uint32_t>((data[i] << 8) | data[i + 1]);
    }
    if (i < length) {
        sum += static_cast<std::uint32_t>(data[i] << 8);
    }
    while ((sum >> 16) != 0) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint32_t>(sum);
}

std::uint16_t FoldInvert(std::uint32_t sum) {
    while ((sum >> 16) != 0) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum);
}

std::uint16_t PseudoChecksum(std::uint32_t src, std::uint32_t dst, std::uint8_t protocol,
                             std::span<const std::uint8_t> segment) {
    return FoldInvert(
        SumWords(segment.data(), segment.size(), PseudoSum(src, dst, protocol, segment.size())));
}

void SealTcp(Bytes& segment, std::uint32_t src, std::uint32_t dst) {
    Put16(segment, 16, 0);
    Put16(segment, 16, PseudoChecksum(src, dst, 6, segment));
}

// ---- Ethernet ----------------------------------------------------------------------------------

Bytes EthFrame::Build() const {
    Bytes b(14);
    PutMac(b, 0, dst);
    PutMac(b, 6, src);
    Put16(b, 12, type);
    Append(b, payload);
    return b;
}

std::optional<EthFrame> EthFrame::Parse(const Bytes& frame) {
    if (frame.size() < 14) {
        return std::nullopt;
    }
    EthFrame f;
    f.dst     = GetMac(frame, 0);
    f.src     = GetMac(frame, 6);
    f.type    = Get16(frame, 12);
    f.payload = Bytes(frame.begin() + 14, frame.end());
    return f;
}

// ---- ARP ---------------------------------------------------------------------------------------

Bytes ArpPacket::Build() const {
    Bytes b(28);
    Put16(b, 0, 1);
    Put16(b, 2, 0x0800);
    b[4] = 6;
    b[5] = 4;
    Put16(b, 6, op);
    PutMac(b, 8, senderMac);
    Put32(b, 14, senderIp);
    PutMac(b, 18, targetMac);
    Put32(b, 24, targetIp);
    return b;
}

std::optional<ArpPacket> ArpPacket::Parse(const Bytes& payload) {
    if (payload.size() < 28 || Get16(payload, 0) != 1 || Get16(payload, 2) != 0x0800 ||
        payload[4] != 6 || payload[5] != 4) {
        return std::nullopt;
    }
    ArpPacket a;
    a.op        = Get16(payload, 6);
    a.senderMac = GetMac(payload, 8);
    a.senderIp  = Get32(payload, 14);
    a.targetMac = GetMac(payload, 18);
    a.targetIp  = Get32(payload, 24);
    return a;
}

// ---- IPv4 --------------------------------------------------------------------------------------

Bytes Ipv4Packet::Build() const {
    Bytes b(20);
    const std::size_t headerLen = 20 + options.size();
    b[0] = versionIhl.value_or(static_cast<std::uint8_t>(0x40 | (headerLen / 4)));
    b[1] = tos;
    Put16(b, 2, totalLength.value_or(static_cast<std::uint16_t>(headerLen + payload.size())));
    Put16(b, 4, id);
    std::uint16_t flagsOffset = static_cast<std::uint16_t>(fragmentOffset & 0x1FFF);
    if (moreFragments) {
        flagsOffset |= 0x2000;
    }
    if (dontFragment) {
        flagsOffset |= 0x4000;
    }
    Put16(b, 6, flagsField.value_or(flagsOffset));
    b[8] = ttl;
    b[9] = protocol;
    Put32(b, 12, src);
    Put32(b, 16, dst);
    Append(b, options);
    Append(b, payload);
    const std::size_t covered = std::min<std::size_t>((b[0] & 0x0Fu) * 4u, b.size());
    std::uint16_t sum         = FoldInvert(SumWords(b.data(), covered));
    if (badChecksum) {
        sum = static_cast<std::uint16_t>(sum ^ 0x5A5A);
    }
    Put16(b, 10, sum);
    return b;
}

std::optional<Ipv4Packet> Ipv4Packet::Parse(const Bytes& datagram) {
    if (datagram.size() < 20 || (datagram[0] >> 4) != 4) {
        return std::nullopt;
    }
    const std::size_t headerLen = static_cast<std::size_t>(datagram[0] & 0x0F) * 4;
    const std::size_t total     = Get16(datagram, 2);
    if (headerLen < 20 || total < headerLen || total > datagram.size()) {
        return std::nullopt;
    }
    if (FoldInvert(SumWords(datagram.data(), headerLen)) != 0) {
        return std::nullopt;
    }
    Ipv4Packet p;
    p.tos                     = datagram[1];
    p.id                      = Get16(datagram, 4);
    const std::uint16_t flags = Get16(datagram, 6);
    p.moreFragments           = (flags & 0x2000) != 0;
    p.dontFragment            = (flags & 0x4000) != 0;
    p.fragmentOffset          = flags & 0x1FFF;
    p.ttl                     = datagram[8];
    p.protocol                = datagram[9];
    p.src                     = Get32(datagram, 12);
    p.dst                     = Get32(datagram, 16);
    p.options =
        Bytes(datagram.begin() + 20, datagram.begin() + static_cast<std::ptrdiff_t>(headerLen));
    p.payload = Bytes(datagram.begin() + static_cast<std::ptrdiff_t>(headerLen),
                      datagram.begin() + static_cast<std::ptrdiff_t>(total));
    return p;
}

std::vector<Ipv4Packet> Fragment(const Ipv4Packet& packet, std::size_t chunk) {
    std::vector<Ipv4Packet> out;
    for (std::size_t at = 0; at < packet.payload.size(); at += chunk) {
        Ipv4Packet f     = packet;
        std::size_t n    = std::min(chunk, packet.payload.size() - at);
        f.payload        = Bytes(packet.payload.begin() + static_cast<std::ptrdiff_t>(at),
                                 packet.payload.begin() + static_cast<std::ptrdiff_t>(at + n));
        f.fragmentOffset = static_cast<std::uint16_t>(at / 8);
        f.moreFragments  = at + n < packet.payload.size();
        out.push_back(f);
    }
    return out;
}

std::optional<Ipv4Packet> Reassemble(const std::vector<Ipv4Packet>& fragments) {
    if (fragments.empty()) {
        return std::nullopt;
    }
    const Ipv4Packet& head = fragments.front();
    std::size_t total      = 0;
    bool final             = false;
    for (const Ipv4Packet& f : fragments) {
        if (f.id != head.id || f.src != head.src || f.dst != head.dst ||
            f.protocol != head.protocol) {
            return std::nullopt;
        }
        if (!f.moreFragments) {
            if (final) {
                return std::nullopt;
            }
            final = true;
            total = std::size_t{f.fragmentOffset} * 8 + f.payload.size();
        }
    }
    if (!final) {
        return std::nullopt;
    }
    Bytes payload(total);
    std::vector<bool> seen(total, false);
    for (const Ipv4Packet& f : fragments) {
        const std::size_t at = std::size_t{f.fragmentOffset} * 8;
        if (at + f.payload.size() > total) {
            return std::nullopt;
        }
        for (std::size_t i = 0; i < f.payload.size(); ++i) {
            if (seen[at + i]) {
                return std::nullopt;
            }
            seen[at + i]    = true;
            payload[at + i] = f.payload[i];
        }
    }
    for (bool b : seen) {
        if (!b) {
            return std::nullopt;
        }
    }
    Ipv4Packet whole     = head;
    whole.moreFragments  = false;
    whole.fragmentOffset = 0;
    whole.payload        = std::move(payload);
    return whole;
}

// ---- ICMP --------------------------------------------------------------------------------------

Bytes IcmpEcho::Build() const {
    Bytes b(8);
    b[0] = type;
    b[1] = code;
    Put16(b, 4, identifier);
    Put16(b, 6, sequence);
    Append(b, data);
    std::uint16_t sum = FoldInvert(SumWords(b.data(), b.size()));
    if (badChecksum) {
        sum = static_cast<std::uint16_t>(sum ^ 0x1234);
    }
    Put16(b, 2, sum);
    return b;
}

std::optional<IcmpEcho> IcmpEcho::Parse(const Bytes& message) {
    if (message.size() < 8 || FoldInvert(SumWords(message.data(), message.size())) != 0) {
        return std::nullopt;
    }
    IcmpEcho e;
    e.type       = message[0];
    e.code       = message[1];
    e.identifier = Get16(message, 4);
    e.sequence   = Get16(message, 6);
    e.data       = Bytes(message.begin() + 8, message.end());
    return e;
}

// ---- UDP ---------------------------------------------------------------------------------------

Bytes UdpDatagram::Build(std::uint32_t src, std::uint32_t dst) const {
    Bytes b(8);
    Put16(b, 0, srcPort);
    Put16(b, 2, dstPort);
    Put16(b, 4, lengthField.value_or(static_cast<std::uint16_t>(8 + payload.size())));
    Append(b, payload);
    if (checksum != Checksum::kNone) {
        std::uint16_t sum = PseudoChecksum(src, dst, 17, b);
        if (sum == 0) {
            sum = 0xFFFF;  // RFC 768: a computed zero is sent as all ones
        }
        if (checksum == Checksum::kWrong) {
            sum = static_cast<std::uint16_t>(sum ^ 0x0F0F);
        }
        Put16(b, 6, sum);
    }
    return b;
}

std::optional<UdpDatagram> UdpDatagram::Parse(const Bytes& datagram, std::uint32_t src,
                                              std::uint32_t dst) {
    if (datagram.size() < 8) {
        return std::nullopt;
    }
    const std::size_t length = Get16(datagram, 4);
    if (length < 8 || length > datagram.size()) {
        return std::nullopt;
    }
    UdpDatagram d;
    d.srcPort      = Get16(datagram, 0);
    d.dstPort      = Get16(datagram, 2);
    d.sentChecksum = Get16(datagram, 6);
    const Bytes body(datagram.begin(), datagram.begin() + static_cast<std::ptrdiff_t>(length));
    if (d.sentChecksum != 0 && PseudoChecksum(src, dst, 17, body) != 0) {
        return std::nullopt;
    }
    d.checksum = d.sentChecksum == 0 ? Checksum::kNone : Checksum::kCorrect;
    d.payload  = Bytes(body.begin() + 8, body.end());
    return d;
}

// ---- TCP ---------------------------------------------------------------------------------------

Bytes MssOption(std::uint16_t mss) {
    return Bytes{0x02, 0x04, static_cast<std::uint8_t>(mss >> 8), static_cast<std::uint8_t>(mss)};
}

Bytes TcpSegment::Build(std::uint32_t src, std::uint32_t dst) const {
    Bytes opts = options;
    while (opts.size() % 4 != 0) {
        opts.push_back(0);  // end-of-option-list padding
    }
    Bytes b(20);
    Put16(b, 0, srcPort);
    Put16(b, 2, dstPort);
    Put32(b, 4, seq);
    Put32(b, 8, ack);
    const auto words = dataOffsetWords.value_or(static_cast<std::uint8_t>((20 + opts.size()) / 4));
    b[12]            = static_cast<std::uint8_t>(words << 4);
    b[13]            = flags;
    Put16(b, 14, window);
    Append(b, opts);
    Append(b, payload);
    std::uint16_t sum = PseudoChecksum(src, dst, 6, b);
    if (badChecksum) {
        sum = static_cast<std::uint16_t>(sum ^ 0x00FF);
    }
    Put16(b, 16, sum);
    return b;
}

std::optional<TcpSegment> TcpSegment::Parse(const Bytes& segment, std::uint32_t src,
                                            std::uint32_t dst) {
    if (segment.size() < 20) {
        return std::nullopt;
    }
    const std::size_t headerLen = static_cast<std::size_t>(segment[12] >> 4) * 4;
    if (headerLen < 20 || headerLen > segment.size()) {
        return std::nullopt;
    }
    if (PseudoChecksum(src, dst, 6, segment) != 0) {
        return std::nullopt;
    }
    TcpSegment s;
    s.srcPort = Get16(segment, 0);
    s.dstPort = Get16(segment, 2);
    s.seq     = Get32(segment, 4);
    s.ack     = Get32(segment, 8);
    s.flags   = segment[13];
    s.window  = Get16(segment, 14);
    s.options =
        Bytes(segment.begin() + 20, segment.begin() + static_cast<std::ptrdiff_t>(headerLen));
    s.payload = Bytes(segment.begin() + static_cast<std::ptrdiff_t>(headerLen), segment.end());
    return s;
}

std::optional<std::uint16_t> TcpSegment::Mss() const {
    for (std::size_t i = 0; i < options.size();) {
        const std::uint8_t kind = options[i];
        if (kind == 0) {
            break;
        }
        if (kind == 1) {
            ++i;
            continue;
        }
        if (i + 1 >= options.size() || options[i + 1] < 2) {
            break;
        }
        const std::size_t len = options[i + 1];
        if (kind == 2 && len == 4 && i + 4 <= options.size()) {
            return static_cast<std::uint16_t>((options[i + 2] << 8) | options[i + 3]);
        }
        i += len;
    }
    return std::nullopt;
}

// ---- Whole frames ------------------------------------------------------------------------------

Bytes Ipv4Frame(const Mac& dst, const Mac& src, const Ipv4Packet& packet) {
    return EthFrame{dst, src, 0x0800, packet.Build()}.Build();
}

Bytes ArpFrame(const Mac& dst, const Mac& src, const ArpPacket& arp) {
    return EthFrame{dst, src, 0x0806, arp.Build()}.Build();
}

std::optional<Decoded> Decode(const Bytes& frame) {
    auto eth = EthFrame::Parse(frame);
    if (!eth) {
        return std::nullopt;
    }
    Decoded d;
    d.eth = *eth;
    if (eth->type == 0x0806) {
        d.arp = ArpPacket::Parse(eth->payload);
        return d;
    }
    if (eth->type != 0x0800) {
        return d;
    }
    d.ip = Ipv4Packet::Parse(eth->payload);
    if (!d.ip || d.ip->moreFragments || d.ip->fragmentOffset != 0) {
        return d;
    }
    switch (d.ip->protocol) {
        case 1:
            d.icmp = IcmpEcho::Parse(d.ip->payload);
            break;
        case 17:
            d.udp = UdpDatagram::Parse(d.ip->payload, d.ip->src, d.ip->dst);
            break;
        case 6:
            d.tcp = TcpSegment::Parse(d.ip->payload, d.ip->src, d.ip->dst);
            break;
        default:
            break;
    }
    return d;
}

}  // namespace tarnet::test
