#include "tcp_flows.h"

#include "frames.h"
#include "tarnet/byteorder.h"

namespace tarnet::cli {

namespace {

constexpr std::uint8_t kProtocolTcp = 6;
constexpr std::size_t kTcpMinHeader = 20;

}  // namespace

std::optional<TcpFrame> ReadTcpFrame(std::span<const std::uint8_t> frame) {
    const auto ip = ReadIpv4Frame(frame, kProtocolTcp);
    if (!ip || ip->payload.size() < kTcpMinHeader) {
        return std::nullopt;
    }
    const std::span<const std::uint8_t> tcp = ip->payload;
    const std::size_t dataOffset            = static_cast<std::size_t>(tcp[12] >> 4) * 4;
    if (dataOffset < kTcpMinHeader || dataOffset > tcp.size()) {
        return std::nullopt;
    }
    TcpFrame f;
    f.source        = ip->source;
    f.destination   = ip->destination;
    f.sourcePort    = TnRead16(tcp.data());
    f.destPort      = TnRead16(tcp.data() + 2);
    f.seq           = TnRead32(tcp.data() + 4);
    f.ack           = TnRead32(tcp.data() + 8);
    f.flags         = tcp[13];
    f.payloadLength = static_cast<std::uint32_t>(tcp.size() - dataOffset);
    return f;
}

bool Flow::FinAcked() const {
    return finSent && peerAcked && !SeqBefore(peerAck, finSeq + 1);
}

void FlowTable::Reset() {
    for (Flow& f : slots_) {
        f = Flow{};
    }
}

Flow& FlowTable::Slot(const FlowKey& key, bool fresh, std::uint64_t nowMs) {
    Flow* oldest = &slots_[0];
    for (Flow& f : slots_) {
        if (f.inUse && f.key == key) {
            if (fresh) {
                f       = Flow{};
                f.key   = key;
                f.inUse = true;
            }
            f.lastSeenMs = nowMs;
            return f;
        }
    }
    for (Flow& f : slots_) {
        if (!f.inUse) {
            oldest = &f;
            break;
        }
        if (f.lastSeenMs < oldest->lastSeenMs) {
            oldest = &f;
        }
    }
    *oldest            = Flow{};
    oldest->key        = key;
    oldest->inUse      = true;
    oldest->lastSeenMs = nowMs;
    return *oldest;
}

void FlowTable::Sent(std::span<const std::uint8_t> frame, std::uint64_t nowMs) {
    const auto s = ReadTcpFrame(frame);
    if (!s) {
        return;
    }
    const bool syn = (s->flags & kTcpFlagSyn) != 0;
    const bool ack = (s->flags & kTcpFlagAck) != 0;
    const FlowKey key{s->sourcePort, s->destPort, s->destination};
    // Our SYN without ACK opens a connection; a repeated one belongs to the same opening.
    const Flow* known = Find(key);
    const bool fresh =
        syn && !ack && (known == nullptr || !known->issKnown || known->iss != s->seq);
    Flow& f = Slot(key, fresh, nowMs);
    if (syn) {
        f.iss      = s->seq;
        f.issKnown = true;
        f.synsSent += ack ? 0 : 1;
    }
    if ((s->flags & kTcpFlagFin) != 0) {
        f.finSeq  = s->seq + s->payloadLength;
        f.finSent = true;
    }
    if ((s->flags & kTcpFlagRst) != 0) {
        f.ourRst = true;
    }
}

void FlowTable::Received(std::span<const std::uint8_t> frame, std::uint64_t nowMs) {
    const auto s = ReadTcpFrame(frame);
    if (!s) {
        return;
    }
    const bool syn = (s->flags & kTcpFlagSyn) != 0;
    const bool ack = (s->flags & kTcpFlagAck) != 0;
    const FlowKey key{s->destPort, s->sourcePort, s->source};
    Flow& f = Slot(key, syn && !ack, nowMs);
    if (ack && (!f.peerAcked || SeqBefore(f.peerAck, s->ack))) {
        f.peerAck   = s->ack;
        f.peerAcked = true;
    }
    if ((s->flags & kTcpFlagFin) != 0) {
        f.peerFin = true;
    }
    if ((s->flags & kTcpFlagRst) != 0) {
        f.peerRst = true;
    }
}

const Flow* FlowTable::Find(const FlowKey& key) const {
    for (const Flow& f : slots_) {
        if (f.inUse && f.key == key) {
            return &f;
        }
    }
    return nullptr;
}

const Flow* FlowTable::FindOpenTo(std::uint32_t remoteAddr, std::uint16_t remotePort) const {
    const Flow* best = nullptr;
    for (const Flow& f : slots_) {
        if (f.inUse && f.synsSent > 0 && f.key.remoteAddr == remoteAddr &&
            f.key.remotePort == remotePort &&
            (best == nullptr || f.lastSeenMs > best->lastSeenMs)) {
            best = &f;
        }
    }
    return best;
}

}  // namespace tarnet::cli
