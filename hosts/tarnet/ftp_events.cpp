// tarnet ftp: what the library, the walker and the stack report. Events end the step being
// waited for and keep the figures; the walker's reports name the files and what it skipped;
// the stack's reports count the connections. Failures become one line naming the step and the
// server's reply (or the library's text); transfers show a progress line on a terminal.
#include <cstdio>
#include <string>

#include "ftp.h"
#include "ftp_files.h"

namespace tarnet::cli::ftp {

Run gRun;

namespace {

constexpr std::uint64_t kProgressPeriodMs = 200;
constexpr int kBarWidth                   = 30;
constexpr double kMiB                     = 1024.0 * 1024.0;

// The step named by an operation code of the library's error events.
constexpr const char* kStepNames[] = {"greeting",
                                      "CWD",
                                      "LIST",
                                      "PASV",
                                      "USER",
                                      "PASS",
                                      "LIST data connection",
                                      "TYPE",
                                      "RETR data connection",
                                      "STOR data connection",
                                      "STOR",
                                      "RETR",
                                      "STOR data",
                                      "ABOR",
                                      "MKD",
                                      "RMD",
                                      "DELE",
                                      "NOOP",
                                      "PWD",
                                      "RNFR",
                                      "RNTO",
                                      "LIST data",
                                      "idle"};
static_assert(sizeof kStepNames / sizeof kStepNames[0] == TNFTP_OP_IDLE + 1);

bool EndsSession(int event) {
    switch (event) {
        case TNFTP_EV_CLOSED:
        case TNFTP_EV_CONNECT_ERROR:
        case TNFTP_EV_SERVER_ERROR:
        case TNFTP_EV_UNEXPECTED_REPLY:
        case TNFTP_EV_UNKNOWN_REPLY:
        case TNFTP_EV_NO_FREE_CONTEXT:
        case TNFTP_EV_TIMEOUT:
        case TNFTP_EV_NO_MEMORY:
            return true;
        default:
            return false;
    }
}

double Seconds() {
    return static_cast<double>(platform::MonotonicMs() - gRun.startMs) / 1000.0;
}

double Rate(std::uint64_t bytes, double seconds) {
    return seconds > 0 ? static_cast<double>(bytes) / seconds / 1e6 : 0.0;
}

const char* SkipText(std::uintptr_t why) {
    switch (why) {
        case TNTREE_SKIP_LINK:
            // A link is not followed: the walk stays inside the folder it was given.
            return "a symbolic link";
        case TNTREE_SKIP_UNSAFE_NAME:
            return "not a plain name in this folder";
        case TNTREE_SKIP_LINE_TOO_LONG:
            return "line too long";
        case TNTREE_SKIP_UNREADABLE:
            return "not in a listing layout tarnet reads";
        default:
            return "not handled";
    }
}

}  // namespace

static_assert(TNTREE_MAX_DEPTH == 64 && TNFTP_MAX_LISTING_ENTRIES == 65536,
              "the texts below name these limits");
const char* TreeResultText(std::uintptr_t code) {
    switch (code) {
        case TNTREE_NO_MEMORY:
            return "out of memory";
        case TNTREE_CWD_FAILED:
            return "changing the remote folder failed";
        case TNTREE_LIST_FAILED:
            return "listing a remote folder failed";
        case TNTREE_FILE_FAILED:
            return "a file transfer or deletion failed";
        case TNTREE_RMD_FAILED:
            return "removing a remote folder failed";
        case TNTREE_LOCAL_DIR_FAILED:
            return "the local folder could not be entered";
        case TNTREE_MKD_FAILED:
            return "creating a remote folder failed";
        case TNTREE_PUT_FAILED:
            return "an upload could not be started";
        case TNTREE_NAME_TOO_LONG:
            return "a local folder name is too long";
        case TNTREE_QUEUE_FULL:
            return "the walker's event queue overflowed";
        case TNTREE_TOO_DEEP:
            return "a folder lies more than 64 levels deep (a folder shown inside itself?)";
        case TNTREE_LIST_TOO_LARGE:
            return "a remote folder lists more than 65536 entries";
        default:
            return "failed";
    }
}

// Server text is hostile: control bytes (terminal escapes among them) are shown as '?'.
std::string Printable(const char* text, std::size_t length) {
    std::string out;
    for (std::size_t i = 0; i < length && i < kMaxShownText && text[i] != '\0'; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        out.push_back(c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c));
    }
    return out;
}

