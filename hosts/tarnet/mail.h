// The pieces of `tarnet mail` (cmd_mail.cpp: the send; mail_args.cpp: the command line and the
// text's checks; mail_events.cpp: the library's events and the stack's reports), and what
// they share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli.h"
#include "progress_line.h"
#include "tarnet/tnsmtp.h"

namespace tarnet::cli::mail {

// Far more than any mail a person types; the library keeps the encoded body in memory (up to
// three times its size).
inline constexpr std::size_t kMaxBody = 16U << 20;

// Values that may legitimately be empty are told apart from absent ones by this sentinel (no
// command-line argument can hold the byte 0x01 and the rest of it by accident).
inline const std::string kAbsent(
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
    std::string failure;    // the line for stderr
    ProgressLine progress;  // the attachment's percentage, when stderr is a terminal
    int shownPercent = -1;
    // The connection, from the stack's reports.
    std::uint32_t serverAddress = 0;
    std::uint16_t serverPort    = 0;
    bool tcpEstablished         = false;
    bool tcpEnded               = false;
    int tcpEndReason            = 0;
    std::uint64_t startUs       = 0;  // TnSmtpSendMail called
    std::uint64_t endUs         = 0;  // the session's last event
};

extern Outcome gOutcome;
extern TnSmtpSession* gSession;

// ---- mail_args.cpp: the command line and the text, checked before the stack starts ----------

int ParseArgs(const Args& args, MailOptions& m);
int CheckArgs(const MailOptions& m, std::uint16_t& port, std::uint32_t& replyMs);
int PrepareSubject(const MailOptions& m, std::string& subject);
int PrepareBody(const MailOptions& m, std::string& body, bool& qp);
int CheckAttachment(const std::string& path);
int ReadStdin(std::string& body);

// ---- mail_events.cpp: what the library and the stack report ----------------------------------

// Text made safe for a terminal: control bytes and bytes above 126 as \xNN; with `joinLines`
// (a reply from the wire) CR LF between lines as " / ".
std::string Printable(const char* text, std::uint32_t length, bool joinLines = true);
// "a, b, c": the first `count` recipients.
std::string Recipients(const std::vector<std::string>& to, std::size_t count);
int OnMailEvent(std::uintptr_t userValue, int event, void* data, std::uint32_t value);
void OnTcpReport(void* context, const TnSockDiagnostic& report);

}  // namespace tarnet::cli::mail
