// The receive pause: data that arrives while the user has paused receiving is acknowledged and
// held, the window offered shrinks so that its right edge stays put, and resuming delivers the
// held data in order, reopens the window and only then takes the peer's FIN.
#include "needs_size.h"
#include "tcp_peer.h"

namespace tarnet::test {
namespace {

using namespace tcpflag;

constexpr std::uint32_t kWindow = 4096;  // the harness's receive window

class TcpPauseTest : public TcpPeerTest {
  protected:
    void SetUp() override {
        TcpPeerTest::SetUp();
        StartStack();
        b      = Connect();
        stream = Pattern(6000, 5);
        ASSERT_EQ(TnTcpPauseReceive(b, 1), TNTCP_SUCCESS);
    }

    Bytes Slice(std::uint32_t from, std::uint32_t length) const {
        const auto begin = stream.begin() + static_cast<std::ptrdiff_t>(from);
        return Bytes(begin, begin + static_cast<std::ptrdiff_t>(length));
    }

    // The peer sends stream[from, from + length) from its initial point; returns our answer.
    TcpSegment Piece(std::uint32_t from, std::uint32_t length, std::uint8_t extra = 0) {
        TcpSegment s = Peer(kAck | extra, Slice(from, length));
        s.seq += from;
        InjectTcp(s);
        return Out();
    }

    TcpControlBlock* b = nullptr;
    Bytes stream;
};

// Each piece is acknowledged, held back from the user, and the window shrinks by its length,
// so ACK + WND stays where it was, down to a zero window.
TEST_F(TcpPauseTest, HeldDataIsAcknowledgedAndTheWindowShrinksToZero) {
    TARNET_NEEDS_SIZE(TARNET_TCP_WINDOW, 4096);
    const std::uint32_t edge = peerSeq + kWindow;
    std::uint32_t at         = 0;
    for (const std::uint32_t length : {1000u, 1356u, 1000u, 740u}) {
        const TcpSegment ack = Piece(at, length);
        at += length;
        EXPECT_EQ(ack.ack, peerSeq + at);
        EXPECT_EQ(ack.window, kWindow - at);
        EXPECT_EQ(ack.ack + ack.window, edge);
    }
    EXPECT_EQ(at, kWindow);
    EXPECT_TRUE(TcpNotes().empty());
}

// Bytes beyond the space left are dropped and the acknowledgment says where to go on; at a
// zero window a data segment is answered with an acknowledgment and changes nothing.
TEST_F(TcpPauseTest, DataBeyondTheSpaceLeftIsDroppedAndAcknowledged) {
    TARNET_NEEDS_SIZE(TARNET_TCP_WINDOW, 4096);
    Piece(0, 4000);
    const TcpSegment partial = Piece(4000, 200);
    EXPECT_EQ(partial.ack, peerSeq + kWindow);
    EXPECT_EQ(partial.window, 0);
    for (const std::uint32_t from : {4096u, 4200u}) {
        const TcpSegment ack = Piece(from, 100);
        EXPECT_EQ(ack.ack, peerSeq + kWindow);
        EXPECT_EQ(ack.window, 0);
    }
    ExpectNoTx();
    ASSERT_EQ(TnTcpPauseReceive(b, 0), TNTCP_SUCCESS);
    EXPECT_EQ(Delivered(), Slice(0, kWindow));
}

// Resuming hands everything held to the user in one delivery, in order (data that arrived
// beyond a hole included), and sends a window update; data that arrives later goes straight up.
TEST_F(TcpPauseTest, ResumeDeliversInOrderAndReopensTheWindow) {
    TARNET_NEEDS_SIZE(TARNET_TCP_WINDOW, 4096);
    Piece(0, 1000);
    EXPECT_EQ(Piece(2000, 500).ack, peerSeq + 1000);  // beyond a hole: held, not acknowledged
    const TcpSegment filled = Piece(1000, 1000);
    EXPECT_EQ(filled.ack, peerSeq + 2500);
    EXPECT_EQ(filled.window, kWindow - 2500);
    EXPECT_EQ(Piece(3000, 100).ack, peerSeq + 2500);  // another hole, beyond the held data
    EXPECT_TRUE(TcpNotes().empty());

    ASSERT_EQ(TnTcpPauseReceive(b, 0), TNTCP_SUCCESS);
    const TcpSegment update = Out();
    EXPECT_EQ(update.ack, peerSeq + 2500);
    EXPECT_EQ(update.window, kWindow);
    ASSERT_EQ(TcpNotes().size(), 1u);
    EXPECT_EQ(TcpNotes()[0].data, Slice(0, 2500));

    EXPECT_EQ(Piece(2500, 500).ack, peerSeq + 3100);  // fills the hole in front of 3000
    EXPECT_EQ(Delivered(), Slice(0, 3100));
}

// A FIN that arrives while data is held is not acknowledged; the user hears of the data first,
// and only then of the close.
TEST_F(TcpPauseTest, FinWhilePausedIsTakenAfterTheHeldData) {
    EXPECT_EQ(Piece(0, 100, kFin).ack, peerSeq + 100);
    EXPECT_EQ(Piece(100, 0, kFin).ack, peerSeq + 100);  // the FIN again
    EXPECT_STREQ(StateOf(b), "ESTABLISHED");
    EXPECT_TRUE(TcpNotes().empty());

    ASSERT_EQ(TnTcpPauseReceive(b, 0), TNTCP_SUCCESS);
    EXPECT_EQ(Out().ack, peerSeq + 100);  // the window update
    EXPECT_EQ(Out().ack, peerSeq + 101);  // the FIN
    EXPECT_TRUE(Out().Has(kFin));
    EXPECT_STREQ(StateOf(b), "LAST_ACK");
    ASSERT_EQ(TcpNotes().size(), 2u);
    EXPECT_EQ(TcpNotes()[0].data, Slice(0, 100));
    EXPECT_EQ(TcpNotes()[1].event, TNTCP_NOTIFY_CLOSED);
}

// At a zero window the peer's probes are answered, and its acknowledgments of our data are still
// taken: a paused connection goes on sending.
TEST_F(TcpPauseTest, ZeroWindowProbesAreAnsweredAndSendingGoesOn) {
    TARNET_NEEDS_SIZE(TARNET_TCP_WINDOW, 4096);
    for (std::uint32_t at = 0; at < kWindow; at += 1024) {
        Piece(at, 1024);
    }
    for (int probe = 0; probe < 3; ++probe) {
        const TcpSegment ack = Piece(kWindow, 1);
        EXPECT_EQ(ack.ack, peerSeq + kWindow);
        EXPECT_EQ(ack.window, 0);
    }
    Send(b, Text("reply"));
    const TcpSegment data = Out();
    EXPECT_EQ(data.payload, Text("reply"));
    EXPECT_EQ(data.window, 0);
    peerSeq += kWindow;
    PeerAcks(data.seq + 5);
    EXPECT_EQ(b->sndUna, data.seq + 5);
    ExpectNoTx();
    EXPECT_TRUE(TcpNotes().empty());
}

// Closing while acknowledged data was never taken tells the peer of the loss with a reset.
TEST_F(TcpPauseTest, CloseWithHeldDataResets) {
    Piece(0, 100);
    ASSERT_EQ(TnTcpClose(b), TNTCP_SUCCESS);
    EXPECT_TRUE(Out().Has(kRst));
    ExpectPoolFull();
    EXPECT_EQ(TnTcpPauseReceive(b, 0), TNTCP_WRONG_STATE);
}

}  // namespace
}  // namespace tarnet::test
