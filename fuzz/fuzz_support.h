// What every fuzz target shares: the stack started with a fake host (a virtual millisecond
// clock driving the host's timer pool, sent frames counted and the last few kept), frame
// builders that get bytes past the checksum gates so the fuzzer reaches the layers behind them,
// and a reader that takes structured values from the fuzzer's input.
//
// A target restarts the stack for every input (StartStack), so each input runs from the same
// state and a crash reproduces from its input alone. StopStack shuts the stack down and traps
// when a timer outlived it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "tarnet/byteorder.h"
#include "tarnet/tnsock.h"

namespace tarnet::fuzz {

// Big-endian writes and reads for the frame builders: the stack's own helpers, taking the wider
// values the builders compute.
inline void Put16(std::uint8_t* p, std::uint32_t v) {
    TnWrite16(p, static_cast<std::uint16_t>(v));
}
inline void Put32(std::uint8_t* p, std::uint32_t v) {
    TnWrite32(p, v);
}
inline std::uint32_t Get32(const std::uint8_t* p) {
    return TnRead32(p);
}

inline constexpr std::uint8_t kOurMac[6]  = {0x02, 0x54, 0x4E, 0x00, 0x00, 0x01};
inline constexpr std::uint8_t kPeerMac[6] = {0x02, 0x50, 0x45, 0x45, 0x52, 0x01};
inline constexpr std::uint32_t kOurIp     = 0xC000020A;  // 192.0.2.10
inline constexpr std::uint32_t kPeerIp    = 0xC0000201;  // 192.0.2.1
inline constexpr std::uint32_t kGatewayIp = 0xC00002FE;  // 192.0.2.254
inline constexpr std::uint32_t kMask      = 0xFFFFFF00;

inline constexpr std::size_t kMaxFrame = 65536;

struct StackOptions {
    bool useDhcp          = false;  // start with address 0 and the DHCP client running
    bool pingClient       = true;   // configure pingEvent so the echo client can run
    std::uint32_t isnSeed = 0x10000000;
};

// (Re)starts the stack with the fake host: a running stack is shut down first, the clock set
// back, the timers and counters cleared. Traps when TnSockInit fails.
void StartStack(const StackOptions& options = {});
// Shuts the stack down; traps when a timer is still running afterwards.
void StopStack();

// ---- Virtual clock
// -------------------------------------------------------------------------------

std::uint64_t Now();
// Moves the clock forward, running each timer at its own deadline.
void Advance(std::uint64_t ms);

// ---- Frames in
// -----------------------------------------------------------------------------------

// Copies the frame into a buffer of exactly its length (so that any read past the end is caught)
// and hands it to TnSockEthernetInput.
void InjectFrame(std::span<const std::uint8_t> frame);

struct Ipv4Fields {
    std::uint32_t src         = kPeerIp;
    std::uint32_t dst         = kOurIp;
    std::uint8_t protocol     = 17;
    std::uint16_t id          = 1;
    std::uint16_t flagsOffset = 0;  // flags and fragment offset field as on the wire
    std::uint8_t ttl          = 64;
};
// Ethernet (peer -> us) + a valid 20-byte IPv4 header + payload.
void InjectIpv4(const Ipv4Fields& fields, std::span<const std::uint8_t> payload);
// A whole UDP datagram from the peer; with `checksum` false the checksum field is 0.
void InjectUdp(std::uint16_t srcPort, std::uint16_t dstPort, std::span<const std::uint8_t> payload,
               bool checksum = true, std::uint32_t src = kPeerIp);
// A TCP segment from the peer: `segment` starts at the TCP header; its checksum field is
// overwritten with the right value.
void InjectTcp(std::span<const std::uint8_t> segment, std::uint32_t src = kPeerIp);

// RFC 1071 checksum (inverted, ready to store) of `data` plus an initial partial sum.
std::uint16_t Checksum(std::span<const std::uint8_t> data, std::uint32_t initial = 0);
// Partial sum of the IPv4 pseudo-header for a transport checksum.
std::uint32_t PseudoHeaderSum(std::uint32_t src, std::uint32_t dst, std::uint8_t protocol,
                              std::uint32_t length);

// ---- Frames out
// ----------------------------------------------------------------------------------

struct SentFrame {
    std::uint32_t length = 0;  // the frame's length (only the first kKeptBytes are kept)
    std::uint8_t bytes[1518];
};
inline constexpr std::size_t kKeptBytes  = sizeof(SentFrame::bytes);
inline constexpr std::size_t kKeptFrames = 16;

// Frames handed to sendFrame since StartStack.
std::size_t SentCount();
// The last sent frame, or null when nothing was sent; `back` = 1 gives the one before, and so on
// up to kKeptFrames - 1.
const SentFrame* LastSent(std::size_t back = 0);

// ---- Echo client events
// --------------------------------------------------------------------------

std::size_t PingEvents();  // events reported since StartStack

// ---- Input reader
// --------------------------------------------------------------------------------

// Takes values from the front of the fuzzer's input; once it runs out every value is 0 and
// every byte run empty.
class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool Empty() const { return at_ >= size_; }
    std::size_t Remaining() const { return size_ - at_; }

    std::uint8_t U8();
    std::uint16_t U16();
    std::uint32_t U32();
    // Up to `n` bytes (fewer when the input runs out).
    std::span<const std::uint8_t> Bytes(std::size_t n);
    std::span<const std::uint8_t> Rest() { return Bytes(Remaining()); }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

}  // namespace tarnet::fuzz
