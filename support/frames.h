// Builders and parsers for the frames a test sends to the stack and expects from it. Builders
// produce correct checksums unless told otherwise; parsers verify every checksum and length and
// return nullopt for anything malformed, so a test that decodes a frame has checked it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bytes.h"

namespace tarnet::test {

using Mac = std::array<std::uint8_t, 6>;

inline constexpr Mac kBroadcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// Host-order address from four octets.
constexpr std::uint32_t Ip(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    return (a << 24) | (b << 16) | (c << 8) | d;
}

std::string MacText(const Mac& mac);

// RFC 1071 sum, not inverted, over `data` starting from `initial`.
std::uint32_t SumWords(const std::uint8_t* data, std::size_t length, std::uint32_t initial = 0);
std::uint16_t FoldInvert(std::uint32_t sum);
// Checksum (inverted) over a transport segment with its IPv4 pseudo-header.
std::uint16_t PseudoChecksum(std::uint32_t src, std::uint32_t dst, std::uint8_t protocol,
                             std::span<const std::uint8_t> segment);
// Writes the right checksum into the TCP header at the front of `segment`, whatever the header
// holds (for raw segments from a fuzzer that must get past the checksum gate). Needs 18 bytes.
void SealTcp(Bytes& segment, std::uint32_t src, std::uint32_t dst);

// ---- Ethernet ----------------------------------------------------------------------------------

struct EthFrame {
    Mac dst{};
    Mac src{};
    std::uint16_t type = 0;
    Bytes payload;

    Bytes Build() const;
    static std::optional<EthFrame> Parse(const Bytes& frame);  // needs 14 bytes
};

// ---- ARP ---------------------------------------------------------------------------------------

struct ArpPacket {
    std::uint16_t op = 1;
    Mac senderMac{};
    std::uint32_t senderIp = 0;
    Mac targetMac{};
    std::uint32_t targetIp = 0;

    Bytes Build() const;  // 28-byte ARP payload
    static std::optional<ArpPacket> Parse(const Bytes& payload);
};

// ---- IPv4 --------------------------------------------------------------------------------------

struct Ipv4Packet {
    std::uint32_t src            = 0;
    std::uint32_t dst            = 0;
    std::uint8_t protocol        = 0;
    std::uint16_t id             = 0;
    bool moreFragments           = false;
    bool dontFragment            = false;
    std::uint16_t fragmentOffset = 0;  // in 8-byte units
    std::uint8_t ttl             = 64;
    std::uint8_t tos             = 0;
    Bytes payload;

    Bytes options;  // whole 32-bit words behind the fixed header

    // Optional overrides for malformed datagrams.
    std::optional<std::uint8_t> versionIhl;
    std::optional<std::uint16_t> totalLength;
    std::optional<std::uint16_t> flagsField;  // flags and fragment offset as on the wire
    bool badChecksum = false;

    // The header checksum covers the header length the IHL field gives, as far as the
    // datagram's bytes reach.
    Bytes Build() const;
    // Verifies version 4, header length, total length against the bytes and the header checksum.
    // Trailing bytes beyond the total length (Ethernet padding) are ignored.
    static std::optional<Ipv4Packet> Parse(const Bytes& datagram);
};

// Splits `packet` into fragments whose payloads hold at most `chunk` bytes (a multiple of 8).
std::vector<Ipv4Packet> Fragment(const Ipv4Packet& packet, std::size_t chunk);
// Joins the fragments of one datagram, in any order. nullopt unless they share identification,
// addresses and protocol and cover the payload exactly once, from offset 0 to one final fragment.
std::optional<Ipv4Packet> Reassemble(const std::vector<Ipv4Packet>& fragments);

// ---- ICMP --------------------------------------------------------------------------------------

struct IcmpEcho {
    std::uint8_t type        = 8;  // 8 request, 0 reply
    std::uint8_t code        = 0;
    std::uint16_t identifier = 0;
    std::uint16_t sequence   = 0;
    Bytes data;
    bool badChecksum = false;

    Bytes Build() const;
    static std::optional<IcmpEcho> Parse(const Bytes& message);  // verifies the checksum
};

// ---- UDP ---------------------------------------------------------------------------------------

struct UdpDatagram {
    std::uint16_t srcPort = 0;
    std::uint16_t dstPort = 0;
    Bytes payload;

    enum class Checksum { kNone, kCorrect, kWrong };
    Checksum checksum = Checksum::kCorrect;
    std::optional<std::uint16_t> lengthField;  // override for malformed datagrams

    Bytes Build(std::uint32_t src, std::uint32_t dst) const;
    // Verifies the length field and, when nonzero, the checksum.
    static std::optional<UdpDatagram> Parse(const Bytes& datagram, std::uint32_t src,
                                            std::uint32_t dst);
    std::uint16_t sentChecksum = 0;  // filled by Parse
};

// ---- TCP ---------------------------------------------------------------------------------------

namespace tcpflag {
inline constexpr std::uint8_t kFin = 0x01;
inline constexpr std::uint8_t kSyn = 0x02;
inline constexpr std::uint8_t kRst = 0x04;
inline constexpr std::uint8_t kPsh = 0x08;
inline constexpr std::uint8_t kAck = 0x10;
inline constexpr std::uint8_t kUrg = 0x20;
}  // namespace tcpflag

struct TcpSegment {
    std::uint16_t srcPort = 0;
    std::uint16_t dstPort = 0;
    std::uint32_t seq     = 0;
    std::uint32_t ack     = 0;
    std::uint8_t flags    = 0;
    std::uint16_t window  = 0;
    Bytes options;  // padded to a multiple of 4 by Build
    Bytes payload;
    bool badChecksum = false;
    std::optional<std::uint8_t> dataOffsetWords;  // override for malformed segments

    Bytes Build(std::uint32_t src, std::uint32_t dst) const;
    // Verifies the header length and the checksum.
    static std::optional<TcpSegment> Parse(const Bytes& segment, std::uint32_t src,
                                           std::uint32_t dst);
    // The MSS option's value, when present.
    std::optional<std::uint16_t> Mss() const;
    bool Has(std::uint8_t flag) const { return (flags & flag) != 0; }
};

Bytes MssOption(std::uint16_t mss);

// ---- Whole frames ------------------------------------------------------------------------------

// Ethernet + IPv4 + payload in one call.
Bytes Ipv4Frame(const Mac& dst, const Mac& src, const Ipv4Packet& packet);
Bytes ArpFrame(const Mac& dst, const Mac& src, const ArpPacket& arp);

// A frame the stack sent, decoded layer by layer. Each layer is present only when the one below
// parsed and its checksum held.
struct Decoded {
    EthFrame eth;
    std::optional<ArpPacket> arp;
    std::optional<Ipv4Packet> ip;
    std::optional<IcmpEcho> icmp;
    std::optional<UdpDatagram> udp;
    std::optional<TcpSegment> tcp;
};
std::optional<Decoded> Decode(const Bytes& frame);

}  // namespace tarnet::test
