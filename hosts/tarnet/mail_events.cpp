// tarnet mail: the SMTP library's events and the stack's TCP reports, turned into the outcome
// of the command (its failure line, the recipients that have their message) and the
// attachment's progress line.
#include <cstdio>
#include <string>

#include "host.h"
#include "mail.h"

namespace tarnet::cli::mail {

Outcome gOutcome;
TnSmtpSession* gSession = nullptr;

std::string Printable(const char* text, std::uint32_t length, bool joinLines) {
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

namespace {

void Finish(bool ok, std::string failure) {
    gOutcome.progress.Break();
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

}  // namespace

int OnMailEvent(std::uintptr_t, int event, void* data, std::uint32_t value) {
    const auto step = [] { return StepName(gSession); };
    switch (event) {
        case TNSMTP_EV_BODY_PROGRESS:
            return 0;
        case TNSMTP_EV_ATTACH_PROGRESS:
            if (static_cast<int>(value) != gOutcome.shownPercent) {
                gOutcome.shownPercent = static_cast<int>(value);
                gOutcome.progress.Show("tarnet: attachment to %s: %3u%%",
                                       gOutcome.options->to[gOutcome.recipient].c_str(), value);
            }
            return 0;
        case TNSMTP_EV_NEXT_RECIPIENT: {
            gOutcome.progress.Break();
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

}  // namespace tarnet::cli::mail
