// The TCP connections of one command, as seen on the wire. The socket interface reports a
// connection's end as one "closed" event, and after the user's close it reports nothing at all;
// the segments that pass between the stack and the adapter tell the rest: whether the peer
// refused or reset the connection, whether our FIN (and so every byte before it) was
// acknowledged, whether the peer's FIN arrived. Every byte is checked before it is read: these
// frames come from the wire.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace tarnet::cli {

inline constexpr std::uint8_t kTcpFlagFin = 0x01;
inline constexpr std::uint8_t kTcpFlagSyn = 0x02;
inline constexpr std::uint8_t kTcpFlagRst = 0x04;
inline constexpr std::uint8_t kTcpFlagAck = 0x10;

// One TCP segment in an Ethernet II frame carrying unfragmented IPv4.
struct TcpFrame {
    std::uint32_t source        = 0;  // host order
    std::uint32_t destination   = 0;
    std::uint16_t sourcePort    = 0;
    std::uint16_t destPort      = 0;
    std::uint32_t seq           = 0;
    std::uint32_t ack           = 0;
    std::uint8_t flags          = 0;
    std::uint32_t payloadLength = 0;
};

// The segment, when the frame holds a whole one: IPv4 version 4, a header of at least 20 bytes
// inside the total length, the total length inside the frame, protocol 6, not a fragment, and a
// TCP data offset of at least 20 bytes inside the IPv4 payload.
std::optional<TcpFrame> ReadTcpFrame(std::span<const std::uint8_t> frame);

struct FlowKey {
    std::uint16_t localPort  = 0;
    std::uint16_t remotePort = 0;
    std::uint32_t remoteAddr = 0;

    bool operator==(const FlowKey&) const = default;
};

// What the wire said about one connection.
struct Flow {
    FlowKey key;
    bool inUse               = false;
    std::uint32_t iss        = 0;  // our SYN's sequence number
    bool issKnown            = false;
    int synsSent             = 0;
    std::uint32_t finSeq     = 0;  // the sequence number our FIN occupies
    bool finSent             = false;
    std::uint32_t peerAck    = 0;  // the highest acknowledgment from the peer
    bool peerAcked           = false;
    bool peerFin             = false;
    bool peerRst             = false;
    bool ourRst              = false;
    std::uint64_t lastSeenMs = 0;

    // Everything we sent, FIN included, has been acknowledged.
    bool FinAcked() const;
    // Nothing more will happen on the wire: reset either way, or both FINs and ours
    // acknowledged.
    bool Finished() const { return peerRst || ourRst || (FinAcked() && peerFin); }
};

// A small fixed table of flows, filled from the frames the stack sends and receives. A SYN
// without ACK (ours or the peer's) starts a flow afresh; other segments update the flow of their
// addresses and ports, creating it when needed. When the table is full the flow seen longest ago
// gives way.
class FlowTable {
  public:
    static constexpr std::size_t kSlots = 32;

    void Reset();
    // Frames the stack hands to the adapter, and frames the adapter hands to the stack.
    void Sent(std::span<const std::uint8_t> frame, std::uint64_t nowMs);
    void Received(std::span<const std::uint8_t> frame, std::uint64_t nowMs);

    const Flow* Find(const FlowKey& key) const;
    // The newest flow that our SYN opened to this address and port (how an active open learns
    // the local port the stack chose).
    const Flow* FindOpenTo(std::uint32_t remoteAddr, std::uint16_t remotePort) const;

  private:
    Flow& Slot(const FlowKey& key, bool fresh, std::uint64_t nowMs);
    Flow slots_[kSlots]{};
};

// Sequence numbers compare modulo 2^32 (RFC 9293 3.4).
constexpr bool SeqBefore(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(a - b) < 0;
}

}  // namespace tarnet::cli
