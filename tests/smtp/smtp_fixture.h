// The scripted SMTP server of the SMTP library's tests: the peer of the stack's TCP on the
// harness, in-memory host services (files, a fixed date) and a record of the library's events.
// The server says a reply, then drives the library and takes everything the client sent in
// answer, acknowledging it so the client's send ring drains.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "../tcp/tcp_peer.h"
#include "smtp_session.h"
#include "tarnet/tnsmtp.h"

namespace tarnet::test {

using namespace tcpflag;

struct SmtpEvent {
    int event;
    std::string text;
    std::uint32_t value;
    std::string step;  // TnSmtpSessionStep during the event
};

// In-memory files behind the library's file services.
struct FakeFiles {
    std::map<std::string, Bytes> contents;
    std::uint32_t readLimit = 0xFFFFFFFF;  // a read returns at most this many bytes
    int failRead            = -1;          // this read (0 the first) fails
    int reads               = 0;
    int opened              = 0;
    int open                = 0;  // handles not yet closed
    struct Handle {
        std::string path;
        std::size_t at;
    };
    std::vector<Handle> handles;
};

inline FakeFiles g_files;
inline std::vector<SmtpEvent> g_events;
inline std::vector<std::string> g_nextTo;  // answers to TNSMTP_EV_NEXT_RECIPIENT, in order
inline TnSmtpSession* g_session = nullptr;

inline TnSmtpFile FileOpen(const char* path, int mode, int create) {
    if (mode != 0 || create != 0 || g_files.contents.count(path) == 0) {
        return 0;
    }
    g_files.handles.push_back({path, 0});
    ++g_files.opened;
    ++g_files.open;
    return g_files.handles.size();
}
inline void FileClose(TnSmtpFile) {
    --g_files.open;
}
inline int FileWrite(TnSmtpFile, const std::uint8_t*, std::uint32_t, std::uint32_t*) {
    return 0;
}
inline int FileRead(TnSmtpFile file, std::uint8_t* buffer, std::uint32_t capacity,
                    std::uint32_t* read) {
    if (g_files.reads++ == g_files.failRead) {
        return 0;
    }
    FakeFiles::Handle& h = g_files.handles[file - 1];
    const Bytes& bytes   = g_files.contents[h.path];
    const std::size_t n = std::min<std::size_t>({capacity, g_files.readLimit, bytes.size() - h.at});
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(h.at), n, buffer);
    h.at += n;
    *read = static_cast<std::uint32_t>(n);
    return 1;
}
inline int FileSize(TnSmtpFile file, std::uint64_t* size) {
    *size = g_files.contents[g_files.handles[file - 1].path].size();
    return 1;
}

inline constexpr TnSmtpDate kDate{2026, 12, 7, 1, 9, 5, 3, 60};
inline TnSmtpDate g_date = kDate;
inline int FixedDate(TnSmtpDate* out) {
    *out = g_date;
    return 1;
}

inline int OnEvent(std::uintptr_t userValue, int event, void* data, std::uint32_t value) {
    EXPECT_EQ(userValue, 77u);
    SmtpEvent e{event, {}, value, TnSmtpSessionStep(g_session)};
    if (event == TNSMTP_EV_SERVER_ERROR || event == TNSMTP_EV_TIMEOUT ||
        event == TNSMTP_EV_FAILED) {
        e.text.assign(static_cast<const char*>(data), value);
    }
    g_events.push_back(e);
    if (event == TNSMTP_EV_NEXT_RECIPIENT && !g_nextTo.empty()) {
        static std::string to;
        to = g_nextTo.front();
        g_nextTo.erase(g_nextTo.begin());
        static_cast<TnSmtpMail*>(data)->to = to.c_str();
        return 1;
    }
    return 0;
}

inline std::string Base64Of(const std::string& text) {
    static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < text.size(); i += 3) {
        const auto byte = [&text](std::size_t at) {
            return at < text.size() ? std::uint32_t{static_cast<std::uint8_t>(text[at])} : 0u;
        };
        const std::uint32_t v = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
        out += abc[v >> 18];
        out += abc[(v >> 12) & 63];
        out += i + 1 < text.size() ? abc[(v >> 6) & 63] : '=';
        out += i + 2 < text.size() ? abc[v & 63] : '=';
    }
    return out;
}

// The standard dialogue of the default mail: (server reply, the client's answer).
struct Step {
    std::string reply;
    std::string answer;
};
inline const std::string kHeader =
    "From: <a@x.test>\r\nTo: <b@y.test>\r\nSubject: Hi\r\nDate: Mon, 7 Dec 2026 09:05:03 +0100\r\n";
