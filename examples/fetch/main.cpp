// Fetches one file over FTP and mails it as an attachment, on the installed Linux binding:
// the capture adapter, the host callbacks, the event loop, and the FTP and SMTP libraries'
// file services. Host names go through the stack's own DNS resolver.
//
//   fetch IFACE LOCAL-ADDRESS DNS-SERVER FTP-HOST USER PASSWORD FILE MAIL-HOST MAIL-PORT FROM TO
//
// The file is written into the current folder under its remote name. Exit status 0 when the
// mail server accepted the message, 1 on any failure (one line on stderr says which step).
#include <cstdio>
#include <cstdlib>
#include <string>

#include <tarnet/linux/event_loop.h>
#include <tarnet/linux/ftp_files.h>
#include <tarnet/linux/host.h>
#include <tarnet/linux/smtp_files.h>
#include <tarnet/tndns.h>
#include <tarnet/tnftp.h>
#include <tarnet/tnsmtp.h>
#include <tarnet/tnsock.h>

using namespace tarnet::platform;

namespace {

// What the callbacks tell the loop: the step is over, and whether it worked.
struct Step {
    bool done = false;
    bool ok   = false;
    std::string why;
    void End(bool success, const std::string& text) { done = true, ok = success, why = text; }
};
Step g_step;
const char* g_file = nullptr;

bool StepDone(void*) {
    return g_step.done;
}

// Runs the loop until the step ends or `seconds` pass; false with a reason otherwise.
bool Run(EventLoop& loop, int seconds, const char* what) {
    g_step             = Step{};
    const auto outcome = loop.Run(StepDone, nullptr, MonotonicMs() + 1000u * seconds);
    if (outcome != EventLoop::Outcome::kDone) {
        std::fprintf(stderr, "fetch: %s: %s\n", what,
                     outcome == EventLoop::Outcome::kDeadline ? "timed out" : "interrupted");
        return false;
    }
    if (!g_step.ok) {
        std::fprintf(stderr, "fetch: %s: %s\n", what, g_step.why.c_str());
    }
    return g_step.ok;
}

// Resolves `name` (a dotted quad is taken as it is) through the stack's resolver.
bool Resolve(EventLoop& loop, const char* name, std::uint32_t& address) {
    if (TnSockParseAddr(name, &address) == 1) {
        return true;
    }
    for (int round = 0; round < 50; ++round) {  // 5 s: the resolver asks 3 times in 3 s
        const int rc = TnDnsResolve(name, &address);
        if (rc == TNDNS_RESOLVED) {
            return true;
        }
        if (rc != TNDNS_PENDING) {
            break;
        }
        loop.Run(nullptr, nullptr, MonotonicMs() + 100);
    }
    std::fprintf(stderr, "fetch: %s: no address\n", name);
    return false;
}

void OnFtp(std::uintptr_t, int event, const char* text, int, std::uintptr_t extra) {
    switch (event) {
        case TNFTP_EV_LOGGED_IN:
            g_step.End(true, "");
            break;
        case TNFTP_EV_RECEIVE_COMPLETE:
            g_step.End(true, std::to_string(extra) + " bytes");
            break;
        case TNFTP_EV_CLOSED:
            g_step.End(false, "the server closed the connection");
            break;
        case TNFTP_EV_BYTES_RECEIVED:
        case TNFTP_EV_LISTING:
            break;
        default:  // every other event ends the step as a failure, with the server's words
            g_step.End(false, text != nullptr ? text : "FTP event " + std::to_string(event));
    }
}

int OnMail(std::uintptr_t, int event, void* data, std::uint32_t length) {
    if (event == TNSMTP_EV_COMPLETE) {
        g_step.End(true, "");
    } else if (event == TNSMTP_EV_SERVER_ERROR || event == TNSMTP_EV_TIMEOUT ||
               event == TNSMTP_EV_FAILED) {  // these carry the server's or the library's words
        const char* text = static_cast<const char*>(data);
        g_step.End(false, text != nullptr ? std::string(text, length) : "no reason given");
    } else if (event == TNSMTP_EV_DISCONNECTED || event == TNSMTP_EV_CONNECT_FAILED) {
        g_step.End(false, event == TNSMTP_EV_DISCONNECTED ? "the server closed the connection"
                                                          : "no connection");
    }  // progress, and the next recipient (0: none, the session ends with QUIT)
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 12) {
        std::fprintf(stderr,
                     "usage: fetch IFACE LOCAL-ADDRESS DNS-SERVER FTP-HOST USER PASSWORD "
                     "FILE MAIL-HOST MAIL-PORT FROM TO\n");
        return 2;
    }
    g_file = argv[7];
    Adapter adapter;
    std::string error;
    if (!adapter.Open(argv[1], error)) {
        std::fprintf(stderr, "fetch: %s\n", error.c_str());
        return 1;
    }
    HostAttachAdapter(&adapter);
    MacAddress own{};
    const MacAddress mac = DefaultStackMac(InterfaceMac(argv[1], own) ? &own : nullptr);
    TnSockConfig config{};
    config.macAddress = mac.data();
    config.localIp    = argv[2];
    config.subnetMask = "255.255.255.0";
    config.dnsServer  = argv[3];
    HostFillCallbacks(config);
    const TnFtpServices ftpServices = FtpHostServices();
    TnSmtpConfig smtpConfig{};
    SmtpFillCallbacks(smtpConfig, (std::string("[") + argv[2] + "]").c_str());
    if (TnSockInit(&config) != TNSOCK_SUCCESS || TnFtpInit(&ftpServices) != TNFTP_OK ||
        TnSmtpInit(&smtpConfig) != TNSMTP_OK) {
        std::fprintf(stderr, "fetch: the stack or a library did not start\n");
        return 1;
    }
    EventLoop loop(&adapter);
    loop.AddLibrary([](void*) { return TnFtpHasOpenSessions() != 0; },
                    [](void*) { TnFtpTimerTick(); }, nullptr);
    loop.AddLibrary([](void*) { return TnSmtpHasOpenSessions() != 0; },
                    [](void*) { TnSmtpProcess(); }, nullptr);

