// tarnet mail --server HOST --from A --to B [--to C ...] ...: one mail through the SMTP library.
//
// The text is checked and converted before the stack starts, so that nothing half-right goes
// out: addresses are plain ASCII; a body that is not ASCII is UTF-8 turned into ISO-8859-1 and
// sent quoted-printable (the label the library gives that text part); a subject that is not
// ASCII needs --koi8r and goes as KOI8-R encoded words; a character the target charset cannot
// hold is refused with its position. Each further --to is a further transaction on the same
// connection (the library asks through TNSMTP_EV_NEXT_RECIPIENT), so every recipient receives
// the whole message with To naming them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "charsets.h"
#include "cli.h"
#include "host.h"
#include "smtp_files.h"
#include "tarnet/tnsmtp.h"

namespace tarnet::cli {

namespace {

using platform::EventLoop;

// Far more than any mail a person types; the library keeps the encoded body in memory (up to
// three times its size).
constexpr std::size_t kMaxBody = 16U << 20;
// RFC 5321 4.5.3.1.6: a text line has at most 998 characters before its CR LF. Longer lines go
// quoted-printable, whose soft line breaks keep every encoded line short.
constexpr std::size_t kMaxPlainLine = 998;
// Library steps per loop tick: each sends one body line or one attachment chunk, as far as the
// connection's send ring takes it.
constexpr int kStepsPerTick = 8;
// After the session ended: how long the connection may take to finish closing.
constexpr std::uint64_t kCloseWaitMs = 2000;

// Values that may legitimately be empty are told apart from absent ones by this sentinel (no
// command-line argument can hold the byte 0x01 and the rest of it by accident).
const std::string kAbsent(
    "\x01"
    "absent",
    7);

struct MailOptions {
    std::string server;
    std::string port = "25";
    std::string from;
    std::vector<std::string> to;
    std::string cc;
    std::string subject;
    bool koi8r = false;
    bool qp    = false;
    std::string attach;
    std::string user;
    std::string password;
    bool passwordOption = false;  // --password given (TARNET_SMTP_PASSWORD only counts with --user)
    std::string body;
    bool bodyGiven = false;
    std::string replyTimeout;
};

// What the library's events told us.
struct Outcome {
    const MailOptions* options = nullptr;
    std::size_t recipient      = 0;  // index into options->to being sent to now
    std::size_t accepted       = 0;  // recipients whose message the server accepted
    bool ended                 = false;
    bool ok                    = false;
    std::string failure;  // the line for stderr
    bool progress      = false;
    int shownPercent   = -1;
    bool progressShown = false;
    // The connection, from the stack's reports.
    std::uint32_t serverAddress = 0;
    std::uint16_t serverPort    = 0;
    bool tcpEstablished         = false;
    bool tcpEnded               = false;
    int tcpEndReason            = 0;
    std::uint64_t startUs       = 0;  // TnSmtpSendMail called
    std::uint64_t endUs         = 0;  // the session's last event
};

Outcome gOutcome;

// Text made safe for a terminal: control bytes and bytes above 126 as \xNN; with `joinLines`
// (a reply from the wire) CR LF between lines as " / ".
std::string Printable(const char* text, std::uint32_t length, bool joinLines = true) {
    std::string out;
    for (std::uint32_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (joinLines && c == '\r' && i + 1 < length && text[i + 1] == '\n') {
            out += " / ";
            ++i;
        } else if (c < 0x20 || c > 0x7E) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

std::string Recipients(const std::vector<std::string>& to, std::size_t count) {
    std::string list;
    for (std::size_t i = 0; i < count; ++i) {
        list += (i > 0 ? ", " : "") + to[i];
    }
    return list;
}

void EndProgressLine() {
    if (gOutcome.progressShown) {
        std::fputc('\n', stderr);
        gOutcome.progressShown = false;
    }
}

void Finish(bool ok, std::string failure) {
    EndProgressLine();
    gOutcome.ended   = true;
    gOutcome.endUs   = platform::MonotonicUs();
    gOutcome.ok      = ok;
    gOutcome.failure = std::move(failure);
}

// "RCPT TO <b@example.org>" for the recipient steps, the step's name otherwise.
std::string StepName(const TnSmtpSession* session) {
    std::string step = TnSmtpSessionStep(session);
    // With a CC the library's second RCPT TO names the CC, which the step does not tell apart.
    if (step == "RCPT TO" && gOutcome.options->cc.empty() &&
        gOutcome.recipient < gOutcome.options->to.size()) {
        step += " <" + gOutcome.options->to[gOutcome.recipient] + ">";
    }
    return step;
}

// Appended to a failure after some recipients already have their message.
std::string AcceptedNote() {
    if (gOutcome.accepted == 0) {
        return "";
    }
    return " (accepted before: " + Recipients(gOutcome.options->to, gOutcome.accepted) + ")";
}

TnSmtpSession* gSession = nullptr;

int OnMailEvent(std::uintptr_t, int event, void* data, std::uint32_t value) {
    const auto step = [] { return StepName(gSession); };
    switch (event) {
        case TNSMTP_EV_BODY_PROGRESS:
            return 0;
        case TNSMTP_EV_ATTACH_PROGRESS:
            if (gOutcome.progress && static_cast<int>(value) != gOutcome.shownPercent) {
                gOutcome.shownPercent = static_cast<int>(value);
                std::fprintf(stderr, "\rtarnet: attachment to %s: %3u%%",
                             gOutcome.options->to[gOutcome.recipient].c_str(), value);
                gOutcome.progressShown = true;
            }
            return 0;
        case TNSMTP_EV_NEXT_RECIPIENT: {
            EndProgressLine();
            gOutcome.shownPercent = -1;
            ++gOutcome.accepted;
            platform::HostLog("message accepted for %s",
                              gOutcome.options->to[gOutcome.recipient].c_str());
            if (gOutcome.accepted >= gOutcome.options->to.size()) {
                return 0;
            }
            gOutcome.recipient                 = gOutcome.accepted;
            static_cast<TnSmtpMail*>(data)->to = gOutcome.options->to[gOutcome.recipient].c_str();
            return 1;
        }
        case TNSMTP_EV_COMPLETE:
            // The library ends well once any message was accepted; a recipient still waiting
            // for theirs (the server went away between transactions) is a failure here.
            if (gOutcome.accepted < gOutcome.options->to.size()) {
                Finish(false, "the session ended before the message went to " +
                                  gOutcome.options->to[gOutcome.accepted] + AcceptedNote());
            } else {
                Finish(true, "");
            }
            return 0;
        case TNSMTP_EV_SERVER_ERROR:
            Finish(false, step() + " refused by the server: " +
                              Printable(static_cast<const char*>(data), value) + AcceptedNote());
            return 0;
        case TNSMTP_EV_TIMEOUT:
            Finish(false, step() + ": " + Printable(static_cast<const char*>(data), value) +
                              AcceptedNote());
            return 0;
        case TNSMTP_EV_FAILED:
            Finish(false, step() + ": " + Printable(static_cast<const char*>(data), value) +
                              AcceptedNote());
            return 0;
        case TNSMTP_EV_DISCONNECTED:
            Finish(false, "the server closed the connection during " + step() + AcceptedNote());
            return 0;
        case TNSMTP_EV_CONNECT_FAILED:
            Finish(false, "cannot connect to the server");
            return 0;
        default:
            return 0;
    }
}

void OnTcpReport(void*, const TnSockDiagnostic& report) {
    if (report.active == 0 || report.remoteAddress != gOutcome.serverAddress ||
        report.remotePort != gOutcome.serverPort) {
        return;
    }
    if (report.kind == TNSOCK_DIAG_TCP_ESTABLISHED) {
        gOutcome.tcpEstablished = true;
    } else if (report.kind == TNSOCK_DIAG_TCP_ENDED) {
        gOutcome.tcpEnded     = true;
        gOutcome.tcpEndReason = report.reason;
    }
}

void Pump(void*) {
    for (int i = 0; i < kStepsPerTick && !gOutcome.ended; ++i) {
        TnSmtpProcess();
    }
}

// ---- Checks of the command line --------------------------------------------------------------

// Why `text` cannot be a mail address for the envelope and the header, or null.
const char* AddressProblem(const std::string& text) {
    if (text.empty() || text.size() > TNSMTP_MAX_ADDRESS) {
        return "an address has 1 to 80 characters";
    }
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || c == '<' || c == '>') {
            return "an address is printable ASCII without spaces or angle brackets";
        }
    }
    return nullptr;
}

int CheckAddress(const char* option, const std::string& text) {
    if (const char* problem = AddressProblem(text); problem != nullptr) {
        return UsageError(
            "%s '%s': %s", option,
            Printable(text.data(), static_cast<std::uint32_t>(text.size()), false).c_str(),
            problem);
    }
    return kExitOk;
}

bool HasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

// The subject as the library takes it: ASCII as is; with --koi8r, Windows-1251 text that the
// library turns into KOI8-R encoded words.
int PrepareSubject(const MailOptions& m, std::string& subject) {
    std::string error;
    if (HasLineBreak(m.subject)) {
        return UsageError("--subject: a subject is one line");
    }
    if (m.koi8r) {
        if (!platform::FromUtf8(m.subject, platform::Charset::kWindows1251Koi8r, subject, error)) {
            return UsageError("--subject: %s", error.c_str());
        }
    } else {
        subject = m.subject;
        for (const char c : subject) {
            const auto u = static_cast<unsigned char>(c);
            if (u >= 0x7F || (u < 0x20 && c != '\t')) {
                return UsageError(
                    "--subject: only printable ASCII can go into a header as it is; Cyrillic "
                    "text goes with --koi8r");
            }
        }
    }
    if (subject.size() > TNSMTP_MAX_SUBJECT) {
        return UsageError("--subject: at most %zu characters", TNSMTP_MAX_SUBJECT);
    }
    return kExitOk;
}

bool IsAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::size_t LongestLine(const std::string& text) {
    std::size_t longest = 0;
    std::size_t current = 0;
    for (const char c : text) {
        current = c == '\n' || c == '\r' ? 0 : current + 1;
        longest = std::max(longest, current);
    }
    return longest;
}

// The body as the library takes it. Text that is not ASCII is UTF-8 and goes as ISO-8859-1
// quoted-printable; so do lines too long for a plain text line.
int PrepareBody(const MailOptions& m, std::string& body, bool& qp) {
    qp = m.qp;
    if (IsAscii(m.body)) {
        body = m.body;
    } else {
        std::string error;
        if (!platform::FromUtf8(m.body, platform::Charset::kIso8859_1, body, error)) {
            return UsageError("the body cannot be sent: %s", error.c_str());
        }
        qp = true;
    }
    if (!qp && LongestLine(body) > kMaxPlainLine) {
        platform::HostLog("a body line is longer than %zu characters: sending quoted-printable",
                          kMaxPlainLine);
        qp = true;
    }
    // RFC 2045 2.7: 7bit text holds no NUL; quoted-printable escapes it.
    if (!qp && body.find('\0') != std::string::npos) {
        platform::HostLog("the body holds NUL bytes: sending quoted-printable");
        qp = true;
    }
    if (body.empty()) {
        body = "\r\n";  // the library sends at least one line: an empty one
    }
    return kExitOk;
}

// The attachment must be a regular file we can read now; its name in the mail is the part of
// the path after the last '/'.
int CheckAttachment(const std::string& path) {
    const std::string name = path.substr(path.find_last_of('/') + 1);
    if (name.empty() || name.size() > TNSMTP_MAX_FILE_NAME || HasLineBreak(name)) {
        return UsageError("--attach '%s': the file name must be 1 to %zu characters on one line",
                          path.c_str(), TNSMTP_MAX_FILE_NAME);
    }
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return Fail("cannot read '%s': %s", path.c_str(), std::strerror(errno));
    }
    struct stat info {};
    const bool regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    close(fd);
    if (!regular) {
        return Fail("cannot attach '%s': not a regular file", path.c_str());
    }
    return kExitOk;
}

int ReadStdin(std::string& body) {
    char chunk[65536];
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return Fail("cannot read the body from stdin: %s", std::strerror(errno));
        }
        if (n == 0) {
            return kExitOk;
        }
        body.append(chunk, static_cast<std::size_t>(n));
        if (body.size() > kMaxBody) {
            return UsageError("the body is larger than %zu MiB", kMaxBody >> 20);
        }
    }
}

