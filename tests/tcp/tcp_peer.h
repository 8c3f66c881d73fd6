// Scripted TCP peer for the TCP tests: a fixture that starts the stack, records TCP
// notifications, opens connections into a chosen state and builds and checks the segments the
// peer exchanges with the stack.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <vector>

#include "harness.h"
#include "tcp.h"
#include "tcp_internal.h"

namespace tarnet::test {

inline constexpr std::uint16_t kOurPort  = 5000;
inline constexpr std::uint16_t kPeerPort = 4000;

// One call of the TCP notification function.
struct TcpNote {
    std::uintptr_t context;
    int event;
    void* item;
    Bytes data;  // copy of a TNTCP_NOTIFY_DATA buffer (which is freed)
    std::uint32_t number;
    std::uint32_t address;
};

inline std::vector<TcpNote>& TcpNotes() {
    static std::vector<TcpNote> notes;
    return notes;
}

// Runs inside each notification, after it was recorded (to act like a user that calls back).
inline std::function<void(const TcpNote&)>& TcpNoteHook() {
    static std::function<void(const TcpNote&)> hook;
    return hook;
}

inline void RecordTcpNote(std::uintptr_t context, int event, void* item, std::uint32_t number,
                          std::uint32_t address) {
    TcpNote note{context, event, item, {}, number, address};
    if (event == TNTCP_NOTIFY_DATA) {
        const auto* bytes = static_cast<const std::uint8_t*>(item);
        note.data.assign(bytes, bytes + number);
        std::free(item);
        note.item = nullptr;
    }
    TcpNotes().push_back(note);
    if (TcpNoteHook()) {
        TcpNoteHook()(TcpNotes().back());
    }
}

inline int ListLength(const TnList& list) {
    int n = 0;
    for (const TnListNode* node = list.first; node != nullptr; node = node->next) {
        ++n;
    }
    return n;
}

inline const char* StateOf(const TcpControlBlock* b) {
    return TcpStateName(b->state);
}

class TcpPeerTest : public StackTest {
  protected:
    // The data delivered to the user so far, in order of delivery.
    static Bytes Delivered() {
        Bytes all;
        for (const TcpNote& note : TcpNotes()) {
            if (note.event == TNTCP_NOTIFY_DATA) {
                all.insert(all.end(), note.data.begin(), note.data.end());
            }
        }
        return all;
    }

    void SetUp() override {
        StackTest::SetUp();
        TcpNotes().clear();
        TcpNoteHook() = nullptr;
    }

    void TearDown() override {
        TcpNoteHook() = nullptr;
        StackTest::TearDown();
    }

    void StartStack() {
        ASSERT_EQ(Start(), TNSOCK_SUCCESS);
        LearnPeer();
    }

    // A segment from the peer with its current sequence and acknowledgment numbers.
    TcpSegment Peer(std::uint8_t flags, const Bytes& payload = {}) const {
        TcpSegment s;
        s.srcPort = kPeerPort;
        s.dstPort = ourPort;
        s.seq     = peerSeq;
        s.ack     = peerAck;
        s.flags   = flags;
        s.window  = peerWindow;
        s.payload = payload;
        return s;
    }

    // Sends a data segment from the peer and advances its sequence number.
    void PeerSends(const Bytes& payload, std::uint8_t extra = 0) {
        InjectTcp(Peer(tcpflag::kAck | extra, payload));
        peerSeq += static_cast<std::uint32_t>(payload.size()) + ((extra & tcpflag::kFin) ? 1 : 0);
    }

    void PeerAcks(std::uint32_t ack) {
        peerAck = ack;
        InjectTcp(Peer(tcpflag::kAck));
    }

    // The next frame the stack sent, which must be a valid TCP segment to the peer.
    TcpSegment Out() {
        const Decoded d = NextSent();
        if (!d.tcp) {
            ADD_FAILURE() << "expected a TCP segment";
            return TcpSegment{};
        }
        EXPECT_EQ(d.ip->dst, kPeerIp);
        return *d.tcp;
    }

    std::size_t SentCount() const { return VirtualHost::Get().sent.size(); }

    int Notes(int event) const {
        int n = 0;
        for (const TcpNote& note : TcpNotes()) {
            n += note.event == event ? 1 : 0;
        }
        return n;
    }

    // Active open completed with a SYN+ACK carrying `mssOption` (0 = none) that arrives
    // `rttMs` after the SYN: the handshake's round trip, the rto estimator's first sample. From
    // 1000 ms on the SYN has been sent again meanwhile, which leaves the handshake unmeasured.
    TcpControlBlock* Connect(std::uint32_t peerIss = 0x40000000, std::uint16_t mssOption = 0,
                             std::uint64_t rttMs = 0) {
        TcpControlBlock* b = nullptr;
        EXPECT_EQ(TnTcpConnect(7, kPeerIp, ourPort, kPeerPort, RecordTcpNote, &b), TNTCP_SUCCESS);
        const TcpSegment syn = Out();
        EXPECT_EQ(syn.flags, tcpflag::kSyn);
        Advance(rttMs);
        while (!VirtualHost::Get().sent.empty()) {
            EXPECT_EQ(Out().seq, syn.seq) << "the SYN again";
        }
        iss               = syn.seq;
        peerSeq           = peerIss;
        peerAck           = iss + 1;
        TcpSegment synAck = Peer(tcpflag::kSyn | tcpflag::kAck);
        if (mssOption != 0) {
            synAck.options = MssOption(mssOption);
        }
        InjectTcp(synAck);
        peerSeq              = peerIss + 1;
        const TcpSegment ack = Out();
        EXPECT_EQ(ack.flags, tcpflag::kAck);
        EXPECT_EQ(ack.ack, peerSeq);
        EXPECT_STREQ(StateOf(b), "ESTABLISHED");
        TcpNotes().clear();
        return b;
    }

    // Sends `data` on an established connection; returns the count taken.
    std::uint32_t Send(TcpControlBlock* b, const Bytes& data) {
        std::uint32_t taken = 0;
        EXPECT_EQ(TnTcpSend(b, data.data(), static_cast<std::uint32_t>(data.size()), &taken),
                  TNTCP_SUCCESS);
        return taken;
    }

    void ExpectPoolFull() const {
        EXPECT_EQ(ListLength(TcpState().activeList), 0);
        EXPECT_EQ(ListLength(TcpState().freeList), TcpState().config.maxConnections);
    }

    std::uint16_t ourPort    = kOurPort;  // the stack's port of the connection under test
    std::uint32_t iss        = 0;         // our initial sequence number
    std::uint32_t peerSeq    = 0;         // next sequence number the peer sends
    std::uint32_t peerAck    = 0;         // acknowledgment number the peer sends
    std::uint16_t peerWindow = 8192;
};

}  // namespace tarnet::test