void ShowProgress() {
    const std::uint64_t now = platform::MonotonicMs();
    if (gRun.bytes == 0 || !gRun.progress.Due(now, kProgressPeriodMs)) {
        return;
    }
    const double mib   = static_cast<double>(gRun.bytes) / kMiB;
    const double speed = Rate(gRun.bytes, Seconds());
    if (gRun.total > 0) {
        const std::uint64_t shown = gRun.bytes < gRun.total ? gRun.bytes : gRun.total;
        const int filled          = static_cast<int>(shown * kBarWidth / gRun.total);
        gRun.progress.Show("[%.*s%*s] %3d%% %.1f of %.1f MiB  %.2f MB/s   ", filled,
                           "##############################", kBarWidth - filled, "",
                           static_cast<int>(shown * 100 / gRun.total), mib,
                           static_cast<double>(gRun.total) / kMiB, speed);
    } else {
        gRun.progress.Show("%s%s%.1f MiB  %.2f MB/s   ", gRun.item.c_str(),
                           gRun.item.empty() ? "" : "  ", mib, speed);
    }
}

void EndProgress() {
    gRun.progress.Clear();
}

void Summary(const char* prefix) {
    EndProgress();
    const double seconds = Seconds();
    std::fprintf(stderr, "tarnet: %s%s %llu bytes in %.2f s (%.2f MB/s)\n", prefix,
                 gRun.sending ? "sent" : "received", static_cast<unsigned long long>(gRun.bytes),
                 seconds, Rate(gRun.bytes, seconds));
}

void OnFtpEvent(std::uintptr_t, int event, const char* text, int textLength, std::uintptr_t extra) {
    if (event == TNFTP_EV_BYTES_SENT || event == TNFTP_EV_BYTES_RECEIVED) {
        gRun.bytes += extra;
        ShowProgress();
    } else {
        gRun.stepDone = true;
        gRun.event    = event;
        gRun.extra    = extra;
        gRun.text.clear();
        if (event == TNFTP_EV_LISTING) {
            if (!gRun.treeMode) {
                TnListFreeAll(&gRun.entries);
                gRun.parsed = TnFtpParseListingSkips(
                    text, textLength > 0 ? static_cast<std::uint32_t>(textLength) : 0,
                    &gRun.entries, &gRun.listingSkips);
            }
        } else if (text != nullptr) {
            gRun.text = Printable(text, kMaxShownText);
            // Reply lines carry their length; the library's own messages do not.
            if (textLength > 0) {
                gRun.lastReply = gRun.text;
            }
        }
        if (event == TNFTP_EV_PWD_DONE && text != nullptr) {
            gRun.pwd = text;
        }
        platform::HostLog("ftp event %d: %s", event, gRun.text.c_str());
    }
    if (gRun.treeMode) {
        TnFtpTreeOnEvent(gRun.session, event, text, textLength, extra);
    }
    if (EndsSession(event)) {
        gRun.session = nullptr;  // the library frees it when this callback returns
    }
}

void OnTreeReport(TnFtpSession*, int kind, std::uintptr_t a, std::uintptr_t b) {
    switch (kind) {
        case TNTREE_REP_DELETE_ITEM:
        case TNTREE_REP_DOWNLOAD_ITEM:
        case TNTREE_REP_UPLOAD_ITEM:
            if (b == 1 && a != 0) {
                gRun.item = Printable(reinterpret_cast<const char*>(a), kMaxShownText);
                ++gRun.files;
                platform::HostLog("%s", gRun.item.c_str());
            }
            break;
        case TNTREE_REP_PERCENT:
            ShowProgress();
            break;
        case TNTREE_REP_ENTRY_SKIPPED: {
            if (b == TNTREE_SKIP_PRESENT) {
                ++gRun.present;  // counted in the summary, not a line each
                break;
            }
            EndProgress();
            const std::string name =
                a != 0 ? "'" + Printable(reinterpret_cast<const char*>(a), kMaxShownText) + "'"
                       : std::string("a listing line");
            std::fprintf(stderr, "tarnet: skipped %s: %s\n", name.c_str(), SkipText(b));
            break;
        }
        default:
            gRun.treeDone = true;
            gRun.treeKind = kind;
            gRun.treeA    = a;
            gRun.treeB    = b;
            break;
    }
}