int ParseArgs(const Args& args, MailOptions& m) {
    // --to may be given several times: collect every value before the reader sees the rest.
    Args rest;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--") {
            rest.insert(rest.end(), args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
            break;
        }
        if (args[i].rfind("--to=", 0) == 0) {
            m.to.push_back(args[i].substr(5));
        } else if (args[i] == "--to") {
            if (i + 1 >= args.size()) {
                return UsageError("option '--to' needs a value");
            }
            m.to.push_back(args[++i]);
        } else {
            rest.push_back(args[i]);
        }
    }
    m.password = kAbsent;
    m.body     = kAbsent;
    ArgReader reader(rest);
    reader.Value(nullptr, "--server", &m.server);
    reader.Value("-p", "--port", &m.port);
    reader.Value(nullptr, "--from", &m.from);
    reader.Value(nullptr, "--cc", &m.cc);
    reader.Value(nullptr, "--subject", &m.subject);
    reader.Flag(nullptr, "--koi8r", &m.koi8r);
    reader.Flag(nullptr, "--qp", &m.qp);
    reader.Value(nullptr, "--attach", &m.attach);
    reader.Value(nullptr, "--user", &m.user);
    reader.Value(nullptr, "--password", &m.password);
    reader.Value(nullptr, "--body", &m.body);
    reader.Value(nullptr, "--reply-timeout", &m.replyTimeout);
    Args positional;
    if (!reader.Read(positional)) {
        return kExitUsage;
    }
    if (!positional.empty()) {
        return UsageError("mail: unexpected argument '%s' (tarnet mail --help)",
                          positional.front().c_str());
    }
    m.passwordOption = m.password != kAbsent;
    m.bodyGiven      = m.body != kAbsent;
    if (!m.passwordOption) {
        const char* env = std::getenv("TARNET_SMTP_PASSWORD");
        m.password      = env != nullptr && !m.user.empty() ? env : kAbsent;
    }
    if (!m.bodyGiven) {
        m.body.clear();
    }
    return kExitOk;
}