inline const std::vector<Step> kDialogue{
    {"220 mx ready\r\n", "EHLO client.test\r\n"    },
    {"250 mx\r\n",       "MAIL FROM:<a@x.test>\r\n"},
    {"250 ok\r\n",       "RCPT TO:<b@y.test>\r\n"  },
    {"250 ok\r\n",       "DATA\r\n"                },
    {"354 go ahead\r\n", kHeader + "\r\nHello\r\n" },
    {"",                 ".\r\n"                   }, // one second later: the end of data
    {"250 queued\r\n",   "QUIT\r\n"                },
    {"221 bye\r\n",      ""                        },
};
inline constexpr int kGreeting = 0, kMail = 2, kData = 4, kEom = 6, kQuit = 7;

class SmtpTest : public TcpPeerTest {
  protected:
    void SetUp() override {
        TcpPeerTest::SetUp();
        config.dnsServer = "192.0.2.1";
        StartStack();
        g_files = FakeFiles{};
        g_events.clear();
        g_nextTo.clear();
        g_session       = nullptr;
        g_date          = kDate;
        ourNext         = 0;
        acking          = true;
        finReceived     = false;
        peerWindow      = 8192;
        body            = "Hello\r\n";
        subject         = "Hi";
        TnSmtpConfig& c = smtpConfig;
        c               = TnSmtpConfig{};
        std::strcpy(c.ehloDomain, "client.test");
        c.timerStart = config.timerStart;
        c.timerStop  = config.timerStop;
        c.fileOpen   = FileOpen;
        c.fileClose  = FileClose;
        c.fileWrite  = FileWrite;
        c.fileRead   = FileRead;
        c.fileSize   = FileSize;
        c.tickCount  = config.getTickCount;
        ASSERT_EQ(TnSmtpInit(&c), TNSMTP_OK);
        ASSERT_EQ(TnSmtpSetDateSource(FixedDate), TNSMTP_OK);
    }

    void TearDown() override {
        EXPECT_EQ(TnSmtpDeinit(), TNSMTP_OK);
        EXPECT_EQ(g_files.open, 0) << "an attachment was left open";
        TcpPeerTest::TearDown();
    }

    // A fresh stack and library for the next case of a table.
    void Restart() {
        TearDown();
        SetUp();
    }

    // The latest event; an event of kind -1 when there was none.
    static SmtpEvent Last() {
        return g_events.empty() ? SmtpEvent{-1, {}, 0, {}} : g_events.back();
    }

    TnSmtpMail Mail() {
        TnSmtpMail m{};
        m.serverAddress = "192.0.2.1";
        m.serverPort    = kPeerPort;  // the scripted peer sends from there
        m.from          = "a@x.test";
        m.to            = "b@y.test";
        m.subject       = subject.c_str();
        m.body          = reinterpret_cast<const std::uint8_t*>(body.data());
        m.bodyLength    = static_cast<std::uint32_t>(body.size());
        m.eventFn       = OnEvent;
        m.userValue     = 77;
        m.userName      = "user";
        m.password      = "secret";
        return m;
    }

    int Send(const TnSmtpMail& m) {
        const int rc = TnSmtpSendMail(&m, &g_session);
        if (rc == TNSMTP_OK && m.serverAddress != nullptr) {
            Handshake();
        }
        return rc;
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

    std::string Say(const std::string& reply) {
        if (!reply.empty()) {
            PeerSends(Text(reply));
        }
        return Take();
    }

    // Drives the library and takes what the client sends until it sends nothing more.
    std::string Take() {
        std::string got;
        for (int round = 0; round < 100000; ++round) {
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
                    if (d.tcp->Has(kFin)) {
                        finReceived = true;
                        ++ourNext;
                    }
                }
            }
            if (acking && peerAck != ourNext) {
                PeerAcks(ourNext);
                any = true;
            }
            if (!any && (round > 2)) {
                break;
            }
        }
        return got;
    }

    // Answers DATA; returns the message text and the end of data a second later.
    std::string Message() {
        std::string text = Say("354 go\r\n");
        return text + Wait(1000);
    }

    std::string Wait(std::uint64_t ms) {
        Advance(ms);
        return Take();
    }

    // Runs the standard dialogue up to step `steps` (exclusive), checking every answer.
    void RunTo(int steps, const std::vector<Step>& dialogue = kDialogue) {
        for (int i = 0; i < steps; ++i) {
            const Step& step      = dialogue[static_cast<std::size_t>(i)];
            const std::string got = step.reply.empty() ? Wait(1000) : Say(step.reply);
            EXPECT_EQ(got, step.answer) << "step " << i;
        }
    }

    TnSmtpConfig smtpConfig{};
    std::string subject;
    std::string body;
    std::uint32_t ourNext = 0;
    bool acking           = true;
    bool finReceived      = false;
};

inline std::vector<int> Kinds() {
    std::vector<int> out;
    for (const SmtpEvent& e : g_events) {
        out.push_back(e.event);
    }
    return out;
}

}  // namespace tarnet::test
