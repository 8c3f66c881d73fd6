// Arbitrary control-connection blocks into an FTP session, in whatever step the input has led
// it to. The session runs over the stack's TCP against a peer this target plays: it answers the
// control connection's SYN, then follows a list of operations from the input: a block of reply
// bytes on the control connection, an API call (login is reached by the input's own replies),
// the data connection's handshake, data or close, the server's close, and steps of the clock
// with the library's tick. Uploads read from an in-memory file; downloads go nowhere, and the
// input decides whether writes and the end of a received file fail.
#include <cstdint>
#include <cstring>
#include <string>

#include "fake_host.h"
#include "fuzz_support.h"
#include "tarnet/tnftp.h"

namespace {

namespace test = tarnet::test;
using tarnet::fuzz::Input;

constexpr std::uint16_t kControlPort = 21;
constexpr int kMaxOperations         = 48;

struct Peer {
    std::uint16_t ourPort  = 0;  // the stack's port
    std::uint16_t peerPort = 0;
    std::uint32_t seq      = 0;  // our (the peer's) next sequence number
    std::uint32_t ack      = 0;  // acknowledges the stack's SYN
    bool open              = false;
};

Peer g_control;
Peer g_data;
TnFtpSession* g_session  = nullptr;
std::uint32_t g_fileLeft = 0;
bool g_filesFail         = false;

void Segment(Peer& p, std::uint8_t flags, const std::uint8_t* payload, std::size_t length) {
    test::TcpSegment s;
    s.srcPort = p.peerPort;
    s.dstPort = p.ourPort;
    s.seq     = p.seq;
    s.ack     = p.ack;
    s.flags   = flags;
    s.window  = 65535;
    s.payload.assign(payload, payload + length);
    tarnet::fuzz::InjectTcp(s);
    p.seq += static_cast<std::uint32_t>(length) + ((flags & 0x03) != 0 ? 1 : 0);
}

// Answers the most recent SYN the stack sent to `port` (any port but 21 when port is 0).
bool AcceptSyn(Peer& p, std::uint16_t port) {
    for (std::size_t back = 0; back < tarnet::fuzz::kKeptFrames; ++back) {
        if (tarnet::fuzz::LastSent(back) == nullptr) {
            return false;
        }
        const auto sent = tarnet::fuzz::DecodeSent(back);
        if (!sent || !sent->tcp || !sent->tcp->Has(test::tcpflag::kSyn)) {
            continue;
        }
        const std::uint16_t dst = sent->tcp->dstPort;
        if ((port != 0 && dst != port) || (port == 0 && dst == kControlPort)) {
            continue;
        }
        p.ourPort  = sent->tcp->srcPort;
        p.peerPort = dst;
        p.ack      = sent->tcp->seq + 1;
        p.seq      = 0x20000000;
        p.open     = true;
        Segment(p, 0x12, nullptr, 0);  // SYN+ACK
        return true;
    }
    return false;
}

void OnEvent(std::uintptr_t, int event, const char* text, int length, std::uintptr_t extra) {
    // Read what the event hands over, as a host would.
    volatile std::size_t sink = 0;
    if (text != nullptr) {
        sink = event == TNFTP_EV_LISTING || length == 0 ? static_cast<std::size_t>(length)
                                                        : std::strlen(text);
        for (int i = 0; event == TNFTP_EV_LISTING && i < length; ++i) {
            sink = sink + static_cast<unsigned char>(text[i]);
        }
    }
    if (event == TNFTP_EV_PWD_DONE) {
        sink = std::strlen(reinterpret_cast<const char*>(extra));
    }
    (void)sink;
}

TnFtpFile Open(const char*, int, int) {
    return 1;
}
void Close(TnFtpFile) {}
int Write(TnFtpFile, const std::uint8_t*, std::uint32_t n, std::uint32_t* w) {
    *w = g_filesFail ? 0 : n;
    return g_filesFail ? 0 : 1;
}
int Finish(TnFtpFile, int completed) {
    return completed == 0 || !g_filesFail ? 1 : 0;
}
int Read(TnFtpFile, std::uint8_t* b, std::uint32_t cap, std::uint32_t* r) {
    const std::uint32_t n = cap < g_fileLeft ? cap : g_fileLeft;
    std::memset(b, 'u', n);
    g_fileLeft -= n;
    *r = n;
    return 1;
}

void Call(Input& in) {
    static const std::string kLong(249, 'n');  // one byte too long for "RETR " and CR LF
    static const char* const kNames[] = {"f", "a b", "..", "", kLong.c_str()};
    const char* name                  = kNames[in.U8() % 5];
    switch (in.U8() % 12) {
        case 0:
            TnFtpCwd(g_session, name);
            break;
        case 1:
            TnFtpList(g_session);
            break;
        case 2:
            TnFtpGetFile(g_session, name, in.U32(), 0);
            break;
        case 3:
            g_fileLeft = in.U16();
            TnFtpPutFile(g_session, name);
            break;
        case 4:
            TnFtpPwd(g_session);
            break;
        case 5:
            TnFtpRename(g_session, name, "to");
            break;
        case 6:
            TnFtpNoop(g_session);
            break;
        case 7:
            TnFtpAbort(g_session);
            break;
        case 8:
            TnFtpMkd(g_session, name);
            break;
        case 9:
            TnFtpRmd(g_session, name);
            break;
        case 10:
            g_filesFail = !g_filesFail;
            break;
        default:
            TnFtpDele(g_session, name);
            break;
    }
}

void Operate(Input& in) {
    switch (in.U8() % 8) {
        case 0:
        case 1: {  // reply bytes on the control connection
            const auto block = in.Bytes(in.U8() + 1u);
            if (g_control.open && !block.empty()) {
                Segment(g_control, 0x18, block.data(), block.size());
            }
            break;
        }
        case 2:
            Call(in);
            break;
        case 3:
            AcceptSyn(g_data, 0);  // the latest data connection the stack opened
            break;
        case 4: {
            const auto block = in.Bytes(in.U16() % 1400 + 1u);
            if (g_data.open && !block.empty()) {
                Segment(g_data, 0x18, block.data(), block.size());
            }
            break;
        }
        case 5:
            if (g_data.open) {
                Segment(g_data, (in.U8() & 1) != 0 ? 0x14 : 0x11, nullptr, 0);  // RST or FIN
                g_data.open = false;
            }
            break;
        case 6:
            if (g_control.open && in.U8() == 0) {
                Segment(g_control, 0x11, nullptr, 0);
                g_control.open = false;
            }
            break;
        default:
            tarnet::fuzz::Advance(in.U16() % 20000);
            TnFtpTimerTick();
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tarnet::fuzz::StartStack();
    tarnet::fuzz::Introduce();
    static bool initialised = false;
    if (!initialised) {
        const TnSockConfig config = tarnet::fakehost::FakeHost::Config();
        const TnFtpServices services{config.timerStart,
                                     config.timerStop,
                                     Open,
                                     Close,
                                     Write,
                                     Read,
                                     config.getTickCount,
                                     Finish};
        TnFtpInit(&services);
        initialised = true;
    }
    g_control   = Peer{};
    g_data      = Peer{};
    g_filesFail = false;
    Input in(data, size);
    std::uint32_t timeout = 1000u + in.U16();
    TnFtpSetTimeout(&timeout);
    const TnFtpConnectParams params{"192.0.2.1", kControlPort, "user", "pw", OnEvent, 1};
    if (TnFtpConnect(&params, &g_session) != TNFTP_OK || !AcceptSyn(g_control, kControlPort)) {
        TnFtpDeinit();
        tarnet::fuzz::StopStack();
        return 0;
    }
    for (int i = 0; i < kMaxOperations && !in.Empty(); ++i) {
        Operate(in);
    }
    TnFtpDeinit();
    tarnet::fuzz::StopStack();
    return 0;
}
