// A scripted SMTP server for the mail program's tests: the peer of the stack's TCP on the
// harness, which says a reply, drives the SMTP library and takes what the client sent in
// answer, acknowledging it so that the client's send ring drains.
#pragma once

#include <string>

#include "../tcp/tcp_peer.h"
#include "tarnet/tnsmtp.h"

namespace tarnet::test {

using namespace tcpflag;

class MailServerTest : public TcpPeerTest {
  protected:
    void SetUp() override {
        TcpPeerTest::SetUp();
        TnSockSetPredictableIsn(1);
        ourNext = 0;
    }

    // The SMTP library's timers and clock on the virtual clock; the files stay the real host's.
    static void VirtualSmtpHost(TnSmtpConfig& c) {
        const TnSockConfig s = VirtualHost::Get().Config();
        c.timerStart         = s.timerStart;
        c.timerStop          = s.timerStop;
        c.tickCount          = s.getTickCount;
    }

    void Handshake() {
        const TcpSegment syn = Out();
        ASSERT_TRUE(syn.Has(kSyn));
        ourPort = syn.srcPort;
        peerSeq = 0x9000;
        peerAck = ourNext = syn.seq + 1;
        InjectTcp(Peer(kSyn | kAck));
        peerSeq = 0x9001;
        Out();
    }

    // The server says `reply` (if any); returns what the client sent until it fell silent.
    std::string Say(const std::string& reply) {
        if (!reply.empty()) {
            PeerSends(Text(reply));
        }
        std::string got;
        for (int round = 0; round < 10000; ++round) {
            TnSmtpProcess();
            bool any = false;
            while (!host().sent.empty()) {
                const Decoded d = NextSent();
                if (!d.tcp) {
                    continue;
                }
                any = true;
                if (d.tcp->seq == ourNext) {
                    got.append(d.tcp->payload.begin(), d.tcp->payload.end());
                    ourNext += static_cast<std::uint32_t>(d.tcp->payload.size());
                    ourNext += d.tcp->Has(kFin) ? 1u : 0u;
                }
            }
            if (peerAck != ourNext) {
                PeerAcks(ourNext);
                any = true;
            }
            if (!any && round > 2) {
                break;
            }
        }
        return got;
    }

    // A whole accepted dialogue; returns the message text the server received.
    std::string Deliver(bool authenticate = false) {
        std::string text = Say("220 mx ready\r\n");
        text += Say("250-mx\r\n250 AUTH LOGIN\r\n");
        if (authenticate) {
            text += Say("334 VXNlcm5hbWU6\r\n");
            text += Say("334 UGFzc3dvcmQ6\r\n");
            text += Say("235 ok\r\n");
        }
        Say("250 ok\r\n");
        Say("250 ok\r\n");
        const std::string message = Say("354 go\r\n");
        Say("250 queued\r\n");
        Say("221 bye\r\n");
        return text + message;
    }

    std::uint32_t ourNext = 0;
};

}  // namespace tarnet::test