void OnTcpReport(void*, const TnSockDiagnostic& report) {
    if (report.kind == TNSOCK_DIAG_TCP_ESTABLISHED) {
        ++gRun.connectionsOpen;
        gRun.everConnected = true;
    } else if (report.kind == TNSOCK_DIAG_TCP_ENDED && report.reason == TNSOCK_TCP_END_REFUSED) {
        gRun.connectRefused = true;
    } else if (report.kind == TNSOCK_DIAG_TCP_ENDED && gRun.connectionsOpen > 0) {
        --gRun.connectionsOpen;
    }
}

bool LibraryHasWork(void*) {
    return TnFtpHasOpenSessions() != 0;
}

// Reply timers, the upload's pump and the walker's queued events; the progress line with them.
void LibraryWork(void*) {
    TnFtpTimerTick();
    TnFtpTreeDispatch();
    ShowProgress();
}

bool StepDone(void*) {
    return gRun.stepDone;
}

// The walker's last events may be queued when the session has already ended, and with it the
// library's work: they are dispatched here.
bool TreeDone(void*) {
    TnFtpTreeDispatch();
    return gRun.treeDone || (gRun.session == nullptr && !gRun.treeMode);
}

// What went wrong, from the event that ended a step: the step and the server's reply, or the
// library's text.
std::string Describe(int event, const std::string& text, std::uintptr_t extra) {
    const std::string step = extra <= TNFTP_OP_IDLE ? kStepNames[extra] : "?";
    switch (event) {
        case TNFTP_EV_SERVER_ERROR:
        case TNFTP_EV_UNEXPECTED_REPLY:
        case TNFTP_EV_UNKNOWN_REPLY:
            return step + " failed: " + text;
        case TNFTP_EV_TIMEOUT:
            return "timed out: " + text;
        case TNFTP_EV_CLOSED:
            if (!text.empty()) {
                return text + " (" + step + ")";  // such as a reset data connection
            }
            return extra == 0 ? "the server closed the control connection"
                              : "the server closed the data connection (" + step + ")";
        case TNFTP_EV_CONNECT_ERROR:
            return "cannot connect: " + text;
        case TNFTP_EV_NO_FREE_CONTEXT:
            return "no free session record for the data connection";
        case TNFTP_EV_NO_MEMORY:
            return step + " failed: out of memory (a listing too large?)";
        case TNFTP_EV_TYPE_FAILED:
            return "TYPE failed: " + text;
        case TNFTP_EV_CWD_FAILED:
            return "CWD failed: " + text;
        case TNFTP_EV_MKD_FAILED:
            return "MKD failed: " + text;
        case TNFTP_EV_RMD_FAILED:
            return "RMD failed: " + text;
        case TNFTP_EV_DELE_FAILED:
            return "DELE failed: " + text;
        case TNFTP_EV_PWD_FAILED:
            return "PWD failed: " + text;
        case TNFTP_EV_RENAME_FAILED:
            return "rename failed: " + text;
        case TNFTP_EV_ABORT_DONE:
            return "aborted: " + text;
        case TNFTP_EV_SEND_FAILED: {
            std::string why = "STOR failed";
            if (!text.empty()) {
                why += ": " + text;
            } else if (!platform::FtpLastFileError().empty()) {
                why += ": " + platform::FtpLastFileError();
            }
            return why;
        }
        case TNFTP_EV_RECEIVE_FAILED: {
            std::string why = "RETR failed: ";
            if (!text.empty()) {
                return why + text +
                       (gRun.lastReply.empty() ? "" : " (server: " + gRun.lastReply + ")");
            }
            if (!platform::FtpLastFileError().empty()) {
                return why + platform::FtpLastFileError();
            }
            return why + "the download ended incomplete" +
                   (gRun.lastReply.empty() ? "" : " (server: " + gRun.lastReply + ")");
        }
        default:
            return "unexpected event " + std::to_string(event) + (text.empty() ? "" : ": " + text);
    }
}

}  // namespace tarnet::cli::ftp
