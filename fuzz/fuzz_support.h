// What every fuzz target shares: the stack started with a fake host (a virtual millisecond
// clock driving the host's timer pool, sent frames counted and the last few kept), injection of
// frames built with the support library's builders (support/frames.h), which get bytes past the
// checksum gates so the fuzzer reaches the layers behind them, and a reader that takes
// structured values from the fuzzer's input.
//
// A target restarts the stack for every input (StartStack), so each input runs from the same
// state and a crash reproduces from its input alone. StopStack shuts the stack down and traps
// when a timer outlived it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "frames.h"
#include "tarnet/tnsock.h"
#include "virtual_host.h"

namespace tarnet::fuzz {

using test::Get16;
using test::Get32;
using test::Mac;
using test::Put16;
using test::Put32;

using test::kOurIp;
using test::kOurMac;
using test::kPeerIp;
using test::kPeerMac;

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

// ---- Virtual clock -----------------------------------------------------------------------------

std::uint64_t Now();
// Moves the clock forward, running each timer at its own deadline.
void Advance(std::uint64_t ms);

// ---- Frames in ---------------------------------------------------------------------------------

// Copies the frame into a buffer of exactly its length (so that any read past the end is caught)
// and hands it to TnSockEthernetInput.
void InjectFrame(std::span<const std::uint8_t> frame);
// An IPv4 datagram in an Ethernet frame from the peer to us (payload cut to fit a frame).
void InjectIpv4(test::Ipv4Packet packet);
// A whole UDP datagram from `src` to us; with `checksum` false the checksum field is 0.
void InjectUdp(std::uint16_t srcPort, std::uint16_t dstPort, std::span<const std::uint8_t> payload,
               bool checksum = true, std::uint32_t src = kPeerIp);
// A TCP segment from the peer.
void InjectTcp(const test::TcpSegment& segment);
// Raw TCP bytes from the peer, from the TCP header on, with the right checksum written in.
void InjectRawTcp(std::span<const std::uint8_t> segment);
// An ARP request from `mac`/`ip` for our address: the stack learns the station, so what it
// sends there goes out at once.
void Introduce(const Mac& mac = kPeerMac, std::uint32_t ip = kPeerIp);

// ---- Frames out --------------------------------------------------------------------------------

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
// The kept frame `back` decoded layer by layer (support/frames.h), or nullopt when there is no
// such frame or it was cut short.
std::optional<test::Decoded> DecodeSent(std::size_t back = 0);

// ---- Echo client events ------------------------------------------------------------------------

std::size_t PingEvents();  // events reported since StartStack

// ---- Input reader ------------------------------------------------------------------------------

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