    bool ok                  = false;
    std::uint32_t ftpAddress = 0, mailAddress = 0;
    char ftpText[16], mailText[16];
    TnFtpSession* ftp = nullptr;
    if (Resolve(loop, argv[4], ftpAddress) && Resolve(loop, argv[8], mailAddress)) {
        TnSockFormatAddr(ftpAddress, ftpText);
        TnSockFormatAddr(mailAddress, mailText);
        const TnFtpConnectParams params{ftpText, 21, argv[5], argv[6], OnFtp, 1};
        ok = TnFtpConnect(&params, &ftp) == TNFTP_OK && Run(loop, 20, "FTP login");
        ok = ok && TnFtpGetFile(ftp, g_file, 0, 0) == TNFTP_OK && Run(loop, 60, g_file);
        if (ok) {
            std::printf("fetched %s: %s\n", g_file, g_step.why.c_str());
        }
        if (ftp != nullptr) {
            TnFtpClose(ftp);  // closes the connections at once, without an event
        }
    }
    if (ok) {
        const std::string subject = std::string("File ") + g_file;
        static const char body[]  = "The file is attached.\r\n";
        TnSmtpMail mail{};
        mail.serverAddress     = mailText;
        mail.serverPort        = static_cast<std::uint16_t>(std::atoi(argv[9]));
        mail.from              = argv[10];
        mail.to                = argv[11];
        mail.subject           = subject.c_str();
        mail.body              = reinterpret_cast<const std::uint8_t*>(body);
        mail.bodyLength        = sizeof body - 1;
        mail.eventFn           = OnMail;
        mail.attach            = 1;
        mail.attachmentPath    = g_file;
        TnSmtpSession* session = nullptr;
        ok = TnSmtpSendMail(&mail, &session) == TNSMTP_OK && Run(loop, 60, "mail");
        if (ok) {
            std::printf("mailed %s to %s\n", g_file, argv[11]);
        }
    }
    TnSmtpDeinit();
    TnFtpDeinit();
    TnSockDeinit();
    adapter.Close();
    return ok ? 0 : 1;
}
