// tarnet mail --server HOST --from A --to B [--to C ...] ...: one mail through the SMTP library.
//
// The text is checked and converted before the stack starts, so that nothing half-right goes
// out: addresses are plain ASCII; a body that is not ASCII is UTF-8 turned into ISO-8859-1 and
// sent quoted-printable (the label the library gives that text part); a subject that is not
// ASCII needs --koi8r and goes as KOI8-R encoded words; a character the target charset cannot
// hold is refused with its position. Each further --to is a further transaction on the same
// connection (the library asks through TNSMTP_EV_NEXT_RECIPIENT), so every recipient receives
// the whole message with To naming them.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "cli.h"
#include "host.h"
#include "mail.h"
#include "smtp_files.h"
#include "tarnet/tnsmtp.h"

namespace tarnet::cli {

namespace {

using namespace mail;
using platform::EventLoop;

// Library steps per loop pass: each sends one body line or one attachment chunk, as far as the
// connection's send ring takes it.
constexpr int kStepsPerTick = 8;
// After the session ended: how long the connection may take to finish closing.
constexpr std::uint64_t kCloseWaitMs = 2000;

// The library works while a session is open; the reply time-outs are timers of their own, so
// the loop waits undisturbed before the mail starts and after its session ended.
bool HasOpenSession(void*) {
    return TnSmtpHasOpenSessions() != 0;
}

void Pump(void*) {
    for (int i = 0; i < kStepsPerTick && !gOutcome.ended; ++i) {
        TnSmtpProcess();
    }
}

// The session's closing words: the summary on success, the failure line otherwise.
int Report(const MailOptions& m, const std::string& server) {
    if (!gOutcome.ok) {
        return Fail("mail to %s: %s", server.c_str(), gOutcome.failure.c_str());
    }
    // The time is the SMTP session's, from the connection's opening to the reply to QUIT.
    std::printf("mail accepted by %s for %s%s%s in %.3f s\n", server.c_str(),
                Recipients(m.to, m.to.size()).c_str(), m.cc.empty() ? "" : ", cc ", m.cc.c_str(),
                static_cast<double>(gOutcome.endUs - gOutcome.startUs) / 1e6);
    std::fflush(stdout);
    return kExitOk;
}

// Runs one mail session from TnSmtpSendMail to its last event, then lets the connection close.
int Send(Session& session, const MailOptions& m, TnSmtpMail& mail, const std::string& server) {
    TnSmtpSession* handle = nullptr;
    gOutcome.startUs      = platform::MonotonicUs();
    if (const int rc = TnSmtpSendMail(&mail, &handle); rc != TNSMTP_OK) {
        char text[TNSMTP_ERROR_TEXT_SIZE];
        TnSmtpErrorText(rc, text);
        return Fail("mail: the library refused the mail: %s (%d)", text, rc);
    }
    gSession       = handle;
    const auto run = session.Run([](void*) { return gOutcome.ended; }, nullptr);
    if (run != EventLoop::Outcome::kDone) {
        TnSmtpAbort(handle);
        gOutcome.progress.Break();
        return session.Stopped(run);
    }
    // The library has closed its side; give the close a moment to finish on the wire.
    session.Run([](void*) { return gOutcome.tcpEnded; }, nullptr,
                platform::MonotonicMs() + kCloseWaitMs);
    // Without a connection the dialogue's own words ("no welcome") would mislead.
    if (!gOutcome.ok && !gOutcome.tcpEstablished) {
        gOutcome.failure = gOutcome.tcpEnded && gOutcome.tcpEndReason == TNSOCK_TCP_END_REFUSED
                               ? "connection refused"
                               : "no answer: the TCP connection was not established";
    }
    return Report(m, server);
}

}  // namespace

int RunMail(const GlobalOptions& options, const Args& args) {
    MailOptions m;
    if (int rc = ParseArgs(args, m); rc != kExitOk) {
        return rc;
    }
    std::uint16_t port    = 0;
    std::uint32_t replyMs = 0;
    if (int rc = CheckArgs(m, port, replyMs); rc != kExitOk) {
        return rc;
    }
    std::string subject;
    if (int rc = PrepareSubject(m, subject); rc != kExitOk) {
        return rc;
    }
    if (!m.attach.empty()) {
        if (int rc = CheckAttachment(m.attach); rc != kExitOk) {
            return rc;
        }
    }
    MailOptions given = m;
    if (!m.bodyGiven) {
        if (int rc = ReadStdin(given.body); rc != kExitOk) {
            return rc;
        }
    } else if (given.body.size() > kMaxBody) {
        return UsageError("the body is larger than %zu MiB", kMaxBody >> 20);
    }
    std::string body;
    bool qp = false;
    if (int rc = PrepareBody(given, body, qp); rc != kExitOk) {
        return rc;
    }

    Session session(options);
    if (int rc = session.Start(); rc != kExitOk) {
        return rc;
    }
    std::uint32_t address = 0;
    if (int rc = session.ResolveReachable(m.server, address); rc != kExitOk) {
        return rc;
    }
    const std::string addressText = AddressText(address);
    const std::string server      = addressText + ":" + std::to_string(port);

    TnSmtpConfig config{};
    const std::string ehlo = "[" + AddressText(session.LocalAddress()) + "]";
    platform::SmtpFillCallbacks(config, ehlo.c_str());
    if (const int rc = TnSmtpInit(&config); rc != TNSMTP_OK) {
        return Fail("mail: the SMTP library did not start (%d)", rc);
    }
    struct Deinit {
        ~Deinit() { TnSmtpDeinit(); }
    } deinit;
    if (replyMs != 0) {
        TnSmtpSetTimeout(replyMs, std::max(replyMs, TNSMTP_DEFAULT_EOM_TIMEOUT_MS));
    }
    // The end of data follows the text at once: the library's output queue keeps it behind the
    // text, and a pause would only make every message a second slower.
    TnSmtpSetEndOfBodyPause(0);

    gOutcome               = Outcome{};
    gOutcome.options       = &m;
    gOutcome.progress      = ProgressLine(!m.attach.empty() && isatty(STDERR_FILENO) != 0);
    gOutcome.serverAddress = address;
    gOutcome.serverPort    = port;
    session.OnTcpReport(OnTcpReport, nullptr);
    session.Loop().AddLibrary(HasOpenSession, Pump, nullptr);

    TnSmtpMail mail{};
    mail.serverAddress   = addressText.c_str();
    mail.serverPort      = port;
    mail.from            = m.from.c_str();
    mail.to              = m.to.front().c_str();
    mail.subject         = subject.c_str();
    mail.subjectCharset  = m.koi8r ? TNSMTP_CHARSET_KOI8R : TNSMTP_CHARSET_NONE;
    mail.cc              = m.cc.c_str();
    mail.body            = reinterpret_cast<const std::uint8_t*>(body.data());
    mail.bodyLength      = static_cast<std::uint32_t>(body.size());
    mail.authenticate    = m.user.empty() ? 0 : 1;
    mail.userName        = m.user.c_str();
    mail.password        = m.password.c_str();
    mail.eventFn         = OnMailEvent;
    mail.attach          = m.attach.empty() ? 0 : 1;
    mail.attachmentPath  = m.attach.c_str();
    mail.quotedPrintable = qp ? 1 : 0;
    return Send(session, m, mail, server);
}

}  // namespace tarnet::cli
