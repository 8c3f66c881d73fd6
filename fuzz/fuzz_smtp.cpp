// Arbitrary reply blocks into an SMTP session that a scripted server first brought into a
// chosen state, over the stack's TCP.
//
// The first input byte picks how far the well-behaved script runs (greeting, EHLO, AUTH steps,
// MAIL, RCPT, the CC's RCPT, DATA, the message text, the end of data, QUIT); the second picks
// the mail (AUTH LOGIN, CC, an attachment, quoted-printable, further recipients). The rest is a
// list of operations: a block of reply bytes from the server, a step of the virtual clock, calls
// of TnSmtpProcess, the host's abort, the server closing. The library must neither crash nor
// read or write out of bounds, and every session must end with the library shut down.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "fake_host.h"
#include "fuzz_support.h"
#include "tarnet/tnsmtp.h"

namespace {

namespace test = tarnet::test;
using tarnet::fuzz::Input;

constexpr std::uint16_t kServerPort = 25;
constexpr int kMaxOperations        = 48;
constexpr std::uint32_t kFileSize   = 5000;

struct Flags {
    static constexpr std::uint8_t kAuth       = 0x01;
    static constexpr std::uint8_t kCc         = 0x02;
    static constexpr std::uint8_t kAttach     = 0x04;
    static constexpr std::uint8_t kQp         = 0x08;
    static constexpr std::uint8_t kRecipients = 0x10;
};

struct State {
    TnSmtpSession* session = nullptr;
    std::uint16_t ourPort  = 0;
    std::uint32_t peerSeq  = 0x50000000;
    std::uint32_t ourNext  = 0;  // what the server has seen of the client's sequence space
    std::size_t tracked    = 0;  // frames the stack had sent when TrackClient last looked
    std::uint32_t fileAt   = 0;
    int recipients         = 0;
    bool ended             = false;
};

State g;

// ---- Host services: one in-memory file ------------------------------------------------------

TnSmtpFile FileOpen(const char*, int mode, int) {
    g.fileAt = 0;
    return mode == 0 ? 1 : 0;
}
void FileClose(TnSmtpFile) {}
int FileWrite(TnSmtpFile, const std::uint8_t*, std::uint32_t, std::uint32_t*) {
    return 0;
}
int FileRead(TnSmtpFile, std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t* read) {
    const std::uint32_t n = std::min(capacity, kFileSize - g.fileAt);
    std::memset(buffer, static_cast<int>(g.fileAt & 0xFF), n);
    g.fileAt += n;
    *read = n;
    return 1;
}
int FileSize(TnSmtpFile, std::uint64_t* size) {
    *size = kFileSize;
    return 1;
}
int FixedDate(TnSmtpDate* out) {
    *out = {2026, 12, 7, 1, 12, 0, 0, 0};
    return 1;
}

int OnEvent(std::uintptr_t, int event, void* data, std::uint32_t) {
    switch (event) {
        case TNSMTP_EV_NEXT_RECIPIENT:
            if (g.recipients > 0) {
                --g.recipients;
                static_cast<TnSmtpMail*>(data)->to = "next@example.test";
                return 1;
            }
            return 0;
        case TNSMTP_EV_BODY_PROGRESS:
        case TNSMTP_EV_ATTACH_PROGRESS:
            return 0;
        default:
            g.ended = true;  // every other event ends the session
            return 0;
    }
}

// ---- The server's side of TCP -----------------------------------------------------------------

// Follows what the client sent (the frames the fake host kept since the last look) to the end of
// its sequence space, so the server acknowledges everything and the client's send ring drains.
void TrackClient() {
    const std::size_t sent  = tarnet::fuzz::SentCount();
    const std::size_t fresh = std::min(sent - g.tracked, tarnet::fuzz::kKeptFrames);
    g.tracked               = sent;
    for (std::size_t back = 0; back < fresh; ++back) {
        const auto sent = tarnet::fuzz::DecodeSent(back);
        if (!sent || !sent->tcp) {
            continue;
        }
        const test::TcpSegment& s = *sent->tcp;
        g.ourPort                 = s.srcPort;
        std::uint32_t end =
            s.seq + static_cast<std::uint32_t>(s.payload.size()) + ((s.flags & 0x03) != 0 ? 1 : 0);
        if (static_cast<std::int32_t>(end - g.ourNext) > 0 || g.ourNext == 0) {
            g.ourNext = end;
        }
    }
}

void ServerSegment(std::uint8_t flags, std::span<const std::uint8_t> payload) {
    TrackClient();
    test::TcpSegment s;
    s.srcPort = kServerPort;
    s.dstPort = g.ourPort;
    s.seq     = g.peerSeq;
    s.ack     = g.ourNext;
    s.flags   = flags;
    s.window  = 0xFFFF;
    s.payload.assign(payload.begin(),
                     payload.begin() + std::min<std::size_t>(payload.size(), 1460));
    tarnet::fuzz::InjectTcp(s);
    g.peerSeq += static_cast<std::uint32_t>(s.payload.size()) + ((flags & 0x03) != 0 ? 1 : 0);
}

void Say(const char* text) {
    ServerSegment(0x18, {reinterpret_cast<const std::uint8_t*>(text), std::strlen(text)});
}

// Lets the library work: its processing, the stack's timers, the server's acknowledgments.
void Run(std::uint32_t ms) {
    for (int i = 0; i < 64 && !g.ended; ++i) {
        TnSmtpProcess();
        const std::uint32_t acked = g.ourNext;
        TrackClient();
        if (g.ourNext == acked) {
            break;  // the client sent nothing new
        }
        ServerSegment(0x10, {});
    }
    tarnet::fuzz::Advance(ms);
    TnSmtpProcess();
}

bool StartSession(std::uint8_t flags) {
    TnSockConfig host = tarnet::fakehost::FakeHost::Config();
    TnSmtpConfig c{};
    std::strcpy(c.ehloDomain, "fuzz.test");
    c.timerStart = host.timerStart;
    c.timerStop  = host.timerStop;
    c.fileOpen   = FileOpen;
    c.fileClose  = FileClose;
    c.fileWrite  = FileWrite;
    c.fileRead   = FileRead;
    c.fileSize   = FileSize;
    c.tickCount  = host.getTickCount;
    if (TnSmtpInit(&c) != TNSMTP_OK || TnSmtpSetDateSource(FixedDate) != TNSMTP_OK) {
        __builtin_trap();
    }
    static const char kBody[] = "Hello\r\n.dot\nbare\rcr caf\xE9 =41 \r\n.";
    TnSmtpMail m{};
    m.serverAddress   = "192.0.2.1";
    m.serverPort      = kServerPort;
    m.from            = "a@example.test";
    m.to              = "b@example.test";
    m.subject         = "\xC0\xE1 subject";
    m.subjectCharset  = TNSMTP_CHARSET_KOI8R;
    m.cc              = (flags & Flags::kCc) ? "c@example.test" : nullptr;
    m.body            = reinterpret_cast<const std::uint8_t*>(kBody);
    m.bodyLength      = sizeof kBody - 1;
    m.authenticate    = (flags & Flags::kAuth) ? 1 : 0;
    m.userName        = "user";
    m.password        = "password";
    m.eventFn         = OnEvent;
    m.attach          = (flags & Flags::kAttach) ? 1 : 0;
    m.attachmentPath  = "/tmp/file.bin";
    m.quotedPrintable = (flags & Flags::kQp) ? 1 : 0;
    if (TnSmtpSendMail(&m, &g.session) != TNSMTP_OK) {
        __builtin_trap();
    }
    // Complete the handshake: the SYN is the last frame sent.
    ServerSegment(0x12, {});
    return true;
}

// The well-behaved server's replies, as far as the first input byte says.
void Script(std::uint8_t steps, std::uint8_t flags) {
    const char* replies[12];
    int count        = 0;
    replies[count++] = "220 ready\r\n";
    replies[count++] = "250-fuzz\r\n250 AUTH LOGIN\r\n";
    if (flags & Flags::kAuth) {
        replies[count++] = "334 VXNlcm5hbWU6\r\n";
        replies[count++] = "334 UGFzc3dvcmQ6\r\n";
        replies[count++] = "235 ok\r\n";
    }
    replies[count++] = "250 sender ok\r\n";
    replies[count++] = "250 rcpt ok\r\n";
    if (flags & Flags::kCc) {
        replies[count++] = "250 cc ok\r\n";
    }
    replies[count++] = "354 go ahead\r\n";
    replies[count++] = "";  // the message text and its end
    replies[count++] = "250 queued\r\n";
    for (int i = 0; i < count && i < steps && !g.ended; ++i) {
        if (replies[i][0] == '\0') {
            Run(1000);
            Run(0);
        } else {
            Say(replies[i]);
            Run(0);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tarnet::fuzz::StartStack();
    Input in(data, size);
    g                        = State{};
    const std::uint8_t steps = in.U8();
    const std::uint8_t flags = in.U8();
    g.recipients             = (flags & Flags::kRecipients) ? 2 : 0;
    tarnet::fuzz::Introduce();
    StartSession(flags);
    Script(steps, flags);
    for (int op = 0; op < kMaxOperations && !in.Empty() && !g.ended; ++op) {
        switch (in.U8() % 6) {
            case 0:
            case 1: {
                const std::size_t n = in.U16() % 1461;
                ServerSegment(0x18, in.Bytes(n));
                break;
            }
            case 2:
                Run(in.U16() % 70000);
                break;
            case 3:
                Run(0);
                break;
            case 4:
                TnSmtpAbort(g.session);
                break;
            default:
                ServerSegment(0x11, {});  // the server closes
                break;
        }
    }
    TnSmtpDeinit();
    tarnet::fuzz::StopStack();
    return 0;
}
