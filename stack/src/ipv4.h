// IPv4 output with fragmentation and next-hop resolution, input with validation and
// reassembly, protocol dispatch, ICMP echo answering and the echo (ping) client.
#pragma once

#include <cstdint>

#include "tarnet/tnsock.h"

namespace tarnet {

inline constexpr std::uint32_t kIpv4HeaderLen   = 20;
inline constexpr std::uint32_t kMaxFrameLen     = 1414;
inline constexpr std::uint32_t kFrameHeadroom   = 34;  // Ethernet + IPv4 header
inline constexpr std::uint32_t kFragmentPayload = (kMaxFrameLen - kFrameHeadroom) / 8 * 8;
inline constexpr std::uint32_t kMaxDatagram     = TARNET_MAX_DATAGRAM;
inline constexpr std::uint32_t kFrameBuffers  = kMaxDatagram / (kMaxFrameLen - kFrameHeadroom) + 1;
inline constexpr std::uint32_t kReassemblyMax = TARNET_REASSEMBLY_MAX;  // largest payload
inline constexpr std::uint32_t kReassemblyTimeoutMs = 3000;
inline constexpr std::uint32_t kArpWaitMs           = 50;

inline constexpr std::uint8_t kProtoIcmp = 1;
inline constexpr std::uint8_t kProtoTcp  = 6;
inline constexpr std::uint8_t kProtoUdp  = 17;

static_assert(kFragmentPayload == 1376);
// The pool holds every fragment of the largest datagram, so cutting one never runs short.
static_assert(kFrameBuffers * kFragmentPayload >= kMaxDatagram - kIpv4HeaderLen);

// The addresses of the datagram a transport's bytes arrived in: IPv4 input hands them up with
// the payload, for the pseudo-header checksums and the connection lookup.
struct Ipv4Datagram {
    std::uint32_t src;
    std::uint32_t dst;
};

struct Ipv4Config {
    std::uint32_t ownAddress;
    int addressAcquired;
    std::uint32_t gateway;
    std::uint32_t subnetMask;
    const std::uint8_t* mac;
    std::uint32_t maxFrameSize;
    TnTimerStartFn timerStart;
    TnTimerStopFn timerStop;
    TnSendFrameFn sendFrame;
    TnLogTextFn logText;
    TnPingEventFn pingEvent;
    TnGetTickCountFn getTickCount;
};

// Also initialises ARP and the echo client. False when a required member is missing.
bool Ipv4Init(const Ipv4Config& config);
void Ipv4Reconfigure(std::uint32_t ownAddress, int addressAcquired, std::uint32_t gateway,
                     std::uint32_t subnetMask);
void Ipv4Deinit();
bool Ipv4IsInitialised();
// Frame buffers off the free queue and reassembly entries in use: 0 once the layer has been
// shut down and gave everything back (a check for tests).
std::uint32_t Ipv4Holdings();

// 1 when the datagram was sent or waits for ARP, 0 when refused. Copies the data.
int Ipv4Output(std::uint32_t destination, std::uint8_t protocol, const std::uint8_t* data,
               std::uint32_t length);
// `ip` is the datagram behind the Ethernet header, `length` bytes of it (padding included).
// `linkGroup`: the frame went to the link's broadcast (or a multicast) address, which only an
// IPv4 broadcast may use (RFC 1122 3.3.6).
void Ipv4Input(std::uint8_t* ip, std::uint32_t length, bool linkGroup);
// The source address a datagram handed to Ipv4Output now would carry (0 while unaddressed), for
// the transport checksums' pseudo-header.
std::uint32_t Ipv4SourceAddress();

// RFC 1071 Internet checksum (already inverted, ready to store).
std::uint16_t InetChecksum(const std::uint8_t* data, std::uint32_t length);

}  // namespace tarnet