int CheckArgs(const MailOptions& m, std::uint16_t& port, std::uint32_t& replyMs) {
    if (m.server.empty()) {
        return UsageError("mail: --server HOST is required");
    }
    if (!LooksLikeAddress(m.server)) {
        if (const char* problem = HostNameProblem(m.server); problem != nullptr) {
            return UsageError("--server '%s': %s", m.server.c_str(), problem);
        }
    }
    std::uint64_t number = 0;
    if (!ParseNumber(m.port, 1, 65535, number)) {
        return UsageError("--port: '%s' is not a port (1 to 65535)", m.port.c_str());
    }
    port = static_cast<std::uint16_t>(number);
    if (m.from.empty() || m.to.empty()) {
        return UsageError("mail: --from and --to are required");
    }
    if (int rc = CheckAddress("--from", m.from); rc != kExitOk) {
        return rc;
    }
    for (const std::string& to : m.to) {
        if (int rc = CheckAddress("--to", to); rc != kExitOk) {
            return rc;
        }
    }
    if (!m.cc.empty()) {
        if (int rc = CheckAddress("--cc", m.cc); rc != kExitOk) {
            return rc;
        }
    }
    if (m.user.empty() && m.passwordOption) {
        return UsageError("--password needs --user");
    }
    if (!m.user.empty() && m.password == kAbsent) {
        return UsageError("--user needs --password or TARNET_SMTP_PASSWORD");
    }
    if (m.user.size() > TNSMTP_MAX_CREDENTIAL || m.password.size() > TNSMTP_MAX_CREDENTIAL ||
        HasLineBreak(m.user) || HasLineBreak(m.password)) {
        return UsageError("--user and --password: at most %zu characters each, on one line",
                          TNSMTP_MAX_CREDENTIAL);
    }
    replyMs = 0;
    if (!m.replyTimeout.empty()) {
        if (!ParseNumber(m.replyTimeout, 1, 600000, number)) {
            return UsageError("--reply-timeout: '%s' is not a number of milliseconds (1 to 600000)",
                              m.replyTimeout.c_str());
        }
        replyMs = static_cast<std::uint32_t>(number);
    }
    return kExitOk;
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
        EndProgressLine();
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

    gOutcome               = Outcome{};
    gOutcome.options       = &m;
    gOutcome.progress      = !m.attach.empty() && isatty(STDERR_FILENO) != 0;
    gOutcome.serverAddress = address;
    gOutcome.serverPort    = port;
    session.OnTcpReport(OnTcpReport, nullptr);
    session.Loop().AddPeriodic(1, Pump, nullptr);

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
